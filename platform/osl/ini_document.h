// The parsed image of one INI file: the file's bytes in one buffer, compact records of its groups
// indexed by name, and the edits made since it was read, kept as overlays on the original lines.
// Thread safety: const members may run from several threads at once; others must run alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ini.h"

// The file format
// ---------------
// A file is a sequence of lines, each ended by LF or CRLF (the last one may lack an end); the
// end of each line is kept as found, and new lines take the end of the file's first line. A UTF-8
// byte order mark before the first line is skipped and written back. Every line is one of:
//   blank    nothing but spaces and tabs;
//   comment  the first byte after leading spaces and tabs is ';' or '#';
//   header   '[' name ']' with optional spaces and tabs around: the name is every byte between
//            the first '[' and the last ']' of the line, kept as it is (blanks included);
//   entry    name '=' value: the name is the text before the first '=', the value the text after
//            it, each without the spaces and tabs around it.
// Anything else is a syntax error that rejects the whole file. Entries before the first header
// belong to the group "" (as do those under a "[]" header).
//
// Quoting: a group name, entry name or value that would not read back as written raw is written
// as one quoted token: '"', the bytes with the escapes \\ \" \n \r \t, then '"'. Reading also
// accepts \xHH (two hex digits) for any byte. Quoted are exactly:
//   group names that contain CR or LF or begin with '"';
//   entry names that contain '=', CR or LF, begin or end with a space or tab, or begin with
//   '"', '[', ';', '#' or a byte order mark;
//   values that contain CR or LF, begin or end with a space or tab, or begin with '"'.
// Every other byte (0x00, 0x1B, quotes and backslashes inside the text, ...) is written raw.
// When reading, a header name or a value that begins with '"' and is exactly one well-formed
// token is decoded, and so is an entry name that is one token followed only by blanks before its
// '='; any other text is taken raw, so a hand-written value like "C:\dir" keeps its quotes.
//
// Repeated names in a hand-edited file: all sections headed by one group name form one group.
// Its entries are read in file order and, when an entry name repeats, the last line gives the
// value. Setting an entry rewrites that last line and leaves the earlier ones as they are;
// erasing an entry removes every line of that name; erasing a group removes all its sections.
// New entries go after the last entry of the group's last section. A flush never drops a line
// that was not erased.
class IniDocument {
 public:
  // An empty image with no groups.
  IniDocument();
  ~IniDocument();
  IniDocument(const IniDocument&) = delete;
  IniDocument& operator=(const IniDocument&) = delete;

  // Parses `bytes`; on a line that is none of the kinds above logs an error record naming
  // `source`, the line number and the reason, and throws kIniBadSyntax.
  static std::unique_ptr<IniDocument> Parse(std::string bytes, const std::string& source);

  // The file text: untouched lines byte for byte, edited groups line by line.
  std::string Serialize() const;

  size_t GroupCount() const { return live_groups_; }
  // Positions in the byte order of group names, 0 .. GroupCount(). The order is built on the
  // first call that needs it; lookups by name do not.
  size_t LowerBound(std::string_view name) const;
  size_t UpperBound(std::string_view name) const;
  // REQUIRES: position < GroupCount().
  std::string_view NameAt(size_t position) const;
  bool Contains(std::string_view name) const;
  // The group's entries, built on first request; null when the group does not exist.
  const IniEntryMap* Entries(std::string_view name) const;

  // Adds an empty group at the end of the file; false when it exists.
  bool InsertGroup(const std::string& name);
  // Removes a group with its lines; false when it does not exist.
  bool EraseGroup(const std::string& name);
  // Adds or replaces an entry, creating the group when it is missing.
  void SetEntry(const std::string& group, const std::string& key, const std::string& value);
  // Removes every line of the entry; false when there was none.
  bool EraseEntry(const std::string& group, const std::string& key);

  // Counts changes to the set of groups, so iterators know when to seek again.
  uint64_t Generation() const { return generation_; }
  void SetGeneration(uint64_t generation) { generation_ = generation; }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint32_t kErased = UINT32_MAX - 1;
  static constexpr uint32_t kOwnedName = 0x80000000u;

  struct GroupRecord {
    // The name's bytes in buffer_, or (with kOwnedName set in name_length) owned_names_[offset].
    uint32_t name_offset = 0;
    uint32_t name_length = 0;
    uint32_t first_section = kNone;  // kNone once erased
    uint32_t last_section = kNone;
  };
  // A header line and the lines up to the next header. Sections tile the buffer in file order,
  // each ending where the next begins; sections of groups added later have no bytes
  // (begin == kNone) and follow them.
  struct Section {
    uint32_t begin;  // the header line (== body for the lines before the first header)
    uint32_t body;   // the line after the header
    uint32_t group;  // kNone: no group (lines before the first header); kErased: dropped
    uint32_t next;   // the group's next section
  };
  // One line of an edited section, with its line end.
  struct OverlayLine {
    std::string text;
    bool entry = false;
    std::string name;  // the decoded entry name
  };
  using Overlay = std::vector<OverlayLine>;

  std::string_view Name(uint32_t group) const;
  uint32_t SectionEnd(uint32_t section) const;
  uint64_t Hash(std::string_view name) const;
  // The slot of `name` in slots_, or the empty slot that ends its probe sequence.
  size_t Slot(std::string_view name) const;
  // Rebuilds slots_ with room for `groups` live groups.
  void Rehash(size_t groups);
  // Indexes the parsed groups by name, joining repeated names into one group.
  void BuildIndex();
  // Fills order_ with the live groups sorted by name.
  void SortGroups() const;
  // order_, sorted on first use.
  const std::vector<uint32_t>& Order() const;
  // Index of the group in groups_, or kNone.
  uint32_t Find(std::string_view name) const;
  uint32_t AddGroup(const std::string& name);
  // The section's lines as an overlay, made from its bytes on first use.
  Overlay& Edit(uint32_t section);
  void BuildEntries(const GroupRecord& group, IniEntryMap& entries) const;
  void AppendSection(std::string& out, uint32_t index) const;
  // Starts a new line in `out` when the text so far lacks a line end.
  void StartLine(std::string& out) const;

  std::string buffer_;
  size_t bom_length_ = 0;
  std::string line_end_ = "\n";
  std::vector<GroupRecord> groups_;
  std::vector<Section> sections_;
  // Open-addressing hash of the live groups by name: a group index, kNone (empty) or kErased.
  std::vector<uint32_t> slots_;
  size_t slots_used_ = 0;  // slots not empty, erased ones included
  size_t live_groups_ = 0;
  uint64_t hash_seed_;
  std::vector<std::string> owned_names_;
  std::unordered_map<uint32_t, Overlay> overlays_;
  uint64_t generation_ = 0;
  // Guards what const calls build on first use: order_ and entries_.
  mutable std::mutex mutex_;
  mutable std::atomic<bool> ordered_{false};
  mutable std::vector<uint32_t> order_;  // live groups sorted by name, once ordered_
  // The entry maps handed out, by group, built on first request.
  mutable std::unordered_map<uint32_t, std::unique_ptr<IniEntryMap>> entries_;
};
