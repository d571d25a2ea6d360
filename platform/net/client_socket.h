// The client side of the socket layer: one non-blocking TCP socket whose
// network events (connected, ready to write, data to read, closed) are waited
// for with a time-out, in the manner of an event-selected Winsock socket, and
// host-name resolution. Errors are Winsock numbers (socket_errors.h).
//
// Event rules, which the HTTP client's event loop relies on:
// - Connect is reported once, with its error code (0 when connected).
// - Write is reported once after the connection completes, and again only
//   after a Send would block, once the socket can take bytes again.
// - Read is reported when bytes are waiting, and not again until Receive is
//   called (so a notification that does not read cannot spin the loop).
// - Close is reported once, and only after every received byte was handed
//   out by Receive; an orderly close has error 0, a reset 10054.
// Every call retries when interrupted by a signal; sends never raise SIGPIPE.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace net {

// Longest host name handed to the resolver, and most addresses kept of one.
inline constexpr size_t kMaxHostNameLength = 255;
inline constexpr size_t kMaxHostAddresses = 32;

// The result of a host look-up, owned by value.
struct HostEntry {
  std::string name;                  // the canonical name, else the name asked for
  std::vector<std::string> aliases;  // the resolver reports none
  int address_type = AF_INET;
  int address_length = 4;
  std::vector<std::array<uint8_t, 4>> addresses;  // network order; never empty on success
};

// Resolves `name` to its IPv4 addresses (getaddrinfo). Returns 0, or
// WSAHOST_NOT_FOUND when the name is unknown, empty, longer than
// kMaxHostNameLength or holds a NUL byte; `out` is untouched on failure.
[[nodiscard]] int GetHostByName(std::string_view name, HostEntry* out);

enum NetworkEvent : unsigned {
  kConnectEvent = 1u << 0,
  kWriteEvent = 1u << 1,
  kReadEvent = 1u << 2,
  kCloseEvent = 1u << 3,
};

struct NetworkEvents {
  unsigned events = 0;    // NetworkEvent bits
  int connect_error = 0;  // with kConnectEvent: 0, or why the connection failed
  int close_error = 0;    // with kCloseEvent: 0 for an orderly close, else the cause
};

// Result of one send or receive: `error` is 0, WSAEWOULDBLOCK (nothing moved)
// or the failure. A receive of 0 bytes with error 0 means the peer closed.
struct IoResult {
  size_t bytes = 0;
  int error = 0;
};

// Shutdown's cancel of outbound waits: while at least one is alive, every
// ClientSocket::Wait of the process, those waiting now and those begun later,
// gives WSAEINTR at once, so no peer can hold a thread that must stop. They
// nest; the last one to go lets waits run again.
class ClientWaitsCancel {
 public:
  ClientWaitsCancel();
  ~ClientWaitsCancel();
  ClientWaitsCancel(const ClientWaitsCancel&) = delete;
  ClientWaitsCancel& operator=(const ClientWaitsCancel&) = delete;
};

// True while a ClientWaitsCancel is alive.
bool ClientWaitsCancelled();

class ClientSocket {
 public:
  ClientSocket() = default;
  ~ClientSocket();
  ClientSocket(const ClientSocket&) = delete;
  ClientSocket& operator=(const ClientSocket&) = delete;

  // Creates a non-blocking stream socket of `family`. Returns 0 or the error;
  // an open socket is closed first.
  [[nodiscard]] int Open(int family);
  // Starts connecting. Returns 0 when the connect was started (its outcome
  // comes as the connect event) or the error that stopped it at once.
  [[nodiscard]] int Connect(const sockaddr* address, socklen_t length);
  // Waits at most `timeout_ms` for the next events (see the rules above).
  // Returns 0 with `*out` filled, WSA_WAIT_TIMEOUT when nothing happened in
  // time, WSAEINTR while waits are cancelled (ClientWaitsCancel), or an error
  // when the socket cannot be waited on.
  [[nodiscard]] int Wait(uint32_t timeout_ms, NetworkEvents* out);
  IoResult Send(const void* bytes, size_t length);
  IoResult Receive(void* buffer, size_t length);
  void Close();

  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

 private:
  // Fills `out` from what poll reported; false when there was nothing to report.
  bool Collect(short revents, NetworkEvents* out);
  size_t UnreadBytes() const;
  int TakeSocketError() const;

  int fd_ = -1;
  bool connecting_ = false;       // connect started, its event not yet reported
  bool write_armed_ = false;      // report the next time the socket is writable
  bool read_armed_ = false;       // report the next time bytes are waiting
  bool peer_closed_ = false;      // a receive returned 0
  bool close_reported_ = false;
};

}  // namespace net
