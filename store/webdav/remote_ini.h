// RemoteIni: an INI store whose file is held by a remote WebDAV service.
// Thread safety: as Ini.
#pragma once

#include <memory>
#include <string>

#include "ini.h"
#include "remote_settings.h"

class RemoteIni : public Ini {
 public:
  // Loads the file at the URL made of `host` (with "https://" unless it names a scheme) and,
  // when not empty, "/" and `second`. Throws QELError: code -7 for credentials the service
  // rejected (HTTP 401), another code with a text saying what happened for anything else (a file
  // the service forbids access to, HTTP 403, included).
  RemoteIni(const std::string& host, const std::string& second, const std::string& user,
            const std::string& password);
  ~RemoteIni() override;

  // Writes the image back to the service (`file` must be "") unless someone else wrote it
  // meanwhile, in which case this store's changes are replayed on the newer file first.
  void FlushIniDataToFile(const std::string& file) override;

  // A conditional GET (If-None-Match with the tag this store last read or wrote; without one, a
  // GET compared by content): a 304 costs one round trip and changes nothing.
  bool Refresh(IniChanges* changed) override;
  void ForgetRead() override;
  // The service tells nobody of a change: it is asked once per polling interval
  // (QEL_REMOTE_POLL_INTERVAL seconds, 2 by default), counted from the last request. Waits until
  // the interval has passed since then or the timeout, whichever comes first, and answers true
  // when the interval passed, so that the caller looks again.
  bool WaitForChange(int timeout_ms) override;
  bool RefreshDue() const override;

 private:
  struct Transport;
  // Writes the image to the service: conditional PUTs, merging onto newer files in between.
  void WriteBack();
  enum class Merged { kSame, kChanged, kLate };
  // Reads the current file after a 412, within the rounds' time, and replays this store's
  // changes on top of it; says whether the file or its tag differ from the ones this store knew,
  // or that the rounds' time ran out during the read.
  Merged MergeNewerFile(const ConflictRounds& rounds);
  // Records a successful PUT of `bytes`, answered with `etag` ("" when the service gave none);
  // a GET to learn a missing tag takes at most `timeout_ms`.
  void Written(const std::string& bytes, const std::string& etag, long timeout_ms);

  std::unique_ptr<Transport> transport_;
};
