// Local-server classes: a program registers class objects that other
// processes of the same user reach over a Unix domain socket per class in the
// runtime directory, and CoCreateInstance reaches classes registered with a
// LocalServer32 command, starting the command when nothing listens yet.
// Calls cross by dispatch id through IDispatch (see connection.h).
#pragma once

#include <cstddef>
#include <string>

#include "platform/base/base.h"

inline constexpr DWORD REGCLS_SINGLEUSE = 0;
inline constexpr DWORD REGCLS_MULTIPLEUSE = 1;
inline constexpr DWORD REGCLS_MULTI_SEPARATE = 2;
inline constexpr DWORD REGCLS_SUSPENDED = 4;

inline constexpr DWORD RPC_C_AUTHN_LEVEL_DEFAULT = 0;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_PKT = 4;
inline constexpr DWORD RPC_C_IMP_LEVEL_IMPERSONATE = 3;
inline constexpr DWORD EOAC_NONE = 0;

inline constexpr HRESULT RPC_E_INVALID_DATAPACKET = MakeHresult(0x80010009);
inline constexpr HRESULT RPC_E_SERVERCALL_RETRYLATER = MakeHresult(0x8001010A);
inline constexpr HRESULT RPC_E_TIMEOUT = MakeHresult(0x8001011F);
inline constexpr HRESULT CO_E_OBJISREG = MakeHresult(0x800401FB);

// Makes `object` (an IClassFactory) the class object of `clsid` for this
// process. With CLSCTX_LOCAL_SERVER other processes reach it through the
// class's socket, whose calls run on this thread's message loop; with
// REGCLS_SUSPENDED they are refused until CoResumeClassObjects. Only
// multiple-use registration exists (REGCLS_SINGLEUSE: E_NOTIMPL).
// CO_E_OBJISREG when another live process (or this one) serves the class.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD context, DWORD flags,
                              DWORD* cookie);
// Stops serving the class: its socket goes, connections made through it are
// closed (pending calls fail, objects held by peers are released).
// Call on the registering thread. E_INVALIDARG for an unknown cookie.
HRESULT CoRevokeClassObject(DWORD cookie);
// Starts accepting for every suspended registration.
HRESULT CoResumeClassObjects();
// The socket's mode and the peer-uid check are the call security here: this
// accepts the usual arguments and succeeds.
HRESULT CoInitializeSecurity(void* security_descriptor, LONG auth_services, void* auth_list,
                             void* reserved1, DWORD authn_level, DWORD imp_level, void* auth_info,
                             DWORD capabilities, void* reserved3);
// The module lock of a local server: each connection a client holds counts
// once, as do these calls. They return the new count.
ULONG CoAddRefServerProcess();
ULONG CoReleaseServerProcess();

namespace com::remote {

// Waits. Each is far above any legitimate call, so a slow but live peer is
// not cut off; a dead one is noticed at once through its closed socket.
inline constexpr DWORD kCallTimeoutMs = 10 * 60 * 1000;    // one call's return
inline constexpr DWORD kServerStartTimeoutMs = 60 * 1000;  // a started server's socket
inline constexpr DWORD kConnectRetryMs = 20;
// Connections one class object serves at once (each has a reader thread);
// a peer beyond them is disconnected at once.
inline constexpr size_t kMaxClassConnections = 256;
// A local server ends after its module stayed unlocked this long.
inline constexpr DWORD kLocalServerShutdownDelayMs = 5000;

// The directory holding the class sockets: QUORVEL_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/quorvel, else /run/quorvel for root and
// /tmp/quorvel-<uid> for others. It is used only when it is no symlink, is
// owned by this user and others may not write to it.
std::string RuntimeDirectory();
// The socket of `clsid` inside the runtime directory.
std::string ClassSocketPath(REFCLSID clsid);

// Posts WM_QUIT to `loop_thread` once the module lock count has stayed zero
// for `delay_ms` (counting from the start too, so a server nobody reaches
// ends). One monitor per process; Stop joins it.
void StartShutdownMonitor(DWORD loop_thread, DWORD delay_ms = kLocalServerShutdownDelayMs);
void StopShutdownMonitor();
ULONG ModuleLockCount();

namespace internal {
// For CoGetClassObject: a class object this process registered, queried for
// `iid` into *object; false (nothing touched) when there is none.
bool FindRegisteredClassObject(REFCLSID clsid, REFIID iid, void** object, HRESULT* hr);
// For CoGetClassObject: a class factory that creates objects of `clsid` in
// the local server started by `command` (a LocalServer32 value).
HRESULT GetLocalServerClassObject(REFCLSID clsid, const std::string& command, REFIID iid,
                                  void** object);
}  // namespace internal

}  // namespace com::remote
