// Helpers for backend tests: an in-memory INI store that counts its flushes, an INI connection
// logged in on one, and a capture of log records.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "ini.h"
#include "qel_ini_connection.h"
#include "qel_log.h"

// An INI image kept in memory; FlushIniDataToFile only counts.
class MemoryIni : public Ini {
 public:
  // Adds a group with the given entries (entry texts are stored as given).
  void AddGroup(const std::string& group,
                std::initializer_list<std::pair<std::string, std::string>> entries = {});
  void FlushIniDataToFile(const std::string& file) override;
  int flushes = 0;
};

// An INI connection whose store is a MemoryIni owned by the connection's holder.
class MemoryIniConnection : public QELIniConnection {
 public:
  MemoryIniConnection();
  MemoryIni& Memory() { return *memory_; }

 private:
  MemoryIni* memory_;  // owned by the store holder
};

// Captures the records of one module ("" for all) while it lives.
class LogCapture {
 public:
  explicit LogCapture(const std::string& module = "");
  ~LogCapture();
  std::vector<LogRecord> records;
};

bool EndsWith(const std::string& text, const std::string& tail);
