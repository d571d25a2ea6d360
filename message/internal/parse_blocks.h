// The memory under the parses' arenas. A parse writes all over its arena, and
// once a message ends its big blocks would go back to the allocator, which
// hands whole pages back to the system: the next parse then pays a page fault
// per page, more than the parse itself costs. The blocks of ended parses are
// kept instead, up to a bound, for the next parse of the process to reuse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>

namespace message::internal {

// Most bytes kept between parses; a block that would go past it is freed.
inline constexpr size_t kKeptParseBlockBytes = size_t{32} << 20;

// The upstream of every parse's arena; safe to use from any thread.
std::pmr::memory_resource* ParseBlocks();

struct ParseBlockCounts {
  size_t kept_bytes = 0;      // held now for later parses
  uint64_t reused_calls = 0;  // blocks handed out again, ever
  uint64_t reused_bytes = 0;
};
ParseBlockCounts CountParseBlocks();

// Frees every kept block (an idle process need not hold them).
void ReleaseParseBlocks();

}  // namespace message::internal
