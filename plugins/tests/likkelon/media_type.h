// Reading an attachment's type as a media type with parameters, and decoding
// a text attachment's bytes by its charset. Pure functions over UTF-8 text;
// spaces and upper case are ASCII only, whatever the locale.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace testsvc {

using MediaTypeParams = std::map<std::string, std::string>;

// Removes leading and trailing ASCII white space.
void TrimSpaces(std::string& text);

// Adds the name=value segments of `text` (separated by ';') to `params`:
// names trimmed and upper-cased, values trimmed and unquoted, case kept. A
// segment without '=' is ignored; a later name replaces an earlier one.
void ParseMediaTypeParams(std::string_view text, MediaTypeParams& params);

// The text before the first ';', trimmed and upper-cased, and the parameters
// after it.
void ParseMediaType(std::string_view type, std::string& mediaType, MediaTypeParams& params);

// The "CHARSET" parameter upper-cased, "US-ASCII" when there is none.
std::string CharsetOf(const MediaTypeParams& params);

// The bytes as text: UTF-16 little-endian (an odd last byte ignored, a
// byte-order mark kept), UTF-8 and US-ASCII up to the first malformed
// sequence; empty for any other charset.
std::u16string DecodeText(std::string_view bytes, std::string_view charset);

}  // namespace testsvc
