// The platform-neutral part of the local store's file system: the interface's destructor and the
// watch a platform without one answers with. Paths are split by each platform's file, which
// knows its separators.
#include "ini_file_system.h"

#include <cerrno>

IniFileSystem::~IniFileSystem() = default;

int IniFileSystem::Watch(const std::string&, int*) { return ENOSYS; }

int IniFileSystem::WaitWatch(int, const std::string&, int, bool*) { return ENOSYS; }

void IniFileSystem::CloseWatch(int) {}
