// Tests of the INI key's subkey operations, of the subkey reader (candidates, selector rules,
// walks over a changing store) and of the value reader (private snapshot, end error).
#include <gtest/gtest.h>

#include <list>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include "backend_store.h"
#include "qel_ini_key.h"
#include "qel_value_reader.h"

namespace {

using Paths = std::vector<std::string>;

class BackendSubkeys : public ::testing::Test {
 protected:
  void Add(std::initializer_list<const char*> groups) {
    for (const char* group : groups) store().AddGroup(group);
  }
  MemoryIni& store() { return connection.Memory(); }
  Paths Groups() {
    std::list<std::string> names;
    store().GetGroupNames(names);
    return Paths(names.begin(), names.end());
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

TEST_F(BackendSubkeys, CreateRefusesBadOrTakenNamesAndEmptinessIgnoresGrandchildren) {
  Add({"/A", "/A/B", "/Q/R/S"});
  QELIniKey a("/A", connection);
  EXPECT_EQ(a.CreateSubkey("").message, "ZORKVA0607E");
  EXPECT_EQ(a.CreateSubkey("B").message, "ZORKVA0602E");
  EXPECT_EQ(store().flushes, 0);
  EXPECT_TRUE(QELIniKey(connection).CreateSubkey("Top").Ok());
  EXPECT_EQ(Groups(), (Paths{"/A", "/A/B", "/Q/R/S", "/Top"}));
  EXPECT_EQ(store().flushes, 1);
  store().AddGroup("/Q", {{"v", "1"}});
  bool empty = false;
  QELIniKey("/Q", connection).IsEmpty(empty);
  EXPECT_TRUE(empty);  // only a grandchild, and values do not count
}

TEST_F(BackendSubkeys, DeletionsEraseTheSubtreeAndNothingBeside) {
  Add({"/A", "/A/B", "/A/B/K", "/A/B/K/L", "/A/Bc", "/A/Bc/M", "/Ab"});
  QELIniKey a("/A", connection);
  const QELStatus missing = a.DeleteSubkey("Nope", false);
  EXPECT_EQ(missing.code, 158);
  EXPECT_EQ(missing.message, "ZORKVA0601E");
  EXPECT_TRUE(a.DeleteSubkey("B", false).Ok());
  EXPECT_EQ(Groups(), (Paths{"/A", "/A/Bc", "/A/Bc/M", "/Ab"}));
  EXPECT_EQ(store().flushes, 1);
  EXPECT_TRUE(a.DeleteSubkey("(Bc)", false).Ok());
  EXPECT_EQ(Groups(), (Paths{"/A", "/Ab"}));
  Add({"/A/C"});
  EXPECT_TRUE(a.CommitSuicide().Ok());
  EXPECT_EQ(Groups(), Paths{"/Ab"});
  EXPECT_EQ(a.GetKeyPath(), "");
  bool has = false;
  EXPECT_THROW(a.HasValue("v", has), QELLogicalError);
  EXPECT_TRUE(a.CommitSuicide().Ok());  // the root's subtree: everything
  EXPECT_TRUE(Groups().empty());
}

TEST_F(BackendSubkeys, CandidatesAreDirectOrAllDescendantsNeverSiblings) {
  Add({"/A", "/A/B", "/A/B/C1", "/A/B/C1/D", "/A/B/C2", "/A/BC", "/A/BC/E", "/Top"});
  uint32_t count = 0;
  EXPECT_EQ(Walk("/A/B", "(key=*)", false, &count), (Paths{"/A/B/C1", "/A/B/C2"}));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(Walk("/A/B", "(key=*)", true), (Paths{"/A/B/C1", "/A/B/C1/D", "/A/B/C2"}));
  EXPECT_EQ(Walk("/A/B/C2", "(key=*)", false, &count), Paths{});
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(Walk("", "(key=*)"), (Paths{"/A", "/Top"}));
}

TEST_F(BackendSubkeys, SelectorRulesPickTheirGroups) {
  Add({"/K", "/K/a_d_rep", "/K/b_d_rep_default", "/K/c_d_rep_common", "/K/d_dpc_rep",
       "/K/e_dsr_rep_common", "/K/plain", "/ZOR_Software/qel4ds/Config",
       "/ZOR_Software/qel4ds/Config/Index", "/ZOR_Software/qel4ds/Config/component_info"});
  store().AddGroup("/K/r1", {{"RepositoryName", "R1"}});
  store().AddGroup("/K/r2", {{"repositoryname", "r1"}});
  store().AddGroup("/K/r3_dsr_rep", {{"repositoryname", "R3"}});

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

TEST_F(BackendSubkeys, WalksSurviveGroupsComingAndGoingBetweenSteps) {
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
      store().EraseGroup("/W/c1");  // the group the walk stands on next
      store().EraseGroup("/W/c4");
      Add({"/W/a", "/W/c5x"});  // one behind the walk's place, one ahead
    }
    if (path == "/W/c6") parent.DeleteSubkey("c6", false);  // the current subkey itself
  }
  EXPECT_EQ(seen, (Paths{"/W/c0", "/W/c2", "/W/c3", "/W/c5", "/W/c5x", "/W/c6", "/W/c7"}));
  EXPECT_EQ(handed->GetKeyPath(), "/W/c0");  // a handed-out key stays put

  Add({"/W/x", "/W/y"});
  parent.SearchSubKey("(key=*)", cursor, false, {}, count);
  parent.CommitSuicide();  // the whole subtree goes mid-walk
  ++cursor;
  EXPECT_TRUE(cursor.GetReader()->atEnd);
}

TEST_F(BackendSubkeys, ValueReadersWalkASnapshotOfMatchingNames) {
  Add({"/V"});
  QELIniKey key("/V", connection);
  for (const char* name : {"ab", "b", "ac", ""}) key.SetValue({name, "v"});
  QELValueReader all(key, "*");
  QELValueReader reader(key, "a*");
  key.SetValue({"added", "3"});
  key.DeleteValue({"ac", QELRBValue()});
  Paths found;
  for (; !all.atEnd; all.Next()) found.push_back(all.GetCurrent().first);
  EXPECT_EQ(found, (Paths{"ab", "b", "ac", ""}));
  EXPECT_EQ(std::string(reader.GetCurrent().first), "ab");
  EXPECT_TRUE(reader.Next());
  EXPECT_EQ(std::string(reader.GetCurrent().first), "ac");
  EXPECT_FALSE(reader.Next());
  EXPECT_TRUE(QELValueReader(key, "x?").atEnd);
  try {
    reader.GetCurrent();
    FAIL() << "no exception";
  } catch (const QELLogicalError& error) {
    EXPECT_EQ(error.What(), "Attempt to resolve end iterator");
  }
}

}  // namespace
