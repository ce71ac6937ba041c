/// \file
/// QELNoCaseString: a string whose comparisons ignore ASCII letter case (value names), also when
/// the other side is a std::string, a std::string_view or a string literal, in either order.
/// Thread safety: a value type.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

/// A std::string whose comparisons ignore ASCII letter case; the names of values are these.
class QELNoCaseString : public std::string {
 public:
  /// The empty string.
  QELNoCaseString() = default;
  /// A copy of `text`.
  QELNoCaseString(const std::string& text) : std::string(text) {}  // NOLINT(runtime/explicit)
  /// A copy of `text`.
  QELNoCaseString(const char* text) : std::string(text) {}  // NOLINT(runtime/explicit)

  /// Three-way comparison ignoring ASCII case: <0, 0 or >0.
  static int Compare(const std::string& a, const std::string& b) { return CompareText(a, b); }
  /// The same on any text, without copying it.
  static int CompareText(std::string_view a, std::string_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
      if (a[i] == b[i]) continue;
      const int ca = Lower(static_cast<unsigned char>(a[i]));
      const int cb = Lower(static_cast<unsigned char>(b[i]));
      if (ca != cb) return ca - cb;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
  }

 private:
  static int Lower(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }
};

/// \name Comparisons of two QELNoCaseString, ignoring ASCII letter case
///@{

/// Compares `a` and `b` as QELNoCaseString::Compare does.
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
///@}

/// Comparisons with other text (std::string, std::string_view, literals, char pointers), in
/// either order. Both sides are deduced, exactly as written: one must be a QELNoCaseString, so the
/// match beats the standard library's case-sensitive std::string operators without making any
/// other comparison (a std::string_view with a std::string, say) ambiguous.
template <class A, class B>
using QELNoCaseOperands = std::enable_if_t<
    (std::is_same_v<A, QELNoCaseString> && !std::is_base_of_v<QELNoCaseString, B> &&
     std::is_convertible_v<const B&, std::string_view>) ||
        (std::is_same_v<B, QELNoCaseString> && !std::is_base_of_v<QELNoCaseString, A> &&
         std::is_convertible_v<const A&, std::string_view>),
    bool>;

/// \name Comparisons of a QELNoCaseString with other text, ignoring ASCII letter case
///@{

/// Compares `a` and `b` as QELNoCaseString::CompareText does.
template <class A, class B>
QELNoCaseOperands<A, B> operator==(const A& a, const B& b) {
  return QELNoCaseString::CompareText(a, b) == 0;
}
template <class A, class B>
QELNoCaseOperands<A, B> operator!=(const A& a, const B& b) {
  return QELNoCaseString::CompareText(a, b) != 0;
}
template <class A, class B>
QELNoCaseOperands<A, B> operator<(const A& a, const B& b) {
  return QELNoCaseString::CompareText(a, b) < 0;
}
template <class A, class B>
QELNoCaseOperands<A, B> operator>(const A& a, const B& b) {
  return QELNoCaseString::CompareText(a, b) > 0;
}
template <class A, class B>
QELNoCaseOperands<A, B> operator<=(const A& a, const B& b) {
  return QELNoCaseString::CompareText(a, b) <= 0;
}
template <class A, class B>
QELNoCaseOperands<A, B> operator>=(const A& a, const B& b) {
  return QELNoCaseString::CompareText(a, b) >= 0;
}
///@}
