// A file system that passes every call to the platform's own, for tests that change one step of
// it by overriding that step alone.
// Thread safety: as the platform's file system.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ini_file_system.h"

class ForwardingFileSystem : public IniFileSystem {
 public:
  int ReadFile(const std::string& path, uint64_t max_bytes, std::string* bytes,
               FileStamp* stamp) override {
    return files_->ReadFile(path, max_bytes, bytes, stamp);
  }
  int Stat(const std::string& path, FileStamp* stamp) override { return files_->Stat(path, stamp); }
  int ResolveLinks(const std::string& path, std::string* target) override {
    return files_->ResolveLinks(path, target);
  }
  int CanWrite(const std::string& path) override { return files_->CanWrite(path); }
  int CreateFile(const std::string& path, const FileStamp* like, int* handle) override {
    return files_->CreateFile(path, like, handle);
  }
  int Write(int handle, const char* data, size_t size) override {
    return files_->Write(handle, data, size);
  }
  int SetModificationTime(int handle, int64_t mtime_ns) override {
    return files_->SetModificationTime(handle, mtime_ns);
  }
  int Sync(int handle) override { return files_->Sync(handle); }
  int StatHandle(int handle, FileStamp* stamp) override {
    return files_->StatHandle(handle, stamp);
  }
  int Close(int handle) override { return files_->Close(handle); }
  int Rename(const std::string& from, const std::string& to) override {
    return files_->Rename(from, to);
  }
  int Remove(const std::string& path) override { return files_->Remove(path); }
  int SyncDirectory(const std::string& directory) override {
    return files_->SyncDirectory(directory);
  }
  int ListDirectory(const std::string& directory, std::vector<std::string>* names) override {
    return files_->ListDirectory(directory, names);
  }
  int Lock(const std::string& path, const FileStamp* like, int timeout_ms, int* handle) override {
    return files_->Lock(path, like, timeout_ms, handle);
  }
  void Unlock(int handle) override { files_->Unlock(handle); }

 private:
  std::shared_ptr<IniFileSystem> files_ = DefaultIniFileSystem();
};
