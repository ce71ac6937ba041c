// Tests of the backend connections' logins and of the key factory table.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include "backend_store.h"
#include "qel_ini_key.h"
#include "qel_key_factory.h"
#include "test_system.h"
#include "webdav_server.h"

namespace {

TEST(BackendFactories, TheTableIsBuiltOnceUnderConcurrentFirstUse) {
  std::atomic<int> waiting{8};
  std::vector<std::vector<QELKeyFactory*>> seen(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &waiting, &seen] {
      for (--waiting; waiting.load() > 0;) std::this_thread::yield();
      for (int type = 0; type < 5; ++type) {
        seen[t].push_back(GetKeyFactory(static_cast<QELConnection::ConnectionType>(type)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const auto& factories : seen) EXPECT_EQ(factories, seen[0]);
  for (int a = 0; a < 5; ++a) {
    for (int b = a + 1; b < 5; ++b) EXPECT_NE(seen[0][a], seen[0][b]);
  }
  std::unique_ptr<QELConnectionBase> remote(seen[0][QELConnection::RINI]->CreateConnection());
  std::unique_ptr<QELConnectionBase> local(seen[0][QELConnection::CORBA]->CreateConnection());
  EXPECT_NE(dynamic_cast<QELRemoteIniConnection*>(remote.get()), nullptr);
  EXPECT_EQ(dynamic_cast<QELRemoteIniConnection*>(local.get()), nullptr);
  EXPECT_NE(dynamic_cast<QELIniConnection*>(local.get()), nullptr);
}

TEST(BackendConnections, LocalLoginsOpenTheFileOrReportAndKeepTheEarlierStore) {
  const std::string path = ::testing::TempDir() + "backend_login.ini";
  std::ofstream(path) << "[/A]\nx=1\n";
  QELIniConnection connection;
  EXPECT_TRUE(connection.Login(path, 7, "someone", "secret").Ok());
  EXPECT_EQ(connection.GetHost() + "|" + connection.GetUser(), path + "|someone");

  LogCapture log("ldap_key");
  const QELStatus failed = connection.Login("/nonexistent/dir/file.ini", 0, "other", "");
  EXPECT_EQ(failed.code, 158);
  EXPECT_EQ(failed.message.rfind("ZORKVA0533E", 0), 0u);
  EXPECT_TRUE(EndsWith(failed.message,
                       " [158] <cannot read /nonexistent/dir/file.ini: No such file or directory>"))
      << failed.message;
  EXPECT_EQ(connection.GetUser(), "someone");
  EXPECT_TRUE(QELIniKey("/A", connection).Store().isGroupExist("/A"));
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_EQ(log.records[0].function, "QELIniConnection::Login");
  EXPECT_EQ(log.records[0].severity, 5);
  EXPECT_EQ(log.records[0].text, failed.message);
  std::remove(path.c_str());
  QELIniConnection never_logged_in;
  EXPECT_THROW(QELIniKey("/A", never_logged_in), QELLogicalError);
}

TEST(BackendConnections, RemoteLoginsSplitTheHostAtOneSlashOnly) {
  std::unique_ptr<WebDavServer> server;
  try {
    server = std::make_unique<WebDavServer>();
  } catch (const std::exception& error) {
    FAIL() << "the WebDAV test server cannot run: " << error.what();
  }
  SetEnvironment("QEL_REMOTE_CA_FILE", server->CaFile());
  server->WriteFile("store.ini", "[/A]\nx=1\n");
  server->WriteFile("dir/store.ini", "[/B]\n");
  const std::string user = WebDavServer::kUser;
  QELRemoteIniConnection remote;
  EXPECT_TRUE(
      remote.Login(server->HostPort() + "/store.ini", 0, user, WebDavServer::kPassword).Ok());
  EXPECT_EQ(remote.GetHost(), server->HostPort());
  QELIniKey a("/A", remote);
  // Two slashes: the whole text is the host part, which here still names a file.
  const std::string deeper = server->HostPort() + "/dir/store.ini";
  EXPECT_TRUE(remote.Login(deeper, 0, user, WebDavServer::kPassword).Ok());
  EXPECT_EQ(remote.GetHost(), deeper);
  EXPECT_TRUE(QELIniKey(remote).Store().isGroupExist("/B"));
  EXPECT_TRUE(a.Store().isGroupExist("/A"));  // keys keep the store they were opened on
  EXPECT_EQ(remote.Login(server->HostPort() + "/store.ini", 0, user, "wrong").code, -7);
  UnsetEnvironment("QEL_REMOTE_CA_FILE");
  EXPECT_EQ(remote.GetHost(), deeper);
}

}  // namespace
