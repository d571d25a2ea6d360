#include "controlpanel/model/server_values.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "interfaces/soapstruct.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/testing/value_fakes.h"
#include "platform/text/text.h"

namespace controlpanel {
namespace {

// The binary's environment (control_panel_app_test.cpp) registers the struct
// component and enters the apartment.

ComPtr<ISoapStruct> NewStruct() {
  ComPtr<ISoapStruct> s;
  EXPECT_EQ(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_SERVER, ISoapStruct::kIid,
                             s.ReceiveVoid()),
            S_OK);
  return s;
}

void Set(ISoapStruct* s, const char16_t* name, const VARIANT& value) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  Bstr bname{std::u16string_view(name)};
  ASSERT_EQ(s->SetMember(bname.Get(), value, &ok), S_OK);
  ASSERT_EQ(ok, VARIANT_TRUE);
}

Variant Get(ISoapStruct* s, const char16_t* name) {
  Variant v;
  VARIANT_BOOL ok = VARIANT_FALSE;
  Bstr bname{std::u16string_view(name)};
  EXPECT_EQ(s->GetMember(bname.Get(), &v, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE) << text::Narrow(name);
  return v;
}

Variant Texts(const std::vector<std::u16string>& items, LONG lower = 0) {
  Variant v;
  v.vt = VT_ARRAY | VT_VARIANT;
  v.parray = SafeArrayCreateVector(VT_VARIANT, lower, ULONG(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    const LONG index = lower + LONG(i);
    Variant item = Variant::FromText(items[i]);
    EXPECT_EQ(SafeArrayPutElement(v.parray, &index, &item), S_OK);
  }
  return v;
}

std::vector<std::string> ListOf(const VARIANT& v) {
  std::vector<std::string> out;
  EXPECT_EQ(v.vt, VT_ARRAY | VT_VARIANT);
  if (v.vt != (VT_ARRAY | VT_VARIANT)) return out;
  EXPECT_EQ(SafeArrayGetDim(v.parray), 1u);
  LONG lo = 0, hi = -1;
  EXPECT_EQ(SafeArrayGetLBound(v.parray, 1, &lo), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(v.parray, 1, &hi), S_OK);
  EXPECT_EQ(lo, 0);
  for (LONG i = lo; i <= hi; ++i) {
    Variant item;
    EXPECT_EQ(SafeArrayGetElement(v.parray, &i, &item), S_OK);
    EXPECT_EQ(item.vt, VT_BSTR);
    out.push_back(item.vt == VT_BSTR ? text::Narrow(BstrView(item.bstrVal)) : "?");
  }
  return out;
}

// A struct as the server sends one endpoint; `edit` changes it before it is
// wrapped.
Variant EndpointStruct(const std::u16string& uri,
                       const std::function<void(ISoapStruct*)>& edit = nullptr) {
  ComPtr<ISoapStruct> s = NewStruct();
  Set(s.Get(), u"SvcURI", Variant::FromText(uri));
  Set(s.Get(), u"SvcName", Variant::FromText(u"Svc"));
  Set(s.Get(), u"Port", Variant::FromText(u"SvcPort"));
  Set(s.Get(), u"WSDL_URL", Variant::FromText(u"file:///w.wsdl"));
  Set(s.Get(), u"SvcProgID", Variant::FromText(u"a.b"));
  Set(s.Get(), u"HdrProgIDs", Texts({u"h.1", u"h.2"}));
  Set(s.Get(), u"Roles", Texts({}));
  Set(s.Get(), u"NextHopURL", Variant::FromText(u""));
  Set(s.Get(), u"NodeURI", Variant::FromText(u"urn:n"));
  Set(s.Get(), u"Enabled", Variant::FromBool(true));
  if (edit) edit(s.Get());
  Variant v;
  v.vt = VT_DISPATCH;
  v.pdispVal = com::QueryInterfacePtr<IDispatch>(s.Get()).Detach();
  return v;
}

Variant SvcInfoFrom(std::vector<Variant>& elements, LONG lower) {
  Variant v;
  v.vt = VT_ARRAY | VT_VARIANT;
  v.parray = SafeArrayCreateVector(VT_VARIANT, lower, ULONG(elements.size()));
  for (size_t i = 0; i < elements.size(); ++i) {
    const LONG index = lower + LONG(i);
    EXPECT_EQ(SafeArrayPutElement(v.parray, &index, &elements[i]), S_OK);
  }
  return v;
}

// SvcInfo of the given elements from lower bound `lower`.
template <typename... E>
Variant SvcInfoAt(LONG lower, E... elements) {
  std::vector<Variant> list;
  (list.push_back(std::move(elements)), ...);
  return SvcInfoFrom(list, lower);
}
template <typename... E>
Variant SvcInfoOf(E... elements) {
  return SvcInfoAt(0, std::move(elements)...);
}

const ServiceRow kFullRow = {"/e",  "Svc", "SvcPort", "file:///w.wsdl", "a.b",
                             "h.1 h.2", "", "", "urn:n", "Yes"};

TEST(ServiceListTest, SplitsOnRunsOfBlanksAndJoinsWithOne) {
  struct Case {
    std::string cell;
    std::vector<std::string> words;
  } cases[] = {
      {"", {}},
      {"   ", {}},
      {"a", {"a"}},
      {"a  b", {"a", "b"}},
      {"  a b   c ", {"a", "b", "c"}},
      {"a\tb", {"a\tb"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitList(c.cell), c.words) << "'" << c.cell << "'";
  }
  EXPECT_EQ(JoinList({}), "");
  EXPECT_EQ(JoinList({"a", "b", "c"}), "a b c");
}

TEST(ServiceListTest, UriComparisonIgnoresOneTrailingWildcardOnly) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"/x", "/x", true},       {"/x", "/x/*", true},  {"/x/*", "/x", true},
      {"/x/*", "/x/*", true},   {"/x", "/X", false},   {"/x/", "/x", false},
      {"/x/*/*", "/x", false},  {"/x/*/*", "/x/*", false}, {"/*", "", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SameServiceUri(c.a, c.b), c.same) << c.a << " vs " << c.b;
  }
}

TEST(ServiceListTest, UpperCasesAsciiLettersOnly) {
  EXPECT_EQ(AsciiUpper(".jpg"), ".JPG");
  EXPECT_EQ(AsciiUpper(".t\xC3\xA9x1"), ".T\xC3\xA9X1");  // é stays as it is
}

TEST(SvcInfoTest, RowsAreSentAsStructsInMemberOrder) {
  ServiceRow wide = kFullRow;
  wide[kColWsdlUrl] = "file:///" + std::string(1000, 'w');
  wide[kColHeaderHandlers] = "a  b";
  wide[kColEnabled] = "Yes";
  std::vector<ServiceRow> rows = {wide, kFullRow};
  rows[1][kColUri] = "/second";
  rows[1][kColEnabled] = "yes";

  Variant svc_info;
  ASSERT_TRUE(MakeSvcInfo(rows, &svc_info));
  ASSERT_EQ(svc_info.vt, VT_ARRAY | VT_VARIANT);
  ASSERT_EQ(SafeArrayGetDim(svc_info.parray), 1u);
  LONG lo = -1, hi = -1;
  ASSERT_EQ(SafeArrayGetLBound(svc_info.parray, 1, &lo), S_OK);
  ASSERT_EQ(SafeArrayGetUBound(svc_info.parray, 1, &hi), S_OK);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 1);

  LONG index = 0;
  Variant first;
  ASSERT_EQ(SafeArrayGetElement(svc_info.parray, &index, &first), S_OK);
  ASSERT_EQ(first.vt, VT_DISPATCH);
  ComPtr<ISoapStruct> s = com::QueryInterfacePtr<ISoapStruct>(first.pdispVal);
  ASSERT_TRUE(s);

  std::vector<std::string> names;
  Bstr name, ns;
  Variant value;
  LONG pos = 0;
  VARIANT_BOOL more = VARIANT_FALSE;
  ASSERT_EQ(s->GetFirstMember(name.Receive(), ns.Receive(), value.Receive(), &pos, &more), S_OK);
  while (more == VARIANT_TRUE) {
    names.push_back(text::Narrow(name.View()));
    ASSERT_EQ(s->GetNextMember(name.Receive(), ns.Receive(), value.Receive(), &pos, &more), S_OK);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"SvcURI", "SvcName", "Port", "WSDL_URL", "SvcProgID",
                                             "HdrProgIDs", "Roles", "NextHopURL", "NodeURI",
                                             "Enabled"}));

  const Variant wsdl = Get(s.Get(), u"WSDL_URL");
  ASSERT_EQ(wsdl.vt, VT_BSTR);
  EXPECT_EQ(text::Narrow(BstrView(wsdl.bstrVal)), wide[kColWsdlUrl]);  // whole, not cut
  EXPECT_EQ(ListOf(Get(s.Get(), u"HdrProgIDs")), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ListOf(Get(s.Get(), u"Roles")), std::vector<std::string>{});
  const Variant enabled = Get(s.Get(), u"Enabled");
  ASSERT_EQ(enabled.vt, VT_BOOL);
  EXPECT_EQ(enabled.boolVal, VARIANT_TRUE);

  std::vector<ServiceRow> back;
  ASSERT_TRUE(ReadSvcInfo(svc_info, &back));
  ASSERT_EQ(back.size(), 2u);
  ServiceRow expected = wide;
  expected[kColHeaderHandlers] = "a b";
  EXPECT_EQ(back[0], expected);
  EXPECT_EQ(back[1][kColUri], "/second");
}

TEST(SvcInfoTest, EnabledIsSentTrueExactlyForYes) {
  struct Case {
    const char* cell;
    VARIANT_BOOL sent;
  } cases[] = {{"Yes", VARIANT_TRUE}, {"yes", VARIANT_FALSE}, {"No", VARIANT_FALSE},
               {"", VARIANT_FALSE},   {"Yes ", VARIANT_FALSE}, {"YES", VARIANT_FALSE}};
  for (const Case& c : cases) {
    ServiceRow row = kFullRow;
    row[kColEnabled] = c.cell;
    Variant svc_info;
    ASSERT_TRUE(MakeSvcInfo({row}, &svc_info));
    LONG index = 0;
    Variant element;
    ASSERT_EQ(SafeArrayGetElement(svc_info.parray, &index, &element), S_OK);
    ComPtr<ISoapStruct> s = com::QueryInterfacePtr<ISoapStruct>(element.pdispVal);
    ASSERT_TRUE(s);
    const Variant enabled = Get(s.Get(), u"Enabled");
    EXPECT_EQ(enabled.vt, VT_BOOL);
    EXPECT_EQ(enabled.boolVal, c.sent) << "'" << c.cell << "'";
  }
}

TEST(SvcInfoTest, NoRowsSendAnEmptyArray) {
  Variant svc_info;
  ASSERT_TRUE(MakeSvcInfo({}, &svc_info));
  ASSERT_EQ(svc_info.vt, VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(SafeArrayGetDim(svc_info.parray), 1u);
  LONG hi = 0;
  EXPECT_EQ(SafeArrayGetUBound(svc_info.parray, 1, &hi), S_OK);
  EXPECT_EQ(hi, -1);
}

TEST(SvcInfoTest, ReadsAnyLowerBoundIntoRowsInOrder) {
  const Variant svc_info =
      SvcInfoAt(1, EndpointStruct(u"/a"), EndpointStruct(u"/b"), EndpointStruct(u"/c"));
  std::vector<ServiceRow> rows;
  ASSERT_TRUE(ReadSvcInfo(svc_info, &rows));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (ServiceRow{"/a", "Svc", "SvcPort", "file:///w.wsdl", "a.b", "h.1 h.2", "",
                                 "", "urn:n", "Yes"}));
  EXPECT_EQ(rows[1][kColUri], "/b");
  EXPECT_EQ(rows[2][kColUri], "/c");
}

TEST(SvcInfoTest, MissingAndOddMembersReadAsTheirPlainText) {
  struct Case {
    const char* what;
    std::function<void(ISoapStruct*)> edit;
    size_t column;
    std::string shown;
  } cases[] = {
      {"missing text",
       [](ISoapStruct* s) {
         VARIANT_BOOL ok;
         Bstr n{std::u16string_view(u"NodeURI")};
         s->RemoveMember(n.Get(), &ok);
       },
       kColNodeUri, ""},
      {"missing list",
       [](ISoapStruct* s) {
         VARIANT_BOOL ok;
         Bstr n{std::u16string_view(u"HdrProgIDs")};
         s->RemoveMember(n.Get(), &ok);
       },
       kColHeaderHandlers, ""},
      {"missing switch",
       [](ISoapStruct* s) {
         VARIANT_BOOL ok;
         Bstr n{std::u16string_view(u"Enabled")};
         s->RemoveMember(n.Get(), &ok);
       },
       kColEnabled, "No"},
      {"switch of 1, not all bits",
       [](ISoapStruct* s) {
         Variant b;
         b.vt = VT_BOOL;
         b.boolVal = 1;
         Set(s, u"Enabled", b);
       },
       kColEnabled, "No"},
      {"null text",
       [](ISoapStruct* s) {
         Variant n;
         n.vt = VT_NULL;
         Set(s, u"SvcName", n);
       },
       kColService, ""},
      {"list of one-based bounds", [](ISoapStruct* s) { Set(s, u"Roles", Texts({u"r1", u"r2"}, 1)); },
       kColRoles, "r1 r2"},
  };
  for (const Case& c : cases) {
    std::vector<ServiceRow> rows;
    ASSERT_TRUE(ReadSvcInfo(SvcInfoOf(EndpointStruct(u"/a", c.edit)), &rows)) << c.what;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][c.column], c.shown) << c.what;
    EXPECT_EQ(rows[0][kColUri], "/a") << c.what;
  }
}

TEST(SvcInfoTest, AnswersOfTheWrongShapeFailTheRead) {
  com::testing::FakeObject not_a_struct;
  auto dispatch_of = [&] {
    Variant v;
    v.vt = VT_DISPATCH;
    not_a_struct.AddRef();
    v.pdispVal = &not_a_struct;
    return v;
  };
  auto with_member = [](const char16_t* name, std::function<Variant()> value) {
    return [name, value](ISoapStruct* s) { Set(s, name, value()); };
  };
  auto two_dimensional = [] {
    Variant v;
    const SAFEARRAYBOUND b[2] = {{1, 0}, {1, 0}};
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreate(VT_VARIANT, 2, b);
    return v;
  };
  struct Case {
    const char* what;
    std::function<Variant()> answer;
  } cases[] = {
      {"empty", [] { return Variant(); }},
      {"text", [] { return Variant::FromText(u"x"); }},
      {"array without array",
       [] {
         Variant v;
         v.vt = VT_ARRAY | VT_VARIANT;
         return v;
       }},
      {"two dimensions", two_dimensional},
      {"array of texts", [] { return Texts({u"/a"}); }},
      {"non-struct element", [&] { return SvcInfoOf(EndpointStruct(u"/a"), dispatch_of()); }},
      {"null dispatch element",
       [] {
         Variant v;
         v.vt = VT_DISPATCH;
         return SvcInfoOf(std::move(v));
       }},
      {"integer element", [] { return SvcInfoOf(Variant::FromI4(3)); }},
      {"VT_I4 SvcURI",
       [&] {
         return SvcInfoOf(EndpointStruct(u"/a", with_member(u"SvcURI", [] {
                                            return Variant::FromI4(7);
                                          })));
       }},
      {"VT_BSTR Enabled",
       [&] {
         return SvcInfoOf(EndpointStruct(u"/a", with_member(u"Enabled", [] {
                                            return Variant::FromText(u"Yes");
                                          })));
       }},
      {"text Roles",
       [&] {
         return SvcInfoOf(EndpointStruct(u"/a", with_member(u"Roles", [] {
                                            return Variant::FromText(u"r");
                                          })));
       }},
      {"two-dimensional Roles",
       [&] { return SvcInfoOf(EndpointStruct(u"/a", with_member(u"Roles", two_dimensional))); }},
      {"Roles holding an integer",
       [&] {
         return SvcInfoOf(EndpointStruct(u"/a", with_member(u"HdrProgIDs", [] {
                                            Variant v = Texts({u"a"});
                                            const LONG i = 0;
                                            Variant n = Variant::FromI4(1);
                                            EXPECT_EQ(SafeArrayPutElement(v.parray, &i, &n), S_OK);
                                            return v;
                                          })));
       }},
  };
  for (const Case& c : cases) {
    std::vector<ServiceRow> rows;
    EXPECT_FALSE(ReadSvcInfo(c.answer(), &rows)) << c.what;
  }
  EXPECT_EQ(not_a_struct.refs, 1u);  // every reference taken was given back
}

Variant MimeArray(UINT dims, const SAFEARRAYBOUND* bounds) {
  Variant v;
  v.vt = VT_ARRAY | VT_VARIANT;
  v.parray = SafeArrayCreate(VT_VARIANT, dims, bounds);
  return v;
}

void PutText(SAFEARRAY* a, LONG j, LONG i, const std::u16string& s) {
  const LONG indices[2] = {j, i};
  Variant t = Variant::FromText(s);
  ASSERT_EQ(SafeArrayPutElement(a, indices, &t), S_OK);
}

TEST(MimeTypesTest, RowsAreSentAsTwoByNWithExtensionFirst) {
  for (size_t n : {0u, 3u}) {
    std::vector<MimeRow> rows;
    for (size_t i = 0; i < n; ++i) {
      rows.push_back({".E" + std::to_string(i), "type/" + std::string(300 * (i + 1), 'x')});
    }
    Variant v;
    ASSERT_TRUE(MakeMimeTypes(rows, &v));
    ASSERT_EQ(v.vt, VT_ARRAY | VT_VARIANT);
    ASSERT_EQ(SafeArrayGetDim(v.parray), 2u);
    LONG lo1 = -1, hi1 = -1, lo2 = -1, hi2 = -1;
    ASSERT_EQ(SafeArrayGetLBound(v.parray, 1, &lo1), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(v.parray, 1, &hi1), S_OK);
    ASSERT_EQ(SafeArrayGetLBound(v.parray, 2, &lo2), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(v.parray, 2, &hi2), S_OK);
    EXPECT_EQ(lo1, 0);
    EXPECT_EQ(hi1, 1);
    EXPECT_EQ(lo2, 0);
    EXPECT_EQ(hi2, LONG(n) - 1);
    for (size_t i = 0; i < n; ++i) {
      for (LONG j = 0; j < 2; ++j) {
        const LONG indices[2] = {j, LONG(i)};
        Variant cell;
        ASSERT_EQ(SafeArrayGetElement(v.parray, indices, &cell), S_OK);
        ASSERT_EQ(cell.vt, VT_BSTR);
        EXPECT_EQ(text::Narrow(BstrView(cell.bstrVal)), rows[i][size_t(j)]);
      }
    }
    std::vector<MimeRow> back;
    ASSERT_TRUE(ReadMimeTypes(v, &back));
    EXPECT_EQ(back, rows);
  }
}

TEST(MimeTypesTest, ReadsAnyLowerBoundsAndTextArrays) {
  const SAFEARRAYBOUND bounds[2] = {{2, 1}, {2, 5}};
  Variant v = MimeArray(2, bounds);
  PutText(v.parray, 1, 5, u".A");
  PutText(v.parray, 2, 5, u"a/a");
  PutText(v.parray, 1, 6, u".B");
  PutText(v.parray, 2, 6, u"b/b");
  std::vector<MimeRow> rows;
  ASSERT_TRUE(ReadMimeTypes(v, &rows));
  EXPECT_EQ(rows, (std::vector<MimeRow>{{".A", "a/a"}, {".B", "b/b"}}));

  Variant texts;
  const SAFEARRAYBOUND one[2] = {{2, 0}, {1, 0}};
  texts.vt = VT_ARRAY | VT_BSTR;
  texts.parray = SafeArrayCreate(VT_BSTR, 2, one);
  const LONG ext[2] = {0, 0}, type[2] = {1, 0};
  Bstr e{std::u16string_view(u".C")}, t{std::u16string_view(u"c/c")};
  ASSERT_EQ(SafeArrayPutElement(texts.parray, ext, e.Get()), S_OK);
  ASSERT_EQ(SafeArrayPutElement(texts.parray, type, t.Get()), S_OK);
  ASSERT_TRUE(ReadMimeTypes(texts, &rows));
  EXPECT_EQ(rows, (std::vector<MimeRow>{{".C", "c/c"}}));
}

TEST(MimeTypesTest, AnswersOfTheWrongShapeFailTheRead) {
  struct Case {
    const char* what;
    std::function<Variant()> answer;
  } cases[] = {
      {"empty", [] { return Variant(); }},
      {"one dimension", [] { return Texts({u".a", u"a/a"}); }},
      {"array without array",
       [] {
         Variant v;
         v.vt = VT_ARRAY | VT_VARIANT;
         return v;
       }},
      {"first dimension of 3",
       [] {
         const SAFEARRAYBOUND b[2] = {{3, 0}, {1, 0}};
         return MimeArray(2, b);
       }},
      {"n by 2 instead of 2 by n",
       [] {
         const SAFEARRAYBOUND b[2] = {{3, 0}, {2, 0}};
         return MimeArray(2, b);
       }},
      {"three dimensions",
       [] {
         const SAFEARRAYBOUND b[3] = {{2, 0}, {1, 0}, {1, 0}};
         return MimeArray(3, b);
       }},
      {"integer cell",
       [] {
         const SAFEARRAYBOUND b[2] = {{2, 0}, {1, 0}};
         Variant v = MimeArray(2, b);
         PutText(v.parray, 0, 0, u".a");
         const LONG at[2] = {1, 0};
         Variant n = Variant::FromI4(5);
         EXPECT_EQ(SafeArrayPutElement(v.parray, at, &n), S_OK);
         return v;
       }},
  };
  for (const Case& c : cases) {
    std::vector<MimeRow> rows;
    EXPECT_FALSE(ReadMimeTypes(c.answer(), &rows)) << c.what;
  }
}

TEST(ScalarValueTest, TextsSwitchesAndIntegersAreTypeChecked) {
  std::string s = "old";
  EXPECT_TRUE(ReadText(Variant(), &s));
  EXPECT_EQ(s, "");
  EXPECT_TRUE(ReadText(Variant::FromText(u"p\u00e9"), &s));
  EXPECT_EQ(s, "p\xC3\xA9");
  EXPECT_FALSE(ReadText(Variant::FromI4(1), &s));
  EXPECT_FALSE(ReadText(Variant::FromBool(true), &s));

  bool on = false;
  EXPECT_TRUE(ReadSwitch(Variant::FromBool(true), &on));
  EXPECT_TRUE(on);
  Variant one;
  one.vt = VT_BOOL;
  one.boolVal = 1;
  EXPECT_TRUE(ReadSwitch(one, &on));
  EXPECT_FALSE(on);
  EXPECT_FALSE(ReadSwitch(Variant::FromI4(-1), &on));
  EXPECT_FALSE(ReadSwitch(Variant(), &on));

  int32_t n = 0;
  EXPECT_TRUE(ReadInteger(Variant::FromI4(8080), &n));
  EXPECT_EQ(n, 8080);
  EXPECT_TRUE(ReadInteger(Variant::FromText(u"42"), &n));
  EXPECT_EQ(n, 42);
  EXPECT_FALSE(ReadInteger(Variant::FromText(u"forty"), &n));
  EXPECT_FALSE(ReadInteger(Variant::FromR8(1e12), &n));
  EXPECT_FALSE(ReadInteger(Texts({u"1"}), &n));
}

}  // namespace
}  // namespace controlpanel
