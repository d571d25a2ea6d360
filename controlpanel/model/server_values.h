// The management calls' values as the control panel's pages hold them, and
// back: the endpoint list (SvcInfo) as rows of ten texts, the MIME map
// (MIMETypes) as rows of extension and type, texts, switches and integers.
// Every reader checks the answer's types, shape and pointers, so a broken or
// hostile answer fails the read instead of being read as garbage.
// Texts are UTF-8 on this side.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/variant.h"

namespace controlpanel {

// The columns of an endpoint row, in SvcInfo member order.
enum ServiceColumn : size_t {
  kColUri,
  kColService,
  kColPort,
  kColWsdlUrl,
  kColBodyHandler,
  kColHeaderHandlers,
  kColRoles,
  kColNextHop,
  kColNodeUri,
  kColEnabled,
  kServiceColumnCount
};
using ServiceRow = std::array<std::string, kServiceColumnCount>;

// Extension, then MIME type.
using MimeRow = std::array<std::string, 2>;

// `form` with its first "%s" replaced by `value` (never a format string).
std::string FillIn(std::string_view form, std::string_view value);

// The SvcInfo struct member of each column.
extern const std::array<const char16_t*, kServiceColumnCount> kSvcInfoMembers;

// The words of a blank-separated list; runs of blanks separate like one, and
// leading or trailing blanks give no empty word.
std::vector<std::string> SplitList(std::string_view cell);
// The words joined by single blanks.
std::string JoinList(const std::vector<std::string>& words);

// ASCII letters upper-cased, every other byte kept: the server's own rule for
// MIME map keys.
std::string AsciiUpper(std::string_view s);

// True when two service URIs name the same endpoint on the server, which
// keys "/x/*" and "/x" alike (one trailing "/*" removed); otherwise exact.
bool SameServiceUri(std::string_view a, std::string_view b);

// A text value: VT_BSTR, or VT_EMPTY / VT_NULL as the empty text. False for
// anything else (also behind VT_BYREF).
[[nodiscard]] bool ReadText(const VARIANT& v, std::string* out);
// A switch: VT_BOOL only; on exactly for VARIANT_TRUE.
[[nodiscard]] bool ReadSwitch(const VARIANT& v, bool* on);
// An integer through VariantChangeType to VT_I4.
[[nodiscard]] bool ReadInteger(const VARIANT& v, int32_t* out);

// SvcInfo (a one-dimensional VT_ARRAY|VT_VARIANT of VT_DISPATCH structs, any
// lower bound) into rows: lists joined by one blank, Enabled as "Yes"/"No", a
// missing member as empty text. On false `rows` holds the rows read before
// the element that failed.
[[nodiscard]] bool ReadSvcInfo(const VARIANT& svc_info, std::vector<ServiceRow>* rows);
// Rows into SvcInfo (lower bound 0): one struct of CLSID_SoapStruct per row,
// its members set in column order; lists split by SplitList (an empty cell an
// empty array); Enabled true exactly for "Yes". False, with `out` untouched,
// when an array, a struct or a text cannot be made.
[[nodiscard]] bool MakeSvcInfo(const std::vector<ServiceRow>& rows, Variant* out);

// MIMETypes: two dimensions in SafeArrayCreate order, the first of exactly 2
// (extension, type), the second one per row; any lower bounds.
[[nodiscard]] bool ReadMimeTypes(const VARIANT& mime_types, std::vector<MimeRow>* rows);
// Rows into MIMETypes with bounds (2, rows) and lower bounds 0.
[[nodiscard]] bool MakeMimeTypes(const std::vector<MimeRow>& rows, Variant* out);

}  // namespace controlpanel
