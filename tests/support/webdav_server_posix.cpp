// Starts and stops lighttpd with mod_webdav, mod_openssl and basic auth for the remote tests.
#include "webdav_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "test_system.h"

namespace {

namespace fs = std::filesystem;

const std::string kInstallHint =
    "install the Debian packages lighttpd lighttpd-mod-webdav lighttpd-mod-openssl openssl";
// lighttpd lives in sbin, which a user's PATH often lacks.
const std::string kPath = "export PATH=\"$PATH:/usr/sbin:/usr/local/sbin:/sbin\"; ";

// The server's configuration after the lines setting var.dir, var.port and var.plain. A piped
// access log is written at the end of each request (a file log is buffered); without a mime
// type lighttpd sends no ETag. Under /ignoring/ If-Match is dropped, under /conflicting/ it
// never holds, under /no-etag/ a PUT answers without an ETag, and /forbidden/ answers 403.
const char* const kConfig = R"(
server.modules = ( "mod_access", "mod_auth", "mod_authn_file", "mod_webdav", "mod_openssl",
                   "mod_accesslog", "mod_setenv" )
server.document-root = var.dir + "/docroot"
server.bind = "127.0.0.1"
server.port = var.port
server.errorlog = var.dir + "/error.log"
server.upload-dirs = ( var.dir + "/uploads" )
accesslog.filename = "|exec /bin/cat >> " + var.dir + "/access.log"
mimetype.assign = ( "" => "application/octet-stream" )
ssl.engine = "enable"
ssl.pemfile = var.dir + "/server.pem"
ssl.privkey = var.dir + "/server.key"
webdav.activate = "enable"
webdav.is-readonly = "disable"
auth.backend = "htpasswd"
auth.backend.htpasswd.userfile = var.dir + "/htpasswd"
auth.require = ( "/" => ( "method" => "basic", "realm" => "qel", "require" => "valid-user" ) )
$HTTP["url"] =~ "^/forbidden/" { url.access-deny = ( "" ) }
$HTTP["url"] =~ "^/ignoring/" { setenv.set-request-header = ( "If-Match" => "" ) }
$HTTP["url"] =~ "^/conflicting/" { setenv.set-request-header = ( "If-Match" => "\"never\"" ) }
$HTTP["url"] =~ "^/no-etag/" { $HTTP["request-method"] == "PUT" {
  setenv.set-response-header = ( "ETag" => "" ) } }
$SERVER["socket"] == var.plain { ssl.engine = "disable" }
)";

void Spit(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!(out << content).flush()) throw std::runtime_error("cannot write " + path);
}

// A TCP socket connected to `port` of the loopback interface; -1 when nothing answers there.
int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

WebDavServer::WebDavServer(const std::string& certificate) {
  dir_ = MakeScratchDirectory("qel-webdav");
  if (dir_.empty()) {
    throw std::runtime_error("cannot make a temporary directory: " + std::string(strerror(errno)));
  }
  try {
    fs::create_directories(dir_ + "/docroot");
    fs::create_directories(dir_ + "/uploads");
    if (std::system((kPath + "command -v lighttpd >/dev/null").c_str()) != 0) {
      throw std::runtime_error("lighttpd is not installed: " + kInstallHint);
    }
    // A self-signed certificate, which clients trust through CaFile(), and the password file.
    const std::string make_certificate =
        certificate.empty()
            ? "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
              "-keyout server.key -out server.pem -days 2 -subj /CN=127.0.0.1 -addext "
              "subjectAltName=IP:127.0.0.1,DNS:localhost"
            : "cp '" + certificate + ".pem' server.pem && cp '" + certificate + ".key' server.key";
    const std::string script = "cd " + dir_ + " && " + make_certificate + " && printf " + kUser +
                               ": >htpasswd && openssl passwd -apr1 '" + kPassword + "' >>htpasswd";
    if (std::system(("(" + script + ") >" + dir_ + "/openssl.out 2>&1").c_str()) != 0) {
      throw std::runtime_error("openssl failed (" + kInstallHint +
                               "): " + ReadWholeFile(dir_ + "/openssl.out"));
    }
    Start();
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    throw;
  }
}

WebDavServer::~WebDavServer() {
  Stop();
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

void WebDavServer::Start() {
  std::string failure;
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreeLoopbackPort();
    plain_port_ = FreeLoopbackPort();
    if (plain_port_ == port_) continue;
    Spit(dir_ + "/lighttpd.conf",
         "var.dir = \"" + dir_ + "\"\nvar.port = " + std::to_string(port_) +
             "\nvar.plain = \"127.0.0.1:" + std::to_string(plain_port_) + "\"\n" + kConfig);
    const std::string command =
        kPath + "exec lighttpd -D -f " + dir_ + "/lighttpd.conf >" + dir_ + "/lighttpd.out 2>&1";
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed: " + std::string(strerror(errno)));
    if (pid_ == 0) {
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // lighttpd logs that it started once it listens on both ports.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int status = 0; std::chrono::steady_clock::now() < deadline;) {
      if (waitpid(static_cast<pid_t>(pid_), &status, WNOHANG) != 0) {
        pid_ = -1;
        break;
      }
      if (ReadWholeFile(dir_ + "/error.log").find("server started") != std::string::npos) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    failure = ReadWholeFile(dir_ + "/lighttpd.out") + ReadWholeFile(dir_ + "/error.log");
  }
  throw std::runtime_error("lighttpd did not start (" + kInstallHint + "): " + failure);
}

std::string WebDavServer::CaFile() const { return dir_ + "/server.pem"; }

void WebDavServer::Stop() {
  if (pid_ <= 0) return;
  kill(static_cast<pid_t>(pid_), SIGKILL);
  waitpid(static_cast<pid_t>(pid_), nullptr, 0);
  pid_ = -1;
}

void WebDavServer::Pause() {
  if (pid_ > 0) kill(static_cast<pid_t>(pid_), SIGSTOP);
}

void WebDavServer::WriteFile(const std::string& name, const std::string& content) const {
  const fs::path path = fs::path(dir_) / "docroot" / name;
  fs::create_directories(path.parent_path());
  Spit(path.string(), content);
}

std::string WebDavServer::ReadFile(const std::string& name) const {
  return ReadWholeFile(dir_ + "/docroot/" + name);
}

int WebDavServer::CountRequests(const std::string& method, const std::string& path) {
  // The log is complete up to a marker request once the marker's own line is in it.
  const std::string marker = "/.marker-" + std::to_string(++markers_);
  const int fd = ConnectLoopback(plain_port_);
  if (fd < 0) throw std::runtime_error("the server does not answer on " + PlainUrl());
  const std::string request = "GET " + marker + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  char buffer[4096];
  const bool sent = write(fd, request.data(), request.size()) == ssize_t(request.size());
  while (sent && read(fd, buffer, sizeof buffer) > 0) {
  }
  close(fd);
  if (!sent) throw std::runtime_error("cannot send the marker request");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string log;
  while ((log = ReadWholeFile(dir_ + "/access.log")).find("\"GET " + marker + " ") ==
         std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("the access log never showed the marker request");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::string needle = "\"" + method + " " + path + " HTTP/";
  int count = 0;
  for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) {
    ++count;
  }
  return count;
}
