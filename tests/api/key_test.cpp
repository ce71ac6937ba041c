// The key handle as a program sees it: paths and comparison, copy-on-write, value and subkey
// operations with their trace and error records, and navigation.
#include <gtest/gtest.h>

#include "api_support.h"

namespace {

using api_test::Connect;
using api_test::ErrorOf;
using api_test::kSmallStore;
using api_test::LogCapture;
using api_test::StoreFile;
using Names = std::vector<std::string>;

TEST(Key, EmptyHandleFailsWithTheNullPointerError) {
  LogCapture log(false);
  QELRBKey empty;
  QELRBKey copy(empty);
  copy = empty;
  const QELError error = ErrorOf([&] { empty.GetKeyPath(); });
  EXPECT_EQ(error.What(), "Attempt to dereference null pointer");
  EXPECT_EQ(error.File(), "qel_cfg\\request_broker/security/implementation/inc/qel_imp_pointer");
  EXPECT_THROW(empty.SetValue("x", "1"), QELLogicalError);
  EXPECT_THROW((void)(empty == copy), QELLogicalError);
  const std::vector<LogRecord> records = log.Take();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].function + "|" + records[0].module + "|" + records[0].text,
            "||Attempt to dereference null pointer");
  EXPECT_EQ(records[0].severity, 3);
}

TEST(Key, PathsComparisonAndCopyOnWrite) {
  StoreFile store(kSmallStore);
  const QELConnection one = Connect(store);
  const QELConnection two = Connect(store);
  const QELRBKey root(one);
  EXPECT_EQ(root.GetKeyPath() + root.GetKeyName(), "");
  EXPECT_EQ(root.GetLevel(), 0u);
  QELRBKey ab("/A/B", one);
  EXPECT_EQ(ab.GetLevel(), 2u);
  EXPECT_EQ(ab.GetKeyName(), "B");
  EXPECT_TRUE(ab == QELRBKey("/A/B", two));  // equal paths on different connections
  EXPECT_TRUE(QELRBKey("/A", one) < ab && ab < QELRBKey("/Ab", two));

  QELRBKey copy = ab;
  copy.Up();
  EXPECT_EQ(copy.GetKeyPath() + "|" + ab.GetKeyPath(), "/A|/A/B");
  // A write through a copy changes the store for everyone, but only the writer's cache.
  QELRBKey reader = copy;
  copy.SetValue("colour", "blue");
  EXPECT_EQ(static_cast<std::string>(reader.GetValue("colour")), "red");
  EXPECT_EQ(static_cast<std::string>(QELRBKey("/A", one).GetValue("COLOUR")), "blue");
}

TEST(Key, ValueOperationsTraceAndFailAsDocumented) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  LogCapture log(true);
  EXPECT_EQ(ErrorOf([&] { QELRBKey("/A/Z", connection); }).Code(), 158);
  QELRBKey a("/A", connection);
  EXPECT_TRUE(a.HasValue("NAME"));
  EXPECT_EQ(a.GetValue("list"), QELRBValue({"one", "two"}));
  a.SetValue("size", "3");
  a.AddValue("list", QELRBValue(std::list<std::string>{"six"}));
  a.DeleteValue("list", "one");
  a.DeleteValue("missing");
  a.SetValues({{"x", "1"}, {"Y", QELRBValue({"a", "b"})}});
  Names traces;
  for (const LogRecord& record : log.Take()) traces.push_back(record.function + "|" + record.text);
  EXPECT_EQ(traces,
            Names({"QELRBKey::QELRBKey|Key: /A", "QELRBKey::AddValue|Key: /A value: list",
                   "QELRBKey::DeleteValue|Key: /A value: list",
                   "QELRBKey::DeleteValue|Key: /A value: missing", "QELRBKey::SetValues|Key: /A"}));
  EXPECT_EQ(a.GetValue("list"), QELRBValue({"six", "two"}));
  EXPECT_NE(store.Text().find("Y=a\x1b"
                              "b\x1b"),
            std::string::npos);

  const QELError missing = ErrorOf([&] { a.GetValue("missing"); });
  EXPECT_EQ(missing.Code(), 160);
  EXPECT_EQ(missing.Facility(), 12);
  EXPECT_EQ(missing.File(), "src\\qel_rb_key");
  const std::vector<LogRecord> error = log.Take();
  ASSERT_EQ(error.size(), 1u);
  EXPECT_EQ(error[0].function + "|" + error[0].module + "|" + error[0].text,
            "QELRBKey::GetValue|rb_key|" + missing.What());
  EXPECT_EQ(error[0].severity, 3);
  EXPECT_EQ(ErrorOf([&] { a.AddValue("list", "two"); }).Code(), 159);
  EXPECT_EQ(log.Functions(), Names({"QELRBKey::AddValue", "QELRBKey::AddValue"}));
}

TEST(Key, SubkeyOperations) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  QELRBKey a("/A", connection);
  LogCapture log(true);
  EXPECT_EQ(a.GetSubkey("B").GetKeyPath() + "|" + a.GetKeyPath(), "/A/B|/A");
  const QELRBKey e = a.CreateSubkey("E");
  EXPECT_EQ(e.GetKeyPath(), "/A/E");
  EXPECT_TRUE(a.HasSubkey("E") && e.IsEmpty() && !a.IsEmpty());
  EXPECT_EQ(log.Functions(), Names({"QELRBKey::GetSubkey", "QELRBKey::CreateSubkey",
                                    "QELRBKey::GetSubkey", "QELRBKey::HasSubkey"}));
  EXPECT_EQ(ErrorOf([&] { a.GetSubkey("Z"); }).Code(), 158);
  EXPECT_EQ(ErrorOf([&] { a.CreateSubkey("E"); }).Code(), 159);
  log.Take();
  a.DeleteSubkey("Z");
  a.DeleteSubkey("B");
  EXPECT_FALSE(a.HasSubkey("B"));
  EXPECT_EQ(log.Functions(),
            Names({"QELRBKey::DeleteSubkey", "QELRBKey::DeleteSubkey", "QELRBKey::HasSubkey"}));
}

TEST(Key, ChangeKeyUpAndCommitSuicide) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  QELRBKey key(connection);
  key.ChangeKey("A");
  key.ChangeKey("B/K");
  EXPECT_EQ(key.GetKeyPath(), "/A/B/K");
  key.ChangeKey("/A/C");
  EXPECT_EQ(key.GetKeyPath(), "/A/C");
  EXPECT_EQ(ErrorOf([&] { key.ChangeKey("/A/Z"); }).Code(), 158);
  EXPECT_EQ(ErrorOf([&] { key.ChangeKey(""); }).Code(), 158);  // "/A/C/" has no group
  EXPECT_EQ(key.GetKeyPath(), "/A/C");
  key.Up();
  LogCapture log(false);
  EXPECT_EQ(ErrorOf([&] { key.Up(); }).Code(), 158);
  EXPECT_EQ(key.GetKeyPath(), "/A");
  EXPECT_EQ(log.Functions(), Names({"QELRBKey::Up"}));

  const QELRBKey witness = key;
  key.CommitSuicide();
  EXPECT_EQ(key.GetKeyPath() + "|" + witness.GetKeyPath(), "|/A");
  EXPECT_FALSE(QELRBKey(connection).HasSubkey("A"));
  EXPECT_NE(store.Text().find("[/Ab]"), std::string::npos);
  EXPECT_EQ(store.Text().find("[/A/"), std::string::npos);
}

}  // namespace
