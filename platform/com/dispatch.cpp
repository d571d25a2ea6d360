#include "platform/com/dispatch.h"

#include <cstring>

#include "platform/com/internal/vartype.h"

namespace com {
namespace {

bool SameName(const char16_t* a, const OLECHAR* b) {
  return b && internal::SameNameIgnoringCase(a, b);
}

// Bytes of a value of type `vt` as stored in a variant or behind VT_BYREF;
// 0 for a type that cannot be stored that way.
size_t ValueSize(VARTYPE vt) {
  if (vt & VT_ARRAY) return sizeof(SAFEARRAY*);
  if ((vt & ~VT_TYPEMASK) || vt == VT_VARIANT) return 0;
  return internal::ElementSize(vt);
}

// Where a value of a non-VARIANT type lives inside a variant: every member of
// the union starts at the same place.
void* ValueAddress(VARIANT& v) { return &v.llVal; }

// Converts `src` (read through one VT_BYREF) to `vt` into `dest`, which owns
// the result.
HRESULT Coerce(VARIANT* dest, const VARIANTARG* src, VARTYPE vt) {
  if (src->vt & VT_BYREF) {
    if (!src->byref) return DISP_E_TYPEMISMATCH;
    VARIANT plain;
    VariantInit(&plain);
    HRESULT hr = VariantCopyInd(&plain, src);
    if (SUCCEEDED(hr)) hr = VariantChangeType(dest, &plain, 0, vt);
    VariantClear(&plain);
    return hr;
  }
  return VariantChangeType(dest, src, 0, vt);
}

// Stores `value` (of the by-reference type of `target`) where `target`
// points, releasing what was there. Takes ownership of `value`.
void StoreByRef(VARIANTARG* target, VARIANT* value) {
  const VARTYPE base = target->vt & ~VT_BYREF;
  if (base & VT_ARRAY) {
    if (*target->pparray) SafeArrayDestroy(*target->pparray);
    *target->pparray = value->parray;
  } else if (base == VT_BSTR) {
    SysFreeString(*target->pbstrVal);
    *target->pbstrVal = value->bstrVal;
  } else if (base == VT_DISPATCH || base == VT_UNKNOWN) {
    if (*target->ppunkVal) (*target->ppunkVal)->Release();
    *target->ppunkVal = value->punkVal;
  } else {
    std::memcpy(target->byref, ValueAddress(*value), ValueSize(base));
  }
  value->vt = VT_EMPTY;
}

enum class WriteBack : uint8_t {
  None,          // the method wrote straight into the caller's storage
  Result,        // the value becomes the call's result
  WholeVariant,  // the value replaces the VT_BYREF|VT_VARIANT target
  Converted,     // the value is converted to the target's type and stored
};

struct Binding {
  VARIANT value;             // the value passed, or the storage written to
  void* pointer = nullptr;   // what a pointer parameter receives
  void* slot = nullptr;      // what the thunk reads the parameter from
  VARIANTARG* target = nullptr;
  WriteBack write_back = WriteBack::None;
  bool owns_value = false;   // value must be cleared at the end
  bool empty_first = false;  // an [out] the method writes straight into
};

// Releases what a by-reference argument points at and leaves it empty: a
// method overwrites an [out] without freeing it.
HRESULT EmptyByRef(VARIANTARG* arg) {
  const VARTYPE base = arg->vt & ~VT_BYREF;
  if (base == VT_VARIANT) return VariantClear(arg->pvarVal);
  if (base & VT_ARRAY) {
    if (HRESULT hr = SafeArrayDestroy(*arg->pparray); FAILED(hr)) return hr;
    *arg->pparray = nullptr;
  } else if (base == VT_BSTR) {
    SysFreeString(std::exchange(*arg->pbstrVal, nullptr));
  } else if (base == VT_DISPATCH || base == VT_UNKNOWN) {
    if (IUnknown* old = std::exchange(*arg->ppunkVal, nullptr)) old->Release();
  } else {
    std::memset(arg->byref, 0, ValueSize(base));
  }
  return S_OK;
}

class Bindings {
 public:
  explicit Bindings(size_t count) : count_(count) {
    for (size_t i = 0; i < count_; ++i) VariantInit(&b_[i].value);
  }
  ~Bindings() {
    for (size_t i = 0; i < count_; ++i) {
      if (b_[i].owns_value) VariantClear(&b_[i].value);
    }
  }
  Binding& operator[](size_t i) { return b_[i]; }

 private:
  size_t count_;
  Binding b_[kMaxParams];
};

HRESULT BindIn(const ParamDesc& p, VARIANTARG* arg, Binding& b) {
  const VARIANTARG* src = arg;
  if (src->vt == (VT_BYREF | VT_VARIANT)) {
    if (!src->pvarVal) return DISP_E_TYPEMISMATCH;
    src = src->pvarVal;
  }
  if (p.vt == VT_VARIANT) {
    b.slot = &b.value;
    if (src->vt & VT_BYREF) {
      b.owns_value = true;
      return VariantCopyInd(&b.value, src);
    }
    b.value = *src;  // borrowed: the caller keeps what it owns
    return S_OK;
  }
  b.slot = ValueAddress(b.value);
  if (src->vt == p.vt) {
    b.value = *src;
    return S_OK;
  }
  if (src->vt == (VT_BYREF | p.vt) && src->byref) {
    std::memcpy(ValueAddress(b.value), src->byref, ValueSize(p.vt));
    b.value.vt = p.vt;
    return S_OK;
  }
  b.owns_value = true;
  return Coerce(&b.value, src, p.vt);
}

HRESULT BindByRef(const ParamDesc& p, VARIANTARG* arg, Binding& b) {
  b.slot = &b.pointer;
  if (!arg) {  // a Retval that goes to the result
    b.value.vt = p.vt == VT_VARIANT ? VARTYPE(VT_EMPTY) : p.vt;
    b.owns_value = true;
    b.pointer = p.vt == VT_VARIANT ? static_cast<void*>(&b.value) : ValueAddress(b.value);
    b.write_back = WriteBack::Result;
    return S_OK;
  }
  if (!(arg->vt & VT_BYREF) || !arg->byref) return DISP_E_TYPEMISMATCH;
  const VARTYPE base = arg->vt & ~VT_BYREF;
  const bool in_out = p.dir == ParamDir::InOut;
  if (base == p.vt) {
    b.pointer = arg->byref;
    b.target = arg;
    b.empty_first = !in_out;
    return S_OK;
  }
  b.target = arg;
  b.owns_value = true;
  if (base == VT_VARIANT) {
    b.write_back = WriteBack::WholeVariant;
    b.pointer = ValueAddress(b.value);
    if (in_out) return Coerce(&b.value, arg->pvarVal, p.vt);
    b.value.vt = p.vt;
    return S_OK;
  }
  if (ValueSize(base) == 0) return DISP_E_BADVARTYPE;
  b.write_back = WriteBack::Converted;
  if (p.vt == VT_VARIANT) {
    b.pointer = &b.value;
    return in_out ? VariantCopyInd(&b.value, arg) : S_OK;
  }
  b.pointer = ValueAddress(b.value);
  if (in_out) return Coerce(&b.value, arg, p.vt);
  b.value.vt = p.vt;
  return S_OK;
}

}  // namespace

const MethodDesc* InterfaceDesc::FindMethod(DISPID dispid) const {
  for (size_t i = 0; i < method_count; ++i) {
    if (methods[i].dispid == dispid) return &methods[i];
  }
  return nullptr;
}

HRESULT DescribedGetIDsOfNames(const InterfaceDesc& desc, REFIID riid, LPOLESTR* names,
                               UINT count, DISPID* ids) {
  if (riid != GUID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (count == 0) return S_OK;
  if (!names || !ids) return E_POINTER;
  const MethodDesc* method = nullptr;
  for (size_t i = 0; i < desc.method_count && !method; ++i) {
    if (SameName(desc.methods[i].name, names[0])) method = &desc.methods[i];
  }
  if (!method) {
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  ids[0] = method->dispid;
  HRESULT hr = S_OK;
  for (UINT i = 1; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
    for (uint16_t p = 0; p < method->param_count; ++p) {
      if (SameName(method->params[p].name, names[i])) ids[i] = DISPID(p);
    }
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT DescribedInvoke(const InterfaceDesc& desc, void* self, DISPID member, REFIID riid,
                        WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                        UINT* arg_err) {
  if (riid != GUID_NULL) return DISP_E_UNKNOWNINTERFACE;
  const MethodDesc* method = desc.FindMethod(member);
  if (!method || !(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) {
    return DISP_E_MEMBERNOTFOUND;
  }
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (!params) params = &none;
  const UINT args = params->cArgs;
  const UINT named = params->cNamedArgs;
  if (named > args || (args > 0 && !params->rgvarg) || (named > 0 && !params->rgdispidNamedArgs)) {
    return E_INVALIDARG;
  }
  const size_t n = method->param_count;
  if (args > n) return DISP_E_BADPARAMCOUNT;

  // Which argument (index into rgvarg) each parameter takes.
  VARIANTARG* bound[kMaxParams] = {};
  UINT arg_index[kMaxParams] = {};
  for (UINT k = 0; k < named; ++k) {
    const DISPID id = params->rgdispidNamedArgs[k];
    if (id < 0 || size_t(id) >= n || bound[id]) {
      if (arg_err) *arg_err = k;
      return DISP_E_PARAMNOTFOUND;
    }
    bound[id] = &params->rgvarg[k];
    arg_index[id] = k;
  }
  for (UINT i = 0; i < args - named; ++i) {  // positional ones are stored last to first
    const UINT k = args - 1 - i;
    if (bound[i]) {
      if (arg_err) *arg_err = k;
      return DISP_E_PARAMNOTFOUND;
    }
    bound[i] = &params->rgvarg[k];
    arg_index[i] = k;
  }
  size_t required = 0;
  for (size_t p = 0; p < n; ++p) required += method->params[p].dir != ParamDir::Retval;
  if (args < required) return DISP_E_BADPARAMCOUNT;
  for (size_t p = 0; p < n; ++p) {
    if (!bound[p] && method->params[p].dir != ParamDir::Retval) return DISP_E_PARAMNOTOPTIONAL;
  }

  Bindings bindings(n);
  void* slots[kMaxParams] = {};
  for (size_t p = 0; p < n; ++p) {
    const ParamDesc& desc_p = method->params[p];
    const HRESULT hr = desc_p.dir == ParamDir::In ? BindIn(desc_p, bound[p], bindings[p])
                                                  : BindByRef(desc_p, bound[p], bindings[p]);
    if (FAILED(hr)) {
      if (arg_err && bound[p]) *arg_err = arg_index[p];
      return hr;
    }
    slots[p] = bindings[p].slot;
  }
  // Only once every argument is bound, so that a refused call changes nothing.
  for (size_t p = 0; p < n; ++p) {
    if (!bindings[p].empty_first) continue;
    if (const HRESULT hr = EmptyByRef(bindings[p].target); FAILED(hr)) {
      if (arg_err) *arg_err = arg_index[p];
      return hr;
    }
  }

  HRESULT hr;
  try {
    hr = method->call(self, slots);
  } catch (...) {
    hr = E_UNEXPECTED;  // nothing may cross the boundary as an exception
  }
  if (FAILED(hr)) {
    if (excep) {
      *excep = EXCEPINFO{};
      excep->scode = hr;
    }
    return DISP_E_EXCEPTION;
  }

  HRESULT written = S_OK;
  for (size_t p = 0; p < n; ++p) {
    Binding& b = bindings[p];
    switch (b.write_back) {
      case WriteBack::None:
        break;
      case WriteBack::Result:
        if (result) {
          VariantClear(result);
          *result = b.value;
          b.owns_value = false;
        }
        break;
      case WriteBack::WholeVariant:
        VariantClear(b.target->pvarVal);
        *b.target->pvarVal = b.value;
        b.owns_value = false;
        break;
      case WriteBack::Converted: {
        VARIANT converted;
        VariantInit(&converted);
        const HRESULT hr_conv =
            Coerce(&converted, &b.value, VARTYPE(b.target->vt & ~VT_BYREF));
        if (SUCCEEDED(hr_conv)) {
          StoreByRef(b.target, &converted);
        } else if (SUCCEEDED(written)) {
          written = hr_conv;
          if (arg_err) *arg_err = arg_index[p];
        }
        break;
      }
    }
  }
  // A success code other than S_OK (S_FALSE) is the method's answer too.
  return FAILED(written) ? written : hr;
}

HRESULT InvokeDescribedMethod(IDispatch* target, const MethodDesc& method, void* const* args) {
  if (!target) return E_POINTER;
  const size_t n = method.param_count;
  const bool has_retval = n > 0 && method.params[n - 1].dir == ParamDir::Retval;
  const size_t passed = has_retval ? n - 1 : n;
  // [out] values arrive in storage of our own: the caller's may be
  // uninitialised, and a by-reference argument is read by whoever handles it.
  Bindings outs(passed);
  VARIANTARG argv[kMaxParams];
  for (size_t p = 0; p < passed; ++p) {
    const ParamDesc& d = method.params[p];
    VARIANTARG& a = argv[passed - 1 - p];  // positional arguments go last to first
    VariantInit(&a);
    if (d.dir == ParamDir::In) {
      if (d.vt == VT_VARIANT) {
        a = *static_cast<const VARIANT*>(args[p]);  // borrowed, as a by-value argument is
      } else {
        a.vt = d.vt;
        std::memcpy(ValueAddress(a), args[p], ValueSize(d.vt));
      }
      continue;
    }
    void* pointer = *static_cast<void* const*>(args[p]);
    if (!pointer) return E_POINTER;
    a.vt = VARTYPE(VT_BYREF | d.vt);
    if (d.dir == ParamDir::InOut) {
      a.byref = pointer;
      continue;
    }
    VARIANT& temp = outs[p].value;
    outs[p].owns_value = true;
    if (d.vt != VT_VARIANT) temp.vt = d.vt;  // a zero value of that type
    a.byref = d.vt == VT_VARIANT ? static_cast<void*>(&temp) : ValueAddress(temp);
  }
  if (has_retval && !*static_cast<void* const*>(args[n - 1])) return E_POINTER;
  DISPPARAMS dp{passed ? argv : nullptr, nullptr, UINT(passed), 0};
  EXCEPINFO excep{};
  UINT arg_err = 0;
  Variant result;
  HRESULT hr = target->Invoke(method.dispid, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                              &dp, &result, &excep, &arg_err);
  if (hr == DISP_E_EXCEPTION) {
    if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
    hr = FAILED(excep.scode) ? excep.scode : E_FAIL;
  }
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  if (FAILED(hr)) return hr;

  if (has_retval) {
    const VARTYPE vt = method.params[n - 1].vt;
    void* pointer = *static_cast<void* const*>(args[n - 1]);
    if (vt == VT_VARIANT) {
      *static_cast<VARIANT*>(pointer) = result.Detach();
    } else {
      if (result.vt != vt) {
        if (const HRESULT conv = Coerce(&result, &result, vt); FAILED(conv)) return conv;
      }
      VARIANT value = result.Detach();
      std::memcpy(pointer, ValueAddress(value), ValueSize(vt));
    }
  }
  // Like a direct call, the caller's variables are overwritten, not freed.
  for (size_t p = 0; p < passed; ++p) {
    const ParamDesc& d = method.params[p];
    if (d.dir != ParamDir::Out) continue;
    void* pointer = *static_cast<void* const*>(args[p]);
    Binding& b = outs[p];
    if (d.vt == VT_VARIANT) {
      *static_cast<VARIANT*>(pointer) = b.value;
    } else {
      std::memcpy(pointer, ValueAddress(b.value), ValueSize(d.vt));
    }
    b.owns_value = false;
  }
  return hr;
}

}  // namespace com
