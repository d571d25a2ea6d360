#include "server/braskel/service_registration.h"

#include <string>

#include "interfaces/braskelmgr.h"
#include "platform/com/activation.h"
#include "platform/com/registration.h"
#include "platform/registry/registry.h"
#include "platform/service/service_manager.h"

namespace server {
namespace {

namespace svc = service;

HRESULT WriteValue(const std::string& key, const char* name, const std::string& value) {
  return HresultFromWin32(registry::WriteString(HKEY_CLASSES_ROOT, key, name, value));
}

// Deletes a key tree; a key that is already gone is no error.
HRESULT DeleteKey(const std::string& key) {
  const LSTATUS st = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
  return st == ERROR_FILE_NOT_FOUND ? S_OK : HresultFromWin32(st);
}

HRESULT LastServiceError() { return HresultFromWin32(static_cast<long>(svc::GetLastError())); }

bool IsServiceInstalled() {
  svc::SC_HANDLE scm = svc::OpenSCManager(nullptr, nullptr, svc::SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) return false;
  svc::SC_HANDLE service = svc::OpenService(scm, kServiceName, svc::SERVICE_ALL_ACCESS);
  const bool installed = service != nullptr;
  if (service != nullptr) svc::CloseServiceHandle(service);
  svc::CloseServiceHandle(scm);
  return installed;
}

HRESULT InstallService(const std::string& executablePath) {
  if (IsServiceInstalled()) return S_OK;
  svc::SC_HANDLE scm = svc::OpenSCManager(nullptr, nullptr, svc::SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) return LastServiceError();
  // A list of names each ended by a NUL, the list by an empty name.
  static constexpr char kDependencies[] = "RPCSS\0";
  svc::SC_HANDLE service = svc::CreateService(
      scm, kServiceName, kServiceName, svc::SERVICE_ALL_ACCESS, svc::SERVICE_WIN32_OWN_PROCESS,
      svc::SERVICE_DEMAND_START, svc::SERVICE_ERROR_NORMAL, executablePath.c_str(), nullptr,
      nullptr, kDependencies, nullptr, nullptr);
  const HRESULT hr = service == nullptr ? LastServiceError() : S_OK;
  if (service != nullptr) svc::CloseServiceHandle(service);
  svc::CloseServiceHandle(scm);
  return hr;
}

HRESULT UninstallService() {
  if (!IsServiceInstalled()) return S_OK;
  svc::SC_HANDLE scm = svc::OpenSCManager(nullptr, nullptr, svc::SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) return LastServiceError();
  HRESULT hr = S_OK;
  svc::SC_HANDLE service = svc::OpenService(scm, kServiceName, svc::SERVICE_ALL_ACCESS);
  if (service != nullptr) {
    // A running service is stopped before its unit goes: systemd could not
    // stop it by name afterwards. One that is not running stops trivially.
    svc::SERVICE_STATUS status{};
    (void)svc::ControlService(service, svc::SERVICE_CONTROL_STOP, &status);
  }
  if (service == nullptr || !svc::DeleteService(service)) hr = LastServiceError();
  if (service != nullptr) svc::CloseServiceHandle(service);
  svc::CloseServiceHandle(scm);
  return hr;
}

com::ClassRegistration BraskelMgrRegistration(const std::string& executablePath) {
  com::ClassRegistration reg;
  reg.clsid = CLSID_braskelmgr2;
  reg.description = "braskelmgr2 Class";
  reg.prog_id = kBraskelMgrVersionedProgId;
  reg.version_independent_prog_id = kBraskelMgrProgId;
  reg.local_server = executablePath;
  reg.app_id = APPID_braskel;
  reg.app_id_name = "braskel";
  return reg;
}

HRESULT WriteAppId() {
  HRESULT hr = WriteValue(kAppIdKey, nullptr, "braskel");
  if (FAILED(hr)) return hr;
  HKEY key = nullptr;
  LSTATUS st = RegOpenKeyExA(HKEY_CLASSES_ROOT, kAppIdKey, 0, KEY_WRITE, &key);
  if (st != ERROR_SUCCESS) return HresultFromWin32(st);
  st = RegDeleteValueA(key, kLocalServiceValue);
  RegCloseKey(key);
  return st == ERROR_SUCCESS || st == ERROR_FILE_NOT_FOUND ? S_OK : HresultFromWin32(st);
}

HRESULT RegisterClasses(const std::string& executablePath) {
  return com::RegisterServerClass(BraskelMgrRegistration(executablePath));
}

HRESULT UnregisterClasses() { return com::UnregisterServerClass(BraskelMgrRegistration("")); }

}  // namespace

HRESULT RegisterServer(const std::string& executablePath, bool asService) {
  HRESULT hr = UninstallService();
  if (FAILED(hr)) return hr;
  hr = WriteAppId();
  if (FAILED(hr)) return hr;
  if (asService) {
    hr = WriteValue(kAppIdKey, kLocalServiceValue, kServiceName);
    if (FAILED(hr)) return hr;
    hr = InstallService(executablePath);
    if (FAILED(hr)) return hr;
  }
  return RegisterClasses(executablePath);
}

HRESULT UnregisterServer() {
  HRESULT hr = UnregisterClasses();
  if (FAILED(hr)) return hr;
  hr = DeleteKey(kAppIdKey);
  if (FAILED(hr)) return hr;
  return UninstallService();
}

long ReadAppIdMode(bool* localService) {
  *localService = false;
  HKEY key = nullptr;
  const LSTATUS st = RegOpenKeyExA(HKEY_CLASSES_ROOT, kAppIdKey, 0, KEY_READ, &key);
  if (st != ERROR_SUCCESS) return st;
  DWORD type = 0;
  DWORD size = 0;
  *localService =
      RegQueryValueExA(key, kLocalServiceValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ERROR_SUCCESS;
}

}  // namespace server
