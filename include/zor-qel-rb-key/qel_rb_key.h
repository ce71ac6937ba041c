/// \file
/// QELRBKey: the public handle on one key of the configuration tree.
/// Thread safety: keys follow their connection: one thread at a time uses a connection with its
/// keys and iterators (reads too, since a read may refresh a key's cache). Handles that share a
/// backend key may be copied and destroyed from several threads.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <string_view>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_export.h>
#include <zor-qel-rb-key/qel_imp_pointer.h>
#include <zor-qel-rb-key/qel_no_case_string.h>
#include <zor-qel-rb-key/qel_rb_value.h>

class QELKey;
struct QELKeyLifeMgr;
class QELRBConstValueIterator;
class QELRBConstKeyIterator;

/// A handle on one key of the store: its values and subkeys. Opened on a logged-in connection;
/// outside a transaction every change is written to the store at once.
class QEL_API QELRBKey {
 public:
  /// An empty handle: every operation that needs a key throws the null-pointer QELLogicalError.
  QELRBKey();
  /// The root key of `conn`'s store.
  explicit QELRBKey(const QELConnection& conn);
  /// The key at `path` ("/A/B"); throws QELError 158 when it does not exist.
  QELRBKey(const std::string& path, const QELConnection& conn);
  /// A handle on the same key as `other`.
  QELRBKey(const QELRBKey& other);
  /// Makes this handle designate `other`'s key.
  QELRBKey& operator=(const QELRBKey& other);
  virtual ~QELRBKey();

  /// Paths compared byte for byte; connections are not compared.
  bool operator==(const QELRBKey& other) const;
  /// Orders keys by path, byte by byte.
  bool operator<(const QELRBKey& other) const;

  /// The key's path ("/A/B"; "" for the root).
  const std::string& GetKeyPath() const;
  /// The key's depth: the number of "/" in its path (0 for the root).
  unsigned long GetLevel() const;
  /// The last name of the path ("B" for "/A/B"; "" for the root).
  std::string GetKeyName() const;

  /// Whether the key has a value of that name (names ignore ASCII letter case).
  bool HasValue(const std::string& name) const;
  /// Throws QELError 160 when the key has no value of that name.
  QELRBValue GetValue(const std::string& name) const;
  /// The value of that name as this handle holds it, without a copy, or null when the key has
  /// none (no error record). The value stays valid until this handle next changes: a write or
  /// move through it (SetValue, AddValue, DeleteValue, SetValues, ChangeKey, Up, CommitSuicide,
  /// assignment, destruction), or a read through it or a copy of it after the store changed
  /// (Refresh, WaitForChange, a write through another handle of the connection), which may reload
  /// its values. Other handles, and the store changing, leave it as it was until then.
  const QELRBValue* FindValue(std::string_view name) const;
  /// Sets the value `name`, replacing any value of that name; an element holding the byte 0x1B is
  /// refused (168).
  void SetValue(const std::string& name, const QELRBValue& value);
  /// Merges the elements of `value` into the list; 159 when one is already there.
  void AddValue(const std::string& name, const QELRBValue& value);
  /// Removes the given elements from the list, or the whole value for an empty `value`.
  void DeleteValue(const std::string& name, const QELRBValue& value = QELRBValue());
  /// Sets each of `values` as SetValue does, in one write; checks them all before writing any.
  void SetValues(const std::map<QELNoCaseString, QELRBValue>& values);
  /// The names of the values whose stored text holds bytes after its last 0x1B separator (a list
  /// edited by hand without its final 0x1B, or a string holding 0x1B): they read as the elements
  /// before those bytes, and AddValue or DeleteValue of elements refuses them (168) rather than
  /// drop the bytes; SetValue and DeleteValue of the whole value replace them. Loading a key's
  /// values logs one error record for each.
  std::list<std::string> GetTruncatedValues() const;
  /// Throws QELError 168 (ZORKVA0611E) naming the first such value, as a write of it would be
  /// refused; returns when there is none.
  void RefuseTruncatedValues() const;

  /// The direct subkey `name`; throws QELError 158 when it does not exist.
  QELRBKey GetSubkey(const std::string& name) const;
  /// Whether the direct subkey `name` exists.
  bool HasSubkey(const std::string& name) const;
  /// Creates the direct subkey `name` and returns it; fails when it exists already.
  QELRBKey CreateSubkey(const std::string& name);
  /// Deletes the subkey and everything beneath it; a missing subkey is not an error.
  void DeleteSubkey(const std::string& name);
  /// True when the key has no subkeys (values do not count).
  bool IsEmpty() const;
  /// Moves the handle to the key's parent.
  void Up();
  /// An absolute path ("/A/B") or one relative to this key ("B/C").
  void ChangeKey(const std::string& path);
  /// Deletes this key and its subtree; the handle is left on the empty path.
  void CommitSuicide();

  /// Fills `it` with the values whose names match the wildcard `filter`.
  void SearchValues(QELRBConstValueIterator& it, const std::string& filter) const;
  /// Fills `it` with the subkeys `filter` selects; returns 1 when there is at least one, else 0.
  int SearchSubKey(QELRBConstKeyIterator& it, const std::string& filter, bool recursive,
                   const std::list<std::string>& exclusions) const;

 protected:
  /// A handle on the library's key object `key` of `conn`; for the classes derived from this one.
  QELRBKey(const qel_imp_pointer<QELKey*, QELKeyLifeMgr>& key, const QELConnection& conn);

 private:
  friend class QELRBConstKeyIterator;
  friend class QELRBConstValueIterator;
  friend class QELRBRootKey;
  friend struct qel_key;  // the C interface's key reads values in place

  QELConnection connection;
  qel_imp_pointer<QELKey*, QELKeyLifeMgr> keyPointer;
};
