// SoapClient against the braskel program on a loopback port, serving the test
// plug-ins' RPC echo over SOAP 1.1 (/echo) and SOAP 1.2 (/echo12), with the
// real message object, WSDL reader and struct values on both sides.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "client/e2e/braskel_client_fixture.h"
#include "client/soap_client.h"
#include "client/testing/client_testing.h"
#include "client/testing/message_testing.h"
#include "platform/com/variant.h"

namespace client {
namespace {

std::string EchoEndpoint(const std::string& path, const std::string& port) {
  return "<endpoint><requestURI>" + path +
         "</requestURI><wsdlDocURL>file://" QV_SERVER_TESTDATA
         "/echo.wsdl</wsdlDocURL><wsdlService>EchoService</wsdlService><wsdlPort>" +
         port +
         "</wsdlPort><bodyProcessingProgId>QvTest.Echo</bodyProcessingProgId>"
         "<enabled>true</enabled></endpoint>";
}

class SoapClientBraskelTest : public testing::BraskelClientTest {
 protected:
  // Starts the server and writes the client's copy of the document, whose
  // addresses name the server's port.
  void StartEcho() {
    const uint16_t port =
        Start(EchoEndpoint("/echo", "EchoPort") + EchoEndpoint("/echo12", "EchoPort12"));
    ASSERT_NE(port, 0);
    wsdl_ = testing::CopyWsdl(std::filesystem::path(QV_SERVER_TESTDATA) / "echo.wsdl",
                              dir_ / "client-echo.wsdl", "http://localhost/",
                              "http://127.0.0.1:" + std::to_string(port) + "/");
  }

  std::string wsdl_;
};

struct Call {
  const char16_t* method;
  std::vector<std::u16string> names;
  std::vector<Variant> values;
};

// Invokes `call` on `client` (after a fresh message object); the values and
// the result, described, or "failed".
std::string CallOnce(SoapClient& client, Call& call) {
  if (!client.CreateMessage()) return "no message";
  Variant result;
  if (!client.Invoke(call.method, call.names.data(), call.values.data(),
                     static_cast<int32_t>(call.names.size()), &result)) {
    return "failed";
  }
  std::string out = "result=" + testing::Describe(result);
  for (size_t i = 0; i < call.names.size(); ++i) {
    out += " " + text::Narrow(call.names[i]) + "=" + testing::Describe(call.values[i]);
  }
  return out;
}

TEST_F(SoapClientBraskelTest, EchoesInBothVersions) {
  StartEcho();
  for (const char* port : {"EchoPort", "EchoPort12"}) {
    SCOPED_TRACE(port);
    // One client serves every call, each with a fresh message object.
    SoapClient client(DimeProxyProfile(), 30000);
    ASSERT_TRUE(client.Initialize(wsdl_, "EchoService", port, "", "qv-test", {}, false, false, 0));
    struct Case {
      Call call;
      std::string expected;
    };
    std::vector<Case> cases;
    {
      Call c{u"echoString", {u"inputString"}, {}};
      c.values.push_back(Variant::FromText(u"h\u00e9llo \U0001D11E"));
      cases.push_back({std::move(c), "result=s:h\xC3\xA9llo \xF0\x9D\x84\x9E inputString=s:h"
                                     "\xC3\xA9llo \xF0\x9D\x84\x9E"});
    }
    {
      Call c{u"echoStruct", {u"inputStruct"}, {}};
      std::vector<std::pair<std::u16string, Variant>> members;
      members.emplace_back(u"varString", Variant::FromText(u"s"));
      members.emplace_back(u"varInt", Variant::FromI4(7));
      c.values.push_back(testing::StructOf(members));
      cases.push_back({std::move(c), "result={varString=s:s,varInt=i:7} "
                                     "inputStruct={varString=s:s,varInt=i:7}"});
    }
    {
      Call c{u"echoStringArray", {u"inputStringArray"}, {}};
      c.values.push_back(testing::StringArray({u"a", u"\u00fc", u""}));
      cases.push_back({std::move(c), "result=[s:a,s:\xC3\xBC,s:] inputStringArray=[s:a,s:\xC3\xBC,s:]"});
    }
    {
      // total is in and out: updated in place.
      Call c{u"addTo", {u"delta", u"total"}, {}};
      c.values.push_back(Variant::FromI4(5));
      c.values.push_back(Variant::FromI4(10));
      cases.push_back({std::move(c), "result=i:15 delta=i:5 total=i:15"});
    }
    {
      // No input parts: nothing is sent, yet every value of an output's name
      // receives it.
      Call c{u"twoOuts", {u"a", u"a", u"b"}, {}};
      for (int i = 0; i < 3; ++i) c.values.push_back(Variant::FromText(u"x"));
      cases.push_back({std::move(c), "result=empty a=s:A a=s:A b=s:B"});
    }
    for (Case& c : cases) {
      SCOPED_TRACE(text::Narrow(c.call.method));
      EXPECT_EQ(CallOnce(client, c.call), c.expected) << client.ProxyForTest().ResponseText();
      EXPECT_FALSE(client.IsFaultResponse());
      EXPECT_EQ(client.ProxyForTest().HttpStatus(), 200);
    }
  }
  StopServer();
}

TEST_F(SoapClientBraskelTest, FaultsAndVersionMismatch) {
  StartEcho();
  struct Case {
    const char* port;
    int version;
    bool invoked;
    int status;
    std::string fault;  // code|text
  };
  const Case cases[] = {
      // The service's own failure is the server's, not the client's.
      {"EchoPort", 0, true, 500, "Server|Body: Method invocation failed."},
      {"EchoPort12", 0, true, 500, "Receiver|Body: Method invocation failed."},
      // The SOAP 1.1 endpoint answers a SOAP 1.2 request in its own version.
      {"EchoPort", 12, false, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.port) + " " + std::to_string(c.version));
    SoapClient client(DimeProxyProfile(), 30000);
    ASSERT_TRUE(
        client.Initialize(wsdl_, "EchoService", c.port, "", "qv-test", {}, false, false, c.version));
    const std::u16string names[] = {u"inputString"};
    Variant values[1];
    values[0] = Variant::FromText(u"boom");
    Variant result;
    ASSERT_EQ(client.Invoke(u"echoFault", names, values, 1, &result), c.invoked);
    if (!c.invoked) continue;
    EXPECT_EQ(client.ProxyForTest().HttpStatus(), c.status);
    ASSERT_TRUE(client.IsFaultResponse());
    EXPECT_EQ(testing::FaultText(client.MessageForTest()), c.fault);
    EXPECT_EQ(testing::Describe(result), "empty");
  }
  StopServer();
}

}  // namespace
}  // namespace client
