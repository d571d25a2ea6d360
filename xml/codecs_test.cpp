#include "xml/codecs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "platform/text/text.h"
#include "platform/com/variant.h"
#include "xml/namespaces.h"

namespace xml {
namespace {

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::string Encode64(std::string_view s) {
  std::string out = "junk";
  Base64Encode(reinterpret_cast<const uint8_t*>(s.data()), s.size(), out);
  return out;
}

// Decodes in the two calls callers make; "FAIL" when either refuses.
template <typename Decode>
std::string TwoCallDecode(Decode decode) {
  size_t count = 0;
  if (!decode(nullptr, &count)) return "FAIL";
  std::vector<uint8_t> buffer(count + 1, 0xEE);
  size_t written = 0;
  if (!decode(buffer.data(), &written)) return "FAIL";
  EXPECT_LE(written, count);
  EXPECT_EQ(buffer[count], 0xEE) << "wrote past the announced count";
  return std::string(buffer.begin(), buffer.begin() + written);
}

std::string Decode64(std::string_view text) {
  return TwoCallDecode([&](uint8_t* out, size_t* n) { return Base64Decode(text, out, n); });
}

TEST(CodecsTest, Base64Encode) {
  EXPECT_EQ(Encode64(std::string_view("\0", 1)), "AA==");
  EXPECT_EQ(Encode64(std::string_view("\0\0", 2)), "AAA=");
  EXPECT_EQ(Encode64(""), "");
  EXPECT_EQ(Encode64("Man"), "TWFu");
  EXPECT_EQ(Encode64("\xFB\xFF\xBF"), "+/+/");
  EXPECT_EQ(Encode64("hello world"), "aGVsbG8gd29ybGQ=");
}

TEST(CodecsTest, Base64Decode) {
  struct Case {
    std::string_view text;
    std::string_view bytes;  // "FAIL": refused
  } cases[] = {
      {"", ""},
      {"TWFu", "Man"},
      {"aGVsbG8gd29ybGQ=", "hello world"},
      {"QQ==", "A"},          // two letters and two pads give one byte
      {"QUI=", "AB"},
      {"QQ==TWFu", "AMan"},   // a padded group in the middle yields exactly its byte
      {"QUI=QQ==QUI=", "ABAAB"},
      {"TWFuT", "FAIL"},      // length 5
      {"QQ=a", "FAIL"},       // '=' third without '=' fourth
      {"=QQQ", "FAIL"},
      {"Q===", "FAIL"},
      {"TW Fu", "FAIL"},
      {"TW\nu", "FAIL"},
      {"TWF\xC3", "FAIL"},
  };
  for (const Case& c : cases) EXPECT_EQ(Decode64(c.text), c.bytes) << c.text;
  // Wide text, including units whose low byte would be a valid character.
  EXPECT_EQ(TwoCallDecode([](uint8_t* out, size_t* n) { return Base64Decode(u"TWFu", out, n); }),
            "Man");
  EXPECT_EQ(TwoCallDecode([](uint8_t* out, size_t* n) {
              return Base64Decode(std::u16string(u"TWF") + char16_t(0x0175), out, n);
            }),
            "FAIL");
}

TEST(CodecsTest, Base64RoundTripOfEveryByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(char(i));
  for (size_t n : {size_t(254), size_t(255), size_t(256)}) {
    EXPECT_EQ(Decode64(Encode64(all.substr(0, n))), all.substr(0, n));
  }
}

TEST(CodecsTest, Hex) {
  std::string out;
  const auto bytes = Bytes("\x01\xAB\xFF");
  HexCodec::Encode(bytes.data(), bytes.size(), out);
  EXPECT_EQ(out, "01ABFF");
  struct Case {
    std::string_view text, bytes;
  } cases[] = {
      {"01abFF", "\x01\xAB\xFF"}, {"", ""}, {"abc", "FAIL"}, {"0G", "FAIL"}, {"0x", "FAIL"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TwoCallDecode([&](uint8_t* o, size_t* n) { return HexCodec::Decode(c.text, o, n); }),
              c.bytes)
        << c.text;
  }
  EXPECT_EQ(TwoCallDecode([](uint8_t* o, size_t* n) { return HexCodec::Decode(u"7f", o, n); }),
            "\x7F");
  EXPECT_EQ(TwoCallDecode([](uint8_t* o, size_t* n) {
              return HexCodec::Decode(std::u16string(u"0") + char16_t(0x0141), o, n);
            }),
            "FAIL");
}

std::string FormatDateTime(double date) {
  XmlElement e(u"d", u"", u"d");
  e.SetText(u">");
  FormatXsdDateTime(date, e);
  return text::Narrow(e.GetText());
}

TEST(CodecsTest, XsdDateTimes) {
  struct Case {
    double date;
    const char* text;  // after the marker '>'; ">" alone: nothing appended
  } cases[] = {
      {0.0, ">1899-12-30T00:00:00Z"},
      {kMaxOleDate, ">9999-12-31T00:00:00Z"},
      {kMinOleDate, ">0100-01-01T00:00:00Z"},  // four year digits, always
      {-621199.0, ">0199-03-18T00:00:00Z"},
      {2958465.5, ">"},
      {kMinOleDate - 0.5, ">"},
      {0.99999999, ">1899-12-31T00:00:00Z"},  // under half a second before midnight
      {0.5, ">1899-12-30T12:00:00Z"},
      {-1.25, ">1899-12-29T06:00:00Z"},       // negative days, the fraction as it stands
      {36526.75, ">2000-01-01T18:00:00Z"},
      {36585.0, ">2000-02-29T00:00:00Z"},
      {45000.0 + 1.0 / 86400.0 * 3723.4, ">2023-03-15T01:02:03Z"},
      {std::numeric_limits<double>::quiet_NaN(), ">"},
      {std::numeric_limits<double>::infinity(), ">"},
      {-std::numeric_limits<double>::infinity(), ">"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatDateTime(c.date), c.text) << c.date;

  XmlElement e(u"d", u"", u"d");
  EXPECT_TRUE(FormatXsdDate(36526.75, e));
  EXPECT_TRUE(FormatXsdTime(36526.75, e));
  EXPECT_FALSE(FormatXsdTime(std::nan(""), e));
  EXPECT_EQ(e.GetText(), u"2000-01-0118:00:00Z");
}

TEST(CodecsTest, OleDateFields) {
  OleTm tm;
  ASSERT_TRUE(OleDateToTm(0.0, &tm));
  EXPECT_EQ(tm.day_of_week, 7);  // 30 December 1899 was a Saturday
  EXPECT_EQ(tm.day_of_year, 364);
  ASSERT_TRUE(OleDateToTm(36891.0, &tm));  // 31 December 2000, a Sunday in a leap year
  EXPECT_EQ(tm.day_of_week, 1);
  EXPECT_EQ(tm.day_of_year, 366);
  ASSERT_TRUE(OleDateToTm(-1.0, &tm));
  EXPECT_EQ(tm.day_of_week, 6);
  std::tm crt;
  OleTmToCrtTm(tm, &crt);
  EXPECT_EQ(crt.tm_year, -1);
  EXPECT_EQ(crt.tm_mon, 11);
  EXPECT_EQ(crt.tm_mday, 29);
  EXPECT_EQ(crt.tm_wday, 5);
  EXPECT_EQ(crt.tm_yday, 362);
  OleTm untouched;
  untouched.year = 42;
  EXPECT_FALSE(OleDateToTm(std::nan(""), &untouched));
  EXPECT_EQ(untouched.year, 42);
}

TEST(CodecsTest, NamespaceTests) {
  EXPECT_TRUE(IsXmlSchemaNamespace(kXmlSchemaNamespace));
  EXPECT_TRUE(IsXmlSchemaNamespace(kXmlSchema1999Namespace));
  EXPECT_TRUE(IsXmlSchemaNamespace(kXmlSchema2000Namespace));
  EXPECT_FALSE(IsXmlSchemaNamespace(kXmlSchemaInstanceNamespace));
  EXPECT_EQ(SchemaInstanceNamespace(kXmlSchema1999Namespace), kXmlSchemaInstance1999Namespace);
  EXPECT_EQ(SchemaInstanceNamespace(kXmlSchemaNamespace), kXmlSchemaInstanceNamespace);
  EXPECT_TRUE(SchemaInstanceNamespace(u"urn:other").empty());
  EXPECT_TRUE(IsSoapEncodingNamespace(kSoap11EncodingNamespace));
  EXPECT_TRUE(IsSoapEncodingNamespace(kSoap12EncodingNamespace));
  EXPECT_FALSE(IsSoapEncodingNamespace(kSoap12EnvelopeNamespace));
}

}  // namespace
}  // namespace xml

namespace xml {
namespace {

TEST(CodecsTest, ByteArraysAppendToTheElementText) {
  SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 4);
  ASSERT_NE(bytes, nullptr);
  uint8_t* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(bytes, reinterpret_cast<void**>(&data)), S_OK);
  for (uint8_t i = 0; i < 4; ++i) data[i] = uint8_t(0xFC + i);
  SafeArrayUnaccessData(bytes);

  XmlElement e(u"e", u"", u"e");
  e.SetText(u"[");
  EXPECT_TRUE(EncodeBase64Binary(bytes, e));
  EXPECT_TRUE(EncodeHexBinary(bytes, e));
  EXPECT_EQ(e.GetText(), u"[/P3+/w==FCFDFEFF");
  EXPECT_EQ(bytes->cLocks, 0u);

  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  SAFEARRAY* matrix = SafeArrayCreate(VT_UI1, 2, bounds);
  SAFEARRAY* longs = SafeArrayCreateVector(VT_I4, 0, 1);
  EXPECT_FALSE(EncodeBase64Binary(matrix, e));
  EXPECT_FALSE(EncodeHexBinary(longs, e));
  EXPECT_FALSE(EncodeHexBinary(nullptr, e));
  EXPECT_EQ(e.GetText(), u"[/P3+/w==FCFDFEFF");
  SafeArrayDestroy(bytes);
  SafeArrayDestroy(matrix);
  SafeArrayDestroy(longs);
}

TEST(CodecsTest, MessageIdsAreFreshUuids) {
  std::u16string a, b;
  ASSERT_TRUE(MakeMessageId(a));
  ASSERT_TRUE(MakeMessageId(b));
  EXPECT_NE(a, b);
  ASSERT_EQ(a.size(), 41u);
  EXPECT_TRUE(a.starts_with(u"uuid:"));
  for (size_t i = 5; i < a.size(); ++i) {
    const char16_t c = a[i];
    if (i == 13 || i == 18 || i == 23 || i == 28) {
      EXPECT_EQ(c, u'-') << i;
    } else {
      EXPECT_TRUE((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F')) << i;
    }
  }
}

}  // namespace
}  // namespace xml
