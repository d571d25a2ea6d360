#include "plugins/digestauth/nonce_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace digestauth {
namespace {

class NonceStoreTest : public ::testing::Test {
 protected:
  NonceStore Make(int life, size_t capacity = kMaxNonces) {
    return NonceStore(
        life, [this] { return now_; }, [this](std::string_view s) { log_.emplace_back(s); },
        capacity);
  }
  std::string Add(NonceStore& store) {
    NonceStore::Nonce n = store.Issue();
    store.Record(n);
    return n.text;
  }

  int64_t now_ = 1'000'000;
  std::vector<std::string> log_;
};

TEST_F(NonceStoreTest, IssuedNoncesAreDistinctUpperHexWithTheClockTime) {
  NonceStore store = Make(120);
  const NonceStore::Nonce a = store.Issue(), b = store.Issue();
  EXPECT_NE(a.text, b.text);
  ASSERT_EQ(a.text.size(), 32u);
  EXPECT_EQ(a.text.find_first_not_of("0123456789ABCDEF"), std::string::npos) << a.text;
  EXPECT_EQ(a.created, now_);
  EXPECT_EQ(store.Size(), 0u) << "issue alone records nothing";
}

TEST_F(NonceStoreTest, FreshnessAtTheNonceLifeBoundary) {
  struct Case {
    int life;
    int64_t age;
    bool accepted;
  };
  const Case cases[] = {
      {120, 0, true}, {120, 120, true}, {120, 121, false},
      {0, 0, true},   {0, 1, false},    {-1, 0, false},
  };
  for (const Case& c : cases) {
    NonceStore store = Make(c.life);
    const int64_t start = now_;
    const std::string text = Add(store);
    now_ = start + c.age;
    EXPECT_EQ(store.TakeIfFresh(text), c.accepted) << c.life << " " << c.age;
    // Accepted once at most; a refused stale entry stays for the purge.
    EXPECT_FALSE(store.TakeIfFresh(text));
    EXPECT_EQ(store.Size(), c.accepted ? 0u : 1u);
    now_ = start;
  }
}

TEST_F(NonceStoreTest, UnknownTextsAreRefusedAndForgettingThemChangesNothing) {
  NonceStore store = Make(120);
  const std::string kept = Add(store);
  EXPECT_FALSE(store.TakeIfFresh("0123456789ABCDEF0123456789ABCDEF"));
  EXPECT_FALSE(store.TakeIfFresh(""));
  store.Forget("");
  store.Forget(kept.substr(1));
  EXPECT_EQ(store.Size(), 1u);
  store.Forget(kept);
  EXPECT_EQ(store.Size(), 0u);
}

TEST_F(NonceStoreTest, RenewForgetsThePresentedNonceAndRecordsANewOne) {
  NonceStore store = Make(120);
  const std::string old = Add(store);
  const std::string fresh = store.Renew(old);
  EXPECT_NE(fresh, old);
  EXPECT_FALSE(store.Contains(old));
  EXPECT_TRUE(store.Contains(fresh));
  EXPECT_TRUE(store.Contains(store.Renew("never issued")));
  EXPECT_EQ(store.Size(), 2u);
}

TEST_F(NonceStoreTest, PurgeRemovesExactlyTheAgedEntriesOneLogLinePerPass) {
  NonceStore store = Make(60);
  const std::string a = Add(store), b = Add(store);
  now_ += 30;
  const std::string young = Add(store);
  now_ += 31;  // a and b are 61 seconds old, young 31
  EXPECT_EQ(store.Purge(), 2u);
  EXPECT_EQ(log_, std::vector<std::string>{"Deleted stale server nonce! 2"});
  EXPECT_TRUE(store.Contains(young));
  EXPECT_FALSE(store.Contains(a));
  EXPECT_FALSE(store.Contains(b));
  EXPECT_EQ(store.Purge(), 0u) << "nothing more has aged";
  EXPECT_EQ(log_.size(), 1u) << "a pass that removes nothing logs nothing";
  now_ += 30;
  EXPECT_EQ(store.Purge(), 1u);
  EXPECT_EQ(store.Size(), 0u);
  // A flood's worth of stale nonces is still one line.
  for (int i = 0; i < 5000; ++i) store.Renew("");
  now_ += 61;
  EXPECT_EQ(store.Purge(), 5000u);
  EXPECT_EQ(log_, (std::vector<std::string>{"Deleted stale server nonce! 2",
                                            "Deleted stale server nonce! 1",
                                            "Deleted stale server nonce! 5000"}));
}

TEST_F(NonceStoreTest, NegativeLifePurgesEverything) {
  NonceStore store = Make(-5);
  Add(store);
  Add(store);
  EXPECT_EQ(store.Purge(), 2u);
}

TEST_F(NonceStoreTest, AFullTableEvictsTheOldestEntry) {
  NonceStore store = Make(120, /*capacity=*/3);
  const std::string first = Add(store), second = Add(store), third = Add(store);
  const std::string fourth = Add(store);
  EXPECT_EQ(store.Size(), 3u);
  EXPECT_FALSE(store.Contains(first));
  EXPECT_TRUE(store.Contains(second));
  // Taking one frees its slot; the next record evicts nothing.
  EXPECT_TRUE(store.TakeIfFresh(third));
  const std::string fifth = store.Renew("");
  EXPECT_TRUE(store.Contains(second));
  EXPECT_TRUE(store.Contains(fourth));
  EXPECT_TRUE(store.Contains(fifth));
  store.Renew("");
  EXPECT_FALSE(store.Contains(second));
  EXPECT_EQ(store.Size(), 3u);
  store.Clear();
  EXPECT_EQ(store.Size(), 0u);
}

// Anyone can have the service issue nonces; a flood of challenges past the
// cap must not push out the next nonce of a logged-on client, and the cap
// still holds.
TEST_F(NonceStoreTest, AChallengeFloodKeepsTheNoncesOfChains) {
  NonceStore store = Make(120);
  const std::string first = store.Renew("");                 // challenge
  const std::string chained = store.Renew(first, NonceKind::Chained);  // verified call
  const std::string waiting = store.Renew("");               // another client's challenge
  for (size_t i = 0; i < kMaxNonces + 10000; ++i) store.Renew("");
  EXPECT_EQ(store.Size(), kMaxNonces);
  EXPECT_EQ(store.Count(NonceKind::Chained), 1u);
  EXPECT_FALSE(store.Contains(waiting)) << "unproven nonces go oldest first";
  EXPECT_TRUE(store.TakeIfFresh(chained));
  // The chain goes on under the flood.
  const std::string next = store.Renew(chained, NonceKind::Chained);
  for (size_t i = 0; i < kMaxNonces; ++i) store.Renew("");
  EXPECT_TRUE(store.TakeIfFresh(next));
}

TEST_F(NonceStoreTest, EvictionOrderByKind) {
  NonceStore store = Make(120, /*capacity=*/3);
  const std::string c1 = store.Renew("", NonceKind::Chained);
  const std::string u1 = store.Renew("");
  const std::string c2 = store.Renew("", NonceKind::Chained);
  // Full: a chained record evicts the unproven one, though it is younger.
  const std::string c3 = store.Renew("", NonceKind::Chained);
  EXPECT_FALSE(store.Contains(u1));
  EXPECT_EQ(store.Count(NonceKind::Chained), 3u);
  // With no unproven entry left, the oldest chained one goes.
  const std::string u2 = store.Renew("");
  EXPECT_FALSE(store.Contains(c1));
  EXPECT_TRUE(store.Contains(c2));
  EXPECT_TRUE(store.Contains(c3));
  EXPECT_EQ(store.Count(NonceKind::Unproven), 1u);
  // Taking, forgetting and purging keep both orders in step.
  EXPECT_TRUE(store.TakeIfFresh(u2));
  store.Forget(c2);
  store.Record(store.Issue());
  store.Record(store.Issue(), NonceKind::Chained);
  EXPECT_EQ(store.Size(), 3u);
  now_ += 121;
  EXPECT_EQ(store.Purge(), 3u);
  EXPECT_EQ(store.Count(NonceKind::Unproven) + store.Count(NonceKind::Chained), 0u);
}

// Processor objects of several hosts' threads and the purge share the
// table: each nonce is still accepted once at most.
TEST_F(NonceStoreTest, ConcurrentTakersAcceptEachNonceOnce) {
  NonceStore store = Make(120, /*capacity=*/512);
  std::vector<std::string> texts;
  for (int i = 0; i < 400; ++i) texts.push_back(Add(store));
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < texts.size(); ++i) {
        const std::string& text = texts[(i + size_t(t) * 97) % texts.size()];
        if (store.TakeIfFresh(text)) accepted.fetch_add(1);
        if (i % 50 == 0) {
          store.Renew("");
          store.Purge();
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(accepted.load(), 400);
}

}  // namespace
}  // namespace digestauth
