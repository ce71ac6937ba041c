// Following other writers across processes and on an etcd cluster: WaitForChange wakes in one
// process when another writes, the change descriptor polls readable, and an etcd store reports
// and waits for other writers' changes as a file does.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include "etcd_cluster_test.h"
#include "local_store_test.h"

namespace {

using Paths = std::vector<std::string>;

const char kStore[] = "; shared\n[/App]\ncolor=red\n[/App/Old]\n[/Other]\n";

class LocalLiveTest : public LocalStoreTest {
 protected:
  LocalLiveTest() : LocalStoreTest(kStore) {}
};

// What a watcher forked from this process reports from a WaitForChange of up to 20 s while
// `write` runs here, and how long after `write` began it reported.
struct Watched {
  bool child_ended_well = false;
  std::string reported;  // the changed paths, one a line
  std::chrono::steady_clock::duration delay{};
};

Watched WatchFromAChild(const std::function<QELConnection()>& login,
                        const std::function<void()>& write) {
  Watched watched;
  int results[2];
  int ready[2];
  if (::pipe(results) != 0 || ::pipe(ready) != 0) return watched;
  const pid_t child = ::fork();
  if (child == 0) {
    QELConnection watcher = login();
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
  if (::read(ready[0], &go, 1) == 1) {
    const auto written = std::chrono::steady_clock::now();
    write();
    char buffer[256];
    for (ssize_t got; (got = ::read(results[0], buffer, sizeof buffer)) > 0;) {
      watched.reported.append(buffer, static_cast<size_t>(got));
    }
    watched.delay = std::chrono::steady_clock::now() - written;
  }
  ::close(ready[0]);
  ::close(results[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  watched.child_ended_well = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return watched;
}

TEST_F(LocalLiveTest, WaitForChangeWakesWhenAnotherProcessWrites) {
  const Watched watched = WatchFromAChild(
      [this] { return Login(); },
      [this] { QELRBKey("/Other", Login()).SetValue("owner", QELRBValue("writer")); });
  EXPECT_TRUE(watched.child_ended_well);
  EXPECT_EQ(watched.reported, "/Other\n");
  // Woken by the file system, not by the end of its 20 s wait.
  EXPECT_LT(watched.delay, std::chrono::seconds(10));
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

class EtcdLiveTest : public EtcdClusterTest {
 protected:
  void SetUp() override {
    EtcdClusterTest::SetUp();
    if (!HasFatalFailure()) cluster_->PutStore(prefix_, kStore);
  }
  QELConnection Login() {
    QELConnection connection(QELConnection::RINI);
    connection.Login(cluster_->Address(prefix_), 0, "tester", "");
    return connection;
  }
};

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
  const Watched watched = WatchFromAChild(
      [this] { return Login(); },
      [this] { QELRBKey("/Other", Login()).SetValue("owner", QELRBValue("writer")); });
  EXPECT_TRUE(watched.child_ended_well);
  EXPECT_EQ(watched.reported, "/Other\n");
  EXPECT_LT(watched.delay, std::chrono::seconds(10));  // the watch, not its 20 s timeout
}

}  // namespace
