// Publishes the configuration snapshot. Request threads take the current
// snapshot with one atomic load and keep it for the whole request, so a
// management change never alters a table under a reader; writers build a new
// snapshot under the configuration lock and publish it whole.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "server/config.h"

namespace server {

class ConfigStore {
 public:
  ConfigStore() : current_(std::make_shared<const ConfigSnapshot>()) {}
  ConfigStore(const ConfigStore&) = delete;
  ConfigStore& operator=(const ConfigStore&) = delete;

  // Never null.
  ConfigSnapshotPtr Current() const { return current_.load(std::memory_order_acquire); }

  // The configuration lock: held by whoever builds and publishes a change, and
  // by the other users the server gives it (the WSDL cache).
  std::mutex& Lock() { return lock_; }

  // Caller holds Lock(). A null `next` is ignored.
  void Publish(ConfigSnapshotPtr next) {
    if (next) current_.store(std::move(next), std::memory_order_release);
  }

 private:
  std::mutex lock_;
  std::atomic<ConfigSnapshotPtr> current_;
};

}  // namespace server
