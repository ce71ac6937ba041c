// The commands of qelreg, each a short sequence of public library calls.
#include "commands.h"
#include <zor-qel-rb-key/qel_layers.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <utility>

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

// The key a copy in batches writes into its destination first and deletes with its last commit,
// naming the source in its value "source": while it is there, the copy is unfinished.
const char* const kCopyMarker = "/qelreg-copy-in-progress";
const char* const kCopySource = "source";

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
// Each value's elements are freed once the value is made from them, so that a large value lies in
// memory once fewer while the library stores it.
bool WriteKey(const QELConnection& connection, const std::string& path, NamedValues values,
              Where& where) {
  where.key = path;
  where.value.clear();
  const bool created = MakeKey(connection, path, true);
  QELRBKey key(path, connection);
  for (auto& [name, elements] : values) {
    where.value = name;
    const QELRBValue value = MakeValue(elements);
    std::vector<std::string>().swap(elements);
    key.SetValue(name, value);
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

// Refuses a source holding a value whose stored text has bytes after its last 0x1B: it reads as
// fewer elements than it holds, so copying it would drop them. Code 168 names the value.
void RefuseTruncatedValues(const QELConnection& source, const KeyValues& keys, Where& where) {
  for (const auto& entry : keys) {
    const QELRBKey key(entry.first, source);
    const std::list<std::string> names = key.GetTruncatedValues();
    if (names.empty()) continue;
    where.key = entry.first;
    where.value = names.front();
    key.RefuseTruncatedValues();
  }
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

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw ToolError("cannot read " + zor::qel::MaskCredentials(path));
  return bytes;
}

// Merges the keys and values of an INI file into the store: missing keys are created, values are
// set; nothing is deleted. The library reads the file, so it is read exactly as a store would be.
void Import(const Command& command, const QELConnection& connection, Output& output, Where& where) {
  std::unique_ptr<PrivateCopy> copy;
  if (command.file == "-") copy = std::make_unique<PrivateCopy>();
  const std::string file = copy ? copy->Path() : command.file;
  KeyValues keys;
  {
    // The source store, its file and its decoded values, is gone before the target is written:
    // only the values read from it stay in memory beside the target's copies.
    QELConnection source(QELConnection::INI);
    source.Login(file, 0, "", "");
    CheckKeyGroups(ReadWholeFile(file));
    keys = KeysWithValues(QELRBKey(source), false, true, source);
    RefuseTruncatedValues(source, keys, where);
  }

  long created = 0;
  long values = 0;
  for (auto& [path, named] : keys) {
    values += static_cast<long>(named.size());
    if (WriteKey(connection, path, std::move(named), where)) ++created;
  }
  where.key.clear();
  where.value.clear();
  const long count = static_cast<long>(keys.size());
  output.Counts("imported " + std::to_string(count) + " keys (" + std::to_string(created) +
                    " new) and " + std::to_string(values) + " values from " + where.file,
                {{"keys", count}, {"created", created}, {"values", values}});
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
           const volatile int& stop) {
  std::map<std::string, NamedValues> seen =
      WatchedValues(connection, command.path, command.recursive);
  // Short waits, so that an interrupt ends the watch within half a second.
  constexpr int kSliceMs = 500;
  while (!stop) {
    const std::vector<std::string> changed = connection.WaitForChange(kSliceMs);
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

}  // namespace

void CheckArguments(const Command& command) {
  const bool setsValue = command.name == "set" || command.name == "add" || command.name == "rm";
  if (setsValue && command.path.empty()) throw ToolError(kRootHoldsNoValues, kExitUsage);
  if (command.name == "rmkey" && command.path.empty()) {
    throw ToolError("refusing to delete the root key", kExitUsage);
  }
  if (command.fallback && command.valueName.empty()) {
    throw ToolError("--default needs the value's NAME", kExitUsage);
  }
  if (command.name == "copy" && command.batch < 0) {
    throw ToolError("--batch needs a number of keys above 0", kExitUsage);
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

void RunCopy(const Command& command, const std::string& user, Output& output, Where& where) {
  const std::string sourceName = zor::qel::MaskCredentials(command.source);
  const std::string destinationName = zor::qel::MaskCredentials(command.destination);
  where.file = sourceName;
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
    if (marker.HasValue(kCopySource)) named = marker.GetValue(kCopySource).Elements();
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
  // What an earlier run of this copy left, to be skipped where it is already identical.
  std::map<std::string, std::map<std::string, std::vector<std::string>>> present;
  if (resuming) {
    for (const auto& [path, named] : KeysWithValues(QELRBKey(to), false, true, to)) {
      present[path] = {named.begin(), named.end()};
    }
    present.erase(kCopyMarker);
  }
  KeyValues keys = KeysWithValues(QELRBKey(from), false, true, from);
  RefuseTruncatedValues(from, keys, where);
  long values = 0;
  long skipped = 0;
  long uncommitted = 0;
  to.BeginTransaction();
  // A copy in batches marks its destination unfinished from the first commit to the last.
  if (command.batch > 0 && !resuming) {
    WriteKey(to, kCopyMarker, {{kCopySource, {sourceName}}}, where);
  }
  for (auto& [path, named] : keys) {
    values += static_cast<long>(named.size());
    const auto found = present.find(path);
    if (found != present.end()) {
      const std::map<std::string, std::vector<std::string>> wanted(named.begin(), named.end());
      const bool same = found->second == wanted;
      if (!same) {
        // A key the source changed since: its values become the source's.
        QELRBKey key(path, to);
        for (const auto& old : found->second) {
          if (wanted.count(old.first) == 0) key.DeleteValue(old.first);
        }
      }
      present.erase(found);
      if (same) {
        ++skipped;
        continue;
      }
    }
    WriteKey(to, path, std::move(named), where);
    // Keys come parents first, so each commit leaves a whole tree.
    if (command.batch > 0 && ++uncommitted == command.batch) {
      where.value.clear();
      to.Commit();
      to.BeginTransaction();
      uncommitted = 0;
    }
  }
  where.key.clear();
  where.value.clear();
  // Keys an earlier run copied that the source no longer holds, deepest first.
  for (auto it = present.rbegin(); it != present.rend(); ++it) {
    if (KeyExists(to, it->first)) QELRBKey(it->first, to).CommitSuicide();
  }
  if (command.batch > 0 || resuming) QELRBKey(kCopyMarker, to).CommitSuicide();
  to.Commit();
  const long count = static_cast<long>(keys.size());
  output.Counts(
      "copied " + std::to_string(count) + " keys and " + std::to_string(values) + " values from " +
          sourceName + " to " + destinationName +
          (resuming ? " (resumed: " + std::to_string(skipped) + " keys were already there)" : ""),
      {{"keys", count}, {"values", values}, {"skipped", skipped}});
}

void RunWatch(const Command& command, const StoreOptions& store, bool json, std::ostream& out) {
  // Ctrl-C, SIGINT and SIGTERM end the watch rather than qelreg, and the call then succeeds.
  static volatile int interrupted = 0;
  CatchInterrupts(&interrupted);
  IgnoreBrokenPipe();
  Store login(store, false);
  Watch(command, login.Connection(), json, out, interrupted);
}

void RunVersion(Output& output) {
  std::map<std::string, std::string> versions;
  GetVersionsList_QELRB_Key(versions);
  output.FieldsWithMap({{"qelreg", QELREG_VERSION}}, "modules", versions);
}

}  // namespace qelreg
