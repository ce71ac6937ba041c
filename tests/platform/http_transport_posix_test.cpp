// The HTTP transport and the WebDAV store against servers that misbehave on purpose: an endless
// chunked answer, a server that never answers, one that closes the connection during an upload,
// and one that answers every write slowly with 412. POSIX only: the servers are raw sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <zor-qel-rb-key/qel_error.h>
#include "http_transport.h"
#include "remote_ini.h"
#include "test_system.h"

namespace {

using Clock = std::chrono::steady_clock;

// A loopback HTTP server whose every connection runs `serve` on the connection's socket.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(int)> serve) : serve_(std::move(serve)) {
    listener_ = ListenOnLoopback(port_, "the scripted server");
    acceptor_ = std::thread([this] {
      for (;;) {
        const int client = ::accept(listener_, nullptr, nullptr);
        if (client < 0) return;
        std::lock_guard<std::mutex> guard(lock_);
        clients_.push_back(client);
        connections_.emplace_back([this, client] { serve_(client); });
      }
    });
  }

  ~ScriptedServer() {
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    for (int client : clients_) ::shutdown(client, SHUT_RDWR);  // ends reads and writes
    for (std::thread& connection : connections_) connection.join();
    for (int client : clients_) ::close(client);
    ::close(listener_);
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/store.ini"; }

 private:
  std::function<void(int)> serve_;
  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::mutex lock_;
  std::vector<int> clients_;
  std::vector<std::thread> connections_;
};

// Reads one request's head; "" when the client closed.
std::string ReadHead(int client) {
  std::string head;
  char c = 0;
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (::read(client, &c, 1) != 1) return "";
    head.push_back(c);
  }
  return head;
}

// Reads the body a head announces with Content-Length.
void SkipBody(int client, const std::string& head) {
  const size_t at = head.find("Content-Length: ");
  size_t left = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
  char buffer[4096];
  while (left > 0) {
    const ssize_t got = ::read(client, buffer, std::min(left, sizeof buffer));
    if (got <= 0) return;
    left -= static_cast<size_t>(got);
  }
}

bool Send(int client, const std::string& text) {
  return ::send(client, text.data(), text.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(text.size());
}

const std::string kFile = "[/A]\nx=0\n";
const std::string kAnswer =
    "HTTP/1.1 200 OK\r\nETag: \"one\"\r\nContent-Length: " + std::to_string(kFile.size()) +
    "\r\n\r\n" + kFile;

// Sets the peak back to the memory the process holds now.
void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

class EnvironmentGuard {
 public:
  EnvironmentGuard(const char* name, const std::string& value) : name_(name) {
    SetEnvironment(name, value);
  }
  ~EnvironmentGuard() { UnsetEnvironment(name_); }

 private:
  const char* name_;
};

// An answer sent in chunks without end is cut at the limit, holding little more than the limit
// meanwhile (pieces, not a string that doubles past it); one under the limit arrives whole.
TEST(HttpTransportTest, AChunkedAnswerStopsAtTheLimitWithMemoryNearIt) {
  constexpr uint64_t kLimit = uint64_t{48} << 20;
  const std::string chunk(size_t{1} << 16, 'c');
  char size_line[32];
  std::snprintf(size_line, sizeof size_line, "%zx\r\n", chunk.size());
  const std::string framed = size_line + chunk + "\r\n";
  ScriptedServer server([&](int client) {
    ReadHead(client);
    if (!Send(client, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")) return;
    while (Send(client, framed)) {
    }
  });
  HttpSettings settings;
  settings.max_body_bytes = kLimit;
  std::unique_ptr<HttpTransport> http = MakeHttpTransport(settings);
  HttpRequest request;
  request.url = server.Url();
  ResetPeakMemory();
  const uint64_t before = PeakMemoryBytes();
  const HttpResponse response = http->Perform(request);
  const uint64_t growth = PeakMemoryBytes() - before;
  EXPECT_EQ(HttpFailure::kTooLarge, response.failure) << response.detail;
  EXPECT_TRUE(response.body.empty());
  if (kPeakIsExact) {
    EXPECT_LT(growth, kLimit + kLimit / 8) << (growth >> 20) << " MiB for a limit of 48 MiB";
  }
}

// The body, joined, is what was appended in pieces of any size, and the limit holds exactly.
TEST(HttpTransportTest, ABodyJoinsItsPiecesAndRefusesBytesPastTheLimit) {
  std::minstd_rand random(7);
  for (int round = 0; round < 20; ++round) {
    const uint64_t limit = 1 + random() % (1u << 20);
    HttpBody body(limit);
    std::string expected;
    for (;;) {
      const size_t size = random() % 70000;
      const std::string piece(size, static_cast<char>('a' + random() % 26));
      const bool fits = expected.size() + size <= limit;
      ASSERT_EQ(fits, body.Append(piece.data(), piece.size()));
      if (!fits) break;
      expected += piece;
    }
    EXPECT_EQ(expected.size(), body.Size());
    EXPECT_TRUE(body.Joined() == expected) << "limit " << limit;
  }
}

// A stop flag raised while a request hangs ends it at once, as interrupted; a request with no
// interruption in scope waits for its own timeout.
TEST(HttpTransportTest, AnInterruptionEndsAHangingRequestAtOnce) {
  ScriptedServer server([](int client) {
    ReadHead(client);
    char c;
    while (::read(client, &c, 1) > 0) {
    }
  });
  std::unique_ptr<HttpTransport> http = MakeHttpTransport(HttpSettings{});
  HttpRequest request;
  request.url = server.Url();
  volatile std::sig_atomic_t stop = 0;
  const RequestInterruption interruption(&stop);
  std::thread raiser([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = 1;
  });
  const auto start = Clock::now();
  const HttpResponse response = http->Perform(request);
  const auto took = Clock::now() - start;
  raiser.join();
  EXPECT_EQ(HttpFailure::kInterrupted, response.failure);
  EXPECT_LT(took, std::chrono::milliseconds(300 + 500));
}

// A server that closes the connection while the body is on its way: the error says so, not
// what libcurl could not do next.
TEST(HttpTransportTest, AnUploadCutByTheServerSaysTheConnectionClosed) {
  ScriptedServer server([](int client) {
    for (std::string head = ReadHead(client); !head.empty(); head = ReadHead(client)) {
      if (head.rfind("PUT", 0) == 0) {
        ::shutdown(client, SHUT_RDWR);
        return;
      }
      SkipBody(client, head);
      if (!Send(client, kAnswer)) return;
    }
  });
  HttpSettings settings;
  settings.timeout_ms = 3000;
  std::unique_ptr<HttpTransport> http = MakeHttpTransport(settings);
  HttpRequest get;
  get.url = server.Url();
  ASSERT_TRUE(http->Perform(get).Succeeded());
  const std::string upload(size_t{8} << 20, 'u');  // more than the socket buffers take
  HttpRequest put;
  put.method = "PUT";
  put.url = server.Url();
  put.body = &upload;
  const HttpResponse response = http->Perform(put);
  EXPECT_EQ(HttpFailure::kOther, response.failure);
  EXPECT_EQ("the connection closed during the upload", response.detail);
}

// Every request of a flush shares one deadline: a server that answers each write late with 412
// cannot stretch the flush past QEL_REMOTE_TIMEOUT; and a 412 while the file's ETag stays the
// same blames the server, not other writers.
TEST(RemoteIniDeadlineTest, AFlushMeetingSlowRefusalsEndsWithinTheTimeout) {
  for (const int delay_ms : {0, 900}) {
    ScriptedServer server([delay_ms](int client) {
      for (std::string head = ReadHead(client); !head.empty(); head = ReadHead(client)) {
        SkipBody(client, head);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        const bool put = head.rfind("PUT", 0) == 0;
        if (!Send(client,
                  put ? "HTTP/1.1 412 Precondition Failed\r\nContent-Length: 0\r\n\r\n" : kAnswer))
          return;
      }
    });
    const EnvironmentGuard timeout("QEL_REMOTE_TIMEOUT", "1");
    RemoteIni ini(server.Url(), "", "", "");
    ini.SetKeyValue("/A", "x", "1");
    const auto start = Clock::now();
    std::string error;
    try {
      ini.FlushIniDataToFile("");
    } catch (const QELError& failure) {
      error = failure.What();
    }
    const auto took = Clock::now() - start;
    // Before, a probe, a PUT and a GET of 900 ms each made 2.7 s.
    EXPECT_LT(took, std::chrono::milliseconds(1000 + 1000)) << delay_ms;
    if (delay_ms == 0) {
      EXPECT_EQ(0u, error.find("PUT " + server.Url() + ": the server refused ")) << error;
      EXPECT_NE(std::string::npos, error.find(" writes conditioned on the file's ETag \"one\" "
                                              "(HTTP 412) in 1 s, though the file kept that ETag"))
          << error;
    } else {
      EXPECT_NE(std::string::npos, error.find("did not answer in time")) << error;
    }
    EXPECT_NE(std::string::npos, error.find("; the changes are kept in memory")) << error;
  }
}

}  // namespace
