// The logging functions as release 3.0.0 exported them, outside any namespace: programs linked
// against 3.0.0 keep loading and logging with this libzor-qel-rb-key.so.3. No header declares
// them any more; each forwards to its namesake in zor::qel.
// Kept for 3.0 programs: see docs/compatibility.md.
// Thread safety: as that of the functions in qel_log.h.
#include <functional>
#include <string>
#include <utility>

#include <zor-qel-rb-key/qel_export.h>
#include <zor-qel-rb-key/qel_log.h>

// The record as 3.0.0 declared it: the members of zor::qel::LogRecord, in the same order.
struct LogRecord {
  std::string function;
  std::string module;
  int severity = 1;
  std::string text;
};

QEL_API void SetLogSink(std::function<void(const LogRecord&)> sink);
QEL_API void SetTraceEnabled(bool enabled);
QEL_API bool IsTraceEnabled();

void SetLogSink(std::function<void(const LogRecord&)> sink) {
  if (!sink) {
    zor::qel::SetLogSink({});
    return;
  }
  zor::qel::SetLogSink([sink = std::move(sink)](const zor::qel::LogRecord& record) {
    sink(LogRecord{record.function, record.module, record.severity, record.text});
  });
}

void SetTraceEnabled(bool enabled) { zor::qel::SetTraceEnabled(enabled); }

bool IsTraceEnabled() { return zor::qel::IsTraceEnabled(); }
