// The braskel program: one executable that is both the SOAP service and the
// local server of the management class. A registration switch registers or
// unregisters it and exits; otherwise its AppID decides whether it runs as a
// service (the server object is created and started) or as a plain local
// server.
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/braskelmgr.h"
#include "platform/com/activation.h"
#include "platform/com/module.h"
#include "platform/com/remote/remote.h"
#include "platform/service/command_line.h"
#include "platform/service/service_manager.h"
#include "platform/thread/clock.h"
#include "platform/thread/message_loop.h"
#include "server/braskel/service_registration.h"
#include "server/management.h"
#include "server/server_logs.h"
#include "server/soap_server.h"

namespace {

namespace svc = service;
using server::SoapServer;

// Used only in local-server mode.
constexpr DWORD kShutdownDelayMs = 5000;
constexpr DWORD kPauseIntervalMs = 1000;

// The process-wide service module.
struct ServiceModule {
  std::string executablePath;
  std::atomic<bool> serviceMode{false};
  // The dispatcher thread (stop control) and the service thread both report.
  std::mutex statusMu;
  svc::SERVICE_STATUS status{};                       // Guarded by statusMu.
  svc::SERVICE_STATUS_HANDLE statusHandle = nullptr;  // Guarded by statusMu.
  bool stopDeferred = false;                          // Guarded by statusMu.
  std::atomic<DWORD> serviceThreadId{0};
  // A stop signal ended the local server's loop: nobody needs the pause.
  std::atomic<bool> stopSignalled{false};
  HRESULT serviceResult = S_OK;
  server::EventReporter events{server::kServiceName};
  // The rest of the server reaches the running server only through this.
  std::unique_ptr<SoapServer> server;
  // What new management objects work on: set once the server exists and
  // cleared before it goes; null in local-server mode.
  std::atomic<SoapServer*> runningServer{nullptr};
  std::vector<DWORD> classCookies;  // registered class objects
};

ServiceModule& Module() {
  static ServiceModule module;
  return module;
}

// Reports under the lock, so that reports leave in the order the states were
// taken; each sends a copy. A stop while starting is reported once the start
// is: systemd then hears that the service ran, and then that it stops.
void SetStatus(DWORD state) {
  ServiceModule& m = Module();
  std::lock_guard lock(m.statusMu);
  if (state == svc::SERVICE_STOP_PENDING && m.status.dwCurrentState == svc::SERVICE_START_PENDING) {
    m.stopDeferred = true;
    return;
  }
  m.status.dwCurrentState = state;
  svc::SERVICE_STATUS copy = m.status;
  if (m.statusHandle != nullptr) svc::SetServiceStatus(m.statusHandle, &copy);
  if (state == svc::SERVICE_RUNNING && m.stopDeferred) {
    m.stopDeferred = false;
    m.status.dwCurrentState = svc::SERVICE_STOP_PENDING;
    copy = m.status;
    if (m.statusHandle != nullptr) svc::SetServiceStatus(m.statusHandle, &copy);
  }
}

void ControlHandler(DWORD control) {
  switch (control) {
    case svc::SERVICE_CONTROL_STOP:
      SetStatus(svc::SERVICE_STOP_PENDING);
      PostThreadMessage(Module().serviceThreadId.load(), WM_QUIT, 0, 0);
      break;
    case svc::SERVICE_CONTROL_PAUSE:
    case svc::SERVICE_CONTROL_CONTINUE:
    case svc::SERVICE_CONTROL_INTERROGATE:
    case svc::SERVICE_CONTROL_SHUTDOWN:
      break;
    default:
      Module().events.LogEvent("Bad service request");
  }
}

// A class this program serves to other processes.
struct ServedClass {
  const CLSID* clsid;
  com::CreateFunction create;
};

HRESULT CreateManager(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return server::CreateManagementObject(Module().runningServer.load(), iid, object);
}

// The program's classes.
const std::vector<ServedClass>& ServedClasses() {
  static const std::vector<ServedClass> classes = {{&CLSID_braskelmgr2, CreateManager}};
  return classes;
}

void RevokeClassObjects() {
  for (const DWORD cookie : Module().classCookies) CoRevokeClassObject(cookie);
  Module().classCookies.clear();
}

// Registers every class object suspended, then resumes them together, so
// that no client reaches one before all are there.
HRESULT RegisterClassObjects() {
  for (const ServedClass& c : ServedClasses()) {
    ComPtr<com::ClassFactory> factory = com::MakeComObject<com::ClassFactory>(c.create);
    DWORD cookie = 0;
    const HRESULT hr = CoRegisterClassObject(*c.clsid, factory.Get(), CLSCTX_LOCAL_SERVER,
                                             REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie);
    if (FAILED(hr)) {
      RevokeClassObjects();
      return hr;
    }
    Module().classCookies.push_back(cookie);
  }
  const HRESULT hr = CoResumeClassObjects();
  if (FAILED(hr)) RevokeClassObjects();
  return hr;
}

// Makes this thread the service thread and gives it its message queue now, so
// that a stop arriving before the loop runs (during the start pause) is kept.
void BecomeServiceThread() {
  MSG msg;
  PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE);
  Module().serviceThreadId = GetCurrentThreadId();
}

HRESULT ServiceRun() {
  ServiceModule& m = Module();
  BecomeServiceThread();
  if (m.serviceMode) {
    const HRESULT hr =
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (FAILED(hr)) return hr;
  } else if (const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); FAILED(hr)) {
    return hr;  // only ServiceMain enters an apartment for us
  }
  const HRESULT hr = RegisterClassObjects();
  if (FAILED(hr)) {
    if (!m.serviceMode) CoUninitialize();
    return hr;
  }
  m.server.reset();

  if (m.serviceMode) {
    m.events.LogEvent("Service started");
    SetStatus(svc::SERVICE_RUNNING);
    m.server = std::make_unique<SoapServer>(
        m.executablePath, [](const std::string& line) { Module().events.Report(line); });
    m.runningServer = m.server.get();
    // The service runs its loop even when the server could not start.
    (void)m.server->InitServer();
  }

  // A local server ends once no client has held it for the delay.
  if (!m.serviceMode) com::remote::StartShutdownMonitor(GetCurrentThreadId(), kShutdownDelayMs);
  MSG msg;
  while (GetMessage(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessage(&msg);
  }

  m.runningServer = nullptr;
  if (m.serviceMode) m.server.reset();
  RevokeClassObjects();
  if (!m.serviceMode) {
    com::remote::StopShutdownMonitor();
    CoUninitialize();
    if (!m.stopSignalled.load()) Sleep(kPauseIntervalMs);
  }
  return S_OK;
}

void ServiceMain(DWORD /*argc*/, char** /*argv*/) {
  ServiceModule& m = Module();
  {
    std::lock_guard lock(m.statusMu);
    m.status.dwServiceType = svc::SERVICE_WIN32_OWN_PROCESS;
    m.status.dwCurrentState = svc::SERVICE_START_PENDING;
    m.status.dwControlsAccepted = svc::SERVICE_ACCEPT_STOP;
    m.status.dwWin32ExitCode = 0;
    m.status.dwServiceSpecificExitCode = 0;
  }
  BecomeServiceThread();
  // A stop already waiting reaches the handler as soon as it is installed.
  const svc::SERVICE_STATUS_HANDLE handle =
      svc::RegisterServiceCtrlHandler(server::kServiceName, ControlHandler);
  if (handle == nullptr) {
    m.events.LogEvent("Handler not installed");
    m.serviceResult = E_FAIL;  // the process must not exit as if it had run
    return;
  }
  {
    std::lock_guard lock(m.statusMu);
    m.statusHandle = handle;
  }
  SetStatus(svc::SERVICE_START_PENDING);
  if (const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED); FAILED(hr)) {
    m.serviceResult = hr;
    return;
  }
  m.serviceResult = ServiceRun();
  {
    std::lock_guard lock(m.statusMu);
    m.status.dwWin32ExitCode = static_cast<DWORD>(m.serviceResult);
  }
  CoUninitialize();
  SetStatus(svc::SERVICE_STOPPED);
  m.events.LogEvent("Service stopped");
}

// Outside the service manager the process stops on SIGTERM or SIGINT: one
// thread waits for them and posts the quit message to the loop.
class StopSignals {
 public:
  // Must run before any other thread starts, so that every thread inherits
  // the blocked mask and only the waiter takes the signals.
  explicit StopSignals(DWORD loopThread) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    waiter_ = std::thread([this, loopThread] {
      int signal = 0;
      sigwait(&set_, &signal);
      if (done_.load()) return;
      Module().stopSignalled.store(true);
      // The loop's queue exists only once it first waits for a message.
      while (!PostThreadMessage(loopThread, WM_QUIT, 0, 0) && !done_.load()) Sleep(10);
    });
  }
  ~StopSignals() {
    done_.store(true);
    pthread_kill(waiter_.native_handle(), SIGTERM);
    waiter_.join();
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  sigset_t set_;
  std::atomic<bool> done_{false};
  std::thread waiter_;
};

std::string ExecutablePath(const char* argv0) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  return argv0 != nullptr ? argv0 : "braskel";
}

// Handles a registration switch; false when the process is to exit with
// *result.
bool ParseServiceCommandLine(int argc, const char* const* argv, HRESULT* result) {
  const std::string& path = Module().executablePath;
  switch (svc::FindCommandLineSwitch(argc, argv, {"UnregServer", "RegServer", "Service"})) {
    case 0:
      *result = server::UnregisterServer();
      return false;
    case 1:
      *result = server::RegisterServer(path, /*asService=*/false);
      return false;
    case 2:
      *result = server::RegisterServer(path, /*asService=*/true);
      return false;
    default:
      return true;
  }
}

}  // namespace

int main(int argc, char** argv) {
  ServiceModule& m = Module();
  m.executablePath = ExecutablePath(argc > 0 ? argv[0] : nullptr);

  HRESULT result = S_OK;
  if (!ParseServiceCommandLine(argc, argv, &result)) {
    return svc::ExitCodeFromResult(result);
  }

  bool localService = false;
  const long open = server::ReadAppIdMode(&localService);
  if (open != 0) return svc::ExitCodeFromResult(static_cast<HRESULT>(open));
  if (localService) {
    m.serviceMode = true;
    m.events.SetRunningAsService(true);
    const svc::SERVICE_TABLE_ENTRY table[] = {{server::kServiceName, ServiceMain},
                                              {nullptr, nullptr}};
    if (svc::StartServiceCtrlDispatcher(table)) {
      return svc::ExitCodeFromResult(m.serviceResult);
    }
  }
  m.serviceMode = false;
  m.events.SetRunningAsService(false);
  StopSignals stop(GetCurrentThreadId());
  return svc::ExitCodeFromResult(ServiceRun());
}
