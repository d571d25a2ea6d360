#include "platform/com/registration.h"

#include <vector>

#include "platform/com/activation.h"
#include "platform/registry/registry.h"

namespace com {
namespace {

// Collects a class's entries so that they are written in one go: another
// process never sees half a registration.
class Writer {
 public:
  // Sets a string value (name null: the default) on `path`, creating the key.
  void Set(const std::string& path, const char* name, const std::string& value) {
    changes_.push_back({registry::Change::Kind::SetString, path, name ? name : "", value});
  }
  void Create(const std::string& path) {
    changes_.push_back({registry::Change::Kind::CreateKey, path, "", ""});
  }
  bool Commit() { return registry::ApplyChanges(HKEY_CLASSES_ROOT, changes_) == ERROR_SUCCESS; }

 private:
  std::vector<registry::Change> changes_;
};

// True when `prog_id` is free or already names `clsid`.
bool ProgIdAvailable(const std::string& prog_id, const std::string& clsid) {
  std::string current;
  if (!registry::ReadString(HKEY_CLASSES_ROOT, prog_id + "\\CLSID", nullptr, &current)) {
    return true;
  }
  GUID a, b;
  return GuidFromRegistryString(current, &a) && GuidFromRegistryString(clsid, &b) && a == b;
}

bool ValidProgId(const std::string& prog_id) {
  return prog_id.find('\\') == std::string::npos && prog_id.size() <= 255;
}

LSTATUS DeleteTree(const std::string& path) {
  const LSTATUS s = RegDeleteTreeA(HKEY_CLASSES_ROOT, path.c_str());
  return s == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : s;
}

}  // namespace

HRESULT RegisterServerClass(const ClassRegistration& reg) {
  const std::string clsid = GuidToRegistryString(reg.clsid);
  for (const std::string* p : {&reg.prog_id, &reg.version_independent_prog_id}) {
    if (p->empty()) continue;
    if (!ValidProgId(*p)) return E_INVALIDARG;
    if (!ProgIdAvailable(*p, clsid)) return SELFREG_E_CLASS;
  }
  Writer w;
  const std::string key = "CLSID\\" + clsid;
  w.Set(key, nullptr, reg.description);
  if (!reg.prog_id.empty()) w.Set(key + "\\ProgID", nullptr, reg.prog_id);
  if (!reg.version_independent_prog_id.empty()) {
    w.Set(key + "\\VersionIndependentProgID", nullptr, reg.version_independent_prog_id);
  }
  w.Create(key + "\\Programmable");
  if (!reg.inproc_server.empty()) {
    w.Set(key + "\\InprocServer32", nullptr, reg.inproc_server);
    if (!reg.threading_model.empty()) {
      w.Set(key + "\\InprocServer32", "ThreadingModel", reg.threading_model);
    }
  }
  if (!reg.local_server.empty()) w.Set(key + "\\LocalServer32", nullptr, reg.local_server);
  if (reg.type_lib) w.Set(key + "\\TypeLib", nullptr, GuidToRegistryString(*reg.type_lib));
  if (reg.app_id) {
    const std::string app_id = GuidToRegistryString(*reg.app_id);
    w.Set(key, "AppID", app_id);
    w.Set("AppID\\" + app_id, nullptr, reg.app_id_name);
    if (!reg.module_key.empty()) w.Set("AppID\\" + reg.module_key, "AppID", app_id);
  }
  if (!reg.prog_id.empty()) {
    w.Set(reg.prog_id, nullptr, reg.description);
    w.Set(reg.prog_id + "\\CLSID", nullptr, clsid);
  }
  if (!reg.version_independent_prog_id.empty()) {
    const std::string& vi = reg.version_independent_prog_id;
    w.Set(vi, nullptr, reg.description);
    w.Set(vi + "\\CLSID", nullptr, clsid);
    if (!reg.prog_id.empty()) w.Set(vi + "\\CurVer", nullptr, reg.prog_id);
  }
  if (reg.type_lib) {
    const std::string lib = "TypeLib\\" + GuidToRegistryString(*reg.type_lib) + "\\" +
                            (reg.type_lib_version.empty() ? "1.0" : reg.type_lib_version);
    w.Set(lib, nullptr, reg.type_lib_help);
    const std::string& module =
        reg.inproc_server.empty() ? reg.local_server : reg.inproc_server;
    w.Set(lib + "\\0\\linux", nullptr, module);
  }
  return w.Commit() ? S_OK : REGDB_E_WRITEREGDB;
}

HRESULT UnregisterServerClass(const ClassRegistration& reg) {
  const std::string clsid = GuidToRegistryString(reg.clsid);
  bool failed = false;
  for (const std::string* p : {&reg.prog_id, &reg.version_independent_prog_id}) {
    if (p->empty() || !ValidProgId(*p)) continue;
    std::string current;
    if (registry::ReadString(HKEY_CLASSES_ROOT, *p + "\\CLSID", nullptr, &current) &&
        !ProgIdAvailable(*p, clsid)) {
      continue;  // another class owns it now
    }
    failed |= DeleteTree(*p) != ERROR_SUCCESS;
  }
  failed |= DeleteTree("CLSID\\" + clsid) != ERROR_SUCCESS;
  if (reg.app_id) {
    const std::string app_id = GuidToRegistryString(*reg.app_id);
    failed |= DeleteTree("AppID\\" + app_id) != ERROR_SUCCESS;
    if (!reg.module_key.empty()) failed |= DeleteTree("AppID\\" + reg.module_key) != ERROR_SUCCESS;
  }
  if (reg.type_lib) {
    failed |= DeleteTree("TypeLib\\" + GuidToRegistryString(*reg.type_lib)) != ERROR_SUCCESS;
  }
  return failed ? REGDB_E_WRITEREGDB : S_OK;
}

}  // namespace com
