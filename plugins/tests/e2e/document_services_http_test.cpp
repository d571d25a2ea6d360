// The document service and the SOAP 1.2 test service behind a running
// braskel: requests written by hand, answers compared as element trees.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/text/text.h"
#include "plugins/tests/e2e/service_client.h"
#include "server/http/testing/test_files.h"
#include "xml/namespaces.h"

namespace testsvc_e2e {
namespace {

constexpr char kIop[] = "http://soapinterop.org/";
constexpr char kTs[] = "http://example.org/ts-tests";

// The Body of an answer as Describe writes it; "<unparsed>" when the answer
// is no envelope.
std::string BodyOf(const Reply& reply) {
  const Parsed parsed(reply.Body());
  const xml::XmlElement* body = parsed.Body();
  return body ? Describe(*body) : "<unparsed> " + reply.raw;
}

std::string Body(const char* envelope, const std::string& content = "") {
  return "{" + std::string(envelope) + "}Body" + (content.empty() ? "" : "{" + content + "}");
}

// ^[0-2][0-9]:[0-5][0-9]:[0-6][0-9]Z$
bool IsTimeOfDay(const std::string& s) {
  static constexpr char kHigh[] = "29:59:69Z";
  if (s.size() != 9) return false;
  for (size_t i = 0; i < 9; ++i) {
    if (kHigh[i] == ':' || kHigh[i] == 'Z') {
      if (s[i] != kHigh[i]) return false;
    } else if (s[i] < '0' || s[i] > kHigh[i]) {
      return false;
    }
  }
  return true;
}

struct SoapFault {
  std::string code;  // the local part of Code/Value
  std::string reason;
  std::string lang;
};

// The SOAP 1.2 fault of an answer.
SoapFault FaultOf(const Reply& reply) {
  const Parsed parsed(reply.Body());
  const xml::XmlElement* body = parsed.Body();
  const std::u16string env = text::Widen(kSoap12);
  const xml::XmlElement* fault = body ? body->FindChild(u"Fault", env) : nullptr;
  if (!fault) return {"<no fault> " + reply.raw, "", ""};
  SoapFault out;
  if (const xml::XmlElement* code = fault->FindChild(u"Code", env)) {
    if (const xml::XmlElement* value = code->FindChild(u"Value", env)) {
      const std::string v = text::Narrow(value->GetText());
      out.code = v.substr(v.find(':') + 1);
    }
  }
  if (const xml::XmlElement* reason = fault->FindChild(u"Reason", env)) {
    if (const xml::XmlElement* t = reason->FindChild(u"Text", env)) {
      out.reason = text::Narrow(t->GetText());
      std::u16string lang;
      t->GetAttributeValue(xml::kXmlNamespace, u"lang", &lang);
      out.lang = text::Narrow(lang);
    }
  }
  return out;
}

class DocumentServicesTest : public ServicesTest {};

TEST_F(DocumentServicesTest, InteropDocumentsAreEchoedUnderBothVersions) {
  StartServer();
  ASSERT_NE(port_, 0);
  const std::string iop = std::string(" xmlns:iop=\"") + kIop + "\"";
  const std::string single = "{" + std::string(kIop) + "}SingleTag";
  struct Case {
    const char* what;
    std::string content;
    std::string answer;    // the Body's content; empty for an empty Body
    std::string declared;  // a start tag the answer holds as written
  } cases[] = {
      {"single tag", "<iop:SingleTag" + iop + "><iop:SingleTag>abc</iop:SingleTag></iop:SingleTag>",
       single + "Response{" + single + "(abc)}",
       "<iop:SingleTagResponse xmlns:iop=\"http://soapinterop.org/\">"},
      {"single tag without the inner element", "<iop:SingleTag" + iop + "/>",
       single + "Response{" + single + "}", ""},
      {"simple document",
       "<SimpleDocument xmlns=\"http://soapinterop.org/\"><SimpleDocument>some &amp; text"
       "</SimpleDocument></SimpleDocument>",
       "{" + std::string(kIop) + "}SimpleDocumentResponse{{" + kIop +
           "}SimpleDocument(some & text)}",
       "<iop:SimpleDocumentResponse xmlns:iop=\"http://soapinterop.org/\">"},
      {"complex document without the inner element", "<iop:ComplexDocument" + iop + "/>",
       "{" + std::string(kIop) + "}ComplexDocumentResponse", ""},
      {"single tag in another namespace",
       "<x:SingleTag xmlns:x=\"http://soapinterop.org\"><x:SingleTag>abc</x:SingleTag>"
       "</x:SingleTag>",
       "", ""},
      {"single tag below the body's child",
       "<w xmlns=\"urn:w\"><iop:SingleTag" + iop +
           "><iop:SingleTag>abc</iop:SingleTag></iop:SingleTag></w>",
       "", ""},
  };
  for (int version : {11, 12}) {
    const char* env = version == 11 ? kSoap11 : kSoap12;
    const std::string path = version == 11 ? "/interopdoc" : "/interopdoc12";
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(version) + " " + c.what);
      const Reply reply = Soap(version, path, c.content);
      EXPECT_EQ(reply.StatusLine(), "HTTP/1.0 200 OK") << reply.raw;
      EXPECT_EQ(BodyOf(reply), Body(env, c.answer));
      if (!c.declared.empty()) {
        EXPECT_NE(reply.Body().find(c.declared), std::string::npos) << reply.raw;
      }
    }
  }
}

// A complex document whose prefixes are declared only on the Envelope comes
// back whole, every prefix it uses still declared.
TEST_F(DocumentServicesTest, ComplexDocumentReturnsWhole) {
  StartServer();
  ASSERT_NE(port_, 0);
  const std::string declarations =
      std::string(" xmlns:iop=\"") + kIop + "\" xmlns:a=\"urn:a\" xmlns:b=\"urn:b\"";
  const std::string content =
      "<iop:ComplexDocument><iop:ComplexDocument a:kind=\"x&#9;y\" plain=\"1\">"
      "<a:part b:n=\"2\">one<b:leaf>deep</b:leaf></a:part><a:part/>"
      "<iop:tail>t</iop:tail></iop:ComplexDocument></iop:ComplexDocument>";
  const std::string inner =
      "{" + std::string(kIop) + "}ComplexDocument {}plain=1 {urn:a}kind=x\ty{" +
      "{urn:a}part {urn:b}n=2(one){{urn:b}leaf(deep)}{urn:a}part{" + kIop + "}tail(t)}";
  for (int version : {11, 12}) {
    SCOPED_TRACE(version);
    const char* env = version == 11 ? kSoap11 : kSoap12;
    const Reply reply = Post(version == 11 ? "/interopdoc" : "/interopdoc12",
                             version == 11 ? "text/xml" : "application/soap+xml",
                             Envelope(version, content, declarations), "\"\"");
    EXPECT_EQ(reply.StatusLine(), "HTTP/1.0 200 OK") << reply.raw;
    const std::string want =
        Body(env, "{" + std::string(kIop) + "}ComplexDocumentResponse{" + inner + "}");
    EXPECT_EQ(BodyOf(reply), want);
  }
}

TEST_F(DocumentServicesTest, Soap12TestServicePostAnswersAndFaults) {
  StartServer();
  ASSERT_NE(port_, 0);
  const std::string ts = std::string(" xmlns:ts=\"") + kTs + "\"";
  const std::string iop = std::string(" xmlns:iop=\"") + kIop + "\"";
  const std::string ok = Body(kSoap12, "{" + std::string(kTs) + "}responseOk(abc)");
  auto echo = [&](const std::string& attribute) {
    return "<ts:echoOk" + ts + attribute + ">abc</ts:echoOk>";
  };
  struct Case {
    const char* what;
    std::string path;
    std::string content;
    std::string status;
    std::string body;  // the answer's Body, when it is no fault
    SoapFault fault;
  } cases[] = {
      {"echoOk", "/soap12/test-doc", echo(""), "200 OK", ok, {}},
      {"SOAP 1.2 encoding",
       "/soap12/test-doc",
       echo(" env:encodingStyle=\"http://www.w3.org/2003/05/soap-encoding\""),
       "200 OK",
       ok,
       {}},
      {"encoding none",
       "/soap12/test-doc",
       echo(" env:encodingStyle=\"http://www.w3.org/2003/05/soap-envelope/encoding/none\""),
       "200 OK",
       ok,
       {}},
      {"empty encoding style",
       "/soap12/test-doc",
       echo(" env:encodingStyle=\"\""),
       "200 OK",
       ok,
       {}},
      {"SOAP 1.1 encoding",
       "/soap12/test-doc",
       echo(" env:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\""),
       "500 Internal Server Error",
       "",
       {"DataEncodingUnknown", "Encountered unsupported SOAP encoding style.", "en"}},
      {"unprefixed encoding style",
       "/soap12/test-doc",
       echo(" encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\""),
       "200 OK",
       ok,
       {}},
      {"echoOk in the interop namespace",
       "/soap12/test-doc",
       "<iop:echoOk" + iop + ">abc</iop:echoOk>",
       "200 OK",
       Body(kSoap12),
       {}},
      {"echoOk beside echoSenderFault",
       "/soap12/test-doc",
       "<iop:echoSenderFault" + iop + "/>" + echo(""),
       "200 OK",
       ok,
       {}},
      {"echoSenderFault",
       "/soap12/test-doc",
       "<iop:echoSenderFault" + iop + "/>",
       "400 Bad Request",
       "",
       {"Sender", "This is a Sender fault.", "en"}},
      {"echoReceiverFault",
       "/soap12/test-doc",
       "<iop:echoReceiverFault" + iop + "/>",
       "500 Internal Server Error",
       "",
       {"Receiver", "This is a Receiver fault.", "en"}},
      {"extra path",
       "/soap12/test-doc/x",
       echo(""),
       "400 Bad Request",
       "",
       {"Sender", "Resource '/x' not available (HTTP Method: POST).", "en"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Reply reply = Soap(12, c.path, c.content);
    EXPECT_EQ(reply.StatusLine(), "HTTP/1.0 " + c.status) << reply.raw;
    if (!c.body.empty()) {
      EXPECT_EQ(BodyOf(reply), c.body);
    } else {
      const SoapFault f = FaultOf(reply);
      EXPECT_EQ(f.code, c.fault.code);
      EXPECT_EQ(f.reason, c.fault.reason);
      EXPECT_EQ(f.lang, c.fault.lang);
    }
  }
}

TEST_F(DocumentServicesTest, Soap12TestServiceGet) {
  StartServer();
  ASSERT_NE(port_, 0);
  Reply reply = Get("/soap12/test-doc/getTime?x=1");
  EXPECT_EQ(reply.StatusLine(), "HTTP/1.0 200 OK") << reply.raw;
  {
    const Parsed parsed(reply.Body());
    const xml::XmlElement* body = parsed.Body();
    ASSERT_NE(body, nullptr) << reply.raw;
    ASSERT_EQ(body->GetChildCount(), 1u) << reply.raw;
    const xml::XmlElement& time = *body->GetChildList()[0];
    EXPECT_EQ(time.GetNamespaceURI(), text::Widen(kIop));
    EXPECT_EQ(time.GetLocalName(), u"time");
    EXPECT_TRUE(IsTimeOfDay(text::Narrow(time.GetText()))) << reply.raw;
  }

  struct Case {
    std::string target;
    std::string reason;
  } cases[] = {
      {"/soap12/test-doc/gettime", "Resource '/gettime' not available (HTTP Method: GET)."},
      {"/soap12/test-doc/getTime/x", "Resource '/getTime/x' not available (HTTP Method: GET)."},
      // The server decodes the path: the control character cannot travel in
      // XML and is replaced.
      {"/soap12/test-doc/%01x", "Resource '/\xEF\xBF\xBDx' not available (HTTP Method: GET)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    reply = Get(c.target);
    EXPECT_EQ(reply.StatusLine(), "HTTP/1.0 400 Bad Request") << reply.raw;
    const SoapFault f = FaultOf(reply);
    EXPECT_EQ(f.code, "Sender");
    EXPECT_EQ(f.reason, c.reason);
  }
}

// suds and zeep, each given only the descriptions the server serves, call
// the interop documents and the SOAP 1.2 test service.
TEST_F(DocumentServicesTest, IndependentClientsGetTheirValuesBack) {
  if (system("/usr/bin/python3 -c 'import suds, zeep' 2>/dev/null") != 0) {
    GTEST_SKIP() << "python3-suds or python3-zeep is not installed";
  }
  StartServer();
  ASSERT_NE(port_, 0);
  const std::string command = std::string("/usr/bin/python3 ") + QV_INTEROP_CLIENTS +
                              " http://127.0.0.1:" + std::to_string(port_) + " 2>&1";
  int status = -1;
  const std::string printed = server_testing::RunCommand(command, &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << printed;
  EXPECT_NE(printed.find("8 checks, 0 failed"), std::string::npos) << printed;
}

}  // namespace
}  // namespace testsvc_e2e
