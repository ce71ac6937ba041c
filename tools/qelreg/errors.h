// How qelreg ends a call that fails: its exit statuses, and the one place that turns a failure
// into a line a person can act on or into a JSON object of one fixed shape.
#pragma once

#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>

namespace qelreg {

struct StoreOptions;

// The exit statuses, as the manual page lists them.
enum ExitStatus : int {
  kExitOk = 0,
  kExitFailure = 1,     // the store or the library refused the work; the store is unchanged
  kExitUsage = 2,       // wrong arguments
  kExitNotFound = 3,    // a key or a value the call names does not exist
  kExitOutputLost = 4,  // the changes were committed, but the output could not be written
};

// A failure of qelreg's own, not of the library, with the exit status it ends the call with.
class ToolError : public std::runtime_error {
 public:
  explicit ToolError(const std::string& text, int status = kExitFailure)
      : std::runtime_error(text), status_(status) {}
  int Status() const { return status_; }

 private:
  int status_;
};

// What a failure is about; a field stays empty when it does not apply.
struct Where {
  std::string command;  // "get", "import", ...; empty at the login and the commit
  std::string key;      // the key path, "/" for the root
  std::string value;    // the value name
  std::string file;     // the file import reads
};

struct Failure {
  std::string message;
  std::optional<long> code;  // the library's error code
  int status = kExitFailure;
  std::string store;  // the store as StoreName gives it; empty before one is chosen
  Where where;
};

// The store as failures name it: the file as given, "standard input" for "-", or the remote
// address; a password in an address shows as "***".
std::string StoreName(const StoreOptions& options);

// A library error as one line, with the exit status it ends the call with: "not found" when a
// command met a missing key or value (codes 158 and 160), else "failure". A failed login (whose
// text carries a time stamp) is told by its cause.
Failure FromLibrary(const QELError& error, bool inCommand);

// Prints `failure` on `err`: "qelreg: COMMAND: store S, file F, key K, value V: MESSAGE (code N)"
// on one line, or with `json` {"error":{"message":..,"code":..,"exit":..,"command":..,"store":..,
// "file":..,"key":..,"value":..}}, every member present (null when it does not apply).
void Report(const Failure& failure, bool json, std::ostream& err);

}  // namespace qelreg
