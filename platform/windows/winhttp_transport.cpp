// HttpTransport over WinHTTP, Windows' own HTTP and TLS stack: one session per transport, whose
// connections are kept between requests, bodies bounded as they arrive, and the same failures,
// timeouts and address rules as the libcurl transport of POSIX systems.
// winsock2 before windows.h, and windows.h before the headers that build on it.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_error_codes.h>
#include "base64.h"
#include "http_transport.h"
#include "windows_handle.h"
#include "windows_text.h"

namespace {

constexpr const char* kSourceFile = "platform/windows/winhttp_transport";

// Text for WinHTTP; bytes that are no UTF-8 give an empty text, which WinHTTP refuses.
std::wstring Widen(const std::string& text) {
  std::wstring wide;
  return WidenUtf8(text, &wide) ? wide : std::wstring();
}

// WinHTTP's own words for one of its errors, with its number.
std::string Describe(DWORD error) {
  const std::string words = WindowsErrorWords(error, L"winhttp.dll");
  return (words.empty() ? "WinHTTP error" : words) + " (error " + std::to_string(error) + ")";
}

// What a WinHTTP error means; some WinHTTPs (Wine's) pass on the socket's own error instead.
HttpFailure FailureOf(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case WSAHOST_NOT_FOUND:
      return HttpFailure::kResolve;
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case WSAECONNREFUSED:
      return HttpFailure::kConnect;
    case ERROR_WINHTTP_TIMEOUT:
    case WSAETIMEDOUT:
      return HttpFailure::kTimeout;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
      return HttpFailure::kCertificate;
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
      return HttpFailure::kTls;
    default:
      return HttpFailure::kOther;
  }
}

struct InternetCloser {
  void operator()(HINTERNET handle) const { ::WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, InternetCloser>;

struct CertificateCloser {
  void operator()(const CERT_CONTEXT* certificate) const {
    ::CertFreeCertificateContext(certificate);
  }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateCloser>;

// The certificates of a PEM file, or none when it cannot be read.
std::vector<Certificate> ReadCertificates(const std::string& path) {
  std::vector<Certificate> certificates;
  std::string text;
  {
    const FileHandle file(::CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return certificates;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
      text.append(buffer, got);
  }
  const std::string begin = "-----BEGIN CERTIFICATE-----";
  const std::string end = "-----END CERTIFICATE-----";
  for (size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at + 1)) {
    const size_t stop = text.find(end, at);
    if (stop == std::string::npos) break;
    const std::string block = text.substr(at, stop + end.size() - at);
    DWORD size = 0;
    if (!::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
      continue;
    }
    std::vector<BYTE> der(size);
    if (!::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
      continue;
    }
    const CERT_CONTEXT* certificate =
        ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
    if (certificate != nullptr) certificates.emplace_back(certificate);
  }
  return certificates;
}

class WinHttpTransport : public HttpTransport {
 public:
  explicit WinHttpTransport(HttpSettings settings) : settings_(std::move(settings)) {
    session_.reset(::WinHttpOpen(L"zor-qel-rb-key", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session_) {
      throw QELError("WinHTTP cannot be started: " + Describe(::GetLastError()),
                     static_cast<long>(zor::qel::StoreError::kRemoteFailed),
                     static_cast<long>(zor::qel::Facility::kStore), kSourceFile, __LINE__);
    }
    if (!settings_.ca_file.empty()) trusted_ = ReadCertificates(settings_.ca_file);
  }

  HttpResponse Perform(const HttpRequest& request) override {
    HttpResponse response;
    if (RequestInterruption::Requested()) return Interrupted(&response);
    // The request's own bound on the whole request (a watch's), else the settings'.
    const long whole_ms = request.timeout_ms > 0 ? request.timeout_ms : settings_.timeout_ms;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(whole_ms);
    auto fail = [&response](DWORD error) {
      response.failure = FailureOf(error);
      response.detail = Describe(error);
      response.status = 0;
      response.body.clear();
      response.etag.clear();
      return response;
    };

    const std::wstring url = Widen(request.url);
    URL_COMPONENTS parts;
    std::memset(&parts, 0, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return fail(::GetLastError());
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    Internet connection(::WinHttpConnect(session_.get(), host.c_str(), parts.nPort, 0));
    if (!connection) return fail(::GetLastError());
    Internet handle(::WinHttpOpenRequest(
        connection.get(), Widen(request.method).c_str(), path.c_str(), nullptr, WINHTTP_NO_REFERER,
        WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
    if (!handle) return fail(::GetLastError());
    if (GoesDirect(settings_, request.url)) {
      // Credentials in clear never pass the proxy the system names.
      WINHTTP_PROXY_INFO direct;
      std::memset(&direct, 0, sizeof direct);
      direct.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
      if (!::WinHttpSetOption(handle.get(), WINHTTP_OPTION_PROXY, &direct, sizeof direct)) {
        return fail(::GetLastError());
      }
    }
    // Every step of this request bounded: the TLS handshake and the wait for the answer too.
    DWORD whole = static_cast<DWORD>(std::min<long>(whole_ms, INT_MAX));
    DWORD connect = static_cast<DWORD>(std::min<long>(settings_.connect_timeout_ms, INT_MAX));
    ::WinHttpSetTimeouts(handle.get(), static_cast<int>(connect), static_cast<int>(connect),
                         static_cast<int>(whole), static_cast<int>(whole));
    ::WinHttpSetOption(handle.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &whole, sizeof whole);
    DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
    ::WinHttpSetOption(handle.get(), WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects,
                       sizeof no_redirects);

    std::string headers;
    if (!settings_.user.empty()) {
      // Basic authentication sent with the request, as the libcurl transport sends it.
      headers +=
          "Authorization: Basic " + Base64(settings_.user + ":" + settings_.password) + "\r\n";
    }
    for (const std::string& line : request.headers) headers += line + "\r\n";
    const std::wstring wide_headers = Widen(headers);
    const DWORD body_size = request.body != nullptr ? static_cast<DWORD>(request.body->size()) : 0;
    if (!::WinHttpSendRequest(
            handle.get(),
            wide_headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wide_headers.c_str(),
            static_cast<DWORD>(wide_headers.size()),
            request.body != nullptr ? const_cast<char*>(request.body->data())
                                    : WINHTTP_NO_REQUEST_DATA,
            body_size, body_size, 0) ||
        !::WinHttpReceiveResponse(handle.get(), nullptr)) {
      return fail(::GetLastError());
    }
    if (secure && !trusted_.empty() && !EndsInTrustedCertificate(handle.get())) {
      response.failure = HttpFailure::kCertificate;
      response.detail =
          "the server's certificate was not issued by a certificate of " + settings_.ca_file;
      return response;
    }

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::WinHttpQueryHeaders(handle.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
      return fail(::GetLastError());
    }
    response.status = static_cast<long>(status);
    wchar_t etag[512];
    size = sizeof etag;
    if (::WinHttpQueryHeaders(handle.get(), WINHTTP_QUERY_ETAG, WINHTTP_HEADER_NAME_BY_INDEX, etag,
                              &size, WINHTTP_NO_HEADER_INDEX)) {
      response.etag = NarrowToUtf8(etag, size / sizeof(wchar_t));
    }
    // Refuses a body announced too large before it comes; the loop stops one that grows so.
    wchar_t length_text[32];
    size = sizeof length_text;
    if (::WinHttpQueryHeaders(handle.get(), WINHTTP_QUERY_CONTENT_LENGTH,
                              WINHTTP_HEADER_NAME_BY_INDEX, length_text, &size,
                              WINHTTP_NO_HEADER_INDEX) &&
        std::wcstoull(length_text, nullptr, 10) > settings_.max_body_bytes) {
      return TooLarge(&response);
    }
    HttpBody body(settings_.max_body_bytes);
    std::vector<char> piece;
    for (;;) {
      if (RequestInterruption::Requested()) return Interrupted(&response);
      DWORD available = 0;
      if (!::WinHttpQueryDataAvailable(handle.get(), &available)) return fail(::GetLastError());
      if (available == 0) break;
      if (available > settings_.max_body_bytes - body.Size()) return TooLarge(&response);
      piece.resize(available);
      DWORD got = 0;
      if (!::WinHttpReadData(handle.get(), piece.data(), available, &got)) {
        return fail(::GetLastError());
      }
      body.Append(piece.data(), got);
      if (request.until && request.until(body.Joined())) break;  // a stream read far enough
      if (std::chrono::steady_clock::now() > deadline) return fail(ERROR_WINHTTP_TIMEOUT);
    }
    response.body = std::move(body.Joined());
    return response;
  }

 private:
  static HttpResponse& Interrupted(HttpResponse* response) {
    response->failure = HttpFailure::kInterrupted;
    response->detail = "interrupted";
    response->status = 0;
    response->body.clear();
    response->etag.clear();
    return *response;
  }

  HttpResponse& TooLarge(HttpResponse* response) const {
    response->failure = HttpFailure::kTooLarge;
    response->detail =
        "the answer is larger than " + std::to_string(settings_.max_body_bytes) + " bytes";
    response->status = 0;
    response->body.clear();
    response->etag.clear();
    return *response;
  }

  // Whether the chain Windows built for the server's certificate, which it trusts, ends in one
  // of the certificates of the CA file.
  bool EndsInTrustedCertificate(HINTERNET handle) const {
    const CERT_CONTEXT* server = nullptr;
    DWORD size = sizeof server;
    if (!::WinHttpQueryOption(handle, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &server, &size) ||
        server == nullptr) {
      return false;
    }
    Certificate owned(server);
    CERT_CHAIN_PARA parameters;
    std::memset(&parameters, 0, sizeof parameters);
    parameters.cbSize = sizeof parameters;
    const CERT_CHAIN_CONTEXT* chain = nullptr;
    if (!::CertGetCertificateChain(nullptr, server, nullptr, server->hCertStore, &parameters, 0,
                                   nullptr, &chain)) {
      return false;
    }
    bool found = false;
    if (chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
      const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
      const CERT_CONTEXT* root = simple->rgpElement[simple->cElement - 1]->pCertContext;
      for (const Certificate& certificate : trusted_) {
        if (::CertCompareCertificate(X509_ASN_ENCODING, root->pCertInfo, certificate->pCertInfo)) {
          found = true;
        }
      }
    }
    ::CertFreeCertificateChain(chain);
    return found;
  }

  HttpSettings settings_;
  Internet session_;
  std::vector<Certificate> trusted_;  // the certificates of settings_.ca_file
};

}  // namespace

std::unique_ptr<HttpTransport> MakeHttpTransport(HttpSettings settings) {
  return std::make_unique<WinHttpTransport>(std::move(settings));
}

bool ParseHttpAddress(const std::string& address, HttpAddress* parsed) {
  const std::wstring wide = Widen(address);
  URL_COMPONENTS parts;
  std::memset(&parts, 0, sizeof parts);
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUserNameLength = static_cast<DWORD>(-1);
  parts.dwPasswordLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  // WinHTTP knows only http and https; another scheme is still an address, refused by its user.
  const size_t colon = address.find("://");
  if (colon == std::string::npos || colon == 0) return false;
  std::string scheme = address.substr(0, colon);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const bool known = scheme == "http" || scheme == "https";
  const std::wstring cracked = known ? wide : L"http" + wide.substr(colon);
  if (!::WinHttpCrackUrl(cracked.c_str(), 0, 0, &parts) || parts.dwHostNameLength == 0) {
    return false;
  }
  std::string host = NarrowToUtf8(parts.lpszHostName, parts.dwHostNameLength);
  parsed->had_credentials = parts.dwUserNameLength > 0 || parts.dwPasswordLength > 0;
  parsed->scheme = scheme;
  parsed->host = host;
  const std::string path = NarrowToUtf8(parts.lpszUrlPath, parts.dwUrlPathLength) +
                           NarrowToUtf8(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  const bool default_port = (scheme == "https" && parts.nPort == INTERNET_DEFAULT_HTTPS_PORT) ||
                            (scheme == "http" && parts.nPort == INTERNET_DEFAULT_HTTP_PORT) ||
                            !known;
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  parsed->url = scheme + "://" + host + (default_port ? "" : ":" + std::to_string(parts.nPort)) +
                (path.empty() ? "/" : path);
  return true;
}
