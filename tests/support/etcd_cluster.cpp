// Starts, stops and talks to a local etcd cluster for the etcd store's tests and benchmarks. The
// harness speaks plain HTTP/1.0 to the members' JSON gateway on loopback listeners of its own.
#include "etcd_cluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "test_system.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

const std::string kInstallHint = "install the Debian packages etcd-server, etcd-client and openssl";
constexpr const char* kRootPassword = "Root-Pass:59";

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Encode(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
  }
  return out;
}

std::string Decode(const std::string& text) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const char* at = std::strchr(kAlphabet, c);
    if (c == '=' || c == '\0' || at == nullptr) break;
    bits = bits << 6 | static_cast<uint32_t>(at - kAlphabet);
    if (++count == 4) {
      out += static_cast<char>(bits >> 16);
      out += static_cast<char>(bits >> 8);
      out += static_cast<char>(bits);
      bits = 0;
      count = 0;
    }
  }
  if (count == 3) {
    out += static_cast<char>(bits >> 10);
    out += static_cast<char>(bits >> 2);
  } else if (count == 2) {
    out += static_cast<char>(bits >> 4);
  }
  return out;
}

std::string PrefixEnd(std::string prefix) {
  prefix.back() = static_cast<char>(prefix.back() + 1);
  return prefix;
}

void Run(const std::string& command, const std::string& what) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error(what + " failed: " + command);
}

}  // namespace

EtcdCluster::EtcdCluster(const Options& options) : options_(options) {
  dir_ = MakeScratchDirectory("qel-etcd");
  if (dir_.empty()) {
    throw std::runtime_error("cannot make a temporary directory: " + std::string(strerror(errno)));
  }
  try {
    if (std::system("command -v etcd >/dev/null") != 0) {
      throw std::runtime_error("etcd is not installed: " + kInstallHint);
    }
    if (options_.tls) {
      // A CA, and a server and a client certificate it signed. The client's names no Common
      // Name: with authentication on, etcd's gateway refuses requests whose certificate does.
      const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
      std::ofstream(dir_ + "/server.ext")
          << "subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth,clientAuth\n";
      std::ofstream(dir_ + "/client.ext") << "extendedKeyUsage=clientAuth\n";
      const std::string script =
          "cd " + dir_ + " && openssl req -x509 " + ec +
          "-keyout ca.key -out ca.pem -days 2 -subj /CN=qel-test-ca && openssl req " + ec +
          "-keyout server.key -out server.csr -subj /CN=127.0.0.1 && openssl x509 -req -in "
          "server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext -out "
          "server.pem && openssl req " +
          ec +
          "-keyout client.key -out client.csr -subj /O=qel-test && openssl x509 -req -in "
          "client.csr "
          "-CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile client.ext -out client.pem";
      Run("(" + script + ") >" + dir_ + "/openssl.out 2>&1", "openssl (" + kInstallHint + ")");
    }
    for (int i = 0; i < options_.members; ++i) {
      Member member;
      member.name = "m" + std::to_string(i);
      member.client_port = FreeLoopbackPort();
      member.plain_port = options_.tls ? FreeLoopbackPort() : member.client_port;
      member.peer_port = FreeLoopbackPort();
      members_.push_back(member);
    }
    for (int i = 0; i < options_.members; ++i) Launch(i);
    if (Leader() < 0) {
      throw std::runtime_error("the etcd cluster elected no leader in time: " +
                               ReadWholeFile(dir_ + "/m0.log").substr(0, 4000));
    }
    if (options_.auth) SetUpAuthentication();
  } catch (...) {
    for (int i = 0; i < Members(); ++i) Kill(i);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    throw;
  }
}

EtcdCluster::~EtcdCluster() {
  for (int i = 0; i < Members(); ++i) Kill(i);
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

void EtcdCluster::Launch(int index) {
  Member& member = members_[index];
  const std::string host = "http://127.0.0.1:";
  const std::string client =
      (options_.tls ? "https://127.0.0.1:" : host) + std::to_string(member.client_port);
  std::string listen = client;
  if (options_.tls) listen += "," + host + std::to_string(member.plain_port);
  std::string cluster;
  for (const Member& other : members_) {
    if (!cluster.empty()) cluster += ",";
    cluster += other.name + "=" + host + std::to_string(other.peer_port);
  }
  const std::string peer = host + std::to_string(member.peer_port);
  std::vector<std::string> args = {
      "etcd", "--name=" + member.name, "--data-dir=" + dir_ + "/" + member.name,
      "--listen-client-urls=" + listen, "--advertise-client-urls=" + client,
      "--listen-peer-urls=" + peer, "--initial-advertise-peer-urls=" + peer,
      "--initial-cluster=" + cluster, "--initial-cluster-state=new",
      "--initial-cluster-token=qel-test",
      // Fast elections: a killed leader is replaced in about a second.
      "--heartbeat-interval=50", "--election-timeout=500", "--logger=zap", "--log-outputs=stderr",
      // Without fsync the log still reaches the page cache: killing members loses nothing, only
      // a crash of the whole machine would.
      "--unsafe-no-fsync"};
  if (options_.auth_token_ttl_s > 0) {
    args.push_back("--auth-token-ttl=" + std::to_string(options_.auth_token_ttl_s));
  }
  if (options_.tls) {
    args.push_back("--cert-file=" + dir_ + "/server.pem");
    args.push_back("--key-file=" + dir_ + "/server.key");
    args.push_back("--trusted-ca-file=" + dir_ + "/ca.pem");
    args.push_back("--client-cert-auth");
  }
  const std::string log = dir_ + "/" + member.name + ".log";
  member.pid = fork();
  if (member.pid < 0) throw std::runtime_error("fork failed: " + std::string(strerror(errno)));
  if (member.pid == 0) {
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp("etcd", argv.data());
    _exit(127);
  }
}

void EtcdCluster::Kill(int member) {
  Member& it = members_[member];
  if (it.pid <= 0) return;
  kill(it.pid, SIGKILL);
  waitpid(it.pid, nullptr, 0);
  it.pid = -1;
}

void EtcdCluster::Restart(int member) {
  Kill(member);
  // The member rejoins with the cluster it knows from its data directory.
  Launch(member);
}

void EtcdCluster::Pause(int member) {
  if (members_[member].pid > 0) kill(members_[member].pid, SIGSTOP);
}

void EtcdCluster::Resume(int member) {
  if (members_[member].pid > 0) kill(members_[member].pid, SIGCONT);
}

int EtcdCluster::Leader() {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    for (int i = 0; i < Members(); ++i) {
      if (members_[i].pid <= 0) continue;
      long status = 0;
      const Json answer =
          Json::parse(Post(i, "/v3/maintenance/status", "{}", &status), nullptr, false);
      if (status != 200 || !answer.is_object() || !answer.contains("leader")) continue;
      const std::string leader = answer["leader"].get<std::string>();
      if (leader == "0") continue;
      // Find the member whose id is the leader's.
      for (int j = 0; j < Members(); ++j) {
        if (members_[j].pid <= 0) continue;
        const Json other =
            Json::parse(Post(j, "/v3/maintenance/status", "{}", &status), nullptr, false);
        if (status == 200 && other.is_object() &&
            other["header"]["member_id"].get<std::string>() == leader) {
          return j;
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

std::string EtcdCluster::Address(const std::string& prefix) const {
  std::string address = options_.tls ? "etcds://" : "etcd://";
  for (size_t i = 0; i < members_.size(); ++i) {
    if (i > 0) address += ",";
    address += "127.0.0.1:" + std::to_string(members_[i].client_port);
  }
  return address + prefix;
}

std::string EtcdCluster::MemberAddress(int member) const {
  return "127.0.0.1:" + std::to_string(members_[member].client_port);
}

std::string EtcdCluster::Post(int member, const std::string& path, const std::string& body,
                              long* status) {
  if (status != nullptr) *status = 0;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return "";
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(members_[member].plain_port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return "";
  }
  std::string request =
      "POST " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" +
      "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  if (!root_token_.empty()) request += "Authorization: " + root_token_ + "\r\n";
  request += "\r\n" + body;
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = write(fd, request.data() + sent, request.size() - sent);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string answer;
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, n);
  close(fd);
  const size_t head_end = answer.find("\r\n\r\n");
  if (answer.compare(0, 5, "HTTP/") != 0 || head_end == std::string::npos) return "";
  if (status != nullptr) *status = std::strtol(answer.c_str() + answer.find(' ') + 1, nullptr, 10);
  return answer.substr(head_end + 4);
}

std::string EtcdCluster::Request(const std::string& path, const std::string& body) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  std::string last;
  while (Clock::now() < deadline) {
    for (int i = 0; i < Members(); ++i) {
      if (members_[i].pid <= 0) continue;
      long status = 0;
      std::string answer = Post(i, path, body, &status);
      if (status == 200) return answer;
      if (status == 401 && !root_token_.empty()) {
        // The root token outlived its time to live.
        root_token_.clear();
        root_token_ = Json::parse(Request(
            "/v3/auth/authenticate",
            Json{{"name", "root"}, {"password", kRootPassword}}.dump()))["token"]
                          .get<std::string>();
        --i;
        continue;
      }
      last = std::to_string(status) + " " + answer;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("no etcd member took " + path + ": " + last);
}

void EtcdCluster::SetUpAuthentication() {
  // The etcd guide's recipe, verbatim, through a member's plain listener; etcdctl asks for the
  // passwords of root and of the recipe's user, each twice.
  const std::string readme = ReadWholeFile(QEL_ETCD_GUIDE);
  const size_t section = readme.find("Users and roles, once");
  const size_t begin = readme.find("```sh\n", section);
  const size_t end = readme.find("```", begin + 6);
  if (section == std::string::npos || begin == std::string::npos || end == std::string::npos) {
    throw std::runtime_error("docs/etcd.md holds no recipe for users and roles");
  }
  std::ofstream(dir_ + "/recipe.sh") << ("set -e\nexport ETCDCTL_ENDPOINTS=http://127.0.0.1:" +
                                         std::to_string(members_[0].plain_port) + "\n" +
                                         readme.substr(begin + 6, end - begin - 6));
  std::ofstream(dir_ + "/passwords") << kRootPassword << "\n"
                                     << kRootPassword << "\n"
                                     << kRecipePassword << "\n"
                                     << kRecipePassword << "\n";
  Run("sh " + dir_ + "/recipe.sh <" + dir_ + "/passwords >" + dir_ + "/recipe.out 2>&1",
      "the etcd guide's recipe for users and roles (" + kInstallHint + ")");
  root_token_ = Json::parse(Request(
      "/v3/auth/authenticate", Json{{"name", "root"}, {"password", kRootPassword}}.dump()))["token"]
                    .get<std::string>();
  const Json permission = {{"permType", "READWRITE"},
                           {"key", Encode(kUserPrefix)},
                           {"range_end", Encode(PrefixEnd(kUserPrefix))}};
  const std::vector<std::pair<std::string, Json>> steps = {
      {"role/add", {{"name", "qel-writer"}}},
      {"role/grant", {{"name", "qel-writer"}, {"perm", permission}}},
      {"user/add", {{"name", kUser}, {"password", kPassword}}},
      {"user/grant", {{"user", kUser}, {"role", "qel-writer"}}}};
  for (const auto& step : steps) Request("/v3/auth/" + step.first, step.second.dump());
}

void EtcdCluster::Put(const std::string& key, const std::string& value) {
  Request("/v3/kv/put", Json{{"key", Encode(key)}, {"value", Encode(value)}}.dump());
}

EtcdCluster& EtcdCluster::Shared() {
  static const std::unique_ptr<EtcdCluster> cluster = [] {
    Options options;
    options.members = 1;
    return std::make_unique<EtcdCluster>(options);
  }();
  return *cluster;
}

void EtcdCluster::Delete(const std::string& key) {
  Request("/v3/kv/deleterange", Json{{"key", Encode(key)}}.dump());
}

void EtcdCluster::Compact() {
  // A put moves the revision on, so that every revision read before is compacted away.
  const Json put =
      Json::parse(Request("/v3/kv/put", Json{{"key", Encode("/compacted")}, {"value", ""}}.dump()));
  const std::string revision = put["header"]["revision"].get<std::string>();
  Request("/v3/kv/compaction", Json{{"revision", revision}, {"physical", true}}.dump());
}

std::map<std::string, std::string> EtcdCluster::Get(const std::string& prefix) {
  const Json answer = Json::parse(
      Request("/v3/kv/range",
              Json{{"key", Encode(prefix)}, {"range_end", Encode(PrefixEnd(prefix))}}.dump()));
  std::map<std::string, std::string> pairs;
  if (answer.contains("kvs")) {
    for (const Json& kv : answer["kvs"]) {
      pairs[Decode(kv["key"].get<std::string>())] =
          kv.contains("value") ? Decode(kv["value"].get<std::string>()) : "";
    }
  }
  return pairs;
}

std::string EtcdCluster::StoreText(const std::string& prefix) {
  std::string text;
  for (const auto& pair : Get(prefix)) {
    const std::string group = pair.first.substr(prefix.size());
    if (!group.empty() && group.front() != '/') continue;
    text += "[" + group + "]\n" + pair.second;
    if (!pair.second.empty() && pair.second.back() != '\n') text += "\n";
  }
  return text;
}

void EtcdCluster::PutStore(const std::string& prefix, const std::string& ini_text) {
  std::map<std::string, std::string> groups;
  std::string* current = nullptr;
  std::istringstream lines(ini_text);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      current = &groups[line.substr(1, line.size() - 2)];
      continue;
    }
    if (current == nullptr) current = &groups[""];
    *current += line + "\n";
  }
  // Transactions of 100 puts stay below the servers' default limit of 128 operations.
  Json success = Json::array();
  for (const auto& group : groups) {
    success.push_back({{"request_put",
                        {{"key", Encode(prefix + group.first)}, {"value", Encode(group.second)}}}});
    if (success.size() == 100) {
      Request("/v3/kv/txn", Json{{"success", success}}.dump());
      success = Json::array();
    }
  }
  if (!success.empty()) Request("/v3/kv/txn", Json{{"success", success}}.dump());
}
