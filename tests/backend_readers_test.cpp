// Tests of the subkey reader (candidates, selector rules, walks over a changing store) and of the
// value reader (wildcards, private snapshot, end error).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "backend_store.h"
#include "qel_error.h"
#include "qel_ini_key.h"
#include "qel_value_reader.h"

namespace {

using Paths = std::vector<std::string>;

class BackendReaders : public ::testing::Test {
 protected:
  void Add(std::initializer_list<const char*> groups) {
    for (const char* group : groups) connection.Memory().AddGroup(group);
  }
  // Every subkey a search yields; `count` receives what the reader's constructor reported.
  Paths Walk(const std::string& path, const std::string& filter, bool recursive = false,
             uint32_t* count = nullptr) {
    QELIniKey key = path.empty() ? QELIniKey(connection) : QELIniKey(path, connection);
    qel_iterator<QELKeyPointer> cursor;
    uint32_t found = 99;
    EXPECT_TRUE(key.SearchSubKey(filter, cursor, recursive, {"/K/a_d_rep"}, found).Ok());
    if (count != nullptr) *count = found;
    Paths paths;
    for (; !cursor.GetReader()->atEnd; ++cursor) paths.push_back((*cursor)->GetKeyPath());
    return paths;
  }

  MemoryIniConnection connection;
};

TEST_F(BackendReaders, CandidatesAreDirectOrAllDescendantsNeverSiblings) {
  Add({"/A", "/A/B", "/A/B/C1", "/A/B/C1/D", "/A/B/C2", "/A/BC", "/A/BC/E", "/Top"});
  uint32_t count = 0;
  EXPECT_EQ(Walk("/A/B", "(key=*)", false, &count), (Paths{"/A/B/C1", "/A/B/C2"}));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(Walk("/A/B", "(key=*)", true), (Paths{"/A/B/C1", "/A/B/C1/D", "/A/B/C2"}));
  EXPECT_EQ(Walk("/A/B/C2", "(key=*)", false, &count), Paths{});
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(Walk("", "(key=*)"), (Paths{"/A", "/Top"}));
  EXPECT_EQ(Walk("", "(key=*)", true).size(), 8u);
}

TEST_F(BackendReaders, SelectorRulesPickTheirGroups) {
  Add({"/K", "/K/a_d_rep", "/K/b_d_rep_default", "/K/c_d_rep_common", "/K/d_dpc_rep",
       "/K/e_dsr_rep_common", "/K/plain", "/ZOR_Software/qel4ds/Config",
       "/ZOR_Software/qel4ds/Config/Index", "/ZOR_Software/qel4ds/Config/component_info"});
  connection.Memory().AddGroup("/K/r1", {{"RepositoryName", "R1"}});
  connection.Memory().AddGroup("/K/r2", {{"repositoryname", "r1"}});
  connection.Memory().AddGroup("/K/r3_dsr_rep", {{"repositoryname", "R3"}});

  EXPECT_EQ(Walk("/K", "(key=*)").size(), 9u);  // the exclusion list changes nothing
  EXPECT_EQ(Walk("/ZOR_Software/qel4ds/Config", "(key=*)"),
            Paths{"/ZOR_Software/qel4ds/Config/Index"});
  EXPECT_EQ(Walk("/K", "(repositoryname=R1)"), Paths{"/K/r1"});
  EXPECT_EQ(Walk("/K", "(repositoryname)"), Paths{});
  EXPECT_EQ(Walk("/K", "(d_rep*)"), Paths{"/K/a_d_rep"});
  EXPECT_EQ(Walk("/K", "(dpc_rep*)"), Paths{"/K/d_dpc_rep"});
  EXPECT_EQ(Walk("/K", "(dsr_rep*)"), Paths{"/K/r3_dsr_rep"});
  EXPECT_EQ(Walk("/K", "external"),
            (Paths{"/K/a_d_rep", "/K/b_d_rep_default", "/K/c_d_rep_common", "/K/d_dpc_rep",
                   "/K/e_dsr_rep_common", "/K/r3_dsr_rep"}));
  EXPECT_EQ(Walk("/K", "*"),
            (Paths{"/K/b_d_rep_default", "/K/c_d_rep_common", "/K/e_dsr_rep_common"}));
}

TEST_F(BackendReaders, WalksSurviveGroupsComingAndGoingBetweenSteps) {
  Add({"/W", "/W/c0", "/W/c1", "/W/c2", "/W/c3", "/W/c4", "/W/c5", "/W/c6", "/W/c7"});
  QELIniKey parent("/W", connection);
  qel_iterator<QELKeyPointer> cursor;
  uint32_t count = 0;
  parent.SearchSubKey("(key=*)", cursor, false, {}, count);
  const QELKeyPointer handed = *cursor;
  Paths seen;
  for (; !cursor.GetReader()->atEnd; ++cursor) {
    const std::string path = (*cursor)->GetKeyPath();
    seen.push_back(path);
    if (path == "/W/c0") {
      connection.Memory().EraseGroup("/W/c1");  // the group the walk stands on next
      connection.Memory().EraseGroup("/W/c4");
      Add({"/W/a", "/W/c5x"});  // one behind the walk's place, one ahead
    }
    if (path == "/W/c6") parent.DeleteSubkey("c6", false);  // the current subkey itself
  }
  EXPECT_EQ(seen, (Paths{"/W/c0", "/W/c2", "/W/c3", "/W/c5", "/W/c5x", "/W/c6", "/W/c7"}));
  EXPECT_EQ(handed->GetKeyPath(), "/W/c0");  // a handed-out key stays put

  // A host deleting each subkey as it reaches it still visits every one.
  seen.clear();
  for (parent.SearchSubKey("(key=*)", cursor, false, {}, count); !cursor.GetReader()->atEnd;
       ++cursor) {
    seen.push_back((*cursor)->GetKeyName());
    parent.DeleteSubkey((*cursor)->GetKeyName(), false);
  }
  EXPECT_EQ(seen, (Paths{"a", "c0", "c2", "c3", "c5", "c5x", "c7"}));

  Add({"/W/x", "/W/y"});
  parent.SearchSubKey("(key=*)", cursor, false, {}, count);
  parent.CommitSuicide();  // the whole subtree goes mid-walk
  ++cursor;
  EXPECT_TRUE(cursor.GetReader()->atEnd);
}

TEST_F(BackendReaders, ValueReadersWalkASnapshotOfMatchingNames) {
  connection.Memory().AddGroup("/V");
  QELIniKey key("/V", connection);
  auto names = [&key](const std::string& pattern) {
    QELValueReader reader(key, pattern);
    Paths found;
    for (; !reader.atEnd; reader.Next()) found.push_back(reader.GetCurrent().first);
    return found;
  };
  EXPECT_EQ(names("*"), Paths{});
  for (const char* name : {"ab", "b", "ac", ""}) key.SetValue({name, "v"});
  EXPECT_EQ(names("*"), (Paths{"ab", "b", "ac", ""}));
  EXPECT_EQ(names("a*"), (Paths{"ab", "ac"}));
  EXPECT_EQ(names("x?"), Paths{});

  QELValueReader reader(key, "a*");
  key.SetValue({"added", "3"});
  key.DeleteValue({"ac", QELRBValue()});
  EXPECT_EQ(std::string(reader.GetCurrent().first), "ab");
  EXPECT_TRUE(reader.Next());
  EXPECT_EQ(std::string(reader.GetCurrent().first), "ac");
  EXPECT_FALSE(reader.Next());
  LogCapture log;
  try {
    reader.GetCurrent();
    FAIL() << "no exception";
  } catch (const QELLogicalError& error) {
    EXPECT_EQ(error.What(), "Attempt to resolve end iterator");
    EXPECT_EQ(error.File(), "src\\qel_value_reader");
  }
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_EQ(log.records[0].severity, 3);
  EXPECT_FALSE(reader.Next());
}

}  // namespace
