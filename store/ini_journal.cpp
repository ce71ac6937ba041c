// The change journal of an INI store and its replay onto a newer image.
#include "ini_journal.h"

#include <set>

#include "ini_document.h"

namespace {

// Erases what the eraser saw of the group; returns whether the whole group went.
bool EraseSeen(IniDocument& document, const std::string& group, const IniEntryMap& seen) {
  const IniEntryMap* current = document.Entries(group);
  if (current == nullptr) return false;
  std::vector<std::string> doomed;
  bool keep_group = false;
  for (const auto& entry : *current) {
    const auto before = seen.find(entry.first);
    if (before != seen.end() && before->second == entry.second) {
      doomed.push_back(entry.first);
    } else {
      keep_group = true;
    }
  }
  if (!keep_group) return document.EraseGroup(group);
  for (const std::string& name : doomed) document.EraseEntry(group, name);
  return false;
}

}  // namespace

void IniJournal::ReplayOnto(IniDocument& newer, const IniDocument& mine) {
  std::vector<std::string> recreated;
  auto recreate = [&](const std::string& group) {
    newer.InsertGroup(group);
    recreated.push_back(group);
  };
  std::set<std::string> written;
  std::set<std::string> erased;
  for (const Change& change : changes_) {
    switch (change.kind) {
      case Kind::kSetEntry:
        newer.SetEntry(change.group, change.entry, change.value);
        written.insert(change.group);
        break;
      case Kind::kEditEntry: {
        const IniEntryMap* entries = newer.Entries(change.group);
        const std::string* current = nullptr;
        if (entries != nullptr) {
          const auto found = entries->find(change.entry);
          if (found != entries->end()) current = &found->second;
        }
        std::string result;
        const auto* in_image = dynamic_cast<const IniDocumentEdit*>(change.edit.get());
        if (in_image != nullptr ? in_image->ApplyIn(newer, current, &result)
                                : change.edit->Apply(current, &result)) {
          newer.SetEntry(change.group, change.entry, result);
          written.insert(change.group);
        }
        break;
      }
      case Kind::kEraseEntry:
        newer.EraseEntry(change.group, change.entry);
        break;
      case Kind::kInsertGroup:
        // A group the other writer has already is no write of this one's.
        if (newer.InsertGroup(change.group)) written.insert(change.group);
        break;
      case Kind::kEraseGroup:
        if (EraseSeen(newer, change.group, *change.seen)) erased.insert(change.group);
        break;
    }
  }

  // A written group that is still there gets back the parents this writer has, and all of them
  // when this writer erased the group itself after writing (the other writer's erase made its
  // value one this writer never saw, which kept the group). A group this writer wrote where it
  // had erased the parents stays as written.
  for (const std::string& group : written) {
    if (!newer.Contains(group)) continue;
    const bool erased_since = !mine.Contains(group);
    ForEachParent(group, [&](const std::string& parent) {
      if (!newer.Contains(parent) && (erased_since || mine.Contains(parent))) recreate(parent);
    });
  }
  if (!erased.empty()) {
    // Groups left below an erased group (another writer made them, or kept them by changing them
    // meanwhile, also ones this writer read again since its erase) keep the path to them.
    std::vector<std::string> survivors;
    for (const std::string& top : erased) {
      for (size_t at = newer.LowerBound(top + "/"); at < newer.GroupCount(); ++at) {
        std::string name(newer.NameAt(at));
        if (!IsBelow(name, top)) break;
        if (!mine.Contains(name) || written.count(name) == 0) survivors.push_back(std::move(name));
      }
    }
    for (const std::string& survivor : survivors) {
      ForEachParent(survivor, [&](const std::string& parent) {
        if (!newer.Contains(parent) && erased.count(parent) != 0) recreate(parent);
      });
    }
  }
  for (std::string& group : recreated)
    changes_.push_back({Kind::kInsertGroup, std::move(group), {}, {}, nullptr, nullptr});
}
