// How many workers may wait on a next hop at once. Such waits can last up to
// a forward's deadline; confining them to part of the workers keeps static
// files, status pages and other endpoints answered while next hops are slow.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>

namespace server {

class OutboundGate {
 public:
  // `limit` workers at once; 0: no bound.
  explicit OutboundGate(uint32_t limit = 0) : limit_(limit) {}
  OutboundGate(const OutboundGate&) = delete;
  OutboundGate& operator=(const OutboundGate&) = delete;

  // The bound the server runs with: half its workers, at least one.
  static uint32_t LimitFor(int workers) { return static_cast<uint32_t>(std::max(1, workers / 2)); }

  void SetLimit(uint32_t limit) { limit_.store(limit); }
  uint32_t Limit() const { return limit_.load(); }

  // One place, for holders that are no Pass: false when every place was
  // taken; each true is paired with one Leave.
  bool Enter() { return TryEnter(); }
  void Leave() { held_.fetch_sub(1); }

  // Holds one place while it lives; Entered() is false when every place was
  // taken (then it holds none).
  class Pass {
   public:
    explicit Pass(OutboundGate* gate) : gate_(gate) {
      if (gate_ != nullptr && !gate_->TryEnter()) {
        gate_ = nullptr;
        entered_ = false;
      }
    }
    ~Pass() {
      if (gate_ != nullptr) gate_->held_.fetch_sub(1);
    }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    bool Entered() const { return entered_; }

   private:
    OutboundGate* gate_;
    bool entered_ = true;
  };

 private:
  bool TryEnter() {
    const uint32_t limit = limit_.load();
    uint32_t now = held_.load();
    do {
      if (limit != 0 && now >= limit) return false;
    } while (!held_.compare_exchange_weak(now, now + 1));
    return true;
  }

  std::atomic<uint32_t> limit_;
  std::atomic<uint32_t> held_{0};
};

// Marks the calling thread, while it lives, as processing a request whose
// outbound waits pass `gate` (null: none) and end by `deadline`. Components
// reach both through dime::OutboundPass: the reverse-path posts of a routing
// receiver wait under the same bound as the server's own forwards.
class OutboundScope {
 public:
  OutboundScope(OutboundGate* gate, std::chrono::steady_clock::time_point deadline,
                std::function<void()> beforeWait = nullptr);
  ~OutboundScope();
  OutboundScope(const OutboundScope&) = delete;
  OutboundScope& operator=(const OutboundScope&) = delete;

  OutboundGate* Gate() const { return gate_; }
  std::chrono::steady_clock::time_point Deadline() const { return deadline_; }
  // The scope of the calling thread; null outside one.
  static OutboundScope* Current();
  // Called once a wait on the network is certain (its gate passed): the
  // request gives up its working-memory share (the scope's `beforeWait`, once)
  // and, on the large-message thread, hands that thread on
  // (HandOffLargeMessageThread).
  static void BeforeWait();

 private:
  OutboundGate* const gate_;
  const std::chrono::steady_clock::time_point deadline_;
  std::function<void()> beforeWait_;
  OutboundScope* const outer_;
};

}  // namespace server
