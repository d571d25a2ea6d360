// The one server object of the service: it reads the configuration beside the
// executable, prepares sockets, starts the server core and opens the logs
// (InitServer), and holds the settings and the published configuration that
// every other part of the server reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/http/config.h"
#include "server/http/config_store.h"
#include "server/http/protocol_info.h"
#include "server/http/server_logs.h"

namespace server {

class RequestLogger;
class ServerCore;
class SoapPostDispatch;
class WsdlCache;

class SoapServer {
 public:
  // Receives each operational line (the event-log lines of start-up).
  using EventSink = std::function<void(const std::string& line)>;

  // `executablePath` is the program's own path; the configuration file lives
  // in its directory.
  SoapServer(std::string executablePath, EventSink logEvent,
             const LogClock& clock = SystemLogClock());
  ~SoapServer();
  SoapServer(const SoapServer&) = delete;
  SoapServer& operator=(const SoapServer&) = delete;

  // The start steps in order; the first failure is logged with its line and
  // ends the sequence. Then, whatever the outcome, pauses (5 s) while the
  // listener makes its sockets; on success logs the host line. True when
  // every step succeeded.
  bool InitServer();

  // Reads the configuration file into the settings and publishes its
  // snapshot. False when the file is missing, unreadable or malformed.
  bool LoadConfig();
  // Writes the file from the settings and the current snapshot. False when the file could not be
  // replaced (the old one is then intact).
  [[nodiscard]] bool SaveConfig();
  // Applies `change` to a copy of the current snapshot and publishes it under
  // the configuration lock, then saves the file outside that lock; changes
  // are ordered by a lock of their own, so the file always ends with the last
  // one published. A changed endpoint list
  // asks for a WSDL cache flush. The change is in force
  // even when the save fails; the result says whether the file was written.
  [[nodiscard]] bool ChangeConfig(const std::function<void(ConfigSnapshot&)>& change);

  // Start-up settings; they do not change once InitServer has read them.
  const ServerSettings& Settings() const { return settings_; }
  // The snapshot a request reads; hold it for the whole request.
  ConfigSnapshotPtr Config() const { return store_.Current(); }
  ConfigStore& Store() { return store_; }
  const std::string& ConfigPath() const { return configPath_; }
  const std::string& ExecutableDir() const { return executableDir_; }
  const std::vector<ProtocolInfo>& Protocols() const { return protocols_; }
  const std::string& HostName() const { return hostName_; }
  int NumListeningSockets() const { return numListeningSockets_; }
  LogFiles& Logs() { return logs_; }
  // The running core; null until StartServer made it.
  ServerCore* Core() { return core_.get(); }
  // The endpoints' WSDL readers; null until StartServer made it.
  WsdlCache* WsdlReaders() { return wsdlCache_.get(); }

  void SetStartPauseForTest(std::chrono::milliseconds pause) { startPause_ = pause; }

 private:
  void LogEvent(const std::string& line) const;
  bool StartSockets();
  bool EnumerateProtocols();
  bool StartServer();
  bool OpenLogs();
  bool SaveSnapshot(const ConfigSnapshot& snapshot);

  std::string executableDir_;
  std::string configPath_;
  EventSink logEvent_;
  ServerSettings settings_;
  ConfigStore store_;
  std::mutex changeMu_;  // orders ChangeConfig calls; taken before the configuration lock
  std::vector<ProtocolInfo> protocols_;
  std::string hostName_;
  int numListeningSockets_ = 0;
  std::chrono::milliseconds startPause_{5000};
  // Last: the logs rotate and close before anything else goes.
  LogFiles logs_;
  // After the logs, so the core stops (and its threads end) before they go.
  std::unique_ptr<RequestLogger> requestLogger_;
  // Before the core: its workers use them until it stops.
  std::mutex wsdlLock_;  // the WSDL cache's own, never the configuration lock
  std::unique_ptr<WsdlCache> wsdlCache_;
  std::unique_ptr<SoapPostDispatch> soapDispatch_;
  std::unique_ptr<ServerCore> core_;
  uintptr_t watchdogTimer_ = 0;
};

}  // namespace server
