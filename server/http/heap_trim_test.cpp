#include "server/http/heap_trim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace server {
namespace {

void CarryOnThreads(HeapTrimRound& trims, uint32_t round, int threads) {
  std::vector<std::thread> carriers;
  for (int i = 0; i < threads; ++i) carriers.emplace_back([&] { trims.Carry(round); });
  for (std::thread& t : carriers) t.join();
}

TEST(HeapTrimRoundTest, EndsOnceEveryThreadOfItHasTrimmed) {
  HeapTrimRound trims;
  const uint64_t before = HeapTopTrimsForTest();
  const uint32_t round = trims.Begin(3);
  CarryOnThreads(trims, round, 3);
  EXPECT_EQ(trims.CompletedForTest(), 1u);
  EXPECT_EQ(HeapTopTrimsForTest(), before + 3);
  // A wake-up of a round already over still trims, and waits for nobody.
  trims.Carry(round);
  EXPECT_EQ(HeapTopTrimsForTest(), before + 4);
  EXPECT_EQ(trims.CompletedForTest(), 1u);
}

TEST(HeapTrimRoundTest, AThreadThatHasTrimmedWaitsForTheRest) {
  HeapTrimRound trims(std::chrono::minutes(1));
  const uint32_t round = trims.Begin(2);
  std::atomic<bool> returned{false};
  std::thread first([&] {
    trims.Carry(round);
    returned = true;
  });
  // Back in the port now, it could take the other thread's wake-up.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned.load());
  trims.Carry(round);
  first.join();
  EXPECT_EQ(trims.CompletedForTest(), 1u);
}

TEST(HeapTrimRoundTest, AThreadThatNeverComesHoldsTheOthersOnlyForAWhile) {
  HeapTrimRound trims(std::chrono::milliseconds(20));
  const uint32_t round = trims.Begin(3);
  CarryOnThreads(trims, round, 2);  // returns: the round is called off
  EXPECT_EQ(trims.CompletedForTest(), 0u);
  // The busy one comes late: it trims, but the round is not counted done, as
  // the others may have taken a second wake-up meanwhile.
  trims.Carry(round);
  EXPECT_EQ(trims.CompletedForTest(), 0u);
  // The next round is whole again.
  const uint32_t next = trims.Begin(2);
  EXPECT_NE(next, round);
  CarryOnThreads(trims, next, 2);
  EXPECT_EQ(trims.CompletedForTest(), 1u);
}

}  // namespace
}  // namespace server
