// The Windows implementation of the local store's file system: UTF-8 paths handed to the wide
// API, write-through files moved over the store with MoveFileExW, and the writers' lock taken
// with LockFileEx.
// Thread safety: stateless; usable from several threads at once.
#pragma once

#include <string>
#include <vector>

#include "ini_file_system.h"

// The real file system of Windows. Handles are C runtime descriptors over Windows handles
// (_open_osfhandle), so that the interface's plain ints carry them. Windows errors that have an
// errno equivalent are returned as it; others as kWindowsError plus the Windows error number,
// which ErrorText spells out in the system's words.
class WindowsIniFileSystem : public IniFileSystem {
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
};

// The offset at which a Windows error number without an errno equivalent is returned.
constexpr int kWindowsError = 0x20000000;
