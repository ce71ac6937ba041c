// The local store's file layer: atomic replace, its failures at every step, leftover temporary
// files, and the lock file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "ini_file.h"
#include "scratch_files.h"

namespace {

// Fails one chosen step of a write with a chosen errno; everything else is real.
class FailingFileSystem : public PosixIniFileSystem {
 public:
  enum Step { kNothing, kCreate, kHalfWrite, kSync, kRename, kDirectorySync };
  Step fail = kNothing;
  int error = ENOSPC;

  int CreateFile(const std::string& path, int* handle) override {
    return fail == kCreate ? error : PosixIniFileSystem::CreateFile(path, handle);
  }
  int Write(int handle, const char* data, size_t size) override {
    if (fail != kHalfWrite) return PosixIniFileSystem::Write(handle, data, size);
    PosixIniFileSystem::Write(handle, data, size / 2);
    return error;
  }
  int Sync(int handle) override { return fail == kSync ? error : PosixIniFileSystem::Sync(handle); }
  int Rename(const std::string& from, const std::string& to) override {
    return fail == kRename ? error : PosixIniFileSystem::Rename(from, to);
  }
  int SyncDirectory(const std::string& directory) override {
    return fail == kDirectorySync ? error : PosixIniFileSystem::SyncDirectory(directory);
  }
};

TEST(IniFileTest, AtomicWriteReplacesContentKeepsModeAndFollowsLinks) {
  ScratchDirectory dir;
  PosixIniFileSystem files;
  std::string store = dir.File("store.ini");
  WriteWholeFile(store, "[old]\n");
  ASSERT_EQ(::chmod(store.c_str(), 0640), 0);
  ASSERT_EQ(::symlink("store.ini", dir.File("link.ini").c_str()), 0);

  std::string target;
  ASSERT_EQ(files.ResolveLinks(dir.File("link.ini"), &target), 0);
  EXPECT_EQ(target, store);
  FileStamp like;
  ASSERT_EQ(files.Stat(target, &like), 0);
  WrittenFile written;
  WriteFailure failure;
  ASSERT_TRUE(WriteFileAtomically(files, target, "[new]\n", 1, &like, &written, &failure));
  EXPECT_EQ(ReadWholeFile(dir.File("link.ini")), "[new]\n");
  struct stat status;
  ASSERT_EQ(::lstat(dir.File("link.ini").c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  ASSERT_EQ(::stat(store.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  FileStamp now;
  ASSERT_EQ(files.Stat(store, &now), 0);
  EXPECT_EQ(now, written.stamp);
  EXPECT_TRUE(written.stamp_set_apart);
  EXPECT_NE(now, like);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"link.ini", "store.ini"}));

  // A dangling link names the file to create.
  ASSERT_EQ(::symlink("missing.ini", dir.File("dangling.ini").c_str()), 0);
  ASSERT_EQ(files.ResolveLinks(dir.File("dangling.ini"), &target), 0);
  EXPECT_EQ(target, dir.File("missing.ini"));
  ASSERT_EQ(::symlink("loop.ini", dir.File("loop.ini").c_str()), 0);
  EXPECT_EQ(files.ResolveLinks(dir.File("loop.ini"), &target), ELOOP);
}

TEST(IniFileTest, FailedWriteAtAnyStepLeavesOldFileAndNoTemporary) {
  ScratchDirectory dir;
  std::string store = dir.File("store.ini");
  const std::string old_content = "; hand made\n[group]\nkey=value\n";
  WriteWholeFile(store, old_content);
  const std::string big(1 << 20, 'x');
  for (auto step : {FailingFileSystem::kCreate, FailingFileSystem::kHalfWrite,
                    FailingFileSystem::kSync, FailingFileSystem::kRename}) {
    FailingFileSystem files;
    files.fail = step;
    files.error = step == FailingFileSystem::kCreate ? EACCES : ENOSPC;
    WrittenFile written;
    WriteFailure failure;
    EXPECT_FALSE(WriteFileAtomically(files, store, big, 2, nullptr, &written, &failure)) << step;
    EXPECT_EQ(failure.error, files.error);
    EXPECT_EQ(ReadWholeFile(store), old_content) << step;
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"store.ini"}) << step;
  }
  // Past the rename the new content stands, but the failure is still reported.
  FailingFileSystem files;
  files.fail = FailingFileSystem::kDirectorySync;
  files.error = EIO;
  WrittenFile written;
  WriteFailure failure;
  EXPECT_FALSE(WriteFileAtomically(files, store, "[new]\n", 3, nullptr, &written, &failure));
  EXPECT_EQ(failure.error, EIO);
  EXPECT_EQ(failure.path, dir.path());
  EXPECT_EQ(ReadWholeFile(store), "[new]\n");
  EXPECT_EQ(ErrorText(ENOSPC), "No space left on device");
}

TEST(IniFileTest, OnlyAbandonedTemporaryFilesOfTheStoreAreRemoved) {
  ScratchDirectory dir;
  std::string store = dir.File("store.ini");
  WriteWholeFile(store, "[a]\n");
  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ASSERT_GT(dead, 0);
  ::waitpid(dead, nullptr, 0);
  std::string prefix = TemporaryFilePrefix(store);
  EXPECT_EQ(prefix, ".store.ini.qeltmp.");
  const std::string abandoned = prefix + std::to_string(dead) + ".3";
  const std::string live = prefix + std::to_string(::getpid()) + ".7";
  const std::vector<std::string> foreign = {
      prefix + std::to_string(dead) + ".3x", prefix + std::to_string(dead),
      ".other.ini.qeltmp." + std::to_string(dead) + ".1", "store.ini.bak"};
  for (const std::string& name : foreign) WriteWholeFile(dir.File(name), "x");
  WriteWholeFile(dir.File(abandoned), "x");
  WriteWholeFile(dir.File(live), "x");
  PosixIniFileSystem files;
  RemoveAbandonedTemporaryFiles(files, store);
  std::vector<std::string> expected = foreign;
  expected.push_back(live);
  expected.push_back("store.ini");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(dir.Names(), expected);
}

TEST(IniFileTest, LockExcludesOtherHandlesAndDiesWithItsHolder) {
  ScratchDirectory dir;
  PosixIniFileSystem files;
  std::string lock = dir.File("store.ini.lock");
  int first = -1;
  ASSERT_EQ(files.Lock(lock, 0, &first), 0);
  int second = -1;
  // Two handles of one process exclude each other.
  EXPECT_EQ(files.Lock(lock, 20, &second), ETIMEDOUT);
  files.Unlock(first);
  ASSERT_EQ(files.Lock(lock, 0, &second), 0);
  files.Unlock(second);

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t holder = ::fork();
  if (holder == 0) {
    int handle = -1;
    char done = files.Lock(lock, 0, &handle) == 0 ? 'y' : 'n';
    if (::write(ready[1], &done, 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  char answer = 0;
  ASSERT_EQ(::read(ready[0], &answer, 1), 1);
  ASSERT_EQ(answer, 'y');
  EXPECT_EQ(files.Lock(lock, 20, &first), ETIMEDOUT);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ASSERT_EQ(files.Lock(lock, 0, &first), 0);
  files.Unlock(first);
  ::close(ready[0]);
  ::close(ready[1]);

  EXPECT_EQ(files.Lock(dir.File("no/such/dir.lock"), 0, &first), ENOENT);
}

}  // namespace
