// What both HTTP transports decide alike, whatever the platform's library.
#include "http_transport.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

namespace {

// The stop flag of the calling thread's innermost RequestInterruption.
thread_local const volatile std::sig_atomic_t* current_stop = nullptr;

// How long one slice of an interruptible wait lasts.
constexpr long kSliceMs = 50;
// The first and the largest piece of a body.
constexpr size_t kFirstPiece = size_t{16} << 10;
constexpr size_t kLargestPiece = size_t{4} << 20;

}  // namespace

RequestInterruption::RequestInterruption(const volatile std::sig_atomic_t* stop)
    : outer_(current_stop) {
  if (stop != nullptr) current_stop = stop;
}

RequestInterruption::~RequestInterruption() { current_stop = outer_; }

bool RequestInterruption::Requested() { return current_stop != nullptr && *current_stop != 0; }

const volatile std::sig_atomic_t* RequestInterruption::Current() { return current_stop; }

bool RequestInterruption::Sleep(long ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (Requested()) return false;
    const auto left = end - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return true;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(kSliceMs)));
  }
}

HttpTransport::~HttpTransport() = default;

bool HttpTransport::SpeaksHttp2() const { return false; }

bool HttpBody::Append(const char* data, size_t size) {
  if (size > limit_ - size_) return false;
  size_ += size;
  while (size > 0) {
    if (pieces_.empty() || pieces_.back().size() == pieces_.back().capacity()) {
      // Each new piece an eighth of what came so far, so the unused room stays small.
      const uint64_t room = std::clamp<uint64_t>(size_ / 8, kFirstPiece, kLargestPiece);
      pieces_.emplace_back();
      pieces_.back().reserve(static_cast<size_t>(std::min<uint64_t>(room, limit_)));
    }
    std::string& piece = pieces_.back();
    const size_t n = std::min(size, piece.capacity() - piece.size());
    piece.append(data, n);
    data += n;
    size -= n;
  }
  return true;
}

std::string& HttpBody::Joined() {
  if (pieces_.empty()) pieces_.emplace_back();
  if (pieces_.size() > 1) {
    std::string whole;
    whole.reserve(static_cast<size_t>(size_));
    for (std::string& piece : pieces_) {
      whole += piece;
      std::string().swap(piece);
    }
    pieces_.assign(1, std::move(whole));
  }
  return pieces_.front();
}

bool GoesDirect(const HttpSettings& settings, const std::string& url) {
  const bool credentials =
      !settings.user.empty() || !settings.password.empty() || settings.secret_requests;
  // Anything but https ("http://", or an address whose scheme is missing) counts as plain.
  static const char kSecure[] = "https://";
  const bool secure =
      url.size() >= sizeof kSecure - 1 &&
      std::equal(kSecure, kSecure + sizeof kSecure - 1, url.begin(),
                 [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
  return credentials && !secure;
}
