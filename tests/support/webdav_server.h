// A local WebDAV server for the remote store's tests and benchmark: lighttpd over TLS with a
// self-signed certificate, basic auth and an access log, in a temporary directory.
#pragma once

#include <sys/types.h>

#include <string>

class WebDavServer {
 public:
  static constexpr const char* kUser = "alice";
  static constexpr const char* kPassword = "Wonder-land:42";

  // Makes the certificate, password file and configuration, then starts lighttpd. Throws
  // std::runtime_error saying what is missing or failed (lighttpd not installed, openssl).
  WebDavServer();
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
  std::string CaFile() const { return dir_ + "/server.pem"; }

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

  std::string dir_;
  int port_ = 0;
  int plain_port_ = 0;
  pid_t pid_ = -1;
  int markers_ = 0;
};
