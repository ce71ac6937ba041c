// BackupIni shared by several processes: no change lost under concurrent flushes, no damaged file
// after a writer is killed, and the lock file's behaviour with dead and live holders.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>

#include "ini.h"
#include "ini_file.h"
#include "qel_error.h"
#include "scratch_files.h"

namespace {

// Runs `body` in a child process; exit status 0 when it returned, 1 when it threw.
pid_t Spawn(const std::function<void()>& body) {
  pid_t child = ::fork();
  if (child != 0) return child;
  int status = 0;
  try {
    body();
  } catch (const QELError& error) {
    std::cerr << "child failed: " << error.What() << "\n";
    status = 1;
  } catch (int number) {
    std::cerr << "child failed with store error " << number << "\n";
    status = 1;
  }
  ::_exit(status);
}

int Reap(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Four writers each set 1,000 distinct entries of one group, flushing every `batch` changes.
void RunWriters(int batch) {
  ScratchDirectory dir;
  const std::string path = dir.File("shared.ini");
  WriteWholeFile(path, "; shared by four writers\n[/Shared]\nseed=0\n");
  constexpr int kWriters = 4;
  constexpr int kEntries = 1000;
  std::vector<pid_t> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.push_back(Spawn([&, writer] {
      BackupIni ini(path);
      for (int i = 1; i <= kEntries; ++i) {
        ini.SetKeyValue("/Shared", "w" + std::to_string(writer) + "_" + std::to_string(i),
                        std::to_string(i * 7));
        ini.SetKeyValue("/Writer" + std::to_string(writer), "last", std::to_string(i));
        if (i % batch == 0) ini.FlushIniDataToFile("");
      }
    }));
  }
  for (pid_t writer : writers) EXPECT_EQ(Reap(writer), 0);

  BackupIni result(path);
  const IniEntryMap* shared = result.GetGroupProperty("/Shared");
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(shared->size(), size_t{kWriters * kEntries + 1});
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int i = 1; i <= kEntries; ++i) {
      auto entry = shared->find("w" + std::to_string(writer) + "_" + std::to_string(i));
      ASSERT_NE(entry, shared->end()) << writer << " " << i;
      EXPECT_EQ(entry->second, std::to_string(i * 7));
    }
    const IniEntryMap* own = result.GetGroupProperty("/Writer" + std::to_string(writer));
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->at("last"), std::to_string(kEntries));
  }
  EXPECT_EQ(ReadWholeFile(path).rfind("; shared by four writers\n[/Shared]\nseed=0\n", 0), 0u);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"shared.ini", "shared.ini.lock"}));
}

TEST(BackupIniProcessTest, FourWritersFlushingEveryChangeLoseNothing) { RunWriters(1); }

TEST(BackupIniProcessTest, FourWritersCommittingEveryFiftyChangesLoseNothing) { RunWriters(50); }

TEST(BackupIniProcessTest, AWriterKilledAtRandomNeverLeavesADamagedFile) {
  ScratchDirectory dir;
  const std::string path = dir.File("large.ini");
  // A store of about a megabyte, so that a kill lands in every phase of a flush.
  std::string head = "; crash test\n[/Crash]\ncounter=";
  std::string tail = "\n";
  for (int group = 0; group < 12000; ++group) {
    tail += "\n[/Large/Group" + std::to_string(group) + "]\nfirst=" + std::string(40, 'a') +
            "\nsecond=value " + std::to_string(group) + "\n";
  }
  WriteWholeFile(path, head + "0" + tail);
  std::mt19937 random(20240229);
  long last = 0;
  for (int round = 0; round < 200; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t writer = Spawn([&] {
      BackupIni ini(path);
      char go = 'g';
      if (::write(ready[1], &go, 1) != 1) ::_exit(2);
      for (long counter = last + 1;; ++counter) {
        ini.SetKeyValue("/Crash", "counter", std::to_string(counter));
        ini.FlushIniDataToFile("");
      }
    });
    char go = 0;
    ASSERT_EQ(::read(ready[0], &go, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    ::usleep(std::uniform_int_distribution<useconds_t>(0, 15000)(random));
    ::kill(writer, SIGKILL);
    ASSERT_EQ(Reap(writer), 128 + SIGKILL);

    // The file is one whole version: the old one or one of the writer's.
    const std::string content = ReadWholeFile(path);
    ASSERT_EQ(content.compare(0, head.size(), head), 0) << "round " << round;
    size_t end = content.find('\n', head.size());
    ASSERT_NE(end, std::string::npos);
    long counter = std::stol(content.substr(head.size(), end - head.size()));
    ASSERT_GE(counter, last);
    ASSERT_EQ(content.size(), head.size() + (end - head.size()) + tail.size()) << "round " << round;
    ASSERT_EQ(content.compare(end, std::string::npos, tail), 0) << "round " << round;
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
  ::setenv("QEL_LOCK_TIMEOUT_MS", "300", 1);
  BackupIni ini(path);
  ::unsetenv("QEL_LOCK_TIMEOUT_MS");
  ini.SetKeyValue("/A", "k", "changed");

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t holder = Spawn([&] {
    PosixIniFileSystem files;
    int handle = -1;
    char answer = files.Lock(path + ".lock", 0, &handle) == 0 ? 'y' : 'n';
    if (::write(ready[1], &answer, 1) != 1) ::_exit(2);
    ::pause();
  });
  char answer = 0;
  ASSERT_EQ(::read(ready[0], &answer, 1), 1);
  ASSERT_EQ(answer, 'y');
  try {
    ini.FlushIniDataToFile("");
    ADD_FAILURE() << "flush under a live holder's lock did not fail";
  } catch (const QELError& error) {
    EXPECT_EQ(error.Code(), kIniLocked);
    EXPECT_EQ(error.What(),
              "cannot write " + path + ": the store is locked by another writer (waited 300 ms)");
  }
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=v\n");
  EXPECT_EQ(ini.GetGroupProperty("/A")->at("k"), "changed");

  ::kill(holder, SIGKILL);
  EXPECT_EQ(Reap(holder), 128 + SIGKILL);
  ::close(ready[0]);
  ::close(ready[1]);
  ini.FlushIniDataToFile("");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=changed\n");
}

}  // namespace
