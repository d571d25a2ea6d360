// The server's three text logs (server log in the common log format, user-agent
// log, SOAP trace) with time-based rotation.
//
// Each log has its own lock; writers on the workers, rotation on the service
// thread and reopening by the management call all take it. The paths and
// switches belong to the published configuration snapshot: a log takes them
// from it when it opens and keeps only its open file.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "server/http/config_store.h"

namespace server {

// Time sources of the logs; tests supply their own.
class LogClock {
 public:
  virtual ~LogClock() = default;
  virtual uint64_t TickCount() const = 0;  // monotonic milliseconds
  virtual time_t Now() const = 0;          // wall-clock seconds since the epoch
};
const LogClock& SystemLogClock();

// What the logs say about one answered request. The views belong to the
// writer and need only outlive the call that takes the record.
struct RequestRecord {
  std::string_view peer;          // address, host name or "loopback"
  time_t request_time = 0;        // when the connection was accepted
  std::string_view request_line;  // the first line as received
  int status = 200;
  uint64_t bytes_sent = 0;
  std::string_view user_agent;  // for the user-agent log
};

class LogFiles {
 public:
  // The settings are read from `config`, which must outlive the logs. The
  // zone text comes from the local zone's standard offset, taken once.
  explicit LogFiles(const ConfigStore& config, const LogClock& clock = SystemLogClock());
  // For tests: a fixed offset from UTC in minutes (positive: ahead of UTC).
  LogFiles(const ConfigStore& config, const LogClock& clock, int zone_offset_minutes);
  ~LogFiles();  // rotates when due, then closes
  LogFiles(const LogFiles&) = delete;
  LogFiles& operator=(const LogFiles&) = delete;

  // The settings of the current snapshot; a change to them takes effect at the
  // next OpenLogs.
  LogSettings Settings() const;
  // Rotation period in milliseconds; 0 turns rotation off.
  void SetRotationInterval(uint32_t interval_ms);

  // (Re)opens the streams in append mode from the current snapshot's
  // settings, each under its lock: an open stream is closed first; the server
  // and user-agent logs open only when enabled; the trace log opens whenever
  // this runs (an empty path simply fails). A log that cannot be opened is not
  // written. Returns true.
  bool OpenLogs();

  // One line each. Control characters from the request are written as \xHH
  // (and '"' inside the quoted request line), so a peer cannot forge lines.
  void WriteLogEntry(const RequestRecord& record);
  void WriteUserAgentLine(std::string_view user_agent);
  // Written unchanged, plus a line feed, whenever the trace log is open (the
  // caller decides whether tracing is on).
  void WriteTraceRecord(std::string_view record);

  // When the interval has passed since the last rotation, moves each open log
  // aside as <name>_%y%m%d%H%MGMT<ext> (UTC) and starts a new file at the
  // path it was opened from (settings changed since wait for OpenLogs). An
  // existing file of that name is never replaced: the log is then reopened
  // and appended to.
  void RotateLogs();

  const std::string& ZoneText() const { return zone_text_; }

 private:
  // Open only while its log was enabled (or always, for the trace log) when
  // last opened, so an open stream is one to write.
  struct Stream {
    std::mutex mu;
    int fd = -1;            // Guarded by mu.
    std::string open_path;  // Guarded by mu. The file `fd` was opened from.
  };

  static void Open(Stream& s, const std::string& path, bool wanted);
  static void OpenAt(Stream& s, const std::string& path);  // s.mu held, s closed
  static void WriteLine(Stream& s, std::string_view line);
  static void Rotate(Stream& s, std::string_view suffix);
  static void Close(Stream& s);  // s.mu held

  const ConfigStore& config_;
  const LogClock& clock_;
  const std::string zone_text_;
  Stream server_, user_agent_, trace_;
  std::atomic<uint32_t> rotation_interval_ms_{0};
  std::mutex rotation_mu_;
  uint64_t last_rotation_;  // Guarded by rotation_mu_.
};

// Formats one server-log line, line feed included:
//   peer - - [dd/Mon/yyyy:HH:MM:SS zone] "request line" status bytes
std::string FormatLogEntry(const RequestRecord& record, std::string_view zone_text);

// "+hhmm" when local time is ahead of UTC, else "-hhmm" (so UTC is "-0000").
std::string ZoneText(int offset_minutes);
// The local zone's standard-time offset from UTC in minutes; 0 when unknown.
int LocalStandardOffsetMinutes();

// "_%y%m%d%H%MGMT" of `utc`.
std::string RotationSuffix(time_t utc);
// `path` with `suffix` put between the file name and its extension; empty when
// the result would be longer than kMaxRotatedPath.
inline constexpr size_t kMaxRotatedPath = 255;
std::string RotatedName(std::string_view path, std::string_view suffix);

// rename() that fails with EEXIST instead of replacing `to`.
[[nodiscard]] bool RenameNoReplace(const char* from, const char* to);

}  // namespace server
