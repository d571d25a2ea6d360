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

}  // namespace xml::testing
