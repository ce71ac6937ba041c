// The etcd v3 API: range reads over gRPC (etcd_wire) or as JSON, everything else through the JSON
// gateway with keys and values in base64, answers parsed with nlohmann::json, members tried in
// turn until one answers or the time is up.
#include "etcd_client.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include <zor-qel-rb-key/qel_error.h>
#include <nlohmann/json.hpp>
#include "base64.h"
#include "clog_msg.h"
#include "etcd_wire.h"
#include "ini_syntax.h"
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
// etcd counts the rest of the range for every page it answers, so N keys read in pages of p cost
// the members N * N / 2p key visits: beyond this many pages, pages grow to bound that by 8 N.
constexpr int64_t kPagesAtMost = 16;
// The gRPC method of range reads.
constexpr const char* kGrpcRange = "/etcdserverpb.KV/Range";

// gRPC status codes, which the gateway passes on.
constexpr int kCodeCancelled = 1;
constexpr int kCodeUnknown = 2;
constexpr int kCodeInvalidArgument = 3;
constexpr int kCodeDeadlineExceeded = 4;
constexpr int kCodePermissionDenied = 7;
constexpr int kCodeResourceExhausted = 8;
constexpr int kCodeFailedPrecondition = 9;
constexpr int kCodeOutOfRange = 11;
constexpr int kCodeUnavailable = 14;
constexpr int kCodeUnauthenticated = 16;

// Whether a member refused a request for its size: etcd's own limit, or that of its gRPC server
// (which the gateway reports as resources exhausted, like a passing overload).
bool Oversized(const std::string& message) {
  return message.find("request is too large") != std::string::npos ||
         message.find("received message larger than max") != std::string::npos;
}

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
class JsonRangePage : public nlohmann::json_sax<Json> {
 public:
  explicit JsonRangePage(EtcdRangePage& page) : page_(page) {}

  bool Complete() const { return page_.revision != 0 && !broken_; }

  bool null() override { return true; }
  bool boolean(bool value) override {
    if (depth_ == 1 && key_ == "more") page_.more = value;
    return true;
  }
  bool number_integer(number_integer_t value) override { return Integer(value); }
  bool number_unsigned(number_unsigned_t value) override {
    return Integer(static_cast<int64_t>(value));
  }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t& value) override {
    if (in_pair_ && depth_ == 3) {
      EtcdKeyValue& pair = page_.pairs.back();
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
      page_.pairs.emplace_back();
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
      if (key_ == "mod_revision") page_.pairs.back().mod_revision = value;
    } else if (depth_ == 2 && parent_ == "header" && key_ == "revision") {
      page_.revision = value;
    } else if (depth_ == 1 && key_ == "count") {
      page_.count = value;
    }
    return true;
  }

  EtcdRangePage& page_;
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

// What became of a request to one member, for an error text.
std::string Describe(const HttpResponse& response, uint64_t max_bytes) {
  if (response.failure != HttpFailure::kNone) return HttpFailureText(response, max_bytes);
  return "HTTP " + std::to_string(response.status);
}

// gRPC's status message, which travels percent-encoded.
std::string PercentDecoded(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    const int high = i + 2 < text.size() ? ini_syntax::HexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? ini_syntax::HexValue(text[i + 2]) : -1;
    if (text[i] == '%' && low >= 0) {
      plain.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      plain.push_back(text[i]);
    }
  }
  return plain;
}

}  // namespace

EtcdRangeVisitor::~EtcdRangeVisitor() = default;

// An answer of a member: a result (status 200, and gRPC status 0 over gRPC) or a refusal with
// etcd's code and words.
struct EtcdClient::Answer {
  std::string endpoint;
  long status = 0;
  int code = 0;
  bool grpc = false;      // asked over gRPC
  bool not_grpc = false;  // asked over gRPC and answered otherwise
  std::string message;
  std::string text;  // the body as sent
  Json body;         // its parse, for a refusal; callers parse a result as they need

  // Parses `text` into `body`: an empty object when it is no JSON.
  void Parse() {
    body = Json::parse(text, nullptr, false);
    if (body.is_discarded()) body = Json::object();
  }

  bool Ok() const { return status == 200 && code == 0 && !not_grpc; }
  std::string Text() const {
    const std::string what = grpc && status == 200 ? "gRPC status " + std::to_string(code)
                                                   : "HTTP " + std::to_string(status);
    return endpoint + " answered " + what + (message.empty() ? "" : ": " + message);
  }
};

EtcdClient::EtcdClient(EtcdOptions options) : options_(std::move(options)) {
  HttpSettings settings = options_.http;
  settings.user.clear();  // etcd takes no basic authentication: the token stands for the user
  settings.password.clear();
  settings.secret_requests = !options_.user.empty();  // the password, then the token
  http_ = MakeHttpTransport(std::move(settings));
  grpc_reads_ = http_->SpeaksHttp2() && !options_.gateway_reads;
}

EtcdClient::~EtcdClient() = default;

EtcdClient::Answer EtcdClient::Call(const char* path, const std::string& body, bool with_token,
                                    bool grpc) {
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
    if (grpc) {
      request.http2 = true;
      request.headers = {"Content-Type: application/grpc", "TE: trailers"};
      if (with_token && !token_.empty()) request.headers.push_back("token: " + token_);
      request.fields = {"content-type", "grpc-status", "grpc-message"};
    } else {
      request.headers.push_back("Content-Type: application/json");
      if (with_token && !token_.empty()) request.headers.push_back("Authorization: " + token_);
    }
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
    answer.grpc = grpc;
    if (grpc && !grpc_answered_) {
      // Before any member answered over gRPC, a transfer that broke off or an answer of
      // another kind means something on the way does not carry it: the caller asks otherwise.
      const bool broke =
          response.failure == HttpFailure::kOther || response.failure == HttpFailure::kTls;
      const bool other = response.failure == HttpFailure::kNone &&
                         response.fields[0].compare(0, 16, "application/grpc") != 0;
      if (broke || other) {
        answer.not_grpc = true;
        answer.status = response.status;
        answer.message = response.detail;
        return answer;
      }
    }
    bool retry = false;
    if (response.failure == HttpFailure::kNone && grpc) {
      grpc_answered_ = grpc_answered_ || response.fields[0].compare(0, 16, "application/grpc") == 0;
      answer.status = response.status;
      answer.text = std::move(response.body);
      // An answer cut short lacks the status that ends it.
      const bool cut = response.fields[1].empty();
      answer.code = cut ? kCodeUnknown : std::atoi(response.fields[1].c_str());
      answer.message =
          cut ? "the answer carries no gRPC status" : PercentDecoded(response.fields[2]);
      retry = cut || answer.status >= 500 || answer.code == kCodeUnavailable ||
              answer.code == kCodeDeadlineExceeded || answer.code == kCodeCancelled ||
              (answer.code == kCodeResourceExhausted && !Oversized(answer.message));
    } else if (response.failure == HttpFailure::kNone) {
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
      retry = (answer.status >= 500 || answer.status == 429 || answer.code == kCodeUnavailable ||
               answer.code == kCodeDeadlineExceeded || answer.code == kCodeCancelled ||
               answer.code == kCodeResourceExhausted) &&
              !Oversized(answer.message);
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
                          (grpc ? ", gRPC status " + std::to_string(answer.code) : "") +
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
  if (Oversized(answer.message)) {
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

EtcdClient::Answer EtcdClient::ReadPage(const std::string& from, const std::string& range_end,
                                        int64_t limit, int64_t revision, EtcdRangePage* page) {
  *page = EtcdRangePage();
  Answer answer;
  if (grpc_reads_) {
    answer =
        Call(kGrpcRange, EtcdRangeRequestMessage(from, range_end, limit, revision), true, true);
    if (answer.not_grpc) {
      // Something between here and the cluster does not carry gRPC: the gateway from now on.
      grpc_reads_ = false;
      CLogMsg trace("EtcdClient::ReadPage", kModule, kLogTrace);
      if (trace.IsEnable()) {
        trace << answer.endpoint << " did not answer over gRPC ("
              << (answer.message.empty() ? "HTTP " + std::to_string(answer.status) : answer.message)
              << "): reading through the JSON gateway" << flush;
      }
    }
  }
  if (!grpc_reads_) {
    Json request = {{"key", Base64(from)}, {"range_end", Base64(range_end)}, {"limit", limit}};
    if (revision != 0) request["revision"] = revision;
    answer = Call("/v3/kv/range", request.dump(), true);
  }
  if (!answer.Ok()) return answer;
  // A page is decoded as it is read: no tree of the whole answer is built.
  JsonRangePage parser(*page);
  page->pairs.reserve(static_cast<size_t>(limit));  // no copy of the keys while they arrive
  const bool decoded = answer.grpc ? DecodeEtcdRangeAnswer(answer.text, page)
                                   : Json::sax_parse(answer.text, &parser) && parser.Complete();
  if (!decoded) {
    Fail(kIniRemoteFailed,
         "reading on the etcd cluster " + options_.shown + ": " + answer.endpoint + " sent " +
             (answer.grpc ? "a gRPC answer" : "an answer") + " that is no range result",
         __LINE__);
  }
  answer.text = std::string();
  return answer;
}

// The pages of one range read, fetched and decoded by a helper thread while the reading thread
// takes in the ones before: each request starts after the last key of the page before, so the
// cluster prepares the next page while this process builds its image of the last one.
class EtcdClient::PageFetcher {
 public:
  PageFetcher(EtcdClient& client, std::string from, const std::string& range_end, int64_t page,
              size_t page_bytes)
      : client_(client), range_end_(range_end), page_(page), page_bytes_(page_bytes) {
    const volatile std::sig_atomic_t* stop = RequestInterruption::Current();
    thread_ = std::thread([this, from, stop] {
      const RequestInterruption interruption(stop);
      Fetch(from);
    });
  }
  ~PageFetcher() { Finish(); }

  // The next page and its answer (a refusal, when the answer is not Ok), waiting for it; it
  // rethrows what the fetcher threw.
  void Next(Answer* answer, EtcdRangePage* page) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return !pages_.empty() || done_; });
    if (pages_.empty()) std::rethrow_exception(error_);  // the fetcher ends with a page or this
    *answer = std::move(pages_.front().first);
    *page = std::move(pages_.front().second);
    pages_.pop_front();
    changed_.notify_all();
  }

  // Stops fetching and waits for the helper; the client is this thread's again.
  void Finish() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> guard(lock_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  // Pages waiting to be taken in: enough to keep the cluster busy, few enough to bound memory.
  static constexpr size_t kAhead = 1;

  void Fetch(std::string from) {
    try {
      int64_t revision = 0;
      int64_t limit = page_;
      for (;;) {
        EtcdRangePage page;
        Answer answer = client_.ReadPage(from, range_end_, limit, revision, &page);
        const bool more = answer.Ok() && page.more && !page.pairs.empty();
        if (more) {
          if (revision == 0) {
            revision = page.revision;
            size_t bytes = 0;
            for (const EtcdKeyValue& pair : page.pairs)
              bytes += pair.key.size() + pair.value.size();
            const auto fitting =
                static_cast<int64_t>(page_bytes_ / (bytes / page.pairs.size() + 1));
            limit = std::max(page_, std::min(page.count / kPagesAtMost, fitting));
          }
          from = page.pairs.back().key;
          from.push_back('\0');
        }
        {
          std::unique_lock<std::mutex> guard(lock_);
          changed_.wait(guard, [this] { return pages_.size() < kAhead || stop_; });
          if (stop_) break;
          pages_.emplace_back(std::move(answer), std::move(page));
        }
        changed_.notify_all();
        if (!more) break;
      }
    } catch (...) {
      std::lock_guard<std::mutex> guard(lock_);
      error_ = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      done_ = true;
    }
    changed_.notify_all();
  }

  EtcdClient& client_;
  const std::string range_end_;
  const int64_t page_;
  const size_t page_bytes_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::pair<Answer, EtcdRangePage>> pages_;
  bool done_ = false;
  bool stop_ = false;
  std::exception_ptr error_;
  std::thread thread_;
};

int64_t EtcdClient::ReadRange(const std::string& key, const std::string& range_end, int64_t page,
                              EtcdRangeVisitor& visitor, size_t page_bytes) {
  for (int restart = 0;; ++restart) {
    PageFetcher fetcher(*this, key, range_end, page, page_bytes);
    int64_t revision = 0;
    for (bool first = true;; first = false) {
      Answer answer;
      EtcdRangePage read;
      fetcher.Next(&answer, &read);
      if (!answer.Ok()) {
        fetcher.Finish();
        if (answer.code == kCodeOutOfRange && restart < kRangeRestarts) break;
        Refused("reading", answer, __LINE__);
      }
      if (first) {
        revision = read.revision;
        visitor.Begin(read.count);
      }
      for (EtcdKeyValue& pair : read.pairs) visitor.Add(pair);
      if (!read.more || read.pairs.empty()) return revision;
    }
    // The pinned revision was compacted away meanwhile: the whole range is read again.
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
