// The management endpoint's WSDL document, read by our own WSDL reader: every
// method and parameter of the management interface is there, with the forms
// the class gives and takes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "interfaces/braskelmgr.h"
#include "interfaces/dorvish.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"

namespace server {
namespace {

constexpr char16_t kNs[] = u"urn:quorvel:QVSOAPSvrMgr";
constexpr char16_t kXsd[] = u"http://www.w3.org/2001/XMLSchema";

class ManagementWsdlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string command = std::string(QV_REGCOMP) + " -s " + QV_DORVISH_COMPONENT;
    ASSERT_EQ(system(command.c_str()), 0);
  }
  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_dorvish2, nullptr, CLSCTX_INPROC_SERVER, Idorvish2::kIid,
                               reader_.ReceiveVoid()),
              S_OK);
    const std::string url = std::string("file://") + QV_MANAGEMENT_WSDL;
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(reader_->ReadServiceDesc(Bstr(u"QVSOAPSvrMgr").Get(), Bstr(u"QVSOAPSvrMgrPort").Get(),
                                       Bstr(text::Widen(url)).Get(), &ok),
              S_OK);
    ASSERT_EQ(ok, VARIANT_TRUE);
  }
  void TearDown() override {
    reader_.Reset();
    CoUninitialize();
  }

  using Walk = HRESULT (Idorvish2::*)(BSTR, BSTR*, LONG*, VARIANT_BOOL*);
  std::vector<std::u16string> Names(const char16_t* method, Walk first,
                                    HRESULT (Idorvish2::*next)(BSTR, BSTR*, LONG*, VARIANT_BOOL*)) {
    std::vector<std::u16string> names;
    Bstr m{std::u16string_view(method)};
    BSTR name = nullptr;
    LONG position = 0;
    VARIANT_BOOL ok = VARIANT_FALSE;
    (reader_.Get()->*first)(m.Get(), &name, &position, &ok);
    while (ok == VARIANT_TRUE && names.size() < 32) {
      names.emplace_back(BstrView(name));
      SysFreeString(name);
      name = nullptr;
      (reader_.Get()->*next)(m.Get(), &name, &position, &ok);
    }
    SysFreeString(name);
    return names;
  }
  // "type namespace#type" of a part, or "" when the reader has none.
  std::u16string PartType(bool output, const char16_t* method, const char16_t* part) {
    BSTR type = nullptr, ns = nullptr;
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr m{std::u16string_view(method)}, p{std::u16string_view(part)};
    if (output) {
      reader_->GetOutputMsgPartType(m.Get(), p.Get(), &type, &ns, &ok);
    } else {
      reader_->GetInputMsgPartType(m.Get(), p.Get(), &type, &ns, &ok);
    }
    std::u16string out = ok == VARIANT_TRUE
                             ? std::u16string(BstrView(ns)) + u"#" + std::u16string(BstrView(type))
                             : u"";
    SysFreeString(type);
    SysFreeString(ns);
    return out;
  }

  ComPtr<Idorvish2> reader_;
};

std::u16string XsdTypeOf(VARTYPE vt) {
  switch (vt) {
    case VT_I4:
      return std::u16string(kXsd) + u"#int";
    case VT_BSTR:
      return std::u16string(kXsd) + u"#string";
    case VT_BOOL:
      return std::u16string(kXsd) + u"#boolean";
    default:
      return u"";  // a VARIANT: one of the document's own types
  }
}

// Every method of the interface description is an rpc/encoded operation whose
// parts carry the parameter names, in order, with matching types.
TEST_F(ManagementWsdlTest, OperationsAndPartsAreThoseOfTheInterface) {
  BSTR style = nullptr;
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(reader_->GetSOAPBindingStyle(&style, &ok), S_OK);
  EXPECT_EQ(BstrView(style), u"rpc");
  SysFreeString(style);

  const com::InterfaceDesc& desc = Ibraskelmgr2::Description();
  ASSERT_EQ(desc.method_count, 8u);
  for (size_t i = 0; i < desc.method_count; ++i) {
    const com::MethodDesc& m = desc.methods[i];
    SCOPED_TRACE(text::Narrow(m.name));
    for (bool output : {false, true}) {
      BSTR use = nullptr;
      Bstr name{std::u16string_view(m.name)};
      if (output) {
        reader_->GetSOAPOutputBodyUse(name.Get(), &use, &ok);
      } else {
        reader_->GetSOAPInputBodyUse(name.Get(), &use, &ok);
      }
      EXPECT_EQ(BstrView(use), u"encoded");
      SysFreeString(use);
    }
    std::vector<std::u16string> ins, outs;
    for (uint16_t p = 0; p < m.param_count; ++p) {
      const com::ParamDesc& param = m.params[p];
      if (param.dir == com::ParamDir::Retval) {
        EXPECT_EQ(std::u16string(param.name), u"Result");
        EXPECT_EQ(PartType(true, m.name, u"Result"), XsdTypeOf(VT_BOOL));
        outs.push_back(param.name);
        continue;
      }
      const bool output = param.dir == com::ParamDir::Out;
      (output ? outs : ins).push_back(param.name);
      const std::u16string type = PartType(output, m.name, param.name);
      const std::u16string expected = XsdTypeOf(param.vt);
      if (expected.empty()) {
        EXPECT_EQ(type.rfind(std::u16string(kNs) + u"#", 0), 0u) << text::Narrow(param.name);
      } else {
        EXPECT_EQ(type, expected) << text::Narrow(param.name);
      }
    }
    // The reader walks a message's parts by name.
    std::sort(ins.begin(), ins.end());
    std::sort(outs.begin(), outs.end());
    EXPECT_EQ(Names(m.name, &Idorvish2::GetFirstInParamName, &Idorvish2::GetNextInParamName), ins);
    EXPECT_EQ(Names(m.name, &Idorvish2::GetFirstOutParamName, &Idorvish2::GetNextOutParamName),
              outs);
  }
}

TEST_F(ManagementWsdlTest, TheEndpointListAndMimeMapHaveTheirArrayForms) {
  EXPECT_EQ(PartType(true, u"GetServiceInfo", u"SvcInfo"),
            std::u16string(kNs) + u"#ArrayOfSvcInfo");
  EXPECT_EQ(PartType(false, u"SetHTTPSettings", u"MIMETypes"), std::u16string(kNs) + u"#MIMETypes");
  VARIANT_BOOL ok = VARIANT_FALSE;
  LONG dims = 0;
  auto arrayOf = [&](const char16_t* array) {
    BSTR type = nullptr, ns = nullptr;
    reader_->GetArrayType(Bstr(std::u16string_view(array)).Get(), Bstr(kNs).Get(), &type, &ns, &ok);
    std::u16string out = std::u16string(BstrView(ns)) + u"#" + std::u16string(BstrView(type));
    SysFreeString(type);
    SysFreeString(ns);
    return out;
  };
  EXPECT_EQ(arrayOf(u"ArrayOfSvcInfo"), std::u16string(kNs) + u"#SvcInfo");
  EXPECT_EQ(arrayOf(u"ArrayOfString"), std::u16string(kXsd) + u"#string");
  EXPECT_EQ(arrayOf(u"MIMETypes"), std::u16string(kXsd) + u"#string");
  ASSERT_EQ(reader_->GetArrayDims(Bstr(u"MIMETypes").Get(), Bstr(kNs).Get(), &dims, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(dims, 2);
  ASSERT_EQ(reader_->GetArrayDims(Bstr(u"ArrayOfSvcInfo").Get(), Bstr(kNs).Get(), &dims, &ok),
            S_OK);
  EXPECT_EQ(dims, 1);

  const struct {
    const char16_t* member;
    std::u16string type;
  } members[] = {
      {u"SvcURI", std::u16string(kXsd) + u"#string"},
      {u"SvcName", std::u16string(kXsd) + u"#string"},
      {u"Port", std::u16string(kXsd) + u"#string"},
      {u"WSDL_URL", std::u16string(kXsd) + u"#string"},
      {u"SvcProgID", std::u16string(kXsd) + u"#string"},
      {u"HdrProgIDs", std::u16string(kNs) + u"#ArrayOfString"},
      {u"Roles", std::u16string(kNs) + u"#ArrayOfString"},
      {u"NextHopURL", std::u16string(kXsd) + u"#string"},
      {u"NodeURI", std::u16string(kXsd) + u"#string"},
      {u"Enabled", std::u16string(kXsd) + u"#boolean"},
  };
  for (const auto& m : members) {
    BSTR type = nullptr, ns = nullptr;
    ok = VARIANT_FALSE;
    reader_->GetStructMemberType(Bstr(u"SvcInfo").Get(), Bstr(kNs).Get(),
                                 Bstr(std::u16string_view(m.member)).Get(), Bstr(u"").Get(), &type,
                                 &ns, &ok);
    EXPECT_EQ(ok, VARIANT_TRUE) << text::Narrow(m.member);
    EXPECT_EQ(std::u16string(BstrView(ns)) + u"#" + std::u16string(BstrView(type)), m.type)
        << text::Narrow(m.member);
    SysFreeString(type);
    SysFreeString(ns);
  }
}

// The endpoint's digest header blocks are typed by the schema the served
// description carries: each block element, its struct base and every member.
TEST_F(ManagementWsdlTest, DigestHeaderBlocksAreTyped) {
  const std::u16string da(xml::kDigestAuthNamespace);
  const std::u16string string = std::u16string(kXsd) + u"#string";
  const std::u16string binary = std::u16string(kXsd) + u"#base64Binary";
  auto joined = [](BSTR ns, BSTR type) {
    std::u16string out = std::u16string(BstrView(ns)) + u"#" + std::u16string(BstrView(type));
    SysFreeString(type);
    SysFreeString(ns);
    return out;
  };
  const struct {
    const char16_t* block;
    std::vector<std::pair<const char16_t*, std::u16string>> members;
  } blocks[] = {
      {u"ClientAuth",
       {{u"Nonce", string}, {u"Auth", binary}, {u"UserID", string}, {u"Realm", string},
        {u"ClientNonce", string}}},
      {u"InitChallenge", {{u"UserID", string}, {u"Realm", string}, {u"ClientNonce", string}}},
      {u"Challenge", {{u"Status", string}, {u"Nonce", string}, {u"Realm", string}}},
      {u"NextChallenge",
       {{u"Status", string}, {u"Nonce", string}, {u"ClientNonce", string},
        {u"ServerAuth", binary}}},
  };
  for (const auto& b : blocks) {
    SCOPED_TRACE(text::Narrow(b.block));
    const Bstr name{std::u16string_view(b.block)}, ns{da};
    BSTR type = nullptr, typeNs = nullptr;
    VARIANT_BOOL ok = VARIANT_FALSE;
    reader_->GetHeaderElemType(name.Get(), ns.Get(), &type, &typeNs, &ok);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_EQ(joined(typeNs, type), da + u"#" + b.block);
    ok = VARIANT_FALSE;
    type = typeNs = nullptr;
    reader_->GetComplexBaseType(name.Get(), ns.Get(), &type, &typeNs, &ok);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_EQ(joined(typeNs, type), u"http://schemas.xmlsoap.org/soap/encoding/#Struct");
    for (const auto& [member, expected] : b.members) {
      ok = VARIANT_FALSE;
      type = typeNs = nullptr;
      reader_->GetStructMemberType(name.Get(), ns.Get(), Bstr(std::u16string_view(member)).Get(),
                                   Bstr(u"").Get(), &type, &typeNs, &ok);
      EXPECT_EQ(ok, VARIANT_TRUE) << text::Narrow(member);
      EXPECT_EQ(joined(typeNs, type), expected) << text::Narrow(member);
    }
  }
}

}  // namespace
}  // namespace server
