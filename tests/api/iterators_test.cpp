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
using Paths = std::vector<std::string>;

const std::list<std::string> kNoExclusions;
const QELRBConstKeyIterator& kEnd = QELRBConstKeyIterator::EndIterator;

Paths Walk(QELRBConstKeyIterator& it) {
  Paths paths;
  for (; it != kEnd; ++it) paths.push_back((*it).GetKeyPath());
  return paths;
}

TEST(KeyIterator, WalksSubkeysComparesByReaderAndStopsAtItsEnd) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  const QELRBKey a("/A", connection);
  LogCapture log(true);
  QELRBConstKeyIterator direct(a, "(key=*)", false, kNoExclusions);
  QELRBConstKeyIterator second(a, "(key=*)", false, kNoExclusions);
  const QELRBConstKeyIterator none;
  EXPECT_TRUE(direct == direct && direct != none && none == kEnd);
  EXPECT_FALSE(direct == second);  // different readers on the same item
  const QELRBKey kept = *direct;
  EXPECT_EQ(Walk(direct), Paths({"/A/B", "/A/C", "/A/D"}));
  EXPECT_EQ(kept.GetKeyPath(), "/A/B");  // a handed-out key stays when the iterator moves on
  Walk(second);
  EXPECT_FALSE(direct == second);  // different readers, both exhausted
  EXPECT_TRUE(kEnd == direct && none == direct);
  const QELError past = ErrorOf([&] { ++direct; });
  EXPECT_EQ(past.Code(), 167);
  EXPECT_EQ(past.What(), "ZORKVA0610E");
  EXPECT_TRUE(log.Functions().empty());  // the constructor writes no entry trace

  QELRBConstKeyIterator searched;
  EXPECT_EQ(a.SearchSubKey(searched, "(key=*)", true, kNoExclusions), 1);
  EXPECT_EQ(log.Functions(), Paths({"QELRBKey::SearchSubKey(Recursive)"}));
  EXPECT_EQ(Walk(searched), Paths({"/A/B", "/A/B/K", "/A/C", "/A/D"}));
}

TEST(KeyIterator, DereferencingWithoutAReaderIsLoggedAndRefused) {
  LogCapture log(false);
  const QELError error = ErrorOf([&] { *QELRBConstKeyIterator(); });
  EXPECT_EQ(error.Code(), 167);
  EXPECT_EQ(error.What(), "ZORKVA0610E The iterator is past its end. [167]");
  EXPECT_EQ(error.File(), "src\\qel_rb_iterators");
  const std::vector<LogRecord> records = log.Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].function + "|" + records[0].text,
            "QELRBConstKeyIterator::operator*|" + error.What());
  EXPECT_EQ(records[0].severity, 3);
  EXPECT_EQ(ErrorOf([&] { *QELRBConstValueIterator(); }).Code(), 167);
  EXPECT_EQ(log.Functions(), Paths({"QELRBConstValueIterator::operator*"}));
}

TEST(ValueIterator, WalksASnapshotOfTheMatchingValues) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  QELRBKey a("/A", connection);
  LogCapture log(true);
  QELRBConstValueIterator it(a, "*l*");
  EXPECT_EQ(log.Functions(), Paths({"QELRBConstValueIterator::QELRBConstValueIterator"}));
  a.SetValue("colour", "green");
  Paths seen;
  for (; it != QELRBConstValueIterator::EndIterator; ++it) {
    std::pair<QELNoCaseString, QELRBValue> item = *it;
    seen.push_back(item.first + "=" + static_cast<std::string>(item.second));
  }
  EXPECT_EQ(seen, Paths({"colour=red", "list=one, two"}));
  EXPECT_EQ(ErrorOf([&] { ++it; }).What(), "ZORKVA0610E");
  const QELError root = ErrorOf([&] { QELRBConstValueIterator(QELRBKey(connection), "*"); });
  EXPECT_EQ(root.What(), "Attempt to dereference null pointer");
}

TEST(RootKey, OpensTheModuleThroughTheIndex) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  LogCapture log(true);
  EXPECT_EQ(QELRBRootKey("ALPHA", connection).GetKeyPath(), "/A");
  std::vector<LogRecord> records = log.Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].function + "|" + records[0].text,
            "QELRBRootKey::QELRBRootKey|Module: ALPHA");
  SetTraceEnabled(false);
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
