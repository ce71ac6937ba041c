// Test stores for backend tests: an in-memory INI store that counts its flushes.
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
