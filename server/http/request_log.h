// What the connections write when a request has been answered, and the
// watchdog's rotation, kept apart from the log files themselves.
#pragma once

#include <time.h>

#include <cstdint>
#include <memory>
#include <string_view>

namespace server {

class LogFiles;
struct RequestRecord;

class RequestLogger {
 public:
  virtual ~RequestLogger() = default;
  // The server-log line and the user-agent line of one answered request.
  virtual void LogRequest(const RequestRecord& record) = 0;
  virtual void WriteTraceRecord(std::string_view record) = 0;
  // Rotates the logs when due.
  virtual void RotateLogs() = 0;
};

// Writes through `logs`, which must outlive the logger.
std::unique_ptr<RequestLogger> MakeRequestLogger(LogFiles& logs);

}  // namespace server
