// QELValueMap: the named values of a key, in the order first set, looked up without regard to case.
// Thread safety: none of its own; one map is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <zor-qel-rb-key/qel_no_case_string.h>
#include <zor-qel-rb-key/qel_rb_value.h>

// The entries lie side by side in one vector, so that a lookup reads neighbouring memory rather
// than chasing a node per name. A change may move them: an iterator is good until the map next
// changes, which a map shared copy-on-write never does under its readers.
class QELValueMap {
 public:
  using Entry = std::pair<QELNoCaseString, QELRBValue>;
  using iterator = std::vector<Entry>::iterator;
  using const_iterator = std::vector<Entry>::const_iterator;

  QELValueMap() = default;
  QELValueMap(const QELValueMap&) = default;
  QELValueMap& operator=(const QELValueMap&) = default;
  virtual ~QELValueMap();

  virtual iterator Begin() { return entries_.begin(); }
  virtual iterator End() { return entries_.end(); }
  const_iterator Begin() const { return entries_.begin(); }
  const_iterator End() const { return entries_.end(); }
  // The first entry whose name equals `name` ignoring case, or End().
  virtual iterator Find(const std::string& name);
  const_iterator Find(std::string_view name) const;
  virtual uint64_t Size() const { return entries_.size(); }
  // Replaces the value of an entry of that name (keeping its stored name and place) or appends.
  virtual void Set(const Entry& entry);
  void Set(Entry&& entry);
  // Appends without looking for a namesake: for filling a map from a source whose names are
  // already unique without regard to case (a group's entry map).
  // REQUIRES: no entry of that name (ignoring case) exists.
  void Append(Entry entry);
  // Gives back the room the entries do not use: for a map that will be kept long.
  void ShrinkToFit() { entries_.shrink_to_fit(); }
  // The value of `name`; throws QELLogicalError "no value" when there is none.
  virtual QELRBValue& Get(const std::string& name);
  // Erases the entry of that name, if any.
  virtual void Remove(const std::string& name);
  // A new heap copy that the caller owns.
  virtual QELValueMap* Clone() const;

 private:
  std::vector<Entry> entries_;
};

// The copy-on-write policy of a key's value cache.
struct QELValueMapLifeMgr {
  QELValueMap* Clone(QELValueMap* p) const { return p->Clone(); }
  void Destroy(QELValueMap*& p) const {
    delete p;
    p = nullptr;
  }
};
