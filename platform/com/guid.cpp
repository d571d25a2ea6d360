// GUID creation and the braced text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/base/base.h"
#include "platform/com/activation.h"
#include "platform/text/text.h"

namespace {

constexpr int kGuidChars = 38;  // without the NUL

// Fills `out` from the kernel's random source; false when it cannot be read.
bool ReadRandom(unsigned char* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = getrandom(out + got, n - got, 0);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // ENOSYS on old kernels: fall back to the device
    }
  }
  if (got == n) return true;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (got < n) {
    const ssize_t r = read(fd, out + got, n - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (!(r < 0 && errno == EINTR)) {
      break;
    }
  }
  close(fd);
  return got == n;
}

// The 16 bytes in text order: Data1..Data3 big-endian, then Data4.
void ToBytes(const GUID& g, unsigned char b[16]) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(g.Data1 >> (24 - 8 * i));
  b[4] = static_cast<unsigned char>(g.Data2 >> 8), b[5] = static_cast<unsigned char>(g.Data2);
  b[6] = static_cast<unsigned char>(g.Data3 >> 8), b[7] = static_cast<unsigned char>(g.Data3);
  std::memcpy(b + 8, g.Data4, 8);
}

GUID FromBytes(const unsigned char b[16]) {
  GUID g;
  g.Data1 = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
  g.Data2 = static_cast<uint16_t>(b[4] << 8 | b[5]);
  g.Data3 = static_cast<uint16_t>(b[6] << 8 | b[7]);
  std::memcpy(g.Data4, b + 8, 8);
  return g;
}

// Offsets of the dashes inside the braces, in the 38-character form.
bool IsDashAt(int i) { return i == 9 || i == 14 || i == 19 || i == 24; }

// The braced form in upper case, narrow or wide, without the NUL.
template <typename Char>
void FormatGuid(const GUID& guid, Char out[kGuidChars]) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  unsigned char b[16];
  ToBytes(guid, b);
  int k = 0;
  out[k++] = Char('{');
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[k++] = Char('-');
    out[k++] = static_cast<Char>(kHex[b[i] >> 4]);
    out[k++] = static_cast<Char>(kHex[b[i] & 0xF]);
  }
  out[k++] = Char('}');
}

// Parses exactly the braced form (either case).
template <typename Char>
bool ParseGuid(std::basic_string_view<Char> text, GUID* out) {
  if (text.size() != size_t{kGuidChars} || text.front() != Char('{') || text.back() != Char('}')) {
    return false;
  }
  unsigned char b[16];
  int byte = 0;
  for (int i = 1; i < kGuidChars - 1;) {
    if (IsDashAt(i)) {
      if (text[i] != Char('-')) return false;
      ++i;
      continue;
    }
    using U = std::make_unsigned_t<Char>;
    const int hi = text::HexDigitValue(static_cast<U>(text[i]));
    const int lo = text::HexDigitValue(static_cast<U>(text[i + 1]));
    if (hi < 0 || lo < 0) return false;
    b[byte++] = static_cast<unsigned char>(hi << 4 | lo);
    i += 2;
  }
  *out = FromBytes(b);
  return true;
}

}  // namespace

HRESULT CoCreateGuid(GUID* guid) {
  if (!guid) return E_POINTER;
  unsigned char b[16];
  if (!ReadRandom(b, sizeof b)) return E_FAIL;
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  *guid = FromBytes(b);
  return S_OK;
}

int StringFromGUID2(REFGUID guid, LPOLESTR out, int max) {
  if (!out || max < kGuidChars + 1) return 0;
  FormatGuid(guid, out);
  out[kGuidChars] = 0;
  return kGuidChars + 1;
}

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid) {
  if (!clsid) return E_INVALIDARG;
  if (!text) return CO_E_CLASSSTRING;
  size_t n = 0;
  while (n <= size_t{kGuidChars} && text[n]) ++n;
  return ParseGuid(std::u16string_view(text, n), clsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT IIDFromString(LPCOLESTR text, IID* iid) { return CLSIDFromString(text, iid); }

namespace com {

std::string GuidToRegistryString(const GUID& guid) {
  char text[kGuidChars];
  FormatGuid(guid, text);
  return std::string(text, kGuidChars);
}

bool GuidFromRegistryString(std::string_view text, GUID* guid) { return ParseGuid(text, guid); }

}  // namespace com
