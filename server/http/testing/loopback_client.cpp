#include "server/http/testing/loopback_client.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/net/testing/loopback_peer.h"

namespace server_testing {

LoopbackClient::LoopbackClient(uint16_t port)
    : LoopbackClient(net::testing::LoopbackAddress(port)) {}

LoopbackClient::LoopbackClient(const sockaddr_in& address) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

LoopbackClient::~LoopbackClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool LoopbackClient::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string LoopbackClient::ReadAll(std::chrono::milliseconds limit) {
  std::string out;
  const auto end = std::chrono::steady_clock::now() + limit;
  char buffer[65536];
  timedOut_ = false;
  reset_ = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut_ = true;
      return out;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == ECONNRESET) reset_ = true;
    if (n <= 0) return out;
    out.append(buffer, static_cast<size_t>(n));
  }
}

void LoopbackClient::Reset() {
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

void LoopbackClient::Close() {
  ::close(fd_);
  fd_ = -1;
}

}  // namespace server_testing
