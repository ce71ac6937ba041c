// Starts and stops lighttpd with mod_webdav, mod_openssl and basic auth for the remote tests.
#include "webdav_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char* const kInstallHint =
    "install the Debian packages lighttpd lighttpd-mod-webdav lighttpd-mod-openssl openssl";

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void Spit(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

// Starts `argv` with stdout and stderr going to `output`; returns its pid.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& output) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed: " + std::string(std::strerror(errno)));
  if (pid == 0) {
    const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
      close(fd);
    }
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// Runs a command to its end; throws with its output when it fails.
void Run(const std::vector<std::string>& argv, const std::string& output) {
  const pid_t pid = Spawn(argv, output);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(argv[0] + " " + argv[1] + " failed (" + kInstallHint +
                             "): " + Slurp(output));
  }
}

std::string FindLighttpd() {
  std::vector<std::string> dirs = {"/usr/sbin", "/usr/local/sbin", "/sbin"};
  if (const char* path = std::getenv("PATH")) {
    std::istringstream entries(path);
    for (std::string dir; std::getline(entries, dir, ':');) dirs.push_back(dir);
  }
  for (const std::string& dir : dirs) {
    const std::string candidate = dir + "/lighttpd";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  throw std::runtime_error(std::string("lighttpd is not installed: ") + kInstallHint);
}

// A loopback port nobody listens on right now.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("no free loopback port: " + std::string(std::strerror(errno)));
  }
  close(fd);
  return ntohs(address.sin_port);
}

// A connected socket to the loopback port, or -1.
int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

WebDavServer::WebDavServer() {
  char pattern[] = "/tmp/qel-webdav-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("cannot make a temporary directory: " +
                             std::string(std::strerror(errno)));
  }
  dir_ = pattern;
  try {
    fs::create_directories(dir_ + "/docroot");
    fs::create_directories(dir_ + "/uploads");
    const std::string out = dir_ + "/openssl.out";
    const std::vector<std::string> ec_key = {"-newkey", "ec", "-pkeyopt",
                                             "ec_paramgen_curve:prime256v1", "-nodes"};
    std::vector<std::string> ca = {"openssl", "req", "-x509"};
    ca.insert(ca.end(), ec_key.begin(), ec_key.end());
    ca.insert(ca.end(), {"-keyout", dir_ + "/ca.key", "-out", dir_ + "/ca.pem", "-days", "2",
                         "-subj", "/CN=qel test CA"});
    Run(ca, out);
    std::vector<std::string> request = {"openssl", "req"};
    request.insert(request.end(), ec_key.begin(), ec_key.end());
    request.insert(request.end(), {"-keyout", dir_ + "/server.key", "-out", dir_ + "/server.csr",
                                   "-subj", "/CN=127.0.0.1"});
    Run(request, out);
    Spit(dir_ + "/server.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    Run({"openssl", "x509", "-req", "-in", dir_ + "/server.csr", "-CA", dir_ + "/ca.pem", "-CAkey",
         dir_ + "/ca.key", "-CAcreateserial", "-out", dir_ + "/server.pem", "-days", "2",
         "-extfile", dir_ + "/server.ext"},
        out);
    Run({"openssl", "passwd", "-apr1", kPassword}, out);
    std::string hash = Slurp(out);
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
    Spit(dir_ + "/htpasswd", std::string(kUser) + ":" + hash + "\n");
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
  const std::string lighttpd = FindLighttpd();
  std::string failure;
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreePort();
    plain_port_ = FreePort();
    if (plain_port_ == port_) continue;
    std::ostringstream config;
    config << "server.modules = ( \"mod_auth\", \"mod_authn_file\", \"mod_webdav\", "
              "\"mod_openssl\", \"mod_accesslog\", \"mod_setenv\" )\n"
           << "server.document-root = \"" << dir_ << "/docroot\"\n"
           << "server.bind = \"127.0.0.1\"\n"
           << "server.port = " << port_ << "\n"
           << "server.errorlog = \"" << dir_ << "/error.log\"\n"
           << "server.upload-dirs = ( \"" << dir_
           << "/uploads\" )\n"
           // A piped log is written at the end of each request; a file log is buffered.
           << "accesslog.filename = \"|exec /bin/cat >> " << dir_
           << "/access.log\"\n"
           // Without a mime type lighttpd sends no ETag.
           << "mimetype.assign = ( \"\" => \"application/octet-stream\" )\n"
           << "ssl.engine = \"enable\"\n"
           << "ssl.pemfile = \"" << dir_ << "/server.pem\"\n"
           << "ssl.privkey = \"" << dir_ << "/server.key\"\n"
           << "webdav.activate = \"enable\"\n"
           << "webdav.is-readonly = \"disable\"\n"
           << "auth.backend = \"htpasswd\"\n"
           << "auth.backend.htpasswd.userfile = \"" << dir_ << "/htpasswd\"\n"
           << "auth.require = ( \"/\" => ( \"method\" => \"basic\", \"realm\" => \"qel\", "
              "\"require\" => \"valid-user\" ) )\n"
           << "$HTTP[\"url\"] =~ \"^/ignoring/\" { setenv.set-request-header = ( \"If-Match\" "
              "=> \"\" ) }\n"
           << "$HTTP[\"url\"] =~ \"^/conflicting/\" { setenv.set-request-header = ( "
              "\"If-Match\" => \"\\\"never\\\"\" ) }\n"
           << "$HTTP[\"url\"] =~ \"^/no-etag/\" { $HTTP[\"request-method\"] == \"PUT\" { "
              "setenv.set-response-header = ( \"ETag\" => \"\" ) } }\n"
           << "$SERVER[\"socket\"] == \"127.0.0.1:" << plain_port_
           << "\" { ssl.engine = \"disable\" }\n";
    Spit(dir_ + "/lighttpd.conf", config.str());
    pid_ = Spawn({lighttpd, "-D", "-f", dir_ + "/lighttpd.conf"}, dir_ + "/lighttpd.out");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      const int secure = Connect(port_);
      const int plain = secure >= 0 ? Connect(plain_port_) : -1;
      if (secure >= 0) close(secure);
      if (plain >= 0) {
        close(plain);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    failure = Slurp(dir_ + "/lighttpd.out") + Slurp(dir_ + "/error.log");
  }
  throw std::runtime_error("lighttpd did not start (" + std::string(kInstallHint) +
                           "): " + failure);
}

void WebDavServer::Stop() {
  if (pid_ < 0) return;
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

std::string WebDavServer::HostPort() const { return "127.0.0.1:" + std::to_string(port_); }

std::string WebDavServer::PlainUrl() const {
  return "http://127.0.0.1:" + std::to_string(plain_port_);
}

std::string WebDavServer::CaFile() const { return dir_ + "/ca.pem"; }

void WebDavServer::WriteFile(const std::string& name, const std::string& content) const {
  const fs::path path = fs::path(dir_) / "docroot" / name;
  fs::create_directories(path.parent_path());
  Spit(path.string(), content);
}

std::string WebDavServer::ReadFile(const std::string& name) const {
  return Slurp(dir_ + "/docroot/" + name);
}

int WebDavServer::CountRequests(const std::string& method, const std::string& path) {
  // The log is complete up to a marker request once the marker's own line is in it.
  const std::string marker = "/.marker-" + std::to_string(++markers_);
  const int fd = Connect(plain_port_);
  if (fd < 0) throw std::runtime_error("the server does not answer on " + PlainUrl());
  const std::string request = "GET " + marker + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    close(fd);
    throw std::runtime_error("cannot send the marker request");
  }
  char buffer[4096];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
  close(fd);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string log;
  while ((log = Slurp(dir_ + "/access.log")).find("\"GET " + marker + " ") == std::string::npos) {
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
