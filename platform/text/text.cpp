#include "platform/text/text.h"

#include <climits>
#include <cstdarg>
#include <cstdio>

namespace text {

size_t Utf8DecodeOne(const unsigned char* p, size_t n, char32_t* cp) {
  if (n == 0) return 0;
  const unsigned char lead = p[0];
  size_t len;
  char32_t value, smallest;
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    len = 2, value = lead & 0x1F, smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    len = 3, value = lead & 0x0F, smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    len = 4, value = lead & 0x07, smallest = 0x10000;
  } else {
    return 0;  // continuation byte as lead, or a 5- or 6-byte form
  }
  if (len > n) return 0;
  for (size_t i = 1; i < len; ++i) {
    const unsigned char c = p[i] ^ 0x80;
    if (c >= 0x40) return 0;
    value = (value << 6) | c;
  }
  if (value < smallest || value > 0x10FFFF) return 0;
  *cp = value;
  return len;
}

size_t Utf8EncodeOne(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = char(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = char(0xC0 | (cp >> 6));
    out[1] = char(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = char(0xE0 | (cp >> 12));
    out[1] = char(0x80 | ((cp >> 6) & 0x3F));
    out[2] = char(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = char(0xF0 | (cp >> 18));
  out[1] = char(0x80 | ((cp >> 12) & 0x3F));
  out[2] = char(0x80 | ((cp >> 6) & 0x3F));
  out[3] = char(0x80 | (cp & 0x3F));
  return 4;
}

void AppendUtf16(char32_t cp, std::u16string& out) {
  if (cp < 0x10000) {
    out.push_back(char16_t(cp));
  } else {
    cp -= 0x10000;
    out.push_back(char16_t(0xD800 | (cp >> 10)));
    out.push_back(char16_t(0xDC00 | (cp & 0x3FF)));
  }
}

std::u16string Widen(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  auto p = reinterpret_cast<const unsigned char*>(utf8.data());
  size_t n = utf8.size();
  while (n > 0) {
    char32_t cp;
    size_t used = Utf8DecodeOne(p, n, &cp);
    if (used == 0) {
      cp = 0xFFFD;
      used = 1;
    }
    AppendUtf16(cp, out);
    p += used;
    n -= used;
  }
  return out;
}

std::string Narrow(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  char buf[4];
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    }
    out.append(buf, Utf8EncodeOne(cp, buf));
  }
  return out;
}

bool HasControlCharacter(std::string_view s) {
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return true;
  }
  return false;
}

void TruncateUtf8(std::string& s, size_t max_bytes) {
  if (s.size() <= max_bytes) return;
  size_t cut = max_bytes;
  // Step back over continuation bytes to the start of the sequence that would be split.
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  s.resize(cut);
}

bool IsSpace(char16_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  switch (c) {
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A && c != 0x2007;
  }
}

namespace {

// The XML 1.0 name-start ranges above ASCII, BMP part.
bool InNameStartRange(char16_t c) {
  return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD);
}

}  // namespace

bool IsAlpha(char16_t c) {
  if (c < 0x80) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
  return InNameStartRange(c);
}

bool IsDigit(char16_t c) { return c >= '0' && c <= '9'; }

bool IsXDigit(char16_t c) { return IsDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

bool IsAlnum(char16_t c) { return IsAlpha(c) || IsDigit(c); }

bool IsCntrl(char16_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

bool IsXmlNameStart(char16_t c) {
  return IsAlpha(c) || c == '_' || c == ':' || (c >= 0xD800 && c <= 0xDFFF);
}

bool IsXmlNameChar(char16_t c) {
  return IsXmlNameStart(c) || IsDigit(c) || c == '-' || c == '.' || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || c == 0x203F || c == 0x2040;
}

bool AsciiIEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiToLower(a[i]) != AsciiToLower(b[i])) return false;
  }
  return true;
}

bool AsciiIEquals(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiToLower(a[i]) != AsciiToLower(b[i])) return false;
  }
  return true;
}

size_t WcsLen(const char16_t* s) {
  if (!s) return 0;
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

int WcsCmp(const char16_t* a, const char16_t* b) {
  if (!a) a = u"";
  if (!b) b = u"";
  while (*a && *a == *b) ++a, ++b;
  return int(*a) - int(*b);
}

namespace {

// Leading spaces and a sign, as the C library's number readers take them.
size_t SkipSign(std::u16string_view s, bool* negative) {
  size_t i = 0;
  while (i < s.size() && IsSpace(s[i])) ++i;
  *negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) *negative = s[i++] == '-';
  return i;
}

}  // namespace

int WToI(std::u16string_view s) {
  bool negative;
  size_t i = SkipSign(s, &negative);
  long long value = 0;
  for (; i < s.size() && IsDigit(s[i]); ++i) {
    value = value * 10 + (s[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) {
      return negative ? INT_MIN : INT_MAX;
    }
  }
  if (negative) return static_cast<int>(-value);
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

uint32_t WcsToUL(std::u16string_view s, size_t* consumed) {
  bool negative;
  size_t i = SkipSign(s, &negative);
  const size_t digits_start = i;
  uint64_t value = 0;
  bool overflow = false;
  for (; i < s.size() && IsDigit(s[i]); ++i) {
    value = value * 10 + (s[i] - '0');
    if (value > UINT32_MAX) {
      overflow = true;
      value = UINT32_MAX;
    }
  }
  if (consumed) *consumed = i == digits_start ? 0 : i;
  if (i == digits_start) return 0;
  if (overflow) return UINT32_MAX;
  auto v = static_cast<uint32_t>(value);
  return negative ? uint32_t(0u - v) : v;
}

void AppendLogSafe(std::string& out, std::string_view s, bool escape_quote) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || (escape_quote && c == '"')) {
      const char escaped[] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
      out.append(escaped, sizeof escaped);
    } else {
      out += ch;
    }
  }
}

namespace {

std::string VFormat(const char* fmt, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::string out(static_cast<size_t>(n), '\0');
  vsnprintf(out.data(), out.size() + 1, fmt, args);
  return out;
}

}  // namespace

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string out = VFormat(fmt, args);
  va_end(args);
  return out;
}

std::u16string WFormat(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string out = VFormat(fmt, args);
  va_end(args);
  return Widen(out);
}

std::string FormatCapped(size_t max_chars, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string out = VFormat(fmt, args);
  va_end(args);
  TruncateUtf8(out, max_chars);
  return out;
}

}  // namespace text
