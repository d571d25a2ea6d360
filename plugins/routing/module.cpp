// The WS-Routing header processor library: one class, CLSID_hastrel2.
#include "platform/com/module.h"
#include "plugins/routing/hastrel_impl.h"

namespace {

const com::ModuleClass kClasses[] = {
    {&CLSID_hastrel2, &com::CreateInstance<routing::Hastrel2Impl>, kHastrelDescription,
     kHastrelVersionedProgId, kHastrelProgId, &APPID_hastrel, "hastrel", &LIBID_hastrelLib,
     "hastrel 1.0 Type Library", /*threading_model=*/"Apartment", /*module_key=*/"hastrel.DLL"},
};

}  // namespace

QV_COMPONENT_ENTRY_POINTS(kClasses)
