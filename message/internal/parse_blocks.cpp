#include "message/internal/parse_blocks.h"

#include <atomic>
#include <map>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "platform/com/kept_memory.h"

namespace message::internal {

namespace {

// An arena asks for the same run of block sizes every parse, so a block is
// reused only for a request of exactly its size: the arena gives back what it
// asked for, and nothing needs to remember a larger block's true size.
//
// Every parse of every worker comes here: the blocks are kept in shards, each
// thread using its own, so that threads parsing at once do not wait on one
// lock. The bound holds over all shards.
class BlockPool final : public std::pmr::memory_resource {
 public:
  ParseBlockCounts Counts() {
    ParseBlockCounts counts;
    for (Shard& shard : shards_) {
      std::lock_guard lock(shard.mutex);
      counts.reused_calls += shard.reused_calls;
      counts.reused_bytes += shard.reused_bytes;
    }
    counts.kept_bytes = kept_bytes_.load(std::memory_order_relaxed);
    return counts;
  }

  void Release() {
    for (Shard& shard : shards_) {
      std::map<Key, std::vector<void*>> kept;
      {
        std::lock_guard lock(shard.mutex);
        kept.swap(shard.kept);
      }
      for (auto& [key, blocks] : kept) {
        for (void* block : blocks) {
          ::operator delete(block, key.first, std::align_val_t(key.second));
          kept_bytes_.fetch_sub(key.first, std::memory_order_relaxed);
        }
      }
    }
  }

 private:
  using Key = std::pair<size_t, size_t>;  // bytes, alignment
  static constexpr size_t kShards = 16;

  struct Shard {
    std::mutex mutex;
    std::map<Key, std::vector<void*>> kept;  // guarded by mutex
    uint64_t reused_calls = 0;               // guarded by mutex
    uint64_t reused_bytes = 0;               // guarded by mutex
  };

  // Threads take the shards in turn as they first come.
  Shard& Mine() {
    static std::atomic<size_t> next{0};
    thread_local const size_t index = next.fetch_add(1, std::memory_order_relaxed) % kShards;
    return shards_[index];
  }

  void* do_allocate(size_t bytes, size_t alignment) override {
    Shard& shard = Mine();
    {
      std::lock_guard lock(shard.mutex);
      auto it = shard.kept.find({bytes, alignment});
      if (it != shard.kept.end() && !it->second.empty()) {
        void* block = it->second.back();
        it->second.pop_back();
        kept_bytes_.fetch_sub(bytes, std::memory_order_relaxed);
        ++shard.reused_calls;
        shard.reused_bytes += bytes;
        return block;
      }
    }
    return ::operator new(bytes, std::align_val_t(alignment));
  }

  void do_deallocate(void* block, size_t bytes, size_t alignment) override {
    // The room is taken first, so that shards filling at once stay within
    // the bound together.
    if (kept_bytes_.fetch_add(bytes, std::memory_order_relaxed) + bytes <= kKeptParseBlockBytes) {
      Shard& shard = Mine();
      std::lock_guard lock(shard.mutex);
      // Runs inside destructors: a block the pool has no room to note is
      // freed instead.
      try {
        shard.kept[{bytes, alignment}].push_back(block);
        return;
      } catch (const std::bad_alloc&) {
      }
    }
    kept_bytes_.fetch_sub(bytes, std::memory_order_relaxed);
    ::operator delete(block, bytes, std::align_val_t(alignment));
  }

  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  Shard shards_[kShards];
  std::atomic<size_t> kept_bytes_{0};
};

BlockPool& Pool() {
  // Never destroyed: arenas of parses still alive at exit give blocks back.
  // Each module that parses has a pool of its own; the process's idle trim
  // reaches them all through the registration.
  static BlockPool* pool = [] {
    BlockPool* made = new BlockPool;
    com::RegisterKeptMemory(&ReleaseParseBlocks);
    return made;
  }();
  return *pool;
}

}  // namespace

std::pmr::memory_resource* ParseBlocks() { return &Pool(); }

ParseBlockCounts CountParseBlocks() { return Pool().Counts(); }

void ReleaseParseBlocks() { Pool().Release(); }

}  // namespace message::internal
