// Helper module: splits a text at any of a set of separator characters.
// Thread safety: a tokenizer is a value; one object is used by one thread at a time.
#pragma once

#include <string>
#include <vector>

class os_tokenizer {
 public:
  // Sets the separator characters; each character of `chars` separates on its own.
  void separators(const std::string& chars);

  // The pieces of `text` between separators, in order. Empty pieces are kept: "a//b" gives
  // "a", "", "b", and a leading or trailing separator gives an empty first or last piece.
  // The empty text gives one empty piece.
  std::vector<std::string> tokenize(const std::string& text) const;

 private:
  std::string separators_;
};
