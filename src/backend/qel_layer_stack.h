// A stack of stores opened by one login: read-only lower layers under one writable top layer,
// and the rules that merge them into one key tree (what a layer shows, hides and adds).
// Thread safety: as the stores: reads from several threads at once, a change alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ini.h"
#include "qel_ini_connection.h"
#include "qel_key.h"

// How a login names a stack: the host "layers:" followed by the layers' addresses, bottom first,
// joined by "|"; the last one is the writable top layer:
//   layers:/usr/share/app/defaults.ini|https://conf.example/site.ini|/etc/app/host.ini
// An address beginning "http://" or "https://" is a WebDAV file, "etcd://" or "etcds://" an etcd
// prefix, anything else a local INI file; remote layers log in with the login's user and
// password. A host without the prefix names one store, as ever.
//
// What a layer deletes that a lower layer holds is recorded in it as a mask, in two reserved
// trees of groups that the stack never shows as keys:
//   [/.deleted-keys/App/Old]     the key /App/Old with everything below it, in the lower layers
//   [/.deleted-values/App/Net]   values of /App/Net in the lower layers, one entry each:
//   proxy=
// A mask hides only what lies below its layer; the layer's own groups stay visible, so a key
// deleted and created again is empty.
class QELIniKey;

class QELLayerStack {
 public:
  static constexpr const char* kPrefix = "layers:";
  static constexpr const char* kDeletedKeys = "/.deleted-keys";
  static constexpr const char* kDeletedValues = "/.deleted-values";

  struct Layer {
    std::string address;  // as the host named it (credentials masked when shown)
    QELIniHolder store;
  };

  // Whether `host` names a stack.
  static bool IsStackHost(const std::string& host);
  // Opens every layer of the stack `host` names. Throws QELError naming the layer (its place
  // and address) and the cause, with the cause's code, when one cannot be opened; a host with
  // no layer or an empty address is refused the same way.
  QELLayerStack(const std::string& host, const std::string& user, const std::string& password);

  ~QELLayerStack();
  QELLayerStack(const QELLayerStack&) = delete;
  QELLayerStack& operator=(const QELLayerStack&) = delete;

  // Makes the root key of the top layer that the stack's keys edit lists through: of
  // `connection` (logged in to the top layer), in a transaction of its own so that it never
  // writes back by itself.
  void MakeTopKey(const QELIniConnection& connection);
  const QELIniKey& TopKey() const { return *top_key_; }

  size_t Count() const { return layers_.size(); }
  const Layer& At(size_t index) const { return layers_[index]; }
  Ini& Top() const { return *layers_.back().store.Get(); }
  // The sum of the layers' MergeCounts: it changes whenever any layer was read again.
  uint64_t MergeSum() const;
  // The sum of the layers' ChangeCounts: it changes whenever any layer was read again or edited.
  uint64_t ChangeSum() const;

  // Whether `group` is one of the reserved mask groups (or their roots).
  static bool IsMaskGroup(const std::string& group);
  // Whether a layer above `layer` deletes the key `path` (or one of its ancestors).
  bool KeyHidden(size_t layer, const std::string& path) const;
  // Whether the stack shows the key `path` ("" the root always).
  bool KeyVisible(const std::string& path) const;
  // The layer that gives the value `name` of the key `path`, or Count() when none does.
  size_t ValueLayer(const std::string& path, const std::string& name) const;
  // The values the stack shows for the key `path`: each from the top-most layer that holds it
  // and no layer above deletes. False when no layer shows the key.
  bool MergedValues(const std::string& path, QELValueMap& out) const;
  // The same for opening a key, shared: what the stack showed for the key since no layer changed
  // (one lookup), else the values of the one layer that holds the key as a single store shares
  // them, or a merge, which are then kept until any layer changes.
  bool KeyValues(const std::string& path, QELValueMapPointer& out) const;
  // Tells the stack that its top layer now holds a mask.
  void MaskAdded() const { any_masks_.store(true); }
  // The visible keys below `path` (direct subkeys only unless `recursive`), sorted byte-wise.
  std::vector<std::string> Subkeys(const std::string& path, bool recursive) const;
  // Whether a layer below the top shows a group at `path` or below it.
  bool LowerHoldsSubtree(const std::string& path) const;

  // Reads every layer again that changed (Ini::Refresh) and adds to `changed` the key paths of
  // the groups that differ, masks turned into the keys they hide. Returns whether any did. With
  // `due_only` (a wait's looks), a layer that polls is asked only once its interval has passed.
  bool Refresh(std::vector<std::string>& changed, bool due_only = false) const;
  // Writes the top layer back; a failure is thrown naming the layer. A write that merged other
  // writers' changes is followed by another when KeepParents found parents to bring back.
  void FlushTop() const;
  // Drops the top layer's unwritten changes and reads it again, then refreshes the others; fills
  // `changed` as Refresh does. On failure the top layer keeps its changes.
  void DiscardTopChanges(std::vector<std::string>& changed) const;
  // Starts each layer's watch so that a change from now on is seen.
  void Watch() const;
  // Waits up to `timeout_ms` for a sign of change: the top layer's, while the lower ones are
  // looked at by the caller's Refresh between waits of at most 100 ms.
  void WaitForChange(int timeout_ms) const;

 private:
  // `error` as met by layer `i`, its text naming the layer.
  QELError LayerError(size_t i, const QELError& error) const;
  // Brings back in the top layer, empty, the parents of its keys that its own key masks hide
  // and it does not hold (a merge of writes below a key another writer deleted leaves them so),
  // as a single store's merge does; returns whether there were any.
  bool KeepParents() const;
  // Whether any layer holds a mask, as found when the layers were last read (or since told).
  bool AnyMasks() const;

  // KeyValues without the kept values: a share of one layer's, or a merge made now.
  bool LookUpValues(const std::string& path, QELValueMapPointer& out) const;

  std::vector<Layer> layers_;
  std::unique_ptr<const QELIniKey> top_key_;
  mutable std::atomic<uint64_t> masks_seen_at_{UINT64_MAX};  // MergeSum when last looked
  mutable std::atomic<bool> any_masks_{true};
  // The values of each key opened since the layers last changed, by path: open addressing, so
  // that a lookup reads one slot and one entry where the layers would need a lookup each.
  class ShownIndex {
   public:
    struct Entry {
      uint64_t hash;
      std::string path;
      QELValueMapPointer values;
    };
    // The values kept for `path` (whose SeededHash is `hash`), or null.
    const QELValueMapPointer* Find(const std::string& path, uint64_t hash) const;
    void Insert(const std::string& path, uint64_t hash, const QELValueMapPointer& values);
    // Forgets every entry, the slots shrinking to what that many entries need; returns the
    // entries, for the caller to release once it has let go of its lock.
    std::vector<Entry> Clear();

   private:
    static constexpr uint32_t kEmpty = UINT32_MAX;
    size_t Probe(const std::string& path, uint64_t hash) const;
    void Rehash(size_t slots);

    std::vector<uint32_t> slots_ = std::vector<uint32_t>(16, kEmpty);  // entry numbers
    std::vector<Entry> entries_;
  };

  mutable std::mutex shown_lock_;  // guards shown_ and shown_at_
  mutable ShownIndex shown_;
  mutable uint64_t shown_at_ = UINT64_MAX;  // the ChangeSum the kept values were taken at
};
