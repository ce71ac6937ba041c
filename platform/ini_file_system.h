// IniFileSystem: every file operation of the local INI store (read, stamp, replace, lock) behind
// one interface, so that tests can make any step fail and each platform supplies its own.
// Thread safety: an implementation keeps no state of its own and may be used from several
// threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What identifies one version of a file cheaply: a different stamp means a possibly different
// content, an equal stamp an equal content unless the file changed within its timestamp's
// granularity (the store then confirms with a content hash). The inode change time catches an
// edit in place that kept the size and set the modification time back (`cp -p`): no user can
// set it.
struct FileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t mtime_ns = 0;  // modification time, nanoseconds since the epoch
  int64_t ctime_ns = 0;  // inode change time, nanoseconds since the epoch
  uint32_t mode = 0;     // permission bits; not part of the comparison
  uint32_t owner = 0;    // user and group ids; not part of the comparison
  uint32_t group = 0;
  bool regular = true;  // a regular file, not a directory, FIFO, device or socket; not compared

  bool operator==(const FileStamp& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           mtime_ns == other.mtime_ns && ctime_ns == other.ctime_ns;
  }
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

// What a primitive returns for a path that names something it must not open, besides errno values.
// A FIFO, device or socket, whose read could block forever or never end:
constexpr int kNotRegularFile = -1;
// A symbolic link (on Windows a reparse point) where none is followed:
constexpr int kSymbolicLink = -2;
// A lock file with another name (a hard link) elsewhere, which must not be made the store's:
constexpr int kHardLinked = -3;
// A symbolic link of a user other than the caller and root that leads to a file that user does not
// own, or to none:
constexpr int kForeignLink = -4;
// A file renamed into place that another file took the place of before the rename:
constexpr int kReplacedMeanwhile = -5;
// A file another program holds open without sharing it (Windows):
constexpr int kInUse = -6;
// Part of a file another program has locked with a byte-range lock (Windows):
constexpr int kRangeLocked = -7;

// The reason text of an errno value ("No space left on device") or of the values above; the only
// place that turns one into text.
std::string ErrorText(int error);
// The text of the values above; nullptr for an errno value.
const char* FileKindErrorText(int error);

// Every primitive returns 0 on success or an errno value (or one of the values above);
// out-parameters are meaningful only on success. Handles are plain descriptors owned by the
// caller until Close or Unlock. Only Stat, ResolveLinks, CanWrite and the primitives given a
// directory follow a symbolic link at the last component of their path; none opens anything but
// a regular file (or a directory to sync, list or watch).
class IniFileSystem {
 public:
  virtual ~IniFileSystem();

  // Reads the whole file into `*bytes`; `*stamp` is taken from the open file before reading,
  // so a writer racing with the read leaves a stamp that no longer matches. EISDIR for a
  // directory, kSymbolicLink for a link and kNotRegularFile for any other file that is not
  // regular, without blocking. EFBIG, with `*stamp` set (its size at least what was seen), for a
  // file larger than `max_bytes`: no more than `max_bytes` + 1 bytes are ever read or held.
  virtual int ReadFile(const std::string& path, uint64_t max_bytes, std::string* bytes,
                       FileStamp* stamp) = 0;
  // The stamp of the file at `path`, following symbolic links.
  virtual int Stat(const std::string& path, FileStamp* stamp) = 0;
  // The file a write to `path` must replace: `path` with symbolic links of its last component
  // followed (a dangling link gives its missing target). A link owned by neither the caller nor
  // the superuser is followed only to a file of its own owner: kForeignLink otherwise, so that
  // whoever may plant a link beside the store reaches no file they could not write themselves.
  virtual int ResolveLinks(const std::string& path, std::string* target) = 0;
  // 0 when this process may open the file at `path` for writing (as its effective user), else
  // why not (EACCES, EROFS).
  virtual int CanWrite(const std::string& path) = 0;

  // Creates a new regular file that must not exist yet (nor a link by its name), open for writing.
  // With `like`, the file is created no looser than like's permission bits and has exactly them,
  // and like's owner and group (a privileged caller; anyone else gets like's group when a member of
  // it), before the call returns: no other user can open it before the caller writes. Without, it
  // has the process's default bits. On failure no file is left behind.
  virtual int CreateFile(const std::string& path, const FileStamp* like, int* handle) = 0;
  // Writes all of `data` or fails.
  virtual int Write(int handle, const char* data, size_t size) = 0;
  virtual int SetModificationTime(int handle, int64_t mtime_ns) = 0;
  virtual int Sync(int handle) = 0;
  virtual int StatHandle(int handle, FileStamp* stamp) = 0;
  virtual int Close(int handle) = 0;
  // Atomically replaces `to` by `from`.
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  virtual int Remove(const std::string& path) = 0;
  // Makes the directory's entries (a rename into it) durable.
  virtual int SyncDirectory(const std::string& directory) = 0;
  virtual int ListDirectory(const std::string& directory, std::vector<std::string>* names) = 0;

  // Takes the exclusive lock of the lock file at `path` (created when missing), waiting at most
  // `timeout_ms`; ETIMEDOUT when another holder kept it. The lock belongs to the open file
  // description: it ends when its holder unlocks or dies, and two handles of one process
  // exclude each other. With `like` (the store's stamp) the lock file is made, or made again as
  // far as the caller may, like the store: its read and write bits and its owner and group (as
  // CreateFile), so that whoever may write the store can take its lock, whoever made it first.
  // Opening it needs write permission only. The lock file must be a regular file with no other
  // name: kSymbolicLink, EISDIR, kNotRegularFile (a FIFO never blocks the open) or kHardLinked.
  virtual int Lock(const std::string& path, const FileStamp* like, int timeout_ms, int* handle) = 0;
  virtual void Unlock(int handle) = 0;

  // Watching a file for other writers: Watch starts watching `path` (a file that is replaced by
  // rename, so its directory is watched) and gives a descriptor that polls readable when
  // something in that directory changed. WaitWatch waits up to `timeout_ms` for a change of the
  // entry named like `path`'s last component, consumes what the watch queued and sets
  // `*signalled`. ENOSYS where the platform cannot watch (the base): callers then poll stamps.
  virtual int Watch(const std::string& path, int* handle);
  virtual int WaitWatch(int handle, const std::string& path, int timeout_ms, bool* signalled);
  virtual void CloseWatch(int handle);
};

// The process's shared file system of the platform it runs on.
std::shared_ptr<IniFileSystem> DefaultIniFileSystem();

// The name of the user with id `uid` ("root"), or "uid <number>" when it has none.
std::string UserName(uint32_t uid);

// This process's id, as the platform numbers processes.
uint64_t CurrentProcessId();

// The directory part of `path` ("." when it has none) and its last component, split at the
// platform's separators ("/", and on Windows "\\" too; a drive's root keeps its separator).
std::string DirectoryOf(const std::string& path);
std::string BaseNameOf(const std::string& path);
