// BackupIni loading and flushing in one process: load errors, failed writes
// that lose nothing, hand edits merged, read-only stores, and the removal of abandoned temporary
// files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "atomic_replace.h"
#include "backup_ini.h"
#include "scratch_files.h"
#include "test_file_system.h"

namespace {

TEST(BackupIniFlushTest, LoadFailuresThrowTheirErrorNumbers) {
  ScratchDirectory dir;
  LogCapture log;
  std::string text;
  EXPECT_EQ(LoadError(dir.File("missing.ini"), nullptr, nullptr, &text), kIniFileNotFound);
  EXPECT_EQ(text, "cannot read " + dir.File("missing.ini") + ": No such file or directory");
  EXPECT_TRUE(log.records.empty());
  ASSERT_TRUE(std::filesystem::create_directory(dir.File("directory.ini")));
  EXPECT_EQ(LoadError(dir.File("directory.ini")), kIniReadFailed);
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

TEST(BackupIniFlushTest, AReadOnlyStoreIsRefusedAndKeepsTheChangesForLater) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  WriteWholeFile(path, "[/A]\nk=v\n");
  namespace fs = std::filesystem;
  // No write permission for anyone: on Windows, the read-only attribute.
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  BackupIni ini(path);
  ini.SetKeyValue("/A", "k", "changed");
  EXPECT_EQ(FlushFailure(ini, kIniWriteFailed),
            "cannot write " + path + ": the file is read-only (mode 0444)");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=v\n");
  EXPECT_EQ(StampOf(path).mode, 0444u);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"store.ini"});
  EXPECT_EQ(ValueOf(ini, "/A", "k"), "changed");
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
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
  const std::vector<std::string> abandoned = {prefix + std::to_string(CurrentProcessId()) + ".7",
                                              prefix + "1.3", prefix + "999999999.0"};
  // Other names and other stores' files.
  std::vector<std::string> kept = {
      "store.ini",     "store.ini.lock",        prefix + "1",
      prefix + "1.3x", prefix + "1234567890.1", ".other.ini.qeltmp.1.1"};
  for (const std::string& name : abandoned) WriteWholeFile(dir.File(name), "x");
  for (const std::string& name : kept) WriteWholeFile(dir.File(name), "x");
  IniFileSystem& files = *DefaultIniFileSystem();
  int lock = -1;
  ASSERT_EQ(files.Lock(store + ".lock", nullptr, 0, &lock), 0);
  RemoveAbandonedTemporaryFiles(files, store);
  files.Unlock(lock);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(dir.Names(), kept);
}

}  // namespace

TEST(BackupIniFlushTest, AChangeKeepsEveryLineInPlaceWhateverTheSizeOfTheRunsAroundIt) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  for (size_t kilobytes : {1, 20, 33, 40, 60, 70, 130}) {
    std::string filler;
    for (size_t i = 0; filler.size() < kilobytes * 1024; ++i) {
      filler += "[/Filler/" + std::to_string(i) + "]\nvalue=" + std::string(40, 'f') + "\n";
    }
    const std::string head = "; top\n[/First]\nk=old\n";
    const std::string middle = "[/Middle]\nk=old\n";
    const std::string text = head + filler + middle + filler + "[/Last]\nk=old\n";
    for (const char* group : {"/First", "/Middle", "/Last"}) {
      WriteWholeFile(path, text);
      BackupIni ini(path);
      ini.SetKeyValue(group, "k", "new");
      ini.FlushIniDataToFile("");
      std::string expected = text;
      const size_t at = expected.find(std::string("[") + group + "]\nk=old");
      expected.replace(expected.find("k=old", at), 5, "k=new");
      ASSERT_EQ(ReadWholeFile(path), expected) << kilobytes << " KB, " << group;
    }
  }
}
