// RemoteIni until the WebDAV transport exists: every remote login fails with a clear error.
#include "remote_ini.h"

#include "qel_error.h"

struct RemoteIni::Transport {};

RemoteIni::RemoteIni(const std::string& host, const std::string& second, const std::string&,
                     const std::string&) {
  throw QELError("remote stores are not available in this build (" + host +
                     (second.empty() ? "" : "/" + second) + ")",
                 kIniRemoteFailed, kIniFacility, "platform/osl/remote_ini", __LINE__);
}

RemoteIni::~RemoteIni() = default;

void RemoteIni::FlushIniDataToFile(const std::string&) {}
