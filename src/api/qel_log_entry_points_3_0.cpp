// The logging functions as release 3.0.0 exported them, outside any namespace: programs linked
// against 3.0.0 keep loading and logging with this libzor-qel-rb-key.so.3, and programs written
// for it compile through the header that declares them. Each forwards to its namesake in zor::qel.
// Kept for 3.0 programs: see docs/compatibility.md.
// Thread safety: as that of the functions in qel_log.h.
#include <zor-qel-rb-key/compat/qel_log.h>

#include <functional>
#include <utility>

// These definitions are what the deprecated declarations stand for.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

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
