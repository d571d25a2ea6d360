// Test support: a replacement of the global operator new for the test binary
// that links allocation_probe.cpp. Each thread may count the bytes it
// allocates and make its allocations fail, as a machine out of memory would.
#pragma once

#include <cstddef>

namespace xml::testing {

// While not null, each allocation on this thread adds its size here.
extern thread_local size_t* g_counted_bytes;
// While not null, allocations on this thread fail once this many more have
// succeeded: memory, once out, stays out, so unwinding meets the failure too.
extern thread_local long* g_allocations_left;

// While set, the bytes this thread holds (allocated less freed, by the
// allocator's usable sizes) since it was set, and the most they reached.
struct LiveBytes {
  long long now = 0;
  long long peak = 0;
};
extern thread_local LiveBytes* g_live_bytes;

}  // namespace xml::testing
