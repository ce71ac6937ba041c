// The platform-neutral parts of the local store's file system: paths split into directory and
// name.
#include "ini_file_system.h"

#include <cerrno>

IniFileSystem::~IniFileSystem() = default;

int IniFileSystem::Watch(const std::string&, int*) { return ENOSYS; }

int IniFileSystem::WaitWatch(int, const std::string&, int, bool*) { return ENOSYS; }

void IniFileSystem::CloseWatch(int) {}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
