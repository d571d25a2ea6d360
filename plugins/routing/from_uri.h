// This node's rp:from value, kept in the registry so that an operator can
// name the node; a fixed address stands in until one is stored.
#pragma once

#include <string>
#include <string_view>

namespace routing {

inline constexpr char kFromUriKey[] = "SOFTWARE\\Quorvel Software\\Quorvel WS-RP\\1.0";
inline constexpr char kFromUriValue[] = "FromURI";
inline constexpr std::u16string_view kDefaultFromUri = u"wsrp-node@localhost";
// Longest stored value used, in bytes without its terminator.
inline constexpr size_t kMaxFromUriLength = 127;

// The stored REG_SZ value. A missing value or one of another type is
// replaced by the default, which is returned; a value longer than
// kMaxFromUriLength gives the default and stays as stored; an unopenable key
// gives the default and stores nothing.
std::u16string ReadFromURI();

}  // namespace routing
