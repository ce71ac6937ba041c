// Parses dotted version texts ("9.0.21.100") into their numeric components.
// Thread safety: pure functions.
#pragma once

#include <optional>
#include <string>

struct QelVr_VersionSpec {
  // A component is absent when the text lacks it or it is not a decimal number.
  std::optional<long> major;
  std::optional<long> minor;
  std::optional<long> release;
  std::optional<long> build;
};

class QelVr_VersionSpecHelper {
 public:
  static QelVr_VersionSpec parseVersion(const std::string& text);
};
