#include "platform/net/listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <climits>
#include <cstring>

namespace net {

ListenerSet::ListenerSet() : wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

int ListenerSet::Add(std::string_view address, int port, int* error) {
  int ignored = 0;
  if (!error) error = &ignored;
  *error = 0;
  if (count_ >= kMaxListeners) {
    *error = EMFILE;
    return -1;
  }
  if (port < 0 || port > 65535) {
    *error = EINVAL;
    return -1;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!address.empty()) {
    // inet_pton needs a terminated string; a dotted quad is short.
    constexpr size_t kMaxAddressText = INET_ADDRSTRLEN;
    char text[kMaxAddressText] = {};
    if (address.size() >= kMaxAddressText) {
      *error = EINVAL;
      return -1;
    }
    address.copy(text, address.size());
    if (::inet_pton(AF_INET, text, &addr.sin_addr) != 1) {
      *error = EINVAL;
      return -1;
    }
  }

  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    *error = errno;
    return -1;
  }
  const int on = 1;
  socklen_t len = sizeof addr;
  if (::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.Get(), INT_MAX) != 0 ||  // the kernel caps it at somaxconn
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    *error = errno;
    return -1;
  }
  ports_[count_] = ntohs(addr.sin_port);
  sockets_[count_] = std::move(fd);
  return static_cast<int>(count_++);
}

uint16_t ListenerSet::Port(size_t index) const { return index < count_ ? ports_[index] : 0; }

ListenerSet::WaitResult ListenerSet::WaitForAccept(size_t* index, int timeout_ms) {
  pollfd fds[kMaxListeners + 1];
  fds[0] = {wake_fd_.Get(), POLLIN, 0};
  for (size_t i = 0; i < count_; ++i) fds[i + 1] = {sockets_[i].Get(), POLLIN, 0};
  for (;;) {
    const int n = ::poll(fds, count_ + 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      return WaitResult::Error;
    }
    if (n == 0) return WaitResult::TimedOut;
    if (fds[0].revents) return WaitResult::Woken;
    for (size_t i = 0; i < count_; ++i) {
      if (fds[i + 1].revents) {
        *index = i;
        return WaitResult::Ready;
      }
    }
    return WaitResult::Error;  // poll reported an fd it was not asked about
  }
}

ListenerSet::WaitResult ListenerSet::WaitForWake(int timeout_ms) {
  pollfd fd{wake_fd_.Get(), POLLIN, 0};
  for (;;) {
    const int n = ::poll(&fd, 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      return WaitResult::Error;
    }
    return n == 0 ? WaitResult::TimedOut : WaitResult::Woken;
  }
}

UniqueFd ListenerSet::Accept(size_t index, sockaddr_in* peer, int* error) {
  int ignored = 0;
  if (!error) error = &ignored;
  if (index >= count_) {
    *error = EBADF;
    return UniqueFd();
  }
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  for (;;) {
    UniqueFd fd(::accept4(sockets_[index].Get(), reinterpret_cast<sockaddr*>(&addr), &len,
                          SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.Valid() && errno == EINTR) continue;
    if (!fd.Valid()) {
      *error = errno;
      return fd;
    }
    *error = 0;
    if (peer) *peer = addr;
    return fd;
  }
}

void ListenerSet::Wake() {
  const uint64_t one = 1;
  // Never read: the eventfd stays readable, so every later wait returns too.
  [[maybe_unused]] ssize_t n = ::write(wake_fd_.Get(), &one, sizeof one);
}

std::string FormatIPv4(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  if (!::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text)) return "0.0.0.0";
  return text;
}

}  // namespace net
