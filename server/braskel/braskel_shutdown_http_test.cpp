// The braskel program against a WSDL host that answers at once and then
// drips its document a byte at a time: the request ends by the load's
// deadline, and SIGTERM ends the program at once while a load drips.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/net/testing/loopback_peer.h"
#include "server/braskel/testing/braskel_instances.h"
#include "server/http/testing/loopback_client.h"

namespace server {
namespace {

using namespace std::chrono_literals;
using net::testing::LoopbackPeer;
using net::testing::PeerConnection;
using server_testing::LoopbackClient;

std::string Request() {
  const std::string body =
      "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="
      "\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body><ask xmlns=\"urn:q\">x</ask>"
      "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
  return "POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: \"urn:a\"\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string DripEndpoint(uint16_t port) {
  return "<endpoint><requestURI>/svc</requestURI><wsdlDocURL>http://127.0.0.1:" +
         std::to_string(port) +
         "/drip.wsdl</wsdlDocURL><wsdlService>S</wsdlService><wsdlPort>P</wsdlPort>"
         "<bodyProcessingProgId>QvTest.Doc</bodyProcessingProgId><enabled>true</enabled>"
         "</endpoint>";
}

// Answers 200 with a long document, one byte every 100 ms for about a
// minute, unless the reader goes away; counts the loads that reached it.
void Drip(LoopbackPeer& host, std::atomic<int>& loads) {
  host.Serve([&loads](PeerConnection& c) {
    c.ReadHead();
    ++loads;
    if (!c.Write("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n<")) return;
    for (int i = 0; i < 600 && c.Write(" "); ++i) c.Pause(100);
  });
}

class BraskelShutdownHttpTest : public server_testing::BraskelInstancesTest {
 protected:
  BraskelShutdownHttpTest()
      : BraskelInstancesTest(QV_REGCOMP, {QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT,
                                          QV_SOAPSTRUCT_COMPONENT, QV_TEST_PLUGINS}) {}
};

TEST_F(BraskelShutdownHttpTest, DrippingWsdlHostIsCutOffByTheLoadsDeadline) {
  LoopbackPeer host;
  std::atomic<int> loads{0};
  Drip(host, loads);
  const Instance& server =
      Start("server", DripEndpoint(host.port()), {"QUORVEL_TEST_WSDL_TIMEOUT_MS=2000"});
  ASSERT_NE(server.port, 0);
  const auto asked = std::chrono::steady_clock::now();
  LoopbackClient c(server.port);
  ASSERT_TRUE(c.Send(Request()));
  const std::string reply = c.ReadAll(20s);
  EXPECT_FALSE(c.TimedOut());
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 8s);
  EXPECT_EQ(reply.substr(0, reply.find("\r\n")), "HTTP/1.0 500 Internal Server Error") << reply;
  EXPECT_EQ(loads.load(), 1);
}

TEST_F(BraskelShutdownHttpTest, SigtermEndsTheProgramWhileAWsdlLoadDrips) {
  LoopbackPeer host;
  std::atomic<int> loads{0};
  Drip(host, loads);
  Instance& server = Start("server", DripEndpoint(host.port()));  // the 30 s load deadline
  ASSERT_NE(server.port, 0);
  LoopbackClient c(server.port);
  ASSERT_TRUE(c.Send(Request()));
  for (int i = 0; i < 100 && loads.load() == 0; ++i) std::this_thread::sleep_for(20ms);
  ASSERT_EQ(loads.load(), 1);
  std::this_thread::sleep_for(300ms);  // the load is well into the drip

  const auto stopped = std::chrono::steady_clock::now();
  kill(server.pid, SIGTERM);
  EXPECT_EQ(Wait(server.pid, 20s), 0);
  server.pid = -1;
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 3s);
}

}  // namespace
}  // namespace server
