// The commands of qelreg, each a short sequence of public library calls.
#include "commands.h"

#include <iostream>
#include <list>
#include <map>

#include <zor-qel-rb-key/qel_rb_iterators.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include <zor-qel-rb-key/qel_rb_root_key.h>
#include <zor-qel-rb-key/qel_rb_value.h>
#include "store.h"

namespace qelreg {
namespace {

QELRBKey OpenKey(const QELConnection& connection, const std::string& path) {
  return path.empty() ? QELRBKey(connection) : QELRBKey(path, connection);
}

QELRBValue MakeValue(const std::vector<std::string>& elements) {
  return elements.size() == 1 ? QELRBValue(elements.front()) : QELRBValue(elements);
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

void Tree(const Command& command, const QELConnection& connection, Output& output) {
  const QELRBKey key = OpenKey(connection, command.path);
  std::vector<std::string> paths;
  for (QELRBConstKeyIterator it(key, command.filter, command.recursive, {});
       it != QELRBConstKeyIterator::EndIterator; ++it) {
    paths.push_back((*it).GetKeyPath());
  }
  output.List(paths);
}

void Get(const Command& command, const QELConnection& connection, Output& output) {
  const QELRBKey key = OpenKey(connection, command.path);
  if (command.valueName.empty()) {
    output.Values(ReadValues(key, "*"));
    return;
  }
  output.List(key.GetValue(command.valueName).Elements());
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

// Creates the key and any missing keys above it; fails when the key itself already exists.
void MakeKey(const Command& command, const QELConnection& connection) {
  if (command.path.empty()) throw ToolError("the root key always exists");
  QELRBKey key(connection);
  size_t start = 1;
  while (true) {
    const size_t slash = command.path.find('/', start);
    const std::string name = command.path.substr(start, slash - start);
    if (slash == std::string::npos) {
      key.CreateSubkey(name);
      return;
    }
    key = key.HasSubkey(name) ? key.GetSubkey(name) : key.CreateSubkey(name);
    start = slash + 1;
  }
}

bool Confirm(const std::string& path) {
  if (!InteractiveInput()) return false;
  std::cerr << "Delete " << path << " and every key beneath it? [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes";
}

void RemoveKey(const Command& command, const QELConnection& connection) {
  if (command.path.empty()) throw ToolError("refusing to delete the root key");
  QELRBKey key = OpenKey(connection, command.path);
  if (!command.yes && !Confirm(command.path)) {
    throw ToolError(InteractiveInput() ? "not confirmed"
                                       : "not confirmed: no terminal to ask on, give --yes");
  }
  key.CommitSuicide();
}

void Values(const Command& command, const QELConnection& connection, Output& output) {
  output.Values(ReadValues(OpenKey(connection, command.path), command.pattern));
}

void Root(const Command& command, const QELConnection& connection, Output& output) {
  const QELRBRootKey key(command.module, connection);
  output.Fields({{"module", command.module}, {"path", key.GetKeyPath()}});
}

}  // namespace

bool ChangesStore(const Command& command) {
  return command.name == "set" || command.name == "add" || command.name == "rm" ||
         command.name == "mkkey" || command.name == "rmkey";
}

bool NeedsStore(const Command& command) { return command.name != "version"; }

std::string Describe(const Command& command) {
  if (command.name == "version") return command.name;
  if (command.name == "root") return command.name + " " + command.module;
  return command.name + " " + (command.path.empty() ? "/" : command.path);
}

std::string NormalizePath(const std::string& path) {
  std::string normal = path;
  while (!normal.empty() && normal.back() == '/') normal.pop_back();
  if (!normal.empty() && normal.front() != '/') normal.insert(0, "/");
  return normal;
}

void Run(const Command& command, const QELConnection& connection, Output& output) {
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
    MakeKey(command, connection);
  } else if (command.name == "rmkey") {
    RemoveKey(command, connection);
  } else if (command.name == "values") {
    Values(command, connection, output);
  } else if (command.name == "root") {
    Root(command, connection, output);
  } else {
    throw ToolError("unknown command " + command.name);
  }
}

void RunVersion(Output& output) {
  std::map<std::string, std::string> versions;
  GetVersionsList_QELRB_Key(versions);
  output.FieldsWithMap({{"qelreg", QELREG_VERSION}}, "modules", versions);
}

}  // namespace qelreg
