// qelreg's operating-system needs on Windows: the console without echo for the hidden password,
// CreateFileW with CREATE_NEW for new store files, a directory under the user's temporary
// folder, and binary standard output so that exported text keeps its bytes, shown as UTF-8.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <zor-qel-rb-key/qel_log.h>
#include "errors.h"
#include "system.h"
#include "windows_text.h"

namespace qelreg {
namespace {

// A path in the wide form the API takes; refused when its bytes are no UTF-8.
std::wstring WidePath(const std::string& path) {
  std::wstring wide;
  if (!WidenUtf8(path, &wide)) {
    throw ToolError("the path " + zor::qel::MaskCredentials(path) + " is not UTF-8");
  }
  return wide;
}

std::string WindowsErrorText(DWORD error) {
  return "Windows error " + std::to_string(static_cast<unsigned long>(error));
}

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) args.push_back(NarrowToUtf8(wide[i], std::wcslen(wide[i])));
  ::LocalFree(wide);
  return args;
}

bool InteractiveInput() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool InteractiveErrors() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::string ReadHidden(const std::string& prompt) {
  std::cerr << prompt << std::flush;
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  const bool restore = ::GetConsoleMode(input, &saved) != 0;
  if (restore) ::SetConsoleMode(input, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  std::string line;
  const bool read = static_cast<bool>(std::getline(std::cin, line));
  if (restore) ::SetConsoleMode(input, saved);
  std::cerr << '\n';
  if (!read) throw ToolError("no password given");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool CreatePrivateFile(const std::string& path) {
  // The new file has its directory's ACL: Windows keeps no permission bits to set.
  HANDLE file = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return false;
    throw ToolError("cannot create the store file " + zor::qel::MaskCredentials(path) + ": " +
                    WindowsErrorText(error));
  }
  ::CloseHandle(file);
  return true;
}

void RemoveIfEmpty(const std::string& path) {
  if (path.empty()) return;
  WIN32_FILE_ATTRIBUTE_DATA data;
  std::wstring wide;
  if (WidenUtf8(path, &wide) &&
      ::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data) &&
      data.nFileSizeHigh == 0 && data.nFileSizeLow == 0) {
    ::DeleteFileW(wide.c_str());
  }
}

std::string MakePrivateDirectory(const std::string& name) {
  wchar_t base[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, base);
  if (length == 0 || length > MAX_PATH) {
    throw ToolError("cannot find the temporary folder: " + WindowsErrorText(::GetLastError()));
  }
  const std::string folder = NarrowToUtf8(base, length);
  unsigned long long seed = static_cast<unsigned long long>(
      std::chrono::steady_clock::now().time_since_epoch().count() ^ ::GetCurrentProcessId());
  for (int attempt = 0; attempt < 100; ++attempt) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    const std::string path = folder + name + "." + std::to_string(seed % 1000000000ULL);
    if (::CreateDirectoryW(WidePath(path).c_str(), nullptr)) return path;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      throw ToolError("cannot make a directory for a private copy of the input (" + path +
                      "): " + WindowsErrorText(::GetLastError()));
    }
  }
  throw ToolError("cannot make a directory for a private copy of the input in " + folder);
}

bool KeepStandardFilesOpen() {
  bool outputClosed = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::_get_osfhandle(fd) != -1) continue;
    if (fd == 1) outputClosed = true;
    const int null = ::_open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (null >= 0 && null != fd) {
      ::_dup2(null, fd);
      ::_close(null);
    }
  }
  // Results and messages are written as the bytes they are: no line end becomes CR LF.
  ::_setmode(1, _O_BINARY);
  ::_setmode(2, _O_BINARY);
  // Those bytes are UTF-8: a console shows them as such while qelreg runs, and gets its own code
  // page back when qelreg ends.
  static const UINT console = ::GetConsoleOutputCP();
  if (console != 0 && console != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
    std::atexit([] { ::SetConsoleOutputCP(console); });
  }
  return outputClosed;
}

void IgnoreBrokenPipe() {
  // Windows sends no signal for a closed pipe: the write fails by itself.
}

int WriteStandardOutput(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const unsigned chunk = static_cast<unsigned>(std::min<size_t>(text.size() - done, 1u << 30));
    const int written = ::_write(1, text.data() + done, chunk);
    if (written <= 0) return written < 0 ? errno : EIO;
    done += static_cast<size_t>(written);
  }
  return 0;
}

void CatchInterrupts(volatile std::sig_atomic_t* flag) {
  static volatile std::sig_atomic_t* caught = nullptr;
  caught = flag;
  std::signal(SIGINT, [](int) { *caught = 1; });
  std::signal(SIGTERM, [](int) { *caught = 1; });
}

}  // namespace qelreg
