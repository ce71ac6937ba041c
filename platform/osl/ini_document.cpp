// The INI image: one pass that checks every line and indexes the groups, entry maps built on
// demand, edits kept as per-section overlays, and serialization that copies untouched bytes.
#include "ini_document.h"

#include <algorithm>
#include <cstring>
#include <limits>

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

[[noreturn]] void Reject(const std::string& source, size_t line, const char* reason) {
  CLogMsg("Ini::LoadImage", "osl", kLogTrace)
      << kLogError << "cannot load INI file " << source << ", line "
      << static_cast<unsigned long>(line) << ": " << reason << flush;
  throw static_cast<int>(kIniBadSyntax);
}

}  // namespace

IniDocument::IniDocument() { sections_.push_back(Section{0, 0, 0, kNone, kNone}); }

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

  doc.sections_.clear();
  const uint32_t start = static_cast<uint32_t>(doc.bom_length_);
  doc.sections_.push_back(Section{start, start, start, kNone, kNone});
  doc.groups_.reserve(size / 256 + 1);
  doc.sections_.reserve(size / 256 + 1);

  size_t line_number = 1;
  const char* p = data + doc.bom_length_;
  const char* end = data + size;
  while (p < end) {
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
        if (doc.sections_.size() == 1 && doc.sections_[0].group == kNone) {
          // Entries before the first header make up the group "".
          GroupRecord record;
          record.name_offset = start;
          record.first_section = record.last_section = 0;
          doc.groups_.push_back(std::move(record));
          doc.sections_[0].group = 0;
        }
        break;
      case LineKind::kHeader: {
        const uint32_t offset = static_cast<uint32_t>(p - data);
        doc.sections_.back().end = offset;
        GroupRecord record;
        const char* open = SkipBlanks(p, content_end);
        const char* close = TrimBack(open, content_end) - 1;
        if (open[1] == '"') {
          record.name_offset = static_cast<uint32_t>(doc.owned_names_.size());
          record.name_length = kOwnedName;
          doc.owned_names_.push_back(DecodeWhole(open + 1, close));
        } else {
          record.name_offset = static_cast<uint32_t>(open + 1 - data);
          record.name_length = static_cast<uint32_t>(close - open - 1);
        }
        const uint32_t section = static_cast<uint32_t>(doc.sections_.size());
        record.first_section = record.last_section = section;
        doc.sections_.push_back(Section{offset, static_cast<uint32_t>(next - data), 0,
                                        static_cast<uint32_t>(doc.groups_.size()), kNone});
        doc.groups_.push_back(std::move(record));
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
  doc.sections_.back().end = static_cast<uint32_t>(size);

  // Sort by name, sections of one name in file order, then fold repeated names into one group.
  std::vector<uint32_t>& order = doc.order_;
  order.resize(doc.groups_.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&doc](uint32_t a, uint32_t b) {
    std::string_view left = doc.Name(a);
    std::string_view right = doc.Name(b);
    int compared = left.compare(right);
    return compared < 0 || (compared == 0 && a < b);
  });
  size_t kept = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    if (kept > 0 && doc.Name(order[kept - 1]) == doc.Name(order[i])) {
      GroupRecord& keep = doc.groups_[order[kept - 1]];
      GroupRecord& repeat = doc.groups_[order[i]];
      doc.sections_[keep.last_section].next = repeat.first_section;
      keep.last_section = repeat.last_section;
      doc.sections_[repeat.first_section].group = order[kept - 1];
      repeat.first_section = repeat.last_section = kNone;
    } else {
      order[kept++] = order[i];
    }
  }
  order.resize(kept);
  order.shrink_to_fit();
  doc.groups_.shrink_to_fit();
  doc.sections_.shrink_to_fit();
  return document;
}

std::string_view IniDocument::Name(uint32_t group) const {
  const GroupRecord& record = groups_[group];
  if ((record.name_length & kOwnedName) != 0) return owned_names_[record.name_offset];
  return std::string_view(buffer_.data() + record.name_offset, record.name_length);
}

size_t IniDocument::LowerBound(std::string_view name) const {
  auto it =
      std::lower_bound(order_.begin(), order_.end(), name,
                       [this](uint32_t group, std::string_view key) { return Name(group) < key; });
  return static_cast<size_t>(it - order_.begin());
}

size_t IniDocument::UpperBound(std::string_view name) const {
  auto it =
      std::upper_bound(order_.begin(), order_.end(), name,
                       [this](std::string_view key, uint32_t group) { return key < Name(group); });
  return static_cast<size_t>(it - order_.begin());
}

uint32_t IniDocument::Find(std::string_view name) const {
  size_t position = LowerBound(name);
  if (position < order_.size() && Name(order_[position]) == name) return order_[position];
  return kNone;
}

bool IniDocument::Contains(std::string_view name) const { return Find(name) != kNone; }

const IniEntryMap* IniDocument::Entries(std::string_view name) const {
  uint32_t group = Find(name);
  if (group == kNone) return nullptr;
  const GroupRecord& record = groups_[group];
  std::lock_guard<std::mutex> guard(entries_mutex_);
  if (!record.entries) {
    auto entries = std::make_unique<IniEntryMap>();
    BuildEntries(record, *entries);
    record.entries = std::move(entries);
  }
  return record.entries.get();
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
    const Section& section = sections_[index];
    ForEachLine(
        buffer_.data() + section.body, buffer_.data() + section.end,
        [&](const char* begin, const char* content_end, const char*) { add(begin, content_end); });
  }
}

uint32_t IniDocument::AddGroup(const std::string& name) {
  const uint32_t group = static_cast<uint32_t>(groups_.size());
  const uint32_t section = static_cast<uint32_t>(sections_.size());
  GroupRecord record;
  record.name_offset = static_cast<uint32_t>(owned_names_.size());
  record.name_length = kOwnedName;
  record.first_section = record.last_section = section;
  owned_names_.push_back(name);
  sections_.push_back(Section{kNone, kNone, kNone, group, kNone});
  groups_.push_back(std::move(record));
  overlays_[section];
  order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(LowerBound(name)), group);
  ++generation_;
  return group;
}

bool IniDocument::InsertGroup(const std::string& name) {
  if (Find(name) != kNone) return false;
  AddGroup(name);
  return true;
}

bool IniDocument::EraseGroup(const std::string& name) {
  size_t position = LowerBound(name);
  if (position == order_.size() || Name(order_[position]) != name) return false;
  GroupRecord& record = groups_[order_[position]];
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
  record.entries.reset();
  order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(position));
  ++generation_;
  return true;
}

IniDocument::Overlay& IniDocument::Edit(uint32_t index) {
  auto found = overlays_.find(index);
  if (found != overlays_.end()) return found->second;
  Overlay& overlay = overlays_[index];
  const Section& section = sections_[index];
  ForEachLine(buffer_.data() + section.body, buffer_.data() + section.end,
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
  if (record.entries) {
    std::lock_guard<std::mutex> guard(entries_mutex_);
    auto placed = record.entries->emplace(key, value);
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
  if (record.entries) {
    std::lock_guard<std::mutex> guard(entries_mutex_);
    record.entries->erase(key);
  }
  return erased;
}

void IniDocument::StartLine(std::string& out) const {
  if (out.size() > bom_length_ && out.back() != '\n') out += line_end_;
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
        run_end = section.end;
      } else {
        flush_run();
        run_begin = section.begin;
        run_end = section.end;
      }
      continue;
    }
    flush_run();
    AppendSection(out, index);
  }
  flush_run();
  return out;
}
