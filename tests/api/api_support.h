// Helpers of the API tests: a store file in a private temporary directory, and a capture of the
// library's log records.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <zor-qel-rb-key/zor_qel_rb_key.h>
#include "test_system.h"

namespace api_test {

// A small store: configuration, module index, and the tree /A (B with K, C, D) beside /Ab.
inline const char* kSmallStore =
    "[/ZOR_Software/qel4ds/Config]\n"
    "multi-language=ansi\n"
    "product-ver=9.0.21.100\n"
    "[/ZOR_Software/qel4ds/Config/Index]\n"
    "Alpha=/A\n"
    "Ghost=/Nowhere\n"
    "[/A]\n"
    "name=first\n"
    "list=one\x1btwo\x1b\n"
    "colour=red\n"
    "[/A/B]\n"
    "[/A/B/K]\n"
    "[/A/C]\n"
    "[/A/D]\n"
    "[/Ab]\n";

class StoreFile {
 public:
  explicit StoreFile(const std::string& text) {
    directory_ = MakeScratchDirectory("qel_api");
    path_ = (std::filesystem::path(directory_) / "store.ini").string();
    std::ofstream(path_, std::ios::binary) << text;
  }
  ~StoreFile() { std::filesystem::remove_all(directory_); }
  StoreFile(const StoreFile&) = delete;
  StoreFile& operator=(const StoreFile&) = delete;
  const std::string& Path() const { return path_; }
  std::string Text() const {
    std::stringstream text;
    text << std::ifstream(path_, std::ios::binary).rdbuf();
    return text.str();
  }

 private:
  std::string directory_;
  std::string path_;
};

// A logged-in "ini" connection on `store`.
inline QELConnection Connect(const StoreFile& store) {
  QELConnection connection(QELConnection::INI);
  connection.Login(store.Path(), 0, "tester", "");
  return connection;
}

// Collects every record while it lives, with tracing switched as asked.
class LogCapture {
 public:
  explicit LogCapture(bool trace) {
    SetTraceEnabled(trace);
    SetLogSink([this](const LogRecord& record) { records_.push_back(record); });
  }
  ~LogCapture() {
    SetLogSink({});
    SetTraceEnabled(false);
  }
  std::vector<LogRecord> Take() { return std::move(records_); }
  // The function names of the records taken, in order.
  std::vector<std::string> Functions() {
    std::vector<std::string> names;
    for (const LogRecord& record : Take()) names.push_back(record.function);
    return names;
  }

 private:
  std::vector<LogRecord> records_;
};

// Runs `call`, which must throw a QELError, and returns it.
template <class Call>
QELError ErrorOf(Call call) {
  try {
    call();
  } catch (const QELError& error) {
    return error;
  }
  ADD_FAILURE() << "no QELError thrown";
  return QELError("", 0, 0, "", 0);
}

}  // namespace api_test
