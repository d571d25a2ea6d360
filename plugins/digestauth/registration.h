// The registration facts of the digest service's class, in one place: the
// host writes them for its RegServer switch, tests for their private
// registry.
#pragma once

#include <string>

#include "interfaces/jorvex.h"
#include "platform/com/registration.h"

namespace digestauth {

// The class served by the program started with `localServerCommand`.
inline com::ClassRegistration Jorvex2Registration(const std::string& localServerCommand) {
  com::ClassRegistration reg;
  reg.clsid = CLSID_jorvex2;
  reg.description = "jorvex2 Class";
  reg.prog_id = kJorvexVersionedProgId;
  reg.version_independent_prog_id = kJorvexProgId;
  reg.local_server = localServerCommand;
  reg.app_id = APPID_jorvane;
  reg.app_id_name = "jorvane";
  reg.module_key = "jorvane.EXE";
  reg.type_lib = LIBID_jorvaneLib;
  reg.type_lib_help = "jorvane 1.0 Type Library";
  return reg;
}

}  // namespace digestauth
