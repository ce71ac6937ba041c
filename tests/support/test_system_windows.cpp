// The tests' system helpers on Windows: _putenv_s, directories under the user's temporary
// folder, the working set's peak, and children made with CreateProcessW of this program.
#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "test_system.h"
#include "test_system_internal.h"
#include "windows_text.h"

struct ChildProcess::Process {
  HANDLE handle = nullptr;
  int status = -1;  // once ended
};

namespace {

// The library's own conversion; bytes that are no UTF-8 give an empty text.
std::wstring Widen(const std::string& text) {
  std::wstring wide;
  return WidenUtf8(text, &wide) ? wide : std::wstring();
}

// One argument quoted as the C runtime splits a command line back into arguments.
std::wstring Quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  for (auto it = arg.begin();; ++it) {
    size_t backslashes = 0;
    while (it != arg.end() && *it == L'\\') {
      ++it;
      ++backslashes;
    }
    if (it == arg.end()) {
      quoted.append(backslashes * 2, L'\\');
      break;
    }
    if (*it == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    quoted.push_back(*it);
  }
  quoted.push_back(L'"');
  return quoted;
}

std::wstring CommandLine(const std::wstring& program, const std::vector<std::string>& args) {
  std::wstring line = Quoted(program);
  for (const std::string& arg : args) line += L" " + Quoted(Widen(arg));
  return line;
}

std::wstring ThisProgram() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length < path.size()) return path.substr(0, length);
    path.resize(path.size() * 2);
  }
}

// A file handle a child inherits as one of its standard files.
HANDLE Inheritable(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return ::CreateFileW(Widen(path.empty() ? "NUL" : path).c_str(),
                       write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts the program `line` names. Wine now and then fails to start a process while many start
// at once (the first seconds of a parallel test run): the start is tried again for a while, and
// a start that never succeeds fails the test, naming the error, rather than reading as the
// program's own failure.
bool StartProcess(const std::wstring& line, bool inherit, STARTUPINFOW* startup,
                  PROCESS_INFORMATION* started) {
  DWORD error = 0;
  for (int attempt = 0; attempt < 6; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100 * attempt));
    std::wstring writable = line;  // CreateProcessW may write into the command line
    if (::CreateProcessW(nullptr, &writable[0], nullptr, nullptr, inherit ? TRUE : FALSE, 0,
                         nullptr, nullptr, startup, started) != 0) {
      return true;
    }
    error = ::GetLastError();
  }
  ADD_FAILURE() << "cannot start " << NarrowToUtf8(line.c_str(), line.size()) << ": error "
                << error;
  return false;
}

}  // namespace

void SetEnvironment(const std::string& name, const std::string& value) {
  // The C runtime's copy and the process's block both change, so children see it too.
  ::_putenv_s(name.c_str(), value.c_str());
  ::SetEnvironmentVariableW(Widen(name).c_str(), Widen(value).c_str());
}

void UnsetEnvironment(const std::string& name) {
  ::_putenv_s(name.c_str(), "");
  ::SetEnvironmentVariableW(Widen(name).c_str(), nullptr);
}

std::string MakeScratchDirectory(const std::string& prefix) {
  std::random_device seed;
  std::mt19937_64 random(seed() ^ ::GetCurrentProcessId());
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path path =
        base / (prefix + "-" + std::to_string(random() % 1000000000));
    std::error_code error;
    if (std::filesystem::create_directory(path, error)) return path.generic_string();
  }
  return "";
}

uint64_t PeakMemoryBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
  return counters.PeakWorkingSetSize;
}

bool RunningAsSuperuser() { return false; }

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::string& in, const std::string& out, const std::string& err) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = Inheritable(in, false);
  startup.hStdOutput = Inheritable(out, true);
  startup.hStdError = Inheritable(err, true);
  std::wstring line = CommandLine(Widen(program), args);
  // The program inherits the files above, never this process's own standard files: a helper
  // Wine starts for it could otherwise keep the test runner's pipe open after the test ends.
  for (DWORD own : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    ::SetHandleInformation(::GetStdHandle(own), HANDLE_FLAG_INHERIT, 0);
  }
  PROCESS_INFORMATION started{};
  const bool ok = StartProcess(line, true, &startup, &started);
  for (HANDLE file : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  }
  if (!ok) return -1;
  ::CloseHandle(started.hThread);
  ::WaitForSingleObject(started.hProcess, INFINITE);
  DWORD status = 0;
  ::GetExitCodeProcess(started.hProcess, &status);
  ::CloseHandle(started.hProcess);
  return static_cast<int>(status);
}

ChildProcess::ChildProcess(const std::string& role, const std::vector<std::string>& args,
                           bool wait_ready)
    : process_(std::make_unique<Process>()) {
  const std::string ready = wait_ready ? NewReadyFile() : "";
  // The child inherits this process's environment block, set for it and restored at once.
  SetEnvironment(kChildRoleVariable, role);
  SetEnvironment(kChildArgumentsVariable, JoinChildArguments(args));
  SetEnvironment(kChildReadyVariable, ready);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  std::wstring line = CommandLine(ThisProgram(), {});
  PROCESS_INFORMATION started{};
  const bool ok = StartProcess(line, false, &startup, &started);
  UnsetEnvironment(kChildRoleVariable);
  UnsetEnvironment(kChildArgumentsVariable);
  UnsetEnvironment(kChildReadyVariable);
  if (!ok) return;
  ::CloseHandle(started.hThread);
  process_->handle = started.hProcess;
  while (wait_ready && !ReadyFileExists(ready)) {
    if (::WaitForSingleObject(process_->handle, 0) == WAIT_OBJECT_0) break;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (wait_ready) std::remove(ready.c_str());
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept = default;

ChildProcess::~ChildProcess() {
  if (process_ && process_->handle != nullptr) {
    Kill();
    Wait();
  }
}

int ChildProcess::Wait() {
  if (process_->handle != nullptr) {
    ::WaitForSingleObject(process_->handle, INFINITE);
    DWORD status = 0;
    ::GetExitCodeProcess(process_->handle, &status);
    ::CloseHandle(process_->handle);
    process_->handle = nullptr;
    process_->status = static_cast<int>(status);
  }
  return process_->status;
}

void ChildProcess::Kill() {
  if (process_->handle != nullptr) ::TerminateProcess(process_->handle, kKilled);
}
