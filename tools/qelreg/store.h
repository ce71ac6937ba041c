// Choosing and opening the store qelreg works on: a local INI file or a remote one.
#pragma once

#include <stdexcept>
#include <string>

#include <zor-qel-rb-key/qel_connection.h>

namespace qelreg {

struct StoreOptions {
  std::string file;     // --store: a local INI file
  std::string remote;   // --remote: HOST[/PATH] of a remote store
  std::string user;     // --user: the remote user
  bool verify = false;  // --verify: check the store's language mode and product version
};

// A failure of qelreg's own (not of the library): printed as "qelreg: <text>".
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Logs in to the chosen store. The remote password comes from QEL_PASSWORD or, on a terminal,
// from a prompt without echo. Throws ToolError when the options name no usable store and
// QELError when the library refuses the login.
QELConnection OpenStore(const StoreOptions& options);

// Whether standard input is a terminal a question can be asked on.
bool InteractiveInput();

}  // namespace qelreg
