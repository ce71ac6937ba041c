// The POSIX file system of the local INI store: open, read, stat, rename, sync and lock.
#include "posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

namespace {

// Longest chain of symbolic links followed before giving up, as the kernel does.
constexpr int kMaxLinkHops = 40;

FileStamp StampOf(const struct stat& status) {
  FileStamp stamp;
  stamp.device = static_cast<uint64_t>(status.st_dev);
  stamp.inode = static_cast<uint64_t>(status.st_ino);
  stamp.size = static_cast<uint64_t>(status.st_size);
  stamp.mtime_ns = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                   static_cast<int64_t>(status.st_mtim.tv_nsec);
  stamp.ctime_ns = static_cast<int64_t>(status.st_ctim.tv_sec) * 1000000000 +
                   static_cast<int64_t>(status.st_ctim.tv_nsec);
  stamp.mode = static_cast<uint32_t>(status.st_mode & 07777);
  stamp.owner = static_cast<uint32_t>(status.st_uid);
  stamp.group = static_cast<uint32_t>(status.st_gid);
  stamp.regular = S_ISREG(status.st_mode);
  return stamp;
}

// Gives the open file `handle` the owner and group of `like`, as far as the caller may, then the
// permission bits `mode` (after the owner: a change of owner may clear set-id bits).
int GiveOwnerAndMode(int handle, const FileStamp& like, mode_t mode) {
  struct stat status;
  if (::fstat(handle, &status) != 0) return errno;
  bool changed_owner = false;
  if (status.st_uid != like.owner || status.st_gid != like.group) {
    if (::geteuid() == 0) {
      if (::fchown(handle, like.owner, like.group) != 0) return errno;
      changed_owner = true;
    } else if (status.st_gid != like.group) {
      // An owner may give its file to a group it belongs to; otherwise the group stays.
      changed_owner = ::fchown(handle, static_cast<uid_t>(-1), like.group) == 0;
    }
  }
  if ((changed_owner || (status.st_mode & 07777) != mode) && ::fchmod(handle, mode) != 0) {
    return errno;
  }
  return 0;
}

// What an open of `path` that failed with `error` found there: a symbolic link refused by
// O_NOFOLLOW, or a FIFO without a reader refused by O_NONBLOCK, is named as such.
int WhatWasFound(const std::string& path, int error) {
  struct stat status;
  if ((error == ELOOP || error == ENXIO) && ::lstat(path.c_str(), &status) == 0) {
    if (S_ISLNK(status.st_mode)) return kSymbolicLink;
    if (!S_ISREG(status.st_mode)) return S_ISDIR(status.st_mode) ? EISDIR : kNotRegularFile;
  }
  return error;
}

// The owner of one open file descriptor, which it closes when it goes: an exception thrown while
// the descriptor is open (a failed allocation) leaves nothing open.
class Descriptor {
 public:
  explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
  ~Descriptor() {
    if (descriptor_ >= 0) ::close(descriptor_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return descriptor_; }
  // Gives the descriptor up to a new owner.
  int release() {
    const int descriptor = descriptor_;
    descriptor_ = -1;
    return descriptor;
  }

 private:
  int descriptor_;
};

// 0 when `status` is of a regular file, else what it is.
int RegularOrWhat(const struct stat& status) {
  if (S_ISREG(status.st_mode)) return 0;
  return S_ISDIR(status.st_mode) ? EISDIR : kNotRegularFile;
}

}  // namespace

std::string ErrorText(int error) {
  if (const char* text = FileKindErrorText(error)) return text;
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be in the buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text;
}

int PosixIniFileSystem::ReadFile(const std::string& path, uint64_t max_bytes, std::string* bytes,
                                 FileStamp* stamp) {
  // Opening a FIFO without O_NONBLOCK waits for a writer, perhaps forever: the file is known to
  // be regular before anything can wait on it.
  const Descriptor handle(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (handle.get() < 0) return WhatWasFound(path, errno);
  struct stat status;
  int error = ::fstat(handle.get(), &status) != 0 ? errno : RegularOrWhat(status);
  if (error == 0) {
    int flags = ::fcntl(handle.get(), F_GETFL);
    if (flags < 0 || ::fcntl(handle.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) error = errno;
  }
  if (error == 0) *stamp = StampOf(status);
  if (error == 0 && stamp->size > max_bytes) error = EFBIG;
  if (error != 0) return error;
  bytes->clear();
  // The file may grow while it is read: read to its end, not to the size seen, but never past
  // the limit (one byte more tells a file that grew beyond it).
  const size_t most = static_cast<size_t>(std::min<uint64_t>(max_bytes, SIZE_MAX - 1)) + 1;
  bytes->resize(std::min(static_cast<size_t>(status.st_size) + 1, most));
  size_t filled = 0;
  for (;;) {
    if (filled == bytes->size()) {
      if (filled == most) {
        stamp->size = std::max<uint64_t>(stamp->size, filled);
        bytes->clear();
        bytes->shrink_to_fit();
        return EFBIG;
      }
      bytes->resize(std::min(bytes->size() * 2, most));
    }
    ssize_t got = ::read(handle.get(), &(*bytes)[filled], bytes->size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  bytes->resize(filled);
  return 0;
}

int PosixIniFileSystem::Stat(const std::string& path, FileStamp* stamp) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return errno;
  *stamp = StampOf(status);
  return 0;
}

int PosixIniFileSystem::ResolveLinks(const std::string& path, std::string* target) {
  std::string current = path;
  // The owner the next hop must have: that of a link owned by neither this process nor root.
  bool owner_required = false;
  uid_t required_owner = 0;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat status;
    if (::lstat(current.c_str(), &status) != 0) {
      if (errno == ENOENT && !owner_required) {
        *target = current;
        return 0;
      }
      return errno == ENOENT ? kForeignLink : errno;
    }
    if (owner_required && status.st_uid != required_owner) return kForeignLink;
    if (!S_ISLNK(status.st_mode)) {
      *target = current;
      return 0;
    }
    owner_required = status.st_uid != 0 && status.st_uid != ::geteuid();
    required_owner = status.st_uid;
    std::string link(static_cast<size_t>(status.st_size) + 1, '\0');
    ssize_t length = ::readlink(current.c_str(), &link[0], link.size());
    if (length < 0) return errno;
    // A link that grew since lstat: look at it again.
    if (static_cast<size_t>(length) >= link.size()) continue;
    link.resize(static_cast<size_t>(length));
    if (link.empty()) return ENOENT;
    current = link[0] == '/' ? link : DirectoryOf(current) + "/" + link;
  }
  return ELOOP;
}

int PosixIniFileSystem::CanWrite(const std::string& path) {
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

int PosixIniFileSystem::CreateFile(const std::string& path, const FileStamp* like, int* handle) {
  // The umask can only take bits away from like's: the file is never looser than `like`, not
  // even before its bits are set exactly.
  const mode_t mode = like != nullptr ? static_cast<mode_t>(like->mode & 0777) : 0666;
  int result = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (result < 0) return errno;
  if (like != nullptr) {
    if (int error = GiveOwnerAndMode(result, *like, static_cast<mode_t>(like->mode & 07777))) {
      ::close(result);
      ::unlink(path.c_str());
      return error;
    }
  }
  *handle = result;
  return 0;
}

int PosixIniFileSystem::Write(int handle, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(handle, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return 0;
}

int PosixIniFileSystem::SetModificationTime(int handle, int64_t mtime_ns) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(mtime_ns / 1000000000);
  times[1].tv_nsec = static_cast<long>(mtime_ns % 1000000000);
  return ::futimens(handle, times) == 0 ? 0 : errno;
}

int PosixIniFileSystem::Sync(int handle) { return ::fsync(handle) == 0 ? 0 : errno; }

int PosixIniFileSystem::StatHandle(int handle, FileStamp* stamp) {
  struct stat status;
  if (::fstat(handle, &status) != 0) return errno;
  *stamp = StampOf(status);
  return 0;
}

int PosixIniFileSystem::Close(int handle) {
  // After close fails the descriptor is gone all the same; never close it twice.
  return ::close(handle) == 0 || errno == EINTR ? 0 : errno;
}

int PosixIniFileSystem::Rename(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int PosixIniFileSystem::Remove(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int PosixIniFileSystem::SyncDirectory(const std::string& directory) {
  // O_DIRECTORY opens nothing else, so nothing that could block.
  int handle = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (handle < 0) return errno;
  int error = ::fsync(handle) == 0 ? 0 : errno;
  ::close(handle);
  return error;
}

int PosixIniFileSystem::ListDirectory(const std::string& directory,
                                      std::vector<std::string>* names) {
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return errno;
  names->clear();
  errno = 0;
  try {
    while (struct dirent* entry = ::readdir(listing)) names->emplace_back(entry->d_name);
  } catch (...) {  // out of memory: the listing and its descriptor are still given back
    ::closedir(listing);
    throw;
  }
  int error = errno;
  ::closedir(listing);
  return error;
}

int PosixIniFileSystem::Lock(const std::string& path, const FileStamp* like, int timeout_ms,
                             int* handle) {
  const mode_t mode = like != nullptr ? static_cast<mode_t>(like->mode & 0666) : 0666;
  // Whoever may write the directory may plant something at the lock file's name: a link is not
  // followed, a FIFO does not block the open, and only a regular file with no other name is
  // locked and given the store's owner and mode.
  int lock_file =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  if (lock_file < 0) return WhatWasFound(path, errno);
  struct stat status;
  int found = ::fstat(lock_file, &status) != 0 ? errno : RegularOrWhat(status);
  if (found == 0 && status.st_nlink != 1) found = kHardLinked;
  if (found != 0) {
    ::close(lock_file);
    return found;
  }
  // Also mends a lock file that an older writer made another user's or looser than the store;
  // where the caller may not, the lock works all the same.
  if (like != nullptr) GiveOwnerAndMode(lock_file, *like, mode);
  struct flock whole_file;
  std::memset(&whole_file, 0, sizeof whole_file);
  whole_file.l_type = F_WRLCK;
  whole_file.l_whence = SEEK_SET;
  // Poll rather than block, so the wait has a bound; short sleeps keep a waiter from missing
  // the moments a busy holder lets go.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  auto pause = std::chrono::microseconds(50);
  for (;;) {
    if (::fcntl(lock_file, F_OFD_SETLK, &whole_file) == 0) {
      *handle = lock_file;
      return 0;
    }
    int error = errno;
    if (error == EINTR) continue;
    if (error != EAGAIN && error != EACCES) {
      ::close(lock_file);
      return error;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::close(lock_file);
      return ETIMEDOUT;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(2000));
  }
}

void PosixIniFileSystem::Unlock(int handle) {
  // Closing the only descriptor of the open file description releases its lock.
  ::close(handle);
}

int PosixIniFileSystem::Watch(const std::string& path, int* handle) {
  Descriptor watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (watch.get() < 0) return errno;
  // Another writer replaces the file by renaming its new version over it; an editor may write
  // it in place, or remove it.
  const uint32_t events = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_ATTRIB |
                          IN_MODIFY | IN_MOVED_FROM | IN_ONLYDIR;
  if (::inotify_add_watch(watch.get(), DirectoryOf(path).c_str(), events) < 0) return errno;
  *handle = watch.release();
  return 0;
}

int PosixIniFileSystem::WaitWatch(int handle, const std::string& path, int timeout_ms,
                                  bool* signalled) {
  const std::string name = BaseNameOf(path);
  *signalled = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    alignas(struct inotify_event) char buffer[16 * (sizeof(struct inotify_event) + 256)];
    for (;;) {
      const ssize_t got = ::read(handle, buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
        if ((event->mask & IN_Q_OVERFLOW) != 0 || (event->len > 0 && name == event->name)) {
          *signalled = true;
        }
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      }
    }
    if (*signalled) return 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    struct pollfd ready = {handle, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno != EINTR) return errno;
  }
}

void PosixIniFileSystem::CloseWatch(int handle) { ::close(handle); }

std::string UserName(uint32_t uid) {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, sizeof buffer, &found) == 0 &&
      found != nullptr) {
    return found->pw_name;
  }
  return "uid " + std::to_string(uid);
}

uint64_t CurrentProcessId() { return static_cast<uint64_t>(::getpid()); }

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::shared_ptr<IniFileSystem> DefaultIniFileSystem() {
  static const std::shared_ptr<IniFileSystem> files = std::make_shared<PosixIniFileSystem>();
  return files;
}
