// The parsed image of one INI file: the file's bytes in one buffer, compact records of its groups
// indexed by name, and the edits made since it was read, kept as overlays on the original lines.
// Loading is one pass over the bytes that checks every line and notes where each section starts;
// entry maps are built when first asked for; an edit turns one section into an overlay of lines;
// serializing copies every untouched section's bytes as they were.
// Thread safety: const members may run from several threads at once; others must run alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ini_group_index.h"
#include "ini_types.h"

// The file format and its quoting are ini_syntax.h's.
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
  // `source`, the line number and the reason, and throws that as a QELError kIniBadSyntax.
  static std::unique_ptr<IniDocument> Parse(std::string bytes, const std::string& source);

  // The file text: untouched lines byte for byte, edited groups line by line.
  std::string Serialize() const;
  // The lines of one group without its header (entries, comments and blank lines, of all its
  // sections in file order), each ended by a line end; "" when the group does not exist.
  // Appended after a "[name]" header, they read back as that group.
  std::string GroupText(std::string_view name) const;
  // The same text passed to `emit` piece by piece, in order, without a copy of it: each run of
  // untouched sections straight from the file's bytes, then edited groups line by line.
  void ForEachPiece(const std::function<void(std::string_view)>& emit) const;

  size_t GroupCount() const { return index_.Count(); }
  // Positions in the byte order of group names, 0 .. GroupCount(). The order is built on the
  // first call that needs it; lookups by name do not.
  size_t LowerBound(std::string_view name) const { return index_.LowerBound(name); }
  size_t UpperBound(std::string_view name) const { return index_.UpperBound(name); }
  // REQUIRES: position < GroupCount().
  std::string_view NameAt(size_t position) const { return index_.NameAt(position); }
  bool Contains(std::string_view name) const { return index_.Find(name) != kNone; }
  // The group's entries, built on first request; null when the group does not exist.
  const IniEntryMap* Entries(std::string_view name) const;
  // Passes each of the group's entries to `entry` as Entries lists them, without building (or
  // keeping) the map when it was not built yet; false when the group does not exist.
  bool ForEachEntry(std::string_view name,
                    const std::function<void(const std::string&, const std::string&)>& entry) const;
  // The store user's view of the group's entries (Ini::KeepGroupView), dropped whenever they
  // change; null when none is kept.
  const IniGroupView* View(std::string_view name) const;
  // The same for the group at `position` of the byte order. REQUIRES: position < GroupCount().
  const IniGroupView* ViewAt(size_t position) const;
  // Keeps `view` unless one is kept already; returns the one kept, null for no such group.
  const IniGroupView* KeepView(std::string_view name,
                               std::unique_ptr<const IniGroupView> view) const;

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
  static constexpr uint32_t kNone = IniGroupIndex::kNone;
  static constexpr uint32_t kErased = UINT32_MAX - 1;

  struct GroupRecord {
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

  std::string_view Name(uint32_t group) const { return index_.Name(group); }
  uint32_t SectionEnd(uint32_t section) const;
  // Starts a group at section `section` under a name from the index.
  void AddHeader(uint32_t group, uint32_t section);
  uint32_t AddGroup(const std::string& name);
  // The section's lines as an overlay, made from its bytes on first use.
  Overlay& Edit(uint32_t section);
  void BuildEntries(const GroupRecord& group, IniEntryMap& entries) const;
  // Calls `visit(name, value)` for each entry line of the group in file order (the strings may
  // be taken).
  template <typename Visit>
  void ForEachEntryLine(const GroupRecord& group, Visit&& visit) const;
  // Forgets the view of a group whose entries changed. REQUIRES: mutex_ held.
  void DropView(uint32_t group) const;
  class PieceOut;
  void AppendSection(PieceOut& out, uint32_t index) const;
  // Starts a new line in `out` when the text so far lacks a line end.
  void StartLine(PieceOut& out) const;

  std::string buffer_;
  size_t bom_length_ = 0;
  std::string line_end_ = "\n";
  std::vector<GroupRecord> groups_;  // by the index's group number
  std::vector<Section> sections_;
  IniGroupIndex index_;
  std::unordered_map<uint32_t, Overlay> overlays_;
  uint64_t generation_ = 0;
  // Guards entries_ and views_, which const calls fill on first use.
  mutable std::mutex mutex_;
  // The entry maps handed out, by group, built on first request.
  mutable std::unordered_map<uint32_t, std::unique_ptr<IniEntryMap>> entries_;
  // The views kept until the group's entries change, by group number (a vector: looked up at
  // every opening of a key).
  mutable std::vector<std::unique_ptr<const IniGroupView>> views_;
};
