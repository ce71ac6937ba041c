// Copies between etcd stores: whatever the groups' names and texts (comments, CRLF, list values,
// bytes after a list's last separator), the prefixes' layouts, the batch size, interruptions
// between commits, another writer in the destination and a source that changes before the copy
// is run again, a copy that ends leaves the destination holding exactly the source's groups byte
// for byte, without its marker, and touches no key of another store. Against a one-member
// cluster.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel.h>
#include <zor-qel-rb-key/qel_copy.h>
#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_error_codes.h>
#include "etcd_cluster.h"

namespace {

EtcdCluster& Cluster() { return EtcdCluster::Shared(); }

// A store's prefix as its address gives it ("/p/" or "/p") and the groups it holds in the
// cluster, by name ("" the root group).
struct Layout {
  std::string prefix;
  std::string base() const {
    return prefix.back() == '/' ? prefix.substr(0, prefix.size() - 1) : prefix;
  }
  std::string Key(const std::string& group) const {
    return group.empty() ? prefix : base() + group;
  }
  std::map<std::string, std::string> Groups() const {
    std::map<std::string, std::string> groups;
    for (const auto& pair : Cluster().Get(base())) {
      if (pair.first == prefix) {
        groups[""] = pair.second;
      } else if (pair.first.compare(0, base().size() + 1, base() + "/") == 0) {
        groups[pair.first.substr(base().size())] = pair.second;
      }
    }
    return groups;
  }
};

rc::Gen<std::string> GroupNames() {
  const auto component = rc::gen::element<std::string>(
      "a", "b", "B", "k-1", "x y", "q=1", "\xc3\xa9", "t\x01", "qelreg-copy-in-progres");
  return rc::gen::map(
      rc::gen::container<std::vector<std::string>>(*rc::gen::inRange<size_t>(1, 4), component),
      [](const std::vector<std::string>& parts) {
        std::string name;
        for (const std::string& part : parts) name += "/" + part;
        return name;
      });
}

rc::Gen<std::string> GroupTexts() {
  const auto line = rc::gen::element<std::string>("v=1", "; note", "", "# x",
                                                  "w=a\x1b"
                                                  "b\x1b",
                                                  "t=tail\x1b"
                                                  "after",
                                                  " u = spaced ", "n=\"q\"", "v=2");
  return rc::gen::map(
      rc::gen::pair(rc::gen::container<std::vector<std::string>>(line), rc::gen::arbitrary<int>()),
      [](const std::pair<std::vector<std::string>, int>& made) {
        const std::string end = made.second % 3 == 0 ? "\r\n" : "\n";
        std::string text;
        for (const std::string& l : made.first) text += l + end;
        if (made.second % 5 == 0 && !text.empty()) text.resize(text.size() - end.size());
        return text;
      });
}

long Values(const std::map<std::string, std::string>& groups) {
  long values = 0;
  for (const auto& group : groups) {
    if (group.first.empty()) continue;
    std::set<std::string> names;
    size_t start = 0;
    const std::string& text = group.second;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t first = line.find_first_not_of(" \t");
      const size_t equals = line.find('=');
      if (first != std::string::npos && line[first] != ';' && line[first] != '#' &&
          equals != std::string::npos) {
        std::string name = line.substr(0, equals);
        name.erase(name.find_last_not_of(" \t") + 1);
        name.erase(0, name.find_first_not_of(" \t"));
        names.insert(name);
      }
      start = end + 1;
    }
    values += static_cast<long>(names.size());
  }
  return values;
}

// Thrown by a progress callback to stop a copy between two commits.
struct Interrupted {};

RC_GTEST_PROP(EtcdCopyProperty, AFinishedCopyHoldsTheSourcesGroupsByteForByte, ()) {
  static int number = 0;
  const std::string root = "/cp" + std::to_string(++number);
  const Layout from{root + (*rc::gen::arbitrary<bool>() ? "/src/" : "/src")};
  const Layout to{root + (*rc::gen::arbitrary<bool>() ? "/dst/" : "/dst")};
  const auto address = [](const Layout& layout) { return Cluster().Address(layout.prefix); };
  // Keys of other stores whose prefixes begin the same way.
  Cluster().Put(root + "/src-x", "[not a group");
  Cluster().Put(root + "/dst-y", "other=1\n");

  std::map<std::string, std::string> source;
  for (const std::string& name : *rc::gen::container<std::vector<std::string>>(
           *rc::gen::inRange<size_t>(0, 30), GroupNames())) {
    source[name] = *GroupTexts();
  }
  if (*rc::gen::arbitrary<bool>()) source[""] = "; the root's comment\n";
  for (const auto& group : source) Cluster().Put(from.Key(group.first), group.second);

  zor::qel::CopyOptions options;
  options.batch = *rc::gen::inRange<long>(0, 7);
  // The first run stops after a number of commits, or then another writer puts a key among
  // those the copy has still to write (after every generated name), or deletes the marker.
  const int stop = *rc::gen::inRange(0, 4);
  const int intruder = *rc::gen::inRange(0, 3);
  int commits = 0;
  bool intruded = false;
  options.progress = [&](const std::string& line) {
    if (line.find("keys committed") == std::string::npos || ++commits != stop) return;
    if (intruder == 0) throw Interrupted();
    intruded = true;
    if (intruder == 1) {
      Cluster().Put(to.Key("/\xff-intruder"), "i=1\n");
    } else {
      Cluster().Delete(to.Key(zor::qel::kCopyMarker));
    }
  };
  const zor::qel::StoreLogin source_login{address(from), "", ""};
  const zor::qel::StoreLogin destination{address(to), "", ""};
  bool finished = false;
  try {
    zor::qel::CopyEtcdStore(source_login, destination, options);
    finished = true;
  } catch (const Interrupted&) {
  } catch (const QELError& error) {
    RC_ASSERT(intruder != 0);
    RC_ASSERT(error.Code() == static_cast<long>(zor::qel::StoreError::kConflict));
  }
  RC_ASSERT(!(finished && intruded));  // another writer was there: the copy ends in a conflict
  RC_TAG(finished ? "one run" : "run again");
  const auto marker = [&] { return to.Groups().count(zor::qel::kCopyMarker) != 0; };
  if (!finished) {
    const std::map<std::string, std::string> left = to.Groups();
    const bool marked = marker();
    if (marked) {
      // Unfinished: no other copy may write into it, and it is no source.
      const zor::qel::StoreLogin other{Cluster().Address(root + "/other/"), "", ""};
      try {
        zor::qel::CopyEtcdStore(other, destination);
        RC_FAIL("another copy wrote into an unfinished one");
      } catch (const QELError& error) {
        RC_ASSERT(error.Code() == static_cast<long>(zor::qel::ErrorCode::kAlreadyExists));
      }
      try {
        zor::qel::CopyEtcdStore(destination, other);
        RC_FAIL("an unfinished copy was copied");
      } catch (const QELError& error) {
        RC_ASSERT(error.Code() == static_cast<long>(zor::qel::ErrorCode::kAlreadyExists));
      }
      RC_ASSERT(to.Groups() == left);
      RC_ASSERT(Layout{root + "/other/"}.Groups().empty());
    } else {
      // The marker deleted: no copy may go on there; the destination is emptied to start again.
      for (const auto& group : left) Cluster().Delete(to.Key(group.first));
    }
    // The source changes before the same copy runs again.
    std::vector<std::string> held;
    for (const auto& group : source) held.push_back(group.first);
    const auto changed =
        held.empty() ? GroupNames() : rc::gen::oneOf(GroupNames(), rc::gen::elementOf(held));
    for (const auto& name :
         *rc::gen::container<std::vector<std::string>>(*rc::gen::inRange<size_t>(0, 5), changed)) {
      if (*rc::gen::arbitrary<bool>() && source.count(name) != 0) {
        source.erase(name);
        Cluster().Delete(from.Key(name));
      } else {
        source[name] = *GroupTexts();
        Cluster().Put(from.Key(name), source[name]);
      }
    }
    options.progress = nullptr;
    const zor::qel::CopyCounts counts = zor::qel::CopyEtcdStore(source_login, destination, options);
    RC_ASSERT(counts.resumed == marked);
    RC_ASSERT(!marker());
  }
  RC_ASSERT(to.Groups() == source);
  RC_ASSERT(Cluster().Get(root + "/src-x").at(root + "/src-x") == "[not a group");
  RC_ASSERT(Cluster().Get(root + "/dst-y").at(root + "/dst-y") == "other=1\n");

  // Counted as the key API counts: the keys below the root and their values.
  const zor::qel::StoreLogin copy_of_copy{Cluster().Address(root + "/again/"), "", ""};
  const zor::qel::CopyCounts counts = zor::qel::CopyEtcdStore(destination, copy_of_copy);
  std::map<std::string, std::string> below_root = source;
  below_root.erase("");
  RC_ASSERT(counts.keys == static_cast<long>(below_root.size()));
  RC_ASSERT(counts.values == Values(source));
  RC_ASSERT(Layout{root + "/again/"}.Groups() == source);
  if (!below_root.empty()) {
    try {
      zor::qel::CopyEtcdStore(source_login, destination);
      RC_FAIL("a copy wrote into a store that holds keys");
    } catch (const QELError& error) {
      RC_ASSERT(error.Code() == static_cast<long>(zor::qel::ErrorCode::kAlreadyExists));
    }
  }
}

// Through the C interface: the same copy, its progress lines, its counts and its refusals.
TEST(EtcdCopyC, CopiesReportsAndRefusesAsTheCppFunction) {
  const Layout from{"/c-api/src/"};
  const Layout to{"/c-api/dst/"};
  for (int i = 0; i < 5; ++i) Cluster().Put(from.Key("/K" + std::to_string(i)), "v=1\nw=2\n");
  const std::string source_address = Cluster().Address(from.prefix);
  const std::string destination_address = Cluster().Address(to.prefix);
  const qel_store_login source{source_address.c_str(), nullptr, nullptr};
  const qel_store_login destination{destination_address.c_str(), "", ""};
  std::vector<std::string> lines;
  const auto progress = [](const char* line, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(line);
  };
  qel_copy_counts counts{};
  qel_error error{};
  ASSERT_EQ(qel_copy_etcd_store(&source, &destination, 2, progress, &lines, &counts, &error),
            QEL_OK)
      << error.text;
  EXPECT_EQ(to.Groups(), from.Groups());
  EXPECT_EQ(lines, (std::vector<std::string>{"2 of 5 keys committed", "4 of 5 keys committed"}));
  EXPECT_EQ(counts.keys, 5);
  EXPECT_EQ(counts.values, 10);
  EXPECT_EQ(counts.resumed, 0);
  EXPECT_EQ(qel_copy_etcd_store(&source, &destination, 0, nullptr, nullptr, nullptr, &error),
            QEL_FAILED);
  EXPECT_EQ(error.code, static_cast<long>(zor::qel::ErrorCode::kAlreadyExists));
  EXPECT_NE(std::string(error.text).find("already holds keys"), std::string::npos) << error.text;
  EXPECT_EQ(qel_copy_etcd_store(nullptr, &destination, 0, nullptr, nullptr, nullptr, &error),
            QEL_MISUSE);
}

}  // namespace
