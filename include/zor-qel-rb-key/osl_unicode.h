/// \file
/// The process's unicode mode, which a verifying login compares with the store's language mode.
/// Thread safety: the mode may be read and set from any thread.
#pragma once

#include <atomic>

#include <zor-qel-rb-key/qel_export.h>

/// The process's one unicode-mode setting.
class QEL_API Osl_UnicodeConfiguration {
 public:
  /// The process's setting; never null, never deleted.
  static Osl_UnicodeConfiguration* Instance();

  /// False until the host program says otherwise.
  bool IsUnicodeMode() const;
  /// Declares whether the host program runs in unicode mode.
  void SetUnicodeMode(bool unicode);

 private:
  Osl_UnicodeConfiguration() = default;
  std::atomic<bool> unicode_{false};
};
