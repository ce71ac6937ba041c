// QELNoCaseString: a string whose comparisons ignore ASCII letter case (value names), also when
// the other side is a std::string, a std::string_view or a string literal, in either order.
// Thread safety: a value type.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

class QELNoCaseString : public std::string {
 public:
  QELNoCaseString() = default;
  QELNoCaseString(const std::string& text) : std::string(text) {}  // NOLINT(runtime/explicit)
  QELNoCaseString(const char* text) : std::string(text) {}         // NOLINT(runtime/explicit)

  // Three-way comparison ignoring ASCII case: <0, 0 or >0.
  static int Compare(const std::string& a, const std::string& b) { return CompareText(a, b); }
  // The same on any text, without copying it.
  static int CompareText(std::string_view a, std::string_view b) {
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
inline bool operator>(const QELNoCaseString& a, const QELNoCaseString& b) { return b < a; }
inline bool operator<=(const QELNoCaseString& a, const QELNoCaseString& b) { return !(b < a); }
inline bool operator>=(const QELNoCaseString& a, const QELNoCaseString& b) { return !(a < b); }

// Comparisons with other text (std::string, std::string_view, literals, char pointers). Each takes
// the other side exactly as it is written, so it is a better match than both the standard
// library's case-sensitive std::string operators and the conversion of the text to a
// QELNoCaseString: the choice is neither ambiguous nor dependent on the compiler.
template <class Text>
using QELNoCaseTextOnly = std::enable_if_t<std::is_convertible_v<const Text&, std::string_view> &&
                                               !std::is_base_of_v<QELNoCaseString, Text>,
                                           bool>;

template <class Text>
QELNoCaseTextOnly<Text> operator==(const QELNoCaseString& a, const Text& b) {
  return QELNoCaseString::CompareText(a, b) == 0;
}
template <class Text>
QELNoCaseTextOnly<Text> operator==(const Text& a, const QELNoCaseString& b) {
  return QELNoCaseString::CompareText(a, b) == 0;
}
template <class Text>
QELNoCaseTextOnly<Text> operator!=(const QELNoCaseString& a, const Text& b) {
  return QELNoCaseString::CompareText(a, b) != 0;
}
template <class Text>
QELNoCaseTextOnly<Text> operator!=(const Text& a, const QELNoCaseString& b) {
  return QELNoCaseString::CompareText(a, b) != 0;
}
template <class Text>
QELNoCaseTextOnly<Text> operator<(const QELNoCaseString& a, const Text& b) {
  return QELNoCaseString::CompareText(a, b) < 0;
}
template <class Text>
QELNoCaseTextOnly<Text> operator<(const Text& a, const QELNoCaseString& b) {
  return QELNoCaseString::CompareText(a, b) < 0;
}
template <class Text>
QELNoCaseTextOnly<Text> operator>(const QELNoCaseString& a, const Text& b) {
  return QELNoCaseString::CompareText(a, b) > 0;
}
template <class Text>
QELNoCaseTextOnly<Text> operator>(const Text& a, const QELNoCaseString& b) {
  return QELNoCaseString::CompareText(a, b) > 0;
}
template <class Text>
QELNoCaseTextOnly<Text> operator<=(const QELNoCaseString& a, const Text& b) {
  return QELNoCaseString::CompareText(a, b) <= 0;
}
template <class Text>
QELNoCaseTextOnly<Text> operator<=(const Text& a, const QELNoCaseString& b) {
  return QELNoCaseString::CompareText(a, b) <= 0;
}
template <class Text>
QELNoCaseTextOnly<Text> operator>=(const QELNoCaseString& a, const Text& b) {
  return QELNoCaseString::CompareText(a, b) >= 0;
}
template <class Text>
QELNoCaseTextOnly<Text> operator>=(const Text& a, const QELNoCaseString& b) {
  return QELNoCaseString::CompareText(a, b) >= 0;
}
