// Value codecs for XML Schema lexical forms: base64 and hexadecimal byte
// arrays, OLE Automation dates as xsd:dateTime / date / time, "uuid:" message
// identifiers, and the namespace tests of the SOAP encoding. None of them
// throws; failure is reported by the result and leaves outputs as stated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "xml/xml_element.h"

struct SAFEARRAY;

namespace xml {

// ---- base64 (RFC 4648 alphabet, '=' padding, no line breaks) ---------------

// Replaces `out` with the encoding of bytes[0..count).
void Base64Encode(const uint8_t* bytes, size_t count, std::string& out);

// Two calls: with `out` null, sets *count to the decoded size and returns
// true when the length is a multiple of 4 (the text is checked only by the
// second call). With `out` holding at least that many bytes, decodes and sets
// *count to the bytes written. False for a length that is not a multiple of 4,
// a character outside the alphabet, '=' in the first or second place of a
// group, or '=' in the third place without '=' in the fourth. A padded group
// may stand in the middle; it yields its one or two bytes and decoding goes on.
bool Base64Decode(std::string_view text, uint8_t* out, size_t* count);
bool Base64Decode(std::u16string_view text, uint8_t* out, size_t* count);

// ---- hexadecimal ----------------------------------------------------------

class HexCodec {
 public:
  // Replaces `out` with two upper-case digits per byte, high nibble first.
  static void Encode(const uint8_t* bytes, size_t count, std::string& out);
  // As Base64Decode: null `out` only sets *count (half the length). Digits of
  // either case; false for an odd length or any other character.
  static bool Decode(std::string_view text, uint8_t* out, size_t* count);
  static bool Decode(std::u16string_view text, uint8_t* out, size_t* count);
};

// Encode a one-dimensional byte SAFEARRAY (its first dimension's element
// count) and append the text to the element's text. False (nothing appended)
// for a null array, one of another shape or type, or one that cannot be locked.
bool EncodeBase64Binary(SAFEARRAY* array, XmlElement& element);
bool EncodeHexBinary(SAFEARRAY* array, XmlElement& element);
// The same appended to `out` (ASCII): writers that stream their output keep
// no element.
bool EncodeBase64Binary(SAFEARRAY* array, std::string& out);
bool EncodeHexBinary(SAFEARRAY* array, std::string& out);

// ---- dates ----------------------------------------------------------------

// An OLE date's calendar fields. Months and days count from 1; day_of_week is
// 1 (Sunday) to 7; day_of_year is 1 to 366.
struct OleTm {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int day_of_week = 0;
  int day_of_year = 0;
};

// The range of OLE dates: 1 January 100 to 31 December 9999, both included.
inline constexpr double kMinOleDate = -657434.0;
inline constexpr double kMaxOleDate = 2958465.0;

// Days since 30 December 1899 (proleptic Gregorian), the time as the fraction
// of the absolute value, rounded to the nearest second. False (and *tm
// unchanged) for a date out of range or not finite.
bool OleDateToTm(double date, OleTm* tm);
// The C library's form: year - 1900, months, weekdays and year days from 0.
void OleTmToCrtTm(const OleTm& fields, std::tm* out);

// Append "YYYY-MM-DDThh:mm:ssZ", "YYYY-MM-DD" or "hh:mm:ssZ" (years with at
// least four digits) to the element's text; false and nothing appended for a
// date that OleDateToTm refuses.
bool FormatXsdDateTime(double date, XmlElement& element);
bool FormatXsdDate(double date, XmlElement& element);
bool FormatXsdTime(double date, XmlElement& element);
// The same appended to `out` (ASCII).
bool FormatXsdDateTime(double date, std::string& out);
bool FormatXsdDate(double date, std::string& out);
bool FormatXsdTime(double date, std::string& out);

// ---- identifiers and namespaces ------------------------------------------

// Replaces `out` with "uuid:" and a new random GUID (36 upper-case hex digits
// and hyphens). False (and `out` empty) when no GUID could be made.
bool MakeMessageId(std::u16string& out);

// The XML Schema namespaces of the 2001, 1999 and 2000/10 editions.
bool IsXmlSchemaNamespace(std::u16string_view uri);
// The schema-instance namespace of the same edition; empty for any other URI.
std::u16string_view SchemaInstanceNamespace(std::u16string_view schema_uri);
// The SOAP 1.1 and SOAP 1.2 encoding namespaces.
bool IsSoapEncodingNamespace(std::u16string_view uri);

}  // namespace xml
