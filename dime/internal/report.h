// Reports a reader or writer error key to the event log, as the library's
// callers and operators expect it: "Error: <key>" under "Quorvel DIME Parser".
#pragma once

#include <string_view>

namespace dime::internal {

inline constexpr char kEventSource[] = "Quorvel DIME Parser";

void ReportError(std::u16string_view key);

}  // namespace dime::internal
