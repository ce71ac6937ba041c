// A client of an etcd cluster's v3 API: range reads in pages at one revision (over gRPC where the
// transport speaks HTTP/2, else through the JSON gateway), transactions and token authentication
// through the gateway, over HttpTransport, moving on from a member that does not answer to the
// next one.
// Thread safety: one client is used by one thread at a time; distinct clients are independent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http_transport.h"

// The largest page a range read grows to by default, in bytes of keys and values.
constexpr size_t kLargestPageBytes = size_t{32} << 20;

struct EtcdKeyValue {
  std::string key;
  std::string value;
  int64_t mod_revision = 0;
};

// One condition of a transaction. With a range end it must hold for every key in
// [key, range_end) (and holds when there is none); a missing key compares as revisions 0.
struct EtcdCompare {
  enum class Target { kVersion, kCreate, kMod };
  enum class Result { kEqual, kGreater, kLess };
  std::string key;
  std::string range_end;  // "" for `key` alone
  Target target = Target::kMod;
  Result result = Result::kEqual;
  int64_t number = 0;
};

struct EtcdOperation {
  enum class Kind { kPut, kDelete, kRange };
  Kind kind = Kind::kRange;
  std::string key;
  std::string range_end;  // kDelete, kRange: "" for `key` alone
  std::string value;      // kPut
  // kRange: only the keys changed after this revision (0: all; etcd's count ignores it), only
  // their number, or only their keys and revisions.
  int64_t min_mod_revision = 0;
  bool count_only = false;
  bool keys_only = false;
};

struct EtcdTxnResult {
  bool succeeded = false;
  int64_t revision = 0;  // the store's revision after the transaction
  // What each kRange operation of the branch taken read, in the order of the operations, and
  // how many keys each found.
  std::vector<std::vector<EtcdKeyValue>> ranges;
  std::vector<int64_t> counts;
  int64_t deleted = 0;  // keys the branch's deletes removed
};

struct EtcdOptions {
  std::vector<std::string> endpoints;  // "http://host:port" or "https://host:port"
  std::string user;                    // token authentication when not empty
  std::string password;                // never logged, never part of a text
  HttpSettings http;                   // timeouts, trusted CAs, client certificate
  std::string shown;                   // the cluster as error texts name it
  bool gateway_reads = false;          // range reads through the JSON gateway even so
};

struct EtcdRangePage;

// Receives the keys of a range read. A read that has to start again (the revision it pinned was
// compacted away meanwhile) calls Begin again.
class EtcdRangeVisitor {
 public:
  virtual ~EtcdRangeVisitor();
  // Called before the first key with the number of keys the range holds; forgets any keys
  // handed over before. Throws to end the read.
  virtual void Begin(int64_t count) = 0;
  // Called for each key in key order; may take the strings. Throws to end the read.
  virtual void Add(EtcdKeyValue& pair) = 0;
};

class EtcdClient {
 public:
  // Throws QELError (kIniRemoteFailed) when the HTTP library cannot start.
  explicit EtcdClient(EtcdOptions options);
  ~EtcdClient();
  EtcdClient(const EtcdClient&) = delete;
  EtcdClient& operator=(const EtcdClient&) = delete;

  // Turns the user and password into a token that every later request carries (nothing without
  // a user, or when the cluster has authentication off). Throws QELError: code -7 when the
  // cluster refuses them, kIniRemoteFailed when no member answers in time.
  void Authenticate();
  // Reads every key in [key, range_end) as of one revision and returns that revision: `page`
  // keys in the first request, then pages grow with the range (etcd counts the rest of the range
  // for each) up to about `page_bytes`, judged by the first page's keys. Throws QELError
  // (kIniRemoteFailed, or -7 when a renewed token is refused) saying what happened.
  int64_t ReadRange(const std::string& key, const std::string& range_end, int64_t page,
                    EtcdRangeVisitor& visitor, size_t page_bytes = kLargestPageBytes);
  // Runs one transaction. Throws QELError: kIniWriteFailed when the cluster refuses it for its
  // size (naming the server's limit), and then it did nothing; kIniRemoteFailed when no member
  // answered in time or one refused the request, and then it may or may not have been applied.
  EtcdTxnResult Txn(const std::vector<EtcdCompare>& compare,
                    const std::vector<EtcdOperation>& success,
                    const std::vector<EtcdOperation>& failure);

  // Waits up to `timeout_ms` for a change of a key in [key, range_end) after `revision` (a
  // watch); true when one came (or the history since `revision` is compacted away), false on
  // timeout or when the member could not be asked (the next call asks the next member).
  bool Watch(const std::string& key, const std::string& range_end, int64_t revision,
             long timeout_ms);

  // How many requests this client sent, retries included.
  uint64_t Requests() const { return requests_; }
  // Whether range reads go over gRPC (until a member answers them otherwise).
  bool ReadsOverGrpc() const { return grpc_reads_; }

 private:
  struct Answer;
  class PageFetcher;
  // POSTs `body` to `path` on the current member, moving on to the next while members fail or
  // have no leader, and renewing the token once when it was refused. Returns the first answer
  // that is a result or a definite refusal. With `grpc`, `body` is a gRPC message; until a
  // member has answered one, an answer that is no gRPC (a proxy, an HTTP/1 server) returns at
  // once, marked so.
  Answer Call(const char* path, const std::string& body, bool with_token, bool grpc = false);
  // One page of a range read: [from, range_end) at `revision` (0: the newest), `limit` keys.
  // Returns the answer, and decodes it into `page` when it is a result.
  Answer ReadPage(const std::string& from, const std::string& range_end, int64_t limit,
                  int64_t revision, EtcdRangePage* page);
  [[noreturn]] void Refused(const char* what, const Answer& answer, long line) const;

  EtcdOptions options_;
  std::unique_ptr<HttpTransport> http_;
  size_t current_ = 0;  // the member asked first
  std::string token_;
  uint64_t requests_ = 0;
  bool grpc_reads_ = false;
  bool grpc_answered_ = false;  // a member answered a gRPC request as gRPC
};
