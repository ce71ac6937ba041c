// A local WebDAV server for the remote store's tests and benchmark: lighttpd over TLS with a
// throwaway CA, basic auth and an access log, in a temporary directory, stopped by its pid.
#pragma once

#include <sys/types.h>

#include <string>

class WebDavServer {
 public:
  static constexpr const char* kUser = "alice";
  static constexpr const char* kPassword = "Wonder-land:42";

  // Makes the directory, the CA, the server certificate, the password file and the
  // configuration, then starts lighttpd. Throws std::runtime_error saying what is missing or
  // what failed (lighttpd not installed, a module absent, openssl failing).
  WebDavServer();
  // Stops the server and removes the directory.
  ~WebDavServer();
  WebDavServer(const WebDavServer&) = delete;
  WebDavServer& operator=(const WebDavServer&) = delete;

  // Stops the server (SIGTERM, then SIGKILL if it lingers) and waits for it.
  void Stop();

  // "127.0.0.1:<port>" of the TLS listener.
  std::string HostPort() const;
  // "http://127.0.0.1:<port>" of the plain listener.
  std::string PlainUrl() const;
  // The CA certificate that signed the server's certificate (for QEL_REMOTE_CA_FILE).
  std::string CaFile() const;

  // Files under the document root; `name` may contain directories, which are created.
  // Under "ignoring/" the server ignores If-Match, under "conflicting/" no If-Match ever holds,
  // and under "no-etag/" its PUT answers carry no ETag.
  void WriteFile(const std::string& name, const std::string& content) const;
  std::string ReadFile(const std::string& name) const;

  // How many requests of `method` on `path` ("/store.ini") the server has logged so far.
  int CountRequests(const std::string& method, const std::string& path);

 private:
  void Start();

  std::string dir_;
  int port_ = 0;
  int plain_port_ = 0;
  pid_t pid_ = -1;
  int markers_ = 0;
};
