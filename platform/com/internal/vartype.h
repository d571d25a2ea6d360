// Facts about variant types shared by the VARIANT and SAFEARRAY code.
#pragma once

#include "platform/com/variant.h"

namespace com::internal {

// Size in bytes of one value of base type `vt` (flags stripped) as held in an
// array element or behind a VT_BYREF pointer; 0 for a type that cannot be
// an array element (VT_EMPTY, VT_NULL, unknown types).
size_t ElementSize(VARTYPE vt);

// Whether `vt` (with its flags) may be held by a VARIANT.
bool IsValidVariantType(VARTYPE vt);

// A shallow, non-owning view of what a VT_BYREF variant points to: the result
// has the base type and the pointed-to value (for VT_VARIANT, the pointed-to
// variant itself, which must not be by-reference again). Non-by-reference
// variants are returned as they are. E_INVALIDARG for a null pointer or a
// second level of indirection. Never clear the view.
HRESULT Dereference(const VARIANT& src, VARIANT* view);

}  // namespace com::internal
