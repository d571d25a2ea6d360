// The component library of class nimbrel: one class, CLSID_nimbrel.
#include "platform/com/module.h"

#include "plugins/tests/nimbrel/nimbrel.h"

namespace {

const com::ModuleClass kClasses[] = {
    {&CLSID_nimbrel, &com::CreateInstance<testsvc::Nimbrel>, kNimbrelDescription, kNimbrelProgId,
     kNimbrelIndependentProgId, &APPID_nimbrel, "nimbrel", &LIBID_nimbrelLib,
     "nimbrel 1.0 Type Library",
     /*threading_model=*/"Apartment", /*module_key=*/"nimbrel.DLL"},
};

}  // namespace

QV_COMPONENT_ENTRY_POINTS(kClasses)
