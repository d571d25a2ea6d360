// UTF-8 <-> UTF-16 for XML input and output. Supplementary characters travel
// as surrogate pairs in UTF-16 and as one four-byte sequence in UTF-8; a
// three-byte surrogate is still accepted on input (older peers write them).
#pragma once

#include <cstddef>
#include <memory_resource>
#include <string>
#include <string_view>

namespace xml {

// Writes `code_point` (at most U+10FFFF) as UTF-8 to out[0..3] and returns the
// byte count, 1 to 4. A lone surrogate value is written as three bytes.
size_t Utf8EncodeChar(char* out, char32_t code_point);

// Reads one sequence from [bytes, bytes + length) into *code_point and returns
// the bytes consumed, or 0 when the sequence is malformed: overlong, a stray
// continuation byte, above U+10FFFF, a 5- or 6-byte form, or cut off by the
// end of the input. *code_point is unchanged on failure.
size_t Utf8DecodeChar(char32_t* code_point, const char* bytes, size_t length);

// Empties `out`, then decodes sequence by sequence, appending one unit or a
// surrogate pair for each. Returns the number of UTF-16 units written, or 0
// for an empty input or at the first malformed sequence; `out` then keeps what
// was decoded before it.
size_t Utf8ToWide(const char* bytes, size_t length, std::u16string& out);
size_t Utf8ToWide(const char* bytes, size_t length, std::pmr::u16string& out);
inline size_t Utf8ToWide(std::string_view bytes, std::u16string& out) {
  return Utf8ToWide(bytes.data(), bytes.size(), out);
}

// Writes the UTF-8 form of text[0..length) into a new buffer from malloc, which
// the caller frees with free(), and returns its byte count (the buffer is not
// NUL-terminated). A valid surrogate pair becomes one four-byte sequence.
// Returns 0 and sets *out to null for an empty input or when allocation fails.
size_t WideToUtf8Buffer(const char16_t* text, size_t length, char** out);

}  // namespace xml
