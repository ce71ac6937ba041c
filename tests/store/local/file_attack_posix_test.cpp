// The local store's files against whoever may write the store's directory: for each file
// operation of a login and a write, something is planted at the path it works on just before it
// runs (links to a file or directory outside, a dangling link, a FIFO, a directory, a hard link),
// with the writer running as root or as the store's owner; and at a stack's layers, the writable
// top one and a lower one, around its login, a write and a refresh. Nothing outside the store
// may change, a lower layer is never written, the writer returns within its lock timeout, a
// refusal names the file (on a stack, the layer), and a refused write leaves the store and the
// caller's changes as they were. Linux only, and only as root (to act as two users).
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <tuple>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include "atomic_replace.h"
#include "backup_ini.h"
#include "forwarding_file_system.h"
#include "scratch_files.h"

namespace {

constexpr uid_t kOwner = 65534;  // "nobody": owns the store and its directory, and plants
constexpr int kLockTimeoutMs = 1500;
const char kOldStore[] = "[/A]\nk=old\n";
const char kSecret[] = "[/Secret]\nk=root only\n";  // an INI file, so a merge of it would load
const char kLowerStore[] = "[/A]\nk=lower\nm=1\n";  // a stack's lower layer under the store

// Where the plant happens: just before (or, for kStoreAfterLock, after) the operation named.
enum class Site {
  kStoreAtLogin,      // the store, before the login opens it
  kStoreAtWrite,      // the store, before the write looks at it
  kStoreAfterLock,    // the store, between taking the lock and reading the file back
  kLockFile,          // <store>.lock, before it is opened and locked
  kTemporaryFile,     // the temporary file's name, before it is created
  kTemporaryRenamed,  // the temporary file, before it is renamed over the store
  kStoreRenamedOver,  // the store, before the temporary file is renamed over it
  kAbandonedFile,     // a name of a temporary file left behind, before those are removed
  // The store as the top layer of a stack over a lower layer, through the stack's keys:
  kLowerAtLogin,    // the lower layer, before the login opens it
  kLowerAtRefresh,  // the lower layer, after a write, before a refresh reads it again
  kTopAtLogin,      // the store, before the login opens it
  kTopAtWrite,      // the store, before the write
};
enum class Plant {
  kLinkToFile,          // a symbolic link to root's private file
  kLinkToReadableFile,  // a symbolic link to root's file that everyone may read
  kLinkToDirectory,
  kDanglingLink,
  kFifo,
  kDirectory,
  kHardLink,  // another name of root's private file
};
enum class Runner { kRoot, kOwner };

std::string SiteName(Site site) {
  static const char* const names[] = {"StoreAtLogin",     "StoreAtWrite",  "StoreAfterLock",
                                      "LockFile",         "TemporaryFile", "TemporaryRenamed",
                                      "StoreRenamedOver", "AbandonedFile", "LowerAtLogin",
                                      "LowerAtRefresh",   "TopAtLogin",    "TopAtWrite"};
  return names[static_cast<int>(site)];
}
std::string PlantName(Plant plant) {
  static const char* const names[] = {
      "LinkToFile", "LinkToReadableFile", "LinkToDirectory", "DanglingLink",
      "Fifo",       "Directory",          "HardLink"};
  return names[static_cast<int>(plant)];
}

// What may not change: each outside path's content (a directory's names), owner and mode.
std::map<std::string, std::string> Snapshot(const std::vector<std::string>& paths) {
  std::map<std::string, std::string> seen;
  for (const std::string& path : paths) {
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0) {
      seen[path] = "missing";
      continue;
    }
    std::string text = std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid) + " " +
                       std::to_string(status.st_mode) + " ";
    if (S_ISDIR(status.st_mode)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        text += entry.path().filename().string() + ",";
      }
    } else {
      text += ReadWholeFile(path);
    }
    seen[path] = text;
  }
  return seen;
}

// The world of one case: an outside directory of root's with a secret file and a subdirectory,
// and the owner's directory with the store.
struct World {
  ScratchDirectory scratch;
  std::string outside = scratch.File("outside");
  std::string secret = outside + "/secret.ini";
  std::string readable = outside + "/readable.ini";
  std::string outside_directory = outside + "/directory";
  std::string missing = outside + "/missing.ini";
  std::string directory = scratch.File("store");
  std::string store = directory + "/store.ini";
  std::string lower = directory + "/lower.ini";

  World() {
    EXPECT_EQ(::chmod(scratch.File(".").c_str(), 0755), 0);
    EXPECT_EQ(::mkdir(outside.c_str(), 0755), 0);
    EXPECT_EQ(::mkdir(outside_directory.c_str(), 0755), 0);
    WriteWholeFile(secret, kSecret);
    EXPECT_EQ(::chmod(secret.c_str(), 0600), 0);
    WriteWholeFile(readable, "[/Readable]\nk=1\n");
    EXPECT_EQ(::chmod(readable.c_str(), 0644), 0);
    EXPECT_EQ(::mkdir(directory.c_str(), 0755), 0);
    EXPECT_EQ(::chown(directory.c_str(), kOwner, kOwner), 0);
    WriteWholeFile(store, kOldStore);
    EXPECT_EQ(::chown(store.c_str(), kOwner, kOwner), 0);
    EXPECT_EQ(::chmod(store.c_str(), 0644), 0);
    WriteWholeFile(lower, kLowerStore);
    EXPECT_EQ(::chown(lower.c_str(), kOwner, kOwner), 0);
  }
  std::vector<std::string> OutsidePaths() const {
    return {outside, secret, readable, outside_directory, missing};
  }

  // Puts `plant` at `path` as the directory's owner would (a hard link as a system without
  // protected hard links lets them), whatever user the caller acts as; an entry already there
  // is moved aside first.
  void PlantAt(const std::string& path, Plant plant) const {
    const uid_t acting = ::geteuid();
    if (acting != 0 && ::seteuid(0) != 0) return;
    ::rename(path.c_str(), (path + ".aside").c_str());
    switch (plant) {
      case Plant::kLinkToFile:
        ::symlink(secret.c_str(), path.c_str());
        break;
      case Plant::kLinkToReadableFile:
        ::symlink(readable.c_str(), path.c_str());
        break;
      case Plant::kLinkToDirectory:
        ::symlink(outside_directory.c_str(), path.c_str());
        break;
      case Plant::kDanglingLink:
        ::symlink(missing.c_str(), path.c_str());
        break;
      case Plant::kFifo:
        ::mkfifo(path.c_str(), 0666);
        break;
      case Plant::kDirectory:
        ::mkdir(path.c_str(), 0755);
        break;
      case Plant::kHardLink:
        ::link(secret.c_str(), path.c_str());
        break;
    }
    if (plant != Plant::kHardLink) ::lchown(path.c_str(), kOwner, kOwner);
    if (acting != 0 && ::seteuid(acting) != 0) ::_exit(3);
  }
};

// The platform's file system, planting once at the site's path when the site's operation comes.
class PlantingFileSystem : public ForwardingFileSystem {
 public:
  PlantingFileSystem(const World& world, Site site, Plant plant)
      : world_(world), site_(site), plant_(plant) {}
  bool writing = false;  // the login is over: write operations are watched

  int ResolveLinks(const std::string& path, std::string* target) override {
    if (writing) Once(Site::kStoreAtWrite, path);
    return ForwardingFileSystem::ResolveLinks(path, target);
  }
  int Lock(const std::string& path, const FileStamp* like, int timeout_ms, int* handle) override {
    Once(Site::kLockFile, path);
    const int error = ForwardingFileSystem::Lock(path, like, timeout_ms, handle);
    Once(Site::kStoreAfterLock, world_.store);
    return error;
  }
  int CreateFile(const std::string& path, const FileStamp* like, int* handle) override {
    Once(Site::kTemporaryFile, path);
    return ForwardingFileSystem::CreateFile(path, like, handle);
  }
  int Rename(const std::string& from, const std::string& to) override {
    Once(Site::kTemporaryRenamed, from);
    Once(Site::kStoreRenamedOver, to);
    return ForwardingFileSystem::Rename(from, to);
  }
  int ListDirectory(const std::string& directory, std::vector<std::string>* names) override {
    Once(Site::kAbandonedFile, directory + "/" + TemporaryFilePrefix(world_.store) + "1.1");
    return ForwardingFileSystem::ListDirectory(directory, names);
  }

 private:
  void Once(Site site, const std::string& path) {
    if (site != site_ || planted_) return;
    planted_ = true;
    world_.PlantAt(path, plant_);
  }
  const World& world_;
  Site site_;
  Plant plant_;
  bool planted_ = false;
};

// What one login and write did, as the child process reports it.
struct Outcome {
  bool returned = false;  // the child ended by itself within the bound
  std::string text;       // "login: ..." / "write: ..." for a failure, "written" on success
  std::string memory;     // the value in memory after the write
};

// A stack of the lower layer under the store: logs in, writes k=new and refreshes, planting at
// the site's layer on the way; says what failed as LoginAndWrite's child does.
void Stack(const World& world, Site site, Plant plant, std::string& text, std::string& memory) {
  if (site == Site::kLowerAtLogin) world.PlantAt(world.lower, plant);
  if (site == Site::kTopAtLogin) world.PlantAt(world.store, plant);
  try {
    QELConnection connection(QELConnection::INI);
    connection.Login("layers:" + world.lower + "|" + world.store, 0, "", "");
    if (site == Site::kTopAtWrite) world.PlantAt(world.store, plant);
    QELRBKey key("/A", connection);
    try {
      key.SetValue("k", QELRBValue("new"));
      text = "written";
      if (site == Site::kLowerAtRefresh) world.PlantAt(world.lower, plant);
      connection.Refresh();
    } catch (const QELError& error) {
      text = (text == "written" ? "refresh: " : "write: ") + error.What();
    }
    memory = static_cast<std::string>(key.GetValue("k"));
  } catch (const QELError& error) {
    text = "login: " + error.What();
  }
}

// Logs in to the world's store and writes k=new, acting as `runner`, in a child process that
// must end within the lock timeout and a margin.
Outcome LoginAndWrite(const World& world, Site site, Plant plant, Runner runner) {
  int out[2];
  if (::pipe(out) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    std::string text;
    std::string memory;
    // Only the effective ids change, so that the planter can act as the owner in between.
    if (runner == Runner::kOwner &&
        (::setgroups(0, nullptr) != 0 || ::setegid(kOwner) != 0 || ::seteuid(kOwner) != 0)) {
      text = "cannot act as the owner";
    } else if (site >= Site::kLowerAtLogin) {
      Stack(world, site, plant, text, memory);
    } else {
      auto files = std::make_shared<PlantingFileSystem>(world, site, plant);
      if (site == Site::kStoreAtLogin) world.PlantAt(world.store, plant);
      try {
        BackupIni ini(world.store, files);
        files->writing = true;
        ini.SetKeyValue("/A", "k", "new");
        try {
          ini.FlushIniDataToFile("");
          text = "written";
        } catch (const QELError& error) {
          text = "write: " + error.What() + " (code " + std::to_string(error.Code()) + ")";
        }
        memory = ValueOf(ini, "/A", "k");
      } catch (const QELError& error) {
        text = "login: " + error.What();
      }
    }
    text += '\n' + memory;
    if (::write(out[1], text.data(), text.size()) < 0) ::_exit(1);
    ::_exit(0);
  }
  ::close(out[1]);
  Outcome outcome;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockTimeoutMs + 5000);
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      ::close(out[0]);
      return outcome;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  outcome.returned = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::string report;
  char buffer[1024];
  for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    report.append(buffer, static_cast<size_t>(got));
  }
  ::close(out[0]);
  const size_t newline = report.find('\n');
  outcome.text = report.substr(0, newline);
  if (newline != std::string::npos) outcome.memory = report.substr(newline + 1);
  return outcome;
}

// The store's bytes when it is a regular file (read without blocking on what was planted there).
std::string StoreBytes(const World& world) {
  struct stat status;
  if (::lstat(world.store.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return "<no file>";
  return ReadWholeFile(world.store);
}

class FileAttackTest : public ::testing::TestWithParam<std::tuple<Site, Plant, Runner>> {};

TEST_P(FileAttackTest, NothingOutsideChangesAndTheWriterAnswersInTime) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to act as root and as the store's owner";
  const auto [site, plant, runner] = GetParam();
  SetEnvironment("QEL_LOCK_TIMEOUT_MS", std::to_string(kLockTimeoutMs));
  World world;
  const auto outside_before = Snapshot(world.OutsidePaths());
  const Outcome outcome = LoginAndWrite(world, site, plant, runner);
  UnsetEnvironment("QEL_LOCK_TIMEOUT_MS");

  ASSERT_TRUE(outcome.returned) << "the writer did not return within the lock timeout";
  EXPECT_EQ(Snapshot(world.OutsidePaths()), outside_before) << outcome.text;
  // Sites whose plant takes the store's own name, which its owner may do.
  const bool store_planted = site == Site::kStoreAtLogin || site == Site::kStoreAtWrite ||
                             site == Site::kStoreAfterLock || site == Site::kStoreRenamedOver ||
                             site == Site::kTemporaryRenamed || site == Site::kTopAtLogin ||
                             site == Site::kTopAtWrite;
  if (outcome.text == "written") {
    // The store is the file written, whatever was planted on the way.
    struct stat status;
    ASSERT_EQ(::lstat(world.store.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_NE(StoreBytes(world).find("k=new\n"), std::string::npos);
    // And it stays its owner's, unless its name was made another name of root's file.
    if (!(store_planted && plant == Plant::kHardLink)) {
      EXPECT_EQ(status.st_uid, kOwner);
    }
  } else if (site >= Site::kLowerAtLogin) {
    // A refusal names the layer that met it, and keeps the caller's change.
    const bool lower = site == Site::kLowerAtLogin || site == Site::kLowerAtRefresh;
    const std::string layer =
        lower ? "layer 1 of 2 (" + world.lower + "): " : "layer 2 of 2 (" + world.store + "): ";
    // A top layer planted before the login may open and then refuse the write.
    const bool step = site == Site::kLowerAtRefresh ? outcome.text.rfind("refresh: ", 0) == 0
                      : site == Site::kTopAtWrite   ? outcome.text.rfind("write: ", 0) == 0
                                                    : outcome.text.rfind("login: ", 0) == 0 ||
                                                        (site == Site::kTopAtLogin &&
                                                         outcome.text.rfind("write: ", 0) == 0);
    EXPECT_TRUE(step) << outcome.text;
    EXPECT_NE(outcome.text.find(layer), std::string::npos) << outcome.text;
    if (outcome.text.rfind("login: ", 0) != 0) {
      EXPECT_EQ(outcome.memory, "new");
    }
  } else if (outcome.text.rfind("login: ", 0) == 0) {
    EXPECT_EQ(site, Site::kStoreAtLogin) << outcome.text;
  } else {
    // A clear refusal naming the store, with the file and the caller's change as they were.
    EXPECT_EQ(outcome.text.rfind("write: cannot write " + world.store + ": ", 0), 0u)
        << outcome.text;
    EXPECT_EQ(outcome.memory, "new");
    if (!store_planted) {
      EXPECT_EQ(StoreBytes(world), kOldStore) << outcome.text;
    }
  }
  // The lower layer is never written: what is left of it, planted or moved aside, is as it was.
  for (const std::string& path : {world.lower, world.lower + ".aside"}) {
    struct stat status;
    if (::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == kOwner) {
      EXPECT_EQ(ReadWholeFile(path), kLowerStore) << outcome.text;
    }
  }
  // Nothing of the file outside reaches anyone but root through the store, whatever happened.
  struct stat status;
  if (StoreBytes(world).find("Secret") != std::string::npos &&
      ::lstat(world.store.c_str(), &status) == 0) {
    EXPECT_EQ(status.st_uid, 0u) << outcome.text;
    EXPECT_EQ(status.st_mode & 0077, 0u) << outcome.text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryOperationPlantAndUser, FileAttackTest,
    ::testing::Combine(
        ::testing::Values(Site::kStoreAtLogin, Site::kStoreAtWrite, Site::kStoreAfterLock,
                          Site::kLockFile, Site::kTemporaryFile, Site::kTemporaryRenamed,
                          Site::kStoreRenamedOver, Site::kAbandonedFile, Site::kLowerAtLogin,
                          Site::kLowerAtRefresh, Site::kTopAtLogin, Site::kTopAtWrite),
        ::testing::Values(Plant::kLinkToFile, Plant::kLinkToReadableFile, Plant::kLinkToDirectory,
                          Plant::kDanglingLink, Plant::kFifo, Plant::kDirectory, Plant::kHardLink),
        ::testing::Values(Runner::kRoot, Runner::kOwner)),
    [](const ::testing::TestParamInfo<std::tuple<Site, Plant, Runner>>& info) {
      return SiteName(std::get<0>(info.param)) + "_" + PlantName(std::get<1>(info.param)) + "_" +
             (std::get<2>(info.param) == Runner::kRoot ? "Root" : "Owner");
    });

}  // namespace
