// The component library of class likkelonObj: one class, CLSID_likkelonObj.
#include "platform/com/module.h"

#include "plugins/tests/likkelon/likkelon_obj.h"

namespace {

const com::ModuleClass kClasses[] = {
    {&CLSID_likkelonObj, &com::CreateInstance<testsvc::LikkelonObj>, kLikkelonDescription,
     kLikkelonProgId, kLikkelonIndependentProgId, &APPID_likkelon, "likkelon", &LIBID_likkelonLib,
     "likkelon 1.0 Type Library",
     /*threading_model=*/"Apartment", /*module_key=*/"likkelon.DLL"},
};

}  // namespace

QV_COMPONENT_ENTRY_POINTS(kClasses)
