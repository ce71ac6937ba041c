// BackupIni: the INI store over a local file.
// Thread safety: as Ini.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "ini.h"

class IniFileSystem;

// A store over a local file. Loading checks every line; writing is atomic and durable, keeps
// comments and layout, and merges changes another process wrote meanwhile.
class BackupIni : public Ini {
 public:
  // Loads the file at `path`. Throws QELError with its IniErrorNumber, naming the file and the
  // reason (and the line of a syntax error), when it is missing, unreadable, no regular file or
  // bad.
  explicit BackupIni(const std::string& path);
  // The same, with the file I/O supplied by the caller (tests inject failures this way).
  BackupIni(const std::string& path, std::shared_ptr<IniFileSystem> files);
  ~BackupIni() override;

  // Writes the store's own file (`file` must be "") under the exclusive lock of "<file>.lock",
  // merging first what other writers put in the file since this store last read or wrote it;
  // the wait for the lock is bounded (10 s, or QEL_LOCK_TIMEOUT_MS milliseconds when set at
  // construction), then kIniLocked. A read-only store, or a path that is no regular file, is
  // refused, and so is any failed step of the write: kIniWriteFailed.
  void FlushIniDataToFile(const std::string& file) override;

  // Reads the file again when its stamp (or, for a stamp too recent to prove anything, its
  // content) differs from what this store last read or wrote: one stat when nothing changed.
  bool Refresh(IniChanges* changed) override;
  void ForgetRead() override;
  // Waits for the file system to report a write, a replace or a removal of the file (inotify on
  // its directory); where that cannot be watched, compares stamps every 100 ms.
  bool WaitForChange(int timeout_ms) override;
  int ChangeDescriptor() override;

 private:
  // The watch of the file's directory, started on first need; false where none can be had.
  bool StartWatch();

  std::string path_;
  std::shared_ptr<IniFileSystem> files_;
  struct FileState;  // what this store last read or wrote: stamp and content hash
  std::unique_ptr<FileState> state_;
};
