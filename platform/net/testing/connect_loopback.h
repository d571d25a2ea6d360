// A blocking client connection to 127.0.0.1, for the socket tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/net/unique_fd.h"

namespace net::testing {

// Connected, or invalid when connect failed.
inline UniqueFd ConnectLoopback(uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fd.Reset();
  return fd;
}

}  // namespace net::testing
