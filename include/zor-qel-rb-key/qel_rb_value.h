/// \file
/// Value module: QELRBValue, a configuration value that is a list of strings.
/// Thread safety: a value type; distinct objects may be used from different threads.
#pragma once

#include <initializer_list>
#include <list>
#include <map>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_export.h>

/// A list of string elements. A single string is a one-element list; the empty string is the
/// empty list, so that QELRBValue("") and QELRBValue() are the same value.
class QEL_API QELRBValue {
 public:
  /// The empty list.
  QELRBValue() = default;
  /// The one-element list holding `text` (the empty list for "").
  QELRBValue(const char* text);  // NOLINT(runtime/explicit): values convert from text
  /// The one-element list holding `text` (the empty list for "").
  QELRBValue(const std::string& text);  // NOLINT(runtime/explicit)
  /// The list of `elements`, in their order.
  QELRBValue(const std::list<std::string>& elements);
  /// The list of `elements`, in their order.
  QELRBValue(const std::vector<std::string>& elements);
  /// The list of `elements`, in their order.
  QELRBValue(std::initializer_list<std::string> elements);
  /// Each value's string form becomes one element.
  QELRBValue(const std::list<QELRBValue>& elements);

  /// The string form: the element for a one-element list, "" for the empty list, otherwise the
  /// elements joined by ", " (a display form; use Elements() to read a list exactly).
  operator std::string() const;
  /// The string form, as the conversion to std::string gives it.
  std::string ToString() const;
  /// One QELRBValue per element.
  operator std::list<QELRBValue>() const;

  /// The elements, exactly as stored.
  const std::vector<std::string>& Elements() const { return elements_; }
  /// The number of elements.
  size_t Size() const { return elements_.size(); }
  /// Whether the list has no element.
  bool Empty() const { return elements_.empty(); }

 private:
  std::vector<std::string> elements_;
};

/// Element lists compared element by element, then by length.
QEL_API bool operator==(const QELRBValue& a, const QELRBValue& b);
/// The opposite of ==.
QEL_API bool operator!=(const QELRBValue& a, const QELRBValue& b);
/// Element lists ordered element by element, a list before its longer continuations.
QEL_API bool operator<(const QELRBValue& a, const QELRBValue& b);

/// Adds the value module's version record to `versions`.
QEL_API void GetVersionsList_QELRB_Value(std::map<std::string, std::string>& versions);
