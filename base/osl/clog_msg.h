// CLogMsg: one log record, streamed piece by piece and written to the sink by `flush`.
// Thread safety: a record belongs to the thread that builds it.
#pragma once

#include <sstream>
#include <string>

#include <zor-qel-rb-key/qel_log.h>

// The severity of a record: 1 trace (the level every record is opened with), 3 error,
// 5 a backend-login failure passed on.
enum LogSeverity : int { kLogTrace = 1, kLogError = 3, kLogLoginFailure = 5 };

class CLogMsg {
 public:
  // `function` and `module` may be null (records about a null pointer or an exhausted reader).
  CLogMsg(const char* function, const char* module, LogSeverity level);
  // A record that was never flushed is dropped.
  ~CLogMsg();
  CLogMsg(const CLogMsg&) = delete;
  CLogMsg& operator=(const CLogMsg&) = delete;

  // Whether trace records are written (SetTraceEnabled).
  bool IsEnable() const;

  CLogMsg& operator<<(const char* text);
  CLogMsg& operator<<(const std::string& text);
  CLogMsg& operator<<(int number);
  CLogMsg& operator<<(long number);
  CLogMsg& operator<<(unsigned long number);
  // Marks the record's severity; streams no text.
  CLogMsg& operator<<(LogSeverity severity);
  CLogMsg& operator<<(CLogMsg& (*manipulator)(CLogMsg&)) { return manipulator(*this); }

  // Ends the record and hands it to the sink; later text starts a new record.
  void Flush();

 private:
  zor::qel::LogRecord record_;
  std::ostringstream text_;
};

// Ends and writes the record: every record in the library ends with it.
CLogMsg& flush(CLogMsg& message);
