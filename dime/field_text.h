// A record's ID and TYPE as the message object's strings hold them. The
// fields are bytes on the wire, mostly UTF-8 but not always; an answer passed
// on must carry the bytes it came with, so the widening keeps every byte that
// is no UTF-8 as one unit of its own that the narrowing turns back into it.
#pragma once

#include <string>
#include <string_view>

namespace dime {

// Well-formed UTF-8 sequences become their characters; every other byte b
// (a stray, cut, overlong or surrogate-encoding byte) becomes U+DC00 + b, a
// lone low surrogate in U+DC80..U+DCFF that no well-formed sequence gives.
std::u16string WidenFieldText(std::string_view bytes);

// The inverse: a lone U+DC80..U+DCFF becomes the byte it stands for, a
// surrogate pair its four-byte form, any other lone surrogate its three-byte
// form, every other unit its UTF-8. NarrowFieldText(WidenFieldText(b)) == b
// for all bytes b.
std::string NarrowFieldText(std::u16string_view text);

}  // namespace dime
