#include "platform/net/client_socket.h"

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/net/socket_errors.h"

namespace net {
namespace {

// Readable while waits are cancelled: a wait in poll wakes at once. Made on
// first use and kept for the life of the process.
struct CancelState {
  std::mutex mu;
  int holders = 0;  // Guarded by mu.
  std::atomic<bool> cancelled{false};
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
};

CancelState& Cancel() {
  static CancelState* state = new CancelState;  // never destroyed: waits may outlive statics
  return *state;
}

}  // namespace

ClientWaitsCancel::ClientWaitsCancel() {
  CancelState& c = Cancel();
  std::lock_guard lock(c.mu);
  if (c.holders++ != 0) return;
  c.cancelled.store(true, std::memory_order_release);
  if (c.fd >= 0) {
    const uint64_t one = 1;
    (void)!write(c.fd, &one, sizeof(one));
  }
}

ClientWaitsCancel::~ClientWaitsCancel() {
  CancelState& c = Cancel();
  std::lock_guard lock(c.mu);
  if (--c.holders != 0) return;
  c.cancelled.store(false, std::memory_order_release);
  if (c.fd >= 0) {
    uint64_t count = 0;
    (void)!read(c.fd, &count, sizeof(count));
  }
}

bool ClientWaitsCancelled() { return Cancel().cancelled.load(std::memory_order_acquire); }

int GetHostByName(std::string_view name, HostEntry* out) {
  if (name.empty() || name.size() > kMaxHostNameLength ||
      name.find('\0') != std::string_view::npos) {
    return WSAHOST_NOT_FOUND;
  }
  const std::string host(name);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return WSAHOST_NOT_FOUND;

  HostEntry entry;
  entry.name = found->ai_canonname != nullptr ? found->ai_canonname : host;
  for (const addrinfo* a = found; a != nullptr && entry.addresses.size() < kMaxHostAddresses;
       a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    std::array<uint8_t, 4> bytes;
    std::memcpy(bytes.data(), &in->sin_addr, bytes.size());
    entry.addresses.push_back(bytes);
  }
  freeaddrinfo(found);
  if (entry.addresses.empty()) return WSAHOST_NOT_FOUND;
  *out = std::move(entry);
  return 0;
}

ClientSocket::~ClientSocket() { Close(); }

int ClientSocket::Open(int family) {
  Close();
  fd_ = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd_ < 0) return WsaErrorFromErrno(errno);
  return 0;
}

int ClientSocket::Connect(const sockaddr* address, socklen_t length) {
  if (fd_ < 0) return WSAENOTSOCK;
  if (connecting_ || read_armed_ || write_armed_ || peer_closed_ || close_reported_) {
    return WSAEISCONN;
  }
  // An interrupted connect goes on in the background; its outcome arrives
  // as the connect event like that of any other non-blocking connect.
  if (connect(fd_, address, length) != 0 && errno != EINPROGRESS && errno != EINTR) {
    return WsaErrorFromErrno(errno);
  }
  connecting_ = true;
  return 0;
}

int ClientSocket::Wait(uint32_t timeout_ms, NetworkEvents* out) {
  *out = NetworkEvents{};
  if (fd_ < 0) return WSAENOTSOCK;
  if (peer_closed_ && !close_reported_) {
    // A receive already saw the end of the stream, so nothing is left unread.
    close_reported_ = true;
    out->events = kCloseEvent;
    return 0;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  bool idle = false;  // nothing this socket reports can change before the deadline
  CancelState& cancel = Cancel();
  for (;;) {
    if (cancel.cancelled.load(std::memory_order_acquire)) return WSAEINTR;
    pollfd p[2]{};
    p[0].fd = idle ? -1 : fd_;
    if (connecting_) {
      p[0].events = POLLOUT;
    } else if (!close_reported_) {
      if (write_armed_) p[0].events |= POLLOUT;
      if (read_armed_) p[0].events |= POLLIN | POLLRDHUP;
    }
    p[1].fd = cancel.fd;
    p[1].events = POLLIN;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now()).count();
    const int wait_ms = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
    const int n = poll(p, 2, wait_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      return WsaErrorFromErrno(errno);
    }
    if (n == 0) {
      if (wait_ms == 0 || Clock::now() >= deadline) return WSA_WAIT_TIMEOUT;
      continue;
    }
    // A cancel shows as the flag at the top of the loop; a cancel already
    // over leaves the descriptor drained, so this cannot spin.
    if (p[0].revents == 0) continue;
    if (p[0].revents & POLLNVAL) return WSAENOTSOCK;
    if (Collect(p[0].revents, out)) return 0;
    // Only hang-up or error bits that no armed event covers: they stay set,
    // so polling the socket again would spin. Sleep out the time-out instead.
    idle = true;
  }
}

bool ClientSocket::Collect(short revents, NetworkEvents* out) {
  const bool gone = (revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  if (connecting_) {
    if (!(revents & (POLLOUT | POLLERR | POLLHUP))) return false;
    connecting_ = false;
    out->events = kConnectEvent;
    out->connect_error = TakeSocketError();
    if (out->connect_error == 0) {
      out->events |= kWriteEvent;
      read_armed_ = true;
    }
    return true;
  }
  if (write_armed_ && (revents & (POLLOUT | POLLERR | POLLHUP))) {
    // On an error the next send reports the cause.
    write_armed_ = false;
    out->events |= kWriteEvent;
  }
  if (read_armed_ && (revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) {
    if (!gone || UnreadBytes() > 0) {
      read_armed_ = false;
      out->events |= kReadEvent;
    } else {
      close_reported_ = true;
      read_armed_ = false;
      write_armed_ = false;
      out->events = kCloseEvent;
      out->close_error = (revents & POLLERR) ? TakeSocketError() : 0;
    }
  }
  return out->events != 0;
}

size_t ClientSocket::UnreadBytes() const {
  int n = 0;
  if (ioctl(fd_, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<size_t>(n);
}

int ClientSocket::TakeSocketError() const {
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return WsaErrorFromErrno(errno);
  return WsaErrorFromErrno(err);
}

IoResult ClientSocket::Send(const void* bytes, size_t length) {
  IoResult r;
  if (fd_ < 0) {
    r.error = WSAENOTSOCK;
    return r;
  }
  const auto* p = static_cast<const char*>(bytes);
  while (r.bytes < length) {
    const ssize_t n = send(fd_, p + r.bytes, length - r.bytes, MSG_NOSIGNAL);
    if (n >= 0) {
      r.bytes += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) write_armed_ = true;
    r.error = WsaErrorFromErrno(errno);
    break;
  }
  return r;
}

IoResult ClientSocket::Receive(void* buffer, size_t length) {
  IoResult r;
  if (fd_ < 0) {
    r.error = WSAENOTSOCK;
    return r;
  }
  read_armed_ = !close_reported_;
  for (;;) {
    const ssize_t n = recv(fd_, buffer, length, 0);
    if (n >= 0) {
      r.bytes = static_cast<size_t>(n);
      if (n == 0 && length > 0) peer_closed_ = true;
      return r;
    }
    if (errno == EINTR) continue;
    r.error = WsaErrorFromErrno(errno);
    return r;
  }
}

void ClientSocket::Close() {
  // Not retried on EINTR: Linux releases the descriptor in any case.
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  connecting_ = write_armed_ = read_armed_ = peer_closed_ = close_reported_ = false;
}

}  // namespace net
