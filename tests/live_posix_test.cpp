// Following other writers across processes and on an etcd cluster: WaitForChange wakes in one
// process when another writes, the change descriptor polls readable, and an etcd store reports
// and waits for other writers' changes as a file does.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include "etcd_cluster.h"
#include "scratch_files.h"

namespace {

using Paths = std::vector<std::string>;

const char kStore[] = "; shared\n[/App]\ncolor=red\n[/App/Old]\n[/Other]\n";

class LocalLiveTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteWholeFile(path_, kStore); }
  QELConnection Login() {
    QELConnection connection(QELConnection::INI);
    connection.Login(path_, 0, "tester", "");
    return connection;
  }

  ScratchDirectory dir_;
  const std::string path_ = dir_.File("store.ini");
};

TEST_F(LocalLiveTest, WaitForChangeWakesWhenAnotherProcessWrites) {
  int results[2];
  int ready[2];
  ASSERT_EQ(::pipe(results), 0);
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    QELConnection watcher = Login();
    const char go = 'r';
    if (::write(ready[1], &go, 1) != 1) ::_exit(2);
    const Paths changed = watcher.WaitForChange(20000);
    std::string text;
    for (const std::string& path : changed) text += path + "\n";
    ::_exit(::write(results[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0
                                                                                               : 3);
  }
  ::close(ready[1]);
  ::close(results[1]);
  char go;
  ASSERT_EQ(::read(ready[0], &go, 1), 1);
  const auto written = std::chrono::steady_clock::now();
  QELConnection writer = Login();
  QELRBKey("/Other", writer).SetValue("owner", QELRBValue("writer"));
  std::string reported;
  char buffer[256];
  for (ssize_t got; (got = ::read(results[0], buffer, sizeof buffer)) > 0;)
    reported.append(buffer, got);
  const auto woke = std::chrono::steady_clock::now();
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(reported, "/Other\n");
  // Woken by the file system, not by the end of its 20 s wait.
  EXPECT_LT(woke - written, std::chrono::seconds(10));
}

TEST_F(LocalLiveTest, TheChangeDescriptorPollsReadableAfterAWriteAndTimeoutsReturnNothing) {
  QELConnection watcher = Login();
  const int descriptor = watcher.GetChangeDescriptor();
  ASSERT_GE(descriptor, 0);
  QELRBKey("/App/Old", Login()).SetValue("k", QELRBValue("v"));
  struct pollfd ready = {descriptor, POLLIN, 0};
  EXPECT_EQ(::poll(&ready, 1, 10000), 1);
  EXPECT_EQ(watcher.Refresh(), (Paths{"/App/Old"}));
}

class EtcdLiveTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      cluster_ = std::make_unique<EtcdCluster>(EtcdCluster::Options());
    } catch (const std::exception& error) {
      failure_ = error.what();
    }
  }
  static void TearDownTestSuite() { cluster_.reset(); }
  void SetUp() override {
    ASSERT_NE(cluster_, nullptr) << "the etcd test cluster cannot run: " << failure_;
    prefix_ =
        "/live-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
    cluster_->PutStore(prefix_, kStore);
  }
  QELConnection Login() {
    QELConnection connection(QELConnection::RINI);
    connection.Login(cluster_->Address(prefix_), 0, "tester", "");
    return connection;
  }

  static std::unique_ptr<EtcdCluster> cluster_;
  static std::string failure_;
  std::string prefix_;
};

std::unique_ptr<EtcdCluster> EtcdLiveTest::cluster_;
std::string EtcdLiveTest::failure_;

TEST_F(EtcdLiveTest, RefreshReportsWhatOthersChangedAndKeepsUnwrittenChanges) {
  QELConnection watcher = Login();
  QELRBKey app("/App", watcher);
  EXPECT_EQ(watcher.Refresh(), Paths{});
  QELConnection writer = Login();
  QELRBKey("/App", writer).SetValue("color", QELRBValue("blue"));
  QELRBKey("/App/Old", writer).CommitSuicide();
  watcher.BeginTransaction();
  QELRBKey("/Other", watcher).SetValue("size", QELRBValue("L"));
  EXPECT_EQ(watcher.Refresh(), (Paths{"/App", "/App/Old"}));
  EXPECT_EQ(std::string(app.GetValue("color")), "blue");
  watcher.Commit();
  EXPECT_EQ(std::string(QELRBKey("/Other", Login()).GetValue("size")), "L");
  EXPECT_EQ(writer.Refresh(), (Paths{"/Other"}));
  EXPECT_EQ(writer.Refresh(), Paths{});
}

TEST_F(EtcdLiveTest, WaitForChangeWakesWhenAnotherProcessWrites) {
  int results[2];
  int ready[2];
  ASSERT_EQ(::pipe(results), 0);
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    QELConnection watcher = Login();
    const char go = 'r';
    if (::write(ready[1], &go, 1) != 1) ::_exit(2);
    const Paths changed = watcher.WaitForChange(20000);
    std::string text;
    for (const std::string& path : changed) text += path + "\n";
    ::_exit(::write(results[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0
                                                                                               : 3);
  }
  ::close(ready[1]);
  ::close(results[1]);
  char go;
  ASSERT_EQ(::read(ready[0], &go, 1), 1);
  const auto written = std::chrono::steady_clock::now();
  QELRBKey("/Other", Login()).SetValue("owner", QELRBValue("writer"));
  std::string reported;
  char buffer[256];
  for (ssize_t got; (got = ::read(results[0], buffer, sizeof buffer)) > 0;) {
    reported.append(buffer, static_cast<size_t>(got));
  }
  const auto woke = std::chrono::steady_clock::now();
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(reported, "/Other\n");
  EXPECT_LT(woke - written, std::chrono::seconds(10));  // the watch, not its 20 s timeout
}

}  // namespace
