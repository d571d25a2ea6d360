#include "platform/service/service_manager.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/file/atomic_file.h"
#include "platform/file/home_directory.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace service {

struct ServiceStatusRecord {
  SERVICE_STATUS status;
};

struct ScHandleRecord {
  bool manager = false;
  std::string service_name;  // for a service handle
};

namespace {

// Below HKEY_LOCAL_MACHINE: one key per installed service, named by it.
constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
// Joins the dependency names in one value; service names never hold it.
constexpr char kDependencySeparator = '/';
constexpr size_t kMaxServiceNameLength = 256;
constexpr size_t kMaxPathLength = 4096;

thread_local DWORD t_last_error = 0;

void SetLastError(DWORD error) { t_last_error = error; }

// ---- Dispatch -----------------------------------------------------------------

struct Dispatch {
  std::string service_name;
  ServiceStatusRecord record{};
  HandlerFunction handler = nullptr;  // Guarded by g_mu.
  bool stop_pending = false;          // Guarded by g_mu.
  int signal_write_fd = -1;
};

std::mutex g_mu;
Dispatch* g_dispatch = nullptr;              // Guarded by g_mu.
std::vector<SERVICE_STATUS>* g_history = nullptr;  // Guarded by g_mu. Made on first use.
std::atomic<int> g_signal_fd{-1};  // write end of the self-pipe, for the signal handler

extern "C" void OnStopSignal(int) {
  const int saved = errno;
  const int fd = g_signal_fd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
  }
  errno = saved;
}

// Tells systemd (Type=notify) what the service reported; nothing without
// NOTIFY_SOCKET.
void NotifySystemd(const char* message) {
  const char* path = ::getenv("NOTIFY_SOCKET");
  if (!path || (path[0] != '/' && path[0] != '@')) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t len = std::strlen(path);
  if (len >= sizeof addr.sun_path) return;
  std::memcpy(addr.sun_path, path, len);
  if (path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  ::sendto(fd, message, std::strlen(message), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
  ::close(fd);
}

// ---- Files ----------------------------------------------------------------------

bool HasControlCharacter(std::string_view s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

std::string Absolute(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  char cwd[PATH_MAX];
  if (!::getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

std::string ConfigHome() {
  if (const char* xdg = ::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') return xdg;
  return file::HomeDirectory() + "/.config";
}

bool WriteFileAtomically(const std::string& path, std::string_view contents) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || !file::MakeDirectories(path.substr(0, slash))) return false;
  return file::ReplaceFile(path, contents, 0644) == 0;
}

std::string UnitBaseName(std::string_view service_name) {
  std::string base;
  bool dash = false;
  for (char c : service_name) {
    const char lower = text::AsciiToLower(c);
    if ((lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9')) {
      if (dash && !base.empty()) base += '-';
      dash = false;
      base += lower;
    } else {
      dash = true;
    }
  }
  return base;
}

std::string ServiceKey(std::string_view service_name) {
  return std::string(kServicesKey) + "\\" + std::string(service_name);
}

// The names of the installed services as their keys spell them.
std::vector<std::string> InstalledServiceNames() {
  std::vector<std::string> names;
  HKEY services = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ, &services) != ERROR_SUCCESS) {
    return names;
  }
  char name[kMaxServiceNameLength + 1];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    const LSTATUS st = RegEnumKeyExA(services, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (st == ERROR_MORE_DATA) continue;  // too long to be one of ours
    if (st != ERROR_SUCCESS) break;
    names.emplace_back(name, size);
  }
  RegCloseKey(services);
  return names;
}

// ---- Unit file ------------------------------------------------------------------

// Inside a double-quoted systemd value: backslash and quote escaped, '%'
// doubled (specifiers), and '$' doubled where variables would expand.
std::string QuoteForUnit(std::string_view s, bool in_command) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '%') out += '%';
    if (c == '$' && in_command) out += '$';
    out += c;
  }
  out += '"';
  return out;
}

std::string DoublePercent(std::string_view s) {
  std::string out;
  for (char c : s) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

std::string BuildUnit(const ServiceRecord& r) {
  std::string u;
  u += "# Service \"" + r.name + "\", installed by its program's Service switch.\n";
  u += "[Unit]\n";
  u += "Description=" + DoublePercent(r.display_name) + "\n";
  u += "After=network.target\n\n";
  u += "[Service]\n";
  // The service reports running through SetServiceStatus.
  u += "Type=notify\n";
  u += "NotifyAccess=main\n";
  u += "Environment=" + QuoteForUnit("QUORVEL_SERVICE_NAME=" + r.name, false) + "\n";
  // The installed service uses the registry and directories it was installed
  // with, resolved here: systemd starts it without HOME and in "/".
  const auto pin = [&u](const char* name, const std::string& value) {
    if (!value.empty() && !HasControlCharacter(value)) {
      u += "Environment=" + QuoteForUnit(std::string(name) + "=" + Absolute(value), false) + "\n";
    }
  };
  pin("QUORVEL_REGISTRY", registry::FilePath());
  for (const char* name : {"QUORVEL_RUNTIME_DIR", "QUORVEL_EVENTLOG_FILE"}) {
    const char* value = ::getenv(name);
    pin(name, value ? value : "");
  }
  u += "ExecStart=" + QuoteForUnit(r.binary_path, true) + "\n";
  u += "KillSignal=SIGTERM\n\n";
  u += "[Install]\n";
  u += ::geteuid() == 0 ? "WantedBy=multi-user.target\n" : "WantedBy=default.target\n";
  return u;
}

// ---- Handles ----------------------------------------------------------------------

std::mutex g_handles_mu;
std::set<ScHandleRecord*>* g_handles = nullptr;  // Guarded by g_handles_mu.

SC_HANDLE NewHandle(bool manager, std::string service_name) {
  auto* h = new ScHandleRecord{manager, std::move(service_name)};
  std::lock_guard<std::mutex> lock(g_handles_mu);
  if (!g_handles) g_handles = new std::set<ScHandleRecord*>;
  g_handles->insert(h);
  return h;
}

bool IsHandle(SC_HANDLE h, bool manager) {
  std::lock_guard<std::mutex> lock(g_handles_mu);
  return g_handles && g_handles->count(h) && h->manager == manager;
}

}  // namespace

DWORD GetLastError() { return t_last_error; }

// ---- Running as a service -----------------------------------------------------

bool StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* table) {
  const char* wanted = ::getenv("QUORVEL_SERVICE_NAME");
  const SERVICE_TABLE_ENTRY* entry = nullptr;
  for (const SERVICE_TABLE_ENTRY* e = table; e && e->lpServiceName; ++e) {
    if (wanted && e->lpServiceProc && std::strcmp(e->lpServiceName, wanted) == 0) {
      entry = e;
      break;
    }
  }
  if (!entry) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return false;
  }

  int signal_pipe[2];
  int done_pipe[2];
  if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return false;
  }
  if (::pipe2(done_pipe, O_CLOEXEC) != 0) {
    ::close(signal_pipe[0]);
    ::close(signal_pipe[1]);
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return false;
  }

  Dispatch dispatch;
  dispatch.service_name = entry->lpServiceName;
  dispatch.signal_write_fd = signal_pipe[1];
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_dispatch) {
      for (int fd : {signal_pipe[0], signal_pipe[1], done_pipe[0], done_pipe[1]}) ::close(fd);
      SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
      return false;
    }
    g_dispatch = &dispatch;
  }

  g_signal_fd.store(signal_pipe[1], std::memory_order_relaxed);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  struct sigaction old_term {}, old_int {};
  ::sigaction(SIGTERM, &action, &old_term);
  ::sigaction(SIGINT, &action, &old_int);

  std::string argv0 = dispatch.service_name;
  ServiceMainFunction service_main = entry->lpServiceProc;
  const int done_write = done_pipe[1];
  // The stop signals are taken on this thread alone: the service thread and
  // every thread it starts inherit them blocked. A handler that ran on a
  // thread parked in some long wait would otherwise depend on how that wait
  // treats signals.
  sigset_t stop_signals, old_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &stop_signals, &old_mask);
  std::thread service_thread([&argv0, service_main, done_write] {
    char* argv[] = {argv0.data(), nullptr};
    service_main(1, argv);
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(done_write, &byte, 1);
  });
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);

  // Controls run here, on the dispatcher's thread, as the handler expects.
  pollfd fds[2] = {{signal_pipe[0], POLLIN, 0}, {done_pipe[0], POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;  // cannot wait any more; the service main is joined below
    }
    if (fds[1].revents) break;
    if (fds[0].revents) {
      char drain[64];
      while (::read(signal_pipe[0], drain, sizeof drain) > 0) {
      }
      HandlerFunction handler = nullptr;
      {
        std::lock_guard<std::mutex> lock(g_mu);
        handler = dispatch.handler;
        if (!handler) dispatch.stop_pending = true;
      }
      if (handler) handler(SERVICE_CONTROL_STOP);
    }
  }
  service_thread.join();

  ::sigaction(SIGTERM, &old_term, nullptr);
  ::sigaction(SIGINT, &old_int, nullptr);
  g_signal_fd.store(-1, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_dispatch = nullptr;
  }
  for (int fd : {signal_pipe[0], signal_pipe[1], done_pipe[0], done_pipe[1]}) ::close(fd);
  return true;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char* name, HandlerFunction handler) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (!g_dispatch || !name || !handler || g_dispatch->service_name != name) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  g_dispatch->handler = handler;
  if (g_dispatch->stop_pending) {
    g_dispatch->stop_pending = false;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_dispatch->signal_write_fd, &byte, 1);
  }
  return &g_dispatch->record;
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (!g_dispatch || handle != &g_dispatch->record || !status) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    handle->status = *status;
    if (!g_history) g_history = new std::vector<SERVICE_STATUS>;
    g_history->push_back(*status);
  }
  if (status->dwCurrentState == SERVICE_RUNNING) NotifySystemd("READY=1");
  if (status->dwCurrentState == SERVICE_STOP_PENDING) NotifySystemd("STOPPING=1");
  return true;
}

std::vector<SERVICE_STATUS> ServiceStatusHistoryForTest() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_history ? *g_history : std::vector<SERVICE_STATUS>{};
}

void ResetServiceStatusHistoryForTest() {
  std::lock_guard<std::mutex> lock(g_mu);
  delete g_history;
  g_history = nullptr;
}

// ---- Installing -------------------------------------------------------------------

SC_HANDLE OpenSCManager(const char* machine, const char* database, DWORD) {
  if ((machine && *machine) || (database && *database)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return NewHandle(/*manager=*/true, {});
}

SC_HANDLE CreateService(SC_HANDLE manager, const char* service_name, const char* display_name,
                        DWORD, DWORD service_type, DWORD start_type, DWORD error_control,
                        const char* binary_path, const char*, DWORD* tag_id,
                        const char* dependencies, const char* account, const char*) {
  if (!IsHandle(manager, /*manager=*/true)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const std::string_view name = service_name ? service_name : "";
  if (name.empty() || name.size() > kMaxServiceNameLength || HasControlCharacter(name) ||
      name.find_first_of("/\\") != std::string_view::npos || UnitBaseName(name).empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  const std::string_view display = display_name && *display_name ? display_name : name;
  const std::string_view path = binary_path ? binary_path : "";
  if (HasControlCharacter(display) || display.size() > kMaxServiceNameLength || path.empty() ||
      path.size() > kMaxPathLength || HasControlCharacter(path)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Two names that share a unit file would be one service to systemd.
  for (const std::string& installed : InstalledServiceNames()) {
    if (UnitBaseName(installed) == UnitBaseName(name)) {
      SetLastError(ERROR_SERVICE_EXISTS);
      return nullptr;
    }
  }

  ServiceRecord record;
  record.name = name;
  record.display_name = display;
  record.binary_path = path;
  record.service_type = service_type;
  record.start_type = start_type;
  record.error_control = error_control;
  for (const char* d = dependencies; d && *d; d += std::strlen(d) + 1) {
    if (!HasControlCharacter(d) && !std::strchr(d, kDependencySeparator)) {
      record.dependencies.emplace_back(d);
    }
  }
  if (account && !HasControlCharacter(account)) record.account = account;
  record.unit_path = UnitDirectory() + "/" + UnitFileName(name);

  if (!WriteFileAtomically(record.unit_path, BuildUnit(record))) {
    SetLastError(ERROR_WRITE_FAULT);
    return nullptr;
  }
  if (!WriteServiceRecord(record)) {
    ::unlink(record.unit_path.c_str());
    SetLastError(ERROR_WRITE_FAULT);
    return nullptr;
  }
  if (tag_id) *tag_id = 0;
  return NewHandle(/*manager=*/false, record.name);
}

SC_HANDLE OpenService(SC_HANDLE manager, const char* service_name, DWORD) {
  if (!IsHandle(manager, /*manager=*/true)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::optional<ServiceRecord> record;
  if (service_name) record = ReadServiceRecord(service_name);
  if (!record) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  return NewHandle(/*manager=*/false, record->name);
}

bool DeleteService(SC_HANDLE service) {
  if (!IsHandle(service, /*manager=*/false)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  std::optional<ServiceRecord> record = ReadServiceRecord(service->service_name);
  if (!record) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return false;
  }
  // The record is read back as untrusted: only ever remove the service's own unit.
  const std::string unit_name = UnitFileName(record->name);
  const std::string& unit = record->unit_path;
  if (unit.size() > unit_name.size() &&
      unit.compare(unit.size() - unit_name.size(), unit_name.size(), unit_name) == 0 &&
      unit[unit.size() - unit_name.size() - 1] == '/') {
    ::unlink(unit.c_str());
  }
  if (!DeleteServiceRecord(record->name)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

bool ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  if (!IsHandle(service, /*manager=*/false)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (control != SERVICE_CONTROL_STOP) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::optional<ServiceRecord> record = ReadServiceRecord(service->service_name);
  if (!record) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return false;
  }
  std::string program;
  if (const char* p = ::getenv("QUORVEL_SYSTEMCTL"); p && *p) {
    program = p;
  } else if (const char* dir = ::getenv("QUORVEL_UNIT_DIR"); !dir || !*dir) {
    program = "systemctl";
  }
  if (!program.empty()) {
    const std::string unit = UnitFileName(record->name);
    std::vector<const char*> argv = {program.c_str()};
    if (::geteuid() != 0) argv.push_back("--user");
    argv.push_back("stop");
    argv.push_back(unit.c_str());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      // A service thread has the stop signals blocked; the program must not.
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      const int null = ::open("/dev/null", O_RDWR);
      if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
      }
      ::execvp(argv[0], const_cast<char* const*>(argv.data()));
      ::_exit(127);
    }
    int wait_status = 0;
    pid_t waited = -1;
    if (pid > 0) {
      do {
        waited = ::waitpid(pid, &wait_status, 0);
      } while (waited < 0 && errno == EINTR);
    }
    if (waited != pid || !WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0) {
      SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
      return false;
    }
  }
  if (status) {
    *status = SERVICE_STATUS{};
    status->dwServiceType = record->service_type;
    status->dwCurrentState = SERVICE_STOPPED;
  }
  return true;
}

bool CloseServiceHandle(SC_HANDLE handle) {
  {
    std::lock_guard<std::mutex> lock(g_handles_mu);
    if (!g_handles || !g_handles->erase(handle)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    if (g_handles->empty()) {
      delete g_handles;
      g_handles = nullptr;
    }
  }
  delete handle;
  return true;
}

// ---- Locations and records ----------------------------------------------------------

std::string UnitDirectory() {
  if (const char* dir = ::getenv("QUORVEL_UNIT_DIR"); dir && *dir) return dir;
  if (::geteuid() == 0) return "/etc/systemd/system";
  return ConfigHome() + "/systemd/user";
}

std::string UnitFileName(std::string_view service_name) {
  return UnitBaseName(service_name) + ".service";
}

bool WriteServiceRecord(const ServiceRecord& r) {
  if (r.name.empty() || r.name.find('\\') != std::string::npos) return false;
  for (const std::string* s : {&r.name, &r.display_name, &r.binary_path, &r.account, &r.unit_path}) {
    if (HasControlCharacter(*s)) return false;
  }
  std::string dependencies;
  for (const std::string& d : r.dependencies) {
    if (HasControlCharacter(d) || d.find(kDependencySeparator) != std::string::npos) return false;
    if (!dependencies.empty()) dependencies += kDependencySeparator;
    dependencies += d;
  }
  using registry::Change;
  const std::string key = ServiceKey(r.name);
  auto set = [&key](const char* name, std::string value) {
    return Change{Change::Kind::SetString, key, name, std::move(value)};
  };
  // One write: the old record goes and the new one comes whole, or nothing changes.
  const std::vector<Change> changes = {
      {Change::Kind::DeleteTree, key, {}, {}},
      set("DisplayName", r.display_name),
      set("ImagePath", r.binary_path),
      set("Type", std::to_string(r.service_type)),
      set("Start", std::to_string(r.start_type)),
      set("ErrorControl", std::to_string(r.error_control)),
      set("DependOnService", dependencies),
      set("ObjectName", r.account),
      set("UnitPath", r.unit_path),
  };
  return registry::ApplyChanges(HKEY_LOCAL_MACHINE, changes) == ERROR_SUCCESS;
}

std::optional<ServiceRecord> ReadServiceRecord(std::string_view service_name) {
  if (service_name.empty() || service_name.find('\\') != std::string_view::npos) {
    return std::nullopt;
  }
  std::optional<ServiceRecord> record;
  for (const std::string& installed : InstalledServiceNames()) {
    if (text::AsciiIEquals(installed, service_name)) {
      record.emplace();
      record->name = installed;
      break;
    }
  }
  if (!record) return std::nullopt;
  const std::string key = ServiceKey(record->name);
  auto text = [&key](const char* name) {
    std::string value;
    return registry::ReadString(HKEY_LOCAL_MACHINE, key, name, &value) ? value : std::string();
  };
  auto number = [&text](const char* name, DWORD fallback) {
    const std::string value = text(name);
    return value.empty() ? fallback : static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
  };
  record->display_name = text("DisplayName");
  record->binary_path = text("ImagePath");
  record->service_type = number("Type", SERVICE_WIN32_OWN_PROCESS);
  record->start_type = number("Start", SERVICE_DEMAND_START);
  record->error_control = number("ErrorControl", SERVICE_ERROR_NORMAL);
  const std::string dependencies = text("DependOnService");
  for (size_t at = 0; at < dependencies.size();) {
    size_t end = dependencies.find(kDependencySeparator, at);
    if (end == std::string::npos) end = dependencies.size();
    if (end > at) record->dependencies.push_back(dependencies.substr(at, end - at));
    at = end + 1;
  }
  record->account = text("ObjectName");
  record->unit_path = text("UnitPath");
  return record;
}

bool DeleteServiceRecord(std::string_view service_name) {
  const std::optional<ServiceRecord> record = ReadServiceRecord(service_name);
  if (!record) return false;
  const registry::Change remove{registry::Change::Kind::DeleteTree, ServiceKey(record->name), {}, {}};
  return registry::ApplyChanges(HKEY_LOCAL_MACHINE, {remove}) == ERROR_SUCCESS;
}

}  // namespace service
