#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "platform/com/testing/value_fakes.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"

namespace {

using com::testing::FakeObject;

std::string Narrow(std::u16string_view s) { return text::Narrow(s); }

// The integer a variant holds, as decimal text.
std::string IntOf(const VARIANT& v) {
  switch (v.vt) {
    case VT_I1: return std::to_string(static_cast<signed char>(v.cVal));
    case VT_UI1: return std::to_string(v.bVal);
    case VT_I2: return std::to_string(v.iVal);
    case VT_UI2: return std::to_string(v.uiVal);
    case VT_I4: return std::to_string(v.lVal);
    case VT_UI4: return std::to_string(v.ulVal);
    case VT_INT: return std::to_string(v.intVal);
    case VT_UINT: return std::to_string(v.uintVal);
    case VT_I8: return std::to_string(v.llVal);
    case VT_UI8: return std::to_string(v.ullVal);
    case VT_CY: return std::to_string(v.cyVal.int64) + "/10000";
    default: return "vt " + std::to_string(v.vt);
  }
}

Variant Make(VARTYPE vt, const void* value, size_t size) {
  Variant v;
  v.vt = vt;
  std::memcpy(&v.llVal, value, size);
  return v;
}
template <typename T>
Variant Make(VARTYPE vt, T value) {
  return Make(vt, &value, sizeof value);
}
Variant Dec(bool neg, unsigned __int128 m, BYTE scale) {
  DECIMAL d = {0, scale, static_cast<BYTE>(neg ? DECIMAL_NEG : 0), static_cast<ULONG>(m >> 64),
               static_cast<ULONGLONG>(m)};
  return Make(VT_DECIMAL, d);
}
Variant Cy(LONGLONG scaled) { return Make(VT_CY, CY{scaled}); }

HRESULT Change(const VARIANT& src, VARTYPE vt, Variant* out, USHORT flags = 0) {
  return VariantChangeType(out, &src, flags, vt);
}

struct TextToIntCase {
  const char16_t* text;
  VARTYPE vt;
  HRESULT hr;
  const char* expected;
};

TEST(VariantChangeTypeTest, TextToIntegers) {
  const TextToIntCase kCases[] = {
      {u"42", VT_I4, S_OK, "42"},
      {u"  -42\t", VT_I4, S_OK, "-42"},
      {u"+7", VT_I1, S_OK, "7"},
      {u"007", VT_UI2, S_OK, "7"},
      // Half to even, from the exact decimal text.
      {u"2.5", VT_I4, S_OK, "2"},
      {u"3.5", VT_I4, S_OK, "4"},
      {u"-2.5", VT_I2, S_OK, "-2"},
      {u"2.5000000000000000000001", VT_I4, S_OK, "3"},
      {u"0.49999999999999999999", VT_I4, S_OK, "0"},
      {u"1e3", VT_I2, S_OK, "1000"},
      {u"15E-1", VT_I4, S_OK, "2"},
      {u".5", VT_I4, S_OK, "0"},
      {u"5.", VT_I4, S_OK, "5"},
      {u"-0.4", VT_UI1, S_OK, "0"},
      {u"-0", VT_UI4, S_OK, "0"},
      {u"1e-99999999999", VT_I8, S_OK, "0"},
      // Every range edge, and one past it.
      {u"127", VT_I1, S_OK, "127"},
      {u"-128", VT_I1, S_OK, "-128"},
      {u"128", VT_I1, DISP_E_OVERFLOW, nullptr},
      {u"-129", VT_I1, DISP_E_OVERFLOW, nullptr},
      {u"255", VT_UI1, S_OK, "255"},
      {u"256", VT_UI1, DISP_E_OVERFLOW, nullptr},
      {u"-1", VT_UI1, DISP_E_OVERFLOW, nullptr},
      {u"-0.6", VT_UI1, DISP_E_OVERFLOW, nullptr},
      {u"32767", VT_I2, S_OK, "32767"},
      {u"-32768", VT_I2, S_OK, "-32768"},
      {u"32767.5", VT_I2, DISP_E_OVERFLOW, nullptr},
      {u"65535", VT_UI2, S_OK, "65535"},
      {u"65536", VT_UI2, DISP_E_OVERFLOW, nullptr},
      {u"2147483647", VT_I4, S_OK, "2147483647"},
      {u"-2147483648", VT_I4, S_OK, "-2147483648"},
      {u"2147483648", VT_I4, DISP_E_OVERFLOW, nullptr},
      {u"-2147483648", VT_INT, S_OK, "-2147483648"},
      {u"2147483648", VT_INT, DISP_E_OVERFLOW, nullptr},
      {u"4294967295", VT_UI4, S_OK, "4294967295"},
      {u"4294967296", VT_UI4, DISP_E_OVERFLOW, nullptr},
      {u"4294967295", VT_UINT, S_OK, "4294967295"},
      {u"-1", VT_UINT, DISP_E_OVERFLOW, nullptr},
      {u"9223372036854775807", VT_I8, S_OK, "9223372036854775807"},
      {u"-9223372036854775808", VT_I8, S_OK, "-9223372036854775808"},
      {u"9223372036854775808", VT_I8, DISP_E_OVERFLOW, nullptr},
      {u"18446744073709551615", VT_UI8, S_OK, "18446744073709551615"},
      {u"18446744073709551616", VT_UI8, DISP_E_OVERFLOW, nullptr},
      {u"1e400", VT_I4, DISP_E_OVERFLOW, nullptr},
      {u"123456789012345678901234567890123456789012345", VT_I8, DISP_E_OVERFLOW, nullptr},
      // No number, or something after it.
      {u"", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"   ", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"12abc", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"1,000", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"1 000", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"0x10", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"&H10", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"$5", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"(5)", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"5-", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"--1", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"+-1", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"1.2.3", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u".", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"1e", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"1e+", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"e5", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"true", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"\u0661\u0662", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
      {u"1\u00A0", VT_I4, DISP_E_TYPEMISMATCH, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(Narrow(c.text) + " -> vt " + std::to_string(c.vt));
    Variant src = Variant::FromText(c.text);
    Variant out;
    ASSERT_EQ(Change(src, c.vt, &out), c.hr);
    if (c.expected) {
      EXPECT_EQ(IntOf(out), c.expected);
    } else {
      EXPECT_EQ(out.vt, VT_EMPTY) << "left as it was";
    }
  }
  // An embedded NUL is trailing garbage, not the end of the number.
  Variant nul = Variant::FromText(std::u16string_view(u"12\0" u"3", 4));
  Variant out;
  EXPECT_EQ(Change(nul, VT_I4, &out), DISP_E_TYPEMISMATCH);
}

struct ToTextCase {
  Variant (*make)();
  USHORT flags;
  const char16_t* expected;
};

TEST(VariantChangeTypeTest, ScalarsToText) {
  const ToTextCase kCases[] = {
      {[] { return Make<CHAR>(VT_I1, -5); }, 0, u"-5"},
      {[] { return Make<BYTE>(VT_UI1, 255); }, 0, u"255"},
      {[] { return Make<SHORT>(VT_I2, -32768); }, 0, u"-32768"},
      {[] { return Make<USHORT>(VT_UI2, 65535); }, 0, u"65535"},
      {[] { return Make<LONG>(VT_I4, INT32_MIN); }, 0, u"-2147483648"},
      {[] { return Make<ULONG>(VT_UI4, UINT32_MAX); }, 0, u"4294967295"},
      {[] { return Make<INT>(VT_INT, -7); }, 0, u"-7"},
      {[] { return Make<UINT>(VT_UINT, 7); }, 0, u"7"},
      {[] { return Make<LONGLONG>(VT_I8, INT64_MIN); }, 0, u"-9223372036854775808"},
      {[] { return Make<ULONGLONG>(VT_UI8, UINT64_MAX); }, 0, u"18446744073709551615"},
      // Doubles: shortest round-trip digits; fixed for exponents -4..14.
      {[] { return Make(VT_R8, 0.1); }, 0, u"0.1"},
      {[] { return Make(VT_R8, 1.0 / 3); }, 0, u"0.3333333333333333"},
      {[] { return Make(VT_R8, -123.25); }, 0, u"-123.25"},
      {[] { return Make(VT_R8, 100.0); }, 0, u"100"},
      {[] { return Make(VT_R8, 1e14); }, 0, u"100000000000000"},
      {[] { return Make(VT_R8, 1e15); }, 0, u"1E+15"},
      {[] { return Make(VT_R8, 123456789012345678.0); }, 0, u"1.2345678901234568E+17"},
      {[] { return Make(VT_R8, 0.0001); }, 0, u"0.0001"},
      {[] { return Make(VT_R8, 0.00001); }, 0, u"1E-05"},
      {[] { return Make(VT_R8, -1.5e-300); }, 0, u"-1.5E-300"},
      {[] { return Make(VT_R8, DBL_MAX); }, 0, u"1.7976931348623157E+308"},
      {[] { return Make(VT_R8, 4.9406564584124654e-324); }, 0, u"5E-324"},
      {[] { return Make(VT_R8, -0.0); }, 0, u"0"},
      {[] { return Make(VT_R4, 0.1f); }, 0, u"0.1"},
      {[] { return Make(VT_R4, 16777216.0f); }, 0, u"16777216"},
      {[] { return Make(VT_R4, FLT_MAX); }, 0, u"3.4028235E+38"},
      // Currency and decimals drop trailing fractional zeros.
      {[] { return Cy(15000); }, 0, u"1.5"},
      {[] { return Cy(-1); }, 0, u"-0.0001"},
      {[] { return Cy(INT64_MIN); }, 0, u"-922337203685477.5808"},
      {[] { return Cy(0); }, 0, u"0"},
      {[] { return Dec(false, 150, 2); }, 0, u"1.5"},
      {[] { return Dec(true, 1, 28); }, 0, u"-0.0000000000000000000000000001"},
      {[] { return Dec(false, (static_cast<unsigned __int128>(1) << 96) - 1, 0); }, 0,
       u"79228162514264337593543950335"},
      {[] { return Variant::FromBool(true); }, 0, u"-1"},
      {[] { return Variant::FromBool(false); }, 0, u"0"},
      {[] { return Variant::FromBool(true); }, VARIANT_ALPHABOOL, u"True"},
      {[] { return Variant::FromBool(false); }, VARIANT_ALPHABOOL, u"False"},
      {[] { return Variant(); }, 0, u""},
      {[] { return Make(VT_DATE, 37319.0); }, 0, u"3/4/2002"},
      {[] { return Make(VT_DATE, 37319.5515625); }, 0, u"3/4/2002 1:14:15 PM"},
      {[] { return Make(VT_DATE, 0.0); }, 0, u"12:00:00 AM"},
  };
  for (const auto& c : kCases) {
    Variant src = c.make();
    SCOPED_TRACE("vt " + std::to_string(src.vt) + " expecting " + Narrow(c.expected));
    Variant out;
    ASSERT_EQ(Change(src, VT_BSTR, &out, c.flags), S_OK);
    ASSERT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(Narrow(BstrView(out.bstrVal)), Narrow(c.expected));
  }
}

TEST(VariantChangeTypeTest, NonFiniteNumbersHaveNoText) {
  const Variant kValues[] = {
      Make(VT_R8, std::numeric_limits<double>::infinity()),
      Make(VT_R8, -std::numeric_limits<double>::infinity()),
      Make(VT_R8, std::numeric_limits<double>::quiet_NaN()),
      Make(VT_R4, std::numeric_limits<float>::infinity()),
      Make(VT_R4, std::numeric_limits<float>::quiet_NaN()),
  };
  for (const Variant& v : kValues) {
    Variant out;
    EXPECT_EQ(Change(v, VT_BSTR, &out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(out.vt, VT_EMPTY);
    EXPECT_EQ(Change(v, VT_I4, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Change(v, VT_CY, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Change(v, VT_DECIMAL, &out), DISP_E_OVERFLOW);
  }
}

TEST(VariantChangeTypeTest, TextToFloatingPoint) {
  struct Case {
    const char16_t* text;
    HRESULT hr;
    double r8;
    HRESULT hr4;
    float r4;
  };
  const Case kCases[] = {
      {u"1.5", S_OK, 1.5, S_OK, 1.5f},
      {u"  -0.25 ", S_OK, -0.25, S_OK, -0.25f},
      {u".5", S_OK, 0.5, S_OK, 0.5f},
      {u"0.1", S_OK, 0.1, S_OK, 0.1f},
      {u"1E+15", S_OK, 1e15, S_OK, 1e15f},
      {u"1.7976931348623157E+308", S_OK, DBL_MAX, DISP_E_OVERFLOW, 0},
      {u"5E-324", S_OK, 4.9406564584124654e-324, S_OK, 0},
      {u"3.4028235E+38", S_OK, 3.4028235e38, S_OK, FLT_MAX},
      {u"1e-400", S_OK, 0, S_OK, 0},
      {u"-1e-400", S_OK, -0.0, S_OK, -0.0f},
      {u"1e309", DISP_E_OVERFLOW, 0, DISP_E_OVERFLOW, 0},
      {u"1e99999999999999", DISP_E_OVERFLOW, 0, DISP_E_OVERFLOW, 0},
      {u"INF", DISP_E_TYPEMISMATCH, 0, DISP_E_TYPEMISMATCH, 0},
      {u"NaN", DISP_E_TYPEMISMATCH, 0, DISP_E_TYPEMISMATCH, 0},
      {u"1.5x", DISP_E_TYPEMISMATCH, 0, DISP_E_TYPEMISMATCH, 0},
      {u"1.5e3.0", DISP_E_TYPEMISMATCH, 0, DISP_E_TYPEMISMATCH, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(Narrow(c.text));
    Variant src = Variant::FromText(c.text);
    Variant out;
    ASSERT_EQ(Change(src, VT_R8, &out), c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(out.dblVal, c.r8);
      EXPECT_EQ(std::signbit(out.dblVal), std::signbit(c.r8));
    }
    ASSERT_EQ(Change(src, VT_R4, &out), c.hr4);
    if (c.hr4 == S_OK) {
      EXPECT_EQ(out.fltVal, c.r4);
    }
  }
}

// Text from a double or float reads back as exactly the same value.
TEST(VariantChangeTypeTest, FloatingPointTextRoundTrips) {
  std::mt19937_64 rng(20020304);
  for (int i = 0; i < 4000; ++i) {
    const uint64_t bits = rng();
    double d;
    float f;
    std::memcpy(&d, &bits, sizeof d);
    const uint32_t bits32 = static_cast<uint32_t>(bits >> 17);
    std::memcpy(&f, &bits32, sizeof f);
    if (std::isfinite(d)) {
      Variant v = Make(VT_R8, d);
      ASSERT_EQ(v.ChangeType(VT_BSTR), S_OK);
      ASSERT_EQ(v.ChangeType(VT_R8), S_OK) << Narrow(BstrView(v.bstrVal));
      EXPECT_EQ(std::memcmp(&v.dblVal, &d, sizeof d), 0) << d;
    }
    if (std::isfinite(f)) {
      Variant v = Make(VT_R4, f);
      ASSERT_EQ(v.ChangeType(VT_BSTR), S_OK);
      ASSERT_EQ(v.ChangeType(VT_R4), S_OK) << Narrow(BstrView(v.bstrVal));
      EXPECT_EQ(std::memcmp(&v.fltVal, &f, sizeof f), 0) << f;
    }
  }
}

TEST(VariantChangeTypeTest, FloatingPointToIntegersRoundsHalfToEven) {
  struct Case {
    double value;
    VARTYPE vt;
    HRESULT hr;
    const char* expected;
  };
  const Case kCases[] = {
      {0.5, VT_I4, S_OK, "0"},
      {1.5, VT_I4, S_OK, "2"},
      {2.5, VT_I4, S_OK, "2"},
      {-2.5, VT_I4, S_OK, "-2"},
      {-3.5, VT_I4, S_OK, "-4"},
      {2.4999999999999996, VT_I4, S_OK, "2"},
      {2147483647.4, VT_I4, S_OK, "2147483647"},
      {2147483647.5, VT_I4, DISP_E_OVERFLOW, nullptr},
      {-2147483648.5, VT_I4, S_OK, "-2147483648"},
      {255.5, VT_UI1, DISP_E_OVERFLOW, nullptr},
      {-0.5, VT_UI1, S_OK, "0"},
      {18446744073709549568.0, VT_UI8, S_OK, "18446744073709549568"},
      {18446744073709551616.0, VT_UI8, DISP_E_OVERFLOW, nullptr},
      {-9223372036854775808.0, VT_I8, S_OK, "-9223372036854775808"},
      {1e300, VT_I8, DISP_E_OVERFLOW, nullptr},
      // Currency rounds at four places, from the number's shortest text.
      {2.5, VT_CY, S_OK, "25000/10000"},
      {0.00005, VT_CY, S_OK, "0/10000"},
      {0.00015, VT_CY, S_OK, "2/10000"},
      {-1.23456, VT_CY, S_OK, "-12346/10000"},
      {1e15, VT_CY, DISP_E_OVERFLOW, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.value) + " -> vt " + std::to_string(c.vt));
    Variant out;
    ASSERT_EQ(Change(Make(VT_R8, c.value), c.vt, &out), c.hr);
    if (c.expected) {
      EXPECT_EQ(IntOf(out), c.expected);
    }
    // The same through a float where it is exact.
    if (static_cast<float>(c.value) == c.value && c.vt != VT_CY) {
      Variant f;
      ASSERT_EQ(Change(Make(VT_R4, static_cast<float>(c.value)), c.vt, &f), c.hr);
      if (c.expected) {
        EXPECT_EQ(IntOf(f), c.expected);
      }
    }
  }
}

TEST(VariantChangeTypeTest, CurrencyAndDecimal) {
  Variant out;
  // Text to currency: exact, half to even at the fourth place.
  struct CyCase {
    const char16_t* text;
    HRESULT hr;
    LONGLONG scaled;
  };
  const CyCase kCy[] = {
      {u"1.23456", S_OK, 12346},
      {u"1.00005", S_OK, 10000},
      {u"1.00015", S_OK, 10002},
      {u"-0.00005000001", S_OK, -1},
      {u"922337203685477.5807", S_OK, INT64_MAX},
      {u"-922337203685477.5808", S_OK, INT64_MIN},
      {u"922337203685477.5808", DISP_E_OVERFLOW, 0},
      {u"1.5 $", DISP_E_TYPEMISMATCH, 0},
  };
  for (const auto& c : kCy) {
    SCOPED_TRACE(Narrow(c.text));
    ASSERT_EQ(Change(Variant::FromText(c.text), VT_CY, &out), c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(out.cyVal.int64, c.scaled);
    }
  }
  // Text to decimal keeps the written places while they fit 96 bits.
  struct DecCase {
    const char16_t* text;
    HRESULT hr;
    const char* mantissa;
    int scale;
    bool neg;
  };
  const DecCase kDec[] = {
      {u"1.50", S_OK, "150", 2, false},
      {u"-0.0000000000000000000000000001", S_OK, "1", 28, true},
      {u"0.12345678901234567890123456789", S_OK, "1234567890123456789012345679", 28, false},
      {u"79228162514264337593543950335", S_OK, "79228162514264337593543950335", 0, false},
      {u"7922816251426433759354395033.56", S_OK, "7922816251426433759354395034", 0, false},
      {u"1e-40", S_OK, "0", 28, false},
      {u"12e3", S_OK, "12000", 0, false},
      {u"79228162514264337593543950336", DISP_E_OVERFLOW, nullptr, 0, false},
      {u"1e29", DISP_E_OVERFLOW, nullptr, 0, false},
      {u"1.0.0", DISP_E_TYPEMISMATCH, nullptr, 0, false},
  };
  for (const auto& c : kDec) {
    SCOPED_TRACE(Narrow(c.text));
    ASSERT_EQ(Change(Variant::FromText(c.text), VT_DECIMAL, &out), c.hr);
    if (c.hr != S_OK) continue;
    const DECIMAL& d = out.decVal;
    unsigned __int128 m = (static_cast<unsigned __int128>(d.Hi32) << 64) | d.Lo64;
    std::string digits;
    do {
      digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
      m /= 10;
    } while (m);
    EXPECT_EQ(digits, c.mantissa);
    EXPECT_EQ(d.scale, c.scale);
    EXPECT_EQ(d.sign == DECIMAL_NEG, c.neg);
  }
  // Decimals and currency to other numbers.
  ASSERT_EQ(Change(Dec(false, 25, 1), VT_I4, &out), S_OK);
  EXPECT_EQ(out.lVal, 2);
  ASSERT_EQ(Change(Dec(true, 35, 1), VT_I2, &out), S_OK);
  EXPECT_EQ(out.iVal, -4);
  ASSERT_EQ(Change(Dec(false, 15, 1), VT_R8, &out), S_OK);
  EXPECT_EQ(out.dblVal, 1.5);
  ASSERT_EQ(Change(Dec(false, 123456789, 4), VT_CY, &out), S_OK);
  EXPECT_EQ(out.cyVal.int64, 123456789);
  ASSERT_EQ(Change(Cy(35000), VT_UI1, &out), S_OK);
  EXPECT_EQ(out.bVal, 4);
  ASSERT_EQ(Change(Cy(1), VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(out.decVal.scale, 4);
  EXPECT_EQ(out.decVal.Lo64, 1u);
  ASSERT_EQ(Change(Make(VT_R8, 0.1), VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(out.decVal.Lo64, 1u);
  EXPECT_EQ(out.decVal.scale, 1);
  EXPECT_EQ(Change(Make(VT_R8, 1e30), VT_DECIMAL, &out), DISP_E_OVERFLOW);
  ASSERT_EQ(Change(Make<LONGLONG>(VT_I8, INT64_MIN), VT_DECIMAL, &out), S_OK);
  EXPECT_EQ(out.decVal.sign, DECIMAL_NEG);
  EXPECT_EQ(out.decVal.Lo64, uint64_t{1} << 63);
}

TEST(VariantChangeTypeTest, Booleans) {
  struct Case {
    const char16_t* text;
    HRESULT hr;
    VARIANT_BOOL expected;
  };
  const Case kFromText[] = {
      {u"True", S_OK, VARIANT_TRUE},   {u"false", S_OK, VARIANT_FALSE},
      {u"TRUE", S_OK, VARIANT_TRUE},   {u" tRuE\t", S_OK, VARIANT_TRUE},
      {u"1", S_OK, VARIANT_TRUE},      {u"0", S_OK, VARIANT_FALSE},
      {u"-1", S_OK, VARIANT_TRUE},     {u"0.5", S_OK, VARIANT_TRUE},
      {u"0.000", S_OK, VARIANT_FALSE}, {u"yes", DISP_E_TYPEMISMATCH, 0},
      {u"", DISP_E_TYPEMISMATCH, 0},   {u"truex", DISP_E_TYPEMISMATCH, 0},
      {u"#TRUE#", DISP_E_TYPEMISMATCH, 0},
  };
  for (const auto& c : kFromText) {
    SCOPED_TRACE(Narrow(c.text));
    Variant out;
    ASSERT_EQ(Change(Variant::FromText(c.text), VT_BOOL, &out), c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(out.boolVal, c.expected);
    }
  }
  Variant out;
  ASSERT_EQ(Change(Make<LONG>(VT_I4, 5), VT_BOOL, &out), S_OK);
  EXPECT_EQ(static_cast<uint16_t>(out.boolVal), 0xFFFF);
  ASSERT_EQ(Change(Make(VT_R8, 0.0), VT_BOOL, &out), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_FALSE);
  ASSERT_EQ(Change(Make(VT_R8, std::nan("")), VT_BOOL, &out), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_TRUE);
  ASSERT_EQ(Change(Cy(1), VT_BOOL, &out), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_TRUE);

  // True is -1 in signed types and all bits set in unsigned ones.
  const Variant t = Variant::FromBool(true);
  const std::pair<VARTYPE, const char*> kTrue[] = {
      {VT_I1, "-1"},         {VT_I2, "-1"},    {VT_I4, "-1"},
      {VT_I8, "-1"},         {VT_UI1, "255"},  {VT_UI2, "65535"},
      {VT_UI4, "4294967295"}, {VT_UINT, "4294967295"}, {VT_UI8, "18446744073709551615"},
      {VT_CY, "-10000/10000"},
  };
  for (const auto& [vt, expected] : kTrue) {
    ASSERT_EQ(Change(t, vt, &out), S_OK) << vt;
    EXPECT_EQ(IntOf(out), expected);
    ASSERT_EQ(Change(Variant::FromBool(false), vt, &out), S_OK);
    EXPECT_EQ(IntOf(out), vt == VT_CY ? "0/10000" : "0");
  }
  ASSERT_EQ(Change(t, VT_R8, &out), S_OK);
  EXPECT_EQ(out.dblVal, -1.0);
}

TEST(VariantChangeTypeTest, DatesAndText) {
  Variant out;
  ASSERT_EQ(Change(Variant::FromText(u"2002-03-04T13:14:15"), VT_DATE, &out), S_OK);
  EXPECT_DOUBLE_EQ(out.date, 37319 + 47655 / 86400.0);
  EXPECT_EQ(Change(Variant::FromText(u"37319"), VT_DATE, &out), DISP_E_TYPEMISMATCH)
      << "text becomes a date only through the date parser";
  EXPECT_EQ(Change(Variant::FromText(u"2002-03-04 junk"), VT_DATE, &out), DISP_E_TYPEMISMATCH);

  // Every whole second of a date reads back from its text.
  for (double d : {37319.0, 37319.5515625, 0.75, -1.25, -657434.0, 2958465.0 + 86399 / 86400.0}) {
    Variant v = Make(VT_DATE, d);
    ASSERT_EQ(v.ChangeType(VT_BSTR), S_OK) << d;
    ASSERT_EQ(v.ChangeType(VT_DATE), S_OK) << Narrow(BstrView(v.bstrVal));
    EXPECT_DOUBLE_EQ(v.date, d) << Narrow(BstrView(v.bstrVal));
  }
  // Numbers become dates inside the valid range only.
  ASSERT_EQ(Change(Make<LONG>(VT_I4, 37319), VT_DATE, &out), S_OK);
  EXPECT_EQ(out.date, 37319.0);
  EXPECT_EQ(Change(Make<LONG>(VT_I4, 3000000), VT_DATE, &out), DISP_E_OVERFLOW);
  EXPECT_EQ(Change(Make(VT_R8, -657435.0), VT_DATE, &out), DISP_E_OVERFLOW);
  ASSERT_EQ(Change(Make(VT_R8, 2958465.5), VT_DATE, &out), S_OK);
  EXPECT_EQ(Change(Make(VT_DATE, 1e10), VT_BSTR, &out), DISP_E_OVERFLOW);
  ASSERT_EQ(Change(Make(VT_DATE, 37319.5), VT_I4, &out), S_OK);
  EXPECT_EQ(out.lVal, 37320);
}

TEST(VariantChangeTypeTest, EmptyNullErrorAndArrays) {
  Variant out;
  const Variant empty;
  ASSERT_EQ(Change(empty, VT_I4, &out), S_OK);
  EXPECT_EQ(out.lVal, 0);
  ASSERT_EQ(Change(empty, VT_BSTR, &out), S_OK);
  EXPECT_NE(out.bstrVal, nullptr);
  EXPECT_EQ(SysStringLen(out.bstrVal), 0u);
  ASSERT_EQ(Change(empty, VT_BOOL, &out), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_FALSE);
  ASSERT_EQ(Change(empty, VT_DATE, &out), S_OK);
  EXPECT_EQ(out.date, 0.0);
  ASSERT_EQ(Change(empty, VT_NULL, &out), S_OK);
  EXPECT_EQ(out.vt, VT_NULL);
  EXPECT_EQ(Change(empty, VT_DISPATCH, &out), DISP_E_TYPEMISMATCH);

  Variant null;
  null.vt = VT_NULL;
  for (VARTYPE vt : {VT_EMPTY, VT_I4, VT_BSTR, VT_BOOL, VT_DATE, VT_R8, VT_DISPATCH}) {
    EXPECT_EQ(Change(null, vt, &out), DISP_E_TYPEMISMATCH) << vt;
  }
  ASSERT_EQ(Change(null, VT_NULL, &out), S_OK);
  EXPECT_EQ(out.vt, VT_NULL);
  ASSERT_EQ(Change(Make<LONG>(VT_I4, 3), VT_EMPTY, &out), S_OK);
  EXPECT_EQ(out.vt, VT_EMPTY);

  const Variant err = Make<SCODE>(VT_ERROR, DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(Change(err, VT_I4, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(Make<LONG>(VT_I4, 3), VT_ERROR, &out), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(Change(err, VT_ERROR, &out), S_OK);
  EXPECT_EQ(out.scode, DISP_E_PARAMNOTFOUND);

  Variant arr;
  arr.vt = VT_ARRAY | VT_UI1;
  arr.parray = SafeArrayCreateVector(VT_UI1, 0, 4);
  ASSERT_EQ(Change(arr, VT_ARRAY | VT_UI1, &out), S_OK);
  EXPECT_NE(out.parray, arr.parray) << "a deep copy";
  EXPECT_EQ(Change(arr, VT_BSTR, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(arr, VT_ARRAY | VT_I4, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(Make<LONG>(VT_I4, 3), VT_ARRAY | VT_I4, &out), DISP_E_TYPEMISMATCH);

  for (VARTYPE vt : {VARTYPE(VT_I4 | VT_BYREF), VARTYPE(VT_VARIANT), VARTYPE(0x7F)}) {
    EXPECT_EQ(Change(empty, vt, &out), DISP_E_BADVARTYPE) << vt;
  }
}

TEST(VariantChangeTypeTest, InPlaceAndByReference) {
  Variant v = Variant::FromText(u" 42 ");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 42);
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
  EXPECT_EQ(BstrView(v.bstrVal), u"42");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK) << "to its own type";
  EXPECT_EQ(BstrView(v.bstrVal), u"42");
  Variant bad = Variant::FromText(u"4x");
  EXPECT_EQ(VariantChangeType(&bad, &bad, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(BstrView(bad.bstrVal), u"4x") << "kept on failure";

  double d = 2.5;
  Variant ref;
  ref.vt = VT_R8 | VT_BYREF;
  ref.pdblVal = &d;
  Variant out;
  ASSERT_EQ(Change(ref, VT_BSTR, &out), S_OK);
  EXPECT_EQ(BstrView(out.bstrVal), u"2.5");
  ASSERT_EQ(Change(ref, VT_R8, &out), S_OK);
  EXPECT_EQ(out.vt, VT_R8) << "the value, not the reference";
  EXPECT_EQ(out.dblVal, 2.5);

  BSTR s = SysAllocString(u"7");
  Variant sref;
  sref.vt = VT_BSTR | VT_BYREF;
  sref.pbstrVal = &s;
  Variant inner;
  inner.vt = VT_VARIANT | VT_BYREF;
  inner.pvarVal = &sref;
  EXPECT_EQ(Change(inner, VT_I4, &out), E_INVALIDARG) << "two levels of reference";
  ASSERT_EQ(Change(sref, VT_I4, &out), S_OK);
  EXPECT_EQ(out.lVal, 7);
  ASSERT_EQ(VariantChangeType(&sref, &sref, 0, VT_UI1), S_OK);
  EXPECT_EQ(sref.bVal, 7);
  SysFreeString(s);  // the reference never owned it

  Variant target = Variant::FromText(u"9");
  Variant vref;
  vref.vt = VT_VARIANT | VT_BYREF;
  vref.pvarVal = &target;
  ASSERT_EQ(Change(vref, VT_I2, &out), S_OK);
  EXPECT_EQ(out.iVal, 9);
}

TEST(VariantChangeTypeTest, ObjectsGiveTheirValueProperty) {
  FakeObject obj;
  obj.value.vt = VT_I4;
  obj.value.lVal = 42;
  {
    Variant d;
    d.vt = VT_DISPATCH;
    d.pdispVal = &obj;
    obj.AddRef();
    Variant out;
    ASSERT_EQ(Change(d, VT_BSTR, &out), S_OK);
    EXPECT_EQ(BstrView(out.bstrVal), u"42");
    EXPECT_EQ(obj.invokes, 1);
    ASSERT_EQ(Change(d, VT_UI1, &out), S_OK);
    EXPECT_EQ(out.bVal, 42);
    EXPECT_EQ(Change(d, VT_I4, &out, VARIANT_NOVALUEPROP), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(obj.invokes, 2);

    ASSERT_EQ(Change(d, VT_UNKNOWN, &out), S_OK);
    EXPECT_EQ(out.punkVal, static_cast<IUnknown*>(&obj));
    EXPECT_EQ(obj.refs, 3u);
    ASSERT_EQ(Change(out, VT_DISPATCH, &out), S_OK);
    EXPECT_EQ(out.pdispVal, &obj);
    EXPECT_EQ(obj.refs, 3u);

    Variant nothing;
    nothing.vt = VT_DISPATCH;
    EXPECT_EQ(Change(nothing, VT_I4, &out), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(Change(nothing, VT_UNKNOWN, &out), S_OK);
    EXPECT_EQ(out.punkVal, nullptr);
  }
  EXPECT_EQ(obj.refs, 1u);

  // An object whose value is itself stops after one step.
  FakeObject self;
  self.value.vt = VT_DISPATCH;
  self.value.pdispVal = &self;
  self.AddRef();
  Variant d;
  d.vt = VT_DISPATCH;
  d.pdispVal = &self;
  self.AddRef();
  Variant out;
  EXPECT_EQ(Change(d, VT_BSTR, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(self.invokes, 1);
  VariantClear(&d);
  VariantClear(&self.value);
  EXPECT_EQ(self.refs, 1u);

  FakeObject plain(/*dispatch=*/false);
  {
    Variant u;
    u.vt = VT_UNKNOWN;
    u.punkVal = &plain;
    plain.AddRef();
    EXPECT_EQ(Change(u, VT_DISPATCH, &out), E_NOINTERFACE);
    EXPECT_EQ(Change(u, VT_I4, &out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(Make<LONG>(VT_I4, 1), VT_UNKNOWN, &out), DISP_E_TYPEMISMATCH);
  }
  EXPECT_EQ(plain.refs, 1u);
}

}  // namespace

namespace {

// Reading a value straight from text gives what converting a string holding
// that text gives, result and error alike, for every scalar target.
TEST(VariantChangeTypeTest, ScalarFromTextMatchesConvertingAString) {
  const char16_t* texts[] = {
      u"0",     u"42",          u" -17 ",  u"+3.5",   u"2.5",     u"1e3",     u"-1E-2",
      u"255",   u"256",         u"-129",   u"65536",  u"4294967296", u"9223372036854775808",
      u"1e400", u"1e-400",      u".5",     u"5.",     u"",        u"abc",     u"12abc",
      u"true",  u" FALSE ",     u"0x10",   u"3/4/2002", u"2002-03-04T13:14:15", u"NaN",
      u"79228162514264337593543950335", u"0.00000000000000000000000000001"};
  const VARTYPE types[] = {VT_I1, VT_UI1, VT_I2,  VT_UI2, VT_I4,      VT_UI4,  VT_INT,  VT_UINT,
                           VT_I8, VT_UI8, VT_R4,  VT_R8,  VT_DECIMAL, VT_CY,   VT_BOOL, VT_DATE};
  for (const char16_t* t : texts) {
    for (VARTYPE vt : types) {
      SCOPED_TRACE(Narrow(t) + " as vt " + std::to_string(vt));
      Variant source = Variant::FromText(t);
      Variant converted;
      const HRESULT want = VariantChangeType(&converted, &source, 0, vt);
      Variant direct;
      const HRESULT got = VarScalarFromText(t, vt, &direct);
      ASSERT_EQ(got, want);
      if (FAILED(want)) {
        EXPECT_EQ(direct.vt, VT_EMPTY);
        continue;
      }
      ASSERT_EQ(direct.vt, converted.vt);
      EXPECT_EQ(std::memcmp(&direct.llVal, &converted.llVal, sizeof direct.llVal), 0);
      if (vt == VT_DECIMAL) {
        EXPECT_EQ(std::memcmp(&direct.decVal, &converted.decVal, sizeof(DECIMAL)), 0);
      }
    }
  }
  Variant out;
  for (VARTYPE vt : {VARTYPE{VT_BSTR}, VARTYPE{VT_EMPTY}, VARTYPE{VT_NULL}, VARTYPE{VT_DISPATCH},
                     VARTYPE{VT_I4 | VT_BYREF}, VARTYPE{VT_I4 | VT_ARRAY}}) {
    EXPECT_EQ(VarScalarFromText(u"1", vt, &out), DISP_E_BADVARTYPE) << vt;
  }
}

// A number's text without the string gives what converting it to a string
// gives, failures included; other types are left to the general path.
TEST(VariantChangeTypeTest, ScalarToTextMatchesConvertingToAString) {
  const Variant numbers[] = {
      Make<LONG>(VT_I4, 0),          Make<LONG>(VT_I4, INT32_MIN),
      Make<ULONG>(VT_UI4, UINT32_MAX), Make<signed char>(VT_I1, -128),
      Make<BYTE>(VT_UI1, 255),       Make<SHORT>(VT_I2, -32768),
      Make<USHORT>(VT_UI2, 65535),   Make<LONGLONG>(VT_I8, INT64_MIN),
      Make<ULONGLONG>(VT_UI8, UINT64_MAX), Make<INT>(VT_INT, -5),
      Make<UINT>(VT_UINT, 7),        Make<float>(VT_R4, 123.5f),
      Make<float>(VT_R4, 1e-7f),     Make<double>(VT_R8, -0.0),
      Make<double>(VT_R8, 1.0 / 3),  Make<double>(VT_R8, 1e300),
      Make<double>(VT_R8, std::numeric_limits<double>::infinity()),
      Make<float>(VT_R4, std::numeric_limits<float>::quiet_NaN()),
      Cy(-12345678),                 Dec(true, 12345, 3),
      Dec(false, (static_cast<unsigned __int128>(1) << 96) - 1, 0)};
  for (const Variant& v : numbers) {
    SCOPED_TRACE("vt " + std::to_string(v.vt) + " " + IntOf(v));
    Variant converted;
    const HRESULT want = VariantChangeType(&converted, &v, 0, VT_BSTR);
    std::string text = "untouched";
    const HRESULT got = VarScalarToText(v, &text);
    ASSERT_EQ(got, want);
    if (FAILED(want)) {
      EXPECT_EQ(text, "untouched");
    } else {
      EXPECT_EQ(text, Narrow(BstrView(converted.bstrVal)));
    }
  }
  std::string text;
  const Variant others[] = {Make<VARIANT_BOOL>(VT_BOOL, VARIANT_TRUE), Make<DATE>(VT_DATE, 1.5),
                            Variant::FromText(u"1"), Variant()};
  for (const Variant& v : others) EXPECT_EQ(VarScalarToText(v, &text), DISP_E_BADVARTYPE) << v.vt;
}

}  // namespace
