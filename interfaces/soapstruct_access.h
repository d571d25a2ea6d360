// Reading struct values that arrive from a peer: the VARIANT checked before
// the struct is asked for, and members looked up by name.
#pragma once

#include <string_view>

#include "interfaces/soapstruct.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"

// The struct of `element` (any VT_BYREF followed): a non-null VT_DISPATCH that
// answers ISoapStruct; empty otherwise.
inline ComPtr<ISoapStruct> SoapStructOf(const VARIANT& element) {
  Variant holder;
  if (FAILED(VariantCopyInd(&holder, &element)) || holder.vt != VT_DISPATCH || !holder.pdispVal) {
    return {};
  }
  return com::QueryInterfacePtr<ISoapStruct>(holder.pdispVal);
}

// The value of member `name`; VT_EMPTY when it is missing.
inline Variant SoapStructMember(ISoapStruct* s, std::u16string_view name) {
  Variant v;
  VARIANT_BOOL found = VARIANT_FALSE;
  Bstr bname{name};
  if (FAILED(s->GetMember(bname.Get(), &v, &found)) || found != VARIANT_TRUE) VariantClear(&v);
  return v;
}
