#include "server/http/request_budget.h"

#include <unistd.h>

#include <algorithm>

namespace server {

uint64_t RequestBudget::MachineMemoryShare() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return kMaxRequestMemoryBytes;
  const uint64_t total = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
  return std::min(total / kRequestMemoryShareDivisor, kMaxRequestMemoryBytes);
}

bool RequestBudget::Take(std::atomic<uint64_t>& held, uint64_t limit, uint64_t n) {
  uint64_t now = held.load();
  do {
    if (n > limit || now > limit - n) return false;
  } while (!held.compare_exchange_weak(now, now + n));
  return true;
}

}  // namespace server
