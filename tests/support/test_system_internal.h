// What the platform files of the tests' system helpers share: how a child learns its role.
// Thread safety: as test_system.h.
#pragma once

#include <string>
#include <vector>

// The environment of a child process: its role, its arguments and the file that says ready.
constexpr const char* kChildRoleVariable = "QEL_TEST_CHILD_ROLE";
constexpr const char* kChildArgumentsVariable = "QEL_TEST_CHILD_ARGS";
constexpr const char* kChildReadyVariable = "QEL_TEST_CHILD_READY";
constexpr char kChildArgumentSeparator = '\x1f';

std::string JoinChildArguments(const std::vector<std::string>& args);
// A fresh path for a child's readiness file, and whether the child has made it.
std::string NewReadyFile();
bool ReadyFileExists(const std::string& path);
