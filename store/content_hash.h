// A fast 64-bit hash of a file's content, whole or in pieces, by which every store kind confirms
// that a version with a new stamp or tag really changed.
// Thread safety: a hasher is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// A fast 64-bit hash of a file's content, to confirm that a file with a new stamp really changed.
uint64_t ContentHash(const char* data, size_t size);

// ContentHash of a content given in pieces: Add them in order, then Finish; however the content
// is cut, the result is ContentHash of the whole.
class ContentHasher {
 public:
  ContentHasher();
  void Add(const char* data, size_t size);
  uint64_t Finish() const;

 private:
  void Block(const char* block);

  uint64_t lanes_[4];
  uint64_t size_ = 0;
  char pending_[32];  // the start of a block not yet whole
  size_t pending_size_ = 0;
};
