// WildcardString: whole-name matching with *, ? and [...] classes, in linear time.
// Thread safety: const operations may run from several threads at once.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class WildcardString {
 public:
  // `ignore_case` makes letters match regardless of ASCII case; the library passes false.
  WildcardString(const std::string& pattern, bool ignore_case);
  WildcardString(const WildcardString& other);
  WildcardString& operator=(const WildcardString& other);
  ~WildcardString();

  // One compiled piece of a pattern; defined where the pattern is compiled.
  struct Token;

  const std::string& GetPattern() const { return pattern_; }

  // Whether the part of `text` from `pos` of length `len` (npos: to the end) matches the whole
  // pattern. `*` matches any run, `?` any one byte, `[abc]`, `[a-z]`, `[!x]` or `[^x]` one byte
  // of (or not of) the class; `\` makes the next byte literal. A malformed class matches "["
  // literally.
  bool Match(const std::string& text, size_t pos, size_t len) const;

 private:
  std::string pattern_;
  bool ignore_case_;
  // The pattern compiled once, so that matching many names does not parse it again.
  std::vector<Token> tokens_;
};
