// Scalar types, result codes, GUIDs and the two root interfaces of the
// automation runtime. Everything that crosses a component boundary is built
// from these; the names are those the design uses so its text maps onto ours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

using BYTE = uint8_t;
using CHAR = char;
using SHORT = int16_t;
using USHORT = uint16_t;
using WORD = uint16_t;
using LONG = int32_t;      // 32 bits, as "long" in every interface description
using ULONG = uint32_t;
using DWORD = uint32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using INT = int;
using UINT = unsigned int;
using FLOAT = float;
using DOUBLE = double;
using BOOL = int;
using HRESULT = int32_t;
using SCODE = int32_t;
using LCID = uint32_t;
using DISPID = int32_t;
using MEMBERID = DISPID;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using DATE = double;  // days since 30 December 1899, time as the fraction
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;  // length-prefixed, see bstr.h

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;  // 0xFFFF
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr HRESULT MakeHresult(uint32_t value) { return static_cast<HRESULT>(value); }

// Result codes. Values are those automation callers compare against.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002);
inline constexpr HRESULT E_POINTER = MakeHresult(0x80004003);
inline constexpr HRESULT E_ABORT = MakeHresult(0x80004004);
inline constexpr HRESULT E_FAIL = MakeHresult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005);
inline constexpr HRESULT E_HANDLE = MakeHresult(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154);
inline constexpr HRESULT REGDB_E_READREGDB = MakeHresult(0x80040150);
inline constexpr HRESULT REGDB_E_WRITEREGDB = MakeHresult(0x80040151);
inline constexpr HRESULT CO_E_NOTINITIALIZED = MakeHresult(0x800401F0);
inline constexpr HRESULT CO_E_CLASSSTRING = MakeHresult(0x800401F3);
inline constexpr HRESULT CO_E_DLLNOTFOUND = MakeHresult(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = MakeHresult(0x800401F9);
inline constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = MakeHresult(0x80080005);
inline constexpr HRESULT RPC_E_CHANGED_MODE = MakeHresult(0x80010106);
inline constexpr HRESULT RPC_E_DISCONNECTED = MakeHresult(0x80010108);
inline constexpr HRESULT SELFREG_E_CLASS = MakeHresult(0x80040201);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHresult(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHresult(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHresult(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHresult(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHresult(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = MakeHresult(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = MakeHresult(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = MakeHresult(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = MakeHresult(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = MakeHresult(0x8002000B);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = MakeHresult(0x8002000D);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHresult(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = MakeHresult(0x8002000F);
inline constexpr HRESULT DISP_E_NOTACOLLECTION = MakeHresult(0x80020011);
inline constexpr HRESULT DISP_E_DIVBYZERO = MakeHresult(0x80020012);
inline constexpr HRESULT TYPE_E_TYPEMISMATCH = MakeHresult(0x80028CA0);
inline constexpr HRESULT STG_E_FILENOTFOUND = MakeHresult(0x80030002);
inline constexpr HRESULT STG_E_ACCESSDENIED = MakeHresult(0x80030005);
inline constexpr HRESULT STG_E_INSUFFICIENTMEMORY = MakeHresult(0x80030008);
inline constexpr HRESULT STG_E_INVALIDPOINTER = MakeHresult(0x80030009);
inline constexpr HRESULT STG_E_WRITEFAULT = MakeHresult(0x8003001D);
inline constexpr HRESULT STG_E_READFAULT = MakeHresult(0x8003001E);
inline constexpr HRESULT STG_E_MEDIUMFULL = MakeHresult(0x80030070);
inline constexpr HRESULT STG_E_INVALIDFUNCTION = MakeHresult(0x80030001);

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];

  friend bool operator==(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

// A new random GUID (version 4) from the kernel's random source.
HRESULT CoCreateGuid(GUID* guid);
// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper case, NUL-terminated)
// and returns the characters written including the NUL, or 0 when `max` < 39.
int StringFromGUID2(REFGUID guid, LPOLESTR out, int max);
// Parses the braced form (either case); CO_E_CLASSSTRING for anything else.
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid);
HRESULT IIDFromString(LPCOLESTR text, IID* iid);

// IID_IUnknown and IID_IDispatch carry their well-known values, so peers that
// compare them by value agree.
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000,
                                     {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000,
                                      {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000,
                                          {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IUnknown {
 public:
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;  // objects die through Release
};

struct tagVARIANT;
using VARIANT = tagVARIANT;
using VARIANTARG = tagVARIANT;

struct DISPPARAMS {
  VARIANTARG* rgvarg;        // arguments in reverse order, named ones first
  DISPID* rgdispidNamedArgs;  // dispatch ids of the named arguments
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};

inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

class ITypeInfo;  // never implemented: GetTypeInfo answers E_NOTIMPL

class IDispatch : public IUnknown {
 public:
  virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
  virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
  // names[0] is the member, names[1..] its parameter names; ids receives one
  // dispatch id per name (DISPID_UNKNOWN for each unknown one).
  virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                DISPID* ids) = 0;
  virtual HRESULT Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags,
                         DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                         UINT* arg_err) = 0;

 protected:
  ~IDispatch() = default;
};

// An owning interface pointer: releases on destruction, AddRefs on copy.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a reference of its own.
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~ComPtr() { Reset(); }
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  // Adopts a reference the caller already owns (as returned by a creator).
  static ComPtr Adopt(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Gives up ownership without releasing.
  T* Detach() { return std::exchange(p_, nullptr); }
  // For out parameters: releases what is held and returns the slot.
  T** Receive() {
    Reset();
    return &p_;
  }
  void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};
