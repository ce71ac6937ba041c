// The process's unicode mode, set by the host program.
#include <zor-qel-rb-key/osl_unicode.h>

Osl_UnicodeConfiguration* Osl_UnicodeConfiguration::Instance() {
  static Osl_UnicodeConfiguration instance;
  return &instance;
}

bool Osl_UnicodeConfiguration::IsUnicodeMode() const { return unicode_.load(); }

void Osl_UnicodeConfiguration::SetUnicodeMode(bool unicode) { unicode_.store(unicode); }
