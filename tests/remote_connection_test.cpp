// "rini" connections end to end through the public handles against a real WebDAV server: login,
// keys and values, the login errors -7 and 158, concurrent writers and one PUT per commit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qel_connection.h"
#include "qel_error.h"
#include "qel_log.h"
#include "qel_rb_key.h"
#include "webdav_server.h"

namespace {

const char* const kStore =
    "[/ZOR_Software/qel4ds/Config]\nmulti-language=ascii\nproduct-ver=9.0.21.100\n"
    "[/App]\ncolor=red\n";

class RemoteConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    try {
      server_ = std::make_unique<WebDavServer>();
    } catch (const std::exception& error) {
      FAIL() << "the WebDAV test server cannot run: " << error.what();
    }
    setenv("QEL_REMOTE_CA_FILE", server_->CaFile().c_str(), 1);
    server_->WriteFile("store.ini", kStore);
    SetTraceEnabled(true);
    SetLogSink([this](const LogRecord& record) {
      std::lock_guard<std::mutex> guard(lock_);
      texts_.push_back(record.text);
    });
  }

  void TearDown() override {
    SetLogSink({});
    SetTraceEnabled(false);
    unsetenv("QEL_REMOTE_CA_FILE");
  }

  QELConnection Connect(const std::string& password = WebDavServer::kPassword) {
    QELConnection connection(QELConnection::RINI);
    connection.SetCheckValidity(false);
    connection.Login(server_->HostPort() + "/store.ini", 0, WebDavServer::kUser, password);
    return connection;
  }

  // The error of a login with `password` on `file`, or a QELError with code 0 if none.
  QELError LoginError(const std::string& file,
                      const std::string& password = WebDavServer::kPassword) {
    try {
      QELConnection connection(QELConnection::RINI);
      connection.Login(server_->HostPort() + "/" + file, 0, WebDavServer::kUser, password);
    } catch (const QELError& error) {
      return error;
    }
    return QELError("no error", 0, 0, "", 0);
  }

  std::unique_ptr<WebDavServer> server_;
  std::mutex lock_;
  std::vector<std::string> texts_;
};

TEST_F(RemoteConnectionTest, LogsInAndRoundTripsKeysAndValues) {
  QELConnection connection = Connect();
  EXPECT_EQ(server_->HostPort(), connection.GetHost());
  EXPECT_EQ(WebDavServer::kUser, connection.GetUser());
  QELRBKey app("/App", connection);
  EXPECT_EQ("red", std::string(app.GetValue("color")));
  app.SetValue("color", QELRBValue("blue"));
  app.SetValue("sizes", QELRBValue(std::list<std::string>{"s", "m", "l"}));
  app.CreateSubkey("Child").SetValue("name", QELRBValue("first child"));

  QELConnection reader = Connect();
  QELRBKey read("/App", reader);
  EXPECT_EQ("blue", std::string(read.GetValue("color")));
  EXPECT_EQ(QELRBValue(std::list<std::string>{"s", "m", "l"}), read.GetValue("sizes"));
  EXPECT_EQ("first child", std::string(QELRBKey("/App/Child", reader).GetValue("name")));

  QELConnection verifying(QELConnection::RINI);
  verifying.SetCheckValidity(true);
  verifying.Login(server_->HostPort() + "/store.ini", 0, WebDavServer::kUser,
                  WebDavServer::kPassword);
  EXPECT_EQ("9.0.21.100", verifying.GetVersion());
}

TEST_F(RemoteConnectionTest, LoginFailuresReportMinusSevenOr158WithTheCause) {
  const std::string url = "https://" + server_->HostPort();
  QELError wrong = LoginError("store.ini", "not-the-password");
  EXPECT_EQ(-7, wrong.Code());
  EXPECT_NE(std::string::npos,
            wrong.What().find(" [-7] <GET " + url +
                              "/store.ini: the server refused the credentials of user \"alice\" "
                              "(HTTP 401)>"))
      << wrong.What();
  EXPECT_EQ(std::string::npos, wrong.What().find("not-the-password"));

  QELError missing = LoginError("missing.ini");
  EXPECT_EQ(158, missing.Code());
  EXPECT_NE(std::string::npos,
            missing.What().find(" [158] <GET " + url + "/missing.ini: no such file (HTTP 404)>"))
      << missing.What();

  unsetenv("QEL_REMOTE_CA_FILE");
  QELError untrusted = LoginError("store.ini");
  EXPECT_EQ(158, untrusted.Code());
  EXPECT_NE(std::string::npos,
            untrusted.What().find(" [158] <GET " + url +
                                  "/store.ini: the server's certificate is not trusted ("))
      << untrusted.What();
  setenv("QEL_REMOTE_CA_FILE", server_->CaFile().c_str(), 1);

  server_->Stop();
  QELError down = LoginError("store.ini");
  EXPECT_EQ(158, down.Code());
  EXPECT_NE(std::string::npos,
            down.What().find(" [158] <GET " + url + "/store.ini: the server does not answer ("))
      << down.What();

  std::lock_guard<std::mutex> guard(lock_);
  EXPECT_LE(8u, texts_.size());  // traces, and two error records for each failed login
  for (const std::string& text : texts_) {
    EXPECT_EQ(std::string::npos, text.find("not-the-password")) << text;
    EXPECT_EQ(std::string::npos, text.find(WebDavServer::kPassword)) << text;
  }
}

TEST_F(RemoteConnectionTest, WritersOfDifferentEntriesInTurnKeepBoth) {
  QELConnection first = Connect();
  QELConnection second = Connect();
  QELRBKey by_first("/App", first);
  QELRBKey by_second("/App", second);
  by_first.SetValue("owner", QELRBValue("first"));
  by_second.SetValue("size", QELRBValue("large"));
  by_first.SetValue("color", QELRBValue("green"));

  QELRBKey read("/App", Connect());
  EXPECT_EQ("first", std::string(read.GetValue("owner")));
  EXPECT_EQ("large", std::string(read.GetValue("size")));
  EXPECT_EQ("green", std::string(read.GetValue("color")));
}

TEST_F(RemoteConnectionTest, ATransactionIsCommittedAsOnePut) {
  QELConnection connection = Connect();
  QELRBKey before("/App", connection);
  before.SetValue("color", QELRBValue("blue"));
  const int puts = server_->CountRequests("PUT", "/store.ini");

  connection.BeginTransaction();
  QELRBKey app("/App", connection);
  app.SetValue("a", QELRBValue("1"));
  app.SetValue("b", QELRBValue("2"));
  app.SetValue("c", QELRBValue("3"));
  EXPECT_EQ(puts, server_->CountRequests("PUT", "/store.ini"));
  connection.Commit();
  EXPECT_EQ(puts + 1, server_->CountRequests("PUT", "/store.ini"));

  QELRBKey read("/App", Connect());
  EXPECT_EQ("3", std::string(read.GetValue("c")));
}

}  // namespace
