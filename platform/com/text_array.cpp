#include "platform/com/text_array.h"

#include <cstdint>
#include <utility>

namespace com {

bool OpenTextArray(const VARIANT& v, UINT dims, SAFEARRAY** array, VARTYPE* element_type) {
  if (v.vt != (VT_ARRAY | VT_VARIANT) && v.vt != (VT_ARRAY | VT_BSTR)) return false;
  VARTYPE et = VT_EMPTY;
  if (!v.parray || SafeArrayGetDim(v.parray) != dims ||
      FAILED(SafeArrayGetVartype(v.parray, &et)) || et != (v.vt & VT_TYPEMASK)) {
    return false;
  }
  *array = v.parray;
  *element_type = et;
  return true;
}

bool GetArrayBounds(SAFEARRAY* array, UINT dim, LONG* lower, LONG* upper) {
  return SUCCEEDED(SafeArrayGetLBound(array, dim, lower)) &&
         SUCCEEDED(SafeArrayGetUBound(array, dim, upper));
}

bool GetTextElement(SAFEARRAY* array, VARTYPE element_type, const LONG* indices, EmptyElement empty,
                    std::u16string* out) {
  if (element_type == VT_BSTR) {
    BSTR b = nullptr;
    if (FAILED(SafeArrayGetElement(array, indices, &b))) return false;
    out->assign(BstrView(b));
    SysFreeString(b);
    return true;
  }
  Variant e;
  if (FAILED(SafeArrayGetElement(array, indices, &e))) return false;
  if (e.vt == VT_BSTR) {
    out->assign(BstrView(e.bstrVal));
    return true;
  }
  if (empty == EmptyElement::Allowed && (e.vt == VT_EMPTY || e.vt == VT_NULL)) {
    out->clear();
    return true;
  }
  return false;
}

bool OpenVariantVector(const VARIANT& in, Variant* holder, SAFEARRAY** array, LONG* lower,
                       LONG* upper) {
  if (FAILED(VariantCopyInd(holder->Receive(), &in)) || holder->vt != (VT_ARRAY | VT_VARIANT)) {
    return false;
  }
  SAFEARRAY* a = holder->parray;
  VARTYPE et = VT_EMPTY;
  if (!a || SafeArrayGetDim(a) != 1 || FAILED(SafeArrayGetVartype(a, &et)) || et != VT_VARIANT ||
      !GetArrayBounds(a, 1, lower, upper)) {
    return false;
  }
  *array = a;
  return true;
}

}  // namespace com

namespace com {

bool GetTextVector(const VARIANT& in, EmptyElement empty, std::vector<std::u16string>* out) {
  out->clear();
  Variant holder;
  if (FAILED(VariantCopyInd(&holder, &in))) return false;
  if (holder.vt == VT_EMPTY || holder.vt == VT_NULL) return true;
  SAFEARRAY* a = nullptr;
  VARTYPE et = VT_EMPTY;
  LONG lo = 0, hi = -1;
  if (!OpenTextArray(holder, 1, &a, &et) || !GetArrayBounds(a, 1, &lo, &hi)) return false;
  for (int64_t i = lo; i <= hi; ++i) {
    const LONG index = LONG(i);
    std::u16string s;
    if (!GetTextElement(a, et, &index, empty, &s)) return false;
    out->push_back(std::move(s));
  }
  return true;
}

}  // namespace com
