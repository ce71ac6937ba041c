// Following other writers: Refresh reports the keys another login or host changed and keeps this
// connection's unwritten changes; WaitForChange wakes on another writer's change, locally through
// the file system and remotely by polling.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include "ini_types.h"
#include "local_store_test.h"
#include "scratch_files.h"
#include "test_system.h"
#include "webdav_test.h"

namespace {

using Paths = std::vector<std::string>;

const char kStore[] = "; shared\n[/App]\ncolor=red\n[/App/Old]\n[/Other]\n";

class LocalLiveTest : public LocalStoreTest {
 protected:
  LocalLiveTest() : LocalStoreTest(kStore) {}
};

TEST_F(LocalLiveTest, RefreshReportsWhatOthersChangedAndKeepsUnwrittenChanges) {
  QELConnection watcher = Login();
  QELRBKey app("/App", watcher);
  EXPECT_EQ(watcher.Refresh(), Paths{});

  QELConnection writer = Login();
  QELRBKey("/App", writer).SetValue("color", QELRBValue("blue"));
  QELRBKey("/Other", writer).CreateSubkey("New");
  watcher.BeginTransaction();
  QELRBKey("/App", watcher).SetValue("size", QELRBValue("L"));  // not written yet

  EXPECT_EQ(watcher.Refresh(), (Paths{"/App", "/Other", "/Other/New"}));
  EXPECT_EQ(std::string(app.GetValue("color")), "blue");  // a key opened before reads the new value
  EXPECT_EQ(std::string(QELRBKey("/App", watcher).GetValue("size")), "L");
  EXPECT_EQ(watcher.Refresh(), Paths{});
  watcher.Commit();
  EXPECT_EQ(ReadWholeFile(path_),
            "; shared\n[/App]\ncolor=blue\nsize=L\n[/App/Old]\n[/Other]\n[/Other/New]\n");
  // This connection's own write is no change of another writer's.
  EXPECT_EQ(watcher.Refresh(), Paths{});
  EXPECT_EQ(writer.Refresh(), (Paths{"/App"}));
}

TEST_F(LocalLiveTest, RefreshAfterAnotherWritersSubtreeEraseReportsItsKeys) {
  QELConnection watcher = Login();
  QELConnection eraser = Login();
  QELRBKey("/App", eraser).CommitSuicide();
  EXPECT_EQ(watcher.Refresh(), (Paths{"", "/App", "/App/Old"}));
  EXPECT_FALSE(QELRBKey(watcher).HasSubkey("App"));
  // A store that went is an error of the store; the connection keeps what it had.
  ASSERT_TRUE(std::filesystem::remove(path_));
  try {
    watcher.Refresh();
    ADD_FAILURE() << "refreshed a store that is gone";
  } catch (const QELError& error) {
    EXPECT_EQ(error.Code(), kIniFileNotFound);
    EXPECT_EQ(error.What().rfind("cannot read " + path_ + ": ", 0), 0u) << error.What();
  }
  EXPECT_TRUE(QELRBKey(watcher).HasSubkey("Other"));
}

TEST_F(LocalLiveTest, WaitingWithoutAChangeReturnsNothingAtTheTimeout) {
  QELConnection watcher = Login();
  EXPECT_EQ(watcher.WaitForChange(50), Paths{});
  QELRBKey("/App/Old", Login()).SetValue("k", QELRBValue("v"));
  EXPECT_EQ(watcher.WaitForChange(10000), (Paths{"/App/Old"}));
}

using RemoteLiveTest = WebDavTest;

TEST_F(RemoteLiveTest, RefreshAsksConditionallyAndWaitingPollsTheService) {
  server_->WriteFile("store.ini", kStore);
  SetEnvironment("QEL_REMOTE_POLL_INTERVAL", "0.1");
  QELConnection watcher = Login();
  UnsetEnvironment("QEL_REMOTE_POLL_INTERVAL");
  EXPECT_EQ(watcher.GetChangeDescriptor(), -1);
  const int gets = server_->CountRequests("GET", "/store.ini");
  EXPECT_EQ(watcher.Refresh(), Paths{});
  EXPECT_EQ(server_->CountRequests("GET", "/store.ini"), gets + 1);

  QELRBKey("/App", Login()).AddValue("tags", QELRBValue("new"));
  EXPECT_EQ(watcher.WaitForChange(20000), (Paths{"/App"}));
  EXPECT_EQ(std::string(QELRBKey("/App", watcher).GetValue("tags")), "new");
  EXPECT_EQ(watcher.WaitForChange(300), Paths{});
}

}  // namespace
