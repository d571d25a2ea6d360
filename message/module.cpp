// The SOAP message component library: one class, CLSID_quenlin2.
#include "platform/com/module.h"

#include "message/quenlin_impl.h"

namespace {

const com::ModuleClass kClasses[] = {
    {&CLSID_quenlin2, &com::CreateInstance<message::QuenlinImpl>, kQuenlinDescription,
     kQuenlinProgId, kQuenlinIndependentProgId, &APPID_quenlin, "quenlin", &LIBID_quenlinLib,
     "quenlin 1.0 Type Library", /*threading_model=*/"Apartment", /*module_key=*/"quenlin.DLL"},
};

}  // namespace

QV_COMPONENT_ENTRY_POINTS(kClasses)
