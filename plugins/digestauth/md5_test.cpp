#include "plugins/digestauth/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace digestauth {
namespace {

struct Vector {
  std::string message;
  std::string hex;
};

// RFC 1321's suite, in upper case, then messages around the 56-byte padding
// limit and the 64-byte block.
const Vector kVectors[] = {
    {"", "D41D8CD98F00B204E9800998ECF8427E"},
    {"a", "0CC175B9C0F1B6A831C399E269772661"},
    {"abc", "900150983CD24FB0D6963F7D28E17F72"},
    {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
    {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "D174AB98D277D9F5A5611C2C9F419D9F"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57EDF4A22BE3C955AC49DA2E2107B67A"},
    // printf 'x%.0s' $(seq N) | md5sum
    {std::string(55, 'x'), "04364420E25C512FD958A70738AA8F72"},
    {std::string(56, 'x'), "668A72D5BA17F08E62DABCAFAD6DB14B"},
    {std::string(64, 'x'), "C1BB4F81D892B2D57947682AEB252456"},
    {std::string(129, 'x'), "3926841D393C00C3F36260E5ACE10DC1"},
};

std::string Whole(const std::string& message) {
  Md5 md5;
  md5.Update(message.data(), message.size());
  std::string hex = "stale";
  md5.HexDigest(hex);
  return hex;
}

TEST(Md5Test, ReproducesTheSuite) {
  for (const Vector& v : kVectors) {
    EXPECT_EQ(Whole(v.message), v.hex) << v.message;
  }
}

TEST(Md5Test, AnySplitGivesTheSameDigest) {
  for (const Vector& v : kVectors) {
    const std::string whole = Whole(v.message);
    // Splits on both sides of the first block boundary, and byte by byte.
    for (size_t cut : {size_t(1), size_t(55), size_t(56), size_t(63), size_t(64), size_t(65)}) {
      if (cut > v.message.size()) continue;
      Md5 md5;
      md5.Update(v.message.data(), cut);
      md5.Update(v.message.data() + cut, v.message.size() - cut);
      std::string hex;
      md5.HexDigest(hex);
      EXPECT_EQ(hex, whole) << v.message.size() << " cut at " << cut;
    }
    Md5 md5;
    for (char c : v.message) md5.Update(&c, 1);
    std::string hex;
    md5.HexDigest(hex);
    EXPECT_EQ(hex, whole) << v.message.size() << " byte by byte";
  }
}

TEST(Md5Test, OneObjectReusedEqualsFreshOnes) {
  Md5 reused;
  for (const Vector& v : kVectors) {
    reused.Update(v.message.data(), v.message.size());
    uint8_t digest[kMd5DigestBytes];
    reused.Final(digest);
    std::string hex;
    HexEncoder().Encode(digest, sizeof digest, hex);
    EXPECT_EQ(hex, Whole(v.message)) << v.message;
  }
}

TEST(HexEncoderTest, AppendsUpperCaseDigits) {
  const uint8_t bytes[] = {0x00, 0xAB, 0xFF};
  std::string out = "kept:";
  EXPECT_TRUE(HexEncoder().Encode(bytes, sizeof bytes, out));
  EXPECT_EQ(out, "kept:00ABFF");
  EXPECT_TRUE(HexEncoder().Encode(bytes, 0, out));
  EXPECT_EQ(out, "kept:00ABFF");
}

}  // namespace
}  // namespace digestauth
