// XmlScanner: the parser's character cursor over a UTF-16 buffer. It never
// reads outside [begin, end), and it keeps the true line number: the count of
// line feeds before the cursor, plus one, whichever way the cursor moves.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/text/text.h"

namespace xml {

namespace scanner_internal {

// ASCII answers inline; the tables of text.h decide the rest. Markup is
// almost all ASCII, and the per-character calls showed in profiles.
enum : uint8_t { kSpace = 1, kNameStart = 2, kNameChar = 4 };

constexpr std::array<uint8_t, 128> MakeAsciiClasses() {
  std::array<uint8_t, 128> t{};
  for (int c = 0; c < 128; ++c) {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool start = alpha || c == '_' || c == ':';
    const bool name = start || (c >= '0' && c <= '9') || c == '-' || c == '.';
    const bool space = c == ' ' || (c >= '\t' && c <= '\r');
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
    if (c == u'\n') ++line_;
    return c;
  }

  // Undoes one real advance of NextChar; a line feed stepped back over is no
  // longer counted.
  void UngetChar() {
    assert(position_ > begin_ && "UngetChar without a preceding advance");
    if (position_ == begin_) return;
    if (*--position_ == u'\n') --line_;
  }

  // Skips spacing; true when at least one unit was skipped.
  bool SkipSpaces() {
    const char16_t* start = position_;
    while (position_ < end_ && scanner_internal::IsSpace(*position_)) {
      if (*position_ == u'\n') ++line_;
      ++position_;
    }
    return position_ != start;
  }

  // Consumes `c` when it is next; otherwise nothing moves.
  bool MatchChar(char16_t c) {
    if (position_ == end_ || *position_ != c) return false;
    NextChar();
    return true;
  }

  // Consumes `literal` when it follows; otherwise nothing moves. Literals hold
  // no line feeds.
  bool MatchString(std::u16string_view literal) {
    if (size_t(end_ - position_) < literal.size() ||
        std::u16string_view(position_, literal.size()) != literal) {
      return false;
    }
    position_ += literal.size();
    return true;
  }

  // Advances while `is_stop` is false for the next unit; returns the units
  // passed over. Stops at the end of the buffer.
  template <typename IsStop>
  std::u16string_view ScanRun(IsStop is_stop) {
    const char16_t* start = position_;
    while (position_ < end_ && !is_stop(*position_)) {
      if (*position_ == u'\n') ++line_;
      ++position_;
    }
    return {start, size_t(position_ - start)};
  }

  // An XML name; false (nothing moves) when the next unit cannot start one.
  bool ScanName(std::u16string_view* name) {
    if (position_ == end_ || !scanner_internal::IsNameStart(*position_)) return false;
    const char16_t* start = position_++;
    while (position_ < end_ && scanner_internal::IsNameChar(*position_)) ++position_;
    *name = {start, size_t(position_ - start)};
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
  const char16_t* begin_ = nullptr;
  const char16_t* position_ = nullptr;
  const char16_t* end_ = nullptr;
  int line_ = 1;
};

}  // namespace xml
