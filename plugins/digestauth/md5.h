// The MD5 digest (RFC 1321) as raw bytes and as upper-case hexadecimal, and
// the hexadecimal encoder the digest protocol writes nonces with. Shared by
// the digest-authentication processor and the control panel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace digestauth {

inline constexpr size_t kMd5DigestBytes = 16;

class Md5 {
 public:
  Md5() { Init(); }
  virtual ~Md5() = default;

  // Starts a new message.
  void Init();
  void Update(const void* bytes, size_t length);
  // Writes the digest of everything updated since the last Init and starts
  // a new message, so one object digests several messages in turn.
  void Final(uint8_t digest[kMd5DigestBytes]);
  // Final, then `out` is replaced by the 32 upper-case hexadecimal digits.
  void HexDigest(std::string& out);

 private:
  void Transform(const uint8_t block[64]);

  uint32_t state_[4];
  uint32_t count_[2];  // message bits, low word first
  uint8_t buffer_[64];
};

class HexEncoder {
 public:
  virtual ~HexEncoder() = default;
  // Appends two upper-case digits per byte, high nibble first; `out` keeps
  // what it held. Always true.
  bool Encode(const uint8_t* bytes, size_t length, std::string& out) const;
};

}  // namespace digestauth
