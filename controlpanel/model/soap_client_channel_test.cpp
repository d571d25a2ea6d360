#include "controlpanel/model/soap_client_channel.h"

#include <gtest/gtest.h>

#include <string>

#include "client/soap_proxy.h"
#include "client/testing/message_testing.h"
#include "platform/com/variant.h"
#include "platform/net/testing/loopback_peer.h"

namespace controlpanel {
namespace {

const std::string kAnswer =
    "<?xml version=\"1.0\"?><SOAP-ENV:Envelope "
    "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><SOAP-ENV:Body>"
    "<m:GetServerStatsResponse xmlns:m=\"urn:quorvel:QVSOAPSvrMgr\">"
    "<Result xsi:type=\"xsd:boolean\">true</Result>"
    "<NumConnects xsi:type=\"xsd:int\">7</NumConnects>"
    "</m:GetServerStatsResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>";

// The settings' address wins over the WSDL's, directly or through a proxy;
// the texts of the call are what went over the wire.
TEST(SoapClientChannel, PostsToTheSettingsAddress) {
  const struct {
    const char* name;
    bool use_proxy;
  } cases[] = {{"direct", false}, {"through a proxy", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    net::testing::LoopbackPeer peer;
    std::string head;
    std::string body;
    peer.Serve([&](net::testing::PeerConnection& conn) {
      head = conn.ReadHead();
      body = conn.ReadAnnouncedBody(head);
      conn.Write("HTTP/1.0 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
                 std::to_string(kAnswer.size()) + "\r\n\r\n" + kAnswer);
    });
    client::SoapClient soap(client::ControlPanelProxyProfile(), 5000);
    SoapClientChannel channel(soap);
    ChannelBinding b;
    b.wsdl_url = std::string("file://") + QV_MANAGEMENT_WSDL;
    b.service_name = "QVSOAPSvrMgr";
    b.port_name = "QVSOAPSvrMgrPort";
    b.user_agent = "agent";
    b.path = "/QVSOAPSvrCP";
    if (c.use_proxy) {
      b.use_proxy = true;
      b.proxy_host = "127.0.0.1";
      b.proxy_port = peer.port();
      b.host = "server.example";
      b.port = 8080;
    } else {
      b.host = "127.0.0.1";
      b.port = peer.port();
    }
    ASSERT_TRUE(channel.Bind(b));
    const std::u16string names[] = {u"NumConnects"};
    Variant values[] = {Variant::FromI4(0)};
    Variant result;
    EXPECT_TRUE(channel.Invoke(u"GetServerStats", names, values, 1, result.Receive()));
    peer.Join();
    const std::string request_line =
        c.use_proxy ? "POST http://server.example:8080/QVSOAPSvrCP HTTP/1.0\r\n"
                    : "POST /QVSOAPSvrCP HTTP/1.0\r\n";
    EXPECT_EQ(head.rfind(request_line, 0), 0u) << head;
    const std::string host = c.use_proxy ? "server.example:8080"
                                         : "127.0.0.1:" + std::to_string(peer.port());
    EXPECT_NE(head.find("Host: " + host + "\r\n"), std::string::npos) << head;
    EXPECT_EQ(channel.LastRequest(), body);
    EXPECT_NE(body.find("GetServerStats"), std::string::npos);
    EXPECT_EQ(channel.LastResponse(), kAnswer);
    EXPECT_FALSE(channel.IsFaultResponse());
    EXPECT_EQ(values[0].vt, VT_I4);
    EXPECT_EQ(values[0].lVal, 7);
    channel.Release();
    EXPECT_FALSE(soap.HasReaderForTest());
  }
}

}  // namespace
}  // namespace controlpanel
