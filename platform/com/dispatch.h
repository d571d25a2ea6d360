// Interface descriptions: each dual interface is described once, as data, and
// everything else is derived from that description:
//   - the C++ abstract interface (pure virtual methods in description order),
//   - IDispatch for implementations (com::Dispatch<I>): GetIDsOfNames for a
//     method name followed by parameter names, and Invoke with positional or
//     named arguments, coercion through VariantChangeType and [out] values
//     written through VT_BYREF,
//   - a proxy that implements the interface over any IDispatch
//     (com::MakeDispatchProxy<I>).
//
// A description lists the methods with their dispatch ids and parameters,
// each parameter as (direction, type, name):
//
//   #define QV_ISOAPSTRUCT_METHODS(X)
//     X(GetMember, 1, (In, BSTR, bstrName), (Out, VARIANT, pvarValue),
//       (Retval, VARIANT_BOOL, pResult))
//     X(Clear, 2)
//   (each line but the last ending in a backslash)
//   QV_DISPATCH_INTERFACE(ISoapStruct, IID_ISoapStruct, QV_ISOAPSTRUCT_METHODS)
//
// Directions: In (passed by value), Out, InOut and Retval (passed as a
// pointer; Retval is the last parameter and is the call's result through
// IDispatch). Types: BSTR, LONG (32 bits, the "long" of every description),
// ULONG, INT, UINT, SHORT, USHORT, BYTE, VARIANT_BOOL, DOUBLE, FLOAT, DATE,
// CY, VARIANT, DISPATCH (IDispatch*), UNKNOWN (IUnknown*).
//
// Invoke binds arguments as follows (argument index = position in the
// parameter list; the named-argument dispatch id of a parameter is its index):
//   - In: the argument converted to the parameter's type; a VT_BYREF argument
//     is read through. A VARIANT parameter receives the argument itself.
//   - Out and InOut: the argument must be VT_BYREF. VT_BYREF|T of the
//     parameter's own type passes its pointer straight to the method; a
//     VT_BYREF|VT_VARIANT argument has the whole variant replaced by the value
//     (of the parameter's type) after the call; a VT_BYREF of another type has
//     the value converted back to that type and stored there. The old value
//     held there is released first. An InOut parameter starts from the
//     argument's value, an Out parameter from empty (what the reference held
//     is released before the call, so a method that overwrites it leaks
//     nothing).
//   - Retval: written to the call's result variant (cleared first; it must be
//     initialised), or, when the caller passes it as one more argument, bound
//     like Out.
// The proxy passes In parameters by value, InOut ones as references to the
// caller's variables, Out ones as references to empty storage of its own that
// is moved into the caller's variables after a successful call (which are
// overwritten, not freed, as a direct call's [out] is), and takes Retval from
// the result variant, as any IDispatch answers it.
// A failing method makes Invoke return DISP_E_EXCEPTION with the method's
// HRESULT in the exception record's scode, and nothing is written back; a
// succeeding one makes it return the method's own success code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/base/base.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"

namespace com {

enum class ParamDir : uint8_t { In, Out, InOut, Retval };

struct ParamDesc {
  const char16_t* name;  // null only for the terminator of a list
  VARTYPE vt;            // VT_VARIANT for a VARIANT parameter
  ParamDir dir;
};

// Calls the method on `self` (the interface pointer) with one pointer per
// parameter, each pointing at a value of the parameter's C++ type.
using MethodThunk = HRESULT (*)(void* self, void* const* args);

struct MethodDesc {
  const char16_t* name;
  DISPID dispid;
  const ParamDesc* params;
  uint16_t param_count;
  MethodThunk call;
};

struct InterfaceDesc {
  const char16_t* name;
  const IID* iid;
  const MethodDesc* methods;
  size_t method_count;

  // Null when no method has that dispatch id.
  const MethodDesc* FindMethod(DISPID dispid) const;
};

// More parameters than this make a description invalid.
inline constexpr size_t kMaxParams = 32;

// The IDispatch operations over a description; `self` is the interface the
// description belongs to.
HRESULT DescribedGetIDsOfNames(const InterfaceDesc& desc, REFIID riid, LPOLESTR* names,
                               UINT count, DISPID* ids);
HRESULT DescribedInvoke(const InterfaceDesc& desc, void* self, DISPID member, REFIID riid,
                        WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                        UINT* arg_err);
// The proxy's side: calls `method` on `target` through Invoke with positional
// arguments, as described above.
HRESULT InvokeDescribedMethod(IDispatch* target, const MethodDesc& method, void* const* args);

namespace internal {

template <auto Method>
struct Thunk;

template <typename I, typename... Args, HRESULT (I::*Method)(Args...)>
struct Thunk<Method> {
  static HRESULT Call(void* self, void* const* args) {
    return CallWith(self, args, std::index_sequence_for<Args...>{});
  }
  template <size_t... N>
  static HRESULT CallWith(void* self, void* const* args, std::index_sequence<N...>) {
    (void)args;
    return (static_cast<I*>(self)->*Method)(*static_cast<Args*>(args[N])...);
  }
};

// Checks a description when it is compiled: unique positive dispatch ids,
// a Retval only last, parameter names unique and within kMaxParams.
constexpr bool SameNameIgnoringCase(const char16_t* a, const char16_t* b) {
  for (;; ++a, ++b) {
    char16_t x = *a, y = *b;
    if (x >= u'A' && x <= u'Z') x = char16_t(x + 32);
    if (y >= u'A' && y <= u'Z') y = char16_t(y + 32);
    if (x != y) return false;
    if (x == 0) return true;
  }
}

template <size_t N>
constexpr bool ValidDescription(const MethodDesc (&methods)[N]) {
  for (size_t i = 0; i < N; ++i) {
    const MethodDesc& m = methods[i];
    if (m.dispid <= 0 || m.param_count > kMaxParams) return false;
    for (size_t j = 0; j < i; ++j) {
      if (methods[j].dispid == m.dispid) return false;
      if (SameNameIgnoringCase(methods[j].name, m.name)) return false;
    }
    for (size_t p = 0; p < m.param_count; ++p) {
      if (m.params[p].dir == ParamDir::Retval && p + 1 != m.param_count) return false;
      for (size_t q = 0; q < p; ++q) {
        if (SameNameIgnoringCase(m.params[q].name, m.params[p].name)) return false;
      }
    }
  }
  return true;
}

template <size_t N>
constexpr uint16_t CountParams(const ParamDesc (&)[N]) {
  return uint16_t(N - 1);  // the last entry terminates the list
}

}  // namespace internal

// IDispatch for an implementation of the described interface I.
template <typename I>
class Dispatch : public I {
 public:
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                        DISPID* ids) override {
    return DescribedGetIDsOfNames(I::Description(), riid, names, count, ids);
  }
  HRESULT Invoke(DISPID member, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* excep, UINT* arg_err) override {
    return DescribedInvoke(I::Description(), static_cast<I*>(this), member, riid, flags,
                           params, result, excep, arg_err);
  }
};

// A new proxy implementing I by calls through `target`'s Invoke; null for a
// null target.
template <typename I>
ComPtr<I> MakeDispatchProxy(IDispatch* target) {
  if (!target) return nullptr;
  ComPtr<typename I::Proxy> proxy = MakeComObject<typename I::Proxy>(target);
  return ComPtr<I>(proxy.Get());
}

}  // namespace com

// ---- Description macros -------------------------------------------------
// The parameter lists are walked with the usual rescanning idiom; a method has
// at most kMaxParams (32) parameters.

#define QV_PARENS ()
#define QV_EXPAND(...) QV_EXPAND3(QV_EXPAND3(QV_EXPAND3(QV_EXPAND3(__VA_ARGS__))))
#define QV_EXPAND3(...) QV_EXPAND2(QV_EXPAND2(QV_EXPAND2(QV_EXPAND2(__VA_ARGS__))))
#define QV_EXPAND2(...) QV_EXPAND1(QV_EXPAND1(QV_EXPAND1(QV_EXPAND1(__VA_ARGS__))))
#define QV_EXPAND1(...) __VA_ARGS__
// F applied to each argument, the results separated by commas.
#define QV_FOR_EACH(F, ...) __VA_OPT__(QV_EXPAND(QV_FOR_EACH_HELPER(F, __VA_ARGS__)))
#define QV_FOR_EACH_HELPER(F, a, ...) F a __VA_OPT__(, QV_FOR_EACH_AGAIN QV_PARENS(F, __VA_ARGS__))
#define QV_FOR_EACH_AGAIN() QV_FOR_EACH_HELPER
// F applied to each argument, each result followed by a comma.
#define QV_FOR_EACH_TRAILING(F, ...) \
  __VA_OPT__(QV_EXPAND(QV_FOR_EACH_TRAILING_HELPER(F, __VA_ARGS__)))
#define QV_FOR_EACH_TRAILING_HELPER(F, a, ...) \
  F a, __VA_OPT__(QV_FOR_EACH_TRAILING_AGAIN QV_PARENS(F, __VA_ARGS__))
#define QV_FOR_EACH_TRAILING_AGAIN() QV_FOR_EACH_TRAILING_HELPER

#define QV_CAT(a, b) QV_CAT_(a, b)
#define QV_CAT_(a, b) a##b

// Type tokens: C++ type and automation type.
#define QV_CTYPE_BSTR BSTR
#define QV_CTYPE_LONG LONG
#define QV_CTYPE_ULONG ULONG
#define QV_CTYPE_INT INT
#define QV_CTYPE_UINT UINT
#define QV_CTYPE_SHORT SHORT
#define QV_CTYPE_USHORT USHORT
#define QV_CTYPE_BYTE BYTE
#define QV_CTYPE_VARIANT_BOOL VARIANT_BOOL
#define QV_CTYPE_DOUBLE DOUBLE
#define QV_CTYPE_FLOAT FLOAT
#define QV_CTYPE_DATE DATE
#define QV_CTYPE_CY CY
#define QV_CTYPE_VARIANT VARIANT
#define QV_CTYPE_DISPATCH IDispatch*
#define QV_CTYPE_UNKNOWN IUnknown*
#define QV_VT_BSTR VT_BSTR
#define QV_VT_LONG VT_I4
#define QV_VT_ULONG VT_UI4
#define QV_VT_INT VT_INT
#define QV_VT_UINT VT_UINT
#define QV_VT_SHORT VT_I2
#define QV_VT_USHORT VT_UI2
#define QV_VT_BYTE VT_UI1
#define QV_VT_VARIANT_BOOL VT_BOOL
#define QV_VT_DOUBLE VT_R8
#define QV_VT_FLOAT VT_R4
#define QV_VT_DATE VT_DATE
#define QV_VT_CY VT_CY
#define QV_VT_VARIANT VT_VARIANT
#define QV_VT_DISPATCH VT_DISPATCH
#define QV_VT_UNKNOWN VT_UNKNOWN
// Directions: how the C++ parameter is declared.
#define QV_PTYPE_In(t) QV_CTYPE_##t
#define QV_PTYPE_Out(t) QV_CTYPE_##t*
#define QV_PTYPE_InOut(t) QV_CTYPE_##t*
#define QV_PTYPE_Retval(t) QV_CTYPE_##t*

#define QV_PARAM_DECL(dir, t, name) QV_PTYPE_##dir(t) name
#define QV_PARAM_ADDR(dir, t, name) static_cast<void*>(&name)
#define QV_PARAM_DESC(dir, t, name) \
  ::com::ParamDesc { u## #name, QV_VT_##t, ::com::ParamDir::dir }

#define QV_IFACE_DECLARE(name, dispid, ...) \
  virtual HRESULT name(QV_FOR_EACH(QV_PARAM_DECL, __VA_ARGS__)) = 0;
#define QV_IFACE_PARAMS(name, dispid, ...)                                         \
  static constexpr ::com::ParamDesc kParams_##name[] = {                           \
      QV_FOR_EACH_TRAILING(QV_PARAM_DESC, __VA_ARGS__)::com::ParamDesc{nullptr, 0, \
                                                                       ::com::ParamDir::In}};
#define QV_IFACE_METHOD(name, dispid, ...)                                    \
  ::com::MethodDesc{u## #name, dispid, kParams_##name,                        \
                    ::com::internal::CountParams(kParams_##name),             \
                    &::com::internal::Thunk<&Self::name>::Call},
#define QV_IFACE_PROXY(name, dispid, ...)                                               \
  HRESULT name(QV_FOR_EACH(QV_PARAM_DECL, __VA_ARGS__)) override {                      \
    static const ::com::MethodDesc* const method = Description().FindMethod(dispid);    \
    void* const args[] = {QV_FOR_EACH_TRAILING(QV_PARAM_ADDR, __VA_ARGS__) nullptr};   \
    return ::com::InvokeDescribedMethod(target_.Get(), *method, args);                  \
  }

// Declares the dual interface `Name` (deriving from IDispatch, identity
// `iid`) from the description LIST, with Name::Description() and the proxy
// class Name::Proxy.
#define QV_DISPATCH_INTERFACE(Name, iid, LIST)                                          \
  class Name : public IDispatch {                                                       \
   public:                                                                              \
    static constexpr IID kIid = iid;                                                    \
    class Proxy;                                                                        \
    static const ::com::InterfaceDesc& Description();                                   \
    LIST(QV_IFACE_DECLARE)                                                              \
                                                                                        \
   protected:                                                                           \
    ~Name() = default;                                                                  \
  };                                                                                    \
  inline const ::com::InterfaceDesc& Name::Description() {                              \
    using Self = Name;                                                                  \
    LIST(QV_IFACE_PARAMS)                                                               \
    static constexpr ::com::MethodDesc kMethods[] = {LIST(QV_IFACE_METHOD)};            \
    static_assert(::com::internal::ValidDescription(kMethods),                          \
                  "bad description of " #Name);                                         \
    static constexpr ::com::InterfaceDesc kDesc{u## #Name, &kIid, kMethods,             \
                                                sizeof kMethods / sizeof kMethods[0]};  \
    return kDesc;                                                                       \
  }                                                                                     \
  class Name::Proxy final : public ::com::ComObject<Name::Proxy, Name> {                \
   public:                                                                              \
    explicit Proxy(IDispatch* target) : target_(target) {}                              \
    HRESULT GetTypeInfoCount(UINT* count) override {                                    \
      return target_->GetTypeInfoCount(count);                                          \
    }                                                                                   \
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {             \
      return target_->GetTypeInfo(index, lcid, info);                                   \
    }                                                                                   \
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,          \
                          DISPID* ids) override {                                       \
      return target_->GetIDsOfNames(riid, names, count, lcid, ids);                     \
    }                                                                                   \
    HRESULT Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, \
                   VARIANT* result, EXCEPINFO* excep, UINT* arg_err) override {         \
      return target_->Invoke(member, riid, lcid, flags, params, result, excep, arg_err); \
    }                                                                                   \
    LIST(QV_IFACE_PROXY)                                                                \
                                                                                        \
   private:                                                                             \
    ComPtr<IDispatch> target_;                                                          \
  };
