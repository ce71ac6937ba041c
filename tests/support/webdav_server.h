// A local WebDAV server for the remote store's tests and benchmark: lighttpd over TLS with a
// self-signed certificate, basic auth and an access log, in a temporary directory. On POSIX
// systems the tests start lighttpd themselves; on Windows (under Wine) they ask webdav_service,
// a program of the Linux build that QEL_TEST_WEBDAV_SERVICE ("127.0.0.1:<port>") names, to start
// and stop it for them.
// Thread safety: one server is used by one thread at a time.
#pragma once

#include <string>

class WebDavServer {
 public:
  static constexpr const char* kUser = "alice";
  static constexpr const char* kPassword = "Wonder-land:42";

  // Makes the certificate (or, when `certificate` is not "", serves the one in the files
  // <certificate>.pem and <certificate>.key), password file and configuration, then starts
  // lighttpd. Throws std::runtime_error saying what is missing or failed (lighttpd not
  // installed, openssl, no service to ask).
  explicit WebDavServer(const std::string& certificate = "");
  // Stops the server and removes the directory.
  ~WebDavServer();
  WebDavServer(const WebDavServer&) = delete;
  WebDavServer& operator=(const WebDavServer&) = delete;

  // Kills the server and waits for it: clients find nobody listening.
  void Stop();
  // Freezes the server: connections open but nothing ever answers.
  void Pause();

  // "127.0.0.1:<port>" of the TLS listener, "http://127.0.0.1:<port>" of the plain one.
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string PlainUrl() const { return "http://127.0.0.1:" + std::to_string(plain_port_); }
  // The server's self-signed certificate, to trust as the only CA.
  std::string CaFile() const;
  // The directory of its files and configuration.
  const std::string& Directory() const { return dir_; }
  int Port() const { return port_; }
  int PlainPort() const { return plain_port_; }

  // Files under the document root; `name` may contain directories, which are created.
  // Under "ignoring/" the server ignores If-Match, under "conflicting/" no If-Match ever holds,
  // under "no-etag/" its PUT answers carry no ETag, and under "forbidden/" every request is
  // refused with 403.
  void WriteFile(const std::string& name, const std::string& content) const;
  std::string ReadFile(const std::string& name) const;

  // How many requests of `method` on `path` ("/store.ini") the server has logged so far.
  int CountRequests(const std::string& method, const std::string& path);

 private:
  void Start();
  // Windows: sends one command to the service and returns its answer after "ok ".
  std::string Ask(const std::string& command) const;

  std::string dir_;
  int port_ = 0;
  int plain_port_ = 0;
  long pid_ = -1;  // lighttpd's process id; on Windows the service's number of the server
  int markers_ = 0;
};
