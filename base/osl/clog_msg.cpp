// Log records and their sink: the host's sink if it set one, else one line per record on stderr
// (or the file QEL_LOG_FILE names), errors only unless tracing is on.
#include "clog_msg.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>

#include "os_time.h"

using zor::qel::LogRecord;

namespace {

using Sink = std::function<void(const LogRecord&)>;

// QEL_TRACE turns tracing on with 1, yes, true or on, in any letter case.
bool TraceFromEnvironment() {
  const char* value = std::getenv("QEL_TRACE");
  if (value == nullptr) return false;
  std::string word(value);
  for (char& c : word) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return word == "1" || word == "yes" || word == "true" || word == "on";
}

std::atomic<bool>& TraceFlag() {
  static std::atomic<bool> flag(TraceFromEnvironment());
  return flag;
}

// The sink is swapped under this lock and called outside it, through a shared copy.
std::mutex& SinkLock() {
  static std::mutex lock;
  return lock;
}

std::shared_ptr<const Sink>& CurrentSink() {
  static std::shared_ptr<const Sink> sink;
  return sink;
}

void WriteDefault(const LogRecord& record) {
  if (record.severity < kLogError && !TraceFlag().load(std::memory_order_relaxed)) return;
  static std::mutex write_lock;
  std::lock_guard<std::mutex> guard(write_lock);
  static FILE* out = [] {
    const char* path = std::getenv("QEL_LOG_FILE");
    FILE* file = (path != nullptr && *path != '\0') ? std::fopen(path, "a") : nullptr;
    return file != nullptr ? file : stderr;
  }();
  std::fprintf(out, "%s %s sev=%d [%s] %s: %s\n", os_date::today().to_string().c_str(),
               os_time::now().to_string().c_str(), record.severity, record.module.c_str(),
               record.function.c_str(), record.text.c_str());
  std::fflush(out);
}

}  // namespace

namespace zor::qel {

void SetLogSink(std::function<void(const LogRecord&)> sink) {
  std::shared_ptr<const Sink> next;
  if (sink) next = std::make_shared<const Sink>(std::move(sink));
  std::lock_guard<std::mutex> guard(SinkLock());
  CurrentSink().swap(next);
}

void SetTraceEnabled(bool enabled) { TraceFlag().store(enabled, std::memory_order_relaxed); }

bool IsTraceEnabled() { return TraceFlag().load(std::memory_order_relaxed); }

}  // namespace zor::qel

CLogMsg::CLogMsg(const char* function, const char* module, LogSeverity level) {
  record_.function = function != nullptr ? function : "";
  record_.module = module != nullptr ? module : "";
  record_.severity = level;
}

CLogMsg::~CLogMsg() = default;

bool CLogMsg::IsEnable() const { return zor::qel::IsTraceEnabled(); }

CLogMsg& CLogMsg::operator<<(const char* text) {
  if (text != nullptr) text_ << text;
  return *this;
}

CLogMsg& CLogMsg::operator<<(const std::string& text) {
  text_ << text;
  return *this;
}

CLogMsg& CLogMsg::operator<<(int number) {
  text_ << number;
  return *this;
}

CLogMsg& CLogMsg::operator<<(long number) {
  text_ << number;
  return *this;
}

CLogMsg& CLogMsg::operator<<(unsigned long number) {
  text_ << number;
  return *this;
}

CLogMsg& CLogMsg::operator<<(LogSeverity severity) {
  record_.severity = severity;
  return *this;
}

void CLogMsg::Flush() {
  record_.text = text_.str();
  text_.str(std::string());
  std::shared_ptr<const Sink> sink;
  {
    std::lock_guard<std::mutex> guard(SinkLock());
    sink = CurrentSink();
  }
  if (sink) {
    (*sink)(record_);
  } else {
    WriteDefault(record_);
  }
}

CLogMsg& flush(CLogMsg& message) {
  message.Flush();
  return message;
}
