// The content hash: four lanes of multiply and rotate over 32-byte blocks, then an avalanche.
#include "content_hash.h"

#include <algorithm>
#include <cstring>

namespace {

// Multiply and rotate, four independent lanes of eight bytes so that the multiplications
// overlap, then a final avalanche: fast on large files and good enough to tell two versions of
// one file apart.
constexpr uint64_t kMultiplier1 = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kMultiplier2 = 0xC2B2AE3D27D4EB4Full;

inline uint64_t Mix(uint64_t lane, uint64_t word) {
  lane ^= word * kMultiplier2;
  return ((lane << 31) | (lane >> 33)) * kMultiplier1;
}

inline uint64_t Load(const char* at) {
  uint64_t word;
  std::memcpy(&word, at, 8);
  return word;
}

}  // namespace

ContentHasher::ContentHasher()
    : lanes_{0x27D4EB2F165667C5ull, 0x165667B19E3779F9ull, 0x85EBCA77C2B2AE63ull,
             0xFF51AFD7ED558CCDull} {}

void ContentHasher::Block(const char* block) {
  for (int lane = 0; lane < 4; ++lane) lanes_[lane] = Mix(lanes_[lane], Load(block + 8 * lane));
}

void ContentHasher::Add(const char* data, size_t size) {
  size_ += size;
  if (pending_size_ > 0) {
    const size_t taken = std::min(size, sizeof pending_ - pending_size_);
    std::memcpy(pending_ + pending_size_, data, taken);
    pending_size_ += taken;
    data += taken;
    size -= taken;
    if (pending_size_ < sizeof pending_) return;
    Block(pending_);
    pending_size_ = 0;
  }
  for (; size >= 32; data += 32, size -= 32) Block(data);
  std::memcpy(pending_, data, size);
  pending_size_ = size;
}

uint64_t ContentHasher::Finish() const {
  // The size is mixed in last, as the lanes cannot know it in advance.
  uint64_t hash = lanes_[0] ^ (size_ * kMultiplier1);
  for (int lane = 1; lane < 4; ++lane) hash = Mix(hash, lanes_[lane]);
  size_t i = 0;
  for (; i + 8 <= pending_size_; i += 8) hash = Mix(hash, Load(pending_ + i));
  uint64_t tail = 0;
  std::memcpy(&tail, pending_ + i, pending_size_ - i);
  hash = Mix(hash, tail);
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDull;
  hash ^= hash >> 33;
  hash *= 0xC4CEB9FE1A85EC53ull;
  hash ^= hash >> 33;
  return hash;
}

uint64_t ContentHash(const char* data, size_t size) {
  ContentHasher hasher;
  hasher.Add(data, size);
  return hasher.Finish();
}
