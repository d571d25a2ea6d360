// The server nonces the digest service has issued and not yet seen back:
// one table for the whole service, shared by every processor object and the
// purge timer, each access under the store's own lock (a leaf: no call on a
// message or struct is ever made while it is held).
//
// A nonce is 16 bytes, MD5 over a fresh GUID, entered under its 32
// upper-case hex digits with its creation time in whole seconds. It is
// accepted while now - created <= nonce life and at most once: the check
// that accepts it removes it. The table holds at most `capacity` entries;
// recording into a full table evicts the entry recorded first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace digestauth {

// Whole seconds; production uses the C library's time().
using Clock = std::function<int64_t()>;
// One event-log entry per call.
using EventSink = std::function<void(std::string_view)>;

// Far above what the purge leaves alive in real use (a nonce lives at most
// a purge period plus the nonce life).
inline constexpr size_t kMaxNonces = 100000;

// The system's clock: time(nullptr).
int64_t SystemClock();

class NonceStore {
 public:
  NonceStore(int nonceLife, Clock clock, EventSink log, size_t capacity = kMaxNonces);
  NonceStore(const NonceStore&) = delete;
  NonceStore& operator=(const NonceStore&) = delete;

  struct Nonce {
    std::string text;  // 32 upper-case hex digits
    int64_t created = 0;
  };

  // A new nonce, not yet recorded: the clock first, then MD5 over a fresh
  // GUID. Takes no lock.
  Nonce Issue() const;
  // Enters `nonce`; a full table first loses its oldest entry.
  void Record(const Nonce& nonce);
  // Removes `text` when present; anything else changes nothing.
  void Forget(std::string_view text);
  // True when `text` is present and fresh; a fresh nonce is removed in the
  // same lock hold, so no second request can present it. A stale one stays
  // for the purge.
  bool TakeIfFresh(std::string_view text);
  // Forget(presented), then a new nonce issued and recorded, in one lock
  // hold. Returns the new nonce's text.
  std::string Renew(std::string_view presented);
  // Removes every entry older than the nonce life, one event-log entry each.
  // Returns the count removed.
  size_t Purge();
  void Clear();

  size_t Size() const;
  bool Contains(std::string_view text) const;
  int NonceLife() const { return nonce_life_; }

 private:
  struct Entry {
    int64_t created;
    std::list<std::string>::iterator order;
  };
  bool Fresh(int64_t created, int64_t now) const { return now - created <= nonce_life_; }
  void EraseLocked(std::map<std::string, Entry, std::less<>>::iterator it);
  void RecordLocked(const Nonce& nonce);

  const int nonce_life_;
  const Clock clock_;
  const EventSink log_;
  const size_t capacity_;
  mutable std::mutex mu_;
  std::map<std::string, Entry, std::less<>> table_;  // Guarded by mu_.
  std::list<std::string> order_;                     // Guarded by mu_; oldest first.
};

}  // namespace digestauth
