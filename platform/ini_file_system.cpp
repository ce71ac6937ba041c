// The platform-neutral part of the local store's file system: the interface's destructor and the
// watch a platform without one answers with. Paths are split by each platform's file, which
// knows its separators.
#include "ini_file_system.h"

#include <cerrno>

IniFileSystem::~IniFileSystem() = default;

int IniFileSystem::Watch(const std::string&, int*) { return ENOSYS; }

int IniFileSystem::WaitWatch(int, const std::string&, int, bool*) { return ENOSYS; }

void IniFileSystem::CloseWatch(int) {}

const char* FileKindErrorText(int error) {
  switch (error) {
    case kNotRegularFile:
      return "not a regular file";
    case kSymbolicLink:
      return "a symbolic link, which is not followed there";
    case kHardLinked:
      return "a file with other hard links, which is not made the store's";
    case kForeignLink:
      return "a symbolic link of another user to a file that user does not own, which is not "
             "followed";
    case kReplacedMeanwhile:
      return "the new file was replaced by another before it was renamed into place";
    case kInUse:
      return "the file is in use by another program, which does not share it; close it there";
    case kRangeLocked:
      return "another program has locked part of the file; close it there";
    default:
      return nullptr;
  }
}
