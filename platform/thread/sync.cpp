#include "platform/thread/sync.h"

#include <chrono>

namespace thread {

void Event::Set() {
  {
    std::lock_guard lock(mu_);
    set_ = true;
  }
  if (manual_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void Event::Reset() {
  std::lock_guard lock(mu_);
  set_ = false;
}

bool Event::Wait(DWORD timeout_ms) {
  std::unique_lock lock(mu_);
  const auto signalled = [this] { return set_; };
  if (timeout_ms == kInfinite) {
    cv_.wait(lock, signalled);
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), signalled)) {
    return false;
  }
  if (!manual_) set_ = false;
  return true;
}

}  // namespace thread
