// nimbrel behind running braskel programs: the SOAP 1.2 test endpoint
// ("/soap12/test-doc", role C) and its intermediary ("/soap12/test-
// intermediary", role B, forwarding to the first), with SOAP 1.2 requests
// written by hand.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/net/testing/loopback_peer.h"
#include "platform/text/text.h"
#include "plugins/tests/e2e/service_client.h"
#include "server/braskel/testing/braskel_instances.h"
#include "server/http/testing/test_files.h"
#include "xml/namespaces.h"

namespace testsvc_e2e {
namespace {

constexpr char kTs[] = "http://example.org/ts-tests";
constexpr char kRoleB[] = "http://example.org/ts-tests/B";
constexpr char kRoleC[] = "http://example.org/ts-tests/C";
constexpr char kRoleNone[] = "http://www.w3.org/2003/05/soap-envelope/role/none";

std::string Endpoint(const std::string& uri, const std::string& wsdl, const std::string& service,
                     const std::string& port, const std::string& body, const std::string& role,
                     const std::string& nextHop = "") {
  return "<endpoint><requestURI>" + uri + "</requestURI><wsdlDocURL>file://" + wsdl +
         "</wsdlDocURL><wsdlService>" + service + "</wsdlService><wsdlPort>" + port +
         "</wsdlPort><bodyProcessingProgId>" + body +
         "</bodyProcessingProgId><headerProcessingProgIds><progId>nimbor.doc</progId>"
         "</headerProcessingProgIds><roles><uri>" +
         role + "</uri></roles><nextHopURL>" + nextHop +
         "</nextHopURL><enabled>true</enabled></endpoint>";
}

// A test-namespace block; the envelope's prefix "env" is in scope.
std::string Block(const std::string& name, const std::string& text, const std::string& role = "",
                  bool mustUnderstand = false, const std::string& prefix = "t",
                  bool declare = true) {
  std::string out = "<" + prefix + ":" + name;
  if (declare) out += " xmlns:" + prefix + "=\"" + kTs + "\"";
  if (!role.empty()) out += " env:role=\"" + role + "\"";
  if (mustUnderstand) out += " env:mustUnderstand=\"true\"";
  return out + ">" + text + "</" + prefix + ":" + name + ">";
}

std::string Request(const std::string& path, const std::string& header, const std::string& body,
                    const std::string& envelopeDeclarations = "") {
  const std::string envelope =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><env:Envelope xmlns:env=\"" +
      std::string(kSoap12) + "\"" + envelopeDeclarations + "><env:Header>" + header +
      "</env:Header><env:Body>" + body + "</env:Body></env:Envelope>";
  return "POST " + path +
         " HTTP/1.0\r\nContent-Type: application/soap+xml; charset=utf-8\r\nContent-Length: " +
         std::to_string(envelope.size()) + "\r\n\r\n" + envelope;
}

std::string EchoOkBody(const std::string& text = "x") { return Block("echoOk", text); }

struct Answer {
  std::string status;
  std::vector<std::string> header;  // each block as Describe writes it
  std::string body;                 // the Body as Describe writes it
  std::string raw;
};

Answer Read(const std::string& raw) {
  Answer a{raw.substr(0, raw.find("\r\n")), {}, "<unparsed>", raw};
  const size_t at = raw.find("\r\n\r\n");
  const Parsed parsed(at == std::string::npos ? "" : raw.substr(at + 4));
  if (!parsed.Ok()) return a;
  for (const xml::XmlElementPtr& c : parsed.Root()->GetChildList()) {
    if (c->GetLocalName() != u"Header") continue;
    for (const xml::XmlElementPtr& b : c->GetChildList()) a.header.push_back(Describe(*b));
  }
  if (const xml::XmlElement* body = parsed.Body()) a.body = Describe(*body);
  return a;
}

std::string ResponseOk(const std::string& text) {
  return "{" + std::string(kTs) + "}responseOk(" + text + ")";
}

class NimbrelHttpTest : public server_testing::BraskelInstancesTest {
 protected:
  NimbrelHttpTest()
      : BraskelInstancesTest(QV_REGCOMP,
                             {QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT, QV_SOAPSTRUCT_COMPONENT,
                              QV_ORSQUEL_COMPONENT, QV_NIMBREL_COMPONENT}) {}

  // The test endpoint, then the intermediary forwarding to it, or to
  // `captureHop` when that is not 0.
  void StartServers(uint16_t captureHop = 0) {
    const Instance& doc =
        Start("doc", Endpoint("/soap12/test-doc", QV_SOAP12_TEST_WSDL, "QuorvelOrsquin",
                              "Soap12TestDocPort", "orsquin.doc", kRoleC));
    ASSERT_NE(doc.port, 0);
    docPort_ = doc.port;
    // What an independent client reads: the description the server serves.
    std::filesystem::create_directories(doc.dir / "www" / "wsdl");
    std::filesystem::copy_file(QV_SOAP12_TEST_WSDL, doc.dir / "www" / "wsdl" / "soap12-test.wsdl");
    const std::string next =
        "http://127.0.0.1:" + std::to_string(captureHop ? captureHop : docPort_) +
        "/soap12/test-doc";
    const Instance& mid = Start(
        "intermediary", Endpoint("/soap12/test-intermediary", QV_ROUTING_WSDL, "interopRoutingSvc",
                                 "interopRoutingSoap12Port", "orsquin.doc", kRoleB, next));
    ASSERT_NE(mid.port, 0);
    midPort_ = mid.port;
  }

  Answer Post(const std::string& path, const std::string& header, const std::string& body,
              const std::string& envelopeDeclarations = "") const {
    const uint16_t port = path == "/soap12/test-doc" ? docPort_ : midPort_;
    return Read(Exchange(port, Request(path, header, body, envelopeDeclarations)));
  }

  uint16_t docPort_ = 0, midPort_ = 0;
};

TEST_F(NimbrelHttpTest, EchoOkIsAnsweredAtTheTestEndpoint) {
  ASSERT_NO_FATAL_FAILURE(StartServers());
  const Answer plain = Post("/soap12/test-doc", Block("echoOk", "foo", "", true), EchoOkBody());
  EXPECT_EQ(plain.status, "HTTP/1.0 200 OK") << plain.raw;
  EXPECT_EQ(plain.header, std::vector<std::string>{ResponseOk("foo")}) << plain.raw;

  const Answer none =
      Post("/soap12/test-doc", Block("echoOk", "foo", kRoleNone, true), EchoOkBody());
  EXPECT_EQ(none.status, "HTTP/1.0 200 OK") << none.raw;
  EXPECT_TRUE(none.header.empty()) << none.raw;

  // The prefixes declared only on the Envelope: the block handed over is a
  // document of its own.
  const Answer outer =
      Post("/soap12/test-doc", Block("echoOk", "bar", "", true, "q", /*declare=*/false),
           EchoOkBody(), " xmlns:q=\"" + std::string(kTs) + "\"");
  EXPECT_EQ(outer.status, "HTTP/1.0 200 OK") << outer.raw;
  EXPECT_EQ(outer.header, std::vector<std::string>{ResponseOk("bar")}) << outer.raw;
}

TEST_F(NimbrelHttpTest, AnIndependentClientFindsItsEchoInTheAnswerHeader) {
  if (system("/usr/bin/python3 -c 'import zeep' 2>/dev/null") != 0) {
    GTEST_SKIP() << "python3-zeep is not installed";
  }
  ASSERT_NO_FATAL_FAILURE(StartServers());
  const std::string command = std::string("/usr/bin/python3 ") + QV_ECHO_OK_HEADER_CLIENT +
                              " http://127.0.0.1:" + std::to_string(docPort_) + " 2>&1";
  int status = -1;
  const std::string printed = server_testing::RunCommand(command, &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << printed;
  EXPECT_NE(printed.find("3 checks, 0 failed"), std::string::npos) << printed;
}

TEST_F(NimbrelHttpTest, AnUnknownMandatoryTestBlockIsNotUnderstood) {
  ASSERT_NO_FATAL_FAILURE(StartServers());
  const Answer a = Post("/soap12/test-doc", Block("echoNotOk", "foo", "", true), EchoOkBody());
  EXPECT_NE(a.status.find(" 500 "), std::string::npos) << a.raw;
  EXPECT_NE(a.body.find("MustUnderstand"), std::string::npos) << a.raw;
  ASSERT_EQ(a.header.size(), 1u) << a.raw;
  EXPECT_NE(a.header[0].find("}NotUnderstood"), std::string::npos) << a.header[0];
  EXPECT_NE(a.header[0].find("echoNotOk"), std::string::npos) << a.header[0];
}

TEST_F(NimbrelHttpTest, TheIntermediaryForwardsTheJoinedArgumentsToNodeC) {
  ASSERT_NO_FATAL_FAILURE(StartServers());
  const std::string concat = Block("concatAndForwardEchoOk", "", kRoleB, true);
  const std::string arg1 = Block("concatAndForwardEchoOkArg1", "Hello", kRoleB, true);
  const std::string arg2 = Block("concatAndForwardEchoOkArg2", "World", kRoleB, true);
  const Answer both = Post("/soap12/test-intermediary", concat + arg1 + arg2, EchoOkBody());
  EXPECT_EQ(both.status, "HTTP/1.0 200 OK") << both.raw;
  EXPECT_EQ(both.header, std::vector<std::string>{ResponseOk("HelloWorld")}) << both.raw;

  const Answer half = Post("/soap12/test-intermediary", concat + arg1, EchoOkBody());
  EXPECT_EQ(half.status, "HTTP/1.0 200 OK") << half.raw;
  EXPECT_TRUE(half.header.empty()) << half.raw;
}

TEST_F(NimbrelHttpTest, TheNextHopGetsTheUpperCasedEchoString) {
  net::testing::LoopbackPeer hop;
  ASSERT_NO_FATAL_FAILURE(StartServers(hop.port()));
  std::string captured;
  const std::string answer = "<?xml version=\"1.0\"?><env:Envelope xmlns:env=\"" +
                             std::string(kSoap12) + "\"><env:Body/></env:Envelope>";
  hop.Serve([&](net::testing::PeerConnection& c) {
    const std::string head = c.ReadHead();
    captured = c.ReadAnnouncedBody(head);
    c.Write("HTTP/1.0 200 OK\r\nContent-Type: application/soap+xml\r\nContent-Length: " +
            std::to_string(answer.size()) + "\r\n\r\n" + answer);
  });
  const Answer a =
      Post("/soap12/test-intermediary", "",
           "<echoString xmlns=\"http://soapinterop.org/\"><inputString>Mixed text</inputString>"
           "</echoString>");
  hop.Join();
  EXPECT_EQ(a.status, "HTTP/1.0 200 OK") << a.raw;
  const Parsed forwarded(captured);
  ASSERT_NE(forwarded.Body(), nullptr) << captured;
  EXPECT_EQ(Describe(*forwarded.Body()),
            "{" + std::string(kSoap12) +
                "}Body{{http://soapinterop.org/}echoString{{http://soapinterop.org/}"
                "inputString(MIXED TEXT)}}")
      << captured;
}

}  // namespace
}  // namespace testsvc_e2e
