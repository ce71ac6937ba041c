// A local etcd cluster for the etcd store's tests and benchmarks: etcd members (Debian's
// etcd-server) on loopback ports in a temporary directory, with TLS (a CA, server and client
// certificates made by openssl) and authentication when asked: the users and roles of the README's
// recipe, made by running it with etcdctl, and a user whose role may read and write one prefix. The
// members run without fsync: nothing the tests and benchmarks check needs their logs on disk, and
// writes then do not wait on a shared disk. Thread safety: one thread drives a cluster; the members
// are separate processes.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

class EtcdCluster {
 public:
  static constexpr const char* kUser = "qel";
  static constexpr const char* kPassword = "Etcd-Pass:31";
  // The prefix kUser may read and write when authentication is on.
  static constexpr const char* kUserPrefix = "/granted";
  // The user the README's recipe makes, and the prefix its role may read and write.
  static constexpr const char* kRecipeUser = "app";
  static constexpr const char* kRecipePassword = "App-Pass:27";
  static constexpr const char* kRecipePrefix = "/site/";

  struct Options {
    int members = 3;
    bool tls = false;          // clients speak TLS and must show a certificate of the cluster's CA
    bool auth = false;         // authentication on, with kUser and a root user
    int auth_token_ttl_s = 0;  // --auth-token-ttl when above 0
  };

  // Makes the certificates and starts the members, and waits until they have a leader (and
  // authentication is set up). Throws std::runtime_error saying what is missing or failed.
  explicit EtcdCluster(const Options& options);
  // A one-member cluster the tests of one program share, started when first asked for.
  static EtcdCluster& Shared();
  // Kills every member and removes the directory.
  ~EtcdCluster();
  EtcdCluster(const EtcdCluster&) = delete;
  EtcdCluster& operator=(const EtcdCluster&) = delete;

  int Members() const { return static_cast<int>(members_.size()); }
  // The member that leads now, waiting up to 10 s for one; -1 when none does.
  int Leader();
  // Kills a member (SIGKILL) and waits for it; its data stays.
  void Kill(int member);
  // Starts a killed member again on its data and ports.
  void Restart(int member);
  // Freezes and thaws a member: its connections stay open but nothing answers.
  void Pause(int member);
  void Resume(int member);

  // "etcd://127.0.0.1:P1,127.0.0.1:P2,.../prefix" (etcds:// with TLS).
  std::string Address(const std::string& prefix) const;
  // The member's client URL as the store's address names it, and its port alone.
  std::string MemberAddress(int member) const;
  // The CA that signed every certificate, and the client certificate and key.
  std::string CaFile() const { return dir_ + "/ca.pem"; }
  std::string ClientCertFile() const { return dir_ + "/client.pem"; }
  std::string ClientKeyFile() const { return dir_ + "/client.key"; }

  // Reads and writes keys as the root user, through a plain listener of a member that answers.
  // Put throws std::runtime_error when no member takes it.
  void Put(const std::string& key, const std::string& value);
  void Delete(const std::string& key);
  // Compacts the history up to the current revision (after a write of its own): a read pinned
  // to an earlier revision is refused from then on.
  void Compact();
  // Every key beginning with `prefix`, with its value.
  std::map<std::string, std::string> Get(const std::string& prefix);
  // The INI text of the store under `prefix`: each key a "[group]" header and its value.
  std::string StoreText(const std::string& prefix);
  // Writes the groups of `ini_text` (a file with one header per group) under `prefix`, each
  // group's lines as one key, in transactions of 100 keys.
  void PutStore(const std::string& prefix, const std::string& ini_text);

 private:
  struct Member {
    std::string name;
    int client_port = 0;  // the one the store uses (TLS when the cluster has TLS)
    int plain_port = 0;   // plain HTTP on loopback, for this harness
    int peer_port = 0;
    pid_t pid = -1;
  };
  void Launch(int member);
  // POSTs `body` to `path` on a member's plain listener; the answer's body, "" without one.
  std::string Post(int member, const std::string& path, const std::string& body,
                   long* status = nullptr);
  // Like Post, on the first member that answers 200, with the root token when auth is on.
  std::string Request(const std::string& path, const std::string& body);
  void SetUpAuthentication();

  Options options_;
  std::string dir_;
  std::vector<Member> members_;
  std::string root_token_;
};
