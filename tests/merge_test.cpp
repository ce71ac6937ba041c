// Changes merged across logins and processes: keys that read what a merge brought in, and
// processes adding to one list at once. The merge rules themselves are checked by generated
// histories (merge_property_test.cpp).
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
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
  EXPECT_EQ(ReadWholeFile(path_).rfind("; team settings\n", 0), 0u);  // the merge kept it
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
