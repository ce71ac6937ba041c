// The journal of an INI store: the changes made since it last read or wrote its file, replayed
// on top of another writer's newer file so that neither writer loses its changes.
// Thread safety: none; owned and used by one store.
#pragma once

#include <string>
#include <vector>

class IniDocument;

class IniJournal {
 public:
  enum class Kind { kSetEntry, kEraseEntry, kInsertGroup, kEraseGroup };
  struct Change {
    Kind kind;
    std::string group;
    std::string key;
    std::string value;
  };

  void Record(Kind kind, const std::string& group, const std::string& key = std::string(),
              const std::string& value = std::string());
  // Applies every change, in the order made, to `document`: a set entry overwrites the other
  // writer's value, an erase removes what the other writer has under that name.
  void ReplayOnto(IniDocument& document) const;
  bool Empty() const { return changes_.empty(); }
  void Clear() { changes_.clear(); }
  const std::vector<Change>& Changes() const { return changes_; }

 private:
  std::vector<Change> changes_;
};
