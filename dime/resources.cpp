#include "dime/resources.h"

namespace dime {

HRESULT DimeResources::CreateStorage(IStorage** storage) {
  return StgCreateDocfile(
      nullptr, STGM_DELETEONRELEASE | STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0,
      storage);
}

DimeResources& DimeResources::Default() {
  static DimeResources resources;
  return resources;
}

}  // namespace dime
