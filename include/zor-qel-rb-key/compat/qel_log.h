/// \file
/// Release 3.0's name of <zor-qel-rb-key/qel_log.h>, for programs that include it as <qel_log.h>:
/// the logging names of release 3.0, outside any namespace and deprecated for those of zor::qel.
/// They are the entry points the library has exported since 3.0, and act on the same sink and
/// trace switch as their zor::qel namesakes.
#pragma once
// Kept for 3.0 programs: see docs/compatibility.md.

#include <functional>
#include <string>

#include <zor-qel-rb-key/qel_export.h>
#include <zor-qel-rb-key/qel_log.h>

// The declarations below name the deprecated record themselves.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

/// A log record as release 3.0 delivered it: the members of zor::qel::LogRecord, in that order.
/// \deprecated Use zor::qel::LogRecord.
struct [[deprecated("use zor::qel::LogRecord from <zor-qel-rb-key/qel_log.h>")]] LogRecord {
  std::string function;  ///< the operation's name, "" for records without one
  std::string module;    ///< "rb_key", "key", "ldap_key", or ""
  int severity = 1;      ///< 1 trace, 3 error, 5 backend-login failure
  std::string text;      ///< the record's text
};

/// Sends every finished record to `sink`, as zor::qel::SetLogSink does; an empty function
/// restores the default sink.
/// \deprecated Use zor::qel::SetLogSink.
[[deprecated("use zor::qel::SetLogSink from <zor-qel-rb-key/qel_log.h>")]] QEL_API void SetLogSink(
    std::function<void(const LogRecord&)> sink);

/// Switches trace records on or off, as zor::qel::SetTraceEnabled does.
/// \deprecated Use zor::qel::SetTraceEnabled.
[[deprecated("use zor::qel::SetTraceEnabled from <zor-qel-rb-key/qel_log.h>")]] QEL_API void
SetTraceEnabled(bool enabled);

/// Whether trace records are made, as zor::qel::IsTraceEnabled answers.
/// \deprecated Use zor::qel::IsTraceEnabled.
[[deprecated("use zor::qel::IsTraceEnabled from <zor-qel-rb-key/qel_log.h>")]] QEL_API bool
IsTraceEnabled();

#pragma GCC diagnostic pop
