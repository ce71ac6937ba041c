// Changes merged across logins and processes: list elements added and deleted as operations, keys
// that read what a merge brought in, a tree kept whole when writes and erases cross, and values
// stored exactly or refused.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_rb_iterators.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include "local_store_test.h"
#include "scratch_files.h"
#include "test_system.h"
#include "webdav_test.h"

namespace {

std::vector<std::string> ElementsOf(const QELRBValue& value) { return value.Elements(); }

std::vector<std::string> ElementsAt(const QELConnection& connection, const std::string& path,
                                    const std::string& name) {
  return ElementsOf(QELRBKey(path, connection).GetValue(name));
}

class LocalMergeTest : public LocalStoreTest {
 protected:
  LocalMergeTest()
      : LocalStoreTest("; team settings\n[/Users]\nreaders=alice\x1B\n[/App]\n[/App/Old]\n") {}
};

TEST_F(LocalMergeTest, LoginsAddingAndDeletingElementsInTurnKeepEachOthersChanges) {
  QELConnection first = Login();
  QELConnection second = Login();
  QELRBKey by_first("/Users", first);
  QELRBKey by_second("/Users", second);

  by_first.AddValue("readers", QELRBValue("bob"));
  by_second.AddValue("readers", QELRBValue("carol"));
  EXPECT_EQ(ElementsAt(Login(), "/Users", "readers"),
            (std::vector<std::string>{"alice", "bob", "carol"}));
  // The merge brought the other login's element into this key's view.
  EXPECT_EQ(ElementsOf(by_second.GetValue("readers")),
            (std::vector<std::string>{"alice", "bob", "carol"}));
  EXPECT_THROW(by_second.AddValue("readers", QELRBValue("bob")), QELError);

  // A one-element delete removes that element only, never another login's add.
  by_first.DeleteValue("readers", QELRBValue("alice"));
  by_second.AddValue("readers", QELRBValue("dave"));
  by_first.DeleteValue("readers", QELRBValue("carol"));
  // An element this login never saw is not deleted for it: the delete of "erin" is a no-op.
  by_second.DeleteValue("readers", QELRBValue("erin"));
  by_first.AddValue("readers", QELRBValue("erin"));
  by_second.SetValue("mode", QELRBValue("strict"));
  EXPECT_EQ(ElementsAt(Login(), "/Users", "readers"),
            (std::vector<std::string>{"bob", "dave", "erin"}));
  EXPECT_EQ(std::string(QELRBKey("/Users", Login()).GetValue("mode")), "strict");
  EXPECT_EQ(ReadWholeFile(path_).rfind("; team settings\n", 0), 0u);
}

TEST_F(LocalMergeTest, KeysReadWhatAMergeBroughtInAndCopiesDoNotShareStaleCaches) {
  QELConnection first = Login();
  QELConnection second = Login();
  QELRBKey users("/Users", first);
  QELRBKey copy = users;
  QELRBKey("/Users", second).SetValue("quota", QELRBValue("10"));
  EXPECT_FALSE(users.HasValue("quota"));  // nothing merged yet: the cache is as loaded

  users.SetValue("owner", QELRBValue("first"));  // this flush merges the other login's change
  EXPECT_EQ(std::string(users.GetValue("quota")), "10");
  EXPECT_EQ(std::string(copy.GetValue("quota")), "10");
  std::set<std::string> names;
  for (QELRBConstValueIterator it(copy, "*"); it != QELRBConstValueIterator::EndIterator; ++it) {
    names.insert(std::string((*it).first));
  }
  EXPECT_EQ(names, (std::set<std::string>{"owner", "quota", "readers"}));
}

TEST_F(LocalMergeTest, WritesAndErasesThatCrossLeaveATree) {
  QELConnection writer = Login();
  QELConnection eraser = Login();
  QELRBKey old("/App/Old", writer);
  QELRBKey("/App", eraser).CommitSuicide();  // erases /App and /App/Old
  old.SetValue("kept", QELRBValue("yes"));

  QELConnection reader = Login();
  QELRBKey app("/App", reader);
  EXPECT_EQ(std::string(app.GetSubkey("Old").GetValue("kept")), "yes");
  EXPECT_FALSE(app.HasValue("kept"));

  // The reverse: a subtree erased by a login that did not see a key added below it meanwhile.
  QELRBKey stale("/App", Login());
  QELRBKey("/App/Old", reader).CreateSubkey("New");
  stale.CommitSuicide();
  QELConnection after = Login();
  EXPECT_TRUE(QELRBKey("/App", after).HasSubkey("Old"));
  EXPECT_TRUE(QELRBKey("/App/Old", after).HasSubkey("New"));
}

TEST_F(LocalMergeTest, AnEraseReplayedOnAnotherWritersEraseOfTheSameKeysLeavesATree) {
  WriteWholeFile(path_, "[/App]\n[/App/Old]\n[/App/Old/Deep]\nlist=a\n");
  QELConnection late = Login();
  late.BeginTransaction();
  QELRBKey("/App/Old/Deep", late).AddValue("list", QELRBValue("b"));
  QELRBKey("/App", Login()).CommitSuicide();
  QELRBKey("/App", late).CommitSuicide();
  late.Commit();
  // Replayed on the erased tree, the add leaves a list the late eraser never saw: it stays, and
  // its key keeps its path.
  QELConnection reader = Login();
  EXPECT_EQ(ElementsAt(reader, "/App/Old/Deep", "list"), std::vector<std::string>{"b"});
  EXPECT_TRUE(QELRBKey("/App", reader).HasSubkey("Old"));
  EXPECT_TRUE(QELRBKey("/App/Old", reader).HasSubkey("Deep"));
}

TEST_F(LocalMergeTest, AnEraseKeptOpenOverARefreshStillLeavesATree) {
  WriteWholeFile(path_, "[/App]\n[/App/Old]\n[/App/Old/Deep]\n");
  QELConnection writer = Login();
  QELConnection eraser = Login();
  QELRBKey("/App/Old/Deep", writer).SetValue("kept", QELRBValue("yes"));
  eraser.BeginTransaction();
  QELRBKey("/App", eraser).DeleteSubkey("Old");
  // The refresh brings back the written key, with its parent, under the open transaction's erase.
  eraser.Refresh();
  QELRBKey("/App/Old/Deep", writer).SetValue("more", QELRBValue("too"));
  eraser.Commit();
  QELConnection reader = Login();
  EXPECT_TRUE(QELRBKey("/App", reader).HasSubkey("Old"));
  EXPECT_EQ(std::string(QELRBKey("/App/Old/Deep", reader).GetValue("more")), "too");
}

TEST_F(LocalMergeTest, ValuesOfArbitraryBytesReadBackExactlyOrAreRefusedAtWrite) {
  QELConnection connection = Login();
  connection.BeginTransaction();
  QELRBKey key("/App", connection);
  std::mt19937 random(20261205);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(0, 12);
  std::uniform_int_distribution<int> count(1, 4);
  std::map<std::string, std::vector<std::string>> written;
  int refused = 0;
  for (int i = 0; i < 600; ++i) {
    std::vector<std::string> elements(static_cast<size_t>(count(random)));
    for (std::string& element : elements) {
      element.resize(static_cast<size_t>(length(random)));
      for (char& c : element) c = static_cast<char>(byte(random));
    }
    const std::string name = "v" + std::to_string(i);
    const QELRBValue value(elements);
    bool has_separator = false;
    for (const std::string& element : elements) {
      has_separator = has_separator || element.find('\x1B') != std::string::npos;
    }
    try {
      if (i % 2 == 0) {
        key.SetValue(name, value);
      } else {
        key.AddValue(name, value);
      }
      EXPECT_FALSE(has_separator) << name;
      // A single empty element is the empty value.
      written[name] = elements.size() == 1 && elements[0].empty() ? std::vector<std::string>{}
                                                                  : value.Elements();
    } catch (const QELError& error) {
      EXPECT_TRUE(has_separator) << error.What();
      EXPECT_EQ(error.Code(), 168);
      EXPECT_NE(error.What().find("ZORKVA0611E The value " + name + " cannot be stored"),
                std::string::npos)
          << error.What();
      EXPECT_FALSE(key.HasValue(name));
      ++refused;
    }
  }
  EXPECT_GT(refused, 10);
  connection.Commit();
  QELRBKey read("/App", Login());
  for (const auto& value : written) {
    EXPECT_EQ(ElementsOf(read.GetValue(value.first)), value.second) << value.first;
  }
}

// Adds <adds> distinct elements to /Users readers, one AddValue each, as writer <writer>,
// logged in on a local store at <store> or, with a user, on a remote one. Arguments: type
// ("ini" or "rini"), store, user, password, writer, adds.
[[maybe_unused]] const bool adder_role =
    RegisterChildRole("adder", [](const std::vector<std::string>& args) {
      QELConnection connection(QELConnection::StringToConnectionType(args.at(0)));
      connection.Login(args.at(1), 0, args.at(2), args.at(3));
      QELRBKey users("/Users", connection);
      const int adds = std::stoi(args.at(5));
      for (int i = 0; i < adds; ++i) {
        users.AddValue("readers", QELRBValue("w" + args.at(4) + "-" + std::to_string(i)));
      }
      return 0;
    });

// `writers` processes each add `adds` distinct elements to one list, one AddValue each, through
// the login the arguments of `login` describe; every element must be in the list at the end.
void ExpectNoElementLost(int writers, int adds, const std::vector<std::string>& login,
                         const std::function<QELConnection()>& reader) {
  std::vector<ChildProcess> children;
  for (int writer = 0; writer < writers; ++writer) {
    std::vector<std::string> args = login;
    args.push_back(std::to_string(writer));
    args.push_back(std::to_string(adds));
    children.emplace_back("adder", args);
  }
  for (ChildProcess& child : children) EXPECT_EQ(child.Wait(), 0);
  const std::vector<std::string> result = ElementsAt(reader(), "/Users", "readers");
  const std::set<std::string> unique(result.begin(), result.end());
  EXPECT_EQ(result.size(), static_cast<size_t>(writers * adds + 1));
  EXPECT_EQ(unique.size(), result.size());
}

TEST_F(LocalMergeTest, EightProcessesAddingToOneListLoseNoElement) {
  ExpectNoElementLost(8, 200, {"ini", path_, "tester", ""}, [this] { return Login(); });
}

using RemoteMergeTest = WebDavTest;

TEST_F(RemoteMergeTest, FourProcessesAddingToOneListLoseNoElement) {
  server_->WriteFile("store.ini", "[/Users]\nreaders=alice\x1B\n");
  ExpectNoElementLost(
      4, 100,
      {"rini", server_->HostPort() + "/store.ini", WebDavServer::kUser, WebDavServer::kPassword},
      [this] { return Login(); });
}

}  // namespace
