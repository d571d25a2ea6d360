// BSTR allocation. A string is one malloc block: a 32-bit byte length, the
// characters, and a terminating NUL unit; the BSTR points at the characters.
#include "platform/com/bstr.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kPrefix = sizeof(uint32_t);
// The byte length must fit the prefix, with room for the prefix and the NUL.
constexpr size_t kMaxBytes = UINT32_MAX - kPrefix - sizeof(OLECHAR) - 1;

// A block for `bytes` bytes of data, zero-filled past them, or null.
BSTR AllocBytes(size_t bytes) {
  if (bytes > kMaxBytes) return nullptr;
  // One spare byte so that an odd byte length still ends in a whole NUL unit.
  auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR) + 1));
  if (!block) return nullptr;
  const uint32_t len = static_cast<uint32_t>(bytes);
  std::memcpy(block, &len, kPrefix);
  std::memset(block + kPrefix + bytes, 0, sizeof(OLECHAR) + 1);
  return reinterpret_cast<BSTR>(block + kPrefix);
}

unsigned char* BlockOf(BSTR b) { return reinterpret_cast<unsigned char*>(b) - kPrefix; }

}  // namespace

BSTR SysAllocString(LPCOLESTR text) {
  if (!text) return nullptr;
  size_t n = 0;
  while (text[n]) ++n;
  if (n > kMaxBytes / sizeof(OLECHAR)) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(n));
}

BSTR SysAllocStringLen(LPCOLESTR text, UINT length) {
  const size_t bytes = size_t{length} * sizeof(OLECHAR);
  BSTR b = AllocBytes(bytes);
  if (!b) return nullptr;
  if (text) {
    std::memcpy(b, text, bytes);
  } else {
    std::memset(b, 0, bytes);
  }
  return b;
}

BSTR SysAllocStringByteLen(const char* bytes, UINT length) {
  BSTR b = AllocBytes(length);
  if (!b) return nullptr;
  if (bytes) {
    std::memcpy(b, bytes, length);
  } else {
    std::memset(b, 0, length);
  }
  return b;
}

int SysReAllocString(BSTR* bstr, LPCOLESTR text) {
  if (!bstr) return 0;
  // Copy first: `text` may point into the string being replaced.
  BSTR copy = SysAllocString(text);
  if (text && !copy) return 0;
  SysFreeString(*bstr);
  *bstr = copy;
  return 1;
}

int SysReAllocStringLen(BSTR* bstr, LPCOLESTR text, UINT length) {
  if (!bstr) return 0;
  BSTR copy = SysAllocStringLen(text, length);
  if (!copy) return 0;
  SysFreeString(*bstr);
  *bstr = copy;
  return 1;
}

void SysFreeString(BSTR bstr) {
  if (bstr) std::free(BlockOf(bstr));
}

UINT SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  uint32_t len;
  std::memcpy(&len, BlockOf(bstr), kPrefix);
  return len;
}

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(OLECHAR); }
