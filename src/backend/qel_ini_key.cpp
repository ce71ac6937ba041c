// QELIniKey: the key tree laid out in an INI store (one group per key path, one entry per value,
// list elements each ended by 0x1B), its value writes, subkey operations and subkey reader.
#include "qel_ini_key.h"

#include <cstring>
#include <memory>
#include <string_view>
#include <typeinfo>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include "clog_msg.h"
#include "message.h"
#include "qel_failures.h"
#include "qel_subkey_selector.h"
#include "qel_value_reader.h"

namespace {

const char kSourceFile[] = "src\\qel_ini_key";

const QELIniConnection& AsIniConnection(QELConnectionBase& connection) {
  // Most connections are exactly local INI ones: one comparison of types instead of a search.
  if (typeid(connection) == typeid(QELIniConnection)) {
    return static_cast<const QELIniConnection&>(connection);
  }
  const QELIniConnection* ini_connection = dynamic_cast<const QELIniConnection*>(&connection);
  if (ini_connection == nullptr) {
    throw QELLogicalError("an INI key needs an INI connection", kSourceFile, __LINE__);
  }
  return *ini_connection;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && std::string_view(text.data(), prefix.size()) == prefix;
}

// Whether `group` is the subtree root `root` or lies below it, byte for byte.
bool InSubtree(const std::string& group, const std::string& root) {
  return group == root ||
         (group.size() > root.size() && StartsWith(group, root) && group[root.size()] == '/');
}

// Erases every group of the subtree rooted at `root`: they lie among the groups whose names begin
// with `root`, one range in byte order, so only that range is listed.
void EraseSubtree(Ini& store, const std::string& root) {
  std::vector<std::string> doomed;
  for (IniGroupIterator it = store.lower_bound(root);
       it != store.end() && StartsWith(it.Name(), root); ++it) {
    if (InSubtree(it.Name(), root)) doomed.push_back(it.Name());
  }
  for (const std::string& name : doomed) store.EraseGroup(name);
}

// The stored text of the entry `name` of `group`, or null when it does not exist.
const std::string* StoredText(const Ini& store, const std::string& group, const std::string& name) {
  const IniEntryMap* entries = store.GetGroupProperty(group);
  if (entries == nullptr) return nullptr;
  const auto found = entries->find(name);
  return found == entries->end() ? nullptr : &found->second;
}

// The elements of the stored entry `name` of `group`, or none when it does not exist.
std::list<QELRBValue> StoredElements(const Ini& store, const std::string& group,
                                     const std::string& name) {
  const std::string* text = StoredText(store, group, name);
  if (text == nullptr) return {};
  return DecodeValue(*text);
}

// Refuses an element change of a value whose stored text would lose bytes when rewritten from
// its elements: only a whole new value may replace it.
QELStatus RefuseTruncated(const Ini& store, const std::string& group, const std::string& name) {
  const std::string* text = StoredText(store, group, name);
  if (text == nullptr || !IsTruncatedText(*text)) return QELStatus();
  return Failed(qel_failure::kTruncatedValue, TruncatedText(group, name));
}

// Tells, when a key loads the value, that its stored text holds bytes it does not read: one error
// record naming the key and the value, never the content.
void LogTruncated(const std::string& group, const std::string& name) {
  CLogMsg("QELIniKey::LoadValues", "key", kLogTrace)
      << kLogError << "The value " << name << " of key " << (group.empty() ? "/" : group)
      << " holds bytes after its last separator 0x1B, which no element keeps: it reads as the "
         "elements before them"
      << flush;
}

// A group's values decoded once, kept by the store beside the group's entries until they change,
// and shared copy-on-write by every key that loads them meanwhile: opening a key copies no value.
class DecodedValues : public IniGroupView {
 public:
  explicit DecodedValues(QELValueMapPointer decoded) : values(std::move(decoded)) {}
  const QELValueMapPointer values;
};

// A shared pointer that owns `object`; the object is freed should the pointer's storage fail.
template <class Pointer, class T>
Pointer Own(std::unique_ptr<T> object) {
  Pointer pointer(object.get());
  object.release();
  return pointer;
}

// The values of `group` decoded from its entries, for the caller alone; false when the group
// does not exist.
bool DecodeValues(const Ini& store, const std::string& group, QELValueMapPointer& out) {
  QELValueMapPointer decoded = Own<QELValueMapPointer>(std::make_unique<QELValueMap>());
  QELValueMap* map = decoded.operator->();
  // The entries come unique without regard to case, in their order: each is appended.
  const bool exists = store.ForEachGroupEntry(
      group, [map, &group](const std::string& name, const std::string& value) {
        map->Append(QELValueItem(name, DecodeValue(value)));
        if (IsTruncatedText(value)) LogTruncated(group, name);
      });
  if (!exists) return false;
  map->ShrinkToFit();
  out = std::move(decoded);
  return true;
}

// The values of `group` as the store holds them now, shared with the keys that loaded them
// since it last changed; false when the group does not exist. With `keep`, values decoded now
// are kept by the store for the keys that load them next; without it, only those already kept
// are shared.
bool SharedValues(const Ini& store, const std::string& group, QELValueMapPointer& out,
                  bool keep = true) {
  const IniGroupView* view = store.GetGroupView(group);
  if (view == nullptr) {
    QELValueMapPointer decoded;
    if (!DecodeValues(store, group, decoded)) return false;
    if (!keep) {
      out = std::move(decoded);
      return true;
    }
    view = store.KeepGroupView(group, std::make_unique<DecodedValues>(std::move(decoded)));
    if (view == nullptr) return false;
  }
  out = static_cast<const DecodedValues*>(view)->values;
  return true;
}

}  // namespace

QELStatus CheckStorable(const QELValueItem& value) {
  const std::vector<std::string>& elements = value.second.Elements();
  for (size_t i = 0; i < elements.size(); ++i) {
    if (elements[i].find(kListSeparator) == std::string::npos) continue;
    const QELFailure& failure = qel_failure::kUnstorableValue;
    return Failed(failure, Message("")[failure.message_id] << value.first << std::to_string(i + 1));
  }
  return QELStatus();
}

bool QELSubkeyMatcher::operator()(const std::string& group) const {
  if (!StartsWith(group, prefix_)) return false;
  if (recursive_) return true;
  // The first character after the prefix is not tested.
  const size_t rest = prefix_.size() + 1;
  return group.size() > prefix_.size() &&
         std::memchr(group.data() + rest, '/', group.size() - rest) == nullptr;
}

QELIniKey::QELIniKey(QELConnectionBase& source) : QELIniKey(AsIniConnection(source)) {}

// The flag as a copy of the connection would answer it: a copy is a plain QELIniConnection, so
// the base's answer, whatever the connection's own class overrides.
QELIniKey::QELIniKey(const QELIniConnection& source)
    : QELKey(std::string()),
      ini(source.GetIni()),
      inTransaction(source.QELConnectionBase::IsTransactionStarted()) {}

QELIniKey::QELIniKey(SameStore, const QELIniKey& key)
    : QELKey(std::string()), ini(key.ini), inTransaction(key.inTransaction) {}

QELIniKey::QELIniKey(const std::string& key_path, QELConnectionBase& source) : QELIniKey(source) {
  const QELStatus status = QELIniKey::ChangeKey(key_path);
  if (!status.Ok()) ThrowStatus(status, kSourceFile, __LINE__);
}

QELIniKey::QELIniKey(const QELIniKey& other)
    : QELKey(other), ini(other.ini), inTransaction(other.inTransaction), loadedAt(other.loadedAt) {}

QELIniKey::~QELIniKey() = default;

QELKey* QELIniKey::Clone() const { return new QELIniKey(*this); }

bool QELIniKey::SharedGroupValues(const Ini& store, const std::string& group,
                                  QELValueMapPointer& out) {
  return SharedValues(store, group, out);
}

Ini& QELIniKey::Store() const {
  Ini* store = ini.Get();
  if (store == nullptr) {
    throw QELLogicalError("the connection has no store: log in first", kSourceFile, __LINE__);
  }
  return *store;
}

QELStatus QELIniKey::ChangeKey(const std::string& new_path) {
  const Ini& current = Store();
  const uint64_t merges = current.MergeCount();
  QELValueMapPointer loaded;
  if (!SharedValues(current, new_path, loaded)) return Failed(qel_failure::kNoKey);
  return MoveTo(new_path, std::move(loaded), merges);
}

QELStatus QELIniKey::MoveTo(const std::string& new_path, QELValueMapPointer loaded,
                            uint64_t merges) {
  const QELStatus status = ChangePath(new_path);
  if (!status.Ok()) return status;
  values = std::move(loaded);
  loadedAt = merges;
  return QELStatus();
}

void QELIniKey::LoadValues() {
  const Ini& current = Store();
  // A key a subkey walk yielded decodes its values for itself, so that a walk reading every key
  // once leaves the store's cache as it was.
  const bool walked = loadedAt == kWalked;
  loadedAt = current.MergeCount();
  QELValueMapPointer loaded;
  if (!SharedValues(current, path, loaded, !walked)) {
    loaded = Own<QELValueMapPointer>(std::make_unique<QELValueMap>());
  }
  values = std::move(loaded);
}

void QELIniKey::FollowStore() {
  const Ini* store = ini.Get();
  if (store != nullptr && store->MergeCount() != loadedAt && !values.IsNull()) LoadValues();
}

QELStatus QELIniKey::GetValue(QELValueItem& value) {
  FollowStore();
  return QELKey::GetValue(value);
}

const QELRBValue* QELIniKey::FindValue(std::string_view value_name) {
  FollowStore();
  return QELKey::FindValue(value_name);
}

QELStatus QELIniKey::GetValues(QELValueMapPointer& out) {
  FollowStore();
  return QELKey::GetValues(out);
}

QELStatus QELIniKey::HasValue(const QELNoCaseString& value_name, bool& has) {
  FollowStore();
  return QELKey::HasValue(value_name, has);
}

void QELIniKey::Flush() {
  if (!inTransaction) Store().FlushIniDataToFile("");
}

QELStatus QELIniKey::SetValue(QELValueItem value) {
  // One value goes to the store and then into the cache without a copy beside those two.
  const QELStatus status = CheckStorable(value);
  if (!status.Ok()) return status;
  FollowStore();
  QELValueMap* cache = values.operator->();
  Store().SetKeyValue(path, value.first, EncodeValue(value.second));
  cache->Set(std::move(value));
  Flush();
  return QELStatus();
}

QELStatus QELIniKey::SetValues(const QELValueMap& new_values) {
  if (new_values.Size() > 0) {
    for (auto it = new_values.Begin(); it != new_values.End(); ++it) {
      const QELStatus status = CheckStorable(*it);
      if (!status.Ok()) return status;
    }
    FollowStore();
    // Taken before any write, so a key without a cache fails with the store untouched.
    QELValueMap* cache = values.operator->();
    Ini& store = Store();
    for (auto it = new_values.Begin(); it != new_values.End(); ++it) {
      store.SetKeyValue(path, it->first, EncodeValue(it->second));
    }
    for (auto it = new_values.Begin(); it != new_values.End(); ++it) cache->Set(*it);
  }
  Flush();
  return QELStatus();
}

QELStatus QELIniKey::AddValue(const QELValueItem& value) {
  const QELStatus storable = CheckStorable(value);
  if (!storable.Ok()) return storable;
  FollowStore();
  QELValueMap* cache = values.operator->();
  const QELStatus whole = RefuseTruncated(Store(), path, value.first);
  if (!whole.Ok()) return whole;
  const std::list<QELRBValue> added = value.second;
  std::list<QELRBValue> merged;
  const QELValueMap::iterator cached = cache->Find(value.first);
  if (cached != cache->End()) {
    merged = static_cast<std::list<QELRBValue>>(cached->second);
    for (const QELRBValue& element : added) {
      if (HasElement(merged, element)) return Failed(qel_failure::kAlreadyExists);
    }
  }
  MergeElements(merged, added);
  cache->Set(QELValueItem(value.first, QELRBValue(merged)));
  // The store records the elements added, not the list they made: a writer that added others
  // meanwhile keeps them. Elements it already holds are left out, so that the record never
  // brings back an element another writer removed.
  Ini& store = Store();
  const std::list<QELRBValue> stored = StoredElements(store, path, value.first);
  std::list<QELRBValue> fresh;
  for (const QELRBValue& element : added) {
    if (!HasElement(stored, element)) fresh.push_back(element);
  }
  if (!fresh.empty() || added.empty()) {
    store.EditEntry(path, value.first,
                    std::make_shared<ListAddition>(path, value.first, std::move(fresh)));
  }
  Flush();
  return QELStatus();
}

QELStatus QELIniKey::DeleteValue(const QELValueItem& value) {
  QELValueMap single;
  single.Set(value);
  return DeleteValues(single);
}

QELStatus QELIniKey::DeleteValues(const QELValueMap& removals) {
  FollowStore();
  QELValueMap* cache = values.operator->();
  Ini& store = Store();
  // Refused before anything changes, for every value whose elements it would remove.
  for (auto it = removals.Begin(); it != removals.End(); ++it) {
    if (static_cast<std::list<QELRBValue>>(it->second).empty()) continue;
    const QELStatus whole = RefuseTruncated(store, path, it->first);
    if (!whole.Ok()) return whole;
  }
  for (auto it = removals.Begin(); it != removals.End(); ++it) {
    const QELValueMap::iterator cached = cache->Find(it->first);
    if (cached == cache->End()) continue;
    const std::list<QELRBValue> doomed = it->second;
    if (doomed.empty()) {
      store.EraseKey(path, it->first);
      cache->Remove(it->first);
      continue;
    }
    std::list<QELRBValue> kept = cached->second;
    kept.remove_if([&doomed](const QELRBValue& element) { return HasElement(doomed, element); });
    cache->Set(QELValueItem(it->first, QELRBValue(kept)));
    // Only elements the store holds are recorded as removed: a removal never takes away an
    // element that another writer adds later.
    const std::list<QELRBValue> stored = StoredElements(store, path, it->first);
    std::list<QELRBValue> present;
    for (const QELRBValue& element : doomed) {
      if (HasElement(stored, element) && !HasElement(present, element)) present.push_back(element);
    }
    if (!present.empty()) {
      store.EditEntry(path, it->first,
                      std::make_shared<ListRemoval>(path, it->first, std::move(present)));
    }
  }
  Flush();
  return QELStatus();
}

QELStatus QELIniKey::GetTruncatedValues(std::list<std::string>& names) {
  names.clear();
  Store().ForEachGroupEntry(path, [&names](const std::string& name, const std::string& value) {
    if (IsTruncatedText(value)) names.push_back(name);
  });
  return QELStatus();
}

QELStatus QELIniKey::CommitSuicide() {
  const std::string doomed = path;
  EraseSubtree(Store(), doomed);
  Flush();
  return QELKey::CommitSuicide();
}

QELStatus QELIniKey::SearchValues(const std::string& filter, qel_iterator<QELValueItem>& cursor,
                                  uint32_t&) {
  FollowStore();
  try {
    std::unique_ptr<QELValueReader> reader(new QELValueReader(*this, filter));
    cursor.Reset(reader.release());
  } catch (const QELError& error) {
    return QELStatus(static_cast<int32_t>(error.Code()), error.What());
  }
  return QELStatus();
}

QELStatus QELIniKey::CreateSubkey(const std::string& subkey) {
  if (subkey.empty()) return Failed(qel_failure::kInvalidPath);
  const std::string full = path + "/" + subkey;
  Ini& store = Store();
  if (store.isGroupExist(full)) return Failed(qel_failure::kAlreadyExists);
  store.InsertNewGroup(full);
  Flush();
  return QELStatus();
}

QELStatus QELIniKey::DeleteSubkey(const std::string& subkey, bool) {
  // A name written in parentheses stands for the text between them.
  std::string bare = subkey;
  if (!subkey.empty() && subkey[0] == '(') {
    bare = subkey.size() >= 2 ? subkey.substr(1, subkey.size() - 2) : std::string();
  }
  const std::string target = path + "/" + bare;
  Ini& store = Store();
  if (!store.isGroupExist(target)) return Failed(qel_failure::kNoKey);
  EraseSubtree(store, target);
  Flush();
  return QELStatus();
}

QELStatus QELIniKey::GetSubkey(const std::string& subkey, QELKey& target) {
  const std::string full = path + "/" + subkey;
  if (!Store().isGroupExist(full)) return Failed(qel_failure::kNoKey);
  target.ChangeKey(full);
  return QELStatus();
}

QELStatus QELIniKey::HasSubkey(const std::string& subkey, bool& has) {
  has = Store().isGroupExist(path + "/" + subkey);
  return QELStatus();
}

QELStatus QELIniKey::SearchSubKey(const std::string& filter, qel_iterator<QELKeyPointer>& cursor,
                                  bool recursive, const std::list<std::string>& exclusions,
                                  uint32_t& count) {
  std::unique_ptr<QELIniKeyReader> reader(
      new QELIniKeyReader(*this, filter, recursive, exclusions, &count));
  cursor.Reset(reader.release());
  return QELStatus();
}

QELStatus QELIniKey::IsEmpty(bool& empty) {
  // Every subkey's group lies in the byte-ordered range of names that begin with the prefix.
  const QELSubkeyMatcher matcher(path + "/", false);
  const Ini& store = Store();
  const IniGroupIterator end = store.end();
  empty = true;
  for (IniGroupIterator it = store.lower_bound(matcher.GetPrefix()); it != end; ++it) {
    const Group group = *it;
    if (!StartsWith(group.GetName(), matcher.GetPrefix())) break;
    if (matcher(group.GetName())) {
      empty = false;
      break;
    }
  }
  return QELStatus();
}

QELIniKeyReader::QELIniKeyReader(const QELIniKey& searched, const std::string& selector,
                                 bool all_descendants, const std::list<std::string>&,
                                 unsigned int* found_out)
    : key(searched),
      current(Own<QELKeyPointer>(std::make_unique<QELIniKey>(QELIniKey::SameStore(), searched))),
      filter(selector),
      matcher(searched.GetKeyPath() + "/", all_descendants) {
  position = key.Store().lower_bound(matcher.GetPrefix());
  Next();
  if (found_out != nullptr) *found_out = found;
}

QELIniKeyReader::~QELIniKeyReader() = default;

bool QELIniKeyReader::Next() {
  while (true) {
    switch (NextStep()) {
      case Step::kYielded:
        return true;
      case Step::kAtEnd:
        return false;
      case Step::kSkipped:
        break;
    }
  }
}

QELIniKeyReader::Step QELIniKeyReader::NextStep() {
  const Ini& store = key.Store();
  const IniGroupIterator end = store.end();
  // Candidates lie in the range of names that begin with the prefix; past it the walk is over.
  for (; position != end; ++position) {
    const std::string& name = position.Name();
    if (!StartsWith(name, matcher.GetPrefix())) {
      position = end;
      break;
    }
    // A group erased since the iterator stood on it is passed over, not yielded.
    if (!matcher(name) || !position.Exists()) continue;
    if (!SubkeySelected(filter, name, store)) {
      ++position;
      return Step::kSkipped;
    }
    // Each subkey gets a key of its own, so that the one handed out last keeps its subkey: as the
    // access for change of a shared `current` would, without copying the last key first.
    QELKeyPointer next =
        Own<QELKeyPointer>(std::make_unique<QELIniKey>(QELIniKey::SameStore(), key));
    const QELKeyPointer& unshared = next;
    QELIniKey* target = static_cast<QELIniKey*>(unshared.operator->());
    const IniGroupView* view = position.View();
    if (view != nullptr) {
      // The values of the group the walk stands on, found without looking it up by name.
      target->MoveTo(name, static_cast<const DecodedValues*>(view)->values, store.MergeCount());
    } else {
      // Values none kept yet are decoded when the key is first read (see LoadValues).
      target->MoveTo(name, Own<QELValueMapPointer>(std::make_unique<QELValueMap>()),
                     QELIniKey::kWalked);
    }
    current = std::move(next);
    ++position;
    ++found;
    return Step::kYielded;
  }
  atEnd = true;
  return Step::kAtEnd;
}

bool QELIniKeyReader::IsEqual(const QELConstItemReader<QELKeyPointer>& other) const {
  if (&other == this) return true;
  const QELIniKeyReader* reader = dynamic_cast<const QELIniKeyReader*>(&other);
  if (reader == nullptr || key.GetKeyPath() != reader->key.GetKeyPath()) return false;
  return current.IsNull() == reader->current.IsNull();
}
