#include "server/soap/soap_post.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "dime/message.h"
#include "platform/com/activation.h"
#include "platform/registry/testing/temp_registry.h"
#include "platform/text/text.h"
#include "message/plugin_contract.h"
#include "server/soap/testing/scripted_message.h"
#include "server/soap/wsdl_cache.h"

namespace server {
namespace {

using server_testing::DescribeValue;
using server_testing::ScriptedMessage;
using server_testing::SummaryMessage;

// The test plug-ins, registered once into a registry of the suite's own.
class SoapPostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    registry_ = new registry::testing::TempRegistry();
    const std::string command = std::string(QV_REGCOMP) + " -s " + QV_TEST_PLUGINS + " 2>/dev/null";
    const int status = system(command.c_str());
    registered_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  static void TearDownTestSuite() {
    delete registry_;
    registry_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(registered_);
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    endpoint_ = EndpointInfo{};
    endpoint_.requestURI = "/svc";
    endpoint_.wsdlDocURL = "test.wsdl";
    endpoint_.bodyProcessingProgId = u"QvTest.Doc";
    message_ = SummaryMessage();
    message_->body = u"<Body>REQ</Body>";  // the whole Body element, as the message keeps it
  }
  void TearDown() override {
    message_ = nullptr;
    CoUninitialize();
  }

  // Runs one POST through the dispatch with the scripted message.
  bool Run(SoapAnswer* answer, bool trace = false, std::string_view soapAction = "urn:act") {
    std::mutex lock;
    WsdlCache cache(lock, 4, nullptr, [](const EndpointInfo&) -> ComPtr<IDispatch> {
      return ComPtr<IDispatch>(SummaryMessage().Get());
    });
    SoapPostDispatch dispatch(
        cache, [this] { return ComPtr<Iquenlin2>(message_.Get()); }, [] { return int64_t{0}; });
    SoapCall call;
    call.endpoint = &endpoint_;
    call.endpointUri = "/svc";
    call.extraPath = "/x";
    call.soapAction = soapAction;
    call.soapVersion = message_->version == 11 ? 11 : 12;
    call.kind = message_->version == 11 ? ContentKind::SoapXml : ContentKind::Soap12Xml;
    call.body = "<request/>";
    call.dime = dime_;
    if (dime_) call.kind = ContentKind::Dime;
    call.traceEnabled = trace;
    const bool ok = dispatch.ProcessSoapPost(call, answer);
    // Only the test's own reference is left: the dispatch released exactly
    // what it took, whatever the plug-ins did.
    message_->AddRef();
    EXPECT_EQ(message_->Release(), 1u);
    return ok;
  }
  SoapAnswer RunOk() {
    SoapAnswer answer;
    EXPECT_TRUE(Run(&answer));
    return answer;
  }

  static inline registry::testing::TempRegistry* registry_ = nullptr;
  static inline bool registered_ = false;
  EndpointInfo endpoint_;
  ComPtr<ScriptedMessage> message_;
  dime::DimeMessage* dime_ = nullptr;
};

TEST(QuoteSoapActionTest, QuotesOnlyWhatIsNotQuoted) {
  EXPECT_EQ(QuoteSoapAction("urn:a"), u"\"urn:a\"");
  EXPECT_EQ(QuoteSoapAction("\"urn:a\""), u"\"urn:a\"");
  EXPECT_EQ(QuoteSoapAction("\"half"), u"\"half");
  EXPECT_EQ(QuoteSoapAction(""), u"\"\"");
}

TEST_F(SoapPostTest, InitializeGetsQuotedActionAndRequestBytes) {
  endpoint_.roles = {u"urn:r1", u"urn:r2"};
  RunOk();
  EXPECT_EQ(message_->soapAction, u"\"urn:act\"");
  EXPECT_EQ(message_->buffer, "<request/>");
  EXPECT_EQ(message_->roleCount, 2);
}

struct BodyCase {
  const char* name;
  LONG version;
  const char16_t* progId;
  int status;
  const char* body;
};

TEST_F(SoapPostTest, DocumentBodiesAndTheirStatuses) {
  const BodyCase cases[] = {
      {"1.1 body", 11, u"QvTest.Doc", 200, "ok body=<Body><body>REQ</body></Body>"},
      {"1.2 post", 12, u"QvTest.Doc", 200,
       "ok body=<Body><post svc=\"/svc\" extra=\"/x\">REQ</post></Body>"},
      {"1.2 falls back to OnProcessBody, 1 is success", 12, u"QvTest.DocOne", 200,
       "ok body=<Body><one/></Body>"},
      {"1.1 handler false", 11, u"QvTest.DocFalse", 500,
       "fault Server Body Processing: Invocation of Body handler failed."},
      {"1.2 handler false", 12, u"QvTest.DocFalse", 500,
       "fault Receiver Body Processing: Invocation of Body handler failed."},
      {"1.1 unregistered", 11, u"QvTest.Missing", 500,
       "fault Server Body Processing: Failed to resolve ProgID for Body handler."},
      {"1.2 Sender fault is 400", 12, u"QvTest.Sender", 400, "fault Sender bad input"},
      {"1.1 Client fault is 500", 11, u"QvTest.Sender", 500, "fault Client bad input"},
  };
  for (const BodyCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    message_->version = c.version;
    endpoint_.bodyProcessingProgId = c.progId;
    const SoapAnswer answer = RunOk();
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.body, c.body);
    EXPECT_EQ(answer.soapVersion, c.version);
    EXPECT_EQ(message_->phases, std::vector<std::u16string>{u"response"});
    TearDown();
  }
}

TEST_F(SoapPostTest, NoContentIs204WithoutBody) {
  endpoint_.bodyProcessingProgId = u"QvTest.NoContent";
  const SoapAnswer answer = RunOk();
  EXPECT_EQ(answer.status, 204);
  EXPECT_TRUE(answer.body.empty());
}

TEST_F(SoapPostTest, UnparsableRequestRunsNoProcessorAndNoBody) {
  for (LONG version : {11, 12}) {
    SCOPED_TRACE(version);
    SetUp();
    endpoint_.headerProcessingProgIds = {u"QvTest.HeaderAccept"};
    message_->version = version;
    message_->deserializeOk = false;
    const SoapAnswer answer = RunOk();
    EXPECT_EQ(answer.status, version == 11 ? 500 : 400);
    EXPECT_TRUE(message_->marks.empty());
    EXPECT_TRUE(message_->responseBody.empty());
    TearDown();
  }
}

TEST_F(SoapPostTest, SerializeFailureIs500WithEmptyBody) {
  message_->serializeOk = false;
  const SoapAnswer answer = RunOk();
  EXPECT_EQ(answer.status, 500);
  EXPECT_TRUE(answer.body.empty());
}

TEST_F(SoapPostTest, NoAnswerWhenMessageOrReaderCannotBeHad) {
  SoapAnswer answer;
  message_->initializeOk = false;
  EXPECT_FALSE(Run(&answer));

  std::mutex lock;
  WsdlCache noReader(lock, 4, nullptr, [](const EndpointInfo&) { return ComPtr<IDispatch>(); });
  SoapPostDispatch dispatch(noReader, [this] { return ComPtr<Iquenlin2>(message_.Get()); });
  SoapCall call;
  call.endpoint = &endpoint_;
  call.endpointUri = "/svc";
  EXPECT_FALSE(dispatch.ProcessSoapPost(call, &answer));

  std::mutex lock2;
  WsdlCache cache(lock2, 4, nullptr,
                  [this](const EndpointInfo&) { return ComPtr<IDispatch>(message_.Get()); });
  SoapPostDispatch noMessage(cache, [] { return ComPtr<Iquenlin2>(); });
  EXPECT_FALSE(noMessage.ProcessSoapPost(call, &answer));
}

struct HeaderCase {
  const char* name;
  LONG version;
  std::vector<std::u16string> processors;
  std::vector<std::pair<std::u16string, std::u16string>> mustUnderstand;
  int status;
  std::vector<std::u16string> marks;  // OnProcessHeader calls in order
  std::string body;
};

TEST_F(SoapPostTest, HeaderProcessorChain) {
  const std::u16string known = u"urn:test:known";
  const HeaderCase cases[] = {
      {"all accept: both phases and the body",
       11,
       {u"QvTest.HeaderAccept", u"QvTest.HeaderAccept"},
       {{known, u"a"}},
       200,
       {u"accept", u"accept", u"accept", u"accept"},
       "ok body=<Body><body>REQ</body></Body>"},
      {"a refusal stops the chain, the body and the response phase",
       11,
       {u"QvTest.HeaderAccept", u"QvTest.HeaderRefuse", u"QvTest.HeaderAccept"},
       {},
       200,
       {u"accept", u"refuse"},
       "ok"},
      {"integer 1 is no success for a header processor",
       11,
       {u"QvTest.HeaderOne"},
       {},
       200,
       {u"one"},
       "ok"},
      {"invocation failure",
       11,
       {u"QvTest.HeaderFail"},
       {},
       500,
       {u"fail"},
       "fault Server Headers: Invocation of header handler failed."},
      {"method not bound",
       12,
       {u"QvTest.Echo"},
       {},
       500,
       {},
       "fault Receiver Headers: Failed to resolve header handler call parameters."},
      {"unregistered 1.1",
       11,
       {u"QvTest.Missing"},
       {},
       500,
       {},
       "fault Server Headers: Failed to resolve ProgID for header handler."},
      {"unregistered 1.2",
       12,
       {u"QvTest.HeaderAccept", u"QvTest.Missing"},
       {},
       500,
       {},
       "fault Receiver Headers: Failed to resolve ProgID for header handler."},
      {"1.1 block nobody understands",
       11,
       {u"QvTest.HeaderAccept"},
       {{known, u"a"}, {u"urn:other", u"b"}},
       500,
       {},
       "fault MustUnderstand Headers: Mandatory header block not understood."},
      {"1.2 names the second block only",
       12,
       {u"QvTest.HeaderAccept"},
       {{known, u"a"}, {u"urn:other", u"b"}},
       500,
       {},
       "fault MustUnderstand Headers: Mandatory header block not understood. header "
       "NotUnderstood:<SOAP-ENV:NotUnderstood qname=\"ns:b\" "
       "xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" xmlns:ns=\"urn:other\" />"},
      {"no processors: no mustUnderstand test of the server's",
       11,
       {},
       {{u"urn:other", u"b"}},
       200,
       {},
       "ok body=<Body><body>REQ</body></Body>"},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    message_->version = c.version;
    message_->muBlocks = c.mustUnderstand;
    endpoint_.headerProcessingProgIds = c.processors;
    const SoapAnswer answer = RunOk();
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.body, c.body);
    EXPECT_EQ(message_->marks, c.marks);
    TearDown();
  }
}

Variant Text(std::u16string_view s) { return Variant::FromText(s); }

struct RpcParam {
  std::u16string name;
  Variant (*make)();
  bool in, out;
};

struct RpcCase {
  const char* name;
  LONG version;
  std::u16string method;
  std::vector<RpcParam> params;
  int status;
  std::string body;
};

TEST_F(SoapPostTest, RpcCalls) {
  auto text = [] { return Text(u"h\u00e9llo \U0001D11E"); };
  auto five = [] { return Variant::FromI4(5); };
  auto two = [] { return Variant::FromI4(2); };
  auto empty = [] { return Variant(); };
  auto stale = [] { return Text(u"stale"); };
  const RpcCase cases[] = {
      {"string round trip",
       11,
       u"echoString",
       {{u"inputString", text, true, false}},
       200,
       "ok return=s:h\xC3\xA9llo \xF0\x9D\x84\x9E"},
      {"in by value, in-out by reference, only the out comes back",
       11,
       u"addTo",
       {{u"delta", two, true, false}, {u"total", five, true, true}},
       200,
       "ok return=i:7 total=i:7"},
      {"outs come back in name order, untyped ones written whole",
       11,
       u"twoOuts",
       {{u"b", stale, false, true}, {u"a", empty, false, true}},
       200,
       "ok return=e a=s:A b=s:B"},
      {"an array out keeps its array type",
       11,
       u"readList",
       {{u"list", empty, false, true}},
       200,
       "ok return=t11 list=a:[s:first,s:second]"},
      {"an out-only value is not passed in",
       11,
       u"readName",
       {{u"name", stale, false, true}},
       200,
       "ok return=t11 name=s:qv"},
      {"unknown parameter, 1.1",
       11,
       u"echoString",
       {{u"nope", text, true, false}},
       500,
       "fault Client Body: One or more invalid method parameter names. detail "
       "HRESULT=0x80020006"},
      {"unknown parameter, 1.2",
       12,
       u"echoString",
       {{u"nope", text, true, false}},
       400,
       "fault Sender Body: One or more invalid method parameter names. sub=BadArguments detail "
       "HRESULT=0x80020006"},
      // The service's own failure is not the sender's: Server, and in 1.2
      // Receiver with 500 so a correct client may retry.
      {"method fails, 1.1",
       11,
       u"echoFault",
       {{u"inputString", text, true, false}},
       500,
       "fault Server Body: Method invocation failed. detail HRESULT=0x80020009"},
      {"method fails, 1.2",
       12,
       u"echoFault",
       {{u"inputString", text, true, false}},
       500,
       "fault Receiver Body: Method invocation failed. detail HRESULT=0x80020009"},
      {"argument of the wrong type stays the sender's fault",
       12,
       u"echoInteger",
       {{u"inputInteger", [] { return Text(u"seven"); }, true, false}},
       400,
       "fault Sender Body: Method invocation failed. detail HRESULT=0x80020005"},
  };
  endpoint_.bodyProcessingProgId = u"QvTest.Echo";
  for (const RpcCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    endpoint_.bodyProcessingProgId = u"QvTest.Echo";
    message_->version = c.version;
    message_->rpc = true;
    message_->method = c.method;
    for (const RpcParam& p : c.params) {
      server_testing::FakeParam fp;
      fp.name = p.name;
      fp.value = p.make();
      fp.in = p.in;
      fp.out = p.out;
      message_->params.push_back(std::move(fp));
    }
    const SoapAnswer answer = RunOk();
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.body, c.body);
    TearDown();
  }
}

TEST_F(SoapPostTest, RpcWithMoreArgumentsThanTheMethodTakesIsRefused) {
  endpoint_.bodyProcessingProgId = u"QvTest.Echo";
  message_->version = 12;
  message_->rpc = true;
  message_->method = u"echoString";
  for (int i = 0; i < 40; ++i) {  // a repeated accessor, beyond any fixed bound
    server_testing::FakeParam p;
    p.name = u"inputString";
    p.value = Text(u"x");
    message_->params.push_back(std::move(p));
  }
  const SoapAnswer answer = RunOk();
  EXPECT_EQ(answer.status, 400);
  EXPECT_EQ(answer.body,
            "fault Sender Body: Bad parameter count on procedure call. sub=BadArguments detail "
            "HRESULT=0x8002000E");
}

TEST_F(SoapPostTest, RpcObjectErrors) {
  message_->rpc = true;
  message_->method = u"echoString";
  endpoint_.bodyProcessingProgId = u"QvTest.Missing";
  EXPECT_EQ(RunOk().body,
            "fault Server Body: Failed to resolve ProgID for method handler. detail "
            "HRESULT=0x800401F3");
  SetUp();
  message_->rpc = true;
  message_->processRpcOk = false;  // the message recorded why
  endpoint_.bodyProcessingProgId = u"QvTest.Echo";
  EXPECT_EQ(RunOk().body, "ok");
}

TEST_F(SoapPostTest, IntermediaryRecordsConnectFailureAndRunsResponsePhase) {
  endpoint_.headerProcessingProgIds = {u"QvTest.HeaderAccept"};
  message_->nextHop = u"http://hop:8081/x";
  const SoapAnswer answer = RunOk();
  EXPECT_EQ(answer.status, 500);
  EXPECT_EQ(answer.body, "fault Server Request: Failed to connect to server.");
  EXPECT_EQ(message_->phases, std::vector<std::u16string>{u"response"});
  EXPECT_EQ(message_->marks, (std::vector<std::u16string>{u"accept", u"accept"}));
  EXPECT_TRUE(message_->responseBody.empty());
}

TEST_F(SoapPostTest, TraceRecordLayout) {
  endpoint_.headerProcessingProgIds = {u"QvTest.HeaderAccept", u"QvTest.HeaderAccept"};
  SoapAnswer answer;
  ASSERT_TRUE(Run(&answer, /*trace=*/true));
  EXPECT_EQ(answer.traceRecord,
            "*\r\n*\r\nTime: 01/Jan/1970:00:00:00\r\nSOAP Version: 1.1\r\nRequest URI: /svc/x"
            "\r\nHeader Processor ProgID's: QvTest.HeaderAccept QvTest.HeaderAccept"
            "\r\nBody Handler ProgID: QvTest.Doc\r\nSOAPAction: urn:act\r\nNode URI: \"\""
            "\r\nNext Hop URL: \"\"\r\nHTTP Method: POST\r\nHTTP Status: 200\r\n\r\n"
            "REQUEST MESSAGE:\r\n\r\n<request/>\r\n\r\nRESPONSE MESSAGE:\r\n\r\n"
            "ok body=<Body><body>REQ</body></Body>\r\n*\r\n*\r\n");

  SetUp();
  endpoint_.bodyProcessingProgId = u"QvTest.NoContent";
  endpoint_.nodeURI = u"urn:node";
  message_->version = 12;
  ASSERT_TRUE(Run(&answer, /*trace=*/true));
  EXPECT_EQ(answer.traceRecord,
            "*\r\n*\r\nTime: 01/Jan/1970:00:00:00\r\nSOAP Version: 1.2\r\nRequest URI: /svc/x"
            "\r\nBody Handler ProgID: QvTest.NoContent\r\nSOAPAction: urn:act"
            "\r\nNode URI: urn:node\r\nNext Hop URL: \"\"\r\nHTTP Method: POST\r\n"
            "HTTP Status: 204\r\n\r\nREQUEST MESSAGE:\r\n\r\n<request/>\r\n*\r\n*\r\n");
}

TEST_F(SoapPostTest, DimeRequestGivesEnvelopeAndAttachments) {
  dime::DimeMessage request;
  ASSERT_TRUE(request.InitSerializer(4096));
  const std::string envelope = "<env/>";
  ASSERT_TRUE(request.AddPayloadFromBytes(envelope.data(), envelope.size(), "",
                                          "http://schemas.xmlsoap.org/soap/envelope/", 2));
  ASSERT_TRUE(request.AddPayloadFromBytes("abc", 3, "id2", "image/png", 1, "op", 2, 7));
  dime_ = &request;
  SoapAnswer answer;
  ASSERT_TRUE(Run(&answer, /*trace=*/true));
  EXPECT_EQ(message_->buffer, envelope);
  EXPECT_EQ(message_->RequestAttachmentIds(), std::vector<std::u16string>{u"id2|image/png"});
  EXPECT_NE(answer.traceRecord.find("REQUEST MESSAGE:\r\n\r\n<env/>\r\n"), std::string::npos);
}

TEST_F(SoapPostTest, AttachmentsMakeADimeAnswerWithTheEnvelopeFirst) {
  dime::DimeMessage store;  // lends the attachment its storage
  ASSERT_TRUE(store.InitSerializer(4096));
  ASSERT_TRUE(store.AddPayloadFromBytes("data", 4, "x", "y", 2));
  message_->version = 12;
  message_->responseAttachments.push_back(
      {u"att1", u"application/x", 2, ComPtr<IUnknown>(store.Payload(0)->Storage()), {}});
  const SoapAnswer answer = RunOk();
  EXPECT_EQ(answer.status, 200);
  EXPECT_TRUE(answer.body.empty());
  ASSERT_TRUE(answer.dime);
  ASSERT_EQ(answer.dime->PayloadCount(), 2u);
  EXPECT_EQ(answer.dime->Payload(0)->Type(), "http://www.w3.org/2003/05/soap-envelope");
  EXPECT_EQ(answer.dime->Payload(1)->Id(), "att1");
  EXPECT_EQ(answer.dime->Payload(1)->Type(), "application/x");
  EXPECT_GT(answer.dime->ComputeMessageLength(), 0u);
}

}  // namespace
}  // namespace server
