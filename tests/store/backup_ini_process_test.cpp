// BackupIni shared by several processes: no change lost under concurrent flushes, no damaged file
// after a writer is killed, the lock file's behaviour with dead and live holders, and a store
// root writes staying its owner's.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <random>

#include <zor-qel-rb-key/qel_error.h>
#include "atomic_replace.h"
#include "backup_ini.h"
#include "posix_file_system.h"
#include "scratch_files.h"

namespace {

// Runs `body` in a child process (exit status 0 when it returned, 1 when it threw) and returns
// once the child called the `ready` it is given, or ended.
pid_t Spawn(const std::function<void(const std::function<void()>& ready)>& body) {
  int ready_pipe[2];
  if (::pipe(ready_pipe) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    try {
      body([&ready_pipe] { ::close(ready_pipe[1]); });
    } catch (const QELError& error) {
      std::cerr << "child failed: " << error.What() << "\n";
      ::_exit(1);
    } catch (int number) {
      std::cerr << "child failed with store error " << number << "\n";
      ::_exit(1);
    }
    ::_exit(0);
  }
  ::close(ready_pipe[1]);
  char none;
  while (::read(ready_pipe[0], &none, 1) < 0 && errno == EINTR) continue;
  ::close(ready_pipe[0]);
  return child;
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
  const std::string head = "; shared by four writers\n[/Shared]\nseed=0\n";
  WriteWholeFile(path, head);
  IniContent expected{{"/Shared", {{"seed", "0"}}}};
  std::vector<pid_t> writers;
  for (int writer = 0; writer < 4; ++writer) {
    const std::string name = "w" + std::to_string(writer) + "_";
    for (int i = 1; i <= 1000; ++i) expected["/Shared"][name + std::to_string(i)] = name;
    expected["/Writer" + std::to_string(writer)]["last"] = "1000";
    writers.push_back(Spawn([&, writer, name](const std::function<void()>& ready) {
      ready();
      BackupIni ini(path);
      for (int i = 1; i <= 1000; ++i) {
        ini.SetKeyValue("/Shared", name + std::to_string(i), name);
        ini.SetKeyValue("/Writer" + std::to_string(writer), "last", std::to_string(i));
        if (i % batch == 0) ini.FlushIniDataToFile("");
      }
    }));
  }
  for (pid_t writer : writers) EXPECT_EQ(Reap(writer), 0);
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
  std::uniform_int_distribution<useconds_t> kill_delay(
      0, static_cast<useconds_t>(3 * flush_micros + 1000));
  std::mt19937 random(20240229);
  long last = 0;
  for (int round = 0; round < 200; ++round) {
    pid_t writer = Spawn([&](const std::function<void()>& ready) {
      BackupIni ini(path);
      ready();
      for (long counter = last + 1;; ++counter) {
        ini.SetKeyValue("/Crash", "counter", std::to_string(counter));
        ini.FlushIniDataToFile("");
      }
    });
    ::usleep(kill_delay(random));
    ::kill(writer, SIGKILL);
    ASSERT_EQ(Reap(writer), 128 + SIGKILL);

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
  ::setenv("QEL_LOCK_TIMEOUT_MS", "300", 1);
  BackupIni ini(path);
  ::unsetenv("QEL_LOCK_TIMEOUT_MS");
  ini.SetKeyValue("/A", "k", "changed");
  // Two handles of one process exclude each other.
  PosixIniFileSystem files;
  int first = -1;
  int second = -1;
  ASSERT_EQ(files.Lock(path + ".lock", nullptr, 0, &first), 0);
  EXPECT_EQ(files.Lock(path + ".lock", nullptr, 20, &second), ETIMEDOUT);
  files.Unlock(first);

  pid_t holder = Spawn([&](const std::function<void()>& ready) {
    int handle = -1;
    if (files.Lock(path + ".lock", nullptr, 0, &handle) != 0) ::_exit(2);
    ready();
    ::pause();
  });
  EXPECT_EQ(FlushFailure(ini, kIniLocked),
            "cannot write " + path + ": the store is locked by another writer (waited 300 ms)");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=v\n");
  EXPECT_EQ(ValueOf(ini, "/A", "k"), "changed");

  ::kill(holder, SIGKILL);
  EXPECT_EQ(Reap(holder), 128 + SIGKILL);
  ini.FlushIniDataToFile("");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=changed\n");
}

// The real file system, but a write stops halfway and waits for the end: its writer holds the
// store's lock with a half-written temporary file until it is killed.
class StallingFileSystem : public PosixIniFileSystem {
 public:
  explicit StallingFileSystem(std::function<void()> stalled) : stalled_(std::move(stalled)) {}
  int Write(int handle, const char* data, size_t size) override {
    PosixIniFileSystem::Write(handle, data, size / 2);
    stalled_();
    for (;;) ::pause();
  }

 private:
  std::function<void()> stalled_;
};

TEST(BackupIniProcessTest, ALiveWritersTemporaryFileStaysADeadOnesGoesWhateverItsProcessId) {
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  WriteWholeFile(path, "[/A]\nk=v\n");
  pid_t writer = Spawn([&](const std::function<void()>& ready) {
    BackupIni ini(path, std::make_shared<StallingFileSystem>(ready));
    ini.SetKeyValue("/A", "k", "stalled");
    ini.FlushIniDataToFile("");
  });
  // What a writer running as process 1, a container's first process, left when it was killed.
  const std::string pid_one = TemporaryFilePrefix(path) + "1.0";
  WriteWholeFile(dir.File(pid_one), "[/A]\nk=");
  const std::vector<std::string> before = dir.Names();
  ASSERT_EQ(before.size(), 4u);  // the store, its lock and the two temporary files

  ::setenv("QEL_LOCK_TIMEOUT_MS", "200", 1);
  BackupIni ini(path);
  ::unsetenv("QEL_LOCK_TIMEOUT_MS");
  ini.SetKeyValue("/A", "k", "mine");
  FlushFailure(ini, kIniLocked);
  EXPECT_EQ(dir.Names(), before);

  ::kill(writer, SIGKILL);
  EXPECT_EQ(Reap(writer), 128 + SIGKILL);
  ini.FlushIniDataToFile("");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"store.ini", "store.ini.lock"}));
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nk=mine\n");
}

// Runs `body` in a child process acting as the unprivileged user and group 65534 ("nobody");
// returns "" when it returned, else the text and code of what it threw.
std::string AsNobody(const std::function<void()>& body) {
  int out[2];
  if (::pipe(out) != 0) return "no pipe";
  pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    std::string text;
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
      text = "cannot become user 65534";
    } else {
      try {
        body();
      } catch (const QELError& error) {
        text = error.What() + " (code " + std::to_string(error.Code()) + ")";
      } catch (int number) {
        text = "store error " + std::to_string(number);
      }
    }
    if (::write(out[1], text.data(), text.size()) < 0) ::_exit(1);
    ::_exit(0);
  }
  ::close(out[1]);
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  ::close(out[0]);
  EXPECT_EQ(Reap(child), 0);
  return text;
}

// Sets one entry and flushes.
void SetAndFlush(const std::string& path, const std::string& key, const std::string& value) {
  BackupIni ini(path);
  ini.SetKeyValue("/A", key, value);
  ini.FlushIniDataToFile("");
}

TEST(BackupIniProcessTest, AWriterWithoutWritePermissionLeavesTheStoreAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to act as two users";
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  // The directory lets anyone replace the file; the file's mode lets only root write it.
  ASSERT_EQ(::chmod(dir.File(".").c_str(), 0777), 0);
  WriteWholeFile(path, "[/A]\n");
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  EXPECT_EQ(AsNobody([&] { SetAndFlush(path, "k", "v"); }),
            "cannot write " + path +
                ": the file is read-only for this process: Permission denied (code 4)");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\n");
  struct stat status;
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, 0u);
}

TEST(BackupIniProcessTest, AStoreRootWroteKeepsWorkingForItsOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to write the store of another user";
  ScratchDirectory dir;
  const std::string path = dir.File("store.ini");
  const std::string lock = path + ".lock";
  ASSERT_EQ(::chown(dir.File(".").c_str(), 65534, 65534), 0);
  WriteWholeFile(path, "[/A]\n");
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);

  // A lock file root made the old way: the owner is told whose it is.
  WriteWholeFile(lock, "");
  ASSERT_EQ(::chmod(lock.c_str(), 0644), 0);
  EXPECT_EQ(AsNobody([&] { SetAndFlush(path, "owner", "1"); }),
            "cannot write " + path + ": the lock file " + lock +
                " (owner root, mode 0644) cannot be opened for writing by this process: "
                "Permission denied (code 4)");
  // Root's next write gives it back to the store's owner, who writes on.
  SetAndFlush(path, "root", "2");
  EXPECT_EQ(AsNobody([&] { SetAndFlush(path, "owner", "3"); }), "");

  // A lock file that root makes is the owner's from the start.
  ASSERT_EQ(::unlink(lock.c_str()), 0);
  SetAndFlush(path, "root", "4");
  EXPECT_EQ(AsNobody([&] { SetAndFlush(path, "owner", "5"); }), "");
  EXPECT_EQ(ReadWholeFile(path), "[/A]\nroot=4\nowner=5\n");
  struct stat status;
  for (const std::string& file : {path, lock}) {
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 65534u) << file;
    EXPECT_EQ(status.st_gid, 65534u) << file;
    EXPECT_EQ(status.st_mode & 07777, 0600u) << file;
  }
}

}  // namespace
