// VARIANT lifetime: initialisation, clearing and (deep) copying.
#include "platform/com/variant.h"

#include <cstring>

#include "platform/com/internal/vartype.h"

namespace com::internal {

size_t ElementSize(VARTYPE vt) {
  switch (vt & VT_TYPEMASK) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
      return 8;
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return sizeof(void*);
    case VT_DECIMAL:
      return sizeof(DECIMAL);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

bool IsValidVariantType(VARTYPE vt) {
  const VARTYPE base = vt & VT_TYPEMASK;
  const VARTYPE flags = vt & ~VT_TYPEMASK;
  if (flags & ~(VT_ARRAY | VT_BYREF)) return false;
  if (base == VT_EMPTY || base == VT_NULL) return flags == 0;
  if (base == VT_VARIANT) return flags != 0;
  return ElementSize(base) != 0;
}

HRESULT Dereference(const VARIANT& src, VARIANT* view) {
  if (!(src.vt & VT_BYREF)) {
    *view = src;
    return S_OK;
  }
  if (!src.byref) return E_INVALIDARG;
  const VARTYPE vt = src.vt & ~VT_BYREF;
  if (vt == VT_VARIANT) {
    if (src.pvarVal->vt & VT_BYREF) return E_INVALIDARG;
    *view = *src.pvarVal;
    return S_OK;
  }
  VariantInit(view);
  view->vt = vt;
  if (vt & VT_ARRAY) {
    view->parray = *src.pparray;
  } else {
    std::memcpy(&view->llVal, src.byref, ElementSize(vt));
  }
  return S_OK;
}

}  // namespace com::internal

using com::internal::IsValidVariantType;

void VariantInit(VARIANTARG* v) {
  if (!v) return;
  std::memset(v, 0, sizeof *v);
  v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* v) {
  if (!v) return E_INVALIDARG;
  if (!IsValidVariantType(v->vt)) return DISP_E_BADVARTYPE;
  if (!(v->vt & VT_BYREF)) {
    if (v->vt & VT_ARRAY) {
      if (HRESULT hr = SafeArrayDestroy(v->parray); FAILED(hr)) return hr;
    } else if (v->vt == VT_BSTR) {
      SysFreeString(v->bstrVal);
    } else if ((v->vt == VT_DISPATCH || v->vt == VT_UNKNOWN) && v->punkVal) {
      v->punkVal->Release();
    }
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (!IsValidVariantType(src->vt)) return DISP_E_BADVARTYPE;
  if (dest == src) return S_OK;
  VARIANT copy = *src;
  if (!(src->vt & VT_BYREF)) {
    if (src->vt & VT_ARRAY) {
      if (HRESULT hr = SafeArrayCopy(src->parray, &copy.parray); FAILED(hr)) return hr;
    } else if (src->vt == VT_BSTR && src->bstrVal) {
      copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
      if (!copy.bstrVal) return E_OUTOFMEMORY;
    } else if ((src->vt == VT_DISPATCH || src->vt == VT_UNKNOWN) && src->punkVal) {
      src->punkVal->AddRef();
    }
  }
  if (HRESULT hr = VariantClear(dest); FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *dest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (!IsValidVariantType(src->vt)) return DISP_E_BADVARTYPE;
  VARIANT view;
  if (HRESULT hr = com::internal::Dereference(*src, &view); FAILED(hr)) return hr;
  // Copy into a temporary first: `dest` may be `src`, or what it points to.
  VARIANT copy;
  VariantInit(&copy);
  if (HRESULT hr = VariantCopy(&copy, &view); FAILED(hr)) return hr;
  if (HRESULT hr = VariantClear(dest); FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *dest = copy;
  return S_OK;
}
