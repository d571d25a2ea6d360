// The real server core with the real message object and WSDL reader,
// registered into a private registry beside the test plug-ins, answering
// SOAP requests over HTTP on a loopback port.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/registry/testing/temp_registry.h"
#include "server/http/request_log.h"
#include "server/http/server_core.h"
#include "server/soap/soap_post.h"
#include "server/http/testing/loopback_client.h"
#include "server/http/testing/test_files.h"
#include "server/soap/wsdl_cache.h"
#include "xml/xml_parser.h"

namespace server {
namespace {

constexpr char kSoap11Env[] = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr char kSoap12Env[] = "http://www.w3.org/2003/05/soap-envelope";
constexpr char kEchoAction[] = "\"urn:qvtest:echo#echoString\"";

class TraceCapture final : public RequestLogger {
 public:
  void LogRequest(const RequestRecord&) override {}
  void WriteTraceRecord(std::string_view record) override {
    std::lock_guard<std::mutex> lock(mu);
    records.emplace_back(record);
  }
  void RotateLogs() override {}
  std::mutex mu;
  std::vector<std::string> records;
};

std::string Envelope(const char* ns, const std::string& header, const std::string& body) {
  std::string text =
      std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><E:Envelope xmlns:E=\"") + ns +
      "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"" +
      " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">";
  if (!header.empty()) text += "<E:Header>" + header + "</E:Header>";
  return text + "<E:Body>" + body + "</E:Body></E:Envelope>";
}

// An rpc/encoded call of the echo service with its one parameter's XML.
std::string EchoCall(const char* ns, const std::string& method, const std::string& param) {
  std::string body = "<m:" + method + " xmlns:m=\"urn:qvtest:echo\"";
  if (std::string(ns) == kSoap11Env) {
    body += " E:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"";
  }
  return Envelope(ns, "", body + ">" + param + "</m:" + method + ">");
}

std::string EchoStringCall(const char* ns, const std::string& value) {
  return EchoCall(ns, "echoString",
                  "<inputString xsi:type=\"xsd:string\">" + value + "</inputString>");
}

struct Reply {
  std::string line, body;
};

class SoapE2eHttpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    registry_ = new registry::testing::TempRegistry();
    registered_ = true;
    for (const char* component :
         {QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT, QV_SOAPSTRUCT_COMPONENT, QV_TEST_PLUGINS}) {
      const std::string command = std::string(QV_REGCOMP) + " -s " + component + " 2>/dev/null";
      const int status = system(command.c_str());
      registered_ = registered_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
  }
  static void TearDownTestSuite() {
    delete registry_;
    registry_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(registered_);
    cache_ = std::make_unique<WsdlCache>(store_.Lock(), 4, [](const std::string&) {});
    dispatch_ = std::make_unique<SoapPostDispatch>(*cache_);
  }
  void TearDown() override { core_.reset(); }

  // Every endpoint has a service description: the message is set up from the
  // port's binding, which must be of the request's SOAP version.
  void Start(std::u16string body, std::vector<std::u16string> processors = {},
             std::u16string port = u"EchoPort", bool loopback = false) {
    core_.reset();
    cache_->Flush();
    EndpointInfo endpoint;
    endpoint.requestURI = "/svc";
    endpoint.enabled = true;
    endpoint.bodyProcessingProgId = std::move(body);
    endpoint.headerProcessingProgIds = std::move(processors);
    if (loopback) {  // an intermediary that answers with the processed request
      endpoint.nextHopURL = u"http://127.0.0.1:1/never";
      endpoint.enableLoopback = true;
    }
    const bool echo = port.starts_with(u"Echo");
    endpoint.wsdlDocURL =
        std::string("file://") + QV_SERVER_TESTDATA + (echo ? "/echo.wsdl" : "/doc.wsdl");
    endpoint.wsdlService = echo ? u"EchoService" : u"DocService";
    endpoint.wsdlPort = std::move(port);
    ConfigSnapshot config;
    config.logs.enable_trace_log = true;
    config.docBasePath = QV_SERVER_TESTDATA;  // serves the WSDL documents
    config.mimeMap = BuiltInMimeMap();
    config.endpoints["/svc"] = std::move(endpoint);
    {
      std::lock_guard<std::mutex> lock(store_.Lock());
      store_.Publish(std::make_shared<const ConfigSnapshot>(std::move(config)));
    }
    ServerSettings settings;
    settings.listenAddress = "127.0.0.1";
    settings.listenPort = 0;
    settings.numWorkThreads = 2;
    settings.maxClients = 4;
    core_ = std::make_unique<ServerCore>(settings, store_, &trace_, [](const std::string&) {});
    core_->SetSoapDispatch(dispatch_.get());
    core_->SetWsdlCache(cache_.get());
    ProtocolInfo tcp;
    tcp.guaranteedDelivery = true;
    tcp.guaranteedOrder = true;
    tcp.addressFamily = AF_INET;
    ASSERT_TRUE(core_->StartServer({tcp}));
    port_ = core_->ListeningPort(0);
  }

  Reply Post(bool soap12, const char* soapAction, const std::string& body) {
    std::string request = std::string("POST /svc HTTP/1.0\r\nContent-Type: ") +
                          (soap12 ? "application/soap+xml" : "text/xml; charset=utf-8") + "\r\n";
    if (soapAction) request += std::string("SOAPAction: ") + soapAction + "\r\n";
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    server_testing::LoopbackClient client(port_);
    EXPECT_TRUE(client.Connected());
    client.Send(request);
    const std::string reply = client.ReadAll(std::chrono::seconds(60));
    const size_t lineEnd = reply.find("\r\n");
    const size_t headEnd = reply.find("\r\n\r\n");
    if (lineEnd == std::string::npos || headEnd == std::string::npos) return {reply, ""};
    return {reply.substr(0, lineEnd), reply.substr(headEnd + 4)};
  }

  static inline registry::testing::TempRegistry* registry_ = nullptr;
  static inline bool registered_ = false;
  ConfigStore store_;
  TraceCapture trace_;
  std::unique_ptr<WsdlCache> cache_;
  std::unique_ptr<SoapPostDispatch> dispatch_;
  std::unique_ptr<ServerCore> core_;
  uint16_t port_ = 0;
};

TEST_F(SoapE2eHttpTest, RpcEchoInBothVersions) {
  const std::string cafe = "caf\xC3\xA9 \xF0\x9F\x98\x80";
  for (const char* ns : {kSoap11Env, kSoap12Env}) {
    SCOPED_TRACE(ns);
    const bool soap12 = std::string(ns) == kSoap12Env;
    Start(u"QvTest.Echo", {}, soap12 ? u"EchoPort12" : u"EchoPort");
    const Reply r = Post(soap12, soap12 ? nullptr : kEchoAction, EchoStringCall(ns, cafe));
    EXPECT_EQ(r.line, "HTTP/1.0 200 OK") << r.body;
    EXPECT_NE(r.body.find(ns), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("echoStringResponse"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find(">" + cafe + "</"), std::string::npos) << r.body;
  }

  // The exchange's trace record: the request and the answer as sent.
  std::lock_guard<std::mutex> lock(trace_.mu);
  ASSERT_EQ(trace_.records.size(), 2u);
  const std::string& record = trace_.records[0];
  EXPECT_EQ(record.rfind("*\r\n*\r\nTime: ", 0), 0u) << record;
  EXPECT_NE(record.find("\r\nSOAP Version: 1.1\r\nRequest URI: /svc\r\n"), std::string::npos);
  EXPECT_NE(record.find("Body Handler ProgID: QvTest.Echo\r\nSOAPAction: " +
                        std::string(kEchoAction) + "\r\n"),
            std::string::npos)
      << record;
  EXPECT_NE(record.find("HTTP Status: 200\r\n\r\nREQUEST MESSAGE:\r\n\r\n" +
                        EchoStringCall(kSoap11Env, cafe) + "\r\n\r\nRESPONSE MESSAGE:\r\n\r\n"),
            std::string::npos)
      << record;
  EXPECT_EQ(record.substr(record.size() - 8), "\r\n*\r\n*\r\n");
  EXPECT_NE(trace_.records[1].find("\r\nSOAP Version: 1.2\r\n"), std::string::npos);
}

// An endpoint's classes are resolved once and kept: a service registered
// while the server runs answers once a watchdog tick has passed.
TEST_F(SoapE2eHttpTest, ServiceRegisteredWhileRunningAnswersAfterAWatchdogTick) {
  Start(u"QvTest.Late");
  const std::string call = EchoStringCall(kSoap11Env, "late");
  Reply r = Post(false, kEchoAction, call);
  EXPECT_EQ(r.line, "HTTP/1.0 500 Internal Server Error");
  EXPECT_NE(r.body.find("Failed to resolve ProgID for method handler."), std::string::npos)
      << r.body;

  std::string clsid;
  ASSERT_TRUE(registry::ReadString(HKEY_CLASSES_ROOT, "QvTest.Echo\\CLSID", nullptr, &clsid));
  ASSERT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, "QvTest.Late\\CLSID", nullptr, clsid),
            ERROR_SUCCESS);
  // No registry read on the request path: until the tick, the classes stand.
  r = Post(false, kEchoAction, call);
  EXPECT_EQ(r.line, "HTTP/1.0 500 Internal Server Error");

  core_->OnWatchdog();
  r = Post(false, kEchoAction, call);
  EXPECT_EQ(r.line, "HTTP/1.0 200 OK") << r.body;
  EXPECT_NE(r.body.find(">late</"), std::string::npos) << r.body;
  EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "QvTest.Late"), ERROR_SUCCESS);
}

// A changed endpoint holds for the next request, though a connection held
// open keeps the server from ever finding a moment without one.
TEST_F(SoapE2eHttpTest, EndpointChangeHoldsForTheNextRequestWithAConnectionOpen) {
  Start(u"QvTest.Echo");
  ASSERT_EQ(Post(false, kEchoAction, EchoStringCall(kSoap11Env, "a")).line, "HTTP/1.0 200 OK");
  server_testing::LoopbackClient idle(port_);
  ASSERT_TRUE(idle.Connected());

  auto next = std::make_shared<ConfigSnapshot>(*store_.Current());
  EndpointInfo& endpoint = next->endpoints["/svc"];
  endpoint.wsdlDocURL = std::string("file://") + QV_SERVER_TESTDATA + "/doc.wsdl";
  endpoint.wsdlService = u"DocService";
  endpoint.wsdlPort = u"DocPort12";
  endpoint.bodyProcessingProgId = u"QvTest.Doc";
  {
    std::lock_guard<std::mutex> lock(store_.Lock());
    store_.Publish(std::move(next));
  }
  core_->OnWatchdog();  // a pass with the connection open changes nothing
  const Reply r =
      Post(true, nullptr, Envelope(kSoap12Env, "", "<q:ask xmlns:q=\"urn:q\">hi</q:ask>"));
  EXPECT_EQ(r.line, "HTTP/1.0 200 OK") << r.body;
  EXPECT_NE(r.body.find("<post extra=\"\" svc=\"/svc\"><q:ask xmlns:q=\"urn:q\">hi</q:ask></post>"),
            std::string::npos)
      << r.body;
}

// Values of each kind the echo service declares come back unchanged.
TEST_F(SoapE2eHttpTest, RpcEchoOfEachKind) {
  Start(u"QvTest.Echo");
  struct Case {
    const char* method;
    std::string param;
    std::vector<std::string> replyHas;
  };
  const Case cases[] = {
      {"echoInteger",
       "<inputInteger xsi:type=\"xsd:int\">-2147483648</inputInteger>",
       {">-2147483648</"}},
      {"echoStruct",
       "<inputStruct xmlns:t=\"urn:qvtest:echo:types\" xsi:type=\"t:SOAPStruct\">"
       "<varString>s &amp; t</varString><varInt>7</varInt><varFloat>1.5</varFloat>"
       "</inputStruct>",
       {"<varString", ">s &amp; t</varString>", ">7</varInt>", ">1.5</varFloat>"}},
      {"echoStringArray",
       "<inputStringArray xmlns:enc=\"http://schemas.xmlsoap.org/soap/encoding/\""
       " xsi:type=\"enc:Array\" enc:arrayType=\"xsd:string[3]\">"
       "<item>a</item><item></item><item>\xC3\xA9</item></inputStringArray>",
       {"string[3]\"", ">a</", ">\xC3\xA9</"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    const std::string action = std::string("\"urn:qvtest:echo#") + c.method + "\"";
    const Reply r = Post(false, action.c_str(), EchoCall(kSoap11Env, c.method, c.param));
    EXPECT_EQ(r.line, "HTTP/1.0 200 OK") << r.body;
    EXPECT_NE(r.body.find(std::string(c.method) + "Response"), std::string::npos) << r.body;
    for (const std::string& part : c.replyHas) {
      EXPECT_NE(r.body.find(part), std::string::npos) << part << " in " << r.body;
    }
  }
}

TEST_F(SoapE2eHttpTest, StatusesAndFaultTexts) {
  const std::string docBody = "<q:ask xmlns:q=\"urn:q\">hi</q:ask>";
  const std::string mustUnderstand =
      "<u:h xmlns:u=\"urn:test:unknown\" E:mustUnderstand=\"true\">x</u:h>";
  struct Case {
    const char* name;
    bool soap12;
    std::u16string port;
    std::u16string body;
    std::vector<std::u16string> processors;
    const char* action;
    std::string request;
    std::string line;
    std::vector<std::string> replyHas;
  };
  // What follows the first Body element, in an envelope of either version.
  auto afterBody = [&](const char* ns, const std::string& tail) {
    std::string text = Envelope(ns, "", docBody);
    return text.insert(text.size() - std::string("</E:Envelope>").size(), tail);
  };
  const Case cases[] = {
      // Neither the first Body nor a late Header may be lost or run late.
      {"two Bodies",
       true,
       u"DocPort12",
       u"QvTest.Doc",
       {},
       nullptr,
       afterBody(kSoap12Env, "<E:Body>" + docBody + "</E:Body>"),
       "HTTP/1.0 400 Bad Request",
       {":Sender<", "More than one Body element found in SOAP Envelope."}},
      {"Header after the Body",
       false,
       u"DocPort",
       u"QvTest.Doc",
       {},
       "\"urn:a\"",
       afterBody(kSoap11Env, "<E:Header/>"),
       "HTTP/1.0 500 Internal Server Error",
       {":Client<", "Header element found after Body in SOAP Envelope."}},
      {"document 1.2",
       true,
       u"DocPort12",
       u"QvTest.Doc",
       {},
       nullptr,
       Envelope(kSoap12Env, "", docBody),
       "HTTP/1.0 200 OK",
       // The handler wraps the content of the Body element it was given.
       {"<E:Body xmlns:E=\"http://www.w3.org/2003/05/soap-envelope\"",
        "<post extra=\"\" svc=\"/svc\"><q:ask xmlns:q=\"urn:q\">hi</q:ask></post></E:Body>"}},
      {"no content",
       false,
       u"DocPort",
       u"QvTest.NoContent",
       {},
       "\"urn:a\"",
       Envelope(kSoap11Env, "", docBody),
       "HTTP/1.0 204 No Content",
       {}},
      {"Sender fault",
       true,
       u"DocPort12",
       u"QvTest.Sender",
       {},
       nullptr,
       Envelope(kSoap12Env, "", docBody),
       "HTTP/1.0 400 Bad Request",
       {":Sender<", "bad input"}},
      {"header processor fails",
       false,
       u"DocPort",
       u"QvTest.Doc",
       {u"QvTest.HeaderFail"},
       "\"urn:a\"",
       Envelope(kSoap11Env, "", docBody),
       "HTTP/1.0 500 Internal Server Error",
       {":Server<", "Headers: Invocation of header handler failed."}},
      {"body fails",
       false,
       u"EchoPort",
       u"QvTest.Echo",
       {},
       "\"urn:qvtest:echo#echoFault\"",
       Envelope(kSoap11Env, "",
                "<m:echoFault xmlns:m=\"urn:qvtest:echo\"><inputString>x</inputString>"
                "</m:echoFault>"),
       "HTTP/1.0 500 Internal Server Error",
       // The service failed on a good call: not the client's fault.
       {":Server<", "Body: Method invocation failed.", "0x80020009"}},
      {"not understood",
       true,
       u"DocPort12",
       u"QvTest.Doc",
       {u"QvTest.HeaderAccept"},
       nullptr,
       Envelope(kSoap12Env, mustUnderstand, docBody),
       "HTTP/1.0 500 Internal Server Error",
       {"NotUnderstood", "urn:test:unknown", ":MustUnderstand<"}},
      {"unregistered body handler",
       false,
       u"DocPort",
       u"QvTest.Missing",
       {},
       "\"urn:a\"",
       Envelope(kSoap11Env, "", docBody),
       "HTTP/1.0 500 Internal Server Error",
       {"Failed to resolve ProgID for Body handler."}},
      {"wrong SOAPAction",
       false,
       u"EchoPort",
       u"QvTest.Echo",
       {},
       "\"urn:other\"",
       EchoStringCall(kSoap11Env, "x"),
       "HTTP/1.0 500 Internal Server Error",
       {"Unrecognized SOAPAction HTTP header: \"urn:other\"."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.body, c.processors, c.port);
    const Reply r = Post(c.soap12, c.action, c.request);
    EXPECT_EQ(r.line, c.line) << r.body;
    if (c.replyHas.empty()) {
      EXPECT_EQ(r.body, "");
    }
    for (const std::string& part : c.replyHas) {
      EXPECT_NE(r.body.find(part), std::string::npos) << part << " in " << r.body;
    }
  }
}

// The parse and the walks over the tree run on a worker's own stack: a request
// as deep as the parser accepts is served, one level deeper gets the parse
// fault, and neither brings the server down.
TEST_F(SoapE2eHttpTest, DeepestRequestsAreServedOrFaulted) {
  Start(u"QvTest.Doc", {}, u"DocPort");
  // Envelope, Body and the body element take three levels.
  for (const int levels : {xml::kMaxNestingDepth - 3, xml::kMaxNestingDepth - 2}) {
    SCOPED_TRACE(levels);
    std::string inner = "<q:ask xmlns:q=\"urn:q\">";
    for (int i = 0; i < levels; ++i) inner += "<a>";
    for (int i = 0; i < levels; ++i) inner += "</a>";
    inner += "</q:ask>";
    const Reply r = Post(false, "\"urn:a\"", Envelope(kSoap11Env, "", inner));
    if (levels + 3 <= xml::kMaxNestingDepth) {
      EXPECT_EQ(r.line, "HTTP/1.0 200 OK") << r.body.substr(0, 600);
      EXPECT_NE(r.body.find("<q:ask xmlns:q=\"urn:q\"><a><a>"), std::string::npos)
          << r.body.substr(0, 600);
    } else {
      EXPECT_EQ(r.line, "HTTP/1.0 500 Internal Server Error") << r.body.substr(0, 600);
      EXPECT_NE(r.body.find(":Client</faultcode><faultstring>XML Parser: Parse Error on Line 1."),
                std::string::npos)
          << r.body.substr(0, 600);
    }
  }
  EXPECT_EQ(Post(false, "\"urn:a\"", Envelope(kSoap11Env, "", "<q:ask xmlns:q=\"urn:q\"/>")).line,
            "HTTP/1.0 200 OK");
}

// A SOAP client of another make, given only the WSDL the server serves.
TEST_F(SoapE2eHttpTest, IndependentClientGetsEveryValueBack) {
  if (system("/usr/bin/python3 -c 'import suds' 2>/dev/null") != 0) {
    GTEST_SKIP() << "python3-suds is not installed";
  }
  Start(u"QvTest.Echo");
  const std::string base = "http://127.0.0.1:" + std::to_string(port_);
  const std::string command = std::string("/usr/bin/python3 ") + QV_SUDS_SCRIPT + " " + base +
                              "/echo.wsdl " + base + "/svc 2>&1";
  int status = -1;
  const std::string printed = server_testing::RunCommand(command, &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << printed;
  EXPECT_NE(printed.find("8 checks, 0 failed"), std::string::npos) << printed;
}

// The answer, read as XML: the Body's one child in `ns` (null when the answer
// does not parse or has no such Body), and the Header's children by local name.
struct ParsedAnswer {
  xml::XmlParser parser;
  xml::XmlElement* bodyChild = nullptr;
  std::vector<std::u16string> headerBlocks;
};
void ReadAnswer(const std::string& body, const char* ns, ParsedAnswer* out) {
  try {
    out->parser.ParseXmlBuffer(body.data(), body.size(), nullptr);
  } catch (int) {
    return;
  }
  const std::string narrow(ns);
  const std::u16string env(narrow.begin(), narrow.end());
  xml::XmlElement* root = out->parser.GetRoot();
  if (!root) return;
  if (xml::XmlElement* header = root->FindChild(u"Header", env)) {
    for (const auto& block : header->GetChildList()) {
      out->headerBlocks.push_back(block->GetLocalName());
    }
  }
  xml::XmlElement* bodyElement = root->FindChild(u"Body", env);
  if (bodyElement && bodyElement->GetChildCount() == 1) {
    out->bodyChild = bodyElement->GetChildList()[0].get();
  }
}

// What header processors and document handlers write into the message goes
// out as a well-formed answer: the processors' blocks in the Header, the
// handler's element inside the Body. A block that cannot be written is
// answered with the fault naming it, never with an empty 500.
TEST_F(SoapE2eHttpTest, PluginAdditionsGoOutInTheAnswer) {
  const std::string docBody = "<q:ask xmlns:q=\"urn:q\">hi</q:ask>";
  struct Case {
    const char* name;
    bool soap12;
    std::u16string port;
    std::u16string body;
    std::u16string processor;
    const char* action;
    std::string request;
    const char* line;
    std::u16string bodyChild;  // local name of the Body's child
    std::vector<std::u16string> headerBlocks;
    std::string replyHas;
  };
  const Case cases[] = {
      {"echo 1.1",
       false,
       u"EchoPort",
       u"QvTest.Echo",
       u"QvTest.HeaderAccept",
       kEchoAction,
       EchoStringCall(kSoap11Env, "x"),
       "HTTP/1.0 200 OK",
       u"echoStringResponse",
       {u"accept"},
       ">x</"},
      {"echo 1.2",
       true,
       u"EchoPort12",
       u"QvTest.Echo",
       u"QvTest.HeaderAccept",
       nullptr,
       EchoStringCall(kSoap12Env, "x"),
       "HTTP/1.0 200 OK",
       u"echoStringResponse",
       {u"accept"},
       ">x</"},
      {"document 1.1",
       false,
       u"DocPort",
       u"QvTest.Doc",
       u"QvTest.HeaderAccept",
       "\"urn:a\"",
       Envelope(kSoap11Env, "", docBody),
       "HTTP/1.0 200 OK",
       u"body",
       {u"accept"},
       "<body><q:ask xmlns:q=\"urn:q\">hi</q:ask></body>"},
      {"document 1.2",
       true,
       u"DocPort12",
       u"QvTest.Doc",
       u"QvTest.HeaderAccept",
       nullptr,
       Envelope(kSoap12Env, "", docBody),
       "HTTP/1.0 200 OK",
       u"post",
       {u"accept"},
       "<q:ask xmlns:q=\"urn:q\">hi</q:ask></post>"},
      {"unwritable block 1.1",
       false,
       u"EchoPort",
       u"QvTest.Echo",
       u"QvTest.HeaderUnwritable",
       kEchoAction,
       EchoStringCall(kSoap11Env, "x"),
       "HTTP/1.0 500 Internal Server Error",
       u"Fault",
       {},
       "ns:Server</faultcode><faultstring>Error while serializing literal header block."},
      {"unwritable block 1.2",
       true,
       u"DocPort12",
       u"QvTest.Doc",
       u"QvTest.HeaderUnwritable",
       nullptr,
       Envelope(kSoap12Env, "", docBody),
       "HTTP/1.0 500 Internal Server Error",
       u"Fault",
       {},
       "Error while serializing literal header block."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.body, {c.processor}, c.port);
    const Reply r = Post(c.soap12, c.action, c.request);
    EXPECT_EQ(r.line, c.line) << r.body;
    ParsedAnswer answer;
    ReadAnswer(r.body, c.soap12 ? kSoap12Env : kSoap11Env, &answer);
    ASSERT_NE(answer.bodyChild, nullptr) << r.body;
    EXPECT_EQ(answer.bodyChild->GetLocalName(), c.bodyChild) << r.body;
    EXPECT_EQ(answer.headerBlocks, c.headerBlocks) << r.body;
    EXPECT_NE(r.body.find(c.replyHas), std::string::npos) << r.body;
  }
}

// A loopback intermediary answers with the request as its processors left
// it; one it cannot write again is answered with the fault, not with 200.
TEST_F(SoapE2eHttpTest, LoopbackAnswersWithTheWritersFault) {
  const std::string request = Envelope(kSoap11Env, "", "<q:ask xmlns:q=\"urn:q\">hi</q:ask>");
  struct Case {
    const char* name;
    std::u16string processor;
    const char* line;
    std::u16string bodyChild;
    std::vector<std::u16string> headerBlocks;
  };
  const Case cases[] = {
      {"processed request", u"QvTest.HeaderAccept", "HTTP/1.0 200 OK", u"ask", {u"accept"}},
      {"unwritable block",
       u"QvTest.HeaderUnwritable",
       "HTTP/1.0 500 Internal Server Error",
       u"Fault",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(u"QvTest.Doc", {c.processor}, u"DocPort", /*loopback=*/true);
    const Reply r = Post(false, "\"urn:a\"", request);
    EXPECT_EQ(r.line, c.line) << r.body;
    ParsedAnswer answer;
    ReadAnswer(r.body, kSoap11Env, &answer);
    ASSERT_NE(answer.bodyChild, nullptr) << r.body;
    EXPECT_EQ(answer.bodyChild->GetLocalName(), c.bodyChild) << r.body;
    EXPECT_EQ(answer.headerBlocks, c.headerBlocks) << r.body;
  }
}

}  // namespace
}  // namespace server
