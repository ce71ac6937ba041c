// Version parsing: components separated by ".", each present only when it is a decimal number.
#include "version_parse.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

std::optional<long> Number(const std::string& piece) {
  if (piece.empty() || piece.size() > 18) return std::nullopt;
  for (char c : piece) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  return std::strtol(piece.c_str(), nullptr, 10);
}

}  // namespace

QelVr_VersionSpec QelVr_VersionSpecHelper::parseVersion(const std::string& text) {
  std::vector<std::string> pieces(1);
  for (char c : text) {
    if (c == '.') {
      pieces.emplace_back();
    } else {
      pieces.back() += c;
    }
  }
  QelVr_VersionSpec version;
  std::optional<long>* slots[] = {&version.major, &version.minor, &version.release, &version.build};
  // A component after an absent one is absent too: "9.x.3" has no minor and no release.
  for (size_t i = 0; i < 4 && i < pieces.size(); ++i) {
    *slots[i] = Number(pieces[i]);
    if (!*slots[i]) break;
  }
  return version;
}
