// What the whole server holds of requests at once: bodies in memory, with
// what decoding them makes, and DIME attachments in temporary files. A request
// takes its share when its headers arrive and gives it back when its exchange
// ends, so one that would go over is refused before any of its body is read.
#pragma once

#include <atomic>
#include <cstdint>

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

class RequestBudget {
 public:
  RequestBudget(uint64_t memoryBytes, uint64_t diskBytes)
      : memoryLimit_(memoryBytes), diskLimit_(diskBytes) {}
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

  uint64_t MemoryHeld() const { return memory_.load(); }
  uint64_t DiskHeld() const { return disk_.load(); }
  uint64_t MemoryLimit() const { return memoryLimit_; }

 private:
  static bool Take(std::atomic<uint64_t>& held, uint64_t limit, uint64_t n);

  const uint64_t memoryLimit_;
  const uint64_t diskLimit_;
  std::atomic<uint64_t> memory_{0};
  std::atomic<uint64_t> disk_{0};
};

}  // namespace server
