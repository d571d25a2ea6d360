// BSTR: a NUL-terminated char16_t string preceded by its byte length, so it
// may hold embedded NULs. A null BSTR counts as the empty string everywhere.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/base.h"

// Copies up to the first NUL; a null `text` gives null.
BSTR SysAllocString(LPCOLESTR text);
// Copies exactly `length` units (NULs included); a null `text` leaves them zeroed.
BSTR SysAllocStringLen(LPCOLESTR text, UINT length);
// `length` bytes of `bytes` (used for narrow data carried in a BSTR), followed
// by a NUL unit; a null `bytes` leaves them zeroed. SysStringLen is the byte
// length halved (rounded down).
BSTR SysAllocStringByteLen(const char* bytes, UINT length);
// Every allocator returns null when out of memory or when the byte length would
// not fit 32 bits.

// Replaces *bstr with a copy of `text` (which may point into *bstr; a null
// `text` gives null); 0 when out of memory (then *bstr is kept), else 1.
int SysReAllocString(BSTR* bstr, LPCOLESTR text);
// The same with exactly `length` units of `text`.
int SysReAllocStringLen(BSTR* bstr, LPCOLESTR text, UINT length);
void SysFreeString(BSTR bstr);  // null is ignored
// Length in characters (not counting the terminating NUL); 0 for null.
UINT SysStringLen(BSTR bstr);
// Length in bytes as allocated (odd for SysAllocStringByteLen(_, odd)); 0 for null.
UINT SysStringByteLen(BSTR bstr);

// Views and copies for our own code.
inline std::u16string_view BstrView(BSTR b) { return {b ? b : u"", SysStringLen(b)}; }
inline BSTR SysAllocString(std::u16string_view s) {
  return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
}

// An owning BSTR.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::u16string_view s) : b_(SysAllocString(s)) {}
  Bstr(const Bstr& o) : b_(o.b_ ? SysAllocStringLen(o.b_, SysStringLen(o.b_)) : nullptr) {}
  Bstr(Bstr&& o) noexcept : b_(o.Detach()) {}
  ~Bstr() { SysFreeString(b_); }
  Bstr& operator=(Bstr o) noexcept {
    std::swap(b_, o.b_);
    return *this;
  }
  static Bstr Adopt(BSTR b) {
    Bstr r;
    r.b_ = b;
    return r;
  }
  BSTR Get() const { return b_; }
  BSTR Detach() { return std::exchange(b_, nullptr); }
  BSTR* Receive() {
    SysFreeString(std::exchange(b_, nullptr));
    return &b_;
  }
  UINT Length() const { return SysStringLen(b_); }
  std::u16string_view View() const { return BstrView(b_); }

 private:
  BSTR b_ = nullptr;
};
