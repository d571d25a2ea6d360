#include "server/soap/soap_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/net/client_socket.h"
#include "platform/text/text.h"
#include "platform/thread/message_loop.h"
#include "server/soap/forwarding_proxy.h"
#include "server/http/request_log.h"
#include "server/http/server_core.h"
#include "server/soap/soap_post.h"
#include "server/soap/wsdl_cache.h"

namespace server {

SoapServer::SoapServer(std::string executablePath, EventSink logEvent, const LogClock& clock)
    : executableDir_(ExecutableDirectory(executablePath)),
      configPath_(executableDir_ == "/" ? std::string("/") + kConfigFileName
                                        : executableDir_ + "/" + kConfigFileName),
      logEvent_(std::move(logEvent)),
      logs_(store_, clock) {
  // What the server runs with until the file is read; LoadConfig replaces all.
  settings_.listenPort = 80;
  settings_.numWorkThreads = 8;
  settings_.maxClients = 5;
  settings_.clientTimeout = 20000;
  settings_.watchdogInterval = 10000;
}

namespace {

// Sleeps for `pause` unless a stop (the quit message) is queued for this
// thread meanwhile: a stop asked for during the start must not wait it out.
void PauseUnlessStopped(std::chrono::milliseconds pause) {
  const auto end = std::chrono::steady_clock::now() + pause;
  for (;;) {
    MSG msg;
    if (PeekMessage(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) return;
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        end - now, std::chrono::milliseconds(10)));
  }
}

constexpr UINT_PTR kWatchdogTimerId = 999;

// The timer callback has no argument of its own; the one server with a
// running watchdog is kept here.
std::atomic<ServerCore*> watchdogCore{nullptr};

void WatchdogTimerProc(HWND, UINT, UINT_PTR, DWORD) {
  if (ServerCore* core = watchdogCore.load()) core->OnWatchdog();
}

using dime::TestForwardTimeoutMs;

}  // namespace

SoapServer::~SoapServer() {
  // The timer belongs to this (the service) thread; stop it before the core.
  if (watchdogTimer_ != 0) {
    KillTimer(nullptr, watchdogTimer_);
    ServerCore* expected = core_.get();
    watchdogCore.compare_exchange_strong(expected, nullptr);
  }
  // Workers waiting on a peer (a WSDL host, a next hop) would hold the stop
  // for as long as the peer likes; every outbound wait ends while it runs.
  const net::ClientWaitsCancel cancel;
  if (core_) core_->StopServer();
}

void SoapServer::LogEvent(const std::string& line) const {
  if (logEvent_) logEvent_(line);
}

bool SoapServer::InitServer() {
  struct Step {
    bool (SoapServer::*run)();
    const char* failure;
  };
  static constexpr Step kSteps[] = {
      {&SoapServer::LoadConfig, "Attempt to read configuration file failed!"},
      {&SoapServer::StartSockets, "Attempt to intialize Winsock failed!"},
      {&SoapServer::EnumerateProtocols, "Attempt to enumerate protocols failed!"},
      {&SoapServer::StartServer, "Attempt to start listening failed!"},
      {&SoapServer::OpenLogs, "Attempt to open log files failed!"},
  };
  bool ok = true;
  for (const Step& step : kSteps) {
    if (!(this->*step.run)()) {
      LogEvent(step.failure);
      ok = false;
      break;
    }
  }
  // The listener makes its sockets meanwhile; the host line reports them.
  PauseUnlessStopped(startPause_);
  if (!ok) return false;
  char name[128] = {};
  if (gethostname(name, sizeof name - 1) == 0) {
    hostName_ = name;
  } else {
    hostName_ = "Host name not found!";
  }
  LogEvent(text::FormatCapped(255, "Host: %s... Number of listening sockets: %d", hostName_.c_str(),
                              numListeningSockets_));
  return true;
}

bool SoapServer::LoadConfig() {
  ServerConfig config;
  config.settings = settings_;
  std::vector<std::string> notes;
  const bool ok = server::LoadConfig(configPath_, executableDir_, &config, &notes);
  // Settings read before a bad boolean stay set, as the file reader promises.
  settings_ = config.settings;
  for (const std::string& note : notes) LogEvent(note);
  if (!ok) return false;
  logs_.SetRotationInterval(settings_.logRotationIntervalMs);
  {
    std::lock_guard<std::mutex> lock(store_.Lock());
    store_.Publish(std::make_shared<const ConfigSnapshot>(std::move(config.snapshot)));
  }
  return true;
}

bool SoapServer::SaveConfig() { return SaveSnapshot(*store_.Current()); }

bool SoapServer::SaveSnapshot(const ConfigSnapshot& snapshot) {
  std::string error;
  if (server::SaveConfig(configPath_, settings_, snapshot, &error)) return true;
  LogEvent(error);
  return false;
}

bool SoapServer::ChangeConfig(const std::function<void(ConfigSnapshot&)>& change) {
  // The file is written under changeMu_ alone: requests must not wait on an fsync.
  std::lock_guard<std::mutex> order(changeMu_);
  ConfigSnapshotPtr published;
  {
    std::lock_guard<std::mutex> lock(store_.Lock());
    auto next = std::make_shared<ConfigSnapshot>(*store_.Current());
    change(*next);
    if (next->endpoints != store_.Current()->endpoints) {
      if (wsdlCache_) wsdlCache_->RequestFlush();
      if (soapDispatch_) soapDispatch_->PrepareEndpoints(*next);
    }
    published = next;
    store_.Publish(std::move(next));
  }
  return SaveSnapshot(*published);
}

bool SoapServer::StartSockets() {
  // The socket layer needs no start-up here; the step stays so that the
  // start sequence and its lines are those the operators know.
  return true;
}

bool SoapServer::EnumerateProtocols() {
  // One connection-oriented IPv4 TCP transport, so the listener makes one
  // socket.
  ProtocolInfo tcp;
  tcp.connectionless = false;
  tcp.guaranteedDelivery = true;
  tcp.guaranteedOrder = true;
  tcp.addressFamily = AF_INET;
  tcp.socketType = SOCK_STREAM;
  tcp.protocol = IPPROTO_TCP;
  protocols_.assign(1, tcp);
  return true;
}

bool SoapServer::StartServer() {
  requestLogger_ = MakeRequestLogger(logs_);
  wsdlCache_ = std::make_unique<WsdlCache>(wsdlLock_, settings_.wsdlCacheSize, logEvent_);
  soapDispatch_ = std::make_unique<SoapPostDispatch>(*wsdlCache_);
  if (const uint32_t ms = TestForwardTimeoutMs()) soapDispatch_->SetForwardTimeoutMs(ms);
  soapDispatch_->SetOutboundLimit(OutboundGate::LimitFor(settings_.numWorkThreads));
  soapDispatch_->PrepareEndpoints(*store_.Current());
  core_ = std::make_unique<ServerCore>(settings_, store_, requestLogger_.get(), logEvent_);
  core_->SetSoapDispatch(soapDispatch_.get());
  core_->SetWsdlCache(wsdlCache_.get());
  const bool started = core_->StartServer(protocols_);
  numListeningSockets_ = static_cast<int>(core_->NumListeningSockets());
  if (!started) return false;
  watchdogCore.store(core_.get());
  watchdogTimer_ = SetTimer(nullptr, kWatchdogTimerId, WatchdogPeriodMs(settings_.watchdogInterval),
                            WatchdogTimerProc);
  if (watchdogTimer_ == 0) {
    LogEvent("Attempt to create Watchdog Timer failed!");
    return false;
  }
  return true;
}

bool SoapServer::OpenLogs() { return logs_.OpenLogs(); }

}  // namespace server
