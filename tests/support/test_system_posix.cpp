// The tests' system helpers on POSIX systems: setenv, mkdtemp, a free loopback port, getrusage,
// and children made with fork and exec of /proc/self/exe.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "test_system.h"
#include "test_system_internal.h"

struct ChildProcess::Process {
  pid_t pid = -1;
  int status = -1;  // once reaped
};

namespace {

int StatusOf(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

// Runs `args` as the program `program` in the child of a fork; never returns.
[[noreturn]] void Exec(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  ::_exit(127);
}

}  // namespace

void SetEnvironment(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}

void UnsetEnvironment(const std::string& name) { ::unsetenv(name.c_str()); }

std::string MakeScratchDirectory(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  return ::mkdtemp(&pattern[0]) != nullptr ? pattern : "";
}

int FreeLoopbackPort() {
  // Port 0 makes the kernel pick a free one; the socket is closed again for the server to take it.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  auto* any = reinterpret_cast<sockaddr*>(&address);
  if (fd < 0 || ::bind(fd, any, length) != 0 || ::getsockname(fd, any, &length) != 0) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("no free loopback port: " + std::string(std::strerror(error)));
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

int ListenOnLoopback(int& port, const std::string& who) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  auto* any = reinterpret_cast<sockaddr*>(&address);
  if (fd < 0 || ::bind(fd, any, size) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, any, &size) != 0) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    throw std::runtime_error(who + " cannot listen: " + std::strerror(error));
  }
  port = ntohs(address.sin_port);
  return fd;
}

uint64_t PeakMemoryBytes() {
  // On Linux the peak of getrusage outlives execve, so a child forked from a large parent would
  // start at the parent's peak; VmHWM belongs to the current image alone.
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;
}

bool RunningAsSuperuser() { return ::geteuid() == 0; }

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::string& in, const std::string& out, const std::string& err) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    const int input = ::open(in.empty() ? "/dev/null" : in.c_str(), O_RDONLY);
    const int output = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int error = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (input < 0 || output < 0 || error < 0) ::_exit(127);
    ::dup2(input, 0);
    ::dup2(output, 1);
    ::dup2(error, 2);
    Exec(program, args);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ChildProcess::ChildProcess(const std::string& role, const std::vector<std::string>& args,
                           bool wait_ready)
    : process_(std::make_unique<Process>()) {
  const std::string ready = wait_ready ? NewReadyFile() : "";
  const std::string joined = JoinChildArguments(args);
  process_->pid = ::fork();
  if (process_->pid == 0) {
    ::setenv(kChildRoleVariable, role.c_str(), 1);
    ::setenv(kChildArgumentsVariable, joined.c_str(), 1);
    ::setenv(kChildReadyVariable, ready.c_str(), 1);
    Exec("/proc/self/exe", {});
  }
  if (process_->pid < 0) {
    ADD_FAILURE() << "cannot start the child " << role;
    return;
  }
  while (wait_ready && !ReadyFileExists(ready)) {
    int status = 0;
    if (::waitpid(process_->pid, &status, WNOHANG) == process_->pid) {
      process_->status = StatusOf(status);
      process_->pid = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (wait_ready) std::remove(ready.c_str());
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept = default;

ChildProcess::~ChildProcess() {
  if (process_ && process_->pid > 0) {
    Kill();
    Wait();
  }
}

int ChildProcess::Wait() {
  if (process_->pid > 0) {
    int status = 0;
    while (::waitpid(process_->pid, &status, 0) < 0 && errno == EINTR) continue;
    process_->status = StatusOf(status);
    process_->pid = -1;
  }
  return process_->status;
}

void ChildProcess::Kill() {
  if (process_->pid > 0) ::kill(process_->pid, SIGKILL);
}
