// MaskCredentials: the one place that hides the password of an address before it reaches any
// text (error messages, log records, tool output).
#include <string>

#include <zor-qel-rb-key/qel_log.h>

namespace {

// Whether `text` begins with a URL scheme: a letter, then letters, digits, "+", "-" or ".".
bool IsScheme(const std::string& text) {
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (text.empty() || !letter(text[0])) return false;
  for (char c : text) {
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace

namespace zor::qel {

std::string MaskCredentials(const std::string& address) {
  size_t start = 0;
  const size_t scheme_end = address.find("://");
  if (scheme_end != std::string::npos && IsScheme(address.substr(0, scheme_end))) {
    start = scheme_end + 3;
  } else if (!address.empty() && address[0] == '/') {
    return address;  // a local file's path
  }
  // The last "@" ends the user information even when an unencoded "/", "?" or "#" in the
  // password would end it earlier by the rules of URLs.
  const size_t at = address.rfind('@');
  if (at == std::string::npos || at < start) return address;
  const size_t colon = address.find(':', start);
  if (colon == std::string::npos || colon > at) return address;
  return address.substr(0, colon + 1) + "***" + address.substr(at);
}

}  // namespace zor::qel
