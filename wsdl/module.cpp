// The WSDL reader component library: one class, dorvish2.
#include "platform/com/module.h"

#include "wsdl/dorvish_impl.h"

namespace {

const com::ModuleClass kClasses[] = {
    {&CLSID_dorvish2, &com::CreateInstance<wsdl::DorvishImpl>, kDorvishDescription, kDorvishProgId,
     kDorvishIndependentProgId, &APPID_dorvish, "dorvish", &LIBID_dorvishLib,
     "dorvish 1.0 Type Library", /*threading_model=*/"Apartment", /*module_key=*/"dorvish.DLL"},
};

}  // namespace

QV_COMPONENT_ENTRY_POINTS(kClasses)
