// The server's configuration: the start-up settings, the endpoint records and
// the MIME map read from "brevla-config.xml" beside the executable, and the
// immutable snapshot through which request threads read what management may
// change while they run.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/http/document_root.h"

namespace server {

inline constexpr char kConfigFileName[] = "brevla-config.xml";

// One SOAP endpoint. `requestURI` is the table key: a configured path ending
// in "/*" is stored without those two characters and with `wildcard` set.
struct EndpointInfo {
  std::string requestURI;
  std::string wsdlDocURL;
  std::u16string wsdlService;
  std::u16string wsdlPort;
  std::u16string bodyProcessingProgId;
  std::vector<std::u16string> headerProcessingProgIds;
  std::u16string nextHopURL;
  std::vector<std::u16string> roles;
  std::u16string nodeURI;
  bool enabled = false;
  bool wildcard = false;
  bool enableLoopback = false;
  bool enableExplicitTyping = false;
  bool enableNodeType = false;

  bool operator==(const EndpointInfo&) const = default;
};

// Keyed by request path without "/*", byte-wise and case-sensitive. The
// transparent comparator lets a request path be looked up without a copy.
using EndpointTable = std::map<std::string, EndpointInfo, std::less<>>;
// Keyed by the upper-cased extension with its dot (".GIF").
using MimeMap = std::map<std::string, std::string>;

// The eighteen pairs used when the file lists no MIME item at all.
const MimeMap& BuiltInMimeMap();

// Log paths and switches (UTF-8 file names, empty when unset). The published
// snapshot is their one home: the log files read them from it when they open.
struct LogSettings {
  std::string server_log_path;
  bool enable_server_log = false;
  std::string user_agent_log_path;
  bool enable_user_agent_log = false;
  std::string trace_log_path;
  bool enable_trace_log = false;
};
bool operator==(const LogSettings& a, const LogSettings& b);

// What management may change while requests run. Readers hold one snapshot
// for a whole request; a change publishes a new one (see ConfigStore).
struct ConfigSnapshot {
  EndpointTable endpoints;
  MimeMap mimeMap;
  std::string docBasePath;
  std::string defaultDocument = "default.htm";
  LogSettings logs;
  // docBasePath opened once for every request that reads this snapshot.
  DocumentRoot docRoot;

  bool operator==(const ConfigSnapshot&) const = default;
};
using ConfigSnapshotPtr = std::shared_ptr<const ConfigSnapshot>;

// Settings read once at start-up. Integers keep the file's literal reading
// (text that is no number is 0); the helpers below say how they are used.
struct ServerSettings {
  std::string listenAddress;  // dotted IPv4; empty binds every address
  int listenPort = 80;
  int numWorkThreads = 8;
  int maxClients = 16;
  int clientTimeout = 60;          // seconds
  uint32_t watchdogInterval = 30;  // seconds
  int wsdlCacheSize = 20;
  bool enableNameLookup = false;
  uint32_t logRotationIntervalMs = 0;  // 0: no rotation

  bool operator==(const ServerSettings&) const = default;
};

// Everything the file holds.
struct ServerConfig {
  ServerSettings settings;
  ConfigSnapshot snapshot;
};

// Hours above this are taken as this: the interval is kept in milliseconds in
// 32 bits.
inline constexpr uint32_t kMaxLogRotationHours = 1193;
inline constexpr uint32_t kMsPerHour = 3'600'000;
// Larger files are refused: a configuration is a few kilobytes.
inline constexpr size_t kMaxConfigFileBytes = 4 * 1024 * 1024;

// The port to bind, or none when the configured value is outside 0..65535
// (then no listening socket is made). 0 binds a free port.
std::optional<uint16_t> ListenPortFor(int listenPort);

// Bounds of a thread timer's period.
inline constexpr uint32_t kMinTimerPeriodMs = 10;
inline constexpr uint32_t kMaxTimerPeriodMs = 0x7FFFFFFF;
// The watchdog timer's period: seconds x 1000 computed without overflow and
// clamped to the timer's range, so 0 never spins.
uint32_t WatchdogPeriodMs(uint32_t watchdogIntervalSeconds);


// The directory part of `executablePath` without its final "/" ("." when the
// path holds no "/").
std::string ExecutableDirectory(const std::string& executablePath);
// The default document root: the executable's directory followed by "/docroot/".
std::string DefaultDocBasePath(const std::string& executableDir);

// Reads the configuration file at `path`. Absent elements take their
// defaults; `executableDir` gives the default document root. Returns false
// when the file cannot be read or parsed or a server setting holds a boolean
// other than "1", "true", "0", "false" (settings read before it stay set in
// *config). Lines for the caller to log are appended to *notes: why the file
// was refused, or which literal values leave the server unable to serve (no
// worker, no slot, a port that cannot be bound).
[[nodiscard]] bool LoadConfig(const std::string& path, const std::string& executableDir,
                              ServerConfig* config, std::vector<std::string>* notes);

// The whole file text, declaration included, in the indented form.
std::string BuildConfigText(const ServerSettings& settings, const ConfigSnapshot& snapshot);

// Replaces the file at `path` with BuildConfigText's text: written to a
// temporary file beside it, flushed to disk and renamed over it, so a failed
// save leaves the old file whole. False (with errno's text in *error when
// given) when any step fails; the temporary file is then removed.
[[nodiscard]] bool SaveConfig(const std::string& path, const ServerSettings& settings,
                              const ConfigSnapshot& snapshot, std::string* error = nullptr);

}  // namespace server
