// A gtest fixture with its own WebDAV server, its CA trusted through QEL_REMOTE_CA_FILE, and
// every log record captured (traces included) so tests can check what was logged.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_log.h>
#include "test_system.h"
#include "webdav_server.h"

class WebDavTest : public ::testing::Test {
 protected:
  static constexpr const char* kWrongPassword = "not-the-password";

  void SetUp() override {
    try {
      server_ = std::make_unique<WebDavServer>();
    } catch (const std::exception& error) {
      FAIL() << "the WebDAV test server cannot run: " << error.what();
    }
    SetEnvironment("QEL_REMOTE_CA_FILE", server_->CaFile());
    zor::qel::SetTraceEnabled(true);
    zor::qel::SetLogSink([this](const zor::qel::LogRecord& record) {
      std::lock_guard<std::mutex> guard(lock_);
      records_.push_back(record);
    });
  }

  void TearDown() override {
    zor::qel::SetLogSink({});
    zor::qel::SetTraceEnabled(false);
    UnsetEnvironment("QEL_REMOTE_CA_FILE");
    UnsetEnvironment("QEL_REMOTE_TIMEOUT");
    UnsetEnvironment("QEL_REMOTE_MAX_BYTES");
  }

  std::vector<zor::qel::LogRecord> Records() {
    std::lock_guard<std::mutex> guard(lock_);
    return records_;
  }

  // Fails the test for every record whose text holds the password or the wrong one tried.
  void ExpectNoPasswordLogged() {
    for (const zor::qel::LogRecord& record : Records()) {
      EXPECT_EQ(std::string::npos, record.text.find(WebDavServer::kPassword)) << record.text;
      EXPECT_EQ(std::string::npos, record.text.find(kWrongPassword)) << record.text;
    }
  }

  // A login to `file` on the server as its user.
  QELConnection Login(const std::string& file = "store.ini") const {
    QELConnection connection(QELConnection::RINI);
    connection.Login(server_->HostPort() + "/" + file, 0, WebDavServer::kUser,
                     WebDavServer::kPassword);
    return connection;
  }

  std::string Url(const std::string& file) const {
    return "https://" + server_->HostPort() + "/" + file;
  }

  std::unique_ptr<WebDavServer> server_;

 private:
  std::mutex lock_;
  std::vector<zor::qel::LogRecord> records_;
};
