// qelreg: reads and edits a configuration store from the command line through the public
// interface of zor-qel-rb-key. Several commands joined by --then run in one transaction.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_log.h>
#include "commands.h"
#include "errors.h"
#include "logging.h"
#include "output.h"
#include "store.h"
#include "system.h"

namespace {

using qelreg::Command;

constexpr const char* kThen = "--then";
constexpr const char* kEndOfOptions = "--";
// Marks an argument that follows "--" so that the parser takes it as a plain argument even when
// it starts with '-' (the parser itself honours "--" only before a list's first element), and an
// argument that starts with '[', which the parser would split as a list ("[a,b]"): a value is
// stored exactly as typed, and a list is given as several arguments. Every argument that starts
// with the mark gets one more, and one is taken off every parsed text.
constexpr char kLiteral = '\x01';

const char* const kCommands[] = {"tree",   "get",   "set",    "add",   "rm",
                                 "mkkey",  "rmkey", "values", "root",  "export",
                                 "import", "copy",  "watch",  "check", "version"};

struct GlobalOptions {
  qelreg::StoreOptions store;
  bool json = false;
  bool trace = false;
};

const char* const kFooter =
    "Commands may be joined with --then; all of them then run in one transaction, and a failing "
    "one leaves the store as it was:\n"
    "  qelreg --store s.ini mkkey /App --then set /App color red --then get /App\n"
    "After -- every argument is a plain one (--then too), to the end of the line:\n"
    "  qelreg --store s.ini set /App flags -- --verbose\n"
    "Exit status: 0 done, 1 failed (the store is unchanged), 2 wrong arguments, 3 a key or value "
    "not found, 4 changes committed but the output could not be written.";

// The command-line grammar of one command, filling `command`; with `globals` also the options
// that choose the store and the output, which only the first command of a call may carry.
std::unique_ptr<CLI::App> MakeParser(Command& command, GlobalOptions* globals) {
  auto app = std::make_unique<CLI::App>(
      "Reads and edits a zor-qel-rb-key configuration store: a tree of keys holding named "
      "values.",
      "qelreg");
  app->fallthrough();
  // Key paths start with "/": never Windows-style options, on Windows either. The subcommands
  // take this from the app.
  app->allow_windows_style_options(false);
  app->require_subcommand(1, 1);
  app->footer(kFooter);
  if (globals) {
    app->set_version_flag("--version", std::string("qelreg ") + QELREG_VERSION);
    app->add_option("--store", globals->store.file,
                    "Local INI store file; - reads standard input; layers:A|B|C a stack of "
                    "stores, bottom first (default: QEL_STORE)")
        ->type_name("FILE");
    app->add_option("--layer", globals->store.layer,
                    "Work on layer N (1 the bottom) of the --store stack alone")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    app->add_option("--remote", globals->store.remote,
                    "Remote store: HOST[/PATH], or an https://, http://, etcd:// or etcds:// "
                    "address (default: QEL_STORE when it holds one)")
        ->type_name("HOST[/PATH]");
    app->add_option("--user", globals->store.user,
                    "User of the remote store (the password comes from QEL_PASSWORD or is "
                    "asked for on a terminal); an etcd cluster without authentication needs none")
        ->type_name("USER");
    app->add_flag("--create", globals->store.create,
                  "Create a missing --store FILE (mode 0600) when the call changes the store");
    app->add_flag("--verify", globals->store.verify,
                  "Check the store's language mode and product version at login");
    app->add_flag("--json", globals->json, "Print results and errors as JSON");
    app->add_flag("--trace", globals->trace,
                  "Write the library's trace records to stderr (or to QEL_LOG_FILE)");
  }

  CLI::App* tree =
      app->add_subcommand("tree", "List every key beneath a key (the root by default)");
  tree->add_option("PATH", command.path, "Key path, e.g. /A/B");
  CLI::Option* children =
      tree->add_flag("-c,--children", command.children, "Only the key's own subkeys");
  tree->add_flag("-r,--recursive", command.recursive, "Every key beneath (the default)")
      ->excludes(children);
  tree->add_flag("--values", command.showValues, "Print each key's values beneath it");
  tree->add_flag("--show-origin", command.showOrigin,
                 "Print the values, each led by the FILE:LINE (or address) that gives it");
  tree->add_option("-s,--select,-f,--filter", command.selector,
                   "Only the subkeys a selector chooses, e.g. '(key=*)' or "
                   "'(repositoryname=MAIN)'")
      ->type_name("SELECTOR");

  CLI::App* get = app->add_subcommand("get", "Print a value, one element per line, or all values");
  get->add_option("PATH", command.path, "Key path")->required();
  get->add_option("NAME", command.valueName, "Value name (all values when left out)");
  get->add_flag("--show-origin", command.showOrigin,
                "Lead each line by the FILE:LINE (or address) that gives the value");
  get->add_option("-d,--default", command.fallback,
                  "Print this when the key or the value is missing")
      ->type_name("VALUE");

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
  set->add_flag("-p,--parents", command.parents,
                "Create the key, and any missing key above it, when it does not exist");

  CLI::App* mkkey = app->add_subcommand("mkkey", "Create a key");
  mkkey->add_option("PATH", command.path, "Key path")->required();
  mkkey->add_flag("-p,--parents", command.parents,
                  "Create missing keys above it too; an existing key is no error");

  CLI::App* rmkey = app->add_subcommand("rmkey", "Delete a key and every key beneath it");
  rmkey->add_option("PATH", command.path, "Key path")->required();
  rmkey->add_flag("-y,--yes", command.yes, "Do not ask for confirmation");

  CLI::App* values =
      app->add_subcommand("values", "Print the values whose names match a wildcard pattern");
  values->add_option("PATH", command.path, "Key path")->required();
  values->add_option("PATTERN", command.pattern, "Name pattern")->capture_default_str();

  CLI::App* root = app->add_subcommand("root", "Print the root key of a module");
  root->add_option("MODULE", command.module, "Module name")->required();

  CLI::App* exportKeys = app->add_subcommand(
      "export", "Print a key and every key beneath it with their values, as INI text or JSON");
  exportKeys->add_option("PATH", command.path, "Key path (the whole store by default)");

  CLI::App* check = app->add_subcommand(
      "check", "List the values whose stored text holds bytes after its last 0x1B separator");
  check->add_option("PATH", command.path, "Key path (the whole store by default)");

  CLI::App* import = app->add_subcommand(
      "import", "Merge an INI file (such as an export) into the store; deletes nothing");
  import->add_option("FILE", command.file, "INI file; - reads standard input")->required();
  import
      ->add_option("--batch", command.batch,
                   "Commit every N keys instead of once at the end (alone in the call only)")
      ->type_name("N");
  import->add_flag("--progress", command.progress,
                   "Report each commit on standard error (done anyway when it is a terminal)");

  CLI::App* watch = app->add_subcommand(
      "watch", "Print each change other writers make to a key's values, until interrupted");
  watch->add_option("PATH", command.path, "Key path")->required();
  watch->add_flag("-r,--recursive", command.recursive, "Every key beneath it too");

  CLI::App* copy = app->add_subcommand(
      "copy", "Copy every key of a store, with its values, into an empty store");
  copy->add_option("SRC", command.source,
                   "The store to read: a file, or an https://, http://, etcd:// or etcds:// "
                   "address")
      ->required();
  copy->add_option("DST", command.destination,
                   "The store to write, which must hold no key (a missing file is made)")
      ->required();
  copy->add_option("--batch", command.batch,
                   "Commit every N keys instead of once at the end (for stores whose "
                   "transactions are limited in size)")
      ->type_name("N");
  copy->add_flag("--progress", command.progress,
                 "Report each commit on standard error (done anyway when it is a terminal)");

  app->add_subcommand("version", "Print the versions of qelreg and the library's modules");
  return app;
}

std::string Mark(const std::string& arg) { return kLiteral + arg; }

void Unmark(std::string& text) {
  if (!text.empty() && text.front() == kLiteral) text.erase(0, 1);
}

void Unmark(Command& command) {
  for (std::string* text : {&command.path, &command.valueName, &command.pattern, &command.module,
                            &command.file, &command.source, &command.destination}) {
    Unmark(*text);
  }
  for (std::string& value : command.values) Unmark(value);
  if (command.selector) Unmark(*command.selector);
  if (command.fallback) Unmark(*command.fallback);
}

void Unmark(GlobalOptions& globals) {
  for (std::string* text : {&globals.store.file, &globals.store.remote, &globals.store.user}) {
    Unmark(*text);
  }
}

// Splits the arguments at each --then into the argument lists of single commands, marking those
// the parser must take as they are; after "--" every argument belongs to the command before it.
std::vector<std::vector<std::string>> SplitCommands(const std::vector<std::string>& args) {
  std::vector<std::vector<std::string>> parts(1);
  bool literal = false;
  for (const std::string& arg : args) {
    if (literal || (!arg.empty() && (arg.front() == kLiteral || arg.front() == '['))) {
      parts.back().push_back(Mark(arg));
    } else if (arg == kEndOfOptions) {
      literal = true;
    } else if (arg == kThen) {
      parts.emplace_back();
    } else {
      parts.back().push_back(arg);
    }
  }
  return parts;
}

// What a call without a known command names in the command's place: "unknown command 'frob'" or
// "no command given". Skips options, and the arguments of those that take one.
std::string MissingCommand(const std::vector<std::string>& part) {
  for (size_t i = 0; i < part.size(); ++i) {
    const std::string& arg = part[i];
    if (arg == "--store" || arg == "--remote" || arg == "--user") {
      ++i;
    } else if (arg.empty() || arg.front() != '-') {
      std::string word = arg;
      Unmark(word);
      const bool known =
          std::find(std::begin(kCommands), std::end(kCommands), word) != std::end(kCommands);
      return known ? "" : "unknown command '" + word + "'";
    }
  }
  return "no command given";
}

void ReportUsage(bool json, std::string text, const std::string& command) {
  text.erase(std::remove(text.begin(), text.end(), kLiteral), text.end());
  qelreg::Failure failure;
  failure.message = text + " (see 'qelreg " + (command.empty() ? "" : command + " ") + "--help')";
  failure.status = qelreg::kExitUsage;
  failure.where.command = command;
  qelreg::Report(failure, json, std::cerr);
}

// Parses every command of the call; returns the exit status when the call ends here (help,
// version or wrong arguments), -1 when the commands are ready to run.
int Parse(int argc, char** argv, GlobalOptions& globals, std::vector<Command>& commands) {
  const std::vector<std::vector<std::string>> parts =
      SplitCommands(qelreg::CommandLineArguments(argc, argv));
  // Wrong arguments are reported as JSON too when the call asked for it.
  const bool json = std::find(parts[0].begin(), parts[0].end(), "--json") != parts[0].end();
  commands.resize(parts.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    std::unique_ptr<CLI::App> app = MakeParser(commands[i], i == 0 ? &globals : nullptr);
    std::vector<std::string> reversed(parts[i].rbegin(), parts[i].rend());
    try {
      app->parse(reversed);
    } catch (const CLI::Success& done) {  // --help, --version
      return app->exit(done);
    } catch (const CLI::ParseError& error) {
      const std::vector<CLI::App*> named = app->get_subcommands();
      const std::string command = named.empty() ? "" : named.front()->get_name();
      // The parser says only that a command is required; say which word is none.
      const bool noCommand = named.empty() && dynamic_cast<const CLI::RequiredError*>(&error);
      const std::string missing = noCommand ? MissingCommand(parts[i]) : "";
      ReportUsage(json, missing.empty() ? error.what() : missing, command);
      return qelreg::kExitUsage;
    }
    Command& command = commands[i];
    command.name = app->get_subcommands().front()->get_name();
    Unmark(command);
    if (i == 0) Unmark(globals);
    command.path = qelreg::NormalizePath(command.path);
    command.alone = parts.size() == 1;
    try {
      qelreg::CheckArguments(command);
      // copy names both its stores and runs alone.
      if (command.showOrigin && json) {
        throw qelreg::ToolError("--show-origin prints text, not JSON", qelreg::kExitUsage);
      }
      if (command.name == "copy" && parts.size() > 1) {
        throw qelreg::ToolError("copy cannot be joined with other commands", qelreg::kExitUsage);
      }
      if (command.name == "copy" &&
          (!globals.store.file.empty() || !globals.store.remote.empty())) {
        throw qelreg::ToolError("copy names its stores itself: give no --store or --remote",
                                qelreg::kExitUsage);
      }
    } catch (const qelreg::ToolError& error) {
      ReportUsage(json, error.what(), command.name);
      return qelreg::kExitUsage;
    }
  }
  // watch streams until interrupted and so runs alone too; this is checked once every command is
  // parsed, so that wrong arguments of a command after it are reported first.
  const bool watches = std::any_of(commands.begin(), commands.end(),
                                   [](const Command& command) { return command.name == "watch"; });
  if (watches && commands.size() > 1) {
    ReportUsage(globals.json, "watch runs alone, without --then", "watch");
    return qelreg::kExitUsage;
  }
  if (commands.front().name != "copy") qelreg::StoreFromEnvironment(globals.store);
  return -1;
}

// Runs the commands of one call on one login, the changes among them in one transaction that is
// committed only when every command succeeded; reports a failure and returns its exit status.
// copy and watch, which run alone, log in to their stores themselves.
class Call {
 public:
  Call(const GlobalOptions& globals, const std::vector<Command>& commands)
      : globals_(globals), commands_(commands) {}

  int Run(std::ostream& results) {
    qelreg::Output output(results, globals_.json);
    bool needsStore = false;
    for (const Command& command : commands_) {
      needsStore = needsStore || qelreg::NeedsStore(command);
      changes_ = changes_ || qelreg::ChangesStore(command);
    }
    if (needsStore) storeName_ = qelreg::StoreName(globals_.store);
    std::optional<qelreg::Store> store;
    qelreg::Where where;
    try {
      if (needsStore) store.emplace(globals_.store, changes_);
      if (changes_) store->Connection().BeginTransaction();
      for (const Command& command : commands_) {
        where = qelreg::WhereOf(command);
        if (qelreg::NeedsStore(command)) {
          qelreg::Run(command, store->Connection(), output, where);
        } else if (command.name == "copy") {
          storeName_ = zor::qel::MaskCredentials(command.destination);
          qelreg::RunCopy(command, globals_.store.user, output, where);
          copied_ = true;
        } else if (command.name == "watch") {
          // Writes each change as it comes, straight to standard output, until interrupted.
          storeName_ = qelreg::StoreName(globals_.store);
          qelreg::RunWatch(command, globals_.store, globals_.json, std::cout);
        } else {
          qelreg::RunVersion(output);
        }
      }
      where = qelreg::Where();
      if (changes_) store->Connection().Commit();
      return qelreg::kExitOk;
    } catch (const qelreg::ToolError& error) {
      qelreg::Failure failure;
      failure.message = error.what();
      failure.status = error.Status();
      return Fail(failure, where);
    } catch (const QELError& error) {
      return Fail(qelreg::FromLibrary(error, !where.command.empty()), where);
    } catch (const std::exception& error) {
      qelreg::Failure failure;
      failure.message = error.what();
      return Fail(failure, where);
    }
  }

  bool Changed() const { return changes_ || copied_; }
  const std::string& StoreName() const { return storeName_; }

 private:
  int Fail(qelreg::Failure failure, const qelreg::Where& where) {
    failure.where = where;
    // A usage error is about the arguments, not the store.
    if (failure.status != qelreg::kExitUsage) failure.store = storeName_;
    qelreg::Report(failure, globals_.json, std::cerr);
    return failure.status;
  }

  const GlobalOptions& globals_;
  const std::vector<Command>& commands_;
  bool changes_ = false;
  bool copied_ = false;  // a copy wrote its destination
  std::string storeName_;
};

}  // namespace

int main(int argc, char** argv) {
  const bool outputClosed = qelreg::KeepStandardFilesOpen();
  GlobalOptions globals;
  std::vector<Command> commands;
  const int parsed = Parse(argc, argv, globals, commands);
  if (parsed >= 0) return parsed;

  // The results are held back until the changes are committed, so that a failing call prints
  // none, and a committed one can say so when its results cannot be written (watch, which
  // changes nothing, writes its own as they come).
  std::ostringstream results;
  qelreg::LogCapture log(globals.trace);
  Call call(globals, commands);
  const int status = call.Run(results);
  if (status != qelreg::kExitOk || results.str().empty()) return status;

  // A closed pipe then fails the write instead of ending qelreg unseen.
  if (call.Changed()) qelreg::IgnoreBrokenPipe();
  const int error = outputClosed ? EBADF : qelreg::WriteStandardOutput(results.str());
  if (error == 0) return qelreg::kExitOk;
  qelreg::Failure failure;
  failure.store = call.StoreName();
  if (call.Changed()) {
    failure.message =
        std::string("the changes were committed, but the output could not be written: ") +
        std::strerror(error);
    failure.status = qelreg::kExitOutputLost;
  } else {
    failure.message = std::string("cannot write the output: ") + std::strerror(error);
  }
  qelreg::Report(failure, globals.json, std::cerr);
  return failure.status;
}
