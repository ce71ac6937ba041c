// Generated histories on a stack of stores checked against one plain tree: a stack must behave
// as a single store whose content is what its layers show, its open keys as a single store's.
// Each history fills a bottom file as a single store, then works through a stack of two layers,
// watched by a stack of three that refreshes, and then through that one, so that the masks a top
// layer records are read again as a lower layer's (a local file or an etcd prefix); lower layers
// must never change.
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
#include "tree_model.h"

namespace {

using namespace tree_model;

// Few keys and names, so that the layers often meet on one.
const std::vector<std::string> kPaths = {"/T/P", "/T/Q", "/T/P/P", "/T/P/Q"};
const std::vector<std::string> kNames = {"a", "B"};
const std::vector<std::string> kElements = {"d", "f", "h"};

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

// Every value `key` reads, as its value walk gives them; its in-place reads, made first so that
// neither read reloads the key for the other, must agree.
Values Read(const QELRBKey& key) {
  Values in_place;
  for (const std::string& name : kNames) {
    if (const QELRBValue* value = key.FindValue(name)) in_place[name] = value->Elements();
  }
  Values values;
  for (QELRBConstValueIterator v(key, "*"); v != QELRBConstValueIterator::EndIterator; ++v) {
    values[(*v).first] = (*v).second.Elements();
  }
  RC_ASSERT(in_place == values);
  return values;
}

// What the connection shows below /T: every key with its values.
Tree Shown(const QELConnection& connection) {
  Tree tree;
  const QELRBKey top("/T", connection);
  for (QELRBConstKeyIterator it(top, "(key=*)", true, {}); it != QELRBConstKeyIterator::EndIterator;
       ++it) {
    tree[(*it).GetKeyPath()] = Read(*it);
  }
  return tree;
}

QELConnection Login(const std::string& host, const std::string& user = "") {
  QELConnection connection(QELConnection::INI);
  connection.Login(host, 0, user, "");
  return connection;
}

// Keys held open on one connection across a history, one on each path the model holds: what they
// read after other handles wrote, or the connection refreshed, is compared.
class OpenKeys {
 public:
  explicit OpenKeys(const QELConnection& connection) : connection_(connection) {}
  // Closes the keys of paths `tree` lacks and opens those of the paths it gained.
  void Follow(const Tree& tree) {
    for (auto it = keys_.begin(); it != keys_.end();) {
      it = tree.count(it->first) == 0 ? keys_.erase(it) : std::next(it);
    }
    for (const auto& key : tree) {
      if (keys_.count(key.first) == 0) keys_.emplace(key.first, QELRBKey(key.first, connection_));
    }
  }
  Tree Read() const {
    Tree tree;
    for (const auto& key : keys_) tree[key.first] = ::Read(key.second);
    return tree;
  }

 private:
  const QELConnection& connection_;
  std::map<std::string, QELRBKey> keys_;
};

// A single store holding what `model` shows.
std::string SingleStoreOf(const ScratchDirectory& dir, const Tree& model) {
  static int stores = 0;
  const std::string file = dir.File("single-" + std::to_string(++stores) + ".ini");
  WriteWholeFile(file, "[/T]\n");
  const QELConnection connection = Login(file);
  for (const auto& key : model) {
    QELRBKey(Parent(key.first), connection)
        .CreateSubkey(key.first.substr(key.first.rfind('/') + 1));
    QELRBKey opened(key.first, connection);
    for (const auto& value : key.second) opened.SetValue(value.first, QELRBValue(value.second));
  }
  return file;
}

// Runs `operations` through `connection`, a login to `host`, checking each against the model.
// Keys held open on a stack must read as those held on a single store of the same content, each
// written through other handles meanwhile. A `watcher` (a stack on top of the one written, its own
// layer empty) refreshes after each step and must show the model, its open keys too.
void Run(const QELConnection& connection, OpenKeys& open, const std::string& host,
         const std::string& user, Tree& model, const std::vector<Operation>& operations,
         const ScratchDirectory& dir, QELConnection* watcher = nullptr,
         OpenKeys* watched = nullptr) {
  RC_ASSERT(Shown(connection) == model);
  // On a stack, the same steps on a single store of the same content.
  const bool stacked = host.compare(0, 7, "layers:") == 0;
  const QELConnection single = stacked ? Login(SingleStoreOf(dir, model)) : QELConnection();
  OpenKeys single_open(single);
  open.Follow(model);
  if (stacked) single_open.Follow(model);
  for (const Operation& operation : operations) {
    const Tree before = model;
    Apply(connection, before, operation);
    Model(model, operation);
    RC_ASSERT(Shown(connection) == model);
    open.Follow(model);
    if (stacked) {
      Apply(single, before, operation);
      single_open.Follow(model);
      RC_ASSERT(open.Read() == single_open.Read());
    }
    if (watcher != nullptr) {
      watcher->Refresh();
      RC_ASSERT(Shown(*watcher) == model);
      watched->Follow(model);
      RC_ASSERT(watched->Read() == model);
    }
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

// A history of three phases: the bottom file alone, then a stack of two layers, then of three,
// whose login watches the second phase from above.
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
  {
    const QELConnection single = Login(defaults);
    OpenKeys open(single);
    Run(single, open, defaults, "", model, bottom, dir);
  }
  const std::string defaults_bytes = ReadWholeFile(defaults);
  const std::string two = "layers:" + defaults + "|" + middle.Address();
  const std::string three = two + "|" + host;
  QELConnection above = Login(three, user);
  OpenKeys above_open(above);
  {
    const QELConnection stack = Login(two, user);
    OpenKeys open(stack);
    Run(stack, open, two, user, model, middle_ops, dir, &above, &above_open);
  }
  RC_ASSERT(ReadWholeFile(defaults) == defaults_bytes);
  const std::string middle_bytes = middle.Bytes();
  Run(above, above_open, three, user, model, top, dir);
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
