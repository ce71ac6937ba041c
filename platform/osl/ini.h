// The INI store: the in-memory image of one INI file, its groups of named entries, and the
// local kind BackupIni that loads the image from a file and writes it back.
// Thread safety: const operations (lookups, iteration, GetGroupProperty) may run from several
// threads at once, as reads of a plain map may; a change must not overlap any other call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

// "a before b" ignoring ASCII letter case: the order of every entry map.
struct StrCmpInSensitive {
  bool operator()(const std::string& a, const std::string& b) const;
};

// Three-way comparison ignoring ASCII letter case; 0 when equal.
int cmp_nocase(const std::string& a, const std::string& b);

using IniEntryMap = std::map<std::string, std::string, StrCmpInSensitive>;

// The store's error numbers, thrown as an `int` by the constructors and used as the code of the
// QELError a failed flush throws.
enum IniErrorNumber : int {
  kIniFileNotFound = 1,  // the file does not exist
  kIniReadFailed = 2,    // it exists but cannot be read
  kIniBadSyntax = 3,     // a line is not a group header, an entry, a comment or blank
  kIniWriteFailed = 4,   // writing the file back failed; the old file is intact
  kIniLocked = 5,        // another writer held the store's lock past the wait bound
  kIniConflict = 6,      // concurrent writers kept changing the store; changes kept in memory
  kIniRemoteFailed = 7,  // the remote service failed (see the QELError text)
};

// The facility of the QELErrors the store throws.
constexpr long kIniFacility = 1;

class Ini;
class IniDocument;
class IniJournal;

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

// One group as the iteration sees it: its name, and its entries on demand.
class Group {
 public:
  Group(const Ini* ini, std::string name) : ini_(ini), name_(std::move(name)) {}
  const std::string& GetName() const { return name_; }
  // The group's entry map, as GetGroupProperty gives it (built on first use; never null while
  // the group exists, null once it is gone).
  const IniEntryMap* GetProperties() const;

 private:
  const Ini* ini_;
  std::string name_;
};

// Walks the groups in byte order of their names. Stays valid when the store gains or loses
// groups between two steps: it then resumes at the first group after the one it stood on.
class IniGroupIterator {
 public:
  IniGroupIterator() = default;
  Group operator*() const;
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

  // Writes the image back: "" means the store's own file (local or remote), any other text a
  // copy at that path. Throws QELError (facility kIniFacility, code an IniErrorNumber) naming the
  // file and the reason; on failure the file on disk and the image stay as they were.
  virtual void FlushIniDataToFile(const std::string& file) = 0;

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
  // the name as first written). Creates the group when it is missing. Always true.
  bool SetKeyValue(const std::string& group, const std::string& key, const std::string& value);
  // Applies `edit` to one entry (creating the group when it is missing and the edit writes) and
  // records it for replay. Returns whether the entry changed.
  bool EditEntry(const std::string& group, const std::string& key,
                 std::shared_ptr<const IniEntryEdit> edit);
  // Removes one entry; nothing when it does not exist.
  void EraseKey(const std::string& group, const std::string& key);
  // The group's entries, or null when the group does not exist. The map stays valid until the
  // group is erased or the image replaced.
  const IniEntryMap* GetGroupProperty(const std::string& group) const;

  // Counts the times the image was read or merged from a file: a reader holding a copy of some
  // entries compares it to know when to read them again.
  uint64_t MergeCount() const { return merges_; }

  // The text of an error number thrown by a constructor.
  static const std::string& ExceptionNumberToString(int number);

 protected:
  Ini();

  // Replaces the image by the parse of `bytes`; `source` names the file in error records.
  // Throws kIniBadSyntax (after a log record with file, line and reason) and keeps the old image.
  void LoadImage(std::string bytes, const std::string& source);
  // The file text of the current image: untouched lines byte for byte, changes in place.
  std::string SerializeImage() const;
  // Whether changes were made since the last LoadImage or ClearJournal (MergeOnto keeps them,
  // since the merged image still holds them unwritten).
  bool HasChanges() const;
  // Parses `bytes` (another writer's newer file) and replays this store's changes since its last
  // load or flush on top, operation by operation (IniJournal::ReplayOnto says how); on success
  // the result becomes the image. Throws like LoadImage and then keeps the old image and the
  // journal.
  void MergeOnto(std::string bytes, const std::string& source);
  // Forgets the recorded changes: called once they are safely written.
  void ClearJournal();

 private:
  std::unique_ptr<IniDocument> document_;
  std::unique_ptr<IniJournal> journal_;
  uint64_t merges_ = 0;
  friend class Group;
  friend class IniGroupIterator;
};

class IniFileSystem;

// A store over a local file. Loading checks every line; writing is atomic and durable, keeps
// comments and layout, and merges changes another process wrote meanwhile.
class BackupIni : public Ini {
 public:
  // Loads the file at `path`; throws an IniErrorNumber when it is missing, unreadable or bad.
  explicit BackupIni(const std::string& path);
  // The same, with the file I/O supplied by the caller (tests inject failures this way).
  BackupIni(const std::string& path, std::shared_ptr<IniFileSystem> files);
  ~BackupIni() override;

  // "" writes the store's own file under the exclusive lock of "<file>.lock", merging first what
  // other writers put in the file since this store last read or wrote it; the wait for the lock
  // is bounded (10 s, or QEL_LOCK_TIMEOUT_MS milliseconds when set at construction), then
  // kIniLocked. Another path receives a copy of the image; the store's own file and its record
  // of unwritten changes stay as they were. A failed write is kIniWriteFailed.
  void FlushIniDataToFile(const std::string& file) override;

  const std::string& GetPath() const { return path_; }

 private:
  std::string path_;
  std::shared_ptr<IniFileSystem> files_;
  struct FileState;  // what this store last read or wrote: stamp and content hash
  std::unique_ptr<FileState> state_;
};
