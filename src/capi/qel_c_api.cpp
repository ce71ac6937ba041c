// The C interface (qel.h) on the key API: each function runs its body in one guard that turns
// every exception into a status and an error object, so that nothing of C++ leaves the library.
#include <zor-qel-rb-key/qel.h>

#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_copy.h>
#include <zor-qel-rb-key/zor_qel.h>
#include "qel_key.h"

struct qel_connection {
  QELConnection connection;
};

struct qel_key {
  // Calls `use` with the value's elements as the key's cache holds them, without a copy; false
  // when there is no such value (then QELRBKey::GetValue tells why).
  template <class Use>
  bool ReadInPlace(const char* name, Use&& use) const {
    QELValueMapPointer values;
    if (!key.keyPointer->GetValues(values).Ok()) return false;
    // Through the const access, so that the shared cache is not copied.
    const QELValueMapPointer& view = values;
    const QELValueMap* map = view.operator->();
    const QELValueMap::const_iterator found = map->Find(name);
    if (found == map->End()) return false;
    use(found->second.Elements());
    return true;
  }
  QELRBKey key;
};

// The walk holds its own copy of the key it started from; `walk` designates the next subkey to
// hand out.
struct qel_key_iterator {
  qel_key_iterator(const QELRBKey& from, const std::string& selector, bool recursive)
      : key(from), walk(key, selector, recursive, {}) {}
  QELRBKey key;
  QELRBConstKeyIterator walk;
  bool ended = false;
};

struct qel_transaction {
  explicit qel_transaction(const QELConnection& connection) : guard(connection) {}
  zor::qel::Transaction guard;
};

namespace {

constexpr long kLibraryFacility = static_cast<long>(zor::qel::Facility::kLibrary);

// A fault of the calling program found here rather than by the key API.
struct Misuse {
  long code;
  const char* text;
};

void Require(const void* argument, const char* text) {
  if (argument == nullptr) throw Misuse{QELLogicalError::kCode, text};
}

qel_status Fail(qel_error* error, qel_status status, long code, long facility,
                const char* text) noexcept {
  if (error == nullptr) return status;
  error->code = code;
  error->facility = facility;
  size_t length = std::strlen(text);
  if (length >= QEL_ERROR_TEXT_SIZE) {
    // Cut before the character the limit would split: back over UTF-8 continuation bytes.
    length = QEL_ERROR_TEXT_SIZE - 1;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(error->text, text, length);
  error->text[length] = '\0';
  return status;
}

template <class Body>
qel_status Run(qel_error* error, Body&& body) noexcept {
  try {
    body();
    return QEL_OK;
  } catch (const Misuse& misuse) {
    return Fail(error, QEL_MISUSE, misuse.code, kLibraryFacility, misuse.text);
  } catch (const QELLogicalError& failure) {
    return Fail(error, QEL_MISUSE, failure.Code(), failure.Facility(), failure.what());
  } catch (const QELError& failure) {
    return Fail(error, QEL_FAILED, failure.Code(), failure.Facility(), failure.what());
  } catch (const std::bad_alloc&) {
    return Fail(error, QEL_NO_MEMORY, 0, 0, "out of memory");
  } catch (const std::exception& failure) {
    return Fail(error, QEL_FAILED, 0, 0, failure.what());
  } catch (...) {
    return Fail(error, QEL_FAILED, 0, 0, "unknown failure");
  }
}

void* Allocate(size_t size) {
  void* block = std::malloc(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

char* MakeString(const std::string& text) {
  char* copy = static_cast<char*>(Allocate(text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// One block: the list, its item pointers, its lengths, then the strings with their NULs.
template <class Strings>
qel_list* MakeList(const Strings& strings) {
  const size_t count = strings.size();
  size_t size = sizeof(qel_list) + count * (sizeof(char*) + sizeof(size_t));
  for (const std::string& text : strings) size += text.size() + 1;
  char* block = static_cast<char*>(Allocate(size));
  qel_list* list = reinterpret_cast<qel_list*>(block);
  const char** items = reinterpret_cast<const char**>(block + sizeof(qel_list));
  size_t* lengths = reinterpret_cast<size_t*>(items + count);
  char* bytes = reinterpret_cast<char*>(lengths + count);
  size_t index = 0;
  for (const std::string& text : strings) {
    std::memcpy(bytes, text.c_str(), text.size() + 1);
    items[index] = bytes;
    lengths[index] = text.size();
    bytes += text.size() + 1;
    ++index;
  }
  list->count = count;
  list->items = items;
  list->lengths = lengths;
  return list;
}

std::vector<std::string> Elements(const char* const* elements, const size_t* lengths,
                                  size_t count) {
  if (count > 0) Require(elements, "elements is NULL");
  std::vector<std::string> value;
  value.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    Require(elements[i], "an element is NULL");
    value.emplace_back(elements[i], lengths != nullptr ? lengths[i] : std::strlen(elements[i]));
  }
  return value;
}

const QELRBKey& KeyOf(const qel_key* key) {
  Require(key, "key is NULL");
  return key->key;
}

QELRBKey& KeyOf(qel_key* key) {
  Require(key, "key is NULL");
  return key->key;
}

QELConnection& ConnectionOf(qel_connection* connection) {
  Require(connection, "connection is NULL");
  return connection->connection;
}

qel_key* MakeKey(const QELRBKey& key) { return std::make_unique<qel_key>(qel_key{key}).release(); }

}  // namespace

extern "C" {

void qel_free(void* block) { std::free(block); }

qel_status qel_login(const char* type, const char* host, int port, const char* user,
                     const char* password, qel_connection** connection, qel_error* error) {
  return Run(error, [&] {
    Require(type, "type is NULL");
    Require(host, "host is NULL");
    Require(user, "user is NULL");
    Require(password, "password is NULL");
    Require(connection, "connection is NULL");
    auto made = std::make_unique<qel_connection>(
        qel_connection{QELConnection(QELConnection::StringToConnectionType(type))});
    made->connection.Login(host, port, user, password);
    *connection = made.release();
  });
}

void qel_connection_free(qel_connection* connection) { delete connection; }

qel_status qel_refresh(qel_connection* connection, qel_list** changed, qel_error* error) {
  return Run(error, [&] {
    QELConnection& handle = ConnectionOf(connection);
    Require(changed, "changed is NULL");
    *changed = MakeList(handle.Refresh());
  });
}

qel_status qel_wait_for_change(qel_connection* connection, int timeout_ms, qel_list** changed,
                               qel_error* error) {
  return Run(error, [&] {
    QELConnection& handle = ConnectionOf(connection);
    Require(changed, "changed is NULL");
    *changed = MakeList(handle.WaitForChange(timeout_ms));
  });
}

qel_status qel_change_descriptor(qel_connection* connection, int* descriptor, qel_error* error) {
  return Run(error, [&] {
    const QELConnection& handle = ConnectionOf(connection);
    Require(descriptor, "descriptor is NULL");
    *descriptor = handle.GetChangeDescriptor();
  });
}

qel_status qel_transaction_begin(qel_connection* connection, qel_transaction** transaction,
                                 qel_error* error) {
  return Run(error, [&] {
    const QELConnection& handle = ConnectionOf(connection);
    Require(transaction, "transaction is NULL");
    *transaction = std::make_unique<qel_transaction>(handle).release();
  });
}

qel_status qel_transaction_commit(qel_transaction* transaction, qel_error* error) {
  return Run(error, [&] {
    Require(transaction, "transaction is NULL");
    transaction->guard.Commit();
  });
}

void qel_transaction_free(qel_transaction* transaction) { delete transaction; }

qel_status qel_key_open(qel_connection* connection, const char* path, qel_key** key,
                        qel_error* error) {
  return Run(error, [&] {
    const QELConnection& handle = ConnectionOf(connection);
    Require(path, "path is NULL");
    Require(key, "key is NULL");
    const bool root = path[0] == '\0' || std::strcmp(path, "/") == 0;
    *key = MakeKey(root ? QELRBKey(handle) : QELRBKey(path, handle));
  });
}

void qel_key_free(qel_key* key) { delete key; }

qel_status qel_key_path(const qel_key* key, char** path, qel_error* error) {
  return Run(error, [&] {
    const QELRBKey& handle = KeyOf(key);
    Require(path, "path is NULL");
    *path = MakeString(handle.GetKeyPath());
  });
}

qel_status qel_key_has_value(const qel_key* key, const char* name, int* present, qel_error* error) {
  return Run(error, [&] {
    const QELRBKey& handle = KeyOf(key);
    Require(name, "name is NULL");
    Require(present, "present is NULL");
    *present = handle.HasValue(name) ? 1 : 0;
  });
}

qel_status qel_key_get_value(const qel_key* key, const char* name, qel_list** value,
                             qel_error* error) {
  return Run(error, [&] {
    const QELRBKey& handle = KeyOf(key);
    Require(name, "name is NULL");
    Require(value, "value is NULL");
    qel_list* made = nullptr;
    if (!key->ReadInPlace(
            name, [&](const std::vector<std::string>& elements) { made = MakeList(elements); })) {
      made = MakeList(handle.GetValue(name).Elements());
    }
    *value = made;
  });
}

qel_status qel_key_read_string(const qel_key* key, const char* name, const char* fallback,
                               char** text, qel_error* error) {
  return Run(error, [&] {
    const QELRBKey& handle = KeyOf(key);
    Require(name, "name is NULL");
    Require(fallback, "fallback is NULL");
    Require(text, "text is NULL");
    *text = MakeString(zor::qel::ReadString(handle, name, fallback));
  });
}

qel_status qel_key_read_int(const qel_key* key, const char* name, long long fallback,
                            long long* number, qel_error* error) {
  return Run(error, [&] {
    const QELRBKey& handle = KeyOf(key);
    Require(name, "name is NULL");
    Require(number, "number is NULL");
    *number = zor::qel::ReadInteger<long long>(handle, name, fallback);
  });
}

qel_status qel_key_read_bool(const qel_key* key, const char* name, int fallback, int* flag,
                             qel_error* error) {
  return Run(error, [&] {
    const QELRBKey& handle = KeyOf(key);
    Require(name, "name is NULL");
    Require(flag, "flag is NULL");
    *flag = zor::qel::ReadBool(handle, name, fallback != 0) ? 1 : 0;
  });
}

qel_status qel_key_set_value(qel_key* key, const char* name, const char* const* elements,
                             const size_t* lengths, size_t count, qel_error* error) {
  return Run(error, [&] {
    QELRBKey& handle = KeyOf(key);
    Require(name, "name is NULL");
    handle.SetValue(name, QELRBValue(Elements(elements, lengths, count)));
  });
}

qel_status qel_key_add_value(qel_key* key, const char* name, const char* const* elements,
                             const size_t* lengths, size_t count, qel_error* error) {
  return Run(error, [&] {
    QELRBKey& handle = KeyOf(key);
    Require(name, "name is NULL");
    handle.AddValue(name, QELRBValue(Elements(elements, lengths, count)));
  });
}

qel_status qel_key_delete_value(qel_key* key, const char* name, const char* const* elements,
                                const size_t* lengths, size_t count, qel_error* error) {
  return Run(error, [&] {
    QELRBKey& handle = KeyOf(key);
    Require(name, "name is NULL");
    handle.DeleteValue(name, QELRBValue(Elements(elements, lengths, count)));
  });
}

qel_status qel_key_value_names(const qel_key* key, const char* pattern, qel_list** names,
                               qel_error* error) {
  return Run(error, [&] {
    const QELRBKey& handle = KeyOf(key);
    Require(pattern, "pattern is NULL");
    Require(names, "names is NULL");
    std::vector<std::string> found;
    for (QELRBConstValueIterator it(handle, pattern); it != QELRBConstValueIterator::EndIterator;
         ++it) {
      found.push_back((*it).first);
    }
    *names = MakeList(found);
  });
}

qel_status qel_key_has_subkey(const qel_key* key, const char* name, int* present,
                              qel_error* error) {
  return Run(error, [&] {
    const QELRBKey& handle = KeyOf(key);
    Require(name, "name is NULL");
    Require(present, "present is NULL");
    *present = handle.HasSubkey(name) ? 1 : 0;
  });
}

qel_status qel_key_open_subkey(const qel_key* key, const char* name, qel_key** subkey,
                               qel_error* error) {
  return Run(error, [&] {
    const QELRBKey& handle = KeyOf(key);
    Require(name, "name is NULL");
    Require(subkey, "subkey is NULL");
    *subkey = MakeKey(handle.GetSubkey(name));
  });
}

qel_status qel_key_create_subkey(qel_key* key, const char* name, qel_key** subkey,
                                 qel_error* error) {
  return Run(error, [&] {
    QELRBKey& handle = KeyOf(key);
    Require(name, "name is NULL");
    // The handle is made before the key, so that running out of memory changes nothing.
    auto made = std::make_unique<qel_key>();
    made->key = handle.CreateSubkey(name);
    if (subkey != nullptr) *subkey = made.release();
  });
}

qel_status qel_key_delete_subkey(qel_key* key, const char* name, qel_error* error) {
  return Run(error, [&] {
    QELRBKey& handle = KeyOf(key);
    Require(name, "name is NULL");
    handle.DeleteSubkey(name);
  });
}

qel_status qel_key_search(const qel_key* key, const char* selector, int recursive,
                          qel_key_iterator** iterator, qel_error* error) {
  return Run(error, [&] {
    const QELRBKey& handle = KeyOf(key);
    Require(selector, "selector is NULL");
    Require(iterator, "iterator is NULL");
    *iterator = std::make_unique<qel_key_iterator>(handle, selector, recursive != 0).release();
  });
}

qel_status qel_key_iterator_next(qel_key_iterator* iterator, qel_key** subkey, qel_error* error) {
  return Run(error, [&] {
    Require(iterator, "iterator is NULL");
    Require(subkey, "subkey is NULL");
    if (iterator->ended) {
      throw Misuse{static_cast<long>(zor::qel::ErrorCode::kPastEnd), "the walk is past its end"};
    }
    if (iterator->walk == QELRBConstKeyIterator::EndIterator) {
      iterator->ended = true;
      *subkey = nullptr;
      return;
    }
    // The subkey is copied before the step, so that running out of memory loses none.
    std::unique_ptr<qel_key> next(MakeKey(*iterator->walk));
    ++iterator->walk;
    *subkey = next.release();
  });
}

void qel_key_iterator_free(qel_key_iterator* iterator) { delete iterator; }

qel_status qel_copy_etcd_store(const qel_store_login* source, const qel_store_login* destination,
                               long batch, void (*progress)(const char* line, void* context),
                               void* context, qel_copy_counts* counts, qel_error* error) {
  return Run(error, [&] {
    Require(source, "source is NULL");
    Require(destination, "destination is NULL");
    Require(source->address, "source->address is NULL");
    Require(destination->address, "destination->address is NULL");
    const auto login = [](const qel_store_login& given) {
      return zor::qel::StoreLogin{given.address, given.user != nullptr ? given.user : "",
                                  given.password != nullptr ? given.password : ""};
    };
    zor::qel::CopyOptions options;
    options.batch = batch;
    if (progress != nullptr) {
      options.progress = [progress, context](const std::string& line) {
        progress(line.c_str(), context);
      };
    }
    const zor::qel::CopyCounts done =
        zor::qel::CopyEtcdStore(login(*source), login(*destination), options);
    if (counts != nullptr) *counts = {done.keys, done.values, done.skipped, done.resumed ? 1 : 0};
  });
}

}  // extern "C"
