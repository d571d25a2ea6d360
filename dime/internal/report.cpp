#include "dime/internal/report.h"

#include <cstdio>

#include "platform/service/eventlog.h"
#include "platform/text/text.h"

namespace dime::internal {

void ReportError(std::u16string_view key) {
  // One entry of at most 127 characters; the key is passed as data.
  char text[128];
  std::snprintf(text, sizeof text, "Error: %s", text::Narrow(key).c_str());
  HANDLE source = RegisterEventSourceA(nullptr, kEventSource);
  if (source == nullptr) return;
  const char* strings[] = {text};
  ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

}  // namespace dime::internal
