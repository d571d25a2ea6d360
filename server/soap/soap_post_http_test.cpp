// The dispatch behind the real server core: HTTP requests on a loopback port,
// workers creating the test plug-ins in their own apartments, and the
// scripted message standing in for the message object.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dime/message.h"
#include "platform/com/activation.h"
#include "platform/registry/testing/temp_registry.h"
#include "server/http/request_log.h"
#include "server/http/server_core.h"
#include "server/soap/soap_post.h"
#include "server/soap/testing/scripted_message.h"
#include "server/http/testing/loopback_client.h"
#include "server/soap/wsdl_cache.h"

namespace server {
namespace {

using server_testing::ScriptedMessage;
using server_testing::SummaryMessage;

constexpr char kSoap11Envelope[] = "http://schemas.xmlsoap.org/soap/envelope/";

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

// What the next request's message does.
struct Script {
  LONG version = 11;
  bool rpc = false;
  std::u16string method;
  std::vector<std::pair<std::u16string, std::u16string>> stringParams;
  // A response attachment over this storage, when set.
  IStorage* attachment = nullptr;
};

class SoapPostHttpTest : public ::testing::Test {
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
    cache_ = std::make_unique<WsdlCache>(
        store_.Lock(), 4, [this](const std::string& line) { Event(line); },
        [](const EndpointInfo&) -> ComPtr<IDispatch> {
          return ComPtr<IDispatch>(SummaryMessage().Get());
        });
    dispatch_ = std::make_unique<SoapPostDispatch>(*cache_, [this] {
      ComPtr<ScriptedMessage> m = SummaryMessage();
      m->version = script_.version;
      m->body = u"<Body>REQ</Body>";  // the whole Body element, as the message keeps it
      m->rpc = script_.rpc;
      m->method = script_.method;
      for (const auto& [name, value] : script_.stringParams) {
        server_testing::FakeParam p;
        p.name = name;
        p.value = Variant::FromText(value);
        m->params.push_back(std::move(p));
      }
      if (script_.attachment) {
        m->responseAttachments.push_back(
            {u"att", u"application/x", 2, ComPtr<IUnknown>(script_.attachment), {}});
      }
      {
        std::lock_guard<std::mutex> lock(lastMu_);
        last_ = m;
      }
      return ComPtr<Iquenlin2>(m.Get());
    });
  }
  void TearDown() override { core_.reset(); }

  void Start(EndpointInfo endpoint) {
    ConfigSnapshot config;
    config.logs.enable_trace_log = true;
    endpoint.requestURI = "/svc";
    endpoint.enabled = true;
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
    core_ = std::make_unique<ServerCore>(settings, store_, &trace_,
                                         [this](const std::string& line) { Event(line); });
    core_->SetSoapDispatch(dispatch_.get());
    core_->SetWsdlCache(cache_.get());
    ProtocolInfo tcp;
    tcp.guaranteedDelivery = true;
    tcp.guaranteedOrder = true;
    tcp.addressFamily = AF_INET;
    ASSERT_TRUE(core_->StartServer({tcp}));
    port_ = core_->ListeningPort(0);
  }

  // Status line and body of one POST.
  std::pair<std::string, std::string> Post(const std::string& contentType,
                                           const char* soapAction = "\"urn:a\"",
                                           const std::string& body = "<request/>") {
    std::string request = "POST /svc HTTP/1.0\r\nContent-Type: " + contentType + "\r\n";
    if (soapAction) request += std::string("SOAPAction: ") + soapAction + "\r\n";
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    server_testing::LoopbackClient client(port_);
    EXPECT_TRUE(client.Connected());
    client.Send(request);
    const std::string reply = client.ReadAll();
    const size_t lineEnd = reply.find("\r\n");
    const size_t headEnd = reply.find("\r\n\r\n");
    if (lineEnd == std::string::npos || headEnd == std::string::npos) return {reply, ""};
    return {reply.substr(0, lineEnd), reply.substr(headEnd + 4)};
  }

  void Event(const std::string& line) {
    std::lock_guard<std::mutex> lock(eventsMu_);
    events_.push_back(line);
  }
  bool HasEvent(const std::string& line) {
    std::lock_guard<std::mutex> lock(eventsMu_);
    for (const std::string& e : events_) {
      if (e == line) return true;
    }
    return false;
  }

  static inline registry::testing::TempRegistry* registry_ = nullptr;
  static inline bool registered_ = false;
  ConfigStore store_;
  TraceCapture trace_;
  std::unique_ptr<WsdlCache> cache_;
  std::unique_ptr<SoapPostDispatch> dispatch_;
  std::unique_ptr<ServerCore> core_;
  uint16_t port_ = 0;
  Script script_;
  std::mutex lastMu_;
  ComPtr<ScriptedMessage> last_;
  std::mutex eventsMu_;
  std::vector<std::string> events_;
};

TEST_F(SoapPostHttpTest, AnswersInBothVersionsAndStyles) {
  EndpointInfo endpoint;
  endpoint.bodyProcessingProgId = u"QvTest.Echo";
  endpoint.headerProcessingProgIds = {u"QvTest.HeaderAccept"};
  Start(endpoint);

  script_.rpc = true;
  script_.method = u"echoString";
  script_.stringParams = {{u"inputString", u"caf\u00e9"}};
  auto [line, body] = Post("text/xml");
  EXPECT_EQ(line, "HTTP/1.0 200 OK");
  EXPECT_EQ(body, "ok return=s:caf\xC3\xA9");

  script_.version = 12;
  std::tie(line, body) = Post("application/soap+xml", nullptr);
  EXPECT_EQ(line, "HTTP/1.0 200 OK");
  EXPECT_EQ(body, "ok return=s:caf\xC3\xA9");

  script_.stringParams = {{u"unknown", u"x"}};
  std::tie(line, body) = Post("application/soap+xml", nullptr);
  EXPECT_EQ(line, "HTTP/1.0 400 Bad Request");
  EXPECT_EQ(body,
            "fault Sender Body: One or more invalid method parameter names. sub=BadArguments "
            "detail HRESULT=0x80020006");

  // The endpoint's reader was loaded once and kept.
  EXPECT_EQ(cache_->Size(), 1u);
  std::lock_guard<std::mutex> lock(trace_.mu);
  ASSERT_EQ(trace_.records.size(), 3u);
  EXPECT_EQ(trace_.records[0].rfind("*\r\n*\r\nTime: ", 0), 0u);
  EXPECT_NE(trace_.records[0].find("\r\nSOAP Version: 1.1\r\nRequest URI: /svc\r\nHeader "
                                   "Processor ProgID's: QvTest.HeaderAccept\r\nBody Handler "
                                   "ProgID: QvTest.Echo\r\nSOAPAction: \"urn:a\"\r\n"),
            std::string::npos);
  EXPECT_NE(trace_.records[0].find("HTTP Status: 200\r\n\r\nREQUEST MESSAGE:\r\n\r\n<request/>"
                                   "\r\n\r\nRESPONSE MESSAGE:\r\n\r\nok return=s:caf\xC3\xA9"
                                   "\r\n*\r\n*\r\n"),
            std::string::npos);
}

TEST_F(SoapPostHttpTest, StatusesAndFaultTexts) {
  struct Case {
    const char* name;
    LONG version;
    std::vector<std::u16string> processors;
    std::u16string body;
    std::string line, reply;
  };
  const Case cases[] = {
      {"document 1.2",
       12,
       {},
       u"QvTest.Doc",
       "HTTP/1.0 200 OK",
       "ok body=<Body><post svc=\"/svc\" extra=\"\">REQ</post></Body>"},
      {"no content", 11, {}, u"QvTest.NoContent", "HTTP/1.0 204 No Content", ""},
      {"Sender fault",
       12,
       {},
       u"QvTest.Sender",
       "HTTP/1.0 400 Bad Request",
       "fault Sender bad input"},
      {"header processor fails",
       11,
       {u"QvTest.HeaderFail"},
       u"QvTest.Doc",
       "HTTP/1.0 500 Internal Server Error",
       "fault Server Headers: Invocation of header handler failed."},
      {"unregistered body handler",
       11,
       {},
       u"QvTest.Missing",
       "HTTP/1.0 500 Internal Server Error",
       "fault Server Body Processing: Failed to resolve ProgID for Body handler."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EndpointInfo endpoint;
    endpoint.bodyProcessingProgId = c.body;
    endpoint.headerProcessingProgIds = c.processors;
    Start(endpoint);
    script_.version = c.version;
    const auto [line, body] = Post(c.version == 11 ? "text/xml" : "application/soap+xml");
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(body, c.reply);
    core_.reset();
  }
}

TEST_F(SoapPostHttpTest, WatchdogFlushesTheCacheWhenAskedAndIdle) {
  EndpointInfo endpoint;
  endpoint.bodyProcessingProgId = u"QvTest.Doc";
  Start(endpoint);
  EXPECT_EQ(Post("text/xml").first, "HTTP/1.0 200 OK");
  ASSERT_EQ(cache_->Size(), 1u);
  core_->OnWatchdog();
  EXPECT_EQ(cache_->Size(), 1u);  // nothing asked for
  cache_->RequestFlush();
  for (int i = 0; i < 500 && core_->Stats().activeConnections.load() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  core_->OnWatchdog();
  EXPECT_EQ(cache_->Size(), 0u);
  EXPECT_TRUE(HasEvent("WSDL cache flushed"));
}

// A DIME request in, a DIME answer out: the envelope record reaches the
// message as its buffer, further records as request attachments, and the
// answer carries the response envelope first and the attachment after it.
TEST_F(SoapPostHttpTest, DimeRequestAndAnswer) {
  EndpointInfo endpoint;
  endpoint.bodyProcessingProgId = u"QvTest.Doc";
  Start(endpoint);
  dime::DimeMessage storage;  // lends the response attachment its storage
  ASSERT_TRUE(storage.InitSerializer(4096));
  ASSERT_TRUE(storage.AddPayloadFromBytes("attached", 8, "s", "t", 2));
  script_.attachment = storage.Payload(0)->Storage();

  dime::DimeMessage request;
  ASSERT_TRUE(request.InitSerializer(4096));
  ASSERT_TRUE(request.AddPayloadFromBytes("<env/>", 6, "", kSoap11Envelope, 2));
  ASSERT_TRUE(request.AddPayloadFromBytes("picture", 7, "pic", "image/png", 1));
  std::string body;
  std::vector<uint8_t> record(4096);
  size_t written = 0;
  bool more = true;
  while (more) {
    more = request.Serialize(record.data(), record.size(), &written);
    body.append(reinterpret_cast<const char*>(record.data()), written);
  }
  const auto [line, reply] = Post("application/dime", "\"urn:a\"", body);
  EXPECT_EQ(line, "HTTP/1.0 200 OK");
  {
    std::lock_guard<std::mutex> lock(lastMu_);
    ASSERT_TRUE(last_);
    EXPECT_EQ(last_->buffer, "<env/>");
    EXPECT_EQ(last_->RequestAttachmentIds(), std::vector<std::u16string>{u"pic|image/png"});
  }

  dime::DimeMessage answer;
  ASSERT_TRUE(answer.InitDeserializer(reply.size()));
  answer.Deserialize(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
  ASSERT_TRUE(answer.IsComplete());
  ASSERT_EQ(answer.PayloadCount(), 2u);
  EXPECT_EQ(answer.Payload(0)->Type(), kSoap11Envelope);
  EXPECT_EQ(answer.Payload(1)->Id(), "att");
  dime::DimePayload* envelope = answer.Payload(0);
  ASSERT_TRUE(envelope->OpenStream());
  std::string text(envelope->GetSize(), '\0');
  uint32_t read = 0;
  ASSERT_TRUE(envelope->Read(text.data(), static_cast<uint32_t>(text.size()), &read));
  envelope->Close();
  EXPECT_EQ(text, "ok body=<Body><body>REQ</body></Body>");
}

}  // namespace
}  // namespace server
