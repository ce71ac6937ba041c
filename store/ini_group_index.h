// The groups of an INI image by name: an open-addressing hash for lookups by name, and the byte
// order of the names for walks over a range of them, sorted when first needed.
// Thread safety: const members may run from several threads at once (the order is built once,
// under a lock); the others must run alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class IniGroupIndex {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  IniGroupIndex();
  IniGroupIndex(const IniGroupIndex&) = delete;
  IniGroupIndex& operator=(const IniGroupIndex&) = delete;

  // Names given by place are bytes of `buffer`, which must stay where it is while the index
  // lives.
  void Attach(std::string_view buffer) { buffer_ = buffer.data(); }
  // Makes room for the names of `groups` groups; ShrinkToFit gives back what was not used.
  void Reserve(size_t groups) { names_.reserve(groups); }
  void ShrinkToFit();
  // The group named `name`, or kNone.
  uint32_t Find(std::string_view name) const;
  // Loading: gives the next group number to the name at `name` (bytes of the attached buffer)
  // or to a copy of `name`, without indexing it yet; Build then indexes every group so named
  // and calls `repeat(first, later)` for each later group whose name an earlier one holds,
  // leaving the later one out. Hashing once, into a table of the final size, is what keeps
  // loading near the cost of reading the file.
  uint32_t AppendInBuffer(std::string_view name);
  uint32_t AppendCopy(std::string name);
  template <typename Repeat>
  void Build(Repeat&& repeat);
  // Indexes the next group number under a copy of `name` and returns that number.
  // REQUIRES: Find(name) == kNone.
  uint32_t InsertCopy(std::string name);
  // Removes the group of that name from the index; returns its number, or kNone.
  uint32_t Erase(std::string_view name);

  // REQUIRES: `group` was returned by an insert.
  std::string_view Name(uint32_t group) const {
    const NameRef& name = names_[group];
    if ((name.length & kCopied) != 0) return copies_[name.offset];
    return std::string_view(buffer_ + name.offset, name.length);
  }
  // The number of groups indexed and not erased.
  size_t Count() const { return live_; }
  // One more than the highest group number given so far, erased groups included.
  size_t Capacity() const { return names_.size(); }

  // Positions in the byte order of the names, 0 .. Count().
  size_t LowerBound(std::string_view name) const;
  size_t UpperBound(std::string_view name) const;
  // REQUIRES: position < Count().
  std::string_view NameAt(size_t position) const { return Name(Order()[position]); }
  // The group at that position. REQUIRES: position < Count().
  uint32_t GroupAt(size_t position) const { return Order()[position]; }
  // The hash names are indexed under, seeded per process: for other tables of names.
  static uint64_t SeededHash(std::string_view name);

 private:
  static constexpr uint32_t kErased = UINT32_MAX - 1;
  static constexpr uint32_t kCopied = 0x80000000u;

  // A name: `length` bytes of the buffer at `offset`, or (with kCopied set in `length`) the copy
  // copies_[offset]. Eight bytes a group keep the index small beside the file.
  struct NameRef {
    uint32_t offset;
    uint32_t length;
  };

  // A group number, kNone (empty) or kErased, and the upper half of the hash of the group's name:
  // a probe compares names only when the halves match, and so rarely reads a name in vain.
  struct SlotEntry {
    uint32_t group;
    uint32_t tag;
  };

  // Indexes group `group`, whose name is names_[group].
  void Index(uint32_t group);
  uint64_t Hash(std::string_view name) const;
  static uint32_t Tag(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }
  // The slot of `name` in slots_, or the empty slot that ends its probe sequence.
  size_t Slot(std::string_view name) const { return Probe(name, Hash(name)); }
  size_t Probe(std::string_view name, uint64_t hash) const;
  // Rebuilds slots_ with room for `groups` live groups.
  void Rehash(size_t groups);
  // Fills order_ with the live groups sorted by name.
  void Sort() const;
  const std::vector<uint32_t>& Order() const;

  const char* buffer_ = nullptr;
  std::vector<NameRef> names_;       // by group number, erased groups included
  std::vector<std::string> copies_;  // names that are not bytes of the buffer
  std::vector<SlotEntry> slots_;
  size_t used_ = 0;  // slots not empty, erased ones included
  size_t live_ = 0;
  uint64_t seed_;
  mutable std::mutex mutex_;  // guards the first build of order_
  mutable std::atomic<bool> ordered_{false};
  mutable std::vector<uint32_t> order_;  // live groups sorted by name, once ordered_
};

template <typename Repeat>
void IniGroupIndex::Build(Repeat&& repeat) {
  Rehash(names_.size());
  for (uint32_t group = 0; group < names_.size(); ++group) {
    const uint64_t hash = Hash(Name(group));
    const size_t slot = Probe(Name(group), hash);
    if (slots_[slot].group == kNone) {
      slots_[slot] = SlotEntry{group, Tag(hash)};
      ++used_;
      ++live_;
    } else {
      repeat(slots_[slot].group, group);
    }
  }
}
