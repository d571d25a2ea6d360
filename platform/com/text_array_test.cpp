#include "platform/com/text_array.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace com {
namespace {

Variant VectorOf(VARTYPE et, std::vector<Variant> items) {
  Variant v;
  v.vt = VT_ARRAY | et;
  v.parray = SafeArrayCreateVector(et, 3, ULONG(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    const LONG index = 3 + LONG(i);
    void* element = et == VT_BSTR ? static_cast<void*>(items[i].bstrVal) : &items[i];
    EXPECT_EQ(SafeArrayPutElement(v.parray, &index, element), S_OK);
  }
  return v;
}

template <typename... V>
std::vector<Variant> Items(V... values) {
  std::vector<Variant> out;
  (out.push_back(std::move(values)), ...);
  return out;
}

TEST(TextArrayTest, ReadsListsOfTextsAndRefusesOtherShapes) {
  struct Case {
    const char* what;
    std::function<Variant()> value;
    EmptyElement empty;
    bool ok;
    std::vector<std::u16string> texts;
  } cases[] = {
      {"nothing", [] { return Variant(); }, EmptyElement::Refused, true, {}},
      {"variants",
       [] { return VectorOf(VT_VARIANT, Items(Variant::FromText(u"a"), Variant::FromText(u"b"))); },
       EmptyElement::Refused,
       true,
       {u"a", u"b"}},
      {"bstrs",
       [] { return VectorOf(VT_BSTR, Items(Variant::FromText(u"c"))); },
       EmptyElement::Refused,
       true,
       {u"c"}},
      {"empty element refused",
       [] { return VectorOf(VT_VARIANT, Items(Variant())); },
       EmptyElement::Refused,
       false,
       {}},
      {"empty element allowed",
       [] { return VectorOf(VT_VARIANT, Items(Variant())); },
       EmptyElement::Allowed,
       true,
       {u""}},
      {"integer element",
       [] { return VectorOf(VT_VARIANT, Items(Variant::FromI4(1))); },
       EmptyElement::Allowed,
       false,
       {}},
      {"text", [] { return Variant::FromText(u"x"); }, EmptyElement::Allowed, false, {}},
      {"array without array",
       [] {
         Variant v;
         v.vt = VT_ARRAY | VT_VARIANT;
         return v;
       },
       EmptyElement::Allowed,
       false,
       {}},
      {"two dimensions",
       [] {
         const SAFEARRAYBOUND b[2] = {{1, 0}, {1, 0}};
         Variant v;
         v.vt = VT_ARRAY | VT_VARIANT;
         v.parray = SafeArrayCreate(VT_VARIANT, 2, b);
         return v;
       },
       EmptyElement::Allowed,
       false,
       {}},
      {"element type not as announced",
       [] {
         Variant v = VectorOf(VT_BSTR, Items(Variant::FromText(u"c")));
         v.vt = VT_ARRAY | VT_VARIANT;
         return v;
       },
       EmptyElement::Allowed,
       false,
       {}},
  };
  for (const Case& c : cases) {
    std::vector<std::u16string> texts;
    EXPECT_EQ(GetTextVector(c.value(), c.empty, &texts), c.ok) << c.what;
    if (c.ok) {
      EXPECT_EQ(texts, c.texts) << c.what;
    }
  }
}

TEST(TextArrayTest, OpensOnlyOneDimensionalVariantVectors) {
  Variant holder;
  SAFEARRAY* a = nullptr;
  LONG lo = 0, hi = 0;
  Variant v = VectorOf(VT_VARIANT, Items(Variant::FromI4(1), Variant::FromI4(2)));
  Variant by_ref;
  by_ref.vt = VT_BYREF | VT_VARIANT;
  by_ref.pvarVal = &v;
  ASSERT_TRUE(OpenVariantVector(by_ref, &holder, &a, &lo, &hi));
  EXPECT_EQ(lo, 3);
  EXPECT_EQ(hi, 4);
  EXPECT_NE(a, v.parray);  // the holder's copy, alive as long as the holder
  EXPECT_FALSE(
      OpenVariantVector(VectorOf(VT_BSTR, Items(Variant::FromText(u"x"))), &holder, &a, &lo, &hi));
  EXPECT_FALSE(OpenVariantVector(Variant::FromI4(1), &holder, &a, &lo, &hi));
}

}  // namespace
}  // namespace com
