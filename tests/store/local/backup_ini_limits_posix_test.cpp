// BackupIni's bounds against files it did not write: a store larger than QEL_LOCAL_MAX_BYTES, one
// that grows past it while read, and a directory where every temporary name a writer could be
// guessed to use is taken. POSIX only: /proc files grow while read, and process ids are known.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "atomic_replace.h"
#include "backup_ini.h"
#include "scratch_files.h"
#include "test_system.h"

namespace {

// Loads <path> under the limit <bytes> and exits with the megabytes (255 at most) by which that
// raised the process's peak memory, plus 100 when the load failed. Arguments: path, bytes.
[[maybe_unused]] const bool limited_loader_role =
    RegisterChildRole("limited-loader", [](const std::vector<std::string>& args) {
      SetEnvironment("QEL_LOCAL_MAX_BYTES", args.at(1));
      const uint64_t before = PeakMemoryBytes();
      bool failed = false;
      try {
        BackupIni ini(args.at(0));
      } catch (const QELError&) {
        failed = true;
      }
      const auto growth =
          static_cast<int>(std::min<uint64_t>(99, (PeakMemoryBytes() - before) >> 20));
      return growth + (failed ? 100 : 0);
    });

TEST(BackupIniLimitsTest, AStoreOverTheLimitIsRefusedNamingSizeLimitAndSettingWithoutBeingRead) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  const std::string text = "[/A]\nk=" + std::string(size_t{64} << 20, 'v') + "\n";
  WriteWholeFile(path, text);
  const std::string size = std::to_string(text.size());

  // At login: the error says why.
  SetEnvironment("QEL_LOCAL_MAX_BYTES", "1048576");
  std::string why;
  EXPECT_EQ(LoadError(path, nullptr, nullptr, &why), kIniReadFailed);
  EXPECT_EQ(why, "cannot read " + path + ": the file is " + size +
                     " bytes, larger than the limit of 1048576 bytes set by QEL_LOCAL_MAX_BYTES");
  // A malformed limit is named, not taken for the default.
  SetEnvironment("QEL_LOCAL_MAX_BYTES", "lots");
  EXPECT_EQ(LoadError(path, nullptr, nullptr, &why), kIniReadFailed);
  EXPECT_EQ(why, "cannot read " + path +
                     ": QEL_LOCAL_MAX_BYTES must be a number of bytes above 0, not \"lots\"");
  UnsetEnvironment("QEL_LOCAL_MAX_BYTES");

  // Refused before it is read: the refusal costs no memory the file's size.
  EXPECT_LT(ChildProcess("limited-loader", {path, "33554432"}).Wait(), 100 + 8);
  const int loaded = ChildProcess("limited-loader", {path, "268435456"}).Wait();
  EXPECT_LT(loaded, 100);
  EXPECT_GE(loaded, 32);  // it was read

  // After login: a refresh and a write say it in their errors, and keep the changes.
  WriteWholeFile(path, "[/A]\nk=small\n");
  SetEnvironment("QEL_LOCAL_MAX_BYTES", "1000");
  BackupIni ini(path);
  UnsetEnvironment("QEL_LOCAL_MAX_BYTES");
  ini.SetKeyValue("/A", "mine", "1");
  WriteWholeFile(path, "[/A]\nk=" + std::string(2000, 'v') + "\n");
  const std::string too_large =
      "the file is 2008 bytes, larger than the limit of 1000 bytes set by QEL_LOCAL_MAX_BYTES";
  try {
    IniChanges changes;
    ini.Refresh(&changes);
    ADD_FAILURE() << "refreshed";
  } catch (const QELError& error) {
    EXPECT_EQ(error.What(), "cannot read " + path + ": " + too_large);
  }
  EXPECT_EQ(FlushFailure(ini, kIniWriteFailed),
            "cannot write " + path + ": cannot read it back: " + too_large);
  EXPECT_EQ(ValueOf(ini, "/A", "mine"), "1");
}

TEST(BackupIniLimitsTest, AFileThatGrowsPastTheLimitWhileReadIsNotReadPastIt) {
  // A /proc file says it is empty and then reads on: as a file that grew after its size was seen.
  const std::shared_ptr<IniFileSystem> files = DefaultIniFileSystem();
  std::string bytes;
  FileStamp stamp;
  ASSERT_EQ(files->ReadFile("/proc/self/status", 1 << 20, &bytes, &stamp), 0);
  ASSERT_GT(bytes.size(), 64u);
  EXPECT_EQ(files->ReadFile("/proc/self/status", 64, &bytes, &stamp), EFBIG);
  EXPECT_GE(stamp.size, 65u);
  EXPECT_TRUE(bytes.empty());
}

TEST(BackupIniLimitsTest, EveryTemporaryNameAWriterCouldBeGuessedToUseTakenDoesNotStopIt) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  WriteWholeFile(path, "[/A]\nk=old\n");
  // Whoever may write the directory knows the writer's process id and can count its writes.
  const std::string guessed =
      dir.File(TemporaryFilePrefix(path) + std::to_string(::getpid()) + ".");
  for (int sequence = 0; sequence < 1000; ++sequence) {
    ASSERT_EQ(::symlink("/nonexistent", (guessed + std::to_string(sequence)).c_str()), 0);
  }
  BackupIni ini(path);
  ini.SetKeyValue("/A", "k", "new");
  ini.FlushIniDataToFile("");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=new\n");
}

}  // namespace
