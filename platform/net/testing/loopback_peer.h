// A scripted TCP peer on 127.0.0.1 for the client tests: a thread accepts
// connections on a free port and runs a test's script on each one. Every
// wait of the peer is bounded, so a test whose client misbehaves ends instead
// of hanging.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace net::testing {

inline constexpr int kPeerTimeoutMs = 5000;          // longest wait for any one event
inline constexpr size_t kMaxPeerRead = 64u << 20;    // most bytes one read helper collects

// One accepted connection, closed by the destructor.
class PeerConnection {
 public:
  explicit PeerConnection(int fd);
  ~PeerConnection();
  PeerConnection(const PeerConnection&) = delete;
  PeerConnection& operator=(const PeerConnection&) = delete;

  // Reads up to and including the first empty line (or until the client
  // closes or goes silent for kPeerTimeoutMs).
  std::string ReadHead();
  // Reads exactly `n` bytes unless the client closes or goes silent first.
  std::string ReadExactly(size_t n);
  // Reads until the client closes or goes silent.
  std::string ReadToEnd();
  // Reads the body a request `head` announces with "Content-Length: "
  // (nothing without one; at most kMaxPeerRead bytes).
  std::string ReadAnnouncedBody(std::string_view head);
  // Writes all bytes; false when the client went away.
  bool Write(std::string_view bytes);
  // Writes the bytes one at a time with a short pause between them, so that
  // the client sees them in separate reads.
  bool WriteSlowly(std::string_view bytes, int pause_ms = 1);
  void Pause(int ms);
  // Ends the connection with a reset instead of an orderly close.
  void Reset();
  int fd() const { return fd_; }

 private:
  // Appends what one read gives; false on close, error or time-out.
  bool ReadSome(std::string& into, size_t max);
  int fd_;
};

class LoopbackPeer {
 public:
  using Script = std::function<void(PeerConnection&)>;

  // Listens on 127.0.0.1 at a free port with `backlog`; nothing is accepted
  // until Serve.
  explicit LoopbackPeer(int backlog = 16);
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  uint16_t port() const { return port_; }
  sockaddr_in address() const;
  // Accepts `connections` connections one after the other on a thread of its
  // own, running `script` on each. Stops early when no client arrives within
  // kPeerTimeoutMs.
  void Serve(Script script, int connections = 1);
  // Waits for the serving thread; call before looking at what the script saw.
  void Join();
  // Accepts nothing more, then waits like Join.
  void Stop();
  int accepted() const { return accepted_.load(); }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A port on 127.0.0.1 that is bound but not listening: connecting is refused.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

sockaddr_in LoopbackAddress(uint16_t port);

}  // namespace net::testing
