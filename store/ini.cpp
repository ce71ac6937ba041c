// The INI store's operations on its image, its change journal and its group iterator, shared by
// the local and the remote kind.
#include "ini.h"

#include <chrono>
#include <thread>
#include <utility>

#include "ini_document.h"
#include "ini_journal.h"
#include "ini_syntax.h"

namespace {

// The group's entries, read without building (and keeping) the document's map of them.
IniEntryMap EntriesOf(const IniDocument& document, std::string_view name) {
  IniEntryMap entries;
  document.ForEachEntry(
      name, [&entries](const std::string& key, const std::string& value) { entries[key] = value; });
  return entries;
}

// Adds the groups that came, went or whose entries differ between the two images; returns
// whether there were any. Groups whose lines are the same are not read further.
bool AddDifferences(const IniDocument& before, const IniDocument& after, IniChanges* changed) {
  bool any = false;
  for (size_t i = 0; i < before.GroupCount(); ++i) {
    const std::string name(before.NameAt(i));
    if (!after.Contains(name)) {
      changed->groups.insert(name);
      if (!EntriesOf(before, name).empty()) changed->entries.insert(name);
      any = true;
    } else if (before.GroupText(name) != after.GroupText(name) &&
               !(EntriesOf(before, name) == EntriesOf(after, name))) {
      changed->entries.insert(name);
      any = true;
    }
  }
  for (size_t i = 0; i < after.GroupCount(); ++i) {
    const std::string name(after.NameAt(i));
    if (before.Contains(name)) continue;
    changed->groups.insert(name);
    if (!EntriesOf(after, name).empty()) changed->entries.insert(name);
    any = true;
  }
  return any;
}

}  // namespace

Group IniGroupIterator::operator*() const { return Group(name_); }

IniGroupIterator& IniGroupIterator::operator++() {
  if (at_end_) return *this;
  const IniDocument& document = *ini_->document_;
  if (document.Generation() == generation_) {
    ++index_;
  } else {
    // The set of groups changed since this iterator was placed: resume after its name.
    index_ = document.UpperBound(name_);
    generation_ = document.Generation();
  }
  if (index_ < document.GroupCount()) {
    name_.assign(document.NameAt(index_));
  } else {
    at_end_ = true;
    name_.clear();
  }
  return *this;
}

bool IniGroupIterator::Exists() const {
  if (at_end_) return false;
  const IniDocument& document = *ini_->document_;
  return document.Generation() == generation_ || document.Contains(name_);
}

const IniGroupView* IniGroupIterator::View() const {
  if (at_end_) return nullptr;
  const IniDocument& document = *ini_->document_;
  return document.Generation() == generation_ ? document.ViewAt(index_) : document.View(name_);
}

bool IniGroupIterator::operator==(const IniGroupIterator& other) const {
  if (at_end_ || other.at_end_) return at_end_ == other.at_end_;
  return ini_ == other.ini_ && name_ == other.name_;
}

Ini::Ini() : document_(std::make_unique<IniDocument>()), journal_(std::make_unique<IniJournal>()) {}

Ini::~Ini() = default;

bool Ini::isGroupExist(const std::string& group) const { return document_->Contains(group); }

bool Ini::InsertNewGroup(const std::string& group) {
  if (!document_->InsertGroup(group)) return false;
  ++changes_;
  journal_->Record({IniJournal::Kind::kInsertGroup, group, {}, {}, nullptr, nullptr});
  return true;
}

void Ini::EraseGroup(const std::string& group) {
  const IniEntryMap* entries = document_->Entries(group);
  if (entries == nullptr) return;
  // What the eraser saw: a replay erases these entries and leaves what others wrote since.
  auto seen = std::make_shared<const IniEntryMap>(*entries);
  document_->EraseGroup(group);
  ++changes_;
  journal_->Record({IniJournal::Kind::kEraseGroup, group, {}, {}, nullptr, std::move(seen)});
}

void Ini::GetGroupNames(std::list<std::string>& names) const {
  const IniDocument& document = *document_;
  for (size_t i = 0; i < document.GroupCount(); ++i) names.emplace_back(document.NameAt(i));
}

IniGroupIterator Ini::begin() const { return lower_bound(std::string()); }

IniGroupIterator Ini::end() const {
  IniGroupIterator it;
  it.ini_ = this;
  return it;
}

IniGroupIterator Ini::lower_bound(const std::string& name) const {
  IniGroupIterator it;
  it.ini_ = this;
  it.index_ = document_->LowerBound(name);
  it.generation_ = document_->Generation();
  if (it.index_ < document_->GroupCount()) {
    it.at_end_ = false;
    it.name_.assign(document_->NameAt(it.index_));
  }
  return it;
}

size_t Ini::GroupCount() const { return document_->GroupCount(); }

void Ini::SetKeyValue(const std::string& group, const std::string& key, std::string value) {
  document_->SetEntry(group, key, value);
  ++changes_;
  journal_->Record({IniJournal::Kind::kSetEntry, group, key, std::move(value), nullptr, nullptr});
}

bool Ini::EditEntry(const std::string& group, const std::string& key,
                    std::shared_ptr<const IniEntryEdit> edit) {
  const IniEntryMap* entries = document_->Entries(group);
  const std::string* current = nullptr;
  if (entries != nullptr) {
    const auto found = entries->find(key);
    if (found != entries->end()) current = &found->second;
  }
  std::string result;
  if (!edit->Apply(current, &result)) return false;
  document_->SetEntry(group, key, result);
  ++changes_;
  journal_->Record({IniJournal::Kind::kEditEntry, group, key, {}, std::move(edit), nullptr});
  return true;
}

void Ini::EraseKey(const std::string& group, const std::string& key) {
  if (!document_->EraseEntry(group, key)) return;
  ++changes_;
  journal_->Record({IniJournal::Kind::kEraseEntry, group, key, {}, nullptr, nullptr});
}

const IniEntryMap* Ini::GetGroupProperty(const std::string& group) const {
  return document_->Entries(group);
}

bool Ini::ForEachGroupEntry(
    const std::string& group,
    const std::function<void(const std::string& name, const std::string& value)>& entry) const {
  return document_->ForEachEntry(group, entry);
}

const IniGroupView* Ini::GetGroupView(const std::string& group) const {
  return document_->View(group);
}

const IniGroupView* Ini::KeepGroupView(const std::string& group,
                                       std::unique_ptr<const IniGroupView> view) const {
  return document_->KeepView(group, std::move(view));
}

const std::string& Ini::ExceptionNumberToString(int number) {
  static const std::string kTexts[] = {
      "unknown INI store error",
      "the INI file does not exist",
      "the INI file cannot be read",
      "the INI file has a line that is not a group header, an entry, a comment or blank",
      "the INI file cannot be written; the file on disk is unchanged",
      "the INI file is locked by another writer",
      "the INI file kept changing under concurrent writers; the changes are kept in memory",
      "the remote INI service failed",
  };
  const int count = static_cast<int>(sizeof(kTexts) / sizeof(kTexts[0]));
  return kTexts[(number > 0 && number < count) ? number : 0];
}

void Ini::LoadImage(std::string bytes, const std::string& source) {
  std::unique_ptr<IniDocument> parsed = IniDocument::Parse(std::move(bytes), source);
  parsed->SetGeneration(document_->Generation() + 1);
  document_ = std::move(parsed);
  journal_->Clear();
  ++merges_;
  ++changes_;
}

std::string Ini::SerializeImage() const { return document_->Serialize(); }

void Ini::ForEachImagePiece(const std::function<void(std::string_view)>& emit) const {
  document_->ForEachPiece(emit);
}

bool Ini::Refresh(IniChanges*) { return false; }

void Ini::ForgetRead() {}

bool Ini::DiscardChanges(IniChanges* changed) {
  // The read replays an empty journal; a failed one puts the changes back.
  std::unique_ptr<IniJournal> kept = std::exchange(journal_, std::make_unique<IniJournal>());
  try {
    ForgetRead();
    return Refresh(changed);
  } catch (...) {
    journal_ = std::move(kept);
    throw;
  }
}

bool Ini::WaitForChange(int timeout_ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
  return false;
}

bool Ini::RefreshDue() const { return true; }

int Ini::ChangeDescriptor() { return -1; }

bool Ini::MergeOnto(std::string bytes, const std::string& source, IniChanges* changed) {
  std::unique_ptr<IniDocument> parsed = IniDocument::Parse(std::move(bytes), source);
  journal_->ReplayOnto(*parsed, *document_);
  const bool differs = changed != nullptr && AddDifferences(*document_, *parsed, changed);
  parsed->SetGeneration(document_->Generation() + 1);
  document_ = std::move(parsed);
  ++merges_;
  ++changes_;
  return differs;
}

void Ini::ClearJournal() { journal_->Clear(); }

std::string Ini::GroupText(const std::string& group) const { return document_->GroupText(group); }

size_t Ini::EntryLine(const std::string& group, const std::string& key) const {
  using namespace ini_syntax;
  const std::string text = SerializeImage();
  std::string current;  // entries before the first header belong to the group ""
  size_t line = 0;
  size_t found = 0;
  ForEachLine(text.data(), text.data() + text.size(),
              [&](const char* begin, const char* end, const char*) {
                ++line;
                switch (Classify(begin, end)) {
                  case LineKind::kHeader: {
                    const char* open = SkipBlanks(begin, end);
                    const char* close = TrimBack(open, end) - 1;
                    current = DecodeWhole(open + 1, close);
                    break;
                  }
                  case LineKind::kEntry: {
                    if (current != group) break;
                    std::string name;
                    SplitEntry(begin, end, &name, nullptr, nullptr);
                    if (EqualNoCase(name, key)) found = line;
                    break;
                  }
                  default:
                    break;
                }
              });
  return found;
}
