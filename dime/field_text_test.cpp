#include "dime/field_text.h"

#include <gtest/gtest.h>

#include <string>

namespace dime {
namespace {

TEST(FieldTextTest, EveryByteComesBackAndOnlyUtf8IsReadAsText) {
  const struct {
    std::string bytes;
    std::u16string text;
  } cases[] = {
      {"", u""},
      {"image/png", u"image/png"},
      {"urn:\xC3\xBC\xF0\x9F\x98\x80", u"urn:\u00fc\U0001F600"},
      {"urn:\xAD", u"urn:\xDCAD"},  // a stray continuation byte
      {"\xFF\xFE", u"\xDCFF\xDCFE"},
      {"cut\xE2\x82", u"cut\xDCE2\xDC82"},      // a sequence cut at the end
      {"\xC0\xAF", u"\xDCC0\xDCAF"},            // overlong '/'
      {"\xED\xB2\xAD", u"\xDCED\xDCB2\xDCAD"},  // an encoded escape unit
      {"\xED\xA0\xBD\xED\xB8\x80", u"\xDCED\xDCA0\xDCBD\xDCED\xDCB8\xDC80"},  // encoded pair
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(WidenFieldText(c.bytes), c.text);
    EXPECT_EQ(NarrowFieldText(c.text), c.bytes);
  }
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(NarrowFieldText(WidenFieldText(all)), all);
}

// Strings made by callers rather than read from a record.
TEST(FieldTextTest, OtherLoneSurrogatesKeepTheirThreeByteForm) {
  EXPECT_EQ(NarrowFieldText(u"\xD800x"), "\xED\xA0\x80x");
  EXPECT_EQ(NarrowFieldText(u"\xDC7F"), "\xED\xB1\xBF");
  EXPECT_EQ(NarrowFieldText(u"\xDD00"), "\xED\xB4\x80");
}

}  // namespace
}  // namespace dime
