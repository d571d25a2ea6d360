// The XML Schema and SOAP encoding types values are decoded to and written
// from: VARTYPE codes, and kinds of our own above them.
#pragma once

#include <string_view>

namespace message {

// Own kinds of the type map, beyond the VARTYPE codes below 256.
inline constexpr int kTypeAny = 256;
inline constexpr int kTypeDate = 257;
inline constexpr int kTypeTime = 258;
inline constexpr int kTypeDateTime = 259;
inline constexpr int kTypeBase64 = 260;
inline constexpr int kTypeHex = 261;
inline constexpr int kTypeBoolean = 262;
inline constexpr int kTypeAnyUri = 263;

// The XML Schema local name's code; false for a name not in the map.
bool LookupXsdType(std::u16string_view local_name, int* code);

}  // namespace message
