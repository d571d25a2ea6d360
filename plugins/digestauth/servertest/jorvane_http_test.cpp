// The management endpoint behind digest authentication, end to end: a real
// braskel whose endpoint lists jorvane.jorvex2, and jorvane started on demand
// by braskel's first creation, each beside its own configuration.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/jorvex.h"
#include "plugins/digestauth/protocol.h"
#include "server/braskel/testing/braskel_process.h"
#include "server/http/testing/loopback_client.h"
#include "server/http/testing/test_files.h"
#include "xml/codecs.h"

namespace digestauth {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using server_testing::ReadFile;
using server_testing::WriteFile;

constexpr char kRealm[] = "Mgmt Realm";
constexpr char kUser[] = "admin";
constexpr char kPassword[] = "s3cret";
constexpr char kMgmtNs[] = "urn:quorvel:QVSOAPSvrMgr";

struct Reply {
  int status = 0;
  std::string body;
  // The text of the first element `name` (any prefix), "" when there is none.
  std::string Field(const std::string& name) const {
    for (size_t at = body.find(name); at != std::string::npos; at = body.find(name, at + 1)) {
      const size_t open = body.rfind('<', at);
      if (open == std::string::npos || body[at - 1] == '/') continue;
      const std::string_view tag(body.data() + open + 1, at - open - 1);
      if (!tag.empty() && tag.back() != ':') continue;
      const char after = body[at + name.size()];
      if (after != '>' && after != ' ') continue;
      const size_t start = body.find('>', at) + 1;
      return body.substr(start, body.find('<', start) - start);
    }
    return "";
  }
};

bool IsNonce(const std::string& s) {
  return s.size() == 32 && s.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

class JorvaneHttpTest : public server_testing::BraskelProcessTest {
 protected:
  void SetUp() override {
    BraskelProcessTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(WaitUntilClassIsFree(CLSID_jorvex2, 30s)) << "a jorvane of another test still serves";
    for (const char* c :
         {QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT, QV_SOAPSTRUCT_COMPONENT, QV_TEST_PLUGINS,
          QV_PELLASCO_COMPONENT}) {
      ASSERT_EQ(std::system((std::string(QV_REGCOMP) + " -s " + c).c_str()), 0) << c;
    }
    jorvane_ = dir_ / "jorvane";
    fs::copy_file(JORVANE_PATH, jorvane_);
    WriteFile(dir_ / "auth-config.xml",
              authConfig_ ? *authConfig_
                          : std::string("<authConfig><defaultRealm>Default</defaultRealm>") +
                                nonceLife_ + Users());
    if (asService_) {
      ASSERT_EQ(Wait(Spawn(jorvane_, {"-Service"}, std::nullopt), 60s), 0);
      jorvanePid_ = Spawn(jorvane_, {}, std::string(kAuthService));
      ASSERT_TRUE(WaitForEvent(std::string(kAuthService) + ": Service started", 30s));
    } else {
      ASSERT_EQ(Wait(Spawn(jorvane_, {"-RegServer"}, std::nullopt), 60s), 0);
    }

    fs::create_directories(dir_ / "www" / "wsdl");
    fs::copy_file(QV_MANAGEMENT_WSDL, dir_ / "www" / "wsdl" / "QVSOAPSvrCP.wsdl");
    WriteConfig(
        "<listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>"
        "<numWorkThreads>3</numWorkThreads><docBasePath>" +
        (dir_ / "www").string() +
        // With "/*" the operations are reachable by GET as well.
        "</docBasePath><endpointList><endpoint><requestURI>/QVSOAPSvrCP/*</requestURI>"
        "<wsdlDocURL>file://" +
        (dir_ / "www" / "wsdl" / "QVSOAPSvrCP.wsdl").string() +
        "</wsdlDocURL><wsdlService>QVSOAPSvrMgr</wsdlService>"
        "<wsdlPort>QVSOAPSvrMgrPort</wsdlPort>"
        "<bodyProcessingProgId>braskel.braskelmgr2</bodyProcessingProgId>"
        "<headerProcessingProgIds><progId>jorvane.jorvex2</progId></headerProcessingProgIds>"
        "<enabled>true</enabled></endpoint>" +
        EchoEndpoint("/digest", "Echo11Port") + EchoEndpoint("/digest12", "Echo12Port") +
        DocEndpoint("/interopdoc", QV_INTEROPDOC_WSDL, "interopDocPort") +
        DocEndpoint("/interopdoc12", QV_INTEROPDOC12_WSDL, "interopDocPort12") +
        "</endpointList>");
    ASSERT_EQ(Run({"-Service"}), 0);
    port_ = StartService();
    ASSERT_NE(port_, 0);
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      Wait(pid_, 60s);
      pid_ = -1;
    }
    if (jorvanePid_ > 0) {
      kill(jorvanePid_, SIGTERM);
      EXPECT_EQ(Wait(jorvanePid_, 60s), 0);
      EXPECT_TRUE(WaitForEvent(std::string(kAuthService) + ": Service stopped", 0s));
    }
    // An on-demand jorvane ends once braskel's references are gone.
    EXPECT_TRUE(WaitUntilClassIsFree(CLSID_jorvex2, 30s));
    EXPECT_EQ(Wait(Spawn(jorvane_, {"-UnregServer"}, std::nullopt), 60s), 0);
    BraskelProcessTest::TearDown();
  }

  uint16_t StartService() {
    const std::string prefix = std::string(server::kServiceName) + ": Listening on 127.0.0.1:";
    pid_ = Spawn(exe_, {}, std::string(server::kServiceName));
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
      for (const std::string& l : EventLines()) {
        if (l.rfind(prefix, 0) == 0) return static_cast<uint16_t>(std::stoi(l.substr(prefix.size())));
      }
      std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "no listening line";
    return 0;
  }

  Reply Send(const std::string& request) const {
    server_testing::LoopbackClient c(port_);
    EXPECT_TRUE(c.Connected());
    c.Send(request);
    const std::string raw = c.ReadAll(30s);
    EXPECT_FALSE(c.TimedOut());
    Reply r;
    if (raw.size() > 12) r.status = std::atoi(raw.c_str() + 9);
    const size_t body = raw.find("\r\n\r\n");
    if (body != std::string::npos) r.body = raw.substr(body + 4);
    return r;
  }

  // A management call with `header` (a header block or nothing).
  Reply Call(const std::string& op, const std::string& header, const std::string& params = "") {
    const std::string envelope =
        "<?xml version=\"1.0\"?><SOAP-ENV:Envelope "
        "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
        "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">" +
        (header.empty() ? "" : "<SOAP-ENV:Header>" + header + "</SOAP-ENV:Header>") +
        "<SOAP-ENV:Body><m:" + op + " xmlns:m=\"" + kMgmtNs + "\">" + params + "</m:" + op +
        "></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    return Send("POST /QVSOAPSvrCP HTTP/1.0\r\nContent-Type: text/xml; charset=utf-8\r\n"
                "SOAPAction: \"" + std::string(kMgmtNs) + "#" + op + "\"\r\nContent-Length: " +
                std::to_string(envelope.size()) + "\r\n\r\n" + envelope);
  }

  // The test plug-ins' echo behind the digest processor.
  static std::string EchoEndpoint(const std::string& uri, const std::string& port) {
    return "<endpoint><requestURI>" + uri + "</requestURI><wsdlDocURL>file://" + QV_DIGEST_TESTDATA +
           "/digest_echo.wsdl</wsdlDocURL><wsdlService>DigestEchoService</wsdlService><wsdlPort>" +
           port + "</wsdlPort><bodyProcessingProgId>QvTest.Echo</bodyProcessingProgId>"
           "<headerProcessingProgIds><progId>jorvane.jorvex2</progId></headerProcessingProgIds>"
           "<enabled>true</enabled></endpoint>";
  }

  // The document/literal interop service behind the digest processor, under a
  // description that knows nothing of the digest blocks.
  static std::string DocEndpoint(const std::string& uri, const std::string& wsdl,
                                 const std::string& port) {
    return "<endpoint><requestURI>" + uri + "</requestURI><wsdlDocURL>file://" + wsdl +
           "</wsdlDocURL><wsdlService>interopDocSvc</wsdlService><wsdlPort>" + port +
           "</wsdlPort><bodyProcessingProgId>Pellasco2.interop</bodyProcessingProgId>"
           "<headerProcessingProgIds><progId>jorvane.jorvex2</progId></headerProcessingProgIds>"
           "<enabled>true</enabled></endpoint>";
  }

  // A SingleTag document to the interop endpoint of `soap12`'s version, with
  // `header` (a block or nothing) as it stands: no encoding style is added.
  Reply Doc(bool soap12, const std::string& header) {
    const std::string env = soap12 ? "http://www.w3.org/2003/05/soap-envelope"
                                   : "http://schemas.xmlsoap.org/soap/envelope/";
    const std::string envelope =
        "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" + env + "\">" +
        (header.empty() ? "" : "<SOAP-ENV:Header>" + header + "</SOAP-ENV:Header>") +
        "<SOAP-ENV:Body><iop:SingleTag xmlns:iop=\"http://soapinterop.org/\"><iop:SingleTag>abc"
        "</iop:SingleTag></iop:SingleTag></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    return Send(std::string("POST ") + (soap12 ? "/interopdoc12" : "/interopdoc") +
                " HTTP/1.0\r\n" +
                (soap12 ? "Content-Type: application/soap+xml; charset=utf-8\r\n"
                        : "Content-Type: text/xml; charset=utf-8\r\nSOAPAction: \"\"\r\n") +
                "Content-Length: " + std::to_string(envelope.size()) + "\r\n\r\n" + envelope);
  }

  // An echo call on `uri`, SOAP 1.2 or 1.1, with `header` (a block or nothing).
  Reply Echo(const std::string& uri, bool soap12, const std::string& op,
             const std::string& header) {
    const std::string env = soap12 ? "http://www.w3.org/2003/05/soap-envelope"
                                   : "http://schemas.xmlsoap.org/soap/envelope/";
    // SOAP 1.2 takes the encoding style on each block rather than the envelope.
    const std::string encoding =
        std::string(" SOAP-ENV:encodingStyle=\"") +
        (soap12 ? "http://www.w3.org/2003/05/soap-encoding"
                : "http://schemas.xmlsoap.org/soap/encoding/") +
        "\"";
    std::string block = header;
    if (!block.empty()) block.insert(block.find(' '), encoding);
    const std::string envelope =
        "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" + env + "\">" +
        (block.empty() ? "" : "<SOAP-ENV:Header>" + block + "</SOAP-ENV:Header>") +
        "<SOAP-ENV:Body><m:" + op + encoding +
        " xmlns:m=\"urn:qv:digest-echo\"><inputString>hello</inputString></m:" + op +
        "></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    const std::string action = "urn:qv:digest-echo#" + op;
    return Send("POST " + uri + " HTTP/1.0\r\n" +
                (soap12 ? "Content-Type: application/soap+xml; charset=utf-8; action=\"" + action +
                              "\"\r\n"
                        : "Content-Type: text/xml; charset=utf-8\r\nSOAPAction: \"" + action +
                              "\"\r\n") +
                "Content-Length: " + std::to_string(envelope.size()) + "\r\n\r\n" + envelope);
  }

  static std::string Users() {
    return std::string("<soapServices><service name='QVSOAPSvrMgr' realm='") + kRealm +
           "'/><service name='DigestEchoService' realm='" + kRealm +
           "'/><service name='interopDocSvc' realm='" + kRealm +
           "'/></soapServices><authRealms><realm name='" + kRealm + "'><users><user userId='" +
           kUser + "' password='" + kPassword + "'/></users></realm></authRealms></authConfig>";
  }

  static std::string Base64(const Digest& d) {
    std::string out;
    xml::Base64Encode(d.data(), d.size(), out);
    return out;
  }

  // A ClientAuth block for `nonce`, proved with `password` in `realm`.
  static std::string ClientAuth(const std::string& nonce, const std::string& clientNonce,
                                const std::string& realm = kRealm,
                                const std::string& user = kUser,
                                const std::string& password = kPassword) {
    const std::string hash = UserHash(user, realm, password);
    return "<da:ClientAuth xmlns:da=\"urn:quorvel:soap:digest-auth\"><Nonce>" + nonce +
           "</Nonce><Auth>" + Base64(ClientProof(hash, nonce, &clientNonce)) +
           "</Auth><UserID>" + user + "</UserID><Realm>" + realm + "</Realm><ClientNonce>" +
           clientNonce + "</ClientNonce></da:ClientAuth>";
  }

  // The nonce of an unauthenticated answer, checked to be a challenge.
  static std::string ChallengeNonce(const Reply& r, std::string_view status) {
    EXPECT_NE(r.body.find("Challenge"), std::string::npos) << r.body;
    EXPECT_EQ(r.Field("Status"), status) << r.body;
    EXPECT_EQ(r.Field("faultstring").empty() ? r.Field("Text") : r.Field("faultstring"),
              "Authentication failed: missing, malformed, or invalid credentials.")
        << r.body;
    const std::string nonce = r.Field("Nonce");
    EXPECT_TRUE(IsNonce(nonce)) << r.body;
    return nonce;
  }

  static constexpr char kAuthService[] = "Quorvel SOAP Authentication Service";
  bool asService_ = false;
  std::optional<std::string> authConfig_;  // the file's text, when not the usual
  std::string nonceLife_;                  // a nonceLife element, or nothing
  pid_t jorvanePid_ = -1;
  fs::path jorvane_;
  uint16_t port_ = 0;
};

TEST_F(JorvaneHttpTest, ChallengeThenAChainOfAuthenticatedCalls) {
  const Reply first = Call("GetServerStats", "");
  EXPECT_EQ(first.status, 500);
  EXPECT_EQ(first.Field("faultcode").substr(first.Field("faultcode").find(':') + 1), "Client");
  EXPECT_EQ(first.Field("Realm"), kRealm);
  std::string nonce = ChallengeNonce(first, kStatusNoCredentials);

  const std::string firstNonce = nonce;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const std::string clientNonce = "cn-" + std::to_string(i);
    const Reply r = Call(i == 1 ? "GetServerParams" : "GetServerStats", ClientAuth(nonce, clientNonce));
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.Field("Status"), kStatusAuthenticated);
    EXPECT_EQ(r.Field("ClientNonce"), clientNonce);
    const std::string next = r.Field("Nonce");
    ASSERT_TRUE(IsNonce(next)) << r.body;
    EXPECT_NE(next, nonce);
    EXPECT_EQ(r.Field("ServerAuth"),
              Base64(ServerProof(UserHash(kUser, kRealm, kPassword), next, clientNonce)));
    nonce = next;
  }

  // Each nonce answers once.
  ChallengeNonce(Call("GetServerStats", ClientAuth(firstNonce, "again")), kStatusExpiredNonce);

  // Realms and users are exact; a wrong password proves nothing.
  const struct {
    const char* name;
    std::string realm, user, password;
    std::string_view status;
  } wrong[] = {
      {"realm in other case", "mgmt realm", kUser, kPassword, kStatusInvalidRealm},
      {"unknown user", kRealm, "nobody", kPassword, kStatusInvalidUser},
      {"wrong password", kRealm, kUser, "guess", kStatusInvalidResponse},
  };
  for (const auto& w : wrong) {
    SCOPED_TRACE(w.name);
    const Reply r = Call("GetServerStats", ClientAuth(nonce, "x", w.realm, w.user, w.password));
    EXPECT_EQ(r.status, 500);
    nonce = ChallengeNonce(r, w.status);
  }
}

// An InitChallenge asks for a nonce ahead of the first call: the answer is
// the auth fault with a NextChallenge the client can verify, and its nonce
// opens the chain.
TEST_F(JorvaneHttpTest, InitChallengeOpensAChain) {
  const Reply init = Call("GetServerStats",
                          std::string("<da:InitChallenge xmlns:da=\"urn:quorvel:soap:digest-auth\">"
                                      "<UserID>") + kUser + "</UserID><Realm>" + kRealm +
                              "</Realm><ClientNonce>ic</ClientNonce></da:InitChallenge>");
  EXPECT_EQ(init.status, 500) << init.body;
  EXPECT_EQ(init.body.find("TotalRequests"), std::string::npos) << init.body;
  EXPECT_NE(init.body.find("NextChallenge"), std::string::npos) << init.body;
  EXPECT_EQ(init.Field("ClientNonce"), "ic");
  const std::string nonce = init.Field("Nonce");
  ASSERT_TRUE(IsNonce(nonce)) << init.body;
  EXPECT_EQ(init.Field("ServerAuth"),
            Base64(ServerProof(UserHash(kUser, kRealm, kPassword), nonce, "ic")));

  const Reply r = Call("GetServerStats", ClientAuth(nonce, "c"));
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.Field("Status"), kStatusAuthenticated);
}

// A mandatory ClientAuth is understood by the processor; a mandatory block of
// the digest namespace that no processor knows fails the call.
TEST_F(JorvaneHttpTest, MandatoryBlocks) {
  std::string nonce = ChallengeNonce(Call("GetServerStats", ""), kStatusNoCredentials);
  std::string mandatory = ClientAuth(nonce, "m");
  mandatory.insert(mandatory.find(' '), " SOAP-ENV:mustUnderstand=\"1\"");
  const Reply accepted = Call("GetServerStats", mandatory);
  ASSERT_EQ(accepted.status, 200) << accepted.body;
  EXPECT_EQ(accepted.Field("Status"), kStatusAuthenticated);
  nonce = accepted.Field("Nonce");

  const Reply unknown = Call(
      "GetServerStats",
      ClientAuth(nonce, "u") +
          "<da:Unheard SOAP-ENV:mustUnderstand=\"1\" xmlns:da=\"urn:quorvel:soap:digest-auth\">"
          "x</da:Unheard>");
  EXPECT_EQ(unknown.status, 500) << unknown.body;
  EXPECT_EQ(unknown.Field("faultstring"), "Headers: Mandatory header block not understood.")
      << unknown.body;
  EXPECT_EQ(unknown.body.find("TotalRequests"), std::string::npos) << unknown.body;
}

// An independent client that knows only the served description and the
// credentials logs on by itself: it reads the challenge from the first fault,
// proves itself with its own MD5 and verifies the server's proof.
TEST_F(JorvaneHttpTest, SudsClientLogsOnByItself) {
  const std::string python = "/usr/bin/python3";
  if (std::system((python + " -c 'import suds' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "python3-suds is not installed";
  const std::string base = "http://127.0.0.1:" + std::to_string(port_);
  const std::string command = python + " " + QV_DIGEST_SUDS_SCRIPT + " " + base +
                              "/wsdl/QVSOAPSvrCP.wsdl " + base + "/QVSOAPSvrCP " + kUser + " " +
                              kPassword + " 2>&1";
  int status = -1;
  const std::string output = server_testing::RunCommand(command, &status);
  EXPECT_EQ(status, 0) << output;
  for (const std::string& line :
       {std::string("first.faultstring=") +
            "Authentication failed: missing, malformed, or invalid credentials.",
        std::string("challenge.Status=") + std::string(kStatusNoCredentials),
        std::string("challenge.Realm=") + kRealm, std::string("call0.Result=True"),
        std::string("call0.Status=") + std::string(kStatusAuthenticated),
        std::string("call0.ClientNonce=suds-0"), std::string("call0.ServerAuth=verified"),
        std::string("call1.Status=") + std::string(kStatusAuthenticated),
        std::string("call1.ServerAuth=verified")}) {
    EXPECT_NE(output.find(line + "\n"), std::string::npos) << line << "\n" << output;
  }
}

// The echo endpoint in SOAP 1.2: unauthenticated answers are 400 with the
// Sender code, no subcode and the reason in "en".
TEST_F(JorvaneHttpTest, Soap12EchoIsChallengedAsSender) {
  const Reply r = Echo("/digest12", true, "echoString", "");
  EXPECT_EQ(r.status, 400) << r.body;
  EXPECT_EQ(r.Field("Value").substr(r.Field("Value").find(':') + 1), "Sender") << r.body;
  EXPECT_EQ(r.body.find("Subcode"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("xml:lang=\"en\""), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find("hello"), std::string::npos) << r.body;
  EXPECT_EQ(r.Field("Realm"), kRealm);
  ChallengeNonce(r, kStatusNoCredentials);
}

// All endpoints share one nonce store: a chain begun at the management
// endpoint goes on through both echo ports and back, and a verified call
// whose body faults still carries the next challenge in the fault.
TEST_F(JorvaneHttpTest, OneNonceChainAcrossEndpoints) {
  std::string nonce = ChallengeNonce(Call("GetServerStats", ""), kStatusNoCredentials);
  const struct {
    const char* name;
    const char* uri;  // "" for the management endpoint
    bool soap12;
    const char* op;
    int status;
  } steps[] = {
      {"1.2 echo", "/digest12", true, "echoString", 200},
      {"management", "", false, "GetServerStats", 200},
      {"1.1 fault", "/digest", false, "echoFault", 500},
      {"1.2 fault", "/digest12", true, "echoFault", 500},
      {"1.1 echo", "/digest", false, "echoString", 200},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    const auto& s = steps[i];
    SCOPED_TRACE(s.name);
    const std::string clientNonce = "e" + std::to_string(i);
    const std::string auth = ClientAuth(nonce, clientNonce);
    const Reply r = *s.uri ? Echo(s.uri, s.soap12, s.op, auth) : Call(s.op, auth);
    EXPECT_EQ(r.status, s.status) << r.body;
    if (s.status == 200 && *s.uri) {
      EXPECT_EQ(r.Field("return"), "hello") << r.body;
    }
    if (s.status != 200) {
      EXPECT_NE(r.body.find("Fault>"), std::string::npos) << r.body;
    }
    EXPECT_EQ(r.Field("Status"), kStatusAuthenticated) << r.body;
    EXPECT_EQ(r.Field("ClientNonce"), clientNonce);
    const std::string next = r.Field("Nonce");
    ASSERT_TRUE(IsNonce(next)) << r.body;
    EXPECT_EQ(r.Field("ServerAuth"),
              Base64(ServerProof(UserHash(kUser, kRealm, kPassword), next, clientNonce)));
    nonce = next;
  }
}

// A document/literal endpoint whose description lacks the digest schema still
// answers with the challenge, in both versions: the digest blocks are written
// from their own types.
TEST_F(JorvaneHttpTest, DocumentLiteralEndpointIsChallenged) {
  for (const bool soap12 : {false, true}) {
    SCOPED_TRACE(soap12 ? "1.2" : "1.1");
    const Reply r = Doc(soap12, "");
    EXPECT_EQ(r.status, soap12 ? 400 : 500) << r.body;
    EXPECT_EQ(r.body.find("serializing"), std::string::npos) << r.body;
    EXPECT_EQ(r.body.find("SingleTagResponse"), std::string::npos) << r.body;
    EXPECT_EQ(r.Field("Realm"), kRealm) << r.body;
    ChallengeNonce(r, kStatusNoCredentials);
  }
}

// ClientAuth as clients send it: literal (no encoding style in force) or
// encoded, optional or mandatory, on the document/literal endpoints and on
// the management endpoint whose description types the blocks. Each is read
// and taken: the chain goes on, and a failed one is the auth fault with its
// challenge, never the mustUnderstand fault.
TEST_F(JorvaneHttpTest, ClientAuthLiteralOrEncodedOptionalOrMandatory) {
  std::string nonce = ChallengeNonce(Doc(false, ""), kStatusNoCredentials);
  const struct {
    const char* name;
    int version;  // 0: the management endpoint (1.1, encoding set on the Envelope)
    const char* attributes;
  } cases[] = {
      {"1.1 literal", 11, ""},
      {"1.1 literal mandatory", 11, " SOAP-ENV:mustUnderstand=\"1\""},
      {"1.1 encoded mandatory", 11,
       " SOAP-ENV:mustUnderstand=\"1\" SOAP-ENV:encodingStyle=\""
       "http://schemas.xmlsoap.org/soap/encoding/\""},
      {"1.2 literal", 12, ""},
      {"1.2 literal mandatory", 12, " SOAP-ENV:mustUnderstand=\"true\""},
      {"1.2 encoded mandatory", 12,
       " SOAP-ENV:mustUnderstand=\"true\" SOAP-ENV:encodingStyle=\""
       "http://www.w3.org/2003/05/soap-encoding\""},
      {"management literal mandatory", 0,
       " SOAP-ENV:mustUnderstand=\"1\" SOAP-ENV:encodingStyle=\"\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto send = [&](const std::string& block) {
      return c.version == 0 ? Call("GetServerStats", block) : Doc(c.version == 12, block);
    };
    auto withAttributes = [&](std::string block) {
      return block.insert(block.find(' '), c.attributes);
    };
    const Reply r = send(withAttributes(ClientAuth(nonce, c.name)));
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_NE(r.body.find(c.version ? "SingleTagResponse" : "GetServerStatsResponse"),
              std::string::npos)
        << r.body;
    EXPECT_EQ(r.Field("Status"), kStatusAuthenticated) << r.body;
    EXPECT_EQ(r.Field("ClientNonce"), c.name);
    nonce = r.Field("Nonce");
    ASSERT_TRUE(IsNonce(nonce)) << r.body;

    const Reply wrong = send(withAttributes(ClientAuth(nonce, "w", kRealm, kUser, "guess")));
    EXPECT_EQ(wrong.status, c.version == 12 ? 400 : 500) << wrong.body;
    EXPECT_EQ(wrong.body.find("Unhandled"), std::string::npos) << wrong.body;
    nonce = ChallengeNonce(wrong, kStatusInvalidResponse);
  }
}

// jorvane as a service, started before braskel: the same log-on, and a clean
// stop of the service.
class JorvaneServiceHttpTest : public JorvaneHttpTest {
 protected:
  JorvaneServiceHttpTest() { asService_ = true; }
};

TEST_F(JorvaneServiceHttpTest, LogsOnThroughTheRunningService) {
  const Reply first = Call("GetServerStats", "");
  EXPECT_EQ(first.status, 500);
  const std::string nonce = ChallengeNonce(first, kStatusNoCredentials);
  const Reply r = Call("GetServerStats", ClientAuth(nonce, "c"));
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.Field("Status"), kStatusAuthenticated);
}

// The pid of the running copy of jorvane; -1 when there is none.
pid_t FindProcess(const fs::path& exe) {
  for (const auto& e : fs::directory_iterator("/proc")) {
    std::error_code ec;
    if (fs::equivalent(e.path() / "exe", exe, ec)) return std::stoi(e.path().filename().string());
  }
  return -1;
}

// A jorvane that hangs and then dies under a waiting request: braskel answers
// that request with the handler failure instead of hanging, the next request
// starts jorvane again (its nonces are gone) and the retry succeeds.
TEST_F(JorvaneHttpTest, DeadDigestServiceFailsTheRequestAndIsStartedAgain) {
  std::string nonce = ChallengeNonce(Call("GetServerStats", ""), kStatusNoCredentials);
  const pid_t jorvane = FindProcess(jorvane_);
  ASSERT_GT(jorvane, 0);
  ASSERT_EQ(kill(jorvane, SIGSTOP), 0);
  Reply hung;
  std::thread caller([&] { hung = Call("GetServerStats", ClientAuth(nonce, "c1")); });
  std::this_thread::sleep_for(500ms);  // the request is waiting on the stopped process
  ASSERT_EQ(kill(jorvane, SIGKILL), 0);
  caller.join();
  // Killed during the call, the request fails with the handler; killed while
  // it still created the object, the creation starts a new jorvane, which no
  // longer knows the nonce. Either way the client is answered.
  EXPECT_EQ(hung.status, 500) << hung.body;
  if (hung.Field("faultstring") == "Headers: Invocation of header handler failed.") {
    EXPECT_TRUE(WaitUntilClassIsFree(CLSID_jorvex2, 30s));
    nonce = ChallengeNonce(Call("GetServerStats", ClientAuth(nonce, "c2")), kStatusExpiredNonce);
  } else {
    nonce = ChallengeNonce(hung, kStatusExpiredNonce);
  }
  const Reply retry = Call("GetServerStats", ClientAuth(nonce, "c3"));
  EXPECT_EQ(retry.status, 200) << retry.body;
  EXPECT_EQ(retry.Field("Status"), kStatusAuthenticated);
  EXPECT_NE(FindProcess(jorvane_), jorvane);
}

// Clients calling at once, each with its own nonce chain, are all served: the
// calls take turns on jorvane's loop thread and no chain disturbs another.
TEST_F(JorvaneHttpTest, ConcurrentClientsKeepTheirOwnChains) {
  constexpr int kClients = 16, kCalls = 5;
  std::atomic<int> authenticated{0};
  // Started once first: creations racing to start jorvane on demand are
  // not what this shows.
  Call("GetServerStats", "");
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      std::string nonce = Call("GetServerStats", "").Field("Nonce");
      for (int i = 0; i < kCalls; ++i) {
        const Reply r =
            Call("GetServerStats", ClientAuth(nonce, std::to_string(c) + "." + std::to_string(i)));
        if (r.status != 200 || r.Field("Status") != kStatusAuthenticated) return;
        nonce = r.Field("Nonce");
        ++authenticated;
      }
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(authenticated.load(), kClients * kCalls);
}

// Open descriptors of `pid`.
size_t Descriptors(pid_t pid) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e :
       fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    ++n;
  }
  return n;
}

// Freed memory is handed back at once, so what jorvane holds shows in its
// resident size rather than in the sanitizer's quarantine.
class JorvaneSteadyHttpTest : public JorvaneHttpTest {
 protected:
  JorvaneSteadyHttpTest() {
    const char* old = std::getenv("ASAN_OPTIONS");
    if (old) oldAsan_ = old;
    const std::string options =
        (old ? std::string(old) + ":" : std::string()) +
        "quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
  }
  ~JorvaneSteadyHttpTest() override {
    if (oldAsan_) {
      setenv("ASAN_OPTIONS", oldAsan_->c_str(), 1);
    } else {
      unsetenv("ASAN_OPTIONS");
    }
  }

  // `n` authenticated calls along one chain; false at the first that fails.
  bool Calls(int n, std::string* nonce) {
    for (int i = 0; i < n; ++i) {
      const Reply r = Call("GetServerStats", ClientAuth(*nonce, "s" + std::to_string(i)));
      if (r.status != 200 || r.Field("Status") != kStatusAuthenticated) {
        ADD_FAILURE() << "call " << i << ": " << r.body;
        return false;
      }
      *nonce = r.Field("Nonce");
    }
    return true;
  }

  std::optional<std::string> oldAsan_;
};

// Repeated authenticated calls leave jorvane's descriptors and memory where
// the first calls put them: no connection, object or nonce is kept per call.
TEST_F(JorvaneSteadyHttpTest, DescriptorsAndMemoryStayFlat) {
  std::string nonce = ChallengeNonce(Call("GetServerStats", ""), kStatusNoCredentials);
  const pid_t jorvane = FindProcess(jorvane_);
  ASSERT_GT(jorvane, 0);
  ASSERT_TRUE(Calls(100, &nonce));  // warm up pools and caches
  const size_t fdsBefore = Descriptors(jorvane);
  const long kbBefore = server_testing::MemoryKb(jorvane, "VmRSS");
  ASSERT_GT(kbBefore, 0);
  ASSERT_TRUE(Calls(400, &nonce));
  const size_t fdsAfter = Descriptors(jorvane);
  const long kbAfter = server_testing::MemoryKb(jorvane, "VmRSS");
  EXPECT_EQ(FindProcess(jorvane_), jorvane) << "jorvane was replaced during the calls";
  // braskel's last connection may still be closing; a descriptor kept per
  // call would add hundreds.
  EXPECT_LE(fdsAfter, fdsBefore + 2);
  // A leak of 2 kB per call would pass 800 kB.
  EXPECT_LT(kbAfter - kbBefore, 800) << "kB of growth over 400 calls, from " << kbBefore;
  std::printf("jorvane over 400 calls: descriptors %zu -> %zu, VmRSS %ld -> %ld kB\n", fdsBefore,
              fdsAfter, kbBefore, kbAfter);
}

// A flood of challenges past the nonce store's cap (110,000 requests without
// credentials) does not end a logged-on client's chain. Hand-run (minutes of
// load on the sanitizer build): --gtest_also_run_disabled_tests; it prints
// jorvane's resident size before and after the flood. The nonce life outlasts
// the flood, so only eviction could end the chain.
class JorvaneFloodHttpTest : public JorvaneSteadyHttpTest {
 protected:
  JorvaneFloodHttpTest() { nonceLife_ = "<nonceLife>3600</nonceLife>"; }
};

TEST_F(JorvaneFloodHttpTest, DISABLED_ChallengeFloodKeepsTheChainOfALoggedOnClient) {
  std::string nonce = ChallengeNonce(Call("GetServerStats", ""), kStatusNoCredentials);
  ASSERT_TRUE(Calls(1, &nonce));
  const pid_t jorvane = FindProcess(jorvane_);
  ASSERT_GT(jorvane, 0);
  const long kbBefore = server_testing::MemoryKb(jorvane, "VmRSS");
  constexpr int kThreads = 4, kFlood = 110000;
  std::atomic<int> next{0}, challenged{0};
  std::vector<std::thread> flooders;
  for (int t = 0; t < kThreads; ++t) {
    flooders.emplace_back([&] {
      while (next.fetch_add(1) < kFlood) {
        if (IsNonce(Call("GetServerStats", "").Field("Nonce"))) ++challenged;
      }
    });
  }
  for (std::thread& t : flooders) t.join();
  const long kbAfter = server_testing::MemoryKb(jorvane, "VmRSS");
  EXPECT_EQ(challenged.load(), kFlood);
  EXPECT_EQ(FindProcess(jorvane_), jorvane);
  EXPECT_TRUE(Calls(3, &nonce)) << "the chain ended under the flood";
  std::printf("jorvane under %d challenges: VmRSS %ld -> %ld kB\n", kFlood, kbBefore, kbAfter);
}

// A configuration that does not parse leaves the service running with no
// users: every ClientAuth is refused with a new challenge.
class JorvaneBrokenConfigHttpTest : public JorvaneHttpTest {
 protected:
  JorvaneBrokenConfigHttpTest() { authConfig_ = "<authConfig><defaultRealm>R"; }
};

TEST_F(JorvaneBrokenConfigHttpTest, EveryClientAuthFails) {
  std::string nonce = ChallengeNonce(Call("GetServerStats", ""), kStatusNoCredentials);
  for (int i = 0; i < 2; ++i) {
    const Reply r = Call("GetServerStats", ClientAuth(nonce, "c"));
    EXPECT_EQ(r.status, 500) << r.body;
    EXPECT_EQ(r.Field("Realm"), "");  // no default realm was read either
    nonce = ChallengeNonce(r, kStatusInvalidRealm);
  }
}

// A service missing from the service table is guarded by the default realm.
class JorvaneUnlistedServiceHttpTest : public JorvaneHttpTest {
 protected:
  JorvaneUnlistedServiceHttpTest() {
    authConfig_ = std::string(
                      "<authConfig><defaultRealm>Default</defaultRealm><soapServices>"
                      "<service name='Other' realm='") +
                  kRealm +
                  "'/></soapServices><authRealms><realm name='Default'><users><user "
                  "userId='guest' password='pw'/></users></realm></authRealms></authConfig>";
  }
};

TEST_F(JorvaneUnlistedServiceHttpTest, GetsTheDefaultRealm) {
  const Reply first = Call("GetServerStats", "");
  EXPECT_EQ(first.Field("Realm"), "Default") << first.body;
  std::string nonce = ChallengeNonce(first, kStatusNoCredentials);
  // The realm of the other service does not open this one.
  nonce = ChallengeNonce(Call("GetServerStats", ClientAuth(nonce, "c")), kStatusInvalidRealm);
  const Reply r = Call("GetServerStats", ClientAuth(nonce, "c", "Default", "guest", "pw"));
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.Field("Status"), kStatusAuthenticated);
}

// A negative nonce life makes every nonce stale at once: each ClientAuth is
// answered with ExpiredNonce and a new challenge, never with the call.
class JorvaneNegativeNonceLifeHttpTest : public JorvaneHttpTest {
 protected:
  JorvaneNegativeNonceLifeHttpTest() { nonceLife_ = "<nonceLife>-1</nonceLife>"; }
};

TEST_F(JorvaneNegativeNonceLifeHttpTest, EveryClientAuthIsExpired) {
  std::string nonce = ChallengeNonce(Call("GetServerStats", ""), kStatusNoCredentials);
  for (int i = 0; i < 2; ++i) {
    const Reply r = Call("GetServerStats", ClientAuth(nonce, "c"));
    EXPECT_EQ(r.status, 500) << r.body;
    nonce = ChallengeNonce(r, kStatusExpiredNonce);
  }
}

// A GET on the guarded endpoint meets the same challenge as a POST, and a
// change by GET changes nothing.
TEST_F(JorvaneHttpTest, GetIsChallengedAndChangesNothing) {
  const std::string config = ReadFile(dir_ / "brevla-config.xml");
  const Reply stats = Send("GET /QVSOAPSvrCP/GetServerStats HTTP/1.0\r\n\r\n");
  EXPECT_EQ(stats.status, 400) << stats.body;
  EXPECT_NE(stats.body.find("Sender"), std::string::npos) << stats.body;
  EXPECT_EQ(stats.body.find("TotalRequests"), std::string::npos) << stats.body;
  ChallengeNonce(stats, kStatusNoCredentials);

  const Reply set = Send(
      "GET /QVSOAPSvrCP/SetLogSettings?ServerLogPath=%2Ftmp%2Fpwned.log&UserAgentLogPath=x"
      "&SOAPTraceLogPath=y&ServerLogEnabled=true&UserAgentLogEnabled=false"
      "&SOAPTraceLogEnabled=false HTTP/1.0\r\n\r\n");
  EXPECT_EQ(set.status, 400) << set.body;
  ChallengeNonce(set, kStatusNoCredentials);
  EXPECT_EQ(ReadFile(dir_ / "brevla-config.xml"), config);
}

}  // namespace
}  // namespace digestauth
