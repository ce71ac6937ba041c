// The value encoding of INI entry text and the list merges of adding and removing elements, as
// the keys apply them and as the journal replays them onto another writer's version.
#include "list_value.h"

#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_error_codes.h>
#include "message.h"

namespace {

// The source the refusal has always named: the key that makes the edit.
const char kSourceFile[] = "src\\qel_ini_key";

}  // namespace

std::string EncodeValue(const QELRBValue& value) {
  const std::vector<std::string>& elements = value.Elements();
  if (elements.empty()) return std::string();
  if (elements.size() == 1) return elements.front();
  std::string text;
  for (const std::string& element : elements) {
    text += element;
    text += kListSeparator;
  }
  return text;
}

QELRBValue DecodeValue(const std::string& text) {
  if (text.empty()) return QELRBValue();
  std::list<std::string> elements;
  if (text.find(kListSeparator) == std::string::npos) {
    elements.push_back(text);
    return QELRBValue(elements);
  }
  size_t start = 0;
  for (size_t end = text.find(kListSeparator); end != std::string::npos;
       end = text.find(kListSeparator, start)) {
    elements.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return QELRBValue(elements);
}

bool IsTruncatedText(const std::string& text) {
  return !text.empty() && text.back() != kListSeparator &&
         text.find(kListSeparator) != std::string::npos;
}

bool HasElement(const std::list<QELRBValue>& elements, const QELRBValue& wanted) {
  for (const QELRBValue& element : elements) {
    if (element == wanted) return true;
  }
  return false;
}

void MergeElements(std::list<QELRBValue>& merged, const std::list<QELRBValue>& added) {
  auto position = merged.begin();
  for (const QELRBValue& element : added) {
    while (position != merged.end() && !(element < *position)) ++position;
    merged.insert(position, element);
  }
}

std::string TruncatedText(const std::string& group, const std::string& name) {
  return Message("")["ZORKVA0612E"] << name << (group.empty() ? std::string("/") : group);
}

void ListEdit::RefuseTruncated(const std::string* current) const {
  if (current == nullptr || !IsTruncatedText(*current)) return;
  // Only a replay meets one: the key refuses the change before it is made.
  throw QELError(TruncatedText(group_, name_) +
                     " Another writer left it so meanwhile; the changes are kept in memory.",
                 static_cast<int32_t>(zor::qel::ErrorCode::kUnstorableValue),
                 static_cast<long>(zor::qel::Facility::kLibrary), kSourceFile, __LINE__);
}

bool ListAddition::Apply(const std::string* current, std::string* result) const {
  RefuseTruncated(current);
  std::list<QELRBValue> merged;
  if (current != nullptr) merged = DecodeValue(*current);
  std::list<QELRBValue> added;
  for (const QELRBValue& element : elements_) {
    if (!HasElement(merged, element)) added.push_back(element);
  }
  if (added.empty() && current != nullptr) return false;
  MergeElements(merged, added);
  *result = EncodeValue(QELRBValue(merged));
  return true;
}

bool ListRemoval::Apply(const std::string* current, std::string* result) const {
  if (current == nullptr) return false;
  RefuseTruncated(current);
  std::list<QELRBValue> kept = DecodeValue(*current);
  const size_t before = kept.size();
  kept.remove_if([this](const QELRBValue& element) { return HasElement(elements_, element); });
  if (kept.size() == before) return false;
  *result = EncodeValue(QELRBValue(kept));
  return true;
}
