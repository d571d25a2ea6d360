// SoapClient against scripted loopback peers, with the real message object,
// WSDL reader and test plug-ins registered into the binary's own registry:
// what is sent, what is never sent, and what a 204 answer leaves.
#include "client/soap_client.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "client/testing/client_testing.h"
#include "client/testing/message_testing.h"
#include "platform/com/variant.h"
#include "platform/net/testing/loopback_peer.h"

namespace client {
namespace {

using net::testing::LoopbackPeer;
using net::testing::PeerConnection;

[[maybe_unused]] auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing::ComponentEnvironment(
        {QV_SOAPSTRUCT_COMPONENT, QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT, QV_TEST_PLUGINS}));

class SoapClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = (std::filesystem::temp_directory_path() / "qvsoapclient.XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  // The test document `name` with its addresses on 127.0.0.1:`port`.
  std::string Wsdl(const std::string& name, const std::string& port) const {
    return testing::CopyWsdl(std::filesystem::path(QV_SERVER_TESTDATA) / name,
                             dir_ / (port + "-" + name),
                             "http://localhost/", "http://127.0.0.1:" + port + "/");
  }
  // Answers every request with 204 and keeps the requests' heads.
  void ServeNoContent(LoopbackPeer& peer, int connections) {
    peer.Serve(
        [this](PeerConnection& c) {
          const std::string head = c.ReadHead();
          const size_t at = head.find("Content-Length: ");
          if (at != std::string::npos) c.ReadExactly(std::stoul(head.substr(at + 16)));
          c.Write("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
          const std::lock_guard<std::mutex> lock(mu_);
          heads_.push_back(head);
        },
        connections);
  }
  std::vector<std::string> Heads() {
    const std::lock_guard<std::mutex> lock(mu_);
    return heads_;
  }

  std::filesystem::path dir_;
  std::mutex mu_;
  std::vector<std::string> heads_;  // Guarded by mu_.
};

TEST_F(SoapClientTest, NoContentAnswerLeavesEverythingAsPassed) {
  LoopbackPeer peer;
  ServeNoContent(peer, 1);
  SoapClient client(DimeProxyProfile(), 10000);
  ASSERT_TRUE(client.Initialize(Wsdl("echo.wsdl", std::to_string(peer.port())), "EchoService",
                                "EchoPort", "", "qv-test", {}, false, false, 0));
  const std::u16string names[] = {u"inputString", u"return"};
  Variant values[2];
  values[0] = Variant::FromText(u"in");
  values[1] = Variant::FromText(u"untouched");
  Variant result = Variant::FromI4(42);
  EXPECT_TRUE(client.Invoke(u"echoString", names, values, 2, &result));
  EXPECT_EQ(client.ProxyForTest().HttpStatus(), 204);
  EXPECT_EQ(testing::Describe(result), "i:42");
  EXPECT_EQ(testing::Describe(values[0]), "s:in");
  EXPECT_EQ(testing::Describe(values[1]), "s:untouched");
  EXPECT_FALSE(client.IsFaultResponse());
  peer.Join();
  ASSERT_EQ(Heads().size(), 1u);
  // The action as the document gives it, quoted as the reader keeps it.
  EXPECT_NE(Heads()[0].find("\r\nSOAPAction: \"urn:qvtest:echo#echoString\"\r\n"),
            std::string::npos)
      << Heads()[0];
}

TEST_F(SoapClientTest, RefusedBeforeAnythingIsSent) {
  LoopbackPeer peer;
  ServeNoContent(peer, 1);
  const std::string port = std::to_string(peer.port());
  const std::u16string names[] = {u"inputString"};
  struct Case {
    const char* name;
    std::string wsdl;
    const char* service;
    const char* port;
    std::vector<std::u16string> handlers;
    const char16_t* method;
  };
  const Case cases[] = {
      {"document-style operation", Wsdl("doc.wsdl", port), "DocService", "DocPort", {}, u"ask"},
      {"unknown operation", Wsdl("echo.wsdl", port), "EchoService", "EchoPort", {}, u"nothing"},
      {"address port 70000", Wsdl("echo.wsdl", "70000"), "EchoService", "EchoPort", {},
       u"echoString"},
      {"address port 0", Wsdl("echo.wsdl", "0"), "EchoService", "EchoPort", {}, u"echoString"},
      {"a request handler that sets a fault", Wsdl("echo.wsdl", port), "EchoService", "EchoPort",
       {u"QvTest.HeaderFail"}, u"echoString"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SoapClient client(DimeProxyProfile(), 10000);
    ASSERT_TRUE(
        client.Initialize(c.wsdl, c.service, c.port, "", "qv-test", c.handlers, false, false, 0));
    Variant values[1];
    values[0] = Variant::FromText(u"in");
    Variant result;
    EXPECT_FALSE(client.Invoke(c.method, names, values, 1, &result));
    // The proxy was never given the request.
    EXPECT_TRUE(client.ProxyForTest().RequestBody().empty());
  }
  EXPECT_EQ(peer.accepted(), 0);
  peer.Stop();
}

TEST_F(SoapClientTest, RequestHandlerAnsweringFalseDoesNotStopTheExchange) {
  LoopbackPeer peer;
  ServeNoContent(peer, 1);
  SoapClient client(DimeProxyProfile(), 10000);
  ASSERT_TRUE(client.Initialize(Wsdl("echo.wsdl", std::to_string(peer.port())), "EchoService",
                                "EchoPort", "", "qv-test",
                                {u"QvTest.HeaderRefuse", u"QvTest.HeaderAccept"}, false, false, 0));
  const std::u16string names[] = {u"inputString"};
  Variant values[1];
  values[0] = Variant::FromText(u"in");
  Variant result;
  EXPECT_TRUE(client.Invoke(u"echoString", names, values, 1, &result));
  peer.Join();
  ASSERT_EQ(Heads().size(), 1u);
  // The refusing handler marked the request; the one after it never ran.
  EXPECT_NE(client.ProxyForTest().RequestBody().find("<refuse"), std::string::npos);
  EXPECT_EQ(client.ProxyForTest().RequestBody().find("<accept"), std::string::npos);
}

TEST_F(SoapClientTest, BadNamesAndASecondBindingLeaveNothingBehind) {
  const std::string wsdl = Wsdl("echo.wsdl", "1");
  const std::string badUtf8[] = {"Echo\xC3", "Echo\xFFService", std::string("Echo\0S", 6)};
  for (const std::string& name : badUtf8) {
    SoapClient client;
    EXPECT_FALSE(client.Initialize(wsdl, name, "EchoPort", "", "", {}, false, false, 0));
    EXPECT_FALSE(client.Initialize(wsdl, "EchoService", name, "", "", {}, false, false, 0));
    EXPECT_FALSE(client.HasReaderForTest());
  }
  SoapClient client;
  ASSERT_TRUE(client.Initialize(wsdl, "EchoService", "EchoPort", "", "", {}, false, false, 0));
  EXPECT_TRUE(client.HasReaderForTest());
  EXPECT_NE(client.MessageForTest(), nullptr);
  // Rebinding to a port the document lacks drops the first binding whole.
  EXPECT_FALSE(client.Initialize(wsdl, "EchoService", "NoPort", "", "", {}, false, false, 0));
  EXPECT_FALSE(client.HasReaderForTest());
  EXPECT_EQ(client.MessageForTest(), nullptr);
  EXPECT_FALSE(client.CreateMessage());
  Variant result;
  EXPECT_FALSE(client.Invoke(u"echoString", nullptr, nullptr, 0, &result));
  EXPECT_FALSE(client.IsFaultResponse());
}

// Rebinding after a failed attempt, as the control panel's Connect does: the
// first reader is released (the sanitizers report a leak otherwise).
TEST_F(SoapClientTest, RebindingWithEitherProfileReleasesTheFirstReader) {
  const std::string wsdl = Wsdl("echo.wsdl", "1");
  for (const ProxyProfile* profile : {&DimeProxyProfile(), &ControlPanelProxyProfile()}) {
    SoapClient client(*profile, 1000);
    ASSERT_TRUE(client.Initialize(wsdl, "EchoService", "EchoPort", "", "", {}, false, false, 0));
    EXPECT_FALSE(client.Initialize(wsdl, "EchoService", "NoPort", "", "", {}, false, false, 0));
    EXPECT_FALSE(client.HasReaderForTest());
    ASSERT_TRUE(client.Initialize(wsdl, "EchoService", "EchoPort", "", "", {}, false, false, 0));
    EXPECT_TRUE(client.HasReaderForTest());
  }
}

// The control panel binds through its own WSDL and then sends to the address
// its settings name; what it shows as the exchange is what went over the wire.
TEST_F(SoapClientTest, OverwrittenEndpointGetsThePostAndTheLastExchangeIsKept) {
  const std::string answer =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
      "<SOAP-ENV:Body><m:echoStringResponse xmlns:m=\"urn:qvtest:echo\">"
      "<return>back</return></m:echoStringResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>";
  struct Case {
    const char* name;
    const char* host;
    int32_t port;  // 0: the peer's
    const char16_t* method;
    bool serialised;  // the request was built before the refusal
  };
  const Case refused[] = {
      {"unknown operation", "localhost", 0, u"nothing", false},
      {"a host holding a CR", "127.0.0.1\r", 0, u"echoString", true},
      {"port 65536", "127.0.0.1", 65536, u"echoString", false},
  };
  constexpr int kCalls = 1 + std::size(refused);
  LoopbackPeer peer;
  std::vector<std::pair<std::string, std::string>> seen;  // head and body of each request
  peer.Serve(
      [&](PeerConnection& c) {
        std::string head = c.ReadHead();
        const size_t at = head.find("Content-Length: ");
        std::string body =
            at == std::string::npos ? "" : c.ReadExactly(std::stoul(head.substr(at + 16)));
        c.Write("HTTP/1.0 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\n\r\n" + answer);
        const std::lock_guard<std::mutex> lock(mu_);
        seen.emplace_back(std::move(head), std::move(body));
      },
      kCalls);
  SoapClient client(ControlPanelProxyProfile(), 10000);
  // The document's own address has nobody listening.
  ASSERT_TRUE(client.Initialize(Wsdl("echo.wsdl", "1"), "EchoService", "EchoPort", "",
                                "qv-test", {}, false, false, 11));
  EXPECT_EQ(client.EndpointPort(), 1);
  EXPECT_EQ(client.EndpointHost(), "127.0.0.1");
  const std::u16string names[] = {u"inputString"};
  Variant values[1];
  values[0] = Variant::FromText(u"sent");
  Variant result;
  const auto call_peer = [&] {
    client.SetEndpointHost("localhost");
    client.SetEndpointPort(peer.port());
    client.SetEndpointPath("/QVSOAPSvrCP");
    EXPECT_TRUE(client.CreateMessage());
    EXPECT_TRUE(client.Invoke(u"echoString", names, values, 1, &result));
  };
  call_peer();
  EXPECT_EQ(testing::Describe(result), "s:back");
  EXPECT_EQ(client.LastResponse(), answer);
  {
    const std::lock_guard<std::mutex> lock(mu_);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first.rfind("POST /QVSOAPSvrCP HTTP/1.0\r\nHost: localhost:" +
                                      std::to_string(peer.port()) + "\r\n",
                                  0),
              0u)
        << seen[0].first;
    EXPECT_EQ(client.LastRequest(), seen[0].second);
    EXPECT_NE(seen[0].second.find("sent"), std::string::npos) << seen[0].second;
  }

  // Refused before posting: nothing of the call before is left to show.
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    values[0] = Variant::FromText(u"sent");
    call_peer();
    ASSERT_NE(client.LastRequest().find("sent"), std::string::npos);
    client.SetEndpointHost(c.host);
    client.SetEndpointPort(c.port == 0 ? peer.port() : c.port);
    ASSERT_TRUE(client.CreateMessage());
    values[0] = Variant::FromText(u"refused");
    EXPECT_FALSE(client.Invoke(c.method, names, values, 1, &result));
    EXPECT_EQ(client.LastRequest().find("sent"), std::string::npos) << client.LastRequest();
    EXPECT_EQ(client.LastRequest().find("refused") != std::string::npos, c.serialised)
        << client.LastRequest();
    EXPECT_EQ(client.LastResponse(), "");
  }
  peer.Join();
  EXPECT_EQ(peer.accepted(), kCalls);
}

}  // namespace
}  // namespace client
