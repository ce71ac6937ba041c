// What the tests need of the operating system, the same on POSIX systems and Windows: the
// environment, scratch directories and whole-file reads, peak memory, programs run with their
// output captured, and child processes that are this test program started again in a role (one
// file per platform). Thread safety: the environment and child processes are changed and started
// from the test's main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// setenv and unsetenv, with the C runtime and the process environment both changed on Windows.
void SetEnvironment(const std::string& name, const std::string& value);
void UnsetEnvironment(const std::string& name);

// A new, empty directory under the temporary directory; "" when none can be made.
std::string MakeScratchDirectory(const std::string& prefix);

// The bytes of the file at `path`; "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);

#ifndef _WIN32
// A TCP port of the loopback interface that nothing listens on now, for a server the tests start
// (POSIX systems only, where they start servers). Throws std::runtime_error when none is found.
int FreeLoopbackPort();
// A socket listening on a loopback port the kernel picked, returned in `port`, for a server a
// test runs itself. Throws std::runtime_error naming `who` when it cannot listen.
int ListenOnLoopback(int& port, const std::string& who);
#endif

// The most memory this process has held at once, in bytes (resident set, working set).
uint64_t PeakMemoryBytes();

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QEL_TEST_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(QEL_TEST_ADDRESS_SANITIZER)
// AddressSanitizer keeps freed memory in quarantine, so a peak counts temporaries too.
constexpr bool kPeakIsExact = false;
#else
constexpr bool kPeakIsExact = true;
#endif

// Whether the tests run with the privileges of the superuser (never on Windows).
bool RunningAsSuperuser();

// Runs `program` with `args`, standard input read from the file `in` ("" for none) and
// standard output and error written to the files `out` and `err`; returns its exit status, or
// -1 when it could not be started or did not exit by itself.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::string& in, const std::string& out, const std::string& err);

// The body of a role a child process plays: its arguments in, its exit status out.
using ChildRole = std::function<int(const std::vector<std::string>& args)>;

// Makes `role` available under `name` to ChildProcess; call it at namespace scope (the value
// returned only lets it initialise a variable). The child runs the role before any test and
// exits with its status; an exception or an int it throws exits with status 1 after a line on
// standard error.
bool RegisterChildRole(const std::string& name, ChildRole role);

// In a child: tells the parent waiting in ChildProcess's constructor that the child is ready.
void SignalReady();

// This test program run again as a child process playing a registered role.
class ChildProcess {
 public:
  // The exit status Wait returns for a child ended by Kill.
  static constexpr int kKilled = 137;

  // Starts the child with `args`; when `wait_ready`, returns only once it called SignalReady
  // or ended. A child that cannot be started fails the current test.
  ChildProcess(const std::string& role, const std::vector<std::string>& args,
               bool wait_ready = false);
  // Kills a child still running and waits for it.
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;

  // Waits for the child to end; returns its exit status, kKilled after Kill.
  int Wait();
  // Ends the child at once, as a crash or a power cut would: it runs no more code of its own.
  void Kill();

 private:
  struct Process;  // the platform's handle of the child
  std::unique_ptr<Process> process_;
};
