// The atomic, durable replace of a store's file and the temporary files it leaves behind, built
// on the primitives of IniFileSystem.
// Thread safety: as the file system it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ini_file_system.h"

// A fast 64-bit hash of a file's content, to confirm that a file with a new stamp really changed.
uint64_t ContentHash(const char* data, size_t size);

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

// Replaces the file `target` by `bytes` so that a crash at any moment leaves either the old or
// the new content: a new temporary file beside it (named by TemporaryFilePrefix), write, sync,
// rename over `target`,
// sync the directory. `content_hash` is ContentHash of `bytes`; the file's modification time
// is set back by up to a millisecond depending on it, so that any later version of the file has
// another stamp (a file system that cannot set it, or keeps whole seconds only, leaves
// `stamp_set_apart` false). `like`, when not null, gives the new file its permission bits and
// owner from its creation on (see CreateFile). On success returns true and describes the new
// file, as it stands after the rename, in `*written`; on failure returns false with the cause in
// `*failure`, the old file untouched and the temporary file removed (a step that fails after the
// rename, closing the file or syncing the directory, leaves the new content).
bool WriteFileAtomically(IniFileSystem& files, const std::string& target, const std::string& bytes,
                         uint64_t content_hash, const FileStamp* like, WrittenFile* written,
                         WriteFailure* failure);

// The start of the names of the temporary files written for `target`, within its directory;
// the writer's process id, a dot and a sequence number follow it.
std::string TemporaryFilePrefix(const std::string& target);

// Removes every temporary file of the store `target` (names made by TemporaryFilePrefix,
// nothing else).
// REQUIRES: the caller holds the store's lock and has no write of the store under way. Every
// writer of those files holds the lock while they exist, so the files found then were left by
// writers that died, whatever their process ids say (the first process of a container is
// always 1, and ids are reused); a live writer's file cannot be among them.
void RemoveAbandonedTemporaryFiles(IniFileSystem& files, const std::string& target);
