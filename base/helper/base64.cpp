// Base64 encoding and decoding with the standard alphabet and padding.
#include "base64.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of each base64 digit, -1 for other bytes.
struct Base64Table {
  int8_t value[256];
  Base64Table() {
    std::fill(std::begin(value), std::end(value), static_cast<int8_t>(-1));
    for (int i = 0; i < 64; ++i)
      value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
};

}  // namespace

std::string Base64(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                       static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  if (i < bytes.size()) {
    uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (i + 1 < bytes.size())
      n |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool FromBase64(const std::string& text, std::string* out) {
  static const Base64Table table;
  out->clear();
  size_t length = text.size();
  if (length % 4 != 0) return false;
  size_t padding = 0;
  while (padding < 2 && length > padding && text[length - 1 - padding] == '=') ++padding;
  out->reserve(length / 4 * 3);
  uint32_t bits = 0;
  int count = 0;
  for (size_t i = 0; i < length - padding; ++i) {
    const int8_t digit = table.value[static_cast<unsigned char>(text[i])];
    if (digit < 0) return false;
    bits = bits << 6 | static_cast<uint32_t>(digit);
    if (++count == 4) {
      out->push_back(static_cast<char>(bits >> 16));
      out->push_back(static_cast<char>(bits >> 8));
      out->push_back(static_cast<char>(bits));
      bits = 0;
      count = 0;
    }
  }
  if (count == 3) {
    out->push_back(static_cast<char>(bits >> 10));
    out->push_back(static_cast<char>(bits >> 2));
  } else if (count == 2) {
    out->push_back(static_cast<char>(bits >> 4));
  }
  return true;
}
