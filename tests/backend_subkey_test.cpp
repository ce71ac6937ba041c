// Tests of the INI key's subkey operations and of the module-index configuration map.
#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>

#include "backend_store.h"
#include "qel_config_map.h"
#include "qel_error.h"
#include "qel_ini_key.h"

namespace {

class BackendSubkeys : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* group :
         {"/A", "/A/B", "/A/B/K", "/A/B/K/L", "/A/Bc", "/A/Bc/M", "/Ab", "/Z"}) {
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

TEST_F(BackendSubkeys, CreateAndFindSubkeys) {
  QELIniKey a("/A", connection);
  const QELStatus empty_name = a.CreateSubkey("");
  EXPECT_EQ(empty_name.code, 164);
  EXPECT_EQ(empty_name.message, "ZORKVA0607E");
  const QELStatus exists = a.CreateSubkey("B");
  EXPECT_EQ(exists.code, 159);
  EXPECT_EQ(exists.message, "ZORKVA0602E");
  EXPECT_EQ(store().flushes, 0);
  EXPECT_TRUE(a.CreateSubkey("New").Ok());
  EXPECT_EQ(store().flushes, 1);
  bool has = false;
  a.HasSubkey("New", has);
  EXPECT_TRUE(has);
  EXPECT_TRUE(store().GetGroupProperty("/A/New")->empty());
  QELIniKey root(connection);
  EXPECT_TRUE(root.CreateSubkey("Top").Ok());
  EXPECT_TRUE(store().isGroupExist("/Top"));

  store().AddGroup("/A/B", {{"v", "1"}});
  QELIniKey target(connection);
  const QELStatus missing = a.GetSubkey("Nope", target);
  EXPECT_EQ(missing.code, 158);
  EXPECT_EQ(missing.message, "ZORKVA0601E");
  EXPECT_EQ(target.GetKeyPath(), "");
  EXPECT_TRUE(a.GetSubkey("B", target).Ok());
  EXPECT_EQ(target.GetKeyPath(), "/A/B");
  bool has_value = false;
  target.HasValue("V", has_value);
  EXPECT_TRUE(has_value);
}

TEST_F(BackendSubkeys, IsEmptyCountsOnlyDirectSubkeyGroups) {
  bool empty = true;
  QELIniKey a("/A", connection);
  a.IsEmpty(empty);
  EXPECT_FALSE(empty);
  store().AddGroup("/Q", {{"v", "1"}});
  store().AddGroup("/Q/R/S");
  QELIniKey q("/Q", connection);
  q.IsEmpty(empty);
  EXPECT_TRUE(empty);  // only a grandchild, and values do not count
  QELIniKey root(connection);
  root.IsEmpty(empty);
  EXPECT_FALSE(empty);
}

TEST_F(BackendSubkeys, DeleteSubkeyErasesTheSubtreeAndNothingBeside) {
  QELIniKey a("/A", connection);
  const QELStatus missing = a.DeleteSubkey("Nope", false);
  EXPECT_EQ(missing.code, 158);
  EXPECT_EQ(missing.message, "ZORKVA0601E");
  EXPECT_EQ(Groups().size(), 8u);
  EXPECT_TRUE(a.DeleteSubkey("B", false).Ok());
  EXPECT_EQ(Groups(), (std::list<std::string>{"/A", "/A/Bc", "/A/Bc/M", "/Ab", "/Z"}));
  EXPECT_EQ(store().flushes, 1);
  EXPECT_TRUE(a.DeleteSubkey("(Bc)", false).Ok());
  EXPECT_EQ(Groups(), (std::list<std::string>{"/A", "/Ab", "/Z"}));
}

TEST_F(BackendSubkeys, CommitSuicideErasesTheKeyAndForgetsIt) {
  QELIniKey a("/A", connection);
  EXPECT_TRUE(a.CommitSuicide().Ok());
  EXPECT_EQ(Groups(), (std::list<std::string>{"/Ab", "/Z"}));
  EXPECT_EQ(a.GetKeyPath(), "");
  EXPECT_EQ(a.GetKeyName(), "");
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
  EXPECT_EQ(count, 7u);
}

TEST(BackendConfigMap, ReadsAndWritesTheModuleIndex) {
  MemoryIniConnection connection;
  EXPECT_THROW(QELIniConfigMap missing(connection), QELError);
  connection.Memory().AddGroup("/ZOR_Software/qel4ds/Config/Index", {{"mymodule", "/Some/Path"}});
  QELIniConfigMap map(connection);
  std::string text = "stale";
  EXPECT_TRUE(map.GetValue("MyModule", text).Ok());
  EXPECT_EQ(text, "/Some/Path");
  EXPECT_EQ(map.GetValue("other", text).code, 160);
  EXPECT_EQ(text, "");
  EXPECT_TRUE(map.SetValue("other", QELRBValue("/Other")).Ok());
  EXPECT_EQ(connection.Memory().flushes, 1);
  EXPECT_EQ(connection.Memory().GetGroupProperty("/ZOR_Software/qel4ds/Config/Index")->at("other"),
            "/Other");
  EXPECT_TRUE(map.DeleteValue("other").Ok());
  EXPECT_EQ(map.GetValue("other", text).code, 160);
}

}  // namespace
