// Tests of the backend connections' logins and transactions and of the key factory table.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "backend_store.h"
#include "qel_config_map.h"
#include "qel_error.h"
#include "qel_ini_key.h"
#include "qel_key_factory.h"
#include "qel_log.h"
#include "webdav_server.h"

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(BackendFactories, TheTableIsBuiltOnceUnderConcurrentFirstUse) {
  std::atomic<int> waiting{8};
  std::vector<std::vector<QELKeyFactory*>> seen(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &waiting, &seen] {
      --waiting;
      while (waiting.load() > 0) std::this_thread::yield();
      for (int type = 0; type < 5; ++type) {
        seen[t].push_back(GetKeyFactory(static_cast<QELConnection::ConnectionType>(type)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const auto& factories : seen) EXPECT_EQ(factories, seen[0]);
  const std::vector<QELKeyFactory*>& table = seen[0];
  for (int a = 0; a < 5; ++a) {
    for (int b = a + 1; b < 5; ++b) EXPECT_NE(table[a], table[b]);
  }
  EXPECT_NE(dynamic_cast<QELRemoteIniFactory*>(table[QELConnection::RINI]), nullptr);
  EXPECT_EQ(dynamic_cast<QELRemoteIniFactory*>(table[QELConnection::INI]), nullptr);

  std::unique_ptr<QELConnectionBase> remote(table[QELConnection::RINI]->CreateConnection());
  EXPECT_NE(dynamic_cast<QELRemoteIniConnection*>(remote.get()), nullptr);
  std::unique_ptr<QELConnectionBase> local(table[QELConnection::CORBA]->CreateConnection());
  EXPECT_EQ(dynamic_cast<QELRemoteIniConnection*>(local.get()), nullptr);
  EXPECT_NE(dynamic_cast<QELIniConnection*>(local.get()), nullptr);

  MemoryIniConnection connection;
  connection.Memory().AddGroup("/ZOR_Software/qel4ds/Config/Index");
  std::unique_ptr<QELKey> root(table[QELConnection::RINI]->CreateRootKey(&connection));
  EXPECT_NE(dynamic_cast<QELIniKey*>(root.get()), nullptr);
  std::unique_ptr<QELConfigMapBase> map(table[QELConnection::RINI]->CreateConfigMap(&connection));
  EXPECT_THROW(table[QELConnection::INI]->CreateKey("/missing", &connection), QELError);
}

TEST(BackendConnections, FailedLoginsReportAndKeepTheEarlierStore) {
  std::vector<LogRecord> records;
  SetLogSink([&records](const LogRecord& record) {
    if (record.module == "ldap_key") records.push_back(record);
  });
  MemoryIniConnection connection;
  connection.Memory().AddGroup("/Kept");
  const std::string missing = "/nonexistent/dir/file.ini";
  const QELStatus local = connection.Login(missing, 0, "someone", "secret");
  EXPECT_EQ(local.code, 158);
  EXPECT_EQ(local.message.rfind("ZORKVA0533E", 0), 0u);
  EXPECT_TRUE(
      EndsWith(local.message, " [158] <" + Ini::ExceptionNumberToString(kIniFileNotFound) + ">"))
      << local.message;
  EXPECT_EQ(connection.GetUser(), "tester");
  EXPECT_EQ(connection.GetHost(), "memory");
  EXPECT_TRUE(QELIniKey(connection).Store().isGroupExist("/Kept"));

  QELRemoteIniConnection remote;
  const QELStatus status = remote.Login("127.0.0.1:1/store.ini", 0, "someone", "secret");
  EXPECT_EQ(status.code, 158);
  EXPECT_NE(status.message.find(" [158] <"), std::string::npos);
  EXPECT_EQ(remote.GetHost(), "");
  EXPECT_EQ(remote.GetPort(), 0);
  SetLogSink({});

  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].function, "QELIniConnection::Login");
  EXPECT_EQ(records[0].module, "ldap_key");
  EXPECT_EQ(records[0].severity, 3);
  EXPECT_EQ(records[0].text, local.message);
  EXPECT_EQ(records[1].function, "QELRemoteIniConnection::Login");
}

TEST(BackendConnections, CommitFlushesOnceAndClearsTheFlag) {
  MemoryIniConnection connection;
  connection.BeginTransaction();
  EXPECT_TRUE(connection.IsTransactionStarted());
  MemoryIniConnection copy(connection);
  EXPECT_TRUE(copy.IsTransactionStarted());
  connection.Commit();
  EXPECT_FALSE(connection.IsTransactionStarted());
  EXPECT_EQ(connection.Memory().flushes, 1);

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
  setenv("QEL_REMOTE_CA_FILE", server->CaFile().c_str(), 1);
  server->WriteFile("store.ini", "[/A]\nx=1\n");
  server->WriteFile("dir/store.ini", "[/B]\n");
  const std::string user = WebDavServer::kUser;

  QELRemoteIniConnection remote;
  EXPECT_TRUE(
      remote.Login(server->HostPort() + "/store.ini", 0, user, WebDavServer::kPassword).Ok());
  EXPECT_EQ(remote.GetHost(), server->HostPort());
  EXPECT_EQ(remote.GetUser(), user);
  EXPECT_EQ(remote.GetPort(), 0);
  QELIniKey a("/A", remote);

  // Two slashes: the whole text is the host part, which here still names a file.
  const std::string deeper = server->HostPort() + "/dir/store.ini";
  EXPECT_TRUE(remote.Login(deeper, 0, user, WebDavServer::kPassword).Ok());
  EXPECT_EQ(remote.GetHost(), deeper);
  EXPECT_TRUE(QELIniKey(remote).Store().isGroupExist("/B"));
  EXPECT_TRUE(a.Store().isGroupExist("/A"));  // keys keep the store they were opened on

  std::vector<LogRecord> records;
  SetLogSink([&records](const LogRecord& record) {
    if (record.module == "ldap_key") records.push_back(record);
  });
  const QELStatus refused = remote.Login(server->HostPort() + "/store.ini", 0, user, "wrong");
  SetLogSink({});
  unsetenv("QEL_REMOTE_CA_FILE");
  EXPECT_EQ(refused.code, -7);
  EXPECT_NE(refused.message.find(" [-7] <"), std::string::npos) << refused.message;
  EXPECT_EQ(remote.GetHost(), deeper);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].function, "QELRemoteIniConnection::Login");
  EXPECT_EQ(records[0].severity, 3);
}

}  // namespace
