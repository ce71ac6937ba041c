// BackupIni loading and flushing in one process: load errors, failed flushes that lose nothing,
// hand edits merged, copies, links, and the lock's bound.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "ini.h"
#include "ini_file.h"
#include "qel_error.h"
#include "qel_log.h"
#include "scratch_files.h"

namespace {

std::string ValueOf(const Ini& ini, const std::string& group, const std::string& key) {
  const IniEntryMap* entries = ini.GetGroupProperty(group);
  if (entries == nullptr) return "<no group>";
  auto entry = entries->find(key);
  return entry == entries->end() ? "<no entry>" : entry->second;
}

class FailingFileSystem : public PosixIniFileSystem {
 public:
  int read_error = 0;
  int write_error = 0;  // fails each write half-way
  int create_error = 0;

  int ReadFile(const std::string& path, std::string* bytes, FileStamp* stamp) override {
    return read_error ? read_error : PosixIniFileSystem::ReadFile(path, bytes, stamp);
  }
  int CreateFile(const std::string& path, int* handle) override {
    return create_error ? create_error : PosixIniFileSystem::CreateFile(path, handle);
  }
  int Write(int handle, const char* data, size_t size) override {
    if (write_error == 0) return PosixIniFileSystem::Write(handle, data, size);
    PosixIniFileSystem::Write(handle, data, size / 2);
    return write_error;
  }
};

int LoadError(const std::string& path, std::shared_ptr<IniFileSystem> files = nullptr) {
  try {
    BackupIni ini(path, files);
  } catch (int number) {
    return number;
  }
  return 0;
}

TEST(BackupIniFlushTest, LoadFailuresThrowTheirErrorNumbers) {
  ScratchDirectory dir;
  std::vector<LogRecord> records;
  SetLogSink([&records](const LogRecord& record) { records.push_back(record); });
  EXPECT_EQ(LoadError(dir.File("missing.ini")), kIniFileNotFound);
  SetLogSink({});
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].severity, 3);
  EXPECT_EQ(records[0].text,
            "cannot read " + dir.File("missing.ini") + ": No such file or directory");
  EXPECT_EQ(LoadError(dir.File("missing/deeper.ini")), kIniFileNotFound);
  ASSERT_EQ(::mkdir(dir.File("directory.ini").c_str(), 0755), 0);
  EXPECT_EQ(LoadError(dir.File("directory.ini")), kIniReadFailed);
  WriteWholeFile(dir.File("good.ini"), "[g]\nk=v\n");
  auto unreadable = std::make_shared<FailingFileSystem>();
  unreadable->read_error = EACCES;
  EXPECT_EQ(LoadError(dir.File("good.ini"), unreadable), kIniReadFailed);
  EXPECT_EQ(LoadError(dir.File("good.ini")), 0);
}

TEST(BackupIniFlushTest, FailedFlushKeepsOldFileAndChangesUntilALaterFlushSucceeds) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  const std::string original = "; settings\n[/App]\nname=old\n";
  WriteWholeFile(path, original);
  auto files = std::make_shared<FailingFileSystem>();
  BackupIni ini(path, files);
  ini.SetKeyValue("/App", "name", "new");
  ini.SetKeyValue("/App/Sub", "added", "1");

  struct Case {
    int FailingFileSystem::*step;
    int error;
    std::string reason;
  };
  for (const Case& failure :
       {Case{&FailingFileSystem::write_error, ENOSPC, "No space left on device"},
        Case{&FailingFileSystem::create_error, EACCES, "Permission denied"},
        Case{&FailingFileSystem::create_error, EROFS, "Read-only file system"}}) {
    (*files).*failure.step = failure.error;
    try {
      ini.FlushIniDataToFile("");
      ADD_FAILURE() << "flush did not fail";
    } catch (const QELError& error) {
      EXPECT_EQ(error.Code(), kIniWriteFailed);
      EXPECT_EQ(error.Facility(), kIniFacility);
      EXPECT_EQ(error.What(), "cannot write " + path + ": " + failure.reason);
    }
    (*files).*failure.step = 0;
    EXPECT_EQ(ReadWholeFile(path), original);
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"store.ini", "store.ini.lock"}));
    EXPECT_EQ(ValueOf(ini, "/App", "name"), "new");
    EXPECT_EQ(ValueOf(ini, "/App/Sub", "added"), "1");
  }

  ini.FlushIniDataToFile("");
  BackupIni reloaded(path);
  EXPECT_EQ(ValueOf(reloaded, "/App", "name"), "new");
  EXPECT_EQ(ValueOf(reloaded, "/App/Sub", "added"), "1");
  EXPECT_EQ(ReadWholeFile(path).rfind("; settings\n[/App]\n", 0), 0u);
}

TEST(BackupIniFlushTest, HandEditsBetweenFlushesSurviveAndTheLaterWriterWins) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  WriteWholeFile(path, "# top comment\n[/A]\nx=1\ny=2\n\n[/B]\nz=3\n");
  BackupIni ini(path);
  ini.SetKeyValue("/A", "x", "10");
  ini.FlushIniDataToFile("");
  EXPECT_EQ(ReadWholeFile(path), "# top comment\n[/A]\nx=10\ny=2\n\n[/B]\nz=3\n");

  // An editor changes y, adds a comment and a group; the store meanwhile changes x and z.
  WriteWholeFile(path,
                 "# top comment\n[/A]\nx=10\n; why y is 20\ny=20\n\n[/B]\nz=3\n\n[/C]\nw=4\n");
  ini.SetKeyValue("/A", "x", "11");
  ini.SetKeyValue("/B", "z", "30");
  ini.FlushIniDataToFile("");
  EXPECT_EQ(ReadWholeFile(path),
            "# top comment\n[/A]\nx=11\n; why y is 20\ny=20\n\n[/B]\nz=30\n\n[/C]\nw=4\n");
  EXPECT_EQ(ValueOf(ini, "/A", "y"), "20");
  EXPECT_EQ(ValueOf(ini, "/C", "w"), "4");

  // Same entry changed on both sides: this store writes later, so its value stands.
  WriteWholeFile(path,
                 "# top comment\n[/A]\nx=editor\n; why y is 20\ny=20\n\n[/B]\nz=30\n\n[/C]\nw=4\n");
  ini.SetKeyValue("/A", "x", "store");
  ini.FlushIniDataToFile("");
  BackupIni reloaded(path);
  EXPECT_EQ(ValueOf(reloaded, "/A", "x"), "store");
  EXPECT_EQ(ValueOf(reloaded, "/A", "y"), "20");

  // A file that no longer parses is not merged over: nothing written, changes kept.
  const std::string broken = "[/A]\nthis line is not an entry\n";
  WriteWholeFile(path, broken);
  ini.SetKeyValue("/A", "x", "kept");
  try {
    ini.FlushIniDataToFile("");
    ADD_FAILURE() << "flush over a broken file did not fail";
  } catch (const QELError& error) {
    EXPECT_EQ(error.Code(), kIniBadSyntax);
    EXPECT_EQ(error.What().rfind("cannot write " + path + ": ", 0), 0u) << error.What();
  }
  EXPECT_EQ(ReadWholeFile(path), broken);
  EXPECT_EQ(ValueOf(ini, "/A", "x"), "kept");
}

// Rewrites the file in place: same inode, same size, only the content differs.
void EditInPlace(const std::string& path, const std::string& text) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file << text;
}

// A file system whose clock keeps whole seconds, as some do: an edit within the same second
// leaves the stamp as it was.
class CoarseClockFileSystem : public PosixIniFileSystem {
 public:
  int ReadFile(const std::string& path, std::string* bytes, FileStamp* stamp) override {
    return Coarse(PosixIniFileSystem::ReadFile(path, bytes, stamp), stamp);
  }
  int Stat(const std::string& path, FileStamp* stamp) override {
    return Coarse(PosixIniFileSystem::Stat(path, stamp), stamp);
  }
  int StatHandle(int handle, FileStamp* stamp) override {
    return Coarse(PosixIniFileSystem::StatHandle(handle, stamp), stamp);
  }

 private:
  static int Coarse(int error, FileStamp* stamp) {
    stamp->mtime_ns -= stamp->mtime_ns % 1000000000;
    return error;
  }
};

// A file system that cannot set a file's times.
class FixedTimesFileSystem : public PosixIniFileSystem {
 public:
  int SetModificationTime(int, int64_t) override { return EPERM; }
};

TEST(BackupIniFlushTest, SameSizeEditsRightAfterALoadOrAFlushAreNoticed) {
  const std::vector<std::shared_ptr<IniFileSystem>> file_systems = {
      DefaultIniFileSystem(), std::make_shared<CoarseClockFileSystem>(),
      std::make_shared<FixedTimesFileSystem>()};
  for (const auto& files : file_systems) {
    ScratchDirectory dir;
    const std::string path = dir.File("store.ini");
    WriteWholeFile(path, "[/A]\nk=1\n[/B]\nm=1\n");
    BackupIni ini(path, files);
    EditInPlace(path, "[/A]\nk=2\n[/B]\nm=1\n");
    ini.SetKeyValue("/B", "m", "3");
    ini.FlushIniDataToFile("");
    EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=2\n[/B]\nm=3\n");

    EditInPlace(path, "[/A]\nk=4\n[/B]\nm=3\n");
    ini.SetKeyValue("/B", "m", "5");
    ini.FlushIniDataToFile("");
    EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=4\n[/B]\nm=5\n");
  }
}

TEST(BackupIniFlushTest, CopiesAndLinksAndPermissions) {
  ScratchDirectory dir;
  const std::string path = dir.File("real.ini");
  WriteWholeFile(path, "[/A]\nk=v\n");
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(::symlink("real.ini", dir.File("link.ini").c_str()), 0);
  BackupIni ini(dir.File("link.ini"));
  ini.SetKeyValue("/A", "k", "mine");

  // A copy leaves the store's own file and the pending change alone.
  ini.FlushIniDataToFile(dir.File("copy.ini"));
  EXPECT_EQ(ReadWholeFile(dir.File("copy.ini")), "[/A]\nk=mine\n");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=v\n");

  // Another writer changes k after the copy; the pending change is still replayed over it.
  {
    BackupIni other(path);
    other.SetKeyValue("/A", "k", "other");
    other.SetKeyValue("/A", "extra", "1");
    other.FlushIniDataToFile("");
  }
  ini.FlushIniDataToFile("");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=mine\nextra=1\n");
  struct stat status;
  ASSERT_EQ(::lstat(dir.File("link.ini").c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST(BackupIniFlushTest, AStoreLockedPastTheBoundChangesNothing) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  WriteWholeFile(path, "[/A]\nk=v\n");
  ::setenv("QEL_LOCK_TIMEOUT_MS", "50", 1);
  BackupIni ini(path);
  ::unsetenv("QEL_LOCK_TIMEOUT_MS");
  ini.SetKeyValue("/A", "k", "new");
  // Another handle of this same process holds the lock.
  PosixIniFileSystem files;
  int holder = -1;
  ASSERT_EQ(files.Lock(path + ".lock", 0, &holder), 0);
  try {
    ini.FlushIniDataToFile("");
    ADD_FAILURE() << "flush under a held lock did not fail";
  } catch (const QELError& error) {
    EXPECT_EQ(error.Code(), kIniLocked);
    EXPECT_EQ(error.Facility(), kIniFacility);
    EXPECT_EQ(error.What(),
              "cannot write " + path + ": the store is locked by another writer (waited 50 ms)");
  }
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=v\n");
  EXPECT_EQ(ValueOf(ini, "/A", "k"), "new");
  files.Unlock(holder);
  ini.FlushIniDataToFile("");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=new\n");
}

}  // namespace
