// The commands of qelreg and how each one runs on an open store.
#pragma once

#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
#include "output.h"

namespace qelreg {

// One command of the call as parsed from the command line.
struct Command {
  std::string name;                 // "tree", "get", "set", ...
  std::string path;                 // the key the command works on
  std::string valueName;            // NAME of get, set, add, rm
  std::vector<std::string> values;  // VALUE... of set, add, rm
  std::string pattern = "*";        // PATTERN of values
  std::string filter = "(key=*)";   // --filter of tree
  bool recursive = false;           // --recursive of tree
  bool yes = false;                 // --yes of rmkey
  std::string module;               // MODULE of root
};

// Whether the command changes the store (and so belongs in the call's transaction).
bool ChangesStore(const Command& command);
// Whether the command needs a store at all.
bool NeedsStore(const Command& command);

// The command as a failure message names it: "get /A/B", "root Gateway".
std::string Describe(const Command& command);

// Runs one command; library failures come out as QELError, qelreg's own as ToolError.
void Run(const Command& command, const QELConnection& connection, Output& output);
// The one command that needs no store: the versions of qelreg and of the library's modules.
void RunVersion(Output& output);

// The path as the library spells it: "" for the root ("" or "/"), no trailing "/", a leading
// "/" added when missing.
std::string NormalizePath(const std::string& path);

}  // namespace qelreg
