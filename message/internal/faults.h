// Raising the message library's faults: every one is a QVSOAPFault thrown by
// pointer, its text formatted into at most kMaxFaultText characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "xml/soap_fault.h"

namespace message::internal {

inline constexpr size_t kMaxFaultText = 511;
inline constexpr size_t kMaxParseErrorText = 63;

[[noreturn]] void ThrowFault(int code, std::u16string_view text, bool need_detail);
[[noreturn]] void ThrowFault(int code, std::u16string_view subcode, std::u16string_view subcode_ns,
                             std::u16string_view text, bool need_detail);
// Client in SOAP 1.1, Sender in SOAP 1.2.
[[noreturn]] inline void ThrowClient(std::u16string_view text, bool need_detail) {
  ThrowFault(xml::kFaultClient, text, need_detail);
}
// An unsupported encodingStyle: DataEncodingUnknown in SOAP 1.2, Client in 1.1.
[[noreturn]] void ThrowEncodingFault(int version, std::u16string_view text);

// `format` holds one %s, replaced by `name`; the result is cut to
// kMaxFaultText characters.
std::u16string FormatName(const char* format, std::u16string_view name);

}  // namespace message::internal
