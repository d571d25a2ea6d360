#include "message/digest_block_types.h"

namespace message {
namespace {

constexpr DigestMemberType kClientAuth[] = {{u"Nonce", u"string"},
                                            {u"Auth", u"base64Binary"},
                                            {u"UserID", u"string"},
                                            {u"Realm", u"string"},
                                            {u"ClientNonce", u"string"}};
constexpr DigestMemberType kInitChallenge[] = {
    {u"UserID", u"string"}, {u"Realm", u"string"}, {u"ClientNonce", u"string"}};
constexpr DigestMemberType kChallenge[] = {
    {u"Status", u"string"}, {u"Nonce", u"string"}, {u"Realm", u"string"}};
constexpr DigestMemberType kNextChallenge[] = {{u"Status", u"string"},
                                               {u"Nonce", u"string"},
                                               {u"ClientNonce", u"string"},
                                               {u"ServerAuth", u"base64Binary"}};

}  // namespace

std::span<const DigestMemberType> DigestBlockMembers(std::u16string_view name) {
  if (name == u"ClientAuth") return kClientAuth;
  if (name == u"InitChallenge") return kInitChallenge;
  if (name == u"Challenge") return kChallenge;
  if (name == u"NextChallenge") return kNextChallenge;
  return {};
}

}  // namespace message
