#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "interfaces/soapstruct.h"
#include "interfaces/soapstruct_members.h"
#include "platform/com/activation.h"
#include "soapstruct/soap_struct_impl.h"

namespace {

ComPtr<ISoapStruct> NewStruct() {
  return ComPtr<ISoapStruct>(com::MakeComObject<soapstruct::SoapStructImpl>().Get());
}

VARIANT Text(std::u16string_view s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(s);
  return v;
}

struct Walked {
  std::u16string name;
  std::u16string ns;
  VARTYPE vt;
};

std::vector<Walked> Walk(ISoapStruct* s) {
  std::vector<Walked> out;
  BSTR name = nullptr, ns = nullptr;
  VARIANT value;
  VariantInit(&value);
  LONG position = -1;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(s->GetFirstMember(&name, &ns, &value, &position, &ok), S_OK);
  while (ok == VARIANT_TRUE) {
    EXPECT_EQ(position, LONG(out.size()));
    out.push_back({std::u16string(BstrView(name)), std::u16string(BstrView(ns)), value.vt});
    SysFreeString(name);
    SysFreeString(ns);
    name = ns = nullptr;
    EXPECT_EQ(s->GetNextMember(&name, &ns, &value, &position, &ok), S_OK);
  }
  EXPECT_EQ(position, LONG(out.size()) - 1);  // a failed step leaves the position
  VariantClear(&value);
  return out;
}

TEST(SoapStructTest, WalkKeepsInsertionOrderNamespacesAndTypes) {
  ComPtr<ISoapStruct> s = NewStruct();
  EXPECT_TRUE(Walk(s.Get()).empty());

  ComPtr<ISoapStruct> inner = NewStruct();
  SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 3);
  ASSERT_NE(bytes, nullptr);
  struct Add {
    const char16_t* name;
    const char16_t* ns;
    VARIANT value;
  };
  VARIANT v_text = Text(u"zeta");
  VARIANT v_long;
  VariantInit(&v_long);
  v_long.vt = VT_I4;
  v_long.lVal = -7;
  VARIANT v_bool;
  VariantInit(&v_bool);
  v_bool.vt = VT_BOOL;
  v_bool.boolVal = VARIANT_TRUE;
  VARIANT v_bytes;
  VariantInit(&v_bytes);
  v_bytes.vt = VT_ARRAY | VT_UI1;
  v_bytes.parray = bytes;
  VARIANT v_struct;
  VariantInit(&v_struct);
  v_struct.vt = VT_DISPATCH;
  v_struct.pdispVal = inner.Get();
  inner->AddRef();
  VARIANT v_null;
  VariantInit(&v_null);
  v_null.vt = VT_NULL;
  Add adds[] = {
      {u"z", u"", v_text},          {u"a", u"urn:a", v_long}, {u"m", u"urn:m", v_bool},
      {u"bytes", u"", v_bytes},     {u"a", u"urn:other", v_struct},
      {u"nil", u"", v_null},
  };
  for (Add& a : adds) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr name(a.name), ns(a.ns);
    ASSERT_EQ(s->AddMember(name.Get(), ns.Get(), a.value, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    VariantClear(&a.value);  // the struct holds its own copy
  }

  const std::vector<Walked> walked = Walk(s.Get());
  ASSERT_EQ(walked.size(), std::size(adds));
  const VARTYPE types[] = {VT_BSTR, VT_I4, VT_BOOL, VT_ARRAY | VT_UI1, VT_DISPATCH, VT_NULL};
  for (size_t i = 0; i < walked.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(walked[i].name, adds[i].name);
    EXPECT_EQ(walked[i].ns, adds[i].ns);
    EXPECT_EQ(walked[i].vt, types[i]);
  }

  // The nested struct is the same object, held by a reference of its own.
  VARIANT got;
  VariantInit(&got);
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(s->GetMember(Bstr(u"a").Get(), &got, &ok), S_OK);  // first "a": by name alone
  EXPECT_EQ(got.vt, VT_I4);
  EXPECT_EQ(got.lVal, -7);
  inner.Reset();
  LONG position = 3;
  BSTR name = nullptr, ns = nullptr;
  ASSERT_EQ(s->GetNextMember(&name, &ns, &got, &position, &ok), S_OK);
  ASSERT_EQ(got.vt, VT_DISPATCH);
  EXPECT_TRUE(com::QueryInterfacePtr<ISoapStruct>(got.pdispVal));
  SysFreeString(name);
  SysFreeString(ns);
  VariantClear(&got);

  // Bad positions give false and write nothing.
  for (LONG bad : {LONG(-2), LONG(5), LONG(1000)}) {
    position = bad;
    name = reinterpret_cast<BSTR>(0x1);
    ASSERT_EQ(s->GetNextMember(&name, &ns, &got, &position, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_FALSE);
    EXPECT_EQ(position, bad);
    EXPECT_EQ(name, reinterpret_cast<BSTR>(0x1));
  }
}

TEST(SoapStructTest, SetAndGetByNameWithCopiesInAndOut) {
  ComPtr<ISoapStruct> s = NewStruct();
  const char16_t* names[] = {u"SvcURI", u"SvcName", u"Port", u"Enabled"};
  for (const char16_t* n : names) {
    VARIANT value = Text(std::u16string(n) + u"-value");
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(s->SetMember(Bstr(n).Get(), value, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    VariantClear(&value);  // callers clear right after
  }
  VARIANT got;
  VariantInit(&got);
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(s->GetMember(Bstr(u"Port").Get(), &got, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  ASSERT_EQ(got.vt, VT_BSTR);
  EXPECT_EQ(BstrView(got.bstrVal), u"Port-value");
  // Changing the copy leaves the member alone.
  got.bstrVal[0] = u'X';
  VariantClear(&got);
  ASSERT_EQ(s->GetMember(Bstr(u"Port").Get(), &got, &ok), S_OK);
  EXPECT_EQ(BstrView(got.bstrVal), u"Port-value");
  VariantClear(&got);

  // A name never set: false, nothing written; names compare exactly.
  got.vt = VT_I4;
  got.lVal = 99;
  for (const char16_t* absent : {u"port", u"NextHopURL", u""}) {
    ok = VARIANT_TRUE;
    ASSERT_EQ(s->GetMember(Bstr(absent).Get(), &got, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_FALSE);
    EXPECT_EQ(got.lVal, 99);
  }

  // Setting a name again replaces its value in place.
  VARIANT number;
  VariantInit(&number);
  number.vt = VT_I4;
  number.lVal = 8080;
  ASSERT_EQ(s->SetMember(Bstr(u"Port").Get(), number, &ok), S_OK);
  LONG count = 0;
  ASSERT_EQ(s->GetMemberCount(&count, &ok), S_OK);
  EXPECT_EQ(count, 4);
  std::vector<Walked> walked = Walk(s.Get());
  ASSERT_EQ(walked.size(), 4u);
  EXPECT_EQ(walked[2].name, u"Port");
  EXPECT_EQ(walked[2].vt, VT_I4);

  // A by-reference value is stored as the value it points at.
  LONG target = 5;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &target;
  ASSERT_EQ(s->SetMember(Bstr(u"Ref").Get(), ref, &ok), S_OK);
  target = 6;
  ASSERT_EQ(s->GetMember(Bstr(u"Ref").Get(), &got, &ok), S_OK);
  EXPECT_EQ(got.vt, VT_I4);
  EXPECT_EQ(got.lVal, 5);

  ASSERT_EQ(s->RemoveMember(Bstr(u"SvcURI").Get(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  walked = Walk(s.Get());
  ASSERT_EQ(walked.size(), 4u);
  EXPECT_EQ(walked[0].name, u"SvcName");
}

// What the in-place walk sees, for comparing with the automation walk.
std::vector<Walked> Visit(ISoapStructMembers* s) {
  struct Collect final : SoapMemberVisitor {
    std::vector<Walked> seen;
    bool Visit(std::u16string_view name, std::u16string_view ns, const VARIANT& value) override {
      seen.push_back({std::u16string(name), std::u16string(ns), value.vt});
      return true;
    }
  } collect;
  EXPECT_EQ(s->VisitMembers(&collect), S_OK);
  return collect.seen;
}

bool operator==(const Walked& a, const Walked& b) {
  return a.name == b.name && a.ns == b.ns && a.vt == b.vt;
}

// The message object's side door: values taken without a copy, names shared
// between structs and kept alive by them, and the same members the automation
// interface shows, past the few the object holds in itself and after removals.
TEST(SoapStructTest, MembersAppendedInPlaceAndVisitedInPlace) {
  ComPtr<ISoapStruct> a = NewStruct();
  ComPtr<ISoapStruct> b = NewStruct();
  auto a_members = com::QueryInterfacePtr<ISoapStructMembers>(a.Get());
  auto b_members = com::QueryInterfacePtr<ISoapStructMembers>(b.Get());
  ASSERT_TRUE(a_members && b_members);

  SoapMemberName* shared = SoapMemberName::Create(u"text", u"urn:n");
  ASSERT_NE(shared, nullptr);
  VARIANT value = Text(u"moved");
  const BSTR original = value.bstrVal;
  ASSERT_EQ(a_members->AppendMember(shared, &value), S_OK);
  EXPECT_EQ(value.vt, VT_EMPTY);  // taken, not copied
  VARIANT other = Text(u"second");
  ASSERT_EQ(b_members->AppendMember(shared, &other), S_OK);
  shared->Release();  // the structs keep the name

  VARIANT got;
  VariantInit(&got);
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(a->GetMember(Bstr(u"text").Get(), &got, &ok), S_OK);
  ASSERT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(BstrView(got.bstrVal), u"moved");
  EXPECT_NE(got.bstrVal, original);  // what comes out is still a copy
  VariantClear(&got);
  BSTR ns = nullptr;
  ASSERT_EQ(b->GetMemberNamespace(Bstr(u"text").Get(), &ns, &ok), S_OK);
  EXPECT_EQ(BstrView(ns), u"urn:n");
  SysFreeString(ns);
  b.Reset();
  b_members.Reset();

  // A by-reference value is copied from what it points at; the caller's
  // VARIANT is left as it was.
  LONG target = 41;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &target;
  SoapMemberNamePtr ref_name(SoapMemberName::Create(u"ref", u""));
  ASSERT_EQ(a_members->AppendMember(ref_name.Get(), &ref), S_OK);
  EXPECT_EQ(ref.vt, VT_BYREF | VT_I4);
  target = 42;
  EXPECT_EQ(a_members->AppendMember(nullptr, &ref), E_POINTER);
  EXPECT_EQ(a_members->AppendMember(ref_name.Get(), nullptr), E_POINTER);

  // Past the members held in the object itself, through both doors.
  for (int i = 0; i < 6; ++i) {
    VARIANT n;
    VariantInit(&n);
    n.vt = VT_I4;
    n.lVal = i;
    const std::u16string name = u"n" + std::u16string(1, char16_t(u'0' + i));
    if (i % 2) {
      SoapMemberNamePtr shared_name(SoapMemberName::Create(name, u""));
      ASSERT_EQ(a_members->AppendMember(shared_name.Get(), &n), S_OK);
    } else {
      ASSERT_EQ(a->AddMember(Bstr(name).Get(), nullptr, n, &ok), S_OK);
      ASSERT_EQ(ok, VARIANT_TRUE);
    }
  }
  ASSERT_EQ(a->RemoveMember(Bstr(u"n2").Get(), &ok), S_OK);
  ASSERT_EQ(ok, VARIANT_TRUE);
  const std::vector<Walked> walked = Walk(a.Get());
  ASSERT_EQ(walked.size(), 7u);
  EXPECT_EQ(walked[0], (Walked{u"text", u"urn:n", VT_BSTR}));
  EXPECT_EQ(walked[1], (Walked{u"ref", u"", VT_I4}));
  EXPECT_EQ(walked[4].name, u"n3");
  EXPECT_EQ(walked[6].name, u"n5");
  EXPECT_EQ(Visit(a_members.Get()), walked);
  ASSERT_EQ(a->GetMember(Bstr(u"ref").Get(), &got, &ok), S_OK);
  EXPECT_EQ(got.lVal, 41);

  // A visitor that answers false ends the walk.
  struct First final : SoapMemberVisitor {
    int calls = 0;
    bool Visit(std::u16string_view, std::u16string_view, const VARIANT&) override {
      ++calls;
      return false;
    }
  } first;
  ASSERT_EQ(a_members->VisitMembers(&first), S_OK);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(a_members->VisitMembers(nullptr), E_POINTER);
}

// Registered with regcomp into a private registry and created by CLSID, as
// every user of the struct creates it; then called by name through IDispatch.
TEST(SoapStructComponentTest, CreatedByClsidAndCalledByName) {
  std::string dir = (std::filesystem::temp_directory_path() / "qvss.XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  setenv("QUORVEL_REGISTRY", (dir + "/registry").c_str(), 1);
  const std::string command = std::string(QV_REGCOMP) + " -s " + QV_SOAPSTRUCT_COMPONENT;
  ASSERT_EQ(system(command.c_str()), 0);
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  {
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"Quorvel.SoapStruct", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_SoapStruct);
    ComPtr<ISoapStruct> s;
    ASSERT_EQ(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_SERVER, ISoapStruct::kIid,
                               s.ReceiveVoid()),
              S_OK);
    ComPtr<ISoapStruct> other;
    ASSERT_EQ(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_SERVER, ISoapStruct::kIid,
                               other.ReceiveVoid()),
              S_OK);
    EXPECT_NE(s.Get(), other.Get());  // each creation a fresh, empty struct

    // AddMember(bstrName, bstrNamespaceURI, varValue), named out of order.
    BSTR names[] = {SysAllocString(u"AddMember"), SysAllocString(u"varValue"),
                    SysAllocString(u"bstrName"), SysAllocString(u"bstrNamespaceURI")};
    DISPID ids[4];
    ASSERT_EQ(s->GetIDsOfNames(GUID_NULL, names, 4, LOCALE_USER_DEFAULT, ids), S_OK);
    for (BSTR b : names) SysFreeString(b);
    VARIANTARG args[3];
    args[0] = Text(u"v");
    args[1] = Text(u"n");
    args[2] = Text(u"urn:ns");
    DISPPARAMS params{args, ids + 1, 3, 3};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(s->Invoke(ids[0], GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                        &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_BOOL);
    EXPECT_EQ(result.boolVal, VARIANT_TRUE);
    for (VARIANTARG& a : args) VariantClear(&a);
    const std::vector<Walked> walked = Walk(s.Get());
    ASSERT_EQ(walked.size(), 1u);
    EXPECT_EQ(walked[0].name, u"n");
    EXPECT_EQ(walked[0].ns, u"urn:ns");
    EXPECT_EQ(walked[0].vt, VT_BSTR);
  }
  CoUninitialize();
  std::filesystem::remove_all(dir);
}

}  // namespace
