// Helpers for backend tests: an in-memory INI store that counts its flushes, an INI connection
// logged in on one, and a capture of log records.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <zor-qel-rb-key/qel_log.h>
#include "ini.h"
#include "qel_ini_connection.h"

// An INI image kept in memory; FlushIniDataToFile only counts.
class MemoryIni : public Ini {
 public:
  void AddGroup(const std::string& group,
                std::initializer_list<std::pair<std::string, std::string>> entries = {}) {
    InsertNewGroup(group);
    for (const auto& entry : entries) SetKeyValue(group, entry.first, entry.second);
  }
  void FlushIniDataToFile(const std::string&) override { ++flushes; }
  int flushes = 0;
};

// An INI connection whose store is a MemoryIni owned by the connection's holder.
class MemoryIniConnection : public QELIniConnection {
 public:
  MemoryIniConnection() : memory_(new MemoryIni()) { Adopt(memory_, "tester", "memory"); }
  MemoryIni& Memory() { return *memory_; }

 private:
  MemoryIni* memory_;
};

// Captures the records of one module ("" for all) while it lives.
struct LogCapture {
  explicit LogCapture(const std::string& module = "") {
    zor::qel::SetLogSink([this, module](const zor::qel::LogRecord& record) {
      if (module.empty() || record.module == module) records.push_back(record);
    });
  }
  ~LogCapture() { zor::qel::SetLogSink({}); }
  std::vector<zor::qel::LogRecord> records;
};

inline bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
