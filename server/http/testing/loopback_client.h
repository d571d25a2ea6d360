// A raw TCP client of the server on 127.0.0.1: the tests send exact bytes,
// cut requests short, reset, and read until the server closes.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace server_testing {

class LoopbackClient {
 public:
  // Connects at once; Connected tells whether that worked.
  explicit LoopbackClient(uint16_t port);
  // Connects to another of this host's own addresses.
  explicit LoopbackClient(const sockaddr_in& address);
  ~LoopbackClient();
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  bool Connected() const { return connected_; }
  // Sends every byte; false when the connection failed first.
  bool Send(std::string_view bytes);
  // Everything until the server closes, or what came within `limit`.
  std::string ReadAll(std::chrono::milliseconds limit = std::chrono::seconds(5));
  // True when the last ReadAll ended at its limit rather than at a close.
  bool TimedOut() const { return timedOut_; }
  // True when the last ReadAll ended at a reset rather than an orderly close.
  bool WasReset() const { return reset_; }
  // Closes with a reset instead of an orderly close.
  void Reset();
  void Close();

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool timedOut_ = false;
  bool reset_ = false;
};

}  // namespace server_testing
