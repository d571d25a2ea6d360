#include "xml/testing/allocation_probe.h"

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <new>

namespace xml::testing {

thread_local size_t* g_counted_bytes = nullptr;
thread_local long* g_allocations_left = nullptr;
thread_local LiveBytes* g_live_bytes = nullptr;

namespace {

void* Allocate(size_t size) {
  if (g_counted_bytes) *g_counted_bytes += size;
  if (g_allocations_left && (*g_allocations_left)-- <= 0) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) {
    if (LiveBytes* live = g_live_bytes) {
      live->now += static_cast<long long>(malloc_usable_size(p));
      live->peak = std::max(live->peak, live->now);
    }
    return p;
  }
  throw std::bad_alloc();
}

void Free(void* p) {
  if (LiveBytes* live = g_live_bytes; live && p) {
    live->now -= static_cast<long long>(malloc_usable_size(p));
  }
  std::free(p);
}

}  // namespace
}  // namespace xml::testing

// Paired with free below so that the sanitizer sees malloc matched with free.
void* operator new(size_t size) { return xml::testing::Allocate(size); }
void* operator new[](size_t size) { return xml::testing::Allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return xml::testing::Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { xml::testing::Free(p); }
void operator delete[](void* p) noexcept { xml::testing::Free(p); }
void operator delete(void* p, size_t) noexcept { xml::testing::Free(p); }
void operator delete[](void* p, size_t) noexcept { xml::testing::Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { xml::testing::Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { xml::testing::Free(p); }
