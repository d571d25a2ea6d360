// The outbound gate and deadline of the request a thread is processing, as
// code loaded in a component reaches them. A component carries its own copy
// of the libraries, so it cannot see the server's objects; the server program
// exports two C functions for this, found at run time. In a process without
// them (a client, a test that loads a component alone) a pass is granted
// with no deadline: nothing bounds the waits there but the caller's own.
#pragma once

#include <chrono>
#include <cstdint>

extern "C" {
// Takes a place at the outbound gate of the request this thread processes:
// 1 entered (*deadline_ns is that request's end on the steady clock, or
// INT64_MAX), 0 refused (every place taken), -1 no request on this thread
// (nothing taken). Each 1 is paired with one quorvel_outbound_leave.
using QuorvelOutboundEnter = int (*)(int64_t* deadline_ns);
using QuorvelOutboundLeave = void (*)();
}

namespace dime {

inline constexpr char kOutboundEnterSymbol[] = "quorvel_outbound_enter";
inline constexpr char kOutboundLeaveSymbol[] = "quorvel_outbound_leave";

class OutboundPass {
 public:
  OutboundPass();
  ~OutboundPass();
  OutboundPass(const OutboundPass&) = delete;
  OutboundPass& operator=(const OutboundPass&) = delete;

  // Every place was taken: the caller must not wait on the network.
  bool Refused() const { return refused_; }
  // The request's own end (its client's time-out); max() when none.
  std::chrono::steady_clock::time_point Deadline() const { return deadline_; }

 private:
  QuorvelOutboundLeave leave_ = nullptr;
  bool refused_ = false;
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
};

}  // namespace dime
