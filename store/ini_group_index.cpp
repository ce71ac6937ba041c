// The group index of an INI image: hashing names, probing slots, and a radix sort of the names
// into byte order.
#include "ini_group_index.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace {

uint64_t ProcessSeed() {
  static const uint64_t seed = [] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
  }();
  return seed;
}

}  // namespace

IniGroupIndex::IniGroupIndex() : slots_(16, SlotEntry{kNone, 0}), seed_(ProcessSeed()) {}

void IniGroupIndex::ShrinkToFit() {
  if (names_.capacity() > names_.size() + names_.size() / 4 + 16) names_.shrink_to_fit();
}

namespace {

// Eight bytes at a time, multiplied and folded; seeded per process so that a crafted file cannot
// line its names up on one chain.
uint64_t HashWithSeed(uint64_t seed, std::string_view name) {
  uint64_t hash = seed ^ (name.size() * 0x9E3779B97F4A7C15ull);
  size_t i = 0;
  for (; i + 8 <= name.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, name.data() + i, 8);
    hash = (hash ^ word) * 0xBF58476D1CE4E5B9ull;
    hash ^= hash >> 31;
  }
  // The last bytes: the word that ends the name (overlapping the last one hashed), or for a
  // short name its bytes at fixed places; the length, mixed in first, tells overlaps apart.
  const size_t left = name.size() - i;
  uint64_t tail = 0;
  if (name.size() >= 8) {
    if (left > 0) std::memcpy(&tail, name.data() + name.size() - 8, 8);
  } else if (name.size() >= 4) {
    uint32_t low;
    uint32_t high;
    std::memcpy(&low, name.data(), 4);
    std::memcpy(&high, name.data() + name.size() - 4, 4);
    tail = low | static_cast<uint64_t>(high) << 32;
  } else if (left > 0) {
    const auto byte = [&name](size_t at) { return static_cast<unsigned char>(name[at]); };
    tail = byte(0) | byte(left / 2) << 8 | static_cast<uint64_t>(byte(left - 1)) << 16;
  }
  hash = (hash ^ tail) * 0x94D049BB133111EBull;
  return hash ^ (hash >> 29);
}

}  // namespace

uint64_t IniGroupIndex::SeededHash(std::string_view name) {
  return HashWithSeed(ProcessSeed(), name);
}

uint64_t IniGroupIndex::Hash(std::string_view name) const { return HashWithSeed(seed_, name); }

size_t IniGroupIndex::Probe(std::string_view name, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  const uint32_t tag = Tag(hash);
  size_t slot = hash & mask;
  for (;; slot = (slot + 1) & mask) {
    const SlotEntry& entry = slots_[slot];
    if (entry.group == kNone) break;
    if (entry.group != kErased && entry.tag == tag && Name(entry.group) == name) break;
  }
  return slot;
}

void IniGroupIndex::Rehash(size_t groups) {
  size_t capacity = 16;
  while (capacity < groups + groups / 3 + 1) capacity *= 2;
  std::vector<SlotEntry> old(capacity, SlotEntry{kNone, 0});
  old.swap(slots_);
  used_ = 0;
  const size_t mask = capacity - 1;
  for (const SlotEntry& entry : old) {
    if (entry.group == kNone || entry.group == kErased) continue;
    size_t slot = Hash(Name(entry.group)) & mask;
    while (slots_[slot].group != kNone) slot = (slot + 1) & mask;
    slots_[slot] = entry;
    ++used_;
  }
}

uint32_t IniGroupIndex::Find(std::string_view name) const {
  const uint32_t group = slots_[Slot(name)].group;
  return group == kErased ? kNone : group;
}

uint32_t IniGroupIndex::AppendInBuffer(std::string_view name) {
  names_.push_back(
      NameRef{static_cast<uint32_t>(name.data() - buffer_), static_cast<uint32_t>(name.size())});
  return static_cast<uint32_t>(names_.size() - 1);
}

uint32_t IniGroupIndex::AppendCopy(std::string name) {
  copies_.push_back(std::move(name));
  names_.push_back(NameRef{static_cast<uint32_t>(copies_.size() - 1), kCopied});
  return static_cast<uint32_t>(names_.size() - 1);
}

uint32_t IniGroupIndex::InsertCopy(std::string name) {
  const uint32_t group = AppendCopy(std::move(name));
  Index(group);
  return group;
}

void IniGroupIndex::Index(uint32_t group) {
  if ((used_ + 1) * 4 > slots_.size() * 3) Rehash(live_ + 1);
  const std::string_view name = Name(group);
  const size_t mask = slots_.size() - 1;
  const uint64_t hash = Hash(name);
  size_t slot = hash & mask;
  while (slots_[slot].group != kNone && slots_[slot].group != kErased) slot = (slot + 1) & mask;
  if (slots_[slot].group == kNone) ++used_;
  slots_[slot] = SlotEntry{group, Tag(hash)};
  ++live_;
  if (ordered_.load(std::memory_order_relaxed)) {
    order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(LowerBound(name)), group);
  }
}

uint32_t IniGroupIndex::Erase(std::string_view name) {
  const size_t slot = Slot(name);
  const uint32_t group = slots_[slot].group;
  if (group == kNone) return kNone;
  if (ordered_.load(std::memory_order_relaxed)) {
    order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(LowerBound(name)));
  }
  slots_[slot].group = kErased;
  --live_;
  return group;
}

size_t IniGroupIndex::LowerBound(std::string_view name) const {
  const std::vector<uint32_t>& order = Order();
  auto it =
      std::lower_bound(order.begin(), order.end(), name,
                       [this](uint32_t group, std::string_view key) { return Name(group) < key; });
  return static_cast<size_t>(it - order.begin());
}

size_t IniGroupIndex::UpperBound(std::string_view name) const {
  const std::vector<uint32_t>& order = Order();
  auto it =
      std::upper_bound(order.begin(), order.end(), name,
                       [this](std::string_view key, uint32_t group) { return key < Name(group); });
  return static_cast<size_t>(it - order.begin());
}

const std::vector<uint32_t>& IniGroupIndex::Order() const {
  if (!ordered_.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!ordered_.load(std::memory_order_relaxed)) {
      Sort();
      ordered_.store(true, std::memory_order_release);
    }
  }
  return order_;
}

namespace {

// A group's place in one step of the sort: 16 bytes of its name from the step's offset, as two
// big-endian words so that integer order is byte order, then how much of the name is left
// (capped at 17, "more than this chunk") and the group's index, so that names ending within the
// chunk come first, shortest first.
constexpr size_t kChunkBytes = 16;

struct SortKey {
  uint64_t high;
  uint64_t low;
  uint64_t tie;
  uint32_t Group() const { return static_cast<uint32_t>(tie); }
  uint32_t Left() const { return static_cast<uint32_t>(tie >> 32); }
  bool Longer() const { return Left() > kChunkBytes; }
  bool SameChunk(const SortKey& other) const {
    return high == other.high && low == other.low && Left() == other.Left();
  }
  bool operator<(const SortKey& other) const {
    if (high != other.high) return high < other.high;
    if (low != other.low) return low < other.low;
    return tie < other.tie;
  }
};

uint64_t BigEndian(const unsigned char* bytes) {
  uint64_t word = 0;
  for (int i = 0; i < 8; ++i) word = (word << 8) | bytes[i];
  return word;
}

SortKey MakeKey(std::string_view name, size_t offset, uint32_t group) {
  unsigned char bytes[kChunkBytes] = {};
  const size_t left = name.size() > offset ? name.size() - offset : 0;
  if (left > 0) std::memcpy(bytes, name.data() + offset, std::min(kChunkBytes, left));
  const uint64_t capped = std::min(left, kChunkBytes + 1);
  return SortKey{BigEndian(bytes), BigEndian(bytes + 8), (capped << 32) | group};
}

}  // namespace

void IniGroupIndex::Sort() const {
  // Three-way radix quicksort on 16-byte chunks of the names: partitions compare the chunks
  // cached in the keys, not the names scattered over the buffer, and only the keys equal to the
  // pivot move on to the next chunk. Live names are unique, so keys equal in a chunk in which
  // their names end are the same key.
  std::vector<SortKey> keys;
  keys.reserve(live_);
  for (const SlotEntry& entry : slots_) {
    if (entry.group != kNone && entry.group != kErased) keys.push_back(SortKey{0, 0, entry.group});
  }
  struct Run {
    size_t begin;
    size_t end;
    size_t offset;
    bool chunked;  // whether the keys hold the chunks at `offset`
  };
  uint64_t random = seed_ | 1;  // picks pivots, so no file makes the sort quadratic
  std::vector<Run> runs{Run{0, keys.size(), 0, false}};
  while (!runs.empty()) {
    const Run run = runs.back();
    runs.pop_back();
    const size_t count = run.end - run.begin;
    if (count < 2) continue;
    SortKey* first = keys.data() + run.begin;
    SortKey* last = keys.data() + run.end;
    if (!run.chunked) {
      for (SortKey* key = first; key != last; ++key) {
        *key = MakeKey(Name(key->Group()), run.offset, key->Group());
      }
    }
    if (count <= 12) {
      std::sort(first, last);
      for (SortKey* i = first; i != last;) {
        SortKey* j = i + 1;
        while (j != last && j->SameChunk(*i)) ++j;
        if (j - i > 1 && i->Longer()) {
          runs.push_back(Run{static_cast<size_t>(i - keys.data()),
                             static_cast<size_t>(j - keys.data()), run.offset + kChunkBytes,
                             false});
        }
        i = j;
      }
      continue;
    }
    random ^= random << 13;
    random ^= random >> 7;
    random ^= random << 17;
    const SortKey pivot = first[random % count];
    // Dijkstra's partition: [first, less) < pivot, [less, i) == pivot, [greater, last) > pivot.
    SortKey* less = first;
    SortKey* i = first;
    SortKey* greater = last;
    while (i < greater) {
      if (i->SameChunk(pivot)) {
        ++i;
      } else if (*i < pivot) {
        std::swap(*less++, *i++);
      } else {
        std::swap(*i, *--greater);
      }
    }
    runs.push_back(Run{run.begin, static_cast<size_t>(less - keys.data()), run.offset, true});
    runs.push_back(Run{static_cast<size_t>(greater - keys.data()), run.end, run.offset, true});
    if (pivot.Longer()) {
      runs.push_back(Run{static_cast<size_t>(less - keys.data()),
                         static_cast<size_t>(greater - keys.data()), run.offset + kChunkBytes,
                         false});
    }
  }
  order_.clear();
  order_.reserve(keys.size());
  for (const SortKey& key : keys) order_.push_back(key.Group());
}
