// webdav_service: starts and stops WebDAV test servers for test programs that cannot start
// lighttpd themselves (Windows programs under Wine). Listens on a loopback port, one command a
// connection, one line each way:
//   start -> ok <id> <directory> <TLS port> <plain port>     stop <id>, pause <id>, end <id> -> ok
//   count <id> <method> <path> -> ok <requests>
// Every server serves one certificate, DIRECTORY/server.pem made when the service starts, so
// that a client can trust that file once. Wine's certificate check compares the host only with
// DNS names, so the address is one of them too. Usage: webdav_service DIRECTORY; writes
// DIRECTORY/port once it listens, and runs until SIGTERM or SIGINT, when it stops every server
// it started.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "webdav_server.h"

namespace {

volatile sig_atomic_t stopping = 0;

void Stop(int) { stopping = 1; }

std::string Handle(const std::string& line, const std::string& certificate,
                   std::map<int, std::unique_ptr<WebDavServer>>& servers, int& next) {
  std::istringstream words(line);
  std::string command;
  int id = 0;
  words >> command;
  if (command == "start") {
    auto server = std::make_unique<WebDavServer>(certificate);
    std::string answer = "ok " + std::to_string(next) + " " + server->Directory() + " " +
                         std::to_string(server->Port()) + " " + std::to_string(server->PlainPort());
    servers[next++] = std::move(server);
    return answer;
  }
  words >> id;
  auto found = servers.find(id);
  if (found == servers.end()) return "error no server " + std::to_string(id);
  if (command == "stop") {
    found->second->Stop();
  } else if (command == "pause") {
    found->second->Pause();
  } else if (command == "end") {
    servers.erase(found);
  } else if (command == "count") {
    std::string method;
    std::string path;
    words >> method >> path;
    return "ok " + std::to_string(found->second->CountRequests(method, path));
  } else {
    return "error unknown command " + command;
  }
  return "ok";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: webdav_service DIRECTORY\n";
    return 2;
  }
  const std::string directory = argv[1];
  const std::string certificate = directory + "/server";
  const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + certificate +
                           ".key' -out '" + certificate +
                           ".pem' -days 2 -subj /CN=127.0.0.1 -addext "
                           "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost "
                           ">/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) {
    std::cerr << "webdav_service: openssl cannot make the certificate\n";
    return 1;
  }
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::cerr << "webdav_service: cannot listen on the loopback interface\n";
    return 1;
  }
  std::ofstream(directory + "/port") << ntohs(address.sin_port) << "\n";

  // Without SA_RESTART, so that a signal ends the wait in accept.
  struct sigaction action {};
  action.sa_handler = Stop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::map<int, std::unique_ptr<WebDavServer>> servers;
  int next = 1;
  while (!stopping) {
    // Close-on-exec: the lighttpd a command starts must not hold the client's connection open.
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::string line;
    char c = 0;
    while (read(client, &c, 1) == 1 && c != '\n') line += c;
    std::string answer;
    try {
      answer = Handle(line, certificate, servers, next);
    } catch (const std::exception& error) {
      answer = std::string("error ") + error.what();
    }
    for (char& ch : answer) {
      if (ch == '\n') ch = ' ';
    }
    answer += "\n";
    if (write(client, answer.data(), answer.size()) < 0)
      std::cerr << "webdav_service: lost a reply\n";
    close(client);
  }
  close(listener);
  return 0;
}
