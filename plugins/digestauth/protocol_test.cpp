#include "plugins/digestauth/protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace digestauth {
namespace {

std::string Hex(const Digest& d) {
  std::string out;
  HexEncoder().Encode(d.data(), d.size(), out);
  return out;
}

// Expected values computed independently with coreutils, e.g.
//   h=$(printf '%s:%s:%s' "$user" "$realm" "$password" | md5sum | cut -c1-32 | tr a-f A-F)
//   printf '%s:%s:%s' "$h" "$nonce" "$clientNonce" | md5sum
// with user "J\xc3\xbcrgen" (U+00FC) and password "pa\xf0\x9f\x98\x80ss" (U+1F600
// as one 4-byte sequence).
constexpr char kUser[] = "J\xc3\xbcrgen";
constexpr char kRealm[] = "Lab:West";
constexpr char kPassword[] = "pa\xf0\x9f\x98\x80ss";
constexpr char kNonce[] = "0123456789ABCDEF0123456789ABCDEF";
constexpr char kNewNonce[] = "FEDCBA9876543210FEDCBA9876543210";

TEST(DigestProtocolTest, FormulasMatchIndependentVectors) {
  const std::string hash = UserHash(kUser, kRealm, kPassword);
  EXPECT_EQ(hash, "421BB4540FD884BBF6B61345B374C6E6");
  EXPECT_EQ(UserHash("admin", "Quorvel", "secret"), "53BE744A75CB775E269FB1AA60A6A3E3");

  EXPECT_EQ(Hex(ClientProof(hash, kNonce, nullptr)), "CBAE7820444E3B5A5226BD63A8851928");
  const std::string clientNonce = "c-1";
  EXPECT_EQ(Hex(ClientProof(hash, kNonce, &clientNonce)), "9F2849224969A208FC8DFE16D799A0CA");
  EXPECT_EQ(Hex(ServerProof(hash, kNewNonce, clientNonce)), "9C32C56315A5C5F3C422A919C55796FB");

  // An empty client nonce still adds its separator.
  const std::string empty;
  EXPECT_NE(ClientProof(hash, kNonce, &empty), ClientProof(hash, kNonce, nullptr));
}

TEST(DigestProtocolTest, SameDigestComparesEveryByte) {
  const Digest a = ClientProof("h", "n", nullptr);
  Digest b = a;
  EXPECT_TRUE(SameDigest(a, b.data()));
  for (size_t i = 0; i < b.size(); ++i) {
    Digest c = a;
    c[i] ^= 0x01;
    EXPECT_FALSE(SameDigest(a, c.data())) << i;
  }
}

}  // namespace
}  // namespace digestauth
