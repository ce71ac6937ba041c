// RemoteIni: the INI store over a file held by a WebDAV service, read with GET and written back
// with conditional PUTs through libcurl; another writer's newer file is merged, never overwritten.
#include "remote_ini.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <random>
#include <thread>

#include "clog_msg.h"
#include "qel_error.h"
#include "qel_log.h"

namespace {

constexpr const char* kSourceFile = "platform/osl/remote_ini";
constexpr const char* kModule = "ini";
constexpr const char* kFlushFunction = "RemoteIni::FlushIniDataToFile";
// The severity of a warning record.
constexpr LogSeverity kWarning = kLogLoginFailure;
// The code a login passes on for credentials the service rejected.
constexpr long kCredentialsRejected = -7;
constexpr long kDefaultConnectTimeoutMs = 10000;
constexpr long kDefaultTimeoutMs = 60000;
// The largest file read from the service unless QEL_REMOTE_MAX_BYTES says otherwise.
constexpr curl_off_t kDefaultMaxBytes = curl_off_t{256} << 20;
constexpr const char* kMaxBytesVariable = "QEL_REMOTE_MAX_BYTES";
// The longest pause between two rounds of "PUT refused with 412, merge onto the newer file".
constexpr int kMaxPauseMs = 500;
// A tag no server issues: a service that honours If-Match refuses a PUT conditioned on it.
constexpr const char* kProbeTag = "\"qel-if-match-probe-never-matches\"";

[[noreturn]] void Fail(long code, const std::string& text, long line) {
  throw QELError(text, code, kIniFacility, kSourceFile, line);
}

void StartCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// A timeout in milliseconds from an environment variable giving seconds, or `fallback_ms`.
long TimeoutFromEnvironment(const char* name, long fallback_ms) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback_ms;
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(value, &end);
  if (errno != 0 || end == value || *end != '\0' || !(seconds > 0) || seconds > 86400) {
    Fail(kIniRemoteFailed,
         std::string(name) + " must be a number of seconds above 0 and up to 86400, not \"" +
             value + "\"",
         __LINE__);
  }
  return std::max(1L, static_cast<long>(seconds * 1000));
}

// The bound on the size of an answer's body: QEL_REMOTE_MAX_BYTES bytes when set, or `fallback`.
curl_off_t MaxBytesFromEnvironment(curl_off_t fallback) {
  const char* value = std::getenv(kMaxBytesVariable);
  if (value == nullptr || *value == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const long long bytes = std::strtoll(value, &end, 10);
  if (errno != 0 || end == value || *end != '\0' || bytes <= 0) {
    Fail(kIniRemoteFailed,
         std::string(kMaxBytesVariable) + " must be a number of bytes above 0, not \"" + value +
             "\"",
         __LINE__);
  }
  return static_cast<curl_off_t>(bytes);
}

bool IsLoopback(std::string host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (host == "localhost") return true;
  unsigned char address[16];
  if (inet_pton(AF_INET, host.c_str(), address) == 1) return address[0] == 127;
  if (inet_pton(AF_INET6, host.c_str(), address) != 1) return false;
  static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  static const unsigned char kMapped4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::memcmp(address, kLoopback6, 16) == 0 ||
         (std::memcmp(address, kMapped4, 12) == 0 && address[12] == 127);
}

// If-Match compares tags strongly: a weak tag is sent in its strong form, which a server that
// weakens tags only briefly after a change accepts once the change has settled.
std::string StrongTag(const std::string& tag) {
  return tag.rfind("W/", 0) == 0 ? tag.substr(2) : tag;
}

struct Response {
  CURLcode result = CURLE_OK;
  long status = 0;
  std::string body;
  std::string etag;
  std::string error;       // libcurl's detail when the transfer failed
  bool too_large = false;  // the body outgrew the bound and the transfer was stopped

  bool Succeeded() const { return result == CURLE_OK && status >= 200 && status < 300; }
  bool Answered(long code) const { return result == CURLE_OK && status == code; }
};

struct UploadCursor {
  const std::string* data;
  size_t offset;
};

size_t ReadUpload(char* buffer, size_t size, size_t count, void* user) {
  auto* cursor = static_cast<UploadCursor*>(user);
  const size_t n = std::min(size * count, cursor->data->size() - cursor->offset);
  std::memcpy(buffer, cursor->data->data() + cursor->offset, n);
  cursor->offset += n;
  return n;
}

// Where an answer's body goes, up to `limit` bytes.
struct BodySink {
  std::string* body;
  size_t limit;
  bool exceeded;
};

// Appends a piece of the body; past the limit it stops the transfer (a return short of the
// piece's size) instead of holding a body of any size a server may send.
size_t AppendBody(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<BodySink*>(user);
  const size_t n = size * count;
  if (n > sink->limit - sink->body->size()) {
    sink->exceeded = true;
    return 0;
  }
  sink->body->append(data, n);
  return n;
}

using UrlHandle = std::unique_ptr<CURLU, void (*)(CURLU*)>;

// One part of a parsed address, "" when it is absent.
std::string UrlPart(const UrlHandle& url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url.get(), part, &text, 0) != CURLUE_OK || text == nullptr) return "";
  std::string result(text);
  curl_free(text);
  return result;
}

}  // namespace

struct RemoteIni::Transport {
  std::string url;    // the address requested; it never carries user information
  std::string shown;  // the address as every text shows it: MaskCredentials(url)
  std::string user;
  std::string password;
  std::string ca_file;
  long connect_timeout_ms = kDefaultConnectTimeoutMs;
  long timeout_ms = kDefaultTimeoutMs;
  curl_off_t max_bytes = kDefaultMaxBytes;
  std::unique_ptr<CURL, void (*)(CURL*)> handle{nullptr, curl_easy_cleanup};
  // The strong form of the tag of the file as this store last read or wrote it; "" when the
  // service gives none.
  std::string etag;
  enum class IfMatch { kUntested, kHonoured, kIgnored } if_match = IfMatch::kUntested;
  bool warned = false;  // the warning about unguarded writes was logged

  // One request on `url`: a GET, or a PUT of `*upload` when not null; `condition` becomes an
  // If-Match header when not empty.
  Response Perform(const std::string* upload, const std::string& condition);
  // What went wrong with a request, in words; never the password.
  std::string Failure(const char* method, const Response& response) const;
};

Response RemoteIni::Transport::Perform(const std::string* upload, const std::string& condition) {
  CURL* curl = handle.get();
  curl_easy_reset(curl);  // keeps the open connection and the TLS session
  Response response;
  char error[CURL_ERROR_SIZE] = "";
  UploadCursor cursor{upload, 0};
  BodySink sink{&response.body, static_cast<size_t>(max_bytes), false};
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(nullptr, curl_slist_free_all);
  auto add_header = [&headers](const std::string& line) {
    curl_slist* head = curl_slist_append(headers.get(), line.c_str());
    if (head == nullptr) throw std::bad_alloc();
    headers.release();
    headers.reset(head);
  };

  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connect_timeout_ms);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "zor-qel-rb-key");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  // Refuses a body announced too large before it comes; AppendBody stops one that grows so.
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, max_bytes);
  if (!user.empty()) {
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
  }
  if (upload != nullptr) {
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &cursor);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(upload->size()));
    add_header("Expect:");  // send the body at once instead of waiting for "100 Continue"
  } else {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  }
  if (!condition.empty()) add_header("If-Match: " + condition);
  if (headers) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());

  response.result = curl_easy_perform(curl);
  if (response.result == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    curl_header* etag = nullptr;
    if (curl_easy_header(curl, "ETag", 0, CURLH_HEADER, -1, &etag) == CURLHE_OK) {
      response.etag = etag->value;
    }
  } else {
    response.error = error[0] != '\0' ? error : curl_easy_strerror(response.result);
    response.too_large = response.result == CURLE_FILESIZE_EXCEEDED ||
                         (response.result == CURLE_WRITE_ERROR && sink.exceeded);
  }
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);

  CLogMsg trace("RemoteIni::Request", kModule, kLogTrace);
  if (trace.IsEnable()) {
    trace << (upload != nullptr ? "PUT " : "GET ") << shown << ": "
          << (response.result == CURLE_OK ? "HTTP " + std::to_string(response.status)
                                          : response.error)
          << flush;
  }
  return response;
}

std::string RemoteIni::Transport::Failure(const char* method, const Response& response) const {
  const std::string request = std::string(method) + " " + shown + ": ";
  if (response.too_large) {
    return request + "the file is larger than the limit of " + std::to_string(max_bytes) +
           " bytes set by " + kMaxBytesVariable;
  }
  if (response.result != CURLE_OK) {
    const char* what = "the transfer failed";
    switch (response.result) {
      case CURLE_COULDNT_RESOLVE_HOST:
        what = "the server's name cannot be resolved";
        break;
      case CURLE_COULDNT_CONNECT:
        what = "the server does not answer";
        break;
      case CURLE_OPERATION_TIMEDOUT:
        what = "the server did not answer in time";
        break;
      case CURLE_PEER_FAILED_VERIFICATION:
        what = "the server's certificate is not trusted";
        break;
      case CURLE_SSL_CONNECT_ERROR:
        what = "the TLS handshake failed";
        break;
      default:
        break;
    }
    return request + what + " (" + response.error + ")";
  }
  const std::string status = " (HTTP " + std::to_string(response.status) + ")";
  if (response.status == 401) {
    return request + "the server refused the credentials of user \"" + user + "\"" + status;
  }
  // The credentials were accepted, or never looked at: access to this file is denied.
  if (response.status == 403) return request + "the server forbids access to the file" + status;
  if (response.status == 404) return request + "no such file" + status;
  return request + "the server answered" + status;
}

RemoteIni::RemoteIni(const std::string& host, const std::string& second, const std::string& user,
                     const std::string& password)
    : transport_(std::make_unique<Transport>()) {
  Transport& transport = *transport_;
  std::string address = host.find("://") == std::string::npos ? "https://" + host : host;
  if (!second.empty()) address += "/" + second;

  StartCurlOnce();
  UrlHandle parsed(curl_url(), curl_url_cleanup);
  if (!parsed) throw std::bad_alloc();
  if (curl_url_set(parsed.get(), CURLUPART_URL, address.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
      CURLUE_OK) {
    Fail(kIniRemoteFailed, "\"" + MaskCredentials(address) + "\" is not a valid address", __LINE__);
  }
  const bool carries_credentials =
      !UrlPart(parsed, CURLUPART_USER).empty() || !UrlPart(parsed, CURLUPART_PASSWORD).empty();
  curl_url_set(parsed.get(), CURLUPART_USER, nullptr, 0);
  curl_url_set(parsed.get(), CURLUPART_PASSWORD, nullptr, 0);
  transport.url = UrlPart(parsed, CURLUPART_URL);
  transport.shown = MaskCredentials(transport.url);
  if (carries_credentials) {
    Fail(kIniRemoteFailed,
         "the address " + transport.shown +
             " carries a user name or password; give them to the login",
         __LINE__);
  }
  const std::string scheme = UrlPart(parsed, CURLUPART_SCHEME);
  if (scheme != "https" && scheme != "http") {
    Fail(kIniRemoteFailed,
         "the address " + transport.shown + " names the scheme \"" + scheme +
             "\"; only https and http are supported",
         __LINE__);
  }
  if (scheme == "http" && !password.empty() && !IsLoopback(UrlPart(parsed, CURLUPART_HOST))) {
    Fail(kIniRemoteFailed,
         "the address " + transport.shown +
             " uses plain http, which would expose the password; use https",
         __LINE__);
  }

  transport.user = user;
  transport.password = password;
  if (const char* ca_file = std::getenv("QEL_REMOTE_CA_FILE")) transport.ca_file = ca_file;
  transport.connect_timeout_ms =
      TimeoutFromEnvironment("QEL_REMOTE_CONNECT_TIMEOUT", kDefaultConnectTimeoutMs);
  transport.timeout_ms = TimeoutFromEnvironment("QEL_REMOTE_TIMEOUT", kDefaultTimeoutMs);
  transport.max_bytes = MaxBytesFromEnvironment(kDefaultMaxBytes);
  transport.handle.reset(curl_easy_init());
  if (!transport.handle) Fail(kIniRemoteFailed, "libcurl cannot be started", __LINE__);

  Response response = transport.Perform(nullptr, "");
  if (response.Answered(401)) {
    Fail(kCredentialsRejected, transport.Failure("GET", response), __LINE__);
  }
  if (!response.Succeeded()) Fail(kIniRemoteFailed, transport.Failure("GET", response), __LINE__);
  try {
    LoadImage(std::move(response.body), transport.shown);
  } catch (int number) {
    Fail(number, "GET " + transport.shown + ": " + ExceptionNumberToString(number), __LINE__);
  }
  transport.etag = StrongTag(response.etag);
}

RemoteIni::~RemoteIni() = default;

void RemoteIni::FlushIniDataToFile(const std::string& file) {
  if (file.empty()) {
    WriteBack();
  } else {
    WriteLocalCopy(file);
  }
}

void RemoteIni::WriteBack() {
  Transport& transport = *transport_;
  const std::string kept = "; the changes are kept in memory";
  // Conflicting rounds go on for as long as one request may take; random pauses that grow
  // with the rounds keep competing writers from meeting again in step.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(transport.timeout_ms);
  std::minstd_rand random(static_cast<unsigned>(
      std::chrono::steady_clock::now().time_since_epoch().count() ^ (::getpid() << 16)));
  int round = 0;
  for (;; ++round) {
    if (round > 0 && std::chrono::steady_clock::now() >= deadline) break;
    if (round > 1) {  // let a busy writer finish, or a briefly weakened tag settle
      const int ceiling = std::min(10 << std::min(round - 2, 10), kMaxPauseMs);
      std::this_thread::sleep_for(std::chrono::milliseconds(1 + random() % ceiling));
    }
    const std::string bytes = SerializeImage();
    if (transport.if_match == Transport::IfMatch::kUntested) {
      // Learn once whether the service honours If-Match: one that does refuses this PUT; one
      // that does not writes these very bytes, which is what an unconditional PUT would do.
      Response probe = transport.Perform(&bytes, kProbeTag);
      if (probe.Answered(412)) {
        transport.if_match = Transport::IfMatch::kHonoured;
      } else if (probe.Succeeded()) {
        transport.if_match = Transport::IfMatch::kIgnored;
        transport.warned = true;
        CLogMsg(kFlushFunction, kModule, kLogTrace)
            << kWarning << transport.shown
            << " ignores If-Match: concurrent writers can overwrite each other's changes" << flush;
        Written(bytes, probe.etag);
        return;
      } else {
        Fail(kIniRemoteFailed, transport.Failure("PUT", probe) + kept, __LINE__);
      }
    }
    const bool conditional =
        transport.if_match == Transport::IfMatch::kHonoured && !transport.etag.empty();
    if (!conditional && !transport.warned) {
      transport.warned = true;
      CLogMsg(kFlushFunction, kModule, kLogTrace)
          << kWarning << transport.shown
          << " gives no ETag: concurrent writers can overwrite each other's changes" << flush;
    }
    Response put = transport.Perform(&bytes, conditional ? transport.etag : "");
    if (put.Succeeded()) {
      Written(bytes, put.etag);
      return;
    }
    if (!conditional || !put.Answered(412)) {
      Fail(kIniRemoteFailed, transport.Failure("PUT", put) + kept, __LINE__);
    }
    MergeNewerFile();
  }
  Fail(kIniConflict,
       "PUT " + transport.shown + ": other writers kept changing the file through " +
           std::to_string(round) + " attempts in " + std::to_string(transport.timeout_ms / 1000) +
           " s" + kept,
       __LINE__);
}

void RemoteIni::MergeNewerFile() {
  Transport& transport = *transport_;
  Response response = transport.Perform(nullptr, "");
  if (!response.Succeeded()) {
    Fail(kIniRemoteFailed, transport.Failure("GET", response) + "; the changes are kept in memory",
         __LINE__);
  }
  try {
    MergeOnto(std::move(response.body), transport.shown);
  } catch (int number) {
    Fail(number,
         "GET " + transport.shown + ": the newer file cannot be read: " +
             ExceptionNumberToString(number) + "; the changes are kept in memory",
         __LINE__);
  }
  transport.etag = StrongTag(response.etag);
}

void RemoteIni::Written(const std::string& bytes, const std::string& etag) {
  Transport& transport = *transport_;
  if (!etag.empty()) {
    transport.etag = StrongTag(etag);
  } else {
    // No tag for the written file: learn it with a GET, but only while the file is what this
    // store wrote; otherwise the old tag stays, and the next flush merges onto the newer file.
    Response check = transport.Perform(nullptr, "");
    if (check.Succeeded() && check.body == bytes) transport.etag = StrongTag(check.etag);
  }
  ClearJournal();
}

void RemoteIni::WriteLocalCopy(const std::string& path) const {
  const std::string bytes = SerializeImage();
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (out) {
      if (std::rename(temporary.c_str(), path.c_str()) == 0) return;
    }
  }
  const int error = errno;
  std::remove(temporary.c_str());
  Fail(kIniWriteFailed,
       "cannot write a copy of " + transport_->shown + " to " + path + ": " + std::strerror(error),
       __LINE__);
}
