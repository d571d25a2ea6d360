// VARIANT and SAFEARRAY: the automation value types, with the conversions of
// OLE Automation that the system relies on.
#pragma once

#include "platform/com/base.h"
#include "platform/com/bstr.h"

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF,
};

// Currency: a 64-bit integer scaled by 10000.
union CY {
  LONGLONG int64;
};

struct DECIMAL {
  USHORT wReserved;
  BYTE scale;  // power of ten dividing the 96-bit value, 0..28
  BYTE sign;   // 0x80 for negative
  ULONG Hi32;
  ULONGLONG Lo64;
};
inline constexpr BYTE DECIMAL_NEG = 0x80;

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

// Bounds are stored in the reverse of the order given to SafeArrayCreate (the
// descriptor order): rgsabound[0] is the last dimension passed to
// SafeArrayCreate. Index vectors (rgIndices) are in SafeArrayCreate order and
// the first index varies fastest in memory. SafeArrayGetLBound(psa, 1) is the
// first dimension passed to SafeArrayCreate.
struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  VARTYPE vt;  // element type
  SAFEARRAYBOUND* rgsabound;  // cDims entries, descriptor order
};

inline constexpr USHORT FADF_BSTR = 0x0100;
inline constexpr USHORT FADF_UNKNOWN = 0x0200;
inline constexpr USHORT FADF_DISPATCH = 0x0400;
inline constexpr USHORT FADF_VARIANT = 0x0800;

struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    DECIMAL decVal;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    VARIANT* pvarVal;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    ULONGLONG* pullVal;
    INT* pintVal;
    UINT* puintVal;
    DECIMAL* pdecVal;
    void* byref;
  };
};

// Flags of VariantChangeType.
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;  // booleans as "True"/"False"
inline constexpr USHORT VARIANT_LOCALBOOL = 0x10;

void VariantInit(VARIANTARG* v);
// Frees what the variant owns (string, array, interface reference) and sets
// VT_EMPTY. By-reference variants own nothing.
HRESULT VariantClear(VARIANTARG* v);
// Clears `dest`, then deep-copies `src` (AddRef for interfaces).
HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src);
// Like VariantCopy, but follows one level of VT_BYREF.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* src);
// Converts `src` to type `vt` into `dest` (which may be `src`). Follows OLE
// Automation: numbers round half to even, out of range gives DISP_E_OVERFLOW,
// text that is no number DISP_E_TYPEMISMATCH; booleans become "-1"/"0" unless
// VARIANT_ALPHABOOL. A non-finite float or double cannot become text.
HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID lcid, USHORT flags,
                            VARTYPE vt);

// Parses a date and/or time ("2002-03-04", "2002-03-04 13:14:15", "3/4/2002",
// "13:14", "March 4, 2002 1:14 PM", ...) into an OLE date.
HRESULT VarDateFromStr(LPCOLESTR text, LCID lcid, ULONG flags, DATE* out);
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lbound, ULONG elements);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** out);
UINT SafeArrayGetDim(SAFEARRAY* psa);
UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt);
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT dim, LONG* lbound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT dim, LONG* ubound);
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* indices, void** element);
// Put copies the value (a BSTR, a VARIANT, an AddRef'd interface); Get gives a copy.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* indices, void* value);
HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* indices, void* value);
