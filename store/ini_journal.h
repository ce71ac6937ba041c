// The journal of an INI store: what the store's user did since it last read or wrote its file,
// operation by operation, replayed on top of another writer's newer file so that neither writer
// loses its changes.
// Thread safety: none; owned and used by one store.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ini_types.h"

class IniDocument;

// An entry edit that also reads, or changes, other groups of the image a replay runs it on.
class IniDocumentEdit : public IniEntryEdit {
 public:
  // As Apply, on the entry as it stands in `document`; `current` is not read once the edit has
  // changed `document`.
  virtual bool ApplyIn(IniDocument& document, const std::string* current,
                       std::string* result) const = 0;
};

class IniJournal {
 public:
  enum class Kind { kSetEntry, kEditEntry, kEraseEntry, kInsertGroup, kEraseGroup };
  struct Change {
    Kind kind;
    std::string group;
    std::string entry;                         // kSetEntry, kEditEntry, kEraseEntry
    std::string value;                         // kSetEntry
    std::shared_ptr<const IniEntryEdit> edit;  // kEditEntry
    std::shared_ptr<const IniEntryMap> seen;   // kEraseGroup: the entries the eraser saw
  };

  void Record(Change change) { changes_.push_back(std::move(change)); }

  // Applies every change, in the order made, to `newer` (another writer's file), then keeps it
  // a tree where the writers' views were one. `mine` is this writer's image before the merge.
  //  - Set and erase of an entry replace or remove what the other writer has under that name;
  //    an edit runs on the entry as the other writer left it (an IniDocumentEdit also on the
  //    rest of that writer's image, which it may change).
  //  - Erasing a group erases the entries the eraser saw; entries another writer added or
  //    changed meanwhile stay, and so does their group.
  //  - A group this writer wrote to gets back the parents it had in `mine` (all of them when it
  //    erased the group after writing); a group that survives under a group this replay erased,
  //    unless this writer wrote it there itself, gets back the erased parents. Re-created parents
  //    are empty, and are recorded as this writer's own creations: the image now shows them, so a
  //    later replay of the kept journal (after a refresh) keeps them even when this writer has
  //    since erased the group that brought them back.
  void ReplayOnto(IniDocument& newer, const IniDocument& mine);

  bool Empty() const { return changes_.empty(); }
  void Clear() { changes_.clear(); }
  const std::vector<Change>& Changes() const { return changes_; }

 private:
  std::vector<Change> changes_;
};
