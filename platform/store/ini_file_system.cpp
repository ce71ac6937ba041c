// The platform-neutral part of the local store's file system: the interface's destructor. Paths
// are split by each platform's file, which knows its separators.
#include "ini_file_system.h"

IniFileSystem::~IniFileSystem() = default;
