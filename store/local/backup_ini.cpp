// BackupIni: the INI store over a local file. Loads it whole, and writes it back atomically under
// the store's lock, first merging what other writers put in the file meanwhile.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_log.h>
#include "atomic_replace.h"
#include "backup_ini.h"
#include "ini_file_system.h"

namespace {

constexpr int kDefaultLockTimeoutMs = 10000;
// A file modified this shortly before its stamp was taken may be modified again within the same
// tick of the file system's clock without a visible change of stamp: its content is then
// confirmed by hash.
constexpr int64_t kRacyWindowNs = 3000000000;
constexpr const char* kSourceFile = "store/local/backup_ini";

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The bound on the wait for the store's lock: QEL_LOCK_TIMEOUT_MS when set to a number.
int LockTimeoutMs() {
  const char* text = std::getenv("QEL_LOCK_TIMEOUT_MS");
  if (text == nullptr || *text == '\0') return kDefaultLockTimeoutMs;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 0 || value > 3600000) return kDefaultLockTimeoutMs;
  return static_cast<int>(value);
}

// The bound on the size of the store's file, as remote stores bound an answer: 256 MiB, or
// QEL_LOCAL_MAX_BYTES bytes when set.
constexpr uint64_t kDefaultMaxBytes = uint64_t{256} << 20;
constexpr const char* kMaxBytesVariable = "QEL_LOCAL_MAX_BYTES";

// QEL_LOCAL_MAX_BYTES, or the default; a malformed setting fails the login of `path`, naming it.
uint64_t MaxBytes(const std::string& path) {
  const char* text = std::getenv(kMaxBytesVariable);
  if (text == nullptr || *text == '\0') return kDefaultMaxBytes;
  char* end = nullptr;
  errno = 0;
  const long long bytes = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || bytes <= 0) {
    throw QELError("cannot read " + zor::qel::MaskCredentials(path) + ": " + kMaxBytesVariable +
                       " must be a number of bytes above 0, not \"" + text + "\"",
                   kIniReadFailed, kIniFacility, kSourceFile, __LINE__);
  }
  return static_cast<uint64_t>(bytes);
}

// Why a read failed: for a file over the limit, its size, the limit and what raises it.
std::string ReadFailure(int error, const FileStamp& seen, uint64_t max_bytes) {
  if (error != EFBIG) return ErrorText(error);
  return "the file is " + std::to_string(seen.size) + " bytes, larger than the limit of " +
         std::to_string(max_bytes) + " bytes set by " + kMaxBytesVariable;
}

// How often a store whose directory cannot be watched looks at its file's stamp while waiting.
constexpr int kPollIntervalMs = 100;

[[noreturn]] void ThrowReadError(const std::string& path, const std::string& reason, int error,
                                 long line) {
  throw QELError("cannot read " + zor::qel::MaskCredentials(path) + ": " + reason,
                 error == ENOENT || error == ENOTDIR ? kIniFileNotFound : kIniReadFailed,
                 kIniFacility, kSourceFile, line);
}

[[noreturn]] void ThrowFlushError(IniErrorNumber code, const std::string& path,
                                  const std::string& reason, long line) {
  throw QELError("cannot write " + zor::qel::MaskCredentials(path) + ": " + reason, code,
                 kIniFacility, kSourceFile, line);
}

// Permission bits in the octal form ls shows them in: "0644".
std::string ModeText(uint32_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Why the lock file `lock` cannot be taken: for one that exists but may not be opened, whose it
// is.
std::string LockFailure(IniFileSystem& files, const std::string& lock, int error) {
  FileStamp stamp;
  if ((error == EACCES || error == EPERM) && files.Stat(lock, &stamp) == 0) {
    return "the lock file " + lock + " (owner " + UserName(stamp.owner) + ", mode " +
           ModeText(stamp.mode) +
           ") cannot be opened for writing by this process: " + ErrorText(error);
  }
  return "cannot lock " + lock + ": " + ErrorText(error);
}

// Holds the store's lock for one flush.
class LockHold {
 public:
  LockHold(IniFileSystem& files, int handle) : files_(files), handle_(handle) {}
  ~LockHold() { files_.Unlock(handle_); }
  LockHold(const LockHold&) = delete;
  LockHold& operator=(const LockHold&) = delete;

 private:
  IniFileSystem& files_;
  int handle_;
};

}  // namespace

struct BackupIni::FileState {
  FileStamp stamp;  // of the file as this store last read or wrote it
  // ContentHash of its content; unknown after a write whose stamp was set apart, which a later
  // version cannot share (such a version is then merged whatever its content).
  std::optional<uint64_t> hash;
  bool trusted = false;  // whether an equal stamp proves an equal content
  int lock_timeout_ms = kDefaultLockTimeoutMs;
  uint64_t max_bytes = kDefaultMaxBytes;
  int watch = -1;             // the directory watch, once started
  std::string watched;        // the file it watches, symbolic links resolved
  bool watch_failed = false;  // the platform cannot watch: poll stamps instead

  // A file read: its stamp proves its content only once the clock has moved well past its
  // last change, so that no later change can share it.
  void RememberRead(const FileStamp& seen, uint64_t content_hash, int64_t seen_before_ns) {
    stamp = seen;
    hash = content_hash;
    trusted = seen_before_ns - std::max(seen.mtime_ns, seen.ctime_ns) > kRacyWindowNs;
  }
  // A file this store wrote: trusted when its modification time was set apart from that of any
  // later version.
  void RememberWrite(const WrittenFile& written) {
    stamp = written.stamp;
    hash = written.content_hash;
    trusted = !written.content_hash;
  }
};

BackupIni::BackupIni(const std::string& path) : BackupIni(path, DefaultIniFileSystem()) {}

BackupIni::BackupIni(const std::string& path, std::shared_ptr<IniFileSystem> files)
    : path_(path),
      files_(files ? std::move(files) : DefaultIniFileSystem()),
      state_(std::make_unique<FileState>()) {
  state_->lock_timeout_ms = LockTimeoutMs();
  state_->max_bytes = MaxBytes(path_);
  std::string bytes;
  FileStamp stamp;
  int64_t before = NowNs();
  std::string target;
  int error = files_->ResolveLinks(path_, &target);
  if (error == 0) error = files_->ReadFile(target, state_->max_bytes, &bytes, &stamp);
  if (error != 0)
    ThrowReadError(path_, ReadFailure(error, stamp, state_->max_bytes), error, __LINE__);
  state_->RememberRead(stamp, ContentHash(bytes.data(), bytes.size()), before);
  LoadImage(std::move(bytes), path_);
}

BackupIni::~BackupIni() {
  if (state_->watch >= 0) files_->CloseWatch(state_->watch);
}

bool BackupIni::Refresh(IniChanges* changed) {
  // Stat follows symbolic links: one system call when nothing changed. The read follows them
  // only as far as ResolveLinks trusts them.
  FileStamp current;
  if (int error = files_->Stat(path_, &current)) {
    ThrowReadError(path_, ErrorText(error), error, __LINE__);
  }
  if (!current.regular)
    ThrowReadError(path_, ErrorText(kNotRegularFile), kNotRegularFile, __LINE__);
  if (current == state_->stamp && state_->trusted) return false;
  std::string bytes;
  const int64_t before = NowNs();
  std::string target;
  int error = files_->ResolveLinks(path_, &target);
  if (error == 0) error = files_->ReadFile(target, state_->max_bytes, &bytes, &current);
  if (error != 0) {
    ThrowReadError(path_, ReadFailure(error, current, state_->max_bytes), error, __LINE__);
  }
  const uint64_t hash = ContentHash(bytes.data(), bytes.size());
  if (hash == state_->hash) {
    state_->RememberRead(current, hash, before);
    return false;
  }
  const bool differs = MergeOnto(std::move(bytes), path_, changed);
  state_->RememberRead(current, hash, before);
  return differs;
}

void BackupIni::ForgetRead() {
  state_->hash.reset();
  state_->trusted = false;
}

bool BackupIni::StartWatch() {
  if (state_->watch >= 0) return true;
  if (state_->watch_failed) return false;
  if (files_->ResolveLinks(path_, &state_->watched) != 0 ||
      files_->Watch(state_->watched, &state_->watch) != 0) {
    state_->watch = -1;
    state_->watch_failed = true;
    return false;
  }
  return true;
}

bool BackupIni::WaitForChange(int timeout_ms) {
  if (StartWatch()) {
    bool signalled = false;
    if (files_->WaitWatch(state_->watch, state_->watched, timeout_ms, &signalled) == 0) {
      return signalled;
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    FileStamp current;  // Stat follows links
    if (files_->Stat(path_, &current) != 0 || current != state_->stamp) return true;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        left, std::chrono::milliseconds(kPollIntervalMs)));
  }
}

int BackupIni::ChangeDescriptor() { return StartWatch() ? state_->watch : -1; }

void BackupIni::FlushIniDataToFile(const std::string& file) {
  if (!file.empty()) {
    ThrowFlushError(kIniWriteFailed, file, "a store writes only its own file", __LINE__);
  }
  std::string target;
  if (int error = files_->ResolveLinks(path_, &target)) {
    ThrowFlushError(kIniWriteFailed, path_, ErrorText(error), __LINE__);
  }

  // The store as it stands: refused when it is no regular file or read-only, and what the lock
  // file made beside it is made like.
  FileStamp existing;
  const bool existed = files_->Stat(target, &existing) == 0;
  // A FIFO or device in the store's place is no store to replace, nor to read back.
  if (existed && !existing.regular) {
    ThrowFlushError(kIniWriteFailed, path_, "it is not a regular file", __LINE__);
  }
  // The rename would replace a file whatever its mode says, the directory being writable: a
  // store nobody may write, or this process may not, is refused instead.
  if (existed && (existing.mode & 0222) == 0) {
    ThrowFlushError(kIniWriteFailed, path_,
                    "the file is read-only (mode " + ModeText(existing.mode) + ")", __LINE__);
  }
  if (int denied = existed ? files_->CanWrite(target) : 0) {
    ThrowFlushError(kIniWriteFailed, path_,
                    "the file is read-only for this process: " + ErrorText(denied), __LINE__);
  }
  const std::string lock = target + ".lock";
  int lock_handle = -1;
  if (int error = files_->Lock(lock, existed ? &existing : nullptr, state_->lock_timeout_ms,
                               &lock_handle)) {
    if (error == ETIMEDOUT) {
      ThrowFlushError(kIniLocked, path_,
                      "the store is locked by another writer (waited " +
                          std::to_string(state_->lock_timeout_ms) + " ms)",
                      __LINE__);
    }
    ThrowFlushError(kIniWriteFailed, path_, LockFailure(*files_, lock, error), __LINE__);
  }
  LockHold hold(*files_, lock_handle);

  // Stamps are taken before contents are read: a writer racing with the read leaves a stamp
  // that no longer matches, so the next flush looks again.
  FileStamp current;
  int error = files_->Stat(target, &current);
  if (error != 0 && error != ENOENT)
    ThrowFlushError(kIniWriteFailed, path_, ErrorText(error), __LINE__);
  bool exists = error == 0;
  if (exists && (current != state_->stamp || !state_->trusted)) {
    std::string bytes;
    int64_t before = NowNs();
    if (int read_error = files_->ReadFile(target, state_->max_bytes, &bytes, &current)) {
      ThrowFlushError(kIniWriteFailed, path_,
                      "cannot read it back: " + ReadFailure(read_error, current, state_->max_bytes),
                      __LINE__);
    }
    const uint64_t hash = ContentHash(bytes.data(), bytes.size());
    if (hash != state_->hash) {  // also when the hash of the file last written is unknown
      try {
        MergeOnto(std::move(bytes), path_);
      } catch (const QELError& error) {
        if (error.Facility() != kIniFacility) throw;  // a replayed change refused: it says why
        const int number = static_cast<int>(error.Code());
        ThrowFlushError(static_cast<IniErrorNumber>(number), path_,
                        "another writer changed it into a file that cannot be merged: " +
                            ExceptionNumberToString(number),
                        __LINE__);
      }
    }
    state_->RememberRead(current, hash, before);
  }

  // The image goes out piece by piece, untouched runs straight from the bytes it was read
  // from: no copy of the whole file is made.
  WrittenFile written;
  WriteFailure failure;
  const ContentPieces content = [this](const std::function<void(std::string_view)>& piece) {
    ForEachImagePiece(piece);
  };
  // A store gone since it was looked at before the lock (removed, or a dangling link put in its
  // place) is made again like the one seen then, not the writer's own.
  const FileStamp* like = exists ? &current : existed ? &existing : nullptr;
  if (!WriteFileAtomically(*files_, target, content, like, &written, &failure)) {
    ThrowFlushError(kIniWriteFailed, path_, ErrorText(failure.error), __LINE__);
  }
  state_->RememberWrite(written);
  ClearJournal();
  RemoveAbandonedTemporaryFiles(*files_, target);
}
