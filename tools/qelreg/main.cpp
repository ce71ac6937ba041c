// qelreg: reads and edits a configuration store from the command line through the public
// interface of zor-qel-rb-key. Several commands joined by --then run in one transaction.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_log.h>
#include "commands.h"
#include "output.h"
#include "store.h"

namespace {

constexpr const char* kThen = "--then";
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct GlobalOptions {
  qelreg::StoreOptions store;
  bool json = false;
  bool trace = false;
};

const char* const kFooter =
    "Commands may be joined with --then; all of them then run in one transaction, and a failing "
    "one leaves the store as it was:\n"
    "  qelreg --store s.ini mkkey /App --then set /App color red --then get /App\n"
    "Errors are printed as 'qelreg: COMMAND PATH: MESSAGE (code N)' and give exit status 1 (2 "
    "for wrong arguments).";

// The command-line grammar of one command, filling `command`; with `globals` also the options
// that choose the store and the output, which only the first command of a call may carry.
std::unique_ptr<CLI::App> MakeParser(qelreg::Command& command, GlobalOptions* globals) {
  auto app = std::make_unique<CLI::App>(
      "Reads and edits a zor-qel-rb-key configuration store: a tree of keys holding named "
      "values.",
      "qelreg");
  app->fallthrough();
  app->require_subcommand(1, 1);
  app->footer(kFooter);
  if (globals) {
    app->add_option("--store", globals->store.file, "Local INI store file")->type_name("FILE");
    app->add_option("--remote", globals->store.remote, "Remote store: HOST[/PATH]")
        ->type_name("HOST[/PATH]");
    app->add_option("--user", globals->store.user,
                    "User of the remote store (the password comes from QEL_PASSWORD or is "
                    "asked for on a terminal)")
        ->type_name("USER");
    app->add_flag("--verify", globals->store.verify,
                  "Check the store's language mode and product version at login");
    app->add_flag("--json", globals->json, "Print results and errors as JSON");
    app->add_flag("--trace", globals->trace, "Print the library's trace records on stderr");
  }

  CLI::App* tree = app->add_subcommand("tree", "List the subkeys of a key (the root by default)");
  tree->add_option("PATH", command.path, "Key path, e.g. /A/B");
  tree->add_flag("-r,--recursive", command.recursive, "Every key beneath, not only children");
  tree->add_option("-f,--filter", command.filter, "Subkey selector")
      ->type_name("SELECTOR")
      ->capture_default_str();

  CLI::App* get = app->add_subcommand("get", "Print a value, one element per line, or all values");
  get->add_option("PATH", command.path, "Key path")->required();
  get->add_option("NAME", command.valueName, "Value name (all values when left out)");

  CLI::App* set = app->add_subcommand("set", "Set a value; several VALUEs make a list");
  CLI::App* add = app->add_subcommand("add", "Add elements to a list value");
  CLI::App* rm =
      app->add_subcommand("rm", "Remove a value, or only the given elements of its list");
  for (CLI::App* change : {set, add, rm}) {
    change->add_option("PATH", command.path, "Key path")->required();
    change->add_option("NAME", command.valueName, "Value name")->required();
    CLI::Option* values = change->add_option("VALUE", command.values, "Value elements");
    if (change != rm) values->required();
  }

  CLI::App* mkkey = app->add_subcommand("mkkey", "Create a key and any missing keys above it");
  mkkey->add_option("PATH", command.path, "Key path")->required();

  CLI::App* rmkey = app->add_subcommand("rmkey", "Delete a key and every key beneath it");
  rmkey->add_option("PATH", command.path, "Key path")->required();
  rmkey->add_flag("-y,--yes", command.yes, "Do not ask for confirmation");

  CLI::App* values =
      app->add_subcommand("values", "Print the values whose names match a wildcard pattern");
  values->add_option("PATH", command.path, "Key path")->required();
  values->add_option("PATTERN", command.pattern, "Name pattern")->capture_default_str();

  CLI::App* root = app->add_subcommand("root", "Print the root key of a module");
  root->add_option("MODULE", command.module, "Module name")->required();

  app->add_subcommand("version", "Print the versions of qelreg and the library's modules");
  return app;
}

// Splits the arguments at each --then into the argument lists of single commands.
std::vector<std::vector<std::string>> SplitCommands(int argc, char** argv) {
  std::vector<std::vector<std::string>> parts(1);
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == kThen) {
      parts.emplace_back();
    } else {
      parts.back().emplace_back(argv[i]);
    }
  }
  return parts;
}

// Prints a failure: the details the library logged on the way (such as the line of a malformed
// file), then the error itself, after the command it stopped when there is one.
void PrintError(bool json, const std::string& text, long code, bool hasCode,
                const std::vector<std::string>& details = {},
                const qelreg::Command* command = nullptr) {
  if (json) {
    std::cerr << "{\"error\":" << qelreg::JsonString(text);
    if (hasCode) std::cerr << ",\"code\":" << code;
    if (command) std::cerr << ",\"command\":" << qelreg::JsonString(qelreg::Describe(*command));
    if (!details.empty()) std::cerr << ",\"details\":" << qelreg::JsonArray(details);
    std::cerr << "}\n";
    return;
  }
  for (const std::string& detail : details) std::cerr << "qelreg: " << detail << '\n';
  std::cerr << "qelreg: ";
  if (command) std::cerr << qelreg::Describe(*command) << ": ";
  std::cerr << text;
  if (hasCode) std::cerr << " (code " << code << ")";
  std::cerr << '\n';
}

// Parses every command of the call; returns the exit status when the call ends here (help or
// wrong arguments), -1 when the commands are ready to run.
int Parse(int argc, char** argv, GlobalOptions& globals, std::vector<qelreg::Command>& commands) {
  const std::vector<std::vector<std::string>> parts = SplitCommands(argc, argv);
  commands.resize(parts.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    std::unique_ptr<CLI::App> app = MakeParser(commands[i], i == 0 ? &globals : nullptr);
    std::vector<std::string> reversed(parts[i].rbegin(), parts[i].rend());
    try {
      app->parse(reversed);
    } catch (const CLI::CallForHelp& help) {
      return app->exit(help);
    } catch (const CLI::CallForAllHelp& help) {
      return app->exit(help);
    } catch (const CLI::ParseError& error) {
      PrintError(false, error.what(), 0, false);
      std::cerr << "Run 'qelreg --help' or 'qelreg COMMAND --help' for more information.\n";
      return kExitUsage;
    }
    commands[i].name = app->get_subcommands().front()->get_name();
    commands[i].path = qelreg::NormalizePath(commands[i].path);
  }
  return -1;
}

// Runs the commands on one login; the changes among them in one transaction, committed only
// when every command succeeded. `current` names the command running when a failure leaves.
void RunAll(const GlobalOptions& globals, const std::vector<qelreg::Command>& commands,
            const qelreg::Command*& current) {
  qelreg::Output output(std::cout, globals.json);
  bool needsStore = false;
  bool changes = false;
  for (const qelreg::Command& command : commands) {
    needsStore = needsStore || qelreg::NeedsStore(command);
    changes = changes || qelreg::ChangesStore(command);
  }
  std::optional<QELConnection> connection;
  if (needsStore) connection = qelreg::OpenStore(globals.store);
  if (changes) connection->BeginTransaction();
  for (const qelreg::Command& command : commands) {
    current = &command;
    if (qelreg::NeedsStore(command)) {
      qelreg::Run(command, *connection, output);
    } else {
      qelreg::RunVersion(output);
    }
  }
  current = nullptr;
  if (changes) connection->Commit();
}

}  // namespace

int main(int argc, char** argv) {
  GlobalOptions globals;
  std::vector<qelreg::Command> commands;
  const int parsed = Parse(argc, argv, globals, commands);
  if (parsed >= 0) return parsed;

  // The library logs each error before throwing it. With --trace every record goes to stderr as
  // it comes; otherwise the error records are kept and, if the call fails, those that say more
  // than the thrown error are printed with it.
  std::vector<std::string> logged;
  if (globals.trace) {
    SetTraceEnabled(true);
  } else {
    SetTraceEnabled(false);
    SetLogSink([&logged](const LogRecord& record) {
      if (record.severity >= 3) logged.push_back(record.text);
    });
  }
  const auto details = [&logged](const std::string& text) {
    std::vector<std::string> kept;
    for (const std::string& record : logged) {
      if (record != text && std::find(kept.begin(), kept.end(), record) == kept.end()) {
        kept.push_back(record);
      }
    }
    return kept;
  };

  int status = 0;
  const qelreg::Command* current = nullptr;
  try {
    RunAll(globals, commands, current);
  } catch (const QELError& error) {
    PrintError(globals.json, error.What(), error.Code(), true, details(error.What()), current);
    status = kExitFailure;
  } catch (const std::exception& error) {
    PrintError(globals.json, error.what(), 0, false, details(error.what()), current);
    status = kExitFailure;
  }
  SetLogSink({});
  if (status != 0) return status;
  std::cout.flush();
  if (!std::cout) {
    PrintError(globals.json, "cannot write the output", 0, false);
    return kExitFailure;
  }
  return 0;
}
