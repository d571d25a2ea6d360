#include <gtest/gtest.h>

#include <cstring>

#include "platform/com/testing/value_fakes.h"
#include "platform/com/variant.h"

namespace {

using com::testing::FakeObject;

// Destroys at scope end; the tests check the result where it matters.
struct ArrayGuard {
  SAFEARRAY* psa;
  ~ArrayGuard() { SafeArrayDestroy(psa); }
};

TEST(SafeArrayTest, BoundsAreReportedInCreateOrder) {
  const SAFEARRAYBOUND bounds[] = {{2, 0}, {3, -1}, {4, 10}};
  ArrayGuard a{SafeArrayCreate(VT_I4, 3, bounds)};
  ASSERT_NE(a.psa, nullptr);
  EXPECT_EQ(SafeArrayGetDim(a.psa), 3u);
  EXPECT_EQ(SafeArrayGetElemsize(a.psa), 4u);
  VARTYPE vt;
  ASSERT_EQ(SafeArrayGetVartype(a.psa, &vt), S_OK);
  EXPECT_EQ(vt, VT_I4);
  const LONG kLower[] = {0, -1, 10}, kUpper[] = {1, 1, 13};
  for (UINT d = 1; d <= 3; ++d) {
    LONG lo, hi;
    ASSERT_EQ(SafeArrayGetLBound(a.psa, d, &lo), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(a.psa, d, &hi), S_OK);
    EXPECT_EQ(lo, kLower[d - 1]) << d;
    EXPECT_EQ(hi, kUpper[d - 1]) << d;
  }
  // The descriptor keeps them reversed.
  EXPECT_EQ(a.psa->rgsabound[0].cElements, 4u);
  EXPECT_EQ(a.psa->rgsabound[2].cElements, 2u);
  LONG x;
  EXPECT_EQ(SafeArrayGetLBound(a.psa, 0, &x), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(a.psa, 4, &x), DISP_E_BADINDEX);
}

TEST(SafeArrayTest, FirstIndexVariesFastestInMemory) {
  const SAFEARRAYBOUND bounds[] = {{2, 1}, {3, 0}};  // indices {i in 1..2, j in 0..2}
  ArrayGuard a{SafeArrayCreate(VT_I2, 2, bounds)};
  ASSERT_NE(a.psa, nullptr);
  for (LONG j = 0; j < 3; ++j) {
    for (LONG i = 1; i <= 2; ++i) {
      const LONG idx[] = {i, j};
      SHORT value = static_cast<SHORT>(10 * i + j);
      ASSERT_EQ(SafeArrayPutElement(a.psa, idx, &value), S_OK);
    }
  }
  SHORT* data;
  ASSERT_EQ(SafeArrayAccessData(a.psa, reinterpret_cast<void**>(&data)), S_OK);
  const SHORT kExpected[] = {10, 20, 11, 21, 12, 22};
  EXPECT_EQ(std::memcmp(data, kExpected, sizeof kExpected), 0);
  ASSERT_EQ(SafeArrayUnaccessData(a.psa), S_OK);

  const LONG idx[] = {2, 1};
  void* p;
  ASSERT_EQ(SafeArrayPtrOfIndex(a.psa, idx, &p), S_OK);
  EXPECT_EQ(*static_cast<SHORT*>(p), 21);
  SHORT got = 0;
  ASSERT_EQ(SafeArrayGetElement(a.psa, idx, &got), S_OK);
  EXPECT_EQ(got, 21);
}

TEST(SafeArrayTest, OutOfBoundsIndexIsBadIndex) {
  const SAFEARRAYBOUND bounds[] = {{2, 1}, {3, 0}};
  ArrayGuard a{SafeArrayCreate(VT_I4, 2, bounds)};
  const LONG kBad[][2] = {{0, 0}, {3, 0}, {1, -1}, {1, 3}, {INT32_MIN, INT32_MAX}};
  for (const auto& idx : kBad) {
    LONG v = 1;
    void* p;
    EXPECT_EQ(SafeArrayPutElement(a.psa, idx, &v), DISP_E_BADINDEX) << idx[0] << "," << idx[1];
    EXPECT_EQ(SafeArrayGetElement(a.psa, idx, &v), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayPtrOfIndex(a.psa, idx, &p), DISP_E_BADINDEX);
  }
}

TEST(SafeArrayTest, VectorOfBstrOwnsCopies) {
  ArrayGuard a{SafeArrayCreateVector(VT_BSTR, 5, 2)};
  ASSERT_NE(a.psa, nullptr);
  EXPECT_EQ(a.psa->fFeatures & FADF_BSTR, FADF_BSTR);
  Bstr text(std::u16string_view(u"one\0two", 7));
  const LONG idx = 5;
  ASSERT_EQ(SafeArrayPutElement(a.psa, &idx, text.Get()), S_OK);
  ASSERT_EQ(SafeArrayPutElement(a.psa, &idx, text.Get()), S_OK) << "replacing frees the old copy";
  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(a.psa, &idx, &got), S_OK);
  EXPECT_NE(got, text.Get());
  EXPECT_EQ(BstrView(got), text.View());
  SysFreeString(got);
  const LONG unset = 6;
  ASSERT_EQ(SafeArrayGetElement(a.psa, &unset, &got), S_OK);
  EXPECT_EQ(got, nullptr);
}

TEST(SafeArrayTest, InterfacesAreAddRefedAndReleased) {
  FakeObject obj;
  {
    ArrayGuard a{SafeArrayCreateVector(VT_DISPATCH, 0, 2)};
    for (LONG i = 0; i < 2; ++i) {
      ASSERT_EQ(SafeArrayPutElement(a.psa, &i, static_cast<IDispatch*>(&obj)), S_OK);
    }
    EXPECT_EQ(obj.refs, 3u);
    IDispatch* got = nullptr;
    const LONG i = 1;
    ASSERT_EQ(SafeArrayGetElement(a.psa, &i, &got), S_OK);
    EXPECT_EQ(got, &obj);
    EXPECT_EQ(obj.refs, 4u);
    got->Release();
    ASSERT_EQ(SafeArrayPutElement(a.psa, &i, nullptr), S_OK);
    EXPECT_EQ(obj.refs, 2u);

    SAFEARRAY* copy;
    ASSERT_EQ(SafeArrayCopy(a.psa, &copy), S_OK);
    EXPECT_EQ(obj.refs, 3u);
    ASSERT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(obj.refs, 2u);
  }
  EXPECT_EQ(obj.refs, 1u);
}

TEST(SafeArrayTest, VariantElementsDeepCopy) {
  const SAFEARRAYBOUND bounds[] = {{2, 0}, {2, 0}};
  ArrayGuard a{SafeArrayCreate(VT_VARIANT, 2, bounds)};
  ASSERT_NE(a.psa, nullptr);
  Variant text = Variant::FromText(u"ns");
  const LONG idx[] = {1, 0};
  ASSERT_EQ(SafeArrayPutElement(a.psa, idx, &text), S_OK);
  Variant nested;
  nested.vt = VT_ARRAY | VT_UI1;
  nested.parray = SafeArrayCreateVector(VT_UI1, 0, 3);
  const LONG idx2[] = {0, 1};
  ASSERT_EQ(SafeArrayPutElement(a.psa, idx2, &nested), S_OK);

  SAFEARRAY* copy;
  ASSERT_EQ(SafeArrayCopy(a.psa, &copy), S_OK);
  ArrayGuard c{copy};
  VARIANT got;  // uninitialised on purpose: GetElement overwrites
  std::memset(&got, 0xAB, sizeof got);
  ASSERT_EQ(SafeArrayGetElement(copy, idx, &got), S_OK);
  EXPECT_EQ(got.vt, VT_BSTR);
  EXPECT_NE(got.bstrVal, text.bstrVal);
  EXPECT_EQ(BstrView(got.bstrVal), u"ns");
  VariantClear(&got);
  ASSERT_EQ(SafeArrayGetElement(copy, idx2, &got), S_OK);
  EXPECT_EQ(got.vt, VT_ARRAY | VT_UI1);
  EXPECT_NE(got.parray, nested.parray);
  LONG ub;
  ASSERT_EQ(SafeArrayGetUBound(got.parray, 1, &ub), S_OK);
  EXPECT_EQ(ub, 2);
  VariantClear(&got);
}

TEST(SafeArrayTest, LockedArrayIsNotDestroyed) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 1);
  ASSERT_EQ(SafeArrayLock(psa), S_OK);
  void* data;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  ASSERT_EQ(SafeArrayUnlock(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  // A variant holding a locked array cannot be cleared either.
  VARIANT v;
  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = psa;
  SafeArrayLock(psa);
  EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(v.vt, VT_ARRAY | VT_BSTR);
  SafeArrayUnlock(psa);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(SafeArrayTest, HugeOrInvalidShapesFailWithoutAllocating) {
  const SAFEARRAYBOUND huge[] = {{0xFFFFFFFF, 0}, {0xFFFFFFFF, 0}, {0xFFFFFFFF, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_VARIANT, 3, huge), nullptr) << "count overflows 64 bits";
  const SAFEARRAYBOUND big[] = {{0x10000, 0}, {0x10000, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 2, big), nullptr) << "16 GiB";
  EXPECT_EQ(SafeArrayCreateVector(VT_UI1, INT32_MAX, 2), nullptr) << "upper bound past LONG";
  EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_I4 | VT_BYREF, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, huge), nullptr);

  ArrayGuard empty{SafeArrayCreateVector(VT_I4, 0, 0)};
  ASSERT_NE(empty.psa, nullptr);
  LONG lo, hi;
  ASSERT_EQ(SafeArrayGetLBound(empty.psa, 1, &lo), S_OK);
  ASSERT_EQ(SafeArrayGetUBound(empty.psa, 1, &hi), S_OK);
  EXPECT_EQ(hi, lo - 1);
  // A zero dimension alongside a huge one holds nothing and is fine.
  const SAFEARRAYBOUND zero_and_huge[] = {{0, 0}, {0x7FFFFFFF, 0}};
  ArrayGuard z{SafeArrayCreate(VT_I4, 2, zero_and_huge)};
  EXPECT_NE(z.psa, nullptr);
}

}  // namespace
