// How the server's threads use the allocator's heaps, and how they give their
// heaps back once a load has ended.
//
// glibc gives each thread a heap of its own. A heap's top (the free end of it)
// goes back to the system only from a free() in that same heap, and only when
// it is past the trim threshold; malloc_trim, from whichever thread, leaves
// the top of every thread's heap alone. The threshold is kept high so that a
// worker does not fault a request's worth of pages in again per request, so
// after a load each thread that served it must trim its own heap.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace server {

// Sets the allocator's thresholds for the server (see the .cpp). Idempotent.
void MapLargeBlocks();

// Gives the top of the calling thread's heap back to the system, down to the
// allocator's usual pad. Safe on any thread at any time; threads doing it at
// once take turns.
void GiveBackThisThreadsHeapTop();

// Trims done since the process started, by any thread.
uint64_t HeapTopTrimsForTest();

// One round of heap trims over the workers, which all wait on one completion
// port: each of the round's wake-ups goes to whichever worker waits, so a
// worker that has trimmed waits for the round to end rather than take a
// second wake-up while another worker gets none. Idle workers end a round at
// once; a worker busy with a request holds the others only up to kMaxWait.
class HeapTrimRound {
 public:
  static constexpr std::chrono::milliseconds kMaxWait{250};
  explicit HeapTrimRound(std::chrono::milliseconds maxWait = kMaxWait) : maxWait_(maxWait) {}

  // Starts a round of `threads` trims (calling off any round still waiting)
  // and returns its number, which each wake-up carries.
  uint32_t Begin(size_t threads);
  // A worker's part of round `round`: trims its heap, then waits until the
  // round is over (every thread trimmed, or called off, or the most it waits
  // passed).
  // A wake-up of a round already over only trims.
  void Carry(uint32_t round);
  // Rounds in which every thread did its part.
  uint64_t CompletedForTest();

 private:
  const std::chrono::milliseconds maxWait_;
  std::mutex mu_;
  std::condition_variable over_;
  uint32_t round_ = 0;      // Guarded by mu_.
  size_t left_ = 0;         // Guarded by mu_: trims the round still waits for.
  uint64_t completed_ = 0;  // Guarded by mu_.
};

}  // namespace server
