// RemoteIni: the write-back protocol of an INI store whose file a WebDAV service holds: one GET
// at login, conditional PUTs (If-Match) to write, and another writer's newer file merged, never
// overwritten. The requests themselves go through HttpTransport.
#include "remote_ini.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_log.h>
#include "clog_msg.h"
#include "content_hash.h"
#include "http_transport.h"
#include "ini_file_system.h"
#include "remote_settings.h"

namespace {

constexpr const char* kSourceFile = "store/webdav/remote_ini";
constexpr const char* kModule = "ini";
constexpr const char* kFlushFunction = "RemoteIni::FlushIniDataToFile";
// The severity of a warning record.
constexpr LogSeverity kWarning = kLogLoginFailure;
// A tag no server issues: a service that honours If-Match refuses a PUT conditioned on it.
constexpr const char* kProbeTag = "\"qel-if-match-probe-never-matches\"";

[[noreturn]] void Fail(long code, const std::string& text, long line) {
  throw QELError(text, code, kIniFacility, kSourceFile, line);
}

// If-Match compares tags strongly: a weak tag is sent in its strong form, which a server that
// weakens tags only briefly after a change accepts once the change has settled.
std::string StrongTag(const std::string& tag) {
  return tag.rfind("W/", 0) == 0 ? tag.substr(2) : tag;
}

// A duration as a text shows it: "2", "0.5".
std::string Seconds(long ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000);
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", ms / 1000.0);
  return text;
}

}  // namespace

struct RemoteIni::Transport {
  std::string url;    // the address requested; it never carries user information
  std::string shown;  // the address as every text shows it: MaskCredentials(url)
  std::string user;
  long timeout_ms = 0;
  long poll_interval_ms = 0;
  uint64_t max_bytes = 0;
  uint64_t content_hash = 0;  // of the file as this store last read or wrote it
  bool stale = false;         // the image may differ from that file: read it again anyway
  std::unique_ptr<HttpTransport> http;
  // When the last request ended: the next poll is due one interval later.
  std::chrono::steady_clock::time_point last_request;
  // The strong form of the tag of the file as this store last read or wrote it; "" when the
  // service gives none.
  std::string etag;
  enum class IfMatch { kUntested, kHonoured, kIgnored } if_match = IfMatch::kUntested;
  bool warned = false;  // the warning about unguarded writes was logged

  // One request on `url`: a GET, or a PUT of `*upload` when not null; `condition` becomes an
  // If-Match header (If-None-Match with `unless_tag`) when not empty. Bounded by `timeout_ms`
  // when above 0, else by the settings' timeout. Traced by method, address and outcome.
  HttpResponse Perform(const std::string* upload, const std::string& condition,
                       bool unless_tag = false, long timeout_ms = 0);
  // What went wrong with a request, in words; never the password.
  std::string Failure(const char* method, const HttpResponse& response) const;
};

HttpResponse RemoteIni::Transport::Perform(const std::string* upload, const std::string& condition,
                                           bool unless_tag, long timeout_ms) {
  HttpRequest request;
  request.method = upload != nullptr ? "PUT" : "GET";
  request.url = url;
  request.body = upload;
  request.timeout_ms = timeout_ms;
  if (!condition.empty()) {
    request.headers.push_back((unless_tag ? "If-None-Match: " : "If-Match: ") + condition);
  }
  HttpResponse response = http->Perform(request);
  last_request = std::chrono::steady_clock::now();
  CLogMsg trace("RemoteIni::Request", kModule, kLogTrace);
  if (trace.IsEnable()) {
    trace << request.method << " " << shown << ": "
          << (response.failure == HttpFailure::kNone ? "HTTP " + std::to_string(response.status)
                                                     : response.detail)
          << flush;
  }
  return response;
}

std::string RemoteIni::Transport::Failure(const char* method, const HttpResponse& response) const {
  const std::string request = std::string(method) + " " + shown + ": ";
  // The file, not just any answer, is what outgrew the limit here.
  if (response.failure == HttpFailure::kTooLarge) {
    return request + "the file is larger than the limit of " + std::to_string(max_bytes) +
           " bytes set by " + kRemoteMaxBytesVariable;
  }
  if (response.failure != HttpFailure::kNone) {
    return request + HttpFailureText(response, max_bytes);
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

  HttpAddress parsed;
  if (!ParseHttpAddress(address, &parsed)) {
    Fail(kIniRemoteFailed, "\"" + zor::qel::MaskCredentials(address) + "\" is not a valid address",
         __LINE__);
  }
  transport.url = parsed.url;
  transport.shown = zor::qel::MaskCredentials(transport.url);
  if (parsed.had_credentials) {
    Fail(kIniRemoteFailed,
         "the address " + transport.shown +
             " carries a user name or password; give them to the login",
         __LINE__);
  }
  if (parsed.scheme != "https" && parsed.scheme != "http") {
    Fail(kIniRemoteFailed,
         "the address " + transport.shown + " names the scheme \"" + parsed.scheme +
             "\"; only https and http are supported",
         __LINE__);
  }
  if (parsed.scheme == "http" && !password.empty() && !IsLoopbackHost(parsed.host)) {
    Fail(kIniRemoteFailed,
         "the address " + transport.shown +
             " uses plain http, which would expose the password; use https",
         __LINE__);
  }

  HttpSettings settings = RemoteSettingsFromEnvironment();
  settings.user = user;
  settings.password = password;
  transport.user = user;
  transport.timeout_ms = settings.timeout_ms;
  transport.poll_interval_ms = RemotePollIntervalMsFromEnvironment();
  transport.max_bytes = settings.max_body_bytes;
  transport.http = MakeHttpTransport(std::move(settings));

  HttpResponse response = transport.Perform(nullptr, "");
  if (response.Answered(401)) {
    Fail(kIniCredentialsRejected, transport.Failure("GET", response), __LINE__);
  }
  if (!response.Succeeded()) Fail(kIniRemoteFailed, transport.Failure("GET", response), __LINE__);
  transport.content_hash = ContentHash(response.body.data(), response.body.size());
  try {
    LoadImage(std::move(response.body), transport.shown);
  } catch (const QELError& error) {
    const int number = static_cast<int>(error.Code());
    Fail(number, "GET " + transport.shown + ": " + ExceptionNumberToString(number), __LINE__);
  }
  transport.etag = StrongTag(response.etag);
}

RemoteIni::~RemoteIni() = default;

bool RemoteIni::Refresh(IniChanges* changed) {
  Transport& transport = *transport_;
  HttpResponse response = transport.Perform(nullptr, transport.etag, true);
  if (response.Answered(304)) return false;
  if (!response.Succeeded()) Fail(kIniRemoteFailed, transport.Failure("GET", response), __LINE__);
  const uint64_t hash = ContentHash(response.body.data(), response.body.size());
  bool merged = false;
  if (hash != transport.content_hash || transport.stale) {
    try {
      merged = MergeOnto(std::move(response.body), transport.shown, changed);
    } catch (const QELError& error) {
      if (error.Facility() != kIniFacility) throw;  // a replayed change refused: it says why
      const int number = static_cast<int>(error.Code());
      Fail(number,
           "GET " + transport.shown +
               ": the newer file cannot be read: " + ExceptionNumberToString(number),
           __LINE__);
    }
    transport.content_hash = hash;
    transport.stale = false;
  }
  transport.etag = StrongTag(response.etag);
  return merged;
}

void RemoteIni::ForgetRead() {
  transport_->etag.clear();
  transport_->stale = true;
}

bool RemoteIni::WaitForChange(int timeout_ms) {
  const auto due =
      transport_->last_request + std::chrono::milliseconds(transport_->poll_interval_ms);
  const long until_due = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now())
          .count());
  if (until_due <= 0) return true;
  if (timeout_ms < until_due) {
    RequestInterruption::Sleep(timeout_ms);
    return false;
  }
  return RequestInterruption::Sleep(until_due);
}

bool RemoteIni::RefreshDue() const {
  return std::chrono::steady_clock::now() - transport_->last_request >=
         std::chrono::milliseconds(transport_->poll_interval_ms);
}

void RemoteIni::FlushIniDataToFile(const std::string& file) {
  if (!file.empty()) {
    Fail(kIniWriteFailed, "cannot write " + file + ": a store writes only its own file", __LINE__);
  }
  WriteBack();
}

void RemoteIni::WriteBack() {
  Transport& transport = *transport_;
  const std::string kept = "; the changes are kept in memory";
  // Every request of the flush shares one deadline, so the flush ends within the timeout.
  ConflictRounds rounds(transport.timeout_ms);
  int round = 0;
  bool changed = false;  // a 412 came with a file or tag other than the one this store knew
  int refused = 0;       // PUTs answered 412
  for (;; ++round) {
    if (round > 0 && rounds.Expired()) break;
    rounds.Pause(round);
    const std::string bytes = SerializeImage();
    if (transport.if_match == Transport::IfMatch::kUntested) {
      // Learn once whether the service honours If-Match: one that does refuses this PUT; one
      // that does not writes these very bytes, which is what an unconditional PUT would do.
      HttpResponse probe = transport.Perform(&bytes, kProbeTag, false, rounds.LeftMs());
      if (probe.Answered(412)) {
        transport.if_match = Transport::IfMatch::kHonoured;
      } else if (probe.Succeeded()) {
        transport.if_match = Transport::IfMatch::kIgnored;
        transport.warned = true;
        CLogMsg(kFlushFunction, kModule, kLogTrace)
            << kWarning << transport.shown
            << " ignores If-Match: concurrent writers can overwrite each other's changes" << flush;
        Written(bytes, probe.etag, rounds.LeftMs());
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
    HttpResponse put =
        transport.Perform(&bytes, conditional ? transport.etag : "", false, rounds.LeftMs());
    if (put.Succeeded()) {
      Written(bytes, put.etag, rounds.LeftMs());
      return;
    }
    // A round that runs out of time ends the rounds, as a conflict: its PUT was bounded by the
    // rounds' time left (libcurl may give up a moment before the deadline it was given).
    if (round > 0 && put.failure == HttpFailure::kTimeout) break;
    if (!conditional || !put.Answered(412)) {
      Fail(kIniRemoteFailed, transport.Failure("PUT", put) + kept, __LINE__);
    }
    ++refused;
    const Merged merged = MergeNewerFile(rounds);
    if (merged == Merged::kLate) break;
    if (merged == Merged::kChanged) changed = true;
  }
  const std::string seconds = Seconds(transport.timeout_ms);
  if (!changed) {
    // The file never moved: the refusals are the server's doing, not other writers'.
    Fail(kIniConflict,
         "PUT " + transport.shown + ": the server refused " + std::to_string(refused) +
             " writes conditioned on the file's ETag " + transport.etag + " (HTTP 412) in " +
             seconds + " s, though the file kept that ETag" + kept,
         __LINE__);
  }
  Fail(kIniConflict,
       "PUT " + transport.shown + ": other writers kept changing the file through " +
           std::to_string(refused) + " attempts in " + seconds + " s" + kept,
       __LINE__);
}

RemoteIni::Merged RemoteIni::MergeNewerFile(const ConflictRounds& rounds) {
  Transport& transport = *transport_;
  HttpResponse response = transport.Perform(nullptr, "", false, rounds.LeftMs());
  if (response.failure == HttpFailure::kTimeout && rounds.Expired()) return Merged::kLate;
  if (!response.Succeeded()) {
    Fail(kIniRemoteFailed, transport.Failure("GET", response) + "; the changes are kept in memory",
         __LINE__);
  }
  const uint64_t hash = ContentHash(response.body.data(), response.body.size());
  try {
    MergeOnto(std::move(response.body), transport.shown);
  } catch (const QELError& error) {
    if (error.Facility() != kIniFacility) throw;  // a replayed change refused: it says why
    const int number = static_cast<int>(error.Code());
    Fail(number,
         "GET " + transport.shown + ": the newer file cannot be read: " +
             ExceptionNumberToString(number) + "; the changes are kept in memory",
         __LINE__);
  }
  const bool changed = hash != transport.content_hash || StrongTag(response.etag) != transport.etag;
  transport.content_hash = hash;
  transport.etag = StrongTag(response.etag);
  return changed ? Merged::kChanged : Merged::kSame;
}

void RemoteIni::Written(const std::string& bytes, const std::string& etag, long timeout_ms) {
  Transport& transport = *transport_;
  transport.content_hash = ContentHash(bytes.data(), bytes.size());
  if (!etag.empty()) {
    transport.etag = StrongTag(etag);
  } else {
    // No tag for the written file: learn it with a GET, but only while the file is what this
    // store wrote; otherwise the old tag stays, and the next flush merges onto the newer file.
    HttpResponse check = transport.Perform(nullptr, "", false, timeout_ms);
    if (check.Succeeded() && check.body == bytes) transport.etag = StrongTag(check.etag);
  }
  ClearJournal();
}
