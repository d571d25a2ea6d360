#include "plugins/digestauth/md5.h"

#include <cstring>

#include "xml/codecs.h"

namespace digestauth {
namespace {

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void PutLittleEndian(uint32_t v, uint8_t* out) {
  for (int i = 0; i < 4; ++i) out[i] = uint8_t(v >> (8 * i));
}

}  // namespace

void Md5::Init() {
  state_[0] = 0x67452301;
  state_[1] = 0xEFCDAB89;
  state_[2] = 0x98BADCFE;
  state_[3] = 0x10325476;
  count_[0] = count_[1] = 0;
}

void Md5::Transform(const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) {
    x[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 |
           uint32_t(block[4 * i + 2]) << 16 | uint32_t(block[4 * i + 3]) << 24;
  }
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (b & d) | (c & ~d);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    const uint32_t next = b + RotateLeft(a + f + kSine[i] + x[g], kShift[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void Md5::Update(const void* bytes, size_t length) {
  const uint8_t* in = static_cast<const uint8_t*>(bytes);
  size_t buffered = (count_[0] >> 3) & 0x3F;
  const uint64_t bits = (uint64_t(count_[1]) << 32 | count_[0]) + (uint64_t(length) << 3);
  count_[0] = uint32_t(bits);
  count_[1] = uint32_t(bits >> 32);
  size_t i = 0;
  if (buffered + length >= 64) {
    i = 64 - buffered;
    memcpy(buffer_ + buffered, in, i);
    Transform(buffer_);
    for (; i + 64 <= length; i += 64) Transform(in + i);
    buffered = 0;
  }
  if (length > i) memcpy(buffer_ + buffered, in + i, length - i);
}

void Md5::Final(uint8_t digest[kMd5DigestBytes]) {
  uint8_t bits[8];
  PutLittleEndian(count_[0], bits);
  PutLittleEndian(count_[1], bits + 4);
  const size_t buffered = (count_[0] >> 3) & 0x3F;
  const size_t pad = buffered < 56 ? 56 - buffered : 120 - buffered;
  static constexpr uint8_t kPadding[64] = {0x80};
  Update(kPadding, pad);
  Update(bits, 8);
  for (int i = 0; i < 4; ++i) PutLittleEndian(state_[i], digest + 4 * i);
  Init();
}

void Md5::HexDigest(std::string& out) {
  uint8_t digest[kMd5DigestBytes];
  Final(digest);
  out.clear();
  HexEncoder().Encode(digest, sizeof digest, out);
}

bool HexEncoder::Encode(const uint8_t* bytes, size_t length, std::string& out) const {
  std::string digits;
  xml::HexCodec::Encode(bytes, length, digits);
  out += digits;
  return true;
}

}  // namespace digestauth
