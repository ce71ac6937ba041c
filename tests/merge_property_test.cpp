// Generated histories of several logins on one store (a local file, a WebDAV file, an etcd
// prefix, the top of a stack of files), checked against a model of the rules by which writers meet:
// each login keeps the tree it last read and the operations it did since, and a write replays those
// operations onto the tree the other writers left.
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_log.h>
#include <zor-qel-rb-key/qel_rb_iterators.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include "etcd_cluster.h"
#include "scratch_files.h"
#include "test_system.h"
#include "tree_model.h"
#include "webdav_server.h"

namespace {

// ---- The model: a tree of keys holding named lists, and the rules of a replay ----

using namespace tree_model;

// Every generated key lies below this one, which nothing erases.
const char kTop[] = "/T";
const std::vector<std::string> kValueNames = {"a", "b"};
const std::vector<std::string> kElements = {"d", "f", "h"};

// The keys a history works on: few, so that logins often meet on one, and three levels deep,
// so that erases and writes cross on parents and grandparents.
const std::vector<std::string>& Paths() {
  static const std::vector<std::string> paths = {"/T/P", "/T/Q", "/T/P/P", "/T/P/Q", "/T/P/P/P"};
  return paths;
}

// What a caller does through a key.
struct Operation {
  enum Kind { kSet, kAdd, kDeleteElements, kDeleteValue, kCreateSubkey, kDeleteSubkey, kSuicide };
  Kind kind = kSet;
  int path = 0;               // into Paths(): the key written, or the subkey created or deleted
  int name = 0;               // into kValueNames
  std::vector<int> elements;  // into kElements

  List Elements() const {
    List list;
    for (int element : elements) list.push_back(kElements[static_cast<size_t>(element)]);
    return list;
  }
};

// What a login keeps of an operation to replay it: the operation and what the caller saw.
struct Record {
  enum Kind { kSet, kAdd, kRemove, kErase, kCreate, kEraseSeen };
  Kind kind;
  std::string path;
  std::string name;
  List elements;
  List asked;  // kRemove: every element the caller named, those it did not have too
  Tree seen;   // kEraseSeen: the keys and values erased, as the caller saw them
};

// The elements added to a list: each goes before the first remaining element greater than it;
// those left over go to the end. Elements the list holds are not added again.
void AddElements(List& list, const List& added) {
  auto position = list.begin();
  for (const std::string& element : added) {
    if (Holds(list, element)) continue;
    while (position != list.end() && !(element < *position)) ++position;
    position = list.insert(position, element) + 1;
  }
}

void RemoveElements(List& list, const List& removed) {
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const std::string& element) { return Holds(removed, element); }),
             list.end());
}

// Where a replay met another writer's change, by the rule that settled it.
using Crossings = std::set<std::string>;

// Keeps `tree` a tree: every key's parents exist, empty when they come back. Returns the parents
// brought back.
std::vector<std::string> MakeWhole(Tree& tree, Crossings* crossings) {
  std::vector<std::string> missing;
  for (const auto& key : tree) {
    for (std::string parent = Parent(key.first); parent.size() > 1; parent = Parent(parent)) {
      if (tree.count(parent) == 0) missing.push_back(parent);
    }
  }
  for (const std::string& parent : missing) tree[parent];
  if (!missing.empty() && crossings != nullptr) crossings->insert("parent re-created");
  return missing;
}

// Replays one login's records onto the tree another writer left; names in `crossings` (when not
// null) the rules that kept another writer's change. A login's own view needs no repair
// (`whole` false): its own operations leave it as whole as it was. Returns the parents brought
// back.
std::vector<std::string> Replay(const std::vector<Record>& records, Tree& tree,
                                Crossings* crossings = nullptr, bool whole = true) {
  auto crossed = [crossings](const char* rule) {
    if (crossings != nullptr) crossings->insert(rule);
  };
  for (const Record& record : records) {
    switch (record.kind) {
      case Record::kSet:
        tree[record.path][record.name] = record.elements;
        break;
      case Record::kAdd:
        AddElements(tree[record.path][record.name], record.elements);
        break;
      case Record::kRemove: {
        const auto key = tree.find(record.path);
        if (key == tree.end()) break;
        const auto value = key->second.find(record.name);
        if (value == key->second.end()) break;
        for (const std::string& element : record.asked) {
          if (Holds(value->second, element) && !Holds(record.elements, element)) {
            crossed("element the caller never had kept");
          }
        }
        RemoveElements(value->second, record.elements);
        break;
      }
      case Record::kErase: {
        const auto key = tree.find(record.path);
        if (key != tree.end()) key->second.erase(record.name);
        break;
      }
      case Record::kCreate:
        tree[record.path];
        break;
      case Record::kEraseSeen:
        for (const auto& seen : record.seen) {
          const auto key = tree.find(seen.first);
          if (key == tree.end()) continue;
          Values& values = key->second;
          for (const auto& value : seen.second) {
            const auto now = values.find(value.first);
            if (now != values.end() && now->second == value.second) values.erase(now);
          }
          if (!values.empty()) crossed("value another writer added or changed kept");
          // Keys another writer added below come back with their path when MakeWhole runs.
          if (values.empty()) tree.erase(key);
        }
        for (const auto& key : tree) {
          if (InSubtree(key.first, record.path) && record.seen.count(key.first) == 0) {
            crossed("key another writer added below kept");
          }
        }
        break;
    }
  }
  return whole ? MakeWhole(tree, crossings) : std::vector<std::string>();
}

// One login as the model sees it: the tree it shows its caller and what it has not written.
struct ModelLogin {
  Tree view;
  std::vector<Record> pending;
  bool in_transaction = false;
};

const char kDone[] = "done";
const char kNoKey[] = "no such key (158)";
const char kExists[] = "already there (159)";
// DeleteSubkey of a subkey that is not there: no error, and nothing is written.
const char kNotThere[] = "not there";

// Does `operation` in the login's view and keeps its record; returns the caller's outcome.
std::string Do(ModelLogin& login, const Operation& operation) {
  const std::string& path = Paths()[static_cast<size_t>(operation.path)];
  const std::string& name = kValueNames[static_cast<size_t>(operation.name)];
  const List elements = operation.Elements();
  Tree& view = login.view;
  auto record = [&](Record entry) {
    Replay({entry}, view, nullptr, false);
    login.pending.push_back(std::move(entry));
  };
  auto erase_subtree = [&](const std::string& root) {
    Record entry{Record::kEraseSeen, root, {}, {}, {}, {}};
    for (const auto& key : view) {
      if (InSubtree(key.first, root)) entry.seen.insert(key);
    }
    record(std::move(entry));
  };
  const bool names_subkey =
      operation.kind == Operation::kCreateSubkey || operation.kind == Operation::kDeleteSubkey;
  if (view.count(names_subkey ? Parent(path) : path) == 0) return kNoKey;
  const auto key = view.find(path);
  const auto value = key == view.end() ? Values::iterator() : key->second.find(name);
  const bool has_value = key != view.end() && value != key->second.end();
  switch (operation.kind) {
    case Operation::kSet:
      record({Record::kSet, path, name, elements, {}, {}});
      return kDone;
    case Operation::kAdd:
      for (const std::string& element : elements) {
        if (has_value && Holds(value->second, element)) return kExists;
      }
      // Adding no elements to a value the caller has does nothing, and leaves nothing to replay.
      if (!has_value || !elements.empty()) record({Record::kAdd, path, name, elements, {}, {}});
      return kDone;
    case Operation::kDeleteElements:
      if (!elements.empty()) {
        if (!has_value) return kDone;
        // Only elements the caller has are removed for it.
        List present;
        for (const std::string& element : elements) {
          if (Holds(value->second, element) && !Holds(present, element)) present.push_back(element);
        }
        if (!present.empty()) record({Record::kRemove, path, name, present, elements, {}});
        return kDone;
      }
      [[fallthrough]];  // a delete of no elements deletes the whole value
    case Operation::kDeleteValue:
      if (has_value) record({Record::kErase, path, name, {}, {}, {}});
      return kDone;
    case Operation::kCreateSubkey:
      if (key != view.end()) return kExists;
      record({Record::kCreate, path, {}, {}, {}, {}});
      return kDone;
    case Operation::kDeleteSubkey:
    case Operation::kSuicide:
      if (key == view.end()) return operation.kind == Operation::kSuicide ? kNoKey : kNotThere;
      erase_subtree(path);
      return kDone;
  }
  return kDone;
}

// ---- The history a property runs ----

struct Step {
  enum Kind { kOperate, kBegin, kCommit, kRefresh, kChild };
  Kind kind = kOperate;
  int login = 0;
  // kOperate: the operation; kChild: what another process does, each written at once.
  std::vector<Operation> operations;
};

struct History {
  int logins = 2;
  std::vector<Operation> initial;  // the values of the store's first tree, which has every key
  // On a stack: the lower layer's values, on every key; the top then holds only the keys
  // `initial` gave values.
  std::vector<Operation> lower;
  std::vector<Step> steps;
};

std::ostream& operator<<(std::ostream& out, const Operation& operation) {
  static const char* const kKinds[] = {"SetValue",     "AddValue",     "DeleteValue",
                                       "DeleteValue",  "CreateSubkey", "DeleteSubkey",
                                       "CommitSuicide"};
  const std::string& path = Paths()[static_cast<size_t>(operation.path)];
  out << kKinds[operation.kind] << " ";
  switch (operation.kind) {
    case Operation::kCreateSubkey:
    case Operation::kDeleteSubkey:
      return out << Parent(path) << " " << Leaf(path);
    case Operation::kSuicide:
      return out << path;
    case Operation::kDeleteValue:
      return out << path << " " << kValueNames[static_cast<size_t>(operation.name)];
    default:
      break;
  }
  out << path << " " << kValueNames[static_cast<size_t>(operation.name)] << " {";
  const List elements = operation.Elements();
  for (size_t i = 0; i < elements.size(); ++i) out << (i > 0 ? "," : "") << elements[i];
  return out << "}";
}

void showValue(const Step& step, std::ostream& out) {
  out << "login " << step.login << ": ";
  switch (step.kind) {
    case Step::kOperate:
      out << step.operations.at(0);
      break;
    case Step::kBegin:
      out << "BeginTransaction";
      break;
    case Step::kCommit:
      out << "Commit";
      break;
    case Step::kRefresh:
      out << "Refresh";
      break;
    case Step::kChild:
      out << "another process:";
      for (const Operation& operation : step.operations) out << " [" << operation << "]";
      break;
  }
}

void showValue(const History& history, std::ostream& out) {
  out << history.logins << " logins on a store of every key, with values made by:";
  for (const Operation& operation : history.initial) out << "\n  " << operation;
  if (!history.lower.empty()) out << "\nover a lower layer of every key, with values made by:";
  for (const Operation& operation : history.lower) out << "\n  " << operation;
  out << "\nsteps:";
  for (const Step& step : history.steps) {
    out << "\n  ";
    showValue(step, out);
  }
}

// An integer in [least, end), each as likely whatever the size of the case (inRange alone
// gives only `least` to small cases).
rc::Gen<int> Uniform(int least, int end) {
  return rc::gen::resize(100, rc::gen::inRange(least, end));
}

rc::Gen<std::vector<int>> GenElements(int least) {
  return rc::gen::map(rc::gen::mapcat(Uniform(least, 4),
                                      [](int count) {
                                        return rc::gen::container<std::vector<int>>(
                                            static_cast<size_t>(count),
                                            Uniform(0, static_cast<int>(kElements.size())));
                                      }),
                      [](std::vector<int> elements) {
                        // An AddValue lists each element once.
                        std::vector<int> unique;
                        for (int element : elements) {
                          if (std::find(unique.begin(), unique.end(), element) == unique.end())
                            unique.push_back(element);
                        }
                        return unique;
                      });
}

rc::Gen<Operation> GenOperation(rc::Gen<Operation::Kind> kinds) {
  return rc::gen::build<Operation>(
      rc::gen::set(&Operation::kind, std::move(kinds)),
      // Most operations meet on two keys and one value name.
      rc::gen::set(&Operation::path,
                   rc::gen::weightedElement<int>({{4, 0}, {1, 1}, {4, 2}, {1, 3}, {2, 4}})),
      rc::gen::set(&Operation::name, rc::gen::weightedElement<int>({{3, 0}, {1, 1}})),
      rc::gen::set(&Operation::elements, GenElements(0)));
}

rc::Gen<Operation> GenAnyOperation() {
  return GenOperation(rc::gen::weightedElement<Operation::Kind>({{3, Operation::kSet},
                                                                 {6, Operation::kAdd},
                                                                 {6, Operation::kDeleteElements},
                                                                 {1, Operation::kDeleteValue},
                                                                 {2, Operation::kCreateSubkey},
                                                                 {1, Operation::kDeleteSubkey},
                                                                 {1, Operation::kSuicide}}));
}

rc::Gen<Step> GenStep(int logins, bool children) {
  const auto login = Uniform(0, logins);
  auto simple = [login](Step::Kind kind) {
    return rc::gen::build<Step>(rc::gen::set(&Step::kind, rc::gen::just(kind)),
                                rc::gen::set(&Step::login, login));
  };
  const auto operate = rc::gen::build<Step>(
      rc::gen::set(&Step::kind, rc::gen::just(Step::kOperate)), rc::gen::set(&Step::login, login),
      rc::gen::set(&Step::operations,
                   rc::gen::container<std::vector<Operation>>(1, GenAnyOperation())));
  const auto child = rc::gen::build<Step>(
      rc::gen::set(&Step::kind, rc::gen::just(Step::kChild)),
      rc::gen::set(&Step::operations,
                   rc::gen::resize(8, rc::gen::nonEmpty(rc::gen::container<std::vector<Operation>>(
                                          GenAnyOperation())))));
  return rc::gen::weightedOneOf<Step>({{12, operate},
                                       {3, simple(Step::kBegin)},
                                       {3, simple(Step::kCommit)},
                                       {1, simple(Step::kRefresh)},
                                       {children ? 1u : 0u, child}});
}

// Histories of 2 to 4 logins and up to `most` steps, with steps in other processes or not, over
// a lower layer of values or not.
rc::Gen<History> GenHistory(int most, bool children, bool lower) {
  return rc::gen::mapcat(Uniform(2, 5), [most, children, lower](int logins) {
    const auto values = [](int count) {
      return rc::gen::resize(count, rc::gen::container<std::vector<Operation>>(GenOperation(
                                        rc::gen::element(Operation::kSet, Operation::kAdd))));
    };
    return rc::gen::build<History>(
        rc::gen::set(&History::logins, rc::gen::just(logins)),
        rc::gen::set(&History::initial, values(lower ? 4 : 12)),
        rc::gen::set(&History::lower, lower ? values(12) : rc::gen::just(std::vector<Operation>())),
        rc::gen::set(&History::steps, rc::gen::resize(most, rc::gen::container<std::vector<Step>>(
                                                                GenStep(logins, children)))));
  });
}

// ---- The stores ----

std::string EncodeList(const List& list) {
  if (list.size() == 1) return list.front();
  std::string text;
  for (const std::string& element : list) text += element + '\x1B';
  return text;
}

std::string StoreText(const Tree& tree) {
  std::string text;
  for (const auto& key : tree) {
    text += "[" + key.first + "]\n";
    for (const auto& value : key.second)
      text += value.first + "=" + EncodeList(value.second) + "\n";
  }
  return text;
}

// One kind of store: a new store for each case, and logins to it.
class StoreKind {
 public:
  virtual ~StoreKind() = default;
  // Makes a store of its own holding `text` for the next case; a stack's lower layer holds
  // `lower` (single stores are given none).
  virtual void Create(const std::string& text, const std::string& lower) = 0;
  // Whether the lower layer still holds what it was made with (a single store: true).
  virtual bool LowerUntouched() const { return true; }
  // The connection type, address, user and password of a login to the current store.
  virtual std::vector<std::string> Address() const = 0;
  // Whether a write leaves the login with the whole newer store read (a file), or only with the
  // keys it wrote and those a merge read again (etcd).
  virtual bool WriteReadsAll() const { return true; }

  QELConnection Login() const {
    const std::vector<std::string> address = Address();
    QELConnection connection(QELConnection::StringToConnectionType(address[0]));
    connection.Login(address[1], 0, address[2], address[3]);
    return connection;
  }
};

class LocalStores : public StoreKind {
 public:
  void Create(const std::string& text, const std::string&) override {
    path_ = dir_.File("store-" + std::to_string(++cases_) + ".ini");
    WriteWholeFile(path_, text);
  }
  std::vector<std::string> Address() const override { return {"ini", path_, "tester", ""}; }

 private:
  ScratchDirectory dir_;
  std::string path_;
  int cases_ = 0;
};

// A stack whose top layer is the store the histories work on, over a read-only layer that holds
// keys they never name, and the keys and values they work on when they have lower values.
class StackedStores : public StoreKind {
 public:
  void Create(const std::string& text, const std::string& lower) override {
    const std::string name = "store-" + std::to_string(++cases_);
    lower_ = dir_.File(name + "-defaults.ini");
    lower_text_ = "[/U]\nu=1\n[/U/V]\n" + lower;
    WriteWholeFile(lower_, lower_text_);
    WriteWholeFile(dir_.File(name + ".ini"), text);
    host_ = "layers:" + lower_ + "|" + dir_.File(name + ".ini");
  }
  std::vector<std::string> Address() const override { return {"ini", host_, "tester", ""}; }
  bool LowerUntouched() const override { return ReadWholeFile(lower_) == lower_text_; }

 private:
  ScratchDirectory dir_;
  std::string host_;
  std::string lower_;
  std::string lower_text_;
  int cases_ = 0;
};

class WebDavStores : public StoreKind {
 public:
  explicit WebDavStores(const WebDavServer& server) : server_(server) {}
  void Create(const std::string& text, const std::string&) override {
    file_ = "merge-" + std::to_string(++cases_) + ".ini";
    server_.WriteFile(file_, text);
  }
  std::vector<std::string> Address() const override {
    return {"rini", server_.HostPort() + "/" + file_, WebDavServer::kUser, WebDavServer::kPassword};
  }

 private:
  const WebDavServer& server_;
  std::string file_;
  int cases_ = 0;
};

class EtcdStores : public StoreKind {
 public:
  explicit EtcdStores(EtcdCluster& cluster) : cluster_(cluster) {}
  void Create(const std::string& text, const std::string&) override {
    prefix_ = "/merge-" + std::to_string(++cases_);
    cluster_.PutStore(prefix_, text);
  }
  std::vector<std::string> Address() const override {
    return {"rini", cluster_.Address(prefix_), "tester", ""};
  }
  bool WriteReadsAll() const override { return false; }

 private:
  EtcdCluster& cluster_;
  std::string prefix_;
  int cases_ = 0;
};

// ---- Running a history ----

// The tree a login shows: the top key and every generated key it has, with their values.
Tree ReadView(const QELConnection& connection) {
  Tree tree;
  std::vector<std::string> paths = {kTop};
  paths.insert(paths.end(), Paths().begin(), Paths().end());
  for (const std::string& path : paths) {
    std::unique_ptr<QELRBKey> key;
    try {
      key = std::make_unique<QELRBKey>(path, connection);
    } catch (const QELError&) {
      continue;
    }
    Values& values = tree[path];
    for (QELRBConstValueIterator it(*key, "*"); it != QELRBConstValueIterator::EndIterator; ++it) {
      values[std::string((*it).first)] = (*it).second.Elements();
    }
  }
  return tree;
}

// Does `operation` through the connection; returns the outcome as Do names it.
std::string Perform(const QELConnection& connection, const Operation& operation) {
  const std::string& path = Paths()[static_cast<size_t>(operation.path)];
  const std::string& name = kValueNames[static_cast<size_t>(operation.name)];
  const QELRBValue elements(operation.Elements());
  try {
    switch (operation.kind) {
      case Operation::kSet:
        QELRBKey(path, connection).SetValue(name, elements);
        break;
      case Operation::kAdd:
        QELRBKey(path, connection).AddValue(name, elements);
        break;
      case Operation::kDeleteElements:
        QELRBKey(path, connection).DeleteValue(name, elements);
        break;
      case Operation::kDeleteValue:
        QELRBKey(path, connection).DeleteValue(name);
        break;
      case Operation::kCreateSubkey:
        QELRBKey(Parent(path), connection).CreateSubkey(Leaf(path));
        break;
      case Operation::kDeleteSubkey:
        QELRBKey(Parent(path), connection).DeleteSubkey(Leaf(path));
        break;
      case Operation::kSuicide:
        QELRBKey(path, connection).CommitSuicide();
        break;
    }
  } catch (const QELError& error) {
    if (error.Code() == 158) return kNoKey;
    if (error.Code() == 159) return kExists;
    return "error " + std::to_string(error.Code()) + ": " + error.What();
  }
  return kDone;
}

std::string EncodeOperation(const Operation& operation) {
  std::string text = std::to_string(operation.kind) + "." + std::to_string(operation.path) + "." +
                     std::to_string(operation.name) + ".";
  for (int element : operation.elements) text += std::to_string(element);
  return text;
}

Operation DecodeOperation(const std::string& text) {
  Operation operation;
  std::istringstream in(text);
  int kind = 0;
  char dot = 0;
  in >> kind >> dot >> operation.path >> dot >> operation.name >> dot;
  operation.kind = static_cast<Operation::Kind>(kind);
  for (char digit = 0; in.get(digit);) operation.elements.push_back(digit - '0');
  return operation;
}

// Logs in with the first four arguments (type, address, user, password) and does the operations
// the others encode, each written at once; fails on an error other than a missing or present key.
[[maybe_unused]] const bool operator_role =
    RegisterChildRole("merge-operator", [](const std::vector<std::string>& args) {
      zor::qel::SetLogSink([](const zor::qel::LogRecord&) {});  // refusals are expected
      QELConnection connection(QELConnection::StringToConnectionType(args.at(0)));
      connection.Login(args.at(1), 0, args.at(2), args.at(3));
      for (size_t i = 4; i < args.size(); ++i) {
        const std::string outcome = Perform(connection, DecodeOperation(args[i]));
        if (outcome != kDone && outcome != kNoKey && outcome != kExists) return 2;
      }
      return 0;
    });

// The view a login shows after its own write: the whole shared tree when the write read it all;
// otherwise each key as the login showed it before, or as the shared tree has it now.
void CheckWrittenView(const StoreKind& kind, const QELConnection& connection, ModelLogin& login,
                      const Tree& shared) {
  const Tree view = ReadView(connection);
  if (kind.WriteReadsAll()) {
    RC_ASSERT(view == shared);
  } else {
    std::set<std::string> keys;
    for (const Tree* tree : {&view, &std::as_const(login.view), &shared}) {
      for (const auto& key : *tree) keys.insert(key.first);
    }
    auto at = [](const Tree& tree, const std::string& key) {
      const auto found = tree.find(key);
      return found == tree.end() ? std::pair<bool, Values>() : std::make_pair(true, found->second);
    };
    std::vector<std::string> neither;  // keys shown neither as before nor as written
    for (const std::string& key : keys) {
      if (at(view, key) != at(login.view, key) && at(view, key) != at(shared, key)) {
        neither.push_back(key);
      }
    }
    RC_ASSERT(neither.empty());
  }
  login.view = view;
}

void Flush(ModelLogin& login, Tree& shared, Crossings* crossings) {
  Replay(login.pending, shared, crossings);
  login.pending.clear();
}

// The tree of every key with the values `operations` make.
Tree FirstTree(const std::vector<Operation>& operations) {
  ModelLogin maker;
  maker.view[kTop];
  for (const std::string& path : Paths()) maker.view[path];
  for (const Operation& operation : operations) Do(maker, operation);
  return maker.view;
}

// Writers on a stack whose lower layer holds what they work on meet as on one store whose first
// tree is what the layers show together, so the same replay models them:
//  - a list taken over from the lower layer is an edit of the list as its writer saw it, replayed
//    on the list as the other writers left it: taken over and changed, set again, or deleted;
//  - a value or key deleted (a mask in the top) is a delete of what its writer saw: a value set or
//    added to afterwards shows what was written after the delete alone, never the masked list;
//  - a key deleted masks the lower subtree whole, but a value or key another writer wrote there
//    meanwhile stays, in a key whose parents come back empty;
//  - the lower layer itself is never written.
void RunHistory(StoreKind& kind, const History& history) {
  Tree shared = FirstTree(history.initial);
  if (history.lower.empty()) {
    kind.Create(StoreText(shared), "");
  } else {
    // The top holds only the keys given values, over a lower layer of every key.
    Tree top;
    for (const auto& key : shared) {
      if (!key.second.empty()) top.insert(key);
    }
    shared = FirstTree(history.lower);
    kind.Create(StoreText(top), StoreText(shared));
    for (const auto& key : top) {
      for (const auto& value : key.second) shared[key.first][value.first] = value.second;
    }
  }

  Crossings crossings;
  std::vector<QELConnection> connections;
  std::vector<ModelLogin> logins(static_cast<size_t>(history.logins));
  for (ModelLogin& login : logins) {
    connections.push_back(kind.Login());
    login.view = shared;
  }
  for (size_t at = 0; at < history.steps.size(); ++at) {
    const Step& step = history.steps[at];
    RC_LOG() << "at step " << at << "\n";
    ModelLogin& login = logins.at(static_cast<size_t>(step.login));
    QELConnection& connection = connections.at(static_cast<size_t>(step.login));
    switch (step.kind) {
      case Step::kOperate: {
        const std::string expected = Do(login, step.operations.at(0));
        RC_ASSERT(Perform(connection, step.operations[0]) ==
                  std::string(expected == kNotThere ? kDone : expected));
        if (expected == kDone && !login.in_transaction) {
          Flush(login, shared, &crossings);
          CheckWrittenView(kind, connection, login, shared);
        } else {
          RC_ASSERT(ReadView(connection) == login.view);
        }
        break;
      }
      case Step::kBegin:
        if (login.in_transaction) break;
        connection.BeginTransaction();
        login.in_transaction = true;
        break;
      case Step::kCommit:
        if (!login.in_transaction) break;
        connection.Commit();
        login.in_transaction = false;
        Flush(login, shared, &crossings);
        CheckWrittenView(kind, connection, login, shared);
        break;
      case Step::kRefresh:
        connection.Refresh();
        login.view = shared;
        // The parents the replay brought back are the login's own from now on: a later write
        // keeps them, as its caller saw them, even if the key that brought them back is erased.
        for (const std::string& parent : Replay(login.pending, login.view)) {
          login.pending.push_back({Record::kCreate, parent, {}, {}, {}, {}});
        }
        RC_ASSERT(ReadView(connection) == login.view);
        break;
      case Step::kChild: {
        std::vector<std::string> args = kind.Address();
        ModelLogin other;
        other.view = shared;
        for (const Operation& operation : step.operations) {
          args.push_back(EncodeOperation(operation));
          Do(other, operation);
          Flush(other, shared, &crossings);
          other.view = shared;
        }
        RC_ASSERT(ChildProcess("merge-operator", args).Wait() == 0);
        break;
      }
    }
  }
  for (size_t i = 0; i < logins.size(); ++i) {
    if (!logins[i].in_transaction) continue;
    connections[i].Commit();
    Flush(logins[i], shared, &crossings);
  }
  RC_ASSERT(ReadView(kind.Login()) == shared);
  for (size_t i = 0; i < logins.size(); ++i) {
    RC_LOG() << "login " << i << " refreshes at the end\n";
    connections[i].Refresh();
    RC_ASSERT(ReadView(connections[i]) == shared);
  }
  RC_ASSERT(kind.LowerUntouched());
  for (const std::string& crossing : crossings) RC_TAG(crossing);
}

// Histories over lower values that the generator meets too seldom to find each time, each the
// shrunk case of a fault it once found.
std::vector<History> KnownHistoriesOverLowerValues() {
  const auto op = [](Operation::Kind kind, int path, int name, std::vector<int> elements) {
    return Operation{kind, path, name, std::move(elements)};
  };
  const auto at = [](int login, Step::Kind kind, std::vector<Operation> operations = {}) {
    return Step{kind, login, std::move(operations)};
  };
  return {
      // A whole lower value deleted by a login that had not seen another take the list over.
      {2,
       {},
       {op(Operation::kSet, 4, 0, {0})},
       {at(1, Step::kBegin), at(1, Step::kOperate, {op(Operation::kDeleteValue, 4, 0, {})}),
        at(0, Step::kOperate, {op(Operation::kDeleteElements, 4, 0, {0})})}},
      // A top value deleted over its masked lower one, by a login that had not seen another set
      // the value again meanwhile (which dropped the mask).
      {2,
       {},
       {op(Operation::kSet, 2, 0, {})},
       {at(1, Step::kOperate, {op(Operation::kDeleteValue, 2, 0, {})}),
        at(1, Step::kOperate, {op(Operation::kAdd, 2, 0, {})}),
        at(0, Step::kOperate, {op(Operation::kSet, 4, 0, {})}), at(0, Step::kBegin),
        at(0, Step::kOperate, {op(Operation::kDeleteValue, 2, 0, {})}),
        at(0, Step::kChild, {op(Operation::kSet, 2, 0, {})})}},
      // A key below a lower one deleted in a transaction that refreshed while another login's
      // value kept the key, then committed after another writer deleted the lower key.
      {2,
       {},
       {op(Operation::kAdd, 0, 0, {0})},
       {at(1, Step::kOperate, {op(Operation::kAdd, 2, 1, {})}), at(0, Step::kBegin),
        at(0, Step::kOperate, {op(Operation::kSuicide, 2, 0, {})}), at(0, Step::kRefresh),
        at(0, Step::kChild, {op(Operation::kSuicide, 0, 0, {})})}},
      // A lower key deleted by a login that had not seen another delete a value of it and add
      // it back as it was.
      {2,
       {},
       {op(Operation::kAdd, 4, 0, {1})},
       {at(0, Step::kBegin), at(1, Step::kOperate, {op(Operation::kDeleteElements, 4, 0, {})}),
        at(0, Step::kOperate, {op(Operation::kDeleteSubkey, 0, 0, {})}),
        at(1, Step::kOperate, {op(Operation::kAdd, 4, 0, {1})})}},
  };
}

// Checks histories of up to `most` steps on fresh stores of `kind`, over lower values or not:
// RC_PARAMS's number of cases divided by `share`, at least 1; first any `known` ones.
void CheckHistories(StoreKind& kind, int share, int most, bool children, bool lower = false,
                    const std::vector<History>& known = {}) {
  zor::qel::SetLogSink([](const zor::qel::LogRecord&) {});  // refusals are expected
  rc::detail::TestParams params = rc::detail::configuration().testParams;
  params.maxSuccess = std::max(1, params.maxSuccess / share);
  rc::detail::TestParams once = params;
  once.maxSuccess = 1;
  auto result = rc::detail::TestResult(rc::detail::SuccessResult());
  for (const History& history : known) {
    if (!result.is<rc::detail::SuccessResult>()) break;
    result = rc::detail::checkProperty(rc::detail::toProperty([&] {
                                         RC_LOG() << rc::toString(history) << "\n";
                                         RunHistory(kind, history);
                                       }),
                                       rc::detail::TestMetadata(), once);
  }
  if (result.is<rc::detail::SuccessResult>()) {
    result = rc::detail::checkProperty(
        rc::detail::toProperty([&] { RunHistory(kind, *GenHistory(most, children, lower)); }),
        rc::detail::TestMetadata(), params);
  }
  zor::qel::SetLogSink({});
  // The share of cases that met each combination of crossings.
  rc::detail::printResultMessage(result, std::cout);
  std::cout << "\n";
  if (!result.is<rc::detail::SuccessResult>()) {
    std::ostringstream text;
    rc::detail::printResultMessage(result, text);
    ADD_FAILURE() << text.str();
  }
}

TEST(MergeProperty, LocalHistoriesEndAsTheModelSays) {
  LocalStores stores;
  CheckHistories(stores, 1, 40, true);
}

TEST(MergeProperty, StackedHistoriesEndAsTheModelSays) {
  StackedStores stores;
  CheckHistories(stores, 2, 30, true);
}

// The writers change, delete and take over what the lower layer holds.
TEST(MergeProperty, HistoriesOverLowerValuesEndAsTheModelSays) {
  StackedStores stores;
  CheckHistories(stores, 2, 30, true, true, KnownHistoriesOverLowerValues());
}

class RemoteMergeProperty : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      webdav_ = std::make_unique<WebDavServer>();
      SetEnvironment("QEL_REMOTE_CA_FILE", webdav_->CaFile());
      etcd_ = std::make_unique<EtcdCluster>(EtcdCluster::Options());
    } catch (const std::exception& error) {
      failure_ = error.what();
    }
  }
  static void TearDownTestSuite() {
    UnsetEnvironment("QEL_REMOTE_CA_FILE");
    etcd_.reset();
    webdav_.reset();
  }

  inline static std::unique_ptr<WebDavServer> webdav_;
  inline static std::unique_ptr<EtcdCluster> etcd_;
  inline static std::string failure_;
};

TEST_F(RemoteMergeProperty, WebDavHistoriesEndAsTheModelSays) {
  ASSERT_NE(webdav_, nullptr) << "the WebDAV test server cannot run: " << failure_;
  WebDavStores stores(*webdav_);
  CheckHistories(stores, 2, 25, true);
}

TEST_F(RemoteMergeProperty, EtcdHistoriesEndAsTheModelSays) {
  ASSERT_NE(etcd_, nullptr) << "the etcd test cluster cannot run: " << failure_;
  EtcdStores stores(*etcd_);
  CheckHistories(stores, 2, 25, true);
}

}  // namespace
