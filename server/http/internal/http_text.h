// Text pieces shared by the HTTP replies and the request logs, so both spell
// months and numbers the same way.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace server::internal {

// English month abbreviations, January first, as HTTP dates and the common
// log format write them.
inline constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Appends the decimal digits of `n`.
inline void AppendNumber(std::string* out, uint64_t n) {
  char buffer[24];
  const int len = std::snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(n));
  out->append(buffer, static_cast<size_t>(len));
}

}  // namespace server::internal
