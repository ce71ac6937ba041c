// Opening the store: connection type, login arguments and the password prompt.
#include "store.h"

#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include <zor-qel-rb-key/qel_log.h>

namespace qelreg {
namespace {

// Reads one line from the terminal on standard input with echo turned off.
std::string ReadHidden(const std::string& prompt) {
  std::cerr << prompt << std::flush;
  termios saved{};
  const bool restore = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string line;
  const bool read = static_cast<bool>(std::getline(std::cin, line));
  if (restore) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  std::cerr << '\n';
  if (!read) throw ToolError("no password given");
  return line;
}

std::string RemotePassword(const StoreOptions& options) {
  if (const char* password = std::getenv("QEL_PASSWORD")) return password;
  if (!InteractiveInput()) {
    throw ToolError("no password for " + options.user +
                    ": set QEL_PASSWORD or run qelreg on a terminal");
  }
  return ReadHidden("Password for " + options.user + "@" + MaskCredentials(options.remote) + ": ");
}

}  // namespace

bool InteractiveInput() { return isatty(STDIN_FILENO) == 1; }

QELConnection OpenStore(const StoreOptions& options) {
  if (!options.file.empty() && !options.remote.empty()) {
    throw ToolError("give either --store or --remote, not both");
  }
  if (options.file.empty() && options.remote.empty()) {
    throw ToolError("no store given: use --store FILE or --remote HOST[/PATH] --user USER");
  }
  if (!options.remote.empty() && options.user.empty()) {
    throw ToolError("--remote needs --user");
  }
  const bool remote = !options.remote.empty();
  QELConnection connection(remote ? QELConnection::RINI : QELConnection::INI);
  connection.SetCheckValidity(options.verify);
  if (remote) {
    connection.Login(options.remote, 0, options.user, RemotePassword(options));
  } else {
    connection.Login(options.file, 0, options.user, "");
  }
  return connection;
}

}  // namespace qelreg
