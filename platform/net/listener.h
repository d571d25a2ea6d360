// ListenerSet: the server's listening sockets (IPv4 TCP, at most four) and a
// wait for incoming connections that another thread can interrupt. Stands in
// for WSAEventSelect(FD_ACCEPT) + WaitForMultipleObjects + WSAAccept.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/net/unique_fd.h"

namespace net {

class ListenerSet {
 public:
  static constexpr size_t kMaxListeners = 4;

  ListenerSet();  // makes the wake eventfd; Valid() tells whether it worked
  ~ListenerSet() = default;
  ListenerSet(const ListenerSet&) = delete;
  ListenerSet& operator=(const ListenerSet&) = delete;

  bool Valid() const { return wake_fd_.Valid(); }

  // Makes one listening socket with SO_REUSEADDR, bound to `address` (dotted
  // IPv4; empty = any) and `port` (0 = a free port, see Port()). Returns its
  // index, or -1 with *error set to the errno: EINVAL for a port outside
  // 0..65535 or an address that is no IPv4 address, EMFILE when
  // kMaxListeners are made already, else the failing call's error. A failed
  // add leaves nothing behind.
  int Add(std::string_view address, int port, int* error);

  size_t Count() const { return count_; }
  // The listening socket itself, for a completion port to watch; -1 for a
  // bad index.
  int Descriptor(size_t index) const { return index < count_ ? sockets_[index].Get() : -1; }
  // The port actually bound (network order undone), 0 for a bad index.
  uint16_t Port(size_t index) const;

  enum class WaitResult {
    Ready,     // *index has a connection to accept (Accept may still find none)
    Woken,     // Wake() was called: the listener loop ends
    TimedOut,  // nothing within the time-out
    Error,     // poll failed (errno set)
  };
  // Blocks until a listening socket has a connection or Wake() is called;
  // with no listening socket it waits for Wake() alone. timeout_ms < 0 waits
  // without limit.
  WaitResult WaitForAccept(size_t* index, int timeout_ms = -1);
  // Waits for Wake() alone, leaving the listening sockets unwatched: Woken,
  // TimedOut or Error.
  WaitResult WaitForWake(int timeout_ms);

  // Accepts one connection as a non-blocking, close-on-exec socket and fills
  // *peer with its address. An invalid fd with *error set when there was none
  // after all (EAGAIN: another accept took it or the client went away) or
  // accept failed.
  UniqueFd Accept(size_t index, sockaddr_in* peer, int* error);

  // Makes every current and later WaitForAccept return Woken. Safe from any
  // thread, any number of times.
  void Wake();

 private:
  UniqueFd sockets_[kMaxListeners];
  uint16_t ports_[kMaxListeners] = {};
  size_t count_ = 0;  // written only by the thread that adds, before waits
  UniqueFd wake_fd_;
};

// Dotted text of an IPv4 address ("127.0.0.1").
std::string FormatIPv4(const sockaddr_in& address);

}  // namespace net
