// The component library of class pellasco2: one class, CLSID_pellasco2.
#include "platform/com/module.h"

#include "plugins/tests/pellasco/pellasco2.h"

namespace {

const com::ModuleClass kClasses[] = {
    {&CLSID_pellasco2, &com::CreateInstance<testsvc::Pellasco2>, kPellascoDescription,
     kPellascoProgId, kPellascoIndependentProgId, &APPID_pellasco, "pellasco", &LIBID_pellascoLib,
     "pellasco 1.0 Type Library",
     /*threading_model=*/"Apartment", /*module_key=*/"pellasco.DLL"},
};

}  // namespace

QV_COMPONENT_ENTRY_POINTS(kClasses)
