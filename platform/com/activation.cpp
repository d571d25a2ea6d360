#include "platform/com/activation.h"

#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "platform/registry/registry.h"
#include "platform/com/remote/remote.h"
#include "platform/text/text.h"

namespace {

struct Apartment {
  int count = 0;
  DWORD mode = 0;
};
thread_local Apartment t_apartment;

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);

struct Library {
  void* handle = nullptr;
  GetClassObjectFn get_class_object = nullptr;
};

struct Libraries {
  std::mutex mu;
  std::map<std::string, Library> by_path;  // Guarded by mu; never shrinks.
};

Libraries& LoadedLibraries() {
  static Libraries* libs = new Libraries;  // libraries stay loaded to the end
  return *libs;
}

HRESULT LoadLibrary(const std::string& path, Library* out) {
  Libraries& libs = LoadedLibraries();
  std::lock_guard lock(libs.mu);
  if (auto it = libs.by_path.find(path); it != libs.by_path.end()) {
    *out = it->second;
    return S_OK;
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return CO_E_DLLNOTFOUND;
  Library lib;
  lib.handle = handle;
  lib.get_class_object = reinterpret_cast<GetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
  if (!lib.get_class_object) {
    dlclose(handle);
    return CO_E_ERRORINDLL;
  }
  libs.by_path[path] = lib;
  *out = lib;
  return S_OK;
}

// In-process class objects by CLSID. An entry holds while the registry's
// generation is the one it was found under; after a change the class's library
// path is read again and the object kept when the path is the same.
struct CachedClass {
  uint64_t generation = 0;
  std::string path;
  IUnknown* object = nullptr;
};

using ClsidKey = std::array<unsigned char, sizeof(GUID)>;

ClsidKey KeyOf(REFCLSID clsid) {
  ClsidKey key;
  std::memcpy(key.data(), &clsid, sizeof(GUID));
  return key;
}

struct ClassCache {
  std::shared_mutex mu;
  std::map<ClsidKey, CachedClass> by_clsid;  // Guarded by mu.
};

ClassCache& TheClassCache() {
  static ClassCache* cache = new ClassCache;  // its objects live as long as their libraries
  return *cache;
}

// True (with *hr) when the cache answers: the entry is of `generation`, or of
// `path` when that is given.
bool FromCache(REFCLSID clsid, uint64_t generation, const std::string* path, REFIID iid,
               void** object, HRESULT* hr) {
  ClassCache& cache = TheClassCache();
  IUnknown* found = nullptr;
  {
    std::shared_lock lock(cache.mu);
    auto it = cache.by_clsid.find(KeyOf(clsid));
    if (it == cache.by_clsid.end()) return false;
    if (it->second.generation == generation) {
      found = it->second.object;
    } else if (!path || it->second.path != *path) {
      return false;
    }
  }
  if (!found) {
    std::unique_lock lock(cache.mu);
    auto it = cache.by_clsid.find(KeyOf(clsid));
    if (it == cache.by_clsid.end() || it->second.path != *path) return false;
    it->second.generation = generation;
    found = it->second.object;
  }
  *hr = found->QueryInterface(iid, object);
  return true;
}

// Loads the class object from `path` and keeps it for the next calls.
HRESULT LoadClassObject(REFCLSID clsid, uint64_t generation, const std::string& path,
                        REFIID iid, void** object) {
  Library lib;
  if (const HRESULT hr = LoadLibrary(path, &lib); FAILED(hr)) return hr;
  IUnknown* unknown = nullptr;
  HRESULT hr = lib.get_class_object(clsid, IID_IUnknown, reinterpret_cast<void**>(&unknown));
  if (FAILED(hr)) return hr;
  if (!unknown) return E_UNEXPECTED;
  hr = unknown->QueryInterface(iid, object);
  ClassCache& cache = TheClassCache();
  IUnknown* replaced = nullptr;
  {
    std::unique_lock lock(cache.mu);
    CachedClass& entry = cache.by_clsid[KeyOf(clsid)];
    replaced = entry.object;
    entry = CachedClass{generation, path, unknown};
  }
  if (replaced) replaced->Release();
  return hr;
}

void ForgetClassObject(REFCLSID clsid) {
  ClassCache& cache = TheClassCache();
  IUnknown* dropped = nullptr;
  {
    std::unique_lock lock(cache.mu);
    auto it = cache.by_clsid.find(KeyOf(clsid));
    if (it == cache.by_clsid.end()) return;
    dropped = it->second.object;
    cache.by_clsid.erase(it);
  }
  dropped->Release();
}

bool KeyExists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// Distinguishes "not there" from "the registry cannot be read".
LSTATUS ReadDefault(const std::string& path, std::string* value) {
  HKEY key = nullptr;
  LSTATUS s = RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key);
  if (s != ERROR_SUCCESS) return s;
  DWORD type = 0, size = 0;
  s = RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size);
  if (s == ERROR_SUCCESS && type != REG_SZ) s = ERROR_FILE_NOT_FOUND;
  if (s == ERROR_SUCCESS) {
    std::string buf(size, '\0');
    s = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()),
                         &size);
    buf.resize(size > 0 ? size - 1 : 0);
    *value = std::move(buf);
  }
  RegCloseKey(key);
  return s;
}

bool IsReadFailure(LSTATUS s) {
  // ERROR_ACCESS_DENIED: a registry others could have written is refused.
  return s == ERROR_BADDB || s == ERROR_CANTREAD || s == ERROR_ACCESS_DENIED;
}

constexpr int kMaxCurVerHops = 4;  // a CurVer chain longer than this is a loop
constexpr size_t kMaxProgIdLength = 255;

}  // namespace

HRESULT CoInitializeEx(void*, DWORD coinit) {
  const DWORD mode = coinit & COINIT_APARTMENTTHREADED;
  if (t_apartment.count > 0) {
    if (t_apartment.mode != mode) return RPC_E_CHANGED_MODE;
    ++t_apartment.count;
    return S_FALSE;
  }
  t_apartment.count = 1;
  t_apartment.mode = mode;
  return S_OK;
}

void CoUninitialize() {
  if (t_apartment.count > 0) --t_apartment.count;
}

HRESULT CLSIDFromProgID(LPCOLESTR prog_id, CLSID* clsid) {
  if (!prog_id || !clsid) return E_INVALIDARG;
  std::string name = text::Narrow(prog_id);
  for (int hop = 0; hop <= kMaxCurVerHops; ++hop) {
    // A ProgID is one key name: a separator would reach elsewhere.
    if (name.empty() || name.size() > kMaxProgIdLength ||
        name.find('\\') != std::string::npos) {
      return CO_E_CLASSSTRING;
    }
    std::string value;
    LSTATUS s = ReadDefault(name + "\\CurVer", &value);
    if (IsReadFailure(s)) return REGDB_E_READREGDB;
    if (s == ERROR_SUCCESS && !value.empty() && !text::AsciiIEquals(value, name)) {
      name = value;
      continue;
    }
    s = ReadDefault(name + "\\CLSID", &value);
    if (IsReadFailure(s)) return REGDB_E_READREGDB;
    if (s != ERROR_SUCCESS) return CO_E_CLASSSTRING;
    return com::GuidFromRegistryString(value, clsid) ? S_OK : CO_E_CLASSSTRING;
  }
  return CO_E_CLASSSTRING;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void*, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (t_apartment.count == 0) return CO_E_NOTINITIALIZED;
  if ((context & CLSCTX_ALL) == 0) return E_INVALIDARG;
  // A class this process serves is used directly, whatever the registry says.
  if (HRESULT hr; com::remote::internal::FindRegisteredClassObject(clsid, iid, object, &hr)) {
    return hr;
  }
  const bool inproc = (context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)) != 0;
  const uint64_t generation = inproc ? registry::Generation() : 0;
  if (HRESULT hr; inproc && FromCache(clsid, generation, nullptr, iid, object, &hr)) return hr;
  const std::string key = "CLSID\\" + com::GuidToRegistryString(clsid);
  if (inproc) {
    std::string path;
    const LSTATUS s = ReadDefault(key + "\\InprocServer32", &path);
    if (IsReadFailure(s)) return REGDB_E_READREGDB;
    if (s == ERROR_SUCCESS && !path.empty()) {
      if (HRESULT hr; FromCache(clsid, generation, &path, iid, object, &hr)) return hr;
      return LoadClassObject(clsid, generation, path, iid, object);
    }
    ForgetClassObject(clsid);
  }
  if (context & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) {
    std::string command;
    const LSTATUS s = ReadDefault(key + "\\LocalServer32", &command);
    if (IsReadFailure(s)) return REGDB_E_READREGDB;
    if (s == ERROR_SUCCESS && !command.empty()) {
      return com::remote::internal::GetLocalServerClassObject(clsid, command, iid, object);
    }
    if (KeyExists(key + "\\LocalServer32")) return CO_E_SERVER_EXEC_FAILURE;  // no command
  }
  return REGDB_E_CLASSNOTREG;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(outer, iid, object);
  factory->Release();
  return hr;
}

// Libraries stay loaded for the life of the process. Unloading one is never
// safe here: another thread may be between its lookup and its call into the
// library, and a Release drops the module's count while that library's code is
// still running, so DllCanUnloadNow can say yes too early.
void CoFreeUnusedLibraries() {}
