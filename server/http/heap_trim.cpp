#include "server/http/heap_trim.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>

#include "server/http/request_budget.h"

namespace server {

namespace {

// Blocks the size of a large body or its answer are mapped for themselves and
// unmapped when freed. Left to itself the allocator raises this threshold to
// the largest block freed so far, and such blocks then stay in the heap of
// whichever worker read the body, long after the load.
// Fixing it also fixes the trim threshold at its small default, and then every
// request's frees hand the top of its worker's heap back to the system for the
// next request to fault in again: a request's worth is kept instead, and the
// idle trim gives it back after the load.
constexpr int kKeptHeapTopBytes = 4 * 1024 * 1024;

// free() trims only after freeing a block of at least 64 KiB; this one stays
// below the mapping threshold, so it comes from the thread's heap.
constexpr size_t kTrimmingBlockBytes = 128 * 1024;
static_assert(kTrimmingBlockBytes < kLargeBodyBytes);

std::mutex g_trimMu;  // the threshold is the process's: one trim at a time
std::atomic<uint64_t> g_trims{0};

}  // namespace

void MapLargeBlocks() {
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(kLargeBodyBytes));
  mallopt(M_TRIM_THRESHOLD, kKeptHeapTopBytes);
}

void GiveBackThisThreadsHeapTop() {
  std::lock_guard<std::mutex> lock(g_trimMu);
  // Another thread freeing meanwhile trims its own top a moment early, which
  // costs it nothing but the pages it faults in again.
  mallopt(M_TRIM_THRESHOLD, 0);
  void* volatile block = malloc(kTrimmingBlockBytes);  // volatile: not optimized away
  free(block);
  mallopt(M_TRIM_THRESHOLD, kKeptHeapTopBytes);
  g_trims.fetch_add(1, std::memory_order_relaxed);
}

uint64_t HeapTopTrimsForTest() { return g_trims.load(std::memory_order_relaxed); }

uint32_t HeapTrimRound::Begin(size_t threads) {
  std::lock_guard<std::mutex> lock(mu_);
  ++round_;
  left_ = threads;
  over_.notify_all();
  return round_;
}

void HeapTrimRound::Carry(uint32_t round) {
  GiveBackThisThreadsHeapTop();
  std::unique_lock<std::mutex> lock(mu_);
  if (round != round_ || left_ == 0) return;
  if (--left_ == 0) {
    ++completed_;
    over_.notify_all();
    return;
  }
  if (!over_.wait_for(lock, maxWait_, [&] { return round != round_ || left_ == 0; })) {
    left_ = 0;  // called off: a worker back in the port may take a second wake-up
    over_.notify_all();
  }
}

uint64_t HeapTrimRound::CompletedForTest() {
  std::lock_guard<std::mutex> lock(mu_);
  return completed_;
}

}  // namespace server
