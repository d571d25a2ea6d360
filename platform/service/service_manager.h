// The service control manager, as a service program sees it, on Linux.
//
// A program runs "under the service manager" when QUORVEL_SERVICE_NAME equals
// its service name; the systemd unit written by CreateService sets it. Then
// StartServiceCtrlDispatcher runs the service main on a thread of its own and,
// on the calling thread, turns SIGTERM and SIGINT into stop control 1 for the
// registered handler (never calling it from a signal handler). Otherwise the
// dispatcher fails at once with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT and the
// program goes on as a plain local server.
//
// Installing a service writes a systemd unit into UnitDirectory() and a service
// record into the registry (see WriteServiceRecord); nothing is enabled,
// started or reloaded: the start type is kept in the record only (a
// demand-start service).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/base.h"

namespace service {

// ---- Values the callers compare against -------------------------------------

inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;

inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;

inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
inline constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;

inline constexpr DWORD SERVICE_ACCEPT_STOP = 1;
inline constexpr DWORD SERVICE_AUTO_START = 2;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

// Error codes left by a failing call, read with GetLastError().
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
inline constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;

struct SERVICE_STATUS {
  DWORD dwServiceType = 0;
  DWORD dwCurrentState = 0;
  DWORD dwControlsAccepted = 0;
  DWORD dwWin32ExitCode = 0;
  DWORD dwServiceSpecificExitCode = 0;
  DWORD dwCheckPoint = 0;
  DWORD dwWaitHint = 0;
};

using ServiceMainFunction = void (*)(DWORD argc, char** argv);
using HandlerFunction = void (*)(DWORD control);

struct SERVICE_TABLE_ENTRY {
  const char* lpServiceName;
  ServiceMainFunction lpServiceProc;
};

struct ServiceStatusRecord;
using SERVICE_STATUS_HANDLE = ServiceStatusRecord*;
struct ScHandleRecord;
using SC_HANDLE = ScHandleRecord*;

// The calling thread's last error from the functions of this header.
DWORD GetLastError();

// ---- Running as a service ---------------------------------------------------

// `table` ends with a {nullptr, nullptr} entry. When QUORVEL_SERVICE_NAME names
// one of its services, runs that service main (argv = {name}) on a new thread
// and delivers controls until it returns, then returns true. Otherwise false
// with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT; false with
// ERROR_SERVICE_ALREADY_RUNNING while another dispatch is running.
bool StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* table);

// Registers the control handler of the dispatched service. Null with
// ERROR_SERVICE_DOES_NOT_EXIST when no dispatch runs or `name` is not its
// service. A stop that arrived before this is delivered right after it.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char* name, HandlerFunction handler);

// Records the state (and tells systemd about readiness and stopping through
// NOTIFY_SOCKET when it set one). False with ERROR_INVALID_HANDLE for a
// handle that is not the running dispatch's.
bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

// Every status set since the last reset, oldest first.
std::vector<SERVICE_STATUS> ServiceStatusHistoryForTest();
void ResetServiceStatusHistoryForTest();

// ---- Installing -------------------------------------------------------------

// `machine` and `database` must be null or empty (only the local manager).
SC_HANDLE OpenSCManager(const char* machine, const char* database, DWORD access);

// Installs a service: its unit file and its record. `dependencies` is a list of
// names each ended by a NUL, the list ended by an empty name (may be null);
// "RPCSS" has no counterpart here and is recorded only. `account` and
// `password` are ignored: a system unit runs as root, a user unit as the user.
// Fails with ERROR_SERVICE_EXISTS when installed already, ERROR_INVALID_NAME
// or ERROR_INVALID_PARAMETER for names or paths that are empty or hold control
// characters, ERROR_WRITE_FAULT when a file cannot be written (nothing is left
// behind then).
SC_HANDLE CreateService(SC_HANDLE manager, const char* service_name, const char* display_name,
                        DWORD desired_access, DWORD service_type, DWORD start_type,
                        DWORD error_control, const char* binary_path, const char* load_order_group,
                        DWORD* tag_id, const char* dependencies, const char* account,
                        const char* password);

// Null with ERROR_SERVICE_DOES_NOT_EXIST when the service is not installed.
SC_HANDLE OpenService(SC_HANDLE manager, const char* service_name, DWORD desired_access);

// Removes the unit file and the record of an opened service.
bool DeleteService(SC_HANDLE service);

// SERVICE_CONTROL_STOP asks systemd to stop the service's unit and waits for
// it ("systemctl stop", with --user for a user's unit); other controls fail
// with ERROR_INVALID_PARAMETER. The program run is QUORVEL_SYSTEMCTL when set;
// otherwise "systemctl", but only for units in systemd's own folders: a unit
// written to a QUORVEL_UNIT_DIR of its own is none of systemd's, and there is
// nothing to stop. `status` (may be null) gets SERVICE_STOPPED on success.
// False with ERROR_SERVICE_REQUEST_TIMEOUT when the stop failed.
bool ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);

bool CloseServiceHandle(SC_HANDLE handle);

// ---- Where installing writes ------------------------------------------------

// QUORVEL_UNIT_DIR when set; otherwise /etc/systemd/system for root and
// $XDG_CONFIG_HOME/systemd/user (default ~/.config/systemd/user) for others.
std::string UnitDirectory();

// The unit file name of a service: its name in lower case with every run of
// other characters than ASCII letters and digits made one '-', plus
// ".service" ("Quorvel SOAP Service" -> "quorvel-soap-service.service").
std::string UnitFileName(std::string_view service_name);

// What the service manager keeps about an installed service.
struct ServiceRecord {
  std::string name;
  std::string display_name;
  std::string binary_path;
  DWORD service_type = SERVICE_WIN32_OWN_PROCESS;
  DWORD start_type = SERVICE_DEMAND_START;
  DWORD error_control = SERVICE_ERROR_NORMAL;
  std::vector<std::string> dependencies;
  std::string account;  // empty: the local system account
  std::string unit_path;
};

// The record store: the registry key SYSTEM\CurrentControlSet\Services\<name>
// below HKEY_LOCAL_MACHINE, written in one change. Names compare without
// regard to ASCII case; a record holding control characters, or a dependency
// holding '/', is refused.
[[nodiscard]] bool WriteServiceRecord(const ServiceRecord& record);
std::optional<ServiceRecord> ReadServiceRecord(std::string_view service_name);
[[nodiscard]] bool DeleteServiceRecord(std::string_view service_name);

}  // namespace service
