// Publishes the configuration snapshot. Request threads take the current
// snapshot (one uncontended lock) and keep it for the whole request, so a
// management change never alters a table under a reader; writers build a new
// snapshot under the configuration lock and publish it whole.
#pragma once

#include <memory>
#include <mutex>

#include "server/http/config.h"

namespace server {

class ConfigStore {
 public:
  ConfigStore() : current_(std::make_shared<const ConfigSnapshot>()) {}
  ConfigStore(const ConfigStore&) = delete;
  ConfigStore& operator=(const ConfigStore&) = delete;

  // Never null.
  ConfigSnapshotPtr Current() const {
    std::lock_guard lock(currentMu_);
    return current_;
  }

  // The configuration lock: held by whoever builds and publishes a change, and
  // by the other users the server gives it (the WSDL cache).
  std::mutex& Lock() { return lock_; }

  // Caller holds Lock(). A null `next` is ignored.
  void Publish(ConfigSnapshotPtr next) {
    if (!next) return;
    std::lock_guard lock(currentMu_);
    current_.swap(next);  // the old snapshot is released outside the lock
  }

 private:
  std::mutex lock_;
  // A plain mutex rather than std::atomic<std::shared_ptr>: that one is a
  // spin lock in GCC 12 that ThreadSanitizer cannot see and reports on reads.
  mutable std::mutex currentMu_;
  ConfigSnapshotPtr current_;  // Guarded by currentMu_; never null.
};

}  // namespace server
