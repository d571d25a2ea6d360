// A counted object for tests of the value types: it lives on the test's stack,
// so its reference count shows exactly what the code under test added or
// released. Its value property (dispatch id 0) returns a copy of `value`.
#pragma once

#include "platform/com/variant.h"

namespace com::testing {

class FakeObject final : public IDispatch {
 public:
  explicit FakeObject(bool dispatch = true) : dispatch_(dispatch) {}
  ~FakeObject() { VariantClear(&value); }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown) {
      *object = static_cast<IUnknown*>(this);
    } else if (iid == IID_IDispatch && dispatch_) {
      *object = static_cast<IDispatch*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO*, UINT*) override {
    ++invokes;
    if (member != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || params->cArgs != 0) {
      return DISP_E_MEMBERNOTFOUND;
    }
    if (value.vt == VT_EMPTY) return DISP_E_MEMBERNOTFOUND;
    return VariantCopy(result, &value);
  }

  ULONG refs = 1;  // the test's own reference
  int invokes = 0;
  VARIANT value = {};  // VT_EMPTY: no value property

 private:
  bool dispatch_;
};

}  // namespace com::testing
