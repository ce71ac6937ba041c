/// \file
/// The exceptions every public operation throws: QELError and, for misuse, QELLogicalError.
/// Thread safety: values; copyable, thrown by value and caught by reference.
#pragma once

#include <exception>
#include <string>

#include <zor-qel-rb-key/qel_export.h>

/// The error every public operation throws: a message, a numeric code (README, "Errors") and
/// where it was raised.
class QEL_API QELError : public std::exception {
 public:
  /// `text` is a message id or a formatted message; `code` the numeric error code; `facility`
  /// the reporting layer (12 for this library); `file` and `line` the source that threw.
  QELError(const std::string& text, long code, long facility, const std::string& file, long line);
  ~QELError() override;

  /// The numeric error code.
  long Code() const { return code_; }
  /// The message.
  const std::string& What() const { return text_; }
  /// The reporting layer: 12 for this library, 4 for a malformed key path.
  long Facility() const { return facility_; }
  /// The source name that raised the error.
  const std::string& File() const { return file_; }
  /// The line number that raised the error.
  long Line() const { return line_; }
  /// The message, as std::exception gives it.
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
  long code_;
  long facility_;
  std::string file_;
  long line_;
};

/// Misuse of the interface (an empty pointer, an end iterator, a forbidden copy, an unknown type).
class QEL_API QELLogicalError : public QELError {
 public:
  /// The code every logical error carries, so that a layer that turns one into a status never
  /// reports success.
  static constexpr long kCode = 1;
  /// The facility of the OS layer and of misuse errors.
  static constexpr long kFacility = 12;

  /// A misuse error with `text`, raised at `file` and `line`.
  QELLogicalError(const std::string& text, const std::string& file, long line);
  ~QELLogicalError() override;
};
