// The server nonces the digest service has issued and not yet seen back:
// one table for the whole service, shared by every processor object and the
// purge timer, each access under the store's own lock (a leaf: no call on a
// message or struct is ever made while it is held).
//
// A nonce is 16 bytes, MD5 over a fresh GUID, entered under its 32
// upper-case hex digits with its creation time in whole seconds. It is
// accepted while now - created <= nonce life and at most once: the check
// that accepts it removes it.
//
// The table holds at most `capacity` entries. Anyone can make the service
// issue a nonce (a request without credentials does), so recording into a
// full table evicts the oldest nonce that was handed out unasked-for proof
// (a challenge, an InitChallenge answer); a nonce handed to a client that
// had just proved itself goes only when no such nonce is left. A flood of
// challenges thus cannot end the chains of logged-on clients.
#pragma once

#include <array>
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

// To whom a nonce was issued; it decides the order of eviction.
enum class NonceKind {
  // To anyone who asked: a challenge or an InitChallenge answer.
  Unproven,
  // To a client whose ClientAuth was just verified (the next nonce of its
  // chain).
  Chained,
};

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
  // Enters `nonce`; a full table first loses its oldest unproven entry, or
  // its oldest chained one when it holds no unproven entry.
  void Record(const Nonce& nonce, NonceKind kind = NonceKind::Unproven);
  // Removes `text` when present; anything else changes nothing.
  void Forget(std::string_view text);
  // True when `text` is present and fresh; a fresh nonce is removed in the
  // same lock hold, so no second request can present it. A stale one stays
  // for the purge.
  bool TakeIfFresh(std::string_view text);
  // Forget(presented), then a new nonce issued and recorded as `kind`, in
  // one lock hold. Returns the new nonce's text.
  std::string Renew(std::string_view presented, NonceKind kind = NonceKind::Unproven);
  // Removes every entry older than the nonce life; when it removed any, one
  // event-log entry: "Deleted stale server nonce! " and the count. Returns
  // the count removed.
  size_t Purge();
  void Clear();

  size_t Size() const;
  // Entries of one kind.
  size_t Count(NonceKind kind) const;
  bool Contains(std::string_view text) const;
  int NonceLife() const { return nonce_life_; }

 private:
  // The 32 digits held in place: no heap block per entry, so a full table
  // stays near a tenth of a kilobyte per nonce.
  using Key = std::array<char, 32>;
  struct Entry;
  using Table = std::map<Key, Entry>;
  using Order = std::list<Table::iterator>;
  struct Entry {
    int64_t created;
    NonceKind kind;
    Order::iterator order;
  };
  static bool ToKey(std::string_view text, Key* key);
  bool Fresh(int64_t created, int64_t now) const { return now - created <= nonce_life_; }
  Order& OrderOf(NonceKind kind) { return kind == NonceKind::Chained ? chained_ : unproven_; }
  Table::iterator FindLocked(std::string_view text);
  void EraseLocked(Table::iterator it);
  void RecordLocked(const Nonce& nonce, NonceKind kind);

  const int nonce_life_;
  const Clock clock_;
  const EventSink log_;
  const size_t capacity_;
  mutable std::mutex mu_;
  Table table_;     // Guarded by mu_.
  Order unproven_;  // Guarded by mu_; oldest first.
  Order chained_;   // Guarded by mu_; oldest first.
};

}  // namespace digestauth
