// The INI store: the in-memory image of one INI file and its groups of named entries, shared by
// the local kind (backup_ini.h) and the remote one (remote_ini.h).
// Thread safety: const operations (lookups, iteration, GetGroupProperty) may run from several
// threads at once, as reads of a plain map may; a change must not overlap any other call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>

#include "ini_types.h"

class Ini;
class IniDocument;
class IniJournal;

// One group as the iteration sees it: its name (its entries are GetGroupProperty's).
class Group {
 public:
  explicit Group(std::string name) : name_(std::move(name)) {}
  const std::string& GetName() const { return name_; }

 private:
  std::string name_;
};

// Walks the groups in byte order of their names. Stays valid when the store gains or loses
// groups between two steps: it then resumes at the first group after the one it stood on.
class IniGroupIterator {
 public:
  IniGroupIterator() = default;
  Group operator*() const;
  // The name of the group it stands on ("" at the end), without a copy.
  const std::string& Name() const { return name_; }
  // Whether the group it stands on still exists, which it may not when groups were erased since
  // the iterator was placed; without a lookup while the set of groups is unchanged.
  bool Exists() const;
  // The view kept for the group it stands on (Ini::GetGroupView), or null; found without a
  // lookup by name while the set of groups is unchanged.
  const IniGroupView* View() const;
  IniGroupIterator& operator++();
  bool operator==(const IniGroupIterator& other) const;
  bool operator!=(const IniGroupIterator& other) const { return !(*this == other); }

 private:
  friend class Ini;
  const Ini* ini_ = nullptr;
  size_t index_ = 0;         // position in the store's sorted group index
  uint64_t generation_ = 0;  // the store's layout generation when index_ was taken
  std::string name_;         // name of the group at index_ ("" at the end)
  bool at_end_ = true;
};

class Ini {
 public:
  virtual ~Ini();
  Ini(const Ini&) = delete;
  Ini& operator=(const Ini&) = delete;

  // Writes the image back to the store's own file, local or remote; `file` must be "" (any
  // other path is refused with kIniWriteFailed). Throws QELError (facility kIniFacility, code an
  // IniErrorNumber) naming the file and the reason; on failure the file and the image stay as
  // they were, the changes included.
  virtual void FlushIniDataToFile(const std::string& file) = 0;

  // Following other writers. Refresh reads the store again when another writer changed it since
  // this store last read or wrote it, replays this store's unwritten changes on top (as a flush
  // would), and adds to `changed` (not null) what now differs; it returns whether anything did.
  // Cheap when nothing changed.
  // Throws QELError (facility kIniFacility) when the store cannot be read; the image then stays
  // as it was. The base never finds a change.
  virtual bool Refresh(IniChanges* changed);
  // Drops the changes not written yet and reads the store again, so that the image becomes what
  // the store holds; adds to `changed` what differs and returns whether anything did. Throws
  // like Refresh, and then keeps the image and the changes.
  bool DiscardChanges(IniChanges* changed);
  // Waits up to `timeout_ms` for a sign that the store may have changed (an event of the file
  // system, or the polling interval of the kind passing); true when one came, false on timeout.
  // The base sleeps through the timeout.
  virtual bool WaitForChange(int timeout_ms);
  // Whether a Refresh now may find a change that no sign has announced: the base, always; a
  // store that polls its service, once the polling interval has passed since its last request.
  virtual bool RefreshDue() const;
  // A descriptor that becomes readable on the same signs, for a caller's poll or epoll; owned by
  // the store. -1 when the kind has none (the base): then call Refresh on a timer.
  virtual int ChangeDescriptor();

  bool isGroupExist(const std::string& group) const;
  // Adds an empty group at the end of the file; false when it already exists.
  bool InsertNewGroup(const std::string& group);
  // Removes the group, its entries and its lines; nothing when it does not exist.
  void EraseGroup(const std::string& group);
  // Appends every group name, in iteration order.
  void GetGroupNames(std::list<std::string>& names) const;

  IniGroupIterator begin() const;
  IniGroupIterator end() const;
  // The first group whose name is >= `name` in byte order: the groups under one path prefix
  // form one range starting here.
  IniGroupIterator lower_bound(const std::string& name) const;
  size_t GroupCount() const;

  // Adds or replaces one entry (names compare without regard to case; a replaced entry keeps
  // the name as first written). Creates the group when it is missing.
  void SetKeyValue(const std::string& group, const std::string& key, std::string value);
  // Applies `edit` to one entry (creating the group when it is missing and the edit writes) and
  // records it for replay. Returns whether the entry changed.
  bool EditEntry(const std::string& group, const std::string& key,
                 std::shared_ptr<const IniEntryEdit> edit);
  // Removes one entry; nothing when it does not exist.
  void EraseKey(const std::string& group, const std::string& key);
  // The group's entries, or null when the group does not exist. The map stays valid until the
  // group is erased or the image replaced.
  const IniEntryMap* GetGroupProperty(const std::string& group) const;
  // Passes each entry of the group to `entry`, in the order and form of GetGroupProperty's map,
  // without making that map when it does not exist yet; false when the group does not exist.
  bool ForEachGroupEntry(
      const std::string& group,
      const std::function<void(const std::string& name, const std::string& value)>& entry) const;

  // The view kept for the group, or null: none kept yet, the entries changed since, or no such
  // group. Valid until the next change of the store.
  const IniGroupView* GetGroupView(const std::string& group) const;
  // Keeps `view` for the group's entries as they stand, unless a view is kept already (made by
  // another thread meanwhile); returns the view kept, or null when the group does not exist.
  const IniGroupView* KeepGroupView(const std::string& group,
                                    std::unique_ptr<const IniGroupView> view) const;

  // The number (from 1) of the line that gives the entry `key` of `group` in the file text of
  // the image as it stands (its last line of that name), or 0 when there is none. Reads the
  // whole text: for showing where a value comes from, not for lookups.
  size_t EntryLine(const std::string& group, const std::string& key) const;

  // Counts the times the image was read or merged from a file: a reader holding a copy of some
  // entries compares it to know when to read them again.
  uint64_t MergeCount() const { return merges_; }
  // Counts every change of the image, an edit or a read of a file: a reader holding something
  // made from the image compares it to know when that is out of date.
  uint64_t ChangeCount() const { return changes_; }

  // The text of an error number thrown by a constructor.
  static const std::string& ExceptionNumberToString(int number);

 protected:
  Ini();

  // Replaces the image by the parse of `bytes`; `source` names the file in error texts. Throws
  // QELError kIniBadSyntax naming the file, the line and the reason (and logs it), and then
  // keeps the old image.
  void LoadImage(std::string bytes, const std::string& source);
  // The file text of the current image: untouched lines byte for byte, changes in place.
  std::string SerializeImage() const;
  // The same text passed to `emit` piece by piece, in order, without making a copy of it.
  void ForEachImagePiece(const std::function<void(std::string_view)>& emit) const;
  // Parses `bytes` (another writer's newer file) and replays this store's changes since its last
  // load or flush on top, operation by operation (IniJournal::ReplayOnto says how); on success
  // the result becomes the image. Throws like LoadImage and then keeps the old image and the
  // journal. When `changed` is not null, adds to it what differs between the old image and the
  // merged one, and returns whether anything did; without it compares nothing, returns false.
  bool MergeOnto(std::string bytes, const std::string& source, IniChanges* changed = nullptr);
  // Makes the next Refresh read the store whatever its stamp, tag or revision says: the image
  // may differ from the store while the store did not change. The base has nothing to forget.
  virtual void ForgetRead();
  // Forgets the recorded changes: called once they are safely written.
  void ClearJournal();
  // The changes recorded since the last LoadImage or ClearJournal, in the order made.
  const IniJournal& Journal() const { return *journal_; }
  // The lines of one group without its header, as IniDocument::GroupText gives them.
  std::string GroupText(const std::string& group) const;

 private:
  std::unique_ptr<IniDocument> document_;
  std::unique_ptr<IniJournal> journal_;
  uint64_t merges_ = 0;
  uint64_t changes_ = 0;
  friend class Group;
  friend class IniGroupIterator;
};
