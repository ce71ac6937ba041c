// The etcd v3 JSON gateway: requests as JSON with keys and values in base64, answers parsed with
// nlohmann::json, members tried in turn until one answers or the time is up.
#include "etcd_client.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <list>
#include <mutex>
#include <thread>
#include <utility>

#include <zor-qel-rb-key/qel_error.h>
#include <nlohmann/json.hpp>
#include "base64.h"
#include "clog_msg.h"
#include "ini_types.h"
#include "remote_settings.h"

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kSourceFile = "store/etcd/etcd_client";
constexpr const char* kModule = "ini";
// One request waits a third of the whole time, between these bounds, before the next member is
// asked: a member that takes connections but never answers is passed over in time. etcd itself
// answers within about 7 s even while it elects a leader.
constexpr long kShortestAttemptMs = 1000;
constexpr long kLongestAttemptMs = 10000;
// The pause after every member failed once, doubling up to the longest.
constexpr long kFirstPauseMs = 50;
constexpr long kLongestPauseMs = 1000;
// A read pinned to a revision that is compacted away meanwhile starts again, this many times.
constexpr int kRangeRestarts = 5;
// Connections reading the parts of a range side by side, and parts read ahead of the one the
// visitor takes, each of a quarter page at most: the keys in memory stay within two pages.
constexpr size_t kReaders = 3;
constexpr size_t kPartsAhead = 3;
// Parts one page's remainder is split into at most; a part found larger is split again.
constexpr int64_t kMostSplits = 64;

// gRPC status codes the gateway passes on.
constexpr int kCodeCancelled = 1;
constexpr int kCodeInvalidArgument = 3;
constexpr int kCodeDeadlineExceeded = 4;
constexpr int kCodePermissionDenied = 7;
constexpr int kCodeResourceExhausted = 8;
constexpr int kCodeFailedPrecondition = 9;
constexpr int kCodeOutOfRange = 11;
constexpr int kCodeUnavailable = 14;
constexpr int kCodeUnauthenticated = 16;

[[noreturn]] void Fail(long code, const std::string& text, long line) {
  throw QELError(text, code, kIniFacility, kSourceFile, line);
}

// An int64 field, which the gateway writes as a string; 0 when absent.
int64_t Number(const Json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end() || found->is_null()) return 0;
  if (found->is_number_integer()) return found->get<int64_t>();
  if (found->is_string())
    return std::strtoll(found->get_ref<const std::string&>().c_str(), nullptr, 10);
  return 0;
}

int64_t HeaderRevision(const Json& body) {
  const auto header = body.find("header");
  return header != body.end() ? Number(*header, "revision") : 0;
}

std::string Bytes(const Json& object, const char* name) {
  std::string bytes;
  const auto found = object.find(name);
  if (found != object.end() && found->is_string() &&
      !FromBase64(found->get_ref<const std::string&>(), &bytes)) {
    Fail(kIniRemoteFailed, std::string("the etcd gateway sent a ") + name + " that is not base64",
         __LINE__);
  }
  return bytes;
}

void ReadPairs(Json& kvs, std::vector<EtcdKeyValue>* pairs) {
  if (!kvs.is_array()) return;
  for (Json& kv : kvs) {
    EtcdKeyValue pair;
    pair.key = Bytes(kv, "key");
    pair.value = Bytes(kv, "value");
    pair.mod_revision = Number(kv, "mod_revision");
    pairs->push_back(std::move(pair));
  }
}

// Reads one page of a range answer straight into key-value pairs, as the parser walks the text:
// {"header":{"revision":..},"kvs":[{"key":..,"value":..,"create_revision":..,...}],"more":..,
// "count":..}. Each event returns true to go on; a syntax error stops the parse (false), and a
// key or value that is not base64 marks the page incomplete.
class RangePage : public nlohmann::json_sax<Json> {
 public:
  std::vector<EtcdKeyValue> pairs;
  int64_t revision = 0;
  int64_t count = 0;
  bool more = false;

  bool Complete() const { return revision != 0 && !broken_; }

  bool null() override { return true; }
  bool boolean(bool value) override {
    if (depth_ == 1 && key_ == "more") more = value;
    return true;
  }
  bool number_integer(number_integer_t value) override { return Integer(value); }
  bool number_unsigned(number_unsigned_t value) override {
    return Integer(static_cast<int64_t>(value));
  }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t& value) override {
    if (in_pair_ && depth_ == 3) {
      EtcdKeyValue& pair = pairs.back();
      if (key_ == "key") {
        broken_ = broken_ || !FromBase64(value, &pair.key);
      } else if (key_ == "value") {
        broken_ = broken_ || !FromBase64(value, &pair.value);
      } else {
        Integer(std::strtoll(value.c_str(), nullptr, 10));
      }
      return true;
    }
    return Integer(std::strtoll(value.c_str(), nullptr, 10));
  }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override {
    ++depth_;
    if (in_kvs_ && depth_ == 3) {
      in_pair_ = true;
      pairs.emplace_back();
    }
    if (depth_ == 2) parent_ = key_;
    return true;
  }
  bool key(string_t& name) override {
    key_ = name;
    return true;
  }
  bool end_object() override {
    if (depth_ == 3) in_pair_ = false;
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    if (depth_ == 1 && key_ == "kvs") in_kvs_ = true;
    ++depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    if (depth_ == 1) in_kvs_ = false;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool Integer(int64_t value) {
    if (in_pair_ && depth_ == 3) {
      if (key_ == "mod_revision") pairs.back().mod_revision = value;
    } else if (depth_ == 2 && parent_ == "header" && key_ == "revision") {
      revision = value;
    } else if (depth_ == 1 && key_ == "count") {
      count = value;
    }
    return true;
  }

  int depth_ = 0;  // 1 inside the answer, 2 inside "header" or "kvs", 3 inside a pair
  bool in_kvs_ = false;
  bool in_pair_ = false;
  bool broken_ = false;  // a key or value that is not base64
  std::string key_;      // the last member name read
  std::string parent_;   // the member holding the object at depth 2
};

const char* TargetName(EtcdCompare::Target target) {
  switch (target) {
    case EtcdCompare::Target::kVersion:
      return "VERSION";
    case EtcdCompare::Target::kCreate:
      return "CREATE";
    case EtcdCompare::Target::kMod:
      break;
  }
  return "MOD";
}

const char* TargetField(EtcdCompare::Target target) {
  switch (target) {
    case EtcdCompare::Target::kVersion:
      return "version";
    case EtcdCompare::Target::kCreate:
      return "create_revision";
    case EtcdCompare::Target::kMod:
      break;
  }
  return "mod_revision";
}

const char* ResultName(EtcdCompare::Result result) {
  switch (result) {
    case EtcdCompare::Result::kGreater:
      return "GREATER";
    case EtcdCompare::Result::kLess:
      return "LESS";
    case EtcdCompare::Result::kEqual:
      break;
  }
  return "EQUAL";
}

Json OperationJson(const EtcdOperation& operation) {
  Json request = {{"key", Base64(operation.key)}};
  if (!operation.range_end.empty()) request["range_end"] = Base64(operation.range_end);
  if (operation.min_mod_revision > 0) request["min_mod_revision"] = operation.min_mod_revision;
  if (operation.count_only) request["count_only"] = true;
  if (operation.keys_only) request["keys_only"] = true;
  switch (operation.kind) {
    case EtcdOperation::Kind::kPut:
      request["value"] = Base64(operation.value);
      return {{"request_put", std::move(request)}};
    case EtcdOperation::Kind::kDelete:
      return {{"request_delete_range", std::move(request)}};
    case EtcdOperation::Kind::kRange:
      break;
  }
  return {{"request_range", std::move(request)}};
}

// The 8 bytes of `key` from `at` on as a number, missing bytes counting as 0: keys sharing their
// first `at` bytes compare as these numbers do, to within their ninth byte.
uint64_t Position(const std::string& key, size_t at) {
  uint64_t position = 0;
  for (size_t i = at; i < at + 8; ++i) {
    position = position << 8 | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0u);
  }
  return position;
}

// The key of the first `at` bytes of `key` and `position` (without trailing zero bytes).
std::string KeyAt(const std::string& key, size_t at, uint64_t position) {
  std::string made = key.substr(0, at);
  for (int shift = 56; shift >= 0 && position != 0; shift -= 8) {
    made.push_back(static_cast<char>(position >> shift & 0xFF));
    position &= (uint64_t{1} << shift) - 1;
  }
  return made;
}

size_t CommonPrefix(const std::string& a, const std::string& b) {
  size_t common = 0;
  while (common < a.size() && common < b.size() && a[common] == b[common]) ++common;
  return common;
}

}  // namespace

std::vector<std::string> EtcdRangeSplits(const std::vector<std::string>& keys,
                                         const std::string& end, int64_t rest, int64_t page) {
  std::vector<std::string> splits;
  if (keys.empty() || rest <= page) return splits;  // one request reads the rest
  const std::string& last = keys.back();
  // Where the rest probably ends, at the density of the page's second half (its first keys may
  // be the prefix's own key or another lone one); `end` when that lies beyond it.
  const size_t middle = (keys.size() - 1) / 2;
  const std::string& from = keys[middle];
  const size_t intervals = keys.size() - 1 - middle;
  std::string high = end;
  if (intervals > 0) {
    const size_t common = CommonPrefix(from, last);
    const uint64_t low = Position(last, common);
    const long double reach = static_cast<long double>(low - Position(from, common)) *
                              static_cast<long double>(rest) / static_cast<long double>(intervals);
    if (reach < static_cast<long double>(UINT64_MAX - low)) {
      const std::string estimate = KeyAt(last, common, low + static_cast<uint64_t>(reach) + 1);
      if (estimate < end) high = estimate;
    }
  }
  // Between the last key and there, parts of about a page each, evenly by position.
  const size_t common = CommonPrefix(last, high);
  const uint64_t low = Position(last, common);
  const uint64_t step =
      (Position(high, common) - low) /
      static_cast<uint64_t>(std::min<int64_t>((rest + page - 1) / page, kMostSplits));
  for (uint64_t position = low + step; step != 0 && position - low < Position(high, common) - low;
       position += step) {
    std::string split = KeyAt(last, common, position);
    if (split > last && split < high && (splits.empty() || split > splits.back())) {
      splits.push_back(std::move(split));
    }
  }
  if (high < end && high > last && (splits.empty() || high > splits.back())) {
    splits.push_back(high);
  }
  return splits;
}

namespace {

// What became of a request to one member, for an error text.
std::string Describe(const HttpResponse& response, uint64_t max_bytes) {
  if (response.failure != HttpFailure::kNone) return HttpFailureText(response, max_bytes);
  return "HTTP " + std::to_string(response.status);
}

}  // namespace

EtcdRangeVisitor::~EtcdRangeVisitor() = default;

// An answer of the gateway: a result (status 200) or a refusal with etcd's code and words.
struct EtcdClient::Answer {
  std::string endpoint;
  long status = 0;
  int code = 0;
  std::string message;
  std::string text;  // the body as sent
  Json body;         // its parse, for a refusal; callers parse a result as they need

  // Parses `text` into `body`: an empty object when it is no JSON.
  void Parse() {
    body = Json::parse(text, nullptr, false);
    if (body.is_discarded()) body = Json::object();
  }

  bool Ok() const { return status == 200; }
  std::string Text() const {
    return endpoint + " answered HTTP " + std::to_string(status) +
           (message.empty() ? "" : ": " + message);
  }
};

EtcdClient::EtcdClient(EtcdOptions options) : options_(std::move(options)) {
  HttpSettings settings = options_.http;
  settings.user.clear();  // etcd takes no basic authentication: the token stands for the user
  settings.password.clear();
  settings.secret_requests = !options_.user.empty();  // the password, then the token
  http_ = MakeHttpTransport(std::move(settings));
}

EtcdClient::~EtcdClient() = default;

EtcdClient::Answer EtcdClient::Call(const char* path, const std::string& body, bool with_token) {
  const long total_ms = options_.http.timeout_ms;
  const auto started = Clock::now();
  const auto deadline = started + std::chrono::milliseconds(total_ms);
  const long attempt_ms = std::clamp(total_ms / 3, kShortestAttemptMs, kLongestAttemptMs);
  long pause_ms = kFirstPauseMs;
  bool renewed = false;
  size_t broken = 0;  // transfers that failed other than by a refused connection or a timeout
  // What each member's last attempt met, and whether it took no connection at all (refused, or
  // its name unknown): when none does for the connect timeout, the cluster is down.
  std::vector<std::string> failures(options_.endpoints.size());
  std::vector<char> unreachable(options_.endpoints.size(), 0);
  for (size_t tried = 1;; ++tried) {
    const std::string& endpoint = options_.endpoints[current_];
    HttpRequest request;
    request.method = "POST";
    request.url = endpoint + path;
    request.body = &body;
    request.headers.push_back("Content-Type: application/json");
    if (with_token && !token_.empty()) request.headers.push_back("Authorization: " + token_);
    const long left_ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    request.timeout_ms = std::max(1L, std::min(attempt_ms, left_ms));
    HttpResponse response = http_->Perform(request);
    ++requests_;
    if (response.failure == HttpFailure::kInterrupted) {
      Fail(kIniRemoteFailed, "etcd member " + endpoint + ": interrupted", __LINE__);
    }

    Answer answer;
    answer.endpoint = endpoint;
    bool retry = false;
    if (response.failure == HttpFailure::kNone) {
      answer.status = response.status;
      answer.text = std::move(response.body);
      if (!answer.Ok()) {
        answer.Parse();
        answer.code = static_cast<int>(Number(answer.body, "code"));
        const auto message = answer.body.find("message");
        if (message != answer.body.end() && message->is_string()) {
          answer.message = message->get<std::string>();
        } else {
          answer.message = answer.text.substr(0, 200);
        }
      }
      // An unavailable member, one without a leader, or one that timed out waiting for it:
      // another member may do better. A transaction asked again cannot apply twice, since
      // its own first application fails the comparisons it carries.
      retry = answer.status >= 500 || answer.status == 429 || answer.code == kCodeUnavailable ||
              answer.code == kCodeDeadlineExceeded || answer.code == kCodeCancelled ||
              answer.code == kCodeResourceExhausted;
    } else {
      // A certificate that is not trusted is no reason to try elsewhere, nor an answer larger
      // than allowed; nor are handshakes and transfers that broke off with every member twice
      // (plain HTTP to a TLS member, a client certificate missing), unlike a member that is
      // down or slow while the cluster elects a leader.
      const bool broke =
          response.failure == HttpFailure::kTls || response.failure == HttpFailure::kOther;
      if (response.failure == HttpFailure::kCertificate ||
          response.failure == HttpFailure::kTooLarge ||
          (broke && ++broken >= 2 * options_.endpoints.size())) {
        Fail(kIniRemoteFailed,
             "etcd member " + endpoint + ": " + Describe(response, options_.http.max_body_bytes),
             __LINE__);
      }
      retry = true;
    }
    CLogMsg trace("EtcdClient::Request", kModule, kLogTrace);
    if (trace.IsEnable()) {
      trace << "POST " << request.url << ": "
            << (response.failure == HttpFailure::kNone
                    ? "HTTP " + std::to_string(response.status) +
                          (answer.message.empty() ? "" : " " + answer.message)
                    : response.detail)
            << flush;
    }
    const bool token_refused = answer.code == kCodeUnauthenticated || answer.status == 401 ||
                               answer.message.find("invalid auth token") != std::string::npos ||
                               answer.message.find("user name is empty") != std::string::npos;
    if (with_token && token_refused && !options_.user.empty() && !renewed) {
      // Tokens expire after their time to live and die with a restarted member.
      renewed = true;
      Authenticate();
      continue;
    }
    if (!retry) return answer;

    failures[current_] = response.failure == HttpFailure::kNone
                             ? answer.Text()
                             : Describe(response, options_.http.max_body_bytes);
    unreachable[current_] =
        response.failure == HttpFailure::kConnect || response.failure == HttpFailure::kResolve;
    const bool down =
        std::all_of(unreachable.begin(), unreachable.end(), [](char none) { return none != 0; }) &&
        Clock::now() - started >= std::chrono::milliseconds(options_.http.connect_timeout_ms);
    if (down || Clock::now() >= deadline) {
      std::string each;
      for (size_t i = 0; i < failures.size(); ++i) {
        if (failures[i].empty()) continue;
        each += (each.empty() ? "" : "; ") + options_.endpoints[i] + ": " + failures[i];
      }
      Fail(kIniRemoteFailed,
           "no member of the etcd cluster " + options_.shown +
               (down ? " took a connection within " +
                           std::to_string(options_.http.connect_timeout_ms / 1000) + " s ("
                     : " answered within " + std::to_string(total_ms / 1000) + " s (") +
               each + ")",
           __LINE__);
    }
    current_ = (current_ + 1) % options_.endpoints.size();
    if (tried % options_.endpoints.size() == 0) {
      // Every member failed once: wait for an election or a restart before the next round.
      const long left = static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::max(0L, std::min(pause_ms, left))));
      pause_ms = std::min(pause_ms * 2, kLongestPauseMs);
    }
  }
}

void EtcdClient::Refused(const char* what, const Answer& answer, long line) const {
  if (answer.code == kCodePermissionDenied || answer.status == 403) {
    Fail(kIniRemoteFailed,
         std::string(what) + " on the etcd cluster " + options_.shown + ": user \"" +
             options_.user + "\" lacks the permission (" + answer.Text() + ")",
         line);
  }
  if (answer.message.find("too many operations in txn request") != std::string::npos) {
    Fail(kIniWriteFailed,
         std::string(what) + " on the etcd cluster " + options_.shown +
             ": the transaction has more operations than the cluster's limit --max-txn-ops "
             "(128 unless the server sets it); nothing was written (" +
             answer.Text() + ")",
         line);
  }
  if (answer.message.find("request is too large") != std::string::npos) {
    Fail(kIniWriteFailed,
         std::string(what) + " on the etcd cluster " + options_.shown +
             ": the request is larger than the cluster's limit --max-request-bytes (1.5 MiB "
             "unless the server sets it); nothing was written (" +
             answer.Text() + ")",
         line);
  }
  Fail(kIniRemoteFailed,
       std::string(what) + " on the etcd cluster " + options_.shown + " failed: " + answer.Text(),
       line);
}

void EtcdClient::Authenticate() {
  if (options_.user.empty()) return;
  const std::string body = Json{{"name", options_.user}, {"password", options_.password}}.dump();
  token_.clear();
  Answer answer = Call("/v3/auth/authenticate", body, false);
  if (answer.Ok()) {
    answer.Parse();
    const auto token = answer.body.find("token");
    if (token != answer.body.end() && token->is_string()) token_ = token->get<std::string>();
    return;
  }
  if (answer.code == kCodeFailedPrecondition &&
      answer.message.find("authentication is not enabled") != std::string::npos) {
    return;  // a cluster without authentication takes requests without a token
  }
  if (answer.code == kCodeInvalidArgument || answer.code == kCodeUnauthenticated ||
      answer.status == 401) {
    Fail(kIniCredentialsRejected,
         "the etcd cluster " + options_.shown + " refused the credentials of user \"" +
             options_.user + "\" (" + answer.Text() + ")",
         __LINE__);
  }
  Refused("authentication", answer, __LINE__);
}

uint64_t EtcdClient::Requests() const {
  uint64_t requests = requests_;
  for (const auto& reader : readers_) requests += reader->Requests();
  return requests;
}

// The parts of one range read after its first page, each [from, to) at one revision, read by
// helper threads (one a connection) while the reading thread hands the keys of the ones before
// to the visitor. A part that holds more than a page is followed by the parts of its remainder,
// put in its place before it is taken, so the list stays in key order and covers the range.
class EtcdClient::PartReader {
 public:
  struct Part {
    std::string from;
    std::string to;
    bool taken = false;    // a helper reads it
    bool fetched = false;  // and has: `page` holds the keys, or `refusal` the member's answer
    bool refused = false;
    std::string endpoint;  // the member that answered
    RangePage page;
    Answer refusal;
  };

  PartReader(std::vector<std::unique_ptr<EtcdClient>>& readers, std::list<Part> parts, int64_t page,
             int64_t revision)
      : parts_(std::move(parts)), page_(page), revision_(revision) {
    const volatile std::sig_atomic_t* stop = RequestInterruption::Current();
    for (auto& reader : readers) {
      EtcdClient* client = reader.get();
      threads_.emplace_back([this, client, stop] {
        const RequestInterruption interruption(stop);
        Work(*client);
      });
    }
  }
  ~PartReader() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  // The next part in key order once read, waiting for it; false when none is left. Rethrows
  // what a helper threw.
  bool Next(Part* part) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return error_ || parts_.empty() || parts_.front().fetched; });
    if (error_) std::rethrow_exception(error_);
    if (parts_.empty()) return false;
    *part = std::move(parts_.front());
    parts_.pop_front();
    guard.unlock();
    changed_.notify_all();
    return true;
  }

 private:
  // The first part not taken among those close enough to be read ahead.
  std::list<Part>::iterator Untaken() {
    size_t ahead = 0;
    for (auto it = parts_.begin(); it != parts_.end() && ahead < kPartsAhead; ++it, ++ahead) {
      if (!it->taken) return it;
    }
    return parts_.end();
  }

  void Work(EtcdClient& client) {
    try {
      for (;;) {
        std::list<Part>::iterator part;
        std::string from;
        std::string to;
        {
          std::unique_lock<std::mutex> guard(lock_);
          changed_.wait(guard, [&] { return stop_ || (part = Untaken()) != parts_.end(); });
          if (stop_) return;
          part->taken = true;
          from = part->from;
          to = part->to;
        }
        const Json request = {{"key", Base64(from)},
                              {"range_end", Base64(to)},
                              {"limit", page_},
                              {"revision", revision_}};
        Answer answer = client.Call("/v3/kv/range", request.dump(), true);
        RangePage page;
        std::list<Part> rest;
        bool refused = !answer.Ok();
        std::string endpoint = answer.endpoint;
        if (!refused) {
          if (!Json::sax_parse(answer.text, &page) || !page.Complete() ||
              (page.more && page.pairs.empty())) {
            client.NoRangeResult(answer);
          }
          answer = Answer();
          if (page.more && !page.pairs.empty()) {
            std::vector<std::string> keys;
            keys.reserve(page.pairs.size());
            for (const EtcdKeyValue& pair : page.pairs) keys.push_back(pair.key);
            rest = Plan(client, keys, to, page.count, page_, revision_, &answer);
            refused = rest.empty();
          }
        }
        {
          std::lock_guard<std::mutex> guard(lock_);
          part->page = std::move(page);
          part->refusal = std::move(answer);
          part->refused = refused;
          part->endpoint = std::move(endpoint);
          part->fetched = true;
          parts_.splice(std::next(part), rest);
        }
        changed_.notify_all();
      }
    } catch (...) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        error_ = std::current_exception();
      }
      changed_.notify_all();
    }
  }

 public:
  // The parts of what follows the page `keys` of a part ending at `to` that held `count` keys:
  // split where EtcdRangeSplits says, each part's keys counted in one transaction at `revision`,
  // and neighbours joined while they hold `page` keys at most, so that no request reads an empty
  // part. Empty when the count was refused; `*refusal` then holds the answer.
  static std::list<Part> Plan(EtcdClient& client, const std::vector<std::string>& keys,
                              const std::string& to, int64_t count, int64_t page, int64_t revision,
                              Answer* refusal) {
    std::list<Part> parts(1);
    parts.back().from = keys.back() + '\0';
    const std::vector<std::string> splits =
        EtcdRangeSplits(keys, to, count - static_cast<int64_t>(keys.size()), page);
    for (const std::string& split : splits) {
      parts.back().to = split;
      parts.emplace_back();
      parts.back().from = split;
    }
    parts.back().to = to;
    if (parts.size() == 1) return parts;
    Json request = {{"compare", Json::array()}, {"success", Json::array()}};
    for (const Part& part : parts) {
      request["success"].push_back({{"request_range",
                                     {{"key", Base64(part.from)},
                                      {"range_end", Base64(part.to)},
                                      {"count_only", true},
                                      {"revision", revision}}}});
    }
    Answer answer = client.Call("/v3/kv/txn", request.dump(), true);
    if (!answer.Ok()) {
      *refusal = std::move(answer);
      return {};
    }
    answer.Parse();
    const auto responses = answer.body.find("responses");
    if (responses == answer.body.end() || !responses->is_array() ||
        responses->size() != parts.size()) {
      client.NoRangeResult(answer);
    }
    auto part = parts.begin();
    int64_t held = -1;  // the keys of the parts joined into `part`; -1 before the first
    for (const Json& response : *responses) {
      const auto range = response.find("response_range");
      const int64_t found = range != response.end() ? Number(*range, "count") : 0;
      if (held < 0) {
        held = found;
        continue;
      }
      const auto next = std::next(part);
      if (held == 0 || found == 0 || held + found <= page) {
        part->to = next->to;
        parts.erase(next);
        held += found;
      } else {
        part = next;
        held = found;
      }
    }
    return parts;
  }

 private:
  std::list<Part> parts_;
  const int64_t page_;
  const int64_t revision_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool stop_ = false;
  std::exception_ptr error_;
  std::vector<std::thread> threads_;
};

void EtcdClient::NoRangeResult(const Answer& answer) const {
  Fail(kIniRemoteFailed,
       "reading on the etcd cluster " + options_.shown + ": " + answer.endpoint +
           " sent an answer that is no range result",
       __LINE__);
}

int64_t EtcdClient::ReadRange(const std::string& key, const std::string& range_end, int64_t page,
                              EtcdRangeVisitor& visitor) {
  for (int restart = 0;; ++restart) {
    // The first page pins the revision of every part after it and tells how many keys follow.
    const Json request = {{"key", Base64(key)}, {"range_end", Base64(range_end)}, {"limit", page}};
    Answer answer = Call("/v3/kv/range", request.dump(), true);
    if (!answer.Ok()) Refused("reading", answer, __LINE__);
    RangePage first;
    if (!Json::sax_parse(answer.text, &first) || !first.Complete() ||
        (first.more && first.pairs.empty())) {
      NoRangeResult(answer);
    }
    const std::string endpoint = answer.endpoint;
    answer = Answer();
    const int64_t revision = first.revision;
    std::vector<std::string> keys;
    if (first.more) {
      keys.reserve(first.pairs.size());
      for (const EtcdKeyValue& pair : first.pairs) keys.push_back(pair.key);
    }
    visitor.Begin(first.count);
    // Keys must come in increasing order, each within the part asked for, as many as the first
    // page counted: a member that answered otherwise would tear the tree.
    std::string previous;
    bool any = false;
    int64_t handed = 0;
    const auto hand_over = [&](RangePage& page_read, const std::string& from, const std::string& to,
                               const std::string& endpoint) {
      for (EtcdKeyValue& pair : page_read.pairs) {
        if ((any && pair.key <= previous) || pair.key < from || pair.key >= to) {
          Fail(kIniRemoteFailed,
               "reading on the etcd cluster " + options_.shown + ": " + endpoint +
                   " sent keys out of order or outside the range asked for",
               __LINE__);
        }
        previous = pair.key;
        any = true;
        ++handed;
        visitor.Add(pair);
      }
    };
    hand_over(first, key, range_end, endpoint);
    if (!first.more) return revision;
    first.pairs = std::vector<EtcdKeyValue>();
    const int64_t part_keys = std::max<int64_t>(1, page / 4);
    Answer refusal;
    std::list<PartReader::Part> parts =
        PartReader::Plan(*this, keys, range_end, first.count, part_keys, revision, &refusal);
    keys = std::vector<std::string>();
    if (parts.empty()) {
      if (refusal.code == kCodeOutOfRange && restart < kRangeRestarts) continue;
      Refused("reading", refusal, __LINE__);
    }
    // Each helper's connection starts at another member, so that they share the work.
    if (readers_.empty()) {
      for (size_t i = 0; i < kReaders; ++i)
        readers_.push_back(std::make_unique<EtcdClient>(options_));
    }
    for (size_t i = 0; i < readers_.size(); ++i) {
      readers_[i]->token_ = token_;
      readers_[i]->current_ = (current_ + 1 + i) % options_.endpoints.size();
    }
    bool compacted = false;
    {
      PartReader reader(readers_, std::move(parts), part_keys, revision);
      PartReader::Part part;
      while (reader.Next(&part)) {
        if (part.refused) {
          if (part.refusal.code == kCodeOutOfRange && restart < kRangeRestarts) {
            compacted = true;  // the pinned revision was compacted away: read it all again
            break;
          }
          Refused("reading", part.refusal, __LINE__);
        }
        hand_over(part.page, part.from, part.to, part.endpoint);
      }
    }
    if (compacted) continue;
    if (handed != first.count) {
      Fail(kIniRemoteFailed,
           "reading on the etcd cluster " + options_.shown + ": the members sent " +
               std::to_string(handed) + " keys of a range that held " +
               std::to_string(first.count) + " at revision " + std::to_string(revision),
           __LINE__);
    }
    return revision;
  }
}

EtcdTxnResult EtcdClient::Txn(const std::vector<EtcdCompare>& compare,
                              const std::vector<EtcdOperation>& success,
                              const std::vector<EtcdOperation>& failure) {
  Json request = Json::object();
  Json& conditions = request["compare"] = Json::array();
  for (const EtcdCompare& condition : compare) {
    Json item = {{"key", Base64(condition.key)},
                 {"target", TargetName(condition.target)},
                 {"result", ResultName(condition.result)},
                 {TargetField(condition.target), std::to_string(condition.number)}};
    if (!condition.range_end.empty()) item["range_end"] = Base64(condition.range_end);
    conditions.push_back(std::move(item));
  }
  Json& then = request["success"] = Json::array();
  for (const EtcdOperation& operation : success) then.push_back(OperationJson(operation));
  Json& otherwise = request["failure"] = Json::array();
  for (const EtcdOperation& operation : failure) otherwise.push_back(OperationJson(operation));

  Answer answer = Call("/v3/kv/txn", request.dump(), true);
  if (!answer.Ok()) Refused("a transaction", answer, __LINE__);
  answer.Parse();
  EtcdTxnResult result;
  const auto succeeded = answer.body.find("succeeded");
  result.succeeded =
      succeeded != answer.body.end() && succeeded->is_boolean() && succeeded->get<bool>();
  result.revision = HeaderRevision(answer.body);
  auto responses = answer.body.find("responses");
  if (responses != answer.body.end() && responses->is_array()) {
    for (Json& response : *responses) {
      const auto removed = response.find("response_delete_range");
      if (removed != response.end()) result.deleted += Number(*removed, "deleted");
      auto range = response.find("response_range");
      if (range == response.end()) continue;
      result.ranges.emplace_back();
      auto kvs = range->find("kvs");
      if (kvs != range->end()) ReadPairs(*kvs, &result.ranges.back());
      result.counts.push_back(Number(*range, "count"));
    }
  }
  return result;
}

bool EtcdClient::Watch(const std::string& key, const std::string& range_end, int64_t revision,
                       long timeout_ms) {
  const Json create = {
      {"create_request",
       {{"key", Base64(key)}, {"range_end", Base64(range_end)}, {"start_revision", revision + 1}}}};
  const std::string body = create.dump();
  HttpRequest request;
  request.method = "POST";
  request.url = options_.endpoints[current_] + "/v3/watch";
  request.body = &body;
  request.headers.push_back("Content-Type: application/json");
  if (!token_.empty()) request.headers.push_back("Authorization: " + token_);
  request.timeout_ms = std::max(1L, timeout_ms);
  // The answer streams one result per line: the watch's creation, then events; a watch whose
  // start lies in compacted history is cancelled at once.
  request.until = [](const std::string& text) {
    return text.find("\"events\"") != std::string::npos ||
           text.find("\"canceled\":true") != std::string::npos;
  };
  const HttpResponse response = http_->Perform(request);
  ++requests_;
  if (response.failure == HttpFailure::kTimeout || response.failure == HttpFailure::kInterrupted) {
    return false;
  }
  if (!response.Succeeded()) {
    current_ = (current_ + 1) % options_.endpoints.size();
    return false;
  }
  return request.until(response.body);
}
