#include "server/soap/forwarding_proxy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "dime/message.h"
#include "dime/testing/dime_testing.h"
#include "platform/net/testing/loopback_peer.h"
#include "platform/text/text.h"
#include "server/soap/testing/scripted_message.h"

namespace server {
namespace {

using net::testing::LoopbackPeer;
using net::testing::PeerConnection;
using net::testing::RefusingPort;
using server_testing::ScriptedAttachment;
using server_testing::ScriptedMessage;

constexpr uint32_t kTimeoutMs = 5000;
constexpr char16_t kSoap11Ns[] = u"http://schemas.xmlsoap.org/soap/envelope/";
constexpr char16_t kSoap12Ns[] = u"http://www.w3.org/2003/05/soap-envelope";
constexpr char kRequestEnvelope[] = "<Envelope>forward me</Envelope>";

ComPtr<ScriptedMessage> Message(LONG version, std::u16string next_hop) {
  auto m = com::MakeComObject<ScriptedMessage>();
  m->version = version;
  m->nextHop = std::move(next_hop);
  m->envelope = kRequestEnvelope;
  return m;
}

std::u16string HopUrl(uint16_t port, std::string_view path = "/next") {
  return text::Widen("http://127.0.0.1:" + std::to_string(port) + std::string(path));
}

// What the next hop received, and a reply it sends after reading the request.
struct HopRequest {
  std::string head;
  std::string body;
};

void ServeOnce(LoopbackPeer& peer, HopRequest* seen, std::string reply) {
  peer.Serve([seen, reply = std::move(reply)](PeerConnection& c) {
    seen->head = c.ReadHead();
    const size_t at = seen->head.find("Content-Length: ");
    if (at != std::string::npos) {
      seen->body = c.ReadExactly(std::stoul(seen->head.substr(at + 16)));
    }
    c.Write(reply);
  });
}

std::string Reply(std::string_view status, std::string_view type, std::string_view body) {
  std::string r = "HTTP/1.1 " + std::string(status) + "\r\n";
  if (!type.empty()) r += "Content-Type: " + std::string(type) + "\r\n";
  return r + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
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

TEST(NextHopTest, UrlAndTargetAreSplitAndEscapedOnce) {
  const struct {
    std::string url, extra, query;
    std::string host;
    int port;
    std::string target;
  } cases[] = {
      {"http://h:8081/x", "/y/z", "", "h", 8081, "/x/y/z"},
      {"http://h/x", "", "", "h", 80, "/x"},
      {"http://h:8081", "/y", "", "h", 8081, "/y"},
      {"http://h", "", "", "h", 80, "/"},
      // The configured path is already in wire form; the extra path arrived
      // decoded; the query is passed on as received.
      {"http://h/a%41b", "/c d", "x=%41&y=1", "h", 80, "/a%41b/c%20d?x=%41&y=1"},
      {"http://h:0/x", "", "", "h", 0, "/x"},
      {"http://h:65536/x", "", "", "h", 0, "/x"},
      {"http://h:80a/x", "", "", "h", 0, "/x"},
      {"http://h:/x", "", "", "h", 0, "/x"},
      {"http://h:65535/x", "", "", "h", 65535, "/x"},
      {"ftp://h/x", "", "", "", 80, ""},
  };
  for (const auto& c : cases) {
    const NextHop hop = ParseNextHopUrl(c.url);
    EXPECT_EQ(hop.host, c.host) << c.url;
    EXPECT_EQ(hop.port, c.port) << c.url;
    if (!c.target.empty()) {
      EXPECT_EQ(ForwardTarget(hop.path, c.extra, c.query), c.target) << c.url;
    }
  }
}

TEST(ForwardSoapPostTest, XmlRequestGoesToTheHopAndItsFaultReplyIsLoaded) {
  LoopbackPeer peer;
  HopRequest seen;
  const std::string fault = "<Envelope><Fault/></Envelope>";
  ServeOnce(peer, &seen, Reply("500 Internal Server Error", "text/xml; charset=utf-8", fault));
  auto m = Message(11, HopUrl(peer.port(), "/next/hop"));
  ForwardSoapPost(m.Get(), "\"urn:act\"", "/y z", /*dime=*/false, ForwardLimits{kTimeoutMs});
  peer.Join();

  const std::string expected_head =
      "POST /next/hop/y%20z HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(peer.port()) +
      "\r\nUser-Agent: Quorvel SOAP Server/3.2 (Acting as Intermediary)\r\n"
      "Content-Type: text/xml; charset=\"utf-8\"\r\nContent-Length: " +
      std::to_string(std::string(kRequestEnvelope).size()) + "\r\nSOAPAction: \"urn:act\"\r\n\r\n";
  EXPECT_EQ(seen.head, expected_head);
  EXPECT_EQ(seen.body, kRequestEnvelope);
  EXPECT_FALSE(m->HasFault());
  EXPECT_EQ(m->buffer, fault);
  EXPECT_TRUE((m->calls == std::vector<std::u16string>{u"Serialize", u"SetRequestPhase(false)",
                                                       u"SetBuffer", u"ClearHeaderElems",
                                                       u"ClearMethodParams", u"Deserialize"}));
}

// A reply over the forward's cap, or one the server's budget cannot take,
// becomes the forward's fault without reaching the message; one that fits is
// charged while the returned charge lives, then given back.
TEST(ForwardSoapPostTest, RepliesAreCappedAndChargedToTheBudget) {
  const std::string answer = "<Envelope>" + std::string(1000, 'a') + "</Envelope>";
  const uint64_t charged = answer.size() * kDecodedBytesPerBodyByte;
  const struct {
    const char* name;
    uint64_t cap;
    uint64_t budget;
    bool loaded;
  } cases[] = {
      {"fits", 4096, 1 << 20, true},
      {"over the cap", 512, 1 << 20, false},
      {"over the budget", 4096, charged - 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RequestBudget budget(c.budget, 0);
    LoopbackPeer peer;
    HopRequest seen;
    ServeOnce(peer, &seen, Reply("200 OK", "text/xml", answer));
    auto m = Message(11, HopUrl(peer.port()));
    {
      ForwardLimits limits{kTimeoutMs};
      limits.maxReplyBytes = c.cap;
      limits.budget = &budget;
      ReplyCharge charge = ForwardSoapPost(m.Get(), "\"\"", "", /*dime=*/false, limits);
      peer.Join();
      EXPECT_EQ(m->HasFault(), !c.loaded);
      if (c.loaded) {
        EXPECT_EQ(m->buffer, answer);
        EXPECT_EQ(budget.MemoryHeld(), charged);
      } else {
        ASSERT_EQ(m->faults.size(), 1u);
        EXPECT_EQ(m->faults[0].text, u"Response: Unexpected memory allocation error.");
        EXPECT_EQ(budget.MemoryHeld(), 0u);
      }
    }
    EXPECT_EQ(budget.MemoryHeld(), 0u);
  }
}

TEST(ForwardSoapPostTest, RepliesThatAreNotAnswersBecomeFaults) {
  const struct {
    const char* name;
    LONG version;
    std::string reply;
    std::u16string code;  // empty: the reply is loaded, no fault
    std::u16string text;
    bool no_content;
  } cases[] = {
      {"404", 11, Reply("404 Not Found", "text/xml", "<x/>"), u"Server",
       u"Response: Unexpected HTTP Status Code.", false},
      {"400 to SOAP 1.1", 11, Reply("400 Bad Request", "text/xml", "<x/>"), u"Server",
       u"Response: Unexpected HTTP Status Code.", false},
      {"400 to SOAP 1.2", 12, Reply("400 Bad Request", "application/soap+xml", "<x/>"), u"", u"",
       false},
      {"200 html", 11, Reply("200 OK", "text/html", "<x/>"), u"Server",
       u"Response: Unexpected media type for response.", false},
      {"200 SOAP 1.1 type to 1.2", 12, Reply("200 OK", "text/xml", "<x/>"), u"Receiver",
       u"Response: Unexpected media type for response.", false},
      {"500 html", 12, Reply("500 Error", "text/html", "oops"), u"Receiver",
       u"Attempt to forward SOAP request failed.", false},
      {"400 html", 12, Reply("400 Bad", "text/html", "oops"), u"Sender",
       u"Attempt to forward SOAP request failed.", false},
      // Answered 204; the response phase still learns the forward gave nothing.
      {"204", 11, "HTTP/1.0 204 No Content\r\n\r\n", u"Client",
       u"Attempt to forward SOAP request failed.", true},
  };
  for (const auto& c : cases) {
    LoopbackPeer peer;
    HopRequest seen;
    ServeOnce(peer, &seen, c.reply);
    auto m = Message(c.version, HopUrl(peer.port()));
    ForwardSoapPost(m.Get(), "", "", /*dime=*/false, ForwardLimits{kTimeoutMs});
    peer.Join();
    EXPECT_EQ(m->noContent, c.no_content) << c.name;
    if (c.code.empty()) {
      EXPECT_FALSE(m->HasFault()) << c.name;
      EXPECT_EQ(m->buffer, "<x/>") << c.name;
      continue;
    }
    ASSERT_EQ(m->faults.size(), 1u) << c.name;
    EXPECT_EQ(m->faults[0].code, c.code) << c.name;
    EXPECT_EQ(m->faults[0].text, c.text) << c.name;
    EXPECT_EQ(m->faults[0].soap12, c.version == 12) << c.name;
    EXPECT_EQ(m->faults[0].ns, c.version == 12 ? kSoap12Ns : kSoap11Ns) << c.name;
  }
}

TEST(ForwardSoapPostTest, UnreachableHopsAndUnsafeValuesAreConnectionFailures) {
  RefusingPort refusing;
  LoopbackPeer silent;  // accepts and never answers
  silent.Serve([](PeerConnection& c) { c.ReadToEnd(); });
  LoopbackPeer never;  // nothing may reach this one
  never.Serve([](PeerConnection& c) { c.ReadToEnd(); });
  const std::string port = std::to_string(never.port());
  const struct {
    const char* name;
    std::u16string hop;
    std::string action;
    std::string extra;
  } cases[] = {
      {"refused", HopUrl(refusing.port()), "", ""},
      {"silent", HopUrl(silent.port()), "", ""},
      {"no scheme", u"127.0.0.1:" + text::Widen(port) + u"/x", "", ""},
      {"port 0", u"http://127.0.0.1:0/x", "", ""},
      {"port too large", u"http://127.0.0.1:70000/x", "", ""},
      {"port not a number", u"http://127.0.0.1:80x/x", "", ""},
      {"LF in SOAPAction", HopUrl(never.port()), "\"a\"\nX-Injected: 1", ""},
      {"CR in SOAPAction", HopUrl(never.port()), "\"a\"\rX-Injected: 1", ""},
      {"CR LF in host", u"http://127.0.0.1\r\nX-Injected: 1:" + text::Widen(port) + u"/x", "", ""},
      {"blank in hop path", HopUrl(never.port(), "/a b"), "", ""},
      {"user part in host", u"http://x@127.0.0.1:" + text::Widen(port) + u"/x", "", ""},
      {"blank in host", u"http://127.0.0.1 x:" + text::Widen(port) + u"/x", "", ""},
      {"scheme in capitals", u"HTTP://127.0.0.1:" + text::Widen(port) + u"/x", "", ""},
      {"CR LF in hop path", HopUrl(never.port(), "/a\r\nX: 1"), "", ""},
  };
  for (const auto& c : cases) {
    auto m = Message(12, c.hop);
    // The silent hop is bounded by the per-wait time-out, shortened here.
    ForwardSoapPost(m.Get(), c.action, c.extra, /*dime=*/false, ForwardLimits{300});
    ASSERT_EQ(m->faults.size(), 1u) << c.name;
    EXPECT_EQ(m->faults[0].code, u"Receiver") << c.name;
    EXPECT_EQ(m->faults[0].text, u"Request: Failed to connect to server.") << c.name;
    EXPECT_FALSE(m->bufferSet) << c.name;
  }
  never.Stop();
  silent.Stop();
  EXPECT_EQ(never.accepted(), 0);
}

TEST(ForwardSoapPostTest, OneDeadlineEndsAForwardAndAFullGateRefusesIt) {
  // Each byte comes inside the per-wait time-out; the client's deadline ends
  // the forward long before the hop would.
  const struct {
    const char* what;
    uint32_t waitMs;
    std::chrono::milliseconds clientLeft;
  } cases[] = {
      {"the forward's own bound", 500, std::chrono::hours(1)},
      {"the client's time-out", 5000, std::chrono::milliseconds(500)},
  };
  for (const auto& c : cases) {
    LoopbackPeer hop;
    std::atomic<bool> allWritten{true};
    hop.Serve([&](PeerConnection& conn) {
      conn.ReadHead();
      for (int i = 0; i < 40; ++i) {
        if (!conn.Write("H")) {
          allWritten = false;
          return;
        }
        conn.Pause(100);
      }
    });
    auto m = Message(11, HopUrl(hop.port()));
    ForwardSoapPost(m.Get(), "", "", false,
                    ForwardLimits{c.waitMs, std::chrono::steady_clock::now() + c.clientLeft});
    ASSERT_EQ(m->faults.size(), 1u) << c.what;
    hop.Join();
    EXPECT_FALSE(allWritten.load()) << c.what << ": the forward outlasted its deadline";
  }

  OutboundGate gate(1);
  OutboundGate::Pass held(&gate);
  ASSERT_TRUE(held.Entered());
  LoopbackPeer never;
  never.Serve([](PeerConnection&) {});
  auto m = Message(12, HopUrl(never.port()));
  ForwardSoapGet(m.Get(), "", "",
                 ForwardLimits{kTimeoutMs, std::chrono::steady_clock::time_point::max(), &gate});
  ASSERT_EQ(m->faults.size(), 1u);
  EXPECT_EQ(m->faults[0].text,
            u"Request: Too many requests are waiting on next hops; try again later.");
  never.Stop();
  EXPECT_EQ(never.accepted(), 0);
}

TEST(ForwardSoapPostTest, MessageThatCannotBeWrittenIsNotSent) {
  auto m = Message(11, u"http://127.0.0.1:1/x");
  m->serializeOk = false;
  ForwardSoapPost(m.Get(), "", "", false, ForwardLimits{kTimeoutMs});
  ASSERT_EQ(m->faults.size(), 1u);
  EXPECT_EQ(m->faults[0].code, u"Server");
  EXPECT_EQ(m->faults[0].text, u"Attempt to re-serialize SOAP request msg by intermediary failed.");
  EXPECT_FALSE(m->requestPhase);

  auto unreadable = Message(12, u"http://127.0.0.1:1/x");
  unreadable->getBufferOk = false;
  ForwardSoapPost(unreadable.Get(), "", "", false, ForwardLimits{kTimeoutMs});
  ASSERT_EQ(unreadable->faults.size(), 1u);
  EXPECT_EQ(unreadable->faults[0].text, u"Request: Failed to access buffer for SOAP message.");

  ForwardingProxy proxy(kTimeoutMs);
  EXPECT_FALSE(
      proxy.ForwardRequest("PUT", "", "127.0.0.1", 80, "/", kForwardUserAgent, m.Get(), false));
  EXPECT_EQ(proxy.ErrorText(), u"Unsupported HTTP request method.");
}

TEST(ForwardSoapPostTest, DimeRequestIsForwardedAsDimeAndTheDimeReplyLoaded) {
  const std::string attachment = std::string(70000, 'a') + "end";
  ComPtr<IStorage> storage = dime::testing::StorageWith(attachment);
  ASSERT_TRUE(storage);

  dime::DimeMessage reply_message;
  reply_message.InitSerializer(dime::kRecordSize);
  const std::string reply_envelope = "<Envelope>reply</Envelope>";
  const std::string reply_attachment(9000, 'r');
  ASSERT_TRUE(reply_message.AddPayloadFromBytes(reply_envelope.data(), reply_envelope.size(), "",
                                                "http://www.w3.org/2003/05/soap-envelope", 2));
  const uint8_t option[] = {9, 8, 7};
  ASSERT_TRUE(reply_message.AddPayloadFromBytes(reply_attachment.data(), reply_attachment.size(),
                                                "r1", "image/png", 1, option, 3, 5));
  const std::string reply = DimeWire(reply_message);

  LoopbackPeer peer;
  HopRequest seen;
  ServeOnce(peer, &seen, Reply("200 OK", "application/dime", reply));
  auto m = Message(12, HopUrl(peer.port()));
  m->requestAttachments.push_back(
      ScriptedAttachment{u"cid:1",
                         u"application/octet-stream",
                         2,
                         ComPtr<IUnknown>(static_cast<IUnknown*>(storage.Get())),
                         {}});
  ForwardSoapPost(m.Get(), "\"x\"", "", /*dime=*/true, ForwardLimits{kTimeoutMs});
  peer.Join();

  EXPECT_NE(seen.head.find("\r\nContent-Type: application/dime\r\n"), std::string::npos)
      << seen.head;
  dime::DimeMessage sent;
  sent.InitDeserializer();
  sent.Deserialize(reinterpret_cast<const uint8_t*>(seen.body.data()), seen.body.size());
  ASSERT_TRUE(sent.IsComplete());
  ASSERT_EQ(sent.PayloadCount(), 2u);
  EXPECT_EQ(dime::testing::ReadAll(*sent.Payload(0)), kRequestEnvelope);
  EXPECT_EQ(sent.Payload(0)->Type(), "http://www.w3.org/2003/05/soap-envelope");
  EXPECT_EQ(sent.Payload(1)->Id(), "cid:1");
  EXPECT_EQ(dime::testing::ReadAll(*sent.Payload(1)), attachment);

  EXPECT_FALSE(m->HasFault());
  EXPECT_EQ(m->buffer, reply_envelope);
  ASSERT_EQ(m->responseAttachments.size(), 1u);
  const ScriptedAttachment& got = m->responseAttachments[0];
  EXPECT_EQ(got.id, u"r1");
  EXPECT_EQ(got.type, u"image/png");
  EXPECT_EQ(got.tnf, 1);
  EXPECT_EQ(got.options, (std::vector<uint8_t>{0, 5, 0, 3, 9, 8, 7}));
  ComPtr<IStorage> got_storage = com::QueryInterfacePtr<IStorage>(got.storage.Get());
  ASSERT_TRUE(got_storage);
  dime::DimePayload readback(got_storage.Get(), "", "", 0);
  EXPECT_EQ(dime::testing::ReadAll(readback), reply_attachment);
}

TEST(ForwardSoapPostTest, TruncatedDimeReplyIsAFaultNotAPartialMessage) {
  dime::DimeMessage reply_message;
  reply_message.InitSerializer(dime::kRecordSize);
  const std::string big(20000, 'b');
  ASSERT_TRUE(reply_message.AddPayloadFromBytes("<E/>", 4, "", "urn:x", 2));
  ASSERT_TRUE(reply_message.AddPayloadFromBytes(big.data(), big.size(), "a", "t", 2));
  const std::string reply = DimeWire(reply_message);
  LoopbackPeer peer;
  HopRequest seen;
  // The announced length is the whole message; the hop stops half-way.
  ServeOnce(peer, &seen,
            "HTTP/1.0 200 OK\r\nContent-Type: application/dime\r\nContent-Length: " +
                std::to_string(reply.size()) + "\r\n\r\n" + reply.substr(0, reply.size() / 2));
  auto m = Message(11, HopUrl(peer.port()));
  ForwardSoapPost(m.Get(), "", "", /*dime=*/false, ForwardLimits{kTimeoutMs});
  peer.Join();
  ASSERT_EQ(m->faults.size(), 1u);
  EXPECT_EQ(m->faults[0].text, u"Response: Failed to read primary DIME payload.");
  EXPECT_TRUE(m->responseAttachments.empty());
}

TEST(LoopbackTest, AnswersWithTheProcessedRequest) {
  auto m = Message(11, u"http://127.0.0.1:1/never");
  m->envelope = "<Envelope>after the processors</Envelope>";
  EXPECT_EQ(LoopbackResponse(m.Get()), m->envelope);
  EXPECT_TRUE((m->calls == std::vector<std::u16string>{u"Serialize", u"SetRequestPhase(false)"}));
  EXPECT_FALSE(m->HasFault());
}

TEST(ForwardSoapGetTest, QueryTravelsAsReceivedAndFailuresAreSoap12Faults) {
  {
    LoopbackPeer peer;
    HopRequest seen;
    ServeOnce(peer, &seen, Reply("200 OK", "application/soap+xml", "<ok/>"));
    auto m = Message(12, HopUrl(peer.port(), "/get"));
    ForwardSoapGet(m.Get(), "/op", "a=%41&b=c%20d", ForwardLimits{kTimeoutMs});
    peer.Join();
    EXPECT_EQ(seen.head, "GET /get/op?a=%41&b=c%20d HTTP/1.0\r\nHost: 127.0.0.1:" +
                             std::to_string(peer.port()) +
                             "\r\nUser-Agent: Quorvel SOAP Server/3.2 (Acting as "
                             "Intermediary)\r\n\r\n");
    EXPECT_FALSE(m->HasFault());
    EXPECT_EQ(m->buffer, "<ok/>");
    EXPECT_TRUE((m->calls == std::vector<std::u16string>{u"SetBuffer", u"Deserialize"}));
  }
  const struct {
    const char* name;
    std::string reply;
    std::u16string code, text;
  } cases[] = {
      {"500 html", Reply("500 Error", "text/html", "x"), u"Receiver",
       u"Attempt to forward request failed."},
      {"400 html", Reply("400 Bad", "text/html", "x"), u"Sender",
       u"Attempt to forward request failed."},
      {"302", Reply("302 Found", "application/soap+xml", "x"), u"Receiver",
       u"Response: Unexpected HTTP Status Code."},
  };
  for (const auto& c : cases) {
    LoopbackPeer peer;
    HopRequest seen;
    ServeOnce(peer, &seen, c.reply);
    auto m = Message(12, HopUrl(peer.port()));
    ForwardSoapGet(m.Get(), "", "q=1", ForwardLimits{kTimeoutMs});
    peer.Join();
    ASSERT_EQ(m->faults.size(), 1u) << c.name;
    EXPECT_TRUE(m->faults[0].soap12) << c.name;
    EXPECT_EQ(m->faults[0].code, c.code) << c.name;
    EXPECT_EQ(m->faults[0].text, c.text) << c.name;
  }
  // A query holding a line break never reaches the hop.
  LoopbackPeer never;
  never.Serve([](PeerConnection& c) { c.ReadToEnd(); });
  auto m = Message(12, HopUrl(never.port()));
  ForwardSoapGet(m.Get(), "", "a=1\r\nX-Injected: 1", ForwardLimits{kTimeoutMs});
  never.Stop();
  EXPECT_EQ(never.accepted(), 0);
  ASSERT_EQ(m->faults.size(), 1u);
  EXPECT_EQ(m->faults[0].text, u"Request: Failed to connect to server.");
}

}  // namespace
}  // namespace server
