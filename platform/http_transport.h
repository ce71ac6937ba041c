// The HTTP client of the remote stores: requests and answers as plain values behind one
// interface, with the platform's HTTP library (libcurl on POSIX systems, WinHTTP on Windows)
// behind it.
// Thread safety: one transport is used by one thread at a time; distinct transports are
// independent.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What every request of one transport shares.
struct HttpSettings {
  std::string user;      // basic authentication when not empty
  std::string password;  // never logged, never part of a text
  // The requests carry another secret (a password in the body, a token in a header), so over
  // plain HTTP they never go through a proxy either (see GoesDirect).
  bool secret_requests = false;
  std::string ca_file;    // the certificates trusted for TLS; "" for the system's
  std::string cert_file;  // a client certificate (PEM) to present for TLS, when not empty
  std::string key_file;   // its private key, when not in cert_file
  long connect_timeout_ms = 10000;
  long timeout_ms = 60000;                        // the whole request
  uint64_t max_body_bytes = uint64_t{256} << 20;  // a larger answer is stopped
};

struct HttpRequest {
  const char* method = "GET";         // "GET", "PUT" or "POST"
  std::string url;                    // without user information
  const std::string* body = nullptr;  // sent when not null
  std::vector<std::string> headers;   // whole lines, "Name: value"
  long timeout_ms = 0;                // the whole request when above 0; else the settings'
  // For an answer that streams (a watch): asked with the body received so far after each piece
  // of it; true ends the request there, as answered.
  std::function<bool(const std::string& body)> until;
  // HTTP/2 from the first byte, without an upgrade (over TLS, negotiated or no answer), as gRPC
  // needs; only for a transport that SpeaksHttp2().
  bool http2 = false;
  // Header or trailer fields of the answer wanted back, by name (gRPC's status comes in
  // trailers); only with `http2`.
  std::vector<std::string> fields;
};

// Why a request got no answer.
enum class HttpFailure {
  kNone,         // the server answered (any status)
  kResolve,      // its name cannot be resolved
  kConnect,      // it does not answer
  kTimeout,      // it did not answer in time
  kCertificate,  // its certificate is not trusted
  kTls,          // the TLS handshake failed
  kTooLarge,     // the answer outgrew HttpSettings::max_body_bytes
  kInterrupted,  // the caller's stop flag was raised (see RequestInterruption)
  kOther,        // anything else (see `detail`)
};

struct HttpResponse {
  HttpFailure failure = HttpFailure::kNone;
  long status = 0;     // when answered
  std::string body;    // when answered
  std::string etag;    // the ETag header, "" when absent
  std::string detail;  // the HTTP library's own words when there was no answer
  // The values of the request's `fields`, in their order, "" for one the answer lacks.
  std::vector<std::string> fields;

  bool Answered(long code) const { return failure == HttpFailure::kNone && status == code; }
  bool Succeeded() const { return failure == HttpFailure::kNone && status >= 200 && status < 300; }
};

// While one lives, the requests of the calling thread end soon after `*stop` (set by a signal
// handler, say) becomes non-zero: within a tenth of a second, failed as kInterrupted. Scopes
// nest; a null `stop` interrupts nothing.
class RequestInterruption {
 public:
  explicit RequestInterruption(const volatile std::sig_atomic_t* stop);
  ~RequestInterruption();
  RequestInterruption(const RequestInterruption&) = delete;
  RequestInterruption& operator=(const RequestInterruption&) = delete;

  // Whether the calling thread's innermost scope's flag is raised.
  static bool Requested();
  // That flag, or null: for a scope of the same flag on a helper thread.
  static const volatile std::sig_atomic_t* Current();
  // Sleeps up to `ms`, in slices, returning early (false) when interrupted.
  static bool Sleep(long ms);

 private:
  const volatile std::sig_atomic_t* outer_;
};

// An answer's body as it arrives, bounded by a limit: held in pieces of growing size rather
// than one string that doubles, so holding a body near the limit takes little more than it.
class HttpBody {
 public:
  explicit HttpBody(uint64_t limit) : limit_(limit) {}
  // Appends `size` bytes; false, appending nothing, when the body would outgrow the limit.
  bool Append(const char* data, size_t size);
  uint64_t Size() const { return size_; }
  // The body so far as one string (the pieces joined, each released once copied), which the
  // caller may move out at the end.
  std::string& Joined();

 private:
  uint64_t limit_;
  uint64_t size_ = 0;
  std::vector<std::string> pieces_;
};

class HttpTransport {
 public:
  virtual ~HttpTransport();
  // Sends `request` and waits for the answer, within the settings' timeouts; a failure to get
  // one is described in the response, never thrown. Keeps connections open between requests.
  virtual HttpResponse Perform(const HttpRequest& request) = 0;
  // Whether requests may ask for HTTP/2 (`HttpRequest::http2`).
  virtual bool SpeaksHttp2() const;
};

// The platform's transport. Throws QELError (StoreError::kRemoteFailed) when the HTTP library
// cannot start.
std::unique_ptr<HttpTransport> MakeHttpTransport(HttpSettings settings);

// Whether a request to `url` must bypass every proxy the environment or the system names: it goes
// over plain HTTP and carries credentials (the settings' user or password, or secrets of its
// own). A proxy would see them in clear; over https a proxy only tunnels the TLS connection
// (CONNECT), so it is honoured there.
bool GoesDirect(const HttpSettings& settings, const std::string& url);

// An address taken apart.
struct HttpAddress {
  std::string url;  // the whole address without user information
  std::string scheme;
  std::string host;
  bool had_credentials = false;  // the address carried a user name or password
};

// Parses `address`; false when it is no valid URL.
bool ParseHttpAddress(const std::string& address, HttpAddress* parsed);
