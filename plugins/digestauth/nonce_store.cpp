#include "plugins/digestauth/nonce_store.h"

#include <algorithm>
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

bool NonceStore::ToKey(std::string_view text, Key* key) {
  if (text.size() != key->size()) return false;
  std::copy(text.begin(), text.end(), key->begin());
  return true;
}

NonceStore::Table::iterator NonceStore::FindLocked(std::string_view text) {
  Key key;
  return ToKey(text, &key) ? table_.find(key) : table_.end();
}

void NonceStore::EraseLocked(Table::iterator it) {
  OrderOf(it->second.kind).erase(it->second.order);
  table_.erase(it);
}

void NonceStore::RecordLocked(const Nonce& nonce, NonceKind kind) {
  Key key;
  if (!ToKey(nonce.text, &key)) return;
  if (table_.count(key)) return;  // a 128-bit collision: keep the first
  while (table_.size() >= capacity_) {
    EraseLocked(unproven_.empty() ? chained_.front() : unproven_.front());
  }
  auto [it, added] = table_.emplace(key, Entry{nonce.created, kind, {}});
  Order& order = OrderOf(kind);
  it->second.order = order.insert(order.end(), it);
}

void NonceStore::Record(const Nonce& nonce, NonceKind kind) {
  std::lock_guard lock(mu_);
  RecordLocked(nonce, kind);
}

void NonceStore::Forget(std::string_view text) {
  std::lock_guard lock(mu_);
  if (auto it = FindLocked(text); it != table_.end()) EraseLocked(it);
}

bool NonceStore::TakeIfFresh(std::string_view text) {
  const int64_t now = clock_();
  std::lock_guard lock(mu_);
  auto it = FindLocked(text);
  if (it == table_.end() || !Fresh(it->second.created, now)) return false;
  EraseLocked(it);
  return true;
}

std::string NonceStore::Renew(std::string_view presented, NonceKind kind) {
  std::lock_guard lock(mu_);
  if (auto it = FindLocked(presented); it != table_.end()) EraseLocked(it);
  Nonce nonce = Issue();
  RecordLocked(nonce, kind);
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
  // Logged after the lock: the sink may block on a file. One entry a pass,
  // so that the expiry of a flood's nonces does not flood the event log.
  if (removed != 0 && log_) log_("Deleted stale server nonce! " + std::to_string(removed));
  return removed;
}

void NonceStore::Clear() {
  std::lock_guard lock(mu_);
  table_.clear();
  unproven_.clear();
  chained_.clear();
}

size_t NonceStore::Size() const {
  std::lock_guard lock(mu_);
  return table_.size();
}

size_t NonceStore::Count(NonceKind kind) const {
  std::lock_guard lock(mu_);
  return kind == NonceKind::Chained ? chained_.size() : unproven_.size();
}

bool NonceStore::Contains(std::string_view text) const {
  std::lock_guard lock(mu_);
  Key key;
  return ToKey(text, &key) && table_.count(key) != 0;
}

}  // namespace digestauth
