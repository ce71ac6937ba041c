// BackupIni flushing where only POSIX systems can set the scene: FIFOs in the store's place, an
// edit whose modification time is set back, symbolic links, permission bits and owners.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "backup_ini.h"
#include "scratch_files.h"
#include "test_file_system.h"

namespace {

TEST(BackupIniFlushTest, AFifoAsTheStoreIsRefusedWithoutWaitingOnIt) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  std::string text;
  EXPECT_EQ(LoadError(path, nullptr, nullptr, &text), kIniReadFailed);
  EXPECT_EQ(text, "cannot read " + path + ": not a regular file");

  // One put in the store's place after it was loaded.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  WriteWholeFile(path, "[/A]\nk=v\n");
  BackupIni ini(path);
  ini.SetKeyValue("/A", "k", "changed");
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  EXPECT_EQ(FlushFailure(ini, kIniWriteFailed),
            "cannot write " + path + ": it is not a regular file");
  struct stat status;
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_TRUE(S_ISFIFO(status.st_mode));
  EXPECT_EQ(ValueOf(ini, "/A", "k"), "changed");
}

TEST(BackupIniFlushTest, OwnWritesAreNotReadBackAnEditWithItsTimeSetBackIsAndSurvives) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  WriteWholeFile(path, "[/A]\nx=1\n[/B]\ny=2\n");
  auto files = std::make_shared<TestFileSystem>();
  BackupIni ini(path, files);
  ini.SetKeyValue("/B", "y", "0");
  ini.FlushIniDataToFile("");
  const int reads = files->reads;
  ini.SetKeyValue("/B", "y", "3");
  ini.FlushIniDataToFile("");
  EXPECT_EQ(files->reads, reads);
  struct stat written;
  ASSERT_EQ(::stat(path.c_str(), &written), 0);
  // As `cp -p` of an edited copy over the store: same inode, same size, the store's modification
  // time. The clock has moved on from the store's write, as it always has for a hand edit.
  for (struct timespec now{};
       ::clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0 &&
       (now.tv_sec < written.st_ctim.tv_sec ||
        (now.tv_sec == written.st_ctim.tv_sec && now.tv_nsec <= written.st_ctim.tv_nsec));) {
    std::this_thread::yield();
  }
  EditInPlace(path, "[/A]\nx=9\n[/B]\ny=3\n");
  const struct timespec times[2] = {{0, UTIME_OMIT}, written.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ini.SetKeyValue("/B", "z", "4");
  ini.FlushIniDataToFile("");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nx=9\n[/B]\ny=3\nz=4\n");
}

// The text of the QELError kIniWriteFailed that a flush to `file` throws.
std::string FlushFailureTo(Ini& ini, const std::string& file) {
  try {
    ini.FlushIniDataToFile(file);
  } catch (const QELError& error) {
    EXPECT_EQ(error.Code(), kIniWriteFailed);
    return error.What();
  }
  return "<flushed>";
}

TEST(BackupIniFlushTest, LinksAndPermissionsStayAndOnlyTheOwnFileIsWritten) {
  ScratchDirectory dir;
  const std::string path = dir.File("real.ini");
  WriteWholeFile(path, "[/A]\nk=v\n");
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(::symlink("real.ini", dir.File("link.ini").c_str()), 0);
  BackupIni ini(dir.File("link.ini"));
  ini.SetKeyValue("/A", "k", "mine");

  // A store writes only its own file: another path is refused, and nothing changes.
  EXPECT_EQ(FlushFailureTo(ini, dir.File("copy.ini")),
            "cannot write " + dir.File("copy.ini") + ": a store writes only its own file");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"link.ini", "real.ini"}));
  // Another writer changes k; the pending change is replayed over it.
  WriteWholeFile(path, "[/A]\nk=other\nextra=1\n");
  ini.FlushIniDataToFile("");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=mine\nextra=1\n");
  struct stat status;
  ASSERT_EQ(::lstat(dir.File("link.ini").c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST(BackupIniFlushTest, NoTemporaryOrLockFileIsEverLooserThanTheStore) {
  // A root writer keeps every file its owner's: the store here belongs to "nobody".
  const bool root = ::geteuid() == 0;
  const mode_t saved_umask = ::umask(022);
  for (uint32_t mode : {0600u, 0640u, 0604u}) {
    ScratchDirectory dir;
    const std::string path = dir.File("store.ini");
    WriteWholeFile(path, "[/A]\nk=v\n");
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    if (root) {
      ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    }
    auto files = std::make_shared<TestFileSystem>();
    BackupIni ini(path, files);
    ini.SetKeyValue("/A", "k", "w");
    ini.FlushIniDataToFile("");
    ASSERT_EQ(files->created.size(), 1u);
    const FileStamp& temporary = files->created[0];
    EXPECT_EQ(temporary.size, 0u);  // as created, before any byte was written
    EXPECT_EQ(temporary.mode, mode);
    const FileStamp store = StampOf(path);
    const FileStamp lock = StampOf(path + ".lock");
    EXPECT_EQ(store.mode, mode);
    EXPECT_EQ(lock.mode, mode);
    if (root) {
      for (const FileStamp& file : {temporary, store, lock}) {
        EXPECT_EQ(file.owner, 65534u);
        EXPECT_EQ(file.group, 65534u);
      }
    }
  }
  ::umask(saved_umask);
}

}  // namespace
