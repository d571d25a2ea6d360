#include "server/http/server_logs.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "platform/text/text.h"
#include "server/http/internal/http_text.h"

namespace server {

namespace {

class SystemClock final : public LogClock {
 public:
  uint64_t TickCount() const override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }
  time_t Now() const override { return ::time(nullptr); }
};

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk loses the line, never the server
    data.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

const LogClock& SystemLogClock() {
  static const SystemClock clock;
  return clock;
}

// ---- Formatting -------------------------------------------------------------------

std::string ZoneText(int offset_minutes) {
  const char sign = offset_minutes > 0 ? '+' : '-';
  const int magnitude = std::abs(offset_minutes);
  return text::Format("%c%02d%02d", sign, magnitude / 60 % 100, magnitude % 60);
}

int LocalStandardOffsetMinutes() {
  ::tzset();
  // `timezone` is seconds west of UTC for standard time; unknown zones give 0.
  return static_cast<int>(-::timezone / 60);
}

namespace {

// The local time stamp of second `t`, as the log writes it. A log takes many
// lines a second: each thread converts a second once, sparing the C library's
// zone lock and the formatting. The zone in force is part of the key, so a
// zone set anew (tzset) is taken up at once.
std::string_view LocalStamp(time_t t) {
  struct Cached {
    time_t second = 0;
    long zone = 0;
    int daylight = 0;
    const char* names[2] = {nullptr, nullptr};
    bool valid = false;
    char text[64];
    size_t length = 0;
  };
  thread_local Cached cached;
  if (cached.valid && cached.second == t && cached.zone == ::timezone &&
      cached.daylight == ::daylight && cached.names[0] == ::tzname[0] &&
      cached.names[1] == ::tzname[1]) {
    return {cached.text, cached.length};
  }
  tm local{};
  if (!::localtime_r(&t, &local)) local = tm{};
  const int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
  const int n = snprintf(cached.text, sizeof cached.text, "%02d/%s/%04d:%02d:%02d:%02d ",
                         local.tm_mday, internal::kMonthNames[month], local.tm_year + 1900,
                         local.tm_hour, local.tm_min, local.tm_sec);
  cached.length = static_cast<size_t>(n > 0 ? std::min<int>(n, sizeof cached.text - 1) : 0);
  cached.second = t;
  // Read after the conversion, which sets the zone up on its first use.
  cached.zone = ::timezone;
  cached.daylight = ::daylight;
  cached.names[0] = ::tzname[0];
  cached.names[1] = ::tzname[1];
  cached.valid = true;
  return {cached.text, cached.length};
}

}  // namespace

static void AppendLogEntry(std::string& line, const RequestRecord& r, std::string_view zone) {
  text::AppendLogSafe(line, r.peer);
  line += " - - [";
  line += LocalStamp(r.request_time);
  line += zone;
  line += "] \"";
  text::AppendLogSafe(line, r.request_line, /*escape_quote=*/true);
  line += "\" ";
  if (r.status < 0) line += '-';
  internal::AppendNumber(
      &line, r.status < 0 ? 0 - static_cast<uint64_t>(r.status) : static_cast<uint64_t>(r.status));
  line += ' ';
  internal::AppendNumber(&line, r.bytes_sent);
  line += '\n';
}

std::string FormatLogEntry(const RequestRecord& record, std::string_view zone_text) {
  std::string line;
  AppendLogEntry(line, record, zone_text);
  return line;
}

std::string RotationSuffix(time_t utc) {
  tm t{};
  if (!::gmtime_r(&utc, &t)) t = tm{};
  return text::Format("_%02d%02d%02d%02d%02dGMT", (t.tm_year + 1900) % 100, t.tm_mon + 1,
                      t.tm_mday, t.tm_hour, t.tm_min);
}

std::string RotatedName(std::string_view path, std::string_view suffix) {
  const size_t slash = path.rfind('/');
  const size_t file_start = slash == std::string_view::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot < file_start) dot = path.size();
  std::string out;
  out.reserve(path.size() + suffix.size());
  out.append(path.substr(0, dot));
  out.append(suffix);
  out.append(path.substr(dot));
  if (out.size() > kMaxRotatedPath) return {};
  return out;
}

bool RenameNoReplace(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  // File systems without the flag: a hard link fails on an existing name too.
  if (::link(from, to) != 0) return false;
  ::unlink(from);
  return true;
}

// ---- LogFiles -----------------------------------------------------------------------

LogFiles::LogFiles(const ConfigStore& config, const LogClock& clock)
    : LogFiles(config, clock, LocalStandardOffsetMinutes()) {}

LogFiles::LogFiles(const ConfigStore& config, const LogClock& clock, int zone_offset_minutes)
    : config_(config),
      clock_(clock),
      zone_text_(server::ZoneText(zone_offset_minutes)),
      last_rotation_(clock.TickCount()) {}

LogFiles::~LogFiles() {
  RotateLogs();
  for (Stream* s : {&server_, &user_agent_, &trace_}) {
    std::lock_guard<std::mutex> lock(s->mu);
    Close(*s);
  }
}

void LogFiles::Close(Stream& s) {
  if (s.fd >= 0) ::close(s.fd);
  s.fd = -1;
  s.open_path.clear();
}

LogSettings LogFiles::Settings() const { return config_.Current()->logs; }

void LogFiles::SetRotationInterval(uint32_t interval_ms) {
  rotation_interval_ms_.store(interval_ms, std::memory_order_relaxed);
}

void LogFiles::OpenAt(Stream& s, const std::string& path) {
  // The path may come from a management call: a symlink planted in its last
  // component must not turn a log line into a write to another file, and
  // the log holds peers' requests, readable by the server's user alone.
  s.fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (s.fd >= 0) s.open_path = path;
}

void LogFiles::Open(Stream& s, const std::string& path, bool wanted) {
  std::lock_guard<std::mutex> lock(s.mu);
  Close(s);
  if (wanted && !path.empty()) OpenAt(s, path);
}

bool LogFiles::OpenLogs() {
  // Read before any stream's lock: the snapshot's own lock is never taken
  // under a log's.
  const ConfigSnapshotPtr config = config_.Current();
  const LogSettings& settings = config->logs;
  Open(server_, settings.server_log_path, settings.enable_server_log);
  Open(user_agent_, settings.user_agent_log_path, settings.enable_user_agent_log);
  // The trace log opens whether or not tracing is on; each request decides
  // from its snapshot whether to write it.
  Open(trace_, settings.trace_log_path, /*wanted=*/true);
  return true;
}

void LogFiles::WriteLine(Stream& s, std::string_view line) {
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.fd < 0) return;
  WriteAll(s.fd, line);
}

void LogFiles::WriteLogEntry(const RequestRecord& record) {
  // Reused per thread: a request costs no allocation here once warm.
  thread_local std::string line;
  line.clear();
  AppendLogEntry(line, record, zone_text_);
  WriteLine(server_, line);
}

void LogFiles::WriteUserAgentLine(std::string_view user_agent) {
  thread_local std::string line;
  line.clear();
  text::AppendLogSafe(line, user_agent);
  line += '\n';
  WriteLine(user_agent_, line);
}

void LogFiles::WriteTraceRecord(std::string_view record) {
  std::lock_guard<std::mutex> lock(trace_.mu);
  if (trace_.fd < 0) return;
  WriteAll(trace_.fd, record);
  WriteAll(trace_.fd, "\n");
}

void LogFiles::Rotate(Stream& s, std::string_view suffix) {
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.fd < 0) return;
  const std::string path = s.open_path;
  Close(s);
  const std::string rotated = RotatedName(path, suffix);
  // A failed rename (the name is taken, or too long) leaves the file where it
  // is; reopening then appends to it.
  if (!rotated.empty()) (void)RenameNoReplace(path.c_str(), rotated.c_str());
  OpenAt(s, path);
}

void LogFiles::RotateLogs() {
  std::string suffix;
  {
    std::lock_guard<std::mutex> lock(rotation_mu_);
    const uint32_t interval = rotation_interval_ms_.load(std::memory_order_relaxed);
    const uint64_t now = clock_.TickCount();
    if (interval == 0 || now - last_rotation_ < interval) return;
    last_rotation_ = now;
    suffix = RotationSuffix(clock_.Now());
  }
  Rotate(server_, suffix);
  Rotate(user_agent_, suffix);
  Rotate(trace_, suffix);
}

}  // namespace server
