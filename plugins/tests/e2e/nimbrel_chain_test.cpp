// nimbrel as the server meets it: created by ProgID from the component this
// binary registered, driven by the header chain over the real message object
// read from SOAP 1.2 requests, request phase then response phase on one
// instance.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "interfaces/nimbrel.h"
#include "message/plugin_contract.h"
#include "message/testing/component_env.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"
#include "xml/xml_parser.h"

namespace testsvc_e2e {
namespace {

class NimbrelEnvironment : public message::testing::ComponentEnvironment {
 public:
  void SetUp() override {
    ComponentEnvironment::SetUp();
    const std::string command =
        std::string(QV_REGCOMP) + " -s " + QV_NIMBREL_COMPONENT + " >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
  }
};

[[maybe_unused]] auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new NimbrelEnvironment);

constexpr char kTs[] = "http://example.org/ts-tests";
constexpr char kRoleNone[] = "http://www.w3.org/2003/05/soap-envelope/role/none";

struct Literal {
  std::string ns, name, literal, role;
  bool mustUnderstand = false;
};

std::string Block(const std::string& name, const std::string& text, const std::string& role = "",
                  bool mustUnderstand = false) {
  std::string out = "<t:" + name + " xmlns:t=\"" + kTs + "\"";
  if (!role.empty()) out += " env:role=\"" + role + "\"";
  if (mustUnderstand) out += " env:mustUnderstand=\"true\"";
  return out + ">" + text + "</t:" + name + ">";
}

class NimbrelChainTest : public ::testing::Test {
 protected:
  // The request as the server reads it.
  ComPtr<Iquenlin2> Received(const std::string& header, const std::string& body) {
    reader_ =
        message::testing::LoadReader(QV_SOAP12_TEST_WSDL, u"QuorvelOrsquin", u"Soap12TestDocPort");
    ComPtr<Iquenlin2> m;
    EXPECT_EQ(
        CoCreateInstance(CLSID_quenlin2, nullptr, CLSCTX_SERVER, IID_Iquenlin2, m.ReceiveVoid()),
        S_OK);
    Bstr svc(u"QuorvelOrsquin"), port(u"Soap12TestDocPort"),
        node(u"http://localhost/soap12/test-doc"), none, action(u"\"\"");
    VARIANT_BOOL ok = VARIANT_FALSE;
    m->Initialize(svc.Get(), port.Get(), node.Get(), action.Get(), none.Get(), VARIANT_FALSE,
                  VARIANT_FALSE, reader_.Get(), &ok);
    EXPECT_EQ(ok, VARIANT_TRUE);
    const std::string request =
        "<env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\"><env:Header>" +
        header + "</env:Header><env:Body>" + body + "</env:Body></env:Envelope>";
    Variant buffer;
    buffer.vt = VT_ARRAY | VT_UI1;
    buffer.parray = SafeArrayCreateVector(VT_UI1, 0, ULONG(request.size()));
    memcpy(buffer.parray->pvData, request.data(), request.size());
    m->SetBuffer(buffer, &ok);
    m->Deserialize(&ok);
    EXPECT_EQ(ok, VARIANT_TRUE) << request;
    return m;
  }

  bool RequestPhase(Iquenlin2* m) {
    EXPECT_TRUE(
        message::CreateHeaderProcessors(chain_, {text::Widen(kNimbrelIndependentProgId)}, m));
    return message::ProcessHeaderBlocks(chain_, m);
  }

  // The body service's part, then the response phase on the same instance.
  bool ResponsePhase(Iquenlin2* m) {
    m->SetRequestPhase(VARIANT_FALSE);
    m->ClearHeaderElems();
    return message::ProcessHeaderBlocks(chain_, m);
  }

  static std::vector<Literal> Literals(Iquenlin2* m) {
    std::vector<Literal> out;
    Bstr ns, name, literal, role, style;
    VARIANT_BOOL mu = VARIANT_FALSE, ok = VARIANT_FALSE;
    LONG position = 0;
    m->GetFirstHeaderElemLiteral(ns.Receive(), name.Receive(), literal.Receive(), &mu,
                                 role.Receive(), style.Receive(), &position, &ok);
    while (ok == VARIANT_TRUE) {
      out.push_back({text::Narrow(ns.View()), text::Narrow(name.View()),
                     text::Narrow(literal.View()), text::Narrow(role.View()), mu == VARIANT_TRUE});
      m->GetNextHeaderElemLiteral(ns.Receive(), name.Receive(), literal.Receive(), &mu,
                                  role.Receive(), style.Receive(), &position, &ok);
    }
    return out;
  }

  static std::string BodyOf(Iquenlin2* m) {
    Bstr body;
    VARIANT_BOOL ok = VARIANT_FALSE;
    m->GetBodyElemLiteral(body.Receive(), &ok);
    return ok == VARIANT_TRUE ? text::Narrow(body.View()) : "<none>";
  }

  ComPtr<Idorvish2> reader_;
  message::HeaderHandlerChain chain_;
};

TEST_F(NimbrelChainTest, EchoOkIsAnsweredWithResponseOk) {
  const struct {
    const char* name;
    std::string text;
    std::string role;
    bool answered;
  } cases[] = {
      {"plain", "abc", "", true},
      {"escaped", "&lt;&amp;&gt;", "", true},
      {"role none", "abc", kRoleNone, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    chain_.ReleaseAll();
    ComPtr<Iquenlin2> m = Received(Block("echoOk", c.text, c.role),
                                   "<t:echoOk xmlns:t=\"" + std::string(kTs) + "\">x</t:echoOk>");
    EXPECT_TRUE(RequestPhase(m.Get()));
    EXPECT_TRUE(ResponsePhase(m.Get()));
    const std::vector<Literal> added = Literals(m.Get());
    if (!c.answered) {
      EXPECT_TRUE(added.empty());
      continue;
    }
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].ns, kTs);
    EXPECT_EQ(added[0].name, "responseOk");
    EXPECT_FALSE(added[0].mustUnderstand);
    EXPECT_EQ(added[0].role, "");
    EXPECT_EQ(added[0].literal,
              "<test:responseOk xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
              "xmlns:test=\"http://example.org/ts-tests\">" +
                  c.text + "</test:responseOk>");
    xml::XmlParser parser;
    parser.Parse(text::Widen(added[0].literal), nullptr);
    EXPECT_EQ(text::Narrow(parser.GetRoot()->GetText()), c.text == "abc" ? "abc" : "<&>");
  }
}

TEST_F(NimbrelChainTest, ConcatenatedArgumentsAreForwardedToNodeC) {
  const std::string concat = Block("concatAndForwardEchoOk", "");
  const std::string arg1 = Block("concatAndForwardEchoOkArg1", "Hello");
  const std::string arg2 = Block("concatAndForwardEchoOkArg2", "World");
  const struct {
    const char* name;
    std::string header;
    bool forwarded;
  } cases[] = {
      {"both", concat + arg1 + arg2, true},
      {"without Arg1", concat + arg2, false},
      {"without Arg2", concat + arg1, false},
      {"role none", Block("concatAndForwardEchoOk", "", kRoleNone) + arg1 + arg2, false},
      {"Arg2 for role none",
       concat + arg1 + Block("concatAndForwardEchoOkArg2", "World", kRoleNone), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    chain_.ReleaseAll();
    ComPtr<Iquenlin2> m = Received(c.header, "");
    EXPECT_TRUE(RequestPhase(m.Get()));
    std::vector<Literal> forwarded;
    for (const Literal& l : Literals(m.Get())) {
      if (l.name == "echoOk") forwarded.push_back(l);
    }
    if (!c.forwarded) {
      EXPECT_TRUE(forwarded.empty());
      continue;
    }
    ASSERT_EQ(forwarded.size(), 1u);
    EXPECT_EQ(forwarded[0].ns, kTs);
    EXPECT_TRUE(forwarded[0].mustUnderstand);
    EXPECT_EQ(forwarded[0].role, "http://example.org/ts-tests/C");
    EXPECT_EQ(forwarded[0].literal,
              "<test:echoOk xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
              "xmlns:test=\"http://example.org/ts-tests\">HelloWorld</test:echoOk>");
  }
}

// The echoString body as the next hop or the service gets it, parsed back.
TEST_F(NimbrelChainTest, EchoStringBodyIsUpperCased) {
  // inputString is read in the interop namespace, here the default one.
  const std::string iop = "xmlns:n=\"http://soapinterop.org/\" xmlns=\"http://soapinterop.org/\"";
  const std::string xsi01 = "xmlns:x=\"http://www.w3.org/2001/XMLSchema-instance\"";
  const std::string xsi99 = "xmlns:x=\"http://www.w3.org/1999/XMLSchema-instance\"";
  const std::string xsi00 = "xmlns:x=\"http://www.w3.org/2000/10/XMLSchema-instance\"";
  const struct {
    const char* name;
    std::string body;
    std::string input;  // "<nil>", "<none>" for a body left alone, or the text
  } cases[] = {
      {"mixed", "<n:echoString " + iop + "><inputString>Mixed text</inputString></n:echoString>",
       "MIXED TEXT"},
      {"non-ASCII",
       "<n:echoString " + iop +
           "><inputString>\xC3\xA9t\xC3\xA9 \xC3\x9F</inputString></n:echoString>",
       "\xC3\xA9T\xC3\xA9 \xC3\x9F"},
      {"2001 nil",
       "<n:echoString " + iop + "><inputString " + xsi01 +
           " x:nil=\"1\">a</inputString></n:echoString>",
       "<nil>"},
      {"1999 null",
       "<n:echoString " + iop + "><inputString " + xsi99 + " x:null=\"true\"/></n:echoString>",
       "<nil>"},
      {"2000/10 nil",
       "<n:echoString " + iop + "><inputString " + xsi00 + " x:nil=\"true\"/></n:echoString>",
       "<nil>"},
      {"nil false",
       "<n:echoString " + iop + "><inputString " + xsi01 +
           " x:nil=\"false\">b</inputString></n:echoString>",
       "B"},
      {"no inputString", "<n:echoString " + iop + "/>", ""},
      {"inputString in no namespace",
       "<n:echoString "
       "xmlns:n=\"http://soapinterop.org/\"><inputString>q</inputString></n:echoString>",
       ""},
      {"others dropped",
       "<n:other " + iop + "/><n:echoString " + iop +
           "><inputString>q</inputString><n:more/></n:echoString><n:echoString " + iop + "/>",
       "Q"},
      {"no echoString", "<n:echoStrings " + iop + "><inputString>q</inputString></n:echoStrings>",
       "<none>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    chain_.ReleaseAll();
    ComPtr<Iquenlin2> m = Received("", c.body);
    const std::string before = BodyOf(m.Get());
    EXPECT_TRUE(RequestPhase(m.Get()));
    const std::string after = BodyOf(m.Get());
    if (c.input == "<none>") {
      EXPECT_EQ(after, before);
      continue;
    }
    xml::XmlParser parser;
    ASSERT_NO_THROW(parser.Parse(text::Widen(after), nullptr)) << after;
    const xml::XmlElement* body = parser.GetRoot();
    ASSERT_EQ(body->GetChildCount(), 1u) << after;
    const xml::XmlElement* echo = body->FindChild(u"echoString", xml::kInteropNamespace);
    ASSERT_NE(echo, nullptr) << after;
    ASSERT_EQ(echo->GetChildCount(), 1u) << after;
    const xml::XmlElement* input = echo->FindChild(u"inputString", xml::kInteropNamespace);
    ASSERT_NE(input, nullptr) << after;
    std::u16string nil;
    if (c.input == "<nil>") {
      EXPECT_TRUE(input->GetAttributeValue(xml::kXmlSchemaInstanceNamespace, u"nil", &nil));
      EXPECT_EQ(nil, u"true");
      EXPECT_EQ(input->GetText(), u"");
    } else {
      EXPECT_FALSE(input->GetAttributeValue(xml::kXmlSchemaInstanceNamespace, u"nil", &nil));
      EXPECT_EQ(text::Narrow(input->GetText()), c.input);
    }
  }
}

// By name, as the server calls it: an argument that holds no message is
// refused with E_FAIL instead of being dereferenced.
TEST_F(NimbrelChainTest, OnProcessHeaderByNameRefusesAnythingButAMessage) {
  ComPtr<Iquenlin2> m = Received(Block("echoOk", "a"), "");
  ASSERT_TRUE(
      message::CreateHeaderProcessors(chain_, {text::Widen(kNimbrelIndependentProgId)}, m.Get()));
  IDispatch* processor = chain_.Processors().at(0).Get();
  Variant empty, text = Variant::FromText(u"message"), nullDispatch, message;
  nullDispatch.vt = VT_DISPATCH;
  nullDispatch.pdispVal = nullptr;
  message.vt = VT_DISPATCH;
  m->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&message.pdispVal));
  // A failing method comes back from Invoke as DISP_E_EXCEPTION.
  const struct {
    const char* name;
    Variant* argument;
    HRESULT hr;
  } cases[] = {
      {"empty", &empty, DISP_E_EXCEPTION},
      {"string", &text, DISP_E_EXCEPTION},
      {"null", &nullDispatch, DISP_E_EXCEPTION},
      {"message", &message, S_OK},
  };
  const std::u16string_view names[] = {u"SOAPMsgInterface"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const message::CallOutcome outcome =
        message::CallByName(processor, u"OnProcessHeader", names,
                            message::AsVariants(c.argument, 1), message::ResultRule::ExactlyTrue);
    EXPECT_EQ(outcome.hr, c.hr);
    EXPECT_EQ(outcome.status,
              c.hr == S_OK ? message::CallStatus::Ok : message::CallStatus::InvokeFailed);
    EXPECT_EQ(outcome.result, c.hr == S_OK);
  }
}

TEST_F(NimbrelChainTest, UnknownMandatoryTestBlockIsNotUnderstood) {
  ComPtr<Iquenlin2> m =
      Received(Block("echoOk", "a", "", true) + Block("other", "b", "", true), "");
  EXPECT_FALSE(RequestPhase(m.Get()));
  VARIANT_BOOL fault = VARIANT_FALSE;
  m->IsSOAPFault(&fault);
  EXPECT_EQ(fault, VARIANT_TRUE);
  Bstr code;
  m->GetSOAPFaultCode(code.Receive());
  EXPECT_EQ(text::Narrow(code.View()), "MustUnderstand");
}

}  // namespace
}  // namespace testsvc_e2e
