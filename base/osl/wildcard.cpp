// Wildcard matching: the pattern is compiled to tokens once, and matched with the single-star
// backtracking scan, which is O(text * pattern) at worst and never exponential.
#include "wildcard.h"

#include <vector>

namespace {
enum class Kind { kLiteral, kAny, kStar, kClass };
}  // namespace

struct WildcardString::Token {
  explicit Token(Kind token_kind, unsigned char byte = 0) : kind(token_kind), literal(byte) {}
  Kind kind;
  unsigned char literal;
  bool negated = false;
  std::vector<std::pair<unsigned char, unsigned char>> ranges;
};

namespace {

using Token = WildcardString::Token;

unsigned char Fold(unsigned char c, bool ignore_case) {
  return (ignore_case && c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Parses a class starting at pattern[i] == '['; returns false when it has no closing ']'.
bool ParseClass(const std::string& pattern, size_t& i, Token& token) {
  size_t j = i + 1;
  token.kind = Kind::kClass;
  if (j < pattern.size() && (pattern[j] == '!' || pattern[j] == '^')) {
    token.negated = true;
    ++j;
  }
  bool first = true;
  while (j < pattern.size() && (pattern[j] != ']' || first)) {
    first = false;
    unsigned char low = static_cast<unsigned char>(pattern[j]);
    if (low == '\\' && j + 1 < pattern.size()) low = static_cast<unsigned char>(pattern[++j]);
    unsigned char high = low;
    if (j + 2 < pattern.size() && pattern[j + 1] == '-' && pattern[j + 2] != ']') {
      high = static_cast<unsigned char>(pattern[j + 2]);
      j += 2;
    }
    token.ranges.emplace_back(low, high);
    ++j;
  }
  if (j >= pattern.size()) return false;
  i = j;
  return true;
}

std::vector<Token> Compile(const std::string& pattern) {
  std::vector<Token> tokens;
  for (size_t i = 0; i < pattern.size(); ++i) {
    Token token(Kind::kLiteral);
    const char c = pattern[i];
    if (c == '*') {
      // Consecutive stars match what one star matches.
      if (!tokens.empty() && tokens.back().kind == Kind::kStar) continue;
      token.kind = Kind::kStar;
    } else if (c == '?') {
      token.kind = Kind::kAny;
    } else if (c == '[') {
      if (!ParseClass(pattern, i, token)) token = Token(Kind::kLiteral, '[');
    } else if (c == '\\' && i + 1 < pattern.size()) {
      token.literal = static_cast<unsigned char>(pattern[++i]);
    } else {
      token.literal = static_cast<unsigned char>(c);
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

bool MatchesOne(const Token& token, unsigned char c, bool ignore_case) {
  switch (token.kind) {
    case Kind::kAny:
      return true;
    case Kind::kLiteral:
      return Fold(token.literal, ignore_case) == Fold(c, ignore_case);
    case Kind::kClass: {
      bool in = false;
      for (const auto& range : token.ranges) {
        if ((c >= range.first && c <= range.second) ||
            (ignore_case && Fold(c, true) >= Fold(range.first, true) &&
             Fold(c, true) <= Fold(range.second, true))) {
          in = true;
          break;
        }
      }
      return in != token.negated;
    }
    case Kind::kStar:
      break;
  }
  return false;
}

}  // namespace

WildcardString::WildcardString(const std::string& pattern, bool ignore_case)
    : pattern_(pattern), ignore_case_(ignore_case), tokens_(Compile(pattern)) {}

WildcardString::WildcardString(const WildcardString& other) = default;
WildcardString& WildcardString::operator=(const WildcardString& other) = default;
WildcardString::~WildcardString() = default;

bool WildcardString::Match(const std::string& text, size_t pos, size_t len) const {
  if (pos > text.size()) return false;
  const size_t end =
      (len == std::string::npos || pos + len > text.size()) ? text.size() : pos + len;
  const std::vector<Token>& tokens = tokens_;
  size_t t = pos, p = 0;
  size_t star = std::string::npos, resume = 0;
  while (t < end) {
    if (p < tokens.size() && tokens[p].kind == Kind::kStar) {
      star = p++;
      resume = t;
    } else if (p < tokens.size() &&
               MatchesOne(tokens[p], static_cast<unsigned char>(text[t]), ignore_case_)) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      // Let the last star absorb one more byte and retry from there.
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < tokens.size() && tokens[p].kind == Kind::kStar) ++p;
  return p == tokens.size();
}
