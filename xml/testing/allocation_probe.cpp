#include "xml/testing/allocation_probe.h"

#include <cstdlib>
#include <new>

namespace xml::testing {

thread_local size_t* g_counted_bytes = nullptr;
thread_local long* g_allocations_left = nullptr;

namespace {

void* Allocate(size_t size) {
  if (g_counted_bytes) *g_counted_bytes += size;
  if (g_allocations_left && (*g_allocations_left)-- <= 0) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
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
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
