#include <gtest/gtest.h>

#include "platform/com/testing/value_fakes.h"
#include "platform/com/variant.h"

namespace {

using com::testing::FakeObject;

TEST(VariantTest, CopyDuplicatesWhatItOwns) {
  FakeObject obj;
  const std::u16string_view text(u"a\0b", 3);
  Variant s = Variant::FromText(text);
  Variant copy;
  ASSERT_EQ(copy.CopyFrom(s), S_OK);
  EXPECT_NE(copy.bstrVal, s.bstrVal);
  EXPECT_EQ(BstrView(copy.bstrVal), text) << "embedded NUL kept";

  Variant d;
  d.vt = VT_DISPATCH;
  d.pdispVal = &obj;
  obj.AddRef();
  ASSERT_EQ(copy.CopyFrom(d), S_OK) << "replaces the string";
  EXPECT_EQ(obj.refs, 3u);
  ASSERT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(obj.refs, 2u);
  EXPECT_EQ(copy.vt, VT_EMPTY);

  Variant arr;
  arr.vt = VT_ARRAY | VT_I4;
  arr.parray = SafeArrayCreateVector(VT_I4, 0, 2);
  ASSERT_EQ(copy.CopyFrom(arr), S_OK);
  EXPECT_NE(copy.parray, arr.parray);
  EXPECT_EQ(VariantCopy(&copy, &copy), S_OK) << "copy onto itself keeps the value";
  EXPECT_EQ(copy.vt, VT_ARRAY | VT_I4);
}

TEST(VariantTest, ByReferenceOwnsNothingAndCopyIndReadsThrough) {
  BSTR held = SysAllocString(u"held");
  Variant ref;
  ref.vt = VT_BSTR | VT_BYREF;
  ref.pbstrVal = &held;
  Variant shallow;
  ASSERT_EQ(shallow.CopyFrom(ref), S_OK);
  EXPECT_EQ(shallow.pbstrVal, &held);
  Variant deep;
  ASSERT_EQ(VariantCopyInd(&deep, &ref), S_OK);
  EXPECT_EQ(deep.vt, VT_BSTR);
  EXPECT_NE(deep.bstrVal, held);
  EXPECT_EQ(BstrView(deep.bstrVal), u"held");
  ASSERT_EQ(VariantCopyInd(&ref, &ref), S_OK) << "in place";
  EXPECT_EQ(ref.vt, VT_BSTR);
  VariantClear(&shallow);
  SysFreeString(held);  // still ours: no variant owned it

  Variant inner = Variant::FromI4(7);
  Variant outer;
  outer.vt = VT_VARIANT | VT_BYREF;
  outer.pvarVal = &inner;
  ASSERT_EQ(VariantCopyInd(&deep, &outer), S_OK);
  EXPECT_EQ(deep.vt, VT_I4);
  EXPECT_EQ(deep.lVal, 7);
  Variant twice;
  twice.vt = VT_VARIANT | VT_BYREF;
  twice.pvarVal = &outer;
  EXPECT_EQ(VariantCopyInd(&deep, &twice), E_INVALIDARG);
  EXPECT_EQ(deep.lVal, 7) << "dest kept on failure";
}

TEST(VariantTest, InvalidTypesAreRejected) {
  const VARTYPE kBad[] = {VT_VARIANT, 15, 0x0FFF, VT_EMPTY | VT_BYREF, VT_NULL | VT_ARRAY,
                          VT_I4 | 0x1000};
  for (VARTYPE vt : kBad) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    Variant dest;
    EXPECT_EQ(VariantCopy(&dest, &v), DISP_E_BADVARTYPE) << vt;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << vt;
  }
}

TEST(VariantTest, WrapperMovesAndDetaches) {
  Variant a = Variant::FromText(u"x");
  Variant b = std::move(a);
  EXPECT_EQ(a.vt, VT_EMPTY);
  EXPECT_EQ(b.vt, VT_BSTR);
  a = std::move(b);
  EXPECT_EQ(BstrView(a.bstrVal), u"x");
  VARIANT raw = a.Detach();
  EXPECT_EQ(a.vt, VT_EMPTY);
  Variant back = Variant::Adopt(&raw);
  EXPECT_EQ(raw.vt, VT_EMPTY);
  ASSERT_EQ(back.ChangeType(VT_BOOL), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(back.vt, VT_BSTR) << "unchanged on failure";
  VARIANT* out = back.Receive();
  EXPECT_EQ(out->vt, VT_EMPTY);
}

}  // namespace
