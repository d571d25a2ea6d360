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

bool WorkingShare::Held() const {
  if (budget_ == nullptr) return false;
  std::lock_guard<std::mutex> lock(budget_->mu_);
  return state_ == State::Held;
}

bool RequestBudget::Fits(uint64_t n) const {
  if (working_ == 0) return true;
  return working_ <= workingLimit_ && n <= workingLimit_ - working_;
}

bool RequestBudget::TakeWorking(WorkingShare* share, uint64_t n, std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mu_);
  share->budget_ = this;
  share->bytes_ = n;
  // Nobody passes those already waiting, or a large request could wait for ever.
  if (waiting_.empty() && Fits(n)) {
    working_ += n;
    share->state_ = WorkingShare::State::Held;
    return true;
  }
  share->state_ = WorkingShare::State::Waiting;
  share->wake_ = std::move(wake);
  waiting_.push_back(share);
  return false;
}

void RequestBudget::ReturnWorking(WorkingShare* share) {
  std::lock_guard<std::mutex> lock(mu_);
  switch (share->state_) {
    case WorkingShare::State::None:
      return;
    case WorkingShare::State::Waiting:
      waiting_.erase(std::find(waiting_.begin(), waiting_.end(), share));
      break;
    case WorkingShare::State::Held:
      working_ -= share->bytes_;
      break;
  }
  share->state_ = WorkingShare::State::None;
  share->wake_ = nullptr;
  // A waiter that left the head of the line may have kept others back.
  GrantWaiters();
}

void RequestBudget::GrantWaiters() {
  while (!waiting_.empty() && Fits(waiting_.front()->bytes_)) {
    WorkingShare* share = waiting_.front();
    waiting_.pop_front();
    working_ += share->bytes_;
    share->state_ = WorkingShare::State::Held;
    std::function<void()> wake = std::move(share->wake_);
    share->wake_ = nullptr;
    if (wake) wake();
  }
}

uint64_t RequestBudget::WorkingHeld() const {
  std::lock_guard<std::mutex> lock(mu_);
  return working_;
}

size_t RequestBudget::WorkingWaiters() const {
  std::lock_guard<std::mutex> lock(mu_);
  return waiting_.size();
}

}  // namespace server
