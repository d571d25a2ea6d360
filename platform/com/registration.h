// Writing and removing the registry entries of a class, for component
// libraries (through DllRegisterServer) and for programs that register their
// own classes (their RegServer switch).
//
// Registering writes, below HKEY_CLASSES_ROOT:
//   CLSID\{clsid}                   = description; value AppID = {appid}
//     ProgID                        = prog_id
//     VersionIndependentProgID      = version_independent_prog_id
//     Programmable                  (empty key)
//     InprocServer32                = module path; value ThreadingModel
//     or LocalServer32              = command line
//     TypeLib                       = {libid}
//   <prog_id>                       = description; CLSID = {clsid}
//   <version_independent_prog_id>   = description; CLSID = {clsid}; CurVer = prog_id
//   AppID\{appid}                   = app_id_name
//   AppID\<module_key>              value AppID = {appid}
//   TypeLib\{libid}\<version>       = type_lib_help; 0\linux = module path
// Empty fields leave their entries out.
#pragma once

#include <optional>
#include <string>

#include "platform/base/base.h"

namespace com {

struct ClassRegistration {
  CLSID clsid = GUID_NULL;
  std::string description;  // "quenlin2 Class"
  std::string prog_id;      // versioned: "braskel.quenlin2.1"
  std::string version_independent_prog_id;  // "braskel.quenlin2"
  std::string inproc_server;                // absolute path of the library
  std::string threading_model = "Apartment";
  std::string local_server;  // command line of a program serving the class
  std::optional<GUID> app_id;
  std::string app_id_name;  // default value of AppID\{appid}
  std::string module_key;   // key below AppID naming the module ("quenlin.DLL")
  std::optional<GUID> type_lib;
  std::string type_lib_version = "1.0";
  std::string type_lib_help;  // "quenlin 1.0 Type Library"
};

// Writes the entries above. A ProgID that already names another class is not
// taken over: SELFREG_E_CLASS, and nothing of this class is written.
// REGDB_E_WRITEREGDB when the registry cannot be written.
[[nodiscard]] HRESULT RegisterServerClass(const ClassRegistration& reg);
// Removes the class's entries; ProgIDs are removed only while they still name
// this class. Entries already gone are no error.
[[nodiscard]] HRESULT UnregisterServerClass(const ClassRegistration& reg);

}  // namespace com
