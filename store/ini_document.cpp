// The INI image: one pass that checks every line and indexes the groups, entry maps built on
// demand, edits kept as per-section overlays, and serialization that copies untouched bytes.
#include "ini_document.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_log.h>
#include "ini_syntax.h"

using namespace ini_syntax;

namespace {

// Every syntax error goes through here: thrown with the file, the line and why.
[[noreturn]] void Reject(const std::string& source, size_t line, const char* reason) {
  const std::string text = "cannot load INI file " + zor::qel::MaskCredentials(source) + ", line " +
                           std::to_string(line) + ": " + reason;
  throw QELError(text, kIniBadSyntax, kIniFacility, "store/ini_document", static_cast<long>(line));
}

// The encoding a UTF-16 or UTF-32 byte order mark at the start of `data` names, or nullptr: such a
// file is no INI text this store reads, and is refused rather than read as odd bytes.
const char* WideEncoding(const char* data, size_t size) {
  static const struct {
    const char* mark;
    size_t length;
    const char* name;
  } kMarks[] = {{"\xFF\xFE\0\0", 4, "UTF-32 (little-endian)"},
                {"\0\0\xFE\xFF", 4, "UTF-32 (big-endian)"},
                {"\xFF\xFE", 2, "UTF-16 (little-endian)"},
                {"\xFE\xFF", 2, "UTF-16 (big-endian)"}};
  for (const auto& mark : kMarks) {
    if (size >= mark.length && std::memcmp(data, mark.mark, mark.length) == 0) return mark.name;
  }
  return nullptr;
}

}  // namespace

IniDocument::IniDocument() { sections_.push_back(Section{0, 0, kNone, kNone}); }

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
  if (const char* encoding = WideEncoding(data, size)) {
    const std::string reason =
        std::string("the file is ") + encoding + " text; the store reads UTF-8: save it as UTF-8";
    Reject(source, 1, reason.c_str());
  }

  const char* first_newline = static_cast<const char*>(std::memchr(data, '\n', size));
  if (first_newline != nullptr && first_newline > data && first_newline[-1] == '\r') {
    doc.line_end_ = "\r\n";
  }

  const uint32_t start = static_cast<uint32_t>(doc.bom_length_);
  doc.sections_[0] = Section{start, start, kNone, kNone};
  // Room for groups of typical size; a file of smaller groups makes the vectors grow.
  doc.groups_.reserve(size / 128 + 1);
  doc.sections_.reserve(size / 128 + 2);
  doc.index_.Attach(doc.buffer_);
  doc.index_.Reserve(size / 128 + 1);

  // Entries before the first header make up the group "".
  auto note_entry = [&doc, data, start] {
    if (doc.sections_.size() == 1 && doc.sections_[0].group == kNone) {
      doc.AddHeader(doc.index_.AppendInBuffer(std::string_view(data + start, 0)), 0);
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
        const uint32_t section = static_cast<uint32_t>(doc.sections_.size());
        doc.sections_.push_back(Section{static_cast<uint32_t>(p - data),
                                        static_cast<uint32_t>(next - data), kNone, kNone});
        doc.AddHeader(open[1] == '"' ? doc.index_.AppendCopy(DecodeWhole(open + 1, close))
                                     : doc.index_.AppendInBuffer(std::string_view(
                                           open + 1, static_cast<size_t>(close - open - 1))),
                      section);
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
  doc.index_.ShrinkToFit();
  // All sections headed by one name form one group: later ones join the first one's chain.
  doc.index_.Build([&doc](uint32_t first, uint32_t later) {
    GroupRecord& repeat = doc.groups_[later];
    doc.sections_[doc.groups_[first].last_section].next = repeat.first_section;
    doc.sections_[repeat.first_section].group = first;
    doc.groups_[first].last_section = repeat.last_section;
    repeat.first_section = repeat.last_section = kNone;
  });
  return document;
}

void IniDocument::AddHeader(uint32_t group, uint32_t section) {
  groups_.push_back(GroupRecord{section, section});
  sections_[section].group = group;
}

uint32_t IniDocument::SectionEnd(uint32_t section) const {
  if (section + 1 < sections_.size() && sections_[section + 1].begin != kNone) {
    return sections_[section + 1].begin;
  }
  return static_cast<uint32_t>(buffer_.size());
}

const IniEntryMap* IniDocument::Entries(std::string_view name) const {
  uint32_t group = index_.Find(name);
  if (group == kNone) return nullptr;
  std::lock_guard<std::mutex> guard(mutex_);
  std::unique_ptr<IniEntryMap>& entries = entries_[group];
  if (!entries) {
    entries = std::make_unique<IniEntryMap>();
    BuildEntries(groups_[group], *entries);
  }
  return entries.get();
}

const IniGroupView* IniDocument::View(std::string_view name) const {
  const uint32_t group = index_.Find(name);
  if (group == kNone) return nullptr;
  std::lock_guard<std::mutex> guard(mutex_);
  return group < views_.size() ? views_[group].get() : nullptr;
}

const IniGroupView* IniDocument::ViewAt(size_t position) const {
  const uint32_t group = index_.GroupAt(position);
  std::lock_guard<std::mutex> guard(mutex_);
  return group < views_.size() ? views_[group].get() : nullptr;
}

void IniDocument::DropView(uint32_t group) const {
  if (group < views_.size()) views_[group].reset();
}

const IniGroupView* IniDocument::KeepView(std::string_view name,
                                          std::unique_ptr<const IniGroupView> view) const {
  const uint32_t group = index_.Find(name);
  if (group == kNone) return nullptr;
  std::lock_guard<std::mutex> guard(mutex_);
  if (group >= views_.size()) views_.resize(index_.Capacity());
  std::unique_ptr<const IniGroupView>& kept = views_[group];
  if (!kept) kept = std::move(view);
  return kept.get();
}

void IniDocument::BuildEntries(const GroupRecord& group, IniEntryMap& entries) const {
  ForEachEntryLine(group, [&entries](std::string& name, std::string& value) {
    auto placed = entries.emplace(name, value);
    if (!placed.second) placed.first->second = value;
  });
}

bool IniDocument::ForEachEntry(
    std::string_view name,
    const std::function<void(const std::string&, const std::string&)>& entry) const {
  const uint32_t group = index_.Find(name);
  if (group == kNone) return false;
  const IniEntryMap* built = nullptr;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = entries_.find(group);
    if (found != entries_.end()) built = found->second.get();
  }
  if (built != nullptr) {
    for (const auto& pair : *built) entry(pair.first, pair.second);
    return true;
  }
  // As the map would hold them: sorted by name ignoring case, a name written again keeping its
  // first spelling and taking its last value.
  std::vector<std::pair<std::string, std::string>> lines;
  ForEachEntryLine(groups_[group], [&lines](std::string& line_name, std::string& value) {
    lines.emplace_back(std::move(line_name), std::move(value));
  });
  std::stable_sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) {
    return StrCmpInSensitive()(a.first, b.first);
  });
  for (size_t i = 0; i < lines.size();) {
    size_t last = i;
    while (last + 1 < lines.size() && EqualNoCase(lines[last + 1].first, lines[i].first)) ++last;
    entry(lines[i].first, lines[last].second);
    i = last + 1;
  }
  return true;
}

template <typename Visit>
void IniDocument::ForEachEntryLine(const GroupRecord& group, Visit&& visit) const {
  std::string name;
  std::string value;
  auto add = [&](const char* begin, const char* content_end) {
    if (Classify(begin, content_end) != LineKind::kEntry) return;
    SplitEntry(begin, content_end, &name, &value, nullptr);
    visit(name, value);
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
  const uint32_t group = index_.InsertCopy(name);
  const uint32_t section = static_cast<uint32_t>(sections_.size());
  groups_.push_back(GroupRecord{section, section});
  sections_.push_back(Section{kNone, kNone, group, kNone});
  overlays_[section];
  ++generation_;
  return group;
}

bool IniDocument::InsertGroup(const std::string& name) {
  if (index_.Find(name) != kNone) return false;
  AddGroup(name);
  return true;
}

bool IniDocument::EraseGroup(const std::string& name) {
  const uint32_t group = index_.Erase(name);
  if (group == kNone) return false;
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
    DropView(group);
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
  uint32_t id = index_.Find(group);
  if (id == kNone) id = AddGroup(group);
  GroupRecord& record = groups_[id];

  // The line is built in place at its final size: a large value is copied once, into its line.
  const bool quoted = ValueNeedsQuotes(value);
  const size_t value_size = TokenSize(value, quoted);

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
      const char* text_end = begin + text.size();
      std::string rewritten;
      rewritten.reserve(static_cast<size_t>(value_begin - begin) + value_size +
                        static_cast<size_t>(text_end - content_end));
      rewritten.append(begin, value_begin);
      AppendToken(rewritten, value, quoted);
      rewritten.append(content_end, text_end);
      text = std::move(rewritten);
      replaced = true;
      break;
    }
  }
  if (!replaced) {
    OverlayLine line;
    const bool key_quoted = EntryNameNeedsQuotes(key);
    line.text.reserve(TokenSize(key, key_quoted) + 1 + value_size + line_end_.size());
    AppendToken(line.text, key, key_quoted);
    line.text += '=';
    AppendToken(line.text, value, quoted);
    line.text += line_end_;
    line.entry = true;
    line.name = key;
    Overlay& overlay = Edit(record.last_section);
    auto after = std::find_if(overlay.rbegin(), overlay.rend(),
                              [](const OverlayLine& candidate) { return candidate.entry; });
    overlay.insert(after.base(), std::move(line));
  }
  std::lock_guard<std::mutex> guard(mutex_);
  DropView(id);
  auto entries = entries_.find(id);
  if (entries != entries_.end()) {
    auto placed = entries->second->emplace(key, value);
    if (!placed.second) placed.first->second = value;
  }
}

bool IniDocument::EraseEntry(const std::string& group, const std::string& key) {
  uint32_t id = index_.Find(group);
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
  if (erased) DropView(id);
  auto entries = entries_.find(id);
  if (entries != entries_.end()) entries->second->erase(key);
  return erased;
}

// The text given so far, as StartLine needs it: its length and its last byte.
class IniDocument::PieceOut {
 public:
  explicit PieceOut(const std::function<void(std::string_view)>& emit) : emit_(emit) {}
  void Append(std::string_view piece) {
    if (piece.empty()) return;
    emit_(piece);
    size_ += piece.size();
    last_ = piece.back();
  }
  size_t Size() const { return size_; }
  char Last() const { return last_; }

 private:
  const std::function<void(std::string_view)>& emit_;
  size_t size_ = 0;
  char last_ = '\0';
};

void IniDocument::StartLine(PieceOut& out) const {
  if (out.Size() <= bom_length_ || out.Last() == '\n') return;
  // A last line ending in a lone CR was read as ending there; an LF completes that line end
  // without putting a CR into its content.
  out.Append(out.Last() == '\r' ? std::string_view("\n") : std::string_view(line_end_));
}

void IniDocument::AppendSection(PieceOut& out, uint32_t index) const {
  const Section& section = sections_[index];
  if (section.begin == kNone) {
    StartLine(out);
    std::string header = "[";
    std::string_view name = Name(section.group);
    AppendToken(header, name, GroupNeedsQuotes(name));
    header += ']';
    header += line_end_;
    out.Append(header);
  } else if (section.body > section.begin) {
    StartLine(out);
    out.Append(std::string_view(buffer_).substr(section.begin, section.body - section.begin));
  }
  const Overlay& overlay = overlays_.at(index);
  for (const OverlayLine& line : overlay) {
    StartLine(out);
    out.Append(line.text);
  }
  // The group "" lives on after its last entry before the first header is erased: a "[]"
  // header keeps it when there is no other section to do so.
  if (index == 0 && section.group != kNone && section.next == kNone &&
      std::none_of(overlay.begin(), overlay.end(),
                   [](const OverlayLine& line) { return line.entry; })) {
    StartLine(out);
    out.Append("[]");
    out.Append(line_end_);
  }
}

std::string IniDocument::GroupText(std::string_view name) const {
  std::string out;
  const uint32_t group = index_.Find(name);
  if (group == kNone) return out;
  // A line that lacks its end (the file's last one) gets one before another line follows.
  auto end_line = [this, &out] {
    if (out.empty() || out.back() == '\n') return;
    out += out.back() == '\r' ? std::string("\n") : line_end_;
  };
  for (uint32_t index = groups_[group].first_section; index != kNone;
       index = sections_[index].next) {
    const auto overlay = overlays_.find(index);
    if (overlay == overlays_.end()) {
      end_line();
      out.append(buffer_, sections_[index].body, SectionEnd(index) - sections_[index].body);
      continue;
    }
    for (const OverlayLine& line : overlay->second) {
      end_line();
      out += line.text;
    }
  }
  end_line();
  return out;
}

void IniDocument::ForEachPiece(const std::function<void(std::string_view)>& emit) const {
  PieceOut out(emit);
  const std::string_view buffer(buffer_);
  out.Append(buffer.substr(0, bom_length_));
  // Untouched sections lie next to each other in the buffer: each run goes out at once.
  uint32_t run_begin = kNone;
  uint32_t run_end = kNone;
  auto flush_run = [&] {
    if (run_begin == kNone) return;
    StartLine(out);
    out.Append(buffer.substr(run_begin, run_end - run_begin));
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
}

std::string IniDocument::Serialize() const {
  std::string out;
  out.reserve(buffer_.size() + buffer_.size() / 8 + 64);
  ForEachPiece([&out](std::string_view piece) { out.append(piece); });
  return out;
}
