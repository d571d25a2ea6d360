// DIME written and read independently of the server's library, so that
// tests of running servers check the wire against a second reading.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace server_testing {

struct DimePart {
  std::string id;
  std::string type;
  uint8_t tnf = 0;  // 1 media type, 2 absolute URI
  std::string data;
  bool operator==(const DimePart&) const = default;
};

// One record per part, unchunked.
std::string EncodeDime(const std::vector<DimePart>& parts);

// The parts of a whole, well-formed message (chunks joined); nothing when
// the bytes are not one, or do not end with it.
std::optional<std::vector<DimePart>> DecodeDime(std::string_view wire);

}  // namespace server_testing
