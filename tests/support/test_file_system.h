// The tests' file system that fails a chosen step, and helpers to look at and edit files as
// other programs would.
// Thread safety: one test's file system is used by one thread at a time.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "forwarding_file_system.h"

// The real file system, but a chosen step fails with a chosen errno, its clock can keep whole
// seconds as some do (an edit within the same second leaves the stamp as it was), and it can be
// unable to set a file's times. It counts whole-file reads and records each new file as its
// creation left it.
class TestFileSystem : public ForwardingFileSystem {
 public:
  enum Step { kNothing, kCreate, kHalfWrite, kSync, kRename, kDirectorySync } fail = kNothing;
  int error = 0;
  bool whole_seconds = false;
  bool fixed_times = false;
  int reads = 0;
  std::vector<FileStamp> created;

  int ReadFile(const std::string& path, uint64_t max_bytes, std::string* bytes,
               FileStamp* stamp) override {
    ++reads;
    return Clock(ForwardingFileSystem::ReadFile(path, max_bytes, bytes, stamp), stamp);
  }
  int Stat(const std::string& path, FileStamp* stamp) override {
    return Clock(ForwardingFileSystem::Stat(path, stamp), stamp);
  }
  int StatHandle(int handle, FileStamp* stamp) override {
    return Clock(ForwardingFileSystem::StatHandle(handle, stamp), stamp);
  }
  int SetModificationTime(int handle, int64_t ns) override {
    return fixed_times ? EPERM : ForwardingFileSystem::SetModificationTime(handle, ns);
  }
  int CreateFile(const std::string& path, const FileStamp* like, int* handle) override {
    if (fail == kCreate) return error;
    int result = ForwardingFileSystem::CreateFile(path, like, handle);
    created.emplace_back();
    if (result == 0) ForwardingFileSystem::StatHandle(*handle, &created.back());
    return result;
  }
  int Write(int handle, const char* data, size_t size) override {
    if (fail != kHalfWrite) return ForwardingFileSystem::Write(handle, data, size);
    ForwardingFileSystem::Write(handle, data, size / 2);
    return error;
  }
  int Sync(int handle) override {
    return fail == kSync ? error : ForwardingFileSystem::Sync(handle);
  }
  int Rename(const std::string& from, const std::string& to) override {
    return fail == kRename ? error : ForwardingFileSystem::Rename(from, to);
  }
  int SyncDirectory(const std::string& directory) override {
    return fail == kDirectorySync ? error : ForwardingFileSystem::SyncDirectory(directory);
  }

 private:
  int Clock(int result, FileStamp* stamp) {
    if (whole_seconds) {
      stamp->mtime_ns -= stamp->mtime_ns % 1000000000;
      stamp->ctime_ns -= stamp->ctime_ns % 1000000000;
    }
    return result;
  }
};

// Rewrites the file in place: same file, same size, only the content differs.
inline void EditInPlace(const std::string& path, const std::string& text) {
  std::fstream(path, std::ios::in | std::ios::out | std::ios::binary) << text;
}

inline FileStamp StampOf(const std::string& path) {
  FileStamp stamp;
  DefaultIniFileSystem()->Stat(path, &stamp);
  return stamp;
}
