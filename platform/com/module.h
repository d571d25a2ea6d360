// What a component library needs to be one: class factories over
// com::ComObject classes and the four exported entry points. A library lists
// its classes once and expands QV_COMPONENT_ENTRY_POINTS in one source file:
//
//   const com::ModuleClass kClasses[] = {
//       {&CLSID_SoapStruct, &com::CreateInstance<SoapStructImpl>, "SoapStruct Class",
//        "Quorvel.SoapStruct.1", "Quorvel.SoapStruct", &APPID_soapstruct, "soapstruct",
//        &LIBID_SoapStructLib, "SoapStruct 1.0 Type Library"},
//   };
//   QV_COMPONENT_ENTRY_POINTS(kClasses)
//
// Everything here is compiled into the component itself, so that its object
// and lock counts are its own.
#pragma once

#include <dlfcn.h>
#include <stdlib.h>

#include <atomic>
#include <new>
#include <string>

#include "platform/com/activation.h"
#include "platform/com/object.h"
#include "platform/com/registration.h"

namespace com {

// LockServer calls of this module's class factories.
inline std::atomic<long>& ModuleLockCount() {
  static std::atomic<long> count{0};
  return count;
}

// Creates a T (default-constructed; then T::FinalConstruct when it has one)
// and queries it for `iid`. Aggregation is refused.
template <typename T>
HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  T* created = new (std::nothrow) T();
  if (!created) return E_OUTOFMEMORY;
  if constexpr (requires { created->FinalConstruct(); }) {
    if (const HRESULT hr = created->FinalConstruct(); FAILED(hr)) {
      created->Release();
      return hr;
    }
  }
  const HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  return hr;
}

using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID iid, void** object);

class ClassFactory final : public ComObject<ClassFactory, IClassFactory> {
 public:
  explicit ClassFactory(CreateFunction create) : create_(create) {}
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    return create_(outer, iid, object);
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      ModuleLockCount().fetch_add(1);
    } else {
      ModuleLockCount().fetch_sub(1);
    }
    return S_OK;
  }

 private:
  const CreateFunction create_;
};

// One creatable class of a component library and its registration facts.
struct ModuleClass {
  const CLSID* clsid;
  CreateFunction create;
  const char* description;
  const char* prog_id;
  const char* version_independent_prog_id;
  const GUID* app_id = nullptr;
  const char* app_id_name = nullptr;
  const GUID* type_lib = nullptr;
  const char* type_lib_help = nullptr;
  const char* threading_model = "Apartment";
  // The key below AppID that names the module; null: the library's file name.
  const char* module_key = nullptr;
};

template <size_t N>
HRESULT ModuleGetClassObject(const ModuleClass (&classes)[N], REFCLSID clsid, REFIID iid,
                             void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  for (const ModuleClass& c : classes) {
    if (*c.clsid != clsid) continue;
    ClassFactory* factory = new (std::nothrow) ClassFactory(c.create);
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

inline HRESULT ModuleCanUnloadNow() {
  return ModuleObjectCount().load() == 0 && ModuleLockCount().load() == 0 ? S_OK : S_FALSE;
}

// The absolute path of the library holding `address`.
inline std::string ModulePath(const void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname) return {};
  char* resolved = realpath(info.dli_fname, nullptr);
  if (!resolved) return info.dli_fname;
  std::string path(resolved);
  free(resolved);
  return path;
}

inline ClassRegistration ModuleRegistration(const ModuleClass& c, const std::string& path) {
  ClassRegistration reg;
  reg.clsid = *c.clsid;
  reg.description = c.description ? c.description : "";
  reg.prog_id = c.prog_id ? c.prog_id : "";
  reg.version_independent_prog_id =
      c.version_independent_prog_id ? c.version_independent_prog_id : "";
  reg.inproc_server = path;
  reg.threading_model = c.threading_model ? c.threading_model : "";
  if (c.app_id) {
    reg.app_id = *c.app_id;
    reg.app_id_name = c.app_id_name ? c.app_id_name : "";
    reg.module_key = c.module_key ? c.module_key : path.substr(path.rfind('/') + 1);
  }
  if (c.type_lib) {
    reg.type_lib = *c.type_lib;
    reg.type_lib_help = c.type_lib_help ? c.type_lib_help : "";
  }
  return reg;
}

template <size_t N>
HRESULT ModuleRegister(const ModuleClass (&classes)[N], const void* address, bool install) {
  const std::string path = ModulePath(address);
  if (path.empty()) return SELFREG_E_CLASS;
  HRESULT result = S_OK;
  for (const ModuleClass& c : classes) {
    const ClassRegistration reg = ModuleRegistration(c, path);
    const HRESULT hr = install ? RegisterServerClass(reg) : UnregisterServerClass(reg);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    if (FAILED(hr) && install) break;
  }
  return result;
}

}  // namespace com

// Defines the four entry points of a component library over its class table;
// they are the only symbols the library exports.
#define QV_COMPONENT_EXPORT extern "C" __attribute__((visibility("default")))
#define QV_COMPONENT_ENTRY_POINTS(classes)                                              \
  QV_COMPONENT_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {     \
    return ::com::ModuleGetClassObject(classes, clsid, iid, object);                    \
  }                                                                                     \
  QV_COMPONENT_EXPORT HRESULT DllCanUnloadNow() { return ::com::ModuleCanUnloadNow(); }          \
  QV_COMPONENT_EXPORT HRESULT DllRegisterServer() {                                              \
    return ::com::ModuleRegister(classes, reinterpret_cast<const void*>(&DllCanUnloadNow), \
                                 /*install=*/true);                                     \
  }                                                                                     \
  QV_COMPONENT_EXPORT HRESULT DllUnregisterServer() {                                            \
    return ::com::ModuleRegister(classes, reinterpret_cast<const void*>(&DllCanUnloadNow), \
                                 /*install=*/false);                                    \
  }
