// How a value is kept as INI entry text (its elements each ended by 0x1B) and the list merges of
// adding and removing elements, also as journal edits replayed onto another writer's version.
// Thread safety: functions without state; an edit is immutable once made.
#pragma once

#include <list>
#include <string>

#include <zor-qel-rb-key/qel_rb_value.h>
#include "ini_types.h"

// Ends each element of a list kept as entry text.
constexpr char kListSeparator = '\x1B';

// Encodes a value as entry text: elements each followed by 0x1B; one element bare; none empty.
std::string EncodeValue(const QELRBValue& value);
// Decodes entry text: pieces ending at each 0x1B; text after the last 0x1B is dropped.
QELRBValue DecodeValue(const std::string& text);
// Whether DecodeValue drops bytes of `text`: it holds 0x1B and does not end with it (a list
// edited without its final separator, or one string holding 0x1B).
bool IsTruncatedText(const std::string& text);

bool HasElement(const std::list<QELRBValue>& elements, const QELRBValue& wanted);
// The list merge of AddValue: each added element goes before the first remaining element of
// `merged` greater than it; those left over go to the end.
void MergeElements(std::list<QELRBValue>& merged, const std::list<QELRBValue>& added);

// The text of ZORKVA0612E for the value `name` of the key at `group`.
std::string TruncatedText(const std::string& group, const std::string& name);

// A list edit, replayable onto another writer's version of the entry; it refuses (throws the
// 168 QELError) to rewrite a version whose text would lose bytes.
class ListEdit : public IniEntryEdit {
 public:
  ListEdit(std::string group, std::string name, std::list<QELRBValue> elements)
      : group_(std::move(group)), name_(std::move(name)), elements_(std::move(elements)) {}

 protected:
  void RefuseTruncated(const std::string* current) const;

  std::string group_;
  std::string name_;
  std::list<QELRBValue> elements_;
};

// Adding elements to a list entry: elements the entry already holds are not added twice.
class ListAddition : public ListEdit {
 public:
  using ListEdit::ListEdit;
  bool Apply(const std::string* current, std::string* result) const override;
};

// Removing elements (every occurrence) from a list entry; an entry that is gone stays gone.
class ListRemoval : public ListEdit {
 public:
  using ListEdit::ListEdit;
  bool Apply(const std::string* current, std::string* result) const override;
};
