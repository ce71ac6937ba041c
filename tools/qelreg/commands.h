// The commands of qelreg and how each one runs on an open store.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>

#include "errors.h"
#include "output.h"
#include "store.h"

namespace qelreg {

// One command of the call as parsed from the command line.
struct Command {
  std::string name;                     // "tree", "get", "set", ...
  std::string path;                     // the key the command works on, "" for the root
  std::string valueName;                // NAME of get, set, add, rm
  std::vector<std::string> values;      // VALUE... of set, add, rm
  std::string pattern = "*";            // PATTERN of values
  std::optional<std::string> selector;  // --select of tree
  bool recursive = false;               // --recursive of tree (the default, kept for old calls)
  bool children = false;                // --children of tree
  bool showValues = false;              // --values of tree
  bool showOrigin = false;              // --show-origin of tree and get
  std::optional<std::string> fallback;  // --default of get
  bool parents = false;                 // --parents of mkkey
  bool yes = false;                     // --yes of rmkey
  std::string module;                   // MODULE of root
  std::string file;                     // FILE of import, "-" for standard input
  std::string source;                   // SRC of copy: a file, or a WebDAV or etcd address
  std::string destination;              // DST of copy
  long batch = 0;         // --batch of import and copy: keys per commit, 0 for one commit
  bool progress = false;  // --progress of import and copy
  bool alone = false;     // the call's only command: import may then commit by itself
};

// Whether the command changes the store (and so belongs in the call's transaction).
bool ChangesStore(const Command& command);
// Whether the command runs on the store the call logs in to for all its commands (--store or
// --remote); copy and watch log in themselves, version needs no store.
bool NeedsStore(const Command& command);

// Refuses, with a usage error, what no store could accept: values of the root key, deleting it.
void CheckArguments(const Command& command);

// What a failure of the command is about, before it runs.
Where WhereOf(const Command& command);

// Runs one command; library failures come out as QELError, qelreg's own as ToolError. `where` is
// kept up to date with the key and value a long command (import) is working on.
void Run(const Command& command, QELConnection& connection, Output& output, Where& where);
// The one command that needs no store: the versions of qelreg and of the library's modules.
void RunVersion(Output& output);
// The command that opens two stores of its own: copies every key of SRC, with its values, into
// the empty store DST, logging in to remote ones as `user`.
void RunCopy(const Command& command, const std::string& user, Output& output, Where& where);

// The command that follows a store: logs in to the one `store` names, outside any transaction,
// and writes one line (or JSON object) to `out` for each change of a value of the key at
// command.path, and of every key beneath it with --recursive, as other writers make it, and for
// each such key that comes or goes; flushes after each. Returns when qelreg is interrupted.
void RunWatch(const Command& command, const StoreOptions& store, bool json, std::ostream& out);

// The path as the library spells it: "" for the root ("" or "/"), no trailing "/", a leading
// "/" added when missing.
std::string NormalizePath(const std::string& path);

}  // namespace qelreg
