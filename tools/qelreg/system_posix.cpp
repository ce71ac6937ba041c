// qelreg's operating-system needs on POSIX systems: termios for the hidden password, open(2)
// with O_EXCL for new store files, mkdtemp, and write(2) to standard output.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <signal.h>
#include <algorithm>
#include <cerrno>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <zor-qel-rb-key/qel_log.h>
#include "errors.h"
#include "system.h"

namespace qelreg {

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

bool InteractiveInput() { return isatty(STDIN_FILENO) == 1; }

bool InteractiveErrors() { return isatty(STDERR_FILENO) == 1; }

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

bool CreatePrivateFile(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) return false;
  const int handle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (handle < 0 && errno == EEXIST) return false;
  if (handle < 0) {
    throw ToolError("cannot create the store file " + zor::qel::MaskCredentials(path) + ": " +
                    std::strerror(errno));
  }
  ::close(handle);
  return true;
}

void RemoveIfEmpty(const std::string& path) {
  struct stat status {};
  if (!path.empty() && ::stat(path.c_str(), &status) == 0 && status.st_size == 0) {
    ::unlink(path.c_str());
  }
}

std::string MakePrivateDirectory(const std::string& name) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + name + ".XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw ToolError("cannot make a directory for a private copy of the input (" + pattern +
                    "): " + std::strerror(errno));
  }
  return pattern;
}

bool KeepStandardFilesOpen() {
  bool outputClosed = false;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) outputClosed = true;
    ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
  }
  return outputClosed;
}

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

int WriteStandardOutput(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written < 0 ? errno : EIO;
    done += static_cast<size_t>(written);
  }
  return 0;
}

void CatchInterrupts(volatile std::sig_atomic_t* flag) {
  static volatile std::sig_atomic_t* caught = nullptr;
  caught = flag;
  struct sigaction action = {};
  action.sa_handler = [](int) { *caught = 1; };
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace qelreg
