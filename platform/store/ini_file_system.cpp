// The platform-neutral parts of the local store's file system: paths split into directory and
// name.
#include "ini_file_system.h"

IniFileSystem::~IniFileSystem() = default;

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
