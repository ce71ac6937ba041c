// QELLayerKey: a key of a stack of stores: values and subkeys merged from the layers, writes and
// masks in the top layer, and the reader that walks the merged subkeys.
#include "qel_layer_key.h"

#include <memory>
#include <utility>

#include <zor-qel-rb-key/qel_error.h>
#include "ini_document.h"
#include "ini_journal.h"
#include "list_value.h"
#include "qel_failures.h"
#include "qel_subkey_selector.h"
#include "qel_value_reader.h"

namespace {

const char kSourceFile[] = "src\\qel_layer_key";

bool InSubtree(const std::string& group, const std::string& root) {
  return group.size() >= root.size() && group.compare(0, root.size(), root) == 0 &&
         (group.size() == root.size() || group[root.size()] == '/');
}

void EraseSubtree(Ini& store, const std::string& root) {
  std::list<std::string> names;
  store.GetGroupNames(names);
  for (const std::string& name : names) {
    if (InSubtree(name, root)) store.EraseGroup(name);
  }
}

// The stored text of the value `name` of `path` in the layer that gives it, or null.
const std::string* ShownText(const QELLayerStack& stack, const std::string& path,
                             const std::string& name) {
  const size_t layer = stack.ValueLayer(path, name);
  if (layer == stack.Count()) return nullptr;
  const IniEntryMap* entries = stack.At(layer).store.Get()->GetGroupProperty(path);
  const auto found = entries->find(name);
  return &found->second;
}

// An edit of a list the top layer takes over from a lower one: made on the lower layer's text,
// or on the top's own entry where another writer of the top took the list over first, so that
// a replay keeps that writer's change too. Where another writer of the top deleted the value or
// its key meanwhile (a mask), the lower list is gone for the edit as for every reader.
class TakenOver : public IniDocumentEdit {
 public:
  TakenOver(std::string path, std::string name, std::string lower,
            std::shared_ptr<const IniEntryEdit> edit)
      : path_(std::move(path)),
        name_(std::move(name)),
        lower_(std::move(lower)),
        edit_(std::move(edit)) {}
  bool Apply(const std::string* current, std::string* result) const override {
    return edit_->Apply(current != nullptr ? current : &lower_, result);
  }
  bool ApplyIn(IniDocument& top, const std::string* current, std::string* result) const override {
    if (current == nullptr && Masked(top)) return edit_->Apply(nullptr, result);
    return Apply(current, result);
  }

 private:
  bool Masked(const IniDocument& top) const {
    const IniEntryMap* masks = top.Entries(QELLayerStack::kDeletedValues + path_);
    bool masked = (masks != nullptr && masks->count(name_) != 0) ||
                  top.Contains(QELLayerStack::kDeletedKeys + path_);
    ForEachParent(path_, [&](const std::string& parent) {
      masked = masked || top.Contains(QELLayerStack::kDeletedKeys + parent);
    });
    return masked;
  }

  std::string path_;
  std::string name_;
  std::string lower_;
  std::shared_ptr<const IniEntryEdit> edit_;
};

// The mask of a value a lower layer shows. A replay also erases the top's own entry of the value,
// which another writer of the top may have taken over or set meanwhile: the delete came later.
class ValueMask : public IniDocumentEdit {
 public:
  ValueMask(std::string path, std::string name) : path_(std::move(path)), name_(std::move(name)) {}
  bool Apply(const std::string*, std::string* result) const override {
    result->clear();
    return true;
  }
  bool ApplyIn(IniDocument& top, const std::string*, std::string* result) const override {
    top.EraseEntry(path_, name_);
    return Apply(nullptr, result);
  }

 private:
  std::string path_;
  std::string name_;
};

// What an eraser saw of a lower layer's value, set in its top only for the group's erase that
// follows to record: a replay of the erase then erases what another writer of the top left
// equal to it, and keeps the rest; the edit itself writes nothing.
class SeenBelow : public IniDocumentEdit {
 public:
  explicit SeenBelow(std::string shown) : shown_(std::move(shown)) {}
  bool Apply(const std::string* current, std::string* result) const override {
    if (current != nullptr) return false;
    *result = shown_;
    return true;
  }
  bool ApplyIn(IniDocument&, const std::string*, std::string*) const override { return false; }

 private:
  std::string shown_;
};

// Walks a snapshot of the merged subkeys that a selector selects.
class QELLayerKeyReader : public QELConstItemReader<QELKeyPointer> {
 public:
  QELLayerKeyReader(const QELLayerKey& key, const std::string& selector, bool recursive,
                    uint32_t* found)
      : root(key), names(key.Stack().Subkeys(key.GetKeyPath(), recursive)), filter(selector) {
    root.QELKey::CommitSuicide();  // the root of the stack, no values
    Next();
    if (found != nullptr) *found = current.IsNull() ? 0 : 1;
  }

  const QELKeyPointer& GetCurrent() const override { return current; }

  bool Next() override {
    const QELLayerStack& stack = root.Stack();
    while (position < names.size()) {
      const std::string& name = names[position++];
      const std::string* repository = ShownText(stack, name, "repositoryname");
      if (!SubkeySelected(filter, name, repository)) continue;
      std::unique_ptr<QELLayerKey> next(new QELLayerKey(root));
      // A key deleted since the walk began is passed over.
      if (!next->ChangeKey(name).Ok()) continue;
      current = QELKeyPointer(next.release());
      return true;
    }
    atEnd = true;
    return false;
  }

  bool IsEqual(const QELConstItemReader<QELKeyPointer>& other) const override {
    if (&other == this) return true;
    const QELLayerKeyReader* reader = dynamic_cast<const QELLayerKeyReader*>(&other);
    return reader != nullptr && atEnd == reader->atEnd && position == reader->position &&
           names == reader->names;
  }

 private:
  QELLayerKey root;
  std::vector<std::string> names;
  std::string filter;
  size_t position = 0;
  QELKeyPointer current;
};

}  // namespace

QELLayerKey::QELLayerKey(const QELIniConnection& connection)
    : QELKey(std::string()),
      stack(connection.GetLayers()),
      inTransaction(connection.QELConnectionBase::IsTransactionStarted()) {}

QELLayerKey::QELLayerKey(const std::string& key_path, const QELIniConnection& connection)
    : QELLayerKey(connection) {
  const QELStatus status = QELLayerKey::ChangeKey(key_path);
  if (!status.Ok()) ThrowStatus(status, kSourceFile, __LINE__);
}

QELLayerKey::~QELLayerKey() = default;

QELKey* QELLayerKey::Clone() const { return new QELLayerKey(*this); }

QELStatus QELLayerKey::ChangeKey(const std::string& new_path) {
  // The root is no group of the stack: a key cannot move to it (as on a single store).
  if (new_path.empty()) return Failed(qel_failure::kNoKey);
  const uint64_t merges = stack->MergeSum();
  QELValueMapPointer loaded;
  if (new_path[0] == '/' && !stack->KeyValues(new_path, loaded)) {
    return Failed(qel_failure::kNoKey);
  }
  const QELStatus status = ChangePath(new_path);
  if (!status.Ok()) return status;
  values = std::move(loaded);
  loadedAt = merges;
  return QELStatus();
}

void QELLayerKey::LoadValues() {
  loadedAt = stack->MergeSum();
  QELValueMapPointer loaded;
  if (!stack->KeyValues(path, loaded)) loaded = QELValueMapPointer(new QELValueMap());
  values = std::move(loaded);
}

void QELLayerKey::FollowStore() {
  if (!values.IsNull() && stack->MergeSum() != loadedAt) LoadValues();
}

void QELLayerKey::Flush() {
  if (!inTransaction) stack->FlushTop();
}

QELStatus QELLayerKey::GetValue(QELValueItem& value) {
  FollowStore();
  return QELKey::GetValue(value);
}

const QELRBValue* QELLayerKey::FindValue(std::string_view value_name) {
  FollowStore();
  return QELKey::FindValue(value_name);
}

QELStatus QELLayerKey::GetValues(QELValueMapPointer& out) {
  FollowStore();
  return QELKey::GetValues(out);
}

QELStatus QELLayerKey::HasValue(const QELNoCaseString& value_name, bool& has) {
  FollowStore();
  return QELKey::HasValue(value_name, has);
}

QELStatus QELLayerKey::SetValue(QELValueItem value) {
  QELValueMap single;
  single.Set(std::move(value));
  return SetValues(single);
}

QELStatus QELLayerKey::SetValues(const QELValueMap& new_values) {
  for (auto it = new_values.Begin(); it != new_values.End(); ++it) {
    const QELStatus status = CheckStorable(*it);
    if (!status.Ok()) return status;
  }
  FollowStore();
  // Taken before any write, so a key without a cache fails with the store untouched.
  QELValueMap* cache = values.operator->();
  Ini& store = stack->Top();
  const std::string masks = QELLayerStack::kDeletedValues + path;
  for (auto it = new_values.Begin(); it != new_values.End(); ++it) {
    store.SetKeyValue(path, it->first, EncodeValue(it->second));
    // The top's own value hides the lower ones already: a mask beside it would only linger.
    store.EraseKey(masks, it->first);
    cache->Set(*it);
  }
  const IniEntryMap* left = store.GetGroupProperty(masks);
  if (left != nullptr && left->empty()) store.EraseGroup(masks);
  Flush();
  return QELStatus();
}

QELStatus QELLayerKey::AddValue(const QELValueItem& value) { return EditElements(value, true); }

QELStatus QELLayerKey::DeleteValue(const QELValueItem& value) {
  QELValueMap single;
  single.Set(value);
  return DeleteValues(single);
}

QELStatus QELLayerKey::EditElements(const QELValueItem& value, bool add) {
  if (add) {
    const QELStatus storable = CheckStorable(value);
    if (!storable.Ok()) return storable;
  }
  FollowStore();
  QELValueMap* cache = values.operator->();
  const size_t layer = stack->ValueLayer(path, value.first);
  if (layer + 1 >= stack->Count()) {
    // The top holds the value, or no layer does: the top's list edit keeps what other writers of
    // the top add meanwhile.
    Ini& top = stack->Top();
    if (!top.isGroupExist(path)) {
      // The key lives in a lower layer: an add makes it the top's too; a delete has nothing there.
      if (!add) return QELStatus();
      top.InsertNewGroup(path);
    }
    QELIniKey edited(QELIniKey::SameStore(), stack->TopKey());
    QELStatus status = edited.ChangeKey(path);
    if (status.Ok()) status = add ? edited.AddValue(value) : edited.DeleteValue(value);
    if (!status.Ok()) return status;
  } else {
    const QELValueMap::iterator cached = cache->Find(value.first);
    if (cached == cache->End() && !add) return QELStatus();
    const std::string* text = ShownText(*stack, path, value.first);
    if (text != nullptr && IsTruncatedText(*text)) {
      return Failed(qel_failure::kTruncatedValue, TruncatedText(path, value.first));
    }
    std::list<QELRBValue> list;
    if (cached != cache->End()) list = static_cast<std::list<QELRBValue>>(cached->second);
    const std::list<QELRBValue> elements = value.second;
    std::shared_ptr<const IniEntryEdit> edit;
    if (add) {
      for (const QELRBValue& element : elements) {
        if (HasElement(list, element)) return Failed(qel_failure::kAlreadyExists);
      }
      edit = std::make_shared<ListAddition>(path, value.first, elements);
    } else {
      // Only elements the caller sees are removed for it, wherever a replay finds the list.
      std::list<QELRBValue> present;
      for (const QELRBValue& element : elements) {
        if (HasElement(list, element) && !HasElement(present, element)) present.push_back(element);
      }
      // Nothing removed: the lower layer's list stays where it is, not copied into the top.
      if (present.empty()) return QELStatus();
      edit = std::make_shared<ListRemoval>(path, value.first, std::move(present));
    }
    // A lower layer's list becomes the top's own, changed: the lower layer is never written.
    stack->Top().EditEntry(
        path, value.first,
        std::make_shared<TakenOver>(path, value.first, text != nullptr ? *text : std::string(),
                                    std::move(edit)));
  }
  Flush();
  LoadValues();
  return QELStatus();
}

QELStatus QELLayerKey::DeleteValues(const QELValueMap& removals) {
  FollowStore();
  QELValueMap* cache = values.operator->();
  Ini& store = stack->Top();
  for (auto it = removals.Begin(); it != removals.End(); ++it) {
    if (!static_cast<std::list<QELRBValue>>(it->second).empty()) {
      const QELStatus status = EditElements(*it, false);
      if (!status.Ok()) return status;
      cache = values.operator->();
      continue;
    }
    if (cache->Find(it->first) == cache->End()) continue;
    store.EraseKey(path, it->first);
    // What a lower layer still shows is masked; a mask already there is recorded again, for a
    // replay onto a top where another writer set the value since, which dropped the mask.
    const IniEntryMap* masks = store.GetGroupProperty(QELLayerStack::kDeletedValues + path);
    if (stack->ValueLayer(path, it->first) != stack->Count() ||
        (masks != nullptr && masks->count(it->first) != 0)) {
      store.EditEntry(QELLayerStack::kDeletedValues + path, it->first,
                      std::make_shared<ValueMask>(path, it->first));
      stack->MaskAdded();
    }
    cache->Remove(it->first);
  }
  // Flushed even when nothing was removed, as on a single store: the top reads what other
  // writers wrote meanwhile.
  Flush();
  return QELStatus();
}

QELStatus QELLayerKey::GetTruncatedValues(std::list<std::string>& names) {
  names.clear();
  FollowStore();
  const QELValueMapPointer& cache = values;
  if (cache.IsNull()) return QELStatus();
  const QELValueMap* map = cache.operator->();
  for (auto it = map->Begin(); it != map->End(); ++it) {
    const std::string* text = ShownText(*stack, path, it->first);
    if (text != nullptr && IsTruncatedText(*text)) names.push_back(it->first);
  }
  return QELStatus();
}

QELStatus QELLayerKey::SearchValues(const std::string& filter, qel_iterator<QELValueItem>& cursor,
                                    uint32_t&) {
  FollowStore();
  try {
    std::unique_ptr<QELValueReader> reader(new QELValueReader(values, filter));
    cursor.Reset(reader.release());
  } catch (const QELError& error) {
    return QELStatus(static_cast<int32_t>(error.Code()), error.What());
  }
  return QELStatus();
}

void QELLayerKey::RemoveSubtree(const std::string& root) {
  Ini& store = stack->Top();
  // Every key shown is erased as a group of the top holding every value shown, so that a replay
  // erases what the lower layer showed as it erases the top's own, and keeps what another writer
  // of the top changed there meanwhile with the path to it.
  std::vector<std::string> shown = stack->Subkeys(root, true);
  shown.push_back(root);
  for (const std::string& key : shown) {
    store.InsertNewGroup(key);
    QELValueMapPointer seen;
    if (!stack->KeyValues(key, seen)) continue;
    const IniEntryMap* own = store.GetGroupProperty(key);
    for (auto it = seen->Begin(); it != seen->End(); ++it) {
      if (own->count(it->first) == 0) {
        store.EditEntry(key, it->first, std::make_shared<SeenBelow>(EncodeValue(it->second)));
      }
    }
  }
  EraseSubtree(store, root);
  EraseSubtree(store, QELLayerStack::kDeletedValues + root);
  EraseSubtree(store, QELLayerStack::kDeletedKeys + root);
  if (stack->LowerHoldsSubtree(root)) {
    store.InsertNewGroup(QELLayerStack::kDeletedKeys + root);
    stack->MaskAdded();
  }
}

QELStatus QELLayerKey::CreateSubkey(const std::string& subkey) {
  const std::string full = path + "/" + subkey;
  if (subkey.empty() || QELLayerStack::IsMaskGroup(full)) {
    return Failed(qel_failure::kInvalidPath);
  }
  if (stack->KeyVisible(full)) return Failed(qel_failure::kAlreadyExists);
  stack->Top().InsertNewGroup(full);
  Flush();
  return QELStatus();
}

QELStatus QELLayerKey::DeleteSubkey(const std::string& subkey, bool) {
  // A name written in parentheses stands for the text between them.
  std::string bare = subkey;
  if (!subkey.empty() && subkey[0] == '(') {
    bare = subkey.size() >= 2 ? subkey.substr(1, subkey.size() - 2) : std::string();
  }
  const std::string target = path + "/" + bare;
  if (!stack->KeyVisible(target)) return Failed(qel_failure::kNoKey);
  RemoveSubtree(target);
  Flush();
  return QELStatus();
}

QELStatus QELLayerKey::CommitSuicide() {
  if (!path.empty()) {
    RemoveSubtree(path);
    Flush();
  }
  return QELKey::CommitSuicide();
}

QELStatus QELLayerKey::GetSubkey(const std::string& subkey, QELKey& target) {
  const std::string full = path + "/" + subkey;
  if (!stack->KeyVisible(full)) return Failed(qel_failure::kNoKey);
  return target.ChangeKey(full);
}

QELStatus QELLayerKey::HasSubkey(const std::string& subkey, bool& has) {
  has = stack->KeyVisible(path + "/" + subkey);
  return QELStatus();
}

QELStatus QELLayerKey::SearchSubKey(const std::string& filter, qel_iterator<QELKeyPointer>& cursor,
                                    bool recursive, const std::list<std::string>&,
                                    uint32_t& count) {
  std::unique_ptr<QELLayerKeyReader> reader(
      new QELLayerKeyReader(*this, filter, recursive, &count));
  cursor.Reset(reader.release());
  return QELStatus();
}

QELStatus QELLayerKey::IsEmpty(bool& empty) {
  empty = stack->Subkeys(path, false).empty();
  return QELStatus();
}
