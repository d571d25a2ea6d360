#include "server/braskel/testing/dime_codec.h"

#include <cstdint>

namespace server_testing {

namespace {

void Put16(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v));
}
void Put32(std::string& out, uint32_t v) {
  Put16(out, v >> 16);
  Put16(out, v & 0xFFFF);
}
void Padded(std::string& out, std::string_view field) {
  out.append(field);
  out.append((4 - field.size() % 4) % 4, '\0');
}

uint32_t BigEndian(std::string_view s, size_t at, size_t width) {
  uint32_t v = 0;
  for (size_t i = 0; i < width; ++i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

}  // namespace

std::string EncodeDime(const std::vector<DimePart>& parts) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    const DimePart& p = parts[i];
    const uint32_t word = 1u << 27 | (i == 0 ? 1u << 26 : 0) |
                          (i + 1 == parts.size() ? 1u << 25 : 0) | uint32_t{p.tnf} << 20;
    Put32(out, word);
    Put16(out, static_cast<uint32_t>(p.id.size()));
    Put16(out, static_cast<uint32_t>(p.type.size()));
    Put32(out, static_cast<uint32_t>(p.data.size()));
    Padded(out, p.id);
    Padded(out, p.type);
    Padded(out, p.data);
  }
  return out;
}

std::optional<std::vector<DimePart>> DecodeDime(std::string_view wire) {
  std::vector<DimePart> parts;
  size_t at = 0;
  bool chunked = false;
  auto field = [&](size_t length, std::string* into) {
    const size_t padded = length + (4 - length % 4) % 4;
    if (wire.size() - at < padded) return false;
    if (into) into->append(wire.substr(at, length));
    at += padded;
    return true;
  };
  for (;;) {
    if (wire.size() - at < 12) return std::nullopt;
    const uint32_t word = BigEndian(wire, at, 4);
    const size_t idLength = BigEndian(wire, at + 4, 2), typeLength = BigEndian(wire, at + 6, 2),
                 dataLength = BigEndian(wire, at + 8, 4);
    at += 12;
    if (word >> 27 != 1 || ((word >> 26 & 1) != 0) != parts.empty()) return std::nullopt;
    if (!chunked) parts.push_back({"", "", static_cast<uint8_t>(word >> 20 & 0xF), ""});
    DimePart& p = parts.back();
    if (!field(word & 0xFFFF, nullptr) || !field(idLength, &p.id) || !field(typeLength, &p.type) ||
        !field(dataLength, &p.data)) {
      return std::nullopt;
    }
    chunked = (word >> 24 & 1) != 0;
    if ((word >> 25 & 1) != 0 && !chunked) break;
  }
  if (at != wire.size()) return std::nullopt;
  return parts;
}

}  // namespace server_testing
