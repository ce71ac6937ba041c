// RemoteIni against a real WebDAV server: loading, writing back, merging concurrent writers,
// servers without ETags or If-Match, and the errors of a failed login or flush.
#include "remote_ini.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "qel_error.h"
#include "qel_log.h"
#include "webdav_server.h"

namespace {

class RemoteIniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    try {
      server_ = std::make_unique<WebDavServer>();
    } catch (const std::exception& error) {
      FAIL() << "the WebDAV test server cannot run: " << error.what();
    }
    setenv("QEL_REMOTE_CA_FILE", server_->CaFile().c_str(), 1);
    SetTraceEnabled(true);
    SetLogSink([this](const LogRecord& record) {
      std::lock_guard<std::mutex> guard(lock_);
      records_.push_back(record);
    });
  }

  void TearDown() override {
    SetLogSink({});
    SetTraceEnabled(false);
    unsetenv("QEL_REMOTE_CA_FILE");
    unsetenv("QEL_REMOTE_TIMEOUT");
  }

  std::unique_ptr<RemoteIni> Open(const std::string& file,
                                  const std::string& password = WebDavServer::kPassword) {
    return std::make_unique<RemoteIni>(server_->HostPort(), file, WebDavServer::kUser, password);
  }

  // The error a login with these arguments throws.
  QELError LoginError(const std::string& host, const std::string& second,
                      const std::string& password = WebDavServer::kPassword) {
    try {
      RemoteIni ini(host, second, WebDavServer::kUser, password);
    } catch (const QELError& error) {
      return error;
    }
    return QELError("no error", 0, 0, "", 0);
  }

  std::vector<LogRecord> Records() {
    std::lock_guard<std::mutex> guard(lock_);
    return records_;
  }

  std::string Url(const std::string& file) const {
    return "https://" + server_->HostPort() + "/" + file;
  }

  std::unique_ptr<WebDavServer> server_;
  std::mutex lock_;
  std::vector<LogRecord> records_;
};

std::string Entry(const Ini& ini, const std::string& group, const std::string& key) {
  const IniEntryMap* entries = ini.GetGroupProperty(group);
  if (entries == nullptr) return "<no group>";
  auto found = entries->find(key);
  return found == entries->end() ? "<no entry>" : found->second;
}

TEST_F(RemoteIniTest, LoadsWritesBackAndReloadsThroughEveryAddressForm) {
  server_->WriteFile("teams/a/store.ini", "; shared settings\n[/A]\nx=1\n");
  auto ini = Open("teams/a/store.ini");
  EXPECT_EQ("1", Entry(*ini, "/A", "x"));
  ini->SetKeyValue("/A", "y", "two words");
  ini->InsertNewGroup("/B");
  ini->FlushIniDataToFile("");
  EXPECT_EQ(0u, server_->ReadFile("teams/a/store.ini").find("; shared settings\n[/A]\nx=1\n"));

  RemoteIni whole(server_->HostPort() + "/teams/a/store.ini", "", WebDavServer::kUser,
                  WebDavServer::kPassword);
  EXPECT_EQ("two words", Entry(whole, "/A", "y"));
  EXPECT_TRUE(whole.isGroupExist("/B"));
  RemoteIni with_scheme(Url("teams/a/store.ini"), "", WebDavServer::kUser, WebDavServer::kPassword);
  EXPECT_EQ("1", Entry(with_scheme, "/A", "x"));
  // Plain http carries the password only to a loopback address.
  server_->WriteFile("plain.ini", "[/P]\nk=v\n");
  RemoteIni plain(server_->PlainUrl(), "plain.ini", WebDavServer::kUser, WebDavServer::kPassword);
  EXPECT_EQ("v", Entry(plain, "/P", "k"));
}

TEST_F(RemoteIniTest, LoginErrorsSayWhatHappenedAndNeverShowThePassword) {
  server_->WriteFile("store.ini", "[/A]\nx=1\n");
  QELError wrong = LoginError(server_->HostPort(), "store.ini", "not-the-password");
  EXPECT_EQ(-7, wrong.Code());
  EXPECT_EQ("GET " + Url("store.ini") +
                ": the server refused the credentials of user \"alice\" (HTTP 401)",
            wrong.What());

  QELError missing = LoginError(server_->HostPort(), "missing.ini");
  EXPECT_EQ(kIniRemoteFailed, missing.Code());
  EXPECT_EQ("GET " + Url("missing.ini") + ": no such file (HTTP 404)", missing.What());

  server_->WriteFile("bad.ini", "[/A]\nthis line is no entry\n");
  QELError bad = LoginError(server_->HostPort(), "bad.ini");
  EXPECT_EQ(kIniBadSyntax, bad.Code());
  EXPECT_EQ("GET " + Url("bad.ini") + ": " + Ini::ExceptionNumberToString(kIniBadSyntax),
            bad.What());

  QELError exposed = LoginError("http://config.example.com/store.ini", "");
  EXPECT_EQ(kIniRemoteFailed, exposed.Code());
  EXPECT_EQ(
      "the address http://config.example.com/store.ini uses plain http, which would expose the "
      "password; use https",
      exposed.What());

  setenv("QEL_REMOTE_TIMEOUT", "soon", 1);
  EXPECT_EQ("QEL_REMOTE_TIMEOUT must be a number of seconds above 0 and up to 86400, not \"soon\"",
            LoginError(server_->HostPort(), "store.ini").What());
  unsetenv("QEL_REMOTE_TIMEOUT");

  unsetenv("QEL_REMOTE_CA_FILE");
  QELError untrusted = LoginError(server_->HostPort(), "store.ini");
  EXPECT_EQ(kIniRemoteFailed, untrusted.Code());
  EXPECT_EQ(0u, untrusted.What().find("GET " + Url("store.ini") +
                                      ": the server's certificate is not trusted ("))
      << untrusted.What();

  server_->Stop();
  setenv("QEL_REMOTE_CA_FILE", server_->CaFile().c_str(), 1);
  QELError down = LoginError(server_->HostPort(), "store.ini");
  EXPECT_EQ(kIniRemoteFailed, down.Code());
  EXPECT_EQ(0u, down.What().find("GET " + Url("store.ini") + ": the server does not answer ("))
      << down.What();

  for (const LogRecord& record : Records()) {
    EXPECT_EQ(std::string::npos, record.text.find(WebDavServer::kPassword)) << record.text;
  }
}

TEST_F(RemoteIniTest, ALoginToAServerThatNeverAnswersEndsAtTheTimeout) {
  // A listening socket that is never accepted: the connection opens, no TLS answer comes.
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(0, bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(silent, 4));
  ASSERT_EQ(0, getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length));
  const std::string host = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  setenv("QEL_REMOTE_TIMEOUT", "0.5", 1);
  QELError late = LoginError(host, "store.ini");
  close(silent);
  EXPECT_EQ(kIniRemoteFailed, late.Code());
  EXPECT_EQ(0u, late.What().find("GET https://" + host +
                                 "/store.ini: the server did not answer in time ("))
      << late.What();
}

TEST_F(RemoteIniTest, ConcurrentWritersKeepEachOthersChanges) {
  server_->WriteFile("store.ini", "[/A]\nx=0\n[/Old]\nk=v\n");
  auto first = Open("store.ini");
  auto second = Open("store.ini");
  first->SetKeyValue("/A", "x", "1");
  first->FlushIniDataToFile("");
  second->SetKeyValue("/A", "y", "2");
  second->EraseGroup("/Old");
  second->InsertNewGroup("/B");
  second->FlushIniDataToFile("");
  EXPECT_EQ("1", Entry(*second, "/A", "x"));
  first->SetKeyValue("/A", "z", "3");
  first->FlushIniDataToFile("");

  auto reader = Open("store.ini");
  EXPECT_EQ("1", Entry(*reader, "/A", "x"));
  EXPECT_EQ("2", Entry(*reader, "/A", "y"));
  EXPECT_EQ("3", Entry(*reader, "/A", "z"));
  EXPECT_TRUE(reader->isGroupExist("/B"));
  EXPECT_FALSE(reader->isGroupExist("/Old"));
  // Each store probes If-Match once; each conflict costs one PUT more.
  EXPECT_EQ(2 + 3 + 2, server_->CountRequests("PUT", "/store.ini"));
}

TEST_F(RemoteIniTest, OneFlushIsOnePutAndAFailedFlushKeepsTheChanges) {
  server_->WriteFile("store.ini", "[/A]\nx=0\n");
  auto ini = Open("store.ini");
  ini->SetKeyValue("/A", "x", "1");
  ini->FlushIniDataToFile("");
  const int puts = server_->CountRequests("PUT", "/store.ini");
  for (int i = 0; i < 5; ++i) ini->SetKeyValue("/Batch", "k" + std::to_string(i), "v");
  ini->FlushIniDataToFile("");
  EXPECT_EQ(puts + 1, server_->CountRequests("PUT", "/store.ini"));
  EXPECT_EQ(1, server_->CountRequests("GET", "/store.ini"));

  ini->SetKeyValue("/A", "x", "2");
  server_->Stop();
  try {
    ini->FlushIniDataToFile("");
    ADD_FAILURE() << "the flush to a stopped server succeeded";
  } catch (const QELError& error) {
    EXPECT_EQ(kIniRemoteFailed, error.Code());
    EXPECT_NE(std::string::npos,
              error.What().find("PUT " + Url("store.ini") + ": the server does not answer ("));
    EXPECT_NE(std::string::npos, error.What().find("; the changes are kept in memory"));
  }
  EXPECT_EQ("2", Entry(*ini, "/A", "x"));
  EXPECT_NE(std::string::npos, server_->ReadFile("store.ini").find("x=1\n"));
}

TEST_F(RemoteIniTest, AFlushGivesUpAfterBoundedConflictsAndKeepsTheChanges) {
  server_->WriteFile("conflicting/store.ini", "[/A]\nx=0\n");
  auto ini = Open("conflicting/store.ini");
  ini->SetKeyValue("/A", "x", "1");
  try {
    ini->FlushIniDataToFile("");
    ADD_FAILURE() << "the flush succeeded";
  } catch (const QELError& error) {
    EXPECT_EQ(kIniConflict, error.Code());
    EXPECT_EQ("PUT " + Url("conflicting/store.ini") +
                  ": other writers kept changing the file through 8 attempts; the changes are "
                  "kept in memory",
              error.What());
  }
  EXPECT_EQ("1", Entry(*ini, "/A", "x"));
  EXPECT_EQ("[/A]\nx=0\n", server_->ReadFile("conflicting/store.ini"));
}

TEST_F(RemoteIniTest, ServersWithoutIfMatchOrETagsAreHandled) {
  server_->WriteFile("ignoring/store.ini", "[/A]\nx=0\n");
  auto ignoring = Open("ignoring/store.ini");
  ignoring->SetKeyValue("/A", "x", "1");
  ignoring->FlushIniDataToFile("");
  ignoring->SetKeyValue("/A", "x", "2");
  ignoring->FlushIniDataToFile("");
  EXPECT_EQ("[/A]\nx=2\n", server_->ReadFile("ignoring/store.ini"));
  int warnings = 0;
  for (const LogRecord& record : Records()) {
    if (record.severity != 5) continue;
    ++warnings;
    EXPECT_EQ(Url("ignoring/store.ini") +
                  " ignores If-Match: concurrent writers can overwrite each other's changes",
              record.text);
  }
  EXPECT_EQ(1, warnings);

  // Without an ETag in the PUT answer the tag is learned from a GET; conflicts still merge.
  server_->WriteFile("no-etag/store.ini", "[/A]\nx=0\n");
  auto first = Open("no-etag/store.ini");
  auto second = Open("no-etag/store.ini");
  first->SetKeyValue("/A", "x", "1");
  first->FlushIniDataToFile("");
  second->SetKeyValue("/A", "y", "2");
  second->FlushIniDataToFile("");
  first->SetKeyValue("/A", "z", "3");
  first->FlushIniDataToFile("");
  EXPECT_EQ("[/A]\nx=1\ny=2\nz=3\n", server_->ReadFile("no-etag/store.ini"));
}

}  // namespace
