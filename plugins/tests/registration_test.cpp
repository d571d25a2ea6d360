// The four component libraries as the server meets them: registered with
// regcomp into a private registry, created by ProgID; and every WSDL document
// of the services read by the WSDL reader.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <string>

#include "interfaces/dorvish.h"
#include "interfaces/likkelon.h"
#include "interfaces/nimbrel.h"
#include "interfaces/orsquel.h"
#include "interfaces/pellasco.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/registry/registry.h"
#include "platform/registry/testing/temp_registry.h"
#include "platform/text/text.h"

namespace testsvc {
namespace {

int RunRegcomp(const std::string& args) {
  const std::string command = std::string(QV_REGCOMP) + " -s " + args + " 2>/dev/null";
  const int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Read(const std::string& path, const char* name = nullptr) {
  std::string value;
  return registry::ReadString(HKEY_CLASSES_ROOT, path, name, &value) ? value : "<missing>";
}

struct Component {
  const char* library;
  const char* deliverable;
  const CLSID* clsid;
  const IID* iid;
  const GUID* appId;
  const GUID* libId;
  const char* description;
  const char* progId;
  const char* independentProgId;
};

const Component kComponents[] = {
    {QV_LIKKELON_COMPONENT, "likkelon", &CLSID_likkelonObj, &IID_IlikkelonObj, &APPID_likkelon,
     &LIBID_likkelonLib, "likkelonObj Class", "tessaval.dimedoc.1", "tessaval.dimedoc"},
    {QV_ORSQUEL_COMPONENT, "orsquel", &CLSID_orsquel, &IID_Iorsquel, &APPID_orsquel,
     &LIBID_orsquelLib, "orsquel Class", "orsquin.doc.1", "orsquin.doc"},
    {QV_PELLASCO_COMPONENT, "pellasco", &CLSID_pellasco2, &IID_Ipellasco2, &APPID_pellasco,
     &LIBID_pellascoLib, "pellasco2 Class", "Pellasco2.interop.1", "Pellasco2.interop"},
    {QV_NIMBREL_COMPONENT, "nimbrel", &CLSID_nimbrel, &IID_Inimbrel, &APPID_nimbrel,
     &LIBID_nimbrelLib, "nimbrel Class", "nimbor.doc.1", "nimbor.doc"},
};

class ComponentTest : public registry::testing::RegistryTest {
 protected:
  void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK); }
  void TearDown() override { CoUninitialize(); }
};

TEST_F(ComponentTest, RegistrationIsWrittenResolvedAndRemoved) {
  for (const Component& c : kComponents) {
    SCOPED_TRACE(c.deliverable);
    ASSERT_EQ(RunRegcomp(c.library), 0);
    const std::string clsid = "CLSID\\" + com::GuidToRegistryString(*c.clsid);
    const std::string appId = com::GuidToRegistryString(*c.appId);
    const std::string libId = com::GuidToRegistryString(*c.libId);
    EXPECT_EQ(Read(clsid), c.description);
    EXPECT_EQ(Read(clsid, "AppID"), appId);
    EXPECT_EQ(Read(clsid + "\\ProgID"), c.progId);
    EXPECT_EQ(Read(clsid + "\\VersionIndependentProgID"), c.independentProgId);
    EXPECT_EQ(Read(clsid + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(Read(clsid + "\\TypeLib"), libId);
    HKEY programmable = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, (clsid + "\\Programmable").c_str(), 0, KEY_READ,
                            &programmable),
              ERROR_SUCCESS);
    RegCloseKey(programmable);
    EXPECT_EQ(Read(c.progId), c.description);
    EXPECT_EQ(Read(std::string(c.progId) + "\\CLSID"), com::GuidToRegistryString(*c.clsid));
    EXPECT_EQ(Read(c.independentProgId), c.description);
    EXPECT_EQ(Read(std::string(c.independentProgId) + "\\CurVer"), c.progId);
    EXPECT_EQ(Read("AppID\\" + appId), c.deliverable);
    EXPECT_EQ(Read("AppID\\" + std::string(c.deliverable) + ".DLL", "AppID"), appId);
    EXPECT_EQ(Read("TypeLib\\" + libId + "\\1.0"),
              std::string(c.deliverable) + " 1.0 Type Library");

    for (const char* progId : {c.progId, c.independentProgId}) {
      CLSID found = GUID_NULL;
      EXPECT_EQ(CLSIDFromProgID(text::Widen(progId).c_str(), &found), S_OK) << progId;
      EXPECT_EQ(found, *c.clsid) << progId;
    }
    // Created as the server creates it; no outer object is taken.
    ComPtr<IDispatch> object;
    EXPECT_EQ(
        CoCreateInstance(*c.clsid, nullptr, CLSCTX_SERVER, IID_IDispatch, object.ReceiveVoid()),
        S_OK);
    ComPtr<IUnknown> own;
    EXPECT_EQ(
        CoCreateInstance(*c.clsid, object.Get(), CLSCTX_SERVER, IID_IUnknown, own.ReceiveVoid()),
        CLASS_E_NOAGGREGATION);
    ComPtr<IUnknown> typed;
    EXPECT_EQ(object->QueryInterface(*c.iid, typed.ReceiveVoid()), S_OK);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(object->GetTypeInfo(0, 0, &info), E_NOTIMPL);
    object.Reset();
    typed.Reset();

    EXPECT_EQ(RunRegcomp(std::string("-u ") + c.library), 0);
    EXPECT_EQ(Read(clsid), "<missing>");
    EXPECT_EQ(Read(c.progId), "<missing>");
    EXPECT_EQ(Read(c.independentProgId), "<missing>");
    CLSID gone = GUID_NULL;
    EXPECT_NE(CLSIDFromProgID(text::Widen(c.independentProgId).c_str(), &gone), S_OK);
  }
}

TEST_F(ComponentTest, EveryWsdlDocumentSelectsItsServiceAndPort) {
  ASSERT_EQ(RunRegcomp(QV_DORVISH_COMPONENT), 0);
  struct Case {
    std::string file;
    const char16_t* service;
    const char16_t* port;
    const char16_t* uri;  // of the port's address
  } cases[] = {
      {QV_INTEROPDOC_WSDL, u"interopDocSvc", u"interopDocPort", u"/interopdoc"},
      {QV_SOAP12_TEST_WSDL, u"QuorvelOrsquin", u"Soap12TestDocPort", u"/soap12/test-doc"},
      {QV_ROUTING_WSDL, u"interopRoutingSvc", u"interopRoutingSoapPort",
       u"/interop/wsrouter/intermediary"},
      {QV_ROUTING_WSDL, u"interopRoutingSvc", u"interopRoutingSoap12Port",
       u"/soap12/test-intermediary"},
      {QV_TEST_SERVICES_TESTDATA "/interopdoc12.wsdl", u"interopDocSvc", u"interopDocPort12",
       u"/interopdoc12"},
      {QV_TEST_SERVICES_TESTDATA "/likkelon.wsdl", u"DimeDocService", u"DimeDocPort", u"/dimedoc"},
      {QV_TEST_SERVICES_TESTDATA "/likkelon.wsdl", u"DimeDocService", u"DimeDocPort12",
       u"/dimedoc12"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + " " + text::Narrow(c.port));
    ComPtr<Idorvish2> reader;
    ASSERT_EQ(CoCreateInstance(CLSID_dorvish2, nullptr, CLSCTX_SERVER, IID_Idorvish2,
                               reader.ReceiveVoid()),
              S_OK);
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(reader->ReadServiceDesc(Bstr(c.service).Get(), Bstr(c.port).Get(),
                                      Bstr(text::Widen("file://" + c.file)).Get(), &ok),
              S_OK);
    ASSERT_EQ(ok, VARIANT_TRUE);
    Bstr style, host, uri;
    INT port = 0;
    EXPECT_EQ(reader->GetSOAPBindingStyle(style.Receive(), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_EQ(style.View(), u"document");
    EXPECT_EQ(reader->GetSOAPAddress(host.Receive(), uri.Receive(), &port, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_EQ(uri.View(), c.uri);
  }
}

}  // namespace
}  // namespace testsvc
