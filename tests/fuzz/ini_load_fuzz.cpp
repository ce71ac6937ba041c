// libFuzzer target over the local store: any bytes either load or fail with the syntax error, and
// whatever loads survives a flush and a reload unchanged, as does one entry made of the input.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_log.h>
#include "atomic_replace.h"
#include "backup_ini.h"
#include "ini.h"
#include "posix_file_system.h"

namespace {

// A file system in memory: fast, and it never runs out of anything.
class MemoryFileSystem : public IniFileSystem {
 public:
  std::map<std::string, std::string> files;

  int ReadFile(const std::string& path, uint64_t, std::string* bytes, FileStamp* stamp) override {
    auto file = files.find(path);
    if (file == files.end()) return ENOENT;
    *bytes = file->second;
    return Stat(path, stamp);
  }
  int Stat(const std::string& path, FileStamp* stamp) override {
    auto file = files.find(path);
    if (file == files.end()) return ENOENT;
    *stamp = FileStamp();
    stamp->inode = inodes_[path];
    stamp->size = file->second.size();
    stamp->mode = 0644;
    return 0;
  }
  int ResolveLinks(const std::string& path, std::string* target) override {
    *target = path;
    return 0;
  }
  int CanWrite(const std::string&) override { return 0; }
  int CreateFile(const std::string& path, const FileStamp*, int* handle) override {
    if (files.count(path)) return EEXIST;
    files[path];
    inodes_[path] = ++last_inode_;
    *handle = ++last_handle_;
    open_[*handle] = path;
    return 0;
  }
  int Write(int handle, const char* data, size_t size) override {
    files[open_[handle]].append(data, size);
    return 0;
  }
  int SetModificationTime(int, int64_t) override { return 0; }
  int Sync(int) override { return 0; }
  int StatHandle(int handle, FileStamp* stamp) override { return Stat(open_[handle], stamp); }
  int Close(int handle) override {
    open_.erase(handle);
    return 0;
  }
  int Rename(const std::string& from, const std::string& to) override {
    files[to] = std::move(files[from]);
    inodes_[to] = inodes_[from];
    files.erase(from);
    // An open handle follows its file to the new name.
    for (auto& open : open_) {
      if (open.second == from) open.second = to;
    }
    return 0;
  }
  int Remove(const std::string& path) override { return files.erase(path) ? 0 : ENOENT; }
  int SyncDirectory(const std::string&) override { return 0; }
  int ListDirectory(const std::string& directory, std::vector<std::string>* names) override {
    names->clear();
    for (const auto& file : files) {
      if (DirectoryOf(file.first) == directory) names->push_back(BaseNameOf(file.first));
    }
    return 0;
  }
  int Lock(const std::string&, const FileStamp*, int, int* handle) override {
    *handle = 0;
    return 0;
  }
  void Unlock(int) override {}

 private:
  std::map<std::string, uint64_t> inodes_;
  std::map<int, std::string> open_;
  uint64_t last_inode_ = 0;
  int last_handle_ = 0;
};

[[noreturn]] void Fail(const char* why) {
  std::fprintf(stderr, "%s\n", why);
  std::abort();
}

using Snapshot = std::map<std::string, std::map<std::string, std::string>>;

Snapshot Take(const Ini& ini) {
  Snapshot snapshot;
  for (auto group = ini.begin(); group != ini.end(); ++group) {
    const IniEntryMap* entries = ini.GetGroupProperty(group.Name());
    if (entries == nullptr) Fail("a group without entry map");
    auto& copy = snapshot[(*group).GetName()];
    for (const auto& entry : *entries) copy[entry.first] = entry.second;
  }
  return snapshot;
}

const char kPath[] = "/memory/store.ini";

// Loads what a flush wrote, which must always load: a failure names the step and stops.
std::unique_ptr<BackupIni> Reload(const std::shared_ptr<MemoryFileSystem>& files,
                                  const char* step) {
  try {
    return std::make_unique<BackupIni>(kPath, files);
  } catch (const QELError& error) {
    std::fprintf(stderr, "%s: ", error.What().c_str());
    Fail(step);
  }
}

}  // namespace

// Bad inputs are expected by the thousand: keep their log records out of the fuzzer's output.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zor::qel::SetLogSink([](const zor::qel::LogRecord&) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto files = std::make_shared<MemoryFileSystem>();
  const std::string input(reinterpret_cast<const char*>(data), size);
  files->files[kPath] = input;
  std::unique_ptr<BackupIni> ini;
  try {
    ini = std::make_unique<BackupIni>(kPath, files);
  } catch (const QELError& error) {
    if (error.Code() != kIniBadSyntax)
      Fail("a load failed with an error other than the syntax error");
    return 0;
  }
  const Snapshot loaded = Take(*ini);
  ini->FlushIniDataToFile("");
  const std::string written = files->files[kPath];
  std::unique_ptr<BackupIni> reloaded = Reload(files, "a flushed file does not load back");
  if (Take(*reloaded) != loaded) Fail("a flushed file loads back different");

  // The input itself as a group name, an entry name and a value must come back byte for byte.
  const size_t third = size / 3;
  const std::string group = input.substr(0, third);
  const std::string key = input.substr(third, third);
  const std::string value = input.substr(2 * third);
  if (key.empty()) return 0;
  reloaded->SetKeyValue(group, key, value);
  Snapshot expected = Take(*reloaded);
  reloaded->FlushIniDataToFile("");
  std::unique_ptr<BackupIni> again =
      Reload(files, "a file with the input as an entry does not load back");
  if (Take(*again) != expected) Fail("a file with the input as an entry loads back different");
  const IniEntryMap* entries = again->GetGroupProperty(group);
  if (entries == nullptr || entries->count(key) != 1 || entries->find(key)->second != value) {
    Fail("the input as an entry does not come back");
  }
  return 0;
}
