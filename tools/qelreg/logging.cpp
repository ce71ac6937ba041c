// The log sink qelreg gives the library for the length of a call.
#include "logging.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

namespace qelreg {
namespace {

constexpr int kErrorSeverity = 3;

std::string Now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

LogCapture::LogCapture(bool trace) {
  // QEL_TRACE has already turned tracing on in the library; --trace turns it on as well.
  if (trace) zor::qel::SetTraceEnabled(true);
  trace_ = zor::qel::IsTraceEnabled();
  const char* path = std::getenv("QEL_LOG_FILE");
  if (path != nullptr && *path != '\0') {
    file_.reset(std::fopen(path, "a"));
    if (!file_) {
      std::cerr << "qelreg: cannot open QEL_LOG_FILE " << path << ": " << std::strerror(errno)
                << "; log records go to standard error\n";
    }
  }
  zor::qel::SetLogSink([this](const zor::qel::LogRecord& record) { Receive(record); });
}

LogCapture::~LogCapture() { zor::qel::SetLogSink({}); }

void LogCapture::Receive(const zor::qel::LogRecord& record) {
  std::lock_guard<std::mutex> guard(mutex_);
  const bool error = record.severity >= kErrorSeverity;
  if (!error && !trace_) return;
  FILE* out = file_ ? file_.get() : (trace_ ? stderr : nullptr);
  if (out == nullptr) return;
  std::fprintf(out, "%s sev=%d [%s] %s: %s\n", Now().c_str(), record.severity,
               record.module.c_str(), record.function.c_str(), record.text.c_str());
  std::fflush(out);
}

}  // namespace qelreg
