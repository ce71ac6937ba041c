// Helpers of the API tests: a store file in a private temporary directory, the same store held by
// each kind of backend (a local file, a WebDAV server, an etcd cluster), and a capture of the
// library's log records.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <zor-qel-rb-key/zor_qel_rb_key.h>
#include "test_system.h"
#include "webdav_server.h"
#ifndef _WIN32
#include "etcd_cluster.h"
#endif

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

// The kinds of store a test can run on.
enum class StoreKind { kLocal, kWebDav, kEtcd };

inline std::string StoreKindName(const ::testing::TestParamInfo<StoreKind>& info) {
  switch (info.param) {
    case StoreKind::kWebDav:
      return "webdav";
    case StoreKind::kEtcd:
      return "etcd";
    case StoreKind::kLocal:
      break;
  }
  return "local";
}

// The servers of one test program, started on first use and stopped at its end. Throws
// std::runtime_error when one cannot run.
inline WebDavServer& SharedWebDavServer() {
  static WebDavServer server;
  SetEnvironment("QEL_REMOTE_CA_FILE", server.CaFile());
  return server;
}
#ifndef _WIN32
inline EtcdCluster& SharedEtcdCluster() {
  static EtcdCluster cluster{EtcdCluster::Options()};
  return cluster;
}
#endif

// The kinds a test runs on here: an etcd cluster runs beside the tests on POSIX systems only.
inline std::vector<StoreKind> StoreKinds() {
#ifdef _WIN32
  return {StoreKind::kLocal, StoreKind::kWebDav};
#else
  return {StoreKind::kLocal, StoreKind::kWebDav, StoreKind::kEtcd};
#endif
}

// One store with the given INI text, on a backend of the given kind: a file, a file on the
// WebDAV server, or a prefix of the etcd cluster holding the text's groups.
class TestStore {
 public:
  TestStore(StoreKind kind, const std::string& text) : kind_(kind) {
    static int stores = 0;
    static const unsigned run = std::random_device()();
    name_ = "store" + std::to_string(++stores) + "-" + std::to_string(run);
    switch (kind_) {
      case StoreKind::kLocal:
        file_ = std::make_unique<StoreFile>(text);
        break;
      case StoreKind::kWebDav:
        SharedWebDavServer().WriteFile(name_ + ".ini", text);
        break;
      case StoreKind::kEtcd:
#ifndef _WIN32
        SharedEtcdCluster().PutStore("/" + name_, text);
#endif
        break;
    }
  }
  TestStore(const TestStore&) = delete;
  TestStore& operator=(const TestStore&) = delete;

  // A logged-in connection of the store's type.
  QELConnection Connect() const {
    switch (kind_) {
      case StoreKind::kWebDav: {
        QELConnection connection(QELConnection::RINI);
        connection.Login(SharedWebDavServer().HostPort() + "/" + name_ + ".ini", 0,
                         WebDavServer::kUser, WebDavServer::kPassword);
        return connection;
      }
      case StoreKind::kEtcd: {
        QELConnection connection(QELConnection::RINI);
#ifndef _WIN32
        connection.Login(SharedEtcdCluster().Address("/" + name_), 0, "tester", "");
#endif
        return connection;
      }
      case StoreKind::kLocal:
        break;
    }
    QELConnection connection(QELConnection::INI);
    connection.Login(file_->Path(), 0, "tester", "");
    return connection;
  }
  // The store as its backend holds it, as INI text (an etcd store's groups in key order).
  std::string Text() const {
    switch (kind_) {
      case StoreKind::kWebDav:
        return SharedWebDavServer().ReadFile(name_ + ".ini");
      case StoreKind::kEtcd:
#ifndef _WIN32
        return SharedEtcdCluster().StoreText("/" + name_);
#endif
        break;
      case StoreKind::kLocal:
        break;
    }
    return file_->Text();
  }

 private:
  StoreKind kind_;
  std::string name_;
  std::unique_ptr<StoreFile> file_;
};

// Collects every record of the library's own layers while it lives (the remote stores' traces
// of their requests aside), with tracing switched as asked.
class LogCapture {
 public:
  explicit LogCapture(bool trace) {
    zor::qel::SetTraceEnabled(trace);
    zor::qel::SetLogSink([this](const zor::qel::LogRecord& record) {
      if (record.module != "ini") records_.push_back(record);
    });
  }
  ~LogCapture() {
    zor::qel::SetLogSink({});
    zor::qel::SetTraceEnabled(false);
  }
  std::vector<zor::qel::LogRecord> Take() { return std::move(records_); }
  // The function names of the records taken, in order.
  std::vector<std::string> Functions() {
    std::vector<std::string> names;
    for (const zor::qel::LogRecord& record : Take()) names.push_back(record.function);
    return names;
  }

 private:
  std::vector<zor::qel::LogRecord> records_;
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
