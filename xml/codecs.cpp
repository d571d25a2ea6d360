#include "xml/codecs.h"

#include <array>
#include <cmath>
#include <cstdio>

#include "platform/base/base.h"
#include "platform/com/oledate.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"

namespace xml {

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kBase64Invalid = 0xFF;
constexpr uint8_t kBase64Pad = 64;

constexpr std::array<uint8_t, 256> MakeBase64Table() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kBase64Invalid;
  for (uint8_t i = 0; i < 64; ++i) table[uint8_t(kBase64Alphabet[i])] = i;
  table['='] = kBase64Pad;
  return table;
}
constexpr std::array<uint8_t, 256> kBase64Table = MakeBase64Table();

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Table entry of a text unit; units above 0xFF are outside every alphabet.
template <typename Char>
uint8_t Base64Value(Char c) {
  const auto u = static_cast<std::make_unsigned_t<Char>>(c);
  return u > 0xFF ? kBase64Invalid : kBase64Table[u];
}

template <typename Char>
size_t GroupPadding(const Char* group) {
  if (group[3] != Char('=')) return 0;
  return group[2] == Char('=') ? 2 : 1;
}

template <typename Char>
bool DecodeBase64(std::basic_string_view<Char> text, uint8_t* out, size_t* count) {
  if (text.size() % 4 != 0) return false;
  const size_t groups = text.size() / 4;
  if (!out) {
    size_t padding = 0;
    for (size_t g = 0; g < groups; ++g) padding += GroupPadding(text.data() + 4 * g);
    *count = 3 * groups - padding;
    return true;
  }
  uint8_t* o = out;
  for (size_t g = 0; g < groups; ++g) {
    const Char* in = text.data() + 4 * g;
    const uint8_t a = Base64Value(in[0]), b = Base64Value(in[1]);
    const uint8_t c = Base64Value(in[2]), d = Base64Value(in[3]);
    // Valid entries are below 0x80, so the OR is 0xFF only when one is invalid.
    if ((a | b | c | d) == kBase64Invalid || a == kBase64Pad || b == kBase64Pad) return false;
    if (c == kBase64Pad && d != kBase64Pad) return false;
    *o++ = uint8_t(a << 2 | b >> 4);
    if (c == kBase64Pad) continue;
    *o++ = uint8_t(b << 4 | c >> 2);
    if (d == kBase64Pad) continue;
    *o++ = uint8_t(c << 6 | d);
  }
  *count = size_t(o - out);
  return true;
}

template <typename Char>
int HexValue(Char c) {
  return text::HexDigitValue(static_cast<std::make_unsigned_t<Char>>(c));
}

template <typename Char>
bool DecodeHex(std::basic_string_view<Char> text, uint8_t* out, size_t* count) {
  if (text.size() % 2 != 0) return false;
  if (!out) {
    *count = text.size() / 2;
    return true;
  }
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexValue(text[i]), lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i / 2] = uint8_t(hi << 4 | lo);
  }
  *count = text.size() / 2;
  return true;
}

enum class XsdForm { DateTime, Date, Time };

// The form's text in `buffer`; its length, or 0 for a date OleDateToTm refuses.
int FormatXsd(double date, XsdForm form, char (&buffer)[64]) {
  OleTm tm;
  if (!OleDateToTm(date, &tm)) return 0;
  int n = 0;
  switch (form) {
    case XsdForm::DateTime:
      n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.year,
                        tm.month, tm.day, tm.hour, tm.minute, tm.second);
      break;
    case XsdForm::Date:
      n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", tm.year, tm.month, tm.day);
      break;
    case XsdForm::Time:
      n = std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02dZ", tm.hour, tm.minute, tm.second);
      break;
  }
  return n <= 0 || size_t(n) >= sizeof buffer ? 0 : n;
}

template <typename String>
bool AppendXsd(double date, XsdForm form, String& out) {
  char buffer[64];
  const int n = FormatXsd(date, form, buffer);
  if (n == 0) return false;
  out.append(buffer, buffer + n);
  return true;
}

// Appends the encoding to `out`, written in place after its old end.
template <typename String>
void AppendBase64(const uint8_t* bytes, size_t count, String& out) {
  const size_t start = out.size();
  out.resize(start + (count + 2) / 3 * 4);
  auto* o = out.data() + start;
  size_t i = 0;
  for (; i + 3 <= count; i += 3) {
    const uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
    *o++ = kBase64Alphabet[v >> 18];
    *o++ = kBase64Alphabet[(v >> 12) & 0x3F];
    *o++ = kBase64Alphabet[(v >> 6) & 0x3F];
    *o++ = kBase64Alphabet[v & 0x3F];
  }
  if (count - i == 1) {
    *o++ = kBase64Alphabet[bytes[i] >> 2];
    *o++ = kBase64Alphabet[(bytes[i] & 0x03) << 4];
    *o++ = '=';
    *o++ = '=';
  } else if (count - i == 2) {
    const uint32_t v = uint32_t(bytes[i]) << 8 | bytes[i + 1];
    *o++ = kBase64Alphabet[v >> 10];
    *o++ = kBase64Alphabet[(v >> 4) & 0x3F];
    *o++ = kBase64Alphabet[(v << 2) & 0x3F];
    *o++ = '=';
  }
}

template <typename String>
void AppendHex(const uint8_t* bytes, size_t count, String& out) {
  const size_t start = out.size();
  out.resize(start + count * 2);
  auto* o = out.data() + start;
  for (size_t i = 0; i < count; ++i) {
    *o++ = kHexDigits[bytes[i] >> 4];
    *o++ = kHexDigits[bytes[i] & 0x0F];
  }
}

// Runs `append` over the bytes of a one-dimensional byte array, appending to
// `out`.
template <typename String, typename Append>
bool AppendByteArray(SAFEARRAY* array, String& out, Append append) {
  if (!array || SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1) return false;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array, &data))) return false;
  append(static_cast<const uint8_t*>(data), size_t(array->rgsabound[0].cElements), out);
  SafeArrayUnaccessData(array);
  return true;
}

constexpr auto kBase64Appender = [](const uint8_t* bytes, size_t count, auto& out) {
  AppendBase64(bytes, count, out);
};
constexpr auto kHexAppender = [](const uint8_t* bytes, size_t count, auto& out) {
  AppendHex(bytes, count, out);
};

}  // namespace

void Base64Encode(const uint8_t* bytes, size_t count, std::string& out) {
  out.clear();
  AppendBase64(bytes, count, out);
}

bool Base64Decode(std::string_view text, uint8_t* out, size_t* count) {
  return DecodeBase64(text, out, count);
}

bool Base64Decode(std::u16string_view text, uint8_t* out, size_t* count) {
  return DecodeBase64(text, out, count);
}

void HexCodec::Encode(const uint8_t* bytes, size_t count, std::string& out) {
  out.clear();
  AppendHex(bytes, count, out);
}

bool HexCodec::Decode(std::string_view text, uint8_t* out, size_t* count) {
  return DecodeHex(text, out, count);
}

bool HexCodec::Decode(std::u16string_view text, uint8_t* out, size_t* count) {
  return DecodeHex(text, out, count);
}

bool EncodeBase64Binary(SAFEARRAY* array, XmlElement& element) {
  return AppendByteArray(array, element.GetMutableText(), kBase64Appender);
}

bool EncodeHexBinary(SAFEARRAY* array, XmlElement& element) {
  return AppendByteArray(array, element.GetMutableText(), kHexAppender);
}

bool EncodeBase64Binary(SAFEARRAY* array, std::string& out) {
  return AppendByteArray(array, out, kBase64Appender);
}

bool EncodeHexBinary(SAFEARRAY* array, std::string& out) {
  return AppendByteArray(array, out, kHexAppender);
}

bool OleDateToTm(double date, OleTm* tm) {
  // Written as a negated range test so that NaN fails too.
  if (!(date >= kMinOleDate && date <= kMaxOleDate)) return false;
  constexpr double kHalfSecond = 1.0 / 172800.0;
  date += date >= 0 ? kHalfSecond : -kHalfSecond;
  const double whole = std::trunc(date);
  const long days = static_cast<long>(whole);
  long seconds = static_cast<long>(std::fabs(date - whole) * 86400.0);
  if (seconds > 86399) seconds = 86399;

  int year, month, day;
  com::CivilFromDays(days, &year, &month, &day);
  tm->year = year;
  tm->month = month;
  tm->day = day;
  tm->hour = int(seconds / 3600);
  tm->minute = int(seconds / 60 % 60);
  tm->second = int(seconds % 60);
  tm->day_of_week = int(((days % 7 + 7) % 7 + 6) % 7) + 1;  // day 0 was a Saturday
  tm->day_of_year = int(days - com::DaysFromCivil(year, 1, 1)) + 1;
  return true;
}

void OleTmToCrtTm(const OleTm& fields, std::tm* out) {
  *out = std::tm{};
  out->tm_year = fields.year - 1900;
  out->tm_mon = fields.month - 1;
  out->tm_mday = fields.day;
  out->tm_hour = fields.hour;
  out->tm_min = fields.minute;
  out->tm_sec = fields.second;
  out->tm_wday = fields.day_of_week - 1;
  out->tm_yday = fields.day_of_year - 1;
}

bool FormatXsdDateTime(double date, XmlElement& element) {
  return AppendXsd(date, XsdForm::DateTime, element.GetMutableText());
}

bool FormatXsdDate(double date, XmlElement& element) {
  return AppendXsd(date, XsdForm::Date, element.GetMutableText());
}

bool FormatXsdTime(double date, XmlElement& element) {
  return AppendXsd(date, XsdForm::Time, element.GetMutableText());
}

bool FormatXsdDateTime(double date, std::string& out) {
  return AppendXsd(date, XsdForm::DateTime, out);
}

bool FormatXsdDate(double date, std::string& out) { return AppendXsd(date, XsdForm::Date, out); }

bool FormatXsdTime(double date, std::string& out) { return AppendXsd(date, XsdForm::Time, out); }

bool MakeMessageId(std::u16string& out) {
  out.clear();
  GUID guid;
  if (FAILED(CoCreateGuid(&guid))) return false;
  char16_t braced[39];
  if (StringFromGUID2(guid, braced, 39) != 39) return false;
  out.reserve(41);
  out.append(u"uuid:").append(braced + 1, 36);
  return true;
}

bool IsXmlSchemaNamespace(std::u16string_view uri) {
  return uri == kXmlSchemaNamespace || uri == kXmlSchema1999Namespace ||
         uri == kXmlSchema2000Namespace;
}

std::u16string_view SchemaInstanceNamespace(std::u16string_view schema_uri) {
  if (schema_uri == kXmlSchemaNamespace) return kXmlSchemaInstanceNamespace;
  if (schema_uri == kXmlSchema1999Namespace) return kXmlSchemaInstance1999Namespace;
  if (schema_uri == kXmlSchema2000Namespace) return kXmlSchemaInstance2000Namespace;
  return {};
}

bool IsSoapEncodingNamespace(std::u16string_view uri) {
  return uri == kSoap11EncodingNamespace || uri == kSoap12EncodingNamespace;
}

}  // namespace xml
