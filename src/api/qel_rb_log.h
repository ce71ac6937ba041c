// Trace and error records of the public classes (module "rb_key"), and the QELError they throw
// for a failed backend status.
#pragma once

#include <string>

#include "clog_msg.h"
#include "qel_failures.h"

constexpr const char* kRbKeyModule = "rb_key";

// Writes the trace record of `function`, its text streamed by `write`, only when tracing is on:
// neither the record, nor its text, nor anything `write` reads is made otherwise (asking the flag
// costs a load; a record costs a stream).
template <class Writer>
void RbTrace(const char* function, Writer write) {
  if (!zor::qel::IsTraceEnabled()) return;
  CLogMsg log(function, kRbKeyModule, kLogTrace);
  write(log);
  log << flush;
}

// A trace record with no text.
inline void RbTrace(const char* function) {
  RbTrace(function, [](CLogMsg&) {});
}

// Writes one error record carrying `text`, whether or not tracing is on.
inline void RbLogError(const char* function, const std::string& text) {
  CLogMsg log(function, kRbKeyModule, kLogTrace);
  log << kLogError << text << flush;
}

// Logs a failed backend status under `function` and throws it with its own message and code.
[[noreturn]] inline void RbThrowStatus(const char* function, const QELStatus& status,
                                       const char* source, long line) {
  RbLogError(function, status.message);
  ThrowStatus(status, source, line);
}
