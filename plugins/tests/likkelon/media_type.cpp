#include "plugins/tests/likkelon/media_type.h"

#include "platform/text/text.h"
#include "xml/utf8.h"

namespace testsvc {

namespace {

std::string Trimmed(std::string_view text) {
  std::string s(text);
  TrimSpaces(s);
  return s;
}

std::string UpperCased(std::string s) {
  for (char& c : s) c = text::AsciiToUpper(c);
  return s;
}

}  // namespace

void TrimSpaces(std::string& text) {
  size_t begin = 0;
  while (begin < text.size() && text::IsAsciiSpace(text[begin])) ++begin;
  size_t end = text.size();
  while (end > begin && text::IsAsciiSpace(text[end - 1])) --end;
  text = text.substr(begin, end - begin);
}

void ParseMediaTypeParams(std::string_view text, MediaTypeParams& params) {
  for (;;) {
    const size_t semicolon = text.find(';');
    const std::string_view segment = text.substr(0, semicolon);
    const size_t equals = segment.find('=');
    if (equals != std::string_view::npos) {
      std::string value = Trimmed(segment.substr(equals + 1));
      const size_t first = value.find('"');
      if (first != std::string::npos) {
        const size_t last = value.rfind('"');
        value = last == first ? value.substr(first + 1) : value.substr(first + 1, last - first - 1);
      }
      params[UpperCased(Trimmed(segment.substr(0, equals)))] = std::move(value);
    }
    if (semicolon == std::string_view::npos) return;
    text.remove_prefix(semicolon + 1);
  }
}

void ParseMediaType(std::string_view type, std::string& mediaType, MediaTypeParams& params) {
  const size_t semicolon = type.find(';');
  mediaType = UpperCased(Trimmed(type.substr(0, semicolon)));
  ParseMediaTypeParams(semicolon == std::string_view::npos ? type : type.substr(semicolon + 1),
                       params);
}

std::string CharsetOf(const MediaTypeParams& params) {
  const auto it = params.find("CHARSET");
  return it == params.end() ? std::string("US-ASCII") : UpperCased(it->second);
}

std::u16string DecodeText(std::string_view bytes, std::string_view charset) {
  std::u16string text;
  if (charset == "UTF-16") {
    text.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
  } else if (charset == "UTF-8" || charset == "US-ASCII") {
    xml::Utf8ToWide(bytes, text);
  }
  return text;
}

}  // namespace testsvc
