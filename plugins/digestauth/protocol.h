// The digest-authentication header protocol: the names of its four header
// blocks and their members, the status strings, the fault text that goes
// with every unauthenticated answer, and the three digests. The server side
// and the control panel's client both build on this file.
//
// Digest input is UTF-8 on both sides (a surrogate pair is one 4-byte
// sequence); nothing but the ":" separators shown is hashed.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "plugins/digestauth/md5.h"

namespace digestauth {

using Digest = std::array<uint8_t, kMd5DigestBytes>;

// Blocks, all in xml::kDigestAuthNamespace.
inline constexpr std::u16string_view kClientAuthBlock = u"ClientAuth";
inline constexpr std::u16string_view kInitChallengeBlock = u"InitChallenge";
inline constexpr std::u16string_view kChallengeBlock = u"Challenge";
inline constexpr std::u16string_view kNextChallengeBlock = u"NextChallenge";

// Members, unqualified.
inline constexpr std::u16string_view kNonceMember = u"Nonce";
inline constexpr std::u16string_view kAuthMember = u"Auth";
inline constexpr std::u16string_view kUserIdMember = u"UserID";
inline constexpr std::u16string_view kRealmMember = u"Realm";
inline constexpr std::u16string_view kClientNonceMember = u"ClientNonce";
inline constexpr std::u16string_view kStatusMember = u"Status";
inline constexpr std::u16string_view kServerAuthMember = u"ServerAuth";

inline constexpr std::string_view kStatusNoCredentials = "Unauthenticated.NoCredentials";
inline constexpr std::string_view kStatusInvalidRealm = "Unauthenticated.InvalidRealm";
inline constexpr std::string_view kStatusInvalidUser = "Unauthenticated.InvalidUser";
inline constexpr std::string_view kStatusExpiredNonce = "Unauthenticated.ExpiredNonce";
inline constexpr std::string_view kStatusInvalidResponse = "Unauthenticated.InvalidResponse";
inline constexpr std::string_view kStatusAuthenticated = "Authenticated";

// The fault of every unauthenticated answer: code Client (SOAP 1.1) or
// Sender (SOAP 1.2), no detail or subcode, reason language "en".
inline constexpr std::u16string_view kAuthFaultText =
    u"Authentication failed: missing, malformed, or invalid credentials.";
inline constexpr std::u16string_view kAuthFaultCode11 = u"Client";
inline constexpr std::u16string_view kAuthFaultCode12 = u"Sender";
inline constexpr std::u16string_view kAuthFaultLang = u"en";

// 32 upper-case hex digits of MD5(userId ":" realm ":" password).
std::string UserHash(std::string_view userId, std::string_view realm, std::string_view password);
// The client's proof: MD5(userHash ":" nonce [":" clientNonce]); the client
// nonce part only when `clientNonce` is given.
Digest ClientProof(std::string_view userHash, std::string_view nonce,
                   const std::string* clientNonce);
// The server's proof: MD5(userHash ":" newNonce ":" clientNonce), over the
// nonce issued in the same answer.
Digest ServerProof(std::string_view userHash, std::string_view newNonce,
                   std::string_view clientNonce);

// Equal digests, compared without an early exit.
bool SameDigest(const Digest& a, const uint8_t* b);

}  // namespace digestauth
