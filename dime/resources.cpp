#include "dime/resources.h"

#include <atomic>

namespace dime {

namespace {

std::atomic<uint64_t> g_payload_file_budget{UINT64_MAX};
std::atomic<uint64_t> g_open_payload_files{0};

}  // namespace

void SetPayloadFileBudget(uint64_t files) { g_payload_file_budget.store(files); }
uint64_t PayloadFileBudget() { return g_payload_file_budget.load(); }
uint64_t OpenPayloadFiles() { return g_open_payload_files.load(); }

PayloadFileSlot& PayloadFileSlot::operator=(PayloadFileSlot&& other) noexcept {
  if (this != &other) {
    Release();
    held_ = other.held_;
    other.held_ = false;
  }
  return *this;
}

bool PayloadFileSlot::Acquire() {
  if (held_) return true;
  uint64_t open = g_open_payload_files.load();
  do {
    if (open >= g_payload_file_budget.load()) return false;
  } while (!g_open_payload_files.compare_exchange_weak(open, open + 1));
  held_ = true;
  return true;
}

void PayloadFileSlot::Release() {
  if (held_) g_open_payload_files.fetch_sub(1);
  held_ = false;
}

HRESULT DimeResources::CreateStorage(IStorage** storage) {
  return StgCreateDocfile(
      nullptr, STGM_DELETEONRELEASE | STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0,
      storage);
}

DimeResources& DimeResources::Default() {
  static DimeResources resources;
  return resources;
}

}  // namespace dime
