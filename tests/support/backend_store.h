// Test stores for backend tests: an in-memory INI store that counts its flushes, and an INI
// connection that logs in on such a store without a file.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "ini.h"
#include "qel_ini_connection.h"

// An INI image kept in memory; FlushIniDataToFile only counts.
class MemoryIni : public Ini {
 public:
  MemoryIni() = default;
  // Replaces the image by the parse of an INI text.
  void Load(const std::string& text) { LoadImage(text, "memory"); }
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
