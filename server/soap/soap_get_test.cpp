#include "server/soap/soap_get.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dime/message.h"
#include "dime/testing/dime_testing.h"
#include "platform/com/activation.h"
#include "platform/com/dispatch.h"
#include "platform/com/registration.h"
#include "platform/com/remote/remote.h"
#include "platform/net/testing/loopback_peer.h"
#include "platform/registry/testing/temp_registry.h"
#include "platform/text/text.h"
#include "server/soap/testing/scripted_message.h"

// Body objects reached by ProgID: one that serves GET, one that does not.
#define QV_ITESTGETBODY_METHODS(X)                                                 \
  X(OnProcessSoapGet, 1, (In, DISPATCH, SOAPMsgInterface), (In, BSTR, bstrSvcURI), \
    (In, BSTR, bstrExtraPath), (In, BSTR, bstrQueryString), (Retval, VARIANT, pResult))
inline constexpr IID IID_ITestGetBody =  // {8E1D4A62-3B5C-4D7E-9F80-1A2B3C4D5E61}
    {0x8E1D4A62, 0x3B5C, 0x4D7E, {0x9F, 0x80, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x61}};
QV_DISPATCH_INTERFACE(ITestGetBody, IID_ITestGetBody, QV_ITESTGETBODY_METHODS)

#define QV_ITESTPOSTBODY_METHODS(X) \
  X(OnProcessBody, 1, (In, DISPATCH, SOAPMsgInterface), (Retval, VARIANT, pResult))
inline constexpr IID IID_ITestPostBody =  // {8E1D4A62-3B5C-4D7E-9F80-1A2B3C4D5E62}
    {0x8E1D4A62, 0x3B5C, 0x4D7E, {0x9F, 0x80, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x62}};
QV_DISPATCH_INTERFACE(ITestPostBody, IID_ITestPostBody, QV_ITESTPOSTBODY_METHODS)

namespace server {
namespace {

using server_testing::ScriptedAttachment;
using server_testing::ScriptedMessage;

constexpr CLSID kGetBodyClsid =  // {8E1D4A62-3B5C-4D7E-9F80-1A2B3C4D5E71}
    {0x8E1D4A62, 0x3B5C, 0x4D7E, {0x9F, 0x80, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x71}};
constexpr CLSID kPostBodyClsid =  // {8E1D4A62-3B5C-4D7E-9F80-1A2B3C4D5E72}
    {0x8E1D4A62, 0x3B5C, 0x4D7E, {0x9F, 0x80, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x72}};
constexpr char kGetBodyProgId[] = "test.getbody.1";
constexpr char kPostBodyProgId[] = "test.postbody.1";

// What the GET body saw, and what it answers (a 16-bit value under a type
// tag that is not looked at).
struct GetBodyScript {
  std::u16string args;
  bool saw_message = false;
  SHORT answer = 1;
  VARTYPE answer_type = VT_I2;
};
GetBodyScript g_get_body;

class GetBody final : public com::ComObject<GetBody, com::Dispatch<ITestGetBody>> {
 public:
  HRESULT OnProcessSoapGet(IDispatch* message, BSTR svc, BSTR extra, BSTR query,
                           VARIANT* result) override {
    g_get_body.saw_message = static_cast<bool>(com::QueryInterfacePtr<Iquenlin2>(message));
    g_get_body.args = std::u16string(BstrView(svc)) + u"|" + std::u16string(BstrView(extra)) +
                      u"|" + std::u16string(BstrView(query));
    result->vt = g_get_body.answer_type;
    result->iVal = g_get_body.answer;
    return S_OK;
  }
};

class PostBody final : public com::ComObject<PostBody, com::Dispatch<ITestPostBody>> {
 public:
  HRESULT OnProcessBody(IDispatch*, VARIANT* result) override {
    *result = Variant::FromBool(true).Detach();
    return S_OK;
  }
};

template <typename T>
class Factory final : public com::ComObject<Factory<T>, IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    auto made = com::MakeComObject<T>();
    return made->QueryInterface(iid, object);
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
};

// The plug-in calls a GET shares with the POST dispatch, recorded.
struct FakePluginState {
  bool create_ok = true;
  bool rpc_sender_fault = false;
  std::vector<std::string> calls;
  // What the request-phase pass does: fail, or leave a Sender fault.
  bool request_fails = false;
  bool request_faults = false;
};

class FakePlugins final : public EndpointPlugins, public FakePluginState {
 public:
  explicit FakePlugins(const EndpointInfo& endpoint) : EndpointPlugins(endpoint, nullptr) {}
  void Reset() { static_cast<FakePluginState&>(*this) = FakePluginState{}; }

  bool CreateHeaderProcessors(Iquenlin2*) override {
    calls.push_back("create");
    return create_ok;
  }

  bool ProcessHeaderBlocks(Iquenlin2* message) override {
    VARIANT_BOOL request = VARIANT_TRUE;
    message->IsRequestPhase(&request);
    calls.push_back(request == VARIANT_TRUE ? "headers(request)" : "headers(response)");
    if (request != VARIANT_TRUE) return true;
    if (request_faults) SenderFault(message);
    return !request_fails;
  }
  static void SenderFault(Iquenlin2* message) {
    VARIANT_BOOL ok;
    message->SetSOAP12Fault(
        Bstr(u"Sender").Get(), Bstr(u"http://www.w3.org/2003/05/soap-envelope").Get(),
        Bstr(u"").Get(), Bstr(u"").Get(), Bstr(u"bad").Get(), Bstr(u"en").Get(), &ok);
  }
  void ProcessRpcBody(Iquenlin2* message) override {
    calls.push_back("rpc");
    if (rpc_sender_fault) SenderFault(message);
  }
};

class SoapGetTest : public registry::testing::RegistryTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    Register(kGetBodyClsid, kGetBodyProgId, com::MakeComObject<Factory<GetBody>>().Get(),
             &get_cookie_);
    Register(kPostBodyClsid, kPostBodyProgId, com::MakeComObject<Factory<PostBody>>().Get(),
             &post_cookie_);
    g_get_body = GetBodyScript{};
    endpoint_.bodyProcessingProgId = text::Widen(kGetBodyProgId);
    endpoint_.nodeURI = u"urn:node";
    call_.endpoint = &endpoint_;
    call_.endpointUri = "/svc";
    call_.extraPath = "/op";
    call_.queryString = "a=%41&b=2";
    message_ = com::MakeComObject<ScriptedMessage>();
    message_->version = 11;  // the GET sets 1.2 itself
    message_->envelope = "<Envelope>answer</Envelope>";
  }
  void TearDown() override {
    CoRevokeClassObject(get_cookie_);
    CoRevokeClassObject(post_cookie_);
    CoUninitialize();
  }
  static void Register(const CLSID& clsid, const char* prog_id, IUnknown* factory, DWORD* cookie) {
    com::ClassRegistration reg;
    reg.clsid = clsid;
    reg.description = prog_id;
    reg.prog_id = prog_id;
    ASSERT_EQ(com::RegisterServerClass(reg), S_OK);
    ASSERT_EQ(
        CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, cookie),
        S_OK);
  }
  bool Run() {
    return ProcessSoapGet(call_, message_.Get(), nullptr, plugins_, options_, &answer_);
  }

  EndpointInfo endpoint_;
  SoapCall call_;
  ComPtr<ScriptedMessage> message_;
  FakePlugins plugins_{endpoint_};
  SoapGetOptions options_;
  SoapAnswer answer_;
  DWORD get_cookie_ = 0;
  DWORD post_cookie_ = 0;
};

TEST_F(SoapGetTest, RpcByGetDecodesPathAndQueryAndAnswersInSoap12) {
  message_->rpc = true;
  endpoint_.headerProcessingProgIds = {u"some.processor"};
  call_.traceEnabled = true;
  options_.now = 86400 * 365;  // 01/Jan/1971
  ASSERT_TRUE(Run());
  EXPECT_EQ(message_->version, 12);
  EXPECT_EQ(message_->rpcGetArgs, u"/svc|/op|a=%41&b=2");
  EXPECT_EQ(plugins_.calls, (std::vector<std::string>{"create", "headers(request)", "rpc",
                                                      "headers(response)"}));
  EXPECT_EQ(answer_.status, 200);
  EXPECT_EQ(answer_.soapVersion, 12);
  EXPECT_EQ(answer_.body, "<Envelope>answer</Envelope>");
  EXPECT_FALSE(answer_.dime);
  EXPECT_EQ(answer_.traceRecord,
            "*\r\n*\r\nTime: 01/Jan/1971:00:00:00\r\nSOAP Version: 1.2\r\nRequest URI: /svc/op"
            "\r\nQuery String: a=%41&b=2\r\nBody Handler ProgID: test.getbody.1\r\nNode URI: "
            "urn:node\r\nHTTP Method: GET\r\nHTTP Status: 200\r\n\r\n\r\nRESPONSE MESSAGE:\r\n\r\n"
            "<Envelope>answer</Envelope>\r\n*\r\n*\r\n");
}

TEST_F(SoapGetTest, NoAnswerWhenTheRequestCannotBeProcessed) {
  message_->rpc = true;
  message_->processRpcGetOk = false;
  EXPECT_FALSE(Run());  // the endpoint page follows
  EXPECT_TRUE(plugins_.calls.empty());

  // Decoded, but the path names no operation: no call is made.
  message_ = com::MakeComObject<ScriptedMessage>();
  message_->rpc = true;
  message_->rpcGetMethod.clear();
  EXPECT_FALSE(Run());
  EXPECT_TRUE(plugins_.calls.empty());

  message_ = com::MakeComObject<ScriptedMessage>();
  message_->initializeOk = false;
  EXPECT_FALSE(Run());

  message_ = com::MakeComObject<ScriptedMessage>();
  endpoint_.headerProcessingProgIds = {u"missing.processor"};
  plugins_.create_ok = false;
  EXPECT_FALSE(Run());
  EXPECT_TRUE(g_get_body.args.empty());

  EXPECT_FALSE(ProcessSoapGet(call_, nullptr, nullptr, plugins_, options_, &answer_));
}

TEST_F(SoapGetTest, DocumentEndpointCallsOnProcessSoapGet) {
  g_get_body.answer_type = VT_BOOL;  // only the 16-bit value counts
  g_get_body.answer = 1;
  ASSERT_TRUE(Run());
  EXPECT_TRUE(g_get_body.saw_message);
  EXPECT_EQ(g_get_body.args, u"/svc|/op|a=%41&b=2");
  EXPECT_FALSE(message_->HasFault());
  EXPECT_EQ(answer_.status, 200);
  EXPECT_FALSE(message_->requestPhase);
  EXPECT_TRUE(plugins_.calls.empty());  // no processors listed
}

TEST_F(SoapGetTest, BodyObjectFailuresAreReceiverFaults) {
  const struct {
    const char* name;
    std::string prog_id;
    SHORT answer;
    std::u16string text;
  } cases[] = {
      {"answers 0", kGetBodyProgId, 0, u"Request: Invocation of application method failed."},
      {"no GET method", kPostBodyProgId, 1,
       u"Request: Failed to resolve application method call parameters."},
      {"unknown ProgID", "no.such.body", 1,
       u"Request: Failed to resolve ProgID for application object."},
  };
  for (const auto& c : cases) {
    message_ = com::MakeComObject<ScriptedMessage>();
    endpoint_.bodyProcessingProgId = text::Widen(c.prog_id);
    g_get_body.answer = c.answer;
    answer_ = SoapAnswer{};
    ASSERT_TRUE(Run()) << c.name;
    ASSERT_EQ(message_->faults.size(), 1u) << c.name;
    EXPECT_TRUE(message_->faults[0].soap12) << c.name;
    EXPECT_EQ(message_->faults[0].code, u"Receiver") << c.name;
    EXPECT_EQ(message_->faults[0].text, c.text) << c.name;
    EXPECT_EQ(answer_.status, 500) << c.name;
  }
}

TEST_F(SoapGetTest, StatusFollowsTheResponse) {
  // No content: 204, no body, no response section in the trace.
  message_->rpc = true;
  message_->noContent = true;
  call_.traceEnabled = true;
  ASSERT_TRUE(Run());
  EXPECT_EQ(answer_.status, 204);
  EXPECT_TRUE(answer_.body.empty());
  EXPECT_EQ(answer_.traceRecord.find("RESPONSE MESSAGE"), std::string::npos);
  EXPECT_NE(answer_.traceRecord.find("HTTP Status: 204\r\n\r\n*\r\n*\r\n"), std::string::npos);

  // A SOAP 1.2 Sender fault: 400.
  message_ = com::MakeComObject<ScriptedMessage>();
  message_->rpc = true;
  plugins_.rpc_sender_fault = true;
  ASSERT_TRUE(Run());
  EXPECT_EQ(answer_.status, 400);

  // A response that cannot be written: 500.
  message_ = com::MakeComObject<ScriptedMessage>();
  message_->rpc = true;
  message_->serializeOk = false;
  plugins_.rpc_sender_fault = false;
  ASSERT_TRUE(Run());
  EXPECT_EQ(answer_.status, 500);
}

TEST_F(SoapGetTest, AttachmentsMakeADimeAnswerOnlyWith200) {
  ComPtr<IStorage> storage = dime::testing::StorageWith(std::string(10000, 'p'));
  ASSERT_TRUE(storage);
  const ScriptedAttachment attachment{u"pic",
                                      u"image/png",
                                      1,
                                      ComPtr<IUnknown>(static_cast<IUnknown*>(storage.Get())),
                                      {0, 7, 0, 1, 42}};
  message_->responseAttachments.push_back(attachment);
  ASSERT_TRUE(Run());
  EXPECT_EQ(answer_.status, 200);
  ASSERT_TRUE(answer_.dime);
  ASSERT_EQ(answer_.dime->PayloadCount(), 2u);
  EXPECT_EQ(dime::testing::ReadAll(*answer_.dime->Payload(0)), "<Envelope>answer</Envelope>");
  EXPECT_EQ(answer_.dime->Payload(0)->Type(), "http://www.w3.org/2003/05/soap-envelope");
  EXPECT_EQ(answer_.dime->Payload(1)->Id(), "pic");
  EXPECT_EQ(answer_.dime->Payload(1)->TypeNameFormat(), 1u);
  ASSERT_EQ(answer_.dime->Payload(1)->Options().size(), 1u);
  EXPECT_EQ(answer_.dime->Payload(1)->Options()[0].type, 7);
  EXPECT_EQ(dime::testing::ReadAll(*answer_.dime->Payload(1)), std::string(10000, 'p'));

  // With a fault the envelope goes plain.
  message_ = com::MakeComObject<ScriptedMessage>();
  message_->envelope = "<Envelope>fault</Envelope>";
  message_->responseAttachments.push_back(attachment);
  g_get_body.answer = 0;
  answer_ = SoapAnswer{};
  ASSERT_TRUE(Run());
  EXPECT_EQ(answer_.status, 500);
  EXPECT_FALSE(answer_.dime);
  EXPECT_EQ(answer_.body, "<Envelope>fault</Envelope>");

  // Attachments whose storage is gone: no answer can be built.
  message_ = com::MakeComObject<ScriptedMessage>();
  message_->responseAttachments.push_back(ScriptedAttachment{u"x", u"t", 2, nullptr, {}});
  g_get_body.answer = 1;
  EXPECT_FALSE(Run());
}

TEST_F(SoapGetTest, IntermediaryForwardsTheGet) {
  net::testing::RefusingPort refusing;
  endpoint_.nextHopURL =
      u"http://127.0.0.1:" + text::Widen(std::to_string(refusing.port())) + u"/next";
  endpoint_.headerProcessingProgIds = {u"some.processor"};
  ASSERT_TRUE(Run());
  EXPECT_TRUE(g_get_body.args.empty());  // the body object is not called
  ASSERT_EQ(message_->faults.size(), 1u);
  EXPECT_EQ(message_->faults[0].code, u"Receiver");
  EXPECT_EQ(message_->faults[0].text, u"Request: Failed to connect to server.");
  EXPECT_EQ(plugins_.calls,
            (std::vector<std::string>{"create", "headers(request)", "headers(response)"}));
  EXPECT_EQ(answer_.status, 500);
}

// A processor guarding the endpoint refuses a GET as it would a POST: neither
// the body nor the next hop sees the request, and the answer is its fault.
TEST_F(SoapGetTest, RefusingProcessorKeepsTheGetFromTheBody) {
  net::testing::RefusingPort refusing;
  enum class Kind { Rpc, Document, Intermediary };
  const struct {
    const char* name;
    Kind kind;
    bool fails;  // else it leaves a fault and succeeds
    std::vector<std::string> calls;
  } cases[] = {
      {"rpc, fault left", Kind::Rpc, false,
       {"create", "headers(request)", "headers(response)"}},
      {"rpc, call failed", Kind::Rpc, true, {"create", "headers(request)"}},
      {"document, fault left", Kind::Document, false,
       {"create", "headers(request)", "headers(response)"}},
      {"intermediary, fault left", Kind::Intermediary, false,
       {"create", "headers(request)", "headers(response)"}},
  };
  for (const auto& c : cases) {
    message_ = com::MakeComObject<ScriptedMessage>();
    message_->rpc = c.kind == Kind::Rpc;
    g_get_body = GetBodyScript{};
    endpoint_.nextHopURL =
        c.kind == Kind::Intermediary
            ? u"http://127.0.0.1:" + text::Widen(std::to_string(refusing.port())) + u"/next"
            : u"";
    endpoint_.headerProcessingProgIds = {u"guard.processor"};
    plugins_.Reset();
    plugins_.request_fails = c.fails;
    plugins_.request_faults = true;
    answer_ = SoapAnswer{};
    ASSERT_TRUE(Run()) << c.name;
    EXPECT_EQ(plugins_.calls, c.calls) << c.name;
    EXPECT_TRUE(g_get_body.args.empty()) << c.name;
    ASSERT_EQ(message_->faults.size(), 1u) << c.name;  // no forwarding fault either
    EXPECT_EQ(message_->faults[0].code, u"Sender") << c.name;
    EXPECT_EQ(answer_.status, 400) << c.name;
  }
}

}  // namespace
}  // namespace server
