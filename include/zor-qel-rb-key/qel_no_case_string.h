// QELNoCaseString: a string whose comparisons ignore ASCII letter case (value names).
// Thread safety: a value type.
#pragma once

#include <cstddef>
#include <string>

class QELNoCaseString : public std::string {
 public:
  QELNoCaseString() = default;
  QELNoCaseString(const std::string& text) : std::string(text) {}  // NOLINT(runtime/explicit)
  QELNoCaseString(const char* text) : std::string(text) {}         // NOLINT(runtime/explicit)

  // Three-way comparison ignoring ASCII case: <0, 0 or >0.
  static int Compare(const std::string& a, const std::string& b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
      const int ca = Lower(static_cast<unsigned char>(a[i]));
      const int cb = Lower(static_cast<unsigned char>(b[i]));
      if (ca != cb) return ca - cb;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
  }

 private:
  static int Lower(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }
};

inline bool operator==(const QELNoCaseString& a, const QELNoCaseString& b) {
  return QELNoCaseString::Compare(a, b) == 0;
}
inline bool operator!=(const QELNoCaseString& a, const QELNoCaseString& b) { return !(a == b); }
inline bool operator<(const QELNoCaseString& a, const QELNoCaseString& b) {
  return QELNoCaseString::Compare(a, b) < 0;
}
