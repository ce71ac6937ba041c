// The settings both remote store kinds (WebDAV and etcd) take from the QEL_REMOTE_* environment
// variables, the loopback test that decides whether a password may travel unencrypted, and the
// pacing of the rounds in which a writer that met another merges and tries again.
// Thread safety: reads the environment, which must not change meanwhile; otherwise stateless.
#pragma once

#include <chrono>
#include <random>
#include <string>

#include "http_transport.h"

// The transport settings from QEL_REMOTE_CA_FILE, QEL_REMOTE_CERT_FILE, QEL_REMOTE_KEY_FILE,
// QEL_REMOTE_CONNECT_TIMEOUT, QEL_REMOTE_TIMEOUT (seconds) and QEL_REMOTE_MAX_BYTES, with the
// defaults for those unset. Throws QELError (kIniRemoteFailed) naming a variable whose value is
// malformed, or a key file given without its certificate.
HttpSettings RemoteSettingsFromEnvironment();

// How often, in milliseconds, a store waiting for other writers asks the service again:
// QEL_REMOTE_POLL_INTERVAL seconds, 2 by default. Throws QELError like the settings above.
long RemotePollIntervalMsFromEnvironment();

// The variable that bounds the size of an answer, as error texts name it.
constexpr const char* kRemoteMaxBytesVariable = "QEL_REMOTE_MAX_BYTES";

// Why a request got no answer, as an error text says it ("the server does not answer (the HTTP
// library's words)"), with the limit of `max_bytes` for an answer too large; "" when answered.
std::string HttpFailureText(const HttpResponse& response, uint64_t max_bytes);

// Whether `host` (a name, an IPv4 address or a bracketed IPv6 one) is this machine's loopback.
bool IsLoopbackHost(std::string host);

// The rounds of "another writer came first: merge onto its version and write again". They go on
// for as long as one request may take, all requests included, with random pauses that grow with
// the rounds, so that competing writers do not meet again in step.
class ConflictRounds {
 public:
  explicit ConflictRounds(long timeout_ms);
  // Whether the time for further rounds is up.
  bool Expired() const;
  // The time left for further rounds, at least 1 ms: the bound on each request of a round.
  long LeftMs() const;
  // Waits before the round after `round`, from the third on (a busy writer finishes, a briefly
  // weakened tag settles); returns whether it waited.
  bool Pause(int round);

 private:
  std::chrono::steady_clock::time_point deadline_;
  std::minstd_rand random_;
};
