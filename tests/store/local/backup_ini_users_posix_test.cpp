// BackupIni used by two users (root and "nobody"): a writer without write permission leaves the
// store alone, and a store root writes stays its owner's. POSIX only: Windows has no users to
// switch to by id, and keeps permissions in ACLs.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include <zor-qel-rb-key/qel_error.h>
#include "backup_ini.h"
#include "scratch_files.h"

namespace {

int Reap(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
