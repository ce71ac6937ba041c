// Tests of the abstract key and the INI key's values: paths, codes, encoding, writes and the
// flush rule.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "backend_store.h"
#include "qel_error.h"
#include "qel_ini_key.h"
#include "qel_log.h"

namespace {

const std::string kEsc = "\x1B";

// A QELKey with no store behind it, to reach the abstract key's own bodies.
class PlainKey : public QELKey {
 public:
  using QELKey::QELKey;
  QELKey* Clone() const override { return new PlainKey(*this); }
  QELStatus SetValue(const QELValueItem&) override { return {}; }
  QELStatus AddValue(const QELValueItem&) override { return {}; }
  QELStatus SetValues(const QELValueMap&) override { return {}; }
  QELStatus DeleteValue(const QELValueItem&) override { return {}; }
  QELStatus DeleteValues(const QELValueMap&) override { return {}; }
  QELStatus SearchValues(const std::string&, qel_iterator<QELValueItem>&, uint32_t&) override {
    return {};
  }
  QELStatus CreateSubkey(const std::string&) override { return {}; }
  QELStatus DeleteSubkey(const std::string&, bool) override { return {}; }
  QELStatus GetSubkey(const std::string&, QELKey&) override { return {}; }
  QELStatus HasSubkey(const std::string&, bool&) override { return {}; }
  QELStatus SearchSubKey(const std::string&, qel_iterator<QELKeyPointer>&, bool,
                         const std::list<std::string>&, uint32_t&) override {
    return {};
  }
  QELStatus IsEmpty(bool&) override { return {}; }
};

std::vector<std::string> Elements(const QELRBValue& value) { return value.Elements(); }

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(BackendKey, PathNameLevelAndInvalidPaths) {
  std::vector<LogRecord> records;
  SetLogSink([&records](const LogRecord& record) { records.push_back(record); });
  PlainKey key("/A/B");
  EXPECT_EQ(key.GetKeyName(), "B");
  EXPECT_EQ(key.GetLevel(), 2u);
  EXPECT_TRUE(key.ChangeKey("/X/Y").Ok());
  EXPECT_EQ(key.GetKeyName(), "Y");

  const QELStatus bad = key.ChangeKey("A/B");
  EXPECT_EQ(bad.code, 164);
  EXPECT_EQ(bad.message.rfind("ZORKVA0607E", 0), 0u);
  EXPECT_TRUE(EndsWith(bad.message, " [164] : A/B")) << bad.message;
  EXPECT_EQ(key.GetKeyPath(), "/X/Y");
  EXPECT_EQ(key.ChangeKey("").code, 164);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].function, "QELKey::ChangeKey");
  EXPECT_EQ(records[0].module, "key");
  EXPECT_EQ(records[0].severity, 3);
  EXPECT_EQ(records[0].text, bad.message);

  EXPECT_TRUE(key.Up().Ok());
  EXPECT_EQ(key.GetKeyPath(), "/X");
  EXPECT_EQ(key.Up().code, 164);  // directly under the root the parent path is ""
  EXPECT_FALSE(PlainKey("/A") == PlainKey("/a"));
  try {
    PlainKey invalid("P/Q");
    FAIL() << "no exception";
  } catch (const QELError& error) {
    EXPECT_EQ(error.Code(), 164);
    EXPECT_EQ(error.Facility(), 4);
    EXPECT_EQ(error.File(), "src\\qel_key");
  }
  SetLogSink({});
}

TEST(BackendKey, EncodesListsWithATrailingSeparatorAndDropsDanglingText) {
  EXPECT_EQ(EncodeValue(QELRBValue({"one", "two", "six"})),
            "one" + kEsc + "two" + kEsc + "six" + kEsc);
  EXPECT_EQ(EncodeValue(QELRBValue("single")), "single");
  EXPECT_EQ(EncodeValue(QELRBValue()), "");
  EXPECT_TRUE(DecodeValue("").Empty());
  EXPECT_EQ(Elements(DecodeValue("a b")), std::vector<std::string>({"a b"}));
  EXPECT_EQ(Elements(DecodeValue("one" + kEsc + "two" + kEsc)),
            std::vector<std::string>({"one", "two"}));
  EXPECT_EQ(Elements(DecodeValue("one" + kEsc + "two")), std::vector<std::string>({"one"}));
  EXPECT_EQ(Elements(DecodeValue("one" + kEsc + kEsc)), std::vector<std::string>({"one", ""}));
}

class BackendIniKey : public ::testing::Test {
 protected:
  void SetUp() override {
    store().AddGroup("/A", {{"List", "ant" + kEsc + "cat" + kEsc + "eel" + kEsc}, {"Name", "x"}});
  }
  MemoryIni& store() { return connection.Memory(); }
  std::string Entry(const std::string& name) { return store().GetGroupProperty("/A")->at(name); }

  MemoryIniConnection connection;
};

TEST_F(BackendIniKey, OpensAndReadsValuesIgnoringCase) {
  QELIniKey key("/A", connection);
  QELValueItem item("LIST", "");
  EXPECT_TRUE(key.GetValue(item).Ok());
  EXPECT_EQ(std::string(item.first), "List");
  EXPECT_EQ(Elements(item.second), std::vector<std::string>({"ant", "cat", "eel"}));

  QELValueItem missing("nope", "");
  const QELStatus status = key.GetValue(missing);
  EXPECT_EQ(status.code, 160);
  EXPECT_EQ(status.message.rfind("ZORKVA0603E", 0), 0u);
  EXPECT_TRUE(EndsWith(status.message, "(nope) [160]\t: /A")) << status.message;
  EXPECT_EQ(std::string(missing.first), "nope");

  EXPECT_EQ(key.ChangeKey("/B").code, 158);
  EXPECT_EQ(key.GetKeyPath(), "/A");
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

TEST_F(BackendIniKey, SetValueReplacesUnderTheStoredNameAndCopiesKeepTheirCache) {
  QELIniKey key("/A", connection);
  QELIniKey copy(key);
  EXPECT_TRUE(key.SetValue({"NAME", QELRBValue({"p", "q"})}).Ok());
  EXPECT_EQ(Entry("name"), "p" + kEsc + "q" + kEsc);
  QELValueItem item("name", "");
  key.GetValue(item);
  EXPECT_EQ(std::string(item.first), "Name");
  EXPECT_EQ(Elements(item.second), std::vector<std::string>({"p", "q"}));
  QELValueItem old("name", "");
  copy.GetValue(old);
  EXPECT_EQ(old.second, QELRBValue("x"));
}

TEST_F(BackendIniKey, AddValueMergesInOrderAndRefusesDuplicates) {
  QELIniKey key("/A", connection);
  EXPECT_TRUE(key.AddValue({"list", QELRBValue({"bee", "dog"})}).Ok());
  EXPECT_EQ(Entry("List"),
            "ant" + kEsc + "bee" + kEsc + "cat" + kEsc + "dog" + kEsc + "eel" + kEsc);
  const int flushes = store().flushes;
  const QELStatus duplicate = key.AddValue({"List", QELRBValue({"fox", "cat"})});
  EXPECT_EQ(duplicate.code, 159);
  EXPECT_EQ(duplicate.message, "ZORKVA0602E");
  EXPECT_EQ(store().flushes, flushes);
  EXPECT_EQ(Entry("List"),
            "ant" + kEsc + "bee" + kEsc + "cat" + kEsc + "dog" + kEsc + "eel" + kEsc);
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
  bool has = false;
  key.HasValue("list", has);
  EXPECT_TRUE(has);
  QELValueMap removals;
  removals.Set({"list", QELRBValue()});
  removals.Set({"unknown", QELRBValue()});
  EXPECT_TRUE(key.DeleteValues(removals).Ok());
  EXPECT_EQ(store().GetGroupProperty("/A")->count("List"), 0u);
  key.HasValue("list", has);
  EXPECT_FALSE(has);
}

TEST_F(BackendIniKey, KeysMadeInsideATransactionNeverFlushByThemselves) {
  QELIniKey before("/A", connection);
  connection.BeginTransaction();
  QELIniKey inside("/A", connection);
  EXPECT_TRUE(connection.IsTransactionStarted());
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
  connection.Commit();  // commits flush whether or not a transaction was begun
  EXPECT_EQ(store().flushes, 4);
}

TEST_F(BackendIniKey, TheRootKeyHasNoCacheAndWritesNothing) {
  QELIniKey root(connection);
  EXPECT_EQ(root.GetKeyPath(), "");
  QELValueMap one;
  one.Set({"v", "1"});
  EXPECT_THROW(root.SetValues(one), QELLogicalError);
  EXPECT_THROW(root.AddValue({"v", "1"}), QELLogicalError);
  EXPECT_FALSE(store().isGroupExist(""));
  EXPECT_EQ(store().flushes, 0);
}

}  // namespace
