#include "dime/record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace dime {
namespace {

using Bytes = std::array<uint8_t, kHeaderSize>;

struct HeaderCase {
  const char* name;
  RecordHeader header;
  Bytes wire;
};

RecordHeader Make(bool mb, bool me, bool cf, uint8_t tnf, uint16_t opt, uint16_t id, uint16_t type,
                  uint32_t data) {
  RecordHeader h;
  h.mb = mb;
  h.me = me;
  h.cf = cf;
  h.tnf = tnf;
  h.options_length = opt;
  h.id_length = id;
  h.type_length = type;
  h.data_length = data;
  return h;
}

const HeaderCase kCases[] = {
    {"single record",
     Make(true, true, false, 2, 0, 0, 41, 100),
     {0x0E, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x29, 0x00, 0x00, 0x00, 0x64}},
    {"first of a chunked payload",
     Make(true, false, true, 1, 7, 3, 10, 4084),
     {0x0D, 0x10, 0x00, 0x07, 0x00, 0x03, 0x00, 0x0A, 0x00, 0x00, 0x0F, 0xF4}},
    {"middle chunk",
     Make(false, false, true, 0, 0, 0, 0, 4084),
     {0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F, 0xF4}},
    {"empty last chunk",
     Make(false, true, false, 0, 0, 0, 0, 0),
     {0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {"every field at its widest",
     Make(false, false, false, 15, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFF),
     {0x08, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
};

TEST(RecordHeader, EncodesAndDecodesByteExact) {
  for (const HeaderCase& c : kCases) {
    SCOPED_TRACE(c.name);
    Bytes out{};
    EncodeHeader(c.header, out.data());
    EXPECT_EQ(out, c.wire);
    EXPECT_EQ(DecodeHeader(c.wire.data()), c.header);
  }
}

TEST(RecordHeader, ReservedBitsAndOtherVersionsDecode) {
  Bytes wire = {0x13, 0x3F, 0x00, 0x04, 0, 0, 0, 0, 0, 0, 0, 8};
  const RecordHeader h = DecodeHeader(wire.data());
  EXPECT_EQ(h.version, 2);
  EXPECT_FALSE(h.mb);
  EXPECT_TRUE(h.me);
  EXPECT_TRUE(h.cf);
  EXPECT_EQ(h.tnf, 3);
  EXPECT_EQ(h.options_length, 4);
  EXPECT_EQ(h.data_length, 8u);
}

TEST(RecordHeader, PaddingRoundsUpToFourBytes) {
  const struct {
    uint64_t length;
    uint32_t padding;
  } cases[] = {{0, 0}, {1, 3}, {2, 2}, {3, 1}, {4, 0}, {41, 3}, {0xFFFFFFFF, 1}, {0x100000000, 0}};
  for (const auto& c : cases) EXPECT_EQ(Padding(c.length), c.padding) << c.length;
}

}  // namespace
}  // namespace dime
