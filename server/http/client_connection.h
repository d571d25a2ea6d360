// One client slot of the server: the connection object made at start and
// reused for every connection of its slot. It owns the socket and its
// generation and takes the completions; the exchange it holds carries one
// HTTP request from its first bytes to the close.
//
// Locks: `mu_` (the connection lock) is held over a completion's whole action
// chain; `sock_mu_` is a leaf guarding the socket id and the generation, which
// change only with both held, so the watchdog can read them without waiting
// for a busy worker.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/net/completion_port.h"
#include "platform/net/unique_fd.h"
#include "server/http/connection_host.h"
#include "server/http/exchange.h"

namespace server {

class ClientConnection final : private ExchangeIo {
 public:
  ClientConnection(ConnectionHost& host, uint32_t slot);
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // Under the connection lock: starts serving an accepted socket (the port
  // takes it; `nonblocking` when it was accepted so). False when the port
  // refused it (the socket is then closed).
  [[nodiscard]] bool ResetClient(net::UniqueFd socket, const sockaddr_in& peer,
                                 bool nonblocking = false);
  // A completion from the port for this slot; stale generations are dropped.
  void OnIoComplete(const net::Completion& completion);

  // The watchdog's pass over this slot. Collect: the generation when the
  // socket is open and older than `timeoutSeconds`. Expire: closes the
  // connection when its lock is free, else shuts the socket down so the busy
  // worker's next transfer fails into the normal close. True when the
  // generation still matched.
  [[nodiscard]] bool TimedOut(int timeoutSeconds, uint32_t* generation) const;
  bool Expire(uint32_t generation);

  // What the connection waits for from its client, as its last completion
  // left it; what the server's sweep and its shedding look at.
  enum class Wait : uint8_t {
    None,      // no socket, or the server is busy with the request
    Head,      // the request head, since the accept
    Body,      // more of the body, since the last bytes of it
    Draining,  // the rest of the input after an error page, since that began
  };
  struct WaitState {
    Wait wait = Wait::None;
    std::chrono::steady_clock::time_point since;
    uint32_t generation = 0;
  };
  WaitState Waiting() const;
  // Closes the connection when it still waits as `expected` says (same
  // generation and wait) and no worker is inside it; true when it closed.
  bool CloseIfWaiting(const WaitState& expected);

  // Releases everything the connection holds without returning its slot;
  // for the server's stop, after the workers have ended.
  void Discard();

  uint32_t Slot() const { return slot_; }
  // Capacity of the buffers kept between requests.
  size_t RetainedBytesForTest();

 private:
  // ExchangeIo, on the open socket; mu_ is held.
  bool PostReceive(char* buffer, size_t size) override;
  bool PostSend(std::vector<char> bytes) override;
  bool PostSendFile(net::UniqueFd file, uint64_t size) override;
  bool ShutdownSend() override;
  bool PostWake() override;  // takes sock_mu_, then the host's queue lock
  void Close() override;

  // After a completion, under mu_: what the exchange now waits for.
  void NoteWait(size_t bytes);

  ConnectionHost& host_;
  const uint32_t slot_;

  // The connection lock.
  std::mutex mu_;
  // Leaf: the socket and its generation. Written with mu_ and sock_mu_ held.
  mutable std::mutex sock_mu_;
  net::SocketId socket_;
  uint32_t generation_ = 0;
  std::chrono::steady_clock::time_point acceptedAt_;
  // Written under mu_ and sock_mu_ after each completion; read under sock_mu_.
  Wait wait_ = Wait::None;
  std::chrono::steady_clock::time_point waitSince_;

  Exchange exchange_;  // Guarded by mu_.
  // The first receive of a connection is held while ResetClient starts the
  // exchange, and posted after it lets go of mu_.
  enum class FirstReceive { None, Deferred, Held };
  FirstReceive firstReceive_ = FirstReceive::None;  // Guarded by mu_.
  char* heldBuffer_ = nullptr;                      // Written under mu_ by ResetClient.
  size_t heldSize_ = 0;
};

}  // namespace server
