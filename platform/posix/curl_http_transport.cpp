// HttpTransport over libcurl: one easy handle in one multi handle per transport, so connections
// and TLS sessions are kept between requests, bodies bounded as they arrive, and a request
// driven in short polls so that an interruption ends it at once.
#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_error_codes.h>
#include "http_transport.h"

namespace {

void StartCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

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

// Lets libcurl send the body again, as it does on a kept connection the server closed meanwhile.
int SeekUpload(void* user, curl_off_t offset, int origin) {
  auto* cursor = static_cast<UploadCursor*>(user);
  if (origin != SEEK_SET || offset < 0 || static_cast<uint64_t>(offset) > cursor->data->size()) {
    return CURL_SEEKFUNC_CANTSEEK;
  }
  cursor->offset = static_cast<size_t>(offset);
  return CURL_SEEKFUNC_OK;
}

// How long one poll of a running request lasts: the delay before an interruption is seen.
constexpr long kPollMs = 50;

// Where an answer's body goes, up to `limit` bytes.
struct BodySink {
  HttpBody* body;
  bool exceeded;
  const std::function<bool(const std::string&)>* until;
  bool ended;  // `until` ended the transfer
};

// Appends a piece of the body; past the limit it stops the transfer (a return short of the
// piece's size) instead of holding a body of any size a server may send.
size_t AppendBody(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<BodySink*>(user);
  const size_t n = size * count;
  if (!sink->body->Append(data, n)) {
    sink->exceeded = true;
    return 0;
  }
  if (*sink->until && (*sink->until)(sink->body->Joined())) {
    sink->ended = true;
    return 0;
  }
  return n;
}

HttpFailure FailureOf(CURLcode result, bool exceeded) {
  switch (result) {
    case CURLE_OK:
      return HttpFailure::kNone;
    case CURLE_COULDNT_RESOLVE_HOST:
      return HttpFailure::kResolve;
    case CURLE_COULDNT_CONNECT:
      return HttpFailure::kConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return HttpFailure::kTimeout;
    case CURLE_PEER_FAILED_VERIFICATION:
      return HttpFailure::kCertificate;
    case CURLE_SSL_CONNECT_ERROR:
      return HttpFailure::kTls;
    case CURLE_FILESIZE_EXCEEDED:
      return HttpFailure::kTooLarge;
    case CURLE_WRITE_ERROR:
      return exceeded ? HttpFailure::kTooLarge : HttpFailure::kOther;
    default:
      return HttpFailure::kOther;
  }
}

class CurlHttpTransport : public HttpTransport {
 public:
  explicit CurlHttpTransport(HttpSettings settings) : settings_(std::move(settings)) {
    StartCurlOnce();
    handle_.reset(curl_easy_init());
    multi_.reset(curl_multi_init());
    if (!handle_ || !multi_) {
      throw QELError("libcurl cannot be started",
                     static_cast<long>(zor::qel::StoreError::kRemoteFailed),
                     static_cast<long>(zor::qel::Facility::kStore),
                     "platform/posix/curl_http_transport", __LINE__);
    }
  }

  bool SpeaksHttp2() const override {
    return (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_HTTP2) != 0;
  }

  HttpResponse Perform(const HttpRequest& request) override {
    CURL* curl = handle_.get();
    curl_easy_reset(curl);  // keeps the open connection and the TLS session
    HttpResponse response;
    if (RequestInterruption::Requested()) return Interrupted();
    char error[CURL_ERROR_SIZE] = "";
    UploadCursor cursor{request.body, 0};
    HttpBody body(settings_.max_body_bytes);
    BodySink sink{&body, false, &request.until, false};
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(nullptr, curl_slist_free_all);
    auto add_header = [&headers](const std::string& line) {
      curl_slist* head = curl_slist_append(headers.get(), line.c_str());
      if (head == nullptr) throw std::bad_alloc();
      headers.release();
      headers.reset(head);
    };

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, settings_.connect_timeout_ms);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS,
                     request.timeout_ms > 0 ? request.timeout_ms : settings_.timeout_ms);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!settings_.ca_file.empty())
      curl_easy_setopt(curl, CURLOPT_CAINFO, settings_.ca_file.c_str());
    if (!settings_.cert_file.empty())
      curl_easy_setopt(curl, CURLOPT_SSLCERT, settings_.cert_file.c_str());
    if (!settings_.key_file.empty())
      curl_easy_setopt(curl, CURLOPT_SSLKEY, settings_.key_file.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "zor-qel-rb-key");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    // Refuses a body announced too large before it comes; AppendBody stops one that grows so.
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(settings_.max_body_bytes));
    // Credentials in clear never pass a proxy named by http_proxy, all_proxy and the like.
    if (GoesDirect(settings_, request.url)) curl_easy_setopt(curl, CURLOPT_PROXY, "");
    if (request.http2 && request.url.compare(0, 8, "https://") == 0) {
      curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    } else if (request.http2) {
      curl_easy_setopt(curl, CURLOPT_HTTP_VERSION,
                       static_cast<long>(CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE));
      // libcurl before 8.0 breaks the framing of a second request on a kept connection
      // begun without an upgrade: each request has a connection of its own there.
      if (curl_version_info(CURLVERSION_NOW)->version_num < 0x080000) {
        curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
      }
    }
    if (!settings_.user.empty()) {
      curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
      curl_easy_setopt(curl, CURLOPT_USERNAME, settings_.user.c_str());
      curl_easy_setopt(curl, CURLOPT_PASSWORD, settings_.password.c_str());
    }
    const std::string method = request.method;
    if (request.body != nullptr && method == "PUT") {
      curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadUpload);
      curl_easy_setopt(curl, CURLOPT_READDATA, &cursor);
      curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, SeekUpload);
      curl_easy_setopt(curl, CURLOPT_SEEKDATA, &cursor);
      curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE,
                       static_cast<curl_off_t>(request.body->size()));
      add_header("Expect:");  // send the body at once instead of waiting for "100 Continue"
    } else if (request.body != nullptr) {
      curl_easy_setopt(curl, CURLOPT_POST, 1L);
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body->data());
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request.body->size()));
      if (method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method);
      add_header("Expect:");
    } else if (method == "GET") {
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else {
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method);
    }
    for (const std::string& line : request.headers) add_header(line);
    if (headers) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());

    bool interrupted = false;
    CURLcode result = Run(body, &interrupted);
    if (result == CURLE_WRITE_ERROR && sink.ended) result = CURLE_OK;
    response.failure = FailureOf(result, sink.exceeded);
    if (interrupted) {
      response = Interrupted();
    } else if (result == CURLE_OK) {
      response.body = std::move(body.Joined());
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
      curl_header* etag = nullptr;
      if (curl_easy_header(curl, "ETag", 0, CURLH_HEADER, -1, &etag) == CURLHE_OK) {
        response.etag = etag->value;
      }
      for (const std::string& name : request.fields) {
        curl_header* field = nullptr;
        const bool found = curl_easy_header(curl, name.c_str(), 0, CURLH_HEADER | CURLH_TRAILER, -1,
                                            &field) == CURLHE_OK;
        response.fields.push_back(found ? field->value : "");
      }
    } else if (result == CURLE_SEND_FAIL_REWIND ||
               (result == CURLE_SEND_ERROR && request.body != nullptr)) {
      // libcurl's words ("necessary data rewind wasn't possible") say what it could not do next.
      response.detail = "the connection closed during the upload";
    } else if (result == CURLE_GOT_NOTHING) {
      response.detail = "the server closed the connection without answering";
    } else {
      response.detail = error[0] != '\0' ? error : curl_easy_strerror(result);
    }
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    return response;
  }

 private:
  static HttpResponse Interrupted() {
    HttpResponse response;
    response.failure = HttpFailure::kInterrupted;
    response.detail = "interrupted";
    return response;
  }

  // Drives the prepared request in polls of kPollMs, ending it early (`*interrupted`) when the
  // caller's interruption is requested; returns its outcome.
  CURLcode Run(const HttpBody& body, bool* interrupted) {
    CURLM* multi = multi_.get();
    CURL* curl = handle_.get();
    if (curl_multi_add_handle(multi, curl) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
    CURLcode result = CURLE_OK;
    uint64_t received = 0;
    for (;;) {
      int running = 0;
      if (curl_multi_perform(multi, &running) != CURLM_OK) {
        result = CURLE_OUT_OF_MEMORY;
        break;
      }
      if (running == 0) {
        int queued = 0;
        for (CURLMsg* message = curl_multi_info_read(multi, &queued); message != nullptr;
             message = curl_multi_info_read(multi, &queued)) {
          if (message->msg == CURLMSG_DONE) result = message->data.result;
        }
        break;
      }
      if (RequestInterruption::Requested()) {
        *interrupted = true;
        break;
      }
      // After a piece of the body came, libcurl may hold the end of an HTTP/2 stream it read
      // with it and not ask for a wake-up: it is driven again at once, not after a poll.
      const bool progressed = body.Size() != received;
      received = body.Size();
      if (curl_multi_poll(multi, nullptr, 0, progressed ? 0 : kPollMs, nullptr) != CURLM_OK) {
        result = CURLE_OUT_OF_MEMORY;
        break;
      }
    }
    curl_multi_remove_handle(multi, curl);
    return result;
  }

  HttpSettings settings_;
  // Declared first, so destroyed after the easy handle it may still hold.
  std::unique_ptr<CURLM, CURLMcode (*)(CURLM*)> multi_{nullptr, curl_multi_cleanup};
  std::unique_ptr<CURL, void (*)(CURL*)> handle_{nullptr, curl_easy_cleanup};
};

using UrlHandle = std::unique_ptr<CURLU, void (*)(CURLU*)>;

// One part of a parsed address, "" when it is absent.
std::string UrlPart(const UrlHandle& url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url.get(), part, &text, 0) != CURLUE_OK || text == nullptr) return "";
  const std::unique_ptr<char, void (*)(void*)> owned(text, curl_free);  // also when the copy throws
  return std::string(text);
}

}  // namespace

std::unique_ptr<HttpTransport> MakeHttpTransport(HttpSettings settings) {
  return std::make_unique<CurlHttpTransport>(std::move(settings));
}

bool ParseHttpAddress(const std::string& address, HttpAddress* parsed) {
  StartCurlOnce();
  UrlHandle url(curl_url(), curl_url_cleanup);
  if (!url) throw std::bad_alloc();
  if (curl_url_set(url.get(), CURLUPART_URL, address.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
      CURLUE_OK) {
    return false;
  }
  parsed->had_credentials =
      !UrlPart(url, CURLUPART_USER).empty() || !UrlPart(url, CURLUPART_PASSWORD).empty();
  curl_url_set(url.get(), CURLUPART_USER, nullptr, 0);
  curl_url_set(url.get(), CURLUPART_PASSWORD, nullptr, 0);
  parsed->url = UrlPart(url, CURLUPART_URL);
  parsed->scheme = UrlPart(url, CURLUPART_SCHEME);
  parsed->host = UrlPart(url, CURLUPART_HOST);
  return true;
}
