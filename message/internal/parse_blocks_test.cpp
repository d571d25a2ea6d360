#include "message/internal/parse_blocks.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/com/kept_memory.h"

namespace message::internal {
namespace {

TEST(ParseBlocksTest, EndedBlocksServeTheSameRequestUpToTheBound) {
  ReleaseParseBlocks();
  std::pmr::memory_resource* pool = ParseBlocks();
  const ParseBlockCounts start = CountParseBlocks();
  EXPECT_EQ(start.kept_bytes, 0u);

  void* block = pool->allocate(4096, 16);
  pool->deallocate(block, 4096, 16);
  EXPECT_EQ(CountParseBlocks().kept_bytes, 4096u);
  // Another size or alignment gets a block of its own.
  void* other_size = pool->allocate(6144, 16);
  void* other_alignment = pool->allocate(4096, 64);
  EXPECT_EQ(CountParseBlocks().reused_calls, start.reused_calls);
  EXPECT_EQ(pool->allocate(4096, 16), block);
  EXPECT_EQ(CountParseBlocks().kept_bytes, 0u);
  EXPECT_EQ(CountParseBlocks().reused_calls, start.reused_calls + 1);
  EXPECT_EQ(CountParseBlocks().reused_bytes, start.reused_bytes + 4096);
  pool->deallocate(block, 4096, 16);
  pool->deallocate(other_size, 6144, 16);
  pool->deallocate(other_alignment, 4096, 64);
  EXPECT_EQ(CountParseBlocks().kept_bytes, 4096u + 6144u + 4096u);

  // Past the bound a block goes back to the heap.
  constexpr size_t kBig = kKeptParseBlockBytes / 4;
  std::vector<void*> big;
  for (int i = 0; i < 5; ++i) big.push_back(pool->allocate(kBig, 16));
  for (void* b : big) pool->deallocate(b, kBig, 16);
  EXPECT_LE(CountParseBlocks().kept_bytes, kKeptParseBlockBytes);
  EXPECT_GE(CountParseBlocks().kept_bytes, 3 * kBig);

  ReleaseParseBlocks();
  EXPECT_EQ(CountParseBlocks().kept_bytes, 0u);
  void* fresh = pool->allocate(4096, 16);
  EXPECT_EQ(CountParseBlocks().reused_calls, start.reused_calls + 1);
  pool->deallocate(fresh, 4096, 16);
  ReleaseParseBlocks();
}

// Each module that parses has a pool of its own (a component as well as the
// program that loads it), and the program can free them only through the
// process-wide release.
TEST(ParseBlocksTest, TheProcessWideReleaseFreesThePool) {
  ReleaseParseBlocks();
  std::pmr::memory_resource* pool = ParseBlocks();
  pool->deallocate(pool->allocate(8192, 16), 8192, 16);
  ASSERT_EQ(CountParseBlocks().kept_bytes, 8192u);
  com::ReleaseKeptMemory();
  EXPECT_EQ(CountParseBlocks().kept_bytes, 0u);
}

TEST(ParseBlocksTest, ThreadsParsingAtOnceEachReuseTheirBlocksAndShareOneCount) {
  ReleaseParseBlocks();
  std::pmr::memory_resource* pool = ParseBlocks();
  const ParseBlockCounts start = CountParseBlocks();
  constexpr int kThreads = 6;
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([pool] {
      for (int i = 0; i < kRounds; ++i) {
        void* block = pool->allocate(4096, 16);
        static_cast<char*>(block)[4095] = 1;
        pool->deallocate(block, 4096, 16);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  // Each thread's first block was new; every later one was its own again.
  const ParseBlockCounts end = CountParseBlocks();
  EXPECT_EQ(end.reused_calls - start.reused_calls, uint64_t{kThreads} * (kRounds - 1));
  EXPECT_EQ(end.kept_bytes, size_t{kThreads} * 4096);
  ReleaseParseBlocks();
  EXPECT_EQ(CountParseBlocks().kept_bytes, 0u);
}

}  // namespace
}  // namespace message::internal
