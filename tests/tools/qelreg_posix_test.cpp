// qelreg where only POSIX systems set the scene: output to a full device or a closed descriptor,
// the mode of a store file it creates, its bash completion, a watch ended by a signal, copies to
// and from an etcd cluster (which runs beside the tests on POSIX systems only), and a copy killed
// in mid-run.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "etcd_cluster.h"
#include "scratch_files.h"
#include "webdav_server.h"

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

class QelregTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteWholeFile(store_, ReadWholeFile(QEL_SOURCE_DIR "/examples/sample.ini"));
  }

  // Runs qelreg with `args` (none holds a single quote), standard input from `in` and standard
  // output redirected by `out`.
  Result Run(const std::vector<std::string>& args, const std::string& in = "/dev/null",
             const std::string& out = "") const {
    std::string command = std::string("'") + QELREG_PATH + "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    command +=
        " <" + in + " " + (out.empty() ? ">" + dir_.File("out") : out) + " 2>" + dir_.File("err");
    WriteWholeFile(dir_.File("out"), "");
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWholeFile(dir_.File("out")),
            ReadWholeFile(dir_.File("err"))};
  }

  // Runs qelreg on the copy of the sample store.
  Result OnStore(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--store", store_});
    return Run(args);
  }

  // Expects `r` to have failed with `status` and a message starting with `head`, the sample
  // store left as it was.
  void ExpectFailure(const Result& r, int status, const std::string& head) const {
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.err.substr(0, head.size()), head);
    EXPECT_EQ(ReadWholeFile(store_), ReadWholeFile(QEL_SOURCE_DIR "/examples/sample.ini"));
  }

  ScratchDirectory dir_;
  const std::string store_ = dir_.File("sample.ini");
};

TEST_F(QelregTest, AStoreFileMadeByCreateIsReadableByItsOwnerOnly) {
  const std::string created = dir_.File("new.ini");
  Result r = Run({"--store", created, "--create", "mkkey", "-p", "/A"});
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat status {};
  ASSERT_EQ(stat(created.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(QelregTest, OutputThatCannotBeWrittenIsReported) {
  const std::vector<std::string> change{"--store", store_,   "set", "/ZOR_Software", "vendor",
                                        "Other",   "--then", "get", "/ZOR_Software", "vendor"};
  Result r = Run(change, "/dev/null", ">/dev/full");
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, "qelreg: store " + store_ +
                       ": the changes were committed, but the output could not be written: No "
                       "space left on device\n");
  EXPECT_NE(ReadWholeFile(store_).find("vendor=Other\n"), std::string::npos);
  r = Run(change, "/dev/null", ">&-");
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("committed, but the output could not be written: Bad file descriptor\n"),
            std::string::npos)
      << r.err;
  r = Run({"--store", store_, "tree"}, "/dev/null", ">/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "qelreg: store " + store_ + ": cannot write the output: No space left on device\n");
}

TEST_F(QelregTest, BashCompletionOffersCommandsOptionsAndKeys) {
  const std::string tool = QELREG_PATH;
  const std::string script = QEL_SOURCE_DIR "/tools/qelreg/qelreg.bash-completion";
  // The words of a command line, the last one being completed, and what is offered.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"qelreg --store " + store_ + " r", "rm\nrmkey\nroot\n"},
      {"qelreg --cr", "--create\n"},
      {"qelreg --store " + store_ + " tree --c", "--children\n"},
      {"qelreg --store " + store_ + " get /ZOR_Software/qel4ds/Config/L",
       "/ZOR_Software/qel4ds/Config/Logging\n"},
      {"qelreg --store " + store_ + " get /A x --then mk", "mkkey\n"},
  };
  for (const auto& [line, offered] : cases) {
    WriteWholeFile(dir_.File("complete.sh"),
                   "PATH=\"" + tool.substr(0, tool.rfind('/')) + ":$PATH\"\nsource '" + script +
                       "'\nCOMP_WORDS=(" + line +
                       ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_qelreg\n"
                       "printf '%s\\n' \"${COMPREPLY[@]}\"\n");
    const std::string command =
        "bash " + dir_.File("complete.sh") + " >" + dir_.File("out") + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << line;
    EXPECT_EQ(ReadWholeFile(dir_.File("out")), offered) << line;
  }
}

TEST_F(QelregTest, CopyMovesAWholeStoreBetweenAFileWebDavAndEtcd) {
  WebDavServer server;
  server.WriteFile("moved.ini", "");
  EtcdCluster::Options options;
  options.members = 1;
  EtcdCluster cluster(options);
  setenv("QEL_REMOTE_CA_FILE", server.CaFile().c_str(), 1);
  setenv("QEL_PASSWORD", WebDavServer::kPassword, 1);
  const std::string etcd = cluster.Address("/moved");
  const std::string webdav = "https://" + server.HostPort() + "/moved.ini";
  const std::string file = dir_.File("moved.ini");
  const std::string user = WebDavServer::kUser;

  // The sample's 354 keys are more than one etcd transaction may hold: the copy commits them in
  // halves by itself.
  Result r = Run({"--user", user, "copy", store_, etcd, "--progress"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("refused 354 keys in one commit; committing 177 at a time"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "copied 354 keys and 955 values from " + store_ + " to " + etcd + "\n");
  // From one etcd prefix to another, group by group.
  const std::string moved = cluster.Address("/moved-again/");
  r = Run({"--user", user, "copy", etcd, moved, "--progress"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("127 of "), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "copied 354 keys and 955 values from " + etcd + " to " + moved + "\n");
  r = Run({"--user", user, "copy", moved, webdav});
  EXPECT_EQ(r.status, 0) << r.err;
  r = Run({"--user", user, "copy", webdav, file});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string exported = OnStore({"export"}).out;
  EXPECT_EQ(Run({"--store", file, "export"}).out, exported);
  EXPECT_EQ(Run({"--remote", etcd, "--user", user, "export"}).out, exported);

  // Nothing is copied over keys a store already holds, nor without what a copy needs.
  ExpectFailure(Run({"copy", file, store_}), 1,
                "qelreg: copy: store " + store_ + ", file " + file + ": the destination " + store_ +
                    " already holds keys");
  EXPECT_EQ(Run({"copy", store_, webdav}).status, 2);  // a WebDAV store needs --user
  // An etcd cluster without authentication needs none, named by an option or by QEL_STORE.
  EXPECT_EQ(Run({"--remote", etcd, "export"}).out, exported);
  setenv("QEL_STORE", etcd.c_str(), 1);
  EXPECT_EQ(Run({"export"}).out, exported);
  unsetenv("QEL_STORE");
  EXPECT_EQ(Run({"copy", store_, dir_.File("x.ini"), "--then", "tree"}).status, 2);
  EXPECT_EQ(Run({"--store", store_, "copy", store_, dir_.File("x.ini")}).status, 2);
  unsetenv("QEL_PASSWORD");
  unsetenv("QEL_REMOTE_CA_FILE");
}

TEST_F(QelregTest, ImportCommitsInBatchesOnAClusterWithDefaultLimitsAndResumesAfterAKill) {
  EtcdCluster::Options options;
  options.members = 1;
  EtcdCluster cluster(options);
  setenv("QEL_PASSWORD", "", 1);
  const std::vector<std::string> etcd = {"--remote", cluster.Address("/imported/"), "--user", "u"};
  const auto on = [&](std::vector<std::string> args) {
    args.insert(args.begin(), etcd.begin(), etcd.end());
    return Run(args);
  };
  const std::string file = dir_.File("import.ini");
  std::string text = "[/Import]\n";
  for (int i = 0; i < 300; ++i) text += "[/Import/K" + std::to_string(1000 + i) + "]\nv=x\n";
  WriteWholeFile(file, text);
  Result r = on({"import", file, "--progress"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "imported 301 keys (301 new) and 300 values from " + file + "\n");
  EXPECT_NE(r.err.find(" of 301 keys committed\n"), std::string::npos) << r.err;
  // Its 300 subkeys go in one commit; a commit too large fails whole, and qelreg, which exits,
  // does not say the changes stay in memory.
  r = on({"rmkey", "--yes", "/Import"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(cluster.Get("/imported/").empty());
  std::vector<std::string> many;
  for (int i = 0; i < 130; ++i)
    many.insert(many.end(), {"mkkey", "/M" + std::to_string(i), "--then"});
  many.pop_back();
  r = on(many);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--max-txn-ops"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("kept in memory"), std::string::npos) << r.err;

  // Killed after some commits, the same import run again ends with the whole file imported.
  const std::string progress = dir_.File("progress");
  const pid_t importer = ::fork();
  if (importer == 0) {
    const int err = ::open(progress.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err < 0 || ::dup2(err, STDERR_FILENO) < 0) ::_exit(126);
    std::vector<const char*> argv = {"qelreg"};
    for (const std::string& arg : etcd) argv.push_back(arg.c_str());
    for (const char* arg : {"import", file.c_str(), "--batch", "1", "--progress"})
      argv.push_back(arg);
    argv.push_back(nullptr);
    ::execv(QELREG_PATH, const_cast<char* const*>(argv.data()));
    ::_exit(127);
  }
  bool started = false;
  for (int round = 0; round < 2000 && !started; ++round) {
    started = ReadWholeFile(progress).find("20 of 301") != std::string::npos;
    if (!started) ::usleep(5000);
  }
  ::kill(importer, SIGKILL);
  int status = 0;
  ::waitpid(importer, &status, 0);
  ASSERT_TRUE(started) << ReadWholeFile(progress);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the import ended before it was killed";
  r = on({"import", file});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("(301 new)"), std::string::npos) << r.out;
  EXPECT_EQ(on({"export"}).out, Run({"--store", file, "export"}).out);
  // The scheme in capitals names the same store.
  r = Run({"--user", "u", "copy", "ETCD" + etcd[1].substr(4), dir_.File("back.ini")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Run({"--store", dir_.File("back.ini"), "export"}).out, on({"export"}).out);
  unsetenv("QEL_PASSWORD");
}

TEST_F(QelregTest, ACopyKilledBetweenBatchesIsMarkedAndResumedByTheSameCopy) {
  std::string keys;
  for (int i = 0; i < 3000; ++i) keys += "[/K" + std::to_string(10000 + i) + "]\nv=x\n";
  const std::string source = dir_.File("source.ini");
  const std::string copy = dir_.File("copy.ini");
  const std::string marker = "[/qelreg-copy-in-progress]\nsource=" + source + "\n";
  WriteWholeFile(source, keys);
  const pid_t copier = ::fork();
  if (copier == 0) {
    ::execl(QELREG_PATH, "qelreg", "copy", source.c_str(), copy.c_str(), "--batch", "1",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Killed once some batches are committed.
  bool started = false;
  for (int round = 0; round < 2000 && !started; ++round) {
    started = ReadWholeFile(copy).find("[/K10020]") != std::string::npos;
    if (!started) ::usleep(10000);
  }
  ::kill(copier, SIGKILL);
  int status = 0;
  ::waitpid(copier, &status, 0);
  ASSERT_TRUE(started);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the copy ended before it was killed";
  // What is there says it is unfinished; another copy may not finish it.
  const std::string left = ReadWholeFile(copy);
  EXPECT_EQ(left.rfind(marker, 0), 0u) << left.substr(0, 200);
  Result r = Run({"copy", store_, copy});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("holds an unfinished copy of " + source + "; only that copy"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadWholeFile(copy), left);
  // Nor may an unfinished copy be copied.
  r = Run({"copy", copy, dir_.File("other.ini")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is an unfinished copy"), std::string::npos) << r.err;

  // The source changes a copied key and loses another; the same copy, run again, skips what it
  // copied before and ends with the source as it is now.
  r = Run(
      {"--store", source, "set", "/K10000", "v", "changed", "--then", "rmkey", "--yes", "/K10001"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run({"copy", source, copy, "--batch", "500"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(
      r.out.find("copied 2999 keys and 2999 values from " + source + " to " + copy + " (resumed: "),
      std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("(resumed: 0 keys"), std::string::npos) << r.out;
  EXPECT_EQ(Run({"--store", copy, "export"}).out, Run({"--store", source, "export"}).out);
  EXPECT_EQ(ReadWholeFile(copy).find("qelreg-copy-in-progress"), std::string::npos);
  // Finished, it is a store like any other: a copy into it is refused again.
  r = Run({"copy", source, copy});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("already holds keys"), std::string::npos) << r.err;
}

// Ctrl-C ends a watch at once even while its poll of a frozen WebDAV server hangs.
TEST_F(QelregTest, AnInterruptEndsAWatchWhoseRequestHangs) {
  WebDavServer server;
  server.WriteFile("watched.ini", "[/A]\nx=1\n");
  setenv("QEL_REMOTE_CA_FILE", server.CaFile().c_str(), 1);
  setenv("QEL_PASSWORD", WebDavServer::kPassword, 1);
  setenv("QEL_REMOTE_POLL_INTERVAL", "0.2", 1);
  setenv("QEL_REMOTE_TIMEOUT", "5", 1);
  const std::string address = "https://" + server.HostPort() + "/watched.ini";
  const pid_t watcher = ::fork();
  if (watcher == 0) {
    ::execl(QELREG_PATH, "qelreg", "--remote", address.c_str(), "--user", WebDavServer::kUser,
            "watch", "/A", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int round = 0; round < 200 && server.CountRequests("GET", "/watched.ini") == 0; ++round) {
    ::usleep(50000);
  }
  server.Pause();
  ::usleep(600000);  // the next poll has begun, and hangs
  const auto start = std::chrono::steady_clock::now();
  ::kill(watcher, SIGINT);
  int status = 0;
  ::waitpid(watcher, &status, 0);
  // At once, not when the request's timeout of 5 s runs out (half a second here; room for a
  // loaded machine).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (const char* name :
       {"QEL_REMOTE_CA_FILE", "QEL_PASSWORD", "QEL_REMOTE_POLL_INTERVAL", "QEL_REMOTE_TIMEOUT"}) {
    unsetenv(name);
  }
}

TEST_F(QelregTest, WatchPrintsEachChangeOtherWritersMakeUntilInterrupted) {
  const std::string scheduler = "/ZOR_Software/Scheduler";
  const std::string out = dir_.File("watch.out");
  WriteWholeFile(out, "");
  const pid_t watcher = ::fork();
  if (watcher == 0) {
    const int file = ::open(out.c_str(), O_WRONLY | O_APPEND);
    if (file < 0 || ::dup2(file, STDOUT_FILENO) < 0) ::_exit(126);
    ::execl(QELREG_PATH, "qelreg", "--json", "--store", store_.c_str(), "watch", scheduler.c_str(),
            "--recursive", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Waits until the watch has printed `line`, for at most ten seconds.
  auto printed = [&](const std::string& line) {
    for (int round = 0; round < 200; ++round) {
      if (ReadWholeFile(out).find(line) != std::string::npos) return true;
      ::usleep(50000);
    }
    return false;
  };
  // The watch reports what changes after it has read the store: a first change is repeated
  // until it shows up.
  bool started = false;
  for (int round = 1; round <= 50 && !started; ++round) {
    OnStore({"set", scheduler, "workers", std::to_string(round)});
    started = printed("\"new\":[\"" + std::to_string(round) + "\"]}");
  }
  ASSERT_TRUE(started);
  OnStore({"add", scheduler + "/Calendars/workdays", "days", "sun", "--then", "mkkey",
           scheduler + "/Night", "--then", "set", "/ZOR_Software/DataServer", "ignored", "x"});
  EXPECT_TRUE(printed("{\"key\":\"" + scheduler + "/Night\",\"event\":\"added\"}"));
  EXPECT_TRUE(printed("{\"key\":\"" + scheduler +
                      "/Calendars/workdays\",\"value\":\"days\",\"old\":[\"mon\",\"tue\","
                      "\"wed\",\"thu\",\"fri\"],\"new\":[\"mon\",\"sun\",\"tue\",\"wed\","
                      "\"thu\",\"fri\"]}"));
  OnStore({"rm", scheduler, "enabled"});
  EXPECT_TRUE(printed("\"value\":\"enabled\",\"old\":[\"1\"],\"new\":null}"));
  ::kill(watcher, SIGINT);
  int status = 0;
  ::waitpid(watcher, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadWholeFile(out).find("DataServer"), std::string::npos);
}

}  // namespace
