// AsyncSocket: one client TCP connection whose whole exchange runs as an
// event loop on the caller's thread. Connect opens the connection and then
// calls the notifications a derived class fills in (connected, ready to
// write, data to read, closed) until the exchange ends. Bytes the network
// cannot take at once wait in a queue and leave, in order, on the next write
// notification, so no call ever blocks in a send.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/net/client_socket.h"

namespace httpclient {

class AsyncSocket {
 public:
  using Clock = std::chrono::steady_clock;

  // `timeout_ms` bounds each wait for a network event, not the exchange: a
  // peer that trickles bytes keeps it going unless a deadline is set too.
  explicit AsyncSocket(uint32_t timeout_ms);
  virtual ~AsyncSocket();
  AsyncSocket(const AsyncSocket&) = delete;
  AsyncSocket& operator=(const AsyncSocket&) = delete;

  // Connects to `address` and runs the exchange until it ends. True when it
  // ended normally: the peer closed, or a notification gave false without an
  // I/O failure. False when the connection failed (last error: the connect
  // error, e.g. 10061), a wait ran out (258), the peer reset (10054), a send
  // or receive failed, or a notification gave false after Fail or a failed
  // Send/Receive. Already connected: false with 10056. The socket is closed
  // whenever Connect returns.
  bool Connect(const sockaddr_in& address);

  // Sends the bytes, or queues what the network cannot take now (everything
  // when bytes are already queued, so that order is kept). False when the
  // send failed; the last error holds why and the exchange is failed.
  bool Send(const void* bytes, size_t length);
  bool Send(std::string&& bytes);  // the same, queueing without a copy

  // One receive into `buffer`. True with the count (0 when the peer closed),
  // or with 0 and last error 10035 when nothing is waiting. False on a real
  // failure: the last error holds it and the exchange is failed.
  bool Receive(void* buffer, size_t length, size_t* received);

  // When every later exchange must end, whatever the peer sends: past it,
  // Connect gives false with 258, as when a wait runs out.
  // Clock::time_point::max() (the default) sets none.
  void SetDeadline(Clock::time_point deadline) { deadline_ = deadline; }
  // Bounds each later exchange as a whole to `ms` from its Connect (0: no
  // bound), beside any deadline.
  void SetExchangeTimeout(uint32_t ms) { exchange_timeout_ms_ = ms; }

  // Closes the socket (if any), drops the queue, connected = false.
  void Close();

  uint32_t GetLastError() const { return last_error_; }
  bool IsConnected() const { return connected_; }
  uint32_t GetTimeout() const { return timeout_ms_; }
  // Bytes accepted by Send that still wait in the queue for the network. A
  // sender that produces its data piece by piece waits for this to be 0
  // (the next write notification) instead of queueing everything.
  size_t QueuedBytes() const;

 protected:
  // Notifications; each gives true to go on with the exchange.
  virtual bool OnConnect() { return true; }
  virtual bool OnReceive() { return true; }
  virtual bool OnSend() { return true; }
  virtual void OnClose() {}

  // Marks the exchange failed with `error`; the notification that calls it
  // then gives false to end the exchange, and Connect gives false.
  void Fail(uint32_t error);

 private:
  struct Pending {
    std::string bytes;
    size_t sent = 0;  // bytes of the front already gone
  };

  // Sends queued bytes from the front until the network would block.
  bool Flush();
  bool LeaveWithError(uint32_t error);
  bool EndExchange();

  uint32_t last_error_ = 0;
  bool connected_ = false;
  bool failed_ = false;  // a real I/O error or Fail during this exchange
  uint32_t timeout_ms_;
  Clock::time_point deadline_ = Clock::time_point::max();
  uint32_t exchange_timeout_ms_ = 0;
  net::ClientSocket socket_;
  std::deque<Pending> pending_;
};

}  // namespace httpclient
