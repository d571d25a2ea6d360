// The proxy against the braskel program on a loopback port, with the real
// message object, WSDL reader and the test plug-ins' DIME echo: text and DIME
// requests come back as the echo made them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/e2e/braskel_client_fixture.h"
#include "client/soap_proxy.h"
#include "client/testing/message_testing.h"
#include "platform/text/text.h"

namespace client {
namespace {

using testing::Attachment;

constexpr char kSoap11Env[] = "http://schemas.xmlsoap.org/soap/envelope/";

class SoapProxyBraskelTest : public testing::BraskelClientTest {
 protected:
  // Serves the DIME echo on /svc (the tests' SOAP 1.1 document service) and
  // returns the port it reports.
  uint16_t StartEcho() {
    return Start(
        "<endpoint><requestURI>/svc</requestURI>"
        "<wsdlDocURL>file://" QV_SERVER_TESTDATA
        "/doc.wsdl</wsdlDocURL><wsdlService>DocService</wsdlService>"
        "<wsdlPort>DocPort</wsdlPort><bodyProcessingProgId>QvTest.DimeEcho"
        "</bodyProcessingProgId><enabled>true</enabled></endpoint>");
  }
};

std::string Ask(const std::string& text) {
  return std::string("<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"") + kSoap11Env +
         "\"><SOAP-ENV:Body><ask xmlns=\"urn:q\">" + text +
         "</ask></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

// Every byte value, in an order that differs per seed.
std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * (2 * seed + 1) + i / 256) & 0xFF);
  return s;
}

TEST_F(SoapProxyBraskelTest, TextAndDimeEchoesComeBackWhole) {
  const uint16_t port = StartEcho();
  ASSERT_NE(port, 0);
  const std::vector<Attachment> attachments = {
      {u"first", u"application/octet-stream", 1, Pattern(300000, 1), testing::Option(1, "o")},
      {u"\u00e9-second", u"image/png", 1, Pattern(5, 2), ""},
  };
  const struct Case {
    const char* name;
    std::vector<Attachment> attachments;
    bool force_dime;
  } cases[] = {
      {"text", {}, false},
      {"DIME, forced", {}, true},
      {"DIME with attachments", attachments, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<Iquenlin2> message = testing::MessageWith(Ask(c.name));
    for (const Attachment& a : c.attachments) testing::AddRequestAttachment(message.Get(), a);
    SoapProxy proxy(DimeProxyProfile(), 30000);
    bool result = false;
    try {
      result = proxy.Post("\"urn:a\"", true, "127.0.0.1", port, "POST", "/svc", "", "qv-test",
                          message.Get(), 11, c.force_dime);
    } catch (QVSOAPDIMEProxyFault* fault) {
      const std::unique_ptr<QVSOAPDIMEProxyFault> owned(fault);
      ADD_FAILURE() << text::Narrow(owned->Text());
    }
    EXPECT_TRUE(result);
    EXPECT_EQ(proxy.HttpStatus(), 200);
    const std::string echoed =
        "<echo><ask xmlns=\"urn:q\">" + std::string(c.name) + "</ask></echo>";
    EXPECT_NE(proxy.ResponseText().find(echoed), std::string::npos) << proxy.ResponseText();
    EXPECT_EQ(testing::Buffer(message.Get()), proxy.ResponseText());
    EXPECT_EQ(testing::ResponseAttachments(message.Get()), c.attachments);
  }
  StopServer();
}

}  // namespace
}  // namespace client
