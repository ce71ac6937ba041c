// The stack of stores: opening its layers from one host text, and the visibility rules that
// merge their groups and entries into one key tree.
#include "qel_layer_stack.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_log.h>
#include "backup_ini.h"
#include "etcd_ini.h"
#include "ini_group_index.h"
#include "list_value.h"
#include "qel_ini_key.h"
#include "remote_ini.h"

namespace {

const char kSourceFile[] = "src\\qel_layer_stack";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Whether `group` is `root` or lies below it.
bool InSubtree(const std::string& group, const std::string& root) {
  return group.size() >= root.size() && group.compare(0, root.size(), root) == 0 &&
         (group.size() == root.size() || group[root.size()] == '/');
}

Ini* OpenLayer(const std::string& address, const std::string& user, const std::string& password) {
  if (EtcdIni::IsEtcdAddress(address)) return new EtcdIni(address, user, password);
  if (StartsWith(address, "http://") || StartsWith(address, "https://")) {
    return new RemoteIni(address, "", user, password);
  }
  return new BackupIni(address);
}

bool IsRemote(const std::string& address) {
  return EtcdIni::IsEtcdAddress(address) || StartsWith(address, "http://") ||
         StartsWith(address, "https://");
}

// Whether two addresses name one store: the same text, or one local file by two paths.
bool SameStore(const std::string& a, const std::string& b) {
  if (a == b) return true;
  if (IsRemote(a) || IsRemote(b)) return false;
  std::error_code ignored;
  return std::filesystem::equivalent(a, b, ignored);
}

// The key a group stands for: a mask group names the key it hides; any other group is itself.
std::string KeyOfGroup(const std::string& group) {
  for (const char* root : {QELLayerStack::kDeletedKeys, QELLayerStack::kDeletedValues}) {
    if (InSubtree(group, root)) return group.substr(std::strlen(root));
  }
  return group;
}

}  // namespace

bool QELLayerStack::IsStackHost(const std::string& host) { return StartsWith(host, kPrefix); }

QELLayerStack::QELLayerStack(const std::string& host, const std::string& user,
                             const std::string& password) {
  std::vector<std::string> addresses;
  const std::string list = host.substr(std::strlen(kPrefix));
  size_t start = 0;
  for (;;) {
    const size_t bar = list.find('|', start);
    addresses.push_back(list.substr(start, bar == std::string::npos ? bar : bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  layers_.reserve(addresses.size());
  for (size_t i = 0; i < addresses.size(); ++i) {
    const std::string place = "layer " + std::to_string(i + 1) + " of " +
                              std::to_string(addresses.size()) + " (" +
                              zor::qel::MaskCredentials(addresses[i]) + ")";
    if (addresses[i].empty()) {
      throw QELError(place + ": no store address", kIniFileNotFound, kIniFacility, kSourceFile,
                     __LINE__);
    }
    // The top layer is written: it must be no lower layer as well.
    for (size_t j = 0; j < i; ++j) {
      if (SameStore(addresses[i], addresses[j])) {
        throw QELError(place + ": the same store as layer " + std::to_string(j + 1), kIniReadFailed,
                       kIniFacility, kSourceFile, __LINE__);
      }
    }
    try {
      layers_.push_back(Layer{addresses[i], QELIniHolder(OpenLayer(addresses[i], user, password))});
    } catch (const QELError& error) {
      throw QELError(place + ": " + error.What(), error.Code(), error.Facility(), error.File(),
                     error.Line());
    }
  }
}

QELLayerStack::~QELLayerStack() = default;

void QELLayerStack::MakeTopKey(const QELIniConnection& connection) {
  QELIniConnection quiet(connection);
  quiet.BeginTransaction();
  top_key_ = std::make_unique<const QELIniKey>(quiet);
}

uint64_t QELLayerStack::MergeSum() const {
  uint64_t sum = 0;
  for (const Layer& layer : layers_) sum += layer.store.Get()->MergeCount();
  return sum;
}

uint64_t QELLayerStack::ChangeSum() const {
  uint64_t sum = 0;
  for (const Layer& layer : layers_) sum += layer.store.Get()->ChangeCount();
  return sum;
}

bool QELLayerStack::IsMaskGroup(const std::string& group) {
  return InSubtree(group, kDeletedKeys) || InSubtree(group, kDeletedValues);
}

bool QELLayerStack::KeyHidden(size_t layer, const std::string& path) const {
  for (size_t above = layer + 1; above < layers_.size(); ++above) {
    const Ini& store = *layers_[above].store.Get();
    // The path and each ancestor but the root, longest first.
    for (size_t end = path.size(); end != 0 && end != std::string::npos;
         end = path.rfind('/', end - 1)) {
      if (store.isGroupExist(kDeletedKeys + path.substr(0, end))) return true;
    }
  }
  return false;
}

bool QELLayerStack::KeyVisible(const std::string& path) const {
  if (path.empty()) return true;
  if (IsMaskGroup(path)) return false;
  for (size_t layer = layers_.size(); layer-- > 0;) {
    if (layers_[layer].store.Get()->isGroupExist(path)) return !KeyHidden(layer, path);
  }
  return false;
}

namespace {

// Whether `store` deletes the key `path` or an ancestor of it for the layers below.
bool DeletesKey(const Ini& store, const std::string& path) {
  for (size_t end = path.size(); end != 0 && end != std::string::npos;
       end = path.rfind('/', end - 1)) {
    if (store.isGroupExist(QELLayerStack::kDeletedKeys + path.substr(0, end))) return true;
  }
  return false;
}

// Whether `store` holds any mask: a group whose name begins as the reserved trees' do.
bool HoldsMasks(const Ini& store) {
  static const std::string kMasks = "/.deleted-";
  const IniGroupIterator first = store.lower_bound(kMasks);
  return first != store.end() && first.Name().compare(0, kMasks.size(), kMasks) == 0;
}

// Whether `store` deletes the value `name` of the key `path` for the layers below.
bool DeletesValue(const Ini& store, const std::string& path, const std::string& name) {
  const IniEntryMap* masks = store.GetGroupProperty(QELLayerStack::kDeletedValues + path);
  return masks != nullptr && masks->count(name) != 0;
}

}  // namespace

size_t QELLayerStack::ValueLayer(const std::string& path, const std::string& name) const {
  // From the top down, each layer first shows its own entry, then hides what lies below it.
  for (size_t layer = layers_.size(); layer-- > 0;) {
    const Ini& store = *layers_[layer].store.Get();
    const IniEntryMap* entries = store.GetGroupProperty(path);
    if (entries != nullptr && entries->count(name) != 0) return layer;
    if (DeletesValue(store, path, name) || DeletesKey(store, path)) break;
  }
  return layers_.size();
}

bool QELLayerStack::MergedValues(const std::string& path, QELValueMap& out) const {
  bool shown = false;
  for (const Layer& layer : layers_) {
    const Ini& store = *layer.store.Get();
    if (DeletesKey(store, path)) {
      out = QELValueMap();
      shown = false;
    }
    if (const IniEntryMap* masks = store.GetGroupProperty(kDeletedValues + path)) {
      for (const auto& mask : *masks) out.Remove(mask.first);
    }
    const bool held =
        store.ForEachGroupEntry(path, [&out](const std::string& name, const std::string& value) {
          out.Set(QELValueMap::Entry(QELNoCaseString(name), DecodeValue(value)));
        });
    shown = shown || held;
  }
  return shown;
}

std::vector<std::string> QELLayerStack::Subkeys(const std::string& path, bool recursive) const {
  const std::string prefix = path + "/";
  std::set<std::string> found;
  for (size_t layer = 0; layer < layers_.size(); ++layer) {
    const Ini& store = *layers_[layer].store.Get();
    for (IniGroupIterator it = store.lower_bound(prefix); it != store.end(); ++it) {
      const std::string& name = it.Name();
      if (name.compare(0, prefix.size(), prefix) != 0) break;
      // As a single store's walk: the byte after the prefix is not looked at for a "/".
      if (!recursive && name.find('/', prefix.size() + 1) != std::string::npos) continue;
      if (IsMaskGroup(name) || found.count(name) != 0 || KeyHidden(layer, name)) continue;
      found.insert(name);
    }
  }
  return std::vector<std::string>(found.begin(), found.end());
}

bool QELLayerStack::LowerHoldsSubtree(const std::string& path) const {
  for (size_t layer = 0; layer + 1 < layers_.size(); ++layer) {
    const Ini& store = *layers_[layer].store.Get();
    for (IniGroupIterator it = store.lower_bound(path); it != store.end(); ++it) {
      if (it.Name().compare(0, path.size(), path) != 0) break;
      if (InSubtree(it.Name(), path) && !KeyHidden(layer, it.Name())) return true;
    }
  }
  return false;
}

namespace {

// Adds the keys a change of one layer's image touched: each changed group's key (a mask turned
// into the key it hides), and the parent of a key that appeared or went.
void AddChangedKeys(const IniChanges& found, std::set<std::string>& keys) {
  for (const std::string& group : found.entries) keys.insert(KeyOfGroup(group));
  for (const std::string& group : found.groups) {
    const std::string key = KeyOfGroup(group);
    keys.insert(key);
    const size_t slash = key.rfind('/');
    keys.insert(slash == std::string::npos ? std::string() : key.substr(0, slash));
  }
}

}  // namespace

QELError QELLayerStack::LayerError(size_t i, const QELError& error) const {
  return QELError("layer " + std::to_string(i + 1) + " of " + std::to_string(layers_.size()) +
                      " (" + zor::qel::MaskCredentials(layers_[i].address) + "): " + error.What(),
                  error.Code(), error.Facility(), error.File(), error.Line());
}

bool QELLayerStack::Refresh(std::vector<std::string>& changed, bool due_only) const {
  std::set<std::string> keys;
  for (size_t i = 0; i < layers_.size(); ++i) {
    Ini& store = *layers_[i].store.Get();
    if (due_only && !store.RefreshDue()) continue;
    IniChanges found;
    try {
      if (!store.Refresh(&found)) continue;
    } catch (const QELError& error) {
      throw LayerError(i, error);
    }
    // This login's unwritten changes, replayed on the top, keep their parents as a write does.
    if (i + 1 == layers_.size()) KeepParents();
    AddChangedKeys(found, keys);
  }
  changed.assign(keys.begin(), keys.end());
  return !changed.empty();
}

bool QELLayerStack::KeepParents() const {
  Ini& top = Top();
  // Without a key mask in the top, every parent the top lacks shows as before.
  const IniGroupIterator first = top.lower_bound(kDeletedKeys);
  if (first == top.end() || !InSubtree(first.Name(), kDeletedKeys)) return false;
  std::set<std::string> missing;
  for (IniGroupIterator it = top.begin(); it != top.end(); ++it) {
    const std::string& name = it.Name();
    if (IsMaskGroup(name)) continue;
    ForEachParent(name, [&](const std::string& parent) {
      if (!top.isGroupExist(parent) && DeletesKey(top, parent)) missing.insert(parent);
    });
  }
  for (const std::string& parent : missing) top.InsertNewGroup(parent);
  return !missing.empty();
}

void QELLayerStack::FlushTop() const {
  try {
    Ini& top = Top();
    for (uint64_t merges = top.MergeCount();;) {
      top.FlushIniDataToFile("");
      if (top.MergeCount() == merges || !KeepParents()) break;
      merges = top.MergeCount();
    }
  } catch (const QELError& error) {
    throw LayerError(layers_.size() - 1, error);
  }
}

void QELLayerStack::DiscardTopChanges(std::vector<std::string>& changed) const {
  std::set<std::string> keys;
  IniChanges found;
  try {
    if (Top().DiscardChanges(&found)) AddChangedKeys(found, keys);
  } catch (const QELError& error) {
    throw LayerError(layers_.size() - 1, error);
  }
  std::vector<std::string> lower;
  Refresh(lower);
  keys.insert(lower.begin(), lower.end());
  changed.assign(keys.begin(), keys.end());
}

void QELLayerStack::Watch() const {
  for (const Layer& layer : layers_) layer.store.Get()->ChangeDescriptor();
}

void QELLayerStack::WaitForChange(int timeout_ms) const {
  Top().WaitForChange(layers_.size() == 1 ? timeout_ms : std::min(timeout_ms, 100));
}

bool QELLayerStack::AnyMasks() const {
  const uint64_t now = MergeSum();
  if (masks_seen_at_.load() != now) {
    bool found = false;
    for (const Layer& layer : layers_) found = found || HoldsMasks(*layer.store.Get());
    any_masks_.store(found);
    masks_seen_at_.store(now);
  }
  return any_masks_.load();
}

bool QELLayerStack::KeyValues(const std::string& path, QELValueMapPointer& out) const {
  if (IsMaskGroup(path)) return false;
  const uint64_t now = ChangeSum();
  const uint64_t hash = IniGroupIndex::SeededHash(path);
  // The values kept from before the layers changed, released after the lock is let go.
  std::vector<ShownIndex::Entry> dropped;
  {
    std::lock_guard<std::mutex> guard(shown_lock_);
    if (shown_at_ != now) {
      dropped = shown_.Clear();
      shown_at_ = now;
    }
    if (const QELValueMapPointer* kept = shown_.Find(path, hash)) {
      out = *kept;
      return true;
    }
  }
  if (!LookUpValues(path, out)) return false;
  std::lock_guard<std::mutex> guard(shown_lock_);
  if (shown_at_ == now && shown_.Find(path, hash) == nullptr) shown_.Insert(path, hash, out);
  return true;
}

size_t QELLayerStack::ShownIndex::Probe(const std::string& path, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const uint32_t entry = slots_[slot];
    if (entry == kEmpty) return slot;
    if (entries_[entry].hash == hash && entries_[entry].path == path) return slot;
  }
}

const QELValueMapPointer* QELLayerStack::ShownIndex::Find(const std::string& path,
                                                          uint64_t hash) const {
  const uint32_t entry = slots_[Probe(path, hash)];
  return entry == kEmpty ? nullptr : &entries_[entry].values;
}

void QELLayerStack::ShownIndex::Insert(const std::string& path, uint64_t hash,
                                       const QELValueMapPointer& values) {
  // At most three quarters of the slots in use, so that probes stay short.
  if ((entries_.size() + 1) * 4 > slots_.size() * 3) Rehash(slots_.size() * 2);
  slots_[Probe(path, hash)] = static_cast<uint32_t>(entries_.size());
  entries_.push_back(Entry{hash, path, values});
}

void QELLayerStack::ShownIndex::Rehash(size_t slots) {
  slots_.assign(slots, kEmpty);
  const size_t mask = slots - 1;
  for (uint32_t entry = 0; entry < entries_.size(); ++entry) {
    size_t slot = entries_[entry].hash & mask;
    while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
    slots_[slot] = entry;
  }
}

std::vector<QELLayerStack::ShownIndex::Entry> QELLayerStack::ShownIndex::Clear() {
  // Sized for as many entries as were kept, so that a clear after few reads stays cheap.
  size_t slots = 16;
  while (slots * 3 < entries_.size() * 4) slots *= 2;
  slots_.assign(slots, kEmpty);
  std::vector<Entry> dropped;
  dropped.reserve(entries_.capacity());
  dropped.swap(entries_);
  return dropped;
}

bool QELLayerStack::LookUpValues(const std::string& path, QELValueMapPointer& out) const {
  if (!AnyMasks()) {
    std::vector<QELValueMapPointer> parts(layers_.size());
    size_t holders = 0;
    size_t top_holder = 0;
    for (size_t i = 0; i < layers_.size(); ++i) {
      if (!QELIniKey::SharedGroupValues(*layers_[i].store.Get(), path, parts[i])) continue;
      ++holders;
      top_holder = i;
    }
    if (holders == 0) return false;
    if (holders == 1) {
      out = std::move(parts[top_holder]);
      return true;
    }
    std::unique_ptr<QELValueMap> merged(new QELValueMap());
    for (const QELValueMapPointer& part : parts) {
      if (part.IsNull()) continue;
      const QELValueMap* map = part.operator->();
      for (auto it = map->Begin(); it != map->End(); ++it) merged->Set(*it);
    }
    merged->ShrinkToFit();
    out = QELValueMapPointer(merged.release());
    return true;
  }
  if (!KeyVisible(path)) return false;
  std::unique_ptr<QELValueMap> merged(new QELValueMap());
  MergedValues(path, *merged);
  merged->ShrinkToFit();
  out = QELValueMapPointer(merged.release());
  return true;
}
