/* The C interface from a C program: values, the tree, transactions, a live store and errors, one
 * case per run: capi_test CASE [SEED]. Linked by the C compiler, without a C++ runtime of its own.
 * QEL_CAPI_CASES sets how many generated lists the values case tries. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <zor-qel-rb-key/qel.h>

static int failures = 0;

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                                   \
    }                                                                               \
  } while (0)

/* A call that must succeed; on failure the error is shown and the case stops. */
#define OK(call)                                                                                   \
  do {                                                                                             \
    qel_error ok_error_;                                                                           \
    if ((call) != QEL_OK) {                                                                        \
      fprintf(stderr, "%s:%d: %s failed: %ld/%ld %s\n", __FILE__, __LINE__, #call, ok_error_.code, \
              ok_error_.facility, ok_error_.text);                                                 \
      exit(1);                                                                                     \
    }                                                                                              \
  } while (0)
#define E (&ok_error_)

/* A call that must fail with this status, code and facility. */
static void expect_failure(qel_status got, const qel_error* error, qel_status status, long code,
                           long facility, int line) {
  if (got != status || error->code != code || error->facility != facility) {
    fprintf(stderr, "%s:%d: expected %d %ld/%ld, got %d %ld/%ld %s\n", __FILE__, line, (int)status,
            code, facility, (int)got, error->code, error->facility, error->text);
    ++failures;
  }
}
#define FAILS(call, status, code, facility) \
  expect_failure((call), &error, status, code, facility, __LINE__)

static char store[1024];

static void write_store(const char* text) {
  FILE* file = fopen(store, "wb");
  if (file == NULL || fputs(text, file) < 0 || fclose(file) != 0) {
    fprintf(stderr, "cannot write %s\n", store);
    exit(1);
  }
}

static size_t read_store(char* text, size_t size) {
  FILE* file = fopen(store, "rb");
  size_t length = file != NULL ? fread(text, 1, size - 1, file) : 0;
  if (file != NULL) fclose(file);
  text[length] = '\0';
  return length;
}

static qel_connection* login(void) {
  qel_connection* connection = NULL;
  OK(qel_login("ini", store, 0, "capi", "", &connection, E));
  return connection;
}

static qel_key* open_key(qel_connection* connection, const char* path) {
  qel_key* key = NULL;
  OK(qel_key_open(connection, path, &key, E));
  return key;
}

/* Whether a list holds these elements, bytes and lengths alike. */
static int list_equals(const qel_list* list, const char* const* elements, const size_t* lengths,
                       size_t count) {
  size_t i;
  if (list->count != count) return 0;
  for (i = 0; i < count; ++i) {
    if (list->lengths[i] != lengths[i] || list->items[i][lengths[i]] != '\0' ||
        memcmp(list->items[i], elements[i], lengths[i]) != 0) {
      return 0;
    }
  }
  return 1;
}

static uint64_t random_state;
static unsigned next_random(unsigned bound) {
  random_state = random_state * 6364136223846793005u + 1442695040888963407u;
  return (unsigned)((random_state >> 33) % bound);
}

/* Pieces of elements: blanks, line ends, INI punctuation, multibyte UTF-8, a NUL byte, an empty
 * piece. */
static const char* const kPieces[] = {
    "a",  " ",  ",",  "=",  "[x]", ";#", "\xc3\xa9", "\xe6\x97\xa5", "\xf0\x9f\x94\x91",
    "\\", "\"", "\t", "\n", "\r",  "",   "\0"};
static const size_t kPieceLengths[] = {1, 1, 1, 1, 3, 2, 2, 3, 4, 1, 1, 1, 1, 1, 0, 1};

/* Random lists set through the C interface read back the same, in memory and from the file; a
 * list with the separator byte 0x1B is refused (168) and changes nothing. */
static void test_values(unsigned cases) {
  enum { kMost = 6, kBytes = 40 };
  qel_connection* connection;
  qel_key* key;
  qel_list* list;
  qel_error error;
  char bytes[kMost][kBytes];
  const char* elements[kMost];
  size_t lengths[kMost];
  unsigned round;
  write_store("[/V]\n");
  for (round = 0; round < cases; ++round) {
    const size_t count = next_random(kMost + 1);
    const int poisoned = count > 0 && next_random(8) == 0;
    size_t i;
    for (i = 0; i < count; ++i) {
      unsigned pieces = 1 + next_random(5);
      lengths[i] = 0;
      while (pieces-- > 0) {
        unsigned piece = next_random(sizeof kPieces / sizeof *kPieces);
        memcpy(bytes[i] + lengths[i], kPieces[piece], kPieceLengths[piece]);
        lengths[i] += kPieceLengths[piece];
      }
      elements[i] = bytes[i];
    }
    /* A lone empty element is the empty value in the file; the generator leaves it out. */
    if (count == 1 && lengths[0] == 0) bytes[0][lengths[0]++] = 'a';
    if (poisoned) bytes[0][lengths[0]++] = '\x1b';

    connection = login();
    key = open_key(connection, "/V");
    if (poisoned) {
      FAILS(qel_key_set_value(key, "list", elements, lengths, count, &error), QEL_FAILED, 168, 12);
      OK(qel_key_has_value(key, "list", &(int){0}, E));
    } else {
      OK(qel_key_set_value(key, "list", elements, lengths, count, E));
      OK(qel_key_get_value(key, "list", &list, E));
      CHECK(list_equals(list, elements, lengths, count));
      qel_free(list);
    }
    qel_key_free(key);
    qel_connection_free(connection);
    if (poisoned) continue;

    connection = login();
    key = open_key(connection, "/V");
    OK(qel_key_get_value(key, "list", &list, E));
    CHECK(list_equals(list, elements, lengths, count));
    qel_free(list);
    OK(qel_key_delete_value(key, "list", NULL, NULL, 0, E));
    qel_key_free(key);
    qel_connection_free(connection);
    if (failures > 0) {
      fprintf(stderr, "round %u: %u elements\n", round, (unsigned)count);
      return;
    }
  }
}

/* Adding and deleting elements, typed reads with their defaults and their refusals. */
static void test_elements(void) {
  const char* const first[] = {"one", "two"};
  const char* const again[] = {"three", "two"};
  const char* const third[] = {"three"};
  const char* const one_two[] = {"one", "two"};
  const size_t one_two_lengths[] = {3, 3};
  qel_connection* connection;
  qel_key* key;
  qel_list* list;
  qel_error error;
  char* text;
  long long number;
  int flag;
  write_store("[/T]\nport=8080\nflag=Yes\nname=x\nbad=12z\n");
  connection = login();
  key = open_key(connection, "/T");
  OK(qel_key_add_value(key, "list", first, NULL, 2, E));
  FAILS(qel_key_add_value(key, "list", again, NULL, 2, &error), QEL_FAILED, 159, 12);
  OK(qel_key_get_value(key, "list", &list, E));
  CHECK(list_equals(list, one_two, one_two_lengths, 2));
  qel_free(list);
  OK(qel_key_add_value(key, "list", third, NULL, 1, E));
  OK(qel_key_delete_value(key, "list", third, NULL, 1, E));
  OK(qel_key_get_value(key, "list", &list, E));
  CHECK(list_equals(list, one_two, one_two_lengths, 2));
  qel_free(list);
  OK(qel_key_delete_value(key, "LIST", NULL, NULL, 0, E));
  OK(qel_key_has_value(key, "list", &flag, E));
  CHECK(flag == 0);
  FAILS(qel_key_get_value(key, "list", &list, &error), QEL_FAILED, 160, 12);

  OK(qel_key_read_int(key, "port", 1, &number, E));
  CHECK(number == 8080);
  OK(qel_key_read_int(key, "missing", -5, &number, E));
  CHECK(number == -5);
  FAILS(qel_key_read_int(key, "bad", 0, &number, &error), QEL_FAILED, 169, 12);
  OK(qel_key_read_bool(key, "flag", 0, &flag, E));
  CHECK(flag == 1);
  OK(qel_key_read_bool(key, "missing", 1, &flag, E));
  CHECK(flag == 1);
  FAILS(qel_key_read_bool(key, "name", 0, &flag, &error), QEL_FAILED, 169, 12);
  OK(qel_key_read_string(key, "name", "none", &text, E));
  CHECK(strcmp(text, "x") == 0);
  qel_free(text);
  OK(qel_key_read_string(key, "missing", "none", &text, E));
  CHECK(strcmp(text, "none") == 0);
  qel_free(text);
  qel_key_free(key);
  qel_connection_free(connection);
}

/* Subkeys: made, found, walked with a selector and exclusions, deleted. */
static void test_tree(void) {
  qel_connection* connection;
  qel_key *root, *key, *sub;
  qel_key_iterator* walk;
  qel_list* names;
  qel_error error;
  char* path;
  char seen[512] = "";
  int present;
  write_store(
      "[/A]\nalpha=1\nbeta=2\nalps=3\n[/A/B]\n[/A/B/K]\nrepositoryname=R1\n[/A/C]\n[/Ab]\n");
  connection = login();
  root = open_key(connection, "/");
  key = open_key(connection, "/A");
  qel_connection_free(connection); /* keys keep the store open */

  OK(qel_key_search(key, "(repositoryname=R1)", 1, &walk, E));
  for (;;) {
    OK(qel_key_iterator_next(walk, &sub, E));
    if (sub == NULL) break;
    OK(qel_key_path(sub, &path, E));
    strcat(seen, path);
    strcat(seen, " ");
    qel_free(path);
    qel_key_free(sub);
  }
  CHECK(strcmp(seen, "/A/B/K ") == 0);
  FAILS(qel_key_iterator_next(walk, &sub, &error), QEL_MISUSE, 167, 12);
  qel_key_iterator_free(walk);
  OK(qel_key_search(key, "(key=*)", 0, &walk, E));
  OK(qel_key_iterator_next(walk, &sub, E));
  OK(qel_key_path(sub, &path, E));
  CHECK(strcmp(path, "/A/B") == 0);
  qel_free(path);
  qel_key_free(sub);
  qel_key_iterator_free(walk); /* freed before its end */

  OK(qel_key_create_subkey(key, "New", &sub, E));
  FAILS(qel_key_create_subkey(key, "New", NULL, &error), QEL_FAILED, 159, 12);
  OK(qel_key_path(sub, &path, E));
  CHECK(strcmp(path, "/A/New") == 0);
  qel_free(path);
  qel_key_free(sub);
  OK(qel_key_has_subkey(root, "Ab", &present, E));
  CHECK(present == 1);
  OK(qel_key_open_subkey(key, "B", &sub, E));
  OK(qel_key_has_subkey(sub, "K", &present, E));
  CHECK(present == 1);
  qel_key_free(sub);
  OK(qel_key_delete_subkey(key, "B", E));
  OK(qel_key_has_subkey(key, "B", &present, E));
  CHECK(present == 0);
  FAILS(qel_key_open_subkey(key, "B", &sub, &error), QEL_FAILED, 158, 12);

  OK(qel_key_value_names(key, "al*", &names, E));
  CHECK(names->count == 2);
  CHECK(names->count == 2 && strcmp(names->items[0], "alpha") == 0 &&
        strcmp(names->items[1], "alps") == 0);
  qel_free(names);
  qel_key_free(key);
  qel_key_free(root);
}

/* A transaction writes nothing until its commit; a second one, or a second commit, is misuse. */
static void test_transaction(void) {
  static char before[4096], after[4096];
  const char* const value[] = {"9"};
  qel_connection* connection;
  qel_transaction *transaction, *second;
  qel_key* key;
  qel_error error;
  write_store("[/T]\nworkers=1\n");
  connection = login();
  OK(qel_transaction_begin(connection, &transaction, E));
  FAILS(qel_transaction_begin(connection, &second, &error), QEL_MISUSE, 1, 12);
  key = open_key(connection, "/T");
  read_store(before, sizeof before);
  OK(qel_key_set_value(key, "workers", value, NULL, 1, E));
  OK(qel_key_create_subkey(key, "Sub", NULL, E));
  read_store(after, sizeof after);
  CHECK(strcmp(before, after) == 0);
  OK(qel_transaction_commit(transaction, E));
  FAILS(qel_transaction_commit(transaction, &error), QEL_MISUSE, 1, 12);
  qel_transaction_free(transaction);
  read_store(after, sizeof after);
  CHECK(strstr(after, "workers=9") != NULL && strstr(after, "[/T/Sub]") != NULL);
  qel_key_free(key);
  qel_connection_free(connection);
}

/* Another connection's write reaches this one through a refresh and a wait for change. */
static void test_live(void) {
  const char* const value[] = {"2"};
  qel_connection *reader, *writer;
  qel_key *key, *written;
  qel_list* changed;
  long long number;
  int descriptor;
  write_store("[/L]\nn=1\n");
  reader = login();
  writer = login();
  key = open_key(reader, "/L");
  OK(qel_refresh(reader, &changed, E));
  CHECK(changed->count == 0);
  qel_free(changed);
  OK(qel_wait_for_change(reader, 0, &changed, E));
  CHECK(changed->count == 0);
  qel_free(changed);
  OK(qel_change_descriptor(reader, &descriptor, E));
#ifdef _WIN32
  CHECK(descriptor >= -1);
#else
  CHECK(descriptor >= 0); /* the watched directory */
#endif

  written = open_key(writer, "/L");
  OK(qel_key_set_value(written, "n", value, NULL, 1, E));
  OK(qel_wait_for_change(reader, 10000, &changed, E));
  CHECK(changed->count == 1 && strcmp(changed->items[0], "/L") == 0);
  qel_free(changed);
  OK(qel_key_read_int(key, "n", 0, &number, E));
  CHECK(number == 2);
  qel_key_free(written);
  qel_key_free(key);
  qel_connection_free(writer);
  qel_connection_free(reader);
}

/* Whether `text` is well-formed UTF-8. */
static int valid_utf8(const unsigned char* text) {
  while (*text != 0) {
    int more = *text < 0x80             ? 0
               : (*text & 0xE0) == 0xC0 ? 1
               : (*text & 0xF0) == 0xE0 ? 2
               : (*text & 0xF8) == 0xF0 ? 3
                                        : -1;
    if (more < 0) return 0;
    for (++text; more > 0; --more, ++text) {
      if ((*text & 0xC0) != 0x80) return 0;
    }
  }
  return 1;
}

/* Failures fill the error object: a missing store, an unknown kind, NULL arguments, and messages
 * longer than its text, cut whole characters at a time whatever their widths. */
static void test_errors(void) {
  static const char* const kChars[] = {"a", "\xc3\xa9", "\xe6\x97\xa5", "\xf0\x9f\x94\x91"};
  const char* const value[] = {"x"};
  char name[1400];
  qel_connection* connection = NULL;
  qel_key* key = NULL;
  qel_error error;
  long long number;
  unsigned round;
  write_store("[/E]\n");
  FAILS(qel_login("ini", "/nonexistent/dir/store.ini", 0, "u", "", &connection, &error), QEL_FAILED,
        158, 12);
  CHECK(connection == NULL);
  FAILS(qel_login("nosuch", store, 0, "u", "", &connection, &error), QEL_MISUSE, 1, 12);
  FAILS(qel_login("ini", store, 0, NULL, "", &connection, &error), QEL_MISUSE, 1, 12);
  CHECK(qel_key_open(NULL, "/E", &key, NULL) == QEL_MISUSE);

  connection = login();
  FAILS(qel_key_open(connection, "/E/none", &key, &error), QEL_FAILED, 158, 12);
  CHECK(key == NULL);
  key = open_key(connection, "/E");
  FAILS(qel_key_set_value(key, "v", NULL, NULL, 1, &error), QEL_MISUSE, 1, 12);
  for (round = 0; round < 64; ++round) {
    size_t length = 0;
    const size_t limit = 1011 + next_random(300); /* the text is cut inside the name */
    while (length + 4 < limit) {
      const char* piece = kChars[next_random(4)];
      memcpy(name + length, piece, strlen(piece));
      length += strlen(piece);
    }
    name[length] = '\0';
    OK(qel_key_set_value(key, name, value, NULL, 1, E));
    memset(error.text, 0x7f, sizeof error.text);
    FAILS(qel_key_read_int(key, name, 0, &number, &error), QEL_FAILED, 169, 12);
    CHECK(memchr(error.text, '\0', sizeof error.text) != NULL);
    CHECK(valid_utf8((const unsigned char*)error.text));
    /* The message names the value: what was kept of it is a prefix of the name. */
    {
      const char* quoted = strchr(error.text, '"');
      CHECK(quoted != NULL && strncmp(quoted + 1, name, strlen(quoted + 1)) == 0);
      CHECK(strlen(error.text) > QEL_ERROR_TEXT_SIZE - 5);
    }
    OK(qel_key_delete_value(key, name, NULL, NULL, 0, E));
    if (failures > 0) return;
  }
  qel_key_free(key);
  qel_connection_free(connection);
}

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "";
  const char* cases = getenv("QEL_CAPI_CASES");
  random_state = argc > 2 ? strtoull(argv[2], NULL, 10) : (uint64_t)time(NULL);
  printf("%s: seed %llu\n", name, (unsigned long long)random_state);
  snprintf(store, sizeof store, "%s/%s.ini", QEL_CAPI_SCRATCH, name);
  if (strcmp(name, "values") == 0) {
    test_values(cases != NULL ? (unsigned)atoi(cases) : 150);
  } else if (strcmp(name, "elements") == 0) {
    test_elements();
  } else if (strcmp(name, "tree") == 0) {
    test_tree();
  } else if (strcmp(name, "transaction") == 0) {
    test_transaction();
  } else if (strcmp(name, "live") == 0) {
    test_live();
  } else if (strcmp(name, "errors") == 0) {
    test_errors();
  } else {
    fprintf(stderr, "usage: capi_test values|elements|tree|transaction|live|errors [SEED]\n");
    return 2;
  }
  remove(store);
  return failures == 0 ? 0 : 1;
}
