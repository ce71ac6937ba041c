// The content hash: the same whole or in pieces, and different for contents that differ.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "content_hash.h"

namespace {

// A flush hashes the file as it writes it, piece by piece; the hash must be that of the whole
// file read back, wherever the pieces were cut.
TEST(ContentHashTest, TheHashOfAContentInPiecesIsTheHashOfTheWhole) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>('a' + (i * 7) % 26);
  for (size_t size : {size_t{0}, size_t{1}, size_t{31}, size_t{32}, size_t{33}, size_t{300}}) {
    const std::string whole = text.substr(0, size);
    for (size_t cut : {size_t{1}, size_t{5}, size_t{32}, size_t{45}}) {
      ContentHasher hasher;
      for (size_t at = 0; at < whole.size(); at += cut) {
        hasher.Add(whole.data() + at, std::min(cut, whole.size() - at));
      }
      EXPECT_EQ(hasher.Finish(), ContentHash(whole.data(), whole.size())) << size << " " << cut;
    }
  }
  EXPECT_NE(ContentHash(text.data(), 64), ContentHash(text.data(), 65));
  EXPECT_NE(ContentHash("ab", 2), ContentHash("ba", 2));
}

}  // namespace
