// Tests of the INI key's subkey operations and of the module-index configuration map.
#include <gtest/gtest.h>

#include <list>

#include "backend_store.h"
#include "qel_config_map.h"
#include "qel_error.h"
#include "qel_ini_key.h"

namespace {

class BackendSubkeys : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* group : {"/A", "/A/B", "/A/B/K", "/A/B/K/L", "/A/Bc", "/A/Bc/M", "/Ab"}) {
      store().AddGroup(group);
    }
  }
  MemoryIni& store() { return connection.Memory(); }
  std::list<std::string> Groups() {
    std::list<std::string> names;
    store().GetGroupNames(names);
    return names;
  }

  MemoryIniConnection connection;
};

TEST_F(BackendSubkeys, CreateFindAndTestSubkeys) {
  QELIniKey a("/A", connection);
  EXPECT_EQ(a.CreateSubkey("").message, "ZORKVA0607E");
  EXPECT_EQ(a.CreateSubkey("B").message, "ZORKVA0602E");
  EXPECT_EQ(store().flushes, 0);
  EXPECT_TRUE(a.CreateSubkey("New").Ok());
  EXPECT_EQ(store().flushes, 1);
  bool has = false;
  a.HasSubkey("New", has);
  EXPECT_TRUE(has && store().GetGroupProperty("/A/New")->empty());
  QELIniKey root(connection);
  EXPECT_TRUE(root.CreateSubkey("Top").Ok());
  EXPECT_TRUE(store().isGroupExist("/Top"));

  store().AddGroup("/A/B", {{"v", "1"}});
  QELIniKey target(connection);
  EXPECT_EQ(a.GetSubkey("Nope", target).message, "ZORKVA0601E");
  EXPECT_EQ(target.GetKeyPath(), "");
  EXPECT_TRUE(a.GetSubkey("B", target).Ok());
  EXPECT_EQ(target.GetKeyPath(), "/A/B");
  target.HasValue("V", has);
  EXPECT_TRUE(has);

  bool empty = true;
  a.IsEmpty(empty);
  EXPECT_FALSE(empty);
  store().AddGroup("/Q", {{"v", "1"}});
  store().AddGroup("/Q/R/S");
  QELIniKey q("/Q", connection);
  q.IsEmpty(empty);
  EXPECT_TRUE(empty);  // only a grandchild, and values do not count
}

TEST_F(BackendSubkeys, DeletionsEraseTheSubtreeAndNothingBeside) {
  QELIniKey a("/A", connection);
  const QELStatus missing = a.DeleteSubkey("Nope", false);
  EXPECT_EQ(missing.code, 158);
  EXPECT_EQ(missing.message, "ZORKVA0601E");
  EXPECT_TRUE(a.DeleteSubkey("B", false).Ok());
  EXPECT_EQ(Groups(), (std::list<std::string>{"/A", "/A/Bc", "/A/Bc/M", "/Ab"}));
  EXPECT_EQ(store().flushes, 1);
  EXPECT_TRUE(a.DeleteSubkey("(Bc)", false).Ok());
  EXPECT_EQ(Groups(), (std::list<std::string>{"/A", "/Ab"}));

  store().AddGroup("/A/C");
  EXPECT_TRUE(a.CommitSuicide().Ok());
  EXPECT_EQ(Groups(), std::list<std::string>{"/Ab"});
  EXPECT_EQ(a.GetKeyPath() + a.GetKeyName(), "");
  bool has = false;
  EXPECT_THROW(a.HasValue("v", has), QELLogicalError);
  EXPECT_TRUE(a.CommitSuicide().Ok());  // the root's subtree: everything
  EXPECT_TRUE(Groups().empty());
}

TEST_F(BackendSubkeys, SearchValuesOnTheRootReturnsTheMisuseErrorAsAStatus) {
  QELIniKey root(connection);
  qel_iterator<QELValueItem> cursor;
  uint32_t count = 7;
  const QELStatus status = root.SearchValues("*", cursor, count);
  EXPECT_EQ(status.code, QELLogicalError::kCode);
  EXPECT_EQ(status.message, "Attempt to dereference null pointer");
  EXPECT_EQ(cursor.GetReader(), nullptr);
}

TEST(BackendConfigMap, ReadsAndWritesTheModuleIndex) {
  MemoryIniConnection connection;
  EXPECT_THROW(QELIniConfigMap missing(connection), QELError);
  connection.Memory().AddGroup("/ZOR_Software/qel4ds/Config/Index", {{"mymodule", "/Some/Path"}});
  QELIniConfigMap map(connection);
  std::string text;
  EXPECT_TRUE(map.GetValue("MyModule", text).Ok());
  EXPECT_EQ(text, "/Some/Path");
  EXPECT_EQ(map.GetValue("other", text).code, 160);
  EXPECT_EQ(text, "");
  EXPECT_TRUE(map.SetValue("other", QELRBValue("/Other")).Ok());
  EXPECT_EQ(connection.Memory().flushes, 1);
  EXPECT_TRUE(map.DeleteValue("other").Ok());
  EXPECT_EQ(map.GetValue("other", text).code, 160);
}

}  // namespace
