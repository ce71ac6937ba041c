// Where the library's log records go while qelreg runs: the records the environment or --trace ask
// for are written out. Failures are told from the errors themselves, which carry their causes.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include <zor-qel-rb-key/qel_log.h>

namespace qelreg {

class LogCapture {
 public:
  // Tracing is on with `trace` (--trace) or when QEL_TRACE is 1, yes, true or on. Records are
  // written as the library's own sink writes them: to the file QEL_LOG_FILE names (errors, and
  // trace records when tracing), else to standard error when tracing.
  explicit LogCapture(bool trace);
  // Gives the library back its own sink.
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

 private:
  void Receive(const zor::qel::LogRecord& record);

  bool trace_ = false;
  std::unique_ptr<FILE, int (*)(FILE*)> file_{nullptr, &std::fclose};
  std::mutex mutex_;
};

}  // namespace qelreg
