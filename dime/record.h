// The DIME record layout: a 12-byte big-endian header, then OPTIONS, ID, TYPE
// and DATA, each padded with zeros to a multiple of 4 bytes.
//
//   word 0: VERSION(5) MB(1) ME(1) CF(1) TYPE_T(4) reserved(4) OPTIONS_LENGTH(16)
//   word 1: ID_LENGTH(16) TYPE_LENGTH(16)
//   word 2: DATA_LENGTH(32)
#pragma once

#include <cstddef>
#include <cstdint>

namespace dime {

inline constexpr size_t kHeaderSize = 12;
inline constexpr uint8_t kVersion = 1;
inline constexpr uint32_t kMaxTypeNameFormat = 15;   // TYPE_T is 4 bits
inline constexpr uint32_t kMaxFieldLength = 0xFFFF;  // OPTIONS, ID and TYPE lengths

// Type-name formats of TYPE_T.
inline constexpr uint32_t kTnfUnchanged = 0;  // continuation chunks
inline constexpr uint32_t kTnfMediaType = 1;
inline constexpr uint32_t kTnfAbsoluteUri = 2;
inline constexpr uint32_t kTnfUnknown = 3;
inline constexpr uint32_t kTnfNone = 4;

// Zero bytes that follow a field of `length` bytes.
constexpr uint32_t Padding(uint64_t length) { return static_cast<uint32_t>((4 - length % 4) % 4); }

struct RecordHeader {
  uint8_t version = kVersion;
  bool mb = false;  // first record of the message
  bool me = false;  // last record of the message
  bool cf = false;  // the payload continues in the next record
  uint8_t tnf = 0;  // 0..15
  uint16_t options_length = 0;
  uint16_t id_length = 0;
  uint16_t type_length = 0;
  uint32_t data_length = 0;

  friend bool operator==(const RecordHeader&, const RecordHeader&) = default;
};

// Writes the 12 header bytes. Only the low 5 bits of the version and 4 bits of
// the TNF are representable: the caller refuses larger values before this.
void EncodeHeader(const RecordHeader& header, uint8_t out[kHeaderSize]);
// Reads 12 header bytes; the reserved bits are ignored.
RecordHeader DecodeHeader(const uint8_t in[kHeaderSize]);

inline void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline uint16_t GetBe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t GetBe32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

}  // namespace dime
