// The atomic, durable replace of a store's file and the temporary files it leaves behind, built
// on the primitives of IniFileSystem.
// Thread safety: as the file system it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "content_hash.h"
#include "ini_file_system.h"

// A file's content as a call that passes its pieces, in order, to the function it is given.
using ContentPieces = std::function<void(const std::function<void(std::string_view)>& piece)>;

// Where a failed atomic write went wrong: the errno value and the file it concerned.
struct WriteFailure {
  int error = 0;
  std::string path;
};

// The file an atomic write made.
struct WrittenFile {
  FileStamp stamp;
  // ContentHash of what was written when its modification time could not be set apart from that
  // of any later version of the file: only then can a later version share the stamp, and only the
  // content tell them apart. Absent when the stamp alone tells them apart.
  std::optional<uint64_t> content_hash;
};

// Replaces the file `target` by `content` so that a crash at any moment leaves either the old or
// the new content: a new temporary file beside it (named by TemporaryFilePrefix), write, sync,
// rename over `target`, sync the directory. The content is written as it is produced, large
// pieces straight from where they lie and small ones gathered; `content` must give the same
// pieces when called twice (it is, to hash them, when the stamp is not set apart). The file's
// modification time is set back by up to a millisecond, by an amount that differs from one write
// to the next, so that any later version of the file has another stamp (a file system that
// cannot set it, or keeps whole seconds only, leaves it not set apart). `like`, when not
// null, gives the new file its permission bits and owner from its creation on (see CreateFile).
// On success returns true and describes the new file, as it stands after the rename, in
// `*written`; on failure returns false with the cause in `*failure`, the old file untouched and
// the temporary file removed (a step that fails after the rename, closing the file or syncing
// the directory, leaves the new content). An exception (`content`'s, or a failed allocation)
// leaves the same, with no handle open.
bool WriteFileAtomically(IniFileSystem& files, const std::string& target,
                         const ContentPieces& content, const FileStamp* like, WrittenFile* written,
                         WriteFailure* failure);

// The start of the names of the temporary files written for `target`, within its directory;
// the writer's process id, a dot and a random number follow it.
std::string TemporaryFilePrefix(const std::string& target);

// Removes every temporary file of the store `target` (names made by TemporaryFilePrefix,
// nothing else).
// REQUIRES: the caller holds the store's lock and has no write of the store under way. Every
// writer of those files holds the lock while they exist, so the files found then were left by
// writers that died, whatever their process ids say (the first process of a container is
// always 1, and ids are reused); a live writer's file cannot be among them.
void RemoveAbandonedTemporaryFiles(IniFileSystem& files, const std::string& target);
