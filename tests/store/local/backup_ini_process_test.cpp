// BackupIni shared by several processes: no change lost under concurrent flushes, no damaged file
// after a writer is killed, and the lock file's behaviour with dead and live holders. The
// processes are this test program started again in the roles below.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <random>
#include <thread>

#include <zor-qel-rb-key/qel_error.h>
#include "atomic_replace.h"
#include "backup_ini.h"
#include "forwarding_file_system.h"
#include "scratch_files.h"
#include "test_system.h"

namespace {

// Sets 1,000 distinct entries "<name><i>" of /Shared and /Writer<writer>/last, flushing every
// <batch> changes. Arguments: path, writer, batch.
[[maybe_unused]] const bool writer_role =
    RegisterChildRole("writer", [](const std::vector<std::string>& args) {
      const std::string& path = args.at(0);
      const std::string writer = args.at(1);
      const int batch = std::stoi(args.at(2));
      const std::string name = "w" + writer + "_";
      BackupIni ini(path);
      for (int i = 1; i <= 1000; ++i) {
        ini.SetKeyValue("/Shared", name + std::to_string(i), name);
        ini.SetKeyValue("/Writer" + writer, "last", std::to_string(i));
        if (i % batch == 0) ini.FlushIniDataToFile("");
      }
      return 0;
    });

// Counts /Crash/counter up from <last> + 1, flushing every change, until it is killed.
// Arguments: path, last.
[[maybe_unused]] const bool crash_role =
    RegisterChildRole("crash-writer", [](const std::vector<std::string>& args) {
      BackupIni ini(args.at(0));
      SignalReady();
      for (long counter = std::stol(args.at(1)) + 1;; ++counter) {
        ini.SetKeyValue("/Crash", "counter", std::to_string(counter));
        ini.FlushIniDataToFile("");
      }
      return 0;
    });

// Takes the lock file <path> and holds it until it is killed. Arguments: path.
[[maybe_unused]] const bool holder_role =
    RegisterChildRole("lock-holder", [](const std::vector<std::string>& args) {
      int handle = -1;
      if (DefaultIniFileSystem()->Lock(args.at(0), nullptr, 0, &handle) != 0) return 2;
      SignalReady();
      for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    });

// Four writers each set 1,000 distinct entries of one group, flushing every `batch` changes.
void RunWriters(int batch) {
  ScratchDirectory dir;
  const std::string path = dir.File("shared.ini");
  const std::string head = "; shared by four writers\n[/Shared]\nseed=0\n";
  WriteWholeFile(path, head);
  IniContent expected{{"/Shared", {{"seed", "0"}}}};
  std::vector<ChildProcess> writers;
  for (int writer = 0; writer < 4; ++writer) {
    const std::string name = "w" + std::to_string(writer) + "_";
    for (int i = 1; i <= 1000; ++i) expected["/Shared"][name + std::to_string(i)] = name;
    expected["/Writer" + std::to_string(writer)]["last"] = "1000";
    writers.emplace_back(
        "writer", std::vector<std::string>{path, std::to_string(writer), std::to_string(batch)});
  }
  for (ChildProcess& writer : writers) EXPECT_EQ(writer.Wait(), 0);
  BackupIni result(path);
  EXPECT_TRUE(ContentOf(result) == expected);
  EXPECT_EQ(result.GetGroupProperty("/Shared")->size(), 4001u);
  EXPECT_EQ(ReadWholeFile(path).rfind(head, 0), 0u);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"shared.ini", "shared.ini.lock"}));
}

TEST(BackupIniProcessTest, FourWritersFlushingEveryChangeLoseNothing) { RunWriters(1); }

TEST(BackupIniProcessTest, FourWritersCommittingEveryFiftyChangesLoseNothing) { RunWriters(50); }

TEST(BackupIniProcessTest, AWriterKilledAtRandomNeverLeavesADamagedFile) {
  ScratchDirectory dir;
  const std::string path = dir.File("large.ini");
  // A store of about a megabyte, so that a kill lands in every phase of a flush.
  const std::string head = "; crash test\n[/Crash]\ncounter=";
  std::string tail = "\n";
  for (int group = 0; group < 12000; ++group) {
    tail += "\n[/Large/Group" + std::to_string(group) + "]\nfirst=" + std::string(40, 'a') +
            "\nsecond=value " + std::to_string(group) + "\n";
  }
  WriteWholeFile(path, head + "0" + tail);
  // Kill moments spread over a few flushes' time, however fast this machine (or a sanitizer
  // build) flushes, so that kills land before, during and after writes.
  const auto started = std::chrono::steady_clock::now();
  {
    BackupIni ini(path);
    ini.SetKeyValue("/Crash", "counter", "0");
    ini.FlushIniDataToFile("");
  }
  const auto flush_micros = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
  std::uniform_int_distribution<long> kill_delay(0, 3 * static_cast<long>(flush_micros) + 1000);
  std::mt19937 random(20240229);
  long last = 0;
  for (int round = 0; round < 200; ++round) {
    ChildProcess writer("crash-writer", {path, std::to_string(last)}, true);
    std::this_thread::sleep_for(std::chrono::microseconds(kill_delay(random)));
    writer.Kill();
    ASSERT_EQ(writer.Wait(), ChildProcess::kKilled);

    // The file is one whole version: the old one or one of the writer's.
    const std::string content = ReadWholeFile(path);
    long counter = content.size() > head.size() ? std::atol(content.c_str() + head.size()) : -1;
    ASSERT_EQ(content, head + std::to_string(counter) + tail) << "round " << round;
    ASSERT_GE(counter, last);
    last = counter;

    // Every tenth round a flush by the next writer clears what the killed one left behind; the
    // lock the dead writer may have held does not stand in its way.
    if (round % 10 == 9) {
      BackupIni ini(path);
      ini.FlushIniDataToFile("");
      ASSERT_EQ(dir.Names(), (std::vector<std::string>{"large.ini", "large.ini.lock"}));
    }
  }
  EXPECT_GT(last, 0);
}

TEST(BackupIniProcessTest, ALiveLockHolderMakesTheFlushWaitThenFailADeadOneDoesNot) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  WriteWholeFile(path, "[/A]\nk=v\n");
  SetEnvironment("QEL_LOCK_TIMEOUT_MS", "300");
  BackupIni ini(path);
  UnsetEnvironment("QEL_LOCK_TIMEOUT_MS");
  ini.SetKeyValue("/A", "k", "changed");
  // Two handles of one process exclude each other.
  IniFileSystem& files = *DefaultIniFileSystem();
  int first = -1;
  int second = -1;
  ASSERT_EQ(files.Lock(path + ".lock", nullptr, 0, &first), 0);
  EXPECT_EQ(files.Lock(path + ".lock", nullptr, 20, &second), ETIMEDOUT);
  files.Unlock(first);

  ChildProcess holder("lock-holder", {path + ".lock"}, true);
  EXPECT_EQ(FlushFailure(ini, kIniLocked),
            "cannot write " + path + ": the store is locked by another writer (waited 300 ms)");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=v\n");
  EXPECT_EQ(ValueOf(ini, "/A", "k"), "changed");

  holder.Kill();
  EXPECT_EQ(holder.Wait(), ChildProcess::kKilled);
  ini.FlushIniDataToFile("");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=changed\n");
}

// The real file system, but a write stops halfway and waits for the end: its writer holds the
// store's lock with a half-written temporary file until it is killed.
class StallingFileSystem : public ForwardingFileSystem {
 public:
  int Write(int handle, const char* data, size_t size) override {
    ForwardingFileSystem::Write(handle, data, size / 2);
    SignalReady();
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
};

// Writes <path> through a StallingFileSystem. Arguments: path.
[[maybe_unused]] const bool stalling_role =
    RegisterChildRole("stalling-writer", [](const std::vector<std::string>& args) {
      BackupIni ini(args.at(0), std::make_shared<StallingFileSystem>());
      ini.SetKeyValue("/A", "k", "stalled");
      ini.FlushIniDataToFile("");
      return 0;
    });

TEST(BackupIniProcessTest, ALiveWritersTemporaryFileStaysADeadOnesGoesWhateverItsProcessId) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  WriteWholeFile(path, "[/A]\nk=v\n");
  ChildProcess writer("stalling-writer", {path}, true);
  // What a writer running as process 1, a container's first process, left when it was killed.
  const std::string pid_one = TemporaryFilePrefix(path) + "1.0";
  WriteWholeFile(dir.File(pid_one), "[/A]\nk=");
  const std::vector<std::string> before = dir.Names();
  ASSERT_EQ(before.size(), 4u);  // the store, its lock and the two temporary files

  SetEnvironment("QEL_LOCK_TIMEOUT_MS", "200");
  BackupIni ini(path);
  UnsetEnvironment("QEL_LOCK_TIMEOUT_MS");
  ini.SetKeyValue("/A", "k", "mine");
  FlushFailure(ini, kIniLocked);
  EXPECT_EQ(dir.Names(), before);

  writer.Kill();
  EXPECT_EQ(writer.Wait(), ChildProcess::kKilled);
  ini.FlushIniDataToFile("");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"store.ini", "store.ini.lock"}));
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=mine\n");
}

}  // namespace
