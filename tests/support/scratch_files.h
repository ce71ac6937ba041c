// Scratch files for tests of the local store: a private directory removed with everything in it,
// and whole-file reads and writes.
#pragma once

#include <string>
#include <vector>

// A new directory under $TMPDIR (or /tmp), removed with its content at the end.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // The names in the directory, sorted, without "." and "..".
  std::vector<std::string> Names() const;

 private:
  std::string path_;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);
