// The memory a large value costs: setting one and the flush that follows raise the process's peak
// by a small multiple of the value's size, not by a copy per layer it passes. POSIX only: the peak
// is read from /proc.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include "scratch_files.h"
#include "test_system.h"

namespace {

// Sets the peak back to the memory the process holds now, so that a copy made and freed before
// (the program's own value) does not hide what comes after.
void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Logs in to the store <path>, sets the value "big" of the key /K to <megabytes> MB, which the
// write flushes, and exits with the megabytes (255 at most) by which that raised the peak.
[[maybe_unused]] const bool setter_role =
    RegisterChildRole("large-value-setter", [](const std::vector<std::string>& args) {
      const QELRBValue value(std::string(std::stoul(args.at(1)) << 20, 'v'));
      QELConnection connection(QELConnection::INI);
      connection.Login(args.at(0), 0, "tester", "");
      QELRBKey root(connection);
      QELRBKey key = root.CreateSubkey("K");
      ResetPeakMemory();
      const uint64_t before = PeakMemoryBytes();
      key.SetValue("big", value);
      return static_cast<int>(std::min<uint64_t>(255, (PeakMemoryBytes() - before) >> 20));
    });

TEST(LargeValueMemoryTest, SettingAndFlushingAValueCostsAtMostThreeTimesItsSize) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  WriteWholeFile(path, "");
  constexpr int kMegabytes = 32;
  const int growth = ChildProcess("large-value-setter", {path, std::to_string(kMegabytes)}).Wait();
  // The key's cache, the entry's line and the change kept for the flush's replay: three copies,
  // and a few megabytes of bookkeeping besides.
  if (kPeakIsExact) {
    EXPECT_LE(growth, 3 * kMegabytes + 4);
  }
  // The value reached the file whole.
  EXPECT_EQ(ReadWholeFile(path).size(),
            std::string("[/K]\nbig=\n").size() + (size_t{kMegabytes} << 20));
}

}  // namespace
