#include "dime/field_text.h"

#include "platform/text/text.h"

namespace dime {

std::u16string WidenFieldText(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t at = 0;
  while (at < bytes.size()) {
    char32_t cp = 0;
    const size_t used = text::Utf8DecodeOne(p + at, bytes.size() - at, &cp);
    // The decoder takes encoded surrogates; here they are bytes like any
    // other stray one, or they could not be told from the escapes.
    if (used == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(static_cast<char16_t>(0xDC00 + p[at]));
      ++at;
      continue;
    }
    text::AppendUtf16(cp, out);
    at += used;
  }
  return out;
}

std::string NarrowFieldText(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  char buffer[4];
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    char32_t cp = u;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      out.push_back(static_cast<char>(u - 0xDC00));
      continue;
    }
    out.append(buffer, text::Utf8EncodeOne(cp, buffer));
  }
  return out;
}

}  // namespace dime
