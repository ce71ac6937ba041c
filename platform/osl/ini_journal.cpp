// The change journal of an INI store and its replay onto a newer image.
#include "ini_journal.h"

#include "ini_document.h"

void IniJournal::Record(Kind kind, const std::string& group, const std::string& key,
                        const std::string& value) {
  changes_.push_back(Change{kind, group, key, value});
}

void IniJournal::ReplayOnto(IniDocument& document) const {
  for (const Change& change : changes_) {
    switch (change.kind) {
      case Kind::kSetEntry:
        document.SetEntry(change.group, change.key, change.value);
        break;
      case Kind::kEraseEntry:
        document.EraseEntry(change.group, change.key);
        break;
      case Kind::kInsertGroup:
        document.InsertGroup(change.group);
        break;
      case Kind::kEraseGroup:
        document.EraseGroup(change.group);
        break;
    }
  }
}
