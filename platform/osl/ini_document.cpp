// The INI image: one pass that checks every line and indexes the groups, entry maps built on
// demand, edits kept as per-section overlays, and serialization that copies untouched bytes.
#include "ini_document.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "clog_msg.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

const char* SkipBlanks(const char* p, const char* end) {
  while (p < end && IsBlank(*p)) ++p;
  return p;
}

const char* TrimBack(const char* begin, const char* end) {
  while (end > begin && IsBlank(end[-1])) --end;
  return end;
}

// The end of a line's content: before its LF, and before a CR that precedes it (or ends the
// buffer).
const char* ContentEnd(const char* begin, const char* line_end) {
  return (line_end > begin && line_end[-1] == '\r') ? line_end - 1 : line_end;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the quoted token that starts at `p` (a '"'). Returns the byte after its closing quote,
// or null when the token is not well formed before `end`.
const char* ReadQuoted(const char* p, const char* end, std::string* out) {
  out->clear();
  for (++p; p < end; ++p) {
    char c = *p;
    if (c == '"') return p + 1;
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++p == end) return nullptr;
    switch (*p) {
      case '\\':
      case '"':
        out->push_back(*p);
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case 't':
        out->push_back('\t');
        break;
      case 'x': {
        if (end - p < 3) return nullptr;
        int high = HexValue(p[1]);
        int low = HexValue(p[2]);
        if (high < 0 || low < 0) return nullptr;
        out->push_back(static_cast<char>(high * 16 + low));
        p += 2;
        break;
      }
      default:
        return nullptr;
    }
  }
  return nullptr;
}

// A header name or a value: one quoted token spanning the whole text, else the raw text.
std::string DecodeWhole(const char* begin, const char* end) {
  std::string decoded;
  if (begin < end && *begin == '"' && ReadQuoted(begin, end, &decoded) == end) return decoded;
  return std::string(begin, end);
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

bool HasOuterBlank(std::string_view text) {
  return !text.empty() && (IsBlank(text.front()) || IsBlank(text.back()));
}

bool GroupNeedsQuotes(std::string_view name) {
  return (!name.empty() && name.front() == '"') || HasLineBreak(name);
}

bool EntryNameNeedsQuotes(std::string_view name) {
  if (name.empty()) return false;
  char first = name.front();
  return first == '"' || first == '[' || first == ';' || first == '#' || HasOuterBlank(name) ||
         name.find_first_of("=\r\n") != std::string_view::npos ||
         name.compare(0, 3, "\xEF\xBB\xBF") == 0;
}

bool ValueNeedsQuotes(std::string_view value) {
  return (!value.empty() && value.front() == '"') || HasOuterBlank(value) || HasLineBreak(value);
}

void AppendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out.push_back(c);
    }
  }
  out.push_back('"');
}

void AppendToken(std::string& out, std::string_view text, bool quoted) {
  if (quoted) {
    AppendQuoted(out, text);
  } else {
    out.append(text.data(), text.size());
  }
}

enum class LineKind { kBlank, kComment, kHeader, kEntry, kBadHeader, kBad };

// Classifies the content [begin, end) of one line (without its line end).
LineKind Classify(const char* begin, const char* end) {
  const char* p = SkipBlanks(begin, end);
  if (p == end) return LineKind::kBlank;
  switch (*p) {
    case ';':
    case '#':
      return LineKind::kComment;
    case '[': {
      const char* last = TrimBack(p, end);
      return (last - p >= 2 && last[-1] == ']') ? LineKind::kHeader : LineKind::kBadHeader;
    }
    default:
      return std::memchr(p, '=', static_cast<size_t>(end - p)) != nullptr ? LineKind::kEntry
                                                                          : LineKind::kBad;
  }
}

// Splits the content [begin, end) of an entry line. `value_begin` receives where the value's
// text starts (after the '=' and its blanks).
void SplitEntry(const char* begin, const char* end, std::string* name, std::string* value,
                const char** value_begin) {
  const char* p = SkipBlanks(begin, end);
  const char* equals = nullptr;
  if (*p == '"') {
    const char* after = ReadQuoted(p, end, name);
    if (after != nullptr) {
      after = SkipBlanks(after, end);
      if (after < end && *after == '=') equals = after;
    }
  }
  if (equals == nullptr) {
    equals = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
    name->assign(p, TrimBack(p, equals));
  }
  const char* value_start = SkipBlanks(equals + 1, end);
  if (value != nullptr) *value = DecodeWhole(value_start, TrimBack(value_start, end));
  if (value_begin != nullptr) *value_begin = value_start;
}

// Calls `visit(content_begin, content_end, line_end)` for every line of [begin, end).
template <typename Visit>
void ForEachLine(const char* begin, const char* end, Visit&& visit) {
  while (begin < end) {
    const char* newline =
        static_cast<const char*>(std::memchr(begin, '\n', static_cast<size_t>(end - begin)));
    const char* next = newline != nullptr ? newline + 1 : end;
    const char* line_end = newline != nullptr ? newline : end;
    visit(begin, ContentEnd(begin, line_end), next);
    begin = next;
  }
}

uint64_t ProcessSeed() {
  static const uint64_t seed = [] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
  }();
  return seed;
}

[[noreturn]] void Reject(const std::string& source, size_t line, const char* reason) {
  CLogMsg("Ini::LoadImage", "osl", kLogTrace)
      << kLogError << "cannot load INI file " << source << ", line "
      << static_cast<unsigned long>(line) << ": " << reason << flush;
  throw static_cast<int>(kIniBadSyntax);
}

}  // namespace

IniDocument::IniDocument() : slots_(16, kNone), hash_seed_(ProcessSeed()) {
  sections_.push_back(Section{0, 0, kNone, kNone});
}

IniDocument::~IniDocument() = default;

std::unique_ptr<IniDocument> IniDocument::Parse(std::string bytes, const std::string& source) {
  if (bytes.size() >= kErased) {
    Reject(source, 0, "the file is larger than 4 GiB");
  }
  auto document = std::make_unique<IniDocument>();
  IniDocument& doc = *document;
  doc.buffer_ = std::move(bytes);
  const char* data = doc.buffer_.data();
  const size_t size = doc.buffer_.size();
  if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) doc.bom_length_ = 3;

  const char* first_newline = static_cast<const char*>(std::memchr(data, '\n', size));
  if (first_newline != nullptr && first_newline > data && first_newline[-1] == '\r') {
    doc.line_end_ = "\r\n";
  }

  const uint32_t start = static_cast<uint32_t>(doc.bom_length_);
  doc.sections_[0] = Section{start, start, kNone, kNone};
  // Room for groups of typical size; a file of smaller groups makes the vectors grow.
  doc.groups_.reserve(size / 128 + 1);
  doc.sections_.reserve(size / 128 + 2);

  // Entries before the first header make up the group "".
  auto note_entry = [&doc, start] {
    if (doc.sections_.size() == 1 && doc.sections_[0].group == kNone) {
      doc.groups_.push_back(GroupRecord{start, 0, 0, 0});
      doc.sections_[0].group = 0;
    }
  };
  size_t line_number = 1;
  const char* p = data + doc.bom_length_;
  const char* end = data + size;
  while (p < end) {
    // Most lines are entries that start at once with their name: one scan finds the '=' and
    // the rest of the line is only searched for its end.
    if (*p != '[' && *p != ';' && *p != '#' && !IsBlank(*p)) {
      const char* q = p;
      while (q < end && *q != '=' && *q != '\n') ++q;
      if (q < end && *q == '=') {
        const char* newline =
            static_cast<const char*>(std::memchr(q, '\n', static_cast<size_t>(end - q)));
        note_entry();
        p = newline != nullptr ? newline + 1 : end;
        ++line_number;
        continue;
      }
    }
    const char* newline =
        static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* line_end = newline != nullptr ? newline : end;
    const char* next = newline != nullptr ? newline + 1 : end;
    const char* content_end = ContentEnd(p, line_end);
    switch (Classify(p, content_end)) {
      case LineKind::kBlank:
      case LineKind::kComment:
        break;
      case LineKind::kEntry:
        note_entry();
        break;
      case LineKind::kHeader: {
        const char* open = SkipBlanks(p, content_end);
        const char* close = TrimBack(open, content_end) - 1;
        GroupRecord record;
        if (open[1] == '"') {
          record.name_offset = static_cast<uint32_t>(doc.owned_names_.size());
          record.name_length = kOwnedName;
          doc.owned_names_.push_back(DecodeWhole(open + 1, close));
        } else {
          record.name_offset = static_cast<uint32_t>(open + 1 - data);
          record.name_length = static_cast<uint32_t>(close - open - 1);
        }
        record.first_section = record.last_section = static_cast<uint32_t>(doc.sections_.size());
        doc.sections_.push_back(Section{static_cast<uint32_t>(p - data),
                                        static_cast<uint32_t>(next - data),
                                        static_cast<uint32_t>(doc.groups_.size()), kNone});
        doc.groups_.push_back(record);
        break;
      }
      case LineKind::kBadHeader:
        Reject(source, line_number, "a group header must end with ']'");
      case LineKind::kBad:
        Reject(source, line_number,
               "the line is neither a group header, an entry (name=value), a comment nor blank");
    }
    p = next;
    ++line_number;
  }
  if (doc.groups_.capacity() > doc.groups_.size() + doc.groups_.size() / 4 + 16) {
    doc.groups_.shrink_to_fit();
    doc.sections_.shrink_to_fit();
  }
  doc.BuildIndex();
  return document;
}

namespace {

// A group's place in one step of the sort: 16 bytes of its name from the step's offset, as two
// big-endian words so that integer order is byte order, then how much of the name is left
// (capped at 17, "more than this chunk") and the group's index, so that names ending within the
// chunk come first, shortest first.
constexpr size_t kChunkBytes = 16;

struct SortKey {
  uint64_t high;
  uint64_t low;
  uint64_t tie;
  uint32_t Group() const { return static_cast<uint32_t>(tie); }
  uint32_t Left() const { return static_cast<uint32_t>(tie >> 32); }
  bool Longer() const { return Left() > kChunkBytes; }
  bool SameChunk(const SortKey& other) const {
    return high == other.high && low == other.low && Left() == other.Left();
  }
  bool operator<(const SortKey& other) const {
    if (high != other.high) return high < other.high;
    if (low != other.low) return low < other.low;
    return tie < other.tie;
  }
};

uint64_t BigEndian(const unsigned char* bytes) {
  uint64_t word = 0;
  for (int i = 0; i < 8; ++i) word = (word << 8) | bytes[i];
  return word;
}

SortKey MakeKey(std::string_view name, size_t offset, uint32_t group) {
  unsigned char bytes[kChunkBytes] = {};
  const size_t left = name.size() > offset ? name.size() - offset : 0;
  if (left > 0) std::memcpy(bytes, name.data() + offset, std::min(kChunkBytes, left));
  const uint64_t capped = std::min(left, kChunkBytes + 1);
  return SortKey{BigEndian(bytes), BigEndian(bytes + 8), (capped << 32) | group};
}

}  // namespace

void IniDocument::SortGroups() const {
  // Three-way radix quicksort on 16-byte chunks of the names: partitions compare the chunks
  // cached in the keys, not the names scattered over the buffer, and only the keys equal to the
  // pivot move on to the next chunk. Live names are unique, so keys equal in a chunk in which
  // their names end are the same key.
  std::vector<SortKey> keys;
  keys.reserve(live_groups_);
  for (uint32_t group = 0; group < groups_.size(); ++group) {
    if (groups_[group].first_section != kNone) keys.push_back(SortKey{0, 0, group});
  }
  struct Run {
    size_t begin;
    size_t end;
    size_t offset;
    bool chunked;  // whether the keys hold the chunks at `offset`
  };
  uint64_t random = hash_seed_ | 1;  // picks pivots, so no file makes the sort quadratic
  std::vector<Run> runs{Run{0, keys.size(), 0, false}};
  while (!runs.empty()) {
    const Run run = runs.back();
    runs.pop_back();
    const size_t count = run.end - run.begin;
    if (count < 2) continue;
    SortKey* first = keys.data() + run.begin;
    SortKey* last = keys.data() + run.end;
    if (!run.chunked) {
      for (SortKey* key = first; key != last; ++key) {
        *key = MakeKey(Name(key->Group()), run.offset, key->Group());
      }
    }
    if (count <= 12) {
      std::sort(first, last);
      for (SortKey* i = first; i != last;) {
        SortKey* j = i + 1;
        while (j != last && j->SameChunk(*i)) ++j;
        if (j - i > 1 && i->Longer()) {
          runs.push_back(Run{static_cast<size_t>(i - keys.data()),
                             static_cast<size_t>(j - keys.data()), run.offset + kChunkBytes,
                             false});
        }
        i = j;
      }
      continue;
    }
    random ^= random << 13;
    random ^= random >> 7;
    random ^= random << 17;
    const SortKey pivot = first[random % count];
    // Dijkstra's partition: [first, less) < pivot, [less, i) == pivot, [greater, last) > pivot.
    SortKey* less = first;
    SortKey* i = first;
    SortKey* greater = last;
    while (i < greater) {
      if (i->SameChunk(pivot)) {
        ++i;
      } else if (*i < pivot) {
        std::swap(*less++, *i++);
      } else {
        std::swap(*i, *--greater);
      }
    }
    runs.push_back(Run{run.begin, static_cast<size_t>(less - keys.data()), run.offset, true});
    runs.push_back(Run{static_cast<size_t>(greater - keys.data()), run.end, run.offset, true});
    if (pivot.Longer()) {
      runs.push_back(Run{static_cast<size_t>(less - keys.data()),
                         static_cast<size_t>(greater - keys.data()), run.offset + kChunkBytes,
                         false});
    }
  }
  order_.clear();
  order_.reserve(keys.size());
  for (const SortKey& key : keys) order_.push_back(key.Group());
}

const std::vector<uint32_t>& IniDocument::Order() const {
  if (!ordered_.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!ordered_.load(std::memory_order_relaxed)) {
      SortGroups();
      ordered_.store(true, std::memory_order_release);
    }
  }
  return order_;
}

uint64_t IniDocument::Hash(std::string_view name) const {
  // Eight bytes at a time, multiplied and folded; seeded per process so that a crafted file
  // cannot line its names up on one chain.
  uint64_t hash = hash_seed_ ^ (name.size() * 0x9E3779B97F4A7C15ull);
  size_t i = 0;
  for (; i + 8 <= name.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, name.data() + i, 8);
    hash = (hash ^ word) * 0xBF58476D1CE4E5B9ull;
    hash ^= hash >> 31;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, name.data() + i, name.size() - i);
  hash = (hash ^ tail) * 0x94D049BB133111EBull;
  return hash ^ (hash >> 29);
}

void IniDocument::Rehash(size_t groups) {
  size_t capacity = 16;
  while (capacity < groups + groups / 3 + 1) capacity *= 2;
  slots_.assign(capacity, kNone);
  slots_used_ = 0;
  const size_t mask = capacity - 1;
  for (uint32_t group = 0; group < groups_.size(); ++group) {
    if (groups_[group].first_section == kNone) continue;
    size_t slot = Hash(Name(group)) & mask;
    while (slots_[slot] != kNone) slot = (slot + 1) & mask;
    slots_[slot] = group;
    ++slots_used_;
  }
}

size_t IniDocument::Slot(std::string_view name) const {
  const size_t mask = slots_.size() - 1;
  size_t slot = Hash(name) & mask;
  while (slots_[slot] != kNone && (slots_[slot] == kErased || Name(slots_[slot]) != name)) {
    slot = (slot + 1) & mask;
  }
  return slot;
}

void IniDocument::BuildIndex() {
  // Hash the groups in file order; a repeated name joins its sections to the first group.
  size_t capacity = 16;
  while (capacity < groups_.size() + groups_.size() / 3 + 1) capacity *= 2;
  slots_.assign(capacity, kNone);
  for (uint32_t group = 0; group < groups_.size(); ++group) {
    const size_t slot = Slot(Name(group));
    const uint32_t first = slots_[slot];
    if (first == kNone) {
      slots_[slot] = group;
      ++slots_used_;
      ++live_groups_;
      continue;
    }
    GroupRecord& repeat = groups_[group];
    sections_[groups_[first].last_section].next = repeat.first_section;
    sections_[repeat.first_section].group = first;
    groups_[first].last_section = repeat.last_section;
    repeat.first_section = repeat.last_section = kNone;
  }
}

std::string_view IniDocument::Name(uint32_t group) const {
  const GroupRecord& record = groups_[group];
  if ((record.name_length & kOwnedName) != 0) return owned_names_[record.name_offset];
  return std::string_view(buffer_.data() + record.name_offset, record.name_length);
}

uint32_t IniDocument::SectionEnd(uint32_t section) const {
  if (section + 1 < sections_.size() && sections_[section + 1].begin != kNone) {
    return sections_[section + 1].begin;
  }
  return static_cast<uint32_t>(buffer_.size());
}

size_t IniDocument::LowerBound(std::string_view name) const {
  const std::vector<uint32_t>& order = Order();
  auto it =
      std::lower_bound(order.begin(), order.end(), name,
                       [this](uint32_t group, std::string_view key) { return Name(group) < key; });
  return static_cast<size_t>(it - order.begin());
}

size_t IniDocument::UpperBound(std::string_view name) const {
  const std::vector<uint32_t>& order = Order();
  auto it =
      std::upper_bound(order.begin(), order.end(), name,
                       [this](std::string_view key, uint32_t group) { return key < Name(group); });
  return static_cast<size_t>(it - order.begin());
}

std::string_view IniDocument::NameAt(size_t position) const { return Name(Order()[position]); }

uint32_t IniDocument::Find(std::string_view name) const { return slots_[Slot(name)]; }

bool IniDocument::Contains(std::string_view name) const { return Find(name) != kNone; }

const IniEntryMap* IniDocument::Entries(std::string_view name) const {
  uint32_t group = Find(name);
  if (group == kNone) return nullptr;
  std::lock_guard<std::mutex> guard(mutex_);
  std::unique_ptr<IniEntryMap>& entries = entries_[group];
  if (!entries) {
    entries = std::make_unique<IniEntryMap>();
    BuildEntries(groups_[group], *entries);
  }
  return entries.get();
}

void IniDocument::BuildEntries(const GroupRecord& group, IniEntryMap& entries) const {
  std::string name;
  std::string value;
  auto add = [&](const char* begin, const char* content_end) {
    if (Classify(begin, content_end) != LineKind::kEntry) return;
    SplitEntry(begin, content_end, &name, &value, nullptr);
    auto placed = entries.emplace(name, value);
    if (!placed.second) placed.first->second = value;
  };
  for (uint32_t index = group.first_section; index != kNone; index = sections_[index].next) {
    auto overlay = overlays_.find(index);
    if (overlay != overlays_.end()) {
      for (const OverlayLine& line : overlay->second) {
        if (!line.entry) continue;
        const char* begin = line.text.data();
        add(begin, ContentEnd(begin, begin + line.text.size() -
                                         (!line.text.empty() && line.text.back() == '\n')));
      }
      continue;
    }
    ForEachLine(
        buffer_.data() + sections_[index].body, buffer_.data() + SectionEnd(index),
        [&](const char* begin, const char* content_end, const char*) { add(begin, content_end); });
  }
}

uint32_t IniDocument::AddGroup(const std::string& name) {
  if ((slots_used_ + 1) * 4 > slots_.size() * 3) Rehash(live_groups_ + 1);
  const uint32_t group = static_cast<uint32_t>(groups_.size());
  const uint32_t section = static_cast<uint32_t>(sections_.size());
  groups_.push_back(
      GroupRecord{static_cast<uint32_t>(owned_names_.size()), kOwnedName, section, section});
  owned_names_.push_back(name);
  sections_.push_back(Section{kNone, kNone, group, kNone});
  overlays_[section];
  const size_t mask = slots_.size() - 1;
  size_t slot = Hash(name) & mask;
  while (slots_[slot] != kNone && slots_[slot] != kErased) slot = (slot + 1) & mask;
  if (slots_[slot] == kNone) ++slots_used_;
  slots_[slot] = group;
  ++live_groups_;
  if (ordered_.load(std::memory_order_relaxed)) {
    order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(LowerBound(name)), group);
  }
  ++generation_;
  return group;
}

bool IniDocument::InsertGroup(const std::string& name) {
  if (Find(name) != kNone) return false;
  AddGroup(name);
  return true;
}

bool IniDocument::EraseGroup(const std::string& name) {
  const size_t slot = Slot(name);
  const uint32_t group = slots_[slot];
  if (group == kNone) return false;
  if (ordered_.load(std::memory_order_relaxed)) {
    order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(LowerBound(name)));
  }
  slots_[slot] = kErased;
  --live_groups_;
  GroupRecord& record = groups_[group];
  for (uint32_t index = record.first_section; index != kNone;) {
    Section& section = sections_[index];
    const uint32_t next = section.next;
    section.next = kNone;
    if (index == 0) {
      // The lines before the first header stay, less their entries: they often hold the
      // file's own comments.
      Overlay& overlay = Edit(0);
      overlay.erase(std::remove_if(overlay.begin(), overlay.end(),
                                   [](const OverlayLine& line) { return line.entry; }),
                    overlay.end());
      section.group = kNone;
    } else {
      section.group = kErased;
      overlays_.erase(index);
    }
    index = next;
  }
  record.first_section = record.last_section = kNone;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.erase(group);
  }
  ++generation_;
  return true;
}

IniDocument::Overlay& IniDocument::Edit(uint32_t index) {
  auto found = overlays_.find(index);
  if (found != overlays_.end()) return found->second;
  Overlay& overlay = overlays_[index];
  ForEachLine(buffer_.data() + sections_[index].body, buffer_.data() + SectionEnd(index),
              [&](const char* begin, const char* content_end, const char* next) {
                OverlayLine line;
                line.text.assign(begin, next);
                if (Classify(begin, content_end) == LineKind::kEntry) {
                  line.entry = true;
                  SplitEntry(begin, content_end, &line.name, nullptr, nullptr);
                }
                overlay.push_back(std::move(line));
              });
  return overlay;
}

void IniDocument::SetEntry(const std::string& group, const std::string& key,
                           const std::string& value) {
  uint32_t id = Find(group);
  if (id == kNone) id = AddGroup(group);
  GroupRecord& record = groups_[id];

  std::string encoded;
  AppendToken(encoded, value, ValueNeedsQuotes(value));

  // The last line of that name, searched from the last section backwards.
  std::vector<uint32_t> chain;
  for (uint32_t index = record.first_section; index != kNone; index = sections_[index].next) {
    chain.push_back(index);
  }
  bool replaced = false;
  for (auto section = chain.rbegin(); section != chain.rend() && !replaced; ++section) {
    Overlay& overlay = Edit(*section);
    for (auto line = overlay.rbegin(); line != overlay.rend(); ++line) {
      if (!line->entry || cmp_nocase(line->name, key) != 0) continue;
      std::string& text = line->text;
      const char* begin = text.data();
      const char* line_end = begin + text.size() - (!text.empty() && text.back() == '\n');
      const char* content_end = ContentEnd(begin, line_end);
      const char* value_begin = nullptr;
      std::string name;
      SplitEntry(begin, content_end, &name, nullptr, &value_begin);
      std::string rewritten(begin, value_begin);
      rewritten += encoded;
      rewritten.append(content_end, begin + text.size());
      text = std::move(rewritten);
      replaced = true;
      break;
    }
  }
  if (!replaced) {
    OverlayLine line;
    AppendToken(line.text, key, EntryNameNeedsQuotes(key));
    line.text += '=';
    line.text += encoded;
    line.text += line_end_;
    line.entry = true;
    line.name = key;
    Overlay& overlay = Edit(record.last_section);
    auto after = std::find_if(overlay.rbegin(), overlay.rend(),
                              [](const OverlayLine& candidate) { return candidate.entry; });
    overlay.insert(after.base(), std::move(line));
  }
  std::lock_guard<std::mutex> guard(mutex_);
  auto entries = entries_.find(id);
  if (entries != entries_.end()) {
    auto placed = entries->second->emplace(key, value);
    if (!placed.second) placed.first->second = value;
  }
}

bool IniDocument::EraseEntry(const std::string& group, const std::string& key) {
  uint32_t id = Find(group);
  if (id == kNone) return false;
  GroupRecord& record = groups_[id];
  bool erased = false;
  for (uint32_t index = record.first_section; index != kNone; index = sections_[index].next) {
    Overlay& overlay = Edit(index);
    auto kept = std::remove_if(overlay.begin(), overlay.end(), [&key](const OverlayLine& line) {
      return line.entry && cmp_nocase(line.name, key) == 0;
    });
    erased = erased || kept != overlay.end();
    overlay.erase(kept, overlay.end());
  }
  std::lock_guard<std::mutex> guard(mutex_);
  auto entries = entries_.find(id);
  if (entries != entries_.end()) entries->second->erase(key);
  return erased;
}

void IniDocument::StartLine(std::string& out) const {
  if (out.size() <= bom_length_ || out.back() == '\n') return;
  // A last line ending in a lone CR was read as ending there; an LF completes that line end
  // without putting a CR into its content.
  if (out.back() == '\r') {
    out += '\n';
  } else {
    out += line_end_;
  }
}

void IniDocument::AppendSection(std::string& out, uint32_t index) const {
  const Section& section = sections_[index];
  if (section.begin == kNone) {
    StartLine(out);
    out += '[';
    std::string_view name = Name(section.group);
    AppendToken(out, name, GroupNeedsQuotes(name));
    out += ']';
    out += line_end_;
  } else if (section.body > section.begin) {
    StartLine(out);
    out.append(buffer_, section.begin, section.body - section.begin);
  }
  const Overlay& overlay = overlays_.at(index);
  for (const OverlayLine& line : overlay) {
    StartLine(out);
    out += line.text;
  }
  // The group "" lives on after its last entry before the first header is erased: a "[]"
  // header keeps it when there is no other section to do so.
  if (index == 0 && section.group != kNone && section.next == kNone &&
      std::none_of(overlay.begin(), overlay.end(),
                   [](const OverlayLine& line) { return line.entry; })) {
    StartLine(out);
    out += "[]";
    out += line_end_;
  }
}

std::string IniDocument::Serialize() const {
  std::string out;
  out.reserve(buffer_.size() + buffer_.size() / 8 + 64);
  out.append(buffer_, 0, bom_length_);
  // Untouched sections lie next to each other in the buffer: copy each run at once.
  uint32_t run_begin = kNone;
  uint32_t run_end = kNone;
  auto flush_run = [&] {
    if (run_begin == kNone) return;
    StartLine(out);
    out.append(buffer_, run_begin, run_end - run_begin);
    run_begin = run_end = kNone;
  };
  for (uint32_t index = 0; index < sections_.size(); ++index) {
    const Section& section = sections_[index];
    if (section.group == kErased) continue;
    if (section.begin != kNone && overlays_.count(index) == 0) {
      if (run_begin != kNone && run_end == section.begin) {
        run_end = SectionEnd(index);
      } else {
        flush_run();
        run_begin = section.begin;
        run_end = SectionEnd(index);
      }
      continue;
    }
    flush_run();
    AppendSection(out, index);
  }
  flush_run();
  return out;
}
