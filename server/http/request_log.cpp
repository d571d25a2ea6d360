#include "server/http/request_log.h"

#include <string>

#include "server/http/server_logs.h"

namespace server {

namespace {

class LogFilesLogger final : public RequestLogger {
 public:
  explicit LogFilesLogger(LogFiles& logs) : logs_(logs) {}

  void LogRequest(const RequestRecord& record) override {
    logs_.WriteLogEntry(record);
    logs_.WriteUserAgentLine(record.user_agent);
  }
  void WriteTraceRecord(std::string_view record) override { logs_.WriteTraceRecord(record); }
  void RotateLogs() override { logs_.RotateLogs(); }

 private:
  LogFiles& logs_;
};

}  // namespace

std::unique_ptr<RequestLogger> MakeRequestLogger(LogFiles& logs) {
  return std::make_unique<LogFilesLogger>(logs);
}

}  // namespace server
