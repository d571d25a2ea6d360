#include "server/braskel/service_registration.h"

#include <string>

#include "interfaces/braskelmgr.h"
#include "platform/com/registration.h"

namespace server {

service::HostIdentity BraskelIdentity() {
  service::HostIdentity id;
  id.service_name = kServiceName;
  id.app_id = APPID_braskel;
  id.app_id_name = "braskel";
  id.classes = [](const std::string& executablePath) {
    com::ClassRegistration reg;
    reg.clsid = CLSID_braskelmgr2;
    reg.description = "braskelmgr2 Class";
    reg.prog_id = kBraskelMgrVersionedProgId;
    reg.version_independent_prog_id = kBraskelMgrProgId;
    reg.local_server = executablePath;
    reg.app_id = APPID_braskel;
    reg.app_id_name = "braskel";
    return std::vector<com::ClassRegistration>{reg};
  };
  return id;
}

HRESULT RegisterServer(const std::string& executablePath, bool asService) {
  return service::RegisterServer(BraskelIdentity(), executablePath, asService);
}

HRESULT UnregisterServer() { return service::UnregisterServer(BraskelIdentity()); }

long ReadAppIdMode(bool* localService) {
  return service::ReadAppIdMode(BraskelIdentity(), localService);
}

}  // namespace server
