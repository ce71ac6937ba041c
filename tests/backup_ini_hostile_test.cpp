// BackupIni over hostile files: huge lines, NUL bytes, lone CR, invalid UTF-8, a million tiny
// groups. Each gives the syntax error or a load that survives a flush, in bounded memory.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "ini.h"
#include "ini_file.h"
#include "scratch_files.h"

namespace {

using Snapshot = std::map<std::string, std::map<std::string, std::string>>;

Snapshot Take(const Ini& ini) {
  Snapshot snapshot;
  for (auto group = ini.begin(); group != ini.end(); ++group) {
    auto& copy = snapshot[(*group).GetName()];
    for (const auto& entry : *(*group).GetProperties()) copy[entry.first] = entry.second;
  }
  return snapshot;
}

// Loads `path`: 0 and the groups when it loads, else the store's error number.
int Load(const std::string& path, Snapshot* snapshot) {
  try {
    BackupIni ini(path);
    *snapshot = Take(ini);
    return 0;
  } catch (int number) {
    return number;
  }
}

// Kilobytes by which loading `path` raises the peak memory of a fresh child process, or -1.
long PeakGrowthOfLoading(const std::string& path) {
  int report[2];
  if (::pipe(report) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    auto status_kb = [](const char* field) {
      std::ifstream status("/proc/self/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
      }
      return -1L;
    };
    // Resets the peak to the present size, so that only the load counts.
    std::ofstream("/proc/self/clear_refs") << "5";
    long before = status_kb("VmRSS:");
    long growth = -1;
    try {
      BackupIni ini(path);
      growth = status_kb("VmHWM:") - before;
    } catch (int) {
      growth = status_kb("VmHWM:") - before;
    }
    ssize_t written = ::write(report[1], &growth, sizeof growth);
    ::_exit(written == sizeof growth ? 0 : 1);
  }
  long growth = -1;
  if (::read(report[0], &growth, sizeof growth) != sizeof growth) growth = -1;
  ::waitpid(child, nullptr, 0);
  ::close(report[0]);
  ::close(report[1]);
  return growth;
}

TEST(BackupIniHostileTest, StrangeBytesLoadAndRoundTripOrFailWithTheSyntaxError) {
  ScratchDirectory dir;
  const std::vector<std::string> inputs = {
      std::string("[/A\0B]\nk\0=v\0w\n", 14),
      std::string("[/A]\n\0\n", 7),
      "[/A]\rk=v\r[/B]\nz=\r\n",
      "[\xff\xfe]\nk\xc3=\x80\xbf\xed\xa0\x80\n",
      "\xef\xbb\xbf[/A]\r\nk=v\r\n",
      "[/A]\nk=v",
      "[/A]\r\nk=v\r",
      "[/A]\nk=v\n[/B]\r",
      "",
      "\n\n\n",
      "[/unterminated\nk=v\n",
      "[/A]\nno equals sign\n",
      "=\n",
      "[/A]\n[/A]\nk=1\n[/A]\nk=2\n",
  };
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string path = dir.File("input" + std::to_string(i) + ".ini");
    WriteWholeFile(path, inputs[i]);
    Snapshot loaded;
    int error = Load(path, &loaded);
    if (error != 0) {
      EXPECT_EQ(error, kIniBadSyntax) << "input " << i;
      continue;
    }
    // A group added at the end must not change how the last line reads.
    {
      BackupIni ini(path);
      ini.SetKeyValue("/Added", "k", "v");
      ini.FlushIniDataToFile(dir.File("copy.ini"));
    }
    loaded["/Added"]["k"] = "v";
    Snapshot copied;
    ASSERT_EQ(Load(dir.File("copy.ini"), &copied), 0) << "input " << i;
    EXPECT_EQ(copied, loaded) << "input " << i;
  }
}

TEST(BackupIniHostileTest, HugeFilesLoadInMemoryProportionalToTheirSize) {
  ScratchDirectory dir;
  // One 32 MB value on one line.
  const std::string huge_line = dir.File("huge_line.ini");
  const size_t value_size = size_t{32} << 20;
  WriteWholeFile(huge_line, "[/Big]\nk=" + std::string(value_size, 'v') + "\n");
  {
    BackupIni ini(huge_line);
    ASSERT_NE(ini.GetGroupProperty("/Big"), nullptr);
    EXPECT_EQ(ini.GetGroupProperty("/Big")->at("k").size(), value_size);
  }
  long growth = PeakGrowthOfLoading(huge_line);
  EXPECT_GT(growth, 0);
  EXPECT_LT(growth, 3 * long{value_size >> 10} + 8192) << "KB for a 32 MB line";

  // A million tiny groups.
  const std::string tiny = dir.File("tiny_groups.ini");
  std::string text;
  constexpr int kGroups = 1000000;
  for (int group = 0; group < kGroups; ++group) text += "[g" + std::to_string(group) + "]\n";
  const long file_kb = static_cast<long>(text.size() >> 10);
  WriteWholeFile(tiny, text);
  text.clear();
  text.shrink_to_fit();
  {
    BackupIni ini(tiny);
    EXPECT_EQ(ini.GroupCount(), size_t{kGroups});
    EXPECT_TRUE(ini.isGroupExist("g999999"));
  }
  growth = PeakGrowthOfLoading(tiny);
  EXPECT_GT(growth, 0);
  // The group index costs a few dozen bytes per group whatever the size of its line.
  EXPECT_LT(growth, 16 * file_kb + 8192) << "KB for a " << file_kb << " KB file";
}

}  // namespace
