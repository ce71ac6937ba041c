// Helpers for backend tests: an in-memory INI store, its connection and a log capture.
#include "backend_store.h"

void MemoryIni::AddGroup(const std::string& group,
                         std::initializer_list<std::pair<std::string, std::string>> entries) {
  InsertNewGroup(group);
  for (const auto& entry : entries) SetKeyValue(group, entry.first, entry.second);
}

void MemoryIni::FlushIniDataToFile(const std::string&) { ++flushes; }

MemoryIniConnection::MemoryIniConnection() : memory_(new MemoryIni()) {
  Adopt(memory_, "tester", "memory");
}

LogCapture::LogCapture(const std::string& module) {
  SetLogSink([this, module](const LogRecord& record) {
    if (module.empty() || record.module == module) records.push_back(record);
  });
}

LogCapture::~LogCapture() { SetLogSink({}); }

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
