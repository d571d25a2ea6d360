#include "xml/utf8.h"

#include <bit>
#include <cstdlib>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/text/text.h"

namespace xml {

namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

size_t Utf8EncodeChar(char* out, char32_t code_point) {
  return text::Utf8EncodeOne(code_point, out);
}

size_t Utf8DecodeChar(char32_t* code_point, const char* bytes, size_t length) {
  return text::Utf8DecodeOne(reinterpret_cast<const unsigned char*>(bytes), length, code_point);
}

namespace {

template <typename Wide>
size_t DecodeUtf8(const char* bytes, size_t length, Wide& out) {
  out.clear();
  if (length == 0) return 0;
  out.resize(length);  // never more units than bytes
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  const unsigned char* const end = p + length;
  char16_t* o = out.data();
  while (p < end) {
#if defined(__SSE2__)
    // Sixteen bytes at a time while they are ASCII, which markup mostly is.
    // Never more units than bytes are written, so the stores stay inside out.
    while (end - p >= 16) {
      const __m128i bytes16 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i zero = _mm_setzero_si128();
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(bytes16, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), _mm_unpackhi_epi8(bytes16, zero));
      const unsigned high = unsigned(_mm_movemask_epi8(bytes16));
      if (high == 0) {
        p += 16;
        o += 16;
        continue;
      }
      const unsigned ascii = unsigned(std::countr_zero(high));
      p += ascii;
      o += ascii;
      break;
    }
    if (p == end) break;
#endif
    if (*p < 0x80) {
      *o++ = *p++;
      continue;
    }
    char32_t cp;
    const size_t used = text::Utf8DecodeOne(p, size_t(end - p), &cp);
    if (used == 0) {
      out.resize(size_t(o - out.data()));
      return 0;
    }
    p += used;
    if (cp < 0x10000) {
      *o++ = char16_t(cp);
    } else {
      cp -= 0x10000;
      *o++ = char16_t(0xD800 | (cp >> 10));
      *o++ = char16_t(0xDC00 | (cp & 0x3FF));
    }
  }
  out.resize(size_t(o - out.data()));
  return out.size();
}

}  // namespace

size_t Utf8ToWide(const char* bytes, size_t length, std::u16string& out) {
  return DecodeUtf8(bytes, length, out);
}

size_t Utf8ToWide(const char* bytes, size_t length, std::pmr::u16string& out) {
  return DecodeUtf8(bytes, length, out);
}

size_t WideToUtf8Buffer(const char16_t* text, size_t length, char** out) {
  *out = nullptr;
  if (length == 0) return 0;
  // Size the buffer exactly so the conversion writes once, without regrowing.
  size_t bytes = 0;
  for (size_t i = 0; i < length; ++i) {
    const char16_t c = text[i];
    if (c < 0x80) {
      bytes += 1;
    } else if (c < 0x800) {
      bytes += 2;
    } else if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
      bytes += 4;
      ++i;
    } else {
      bytes += 3;
    }
  }
  char* buffer = static_cast<char*>(std::malloc(bytes));
  if (!buffer) return 0;
  char* o = buffer;
  for (size_t i = 0; i < length; ++i) {
    char32_t c = text[i];
    if (c < 0x80) {
      *o++ = char(c);
      continue;
    }
    if (IsHighSurrogate(char16_t(c)) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    o += text::Utf8EncodeOne(c, o);
  }
  *out = buffer;
  return bytes;
}

}  // namespace xml
