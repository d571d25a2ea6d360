#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/base/base.h"

namespace {

std::u16string ToText(const GUID& g) {
  OLECHAR buf[39];
  EXPECT_EQ(StringFromGUID2(g, buf, 39), 39);
  return buf;
}

TEST(GuidTest, TextFormRoundTrips) {
  EXPECT_EQ(ToText(IID_IDispatch), u"{00020400-0000-0000-C000-000000000046}");
  const GUID g = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
  EXPECT_EQ(ToText(g), u"{12345678-9ABC-DEF0-0123-456789ABCDEF}");
  GUID back;
  ASSERT_EQ(CLSIDFromString(u"{12345678-9abc-def0-0123-456789abcdef}", &back), S_OK);
  EXPECT_EQ(back, g);
  ASSERT_EQ(IIDFromString(ToText(IID_IUnknown).c_str(), &back), S_OK);
  EXPECT_EQ(back, IID_IUnknown);
}

TEST(GuidTest, ShortBufferWritesNothing) {
  OLECHAR buf[39] = {u'x'};
  EXPECT_EQ(StringFromGUID2(GUID_NULL, buf, 38), 0);
  EXPECT_EQ(buf[0], u'x');
}

TEST(GuidTest, MalformedTextIsRejected) {
  const char16_t* const kBad[] = {
      u"",
      u"12345678-9abc-def0-0123-456789abcdef",     // no braces
      u"{12345678-9abc-def0-0123-456789abcdef",    // no closing brace
      u"{12345678-9abc-def0-0123-456789abcdef}x",  // trailing
      u"{12345678-9abc-def0-0123+456789abcdef}",   // wrong separator
      u"{1234567g-9abc-def0-0123-456789abcdef}",   // not hex
      u"{123456789abc-def0-0123-456789abcdef-}",   // dash misplaced
      u"Some.ProgId",
  };
  for (const char16_t* text : kBad) {
    GUID g = IID_IDispatch;
    EXPECT_EQ(CLSIDFromString(text, &g), CO_E_CLASSSTRING)
        << std::string(text, text + std::char_traits<char16_t>::length(text));
    EXPECT_EQ(g, IID_IDispatch) << "untouched on failure";
  }
  GUID g;
  EXPECT_EQ(CLSIDFromString(nullptr, &g), CO_E_CLASSSTRING);
}

TEST(GuidTest, CreatedGuidsAreRandomVersion4) {
  std::set<std::u16string> seen;
  for (int i = 0; i < 64; ++i) {
    GUID g;
    ASSERT_EQ(CoCreateGuid(&g), S_OK);
    EXPECT_EQ(g.Data3 >> 12, 4);
    EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
    EXPECT_TRUE(seen.insert(ToText(g)).second);
  }
  EXPECT_EQ(CoCreateGuid(nullptr), E_POINTER);
}

}  // namespace
