// The Windows file system of the local INI store: open, read, stat, replace, flush and lock
// through the wide-character API, with every path given and returned in UTF-8.
#include <windows.h>
// windows.h names CreateFileW CreateFile; the interface's CreateFile is meant here.
#undef CreateFile

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

#include "windows_file_system.h"
#include "windows_handle.h"
#include "windows_text.h"

namespace {

// Between 1601-01-01, where Windows counts file times from, and the Unix epoch, in 100 ns.
constexpr int64_t kEpochOffset = 116444736000000000LL;
// Every share mode: readers, writers and a rename or delete by another writer never wait on a
// handle of this store.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// How long a rename over the store waits for other processes to close it.
constexpr int kRenameWaitMs = 5000;
// The longest path, in bytes, that Remove widens without allocating.
constexpr size_t kStackPathLength = 1024;

// The errno value of a Windows error, or kWindowsError plus the error.
int ErrorOf(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_LOCK_VIOLATION:
      return kRangeLocked;
    case ERROR_SHARING_VIOLATION:
      return kInUse;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_NO_UNICODE_TRANSLATION:
      return EINVAL;
    default:
      return kWindowsError + static_cast<int>(error & 0xFFFFFF);
  }
}

int LastError() { return ErrorOf(::GetLastError()); }

// Opens `path` with ::CreateFileW into `*file`; on failure returns the error and leaves `*file`
// invalid.
int Open(const std::string& path, DWORD access, DWORD disposition, DWORD flags, FileHandle* file) {
  file->reset();
  std::wstring wide;
  if (!WidenUtf8(path, &wide)) return EINVAL;
  file->reset(::CreateFileW(wide.c_str(), access, kShareAll, nullptr, disposition, flags, nullptr));
  return file->valid() ? 0 : LastError();
}

// Wraps `file` in a C runtime descriptor, which then owns it.
int Adopt(FileHandle* file, int* handle) {
  const int descriptor = ::_open_osfhandle(reinterpret_cast<intptr_t>(file->get()), _O_BINARY);
  if (descriptor < 0) return EMFILE;
  file->release();
  *handle = descriptor;
  return 0;
}

HANDLE HandleOf(int handle) { return reinterpret_cast<HANDLE>(::_get_osfhandle(handle)); }

int64_t NanosecondsOf(LARGE_INTEGER file_time) { return (file_time.QuadPart - kEpochOffset) * 100; }

int StampOf(HANDLE file, FileStamp* stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO basic;
  if (!::GetFileInformationByHandle(file, &info) ||
      !::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
    return LastError();
  }
  *stamp = FileStamp();
  stamp->device = info.dwVolumeSerialNumber;
  stamp->inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  stamp->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp->mtime_ns = NanosecondsOf(basic.LastWriteTime);
  stamp->ctime_ns = NanosecondsOf(basic.ChangeTime);
  // The read-only attribute is what Windows has of permission bits; the ACL stays with the file.
  stamp->mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
  stamp->regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                   ::GetFileType(file) == FILE_TYPE_DISK;
  return 0;
}

// A path as Windows hands it back ("\\?\C:\x"), in the form a program writes it ("C:\x").
std::string WithoutVerbatimPrefix(std::string path) {
  if (path.compare(0, 8, "\\\\?\\UNC\\") == 0) return "\\\\" + path.substr(8);
  if (path.compare(0, 4, "\\\\?\\") == 0) return path.substr(4);
  return path;
}

// Where the directory part of `path` ends: its last separator, or npos.
size_t LastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

// 0 when the open `file` is a regular file with no reparse point (a symbolic link or junction
// opened as itself), else what it is.
int RegularOrWhat(HANDLE file) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (::GetFileType(file) != FILE_TYPE_DISK) return kNotRegularFile;
  if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) {
    return LastError();
  }
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kSymbolicLink;
  return (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EISDIR : 0;
}

}  // namespace

std::string ErrorText(int error) {
  if (const char* text = FileKindErrorText(error)) return text;
  if (error < kWindowsError) return std::strerror(error);
  const DWORD code = static_cast<DWORD>(error - kWindowsError);
  const std::string words = WindowsErrorWords(code);
  return (words.empty() ? "Windows error" : words) + " (Windows error " + std::to_string(code) +
         ")";
}

int WindowsIniFileSystem::ReadFile(const std::string& path, uint64_t max_bytes, std::string* bytes,
                                   FileStamp* stamp) {
  // Opened for backup, a directory opens too and is told apart below; a reparse point is opened as
  // itself, not followed; a pipe or device is refused before anything can wait on it.
  FileHandle file;
  if (int error = Open(path, GENERIC_READ, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, &file)) {
    return error;
  }
  if (int error = RegularOrWhat(file.get())) return error;
  if (int error = StampOf(file.get(), stamp)) return error;
  if (stamp->size > max_bytes) return EFBIG;
  bytes->clear();
  // The file may grow while it is read: read to its end, not to the size seen, but never past
  // the limit (one byte more tells a file that grew beyond it).
  const size_t most = static_cast<size_t>(std::min<uint64_t>(max_bytes, SIZE_MAX - 1)) + 1;
  bytes->resize(std::min(static_cast<size_t>(stamp->size) + 1, most));
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
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes->size() - filled, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(file.get(), &(*bytes)[filled], want, &got, nullptr)) return LastError();
    if (got == 0) break;
    filled += got;
  }
  bytes->resize(filled);
  return 0;
}

int WindowsIniFileSystem::Stat(const std::string& path, FileStamp* stamp) {
  FileHandle file;
  if (int error =
          Open(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, &file)) {
    return error;
  }
  return StampOf(file.get(), stamp);
}

int WindowsIniFileSystem::ResolveLinks(const std::string& path, std::string* target) {
  std::wstring wide;
  if (!WidenUtf8(path, &wide)) return EINVAL;
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  // Only a symbolic link (a reparse point) is resolved: any other path stays as it was given.
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    *target = path;
    return 0;
  }
  FileHandle file;
  if (int error =
          Open(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, &file)) {
    return error;
  }
  std::wstring final_path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetFinalPathNameByHandleW(
        file.get(), &final_path[0], static_cast<DWORD>(final_path.size()), FILE_NAME_NORMALIZED);
    if (length == 0) return LastError();
    if (length < final_path.size()) {
      *target = WithoutVerbatimPrefix(NarrowToUtf8(final_path.data(), length));
      return 0;
    }
    final_path.resize(length + 1);
  }
}

int WindowsIniFileSystem::CanWrite(const std::string& path) {
  std::wstring wide;
  if (!WidenUtf8(path, &wide)) return EINVAL;
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return EACCES;
  // Whether the ACL lets this process write: opened for writing and closed at once, unchanged.
  FileHandle file;
  const int error = Open(path, GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, &file);
  // A program holding the file open without sharing it does not make it read-only.
  return error == kInUse ? 0 : error;
}

int WindowsIniFileSystem::CreateFile(const std::string& path, const FileStamp* like, int* handle) {
  // Windows keeps permissions in the ACL, which the new file inherits from its directory; of
  // `like` only the read-only attribute would matter, and a read-only store is never replaced.
  (void)like;
  FileHandle file;
  if (int error = Open(
          path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW,
          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OPEN_REPARSE_POINT, &file)) {
    return error;
  }
  return Adopt(&file, handle);
}

int WindowsIniFileSystem::Write(int handle, const char* data, size_t size) {
  HANDLE file = HandleOf(handle);
  while (size > 0) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(file, data, want, &written, nullptr)) return LastError();
    if (written == 0) return EIO;
    data += written;
    size -= written;
  }
  return 0;
}

int WindowsIniFileSystem::SetModificationTime(int handle, int64_t mtime_ns) {
  const int64_t ticks = mtime_ns / 100 + kEpochOffset;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
  time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  return ::SetFileTime(HandleOf(handle), nullptr, nullptr, &time) ? 0 : LastError();
}

int WindowsIniFileSystem::Sync(int handle) {
  return ::FlushFileBuffers(HandleOf(handle)) ? 0 : LastError();
}

int WindowsIniFileSystem::StatHandle(int handle, FileStamp* stamp) {
  return StampOf(HandleOf(handle), stamp);
}

int WindowsIniFileSystem::Close(int handle) { return ::_close(handle) == 0 ? 0 : errno; }

int WindowsIniFileSystem::Rename(const std::string& from, const std::string& to) {
  std::wstring wide_from;
  std::wstring wide_to;
  if (!WidenUtf8(from, &wide_from) || !WidenUtf8(to, &wide_to)) return EINVAL;
  // The file replaced keeps its attributes (hidden, system, not indexed) on the new content.
  // ReplaceFileW would keep its ACL too, but refuses a replacement that is still open, as the
  // new file is until its stamp is taken: the new file has its directory's inherited ACL.
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const DWORD attributes = ::GetFileAttributesW(wide_to.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kept) != 0) {
    ::SetFileAttributesW(wide_from.c_str(), attributes & kept);
  }
  // One rename replaces the file, written through to the disk before the call returns. Windows
  // refuses to replace a file another process has open, as a reader or a writer checking it
  // does for a moment: the rename is tried again for a while before the refusal counts.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRenameWaitMs);
  auto pause = std::chrono::microseconds(100);
  for (;;) {
    if (::MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return 0;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return ErrorOf(error);
    if (std::chrono::steady_clock::now() >= deadline) {
      // Windows says "access denied" for a file another program holds open without letting it
      // be deleted: opening it for deletion tells that apart from a file this user may not replace.
      FileHandle file;
      const int in_use = Open(to, DELETE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, &file);
      return in_use == kInUse ? kInUse : ErrorOf(error);
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(5000));
  }
}

int WindowsIniFileSystem::Remove(const std::string& path) {
  // A path of usual length is widened on the stack: a write that ran out of memory still removes
  // its temporary file. A UTF-8 path has at least as many bytes as UTF-16 units.
  if (path.size() < kStackPathLength) {
    wchar_t wide[kStackPathLength];
    const int length = path.empty()
                           ? 0
                           : ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                                   static_cast<int>(path.size()), wide,
                                                   static_cast<int>(kStackPathLength));
    if (length <= 0 && !path.empty()) return EINVAL;
    wide[length] = L'\0';
    return ::DeleteFileW(wide) ? 0 : LastError();
  }
  std::wstring wide;
  if (!WidenUtf8(path, &wide)) return EINVAL;
  return ::DeleteFileW(wide.c_str()) ? 0 : LastError();
}

int WindowsIniFileSystem::SyncDirectory(const std::string& directory) {
  FileHandle file;
  if (int error = Open(directory, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, &file)) {
    // A directory this process may not open for writing cannot be flushed by it; the rename
    // into it went through the file system's journal all the same.
    return error == EACCES ? 0 : error;
  }
  if (::FlushFileBuffers(file.get())) return 0;
  // File systems that cannot flush a directory (FAT, network shares) answer so; what the
  // rename wrote is then as durable as they make it.
  const DWORD error = ::GetLastError();
  return error == ERROR_INVALID_FUNCTION || error == ERROR_ACCESS_DENIED ||
                 error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED
             ? 0
             : ErrorOf(error);
}

int WindowsIniFileSystem::ListDirectory(const std::string& directory,
                                        std::vector<std::string>* names) {
  std::wstring pattern;
  if (!WidenUtf8(directory + "\\*", &pattern)) return EINVAL;
  WIN32_FIND_DATAW entry;
  FindHandle listing(::FindFirstFileW(pattern.c_str(), &entry));
  if (!listing.valid()) return LastError();
  names->clear();
  do {
    names->push_back(NarrowToUtf8(entry.cFileName, std::wcslen(entry.cFileName)));
  } while (::FindNextFileW(listing.get(), &entry));
  const DWORD error = ::GetLastError();
  return error == ERROR_NO_MORE_FILES ? 0 : ErrorOf(error);
}

int WindowsIniFileSystem::Lock(const std::string& path, const FileStamp* like, int timeout_ms,
                               int* handle) {
  // The lock file gets the directory's ACL, like the store's temporary files.
  (void)like;
  // A reparse point planted at its name is opened as itself and refused, as is anything but a
  // regular file with no other name.
  FileHandle file;
  if (int error = Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, &file)) {
    return error;
  }
  BY_HANDLE_FILE_INFORMATION info;
  int found = RegularOrWhat(file.get());
  if (found == 0) found = ::GetFileInformationByHandle(file.get(), &info) ? 0 : LastError();
  if (found == 0 && info.nNumberOfLinks != 1) found = kHardLinked;
  if (found != 0) return found;
  // A byte-range lock over the whole file belongs to this handle: a second handle of the same
  // process is refused too, and Windows releases it when the handle closes or the process ends.
  // Polled rather than waited on, so the wait has a bound.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  auto pause = std::chrono::microseconds(50);
  for (;;) {
    OVERLAPPED whole_file;
    std::memset(&whole_file, 0, sizeof whole_file);
    if (::LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                     MAXDWORD, &whole_file)) {
      return Adopt(&file, handle);
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) return ErrorOf(error);
    if (std::chrono::steady_clock::now() >= deadline) return ETIMEDOUT;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(2000));
  }
}

void WindowsIniFileSystem::Unlock(int handle) {
  // Closing the only handle of the lock file releases its lock.
  ::_close(handle);
}

std::string UserName(uint32_t uid) { return "user " + std::to_string(uid); }

uint64_t CurrentProcessId() { return ::GetCurrentProcessId(); }

std::string DirectoryOf(const std::string& path) {
  const size_t separator = LastSeparator(path);
  const bool drive = path.size() >= 2 && path[1] == ':';
  if (separator == std::string::npos) return drive ? path.substr(0, 2) : ".";
  // The root of a drive or of the current drive keeps its separator: "C:\", "\".
  if (separator == 0 || (drive && separator == 2)) return path.substr(0, separator + 1);
  return path.substr(0, separator);
}

std::string BaseNameOf(const std::string& path) {
  const size_t separator = LastSeparator(path);
  if (separator != std::string::npos) return path.substr(separator + 1);
  return path.size() >= 2 && path[1] == ':' ? path.substr(2) : path;
}

std::shared_ptr<IniFileSystem> DefaultIniFileSystem() {
  static const std::shared_ptr<IniFileSystem> files = std::make_shared<WindowsIniFileSystem>();
  return files;
}
