// Proxies named by the environment, for every variable libcurl reads and every remote store kind:
// a store that sends credentials over plain HTTP never goes through one, and one that speaks TLS
// reaches its server through the proxy's tunnel, which sees no credentials. And an etcd cluster
// behind a proxy that speaks only HTTP/1.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include "etcd_cluster.h"
#include "etcd_ini.h"
#include "remote_ini.h"
#include "test_system.h"
#include "webdav_server.h"

namespace {

// A proxy on loopback that records every byte it receives. It tunnels CONNECT requests to
// their target, as an HTTPS proxy does; any other request is closed unanswered. Or, with
// `reverse_to`, it passes HTTP/1 requests on to that port and closes HTTP/2 connections.
class RecordingProxy {
 public:
  explicit RecordingProxy(int reverse_to = 0) : reverse_to_(reverse_to) {
    listener_ = ListenOnLoopback(port_, "the recording proxy");
    acceptor_ = std::thread([this] { Accept(); });
  }

  ~RecordingProxy() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    for (std::thread& connection : connections_) connection.join();
    ::close(listener_);
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  std::string Received() {
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
  }

 private:
  void Accept() {
    for (;;) {
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      connections_.emplace_back([this, client] {
        Serve(client);
        ::close(client);
      });
    }
  }

  // Reads what `from` sends, up to `limit` bytes; false when it closed or the proxy stops.
  bool Read(int from, std::string* data) {
    pollfd watch{from, POLLIN, 0};
    while (!stop_) {
      if (::poll(&watch, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t got = ::read(from, buffer, sizeof buffer);
      if (got <= 0) return false;
      data->assign(buffer, static_cast<size_t>(got));
      return true;
    }
    return false;
  }

  void Record(const std::string& data) {
    std::lock_guard<std::mutex> guard(lock_);
    received_ += data;
  }

  void Serve(int client) {
    std::string head;
    std::string piece;
    while (head.find("\r\n\r\n") == std::string::npos && Read(client, &piece)) {
      head += piece;
      Record(piece);
    }
    unsigned port = static_cast<unsigned>(reverse_to_);
    if (reverse_to_ != 0 && head.rfind("PRI * HTTP/2.0", 0) == 0) return;
    if (reverse_to_ == 0 && std::sscanf(head.c_str(), "CONNECT 127.0.0.1:%u ", &port) != 1) return;
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (reverse_to_ != 0 &&
        ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::write(server, head.data(), head.size()) == static_cast<ssize_t>(head.size())) {
      Relay(client, server);
    } else if (reverse_to_ == 0 &&
               ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
      if (::write(client, established.data(), established.size()) > 0) Relay(client, server);
    }
    ::close(server);
  }

  // Passes bytes both ways until either side closes, recording what the client sends.
  void Relay(int client, int server) {
    pollfd both[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    char buffer[16384];
    while (!stop_) {
      if (::poll(both, 2, 100) <= 0) continue;
      for (int side = 0; side < 2; ++side) {
        if (both[side].revents == 0) continue;
        const ssize_t got = ::read(both[side].fd, buffer, sizeof buffer);
        if (got <= 0) return;
        if (side == 0) Record(std::string(buffer, static_cast<size_t>(got)));
        if (::write(both[1 - side].fd, buffer, static_cast<size_t>(got)) != got) return;
      }
    }
  }

  const int reverse_to_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<std::thread> connections_;  // only the acceptor adds, before the join
  std::mutex lock_;
  std::string received_;
};

// The variables libcurl reads for a proxy, and whether each applies to https addresses.
struct ProxyVariable {
  const char* name;
  bool for_https;
};
const ProxyVariable kVariables[] = {{"http_proxy", false}, {"HTTP_PROXY", false},
                                    {"all_proxy", true},   {"ALL_PROXY", true},
                                    {"https_proxy", true}, {"HTTPS_PROXY", true}};

// The servers, started once for every case.
struct Servers {
  Servers() {
    EtcdCluster::Options options;
    options.members = 1;
    options.auth = true;
    etcd = std::make_unique<EtcdCluster>(options);
  }
  WebDavServer webdav;
  std::unique_ptr<EtcdCluster> etcd;
};

// One remote store kind with credentials: how to open it, and whether it speaks TLS.
struct StoreKind {
  const char* name;
  bool tls;
  std::function<std::unique_ptr<Ini>(Servers&)> open;
};

const StoreKind kKinds[] = {
    {"WebDavPlain", false,
     [](Servers& servers) {
       servers.webdav.WriteFile("plain.ini", "[/A]\nx=1\n");
       return std::make_unique<RemoteIni>(servers.webdav.PlainUrl() + "/plain.ini", "",
                                          WebDavServer::kUser, WebDavServer::kPassword);
     }},
    {"WebDavTls", true,
     [](Servers& servers) {
       servers.webdav.WriteFile("tls.ini", "[/A]\nx=1\n");
       return std::make_unique<RemoteIni>(servers.webdav.HostPort(), "tls.ini", WebDavServer::kUser,
                                          WebDavServer::kPassword);
     }},
    {"EtcdPlain", false,
     [](Servers& servers) {
       const std::string prefix = std::string(EtcdCluster::kUserPrefix) + "/proxied";
       servers.etcd->PutStore(prefix, "[/A]\nx=1\n");
       return std::make_unique<EtcdIni>(servers.etcd->Address(prefix), EtcdCluster::kUser,
                                        EtcdCluster::kPassword);
     }},
};

void PrintTo(const ProxyVariable& variable, std::ostream* out) { *out << variable.name; }
void PrintTo(const StoreKind& kind, std::ostream* out) { *out << kind.name; }

class ProxyTest : public ::testing::TestWithParam<std::tuple<ProxyVariable, StoreKind>> {
 protected:
  static void SetUpTestSuite() {
    try {
      servers_ = std::make_unique<Servers>();
    } catch (const std::exception& error) {
      failure_ = error.what();
    }
  }
  static void TearDownTestSuite() { servers_.reset(); }

  void SetUp() override {
    ASSERT_NE(servers_, nullptr) << "the test servers cannot run: " << failure_;
    for (const char* name : {"no_proxy", "NO_PROXY"}) unsetenv(name);
    setenv("QEL_REMOTE_CA_FILE", servers_->webdav.CaFile().c_str(), 1);
    setenv("QEL_REMOTE_TIMEOUT", "10", 1);
  }
  void TearDown() override {
    unsetenv("QEL_REMOTE_CA_FILE");
    unsetenv("QEL_REMOTE_TIMEOUT");
  }

  inline static std::unique_ptr<Servers> servers_;
  inline static std::string failure_;
};

TEST_P(ProxyTest, CredentialsNeverReachTheProxyAndTlsIsTunnelled) {
  const auto& [variable, kind] = GetParam();
  RecordingProxy proxy;
  setenv(variable.name, proxy.Url().c_str(), 1);
  try {
    std::unique_ptr<Ini> ini = kind.open(*servers_);
    ini->SetKeyValue("/A", "y", "2");
    ini->FlushIniDataToFile("");
  } catch (const QELError& error) {
    ADD_FAILURE() << "the store failed: " << error.What();
  }
  unsetenv(variable.name);

  const std::string seen = proxy.Received();
  if (!kind.tls) {
    EXPECT_EQ("", seen) << "credentials in clear went through " << variable.name;
    return;
  }
  EXPECT_EQ(seen.find("Authorization"), std::string::npos) << seen;
  EXPECT_EQ(seen.find(WebDavServer::kPassword), std::string::npos) << seen;
  // A proxy for https is honoured: the store reached the server through its tunnel.
  EXPECT_EQ(variable.for_https, seen.rfind("CONNECT 127.0.0.1:", 0) == 0) << seen;
}

// Range reads go over gRPC (HTTP/2) where they can; through a proxy that does not carry it, the
// store reads through the JSON gateway instead, as every other request does.
TEST_F(ProxyTest, AnEtcdClusterBehindAnHttp1ProxyIsReadThroughTheGateway) {
  const std::string prefix = std::string(EtcdCluster::kUserPrefix) + "/http1";
  servers_->etcd->PutStore(prefix, "[/A]\nx=1\n");
  const std::string member = servers_->etcd->MemberAddress(0);
  RecordingProxy proxy(std::stoi(member.substr(member.rfind(':') + 1)));
  const std::string address = "etcd://" + proxy.Url().substr(7) + prefix;
  try {
    EtcdIni ini(address, EtcdCluster::kUser, EtcdCluster::kPassword);
    ini.SetKeyValue("/A", "y", "2");
    ini.FlushIniDataToFile("");
    EtcdIni again(address, EtcdCluster::kUser, EtcdCluster::kPassword);
    std::string y;
    again.ForEachGroupEntry("/A", [&y](const std::string& name, const std::string& value) {
      if (name == "y") y = value;
    });
    EXPECT_EQ(y, "2");
  } catch (const QELError& error) {
    ADD_FAILURE() << "the store failed: " << error.What();
  }
  const std::string seen = proxy.Received();
  EXPECT_NE(seen.find("PRI * HTTP/2.0"), std::string::npos) << "the read did not try gRPC first";
  EXPECT_NE(seen.find("POST /v3/kv/range"), std::string::npos) << seen;
}

INSTANTIATE_TEST_SUITE_P(
    EveryVariableAndStore, ProxyTest,
    ::testing::Combine(::testing::ValuesIn(kVariables), ::testing::ValuesIn(kKinds)),
    [](const ::testing::TestParamInfo<std::tuple<ProxyVariable, StoreKind>>& info) {
      return std::string(std::get<1>(info.param).name) + "_" + std::get<0>(info.param).name;
    });

}  // namespace
