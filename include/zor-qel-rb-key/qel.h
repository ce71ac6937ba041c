/* The C interface of the library: plain C99 functions on opaque handles, for programs built with
 * any compiler or runtime and for other languages' foreign-function layers.
 * Thread safety: that of the C++ API: a connection, with every key, iterator and transaction made
 * from it, is used by one thread at a time. */
#ifndef ZOR_QEL_RB_KEY_QEL_H
#define ZOR_QEL_RB_KEY_QEL_H

#include <stddef.h>

#include <zor-qel-rb-key/qel_export.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
 * @file qel.h
 * @brief The configuration store through C functions.
 *
 * Every function that can fail returns a ::qel_status and, on failure, fills the ::qel_error
 * given as its last argument (which may be NULL when the caller wants no detail). On success the
 * error object is left untouched. Every string passed in or out is UTF-8 and NUL-terminated;
 * values are lists of elements passed as arrays with lengths.
 *
 * Ownership: a handle (::qel_connection, ::qel_key, ::qel_key_iterator, ::qel_transaction) returned
 * through an out-argument belongs to the caller, who releases it with its own `_free` function.
 * Strings (`char *`) and lists (::qel_list) returned through out-arguments belong to the caller,
 * who releases them with qel_free(). Out-arguments are written only on success. A key or iterator
 * keeps its store open: its connection handle may be freed first.
 */

/** The outcome of a call. */
typedef enum qel_status {
  QEL_OK = 0,       /**< The call succeeded. */
  QEL_FAILED = 1,   /**< The store refused or failed the operation; the error says why. */
  QEL_MISUSE = 2,   /**< A fault of the calling program: a NULL argument, a used iterator,
                         a second transaction on one connection. */
  QEL_NO_MEMORY = 3 /**< Memory ran out; nothing was changed. */
} qel_status;

/** Room for an error's text, its terminating NUL included. */
#define QEL_ERROR_TEXT_SIZE 1024

/** What went wrong: the code and facility of the library's errors (README "Errors"). */
typedef struct qel_error {
  long code;     /**< The error's code; it means something only with its facility. */
  long facility; /**< The layer that reported it: 12 the library, 1 the store, 4 a key path;
                      0 for a failure from outside the library (memory, the C++ runtime). */
  char text[QEL_ERROR_TEXT_SIZE]; /**< The message, UTF-8, NUL-terminated; a longer message is
                                       cut at a character boundary. */
} qel_error;

/** A connection to one store, logged in. */
typedef struct qel_connection qel_connection;
/** One key of the tree. */
typedef struct qel_key qel_key;
/** A walk over the subkeys a selector chooses. */
typedef struct qel_key_iterator qel_key_iterator;
/** A transaction begun on a connection. */
typedef struct qel_transaction qel_transaction;

/** A list of strings: a value's elements, or names and paths. One block: release it with
 *  qel_free(), never its members. */
typedef struct qel_list {
  size_t count;             /**< How many strings. */
  const char* const* items; /**< The strings, each NUL-terminated (an element may also hold
                                 NUL bytes: trust lengths). */
  const size_t* lengths;    /**< The length of each string in bytes, without the final NUL. */
} qel_list;

/** Releases a string or ::qel_list the library returned.
 *  @param block What to release; NULL is ignored. */
QEL_API void qel_free(void* block);

/**
 * Opens a store and logs in.
 * @param type "ini" (a local INI file), "rini" (an INI file on a WebDAV server) or "simple_ini".
 * @param host For "rini" "server[:port][/path]", otherwise the INI file's path.
 * @param port The server's port, or 0.
 * @param user The user (not empty); @p password may be "".
 * @param password The user's password.
 * @param connection Receives the connection, owned by the caller: qel_connection_free().
 * @param error Filled on failure (codes 157, 158, -7, 1112-1114, or the store's).
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_login(const char* type, const char* host, int port, const char* user,
                             const char* password, qel_connection** connection, qel_error* error);

/** Releases a connection; keys and iterators made from it stay usable.
 *  @param connection What to release; NULL is ignored. */
QEL_API void qel_connection_free(qel_connection* connection);

/**
 * Reads the store again when another writer changed it, keeping this connection's unwritten
 * changes on top.
 * @param connection The connection.
 * @param changed Receives the sorted paths of the keys whose values changed or whose subkeys came
 *        or went ("" is the root); an empty list when nothing changed. Owned by the caller.
 * @param error Filled on failure; the connection's data then stays as it was.
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_refresh(qel_connection* connection, qel_list** changed, qel_error* error);

/**
 * Blocks up to @p timeout_ms milliseconds until another writer changes the store, then does as
 * qel_refresh(); @p changed is empty on timeout.
 * @param connection The connection.
 * @param timeout_ms The longest wait.
 * @param changed Receives the changed keys' paths, owned by the caller.
 * @param error Filled on failure.
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_wait_for_change(qel_connection* connection, int timeout_ms,
                                       qel_list** changed, qel_error* error);

/**
 * For an event loop: a descriptor that polls readable when the store may have changed (then
 * call qel_refresh()). It belongs to the connection's store: do not close it.
 * @param connection The connection.
 * @param descriptor Receives the descriptor, or -1 when the store has none (remote stores: call
 *        qel_refresh() on a timer).
 * @param error Filled on failure.
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_change_descriptor(qel_connection* connection, int* descriptor,
                                         qel_error* error);

/**
 * Begins a transaction: keys opened from now on write nothing until qel_transaction_commit(),
 * which writes once. A key opened before writes at once, and with it the transaction's changes.
 * @param connection The connection; one already in a transaction is refused (::QEL_MISUSE).
 * @param transaction Receives the transaction, owned by the caller: qel_transaction_free().
 * @param error Filled on failure.
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_transaction_begin(qel_connection* connection, qel_transaction** transaction,
                                         qel_error* error);

/**
 * Writes the transaction's changes and ends it. When the write fails the store stays as it was
 * and the changes stay in memory: commit again.
 * @param transaction The transaction; one committed already is refused (::QEL_MISUSE).
 * @param error Filled on failure.
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_transaction_commit(qel_transaction* transaction, qel_error* error);

/** Releases a transaction. Released without a commit it writes nothing, and the store cannot
 *  take changes back: they stay in the connection's memory (a write through a key opened before
 *  the transaction would take them along) and the connection stays in the transaction. Drop the
 *  connection with its keys to drop them.
 *  @param transaction What to release; NULL is ignored. */
QEL_API void qel_transaction_free(qel_transaction* transaction);

/**
 * Opens the key at an absolute path ("/A/B"; "/" is the root).
 * @param connection The connection.
 * @param path The key's path.
 * @param key Receives the key, owned by the caller: qel_key_free().
 * @param error Filled on failure (158 when there is no such key).
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_open(qel_connection* connection, const char* path, qel_key** key,
                                qel_error* error);

/** Releases a key.
 *  @param key What to release; NULL is ignored. */
QEL_API void qel_key_free(qel_key* key);

/**
 * The key's path.
 * @param key The key.
 * @param path Receives the path, owned by the caller: qel_free().
 * @param error Filled on failure.
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_path(const qel_key* key, char** path, qel_error* error);

/**
 * Whether the key holds a value of that name (names compare without letter case).
 * @param key The key.
 * @param name The value's name.
 * @param present Receives 1 or 0.
 * @param error Filled on failure.
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_has_value(const qel_key* key, const char* name, int* present,
                                     qel_error* error);

/**
 * Reads a value's elements.
 * @param key The key.
 * @param name The value's name.
 * @param value Receives the elements, owned by the caller: qel_free().
 * @param error Filled on failure (160 when there is no such value).
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_get_value(const qel_key* key, const char* name, qel_list** value,
                                     qel_error* error);

/**
 * Reads a value as one string, or @p fallback when there is none; an empty value reads as "".
 * @param key The key.
 * @param name The value's name.
 * @param fallback What a missing value reads as.
 * @param text Receives the string, owned by the caller: qel_free().
 * @param error Filled on failure (169 for a list of several elements).
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_read_string(const qel_key* key, const char* name, const char* fallback,
                                       char** text, qel_error* error);

/**
 * Reads a value as a decimal integer ("80", "-3", "+7"), or @p fallback when there is none.
 * @param key The key.
 * @param name The value's name.
 * @param fallback What a missing value reads as.
 * @param number Receives the number.
 * @param error Filled on failure (169 for anything but one integer in range).
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_read_int(const qel_key* key, const char* name, long long fallback,
                                    long long* number, qel_error* error);

/**
 * Reads a value as a boolean ("true", "yes", "on", "1" or "false", "no", "off", "0", in any
 * letter case), or @p fallback when there is none.
 * @param key The key.
 * @param name The value's name.
 * @param fallback What a missing value reads as (0 or 1).
 * @param flag Receives 1 or 0.
 * @param error Filled on failure (169 for anything else).
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_read_bool(const qel_key* key, const char* name, int fallback, int* flag,
                                     qel_error* error);

/**
 * Sets a value to a list of elements, replacing it whole.
 * @param key The key.
 * @param name The value's name.
 * @param elements The elements, UTF-8.
 * @param lengths Their lengths in bytes, or NULL when each is NUL-terminated.
 * @param count How many elements (0: the empty value).
 * @param error Filled on failure (168 when an element holds the byte 0x1B).
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_set_value(qel_key* key, const char* name, const char* const* elements,
                                     const size_t* lengths, size_t count, qel_error* error);

/**
 * Adds elements to a value's list (making the value when missing).
 * @param key The key.
 * @param name The value's name.
 * @param elements The elements.
 * @param lengths Their lengths in bytes, or NULL when each is NUL-terminated.
 * @param count How many elements.
 * @param error Filled on failure (159 when one is there already: nothing is added).
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_add_value(qel_key* key, const char* name, const char* const* elements,
                                     const size_t* lengths, size_t count, qel_error* error);

/**
 * Removes elements from a value's list, or the whole value when @p count is 0.
 * @param key The key.
 * @param name The value's name.
 * @param elements The elements to remove.
 * @param lengths Their lengths in bytes, or NULL when each is NUL-terminated.
 * @param count How many elements; 0 removes the value.
 * @param error Filled on failure.
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_delete_value(qel_key* key, const char* name, const char* const* elements,
                                        const size_t* lengths, size_t count, qel_error* error);

/**
 * The names of the key's values that match a wildcard pattern ("*" for all).
 * @param key The key.
 * @param pattern The pattern.
 * @param names Receives the names, owned by the caller: qel_free().
 * @param error Filled on failure.
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_value_names(const qel_key* key, const char* pattern, qel_list** names,
                                       qel_error* error);

/**
 * Whether the key has a subkey of that name.
 * @param key The key.
 * @param name The subkey's name.
 * @param present Receives 1 or 0.
 * @param error Filled on failure.
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_has_subkey(const qel_key* key, const char* name, int* present,
                                      qel_error* error);

/**
 * Opens a subkey.
 * @param key The key.
 * @param name The subkey's name.
 * @param subkey Receives the subkey, owned by the caller: qel_key_free().
 * @param error Filled on failure (158 when there is none).
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_open_subkey(const qel_key* key, const char* name, qel_key** subkey,
                                       qel_error* error);

/**
 * Creates a subkey.
 * @param key The key.
 * @param name The new subkey's name.
 * @param subkey Receives the subkey, owned by the caller: qel_key_free(); may be NULL.
 * @param error Filled on failure (159 when it exists, 164 for an invalid name).
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_create_subkey(qel_key* key, const char* name, qel_key** subkey,
                                         qel_error* error);

/**
 * Deletes a subkey with everything beneath it; a missing subkey is no error.
 * @param key The key.
 * @param name The subkey's name.
 * @param error Filled on failure.
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_delete_subkey(qel_key* key, const char* name, qel_error* error);

/**
 * Starts a walk over the subkeys a selector chooses, in the store's order (a key before its own
 * subkeys). The walk sees the store as it was when it started.
 * @param key The key whose subkeys are walked.
 * @param selector "(key=*)" for every subkey, "(repositoryname=R)" for those whose value
 *        repositoryname is R (README "The store" gives the rest).
 * @param recursive 1 to walk the whole subtree, 0 for the direct subkeys.
 * @param iterator Receives the walk, owned by the caller: qel_key_iterator_free().
 * @param error Filled on failure (a malformed selector).
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_search(const qel_key* key, const char* selector, int recursive,
                                  qel_key_iterator** iterator, qel_error* error);

/**
 * Steps a walk.
 * @param iterator The walk.
 * @param subkey Receives the next subkey, owned by the caller: qel_key_free(); NULL at the end
 *        (a further step then fails with ::QEL_MISUSE, code 167).
 * @param error Filled on failure.
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_key_iterator_next(qel_key_iterator* iterator, qel_key** subkey,
                                         qel_error* error);

/** Releases a walk; keys it gave stay usable.
 *  @param iterator What to release; NULL is ignored. */
QEL_API void qel_key_iterator_free(qel_key_iterator* iterator);

/** A store's address and the login to it, for qel_copy_etcd_store(). */
typedef struct qel_store_login {
  const char* address;  /**< "etcd://HOST:PORT,.../PREFIX" or "etcds://..." */
  const char* user;     /**< "" or NULL for a cluster without authentication */
  const char* password; /**< "" or NULL for none */
} qel_store_login;

/** What qel_copy_etcd_store() did. */
typedef struct qel_copy_counts {
  long keys;    /**< Keys of the source (below its root key). */
  long values;  /**< Their values. */
  long skipped; /**< Keys an earlier run of the same copy had already written as they are. */
  int resumed;  /**< 1 when the destination held this copy unfinished, else 0. */
} qel_copy_counts;

/**
 * Copies every key of an etcd store, with its values, into another etcd store that holds no key
 * yet (or the unfinished copy of the same source), reading the source page by page and
 * committing in batches, so that memory stays near a page and a commit whatever the tree's size
 * (the C++ zor::qel::CopyEtcdStore, <zor-qel-rb-key/qel_copy.h>).
 * @param source The store copied.
 * @param destination The store written.
 * @param batch Keys a commit holds at most; 0 for as many as the destination takes.
 * @param progress Called with a line of progress after each commit but the last; may be NULL.
 * @param context Passed to @p progress.
 * @param counts Receives what the copy did; may be NULL.
 * @param error Filled on failure (159 when the destination holds other keys or another copy or
 *        the source is an unfinished copy; 6 when another writer changed the destination).
 * @return ::QEL_OK, or the status of the failure.
 */
QEL_API qel_status qel_copy_etcd_store(const qel_store_login* source,
                                       const qel_store_login* destination, long batch,
                                       void (*progress)(const char* line, void* context),
                                       void* context, qel_copy_counts* counts, qel_error* error);

#ifdef __cplusplus
}
#endif

#endif /* ZOR_QEL_RB_KEY_QEL_H */
