#include "xml/utf8.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace xml {
namespace {

TEST(Utf8Test, DecodeChar) {
  struct Case {
    std::string_view bytes;
    size_t used;  // 0: malformed
    char32_t cp;
  } cases[] = {
      {"A", 1, U'A'},
      {"\xC3\xA9", 2, 0xE9},
      {"\xE2\x82\xAC", 3, 0x20AC},
      {"\xED\xA0\xBD", 3, 0xD83D},          // a surrogate half, kept for older peers
      {"\xF0\x9F\x98\x80", 4, 0x1F600},     // the whole value, not its low 16 bits
      {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
      {"\xF4\x90\x80\x80", 0, 0},           // above U+10FFFF
      {"\xC0\x80", 0, 0},                   // overlong
      {"\xE0\x80\xBC", 0, 0},               // overlong '<'
      {"\x80", 0, 0},                       // lone continuation byte
      {"\xF8\x88\x80\x80\xBC", 0, 0},       // five-byte form
      {"\xFC\x80\x80\x80\x80\xBC", 0, 0},   // six-byte form
      {"\xE2\x82", 0, 0},                   // cut off by the end
      {"\xC3\x41", 0, 0},                   // bad continuation
  };
  for (const Case& c : cases) {
    char32_t cp = 0;
    EXPECT_EQ(Utf8DecodeChar(&cp, c.bytes.data(), c.bytes.size()), c.used)
        << ::testing::PrintToString(c.bytes);
    if (c.used) {
      EXPECT_EQ(cp, c.cp);
    }
  }
}

TEST(Utf8Test, ToWideStopsAtTheFirstMalformedSequence) {
  std::u16string out = u"old";
  EXPECT_EQ(Utf8ToWide("", out), 0u);
  EXPECT_EQ(out, u"");
  EXPECT_EQ(Utf8ToWide("a\xF0\x9F\x98\x80z", out), 4u);
  EXPECT_EQ(out, u"a\U0001F600z");
  EXPECT_EQ(Utf8ToWide("ab\xF0\x90\x80\xBC\xFF" "cd", out), 0u);
  EXPECT_EQ(out, u"ab\U0001003C");
}

TEST(Utf8Test, WideToUtf8PairsBecomeFourBytes) {
  const std::u16string in =
      std::u16string(u"a\u00E9\u20AC\U0001F600") + char16_t(0xDC00) + char16_t(0xD800) + u"z";
  char* buffer = nullptr;
  const size_t n = WideToUtf8Buffer(in.data(), in.size(), &buffer);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(std::string(buffer, n),
            "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xED\xB0\x80\xED\xA0\x80z");
  std::free(buffer);
  EXPECT_EQ(WideToUtf8Buffer(u"", 0, &buffer), 0u);
  EXPECT_EQ(buffer, nullptr);
  char out[4];
  EXPECT_EQ(Utf8EncodeChar(out, 0xD800), 3u);
  EXPECT_EQ(Utf8EncodeChar(out, 0x10FFFF), 4u);
}

}  // namespace
}  // namespace xml
