#include "plugins/digestauth/nonce_store.h"

#include <ctime>

#include "platform/base/base.h"
#include "plugins/digestauth/md5.h"

namespace digestauth {

int64_t SystemClock() { return int64_t(time(nullptr)); }

NonceStore::NonceStore(int nonceLife, Clock clock, EventSink log, size_t capacity)
    : nonce_life_(nonceLife),
      clock_(std::move(clock)),
      log_(std::move(log)),
      capacity_(capacity == 0 ? 1 : capacity) {}

NonceStore::Nonce NonceStore::Issue() const {
  Nonce nonce;
  nonce.created = clock_();
  GUID guid{};
  CoCreateGuid(&guid);
  Md5 md5;
  md5.Update(&guid, sizeof guid);
  md5.HexDigest(nonce.text);
  return nonce;
}

void NonceStore::EraseLocked(std::map<std::string, Entry, std::less<>>::iterator it) {
  order_.erase(it->second.order);
  table_.erase(it);
}

void NonceStore::RecordLocked(const Nonce& nonce) {
  if (table_.count(nonce.text)) return;  // a 128-bit collision: keep the first
  while (table_.size() >= capacity_) EraseLocked(table_.find(order_.front()));
  order_.push_back(nonce.text);
  table_.emplace(nonce.text, Entry{nonce.created, std::prev(order_.end())});
}

void NonceStore::Record(const Nonce& nonce) {
  std::lock_guard lock(mu_);
  RecordLocked(nonce);
}

void NonceStore::Forget(std::string_view text) {
  std::lock_guard lock(mu_);
  if (auto it = table_.find(text); it != table_.end()) EraseLocked(it);
}

bool NonceStore::TakeIfFresh(std::string_view text) {
  const int64_t now = clock_();
  std::lock_guard lock(mu_);
  auto it = table_.find(text);
  if (it == table_.end() || !Fresh(it->second.created, now)) return false;
  EraseLocked(it);
  return true;
}

std::string NonceStore::Renew(std::string_view presented) {
  std::lock_guard lock(mu_);
  if (auto it = table_.find(presented); it != table_.end()) EraseLocked(it);
  Nonce nonce = Issue();
  RecordLocked(nonce);
  return nonce.text;
}

size_t NonceStore::Purge() {
  size_t removed = 0;
  {
    std::lock_guard lock(mu_);
    for (auto it = table_.begin(); it != table_.end();) {
      auto next = std::next(it);
      if (!Fresh(it->second.created, clock_())) {
        EraseLocked(it);
        ++removed;
      }
      it = next;
    }
  }
  // Logged after the lock: the sink may block on a file.
  for (size_t i = 0; i < removed; ++i) {
    if (log_) log_("Deleted stale server nonce!");
  }
  return removed;
}

void NonceStore::Clear() {
  std::lock_guard lock(mu_);
  table_.clear();
  order_.clear();
}

size_t NonceStore::Size() const {
  std::lock_guard lock(mu_);
  return table_.size();
}

bool NonceStore::Contains(std::string_view text) const {
  std::lock_guard lock(mu_);
  return table_.find(text) != table_.end();
}

}  // namespace digestauth
