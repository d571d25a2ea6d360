// hastrel2 as the server meets it: created by ProgID from the component this
// binary registered, driven by the server's header chain over the real
// message object and WSDL reader, from the client's request to the answer.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "interfaces/hastrel.h"
#include "message/testing/component_env.h"
#include "platform/com/bstr.h"
#include "platform/net/testing/loopback_peer.h"
#include "platform/text/text.h"
#include "message/plugin_contract.h"
#include "xml/namespaces.h"

namespace routing {
namespace {

using message::testing::ComponentEnvironment;

class RoutingEnvironment : public ComponentEnvironment {
 public:
  void SetUp() override {
    ComponentEnvironment::SetUp();
    const std::string command =
        std::string(QV_REGCOMP) + " -s " + QV_HASTREL_COMPONENT + " >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
  }
};

auto* const kEnvironment =
    static_cast<RoutingEnvironment*>(::testing::AddGlobalTestEnvironment(new RoutingEnvironment));

constexpr char16_t kNode[] = u"http://node.test/route";
const std::string kWsdl = std::string(QV_ROUTING_TESTDATA) + "/routing_echo.wsdl";

std::string N(std::u16string_view s) { return text::Narrow(s); }

size_t Count(const std::string& text, std::string_view what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string Bytes(const Variant& v) {
  if (v.vt != (VT_ARRAY | VT_UI1) || !v.parray) return {};
  void* p = nullptr;
  SafeArrayAccessData(v.parray, &p);
  std::string s(static_cast<const char*>(p), v.parray->rgsabound[0].cElements);
  SafeArrayUnaccessData(v.parray);
  return s;
}

// A block as a node writes it: targeted at the next actor or role.
std::u16string TargetedPath(int version, std::u16string_view children) {
  return std::u16string(version == 11
                            ? u"<rp:path xmlns:rp=\"http://schemas.xmlsoap.org/rp/\" "
                              u"xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                              u"SOAP-ENV:actor=\"http://schemas.xmlsoap.org/soap/actor/next\">"
                            : u"<rp:path xmlns:rp=\"http://schemas.xmlsoap.org/rp/\" "
                              u"xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
                              u"SOAP-ENV:role=\"http://www.w3.org/2003/05/soap-envelope/role/next\">") +
         std::u16string(children) + u"</rp:path>";
}

std::u16string PathBlock(std::u16string_view children) {
  return u"<rp:path xmlns:rp=\"http://schemas.xmlsoap.org/rp/\">" + std::u16string(children) +
         u"</rp:path>";
}

struct Leg {
  bool result = false;
  bool fault = false;
  bool noContent = false;
  std::u16string faultString, faultCode;
  std::u16string nextHop;
  std::string wire;  // the message as the server would send it on
  std::string faultBlock;  // the first header block of the fault's list
};

class RoutingChainTest : public ::testing::TestWithParam<int> {
 protected:
  int Version() const { return GetParam(); }
  std::u16string Port() const { return Version() == 11 ? u"Echo11Port" : u"Echo12Port"; }

  ComPtr<Iquenlin2> NewMessage(std::u16string_view node) {
    reader_ = message::testing::LoadReader(kWsdl, u"RoutingEchoService", Port());
    ComPtr<Iquenlin2> m;
    EXPECT_EQ(CoCreateInstance(CLSID_quenlin2, nullptr, CLSCTX_SERVER, IID_Iquenlin2,
                               m.ReceiveVoid()),
              S_OK);
    Bstr svc(u"RoutingEchoService"), port(Port()), nodeUri(node), none,
        action(u"\"urn:qv:routing-echo#echo\"");
    VARIANT_BOOL ok = VARIANT_FALSE;
    m->Initialize(svc.Get(), port.Get(), nodeUri.Get(), action.Get(), none.Get(), VARIANT_FALSE,
                  VARIANT_FALSE, reader_.Get(), &ok);
    EXPECT_EQ(ok, VARIANT_TRUE);
    m->SetSOAPVersion(Version());
    return m;
  }

  // The client's request with `path` (none when empty) as the server reads it.
  ComPtr<Iquenlin2> Received(const std::u16string& path) {
    ComPtr<Iquenlin2> client = NewMessage(u"");
    VARIANT_BOOL ok = VARIANT_FALSE;
    client->SetMethodName(Bstr(u"echo").Get());
    client->SetMethodNS(Bstr(u"urn:qv:routing-echo").Get());
    Bstr none;
    client->AddMethodParam(none.Get(), Bstr(u"text").Get(), Variant::FromText(u"hi"),
                           VARIANT_TRUE, VARIANT_FALSE, &ok);
    if (!path.empty()) {
      Bstr ns(xml::kWsRoutingNamespace), name(u"path"), literal(path),
          actor(Version() == 11 ? xml::kSoap11NextActor : xml::kSoap12NextRole);
      client->AddHeaderElemLiteral(ns.Get(), name.Get(), literal.Get(), VARIANT_TRUE,
                                   actor.Get(), none.Get(), &ok);
      EXPECT_EQ(ok, VARIANT_TRUE);
    }
    client->Serialize(&ok);
    Variant request;
    client->GetBuffer(request.Receive(), &ok);
    ComPtr<Iquenlin2> server = NewMessage(kNode);
    server->SetBuffer(request, &ok);
    server->Deserialize(&ok);
    EXPECT_EQ(ok, VARIANT_TRUE) << Bytes(request);
    return server;
  }

  void Read(Iquenlin2* m, Leg* leg) const {
    VARIANT_BOOL b = VARIANT_FALSE;
    m->IsSOAPFault(&b);
    leg->fault = b == VARIANT_TRUE;
    Bstr s;
    if (Version() == 11) {
      m->GetSOAPFaultString(s.Receive());
    } else {
      m->GetSOAP12ReasonText(Bstr(u"en").Get(), s.Receive(), &b);
    }
    leg->faultString = s.View();
    m->GetSOAPFaultCode(s.Receive());
    leg->faultCode = s.View();
    m->GetNextHopURL(s.Receive());
    leg->nextHop = s.View();
    m->IsNoContentResponse(&b);
    leg->noContent = b == VARIANT_TRUE;
    Bstr ns, name, literal, actor, encoding;
    VARIANT_BOOL mu = VARIANT_FALSE;
    LONG position = 0;
    m->GetFirstFaultHeaderElemLiteral(ns.Receive(), name.Receive(), literal.Receive(), &mu,
                                      actor.Receive(), encoding.Receive(), &position, &b);
    leg->faultBlock = N(literal.View());
    m->Serialize(&b);
    Variant buffer;
    m->GetBuffer(buffer.Receive(), &b);
    leg->wire = Bytes(buffer);
  }

  Leg RequestLeg(Iquenlin2* server) {
    EXPECT_TRUE(message::CreateHeaderProcessors(*chain_, {text::Widen(kHastrelProgId)}, server));
    Leg leg;
    leg.result = message::ProcessHeaderBlocks(*chain_, server);
    Read(server, &leg);
    return leg;
  }

  // The body service's echo, then the response leg.
  Leg ResponseLeg(Iquenlin2* server) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    server->SetRequestPhase(VARIANT_FALSE);
    VARIANT_BOOL isFault = VARIANT_FALSE;
    server->IsSOAPFault(&isFault);
    if (isFault != VARIANT_TRUE) {
      server->ClearHeaderElems();
      server->ClearMethodParams();
      server->SetReturnValue(Variant::FromText(u"hi"));
    }
    Leg leg;
    leg.result = message::ProcessHeaderBlocks(*chain_, server);
    (void)ok;
    Read(server, &leg);
    return leg;
  }

  // What a next hop sends back: an echo answer with `path` (none when
  // empty) or, when `faultText` is given, a fault with that text.
  Variant HopAnswer(const std::u16string& path, std::u16string_view faultText = {}) {
    ComPtr<Iquenlin2> hop = NewMessage(u"");
    hop->SetRequestPhase(VARIANT_FALSE);
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr none;
    if (!faultText.empty()) {
      SetFault(hop.Get(), faultText);
    } else {
      hop->SetMethodName(Bstr(u"echo").Get());
      hop->SetMethodNS(Bstr(u"urn:qv:routing-echo").Get());
      hop->SetReturnValue(Variant::FromText(u"hi"));
    }
    if (!path.empty()) {
      Bstr ns(xml::kWsRoutingNamespace), name(u"path"), literal(path),
          actor(Version() == 11 ? xml::kSoap11NextActor : xml::kSoap12NextRole);
      hop->AddHeaderElemLiteral(ns.Get(), name.Get(), literal.Get(), VARIANT_TRUE, actor.Get(),
                                none.Get(), &ok);
    }
    hop->Serialize(&ok);
    Variant answer;
    hop->GetBuffer(answer.Receive(), &ok);
    return answer;
  }

  void SetFault(Iquenlin2* m, std::u16string_view text) const {
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr none, reason(text);
    if (Version() == 11) {
      m->SetSOAPFault(Bstr(u"Server").Get(), Bstr(xml::kSoap11EnvelopeNamespace).Get(),
                      reason.Get(), VARIANT_FALSE, &ok);
    } else {
      m->SetSOAP12Fault(Bstr(u"Receiver").Get(), Bstr(xml::kSoap12EnvelopeNamespace).Get(),
                        none.Get(), none.Get(), reason.Get(), Bstr(u"en").Get(), &ok);
    }
  }

  // The forward as the server does it when the hop answered: the request's
  // blocks and parameters go, the answer is read into the same message.
  Leg Relayed(Iquenlin2* server, const Variant& answer) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    server->SetRequestPhase(VARIANT_FALSE);
    server->ClearHeaderElems();
    server->ClearMethodParams();
    server->SetBuffer(answer, &ok);
    server->Deserialize(&ok);
    Leg leg;
    leg.result = message::ProcessHeaderBlocks(*chain_, server);
    Read(server, &leg);
    return leg;
  }

  ComPtr<Idorvish2> reader_;
  std::unique_ptr<message::HeaderHandlerChain> chain_ =
      std::make_unique<message::HeaderHandlerChain>();
};

std::u16string Sender(int version) { return version == 11 ? u"Client" : u"Sender"; }

TEST_P(RoutingChainTest, RequestsThatCannotBeRoutedGetTheirRoutingFault) {
  const struct {
    const char* name;
    std::u16string path;
    const char* code;
    bool from;  // the fault names this node
    bool oneWay = true;  // a path without rp:rev was read
  } cases[] = {
      {"no path", u"", "701", false, false},
      {"not well-formed", u"<rp:path xmlns:rp='http://schemas.xmlsoap.org/rp/'><rp:id>", "701",
       false, false},
      {"no id", PathBlock(u"<rp:action>urn:a</rp:action><rp:to>http://node.test/route</rp:to>"),
       "700", false},
      {"no action", PathBlock(u"<rp:id>uuid:1</rp:id><rp:to>http://node.test/route</rp:to>"),
       "700", false},
      {"first via another node",
       PathBlock(u"<rp:action>urn:a</rp:action><rp:fwd><rp:via>http://other/</rp:via></rp:fwd>"
                 u"<rp:id>uuid:1</rp:id>"),
       "700", false},
      {"no via, no to", PathBlock(u"<rp:action>urn:a</rp:action><rp:fwd/><rp:id>uuid:1</rp:id>"),
       "700", false},
      {"to another node",
       PathBlock(u"<rp:action>urn:a</rp:action><rp:to>http://other/</rp:to><rp:id>uuid:1</rp:id>"),
       "700", true},
      {"https next hop",
       PathBlock(u"<rp:action>urn:a</rp:action><rp:fwd><rp:via>http://node.test/route</rp:via>"
                 u"<rp:via>https://b/</rp:via></rp:fwd><rp:id>uuid:1</rp:id>"),
       "712", false},
      {"capital scheme",
       PathBlock(u"<rp:action>urn:a</rp:action><rp:to>HTTP://b/</rp:to><rp:fwd><rp:via>"
                 u"http://node.test/route</rp:via></rp:fwd><rp:id>uuid:1</rp:id>"),
       "712", false},
      {"header injected by the hop",
       PathBlock(u"<rp:action>urn:a</rp:action><rp:fwd><rp:via>http://node.test/route</rp:via>"
                 u"<rp:via>http://b&#13;&#10;X: 1/</rp:via></rp:fwd><rp:id>uuid:1</rp:id>"),
       "712", false},
      {"port out of range",
       PathBlock(u"<rp:action>urn:a</rp:action><rp:fwd><rp:via>http://node.test/route</rp:via>"
                 u"<rp:via>http://b:70000/</rp:via></rp:fwd><rp:id>uuid:1</rp:id>"),
       "712", false},
  };
  for (const auto& c : cases) {
    chain_ = std::make_unique<message::HeaderHandlerChain>();
    ComPtr<Iquenlin2> server = Received(c.path);
    const Leg leg = RequestLeg(server.Get());
    EXPECT_TRUE(leg.result) << c.name;
    EXPECT_TRUE(leg.fault) << c.name;
    EXPECT_EQ(leg.faultCode, Sender(Version())) << c.name;
    EXPECT_EQ(N(leg.faultString), "WS-Routing Sender fault.") << c.name;
    EXPECT_TRUE(leg.nextHop.empty()) << c.name;
    EXPECT_EQ(Count(leg.wire, "<rp:path"), 1u) << c.name << leg.wire;
    EXPECT_NE(leg.wire.find(std::string("<rp:code>") + c.code + "</rp:code>"), std::string::npos)
        << c.name << leg.wire;
    EXPECT_NE(leg.wire.find("<rp:action>http://schemas.xmlsoap.org/soap/fault</rp:action>"),
              std::string::npos)
        << c.name;
    EXPECT_EQ(leg.wire.find("<rp:from>") != std::string::npos, c.from) << c.name << leg.wire;
    // No reverse path: the answer has no content, even after the fault.
    const Leg response = ResponseLeg(server.Get());
    EXPECT_TRUE(response.result) << c.name;
    EXPECT_EQ(response.noContent, c.oneWay) << c.name;
  }
}

TEST_P(RoutingChainTest, FaultMessagesStopTheChainWithoutContent) {
  for (const std::u16string& path :
       {PathBlock(u"<rp:action>http://schemas.xmlsoap.org/soap/fault</rp:action><rp:id>1</rp:id>"),
        PathBlock(u"<rp:action>urn:a</rp:action><rp:fault><rp:code>700</rp:code></rp:fault>")}) {
    chain_ = std::make_unique<message::HeaderHandlerChain>();
    ComPtr<Iquenlin2> server = Received(path);
    const Leg leg = RequestLeg(server.Get());
    EXPECT_FALSE(leg.result);
    EXPECT_FALSE(leg.fault);
    EXPECT_TRUE(leg.noContent);
  }
}

TEST_P(RoutingChainTest, AnIntermediaryNamesTheNextHopAndPassesOnePathBlock) {
  const struct {
    const char* name;
    std::u16string path;
    const char* hop;
    const char* forwarded;  // the children of the forwarded block
  } cases[] = {
      {"more vias",
       PathBlock(u"<rp:action>urn:a</rp:action><rp:fwd><rp:via>http://node.test/route</rp:via>"
                 u"<rp:via>http://b:81/x</rp:via><rp:via>http://c/</rp:via></rp:fwd>"
                 u"<rp:rev><rp:via>http://a/</rp:via></rp:rev><rp:id>uuid:1</rp:id>"),
       "http://b:81/x",
       "<rp:action>urn:a</rp:action><rp:fwd><rp:via>http://b:81/x</rp:via><rp:via>http://c/"
       "</rp:via></rp:fwd><rp:rev><rp:via /><rp:via>http://a/</rp:via></rp:rev>"
       "<rp:id>uuid:1</rp:id>"},
      {"last via and to",
       PathBlock(u"<rp:action>urn:a</rp:action><rp:to>http://d/end</rp:to><rp:fwd><rp:via>"
                 u"http://node.test/route</rp:via></rp:fwd><rp:id>uuid:2</rp:id>"),
       "http://d/end",
       "<rp:action>urn:a</rp:action><rp:to>http://d/end</rp:to><rp:fwd /><rp:id>uuid:2</rp:id>"},
  };
  for (const auto& c : cases) {
    chain_ = std::make_unique<message::HeaderHandlerChain>();
    ComPtr<Iquenlin2> server = Received(c.path);
    const Leg leg = RequestLeg(server.Get());
    EXPECT_TRUE(leg.result) << c.name;
    EXPECT_FALSE(leg.fault) << c.name << leg.wire;
    EXPECT_EQ(N(leg.nextHop), c.hop) << c.name;
    EXPECT_EQ(Count(leg.wire, "<rp:path"), 1u) << c.name << leg.wire;
    EXPECT_NE(leg.wire.find(c.forwarded), std::string::npos) << c.name << "\n" << leg.wire;
  }
}

TEST_P(RoutingChainTest, TheAddressedReceiverAnswersWithTheResponsePath) {
  for (const std::u16string& path :
       {PathBlock(u"<rp:action>urn:a</rp:action><rp:fwd><rp:via>http://node.test/route</rp:via>"
                  u"</rp:fwd><rp:rev><rp:via/><rp:via>http://a/</rp:via></rp:rev>"
                  u"<rp:id>uuid:7</rp:id>"),
        PathBlock(u"<rp:action>urn:a</rp:action><rp:to>http://node.test/route</rp:to>"
                  u"<rp:rev><rp:via/><rp:via>http://a/</rp:via></rp:rev><rp:id>uuid:7</rp:id>")}) {
    chain_ = std::make_unique<message::HeaderHandlerChain>();
    ComPtr<Iquenlin2> server = Received(path);
    const Leg request = RequestLeg(server.Get());
    ASSERT_TRUE(request.result);
    ASSERT_FALSE(request.fault) << request.wire;
    const Leg leg = ResponseLeg(server.Get());
    EXPECT_TRUE(leg.result);
    EXPECT_FALSE(leg.fault) << leg.wire;
    EXPECT_FALSE(leg.noContent);
    EXPECT_EQ(Count(leg.wire, "<rp:path"), 1u) << leg.wire;
    EXPECT_NE(leg.wire.find("<rp:action>urn:a</rp:action><rp:fwd><rp:via /><rp:via>http://a/"
                            "</rp:via></rp:fwd><rp:rev><rp:via>http://node.test/route</rp:via>"
                            "</rp:rev><rp:from>wsrp-node@localhost</rp:from><rp:id>uuid:"),
              std::string::npos)
        << leg.wire;
    EXPECT_NE(leg.wire.find("<rp:relatesTo>uuid:7</rp:relatesTo>"), std::string::npos);
  }
}

TEST_P(RoutingChainTest, OnlyTheExactPathBlockIsUnderstood) {
  ComPtr<Iquenlin2> server = Received(u"");
  ASSERT_TRUE(message::CreateHeaderProcessors(*chain_, {text::Widen(kHastrelProgId)}, server.Get()));
  ComPtr<Ihastrel2> processor = com::QueryInterfacePtr<Ihastrel2>(chain_->Processors()[0].Get());
  ASSERT_TRUE(processor);
  const struct {
    std::u16string ns, name;
    bool understood;
  } cases[] = {{std::u16string(xml::kWsRoutingNamespace), u"path", true},
               {std::u16string(xml::kWsRoutingNamespace), u"Path", false},
               {u"http://schemas.xmlsoap.org/rp", u"path", false}};
  for (const auto& c : cases) {
    VARIANT_BOOL r = VARIANT_FALSE;
    EXPECT_EQ(processor->OnTestMUHeaderBlock(Bstr(c.ns).Get(), Bstr(c.name).Get(), &r), S_OK);
    EXPECT_EQ(r == VARIANT_TRUE, c.understood) << N(c.name);
  }

  // Anything but an object is no message: refused, never dereferenced.
  Variant empty, null, textual = Variant::FromText(u"not a message");
  null.vt = VT_DISPATCH;
  null.pdispVal = nullptr;
  ComPtr<IDispatch> real = com::QueryInterfacePtr<IDispatch>(server.Get());
  IDispatch* held = real.Get();
  Variant byRef;
  byRef.vt = VT_BYREF | VT_DISPATCH;
  byRef.ppdispVal = &held;
  for (const VARIANT* v : {static_cast<const VARIANT*>(&empty), static_cast<const VARIANT*>(&null),
                           static_cast<const VARIANT*>(&textual)}) {
    VARIANT_BOOL r = VARIANT_FALSE;
    EXPECT_EQ(processor->OnProcessHeader(*v, &r), E_FAIL);
    EXPECT_EQ(r, VARIANT_TRUE);
  }
  VARIANT_BOOL r = VARIANT_FALSE;
  EXPECT_EQ(processor->OnProcessHeader(byRef, &r), S_OK);
  VARIANT_BOOL fault = VARIANT_FALSE;
  server->IsSOAPFault(&fault);
  EXPECT_EQ(fault, VARIANT_TRUE);  // 701: the message was reached and read
  byRef.vt = VT_EMPTY;  // not owned
}

// This node forwards to http://b/ with http://a/ on the reverse path.
const std::u16string kForwarded =
    PathBlock(u"<rp:action>urn:a</rp:action><rp:fwd><rp:via>http://node.test/route</rp:via>"
              u"<rp:via>http://b/</rp:via></rp:fwd><rp:rev><rp:via>http://a/</rp:via></rp:rev>"
              u"<rp:id>uuid:1</rp:id>");

TEST_P(RoutingChainTest, AnIntermediaryRelaysTheAnswerAlongTheReversePath) {
  ComPtr<Iquenlin2> server = Received(kForwarded);
  ASSERT_EQ(N(RequestLeg(server.Get()).nextHop), "http://b/");
  // The receiver's answer: forward along the request's reverse path, which
  // this node headed with an empty via.
  const Leg leg = Relayed(
      server.Get(),
      HopAnswer(TargetedPath(Version(), u"<rp:action>urn:a</rp:action><rp:fwd><rp:via/><rp:via>http://a/"
                          u"</rp:via></rp:fwd><rp:rev><rp:via>http://b/</rp:via></rp:rev>"
                          u"<rp:from>b@x</rp:from><rp:id>uuid:2</rp:id>"
                          u"<rp:relatesTo>uuid:1</rp:relatesTo>")));
  EXPECT_TRUE(leg.result);
  EXPECT_FALSE(leg.fault) << leg.wire;
  EXPECT_EQ(Count(leg.wire, "<rp:path"), 1u) << leg.wire;
  EXPECT_NE(leg.wire.find("<rp:action>urn:a</rp:action><rp:fwd><rp:via>http://a/</rp:via>"
                          "</rp:fwd><rp:rev><rp:via>http://node.test/route</rp:via><rp:via>"
                          "http://b/</rp:via></rp:rev><rp:from>b@x</rp:from><rp:id>uuid:2"
                          "</rp:id><rp:relatesTo>uuid:1</rp:relatesTo></rp:path>"),
            std::string::npos)
      << leg.wire;
}

TEST_P(RoutingChainTest, AnIntermediaryChecksTheAnswersPath) {
  const struct {
    const char* name;
    std::u16string answerPath;
    std::u16string faultText;  // the hop answered this fault
    const char* code;          // the routing fault raised, or none
  } cases[] = {
      {"no id", u"<rp:action>urn:a</rp:action><rp:fwd><rp:via/></rp:fwd>", u"", "700"},
      {"no action", u"<rp:id>uuid:2</rp:id>", u"", "700"},
      {"first forward via not empty",
       (u"<rp:action>urn:a</rp:action><rp:fwd><rp:via>http://x/</rp:via></rp:fwd>"
        u"<rp:id>uuid:2</rp:id>"),
       u"", "700"},
      // Only the server's own word on the message says a forward failed.
      {"a fault worded as a failed forward", u"",
       u"Attempt to forward SOAP message by intermediary failed.", nullptr},
      {"another fault", u"", u"body failed", nullptr},
      {"a plain answer", u"", u"", nullptr},
  };
  for (const auto& c : cases) {
    chain_ = std::make_unique<message::HeaderHandlerChain>();
    ComPtr<Iquenlin2> server = Received(kForwarded);
    RequestLeg(server.Get());
    const Leg leg = Relayed(
        server.Get(),
        HopAnswer(c.answerPath.empty() ? u"" : TargetedPath(Version(), c.answerPath), c.faultText));
    EXPECT_TRUE(leg.result) << c.name;
    if (c.code == nullptr) {
      EXPECT_EQ(leg.wire.find("<rp:path"), std::string::npos) << c.name << leg.wire;
      EXPECT_EQ(leg.fault, !c.faultText.empty()) << c.name;
      EXPECT_EQ(leg.faultString, c.faultText) << c.name;
      continue;
    }
    EXPECT_TRUE(leg.fault) << c.name;
    EXPECT_NE(leg.faultBlock.find(std::string("<rp:code>") + c.code + "</rp:code>"),
              std::string::npos)
        << c.name << leg.faultBlock;
    // Written over the hop's own fault, not beside it.
    EXPECT_NE(leg.wire.find(std::string("<rp:code>") + c.code + "</rp:code>"), std::string::npos)
        << c.name << leg.wire;
    EXPECT_EQ(N(leg.faultString), "WS-Routing Sender fault.") << c.name;
  }
}

// The server records its fault and leaves the request's blocks, this node's
// forward block among them; when it also marks the message as a failed
// forward, the fault becomes routing fault 820 back along the reverse path.
TEST_P(RoutingChainTest, AFailedForwardMarkedByTheServerBecomesFault820) {
  const std::u16string byTo =
      PathBlock(u"<rp:action>urn:a</rp:action><rp:to>http://d/</rp:to><rp:fwd><rp:via>"
                u"http://node.test/route</rp:via></rp:fwd><rp:rev/><rp:id>uuid:1</rp:id>");
  const struct {
    const char* name;
    std::u16string path;
    bool marked;
    const char* fwd;  // the 820 block's forward path, when one is raised
  } cases[] = {
      {"by rp:fwd, marked", kForwarded, true, "<rp:fwd><rp:via>http://a/</rp:via></rp:fwd>"},
      {"by rp:to, marked", byTo, true, "<rp:fwd />"},
      {"by rp:fwd, unmarked", kForwarded, false, nullptr},
      {"by rp:to, unmarked", byTo, false, nullptr},
  };
  for (const auto& c : cases) {
    chain_ = std::make_unique<message::HeaderHandlerChain>();
    ComPtr<Iquenlin2> server = Received(c.path);
    ASSERT_FALSE(RequestLeg(server.Get()).nextHop.empty()) << c.name;
    server->SetRequestPhase(VARIANT_FALSE);
    SetFault(server.Get(), u"Request: Failed to connect to server.");
    if (c.marked) {
      auto status = com::QueryInterfacePtr<IquenlinForwardStatus>(server.Get());
      ASSERT_TRUE(status) << c.name;
      status->SetForwardFailed(VARIANT_TRUE);
    }
    Leg leg;
    leg.result = message::ProcessHeaderBlocks(*chain_, server.Get());
    Read(server.Get(), &leg);
    EXPECT_TRUE(leg.result) << c.name;
    EXPECT_TRUE(leg.fault) << c.name;
    if (!c.fwd) {
      EXPECT_EQ(N(leg.faultString), "Request: Failed to connect to server.") << c.name;
      EXPECT_EQ(leg.wire.find("<rp:code>"), std::string::npos) << c.name << leg.wire;
      continue;
    }
    EXPECT_EQ(N(leg.faultString), "WS-Routing Receiver fault.") << c.name;
    EXPECT_NE(leg.faultBlock.find("<rp:code>820</rp:code>"), std::string::npos)
        << c.name << leg.faultBlock;
    // Back along the request's own reverse path, this node's empty via gone.
    EXPECT_NE(leg.faultBlock.find(c.fwd), std::string::npos) << c.name << leg.faultBlock;
    EXPECT_NE(leg.faultBlock.find("<rp:relatesTo>uuid:1</rp:relatesTo>"), std::string::npos)
        << c.name << leg.faultBlock;
    EXPECT_EQ(Count(leg.wire, "<rp:path"), 1u) << c.name << leg.wire;
  }
}

TEST_P(RoutingChainTest, TheReceiverPostsItsAnswerToAnHttpReversePath) {
  const struct {
    const char* name;
    const char* reply;
    bool posted;
  } cases[] = {
      {"accepted", "HTTP/1.0 202 Accepted\r\n\r\n", true},
      {"refused", "HTTP/1.0 500 Internal Server Error\r\n\r\n", false},
  };
  for (const auto& c : cases) {
    chain_ = std::make_unique<message::HeaderHandlerChain>();
    net::testing::LoopbackPeer peer;
    std::string head, body;
    peer.Serve([&](net::testing::PeerConnection& conn) {
      head = conn.ReadHead();
      body = conn.ReadAnnouncedBody(head);
      conn.Write(c.reply);
    });
    const std::u16string back = text::Widen("http://127.0.0.1:" + std::to_string(peer.port()) +
                                            "/back");
    ComPtr<Iquenlin2> server =
        Received(PathBlock(u"<rp:action>urn:a</rp:action><rp:to>http://node.test/route</rp:to>"
                           u"<rp:rev><rp:via>" + back + u"</rp:via></rp:rev><rp:id>uuid:5</rp:id>"));
    ASSERT_FALSE(RequestLeg(server.Get()).fault);
    const Leg leg = ResponseLeg(server.Get());
    peer.Join();
    EXPECT_TRUE(leg.result) << c.name;
    EXPECT_EQ(head.rfind("POST /back HTTP/1.0\r\n", 0), 0u) << c.name << head;
    EXPECT_EQ(head.find("SOAPAction"), std::string::npos) << c.name;
    EXPECT_NE(body.find("<rp:fwd><rp:via>" + N(back) + "</rp:via></rp:fwd><rp:rev><rp:via>"
                        "http://node.test/route</rp:via></rp:rev>"),
              std::string::npos)
        << c.name << body;
    EXPECT_EQ(leg.noContent, c.posted) << c.name;
    EXPECT_EQ(leg.fault, !c.posted) << c.name;
    if (!c.posted) {
      EXPECT_EQ(N(leg.faultString), "WS-Routing Receiver fault.");
      EXPECT_NE(leg.wire.find("<rp:code>800</rp:code>"), std::string::npos) << leg.wire;
    }
  }
}

TEST(RoutingWsdlTest, TheServedDescriptionSelectsItsSoap11Port) {
  ComPtr<Idorvish2> reader =
      message::testing::LoadReader(QV_ROUTING_WSDL, u"interopRoutingSvc", u"interopRoutingSoapPort");
  ASSERT_TRUE(reader);
  Bstr version;
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(reader->GetSOAPBindingVersion(version.Receive(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(version.View(), xml::kWsdlSoap11Namespace);
}

INSTANTIATE_TEST_SUITE_P(BothVersions, RoutingChainTest, ::testing::Values(11, 12));

}  // namespace
}  // namespace routing
