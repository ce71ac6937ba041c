// IniFileSystem: every file operation of the local INI store (read, stamp, atomic replace, lock)
// behind one interface, so that tests can make any step fail. Thread safety: the POSIX file
// system keeps no state and may be used from several threads at once.
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

// What ReadFile returns for a path that names no regular file nor directory: a FIFO, device or
// socket, whose read could block forever or never end.
constexpr int kNotRegularFile = -1;

// The reason text of an errno value ("No space left on device") or of kNotRegularFile; the only
// place that turns one into text.
std::string ErrorText(int error);

// A fast 64-bit hash of a file's content, to confirm that a file with a new stamp really changed.
uint64_t ContentHash(const char* data, size_t size);

// Every primitive returns 0 on success or an errno value (or kNotRegularFile); out-parameters
// are meaningful only on success. Handles are plain descriptors owned by the caller until Close or
// Unlock.
class IniFileSystem {
 public:
  virtual ~IniFileSystem();

  // Reads the whole file into `*bytes`; `*stamp` is taken from the open file before reading,
  // so a writer racing with the read leaves a stamp that no longer matches. EISDIR for a
  // directory and kNotRegularFile for any other file that is not regular, without blocking.
  virtual int ReadFile(const std::string& path, std::string* bytes, FileStamp* stamp) = 0;
  // The stamp of the file at `path`, following symbolic links.
  virtual int Stat(const std::string& path, FileStamp* stamp) = 0;
  // The file a write to `path` must replace: `path` with symbolic links of its last component
  // followed (a dangling link gives its missing target).
  virtual int ResolveLinks(const std::string& path, std::string* target) = 0;
  // 0 when this process may open the file at `path` for writing (as its effective user), else
  // why not (EACCES, EROFS).
  virtual int CanWrite(const std::string& path) = 0;

  // Creates a new file that must not exist yet, open for writing. With `like`, the file is
  // created no looser than like's permission bits and has exactly them, and like's owner and
  // group (a privileged caller; anyone else gets like's group when a member of it), before the
  // call returns: no other user can open it before the caller writes. Without, it has the
  // process's default bits. On failure no file is left behind.
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
  // Opening it needs write permission only.
  virtual int Lock(const std::string& path, const FileStamp* like, int timeout_ms, int* handle) = 0;
  virtual void Unlock(int handle) = 0;
};

// The real file system of a POSIX system.
class PosixIniFileSystem : public IniFileSystem {
 public:
  int ReadFile(const std::string& path, std::string* bytes, FileStamp* stamp) override;
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

// The process's shared POSIX file system.
std::shared_ptr<IniFileSystem> DefaultIniFileSystem();

// Where a failed atomic write went wrong: the errno value and the file it concerned.
struct WriteFailure {
  int error = 0;
  std::string path;
};

// The file an atomic write made.
struct WrittenFile {
  FileStamp stamp;
  // Whether its modification time was set apart from that of any later version of the file.
  bool stamp_set_apart = false;
};

// Whose temporary files a write makes: the store's own, written only while holding the store's
// lock, or those of a copy written without it.
enum class WriteKind { kStore, kCopy };

// Replaces the file `target` by `bytes` so that a crash at any moment leaves either the old or
// the new content: a new temporary file beside it (named by TemporaryFilePrefix with `kind`,
// which is kStore only while the caller holds target's lock), write, sync, rename over `target`,
// sync the directory. `content_hash` is ContentHash of `bytes`; the file's modification time
// is set back by up to a millisecond depending on it, so that any later version of the file has
// another stamp (a file system that cannot set it, or keeps whole seconds only, leaves
// `stamp_set_apart` false). `like`, when not null, gives the new file its permission bits and
// owner from its creation on (see CreateFile). On success returns true and describes the new
// file, as it stands after the rename, in `*written`; on failure returns false with the cause in
// `*failure`, the old file untouched and the temporary file removed (a step that fails after the
// rename, closing the file or syncing the directory, leaves the new content).
bool WriteFileAtomically(IniFileSystem& files, const std::string& target, const std::string& bytes,
                         uint64_t content_hash, const FileStamp* like, WriteKind kind,
                         WrittenFile* written, WriteFailure* failure);

// The start of the names of the temporary files written for `target`, within its directory;
// the writer's process id, a dot and a sequence number follow it. A copy's names differ from
// the store's own.
std::string TemporaryFilePrefix(const std::string& target, WriteKind kind = WriteKind::kStore);

// Removes every temporary file of the store `target` (kStore names, nothing else).
// REQUIRES: the caller holds the store's lock and has no write of the store under way. Every
// writer of those files holds the lock while they exist, so the files found then were left by
// writers that died, whatever their process ids say (the first process of a container is
// always 1, and ids are reused); a live writer's file cannot be among them.
void RemoveAbandonedTemporaryFiles(IniFileSystem& files, const std::string& target);

// The name of the user with id `uid` ("root"), or "uid <number>" when it has none.
std::string UserName(uint32_t uid);

// The directory part of `path` ("." when it has none) and its last component.
std::string DirectoryOf(const std::string& path);
std::string BaseNameOf(const std::string& path);
