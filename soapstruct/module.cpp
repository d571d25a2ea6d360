// The struct value component library: one class, CLSID_SoapStruct.
#include "platform/com/module.h"
#include "soapstruct/soap_struct_impl.h"

namespace {

const com::ModuleClass kClasses[] = {
    {&CLSID_SoapStruct, &com::CreateInstance<soapstruct::SoapStructImpl>, "SoapStruct Class",
     kSoapStructProgId, kSoapStructIndependentProgId, &APPID_soapstruct, "soapstruct",
     &LIBID_SoapStructLib, "SoapStruct 1.0 Type Library", /*threading_model=*/"Both"},
};

}  // namespace

QV_COMPONENT_ENTRY_POINTS(kClasses)
