#include "dime/record.h"

#include <cassert>

namespace dime {

void EncodeHeader(const RecordHeader& h, uint8_t out[kHeaderSize]) {
  assert(h.version < 32 && h.tnf <= kMaxTypeNameFormat && "caller checks field widths");
  const uint32_t word = uint32_t{h.version} << 27 | uint32_t{h.mb} << 26 | uint32_t{h.me} << 25 |
                        uint32_t{h.cf} << 24 | uint32_t{h.tnf} << 20 | h.options_length;
  PutBe32(out, word);
  PutBe16(out + 4, h.id_length);
  PutBe16(out + 6, h.type_length);
  PutBe32(out + 8, h.data_length);
}

RecordHeader DecodeHeader(const uint8_t in[kHeaderSize]) {
  const uint32_t word = GetBe32(in);
  RecordHeader h;
  h.version = static_cast<uint8_t>(word >> 27);
  h.mb = (word >> 26) & 1;
  h.me = (word >> 25) & 1;
  h.cf = (word >> 24) & 1;
  h.tnf = static_cast<uint8_t>((word >> 20) & 0xF);
  h.options_length = static_cast<uint16_t>(word);
  h.id_length = GetBe16(in + 4);
  h.type_length = GetBe16(in + 6);
  h.data_length = GetBe32(in + 8);
  return h;
}

}  // namespace dime
