// The POSIX implementation of the local store's file system.
// Thread safety: stateless; usable from several threads at once.
#pragma once

#include <string>
#include <vector>

#include "ini_file_system.h"

// The real file system of a POSIX system.
class PosixIniFileSystem : public IniFileSystem {
 public:
  int ReadFile(const std::string& path, uint64_t max_bytes, std::string* bytes,
               FileStamp* stamp) override;
  int Stat(const std::string& path, FileStamp* stamp) override;
  int ResolveLinks(const std::string& path, std::string* target) override;
  int CanWrite(const std::string& path) override;
  int CreateFile(const std::string& path, const FileStamp* like, int* handle) override;
  int Write(int handle, const char* data, size_t size) override;
  int SetModificationTime(int handle, int64_t mtime_ns) override;
  int Sync(int handle) override;
  int StatHandle(int handle, FileStamp* stamp) override;
  int Close(int handle) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Remove(const std::string& path) override;
  int SyncDirectory(const std::string& directory) override;
  int ListDirectory(const std::string& directory, std::vector<std::string>* names) override;
  int Lock(const std::string& path, const FileStamp* like, int timeout_ms, int* handle) override;
  void Unlock(int handle) override;
  int Watch(const std::string& path, int* handle) override;
  int WaitWatch(int handle, const std::string& path, int timeout_ms, bool* signalled) override;
  void CloseWatch(int handle) override;
};
