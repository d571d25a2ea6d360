#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "interfaces/soapstruct.h"
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
