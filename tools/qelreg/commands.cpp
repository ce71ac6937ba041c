// The commands of qelreg, each a short sequence of public library calls.
#include "commands.h"
#include <zor-qel-rb-key/qel_layers.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <utility>

#include <zor-qel-rb-key/qel_error_codes.h>
#include <zor-qel-rb-key/qel_log.h>
#include <zor-qel-rb-key/qel_rb_iterators.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include <zor-qel-rb-key/qel_rb_root_key.h>
#include <zor-qel-rb-key/qel_rb_value.h>
#include "ini_text.h"
#include "store.h"
#include "system.h"

namespace qelreg {
namespace {

// The selector that chooses every subkey but one: the component list, which it never yields.
const char* const kEverySubkey = "(key=*)";
const char* const kComponentList = "/ZOR_Software/qel4ds/Config/component_info";

const char* const kRootHoldsNoValues = "the root key holds no values";

// The key that marks an unfinished copy, naming the source in its value "source".
using zor::qel::kCopyMarker;
using zor::qel::kCopyMarkerSource;

QELRBKey OpenKey(const QELConnection& connection, const std::string& path) {
  return path.empty() ? QELRBKey(connection) : QELRBKey(path, connection);
}

QELRBValue MakeValue(const std::vector<std::string>& elements) {
  return elements.size() == 1 ? QELRBValue(elements.front()) : QELRBValue(elements);
}

// Whether the key at `path` exists, asked level by level so that a missing key logs no error.
bool KeyExists(const QELConnection& connection, const std::string& path) {
  QELRBKey key(connection);
  size_t start = 1;
  while (start <= path.size()) {
    const size_t slash = std::min(path.find('/', start), path.size());
    const std::string name = path.substr(start, slash - start);
    if (!key.HasSubkey(name)) return false;
    key = key.GetSubkey(name);
    start = slash + 1;
  }
  return true;
}

// The key's values whose names match the wildcard `pattern`, in the key's own order.
NamedValues ReadValues(const QELRBKey& key, const std::string& pattern) {
  NamedValues values;
  for (QELRBConstValueIterator it(key, pattern); it != QELRBConstValueIterator::EndIterator; ++it) {
    const std::pair<QELNoCaseString, QELRBValue> item = *it;
    values.emplace_back(item.first, item.second.Elements());
  }
  return values;
}

// The values by name, to compare two keys' values whatever their order.
std::map<std::string, std::vector<std::string>> ValueMap(const NamedValues& values) {
  return {values.begin(), values.end()};
}

// The paths of the keys beneath `key` in the store's (byte) order: its children only with
// `children`; those `selector` chooses, or every one of them without a selector.
std::vector<std::string> Subkeys(const QELRBKey& key, bool children,
                                 const std::optional<std::string>& selector,
                                 const QELConnection& connection) {
  std::vector<std::string> paths;
  for (QELRBConstKeyIterator it(key, selector.value_or(kEverySubkey), !children, {});
       it != QELRBConstKeyIterator::EndIterator; ++it) {
    paths.push_back((*it).GetKeyPath());
  }
  if (selector) return paths;
  // Every key includes the component list when it lies beneath.
  const std::string hidden = kComponentList;
  const std::string prefix = key.GetKeyPath() + "/";
  const bool beneath = hidden.compare(0, prefix.size(), prefix) == 0 &&
                       (!children || hidden.find('/', prefix.size()) == std::string::npos);
  if (beneath && KeyExists(connection, hidden)) {
    paths.insert(std::lower_bound(paths.begin(), paths.end(), hidden), hidden);
  }
  return paths;
}

// `keys` followed by the keys at `paths`, each with all its values.
KeyValues WithValues(KeyValues keys, const std::vector<std::string>& paths,
                     const QELConnection& connection) {
  for (const std::string& path : paths) {
    keys.emplace_back(path, ReadValues(QELRBKey(path, connection), "*"));
  }
  return keys;
}

// `key` itself with `withKey` (the root has no values and is never listed), then with `beneath`
// every key beneath it, parents first, each with all its values.
KeyValues KeysWithValues(const QELRBKey& key, bool withKey, bool beneath,
                         const QELConnection& connection) {
  KeyValues keys;
  if (withKey && !key.GetKeyPath().empty()) {
    keys.emplace_back(key.GetKeyPath(), ReadValues(key, "*"));
  }
  if (!beneath) return keys;
  return WithValues(std::move(keys), Subkeys(key, false, std::nullopt, connection), connection);
}

// Creates the key at `path`: the keys above it must exist unless `parents`, and the key itself
// must not unless `parents`. Returns whether it created the key.
bool MakeKey(const QELConnection& connection, const std::string& path, bool parents) {
  if (path.empty()) {
    if (parents) return false;
    throw ToolError("the root key always exists");
  }
  QELRBKey key(connection);
  size_t start = 1;
  while (true) {
    const size_t slash = path.find('/', start);
    const bool last = slash == std::string::npos;
    const std::string name = path.substr(start, slash - start);
    if (key.HasSubkey(name) && (parents || !last)) {
      if (last) return false;
      key = key.GetSubkey(name);
    } else if (last) {
      key.CreateSubkey(name);  // the library's own error when it exists
      return true;
    } else if (parents) {
      key = key.CreateSubkey(name);
    } else {
      throw ToolError("the key " + path.substr(0, slash) +
                          " above it does not exist (mkkey -p creates missing keys)",
                      kExitNotFound);
    }
    start = slash + 1;
  }
}

// Writes the key at `path` with `values`, making it, and any missing key above it, when it is not
// there; `where` names the key and the value being written. Returns whether the key was new.
bool WriteKey(const QELConnection& connection, const std::string& path, const NamedValues& values,
              Where& where) {
  where.key = path;
  where.value.clear();
  const bool created = MakeKey(connection, path, true);
  QELRBKey key(path, connection);
  for (const auto& [name, elements] : values) {
    where.value = name;
    key.SetValue(name, MakeValue(elements));
  }
  return created;
}

// "ADDRESS:LINE" of the layer (or store) and entry line that give the value, then a tab.
std::string OriginOf(const QELConnection& connection, const std::string& path,
                     const std::string& name) {
  zor::qel::ValueOrigin origin;
  if (!zor::qel::FindValueOrigin(connection, path, name, origin)) return "?\t";
  return origin.address + ":" + std::to_string(origin.line) + "\t";
}

// The values with each name led by where it comes from.
NamedValues WithOrigins(NamedValues values, const QELConnection& connection,
                        const std::string& path) {
  for (auto& value : values) value.first = OriginOf(connection, path, value.first) + value.first;
  return values;
}

void Tree(const Command& command, const QELConnection& connection, Output& output) {
  const QELRBKey key = OpenKey(connection, command.path);
  const std::vector<std::string> paths =
      Subkeys(key, command.children, command.selector, connection);
  if (!command.showValues && !command.showOrigin) {
    output.List(paths);
    return;
  }
  KeyValues keys = WithValues({}, paths, connection);
  if (command.showOrigin) {
    for (auto& [path, values] : keys) values = WithOrigins(std::move(values), connection, path);
  }
  output.Keys(keys);
}

void Get(const Command& command, const QELConnection& connection, Output& output) {
  if (command.valueName.empty()) {
    // A key's values; the root holds none.
    NamedValues values =
        command.path.empty() ? NamedValues() : ReadValues(OpenKey(connection, command.path), "*");
    if (command.showOrigin) values = WithOrigins(std::move(values), connection, command.path);
    output.Values(values);
    return;
  }
  const bool found = !command.path.empty() && KeyExists(connection, command.path) &&
                     QELRBKey(command.path, connection).HasValue(command.valueName);
  if (!found && command.fallback) {
    output.List({*command.fallback});
    return;
  }
  if (command.path.empty()) throw ToolError(kRootHoldsNoValues, kExitNotFound);
  // Without the value this throws the library's own error for the missing key or value.
  std::vector<std::string> elements =
      OpenKey(connection, command.path).GetValue(command.valueName).Elements();
  if (command.showOrigin) {
    const std::string origin = OriginOf(connection, command.path, command.valueName);
    if (elements.empty()) elements.emplace_back();
    for (std::string& element : elements) element = origin + element;
  }
  output.List(elements);
}

void Set(const Command& command, const QELConnection& connection) {
  if (command.parents) {
    MakeKey(connection, command.path, true);
  } else if (!KeyExists(connection, command.path)) {
    throw ToolError("the key does not exist: create it with mkkey -p " + command.path +
                        ", or set it with set -p, which creates it and the keys above it",
                    kExitNotFound);
  }
  QELRBKey key = OpenKey(connection, command.path);
  key.SetValue(command.valueName, MakeValue(command.values));
}

void Add(const Command& command, const QELConnection& connection) {
  QELRBKey key = OpenKey(connection, command.path);
  key.AddValue(command.valueName, MakeValue(command.values));
}

void Remove(const Command& command, const QELConnection& connection) {
  QELRBKey key = OpenKey(connection, command.path);
  // The library deletes a missing value silently; reading it first reports it with the
  // library's own "no value" error instead.
  if (!key.HasValue(command.valueName)) key.GetValue(command.valueName);
  key.DeleteValue(command.valueName, MakeValue(command.values));
}

bool Confirm(const std::string& path) {
  if (!InteractiveInput()) return false;
  std::cerr << "Delete " << path << " and every key beneath it? [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes";
}

void RemoveKey(const Command& command, const QELConnection& connection) {
  QELRBKey key = OpenKey(connection, command.path);
  if (!command.yes && !Confirm(command.path)) {
    throw ToolError(InteractiveInput() ? "not confirmed"
                                       : "not confirmed: no terminal to ask on, give --yes");
  }
  key.CommitSuicide();
}

void Values(const Command& command, const QELConnection& connection, Output& output) {
  if (command.path.empty()) {
    output.Values({});
    return;
  }
  output.Values(ReadValues(OpenKey(connection, command.path), command.pattern));
}

void Root(const Command& command, const QELConnection& connection, Output& output) {
  const QELRBRootKey key(command.module, connection);
  output.Fields({{"module", command.module}, {"path", key.GetKeyPath()}});
}

void Export(const Command& command, const QELConnection& connection, Output& output) {
  const KeyValues keys = KeysWithValues(OpenKey(connection, command.path), true, true, connection);
  if (output.Json()) {
    output.Keys(keys);
  } else {
    output.Text(IniText(keys));
  }
}

// Refuses a source key holding a value whose stored text has bytes after its last 0x1B: it reads
// as fewer elements than it holds, so copying it would drop them. Code 168 names the value.
void RefuseTruncatedValues(const QELRBKey& key, Where& where) {
  const std::list<std::string> names = key.GetTruncatedValues();
  if (names.empty()) return;
  where.key = key.GetKeyPath();
  where.value = names.front();
  key.RefuseTruncatedValues();
}

// Lists every value beneath PATH (the whole store by default) whose stored text holds bytes
// after its last 0x1B, as "KEY: NAME": SetValue of the whole value repairs one.
void Check(const Command& command, const QELConnection& connection, Output& output) {
  const KeyValues keys = KeysWithValues(OpenKey(connection, command.path), true, true, connection);
  std::vector<std::string> found;
  for (const auto& entry : keys) {
    for (const std::string& name : QELRBKey(entry.first, connection).GetTruncatedValues()) {
      found.push_back(entry.first + ": " + name);
    }
  }
  output.List(found);
}

// The keys beneath a store's root, one at a time in the store's (byte) order, as Subkeys lists
// every one of them (the component list included), without holding the list. A key the walk
// yields decodes its values for itself when read, so reading every key once fills no cache.
class KeyWalk {
 public:
  explicit KeyWalk(const QELConnection& connection) : connection_(connection) { Restart(); }
  // The `i`-th key (from 0): the next ones in order, or an earlier one again, walked to anew.
  const QELRBKey& At(size_t i) {
    if (i < next_) Restart();
    while (next_ <= i) Step();
    return key_;
  }
  // Walks to the next key; false past the last one.
  bool Step() {
    std::string path;
    if (*it_ != QELRBConstKeyIterator::EndIterator) path = (**it_).GetKeyPath();
    if (!hidden_.empty() && (path.empty() || hidden_ < path)) {
      key_ = QELRBKey(hidden_, connection_);
      hidden_.clear();
    } else if (!path.empty()) {
      key_ = **it_;
      ++*it_;
    } else {
      return false;
    }
    ++next_;
    return true;
  }
  // The key the walk stands on.
  const QELRBKey& Key() const { return key_; }

 private:
  void Restart() {
    it_ = std::make_unique<QELRBConstKeyIterator>(QELRBKey(connection_), kEverySubkey, true,
                                                  std::list<std::string>());
    hidden_ = KeyExists(connection_, kComponentList) ? kComponentList : "";
    next_ = 0;
  }

  const QELConnection& connection_;
  std::unique_ptr<QELRBConstKeyIterator> it_;
  std::string hidden_;  // the component list while the walk has not passed it
  QELRBKey key_;
  size_t next_ = 0;  // the number of the key the walk yields next
};

// Whether the store refused a commit for its size (an etcd cluster's limits on a transaction's
// operations and bytes): smaller commits would pass.
bool TooLarge(const QELError& error) {
  return error.Code() == static_cast<long>(zor::qel::StoreError::kWriteFailed) &&
         error.What().find("than the cluster's limit") != std::string::npos;
}

// How a long change commits: at once, or every `batch` keys; and whether it may split a commit
// the store refuses for its size (then it commits in halves until each one fits).
struct Batching {
  long batch = 0;
  bool split = false;
  bool progress = false;
  std::string what;  // "import", "copy": the command progress lines name
};

// Writes `count` keys with `write` (given each key's number, in order) in transactions on `to`
// as `batching` says, and commits each. `start` runs first in each transaction, told whether the
// change goes in several commits; `finish` runs last in the last one. A transaction the store
// refuses for its size is dropped (the store read again) and written again in halves, so
// `write` may be called again from an earlier key and must write each whole.
void CommitInBatches(QELConnection& to, size_t count, const Batching& batching, Where& where,
                     const std::function<void(bool batched)>& start,
                     const std::function<void(size_t)>& write,
                     const std::function<void()>& finish) {
  const bool progress = batching.progress || InteractiveErrors();
  size_t size =
      batching.batch > 0 ? static_cast<size_t>(batching.batch) : std::max<size_t>(count, 1);
  bool batched = batching.batch > 0 && static_cast<size_t>(batching.batch) < count;
  size_t done = 0;
  for (;;) {
    to.BeginTransaction();
    start(batched);
    const size_t end = std::min(count, done + size);
    for (size_t i = done; i < end; ++i) write(i);
    if (end == count) finish();
    where.value.clear();  // a failed commit is about the key written last, not its value
    try {
      to.Commit();
    } catch (const QELError& error) {
      if (!batching.split || !TooLarge(error) || end - done <= 1) throw;
      to.DiscardChanges();
      size = (end - done) / 2;
      batched = true;
      if (progress) {
        std::cerr << "qelreg: " << batching.what << ": the store refused " << end - done
                  << " keys in one commit; committing " << size << " at a time\n";
      }
      continue;
    }
    done = end;
    if (done == count) return;
    if (progress) {
      std::cerr << "qelreg: " << batching.what << ": " << done << " of " << count
                << " keys committed\n";
    }
  }
}

// Whether the key at `path` holds each of `values` as given (it may hold others too).
bool HoldsValues(const QELConnection& connection, const std::string& path,
                 const NamedValues& values) {
  if (!KeyExists(connection, path)) return false;
  const QELRBKey key(path, connection);
  return std::all_of(values.begin(), values.end(), [&](const auto& value) {
    return key.HasValue(value.first) && key.GetValue(value.first).Elements() == value.second;
  });
}

// Logs `connection` in to the INI file `file`, a private copy of the one a failure names `shown`.
void LoginCopy(QELConnection& connection, const std::string& file, const std::string& shown) {
  try {
    connection.Login(file, 0, "", "");
  } catch (const QELError& error) {
    std::string text = error.What();
    for (size_t at = text.find(file); at != std::string::npos; at = text.find(file, at)) {
      text.replace(at, file.size(), shown);
      at += shown.size();
    }
    throw QELError(text, error.Code(), error.Facility(), error.File(), error.Line());
  }
}

// Merges the keys and values of an INI file into the store: missing keys are created, values are
// set; nothing is deleted. The file is read once: its groups are checked on those bytes, which
// the library then reads from a private copy, as it reads a store. Key by key, only the keys of
// the open transaction are held beside the file's image. Alone in its call, it commits by itself:
// in batches when asked or when the store refuses one commit for its size; run again after an
// interruption, it skips the keys already imported.
void Import(const Command& command, QELConnection& connection, Output& output, Where& where) {
  QELConnection source(QELConnection::INI);
  std::unique_ptr<PrivateCopy> copy;
  std::error_code ignored;
  if (command.file == "-" || !std::filesystem::is_directory(command.file, ignored)) {
    std::ifstream in;
    if (command.file != "-") in.open(command.file, std::ios::binary);
    if (command.file == "-" || in.is_open()) {
      const std::string bytes =
          command.file == "-"
              ? ReadStandardInput()
              : std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (in.bad()) throw ToolError("cannot read " + where.file);
      CheckKeyGroups(bytes);
      try {
        copy = std::make_unique<PrivateCopy>(bytes);
      } catch (const ToolError&) {
        // No room for the copy: the library reads the file itself, a second time.
        if (command.file == "-") throw;
      }
    }
  }
  if (copy) {
    LoginCopy(source, copy->Path(), where.file);
  } else {
    // The library's own error for a file that cannot be read, or the file read again.
    source.Login(command.file, 0, "", "");
  }

  // The keys are counted, and their values checked, before anything is written.
  size_t count = 0;
  long values = 0;
  for (KeyWalk walk(source); walk.Step(); ++count) {
    RefuseTruncatedValues(walk.Key(), where);
    values += static_cast<long>(ReadValues(walk.Key(), "*").size());
  }
  std::vector<char> created(count, 0);
  KeyWalk walk(source);
  const auto write = [&](size_t i) {
    const QELRBKey& key = walk.At(i);
    const NamedValues named = ReadValues(key, "*");
    if (HoldsValues(connection, key.GetKeyPath(), named)) return;
    created[i] = WriteKey(connection, key.GetKeyPath(), named, where) ? 1 : 0;
  };
  if (command.alone) {
    CommitInBatches(
        connection, count, {command.batch, true, command.progress, "import"}, where, [](bool) {},
        write, [] {});
  } else {
    for (size_t i = 0; i < count; ++i) write(i);
  }
  where.key.clear();
  where.value.clear();
  const long made = static_cast<long>(std::count(created.begin(), created.end(), 1));
  output.Counts("imported " + std::to_string(count) + " keys (" + std::to_string(made) +
                    " new) and " + std::to_string(values) + " values from " + where.file,
                {{"keys", static_cast<long>(count)}, {"created", made}, {"values", values}});
}

}  // namespace

bool ChangesStore(const Command& command) {
  return command.name == "set" || command.name == "add" || command.name == "rm" ||
         command.name == "mkkey" || command.name == "rmkey" || command.name == "import";
}

bool NeedsStore(const Command& command) {
  return command.name != "version" && command.name != "copy" && command.name != "watch";
}

namespace {

// The watched keys with their values: the key at `path` (when it exists) and, recursively, every
// key beneath it.
std::map<std::string, NamedValues> WatchedValues(const QELConnection& connection,
                                                 const std::string& path, bool recursive) {
  if (!path.empty() && !KeyExists(connection, path)) return {};
  const KeyValues keys = KeysWithValues(OpenKey(connection, path), true, recursive, connection);
  return {keys.begin(), keys.end()};
}

bool Watched(const std::string& key, const std::string& path, bool recursive) {
  if (key == path) return true;
  return recursive && key.size() > path.size() && key.compare(0, path.size(), path) == 0 &&
         key[path.size()] == '/';
}

std::string ElementsText(const std::vector<std::string>* elements) {
  if (elements == nullptr) return "(none)";
  std::string text;
  for (const std::string& element : *elements) text += (text.empty() ? "" : ", ") + element;
  return text;
}

std::string ElementsJson(const std::vector<std::string>* elements) {
  return elements == nullptr ? "null" : JsonArray(*elements);
}

const std::vector<std::string>* Find(const NamedValues& values, const std::string& name) {
  for (const auto& value : values) {
    if (value.first == name) return &value.second;
  }
  return nullptr;
}

// Writes the changes between the values a key had and has; null for a key that is not there.
void WriteChanges(std::ostream& out, bool json, const std::string& key, const NamedValues* before,
                  const NamedValues* after) {
  const std::string shown = key.empty() ? "/" : key;
  if ((before == nullptr) != (after == nullptr)) {
    const char* event = before == nullptr ? "added" : "removed";
    if (json) {
      out << "{\"key\":" << JsonString(shown) << ",\"event\":\"" << event << "\"}\n";
    } else {
      out << shown << ": key " << event << "\n";
    }
  }
  const NamedValues none;
  const NamedValues& old_values = before != nullptr ? *before : none;
  const NamedValues& new_values = after != nullptr ? *after : none;
  auto write = [&](const std::string& name, const std::vector<std::string>* was,
                   const std::vector<std::string>* now) {
    if (was != nullptr && now != nullptr && *was == *now) return;
    if (json) {
      out << "{\"key\":" << JsonString(shown) << ",\"value\":" << JsonString(name)
          << ",\"old\":" << ElementsJson(was) << ",\"new\":" << ElementsJson(now) << "}\n";
    } else {
      out << shown << " " << name << ": " << ElementsText(was) << " -> " << ElementsText(now)
          << "\n";
    }
  };
  for (const auto& value : old_values)
    write(value.first, &value.second, Find(new_values, value.first));
  for (const auto& value : new_values) {
    if (Find(old_values, value.first) == nullptr) write(value.first, nullptr, &value.second);
  }
}

// Writes the changes to the watched keys until `stop` is set (see RunWatch).
void Watch(const Command& command, QELConnection& connection, bool json, std::ostream& out,
           const volatile std::sig_atomic_t& stop) {
  std::map<std::string, NamedValues> seen =
      WatchedValues(connection, command.path, command.recursive);
  // Short waits, so that an interrupt ends the watch within half a second; a request under way
  // ends at once.
  constexpr int kSliceMs = 500;
  while (!stop) {
    const std::vector<std::string> changed = connection.WaitForChange(kSliceMs, stop);
    bool touched = false;
    for (const std::string& key : changed) {
      touched = touched || Watched(key, command.path, command.recursive);
    }
    if (!touched) continue;
    std::map<std::string, NamedValues> now =
        WatchedValues(connection, command.path, command.recursive);
    for (const auto& key : seen) {
      const auto found = now.find(key.first);
      WriteChanges(out, json, key.first, &key.second,
                   found != now.end() ? &found->second : nullptr);
    }
    for (const auto& key : now) {
      if (seen.count(key.first) == 0) WriteChanges(out, json, key.first, nullptr, &key.second);
    }
    out.flush();
    seen = std::move(now);
  }
}

// Whether a selector is one of the forms the library's selector language knows: a filter
// "(NAME=VALUE)" ("(key=*)", "(repositoryname=MAIN)"), or text naming a repository word in its
// star form ("d_rep*", "dpc_rep*", "dsr_rep*") or "external". Any other text selects only the
// repository variants, which no one means by a typo.
bool KnownSelector(const std::string& selector) {
  for (const char* word : {"d_rep*", "dpc_rep*", "dsr_rep*", "external"}) {
    if (selector.find(word) != std::string::npos) return true;
  }
  const size_t equals = selector.find('=');
  return selector.size() > 3 && selector.front() == '(' && selector.back() == ')' &&
         equals != std::string::npos && equals > 1 &&
         selector.find_first_of("()", 1) == selector.size() - 1;
}

}  // namespace

void CheckArguments(const Command& command) {
  if (command.selector && !KnownSelector(*command.selector)) {
    throw ToolError("unknown selector '" + *command.selector +
                        "': give a filter (NAME=VALUE) such as (key=*) or (repositoryname=MAIN), "
                        "or d_rep*, dpc_rep*, dsr_rep* or external",
                    kExitUsage);
  }
  const bool setsValue = command.name == "set" || command.name == "add" || command.name == "rm";
  if (setsValue && command.path.empty()) throw ToolError(kRootHoldsNoValues, kExitUsage);
  if (command.name == "rmkey" && command.path.empty()) {
    throw ToolError("refusing to delete the root key", kExitUsage);
  }
  if (command.fallback && command.valueName.empty()) {
    throw ToolError("--default needs the value's NAME", kExitUsage);
  }
  if (command.batch < 0) throw ToolError("--batch needs a number of keys above 0", kExitUsage);
  if (command.name == "import" && command.batch > 0 && !command.alone) {
    throw ToolError("import --batch commits by itself: give it alone, without --then", kExitUsage);
  }
}

Where WhereOf(const Command& command) {
  Where where;
  where.command = command.name;
  // Every other command works on the key at its PATH.
  const bool onKey = command.name != "version" && command.name != "copy" &&
                     command.name != "root" && command.name != "import";
  if (onKey) {
    where.key = command.path.empty() ? "/" : command.path;
  }
  where.value = command.valueName;
  if (command.name == "import") {
    where.file = command.file == "-" ? "standard input" : zor::qel::MaskCredentials(command.file);
  }
  return where;
}

std::string NormalizePath(const std::string& path) {
  std::string normal = path;
  while (!normal.empty() && normal.back() == '/') normal.pop_back();
  if (!normal.empty() && normal.front() != '/') normal.insert(0, "/");
  return normal;
}

void Run(const Command& command, QELConnection& connection, Output& output, Where& where) {
  if (command.name == "tree") {
    Tree(command, connection, output);
  } else if (command.name == "get") {
    Get(command, connection, output);
  } else if (command.name == "set") {
    Set(command, connection);
  } else if (command.name == "add") {
    Add(command, connection);
  } else if (command.name == "rm") {
    Remove(command, connection);
  } else if (command.name == "mkkey") {
    MakeKey(connection, command.path, command.parents);
  } else if (command.name == "rmkey") {
    RemoveKey(command, connection);
  } else if (command.name == "values") {
    Values(command, connection, output);
  } else if (command.name == "root") {
    Root(command, connection, output);
  } else if (command.name == "export") {
    Export(command, connection, output);
  } else if (command.name == "import") {
    Import(command, connection, output, where);
  } else if (command.name == "check") {
    Check(command, connection, output);
  } else {
    throw ToolError("unknown command '" + command.name + "'", kExitUsage);
  }
}

namespace {

// The line (and members) that tell what a copy did.
void CopyCounts(Output& output, const zor::qel::CopyCounts& counts, const std::string& from,
                const std::string& to) {
  output.Counts("copied " + std::to_string(counts.keys) + " keys and " +
                    std::to_string(counts.values) + " values from " + from + " to " + to +
                    (counts.resumed ? " (resumed: " + std::to_string(counts.skipped) +
                                          " keys were already there)"
                                    : ""),
                {{"keys", counts.keys}, {"values", counts.values}, {"skipped", counts.skipped}});
}

}  // namespace

void RunCopy(const Command& command, const std::string& user, Output& output, Where& where) {
  const std::string sourceName = zor::qel::MaskCredentials(command.source);
  const std::string destinationName = zor::qel::MaskCredentials(command.destination);
  where.file = sourceName;
  if (IsEtcdAddress(command.source) && IsEtcdAddress(command.destination)) {
    // Between two clusters (or prefixes) the library copies group by group, holding neither tree.
    zor::qel::CopyOptions options;
    options.batch = command.batch;
    if (command.progress || InteractiveErrors()) {
      options.progress = [](const std::string& line) {
        std::cerr << "qelreg: copy: " << line << '\n';
      };
    }
    const zor::qel::StoreLogin from = RemoteLogin(command.source, user);
    const zor::qel::StoreLogin to = RemoteLogin(command.destination, user);
    CopyCounts(output, zor::qel::CopyEtcdStore(from, to, options), sourceName, destinationName);
    return;
  }
  Store source(command.source, user, false);
  Store destination(command.destination, user, true);
  const QELConnection& from = source.Connection();
  QELConnection& to = destination.Connection();
  if (KeyExists(from, kCopyMarker)) {
    throw ToolError("the source " + sourceName + " is an unfinished copy (it holds the key " +
                    kCopyMarker + "); finish that copy first");
  }
  // Copying replaces nothing: the destination holds no key yet, or the unfinished copy of this
  // same source that this run resumes.
  const bool resuming = KeyExists(to, kCopyMarker);
  if (resuming) {
    const QELRBKey marker(kCopyMarker, to);
    std::vector<std::string> named;
    if (marker.HasValue(kCopyMarkerSource)) named = marker.GetValue(kCopyMarkerSource).Elements();
    const std::string earlier = named.empty() ? "" : named.front();
    if (earlier != sourceName) {
      throw ToolError("the destination " + destinationName + " holds an unfinished copy of " +
                      (earlier.empty() ? "another store" : earlier) +
                      "; only that copy, run again, may finish it");
    }
  } else if (!QELRBKey(to).IsEmpty()) {
    throw ToolError("the destination " + destinationName +
                    " already holds keys; copy writes only into an empty store");
  }
  // The source's keys are counted, and their values checked, before anything is written; each
  // key is then read again when its batch writes it, so only the open transaction's keys are
  // held beside the two stores. A key an earlier run of this copy left identical is skipped.
  size_t count = 0;
  long values = 0;
  long skipped = 0;
  std::vector<char> same;
  for (KeyWalk walk(from); walk.Step(); ++count) {
    const QELRBKey& key = walk.Key();
    RefuseTruncatedValues(key, where);
    const NamedValues named = ReadValues(key, "*");
    values += static_cast<long>(named.size());
    const std::string& path = key.GetKeyPath();
    const bool identical = resuming && KeyExists(to, path) &&
                           ValueMap(ReadValues(QELRBKey(path, to), "*")) == ValueMap(named);
    same.push_back(identical ? 1 : 0);
    skipped += identical ? 1 : 0;
  }
  where.key.clear();
  // A copy in several commits marks its destination unfinished from the first to the last.
  const auto start = [&](bool batched) {
    if (batched && !KeyExists(to, kCopyMarker)) {
      WriteKey(to, kCopyMarker, {{kCopyMarkerSource, {sourceName}}}, where);
    }
  };
  KeyWalk walk(from);
  // Keys come parents first, so each commit leaves a whole tree.
  const auto write = [&](size_t i) {
    if (same[i] != 0) return;
    const QELRBKey& original = walk.At(i);
    const std::string& path = original.GetKeyPath();
    where.key = path;
    const NamedValues named = ReadValues(original, "*");
    if (resuming && KeyExists(to, path)) {
      // A key the source changed since: its values become the source's.
      QELRBKey key(path, to);
      for (const auto& old : ReadValues(key, "*")) {
        const bool kept = std::any_of(named.begin(), named.end(),
                                      [&](const auto& value) { return value.first == old.first; });
        if (!kept) key.DeleteValue(old.first);
      }
    }
    WriteKey(to, path, named, where);
  };
  const auto finish = [&] {
    where.key.clear();
    where.value.clear();
    if (resuming) {
      // Keys an earlier run copied that the source no longer holds, deepest first.
      std::vector<std::string> gone;
      for (KeyWalk left(to); left.Step();) {
        const std::string& path = left.Key().GetKeyPath();
        if (path != kCopyMarker && !KeyExists(from, path)) gone.push_back(path);
      }
      for (auto it = gone.rbegin(); it != gone.rend(); ++it) {
        if (KeyExists(to, *it)) QELRBKey(*it, to).CommitSuicide();
      }
    }
    if (KeyExists(to, kCopyMarker)) QELRBKey(kCopyMarker, to).CommitSuicide();
  };
  CommitInBatches(to, count, {command.batch, true, command.progress, "copy"}, where, start, write,
                  finish);
  CopyCounts(output, {static_cast<long>(count), values, skipped, resuming}, sourceName,
             destinationName);
}

void RunWatch(const Command& command, const StoreOptions& store, bool json, std::ostream& out) {
  // Ctrl-C, SIGINT and SIGTERM end the watch rather than qelreg, and the call then succeeds.
  static volatile std::sig_atomic_t interrupted = 0;
  CatchInterrupts(&interrupted);
  IgnoreBrokenPipe();
  Store login(store, false);
  Watch(command, login.Connection(), json, out, interrupted);
}

void RunVersion(Output& output) {
  std::map<std::string, std::string> records;
  GetVersionsList_QELRB_Key(records);
  // A module's record reads "<<<VER_INFO>>>|NAME|VERSION|BUILD|SOURCE": shown as "VERSION
  // (build BUILD)".
  std::map<std::string, std::string> versions;
  for (const auto& [name, record] : records) {
    std::vector<std::string> fields;
    for (size_t start = 0; start <= record.size();) {
      const size_t bar = std::min(record.find('|', start), record.size());
      fields.push_back(record.substr(start, bar - start));
      start = bar + 1;
    }
    versions[name] = fields.size() >= 4 ? fields[2] + " (build " + fields[3] + ")" : record;
  }
  output.FieldsWithMap({{"qelreg", QELREG_VERSION}}, "modules", versions);
}

}  // namespace qelreg
