// The component library of class orsquel: one class, CLSID_orsquel.
#include "platform/com/module.h"

#include "plugins/tests/orsquel/orsquel.h"

namespace {

const com::ModuleClass kClasses[] = {
    {&CLSID_orsquel, &com::CreateInstance<testsvc::Orsquel>, kOrsquelDescription, kOrsquelProgId,
     kOrsquelIndependentProgId, &APPID_orsquel, "orsquel", &LIBID_orsquelLib,
     "orsquel 1.0 Type Library",
     /*threading_model=*/"Apartment", /*module_key=*/"orsquel.DLL"},
};

}  // namespace

QV_COMPONENT_ENTRY_POINTS(kClasses)
