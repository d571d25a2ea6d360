// Forwarding and SOAP GET behind the real server core: HTTP requests on a
// loopback port reach an intermediary endpoint, which forwards them to a
// scripted next hop, and GETs on endpoints. The scripted message stands in
// for the message object: it writes back what it was given to parse.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dime/message.h"
#include "dime/testing/dime_testing.h"
#include "platform/com/activation.h"
#include "platform/net/testing/loopback_peer.h"
#include "platform/registry/testing/temp_registry.h"
#include "platform/text/text.h"
#include "server/http/request_log.h"
#include "server/http/server_core.h"
#include "server/soap/soap_post.h"
#include "server/http/testing/loopback_client.h"
#include "server/soap/testing/scripted_message.h"
#include "server/http/testing/test_files.h"
#include "server/soap/wsdl_cache.h"

namespace server {
namespace {

using net::testing::LoopbackPeer;
using net::testing::PeerConnection;
using server_testing::ScriptedMessage;

class NoTrace final : public RequestLogger {
 public:
  void LogRequest(const RequestRecord&) override {}
  void WriteTraceRecord(std::string_view) override {}
  void RotateLogs() override {}
};

std::string Pattern(size_t n) {
  std::string s(n, 'a');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 23);
  return s;
}

std::string DimeWire(dime::DimeMessage& m) {
  std::string out;
  uint8_t buf[dime::kRecordSize];
  size_t n = 0;
  bool more = true;
  while (more) {
    more = m.Serialize(buf, sizeof buf, &n);
    out.append(reinterpret_cast<char*>(buf), n);
  }
  return out;
}

std::vector<std::string> DimeContents(const std::string& wire) {
  dime::DimeMessage m;
  m.InitDeserializer();
  m.Deserialize(reinterpret_cast<const uint8_t*>(wire.data()), wire.size());
  std::vector<std::string> out;
  if (!m.IsComplete()) return out;
  for (size_t i = 0; i < m.PayloadCount(); ++i) {
    out.push_back(dime::testing::ReadAll(*m.Payload(i)));
  }
  return out;
}

class SoapForwardHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cache_ = std::make_unique<WsdlCache>(
        store_.Lock(), 4, [](const std::string&) {},
        [](const EndpointInfo&) -> ComPtr<IDispatch> {
          return ComPtr<IDispatch>(com::MakeComObject<ScriptedMessage>().Get());
        });
    dispatch_ = std::make_unique<SoapPostDispatch>(*cache_, [this] {
      ComPtr<ScriptedMessage> m = com::MakeComObject<ScriptedMessage>();
      m->version = version_;
      m->rpc = rpc_;
      m->processRpcGetOk = false;
      std::lock_guard<std::mutex> lock(mu_);
      messages_.push_back(m);
      return ComPtr<Iquenlin2>(m.Get());
    });
  }
  void TearDown() override {
    core_.reset();
    if (!docRoot_.empty()) std::filesystem::remove_all(docRoot_);
  }

  void Start(EndpointInfo endpoint, int workers = 2, int clients = 4) {
    ConfigSnapshot config;
    if (!docRoot_.empty()) config.docBasePath = std::filesystem::canonical(docRoot_).string();
    endpoint.requestURI = "/svc";
    endpoint.enabled = true;
    endpoint.wildcard = true;
    config.endpoints["/svc"] = std::move(endpoint);
    {
      std::lock_guard<std::mutex> lock(store_.Lock());
      store_.Publish(std::make_shared<const ConfigSnapshot>(std::move(config)));
    }
    ServerSettings settings;
    settings.listenAddress = "127.0.0.1";
    settings.listenPort = 0;
    settings.numWorkThreads = workers;
    settings.maxClients = clients;
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

  // The whole reply to `request`; `limit` bounds the wait for it, not its pace.
  std::string Exchange(const std::string& request,
                       std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    server_testing::LoopbackClient client(port_);
    EXPECT_TRUE(client.Connected());
    client.Send(request);
    std::string reply = client.ReadAll(limit);
    EXPECT_FALSE(client.TimedOut()) << "no whole reply within the limit";
    return reply;
  }

  static std::string Body(const std::string& reply) {
    const size_t at = reply.find("\r\n\r\n");
    return at == std::string::npos ? "" : reply.substr(at + 4);
  }
  static std::string StatusLine(const std::string& reply) {
    return reply.substr(0, reply.find("\r\n"));
  }

  registry::testing::TempRegistry registry_;  // no plug-in is registered
  LONG version_ = 11;
  bool rpc_ = false;
  ConfigStore store_;
  NoTrace trace_;
  std::unique_ptr<WsdlCache> cache_;
  std::unique_ptr<SoapPostDispatch> dispatch_;
  std::unique_ptr<ServerCore> core_;
  uint16_t port_ = 0;
  std::filesystem::path docRoot_;  // when set, the configured document root
  std::mutex mu_;
  std::vector<ComPtr<ScriptedMessage>> messages_;
};

std::u16string HopUrl(uint16_t port, const char* path) {
  return text::Widen("http://127.0.0.1:" + std::to_string(port) + path);
}

TEST_F(SoapForwardHttpTest, XmlPostIsForwardedAndTheHopsAnswerRelayed) {
  LoopbackPeer hop;
  std::string seen;
  hop.Serve([&](PeerConnection& c) {
    seen = c.ReadHead();
    seen += c.ReadExactly(10);
    c.Write("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 7\r\n\r\n<reply>");
  });
  EndpointInfo endpoint;
  endpoint.nextHopURL = HopUrl(hop.port(), "/next");
  Start(endpoint);
  const std::string reply = Exchange(
      "POST /svc/a%20b HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: \"urn:x\"\r\n"
      "Content-Length: 10\r\n\r\n<request/>");
  hop.Join();
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK");
  EXPECT_EQ(Body(reply), "<reply>");
  EXPECT_EQ(seen.rfind("POST /next/a%20b HTTP/1.0\r\n", 0), 0u) << seen;
  EXPECT_NE(seen.find("\r\nSOAPAction: \"urn:x\"\r\n"), std::string::npos) << seen;
  EXPECT_NE(seen.find("\r\n\r\n<request/>"), std::string::npos) << seen;
}

TEST_F(SoapForwardHttpTest, DeadHopGivesTheFaultAndLoopbackAnswersWithTheRequest) {
  net::testing::RefusingPort refusing;
  EndpointInfo endpoint;
  endpoint.nextHopURL = HopUrl(refusing.port(), "/next");
  Start(endpoint);
  const std::string post =
      "POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: \"\"\r\n"
      "Content-Length: 10\r\n\r\n<request/>";
  EXPECT_EQ(StatusLine(Exchange(post)), "HTTP/1.0 500 Internal Server Error");
  {
    std::lock_guard<std::mutex> lock(mu_);
    ASSERT_EQ(messages_.size(), 1u);
    ASSERT_EQ(messages_[0]->faults.size(), 1u);
    EXPECT_EQ(messages_[0]->faults[0].text, u"Request: Failed to connect to server.");
  }

  core_.reset();
  endpoint.enableLoopback = true;
  Start(endpoint);
  const std::string reply = Exchange(post);
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK");
  EXPECT_EQ(Body(reply), "<request/>");
}

TEST_F(SoapForwardHttpTest, DimePostWithALargeAttachmentIsForwardedAsDime) {
  const std::string envelope = "<Envelope>dime</Envelope>";
  const std::string big = Pattern(10 << 20);
  const std::string small = Pattern(3000);
  dime::DimeMessage request;
  request.InitSerializer(dime::kRecordSize);
  ASSERT_TRUE(request.AddPayloadFromBytes(envelope.data(), envelope.size(), "",
                                          "http://schemas.xmlsoap.org/soap/envelope/", 2));
  ASSERT_TRUE(request.AddPayloadFromBytes(big.data(), big.size(), "big", "application/x", 2));
  ASSERT_TRUE(request.AddPayloadFromBytes(small.data(), small.size(), "small", "application/x", 2));
  const std::string body = DimeWire(request);

  LoopbackPeer hop;
  std::string head, forwarded;
  hop.Serve([&](PeerConnection& c) {
    head = c.ReadHead();
    const size_t at = head.find("Content-Length: ");
    forwarded = c.ReadExactly(std::stoul(head.substr(at + 16)));
    // The hop echoes the message back as its answer.
    c.Write("HTTP/1.0 200 OK\r\nContent-Type: application/dime\r\nContent-Length: " +
            std::to_string(forwarded.size()) + "\r\n\r\n" + forwarded);
  });
  EndpointInfo endpoint;
  endpoint.nextHopURL = HopUrl(hop.port(), "/echo");
  Start(endpoint);
  // 10 MB each way: a sanitizer build on a loaded machine needs more than the usual bound.
  const std::string reply = Exchange(
      "POST /svc HTTP/1.0\r\nContent-Type: application/dime\r\nSOAPAction: \"\"\r\n"
      "Content-Length: " +
          std::to_string(body.size()) + "\r\n\r\n" + body,
      std::chrono::seconds(120));
  hop.Join();

  EXPECT_NE(head.find("\r\nContent-Type: application/dime\r\n"), std::string::npos) << head;
  EXPECT_TRUE(DimeContents(forwarded) == (std::vector<std::string>{envelope, big, small}));
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK");
  EXPECT_NE(reply.find("application/dime"), std::string::npos);
  EXPECT_TRUE(DimeContents(Body(reply)) == (std::vector<std::string>{envelope, big, small}));
}

TEST_F(SoapForwardHttpTest, SlowNextHopsCannotHoldEveryWorker) {
  docRoot_ = server_testing::FreshTestDir("qvfwdroot");
  server_testing::WriteFile(docRoot_ / "a.txt", "static");
  // The first connection gets a byte every 100 ms, well inside each wait;
  // the later ones wait in the backlog and hear nothing.
  LoopbackPeer hop(/*backlog=*/16);
  hop.Serve(
      [](PeerConnection& c) {
        c.ReadHead();
        for (int i = 0; i < 40 && c.Write("H"); ++i) c.Pause(100);
      },
      /*connections=*/1);
  constexpr int kWorkers = 4;
  constexpr int kForwards = 6;
  dispatch_->SetForwardTimeoutMs(1500);
  dispatch_->SetOutboundLimit(OutboundGate::LimitFor(kWorkers));
  EndpointInfo endpoint;
  endpoint.nextHopURL = HopUrl(hop.port(), "/next");
  Start(endpoint, kWorkers, /*clients=*/16);

  std::vector<std::unique_ptr<server_testing::LoopbackClient>> forwards;
  for (int i = 0; i < kForwards; ++i) {
    forwards.push_back(std::make_unique<server_testing::LoopbackClient>(port_));
    ASSERT_TRUE(
        forwards.back()->Send("POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: \"\"\r\n"
                              "Content-Length: 10\r\n\r\n<request/>"));
  }
  // As many forwards as workers have started: without a bound on outbound
  // waits every worker would now be waiting on the hop.
  for (int i = 0; i < 500; ++i) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (messages_.size() >= static_cast<size_t>(kWorkers)) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto asked = std::chrono::steady_clock::now();
  server_testing::LoopbackClient get(port_);
  ASSERT_TRUE(get.Send("GET /a.txt HTTP/1.0\r\n\r\n"));
  const std::string page = get.ReadAll(std::chrono::seconds(1));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  EXPECT_EQ(StatusLine(page), "HTTP/1.0 200 OK");
  EXPECT_EQ(Body(page), "static");

  // Every forward ends in a fault: those past the gate at once, those
  // through it by the forward's deadline, trickle or not.
  for (auto& client : forwards) {
    EXPECT_EQ(StatusLine(client->ReadAll(std::chrono::seconds(5))),
              "HTTP/1.0 500 Internal Server Error");
  }
  std::lock_guard<std::mutex> lock(mu_);
  int busy = 0;
  for (const auto& m : messages_) {
    ASSERT_EQ(m->faults.size(), 1u);
    if (m->faults[0].text.find(u"Too many requests") != std::u16string::npos) ++busy;
  }
  EXPECT_EQ(busy, kForwards - static_cast<int>(OutboundGate::LimitFor(kWorkers)));
}

TEST_F(SoapForwardHttpTest, GetOnEndpoints) {
  // An RPC endpoint whose path and query decode into no call: the page.
  rpc_ = true;
  EndpointInfo endpoint;
  Start(endpoint);
  std::string reply = Exchange("GET /svc?op=1 HTTP/1.0\r\n\r\n");
  EXPECT_NE(reply.find("SOAP Endpoint Found"), std::string::npos) << reply;

  // A document endpoint whose body object does not exist: a Receiver fault.
  core_.reset();
  rpc_ = false;
  endpoint.bodyProcessingProgId = u"No.Such.Body";
  Start(endpoint);
  reply = Exchange("GET /svc?op=1 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 500 Internal Server Error");
  EXPECT_NE(reply.find("application/soap+xml"), std::string::npos) << reply;

  // An intermediary forwards the GET with its query as received.
  LoopbackPeer hop;
  std::string seen;
  hop.Serve([&](PeerConnection& c) {
    seen = c.ReadHead();
    c.Write(
        "HTTP/1.0 200 OK\r\nContent-Type: application/soap+xml\r\nContent-Length: 6\r\n\r\n"
        "<got/>");
  });
  core_.reset();
  endpoint.nextHopURL = HopUrl(hop.port(), "/next");
  Start(endpoint);
  reply = Exchange("GET /svc/x?a=%41&b HTTP/1.0\r\n\r\n");
  hop.Join();
  EXPECT_EQ(seen.rfind("GET /next/x?a=%41&b HTTP/1.0\r\n", 0), 0u) << seen;
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK");
  EXPECT_EQ(Body(reply), "<got/>");
}

}  // namespace
}  // namespace server
