#include "platform/service/eventlog.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace {

struct EventSource {
  std::string name;
};

int SyslogPriority(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return LOG_ERR;
    case EVENTLOG_WARNING_TYPE:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

void AppendToFile(const char* path, const std::string& line) {
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // One write per entry: appends from several processes do not interleave.
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  close(fd);
}

void ReportRegistryRefusal(const std::string& line) {
  if (HANDLE log = RegisterEventSourceA(nullptr, "Quorvel Registry")) {
    const char* strings[] = {line.c_str()};
    ReportEventA(log, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(log);
  }
}

// The platform library is loaded before anything reads the registry.
[[maybe_unused]] const bool g_registry_reports = [] {
  registry::SetRefusalReporter(&ReportRegistryRefusal);
  return true;
}();

}  // namespace

HANDLE RegisterEventSourceA(const char* server, const char* source) {
  if (server != nullptr || source == nullptr) return nullptr;
  return new EventSource{source};
}

BOOL ReportEventA(HANDLE source, WORD type, WORD /*category*/, DWORD /*event_id*/,
                  void* /*user_sid*/, WORD num_strings, DWORD /*data_size*/,
                  const char** strings, void* /*raw_data*/) {
  if (source == nullptr) return false;
  const auto* src = static_cast<EventSource*>(source);
  std::string text;
  for (WORD i = 0; i < num_strings; ++i) {
    if (i) text += ' ';
    if (strings && strings[i]) text::AppendLogSafe(text, strings[i]);
  }
  syslog(SyslogPriority(type) | LOG_DAEMON, "%s: %s", src->name.c_str(), text.c_str());
  if (const char* path = std::getenv("QUORVEL_EVENTLOG_FILE"); path && *path) {
    AppendToFile(path, src->name + ": " + text + "\n");
  }
  return true;
}

BOOL DeregisterEventSource(HANDLE source) {
  if (source == nullptr) return false;
  delete static_cast<EventSource*>(source);
  return true;
}
