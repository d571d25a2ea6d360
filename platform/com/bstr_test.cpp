#include "platform/com/bstr.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(BstrTest, LengthPrefixCountsEmbeddedNuls) {
  const char16_t data[] = {u'a', 0, u'b', 0, 0};
  BSTR b = SysAllocStringLen(data, 4);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 4u);
  EXPECT_EQ(SysStringByteLen(b), 8u);
  EXPECT_EQ(BstrView(b), std::u16string_view(data, 4));
  EXPECT_EQ(b[4], 0) << "terminated after the counted units";
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<char*>(b) - 4, 4);
  EXPECT_EQ(prefix, 8u) << "byte length just before the data";
  // SysAllocString stops at the first NUL.
  BSTR cut = SysAllocString(b);
  EXPECT_EQ(SysStringLen(cut), 1u);
  SysFreeString(cut);
  SysFreeString(b);
}

TEST(BstrTest, NullAndEmpty) {
  EXPECT_EQ(SysAllocString(static_cast<LPCOLESTR>(nullptr)), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  EXPECT_EQ(BstrView(nullptr), u"");
  SysFreeString(nullptr);

  BSTR empty = SysAllocString(u"");
  ASSERT_NE(empty, nullptr) << "empty is not null";
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);

  BSTR zeroed = SysAllocStringLen(nullptr, 3);
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(BstrView(zeroed), std::u16string_view(u"\0\0\0", 3));
  SysFreeString(zeroed);
}

TEST(BstrTest, ByteLengthKeepsOddCountsAndTerminates) {
  BSTR b = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringByteLen(b), 3u);
  EXPECT_EQ(SysStringLen(b), 1u);
  EXPECT_EQ(std::memcmp(b, "abc", 3), 0);
  const char* bytes = reinterpret_cast<const char*>(b);
  EXPECT_EQ(bytes[3], 0);
  EXPECT_EQ(bytes[4], 0);
  SysFreeString(b);

  BSTR z = SysAllocStringByteLen(nullptr, 2);
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(z[0], 0);
  SysFreeString(z);
}

TEST(BstrTest, ReAllocFromItsOwnText) {
  BSTR b = SysAllocString(u"hello world");
  ASSERT_EQ(SysReAllocString(&b, b + 6), 1);
  EXPECT_EQ(BstrView(b), u"world");
  ASSERT_EQ(SysReAllocStringLen(&b, b, 3), 1);
  EXPECT_EQ(BstrView(b), u"wor");
  ASSERT_EQ(SysReAllocString(&b, nullptr), 1);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(SysReAllocString(nullptr, u"x"), 0);
}

TEST(BstrTest, HugeLengthFailsCleanly) {
  EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(BstrTest, OwningWrapper) {
  Bstr a(u"abc");
  Bstr b = a;
  EXPECT_NE(a.Get(), b.Get());
  EXPECT_EQ(b.View(), u"abc");
  Bstr c = std::move(a);
  EXPECT_EQ(a.Get(), nullptr);
  EXPECT_EQ(c.Length(), 3u);
  *c.Receive() = SysAllocString(u"xy");
  EXPECT_EQ(c.View(), u"xy");
  BSTR raw = c.Detach();
  SysFreeString(raw);
}

}  // namespace
