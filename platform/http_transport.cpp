// What both HTTP transports decide alike, whatever the platform's library.
#include "http_transport.h"

#include <algorithm>
#include <cctype>

bool GoesDirect(const HttpSettings& settings, const std::string& url) {
  const bool credentials =
      !settings.user.empty() || !settings.password.empty() || settings.secret_requests;
  // Anything but https ("http://", or an address whose scheme is missing) counts as plain.
  static const char kSecure[] = "https://";
  const bool secure =
      url.size() >= sizeof kSecure - 1 &&
      std::equal(kSecure, kSecure + sizeof kSecure - 1, url.begin(),
                 [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
  return credentials && !secure;
}
