// Text helpers shared by every layer: UTF-8 <-> UTF-16 at the boundaries,
// character classes from a fixed table (never the process locale), the
// C-library number readers the design names, and printf-style formatting of
// narrow and wide text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace text {

// ---- UTF-8 ----------------------------------------------------------------

// Decodes one UTF-8 sequence at [p, p + n). Returns the bytes consumed and the
// code point in *cp, or 0 when the sequence is malformed or runs past the end:
// overlong forms, values above U+10FFFF and 5- or 6-byte forms are malformed.
// Three-byte encodings of surrogates (U+D800..U+DFFF) are accepted, because
// older peers write supplementary characters that way.
size_t Utf8DecodeOne(const unsigned char* p, size_t n, char32_t* cp);

// Writes the UTF-8 form of `cp` (at most U+10FFFF) to out[0..3]; returns 1..4.
// A lone surrogate value is written as its three-byte form.
size_t Utf8EncodeOne(char32_t cp, char* out);

// Appends `cp` as one unit or as a surrogate pair.
void AppendUtf16(char32_t cp, std::u16string& out);

// Whole-string conversions for the platform boundary (paths, environment,
// command lines, log text). Malformed input becomes U+FFFD; they never fail.
std::u16string Widen(std::string_view utf8);
// A valid surrogate pair becomes one four-byte sequence; a lone half keeps its
// three-byte form.
std::string Narrow(std::u16string_view utf16);

// Cuts `s` to at most `max_bytes` bytes without splitting a UTF-8 sequence.
void TruncateUtf8(std::string& s, size_t max_bytes);

// ---- Character classes ----------------------------------------------------

// True when `s` holds a byte below 0x20 or 0x7F: such text must never reach
// a request head, where a CR or LF would add lines of its own.
bool HasControlCharacter(std::string_view s);
// Fixed tables over the unit's value, standing in for iswspace and friends.

// Tab, LF, VT, FF, CR, space and the Unicode space separators (not the
// no-break ones).
bool IsSpace(char16_t c);
// Letters: ASCII letters and the XML name-start ranges beyond ASCII.
bool IsAlpha(char16_t c);
bool IsDigit(char16_t c);  // ASCII digits only
bool IsXDigit(char16_t c);
bool IsAlnum(char16_t c);
bool IsCntrl(char16_t c);  // C0 controls, DEL and the C1 controls
// XML names: a surrogate unit counts as a name character so that names
// holding supplementary characters (U+10000..U+EFFFF) scan as one name.
bool IsXmlNameStart(char16_t c);
bool IsXmlNameChar(char16_t c);

inline bool IsAsciiSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
// The value of an ASCII hexadecimal digit of either case; -1 for anything else.
constexpr int HexDigitValue(char32_t c) {
  if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
  if (c >= U'A' && c <= U'F') return static_cast<int>(c - U'A' + 10);
  if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a' + 10);
  return -1;
}
inline char AsciiToLower(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }
inline char AsciiToUpper(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }
inline char16_t AsciiToUpper(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }
inline char16_t AsciiToLower(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; }
bool AsciiIEquals(std::string_view a, std::string_view b);
bool AsciiIEquals(std::u16string_view a, std::u16string_view b);

// ---- Wide C strings -------------------------------------------------------

size_t WcsLen(const char16_t* s);  // 0 for null
int WcsCmp(const char16_t* a, const char16_t* b);

// _wtoi: leading spaces, an optional sign, then decimal digits; anything else
// ends the number. Text that is no number gives 0; overflow saturates.
int WToI(std::u16string_view s);
// wcstoul in base 10 with a 32-bit result: leading spaces, optional sign (a
// '-' negates modulo 2^32, as the C library does), digits; overflow gives
// 0xFFFFFFFF. *consumed (when given) is the count of units read, 0 when no
// digit was found.
uint32_t WcsToUL(std::u16string_view s, size_t* consumed = nullptr);

// ---- Log text ---------------------------------------------------------------

// Appends `s` with bytes below 0x20 and 0x7F (and '"' when `escape_quote`)
// written as \xHH, so text from outside can neither break a log line in two
// nor close a quoted field.
void AppendLogSafe(std::string& out, std::string_view s, bool escape_quote = false);

// ---- Formatting -----------------------------------------------------------

// printf into a std::string. The format must be a literal of ours: data from
// outside goes in as an argument, never as the format.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Like Format, then widened from UTF-8.
std::u16string WFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Like Format, but the result is cut to `max_chars` bytes on a character
// boundary (the design's fixed-size buffers).
std::string FormatCapped(size_t max_chars, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace text
