// What the braskel program writes into the registry about itself: its AppID
// key (whose LocalService value makes it start as a service), the classes it
// serves from its own process, and its service record (the shared host does
// the writing). The program's
// "RegServer", "Service" and "UnregServer" switches run these.
#pragma once

#include <string>

#include "platform/base/base.h"
#include "platform/service/service_host.h"

namespace server {

// The service's name: it names the service, its display name and the
// event-log source of the program.
inline constexpr char kServiceName[] = "Quorvel SOAP Service";

// The text forms of APPID_braskel and CLSID_braskelmgr2 (interfaces/braskelmgr.h).
inline constexpr char kAppId[] = "{0F827EE3-EB6E-4E62-96EF-D39D63E5252B}";
// Below HKEY_CLASSES_ROOT.
inline constexpr char kAppIdKey[] = "AppID\\{0F827EE3-EB6E-4E62-96EF-D39D63E5252B}";
using service::kLocalServiceValue;

// The management class served by the program.
inline constexpr char kBraskelMgrClsid[] = "{9CDC65F4-C6B4-4A1F-ADAC-EE213AAC4CA0}";

using service::HresultFromWin32;

// The program's service name, AppID and classes, for the shared host.
service::HostIdentity BraskelIdentity();

// "RegServer" (asService false) or "Service" (true): removes an installed
// service, writes the AppID key, clears LocalService, and for a service sets
// LocalService to the service name and installs the service (running
// `executablePath`) when it is not installed; then registers the classes.
HRESULT RegisterServer(const std::string& executablePath, bool asService);
// "UnregServer": removes the class registrations, the AppID key and an
// installed service.
HRESULT UnregisterServer();

// Opens the AppID key: its error number when that fails (ERROR_FILE_NOT_FOUND
// when the program is not registered), else 0 with *localService telling
// whether LocalService is set.
long ReadAppIdMode(bool* localService);

}  // namespace server
