// The platform-neutral part of the tests' system helpers: child roles registered by name and
// played before any test when the program was started as a child, the readiness file, and
// whole-file reads.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>

#include "test_system.h"
#include "test_system_internal.h"

namespace {

std::map<std::string, ChildRole>& Roles() {
  static std::map<std::string, ChildRole> roles;
  return roles;
}

std::vector<std::string> SplitArguments(const std::string& text) {
  std::vector<std::string> args;
  if (text.empty()) return args;
  size_t start = 0;
  for (size_t at; (at = text.find(kChildArgumentSeparator, start)) != std::string::npos;
       start = at + 1) {
    args.push_back(text.substr(start, at - start));
  }
  args.push_back(text.substr(start));
  return args;
}

// Plays the role the environment names, if any, before the first test, and ends the process.
class ChildRoleDispatcher : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* role = std::getenv(kChildRoleVariable);
    if (role == nullptr || *role == '\0') return;
    int status = 1;
    auto found = Roles().find(role);
    if (found == Roles().end()) {
      std::cerr << "child: no role " << role << "\n";
    } else {
      const char* args = std::getenv(kChildArgumentsVariable);
      try {
        status = found->second(SplitArguments(args != nullptr ? args : ""));
      } catch (const std::exception& error) {
        std::cerr << "child " << role << " failed: " << error.what() << "\n";
      }
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(status);
  }
};

// gtest owns the environments it is given.
const bool dispatcher_added =
    ::testing::AddGlobalTestEnvironment(new ChildRoleDispatcher) != nullptr;

}  // namespace

bool RegisterChildRole(const std::string& name, ChildRole role) {
  Roles()[name] = std::move(role);
  return dispatcher_added;
}

void SignalReady() {
  const char* ready = std::getenv(kChildReadyVariable);
  if (ready != nullptr && *ready != '\0') std::ofstream(ready) << "ready";
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string JoinChildArguments(const std::vector<std::string>& args) {
  std::string text;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) text += kChildArgumentSeparator;
    text += args[i];
  }
  return text;
}

std::string NewReadyFile() {
  static int count = 0;
  static const std::string directory = MakeScratchDirectory("qel-ready");
  return directory + "/ready-" + std::to_string(++count);
}

bool ReadyFileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}
