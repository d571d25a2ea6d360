#include "platform/service/service_host.h"

#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "platform/com/activation.h"
#include "platform/com/module.h"
#include "platform/com/remote/remote.h"
#include "platform/registry/registry.h"
#include "platform/service/command_line.h"
#include "platform/service/eventlog.h"
#include "platform/text/text.h"
#include "platform/thread/clock.h"
#include "platform/thread/message_loop.h"

namespace service {

// ---- EventReporter ------------------------------------------------------------------

void EventReporter::LogEvent(const char* format, ...) {
  char buf[kMaxEventText + 1];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) return;
  std::string message(buf, std::min<size_t>(static_cast<size_t>(n), kMaxEventText));
  text::TruncateUtf8(message, kMaxEventText);
  Report(message);
}

void EventReporter::Report(std::string_view message) {
  std::string text(message.substr(0, kMaxEventText));
  text::TruncateUtf8(text, kMaxEventText);
  if (!RunningAsService()) {
    std::string line = text + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
  }
  HANDLE source = RegisterEventSourceA(nullptr, service_name_.c_str());
  if (!source) return;
  const char* strings[] = {text.c_str()};
  ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

// ---- Registration -------------------------------------------------------------------

std::string HostIdentity::AppIdKey() const {
  OLECHAR wide[40];
  StringFromGUID2(app_id, wide, 40);
  std::string key = "AppID\\";
  for (int i = 0; wide[i] != 0; ++i) key += static_cast<char>(wide[i]);
  return key;
}

namespace {

HRESULT WriteValue(const std::string& key, const char* name, const std::string& value) {
  return HresultFromWin32(registry::WriteString(HKEY_CLASSES_ROOT, key, name, value));
}

// Deletes a key tree; a key that is already gone is no error.
HRESULT DeleteKey(const std::string& key) {
  const LSTATUS st = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
  return st == ERROR_FILE_NOT_FOUND ? S_OK : HresultFromWin32(st);
}

HRESULT LastServiceError() { return HresultFromWin32(static_cast<long>(GetLastError())); }

bool IsServiceInstalled(const std::string& name) {
  SC_HANDLE scm = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) return false;
  SC_HANDLE service = OpenService(scm, name.c_str(), SERVICE_ALL_ACCESS);
  const bool installed = service != nullptr;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return installed;
}

HRESULT InstallService(const std::string& name, const std::string& executablePath) {
  if (IsServiceInstalled(name)) return S_OK;
  SC_HANDLE scm = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) return LastServiceError();
  // A list of names each ended by a NUL, the list by an empty name.
  static constexpr char kDependencies[] = "RPCSS\0";
  SC_HANDLE service = CreateService(scm, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                    SERVICE_ERROR_NORMAL, executablePath.c_str(), nullptr,
                                    nullptr, kDependencies, nullptr, nullptr);
  const HRESULT hr = service == nullptr ? LastServiceError() : S_OK;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return hr;
}

HRESULT UninstallService(const std::string& name) {
  if (!IsServiceInstalled(name)) return S_OK;
  SC_HANDLE scm = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) return LastServiceError();
  HRESULT hr = S_OK;
  SC_HANDLE service = OpenService(scm, name.c_str(), SERVICE_ALL_ACCESS);
  if (service != nullptr) {
    // A running service is stopped before its unit goes: systemd could not
    // stop it by name afterwards. One that is not running stops trivially.
    SERVICE_STATUS status{};
    (void)ControlService(service, SERVICE_CONTROL_STOP, &status);
  }
  if (service == nullptr || !DeleteService(service)) hr = LastServiceError();
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return hr;
}

HRESULT WriteAppId(const HostIdentity& id) {
  const std::string appIdKey = id.AppIdKey();
  HRESULT hr = WriteValue(appIdKey, nullptr, id.app_id_name);
  if (FAILED(hr)) return hr;
  HKEY key = nullptr;
  LSTATUS st = RegOpenKeyExA(HKEY_CLASSES_ROOT, appIdKey.c_str(), 0, KEY_WRITE, &key);
  if (st != ERROR_SUCCESS) return HresultFromWin32(st);
  st = RegDeleteValueA(key, kLocalServiceValue);
  RegCloseKey(key);
  return st == ERROR_SUCCESS || st == ERROR_FILE_NOT_FOUND ? S_OK : HresultFromWin32(st);
}

std::vector<com::ClassRegistration> Classes(const HostIdentity& id, const std::string& path) {
  return id.classes ? id.classes(path) : std::vector<com::ClassRegistration>{};
}

}  // namespace

HRESULT RegisterServer(const HostIdentity& id, const std::string& executablePath,
                       bool asService) {
  HRESULT hr = UninstallService(id.service_name);
  if (FAILED(hr)) return hr;
  hr = WriteAppId(id);
  if (FAILED(hr)) return hr;
  if (asService) {
    hr = WriteValue(id.AppIdKey(), kLocalServiceValue, id.service_name);
    if (FAILED(hr)) return hr;
    hr = InstallService(id.service_name, executablePath);
    if (FAILED(hr)) return hr;
  }
  for (const com::ClassRegistration& reg : Classes(id, executablePath)) {
    hr = com::RegisterServerClass(reg);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT UnregisterServer(const HostIdentity& id) {
  for (const com::ClassRegistration& reg : Classes(id, "")) {
    const HRESULT hr = com::UnregisterServerClass(reg);
    if (FAILED(hr)) return hr;
  }
  const HRESULT hr = DeleteKey(id.AppIdKey());
  if (FAILED(hr)) return hr;
  return UninstallService(id.service_name);
}

long ReadAppIdMode(const HostIdentity& id, bool* localService) {
  *localService = false;
  HKEY key = nullptr;
  const LSTATUS st = RegOpenKeyExA(HKEY_CLASSES_ROOT, id.AppIdKey().c_str(), 0, KEY_READ, &key);
  if (st != ERROR_SUCCESS) return st;
  DWORD type = 0;
  DWORD size = 0;
  *localService =
      RegQueryValueExA(key, kLocalServiceValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ERROR_SUCCESS;
}

// ---- The module ---------------------------------------------------------------------

namespace {

// The handler and the service main are plain functions: they reach the host
// through this.
std::atomic<ServiceHost*> g_host{nullptr};
// A stop signal ended a local server's loop: nobody needs the exit pause.
std::atomic<bool> g_stop_signalled{false};

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
      g_stop_signalled.store(true);
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

std::string SelfPath(const char* argv0) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  return argv0 != nullptr ? argv0 : "";
}

}  // namespace

ServiceHost::ServiceHost(HostIdentity identity, std::vector<ServedClass> classes,
                         HostSteps steps, bool unreadable_app_id_is_plain)
    : identity_(std::move(identity)),
      classes_(std::move(classes)),
      steps_(std::move(steps)),
      unreadable_app_id_is_plain_(unreadable_app_id_is_plain),
      events_(identity_.service_name) {}

// Reports under the lock, so that reports leave in the order the states were
// taken; each sends a copy. A stop while starting is reported once the start
// is: systemd then hears that the service ran, and then that it stops.
void ServiceHost::SetStatus(DWORD state) {
  std::lock_guard lock(status_mu_);
  if (state == SERVICE_STOP_PENDING && status_.dwCurrentState == SERVICE_START_PENDING) {
    stop_deferred_ = true;
    return;
  }
  status_.dwCurrentState = state;
  SERVICE_STATUS copy = status_;
  if (status_handle_ != nullptr) SetServiceStatus(status_handle_, &copy);
  if (state == SERVICE_RUNNING && stop_deferred_) {
    stop_deferred_ = false;
    status_.dwCurrentState = SERVICE_STOP_PENDING;
    copy = status_;
    if (status_handle_ != nullptr) SetServiceStatus(status_handle_, &copy);
  }
}

void ServiceHost::ControlEntry(DWORD control) {
  if (ServiceHost* host = g_host.load()) host->Control(control);
}

void ServiceHost::Control(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      SetStatus(SERVICE_STOP_PENDING);
      PostThreadMessage(loop_thread_.load(), WM_QUIT, 0, 0);
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_SHUTDOWN:
      break;
    default:
      events_.LogEvent("Bad service request");
  }
}

void ServiceHost::RevokeClassObjects() {
  for (const DWORD cookie : class_cookies_) CoRevokeClassObject(cookie);
  class_cookies_.clear();
}

// Registers every class object suspended, then resumes them together, so
// that no client reaches one before all are there.
HRESULT ServiceHost::RegisterClassObjects() {
  for (const ServedClass& c : classes_) {
    const ComPtr<IUnknown> factory = c.make_factory();
    DWORD cookie = 0;
    const HRESULT hr = CoRegisterClassObject(*c.clsid, factory.Get(), CLSCTX_LOCAL_SERVER,
                                             REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie);
    if (FAILED(hr)) {
      RevokeClassObjects();
      return hr;
    }
    class_cookies_.push_back(cookie);
  }
  const HRESULT hr = CoResumeClassObjects();
  if (FAILED(hr)) RevokeClassObjects();
  return hr;
}

// Makes this thread the loop thread and gives it its message queue now, so
// that a stop arriving before the loop runs (during the start pause) is kept.
void ServiceHost::BecomeLoopThread() {
  MSG msg;
  PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE);
  loop_thread_ = GetCurrentThreadId();
}

HRESULT ServiceHost::ServiceRun() {
  const bool serviceMode = service_mode_.load();
  BecomeLoopThread();
  if (serviceMode) {
    const HRESULT hr =
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (FAILED(hr)) return hr;
  } else if (const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); FAILED(hr)) {
    return hr;  // only the service main enters an apartment for us
  }
  HRESULT hr = steps_.prepare ? steps_.prepare(serviceMode) : S_OK;
  if (hr == S_OK) hr = RegisterClassObjects();

  if (hr == S_OK) {
    if (serviceMode) {
      events_.LogEvent("Service started");
      SetStatus(SERVICE_RUNNING);
      if (steps_.running) steps_.running();
    }
    // A local server ends once no client has held it for the delay.
    if (!serviceMode) {
      com::remote::StartShutdownMonitor(GetCurrentThreadId(),
                                        com::remote::kLocalServerShutdownDelayMs);
    }
    MSG msg;
    while (GetMessage(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessage(&msg);
    }
    if (!serviceMode) com::remote::StopShutdownMonitor();
  }

  if (steps_.shutdown) steps_.shutdown(serviceMode);
  RevokeClassObjects();
  if (!serviceMode) {
    CoUninitialize();
    if (hr == S_OK && !g_stop_signalled.load()) Sleep(kPauseIntervalMs);
  }
  return FAILED(hr) ? hr : S_OK;
}

void ServiceHost::ServiceMainEntry(DWORD /*argc*/, char** /*argv*/) {
  if (ServiceHost* host = g_host.load()) host->ServiceMain();
}

void ServiceHost::ServiceMain() {
  {
    std::lock_guard lock(status_mu_);
    status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status_.dwCurrentState = SERVICE_START_PENDING;
    status_.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    status_.dwWin32ExitCode = 0;
    status_.dwServiceSpecificExitCode = 0;
  }
  BecomeLoopThread();
  // A stop already waiting reaches the handler as soon as it is installed.
  const SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandler(identity_.service_name.c_str(), ControlEntry);
  if (handle == nullptr) {
    events_.LogEvent("Handler not installed");
    service_result_ = E_FAIL;  // the process must not exit as if it had run
    return;
  }
  {
    std::lock_guard lock(status_mu_);
    status_handle_ = handle;
  }
  SetStatus(SERVICE_START_PENDING);
  if (const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED); FAILED(hr)) {
    service_result_ = hr;
    return;
  }
  service_result_ = ServiceRun();
  {
    std::lock_guard lock(status_mu_);
    status_.dwWin32ExitCode = static_cast<DWORD>(service_result_);
  }
  CoUninitialize();
  SetStatus(SERVICE_STOPPED);
  events_.LogEvent("Service stopped");
}

// Handles a registration switch; false when the process is to exit with
// *result.
bool ServiceHost::ParseServiceCommandLine(int argc, char** argv, HRESULT* result) {
  switch (FindCommandLineSwitch(argc, argv, {"UnregServer", "RegServer", "Service"})) {
    case 0:
      *result = UnregisterServer(identity_);
      return false;
    case 1:
      *result = RegisterServer(identity_, executable_path_, /*asService=*/false);
      return false;
    case 2:
      *result = RegisterServer(identity_, executable_path_, /*asService=*/true);
      return false;
    default:
      return true;
  }
}

int ServiceHost::Main(int argc, char** argv) {
  g_host.store(this);
  executable_path_ = SelfPath(argc > 0 ? argv[0] : nullptr);

  HRESULT result = S_OK;
  if (!ParseServiceCommandLine(argc, argv, &result)) return ExitCodeFromResult(result);

  bool localService = false;
  const long open = ReadAppIdMode(identity_, &localService);
  if (open != 0 && !unreadable_app_id_is_plain_) {
    return ExitCodeFromResult(static_cast<HRESULT>(open));
  }
  if (localService) {
    service_mode_ = true;
    events_.SetRunningAsService(true);
    const SERVICE_TABLE_ENTRY table[] = {{identity_.service_name.c_str(), ServiceMainEntry},
                                         {nullptr, nullptr}};
    if (StartServiceCtrlDispatcher(table)) return ExitCodeFromResult(service_result_);
  }
  service_mode_ = false;
  events_.SetRunningAsService(false);
  StopSignals stop(GetCurrentThreadId());
  return ExitCodeFromResult(ServiceRun());
}

}  // namespace service
