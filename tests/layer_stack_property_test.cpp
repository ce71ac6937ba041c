// Generated histories on a stack of stores checked against one plain tree: a stack must behave
// as a single store whose content is what its layers show. Each history fills a bottom file as a
// single store, then works through a stack of two layers and then of three, so that the masks a
// top layer records are read again as a lower layer's (a local file or an etcd prefix); lower
// layers must never change.
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_rb_iterators.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include "etcd_cluster.h"
#include "scratch_files.h"
#include "test_system.h"

namespace {

using List = std::vector<std::string>;
using Values = std::map<std::string, List>;
using Tree = std::map<std::string, Values>;

// Few keys and names, so that the layers often meet on one.
const std::vector<std::string> kPaths = {"/T/P", "/T/Q", "/T/P/P", "/T/P/Q"};
const std::vector<std::string> kNames = {"a", "B"};
const std::vector<std::string> kElements = {"d", "f", "h"};

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }
bool InSubtree(const std::string& path, const std::string& root) {
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}
bool Holds(const List& list, const std::string& element) {
  return std::find(list.begin(), list.end(), element) != list.end();
}

struct Operation {
  enum Kind { kSet, kAdd, kDeleteElements, kDeleteValue, kCreate, kDeleteSubkey };
  Kind kind = kSet;
  int path = 0;
  int name = 0;
  std::vector<int> elements;
};

std::ostream& operator<<(std::ostream& out, const Operation& operation) {
  static const char* const kKinds[] = {"set", "add", "rm-elements", "rm", "mkkey", "rmkey"};
  out << kKinds[operation.kind] << " " << kPaths[static_cast<size_t>(operation.path)] << " "
      << kNames[static_cast<size_t>(operation.name)];
  for (int element : operation.elements) out << " " << kElements[static_cast<size_t>(element)];
  return out;
}

}  // namespace

namespace rc {
template <>
struct Arbitrary<Operation> {
  static Gen<Operation> arbitrary() {
    return gen::build<Operation>(
        gen::set(&Operation::kind, gen::element(Operation::kSet, Operation::kAdd,
                                                Operation::kDeleteElements, Operation::kDeleteValue,
                                                Operation::kCreate, Operation::kDeleteSubkey)),
        gen::set(&Operation::path, gen::inRange(0, static_cast<int>(kPaths.size()))),
        gen::set(&Operation::name, gen::inRange(0, static_cast<int>(kNames.size()))),
        gen::set(&Operation::elements, gen::container<std::vector<int>>(
                                           gen::inRange(0, static_cast<int>(kElements.size())))));
  }
};
}  // namespace rc

namespace {

// The elements added to a list: each goes before the first remaining element greater than it.
void AddElements(List& list, const List& added) {
  auto position = list.begin();
  for (const std::string& element : added) {
    while (position != list.end() && !(element < *position)) ++position;
    position = list.insert(position, element) + 1;
  }
}

// Does `operation` on the plain tree as a single store would; a key that is not there is left
// alone (the store is then not asked).
void Model(Tree& tree, const Operation& operation) {
  const std::string& path = kPaths[static_cast<size_t>(operation.path)];
  const std::string& name = kNames[static_cast<size_t>(operation.name)];
  List elements;
  for (int element : operation.elements)
    elements.push_back(kElements[static_cast<size_t>(element)]);
  const bool parent_there = Parent(path) == "/T" || tree.count(Parent(path)) != 0;
  switch (operation.kind) {
    case Operation::kCreate:
      if (parent_there) tree[path];
      return;
    case Operation::kDeleteSubkey:
      for (auto it = tree.begin(); it != tree.end();) {
        it = InSubtree(it->first, path) ? tree.erase(it) : std::next(it);
      }
      return;
    default:
      break;
  }
  const auto key = tree.find(path);
  if (key == tree.end()) return;
  Values& values = key->second;
  switch (operation.kind) {
    case Operation::kSet:
      values[name] = elements;
      break;
    case Operation::kAdd: {
      List& list = values[name];
      for (const std::string& element : elements) {
        if (Holds(list, element)) return;  // refused whole (159)
      }
      AddElements(list, elements);
      break;
    }
    case Operation::kDeleteElements: {
      const auto value = values.find(name);
      if (value == values.end() || elements.empty()) {
        if (elements.empty()) values.erase(name);
        break;
      }
      List& list = value->second;
      list.erase(std::remove_if(list.begin(), list.end(),
                                [&](const std::string& e) { return Holds(elements, e); }),
                 list.end());
      break;
    }
    case Operation::kDeleteValue:
      values.erase(name);
      break;
    default:
      break;
  }
}

// Does `operation` through the public keys of `connection`.
void Apply(const QELConnection& connection, const Tree& before, const Operation& operation) {
  const std::string& path = kPaths[static_cast<size_t>(operation.path)];
  const std::string& name = kNames[static_cast<size_t>(operation.name)];
  QELRBValue value;
  List list;
  for (int element : operation.elements) list.push_back(kElements[static_cast<size_t>(element)]);
  value = QELRBValue(list);
  const bool parent_there = Parent(path) == "/T" || before.count(Parent(path)) != 0;
  QELRBKey top("/T", connection);
  switch (operation.kind) {
    case Operation::kCreate:
      if (!parent_there) return;
      try {
        QELRBKey(Parent(path), connection).CreateSubkey(path.substr(path.rfind('/') + 1));
      } catch (const QELError& error) {
        RC_ASSERT(error.Code() == 159L);
      }
      return;
    case Operation::kDeleteSubkey:
      if (before.count(path) == 0) return;
      QELRBKey(Parent(path), connection).DeleteSubkey(path.substr(path.rfind('/') + 1));
      return;
    default:
      break;
  }
  if (before.count(path) == 0) return;
  QELRBKey key(path, connection);
  try {
    switch (operation.kind) {
      case Operation::kSet:
        key.SetValue(name, value);
        break;
      case Operation::kAdd:
        key.AddValue(name, value);
        break;
      case Operation::kDeleteElements:
        key.DeleteValue(name, value);
        break;
      case Operation::kDeleteValue:
        key.DeleteValue(name);
        break;
      default:
        break;
    }
  } catch (const QELError& error) {
    RC_ASSERT(error.Code() == 159L);
  }
}

// What the connection shows below /T: every key with its values.
Tree Shown(const QELConnection& connection) {
  Tree tree;
  const QELRBKey top("/T", connection);
  for (QELRBConstKeyIterator it(top, "(key=*)", true, {}); it != QELRBConstKeyIterator::EndIterator;
       ++it) {
    Values& values = tree[(*it).GetKeyPath()];
    for (QELRBConstValueIterator v(*it, "*"); v != QELRBConstValueIterator::EndIterator; ++v) {
      values[(*v).first] = (*v).second.Elements();
      // The in-place read shows what the walk shows.
      const QELRBValue* in_place = (*it).FindValue((*v).first);
      RC_ASSERT(in_place != nullptr);
      RC_ASSERT(in_place->Elements() == (*v).second.Elements());
    }
  }
  return tree;
}

QELConnection Login(const std::string& host, const std::string& user = "") {
  QELConnection connection(QELConnection::INI);
  connection.Login(host, 0, user, "");
  return connection;
}

// Runs `operations` on the store `host` names, checking each against the model.
void Run(const std::string& host, const std::string& user, Tree& model,
         const std::vector<Operation>& operations) {
  const QELConnection connection = Login(host, user);
  RC_ASSERT(Shown(connection) == model);
  for (const Operation& operation : operations) {
    Apply(connection, model, operation);
    Model(model, operation);
    RC_ASSERT(Shown(connection) == model);
  }
  RC_ASSERT(Shown(Login(host, user)) == model);
}

// The middle layer: a local file, or a prefix of an etcd cluster.
struct Middle {
  EtcdCluster* cluster = nullptr;
  std::string file;
  std::string prefix;
  std::string Address() const { return cluster ? cluster->Address(prefix) : file; }
  std::string Bytes() const { return cluster ? cluster->StoreText(prefix) : ReadWholeFile(file); }
};

// A history of three phases: the bottom file alone, then a stack of two layers, then of three.
void RunHistory(const std::vector<Operation>& bottom, const std::vector<Operation>& middle_ops,
                const std::vector<Operation>& top, EtcdCluster* cluster) {
  static int cases = 0;
  ScratchDirectory dir;
  const std::string defaults = dir.File("defaults.ini");
  const std::string host = dir.File("host.ini");
  Middle middle{cluster, dir.File("site.ini"), "/layers-" + std::to_string(++cases)};
  WriteWholeFile(defaults, "[/T]\n");
  WriteWholeFile(host, "");
  if (cluster != nullptr) {
    cluster->PutStore(middle.prefix, "");
  } else {
    WriteWholeFile(middle.file, "");
  }
  const std::string user = cluster != nullptr ? "tester" : "";
  Tree model;
  Run(defaults, "", model, bottom);
  const std::string defaults_bytes = ReadWholeFile(defaults);
  const std::string two = "layers:" + defaults + "|" + middle.Address();
  Run(two, user, model, middle_ops);
  RC_ASSERT(ReadWholeFile(defaults) == defaults_bytes);
  const std::string middle_bytes = middle.Bytes();
  Run(two + "|" + host, user, model, top);
  RC_ASSERT(ReadWholeFile(defaults) == defaults_bytes);
  RC_ASSERT(middle.Bytes() == middle_bytes);
}

// Checks RC_PARAMS's number of cases divided by `share` (at least 1).
void CheckHistories(int share, EtcdCluster* cluster) {
  const LogCapture quiet;  // the refusals the histories meet
  rc::detail::TestParams params = rc::detail::configuration().testParams;
  params.maxSuccess = std::max(1, params.maxSuccess / share);
  params.maxSize = std::min(params.maxSize, 12);
  const auto result = rc::detail::checkProperty(
      rc::detail::toProperty([cluster](const std::vector<Operation>& bottom,
                                       const std::vector<Operation>& middle,
                                       const std::vector<Operation>& top) {
        RunHistory(bottom, middle, top, cluster);
      }),
      rc::detail::TestMetadata(), params);
  if (!result.is<rc::detail::SuccessResult>()) {
    std::ostringstream text;
    rc::detail::printResultMessage(result, text);
    ADD_FAILURE() << text.str();
  }
}

TEST(LayerStackProperty, LocalStacksBehaveAsOneStoreOfWhatTheirLayersShow) {
  CheckHistories(2, nullptr);
}

TEST(LayerStackProperty, StacksOverAnEtcdLayerBehaveTheSame) {
  std::unique_ptr<EtcdCluster> cluster;
  try {
    EtcdCluster::Options options;
    options.members = 1;
    cluster = std::make_unique<EtcdCluster>(options);
  } catch (const std::exception& error) {
    FAIL() << "the etcd test cluster cannot run: " << error.what();
  }
  CheckHistories(4, cluster.get());
}

}  // namespace
