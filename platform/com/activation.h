// Class activation: apartments, ProgID lookup and the creation of objects of
// registered classes. In-process servers are shared libraries named by the
// class's InprocServer32 key, loaded once per process with dlopen and kept
// loaded to the end of the process; their class objects are kept by CLSID and
// handed out again while the registry is unchanged (or names the same library).
// Classes whose class object this process registered are served directly;
// local servers (LocalServer32) are reached through platform/com/remote.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/base.h"

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr DWORD CLSCTX_SERVER =
    CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
inline constexpr DWORD CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER;

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

class IClassFactory : public IUnknown {
 public:
  static constexpr IID kIid = IID_IClassFactory;
  // `outer` is an aggregating object; our classes refuse aggregation with
  // CLASS_E_NOAGGREGATION.
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};

// Enters an apartment on this thread: S_OK the first time, S_FALSE when the
// thread is already in one of the same kind, RPC_E_CHANGED_MODE when it is in
// the other kind. Every successful call needs one CoUninitialize.
HRESULT CoInitializeEx(void* reserved, DWORD coinit);
inline HRESULT CoInitialize(void* reserved) {
  return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}
void CoUninitialize();

// The CLSID registered for a ProgID; a ProgID with a CurVer key (a
// version-independent one) is followed to the version it names.
// CO_E_CLASSSTRING when it is not registered, REGDB_E_READREGDB when the
// registry cannot be read.
HRESULT CLSIDFromProgID(LPCOLESTR prog_id, CLSID* clsid);

// The class object of a registered class. Fails with CO_E_NOTINITIALIZED
// outside an apartment, REGDB_E_CLASSNOTREG for an unknown class or context,
// CO_E_DLLNOTFOUND or CO_E_ERRORINDLL when its library does not load or lacks
// DllGetClassObject, and whatever the library answers.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* server_info, REFIID iid,
                         void** object);
// Creates an object through the class object's IClassFactory.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object);
// Does nothing: a library cannot be unloaded safely while another thread may
// be running its code, so loaded libraries stay until the process ends.
void CoFreeUnusedLibraries();

namespace com {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, as the registry holds.
std::string GuidToRegistryString(const GUID& guid);
// Parses the braced form (either case); false for anything else.
bool GuidFromRegistryString(std::string_view text, GUID* guid);

}  // namespace com
