// The braskel program: one executable that is both the SOAP service and the
// local server of the management class. The command line registers or
// unregisters it; otherwise its AppID decides whether it runs as a service
// (the server object is created and started) or as a plain local server.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/com/registry.h"
#include "platform/service/service.h"
#include "platform/thread/message_loop.h"
#include "server/server_logs.h"
#include "server/service_registration.h"
#include "server/soap_server.h"

namespace {

using server::SoapServer;

// The process-wide service module.
struct ServiceModule {
  std::string executablePath;
  std::atomic<bool> serviceMode{false};
  SERVICE_STATUS status{};
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  std::atomic<DWORD> serviceThreadId{0};
  HRESULT exitCode = S_OK;
  // Reached by the rest of the server only through this pointer.
  std::unique_ptr<SoapServer> server;
};

ServiceModule& Module() {
  static ServiceModule* const module = new ServiceModule;
  return *module;
}

void SetStatus(DWORD state) {
  ServiceModule& m = Module();
  m.status.dwCurrentState = state;
  if (m.statusHandle != nullptr) SetServiceStatus(m.statusHandle, &m.status);
}

void WINAPI ControlHandler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      SetStatus(SERVICE_STOP_PENDING);
      PostThreadMessageA(Module().serviceThreadId.load(), WM_QUIT, 0, 0);
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_SHUTDOWN:
      break;
    default:
      server::LogEvent("Bad service request");
  }
}

HRESULT ServiceRun() {
  ServiceModule& m = Module();
  m.serviceThreadId = GetCurrentThreadId();
  // Class objects: the management class registers itself here once it is
  // part of the program; until then there is nothing to register.
  m.server.reset();

  if (m.serviceMode) {
    server::LogEvent("Service started");
    SetStatus(SERVICE_RUNNING);
    m.server = std::make_unique<SoapServer>(
        m.executablePath, [](const std::string& line) { server::LogEvent("%s", line.c_str()); });
    // The service runs its loop even when the server could not start.
    (void)m.server->InitServer();
  }

  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }

  if (m.serviceMode) m.server.reset();
  if (!m.serviceMode) Sleep(1000);
  return S_OK;
}

void WINAPI ServiceMain(DWORD /*argc*/, char** /*argv*/) {
  ServiceModule& m = Module();
  m.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  m.status.dwCurrentState = SERVICE_START_PENDING;
  m.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  m.statusHandle = RegisterServiceCtrlHandlerA(server::kServiceName, ControlHandler);
  if (m.statusHandle == nullptr) {
    server::LogEvent("Handler not installed");
    return;
  }
  m.status.dwWin32ExitCode = 0;
  m.status.dwServiceSpecificExitCode = 0;
  SetStatus(SERVICE_START_PENDING);
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
  m.exitCode = ServiceRun();
  m.status.dwWin32ExitCode = static_cast<DWORD>(m.exitCode);
  CoUninitialize();
  SetStatus(SERVICE_STOPPED);
  server::LogEvent("Service stopped");
}

std::string ExecutablePath(const char* argv0) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  return argv0 != nullptr ? argv0 : "braskel";
}

// Handles a registration switch; false when the process is to run.
bool ParseServiceCommandLine(int argc, char** argv, HRESULT* exitCode) {
  const std::string& path = Module().executablePath;
  if (FindSwitch(argc, argv, "UnregServer")) {
    *exitCode = server::UnregisterServer();
    return false;
  }
  if (FindSwitch(argc, argv, "RegServer")) {
    *exitCode = server::RegisterServer(path, /*asService=*/false);
    return false;
  }
  if (FindSwitch(argc, argv, "Service")) {
    *exitCode = server::RegisterServer(path, /*asService=*/true);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ServiceModule& m = Module();
  m.executablePath = ExecutablePath(argc > 0 ? argv[0] : nullptr);

  HRESULT code = S_OK;
  if (!ParseServiceCommandLine(argc, argv, &code)) return ProcessExitCode(code);

  bool localService = false;
  const long open = server::ReadAppIdMode(&localService);
  if (open != 0) return ProcessExitCode(static_cast<HRESULT>(open));
  if (localService) {
    m.serviceMode = true;
    static char name[] = "Quorvel SOAP Service";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherA(table)) return ProcessExitCode(m.exitCode);
  }
  m.serviceMode = false;
  server::SetServiceMode(false);
  return ProcessExitCode(ServiceRun());
}
