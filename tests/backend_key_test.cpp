// Tests of the abstract key's paths and codes and of the INI key's values: encoding, writes and
// the flush rule.
#include <gtest/gtest.h>

#include <vector>

#include "backend_store.h"
#include "qel_error.h"
#include "qel_ini_key.h"

namespace {

using Elements = std::vector<std::string>;
const std::string kEsc = "\x1B";

TEST(BackendKey, EncodesListsWithATrailingSeparatorAndDropsDanglingText) {
  EXPECT_EQ(EncodeValue(QELRBValue({"one", "two", "six"})),
            "one" + kEsc + "two" + kEsc + "six" + kEsc);
  EXPECT_EQ(EncodeValue(QELRBValue("single")), "single");
  EXPECT_EQ(EncodeValue(QELRBValue()), "");
  EXPECT_TRUE(DecodeValue("").Empty());
  EXPECT_EQ(DecodeValue("a b").Elements(), Elements{"a b"});
  EXPECT_EQ(DecodeValue("one" + kEsc + "two" + kEsc).Elements(), (Elements{"one", "two"}));
  EXPECT_EQ(DecodeValue("one" + kEsc + "two").Elements(), Elements{"one"});
  EXPECT_EQ(DecodeValue("one" + kEsc + kEsc).Elements(), (Elements{"one", ""}));
}

class BackendIniKey : public ::testing::Test {
 protected:
  void SetUp() override {
    store().AddGroup("/A", {{"List", "ant" + kEsc + "cat" + kEsc + "eel" + kEsc}, {"Name", "x"}});
    store().AddGroup("/A/B");
  }
  MemoryIni& store() { return connection.Memory(); }
  std::string Entry(const std::string& name) { return store().GetGroupProperty("/A")->at(name); }
  QELValueItem Get(QELKey& key, const std::string& name) {
    QELValueItem item(name, "");
    EXPECT_TRUE(key.GetValue(item).Ok());
    return item;
  }

  MemoryIniConnection connection;
};

TEST_F(BackendIniKey, PathsNamesAndInvalidMoves) {
  LogCapture log;
  QELIniKey key("/A/B", connection);
  EXPECT_EQ(key.GetKeyName(), "B");
  EXPECT_EQ(key.GetLevel(), 2u);
  EXPECT_TRUE(key.Up().Ok());
  EXPECT_EQ(key.GetKeyName(), "A");
  EXPECT_EQ(key.Up().code, 158);  // directly under the root the parent path is ""
  EXPECT_EQ(key.ChangeKey("/Missing").message, "ZORKVA0601E");
  EXPECT_EQ(key.GetKeyPath(), "/A");
  EXPECT_TRUE(log.records.empty());

  store().AddGroup("A/B");  // an existing group whose name is no key path
  const QELStatus bad = key.ChangeKey("A/B");
  EXPECT_EQ(bad.code, 164);
  EXPECT_EQ(bad.message.rfind("ZORKVA0607E", 0), 0u);
  EXPECT_TRUE(EndsWith(bad.message, " [164] : A/B")) << bad.message;
  EXPECT_EQ(key.GetKeyPath(), "/A");
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_EQ(log.records[0].function + "|" + log.records[0].module, "QELKey::ChangeKey|key");
  EXPECT_EQ(log.records[0].severity, 3);
  EXPECT_EQ(log.records[0].text, bad.message);
  EXPECT_FALSE(QELIniKey("/A", connection) == QELIniKey("/A/B", connection));
  try {
    QELIniKey absent("/B", connection);
    FAIL() << "no exception";
  } catch (const QELError& error) {
    EXPECT_EQ(error.What(), "ZORKVA0601E");
    EXPECT_EQ(error.Code(), 158);
    EXPECT_EQ(error.Facility(), 12);
    EXPECT_EQ(error.File(), "src\\qel_ini_key");
  }
}

TEST_F(BackendIniKey, ReadsAndSetsValuesUnderTheStoredName) {
  QELIniKey key("/A", connection);
  QELIniKey copy(key);
  const QELValueItem list = Get(key, "LIST");
  EXPECT_EQ(std::string(list.first), "List");
  EXPECT_EQ(list.second.Elements(), (Elements{"ant", "cat", "eel"}));
  QELValueItem missing("nope", "");
  const QELStatus status = key.GetValue(missing);
  EXPECT_EQ(status.code, 160);
  EXPECT_TRUE(EndsWith(status.message, "(nope) [160]\t: /A")) << status.message;

  EXPECT_TRUE(key.SetValue({"NAME", QELRBValue({"p", "q"})}).Ok());
  EXPECT_EQ(Entry("name"), "p" + kEsc + "q" + kEsc);
  EXPECT_EQ(std::string(Get(key, "name").first), "Name");
  EXPECT_EQ(Get(copy, "name").second, QELRBValue("x"));  // the copy keeps its own cache
  EXPECT_EQ(store().flushes, 1);
}

TEST_F(BackendIniKey, AddValueMergesInOrderAndRefusesDuplicates) {
  QELIniKey key("/A", connection);
  const std::string merged =
      "ant" + kEsc + "bee" + kEsc + "cat" + kEsc + "dog" + kEsc + "eel" + kEsc;
  EXPECT_TRUE(key.AddValue({"list", QELRBValue({"bee", "dog"})}).Ok());
  EXPECT_EQ(Entry("List"), merged);
  const QELStatus duplicate = key.AddValue({"List", QELRBValue({"fox", "cat"})});
  EXPECT_EQ(duplicate.code, 159);
  EXPECT_EQ(duplicate.message, "ZORKVA0602E");
  EXPECT_EQ(Entry("List"), merged);
  EXPECT_EQ(Get(key, "list").second.Size(), 5u);
  EXPECT_EQ(store().flushes, 1);
  EXPECT_TRUE(key.AddValue({"Fresh", QELRBValue({"z", "a"})}).Ok());
  EXPECT_EQ(Entry("fresh"), "z" + kEsc + "a" + kEsc);
}

TEST_F(BackendIniKey, DeleteValuesRemovesEveryOccurrenceOrTheWholeEntry) {
  store().AddGroup("/A", {{"List", "ant" + kEsc + "bee" + kEsc + "cat" + kEsc + "ant" + kEsc}});
  QELIniKey key("/A", connection);
  EXPECT_TRUE(key.DeleteValue({"list", QELRBValue({"ant", "cat"})}).Ok());
  EXPECT_EQ(Entry("List"), "bee");
  EXPECT_TRUE(key.DeleteValue({"list", QELRBValue("bee")}).Ok());
  EXPECT_EQ(Entry("List"), "");  // an emptied list stays, with empty text
  QELValueMap removals;
  removals.Set({"list", QELRBValue()});
  removals.Set({"unknown", QELRBValue()});
  EXPECT_TRUE(key.DeleteValues(removals).Ok());
  EXPECT_EQ(store().GetGroupProperty("/A")->count("List"), 0u);
  bool has = true;
  key.HasValue("list", has);
  EXPECT_FALSE(has);
}

TEST_F(BackendIniKey, KeysMadeInsideATransactionNeverFlushByThemselves) {
  QELIniKey before("/A", connection);
  connection.BeginTransaction();
  QELIniKey inside("/A", connection);
  inside.SetValue({"v", "1"});
  inside.AddValue({"w", "2"});
  inside.DeleteValue({"v", QELRBValue()});
  EXPECT_EQ(store().flushes, 0);
  before.SetValue({"v", "1"});
  before.AddValue({"w2", "2"});
  EXPECT_EQ(store().flushes, 2);
  connection.Commit();
  EXPECT_FALSE(connection.IsTransactionStarted());
  EXPECT_EQ(store().flushes, 3);
  inside.SetValue({"v", "3"});
  EXPECT_EQ(store().flushes, 3);
}

TEST_F(BackendIniKey, TheRootKeyHasNoCacheAndWritesNothing) {
  QELIniKey root(connection);
  QELValueMap one;
  one.Set({"v", "1"});
  EXPECT_THROW(root.SetValues(one), QELLogicalError);
  EXPECT_THROW(root.AddValue({"v", "1"}), QELLogicalError);
  EXPECT_FALSE(store().isGroupExist(""));
  EXPECT_EQ(store().flushes, 0);
}

}  // namespace
