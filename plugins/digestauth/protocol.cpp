#include "plugins/digestauth/protocol.h"

namespace digestauth {
namespace {

void Feed(Md5& md5, std::string_view text) { md5.Update(text.data(), text.size()); }

Digest Finish(Md5& md5) {
  Digest d;
  md5.Final(d.data());
  return d;
}

}  // namespace

std::string UserHash(std::string_view userId, std::string_view realm, std::string_view password) {
  Md5 md5;
  Feed(md5, userId);
  Feed(md5, ":");
  Feed(md5, realm);
  Feed(md5, ":");
  Feed(md5, password);
  std::string hex;
  md5.HexDigest(hex);
  return hex;
}

Digest ClientProof(std::string_view userHash, std::string_view nonce,
                   const std::string* clientNonce) {
  Md5 md5;
  Feed(md5, userHash);
  Feed(md5, ":");
  Feed(md5, nonce);
  if (clientNonce) {
    Feed(md5, ":");
    Feed(md5, *clientNonce);
  }
  return Finish(md5);
}

Digest ServerProof(std::string_view userHash, std::string_view newNonce,
                   std::string_view clientNonce) {
  Md5 md5;
  Feed(md5, userHash);
  Feed(md5, ":");
  Feed(md5, newNonce);
  Feed(md5, ":");
  Feed(md5, clientNonce);
  return Finish(md5);
}

bool SameDigest(const Digest& a, const uint8_t* b) {
  uint8_t diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= uint8_t(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace digestauth
