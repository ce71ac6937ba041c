// BackupIni loading and flushing in one process: the content hash, load errors, failed writes
// that lose nothing, hand edits merged, copies and links, and the removal of abandoned temporary
// files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "atomic_replace.h"
#include "backup_ini.h"
#include "posix_file_system.h"
#include "scratch_files.h"

namespace {

// The real file system, but a chosen step fails with a chosen errno, its clock can keep whole
// seconds as some do (an edit within the same second leaves the stamp as it was), and it can be
// unable to set a file's times. It counts whole-file reads and records each new file as its
// creation left it.
class TestFileSystem : public PosixIniFileSystem {
 public:
  enum Step { kNothing, kCreate, kHalfWrite, kSync, kRename, kDirectorySync } fail = kNothing;
  int error = 0;
  bool whole_seconds = false;
  bool fixed_times = false;
  int reads = 0;
  std::vector<FileStamp> created;

  int ReadFile(const std::string& path, std::string* bytes, FileStamp* stamp) override {
    ++reads;
    return Clock(PosixIniFileSystem::ReadFile(path, bytes, stamp), stamp);
  }
  int Stat(const std::string& path, FileStamp* stamp) override {
    return Clock(PosixIniFileSystem::Stat(path, stamp), stamp);
  }
  int StatHandle(int handle, FileStamp* stamp) override {
    return Clock(PosixIniFileSystem::StatHandle(handle, stamp), stamp);
  }
  int SetModificationTime(int handle, int64_t ns) override {
    return fixed_times ? EPERM : PosixIniFileSystem::SetModificationTime(handle, ns);
  }
  int CreateFile(const std::string& path, const FileStamp* like, int* handle) override {
    if (fail == kCreate) return error;
    int result = PosixIniFileSystem::CreateFile(path, like, handle);
    created.emplace_back();
    if (result == 0) PosixIniFileSystem::StatHandle(*handle, &created.back());
    return result;
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

 private:
  int Clock(int result, FileStamp* stamp) {
    if (whole_seconds) {
      stamp->mtime_ns -= stamp->mtime_ns % 1000000000;
      stamp->ctime_ns -= stamp->ctime_ns % 1000000000;
    }
    return result;
  }
};

// A flush hashes the file as it writes it, piece by piece; the hash must be that of the whole
// file read back, wherever the pieces were cut.
TEST(BackupIniFlushTest, TheHashOfAContentInPiecesIsTheHashOfTheWhole) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>('a' + (i * 7) % 26);
  for (size_t size : {size_t{0}, size_t{1}, size_t{31}, size_t{32}, size_t{33}, size_t{300}}) {
    const std::string whole = text.substr(0, size);
    for (size_t cut : {size_t{1}, size_t{5}, size_t{32}, size_t{45}}) {
      ContentHasher hasher;
      for (size_t at = 0; at < whole.size(); at += cut) {
        hasher.Add(whole.data() + at, std::min(cut, whole.size() - at));
      }
      EXPECT_EQ(hasher.Finish(), ContentHash(whole.data(), whole.size())) << size << " " << cut;
    }
  }
  EXPECT_NE(ContentHash(text.data(), 64), ContentHash(text.data(), 65));
  EXPECT_NE(ContentHash("ab", 2), ContentHash("ba", 2));
}

TEST(BackupIniFlushTest, LoadFailuresThrowTheirErrorNumbers) {
  ScratchDirectory dir;
  LogCapture log;
  EXPECT_EQ(LoadError(dir.File("missing.ini")), kIniFileNotFound);
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_EQ(log.records[0].severity, 3);
  EXPECT_EQ(log.records[0].text,
            "cannot read " + dir.File("missing.ini") + ": No such file or directory");
  ASSERT_EQ(::mkdir(dir.File("directory.ini").c_str(), 0755), 0);
  EXPECT_EQ(LoadError(dir.File("directory.ini")), kIniReadFailed);
}

TEST(BackupIniFlushTest, AFifoAsTheStoreIsRefusedWithoutWaitingOnIt) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  LogCapture log;
  EXPECT_EQ(LoadError(path), kIniReadFailed);
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_EQ(log.records[0].text, "cannot read " + path + ": not a regular file");

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

TEST(BackupIniFlushTest, AWriteFailingAtAnyStepKeepsTheOldFileAndTheChanges) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  const std::string big(1 << 16, 'x');
  WriteWholeFile(path, "; settings\n[/App]\nname=old\n");
  auto files = std::make_shared<TestFileSystem>();
  BackupIni ini(path, files);
  ini.SetKeyValue("/App", "name", "new");
  ini.SetKeyValue("/App/Sub", "added", big);
  const std::string changed = "; settings\n[/App]\nname=new\n[/App/Sub]\nadded=" + big + "\n";
  // Past the rename (a failed sync of the directory) the new content stands, but the failure is
  // still reported.
  for (auto step : {TestFileSystem::kCreate, TestFileSystem::kHalfWrite, TestFileSystem::kSync,
                    TestFileSystem::kRename, TestFileSystem::kDirectorySync}) {
    files->fail = step;
    files->error = step == TestFileSystem::kCreate ? EACCES : ENOSPC;
    EXPECT_EQ(FlushFailure(ini, kIniWriteFailed),
              "cannot write " + path + ": " + std::strerror(files->error));
    files->fail = TestFileSystem::kNothing;
    const bool renamed = step == TestFileSystem::kDirectorySync;
    EXPECT_EQ(ReadWholeFile(path), renamed ? changed : "; settings\n[/App]\nname=old\n");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"store.ini", "store.ini.lock"})) << step;
    EXPECT_EQ(ValueOf(ini, "/App", "name"), "new");
  }
  ini.FlushIniDataToFile("");
  EXPECT_EQ(ReadWholeFile(path), changed);
}

// Rewrites the file in place: same inode, same size, only the content differs.
void EditInPlace(const std::string& path, const std::string& text) {
  std::fstream(path, std::ios::in | std::ios::out | std::ios::binary) << text;
}

TEST(BackupIniFlushTest, HandEditsSurviveTheMergeWhateverTheFileSystemsClock) {
  for (int kind = 0; kind < 3; ++kind) {
    auto files = std::make_shared<TestFileSystem>();
    files->whole_seconds = kind == 1;
    files->fixed_times = kind == 2;
    ScratchDirectory dir;
    const std::string path = dir.File("store.ini");
    WriteWholeFile(path, "# top\n[/A]\nx=1\ny=2\n\n[/B]\nz=3\n");
    BackupIni ini(path, files);
    // Edits of the same size right after the load and right after a flush.
    EditInPlace(path, "# top\n[/A]\nx=1\ny=4\n\n[/B]\nz=3\n");
    ini.SetKeyValue("/B", "z", "5");
    ini.FlushIniDataToFile("");
    EXPECT_EQ(ReadWholeFile(path), "# top\n[/A]\nx=1\ny=4\n\n[/B]\nz=5\n") << kind;
    EditInPlace(path, "# top\n[/A]\nx=6\ny=4\n\n[/B]\nz=5\n");
    ini.SetKeyValue("/B", "z", "7");
    ini.FlushIniDataToFile("");
    EXPECT_EQ(ReadWholeFile(path), "# top\n[/A]\nx=6\ny=4\n\n[/B]\nz=7\n") << kind;

    // An editor adds a comment and a group and changes x, as does the store, the later writer.
    WriteWholeFile(path, "# top\n[/A]\nx=editor\n; why\ny=4\n\n[/B]\nz=7\n\n[/C]\nw=1\n");
    ini.SetKeyValue("/A", "x", "store");
    ini.FlushIniDataToFile("");
    EXPECT_EQ(ReadWholeFile(path), "# top\n[/A]\nx=store\n; why\ny=4\n\n[/B]\nz=7\n\n[/C]\nw=1\n");
    EXPECT_EQ(ValueOf(ini, "/C", "w"), "1");

    // A file that no longer parses is not merged over: nothing written, changes kept.
    WriteWholeFile(path, "[/A]\nnot an entry\n");
    ini.SetKeyValue("/A", "x", "kept");
    LogCapture quiet;
    EXPECT_EQ(FlushFailure(ini, kIniBadSyntax),
              "cannot write " + path + ": another writer changed it into a file that cannot be " +
                  "merged: " + Ini::ExceptionNumberToString(kIniBadSyntax));
    EXPECT_EQ(ReadWholeFile(path), "[/A]\nnot an entry\n");
    EXPECT_EQ(ValueOf(ini, "/A", "x"), "kept");
  }
}

// A flush hashes what it wrote only where a later version could share its stamp: there the
// hash tells the file it wrote, read back, from another writer's, and it is not merged again.
// Elsewhere a file whose stamp moved is merged, whatever its content, and loses nothing.
TEST(BackupIniFlushTest, AFileReadBackAsWrittenIsNotMergedAgainWhateverTheClock) {
  for (int kind = 0; kind < 3; ++kind) {
    auto files = std::make_shared<TestFileSystem>();
    files->whole_seconds = kind == 1;
    files->fixed_times = kind == 2;
    ScratchDirectory dir;
    const std::string path = dir.File("store.ini");
    WriteWholeFile(path, "[/A]\nx=1\n");
    BackupIni ini(path, files);
    ini.SetKeyValue("/A", "x", "2");
    ini.FlushIniDataToFile("");
    const uint64_t merges = ini.MergeCount();
    ini.SetKeyValue("/A", "y", "3");
    ini.FlushIniDataToFile("");
    EXPECT_EQ(ini.MergeCount(), merges) << kind;
    // The same bytes written again by someone else, with a new stamp.
    WriteWholeFile(path, ReadWholeFile(path));
    ini.SetKeyValue("/A", "z", "4");
    ini.FlushIniDataToFile("");
    EXPECT_EQ(ReadWholeFile(path), "[/A]\nx=2\ny=3\nz=4\n") << kind;
  }
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

FileStamp StampOf(const std::string& path) {
  FileStamp stamp;
  PosixIniFileSystem().Stat(path, &stamp);
  return stamp;
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

TEST(BackupIniFlushTest, AReadOnlyStoreIsRefusedAndKeepsTheChangesForLater) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  WriteWholeFile(path, "[/A]\nk=v\n");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  BackupIni ini(path);
  ini.SetKeyValue("/A", "k", "changed");
  EXPECT_EQ(FlushFailure(ini, kIniWriteFailed),
            "cannot write " + path + ": the file is read-only (mode 0444)");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=v\n");
  EXPECT_EQ(StampOf(path).mode, 0444u);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"store.ini"});
  EXPECT_EQ(ValueOf(ini, "/A", "k"), "changed");
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  ini.FlushIniDataToFile("");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=changed\n");
}

TEST(BackupIniFlushTest, UnderTheLockEveryTemporaryFileOfTheStoreIsAbandoned) {
  ScratchDirectory dir;
  const std::string store = dir.File("store.ini");
  WriteWholeFile(store, "[a]\n");
  const std::string prefix = TemporaryFilePrefix(store);
  EXPECT_EQ(prefix, ".store.ini.qeltmp.");
  // Whatever process ids they name, this one's and 1 (always alive) included.
  const std::vector<std::string> abandoned = {prefix + std::to_string(::getpid()) + ".7",
                                              prefix + "1.3", prefix + "999999999.0"};
  // Other names and other stores' files.
  std::vector<std::string> kept = {
      "store.ini",     "store.ini.lock",        prefix + "1",
      prefix + "1.3x", prefix + "1234567890.1", ".other.ini.qeltmp.1.1"};
  for (const std::string& name : abandoned) WriteWholeFile(dir.File(name), "x");
  for (const std::string& name : kept) WriteWholeFile(dir.File(name), "x");
  PosixIniFileSystem files;
  int lock = -1;
  ASSERT_EQ(files.Lock(store + ".lock", nullptr, 0, &lock), 0);
  RemoveAbandonedTemporaryFiles(files, store);
  files.Unlock(lock);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(dir.Names(), kept);
}

}  // namespace
