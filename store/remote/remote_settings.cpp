// The remote stores' shared pieces: transport settings from the environment, failure texts, the
// loopback test and the pacing of conflict rounds.
#include "remote_settings.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <zor-qel-rb-key/qel_error.h>
#include "ini_file_system.h"
#include "ini_types.h"

namespace {

constexpr long kDefaultPollIntervalMs = 2000;
// The longest pause between two conflict rounds.
constexpr int kMaxPauseMs = 500;

[[noreturn]] void Fail(const std::string& text, long line) {
  throw QELError(text, kIniRemoteFailed, kIniFacility, "store/remote/remote_settings", line);
}

// A timeout in milliseconds from an environment variable giving seconds, or `fallback_ms`.
long TimeoutFromEnvironment(const char* name, long fallback_ms) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback_ms;
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(value, &end);
  if (errno != 0 || end == value || *end != '\0' || !(seconds > 0) || seconds > 86400) {
    Fail(std::string(name) + " must be a number of seconds above 0 and up to 86400, not \"" +
             value + "\"",
         __LINE__);
  }
  return std::max(1L, static_cast<long>(seconds * 1000));
}

// The bound on the size of an answer's body: QEL_REMOTE_MAX_BYTES bytes when set, or `fallback`.
uint64_t MaxBytesFromEnvironment(uint64_t fallback) {
  const char* value = std::getenv(kRemoteMaxBytesVariable);
  if (value == nullptr || *value == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const long long bytes = std::strtoll(value, &end, 10);
  if (errno != 0 || end == value || *end != '\0' || bytes <= 0) {
    Fail(std::string(kRemoteMaxBytesVariable) + " must be a number of bytes above 0, not \"" +
             value + "\"",
         __LINE__);
  }
  return static_cast<uint64_t>(bytes);
}

// Reads a numeric IP address ("127.0.0.1", "::1") into `bytes`: returns 4 or 16, how many bytes
// it filled, or 0 when `text` is no such address.
int ParseIpAddress(const std::string& text, unsigned char bytes[16]) {
  if (::inet_pton(AF_INET, text.c_str(), bytes) == 1) return 4;
  return ::inet_pton(AF_INET6, text.c_str(), bytes) == 1 ? 16 : 0;
}

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

HttpSettings RemoteSettingsFromEnvironment() {
  HttpSettings settings;
  settings.ca_file = Variable("QEL_REMOTE_CA_FILE");
  settings.cert_file = Variable("QEL_REMOTE_CERT_FILE");
  settings.key_file = Variable("QEL_REMOTE_KEY_FILE");
  if (!settings.key_file.empty() && settings.cert_file.empty()) {
    Fail("QEL_REMOTE_KEY_FILE is set without QEL_REMOTE_CERT_FILE, the certificate it belongs to",
         __LINE__);
  }
  // Unset variables leave HttpSettings' own defaults.
  settings.connect_timeout_ms =
      TimeoutFromEnvironment("QEL_REMOTE_CONNECT_TIMEOUT", settings.connect_timeout_ms);
  settings.timeout_ms = TimeoutFromEnvironment("QEL_REMOTE_TIMEOUT", settings.timeout_ms);
  settings.max_body_bytes = MaxBytesFromEnvironment(settings.max_body_bytes);
  return settings;
}

std::string HttpFailureText(const HttpResponse& response, uint64_t max_bytes) {
  const char* what = nullptr;
  switch (response.failure) {
    case HttpFailure::kNone:
      return "";
    case HttpFailure::kTooLarge:
      return "the answer is larger than the limit of " + std::to_string(max_bytes) +
             " bytes set by " + kRemoteMaxBytesVariable;
    case HttpFailure::kResolve:
      what = "the server's name cannot be resolved";
      break;
    case HttpFailure::kConnect:
      what = "the server does not answer";
      break;
    case HttpFailure::kTimeout:
      what = "the server did not answer in time";
      break;
    case HttpFailure::kCertificate:
      what = "the server's certificate is not trusted";
      break;
    case HttpFailure::kTls:
      what = "the TLS handshake failed";
      break;
    case HttpFailure::kOther:
      what = "the transfer failed";
      break;
    case HttpFailure::kInterrupted:
      return "interrupted";
  }
  return std::string(what) + " (" + response.detail + ")";
}

bool IsLoopbackHost(std::string host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (host == "localhost") return true;
  unsigned char address[16];
  const int size = ParseIpAddress(host, address);
  if (size == 4) return address[0] == 127;
  if (size != 16) return false;
  static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  static const unsigned char kMapped4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::memcmp(address, kLoopback6, 16) == 0 ||
         (std::memcmp(address, kMapped4, 12) == 0 && address[12] == 127);
}

long RemotePollIntervalMsFromEnvironment() {
  return TimeoutFromEnvironment("QEL_REMOTE_POLL_INTERVAL", kDefaultPollIntervalMs);
}

ConflictRounds::ConflictRounds(long timeout_ms)
    : deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)),
      random_(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count() ^
                                    (CurrentProcessId() << 16))) {}

bool ConflictRounds::Expired() const { return std::chrono::steady_clock::now() >= deadline_; }

long ConflictRounds::LeftMs() const {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline_ - std::chrono::steady_clock::now());
  return std::max(1L, static_cast<long>(left.count()));
}

bool ConflictRounds::Pause(int round) {
  if (round < 2) return false;
  const int ceiling = std::min(10 << std::min(round - 2, 10), kMaxPauseMs);
  const long pause_ms = std::min<long>(1 + random_() % ceiling, LeftMs());
  std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
  return true;
}
