// XmlScanner: the parser's character cursor over a UTF-16 buffer. It never
// reads outside [begin, end), and it keeps the true line number: the count of
// line ends before the cursor, plus one, whichever way the cursor moves. A line
// end is a LF, a CR LF pair or a lone CR; the pair counts once.
#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/text/text.h"

namespace xml {

namespace scanner_internal {

// ASCII answers inline; the tables of text.h decide the rest. Markup is
// almost all ASCII, and the per-character calls showed in profiles. Spacing
// in ASCII is XML's own (space, tab, LF, CR): VT and FF are no characters of
// XML at all.
enum : uint8_t { kSpace = 1, kNameStart = 2, kNameChar = 4 };

constexpr std::array<uint8_t, 128> MakeAsciiClasses() {
  std::array<uint8_t, 128> t{};
  for (int c = 0; c < 128; ++c) {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool start = alpha || c == '_' || c == ':';
    const bool name = start || (c >= '0' && c <= '9') || c == '-' || c == '.';
    const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    t[c] = uint8_t((space ? kSpace : 0) | (start ? kNameStart : 0) | (name ? kNameChar : 0));
  }
  return t;
}
inline constexpr std::array<uint8_t, 128> kAsciiClasses = MakeAsciiClasses();

inline bool IsSpace(char16_t c) { return c < 128 ? kAsciiClasses[c] & kSpace : text::IsSpace(c); }
inline bool IsNameStart(char16_t c) {
  return c < 128 ? kAsciiClasses[c] & kNameStart : text::IsXmlNameStart(c);
}
inline bool IsNameChar(char16_t c) {
  return c < 128 ? kAsciiClasses[c] & kNameChar : text::IsXmlNameChar(c);
}

inline bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// A code point XML admits as a character, raw or by reference.
inline bool IsXmlChar(uint32_t c) {
  if (c < 0x20) return c == 0x9 || c == 0xA || c == 0xD;
  return c <= 0xD7FF || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

}  // namespace scanner_internal

class XmlScanner {
 public:
  struct Mark {
    const char16_t* position;
    int line;
  };

  void Reset(const char16_t* begin, const char16_t* end) {
    begin_ = position_ = begin;
    end_ = end;
    line_ = 1;
  }

  int Line() const { return line_; }
  const char16_t* Position() const { return position_; }
  bool AtEnd() const { return position_ == end_; }
  Mark SaveMark() const { return {position_, line_}; }
  void RestoreMark(Mark mark) {
    position_ = mark.position;
    line_ = mark.line;
  }

  // The unit `ahead` places after the cursor without moving; 0 past the end.
  char16_t PeekChar(size_t ahead = 0) const {
    return size_t(end_ - position_) > ahead ? position_[ahead] : 0;
  }

  // Returns the next unit and advances; at the end returns 0 and stays put.
  char16_t NextChar() {
    if (position_ == end_) return 0;
    const char16_t c = *position_++;
    CountLineEnd(c);
    return c;
  }

  // Undoes one real advance of NextChar; a line end stepped back over is no
  // longer counted.
  void UngetChar() {
    assert(position_ > begin_ && "UngetChar without a preceding advance");
    if (position_ == begin_) return;
    const char16_t c = *--position_;
    if (c == u'\n' || (c == u'\r' && PeekChar(1) != u'\n')) --line_;
  }

  // Skips spacing; true when at least one unit was skipped.
  bool SkipSpaces() {
    const char16_t* start = position_;
    while (position_ < end_ && scanner_internal::IsSpace(*position_)) CountLineEnd(*position_++);
    return position_ != start;
  }

  // Consumes `c` when it is next; otherwise nothing moves.
  bool MatchChar(char16_t c) {
    if (position_ == end_ || *position_ != c) return false;
    NextChar();
    return true;
  }

  // Consumes `literal` when it follows; otherwise nothing moves. Literals hold
  // no line ends.
  bool MatchString(std::u16string_view literal) {
    if (size_t(end_ - position_) < literal.size() ||
        std::u16string_view(position_, literal.size()) != literal) {
      return false;
    }
    position_ += literal.size();
    return true;
  }

  // Moves over character data in bulk and returns the units passed over. The
  // run ends before the first unit that is one of `a`, `b`, `c` (ASCII), a CR,
  // a unit XML refuses, any unit from U+D800 up, or, with `stop_at_c1`, DEL and
  // the C1 controls; or at the end of the buffer. Tabs and line feeds are
  // part of the run (and counted). What stopped the run is the caller's to
  // look at; TakeSpecial handles everything but the caller's own stops.
  template <bool stop_at_c1 = false>
  std::u16string_view ScanCharData(char16_t a, char16_t b, char16_t c) {
    const char16_t* const start = position_;
    const char16_t* p = position_;
    int lines = 0;
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi16(short(a)), vb = _mm_set1_epi16(short(b)),
                  vc = _mm_set1_epi16(short(c));
    const __m128i below_space = _mm_set1_epi16(0x1F), line_feed = _mm_set1_epi16(u'\n'),
                  tab = _mm_set1_epi16(u'\t'), zero = _mm_setzero_si128();
    // Signed comparison after flipping the top bit is the unsigned one.
    const __m128i flip = _mm_set1_epi16(short(0x8000)),
                  last_plain = _mm_set1_epi16(short(0xD7FF ^ 0x8000));
    const __m128i del = _mm_set1_epi16(0x7F), c1_span = _mm_set1_epi16(0x9F - 0x7F);
    while (end_ - p >= 8) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i is_lf = _mm_cmpeq_epi16(v, line_feed);
      const __m128i control = _mm_cmpeq_epi16(_mm_subs_epu16(v, below_space), zero);
      __m128i stop = _mm_or_si128(_mm_cmpeq_epi16(v, va),
                                  _mm_or_si128(_mm_cmpeq_epi16(v, vb), _mm_cmpeq_epi16(v, vc)));
      stop = _mm_or_si128(stop,
                          _mm_andnot_si128(_mm_or_si128(is_lf, _mm_cmpeq_epi16(v, tab)), control));
      stop = _mm_or_si128(stop, _mm_cmpgt_epi16(_mm_xor_si128(v, flip), last_plain));
      if constexpr (stop_at_c1) {
        const __m128i offset = _mm_sub_epi16(v, del);  // wraps below DEL
        stop = _mm_or_si128(stop, _mm_cmpeq_epi16(_mm_subs_epu16(offset, c1_span), zero));
      }
      const unsigned stop_mask = unsigned(_mm_movemask_epi8(stop));
      unsigned lf_mask = unsigned(_mm_movemask_epi8(is_lf));
      if (stop_mask == 0) {
        if (lf_mask) lines += std::popcount(lf_mask) / 2;
        p += 8;
        continue;
      }
      const unsigned first = unsigned(std::countr_zero(stop_mask));  // a byte index
      lf_mask &= (1u << first) - 1;
      if (lf_mask) lines += std::popcount(lf_mask) / 2;
      p += first / 2;
      line_ += lines;
      position_ = p;
      return {start, size_t(p - start)};
    }
#endif
    for (; p < end_; ++p) {
      const char16_t u = *p;
      if (u == a || u == b || u == c) break;
      if (u < 0x20) {
        if (u == u'\n') {
          ++lines;
        } else if (u != u'\t') {
          break;
        }
      } else if (u >= 0xD800 || (stop_at_c1 && u >= 0x7F && u <= 0x9F)) {
        break;
      }
    }
    line_ += lines;
    position_ = p;
    return {start, size_t(p - start)};
  }

  // Takes the unit that ended a ScanCharData run when it is character data:
  // a line end (appended as one LF; a CR LF is taken whole), a surrogate pair,
  // or a character from U+E000 to U+FFFD; appends it to `out` when given and
  // returns true. Anything else (a control, a lone surrogate, U+FFFE, U+FFFF,
  // the end of input) returns false and nothing moves.
  bool TakeSpecial(std::u16string* out) {
    using scanner_internal::IsHighSurrogate;
    using scanner_internal::IsLowSurrogate;
    if (position_ == end_) return false;
    const char16_t c = *position_;
    size_t units = 1;
    if (c == u'\r') {
      ++position_;
      if (position_ != end_ && *position_ == u'\n') ++position_;
      ++line_;
      if (out) out->push_back(u'\n');
      return true;
    }
    if (IsHighSurrogate(c)) {
      if (end_ - position_ < 2 || !IsLowSurrogate(position_[1])) return false;
      units = 2;
    } else if (!scanner_internal::IsXmlChar(c) || IsLowSurrogate(c)) {
      return false;
    }
    if (out) out->append(position_, units);
    position_ += units;
    return true;
  }

  // An XML name; false (nothing moves) when the next unit cannot start one.
  // Characters beyond the BMP count only as a surrogate pair of U+10000 to
  // U+EFFFF; a lone surrogate ends the name.
  bool ScanName(std::u16string_view* name) {
    const char16_t* p = position_;
    if (p == end_) return false;
    size_t units = NameUnitsAt(p, /*start=*/true);
    if (units == 0) return false;
    p += units;
    for (;;) {
      while (p < end_ && *p < 128 && scanner_internal::IsNameChar(*p)) ++p;
      if (p == end_ || *p < 128 || (units = NameUnitsAt(p, /*start=*/false)) == 0) break;
      p += units;
    }
    *name = {position_, size_t(p - position_)};
    position_ = p;
    return true;
  }

  // Decimal or hexadecimal digits; false when there is none. Values stop
  // growing once above kMaxCodePoint, so an overlong number still reads as too
  // large instead of wrapping.
  static constexpr uint32_t kMaxCodePoint = 0x10FFFF;
  bool ScanDecimal(uint32_t* value) {
    const char16_t* start = position_;
    uint32_t v = 0;
    while (position_ < end_ && text::IsDigit(*position_)) {
      if (v <= kMaxCodePoint) v = v * 10 + uint32_t(*position_ - u'0');
      ++position_;
    }
    *value = v;
    return position_ != start;
  }
  bool ScanHex(uint32_t* value) {
    const char16_t* start = position_;
    uint32_t v = 0;
    while (position_ < end_ && text::IsXDigit(*position_)) {
      const char16_t c = *position_;
      const uint32_t digit = c <= u'9' ? c - u'0' : (c | 0x20) - u'a' + 10;
      if (v <= kMaxCodePoint) v = v * 16 + digit;
      ++position_;
    }
    *value = v;
    return position_ != start;
  }

 private:
  // Counts `c`, just passed over, when it ends a line.
  void CountLineEnd(char16_t c) {
    if (c == u'\n' || (c == u'\r' && (position_ == end_ || *position_ != u'\n'))) ++line_;
  }

  // Units of the name character at `p` (< end_): 1, 2 for a pair, 0 for none.
  size_t NameUnitsAt(const char16_t* p, bool start) const {
    const char16_t c = *p;
    if (c >= 0xD800 && c <= 0xDFFF) {
      // High surrogates up to DB7F lead the pairs of U+10000..U+EFFFF.
      return c <= 0xDB7F && end_ - p >= 2 && scanner_internal::IsLowSurrogate(p[1]) ? 2 : 0;
    }
    return (start ? scanner_internal::IsNameStart(c) : scanner_internal::IsNameChar(c)) ? 1 : 0;
  }

  const char16_t* begin_ = nullptr;
  const char16_t* position_ = nullptr;
  const char16_t* end_ = nullptr;
  int line_ = 1;
};

}  // namespace xml
