// The atomic replace of a store's file: a temporary file beside it, written, synced and renamed
// over it, then the directory synced; and the removal of temporary files writers left behind.
#include "atomic_replace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <random>
#include <vector>

namespace {

// How far back a written file's modification time is set, at most, in nanoseconds.
constexpr uint64_t kStampSpreadNs = 1000000;

bool AllDigits(const std::string& text, size_t begin, size_t end) {
  if (begin >= end) return false;
  for (size_t i = begin; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// Writes a content as it is produced: pieces of at least half its buffer go straight to the
// file, smaller ones are gathered first, so that the writes are few and large and no copy of
// the whole content is ever made. After a failed write it only remembers the error.
class PieceWriter {
 public:
  PieceWriter(IniFileSystem& files, int handle) : files_(files), handle_(handle) {
    gathered_.reserve(kGather);
  }
  void Add(std::string_view piece) {
    if (error_ != 0) return;
    if (piece.size() >= kGather / 2) {
      // What was gathered goes out first, or the piece would land before it.
      Drain();
      if (error_ == 0) error_ = files_.Write(handle_, piece.data(), piece.size());
      return;
    }
    if (gathered_.size() + piece.size() > kGather) Drain();
    gathered_.append(piece);
  }
  // Writes what is gathered; 0 or the first error.
  int Finish() {
    Drain();
    return error_;
  }

 private:
  static constexpr size_t kGather = 64 * 1024;
  void Drain() {
    if (error_ == 0 && !gathered_.empty()) {
      error_ = files_.Write(handle_, gathered_.data(), gathered_.size());
    }
    gathered_.clear();
  }

  IniFileSystem& files_;
  int handle_;
  std::string gathered_;
  int error_ = 0;
};

// The temporary file of one write, open: closed however the write ends, and removed unless it
// took the target's place. Neither step allocates (on Windows, for a path of usual length), so a
// write that ran out of memory leaves no file nor handle behind.
class TemporaryFile {
 public:
  TemporaryFile(IniFileSystem& files, std::string path, int handle)
      : files_(files), path_(std::move(path)), handle_(handle) {}
  ~TemporaryFile() {
    Close();
    if (placed_) return;
    try {
      files_.Remove(path_);
    } catch (const std::bad_alloc&) {
      // A path too long to remove without memory: the next write's cleanup removes the file.
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int handle() const { return handle_; }
  const std::string& path() const { return path_; }
  // After the rename over the target: the file is the target's now and stays.
  void Placed() { placed_ = true; }
  // 0, or the error of closing it; closes it once.
  int Close() {
    if (handle_ < 0) return 0;
    const int error = files_.Close(handle_);
    handle_ = -1;
    return error;
  }

 private:
  IniFileSystem& files_;
  const std::string path_;
  int handle_;
  bool placed_ = false;
};

}  // namespace

std::string TemporaryFilePrefix(const std::string& target) {
  return "." + BaseNameOf(target) + ".qeltmp.";
}

bool WriteFileAtomically(IniFileSystem& files, const std::string& target,
                         const ContentPieces& content, const FileStamp* like, WrittenFile* written,
                         WriteFailure* failure) {
  const std::string directory = DirectoryOf(target);
  const std::string prefix =
      directory + "/" + TemporaryFilePrefix(target) + std::to_string(CurrentProcessId()) + ".";
  std::string temporary;
  int handle = -1;
  int error = EEXIST;
  uint64_t serial = 0;
  // A random number ends the name, so that nobody can plant a file or link by it in advance;
  // CreateFile neither opens nor follows what exists. A name taken all the same: try another.
  std::random_device random;
  for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
    serial = (static_cast<uint64_t>(random()) << 32) ^ random();
    temporary = prefix + std::to_string(serial);
    error = files.CreateFile(temporary, like, &handle);
  }
  if (error != 0) {
    *failure = {error, temporary};
    return false;
  }
  TemporaryFile file(files, std::move(temporary), handle);
  bool set_apart = false;
  PieceWriter writer(files, handle);
  content([&writer](std::string_view piece) { writer.Add(piece); });
  error = writer.Finish();
  // Any later change of the file gets a modification time at least that of this write: set
  // this file's a little earlier, by an amount that differs from one write to the next (this
  // process's id, the name's random number and the time, mixed), and its stamp then differs from
  // that of every later version. Where that fails the stamp is only not set apart.
  if (error == 0) error = files.StatHandle(handle, &written->stamp);
  if (error == 0) {
    const uint64_t mixed[2] = {serial ^ (CurrentProcessId() << 32),
                               static_cast<uint64_t>(written->stamp.mtime_ns)};
    const uint64_t spread =
        ContentHash(reinterpret_cast<const char*>(mixed), sizeof mixed) % kStampSpreadNs;
    set_apart = files.SetModificationTime(
                    handle, written->stamp.mtime_ns - 1 - static_cast<int64_t>(spread)) == 0;
  }
  if (error == 0) error = files.Sync(handle);
  if (error == 0) error = files.Rename(file.path(), target);
  if (error != 0) {
    file.Close();
    *failure = {error, target};
    return false;
  }
  file.Placed();
  // The rename changes the file's inode change time on most file systems: the stamp is taken
  // after it, from the file this write made, whatever `target` names by now. A rename never
  // moves a file to another device, and some systems (Wine) no longer name the device of a file
  // renamed under an open handle: the device is the one seen before.
  const uint64_t device = written->stamp.device;
  error = files.StatHandle(handle, &written->stamp);
  written->stamp.device = device;
  // Whoever may write the directory may have put another file in the temporary file's place:
  // the write succeeded only when `target` now names the file this write made.
  FileStamp named;
  if (error == 0 && (files.Stat(target, &named) != 0 || named.inode != written->stamp.inode)) {
    error = kReplacedMeanwhile;
  }
  int close_error = file.Close();
  if (error == 0) error = close_error;
  if (error != 0) {
    *failure = {error, target};
    return false;
  }
  // A clock of whole seconds puts every version written within one second at the same time.
  if (written->stamp.mtime_ns % 1000000000 == 0) set_apart = false;
  error = files.SyncDirectory(directory);
  if (error != 0) {
    *failure = {error, directory};
    return false;
  }
  written->content_hash.reset();
  if (!set_apart) {
    ContentHasher hasher;
    content([&hasher](std::string_view piece) { hasher.Add(piece.data(), piece.size()); });
    written->content_hash = hasher.Finish();
  }
  return true;
}

void RemoveAbandonedTemporaryFiles(IniFileSystem& files, const std::string& target) {
  const std::string directory = DirectoryOf(target);
  const std::string prefix = TemporaryFilePrefix(target);
  std::vector<std::string> names;
  if (files.ListDirectory(directory, &names) != 0) return;
  for (const std::string& name : names) {
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    // Exactly "<prefix><pid>.<number>": anything else is not ours to touch.
    size_t dot = name.find('.', prefix.size());
    if (dot == std::string::npos || !AllDigits(name, prefix.size(), dot) ||
        !AllDigits(name, dot + 1, name.size()) || dot - prefix.size() > 9) {
      continue;
    }
    files.Remove(directory + "/" + name);
  }
}
