#include "platform/com/kept_memory.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace com {

namespace {

struct Registry {
  std::mutex mu;
  std::vector<void (*)()> releases;  // Guarded by mu.
};

Registry& Releases() {
  // Never destroyed, so a module may still register while the process exits.
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

void RegisterKeptMemory(void (*release)()) {
  Registry& r = Releases();
  std::lock_guard<std::mutex> lock(r.mu);
  if (std::find(r.releases.begin(), r.releases.end(), release) == r.releases.end()) {
    r.releases.push_back(release);
  }
}

void ReleaseKeptMemory() {
  std::vector<void (*)()> releases;
  {
    Registry& r = Releases();
    std::lock_guard<std::mutex> lock(r.mu);
    releases = r.releases;
  }
  // Outside the lock: a release may itself register (a pool made on first use).
  for (void (*release)() : releases) release();
}

}  // namespace com
