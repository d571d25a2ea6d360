#include "message/internal/parse_blocks.h"

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
class BlockPool final : public std::pmr::memory_resource {
 public:
  ParseBlockCounts Counts() {
    std::lock_guard lock(mutex_);
    return counts_;
  }

  void Release() {
    std::map<Key, std::vector<void*>> kept;
    {
      std::lock_guard lock(mutex_);
      kept.swap(kept_);
      counts_.kept_bytes = 0;
    }
    for (auto& [key, blocks] : kept) {
      for (void* block : blocks) ::operator delete(block, key.first, std::align_val_t(key.second));
    }
  }

 private:
  using Key = std::pair<size_t, size_t>;  // bytes, alignment

  void* do_allocate(size_t bytes, size_t alignment) override {
    {
      std::lock_guard lock(mutex_);
      auto it = kept_.find({bytes, alignment});
      if (it != kept_.end() && !it->second.empty()) {
        void* block = it->second.back();
        it->second.pop_back();
        counts_.kept_bytes -= bytes;
        ++counts_.reused_calls;
        counts_.reused_bytes += bytes;
        return block;
      }
    }
    return ::operator new(bytes, std::align_val_t(alignment));
  }

  void do_deallocate(void* block, size_t bytes, size_t alignment) override {
    {
      std::lock_guard lock(mutex_);
      if (counts_.kept_bytes + bytes <= kKeptParseBlockBytes) {
        // Runs inside destructors: a block the pool has no room to note is
        // freed instead.
        try {
          kept_[{bytes, alignment}].push_back(block);
          counts_.kept_bytes += bytes;
          return;
        } catch (const std::bad_alloc&) {
        }
      }
    }
    ::operator delete(block, bytes, std::align_val_t(alignment));
  }

  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  std::mutex mutex_;
  std::map<Key, std::vector<void*>> kept_;
  ParseBlockCounts counts_;
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
