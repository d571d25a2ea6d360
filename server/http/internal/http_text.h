// Text pieces shared by the HTTP replies and the request logs, so both spell
// months and numbers the same way.
#pragma once

#include <cstdint>
#include <string>

namespace server::internal {

// English month abbreviations, January first, as HTTP dates and the common
// log format write them.
inline constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Appends the decimal digits of `n`.
inline void AppendNumber(std::string* out, uint64_t n) {
  char buffer[24];
  char* end = buffer + sizeof buffer;
  char* at = end;
  do {
    *--at = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  out->append(at, static_cast<size_t>(end - at));
}

}  // namespace server::internal
