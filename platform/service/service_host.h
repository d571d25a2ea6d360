// The host of a service program that is also the local server of its
// classes: its registration switches, the service main with its status
// reports and control handler, and the run with its start phase, message
// loop and shutdown phase. One host per process; the program supplies its
// identity, its classes and what it does at each step.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/base.h"
#include "platform/com/object.h"
#include "platform/com/registration.h"
#include "platform/service/service_manager.h"

namespace service {

// LogEvent of the service module: the module supplies its service name and
// whether it runs as a service (set once it is known).
class EventReporter {
 public:
  // At most this many characters of a message are kept.
  static constexpr size_t kMaxEventText = 255;

  explicit EventReporter(std::string service_name) : service_name_(std::move(service_name)) {}
  void SetRunningAsService(bool as_service) { as_service_.store(as_service); }
  bool RunningAsService() const { return as_service_.load(); }

  // Formats (cut to kMaxEventText), prints the text and a line feed to
  // standard output unless running as a service, and reports it to the event
  // log under the service name as information. Failures are ignored.
  void LogEvent(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Report(std::string_view text);

 private:
  const std::string service_name_;
  std::atomic<bool> as_service_{false};
};

// A registry or service-manager error number as a failing result.
constexpr HRESULT HresultFromWin32(long error) {
  return error <= 0 ? static_cast<HRESULT>(error)
                    : static_cast<HRESULT>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFF));
}

inline constexpr char kLocalServiceValue[] = "LocalService";

// What names a service program in the registry and to the service manager.
struct HostIdentity {
  // The service's name, display name and event-log source.
  std::string service_name;
  GUID app_id = GUID_NULL;
  std::string app_id_name;  // default value of the AppID key
  // The registrations of the classes the program serves, whose local-server
  // command is `executable_path`.
  std::function<std::vector<com::ClassRegistration>(const std::string& executable_path)>
      classes;

  // "AppID\{...}" below HKEY_CLASSES_ROOT.
  std::string AppIdKey() const;
};

// "RegServer" (as_service false) or "Service" (true): removes an installed
// service (stopping it), writes the AppID key without LocalService, and for a
// service sets LocalService to the service name and installs the service
// (running `executable_path`); then registers the classes.
HRESULT RegisterServer(const HostIdentity& id, const std::string& executable_path,
                       bool as_service);
// "UnregServer": removes the class registrations, the AppID key and an
// installed service. A service that is not installed is no error.
HRESULT UnregisterServer(const HostIdentity& id);
// Opens the AppID key: its error number when that fails (ERROR_FILE_NOT_FOUND
// when the program is not registered), else 0 with *local_service telling
// whether LocalService is set.
long ReadAppIdMode(const HostIdentity& id, bool* local_service);

// A class object the program registers for other processes; made once the
// prepare step has run.
struct ServedClass {
  const CLSID* clsid;
  std::function<ComPtr<IUnknown>()> make_factory;
};

// What a program does at the steps of a run, on the loop thread. Each may be
// empty.
struct HostSteps {
  // Before the class objects are registered. A failure ends the run with it;
  // a positive result skips to the shutdown phase.
  std::function<HRESULT(bool service_mode)> prepare;
  // In service mode, once "Service started" is logged and running reported.
  std::function<void()> running;
  // After the loop, before the class objects are revoked; also after a
  // prepare or class registration that ended the start.
  std::function<void(bool service_mode)> shutdown;
};

// What a local server does when unreferenced: end after this delay, then
// pause before the process exits.
inline constexpr DWORD kPauseIntervalMs = 1000;

class ServiceHost {
 public:
  // `unreadable_app_id_is_plain` chooses what an AppID key that cannot be
  // opened means: a plain local server (true) or an exit with its error.
  ServiceHost(HostIdentity identity, std::vector<ServedClass> classes, HostSteps steps,
              bool unreadable_app_id_is_plain = false);
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // The whole program: a registration switch, else the service or the
  // local server. Returns the process's exit status.
  int Main(int argc, char** argv);

  EventReporter& Events() { return events_; }
  const std::string& ExecutablePath() const { return executable_path_; }
  bool ServiceMode() const { return service_mode_.load(); }
  // The thread that runs the loop; 0 before the run.
  DWORD LoopThread() const { return loop_thread_.load(); }

 private:
  static void ServiceMainEntry(DWORD argc, char** argv);
  static void ControlEntry(DWORD control);
  void ServiceMain();
  void Control(DWORD control);
  HRESULT ServiceRun();
  void SetStatus(DWORD state);
  HRESULT RegisterClassObjects();
  void RevokeClassObjects();
  void BecomeLoopThread();
  bool ParseServiceCommandLine(int argc, char** argv, HRESULT* result);

  const HostIdentity identity_;
  const std::vector<ServedClass> classes_;
  const HostSteps steps_;
  const bool unreadable_app_id_is_plain_;
  std::string executable_path_;
  EventReporter events_;
  std::atomic<bool> service_mode_{false};
  std::atomic<DWORD> loop_thread_{0};
  HRESULT service_result_ = S_OK;
  std::vector<DWORD> class_cookies_;  // loop thread only
  // The dispatcher thread (stop control) and the loop thread both report.
  std::mutex status_mu_;
  SERVICE_STATUS status_{};                       // Guarded by status_mu_.
  SERVICE_STATUS_HANDLE status_handle_ = nullptr;  // Guarded by status_mu_.
  bool stop_deferred_ = false;                    // Guarded by status_mu_.
};

}  // namespace service
