#include "platform/net/testing/loopback_peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace net::testing {
namespace {

[[noreturn]] void Die(const char* what) {
  std::perror(what);
  std::abort();
}

bool WaitFor(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = poll(&p, 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

}  // namespace

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

PeerConnection::PeerConnection(int fd) : fd_(fd) {}

PeerConnection::~PeerConnection() {
  if (fd_ >= 0) close(fd_);
}

bool PeerConnection::ReadSome(std::string& into, size_t max) {
  if (fd_ < 0 || into.size() >= max || !WaitFor(fd_, POLLIN, kPeerTimeoutMs)) return false;
  char buf[65536];
  const size_t want = std::min(sizeof(buf), max - into.size());
  ssize_t n;
  do {
    n = recv(fd_, buf, want, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  into.append(buf, static_cast<size_t>(n));
  return true;
}

std::string PeerConnection::ReadHead() {
  std::string s;
  // One byte at a time so that nothing after the empty line is taken.
  while (s.size() < 65536 && s.find("\r\n\r\n") == std::string::npos) {
    if (!ReadSome(s, s.size() + 1)) break;
  }
  return s;
}

std::string PeerConnection::ReadExactly(size_t n) {
  std::string s;
  while (s.size() < n && ReadSome(s, n)) {
  }
  return s;
}

std::string PeerConnection::ReadAnnouncedBody(std::string_view head) {
  static constexpr std::string_view kName = "Content-Length: ";
  const size_t at = head.find(kName);
  if (at == std::string_view::npos) return {};
  size_t n = 0;
  for (size_t i = at + kName.size(); i < head.size() && head[i] >= '0' && head[i] <= '9'; ++i) {
    n = n * 10 + static_cast<size_t>(head[i] - '0');
    if (n > kMaxPeerRead) return {};
  }
  return ReadExactly(n);
}

std::string PeerConnection::ReadToEnd() {
  std::string s;
  while (ReadSome(s, kMaxPeerRead)) {
  }
  return s;
}

bool PeerConnection::Write(std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    if (!WaitFor(fd_, POLLOUT, kPeerTimeoutMs)) return false;
    const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool PeerConnection::WriteSlowly(std::string_view bytes, int pause_ms) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (!Write(bytes.substr(i, 1))) return false;
    Pause(pause_ms);
  }
  return true;
}

void PeerConnection::Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void PeerConnection::Reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  close(fd_);
  fd_ = -1;
}

LoopbackPeer::LoopbackPeer(int backlog) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) Die("peer socket");
  sockaddr_in a = LoopbackAddress(0);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) Die("peer bind");
  if (listen(fd_, backlog) != 0) Die("peer listen");
  socklen_t len = sizeof(a);
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) Die("peer getsockname");
  port_ = ntohs(a.sin_port);
}

LoopbackPeer::~LoopbackPeer() {
  Stop();
  close(fd_);
}

void LoopbackPeer::Stop() {
  stop_ = true;
  Join();
}

sockaddr_in LoopbackPeer::address() const { return LoopbackAddress(port_); }

void LoopbackPeer::Serve(Script script, int connections) {
  Join();
  stop_ = false;
  thread_ = std::thread([this, script = std::move(script), connections] {
    for (int i = 0; i < connections && !stop_; ++i) {
      // Short slices so that the destructor is not kept waiting.
      int waited = 0;
      while (!stop_ && waited < kPeerTimeoutMs && !WaitFor(fd_, POLLIN, 50)) waited += 50;
      if (stop_ || waited >= kPeerTimeoutMs) return;
      const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      ++accepted_;
      PeerConnection conn(c);
      script(conn);
    }
  });
}

void LoopbackPeer::Join() {
  if (thread_.joinable()) thread_.join();
}

RefusingPort::RefusingPort() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) Die("refusing socket");
  sockaddr_in a = LoopbackAddress(0);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) Die("refusing bind");
  socklen_t len = sizeof(a);
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) Die("refusing getsockname");
  port_ = ntohs(a.sin_port);
}

RefusingPort::~RefusingPort() { close(fd_); }

}  // namespace net::testing
