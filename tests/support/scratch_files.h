// Helpers for the INI store's tests: an in-memory store, its content as plain maps, captured log
// records, and scratch directories with whole-file reads and writes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_log.h>
#include "backup_ini.h"
#include "test_system.h"

// A store whose file is a string: reaches the protected image operations.
class MemoryIni : public Ini {
 public:
  using Ini::Journal;
  using Ini::LoadImage;
  using Ini::MergeOnto;
  using Ini::SerializeImage;
  void FlushIniDataToFile(const std::string&) override { ClearJournal(); }
};

// Every group with its entries.
using IniContent = std::map<std::string, IniEntryMap>;
inline IniContent ContentOf(const Ini& ini) {
  IniContent content;
  for (IniGroupIterator it = ini.begin(); it != ini.end(); ++it) {
    content[it.Name()] = *ini.GetGroupProperty(it.Name());
  }
  return content;
}

// The names of the groups in iteration order.
inline std::vector<std::string> GroupNames(const Ini& ini) {
  std::vector<std::string> names;
  for (IniGroupIterator it = ini.begin(); it != ini.end(); ++it) names.push_back((*it).GetName());
  return names;
}

// One entry's value, or "<no group>" / "<no entry>".
inline std::string ValueOf(const Ini& ini, const std::string& group, const std::string& key) {
  const IniEntryMap* entries = ini.GetGroupProperty(group);
  if (entries == nullptr) return "<no group>";
  auto found = entries->find(key);
  return found == entries->end() ? "<no entry>" : found->second;
}

// 0 when the store at `path` loads (its content then in `*content` when given), else the code of
// the error it throws (its text then in `*text` when given).
inline int LoadError(const std::string& path, IniContent* content = nullptr,
                     std::shared_ptr<IniFileSystem> files = nullptr, std::string* text = nullptr) {
  try {
    BackupIni ini(path, files);
    if (content != nullptr) *content = ContentOf(ini);
  } catch (const QELError& error) {
    if (text != nullptr) *text = error.What();
    return static_cast<int>(error.Code());
  }
  return 0;
}

// The text of the QELError, of the store's facility and with `code`, that a flush of the store's
// own file must throw.
inline std::string FlushFailure(Ini& ini, long code) {
  try {
    ini.FlushIniDataToFile("");
  } catch (const QELError& error) {
    EXPECT_EQ(error.Facility(), kIniFacility);
    EXPECT_EQ(error.Code(), code);
    return error.What();
  }
  return "<flushed>";
}

// Collects the log records written while it lives.
struct LogCapture {
  LogCapture() {
    zor::qel::SetLogSink([this](const zor::qel::LogRecord& record) { records.push_back(record); });
  }
  ~LogCapture() { zor::qel::SetLogSink({}); }
  std::vector<zor::qel::LogRecord> records;
};

// Writes `bytes` as the whole file at `path`; test_system.h's ReadWholeFile reads one back.
inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A new directory under $TMPDIR (or /tmp), removed with its content at the end.
class ScratchDirectory {
 public:
  ScratchDirectory() : path_(MakeScratchDirectory("qel-test")) {}
  ~ScratchDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // The names in the directory, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};
