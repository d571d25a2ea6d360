// The dorvish component library as its creators meet it: registered with
// regcomp into a private registry, created by ProgID and called by name.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <string>

#include "interfaces/dorvish.h"
#include "platform/com/activation.h"
#include "platform/registry/registry.h"
#include "platform/registry/testing/temp_registry.h"
#include "platform/text/text.h"
#include "wsdl/testing/reader_calls.h"

namespace wsdl {
namespace {

const std::string kData = QV_WSDL_TESTDATA;

int RunRegcomp(const std::string& args) {
  const std::string command = std::string(QV_REGCOMP) + " -s " + args + " 2>/dev/null";
  const int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Read(const std::string& path, const char* name = nullptr) {
  std::string value;
  return registry::ReadString(HKEY_CLASSES_ROOT, path, name, &value) ? value : "<missing>";
}

VARIANT Text(std::u16string_view s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(s);
  return v;
}

class DorvishComponentTest : public registry::testing::RegistryTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ASSERT_EQ(RunRegcomp(QV_DORVISH_COMPONENT), 0);
  }
  void TearDown() override { CoUninitialize(); }

  // DISPIDs of a method and its parameters, by name.
  std::vector<DISPID> Ids(IDispatch* d, std::initializer_list<const char16_t*> names) {
    std::vector<BSTR> bstrs;
    for (const char16_t* n : names) bstrs.push_back(SysAllocString(n));
    std::vector<DISPID> ids(bstrs.size(), -1);
    EXPECT_EQ(d->GetIDsOfNames(GUID_NULL, bstrs.data(), UINT(bstrs.size()), LOCALE_USER_DEFAULT,
                               ids.data()),
              S_OK);
    for (BSTR b : bstrs) SysFreeString(b);
    return ids;
  }
};

TEST_F(DorvishComponentTest, RegistrationFacts) {
  const std::string clsid = "CLSID\\" + com::GuidToRegistryString(CLSID_dorvish2);
  const std::string app_id = com::GuidToRegistryString(APPID_dorvish);
  const std::string lib_id = com::GuidToRegistryString(LIBID_dorvishLib);
  EXPECT_EQ(Read(clsid), "dorvish2 Class");
  EXPECT_EQ(Read(clsid, "AppID"), app_id);
  EXPECT_EQ(Read(clsid + "\\ProgID"), "braskel.dorvish2.1");
  EXPECT_EQ(Read(clsid + "\\VersionIndependentProgID"), "braskel.dorvish2");
  EXPECT_EQ(Read(clsid + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(Read(clsid + "\\TypeLib"), lib_id);
  HKEY programmable = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, (clsid + "\\Programmable").c_str(), 0, KEY_READ,
                          &programmable),
            ERROR_SUCCESS);
  RegCloseKey(programmable);
  EXPECT_EQ(Read("braskel.dorvish2.1"), "dorvish2 Class");
  EXPECT_EQ(Read("braskel.dorvish2"), "dorvish2 Class");
  EXPECT_EQ(Read("braskel.dorvish2\\CurVer"), "braskel.dorvish2.1");
  EXPECT_EQ(Read("AppID\\" + app_id), "dorvish");
  EXPECT_EQ(Read("AppID\\dorvish.DLL", "AppID"), app_id);
  EXPECT_EQ(Read("TypeLib\\" + lib_id + "\\1.0"), "dorvish 1.0 Type Library");

  EXPECT_EQ(RunRegcomp(std::string("-u ") + QV_DORVISH_COMPONENT), 0);
  EXPECT_EQ(Read(clsid), "<missing>");
  EXPECT_EQ(Read("braskel.dorvish2"), "<missing>");
}

TEST_F(DorvishComponentTest, CreatedByProgIdAndCalledByName) {
  CLSID clsid = GUID_NULL;
  ASSERT_EQ(CLSIDFromProgID(u"braskel.dorvish2", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_dorvish2);
  ComPtr<IDispatch> reader;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IDispatch, reader.ReceiveVoid()),
            S_OK);

  // ReadServiceDesc with every argument named, out of order.
  const std::vector<DISPID> ids =
      Ids(reader.Get(), {u"ReadServiceDesc", u"bstrFileURL", u"bstrSvcName", u"bstrPortName"});
  EXPECT_EQ(ids, (std::vector<DISPID>{1, 2, 0, 1}));
  VARIANTARG args[3] = {Text(text::Widen("file://" + kData + "/rpc_encoded.wsdl")),
                        Text(u"EchoService"), Text(u"EchoPort")};
  DISPPARAMS params{args, const_cast<DISPID*>(ids.data()) + 1, 3, 3};
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(reader->Invoke(ids[0], GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                           &result, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(result.vt, VT_BOOL);
  EXPECT_EQ(result.boolVal, VARIANT_TRUE);
  for (VARIANTARG& a : args) VariantClear(&a);

  ComPtr<Idorvish2> typed = com::QueryInterfacePtr<Idorvish2>(reader.Get());
  ASSERT_TRUE(typed);
  EXPECT_EQ(testing::Address(typed.Get()), u"example.com|/svc/echo|8080");
  // The method ids follow the interface order.
  EXPECT_EQ(Ids(reader.Get(), {u"GetArrayTypeLit"})[0], 47);
  EXPECT_EQ(Ids(reader.Get(), {u"SOAPActionRequired"})[0], 44);
}

// Through IDispatch an [out] is emptied before the call, so a failing call
// leaves it empty; a direct call that fails does not touch it.
TEST_F(DorvishComponentTest, OutsOfAFailedCallByPath) {
  ComPtr<Idorvish2> reader;
  ASSERT_EQ(
      CoCreateInstance(CLSID_dorvish2, nullptr, CLSCTX_SERVER, IID_Idorvish2, reader.ReceiveVoid()),
      S_OK);
  ASSERT_TRUE(testing::Load(reader.Get(), u"EchoService", u"EchoPort",
                            "file://" + kData + "/rpc_encoded.wsdl"));
  const std::vector<DISPID> ids =
      Ids(reader.Get(), {u"GetMethodSOAPAction", u"bstrMethod", u"pbstrSOAPAction"});
  for (const char16_t* method : {u"nope", u"echo"}) {
    BSTR action = SysAllocString(u"keep");
    VARIANTARG args[2] = {Text(method), {}};
    VariantInit(&args[1]);
    args[1].vt = VT_BYREF | VT_BSTR;
    args[1].pbstrVal = &action;
    DISPPARAMS params{args, const_cast<DISPID*>(ids.data()) + 1, 2, 2};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(reader->Invoke(ids[0], GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                             &result, nullptr, nullptr),
              S_OK);
    const bool found = method[0] == u'e';
    EXPECT_EQ(result.boolVal, found ? VARIANT_TRUE : VARIANT_FALSE);
    EXPECT_EQ(BstrView(action), found ? u"\"urn:rpc#echo\"" : u"");
    VariantClear(&args[0]);
    SysFreeString(action);
  }
  BSTR action = SysAllocString(u"keep");
  VARIANT_BOOL ok = VARIANT_TRUE;
  EXPECT_EQ(reader->GetMethodSOAPAction(Bstr(u"nope").Get(), &action, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_EQ(BstrView(action), u"keep");
  SysFreeString(action);
}

}  // namespace
}  // namespace wsdl
