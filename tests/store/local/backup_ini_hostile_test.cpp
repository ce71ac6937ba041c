// BackupIni over hostile files: huge lines, NUL bytes, lone CR, invalid UTF-8, a million tiny
// groups. Each gives the syntax error or a load that survives a flush, in bounded memory.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <fstream>

#include "atomic_replace.h"
#include "backup_ini.h"
#include "scratch_files.h"
#include "test_system.h"

namespace {

// Loads <path> and exits with the megabytes (255 at most) by which that raised the process's
// peak memory. Arguments: path.
[[maybe_unused]] const bool loader_role =
    RegisterChildRole("loader", [](const std::vector<std::string>& args) {
      const uint64_t before = PeakMemoryBytes();
      { BackupIni ini(args.at(0)); }
      return static_cast<int>(std::min<uint64_t>(255, (PeakMemoryBytes() - before) >> 20));
    });

// Megabytes (255 at most) by which loading `path` raises the peak memory of a fresh child process.
int PeakGrowthOfLoading(const std::string& path) { return ChildProcess("loader", {path}).Wait(); }

TEST(BackupIniHostileTest, StrangeBytesLoadAndRoundTripOrFailWithTheSyntaxError) {
  ScratchDirectory dir;
  const std::string inputs[] = {
      std::string("[/A\0B]\nk\0=v\0w\n", 14), std::string("[/A]\n\0\n", 7),
      "[/A]\rk=v\r[/B]\nz=\r\n", "[\xff\xfe]\nk\xc3=\x80\xbf\xed\xa0\x80\n",
      "\xef\xbb\xbf[/A]\r\nk=v\r\n",
      // Files that end oddly, broken ones, and repeated headers.
      "[/A]\nk=v", "[/A]\r\nk=v\r", "[/A]\nk=v\n[/B]\r", "", "\n\n\n", "[/unterminated\nk=v\n",
      "[/A]\nno equals sign\n", "=\n", "[/A]\n[/A]\nk=1\n[/A]\nk=2\n"};
  LogCapture quiet;
  for (const std::string& input : inputs) {
    const std::string path = dir.File("input.ini");
    WriteWholeFile(path, input);
    IniContent loaded;
    int error = LoadError(path, &loaded);
    if (error != 0) {
      EXPECT_EQ(error, kIniBadSyntax) << input;
      continue;
    }
    // A group added at the end must not change how the last line reads.
    {
      BackupIni ini(path);
      ini.SetKeyValue("/Added", "k", "v");
      ini.FlushIniDataToFile("");
    }
    loaded["/Added"]["k"] = "v";
    IniContent written;
    ASSERT_EQ(LoadError(path, &written), 0) << input;
    EXPECT_EQ(written, loaded) << input;
  }
}

#ifdef _WIN32
// A store another program holds open without sharing it is reported as in use, when it is read
// and when a flush would replace it (after the flush's wait for readers), and stays as it was.
TEST(BackupIniHostileTest, AStoreAnotherProgramHoldsUnsharedIsReportedInUse) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  WriteWholeFile(path, "[/A]\nk=v\n");
  BackupIni ini(path);
  LogCapture quiet;
  for (const DWORD share : {DWORD{0}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}}) {
    HANDLE held = ::CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    try {
      if (share == 0) {
        BackupIni again(path);
      } else {
        ini.SetKeyValue("/A", "k", "w");
        ini.FlushIniDataToFile("");
      }
      ADD_FAILURE() << "no error with share mode " << share;
    } catch (const QELError& error) {
      EXPECT_NE(error.What().find("in use by another program"), std::string::npos) << error.What();
    }
    ::CloseHandle(held);
    EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=v\n");
  }
}
#endif

TEST(BackupIniHostileTest, HugeFilesLoadInMemoryProportionalToTheirSize) {
  ScratchDirectory dir;
  // One 32 MB value on one line.
  const std::string huge_line = dir.File("huge_line.ini");
  WriteWholeFile(huge_line, "[/Big]\nk=" + std::string(size_t{32} << 20, 'v') + "\n");
  {
    BackupIni ini(huge_line);
    EXPECT_EQ(ValueOf(ini, "/Big", "k").size(), size_t{32} << 20);
  }
  int growth = PeakGrowthOfLoading(huge_line);
  EXPECT_GT(growth, 0);
  EXPECT_LT(growth, 3 * 32 + 8) << "MB for a 32 MB line";

  // A million tiny groups.
  const std::string tiny = dir.File("tiny_groups.ini");
  std::string text;
  for (int group = 0; group < 1000000; ++group) text += "[g" + std::to_string(group) + "]\n";
  const int file_mb = static_cast<int>(text.size() >> 20) + 1;
  WriteWholeFile(tiny, text);
  text = std::string();
  {
    BackupIni ini(tiny);
    EXPECT_EQ(ini.GroupCount(), 1000000u);
    EXPECT_TRUE(ini.isGroupExist("g999999"));
  }
  growth = PeakGrowthOfLoading(tiny);
  EXPECT_GT(growth, 0);
  // The group index costs a few dozen bytes per group whatever the size of its line.
  EXPECT_LT(growth, 16 * file_mb + 8) << "MB for a " << file_mb << " MB file";
}

}  // namespace
