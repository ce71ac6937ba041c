// The key handle as a program sees it: paths and comparison, copy-on-write, value and subkey
// operations with their trace and error records, navigation, and writes inside transactions.
#include <gtest/gtest.h>

#include "api_support.h"

namespace {

using api_test::Connect;
using api_test::ErrorOf;
using api_test::kSmallStore;
using api_test::LogCapture;
using api_test::StoreFile;

TEST(Key, EmptyHandleFailsWithTheNullPointerError) {
  LogCapture log(false);
  QELRBKey empty;
  QELRBKey copy(empty);
  copy = empty;
  const QELError error = ErrorOf([&] { empty.GetKeyPath(); });
  EXPECT_EQ(error.What(), "Attempt to dereference null pointer");
  EXPECT_THROW(empty.SetValue("x", "1"), QELLogicalError);
  EXPECT_THROW((void)(empty == copy), QELLogicalError);
  const std::vector<LogRecord> records = log.Take();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].function, "");
  EXPECT_EQ(records[0].module, "");
  EXPECT_EQ(records[0].severity, 3);
  EXPECT_EQ(records[0].text, "Attempt to dereference null pointer");
}

TEST(Key, PathsLevelsNamesAndComparison) {
  StoreFile store(kSmallStore);
  const QELConnection one = Connect(store);
  const QELConnection two = Connect(store);
  const QELRBKey root(one);
  EXPECT_EQ(root.GetKeyPath(), "");
  EXPECT_EQ(root.GetLevel(), 0u);
  EXPECT_EQ(root.GetKeyName(), "");
  const QELRBKey ab("/A/B", one);
  EXPECT_EQ(ab.GetLevel(), 2u);
  EXPECT_EQ(ab.GetKeyName(), "B");
  EXPECT_TRUE(ab == QELRBKey("/A/B", two));
  const QELRBKey a("/A", one);
  EXPECT_TRUE(a < ab);
  EXPECT_TRUE(ab < QELRBKey("/Ab", two));
  EXPECT_FALSE(ab < a);
}

TEST(Key, CopiesShareUntilOneOfThemMoves) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  QELRBKey original("/A/B", connection);
  QELRBKey copy = original;
  const QELRBKey& alias = copy;
  copy = alias;
  copy.Up();
  EXPECT_EQ(copy.GetKeyPath(), "/A");
  EXPECT_EQ(original.GetKeyPath(), "/A/B");
  // A write through a copy changes the store for everyone, but only the writer's cache.
  QELRBKey a("/A", connection);
  QELRBKey reader = a;
  a.SetValue("colour", "blue");
  EXPECT_EQ(static_cast<std::string>(a.GetValue("colour")), "blue");
  EXPECT_EQ(static_cast<std::string>(reader.GetValue("colour")), "red");
  EXPECT_EQ(static_cast<std::string>(QELRBKey("/A", connection).GetValue("COLOUR")), "blue");
}

TEST(Key, ValueOperationsTraceAndFailAsDocumented) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  LogCapture log(true);
  QELRBKey a("/A", connection);
  EXPECT_TRUE(a.HasValue("NAME"));
  EXPECT_EQ(a.GetValue("list"), QELRBValue({"one", "two"}));
  a.SetValue("size", "3");
  a.AddValue("list", QELRBValue(std::list<std::string>{"six"}));
  a.DeleteValue("list", "one");
  a.DeleteValue("missing");
  a.SetValues({{"x", "1"}, {"Y", QELRBValue({"a", "b"})}});
  const std::vector<LogRecord> traces = log.Take();
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"QELRBKey::QELRBKey", "Key: /A"},
      {"QELRBKey::AddValue", "Key: /A value: list"},
      {"QELRBKey::DeleteValue", "Key: /A value: list"},
      {"QELRBKey::DeleteValue", "Key: /A value: missing"},
      {"QELRBKey::SetValues", "Key: /A"}};
  ASSERT_EQ(traces.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(traces[i].function, expected[i].first);
    EXPECT_EQ(traces[i].text, expected[i].second);
  }
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
  EXPECT_EQ(error[0].function, "QELRBKey::GetValue");
  EXPECT_EQ(error[0].module, "rb_key");
  EXPECT_EQ(error[0].severity, 3);
  EXPECT_EQ(error[0].text, missing.What());
  EXPECT_EQ(ErrorOf([&] { a.AddValue("list", "two"); }).Code(), 159);
  EXPECT_EQ(log.Functions(),
            std::vector<std::string>({"QELRBKey::AddValue", "QELRBKey::AddValue"}));
}

TEST(Key, MissingKeyFailsWithoutATrace) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  LogCapture log(true);
  const QELError error = ErrorOf([&] { QELRBKey("/A/Z", connection); });
  EXPECT_EQ(error.Code(), 158);
  for (const std::string& function : log.Functions()) EXPECT_NE(function, "QELRBKey::QELRBKey");
}

TEST(Key, SubkeyOperations) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  QELRBKey a("/A", connection);
  LogCapture log(true);
  const QELRBKey b = a.GetSubkey("B");
  EXPECT_EQ(b.GetKeyPath(), "/A/B");
  EXPECT_EQ(a.GetKeyPath(), "/A");
  const QELRBKey e = a.CreateSubkey("E");
  EXPECT_EQ(e.GetKeyPath(), "/A/E");
  EXPECT_TRUE(a.HasSubkey("E"));
  EXPECT_TRUE(e.IsEmpty());
  EXPECT_FALSE(a.IsEmpty());
  EXPECT_EQ(log.Functions(),
            std::vector<std::string>({"QELRBKey::GetSubkey", "QELRBKey::CreateSubkey",
                                      "QELRBKey::GetSubkey", "QELRBKey::HasSubkey"}));
  EXPECT_EQ(ErrorOf([&] { a.GetSubkey("Z"); }).Code(), 158);
  EXPECT_EQ(ErrorOf([&] { a.CreateSubkey("E"); }).Code(), 159);
  log.Take();
  a.DeleteSubkey("Z");
  a.DeleteSubkey("B");
  EXPECT_FALSE(a.HasSubkey("B"));
  EXPECT_FALSE(QELRBKey(connection).HasSubkey("A/B/K"));
  EXPECT_EQ(log.Functions(),
            std::vector<std::string>({"QELRBKey::DeleteSubkey", "QELRBKey::DeleteSubkey",
                                      "QELRBKey::HasSubkey", "QELRBKey::HasSubkey"}));
}

TEST(Key, ChangeKeyUpAndCommitSuicide) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  QELRBKey key(connection);
  key.ChangeKey("A");
  EXPECT_EQ(key.GetKeyPath(), "/A");
  key.ChangeKey("B/K");
  EXPECT_EQ(key.GetKeyPath(), "/A/B/K");
  key.ChangeKey("/A/C");
  EXPECT_EQ(key.GetKeyPath(), "/A/C");
  EXPECT_EQ(ErrorOf([&] { key.ChangeKey("/A/Z"); }).Code(), 158);
  EXPECT_EQ(ErrorOf([&] { key.ChangeKey(""); }).Code(), 158);  // "/A/C/" has no group
  EXPECT_EQ(key.GetKeyPath(), "/A/C");
  key.Up();
  EXPECT_EQ(key.GetKeyPath(), "/A");
  LogCapture log(false);
  const QELError error = ErrorOf([&] { key.Up(); });
  EXPECT_EQ(error.Code(), 158);
  EXPECT_EQ(key.GetKeyPath(), "/A");
  EXPECT_EQ(log.Functions(), std::vector<std::string>({"QELRBKey::Up"}));

  const QELRBKey witness = key;
  key.CommitSuicide();
  EXPECT_EQ(key.GetKeyPath(), "");
  EXPECT_EQ(key.GetLevel(), 0u);
  EXPECT_EQ(witness.GetKeyPath(), "/A");
  EXPECT_EQ(ErrorOf([&] { key.GetValue("name"); }).What(), "Attempt to dereference null pointer");
  const QELRBKey root(connection);
  EXPECT_FALSE(root.HasSubkey("A"));
  EXPECT_TRUE(root.HasSubkey("Ab"));
  EXPECT_EQ(store.Text().find("[/A/"), std::string::npos);
}

TEST(Key, KeysMadeInsideATransactionWriteAtCommit) {
  StoreFile store(kSmallStore);
  QELConnection connection = Connect(store);
  QELRBKey before("/A", connection);
  connection.BeginTransaction();
  QELRBKey inside("/A/C", connection);
  inside.SetValue("pending", "1");
  EXPECT_EQ(store.Text().find("pending"), std::string::npos);
  before.SetValue("direct", "1");  // made before the transaction: writes at once
  EXPECT_NE(store.Text().find("direct=1"), std::string::npos);
  connection.Commit();
  EXPECT_NE(store.Text().find("pending=1"), std::string::npos);
}

}  // namespace
