#include "server/soap/outbound_gate.h"

#include <limits>

#include "dime/outbound_pass.h"
#include "server/http/server_core.h"

namespace server {
namespace {

thread_local OutboundScope* current_scope = nullptr;

}  // namespace

OutboundScope::OutboundScope(OutboundGate* gate, std::chrono::steady_clock::time_point deadline,
                             std::function<void()> beforeWait)
    : gate_(gate), deadline_(deadline), beforeWait_(std::move(beforeWait)), outer_(current_scope) {
  current_scope = this;
}

OutboundScope::~OutboundScope() { current_scope = outer_; }

OutboundScope* OutboundScope::Current() { return current_scope; }

void OutboundScope::BeforeWait() {
  if (current_scope != nullptr && current_scope->beforeWait_) {
    std::function<void()> once = std::move(current_scope->beforeWait_);
    current_scope->beforeWait_ = nullptr;
    once();
  }
  HandOffLargeMessageThread();
}

}  // namespace server

// What dime::OutboundPass finds in the program (exported by its link).
extern "C" __attribute__((visibility("default"), used)) int quorvel_outbound_enter(
    int64_t* deadline_ns) {
  const server::OutboundScope* scope = server::OutboundScope::Current();
  if (scope == nullptr) return -1;
  if (scope->Gate() != nullptr && !scope->Gate()->Enter()) return 0;
  server::OutboundScope::BeforeWait();
  const auto deadline = scope->Deadline();
  *deadline_ns = deadline == std::chrono::steady_clock::time_point::max()
                     ? std::numeric_limits<int64_t>::max()
                     : std::chrono::duration_cast<std::chrono::nanoseconds>(
                           deadline.time_since_epoch())
                           .count();
  return 1;
}

extern "C" __attribute__((visibility("default"), used)) void quorvel_outbound_leave() {
  const server::OutboundScope* scope = server::OutboundScope::Current();
  if (scope != nullptr && scope->Gate() != nullptr) scope->Gate()->Leave();
}
