// Scratch directories and whole-file reads and writes for the store's tests.
#include "scratch_files.h"

#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

ScratchDirectory::ScratchDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/qel-test-XXXXXX";
  if (::mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
}

std::vector<std::string> ScratchDirectory::Names() const {
  std::vector<std::string> names;
  if (DIR* listing = ::opendir(path_.c_str())) {
    while (struct dirent* entry = ::readdir(listing)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(listing);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
