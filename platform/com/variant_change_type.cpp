// VariantChangeType. Every numeric source is read into one of three forms:
// an exact scaled integer (integers, booleans, currency, decimals), a double
// (floats and dates) or parsed decimal text; every target is produced from
// those, so each pair of types follows the same rounding and range rules.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "platform/com/internal/vartype.h"
#include "platform/com/oledate.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"

namespace {

using I128 = __int128;
using U128 = unsigned __int128;

constexpr I128 Pow10(int n) {
  I128 p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

// Exact values stay below this, far above every target's range, so the
// arithmetic below cannot overflow 128 bits.
constexpr int kExactDigits = 37;
constexpr I128 kExactLimit = Pow10(kExactDigits);
constexpr U128 kDecimalMax = (U128{1} << 96) - 1;
constexpr int kDecimalMaxScale = 28;
constexpr int64_t kMaxExponent = 100000000;  // saturates "1e999999999999"

// value = m / 10^scale.
struct Exact {
  I128 m = 0;
  int scale = 0;
};

// A number written in text: value = (neg ? -1 : 1) * digits * 10^exp, with
// `digits` free of leading zeros (empty for zero).
struct TextNumber {
  bool neg = false;
  std::string digits;
  int64_t exp = 0;
};

struct Number {
  enum class Kind { Exact, Double, Text } kind = Kind::Exact;
  Exact exact;
  double dbl = 0;
  TextNumber text;
  bool from_bool = false;
};

U128 Abs(I128 v) { return v < 0 ? -static_cast<U128>(v) : static_cast<U128>(v); }

// Rounds q + r/p (0 <= |r| < p, same sign as q's direction) half to even.
I128 RoundQuotient(I128 q, U128 r, U128 p, bool neg) {
  if (r > p - r || (r == p - r && (q & 1))) q += neg ? -1 : 1;
  return q;
}

// m / 10^k rounded half to even, for k >= 0.
I128 DivPow10(I128 m, int k) {
  if (k == 0) return m;
  if (k > 38) return 0;  // |m| < 10^38 / 2
  const I128 p = Pow10(k);
  return RoundQuotient(m / p, Abs(m % p), static_cast<U128>(p), m < 0);
}

// The value of `e` scaled by 10^scale and rounded; false when it passes the
// exact limit.
bool Rescale(const Exact& e, int scale, I128* out) {
  if (scale <= e.scale) {
    *out = DivPow10(e.m, e.scale - scale);
    return true;
  }
  const int k = scale - e.scale;
  if (k > kExactDigits || Abs(e.m) > static_cast<U128>(kExactLimit / Pow10(k))) return false;
  *out = e.m * Pow10(k);
  return true;
}

// The value of `t` scaled by 10^scale, rounded half to even; false when it
// passes the exact limit.
bool TextToExact(const TextNumber& t, int scale, I128* out) {
  const std::string& d = t.digits;
  const int64_t n = static_cast<int64_t>(d.size());
  const int64_t shift = t.exp + scale;
  I128 q = 0;
  if (n == 0) {
    *out = 0;
    return true;
  }
  if (shift >= 0) {
    if (n + shift > kExactDigits) return false;
    for (char c : d) q = q * 10 + (c - '0');
    q *= Pow10(static_cast<int>(shift));
  } else {
    const int64_t keep = n + shift;  // digits left of the point after scaling
    if (keep > kExactDigits) return false;
    if (keep < 0) {
      q = 0;  // below 0.1 (the first digit is nonzero), rounds to zero
    } else {
      for (int64_t i = 0; i < keep; ++i) q = q * 10 + (d[i] - '0');
      const int first = d[keep] - '0';
      bool sticky = false;
      for (int64_t i = keep + 1; i < n && !sticky; ++i) sticky = d[i] != '0';
      if (first > 5 || (first == 5 && (sticky || (q & 1)))) ++q;
    }
  }
  *out = t.neg ? -q : q;
  return true;
}

// OLE's number syntax without locale extras: [spaces][sign]digits[.digits]
// [(e|E)[sign]digits][spaces], with at least one mantissa digit.
bool ParseTextNumber(std::u16string_view s, TextNumber* out) {
  size_t i = 0;
  const size_t n = s.size();
  auto digit = [&](size_t k) { return k < n && s[k] >= u'0' && s[k] <= u'9'; };
  while (i < n && text::IsSpace(s[i])) ++i;
  TextNumber t;
  if (i < n && (s[i] == u'+' || s[i] == u'-')) t.neg = s[i++] == u'-';
  bool any = false;
  int64_t frac_digits = 0;
  for (; digit(i); ++i, any = true) {
    if (!t.digits.empty() || s[i] != u'0') t.digits += static_cast<char>(s[i]);
  }
  if (i < n && s[i] == u'.') {
    for (++i; digit(i); ++i, any = true) {
      ++frac_digits;
      if (!t.digits.empty() || s[i] != u'0') t.digits += static_cast<char>(s[i]);
    }
  }
  if (!any) return false;
  int64_t exp = 0;
  if (i < n && (s[i] == u'e' || s[i] == u'E')) {
    ++i;
    bool exp_neg = false;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) exp_neg = s[i++] == u'-';
    if (!digit(i)) return false;
    for (; digit(i); ++i) exp = std::min(exp * 10 + (s[i] - u'0'), kMaxExponent);
    if (exp_neg) exp = -exp;
  }
  while (i < n && text::IsSpace(s[i])) ++i;
  if (i != n) return false;
  t.exp = exp - frac_digits;
  *out = std::move(t);
  return true;
}

std::string ExactToText(const Exact& e) {
  // 39 digits at most, a point, up to 28 leading zeros and a sign.
  char buf[80];
  char* p = buf + sizeof buf;
  U128 a = Abs(e.m);
  int written = 0;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(a % 10));
    a /= 10;
    ++written;
  } while (a || written <= e.scale);
  char* end = buf + sizeof buf;
  if (e.scale > 0) {
    // Shift the integer part left by one to make room for the point.
    char* point = end - e.scale;
    std::memmove(p - 1, p, point - p);
    --p;
    point[-1] = '.';
    while (end[-1] == '0') --end;
    if (end[-1] == '.') --end;
  }
  if (e.m < 0) *--p = '-';
  return std::string(p, end);
}

// Shortest digits that read back as the same value: fixed notation for
// decimal exponents -4..14, else "d.dddE+XX" (two exponent digits at least).
template <typename F>
bool FloatToText(F x, std::string* out) {
  if (!std::isfinite(x)) return false;
  char sci[64];  // "-1.2345e+20"
  const char* sci_end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
  char digits[32];
  int n = 0;
  const char* p = sci;
  for (; p < sci_end && *p != 'e'; ++p) {
    if (*p >= '0' && *p <= '9') digits[n++] = *p;
  }
  int exp = 0;
  if (p < sci_end) std::from_chars(p + (p[1] == '+' ? 2 : 1), sci_end, exp);
  // At most a sign, 17 digits, 4 leading zeros, a point and "E+308".
  char buf[48];
  int k = 0;
  if (x < 0) buf[k++] = '-';
  if (x == 0) {
    buf[0] = '0', k = 1;
  } else if (exp >= 0 && exp < 15) {
    for (int i = 0; i <= exp; ++i) buf[k++] = i < n ? digits[i] : '0';
    if (n > exp + 1) buf[k++] = '.';
    for (int i = exp + 1; i < n; ++i) buf[k++] = digits[i];
  } else if (exp < 0 && exp >= -4) {
    buf[k++] = '0', buf[k++] = '.';
    for (int i = -1; i > exp; --i) buf[k++] = '0';
    for (int i = 0; i < n; ++i) buf[k++] = digits[i];
  } else {
    buf[k++] = digits[0];
    if (n > 1) buf[k++] = '.';
    for (int i = 1; i < n; ++i) buf[k++] = digits[i];
    k += std::snprintf(buf + k, sizeof buf - k, "E%c%02d", exp < 0 ? '-' : '+', std::abs(exp));
  }
  out->assign(buf, k);
  return true;
}

// Reads decimal text ("digits" e "exp") as F; DISP_E_OVERFLOW when too large,
// zero when too small.
template <typename F>
HRESULT ReadFloat(bool neg, const std::string& digits, int64_t exp, F* out) {
  if (digits.empty()) {
    *out = neg ? -F{0} : F{0};
    return S_OK;
  }
  const std::string s = (neg ? "-" : "") + digits + "e" + std::to_string(exp);
  F v{};
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec == std::errc::result_out_of_range) {
    // The magnitude is about 10^(digits + exp - 1).
    if (static_cast<int64_t>(digits.size()) + exp > 0) return DISP_E_OVERFLOW;
    v = neg ? -F{0} : F{0};
  } else if (r.ec != std::errc() || !std::isfinite(v)) {
    return DISP_E_OVERFLOW;
  }
  *out = v;
  return S_OK;
}

template <typename F>
HRESULT ExactToFloat(const Exact& e, F* out) {
  const std::string s = ExactToText({static_cast<I128>(Abs(e.m)), 0});
  return ReadFloat(e.m < 0, e.m == 0 ? std::string() : s, -e.scale, out);
}

template <typename F>
HRESULT ToFloat(const Number& n, F* out) {
  switch (n.kind) {
    case Number::Kind::Exact:
      return ExactToFloat(n.exact, out);
    case Number::Kind::Text:
      return ReadFloat(n.text.neg, n.text.digits, n.text.exp, out);
    case Number::Kind::Double:
      if constexpr (std::is_same_v<F, float>) {
        if (std::isfinite(n.dbl) && std::fabs(n.dbl) > std::numeric_limits<float>::max()) {
          return DISP_E_OVERFLOW;
        }
      }
      *out = static_cast<F>(n.dbl);
      return S_OK;
  }
  return E_UNEXPECTED;
}

// A double as the decimal text of its shortest round-trip form.
HRESULT DoubleToTextNumber(double x, TextNumber* t) {
  std::string s;
  if (!FloatToText(x, &s)) return DISP_E_OVERFLOW;
  const std::u16string w(s.begin(), s.end());
  return ParseTextNumber(w, t) ? S_OK : E_UNEXPECTED;
}

// The value scaled by 10^scale and rounded half to even.
HRESULT ToScaled(const Number& n, int scale, I128* out) {
  switch (n.kind) {
    case Number::Kind::Exact:
      return Rescale(n.exact, scale, out) ? S_OK : DISP_E_OVERFLOW;
    case Number::Kind::Text:
      return TextToExact(n.text, scale, out) ? S_OK : DISP_E_OVERFLOW;
    case Number::Kind::Double: {
      if (scale == 0) {
        // Integers round the double itself: exact, no detour through text.
        const double x = n.dbl;
        if (!std::isfinite(x) || std::fabs(x) >= 0x1p100) return DISP_E_OVERFLOW;
        const double f = std::floor(x);
        const double diff = x - f;
        I128 q = static_cast<I128>(f);
        if (diff > 0.5 || (diff == 0.5 && (q & 1))) ++q;
        *out = q;
        return S_OK;
      }
      TextNumber t;
      if (HRESULT hr = DoubleToTextNumber(n.dbl, &t); FAILED(hr)) return hr;
      return TextToExact(t, scale, out) ? S_OK : DISP_E_OVERFLOW;
    }
  }
  return E_UNEXPECTED;
}

bool IsNonZero(const Number& n) {
  switch (n.kind) {
    case Number::Kind::Exact:
      return n.exact.m != 0;
    case Number::Kind::Double:
      return n.dbl != 0;  // NaN is true
    case Number::Kind::Text:
      return !n.text.digits.empty();
  }
  return false;
}

// Reads a non-by-reference scalar as a number.
HRESULT ReadNumber(const VARIANT& v, Number* n) {
  auto exact = [&](I128 m, int scale = 0) {
    n->kind = Number::Kind::Exact;
    n->exact = {m, scale};
    return S_OK;
  };
  auto dbl = [&](double d) {
    n->kind = Number::Kind::Double;
    n->dbl = d;
    return S_OK;
  };
  switch (v.vt) {
    case VT_EMPTY: return exact(0);
    case VT_I1: return exact(static_cast<signed char>(v.cVal));
    case VT_UI1: return exact(v.bVal);
    case VT_I2: return exact(v.iVal);
    case VT_UI2: return exact(v.uiVal);
    case VT_I4: return exact(v.lVal);
    case VT_UI4: return exact(v.ulVal);
    case VT_INT: return exact(v.intVal);
    case VT_UINT: return exact(v.uintVal);
    case VT_I8: return exact(v.llVal);
    case VT_UI8: return exact(v.ullVal);
    case VT_CY: return exact(v.cyVal.int64, 4);
    case VT_BOOL:
      n->from_bool = true;
      return exact(v.boolVal ? -1 : 0);
    case VT_DECIMAL: {
      if (v.decVal.scale > kDecimalMaxScale) return E_INVALIDARG;
      const I128 m = static_cast<I128>(U128{v.decVal.Hi32} << 64 | v.decVal.Lo64);
      return exact(v.decVal.sign & DECIMAL_NEG ? -m : m, v.decVal.scale);
    }
    case VT_R4: return dbl(v.fltVal);
    case VT_R8: return dbl(v.dblVal);
    case VT_DATE: return dbl(v.date);
    case VT_BSTR:
      n->kind = Number::Kind::Text;
      return ParseTextNumber(BstrView(v.bstrVal), &n->text) ? S_OK : DISP_E_TYPEMISMATCH;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

struct IntRange {
  I128 min, max;
  bool is_unsigned;
};

bool IntRangeOf(VARTYPE vt, IntRange* r) {
  switch (vt) {
    case VT_I1: *r = {INT8_MIN, INT8_MAX, false}; return true;
    case VT_UI1: *r = {0, UINT8_MAX, true}; return true;
    case VT_I2: *r = {INT16_MIN, INT16_MAX, false}; return true;
    case VT_UI2: *r = {0, UINT16_MAX, true}; return true;
    case VT_I4:
    case VT_INT: *r = {INT32_MIN, INT32_MAX, false}; return true;
    case VT_UI4:
    case VT_UINT: *r = {0, UINT32_MAX, true}; return true;
    case VT_I8: *r = {INT64_MIN, INT64_MAX, false}; return true;
    case VT_UI8: *r = {0, UINT64_MAX, true}; return true;
    default: return false;
  }
}

HRESULT ToInteger(const Number& n, VARTYPE vt, const IntRange& range, VARIANT* out) {
  I128 v;
  if (HRESULT hr = ToScaled(n, 0, &v); FAILED(hr)) return hr;
  // True is all bits set in every width, as VARIANT_TRUE is.
  if (n.from_bool && range.is_unsigned && v == -1) v = range.max;
  if (v < range.min || v > range.max) return DISP_E_OVERFLOW;
  out->vt = vt;
  switch (vt) {
    case VT_I1: out->cVal = static_cast<CHAR>(v); break;
    case VT_UI1: out->bVal = static_cast<BYTE>(v); break;
    case VT_I2: out->iVal = static_cast<SHORT>(v); break;
    case VT_UI2: out->uiVal = static_cast<USHORT>(v); break;
    case VT_I4: out->lVal = static_cast<LONG>(v); break;
    case VT_INT: out->intVal = static_cast<INT>(v); break;
    case VT_UI4: out->ulVal = static_cast<ULONG>(v); break;
    case VT_UINT: out->uintVal = static_cast<UINT>(v); break;
    case VT_I8: out->llVal = static_cast<LONGLONG>(v); break;
    case VT_UI8: out->ullVal = static_cast<ULONGLONG>(v); break;
    default: return E_UNEXPECTED;
  }
  return S_OK;
}

HRESULT ToDecimal(const Number& n, DECIMAL* out) {
  Exact e;
  if (n.kind == Number::Kind::Exact) {
    e = n.exact;
    // Too many digits for 96 bits: give up places after the point.
    while (Abs(e.m) > kDecimalMax && e.scale > 0) e = {DivPow10(e.m, 1), e.scale - 1};
  } else {
    TextNumber t;
    if (n.kind == Number::Kind::Double) {
      if (HRESULT hr = DoubleToTextNumber(n.dbl, &t); FAILED(hr)) return hr;
    } else {
      t = n.text;
    }
    // As many places as the text has, then fewer until the value fits.
    int scale = static_cast<int>(std::clamp<int64_t>(-t.exp, 0, kDecimalMaxScale));
    bool fits = false;
    for (; scale >= 0 && !fits; --scale) {
      fits = TextToExact(t, scale, &e.m) && Abs(e.m) <= kDecimalMax;
      e.scale = scale;
    }
    if (!fits) return DISP_E_OVERFLOW;
  }
  if (Abs(e.m) > kDecimalMax) return DISP_E_OVERFLOW;
  const U128 a = Abs(e.m);
  *out = {0, static_cast<BYTE>(e.scale), static_cast<BYTE>(e.m < 0 ? DECIMAL_NEG : 0),
          static_cast<ULONG>(a >> 64), static_cast<ULONGLONG>(a)};
  return S_OK;
}

HRESULT SetText(std::string_view s, VARIANT* out) {
  const std::u16string w(s.begin(), s.end());
  BSTR b = SysAllocString(std::u16string_view(w));
  if (!b) return E_OUTOFMEMORY;
  out->vt = VT_BSTR;
  out->bstrVal = b;
  return S_OK;
}

HRESULT ToText(const VARIANT& v, USHORT flags, VARIANT* out) {
  switch (v.vt) {
    case VT_EMPTY:
      return SetText("", out);
    case VT_BOOL:
      if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) {
        return SetText(v.boolVal ? "True" : "False", out);
      }
      return SetText(v.boolVal ? "-1" : "0", out);
    case VT_DATE: {
      std::u16string s;
      if (!com::OleDateToText(v.date, &s)) return DISP_E_OVERFLOW;
      BSTR b = SysAllocString(std::u16string_view(s));
      if (!b) return E_OUTOFMEMORY;
      out->vt = VT_BSTR;
      out->bstrVal = b;
      return S_OK;
    }
    case VT_R4:
    case VT_R8: {
      // A non-finite number has no text form that reads back.
      std::string s;
      const bool ok = v.vt == VT_R4 ? FloatToText(v.fltVal, &s) : FloatToText(v.dblVal, &s);
      return ok ? SetText(s, out) : DISP_E_TYPEMISMATCH;
    }
    default: {
      Number n;
      if (HRESULT hr = ReadNumber(v, &n); FAILED(hr)) return hr;
      return SetText(ExactToText(n.exact), out);
    }
  }
}

// "true" or "false" in any case, between spaces.
bool TextBool(std::u16string_view s, VARIANT* out) {
  while (!s.empty() && text::IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && text::IsSpace(s.back())) s.remove_suffix(1);
  if (!text::AsciiIEquals(s, u"true") && !text::AsciiIEquals(s, u"false")) return false;
  out->vt = VT_BOOL;
  out->boolVal = s.size() == 4 ? VARIANT_TRUE : VARIANT_FALSE;
  return true;
}

HRESULT NumberToBool(const Number& n, VARIANT* out) {
  out->vt = VT_BOOL;
  out->boolVal = IsNonZero(n) ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT ToBool(const VARIANT& v, VARIANT* out) {
  if (v.vt == VT_BSTR && TextBool(BstrView(v.bstrVal), out)) return S_OK;
  Number n;
  if (HRESULT hr = ReadNumber(v, &n); FAILED(hr)) return hr;
  return NumberToBool(n, out);
}

HRESULT NumberToScalar(const Number& n, VARTYPE vt, VARIANT* out);

HRESULT ToScalar(const VARIANT& v, USHORT flags, VARTYPE vt, VARIANT* out) {
  switch (vt) {
    case VT_BSTR:
      return ToText(v, flags, out);
    case VT_BOOL:
      return ToBool(v, out);
    case VT_DATE:
      if (v.vt == VT_BSTR) {
        const HRESULT hr = VarDateFromText(BstrView(v.bstrVal), 0, &out->date);
        if (SUCCEEDED(hr)) out->vt = VT_DATE;
        return hr;
      }
      break;
    default:
      break;
  }
  Number n;
  if (HRESULT hr = ReadNumber(v, &n); FAILED(hr)) return hr;
  return NumberToScalar(n, vt, out);
}

// A number as the scalar type `vt` (not VT_BSTR, VT_BOOL handled by callers).
HRESULT NumberToScalar(const Number& n, VARTYPE vt, VARIANT* out) {
  IntRange range;
  if (IntRangeOf(vt, &range)) return ToInteger(n, vt, range, out);
  HRESULT hr = E_UNEXPECTED;
  switch (vt) {
    case VT_R4:
      hr = ToFloat(n, &out->fltVal);
      break;
    case VT_R8:
      hr = ToFloat(n, &out->dblVal);
      break;
    case VT_DATE:
      hr = ToFloat(n, &out->date);
      if (SUCCEEDED(hr) && !com::IsValidOleDate(out->date)) hr = DISP_E_OVERFLOW;
      break;
    case VT_CY: {
      I128 m;
      hr = ToScaled(n, 4, &m);
      if (SUCCEEDED(hr) && (m < INT64_MIN || m > INT64_MAX)) hr = DISP_E_OVERFLOW;
      if (SUCCEEDED(hr)) out->cyVal.int64 = static_cast<LONGLONG>(m);
      break;
    }
    case VT_DECIMAL:
      hr = ToDecimal(n, &out->decVal);
      break;
    default:
      return DISP_E_TYPEMISMATCH;
  }
  if (SUCCEEDED(hr)) out->vt = vt;
  return hr;
}

// VT_DISPATCH <-> VT_UNKNOWN: the other interface of the same object.
HRESULT ToInterface(const VARIANT& v, VARTYPE vt, VARIANT* out) {
  if (v.vt != VT_DISPATCH && v.vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
  void* p = nullptr;
  if (v.punkVal) {
    const HRESULT hr = v.punkVal->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &p);
    if (FAILED(hr)) return hr == E_NOINTERFACE ? E_NOINTERFACE : DISP_E_TYPEMISMATCH;
  }
  out->vt = vt;
  out->punkVal = static_cast<IUnknown*>(p);
  if (vt == VT_DISPATCH) out->pdispVal = static_cast<IDispatch*>(p);
  return S_OK;
}

HRESULT Convert(const VARIANT& v, USHORT flags, VARTYPE vt, VARIANT* out);

// An object becomes a scalar through its value property (dispatch id 0).
HRESULT ConvertObjectValue(const VARIANT& v, USHORT flags, VARTYPE vt, VARIANT* out) {
  if ((flags & VARIANT_NOVALUEPROP) || !v.punkVal) return DISP_E_TYPEMISMATCH;
  ComPtr<IDispatch> disp;
  if (v.vt == VT_DISPATCH) {
    disp = ComPtr<IDispatch>(v.pdispVal);
  } else if (FAILED(v.punkVal->QueryInterface(IID_IDispatch, disp.ReceiveVoid()))) {
    return DISP_E_TYPEMISMATCH;
  }
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VARIANT value;
  VariantInit(&value);
  if (FAILED(disp->Invoke(DISPID_VALUE, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                          &none, &value, nullptr, nullptr))) {
    VariantClear(&value);
    return DISP_E_TYPEMISMATCH;
  }
  // The value is converted once; an object returned as the value stays an object.
  VARIANT view;
  HRESULT hr = com::internal::Dereference(value, &view);
  if (SUCCEEDED(hr)) hr = Convert(view, flags | VARIANT_NOVALUEPROP, vt, out);
  VariantClear(&value);
  return hr;
}

// Converts the non-by-reference `v` into the empty `out`.
HRESULT Convert(const VARIANT& v, USHORT flags, VARTYPE vt, VARIANT* out) {
  if (v.vt == vt) return VariantCopy(out, &v);
  if (v.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
  if (vt == VT_EMPTY) return S_OK;
  if (vt == VT_NULL) {
    if (v.vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;
    out->vt = VT_NULL;
    return S_OK;
  }
  if ((v.vt & VT_ARRAY) || (vt & VT_ARRAY) || v.vt == VT_ERROR || vt == VT_ERROR) {
    return DISP_E_TYPEMISMATCH;
  }
  if (vt == VT_DISPATCH || vt == VT_UNKNOWN) return ToInterface(v, vt, out);
  if (v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) return ConvertObjectValue(v, flags, vt, out);
  return ToScalar(v, flags, vt, out);
}

}  // namespace

HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID, USHORT flags,
                            VARTYPE vt) {
  using com::internal::IsValidVariantType;
  if (!dest || !src) return E_INVALIDARG;
  if (!IsValidVariantType(src->vt) || !IsValidVariantType(vt) || (vt & VT_BYREF)) {
    return DISP_E_BADVARTYPE;
  }
  VARIANT view;
  if (HRESULT hr = com::internal::Dereference(*src, &view); FAILED(hr)) return hr;
  VARIANT result;
  VariantInit(&result);
  if (HRESULT hr = Convert(view, flags, vt, &result); FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  // Only now may `dest` go: it can be `src`, whose value `view` shares.
  if (HRESULT hr = VariantClear(dest); FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *dest = result;
  return S_OK;
}

HRESULT VarScalarFromText(std::u16string_view text, VARTYPE vt, VARIANT* out) {
  if (!out) return E_INVALIDARG;
  if (vt == VT_BSTR || vt == VT_EMPTY || vt == VT_NULL || vt == VT_ERROR ||
      vt == VT_DISPATCH || vt == VT_UNKNOWN || vt == VT_VARIANT ||
      !com::internal::IsValidVariantType(vt) || (vt & (VT_BYREF | VT_ARRAY))) {
    return DISP_E_BADVARTYPE;
  }
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = S_OK;
  if (vt == VT_BOOL && TextBool(text, &result)) {
    hr = S_OK;
  } else if (vt == VT_DATE) {
    hr = VarDateFromText(text, 0, &result.date);
    if (SUCCEEDED(hr)) result.vt = VT_DATE;
  } else {
    Number n;
    n.kind = Number::Kind::Text;
    if (!ParseTextNumber(text, &n.text)) return DISP_E_TYPEMISMATCH;
    hr = vt == VT_BOOL ? NumberToBool(n, &result) : NumberToScalar(n, vt, &result);
  }
  if (FAILED(hr)) return hr;
  VariantClear(out);
  *out = result;
  return S_OK;
}

HRESULT VarScalarToText(const VARIANT& value, std::string* out) {
  if (!out) return E_INVALIDARG;
  switch (value.vt) {
    case VT_R4:
    case VT_R8: {
      std::string s;
      const bool ok =
          value.vt == VT_R4 ? FloatToText(value.fltVal, &s) : FloatToText(value.dblVal, &s);
      if (!ok) return DISP_E_TYPEMISMATCH;
      *out = std::move(s);
      return S_OK;
    }
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
    case VT_INT: case VT_UINT: case VT_I8: case VT_UI8: case VT_CY: case VT_DECIMAL: {
      Number n;
      if (HRESULT hr = ReadNumber(value, &n); FAILED(hr)) return hr;
      *out = ExactToText(n.exact);
      return S_OK;
    }
    default:
      return DISP_E_BADVARTYPE;
  }
}

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt) {
  return VariantChangeTypeEx(dest, src, LOCALE_USER_DEFAULT, flags, vt);
}
