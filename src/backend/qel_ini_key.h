// QELIniKey: the backend key over an INI store (one group per key, one entry per value), its
// subkey matcher and the reader that walks its subkeys.
// Thread safety: a key or reader is used by one thread at a time; keys on one store may run at
// once only as far as the store allows (reads).
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "ini.h"
#include "list_value.h"
#include "qel_ini_connection.h"
#include "qel_key.h"

// Decides whether a group name is a subkey of the key with prefix Q (its path followed by "/"):
// direct subkeys only, or every descendant.
class QELSubkeyMatcher {
 public:
  QELSubkeyMatcher(const std::string& prefix, bool recursive)
      : prefix_(prefix), recursive_(recursive) {}
  bool operator()(const std::string& group) const;
  const std::string& GetPrefix() const { return prefix_; }

 private:
  std::string prefix_;
  bool recursive_;
};

// Refuses a value that would not read back as written (168): an element holding the separator.
QELStatus CheckStorable(const QELValueItem& value);

class QELIniKey : public QELKey {
 public:
  // The root key of `connection`'s store: path "", no value cache. Throws QELLogicalError when
  // `connection` is not an INI connection.
  explicit QELIniKey(QELConnectionBase& connection);
  explicit QELIniKey(const QELIniConnection& connection);
  // The root key of the store `key` is on, with the transaction flag `key` was made with.
  struct SameStore {};
  QELIniKey(SameStore, const QELIniKey& key);
  // A key on `path`; throws QELError (its code, facility 12, "src\qel_ini_key") when the group
  // is missing (158) or the path invalid (164).
  QELIniKey(const std::string& path, QELConnectionBase& connection);
  QELIniKey(const QELIniKey& other);
  ~QELIniKey() override;

  QELKey* Clone() const override;
  QELStatus ChangeKey(const std::string& path) override;
  QELStatus CommitSuicide() override;
  QELStatus SetValue(QELValueItem value) override;
  QELStatus AddValue(const QELValueItem& value) override;
  QELStatus SetValues(const QELValueMap& values) override;
  QELStatus GetValue(QELValueItem& value) override;
  const QELRBValue* FindValue(std::string_view name) override;
  QELStatus GetValues(QELValueMapPointer& values) override;
  QELStatus HasValue(const QELNoCaseString& name, bool& has) override;
  QELStatus DeleteValue(const QELValueItem& value) override;
  QELStatus DeleteValues(const QELValueMap& values) override;
  QELStatus GetTruncatedValues(std::list<std::string>& names) override;
  QELStatus SearchValues(const std::string& filter, qel_iterator<QELValueItem>& cursor,
                         uint32_t& count) override;
  QELStatus CreateSubkey(const std::string& name) override;
  QELStatus DeleteSubkey(const std::string& name, bool flag) override;
  QELStatus GetSubkey(const std::string& name, QELKey& target) override;
  QELStatus HasSubkey(const std::string& name, bool& has) override;
  QELStatus SearchSubKey(const std::string& filter, qel_iterator<QELKeyPointer>& cursor,
                         bool recursive, const std::list<std::string>& exclusions,
                         uint32_t& count) override;
  QELStatus IsEmpty(bool& empty) override;

  // The store this key works on, kept alive by the key's share of the holder; throws
  // QELLogicalError when the connection never logged in.
  Ini& Store() const;
  // The key's value cache, for the value reader.
  const QELValueMapPointer& GetValueCache() const { return values; }
  // The values of `group` as `store` holds them now, shared with every key that loaded them
  // since the group last changed; false when the group does not exist.
  static bool SharedGroupValues(const Ini& store, const std::string& group,
                                QELValueMapPointer& out);

 private:
  friend class QELIniKeyReader;

  // The loadedAt of a key a subkey walk yielded before its values were read: no store reaches it,
  // so the first read loads them.
  static constexpr uint64_t kWalked = UINT64_MAX;

  // ChangeKey's last steps, with the values of the group at `path` already in hand (loaded when
  // the store's MergeCount was `merges`).
  QELStatus MoveTo(const std::string& path, QELValueMapPointer loaded, uint64_t merges);
  // Loads the values of the key's group as they stand (none when the group is gone).
  void LoadValues();
  // Reloads the value cache when the store has read or merged a file since it was loaded, so
  // that reads and writes start from what the store holds, other writers' changes included.
  void FollowStore();
  // Writes the store back unless the connection was in a transaction when the key was made.
  void Flush();

  // Of the connection the key was made from, what a key uses, as it stood then: its share of the
  // store (which keeps the store alive for the key) and its transaction flag. The connection's
  // user and host are never read through a key, so they are not copied.
  QELIniHolder ini;
  bool inTransaction;
  uint64_t loadedAt = 0;  // the store's MergeCount when the value cache was loaded
};

// Walks the subkeys of one key in store order under a selector filter (qel_subkey_selector.h).
class QELIniKeyReader : public QELConstItemReader<QELKeyPointer> {
 public:
  // Positions the reader on the first selected subkey and writes 1 (found one) or 0 to `found`.
  // The exclusion list is accepted and not used.
  QELIniKeyReader(const QELIniKey& key, const std::string& filter, bool recursive,
                  const std::list<std::string>& exclusions, unsigned int* found);
  ~QELIniKeyReader() override;

  const QELKeyPointer& GetCurrent() const override { return current; }
  bool Next() override;
  bool IsEqual(const QELConstItemReader<QELKeyPointer>& other) const override;

 private:
  enum class Step { kAtEnd, kSkipped, kYielded };
  Step NextStep();

  IniGroupIterator position;
  QELIniKey key;
  QELKeyPointer current;
  std::string filter;
  uint16_t found = 0;
  // The key's path and "/", and whether every descendant counts: made once, never changed.
  QELSubkeyMatcher matcher;
};
