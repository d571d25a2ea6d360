// The digest-authentication header blocks' own types, as the digest header
// schema (plugins/digestauth/digest_header.xsd) gives them. Every message
// writes these blocks as SOAP-encoded structs of these types, whatever its
// endpoint's description says: an endpoint whose description never mentions
// them (a document/literal one, say) still answers with a challenge.
#pragma once

#include <span>
#include <string_view>

namespace message {

struct DigestMemberType {
  std::u16string_view name;  // unqualified
  std::u16string_view type;  // in the XML Schema namespace
};

// The members of the block `name` of the digest-authentication namespace, in
// schema order; empty for a name that is no digest block.
std::span<const DigestMemberType> DigestBlockMembers(std::u16string_view name);

}  // namespace message
