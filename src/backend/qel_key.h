// QELKey: the backend key behind every public key handle: path, name, value cache, and the
// operations every backend implements.
// Thread safety: none of its own; a key object is used by one thread at a time (handles detach
// before they change a shared key).
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <utility>

#include <zor-qel-rb-key/qel_imp_pointer.h>
#include <zor-qel-rb-key/qel_iterator.h>
#include <zor-qel-rb-key/qel_no_case_string.h>
#include <zor-qel-rb-key/qel_rb_value.h>
#include "qel_status.h"
#include "qel_value_map.h"

class QELKey;

// The copy-on-write policy of backend keys.
struct QELKeyLifeMgr {
  QELKey* Clone(QELKey* p) const;
  void Destroy(QELKey*& p) const;
};

using QELKeyPointer = qel_imp_pointer<QELKey*, QELKeyLifeMgr>;
using QELValueMapPointer = qel_imp_pointer<QELValueMap*, QELValueMapLifeMgr>;
using QELValueItem = std::pair<QELNoCaseString, QELRBValue>;

// The backend key: one node of the tree as a backend holds it. Every operation returns a
// QELStatus: (0, "") on success; on failure a code and the message id or text, with the key, its
// cache and the store left as they were unless the operation says otherwise. Paths are "" for the
// root or "/" and names joined by "/".
class QELKey {
 public:
  // The key on `path` with no value cache; "" makes the root. Throws QELError (facility 4,
  // "src\qel_key") when a non-empty `path` is invalid.
  explicit QELKey(const std::string& path);
  // Shares `other`'s value cache until either side writes to it.
  QELKey(const QELKey& other);
  virtual ~QELKey();

  // Takes `other`'s path, name and (shared) cache.
  virtual QELKey& operator=(const QELKey& other);
  // A new heap copy made by the copy constructor; the caller owns it.
  virtual QELKey* Clone() const = 0;
  virtual const std::string& GetKeyPath() const;
  // The text after the path's last "/" ("" for the root).
  virtual const std::string& GetKeyName();
  // Moves the key to `path`. 164 (logged) when the path does not begin with "/"; the base sets
  // only the path, a backend also loads the values and adds its own failures (158 when nothing
  // is stored at `path`). On failure the key keeps its path and values.
  virtual QELStatus ChangeKey(const std::string& path);
  // Moves the key to its parent: ChangeKey on the path without its last name, so a key just
  // below the root asks for "" and fails as ChangeKey does.
  virtual QELStatus Up();
  // Erases the key with everything below it from the store, then becomes the root without a
  // value cache. Always succeeds.
  virtual QELStatus CommitSuicide();
  // Replaces the value `value.first` (adding it when missing) by `value.second`; the store is
  // written back unless a transaction was open when the key was made. 168 for an element that
  // cannot be stored. REQUIRES: a value cache (not the root).
  virtual QELStatus SetValue(QELValueItem value) = 0;
  // Merges the elements of `value.second` into the list `value.first` (creating it). 159 when
  // one is already in the key's view of the list: then nothing changes.
  virtual QELStatus AddValue(const QELValueItem& value) = 0;
  // SetValue of every entry, with one write back at the end; an empty map only writes back.
  virtual QELStatus SetValues(const QELValueMap& values) = 0;
  // Fills `value.second` with the value named `value.first` (and `value.first` with its stored
  // spelling); 160 with a text naming the value and the key when there is none.
  virtual QELStatus GetValue(QELValueItem& value);
  // The cached value of that name without a copy, or null when there is none. The
  // pointer stays valid until this key object next changes its cache: a write through it, a
  // move, or a read that reloads the cache because the store changed since it was loaded.
  virtual const QELRBValue* FindValue(std::string_view name);
  // Shares the whole value cache with `values`.
  virtual QELStatus GetValues(QELValueMapPointer& values);
  // Sets `has` to whether a value of that name exists. Always succeeds.
  virtual QELStatus HasValue(const QELNoCaseString& name, bool& has);
  // Removes the elements of `value.second` from the list `value.first`, every occurrence; an
  // empty `value.second` removes the whole value. A missing value is no error.
  virtual QELStatus DeleteValue(const QELValueItem& value) = 0;
  // DeleteValue of every entry, with one write back at the end.
  virtual QELStatus DeleteValues(const QELValueMap& values) = 0;
  // Fills `names` with the values whose stored text holds bytes their decoded elements leave
  // out, as the store holds them now. The base knows no stored text: none.
  virtual QELStatus GetTruncatedValues(std::list<std::string>& names);
  // Installs in `cursor` a reader over a snapshot of the values whose names match the wildcard
  // `filter`. A reader that cannot be made is reported with its error's code and text.
  virtual QELStatus SearchValues(const std::string& filter, qel_iterator<QELValueItem>& cursor,
                                 uint32_t& count) = 0;
  // Creates the empty subkey `name`. 164 for an empty name, 159 when it exists.
  virtual QELStatus CreateSubkey(const std::string& name) = 0;
  // Erases the subkey `name` (or "(name)") with everything below it. 158 when it is missing.
  virtual QELStatus DeleteSubkey(const std::string& name, bool flag) = 0;
  // Moves `target` to the subkey `name` with its values loaded. 158 when it is missing; then
  // `target` is untouched.
  virtual QELStatus GetSubkey(const std::string& name, QELKey& target) = 0;
  // Sets `has` to whether the subkey `name` exists. Always succeeds.
  virtual QELStatus HasSubkey(const std::string& name, bool& has) = 0;
  // Installs in `cursor` a reader over the subkeys (all descendants when `recursive`) that the
  // selector `filter` selects, and sets `count` to 1 when there is a first one, else 0.
  // `exclusions` is accepted and not used.
  virtual QELStatus SearchSubKey(const std::string& filter, qel_iterator<QELKeyPointer>& cursor,
                                 bool recursive, const std::list<std::string>& exclusions,
                                 uint32_t& count) = 0;
  // Sets `empty` to whether the key has no direct subkey (values do not count). Always
  // succeeds.
  virtual QELStatus IsEmpty(bool& empty) = 0;

  // Number of "/" in the path.
  uint32_t GetLevel() const;
  // Paths equal byte for byte.
  bool operator==(const QELKey& other) const;

 protected:
  // The QELKey body of ChangeKey, callable while a derived object is being built.
  QELStatus ChangePath(const std::string& path);

  std::string name;
  std::string path;
  QELValueMapPointer values;
};
