// Keys, iterators and root keys as a program sees them: paths, comparison, copy-on-write, value
// and subkey operations with their records, navigation, walks, end errors and the version report,
// changes discarded; the store's behaviour on a local file, a WebDAV server and an etcd cluster.
// When a transaction's changes are written is the generated histories' check.
#include <gtest/gtest.h>

#include <zor-qel-rb-key/zor_qel.h>
#include "api_support.h"

namespace {

using api_test::ErrorOf;
using api_test::kSmallStore;
using api_test::LogCapture;
using api_test::StoreKind;
using api_test::TestStore;
using Names = std::vector<std::string>;

// A logged-in connection on the small store, held by each kind of backend in turn.
class Key : public ::testing::TestWithParam<StoreKind> {
 protected:
  TestStore store{GetParam(), kSmallStore};
  QELConnection connection = store.Connect();
};
class KeyIterator : public Key {};

INSTANTIATE_TEST_SUITE_P(Stores, Key, ::testing::ValuesIn(api_test::StoreKinds()),
                         api_test::StoreKindName);
INSTANTIATE_TEST_SUITE_P(Stores, KeyIterator, ::testing::ValuesIn(api_test::StoreKinds()),
                         api_test::StoreKindName);

TEST(KeyHandle, EmptyHandleFailsWithTheNullPointerError) {
  LogCapture log(false);
  QELRBKey empty;
  QELRBKey copy(empty);
  copy = empty;
  const QELError error = ErrorOf([&] { empty.GetKeyPath(); });
  EXPECT_EQ(error.What(), "Attempt to dereference null pointer");
  EXPECT_EQ(error.File(), "qel_cfg\\request_broker/security/implementation/inc/qel_imp_pointer");
  EXPECT_THROW(empty.SetValue("x", "1"), QELLogicalError);
  EXPECT_THROW((void)(empty == copy), QELLogicalError);
  const std::vector<zor::qel::LogRecord> records = log.Take();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].function + "|" + records[0].module + "|" + records[0].text,
            "||Attempt to dereference null pointer");
  EXPECT_EQ(records[0].severity, 3);
}

TEST_P(Key, PathsComparisonAndCopyOnWrite) {
  const QELConnection two = store.Connect();
  const QELRBKey root(connection);
  EXPECT_EQ(root.GetKeyPath() + root.GetKeyName(), "");
  EXPECT_EQ(root.GetLevel(), 0u);
  QELRBKey ab("/A/B", connection);
  EXPECT_EQ(ab.GetLevel(), 2u);
  EXPECT_EQ(ab.GetKeyName(), "B");
  EXPECT_TRUE(ab == QELRBKey("/A/B", two));  // equal paths on different connections
  EXPECT_TRUE(QELRBKey("/A", connection) < ab && ab < QELRBKey("/Ab", two));

  QELRBKey copy = ab;
  copy.Up();
  EXPECT_EQ(copy.GetKeyPath() + "|" + ab.GetKeyPath(), "/A|/A/B");
  // A write through a copy changes the store for everyone, but only the writer's cache.
  QELRBKey reader = copy;
  copy.SetValue("colour", "blue");
  EXPECT_EQ(static_cast<std::string>(reader.GetValue("colour")), "red");
  EXPECT_EQ(static_cast<std::string>(QELRBKey("/A", connection).GetValue("COLOUR")), "blue");
}

TEST_P(Key, ValueOperationsTraceAndFailAsDocumented) {
  LogCapture log(true);
  EXPECT_EQ(ErrorOf([&] { QELRBKey("/A/Z", connection); }).Code(), 158);
  QELRBKey a("/A", connection);
  EXPECT_TRUE(a.HasValue("NAME"));
  a.SetValue("size", "3");
  a.AddValue("list", QELRBValue(std::list<std::string>{"six"}));
  a.DeleteValue("list", "one");
  a.DeleteValue("missing");
  a.SetValues({{"x", "1"}, {"Y", QELRBValue({"a", "b"})}});
  Names traces;
  for (const zor::qel::LogRecord& record : log.Take())
    traces.push_back(record.function + "|" + record.text);
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
  const std::vector<zor::qel::LogRecord> error = log.Take();
  ASSERT_EQ(error.size(), 1u);
  EXPECT_EQ(error[0].function + "|" + error[0].module + "|" + error[0].text,
            "QELRBKey::GetValue|rb_key|" + missing.What());
  EXPECT_EQ(error[0].severity, 3);
  EXPECT_EQ(ErrorOf([&] { a.AddValue("list", "two"); }).Code(), 159);
  EXPECT_EQ(log.Functions(), Names({"QELRBKey::AddValue", "QELRBKey::AddValue"}));
  // An element holding the list separator cannot be stored; the error names the value.
  const QELError unstorable = ErrorOf([&] { a.SetValue("bad", QELRBValue({"x", "y\x1Bz"})); });
  EXPECT_EQ(unstorable.Code(), 168);
  EXPECT_NE(unstorable.What().find("ZORKVA0611E The value bad cannot be stored"), std::string::npos)
      << unstorable.What();
  EXPECT_FALSE(a.HasValue("bad"));
}

TEST_P(Key, SubkeyOperations) {
  QELRBKey a("/A", connection);
  LogCapture log(true);
  EXPECT_EQ(a.GetSubkey("B").GetKeyPath() + "|" + a.GetKeyPath(), "/A/B|/A");
  EXPECT_TRUE(a.CreateSubkey("E").IsEmpty() && a.HasSubkey("E") && !a.IsEmpty());
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

TEST_P(Key, ChangeKeyUpAndCommitSuicide) {
  QELRBKey key(connection);
  key.ChangeKey("A");
  key.ChangeKey("B/K");  // relative to where the key stands
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

TEST_P(Key, DiscardedChangesAreDroppedAndTheStoreReadAgain) {
  connection.BeginTransaction();
  QELRBKey a("/A", connection);
  a.SetValue("name", "second");
  a.CreateSubkey("E");
  QELRBKey("/A", store.Connect()).SetValue("size", "7");  // another writer, meanwhile
  const std::string before = store.Text();
  EXPECT_EQ(connection.DiscardChanges(), Names({"/A", "/A/E"}));
  EXPECT_FALSE(connection.IsTransactionStarted());
  EXPECT_EQ(static_cast<std::string>(a.GetValue("name")), "first");
  EXPECT_EQ(static_cast<std::string>(a.GetValue("size")), "7");
  EXPECT_FALSE(a.HasSubkey("E"));
  connection.Commit();
  EXPECT_EQ(store.Text(), before);

  // The guard's Discard ends it: no Commit after.
  zor::qel::Transaction guard(connection);
  QELRBKey("/A", connection).SetValue("name", "third");
  EXPECT_EQ(guard.Discard(), Names({"/A"}));
  EXPECT_THROW(guard.Commit(), QELLogicalError);
  EXPECT_EQ(static_cast<std::string>(QELRBKey("/A", connection).GetValue("name")), "first");
  EXPECT_EQ(store.Text(), before);
}

const std::list<std::string> kNoExclusions;
const QELRBConstKeyIterator& kEnd = QELRBConstKeyIterator::EndIterator;

Names Walk(QELRBConstKeyIterator& it) {
  Names paths;
  for (; it != kEnd; ++it) paths.push_back((*it).GetKeyPath());
  return paths;
}

TEST_P(KeyIterator, WalksSubkeysComparesByReaderAndStopsAtItsEnd) {
  const QELRBKey a("/A", connection);
  LogCapture log(true);
  QELRBConstKeyIterator direct(a, "(key=*)", false, kNoExclusions);
  QELRBConstKeyIterator second(a, "(key=*)", false, kNoExclusions);
  const QELRBConstKeyIterator none;
  EXPECT_TRUE(direct == direct && direct != none && none == kEnd);
  EXPECT_FALSE(direct == second);  // different readers on the same item
  const QELRBKey kept = *direct;
  EXPECT_EQ(Walk(direct), Names({"/A/B", "/A/C", "/A/D"}));
  EXPECT_EQ(kept.GetKeyPath(), "/A/B");  // a handed-out key stays when the iterator moves on
  Walk(second);
  EXPECT_FALSE(direct == second);  // different readers, both exhausted
  EXPECT_TRUE(kEnd == direct && none == direct);
  EXPECT_EQ(ErrorOf([&] { ++direct; }).What(), "ZORKVA0610E");
  EXPECT_TRUE(log.Functions().empty());  // the constructor writes no entry trace

  QELRBConstKeyIterator searched;
  EXPECT_EQ(a.SearchSubKey(searched, "(key=*)", true, kNoExclusions), 1);
  EXPECT_EQ(log.Functions(), Names({"QELRBKey::SearchSubKey(Recursive)"}));
  EXPECT_EQ(Walk(searched), Names({"/A/B", "/A/B/K", "/A/C", "/A/D"}));
}

TEST(Iterator, DereferencingWithoutAReaderIsLoggedAndRefused) {
  LogCapture log(false);
  const QELError error = ErrorOf([&] { *QELRBConstKeyIterator(); });
  EXPECT_EQ(error.Code(), 167);
  EXPECT_EQ(error.What(), "ZORKVA0610E The iterator is past its end. [167]");
  EXPECT_EQ(error.File(), "src\\qel_rb_iterators");
  const std::vector<zor::qel::LogRecord> records = log.Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].function + "|" + records[0].text,
            "QELRBConstKeyIterator::operator*|" + error.What());
  EXPECT_EQ(records[0].severity, 3);
  EXPECT_EQ(ErrorOf([&] { *QELRBConstValueIterator(); }).Code(), 167);
  EXPECT_EQ(log.Functions(), Names({"QELRBConstValueIterator::operator*"}));
}

TEST_P(KeyIterator, ValuesWalkASnapshotOfTheMatchingValues) {
  QELRBKey a("/A", connection);
  LogCapture log(true);
  QELRBConstValueIterator it(a, "*l*");
  EXPECT_EQ(log.Functions(), Names({"QELRBConstValueIterator::QELRBConstValueIterator"}));
  a.SetValue("colour", "green");
  Names seen;
  for (; it != QELRBConstValueIterator::EndIterator; ++it) {
    std::pair<QELNoCaseString, QELRBValue> item = *it;
    seen.push_back(item.first + "=" + static_cast<std::string>(item.second));
  }
  EXPECT_EQ(seen, Names({"colour=red", "list=one, two"}));
  EXPECT_EQ(ErrorOf([&] { ++it; }).What(), "ZORKVA0610E");
  const QELError root = ErrorOf([&] { QELRBConstValueIterator(QELRBKey(connection), "*"); });
  EXPECT_EQ(root.What(), "Attempt to dereference null pointer");
}

TEST_P(Key, RootKeysOpenTheModuleThroughTheIndex) {
  LogCapture log(true);
  EXPECT_EQ(QELRBRootKey("ALPHA", connection).GetKeyPath(), "/A");
  std::vector<zor::qel::LogRecord> records = log.Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].function + "|" + records[0].text,
            "QELRBRootKey::QELRBRootKey|Module: ALPHA");
  zor::qel::SetTraceEnabled(false);
  const QELError unknown = ErrorOf([&] { QELRBRootKey("M", connection); });
  EXPECT_EQ(unknown.Code(), 160);
  EXPECT_EQ(unknown.Facility(), 12);
  EXPECT_EQ(unknown.File(), "src\\qel_rb_root_key");
  records = log.Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].function, "QELRBRootKey::Init");
  EXPECT_EQ(records[0].text, unknown.What() + " [160] : Module = M");
  EXPECT_EQ(ErrorOf([&] { QELRBRootKey("Ghost", connection); }).Code(), 158);
}

TEST(Versions, RecordIsAddedOnceAndReplacesAnOldOne) {
  std::map<std::string, std::string> versions{{"zor-qel-rb-key", "old"}};
  GetVersionsList_QELRB_Key(versions);
  GetVersionsList_QELRB_Key(versions);
  EXPECT_EQ(versions["zor-qel-rb-key"], "<<<VER_INFO>>>|zor-qel-rb-key|300|1|src\\qel_ver");
}

}  // namespace
