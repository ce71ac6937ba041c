// Iterators, searches and root keys as a program sees them: walking subkeys and values, iterator
// equality and end errors, module root keys and the version report.
#include <gtest/gtest.h>

#include "api_support.h"

namespace {

using api_test::Connect;
using api_test::ErrorOf;
using api_test::kSmallStore;
using api_test::LogCapture;
using api_test::StoreFile;

const std::list<std::string> kNoExclusions;

std::vector<std::string> Walk(QELRBConstKeyIterator& it) {
  std::vector<std::string> paths;
  for (; it != QELRBConstKeyIterator::EndIterator; ++it) paths.push_back((*it).GetKeyPath());
  return paths;
}

TEST(KeyIterator, WalksSubkeysAndStopsAtItsEnd) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  const QELRBKey a("/A", connection);
  LogCapture log(true);
  QELRBConstKeyIterator direct(a, "(key=*)", false, kNoExclusions);
  EXPECT_TRUE(log.Functions().empty());  // the constructor writes no entry trace
  EXPECT_EQ(Walk(direct), std::vector<std::string>({"/A/B", "/A/C", "/A/D"}));
  EXPECT_TRUE(direct == QELRBConstKeyIterator::EndIterator);
  EXPECT_TRUE(QELRBConstKeyIterator::EndIterator == direct);
  const QELError past = ErrorOf([&] { ++direct; });
  EXPECT_EQ(past.Code(), 167);
  EXPECT_EQ(past.What(), "ZORKVA0610E");
  EXPECT_EQ(ErrorOf([&] { ++direct; }).Code(), 167);
  EXPECT_TRUE(log.Functions().empty());

  QELRBConstKeyIterator searched;
  EXPECT_EQ(a.SearchSubKey(searched, "(key=*)", true, kNoExclusions), 1);
  EXPECT_EQ(log.Functions(), std::vector<std::string>({"QELRBKey::SearchSubKey(Recursive)"}));
  EXPECT_EQ(Walk(searched), std::vector<std::string>({"/A/B", "/A/B/K", "/A/C", "/A/D"}));
  const QELRBKey leaf("/A/B/K", connection);
  EXPECT_EQ(leaf.SearchSubKey(searched, "(key=*)", false, kNoExclusions), 0);
  EXPECT_TRUE(searched == QELRBConstKeyIterator::EndIterator);
}

TEST(KeyIterator, EqualityFollowsTheReaders) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  const QELRBKey a("/A", connection);
  QELRBConstKeyIterator first(a, "(key=*)", false, kNoExclusions);
  QELRBConstKeyIterator second(a, "(key=*)", false, kNoExclusions);
  const QELRBConstKeyIterator none;
  EXPECT_TRUE(first == first);
  EXPECT_FALSE(first == second);  // different readers on the same item
  EXPECT_TRUE(none == QELRBConstKeyIterator::EndIterator);
  EXPECT_TRUE(first != none);
  Walk(first);
  Walk(second);
  EXPECT_FALSE(first == second);  // different readers, both exhausted
  EXPECT_TRUE(none == first);
}

TEST(KeyIterator, HandedOutKeyStaysWhenTheIteratorMovesOn) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  QELRBConstKeyIterator it(QELRBKey("/A", connection), "(key=*)", false, kNoExclusions);
  const QELRBKey kept = *it;
  ++it;
  EXPECT_EQ((*it).GetKeyPath(), "/A/C");
  EXPECT_EQ(kept.GetKeyPath(), "/A/B");
  EXPECT_TRUE(kept.HasSubkey("K"));
}

TEST(KeyIterator, WalkSurvivesSubkeysDeletedAndCreatedOnTheWay) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  QELRBKey a("/A", connection);
  std::vector<std::string> seen;
  for (QELRBConstKeyIterator it(a, "(key=*)", true, kNoExclusions);
       it != QELRBConstKeyIterator::EndIterator; ++it) {
    const QELRBKey& key = *it;
    seen.push_back(key.GetKeyPath());
    if (key.GetKeyPath() == "/A/B") {
      a.DeleteSubkey("B");  // the key handed out and the subkey the walk would visit next
      a.DeleteSubkey("C");
      a.CreateSubkey("E");
      a.CreateSubkey("A0");  // before the walk's position: not reached
    }
  }
  EXPECT_EQ(seen, std::vector<std::string>({"/A/B", "/A/D", "/A/E"}));
}

TEST(KeyIterator, DereferencingWithoutAReaderIsLoggedAndRefused) {
  LogCapture log(false);
  const QELRBConstKeyIterator none;
  const QELError error = ErrorOf([&] { *none; });
  EXPECT_EQ(error.Code(), 167);
  EXPECT_EQ(error.What(), "ZORKVA0610E The iterator is past its end. [167]");
  EXPECT_EQ(error.File(), "src\\qel_rb_iterators");
  const std::vector<LogRecord> records = log.Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].function, "QELRBConstKeyIterator::operator*");
  EXPECT_EQ(records[0].severity, 3);
  EXPECT_EQ(records[0].text, error.What());
  const QELRBConstValueIterator values;
  EXPECT_EQ(ErrorOf([&] { *values; }).Code(), 167);
  EXPECT_EQ(log.Functions(), std::vector<std::string>({"QELRBConstValueIterator::operator*"}));
}

TEST(ValueIterator, WalksASnapshotOfTheMatchingValues) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  QELRBKey a("/A", connection);
  LogCapture log(true);
  QELRBConstValueIterator it(a, "*l*");
  EXPECT_EQ(log.Functions(),
            std::vector<std::string>({"QELRBConstValueIterator::QELRBConstValueIterator"}));
  a.SetValue("colour", "green");
  a.SetValue("label", "x");
  a.DeleteValue("list");
  std::vector<std::string> seen;
  for (; it != QELRBConstValueIterator::EndIterator; ++it) {
    std::pair<QELNoCaseString, QELRBValue> item = *it;
    seen.push_back(item.first + "=" + static_cast<std::string>(item.second));
    item.second = "changed";
  }
  EXPECT_EQ(seen, std::vector<std::string>({"colour=red", "list=one, two"}));
  EXPECT_EQ(ErrorOf([&] { ++it; }).What(), "ZORKVA0610E");
  EXPECT_EQ(static_cast<std::string>(a.GetValue("colour")), "green");

  QELRBConstValueIterator all;
  a.SearchValues(all, "*");
  size_t count = 0;
  for (; all != QELRBConstValueIterator::EndIterator; ++all) ++count;
  EXPECT_EQ(count, 3u);
  const QELError root = ErrorOf([&] { QELRBConstValueIterator(QELRBKey(connection), "*"); });
  EXPECT_EQ(root.What(), "Attempt to dereference null pointer");
}

TEST(RootKey, OpensTheModuleThroughTheIndex) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  LogCapture log(true);
  const QELRBRootKey alpha("ALPHA", connection);
  EXPECT_EQ(alpha.GetKeyPath(), "/A");
  const std::vector<LogRecord> records = log.Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].function, "QELRBRootKey::QELRBRootKey");
  EXPECT_EQ(records[0].text, "Module: ALPHA");
  SetTraceEnabled(false);
  const QELError unknown = ErrorOf([&] { QELRBRootKey("M", connection); });
  EXPECT_EQ(unknown.Code(), 160);
  EXPECT_EQ(unknown.Facility(), 12);
  EXPECT_EQ(unknown.File(), "src\\qel_rb_root_key");
  const std::vector<LogRecord> failure = log.Take();
  ASSERT_EQ(failure.size(), 1u);
  EXPECT_EQ(failure[0].function, "QELRBRootKey::Init");
  EXPECT_EQ(failure[0].text, unknown.What() + " [160] : Module = M");
  EXPECT_EQ(ErrorOf([&] { QELRBRootKey("Ghost", connection); }).Code(), 158);
}

TEST(Versions, RecordIsAddedOnceAndReplacesAnOldOne) {
  std::map<std::string, std::string> versions{{"zor-qel-rb-key", "old"}};
  GetVersionsList_QELRB_Key(versions);
  GetVersionsList_QELRB_Key(versions);
  EXPECT_EQ(versions["zor-qel-rb-key"], "<<<VER_INFO>>>|zor-qel-rb-key|300|1|src\\qel_ver");
}

}  // namespace
