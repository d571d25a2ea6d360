#include "platform/text/text.h"

#include <gtest/gtest.h>

#include <string_view>
#include <utility>

namespace text {
namespace {

TEST(Utf8Test, DecodesTheFourLengthsAndRejectsMalformedForms) {
  struct Case {
    std::string bytes;
    size_t used;  // 0 = malformed
    char32_t cp;
  };
  const Case cases[] = {
      {"A", 1, U'A'},
      {"\xC3\xA9", 2, 0xE9},
      {"\xE2\x82\xAC", 3, 0x20AC},
      {"\xF0\x9F\x98\x80", 4, 0x1F600},
      {"\xED\xA0\xBD", 3, 0xD83D},  // a surrogate in three bytes is kept
      {"\xC0\x80", 0, 0},           // overlong NUL
      {"\xE0\x80\xBC", 0, 0},       // overlong '<'
      {"\xF0\x90\x80\xBC", 4, 0x1003C},
      {"\xF4\x90\x80\x80", 0, 0},       // above U+10FFFF
      {"\xF8\x88\x80\x80\xBC", 0, 0},   // five-byte form
      {"\x80", 0, 0},                   // lone continuation
      {"\xE2\x82", 0, 0},               // runs past the end
      {"\xE2\x28\xA1", 0, 0},           // bad continuation
  };
  for (const Case& c : cases) {
    char32_t cp = 0;
    size_t used = Utf8DecodeOne(reinterpret_cast<const unsigned char*>(c.bytes.data()),
                                c.bytes.size(), &cp);
    EXPECT_EQ(used, c.used) << testing::PrintToString(c.bytes);
    if (c.used) {
      EXPECT_EQ(cp, c.cp) << testing::PrintToString(c.bytes);
    }
  }
}

TEST(Utf8Test, NarrowAndWidenRoundTripSupplementaryCharacters) {
  const std::u16string wide = u"a\u00e9\u20ac\U0001F600z";
  const std::string narrow = Narrow(wide);
  EXPECT_EQ(narrow, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
  EXPECT_EQ(Widen(narrow), wide);
  // A lone high surrogate keeps its three-byte form.
  EXPECT_EQ(Narrow(std::u16string(1, char16_t(0xD800))), "\xED\xA0\x80");
  // Malformed bytes become U+FFFD, one per byte skipped.
  EXPECT_EQ(Widen("a\xFF" "b"), u"a\uFFFDb");
}

TEST(Utf8Test, TruncateNeverSplitsASequence) {
  std::string s = "ab\xE2\x82\xAC";
  TruncateUtf8(s, 4);
  EXPECT_EQ(s, "ab");
  s = "ab\xE2\x82\xAC";
  TruncateUtf8(s, 5);
  EXPECT_EQ(s, "ab\xE2\x82\xAC");
}

TEST(CharClassTest, ControlCharactersAreTheC0RangeAndDelete) {
  const std::pair<std::string_view, bool> cases[] = {
      {"", false},         {"host:80 x~", false}, {"h\xC3\xA9", false}, {"a\rb", true},
      {"a\nb", true},      {"\tab", true},        {"x\x7F", true},       {"x\x1F", true},
      {std::string_view("a\0b", 3), true},
  };
  for (const auto& [s, expected] : cases) {
    EXPECT_EQ(HasControlCharacter(s), expected) << s;
  }
}

TEST(CharClassTest, TablesDoNotDependOnLocale) {
  EXPECT_TRUE(IsSpace(u' '));
  EXPECT_TRUE(IsSpace(u'\n'));
  EXPECT_TRUE(IsSpace(0x3000));
  EXPECT_FALSE(IsSpace(0xA0));
  EXPECT_TRUE(IsAlpha(u'q'));
  EXPECT_TRUE(IsAlpha(0xE9));
  EXPECT_FALSE(IsAlpha(0xD7));
  EXPECT_FALSE(IsAlpha(u'1'));
  EXPECT_FALSE(IsDigit(0x0661));  // Arabic-Indic digits are not ASCII digits
  EXPECT_TRUE(IsXmlNameStart(u'_'));
  EXPECT_TRUE(IsXmlNameStart(0xD83D));
  EXPECT_FALSE(IsXmlNameStart(u'-'));
  EXPECT_TRUE(IsXmlNameChar(u'-'));
  EXPECT_TRUE(IsCntrl(0x85));
}

TEST(NumberTest, WToIAndWcsToULReadLikeTheCLibrary) {
  struct Case {
    std::u16string text;
    int as_int;
    uint32_t as_ulong;
  };
  const Case cases[] = {
      {u"42", 42, 42},
      {u"  -7x", -7, 0xFFFFFFF9u},
      {u"+15", 15, 15},
      {u"abc", 0, 0},
      {u"", 0, 0},
      {u"99999999999", 2147483647, 0xFFFFFFFFu},
      {u"-99999999999", -2147483647 - 1, 0xFFFFFFFFu},
      {u"4294967295", 2147483647, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WToI(c.text), c.as_int) << Narrow(c.text);
    EXPECT_EQ(WcsToUL(c.text), c.as_ulong) << Narrow(c.text);
  }
  size_t used = 99;
  WcsToUL(u"x1", &used);
  EXPECT_EQ(used, 0u);
  WcsToUL(u" 12a", &used);
  EXPECT_EQ(used, 3u);
}

TEST(LogTextTest, ControlBytesAndQuotesCannotBreakALine) {
  struct Case {
    std::string in;
    bool escape_quote;
    std::string out;
  } cases[] = {
      {"GET / HTTP/1.0", false, "GET / HTTP/1.0"},
      {"a\nb\r\x7F", false, "a\\x0Ab\\x0D\\x7F"},
      {"say \"hi\"", false, "say \"hi\""},
      {"say \"hi\"", true, "say \\x22hi\\x22"},
      {std::string("\0\xC3\xA9", 3), false, "\\x00\xC3\xA9"},  // UTF-8 passes through
  };
  for (const Case& c : cases) {
    std::string out = "<";
    AppendLogSafe(out, c.in, c.escape_quote);
    EXPECT_EQ(out, "<" + c.out);
  }
}

TEST(FormatTest, FormatsLongTextAndCapsOnCharacterBoundaries) {
  const std::string long_arg(1000, 'x');
  EXPECT_EQ(Format("<%s>", long_arg.c_str()).size(), 1002u);
  EXPECT_EQ(WFormat("%d-%s", 7, "\xC3\xA9"), u"7-\u00e9");
  EXPECT_EQ(FormatCapped(3, "%s", "ab\xC3\xA9"), "ab");
}

}  // namespace
}  // namespace text
