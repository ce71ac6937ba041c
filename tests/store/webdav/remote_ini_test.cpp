// RemoteIni against a real WebDAV server: loading, writing back, merging concurrent writers,
// servers without ETags or If-Match, and the errors of a failed login or flush.
#include "remote_ini.h"

#include <chrono>

#include <zor-qel-rb-key/qel_error.h>
#include "test_system.h"
#include "webdav_test.h"

namespace {

class RemoteIniTest : public WebDavTest {
 protected:
  // A store on `host`, the server's TLS listener when empty.
  std::unique_ptr<RemoteIni> Open(const std::string& file, const std::string& host = "") {
    return std::make_unique<RemoteIni>(host.empty() ? server_->HostPort() : host, file,
                                       WebDavServer::kUser, WebDavServer::kPassword);
  }

  // What a login with these arguments throws.
  static std::string LoginError(const std::string& host, const std::string& file, int code) {
    try {
      RemoteIni ini(host, file, WebDavServer::kUser, WebDavServer::kPassword);
    } catch (const QELError& error) {
      EXPECT_EQ(code, error.Code()) << error.What();
      return error.What();
    }
    return "no error";
  }

  // Expects a flush of `ini` to fail with `code` and a message starting with `text`.
  static void ExpectFlushFails(RemoteIni& ini, int code, const std::string& text) {
    try {
      ini.FlushIniDataToFile("");
      ADD_FAILURE() << "the flush succeeded";
    } catch (const QELError& error) {
      EXPECT_EQ(code, error.Code());
      EXPECT_EQ(0u, error.What().find(text)) << error.What();
      EXPECT_NE(std::string::npos, error.What().find("; the changes are kept in memory"));
    }
  }
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
  EXPECT_EQ("; shared settings\n[/A]\nx=1\ny=two words\n[/B]\n",
            server_->ReadFile("teams/a/store.ini"));
  EXPECT_EQ("two words", Entry(*Open("", server_->HostPort() + "/teams/a/store.ini"), "/A", "y"));
  EXPECT_EQ("1", Entry(*Open("", Url("teams/a/store.ini")), "/A", "x"));
  // Plain http carries the password only to a loopback address.
  server_->WriteFile("plain.ini", "[/P]\nk=v\n");
  EXPECT_EQ("v", Entry(*Open("plain.ini", server_->PlainUrl()), "/P", "k"));
  EXPECT_EQ(
      "the address http://config.example.com/store.ini uses plain http, which would expose the "
      "password; use https",
      LoginError("http://config.example.com/store.ini", "", kIniRemoteFailed));
}

TEST_F(RemoteIniTest, LoginsFailOnABadFileATooLargeFileABadSettingAndASilentServer) {
  server_->WriteFile("bad.ini", "[/A]\nthis line is no entry\n");
  EXPECT_EQ("GET " + Url("bad.ini") + ": " + Ini::ExceptionNumberToString(kIniBadSyntax),
            LoginError(server_->HostPort(), "bad.ini", kIniBadSyntax));

  // A file larger than the bound on what is read is refused, not held; one of its size loads.
  const std::string big = "[/A]\nk=" + std::string(4087, 'v') + "\n";
  server_->WriteFile("big.ini", big);
  SetEnvironment("QEL_REMOTE_MAX_BYTES", "1000");
  EXPECT_EQ("GET " + Url("big.ini") +
                ": the file is larger than the limit of 1000 bytes set by QEL_REMOTE_MAX_BYTES",
            LoginError(server_->HostPort(), "big.ini", kIniRemoteFailed));
  SetEnvironment("QEL_REMOTE_MAX_BYTES", std::to_string(big.size()));
  EXPECT_EQ(big.size() - 8, Entry(*Open("big.ini"), "/A", "k").size());
  SetEnvironment("QEL_REMOTE_MAX_BYTES", "-5");
  EXPECT_EQ("QEL_REMOTE_MAX_BYTES must be a number of bytes above 0, not \"-5\"",
            LoginError(server_->HostPort(), "big.ini", kIniRemoteFailed));
  UnsetEnvironment("QEL_REMOTE_MAX_BYTES");

  SetEnvironment("QEL_REMOTE_TIMEOUT", "soon");
  EXPECT_EQ("QEL_REMOTE_TIMEOUT must be a number of seconds above 0 and up to 86400, not \"soon\"",
            LoginError(server_->HostPort(), "bad.ini", kIniRemoteFailed));

  // A frozen server accepts the connection but never answers.
  server_->Pause();
  SetEnvironment("QEL_REMOTE_TIMEOUT", "0.5");
  const std::string late = LoginError(server_->HostPort(), "bad.ini", kIniRemoteFailed);
  EXPECT_EQ(0u, late.find("GET " + Url("bad.ini") + ": the server did not answer in time ("))
      << late;
}

// Without an ETag in the PUT answer the tag is learned from a GET; conflicts still merge.
TEST_F(RemoteIniTest, ConcurrentWritersMergeWithoutETags) {
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

TEST_F(RemoteIniTest, FailedFlushesKeepTheChangesAndTheServersFile) {
  server_->WriteFile("conflicting/store.ini", "[/A]\nx=0\n");
  SetEnvironment("QEL_REMOTE_TIMEOUT", "1");  // conflicts are retried for that long
  auto conflicting = Open("conflicting/store.ini");
  conflicting->SetKeyValue("/A", "x", "1");
  // The file never changed: the server, not other writers, refused the writes.
  ExpectFlushFails(*conflicting, kIniConflict,
                   "PUT " + Url("conflicting/store.ini") + ": the server refused ");
  UnsetEnvironment("QEL_REMOTE_TIMEOUT");
  EXPECT_EQ("1", Entry(*conflicting, "/A", "x"));
  EXPECT_EQ("[/A]\nx=0\n", server_->ReadFile("conflicting/store.ini"));

  server_->WriteFile("store.ini", "[/A]\nx=0\n");
  auto ini = Open("store.ini");
  ini->SetKeyValue("/A", "x", "2");
  server_->Stop();
  ExpectFlushFails(*ini, kIniRemoteFailed,
                   "PUT " + Url("store.ini") + ": the server does not answer (");
  EXPECT_EQ("2", Entry(*ini, "/A", "x"));
  EXPECT_EQ("[/A]\nx=0\n", server_->ReadFile("store.ini"));
}

// An idle watch asks the server once per polling interval, however short its waits.
TEST_F(RemoteIniTest, AnIdleWatchPollsOncePerInterval) {
  server_->WriteFile("store.ini", "[/A]\nx=0\n");
  SetEnvironment("QEL_REMOTE_POLL_INTERVAL", "0.5");
  QELConnection watcher = Login();
  UnsetEnvironment("QEL_REMOTE_POLL_INTERVAL");
  const int before = server_->CountRequests("GET", "/store.ini");
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2100);
  while (std::chrono::steady_clock::now() < end) EXPECT_TRUE(watcher.WaitForChange(150).empty());
  const int polls = server_->CountRequests("GET", "/store.ini") - before;
  // About four; a call that looked before and after each wait made about 28.
  EXPECT_GE(polls, 2);
  EXPECT_LE(polls, 7);
}

TEST_F(RemoteIniTest, AServerIgnoringIfMatchIsWrittenWithOneWarning) {
  server_->WriteFile("ignoring/store.ini", "[/A]\nx=0\n");
  auto ignoring = Open("ignoring/store.ini");
  ignoring->SetKeyValue("/A", "x", "1");
  ignoring->FlushIniDataToFile("");
  ignoring->SetKeyValue("/A", "x", "2");
  ignoring->FlushIniDataToFile("");
  EXPECT_EQ("[/A]\nx=2\n", server_->ReadFile("ignoring/store.ini"));
  std::vector<std::string> warnings;
  for (const zor::qel::LogRecord& record : Records()) {
    if (record.severity == 5) warnings.push_back(record.text);
  }
  EXPECT_EQ(std::vector<std::string>{Url("ignoring/store.ini") +
                                     " ignores If-Match: concurrent writers can overwrite each "
                                     "other's changes"},
            warnings);
  ExpectNoPasswordLogged();
}

}  // namespace
