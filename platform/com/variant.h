// VARIANT and SAFEARRAY: the automation value types, with the conversions of
// OLE Automation that the system relies on.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/base.h"
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
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;  // objects never give their value property
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;  // booleans as "True"/"False"
inline constexpr USHORT VARIANT_LOCALBOOL = 0x10;  // the same: there is no locale

// Flags of VarDateFromStr.
inline constexpr ULONG VAR_TIMEVALUEONLY = 0x01;  // keep only the time of day
inline constexpr ULONG VAR_DATEVALUEONLY = 0x02;  // keep only the date

void VariantInit(VARIANTARG* v);
// Frees what the variant owns (string, array, interface reference) and sets
// VT_EMPTY. By-reference variants own nothing. DISP_E_BADVARTYPE for a type a
// variant cannot hold; DISP_E_ARRAYISLOCKED (variant kept) for a locked array.
HRESULT VariantClear(VARIANTARG* v);
// Clears `dest`, then deep-copies `src`: strings and arrays are duplicated,
// interfaces AddRef'd, by-reference variants copied as pointers. On failure
// `dest` is left as it was.
HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src);
// Like VariantCopy, but a by-reference `src` gives a copy of what it points
// to (one level; VT_VARIANT|VT_BYREF gives the pointed-to variant's value).
HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* src);

// Converts `src` to type `vt` into `dest` (which may be `src`); a by-reference
// `src` is read through. On failure `dest` is left as it was. The rules, all
// locale-free (the LCID is ignored):
// - Numbers round half to even; a value outside the target's range gives
//   DISP_E_OVERFLOW. True is -1 in signed types and all bits set in unsigned
//   ones; any nonzero number (NaN included) is true.
// - Text to a number: [spaces][+|-]digits[.digits][(e|E)[+|-]digits][spaces];
//   anything else (thousands separators, currency signs, hex, trailing
//   garbage, empty text) is DISP_E_TYPEMISMATCH. Text to VT_BOOL also takes
//   "True"/"False" in any case. Text to VT_DATE goes through VarDateFromStr.
// - Numbers to text: integers plainly; VT_CY and VT_DECIMAL without trailing
//   fractional zeros ("1.5"); VT_R4/VT_R8 in the shortest form that reads back
//   as the same value, fixed for decimal exponents -4..14 ("0.0001",
//   "123.25"), otherwise "1.5E+20" / "1E-05". A non-finite VT_R4/VT_R8 cannot
//   become text (DISP_E_TYPEMISMATCH). Booleans become "-1"/"0", or
//   "True"/"False" with VARIANT_ALPHABOOL. Dates use com::OleDateToText.
// - VT_EMPTY is 0, false, date 0 or "" in any scalar type; VT_NULL converts
//   to nothing but VT_NULL; every type converts to VT_EMPTY except VT_NULL.
// - VT_DISPATCH/VT_UNKNOWN to the other: the object's other interface
//   (E_NOINTERFACE when it has none). To a scalar: the object's value property
//   (DISPID_VALUE, property get) converted in turn, unless
//   VARIANT_NOVALUEPROP; a null object or a failing call is
//   DISP_E_TYPEMISMATCH.
// - VT_ERROR and arrays convert only to their own type (a deep copy).
// DISP_E_BADVARTYPE for a target that is by-reference or no variant type.
HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt);
// What VariantChangeType makes of a VT_BSTR holding `text` for a scalar,
// boolean or date `vt`, without the string: *out is cleared and set on
// success, untouched on failure. DISP_E_BADVARTYPE for any other `vt`.
HRESULT VarScalarFromText(std::u16string_view text, VARTYPE vt, VARIANT* out);
// The text VariantChangeType gives a number (an integer, floating-point,
// currency or decimal variant, not by reference) as VT_BSTR, in ASCII.
// DISP_E_BADVARTYPE for any other type; *out is set only on success.
HRESULT VarScalarToText(const VARIANT& value, std::string* out);
HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID lcid, USHORT flags,
                            VARTYPE vt);

// Parses a date and/or time into an OLE date, ignoring the locale:
// "2002-03-04", "2002-03-04T13:14:15" or with a space, "2002/3/4", "3/4/2002",
// "3-4-02" (two-digit years 00..29 are 20xx, 30..99 19xx), "March 4, 2002",
// "Mar 4 2002", "4 March 2002", "4-Mar-2002", "13:14", "13:14:15",
// "1:14 PM", "1 PM", and a date followed by a time. Text with only a time
// gives day 0 (30 December 1899), only a date gives midnight.
// VAR_TIMEVALUEONLY keeps only the time, VAR_DATEVALUEONLY only the date.
// Anything else, and a field out of range (month 13, 30 February, 24:00,
// "13 PM", a year outside 100..9999), is DISP_E_TYPEMISMATCH; *out is then
// untouched.
HRESULT VarDateFromStr(LPCOLESTR text, LCID lcid, ULONG flags, DATE* out);
// The same over a counted string (an embedded NUL is garbage).
HRESULT VarDateFromText(std::u16string_view text, ULONG flags, DATE* out);

// SAFEARRAY. Element types: every scalar above, VT_BSTR, VT_VARIANT,
// VT_UNKNOWN, VT_DISPATCH (not VT_EMPTY/VT_NULL). Elements start zeroed
// (empty variants, null strings and interfaces). Arrays of BSTR, VARIANT and
// interfaces own their elements: destroying frees or releases them.

// Null for an unsupported type, zero dimensions, an upper bound beyond a
// LONG, or a total size over 2 GiB (the count is checked, never overflows).
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lbound, ULONG elements);
// S_OK for null; DISP_E_ARRAYISLOCKED (nothing freed) while locked.
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
// A deep copy (unlocked); *out is null for a null `psa`.
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** out);
UINT SafeArrayGetDim(SAFEARRAY* psa);       // 0 for null
UINT SafeArrayGetElemsize(SAFEARRAY* psa);  // 0 for null
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt);
// `dim` counts from 1 in SafeArrayCreate order; DISP_E_BADINDEX outside 1..dims.
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT dim, LONG* lbound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT dim, LONG* ubound);
// Locks nest (up to 65535); unlocking an unlocked array is E_UNEXPECTED.
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
// Locks the array and gives its data; pair with SafeArrayUnaccessData.
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
// The address of an element; `indices` has one entry per dimension in
// SafeArrayCreate order. DISP_E_BADINDEX when any is out of its bounds.
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* indices, void** element);
// Stores a copy of `value`, releasing what the element held. `value` is the
// BSTR or interface pointer itself for those types, else the address of the
// value (a VARIANT*, a LONG*, ...).
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* indices, void* value);
// Writes a copy of the element to `value` (a BSTR*, VARIANT*, IUnknown**,
// LONG*, ...), which is overwritten, not cleared: the caller owns the copy.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* indices, void* value);

// An owning VARIANT: initialised on construction, cleared on destruction.
// Move-only; copy explicitly with CopyFrom, which can fail.
class Variant : public VARIANT {
 public:
  Variant() { VariantInit(this); }
  ~Variant() { VariantClear(this); }
  Variant(Variant&& o) noexcept : VARIANT(o) { VariantInit(&o); }
  Variant& operator=(Variant&& o) noexcept {
    if (this != &o) {
      VariantClear(this);
      static_cast<VARIANT&>(*this) = o;
      VariantInit(&o);
    }
    return *this;
  }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  // Takes over what `v` owns and leaves it empty.
  static Variant Adopt(VARIANT* v) {
    Variant r;
    static_cast<VARIANT&>(r) = *v;
    VariantInit(v);
    return r;
  }
  static Variant FromI4(LONG value) {
    Variant r;
    r.vt = VT_I4;
    r.lVal = value;
    return r;
  }
  static Variant FromR8(DOUBLE value) {
    Variant r;
    r.vt = VT_R8;
    r.dblVal = value;
    return r;
  }
  static Variant FromBool(bool value) {
    Variant r;
    r.vt = VT_BOOL;
    r.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return r;
  }
  // VT_BSTR; left VT_EMPTY when out of memory.
  static Variant FromText(std::u16string_view text) {
    Variant r;
    if (BSTR b = SysAllocString(text)) {
      r.vt = VT_BSTR;
      r.bstrVal = b;
    }
    return r;
  }

  HRESULT CopyFrom(const VARIANT& src) { return VariantCopy(this, &src); }
  HRESULT ChangeType(VARTYPE type, USHORT flags = 0) {
    return VariantChangeType(this, this, flags, type);
  }
  // For out parameters: clears and returns the variant to fill.
  VARIANT* Receive() {
    VariantClear(this);
    return this;
  }
  // Gives up what is held; the caller clears the result.
  VARIANT Detach() {
    VARIANT v = *this;
    VariantInit(this);
    return v;
  }
};
static_assert(sizeof(Variant) == sizeof(VARIANT), "Variant arrays are VARIANT arrays");
