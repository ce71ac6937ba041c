// The types the INI store's parts share: entry maps ordered without regard to case, the store's
// error numbers, a change to one entry that can be replayed, a view kept beside a group, and the
// parent and descendant relations of group paths.
// Thread safety: types and constants only.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>

#include <zor-qel-rb-key/qel_error_codes.h>
#include <zor-qel-rb-key/qel_no_case_string.h>

// "a before b" ignoring ASCII letter case: the order of every entry map.
struct StrCmpInSensitive {
  bool operator()(const std::string& a, const std::string& b) const;
};

// Three-way comparison ignoring ASCII letter case: <0, 0 or >0.
inline int cmp_nocase(std::string_view a, std::string_view b) {
  return QELNoCaseString::CompareText(a, b);
}
// cmp_nocase(a, b) == 0, answered at once for names of different lengths.
inline bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && QELNoCaseString::CompareText(a, b) == 0;
}

using IniEntryMap = std::map<std::string, std::string, StrCmpInSensitive>;

// Calls `visit` with each proper parent of the group `name` ("/A" and "/A/B" for "/A/B/C").
template <typename Visit>
void ForEachParent(const std::string& name, Visit visit) {
  for (size_t slash = name.find('/', 1); slash != std::string::npos;
       slash = name.find('/', slash + 1)) {
    visit(name.substr(0, slash));
  }
}

// Whether the group `name` lies below the group `parent` ("/A/B" below "/A", not "/AB").
inline bool IsBelow(const std::string& name, const std::string& parent) {
  return name.size() > parent.size() + 1 && name.compare(0, parent.size(), parent) == 0 &&
         name[parent.size()] == '/';
}

// What changed between two images: the groups whose entries differ, and the groups found in
// only one of them.
struct IniChanges {
  std::set<std::string> entries;
  std::set<std::string> groups;
  bool Empty() const { return entries.empty() && groups.empty(); }
};

// The store's error numbers: the codes of the QELErrors it throws.
enum IniErrorNumber : int {
  kIniFileNotFound = static_cast<int>(zor::qel::StoreError::kFileNotFound),
  kIniReadFailed = static_cast<int>(zor::qel::StoreError::kReadFailed),
  kIniBadSyntax = static_cast<int>(zor::qel::StoreError::kBadSyntax),
  kIniWriteFailed = static_cast<int>(zor::qel::StoreError::kWriteFailed),
  kIniLocked = static_cast<int>(zor::qel::StoreError::kLocked),
  kIniConflict = static_cast<int>(zor::qel::StoreError::kConflict),
  kIniRemoteFailed = static_cast<int>(zor::qel::StoreError::kRemoteFailed),
};

// The facility of the QELErrors the store throws.
constexpr long kIniFacility = static_cast<long>(zor::qel::Facility::kStore);
// The code a login passes on for credentials a remote service rejected.
constexpr long kIniCredentialsRejected =
    static_cast<long>(zor::qel::ErrorCode::kCredentialsRejected);

// A change to one entry that is kept as what it does rather than as the text it left, so that
// a replay onto another writer's newer file applies it to the entry found there (adding list
// elements keeps the elements the other writer added).
class IniEntryEdit {
 public:
  virtual ~IniEntryEdit();
  // Sets `*result` to the entry's new text given its `current` text (null when the entry does
  // not exist) and returns true; returns false when the entry is to stay as it is.
  virtual bool Apply(const std::string* current, std::string* result) const = 0;
};

// What a user of the store derives from one group's entries and keeps beside them (the keys keep
// the values decoded). The store holds it until the group's entries next change, so a view found
// always matches the entries as they stand.
class IniGroupView {
 public:
  virtual ~IniGroupView();
};
