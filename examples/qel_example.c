/* The C interface in brief: log in, read, write in a transaction, walk subkeys, follow the store.
 * Usage: qel_example_c STORE.ini   (a store it may change: its test gives a copy of sample.ini) */
#include <stdio.h>
#include <zor-qel-rb-key/qel.h>

#define TRY(call) \
  if ((call) != QEL_OK) return fprintf(stderr, "error %ld: %s\n", error.code, error.text), 1

int main(int argc, char** argv) {
  qel_connection* store;
  qel_transaction* change;
  qel_key *jobs, *job;
  qel_key_iterator* walk;
  qel_list* changed;
  qel_error error;
  long long most;
  const char* const weekend[] = {"weekend"};
  if (argc != 2) return fprintf(stderr, "usage: qel_example_c STORE.ini\n"), 2;
  TRY(qel_login("ini", argv[1], 0, "example", "", &store, &error));
  TRY(qel_transaction_begin(store, &change, &error)); /* keys opened now write at the commit */
  TRY(qel_key_open(store, "/ZOR_Software/Scheduler/Jobs", &jobs, &error));
  TRY(qel_key_read_int(jobs, "maxparallel", 1, &most, &error));
  printf("at most %lld jobs at once\n", most);
  TRY(qel_key_search(jobs, "(key=*)", 0, &walk, &error));
  while (qel_key_iterator_next(walk, &job, &error) == QEL_OK && job != NULL) {
    TRY(qel_key_set_value(job, "calendar", weekend, NULL, 1, &error));
    qel_key_free(job);
  }
  TRY(qel_transaction_commit(change, &error));
  TRY(qel_wait_for_change(store, 100, &changed, &error)); /* what other writers changed */
  printf("%zu keys changed by others\n", changed->count);
  qel_free(changed);
  qel_key_iterator_free(walk);
  qel_key_free(jobs);
  qel_transaction_free(change);
  qel_connection_free(store);
  return 0;
}
