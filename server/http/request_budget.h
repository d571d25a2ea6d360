// What the whole server holds of requests at once: bodies in memory, with
// what decoding them makes, and DIME attachments in temporary files. A request
// takes its share as its body arrives and gives it back when its exchange
// ends: one that could never fit is refused on its headers, one that goes over
// with the bytes it sent is refused then, and bodies announced but never sent
// hold nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace server {

// Memory for request bodies is a share of the machine's, never more than this.
inline constexpr uint64_t kMaxRequestMemoryBytes = 4ull * 1024 * 1024 * 1024;
inline constexpr uint64_t kRequestMemoryShareDivisor = 4;
// Charged per body byte held in memory: the body itself and the message
// decoded from it.
inline constexpr uint64_t kDecodedBytesPerBodyByte = 8;
// Temporary storage of DIME requests, per server and per request.
inline constexpr uint64_t kMaxDimeStorageBytes = 4ull * 1024 * 1024 * 1024;
inline constexpr uint64_t kMaxDimeRequestBytes = 256ull * 1024 * 1024;

// What a request uses while it is processed (parsed, dispatched, answered),
// estimated from its body bytes held in memory: a struct array of short items
// costs about 35 times its text while its message lives. Large requests
// processed side by side would each hold that much, and the allocator keeps
// every thread's peak after them; so a large request waits its turn, holding
// no worker, until its share fits beside those being processed (or, larger
// than the whole, until none is).
inline constexpr uint64_t kWorkingBytesPerBodyByte = 40;
inline constexpr uint64_t kWorkingMemoryBytes = 64ull * 1024 * 1024;
// Bodies up to this size are processed by the worker that read them,
// uncounted: what they leave in the workers' heaps is bounded by the worker
// count, and they never queue behind large ones.
inline constexpr uint64_t kLargeBodyBytes = 256 * 1024;

// One request's place at the working-memory budget: none, waiting in line,
// or holding its share. Owned by the request; guarded by the budget's lock.
class WorkingShare {
 public:
  WorkingShare() = default;
  WorkingShare(const WorkingShare&) = delete;
  WorkingShare& operator=(const WorkingShare&) = delete;
  bool Held() const;

 private:
  friend class RequestBudget;
  enum class State { None, Waiting, Held };
  State state_ = State::None;
  uint64_t bytes_ = 0;
  std::function<void()> wake_;
  const class RequestBudget* budget_ = nullptr;
};

class RequestBudget {
 public:
  RequestBudget(uint64_t memoryBytes, uint64_t diskBytes,
                uint64_t workingBytes = kWorkingMemoryBytes)
      : memoryLimit_(memoryBytes), diskLimit_(diskBytes), workingLimit_(workingBytes) {}
  RequestBudget(const RequestBudget&) = delete;
  RequestBudget& operator=(const RequestBudget&) = delete;

  // Sized from the machine's physical memory (kMaxRequestMemoryBytes when it
  // cannot be read) and kMaxDimeStorageBytes.
  static uint64_t MachineMemoryShare();

  // False, and nothing taken, when `n` does not fit beside what is held.
  [[nodiscard]] bool TakeMemory(uint64_t n) { return Take(memory_, memoryLimit_, n); }
  void ReturnMemory(uint64_t n) { memory_.fetch_sub(n); }
  [[nodiscard]] bool TakeDisk(uint64_t n) { return Take(disk_, diskLimit_, n); }
  void ReturnDisk(uint64_t n) { disk_.fetch_sub(n); }

  // Working memory, first come first served: true when `share` now holds `n`
  // (it fits beside what is held, or nothing is held: a request larger than
  // the whole budget is processed alone). Else false and `share` waits in
  // line; once a return makes room, its share is taken for it and `wake`
  // runs, on the returning thread under the budget's lock. `share` must be
  // in no line or hold nothing.
  [[nodiscard]] bool TakeWorking(WorkingShare* share, uint64_t n, std::function<void()> wake);
  // Gives a held share back, or leaves the line; nothing when neither.
  void ReturnWorking(WorkingShare* share);

  uint64_t MemoryHeld() const { return memory_.load(); }
  uint64_t DiskHeld() const { return disk_.load(); }
  uint64_t MemoryLimit() const { return memoryLimit_; }
  uint64_t DiskLimit() const { return diskLimit_; }
  uint64_t WorkingHeld() const;
  size_t WorkingWaiters() const;

 private:
  friend class WorkingShare;
  static bool Take(std::atomic<uint64_t>& held, uint64_t limit, uint64_t n);
  bool Fits(uint64_t n) const;  // mu_ held
  void GrantWaiters();  // mu_ held

  const uint64_t memoryLimit_;
  const uint64_t diskLimit_;
  const uint64_t workingLimit_;
  std::atomic<uint64_t> memory_{0};
  std::atomic<uint64_t> disk_{0};

  // A leaf but for the wakes it runs, which only post a completion.
  mutable std::mutex mu_;
  uint64_t working_ = 0;               // Guarded by mu_.
  std::deque<WorkingShare*> waiting_;  // Guarded by mu_.
};

}  // namespace server
