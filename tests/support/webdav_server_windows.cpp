// The WebDAV test server on Windows: lighttpd runs on the Linux side of Wine, started and stopped
// by webdav_service on request; its files are reached through Wine's drive Z:, which is the
// Linux root.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "test_system.h"
#include "webdav_server.h"

namespace {

namespace fs = std::filesystem;

// A path of the Linux side as a Windows program under Wine opens it.
std::string OnLinuxSide(const std::string& path) { return "Z:" + path; }

void StartWinsockOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

}  // namespace

WebDavServer::WebDavServer(const std::string& certificate) {
  (void)certificate;  // the service serves its own certificate
  std::istringstream answer(Ask("start"));
  answer >> pid_ >> dir_ >> port_ >> plain_port_;
  if (!answer) throw std::runtime_error("webdav_service gave no server");
}

WebDavServer::~WebDavServer() {
  try {
    Ask("end " + std::to_string(pid_));
  } catch (const std::exception&) {
    // The service is gone: so are its servers.
  }
}

std::string WebDavServer::Ask(const std::string& command) const {
  const char* service = std::getenv("QEL_TEST_WEBDAV_SERVICE");
  if (service == nullptr || *service == '\0') {
    throw std::runtime_error(
        "no WebDAV service: run webdav_service of a Linux build and set QEL_TEST_WEBDAV_SERVICE "
        "to 127.0.0.1:<port> (.ci/run shows how)");
  }
  const std::string address = service;
  const size_t colon = address.rfind(':');
  StartWinsockOnce();
  SOCKET link = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<u_short>(std::atoi(address.c_str() + colon + 1)));
  inet_pton(AF_INET, address.substr(0, colon).c_str(), &peer.sin_addr);
  if (link == INVALID_SOCKET || colon == std::string::npos ||
      connect(link, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    if (link != INVALID_SOCKET) closesocket(link);
    throw std::runtime_error("webdav_service does not answer at " + address);
  }
  const std::string line = command + "\n";
  send(link, line.data(), static_cast<int>(line.size()), 0);
  std::string reply;
  char buffer[512];
  // One line answers.
  for (int got;
       reply.find('\n') == std::string::npos && (got = recv(link, buffer, sizeof buffer, 0)) > 0;) {
    reply.append(buffer, got);
  }
  closesocket(link);
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  if (reply.rfind("ok", 0) != 0) {
    throw std::runtime_error("webdav_service: " + command + ": " + reply);
  }
  return reply.size() > 3 ? reply.substr(3) : "";
}

void WebDavServer::Start() {}

std::string WebDavServer::CaFile() const { return OnLinuxSide(dir_) + "/server.pem"; }

void WebDavServer::Stop() {
  if (pid_ > 0) Ask("stop " + std::to_string(pid_));
}

void WebDavServer::Pause() {
  if (pid_ > 0) Ask("pause " + std::to_string(pid_));
}

void WebDavServer::WriteFile(const std::string& name, const std::string& content) const {
  const fs::path path = fs::path(OnLinuxSide(dir_)) / "docroot" / name;
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!(out << content).flush()) throw std::runtime_error("cannot write " + path.string());
}

std::string WebDavServer::ReadFile(const std::string& name) const {
  return ReadWholeFile(OnLinuxSide(dir_) + "/docroot/" + name);
}

int WebDavServer::CountRequests(const std::string& method, const std::string& path) {
  return std::atoi(Ask("count " + std::to_string(pid_) + " " + method + " " + path).c_str());
}
