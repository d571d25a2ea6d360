#include "server/service_registration.h"

#include <string>

#include "platform/com/registry.h"
#include "platform/service/service.h"

namespace server {
namespace {

HRESULT WriteValue(const std::string& key, const char* name, const std::string& value) {
  return HresultFromWin32(registry::WriteString(HKEY_CLASSES_ROOT, key, name, value));
}

// Deletes a key tree; a key that is already gone is no error.
HRESULT DeleteKey(const std::string& key) {
  const LSTATUS st = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
  return st == ERROR_FILE_NOT_FOUND ? S_OK : HresultFromWin32(st);
}

bool IsServiceInstalled() {
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (scm == nullptr) return false;
  SC_HANDLE service = OpenServiceA(scm, kServiceName, SERVICE_QUERY_CONFIG);
  const bool installed = service != nullptr;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return installed;
}

HRESULT InstallService(const std::string& executablePath) {
  if (IsServiceInstalled()) return S_OK;
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) return HresultFromWin32(static_cast<long>(GetLastError()));
  // Dependencies are a list of names ended by an empty one.
  static constexpr char kDependencies[] = "RPCSS\0";
  SC_HANDLE service = CreateServiceA(scm, kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                     SERVICE_ERROR_NORMAL, executablePath.c_str(), nullptr,
                                     nullptr, kDependencies, nullptr, nullptr);
  const HRESULT hr =
      service == nullptr ? HresultFromWin32(static_cast<long>(GetLastError())) : S_OK;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return hr;
}

HRESULT UninstallService() {
  if (!IsServiceInstalled()) return S_OK;
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) return HresultFromWin32(static_cast<long>(GetLastError()));
  HRESULT hr = S_OK;
  SC_HANDLE service = OpenServiceA(scm, kServiceName, SERVICE_STOP | DELETE);
  if (service == nullptr || !DeleteService(service)) {
    hr = HresultFromWin32(static_cast<long>(GetLastError()));
  }
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return hr;
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
  const std::string clsidKey = std::string("CLSID\\") + kBraskelMgrClsid;
  const struct {
    std::string key;
    const char* name;
    std::string value;
  } values[] = {
      {clsidKey, nullptr, "braskelmgr2 Class"},
      {clsidKey, "AppID", kAppId},
      {clsidKey + "\\LocalServer32", nullptr, executablePath},
      {clsidKey + "\\ProgID", nullptr, kBraskelMgrVersionedProgId},
      {clsidKey + "\\VersionIndependentProgID", nullptr, kBraskelMgrProgId},
      {kBraskelMgrVersionedProgId, nullptr, "braskelmgr2 Class"},
      {std::string(kBraskelMgrVersionedProgId) + "\\CLSID", nullptr, kBraskelMgrClsid},
      {kBraskelMgrProgId, nullptr, "braskelmgr2 Class"},
      {std::string(kBraskelMgrProgId) + "\\CLSID", nullptr, kBraskelMgrClsid},
      {std::string(kBraskelMgrProgId) + "\\CurVer", nullptr, kBraskelMgrVersionedProgId},
  };
  for (const auto& v : values) {
    const HRESULT hr = WriteValue(v.key, v.name, v.value);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT UnregisterClasses() {
  for (const std::string& key : {std::string("CLSID\\") + kBraskelMgrClsid,
                                 std::string(kBraskelMgrVersionedProgId),
                                 std::string(kBraskelMgrProgId)}) {
    const HRESULT hr = DeleteKey(key);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

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
  *localService = RegQueryValueExA(key, kLocalServiceValue, nullptr, &type, nullptr, &size) ==
                  ERROR_SUCCESS;
  RegCloseKey(key);
  return ERROR_SUCCESS;
}

}  // namespace server
