// Tests of the subkey reader (candidates, selector rules, walks over a changing store) and of the
// value reader (wildcards, private snapshot, end error).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backend_store.h"
#include "qel_error.h"
#include "qel_ini_key.h"
#include "qel_log.h"
#include "qel_value_reader.h"

namespace {

using Paths = std::vector<std::string>;

class BackendReaders : public ::testing::Test {
 protected:
  MemoryIni& store() { return connection.Memory(); }

  // Every subkey a search yields, with the count its constructor reported.
  Paths Walk(const std::string& path, const std::string& filter, bool recursive,
             uint32_t* count = nullptr) {
    QELIniKey key = path.empty() ? QELIniKey(connection) : QELIniKey(path, connection);
    qel_iterator<QELKeyPointer> cursor;
    uint32_t found = 99;
    EXPECT_TRUE(key.SearchSubKey(filter, cursor, recursive, {"/ignored"}, found).Ok());
    if (count != nullptr) *count = found;
    Paths paths;
    while (!cursor.GetReader()->atEnd) {
      paths.push_back((*cursor)->GetKeyPath());
      ++cursor;
    }
    return paths;
  }

  MemoryIniConnection connection;
};

TEST_F(BackendReaders, CandidatesAreDirectOrAllDescendantsNeverSiblings) {
  for (const char* group : {"/A", "/A/B", "/A/B/C1", "/A/B/C1/D", "/A/B/C2", "/A/BC", "/A/BC/E"}) {
    store().AddGroup(group);
  }
  uint32_t count = 0;
  EXPECT_EQ(Walk("/A/B", "(key=*)", false, &count), (Paths{"/A/B/C1", "/A/B/C2"}));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(Walk("/A/B", "(key=*)", true), (Paths{"/A/B/C1", "/A/B/C1/D", "/A/B/C2"}));
  EXPECT_EQ(Walk("/A/B/C2", "(key=*)", false, &count), Paths{});
  EXPECT_EQ(count, 0u);
  store().AddGroup("/Top");
  EXPECT_EQ(Walk("", "(key=*)", false), (Paths{"/A", "/Top"}));
  EXPECT_EQ(Walk("", "(key=*)", true).size(), 8u);
}

TEST_F(BackendReaders, SelectorRulesPickTheirGroups) {
  for (const char* child : {"/K/a_d_rep", "/K/b_d_rep_default", "/K/c_d_rep_common", "/K/d_dpc_rep",
                            "/K/e_dsr_rep_common", "/K/plain"}) {
    store().AddGroup(child);
  }
  store().AddGroup("/K");
  store().AddGroup("/ZOR_Software/qel4ds/Config");
  store().AddGroup("/K/r1", {{"RepositoryName", "R1"}});
  store().AddGroup("/K/r2", {{"repositoryname", "r1"}});
  store().AddGroup("/K/r3_d_rep_common");
  store().AddGroup("/ZOR_Software/qel4ds/Config/Index");
  store().AddGroup("/ZOR_Software/qel4ds/Config/component_info");

  EXPECT_EQ(Walk("/K", "(key=*)", false).size(), 9u);
  EXPECT_EQ(Walk("/ZOR_Software/qel4ds/Config", "(key=*)", false),
            Paths{"/ZOR_Software/qel4ds/Config/Index"});
  EXPECT_EQ(Walk("/K", "(repositoryname=R1)", false), Paths{"/K/r1"});
  EXPECT_EQ(Walk("/K", "(repositoryname)", false), Paths{});
  EXPECT_EQ(Walk("/K", "(d_rep*)", false), Paths{"/K/a_d_rep"});
  EXPECT_EQ(Walk("/K", "(dpc_rep*)", false), Paths{"/K/d_dpc_rep"});
  EXPECT_EQ(Walk("/K", "(dsr_rep*)", false), Paths{});
  EXPECT_EQ(Walk("/K", "external", false),
            (Paths{"/K/a_d_rep", "/K/b_d_rep_default", "/K/c_d_rep_common", "/K/d_dpc_rep",
                   "/K/e_dsr_rep_common", "/K/r3_d_rep_common"}));
  EXPECT_EQ(Walk("/K", "*", false), (Paths{"/K/b_d_rep_default", "/K/c_d_rep_common",
                                           "/K/e_dsr_rep_common", "/K/r3_d_rep_common"}));
}

TEST_F(BackendReaders, AHandedOutKeyStaysWhereItWasWhenTheWalkMovesOn) {
  store().AddGroup("/P");
  store().AddGroup("/P/one", {{"v", "1"}});
  store().AddGroup("/P/two");
  QELIniKey parent("/P", connection);
  qel_iterator<QELKeyPointer> cursor;
  uint32_t count = 0;
  parent.SearchSubKey("(key=*)", cursor, false, {}, count);
  const QELKeyPointer handed = *cursor;
  ++cursor;
  EXPECT_EQ(handed->GetKeyPath(), "/P/one");
  EXPECT_EQ((*cursor)->GetKeyPath(), "/P/two");
  bool has = false;
  handed->HasValue("v", has);
  EXPECT_TRUE(has);
}

TEST_F(BackendReaders, WalksSurviveGroupsComingAndGoingBetweenSteps) {
  store().AddGroup("/W");
  for (int i = 0; i < 10; ++i) store().AddGroup("/W/c" + std::to_string(i));
  QELIniKey parent("/W", connection);
  qel_iterator<QELKeyPointer> cursor;
  uint32_t count = 0;
  parent.SearchSubKey("(key=*)", cursor, false, {}, count);
  Paths seen;
  while (!cursor.GetReader()->atEnd) {
    const std::string path = (*cursor)->GetKeyPath();
    seen.push_back(path);
    if (path == "/W/c0") {
      store().EraseGroup("/W/c1");  // the group the walk stands on next
      store().EraseGroup("/W/c4");
      store().AddGroup("/W/a");    // before the walk's place: not reached
      store().AddGroup("/W/c5x");  // ahead: reached
    }
    if (path == "/W/c6") parent.DeleteSubkey("c6", false);  // the current subkey itself
    ++cursor;
  }
  EXPECT_EQ(seen, (Paths{"/W/c0", "/W/c2", "/W/c3", "/W/c5", "/W/c5x", "/W/c6", "/W/c7", "/W/c8",
                         "/W/c9"}));

  // A host deleting each subkey as it reaches it still visits every one.
  seen.clear();
  for (parent.SearchSubKey("(key=*)", cursor, false, {}, count); !cursor.GetReader()->atEnd;
       ++cursor) {
    seen.push_back((*cursor)->GetKeyName());
    parent.DeleteSubkey((*cursor)->GetKeyName(), false);
  }
  EXPECT_EQ(seen, (Paths{"a", "c0", "c2", "c3", "c5", "c5x", "c7", "c8", "c9"}));
  bool empty = false;
  parent.IsEmpty(empty);
  EXPECT_TRUE(empty);

  store().AddGroup("/W/again");
  store().AddGroup("/W/again2");
  parent.SearchSubKey("(key=*)", cursor, false, {}, count);
  parent.CommitSuicide();  // the whole subtree goes mid-walk
  ++cursor;
  EXPECT_TRUE(cursor.GetReader()->atEnd);
}

class BackendValueReader : public ::testing::Test {
 protected:
  void SetUp() override {
    connection.Memory().AddGroup("/V");
    key = std::make_unique<QELIniKey>("/V", connection);
  }
  Paths Names(const std::string& pattern) {
    QELValueReader reader(*key, pattern);
    Paths names;
    for (; !reader.atEnd; reader.Next()) names.push_back(reader.GetCurrent().first);
    return names;
  }

  MemoryIniConnection connection;
  std::unique_ptr<QELIniKey> key;
};

TEST_F(BackendValueReader, YieldsMatchingNamesInMapOrder) {
  EXPECT_EQ(Names("*"), Paths{});
  for (const char* name : {"ab", "b", "ac", ""}) key->SetValue({name, "v"});
  EXPECT_EQ(Names("*"), (Paths{"ab", "b", "ac", ""}));
  EXPECT_EQ(Names("a*"), (Paths{"ab", "ac"}));
  EXPECT_EQ(Names("x?"), Paths{});
}

TEST_F(BackendValueReader, WalksASnapshotAndRefusesToReadPastTheEnd) {
  key->SetValue({"kept", "1"});
  key->SetValue({"gone", "2"});
  QELValueReader reader(*key, "*");
  key->SetValue({"later", "3"});
  key->DeleteValue({"gone", QELRBValue()});
  EXPECT_EQ(std::string(reader.GetCurrent().first), "kept");
  EXPECT_TRUE(reader.Next());
  EXPECT_EQ(std::string(reader.GetCurrent().first), "gone");
  EXPECT_FALSE(reader.Next());
  EXPECT_TRUE(reader.atEnd);

  std::vector<LogRecord> records;
  SetLogSink([&records](const LogRecord& record) { records.push_back(record); });
  try {
    reader.GetCurrent();
    FAIL() << "no exception";
  } catch (const QELLogicalError& error) {
    EXPECT_EQ(error.What(), "Attempt to resolve end iterator");
    EXPECT_EQ(error.File(), "src\\qel_value_reader");
  }
  SetLogSink({});
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].severity, 3);
  EXPECT_EQ(records[0].text, "Attempt to resolve end iterator");
  EXPECT_FALSE(reader.Next());
}

}  // namespace
