// Two copies of the braskel program on loopback ports of their own: one
// serves endpoints with the real message object and the test plug-ins, the
// other is an intermediary whose endpoints forward to it. XML and DIME
// requests travel through both; a DIME echo of a large attachment streams
// through the server without being held in its memory; SOAP 1.2 GETs are
// answered by a service, by RPC-by-GET, or with the endpoint page.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/net/testing/loopback_peer.h"
#include "server/braskel/service_registration.h"
#include "server/braskel/testing/braskel_instances.h"
#include "server/braskel/testing/dime_codec.h"
#include "server/http/testing/loopback_client.h"
#include "server/http/testing/test_files.h"

namespace server {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using server_testing::DecodeDime;
using server_testing::DimePart;
using server_testing::EncodeDime;
using server_testing::LoopbackClient;
using server_testing::MemoryKb;
using server_testing::Pattern;
using server_testing::ReadFile;

constexpr char kSoap11Env[] = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr char kConnectFailed[] = "Request: Failed to connect to server.";

// ---- HTTP ----

std::string StatusLine(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

std::string Head(const std::string& reply) { return reply.substr(0, reply.find("\r\n\r\n") + 2); }

std::string Body(const std::string& reply) {
  const size_t at = reply.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : reply.substr(at + 4);
}

std::string Envelope11(const std::string& text) {
  return std::string(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"") +
         kSoap11Env + "\"><SOAP-ENV:Body><ask xmlns=\"urn:q\">" + text +
         "</ask></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string PostRequest(const std::string& path, const std::string& contentType,
                        const std::string& body) {
  return "POST " + path + " HTTP/1.0\r\nContent-Type: " + contentType +
         "\r\nSOAPAction: \"urn:a\"\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// The text of the first <faultstring> of a SOAP 1.1 reply.
std::string FaultString(const std::string& reply) {
  const size_t open = reply.find("<faultstring>");
  const size_t close = reply.find("</faultstring>");
  if (open == std::string::npos || close == std::string::npos) return "";
  return reply.substr(open + 13, close - open - 13);
}

std::string TestData(const char* file) {
  return std::string("file://") + QV_SERVER_TESTDATA + "/" + file;
}

std::string EndpointXml(const std::string& uri, const std::string& wsdl, const std::string& service,
                        const std::string& port, const std::string& body,
                        const std::string& extra = "") {
  return "<endpoint><requestURI>" + uri + "</requestURI><wsdlDocURL>" + wsdl +
         "</wsdlDocURL><wsdlService>" + service + "</wsdlService><wsdlPort>" + port +
         "</wsdlPort><bodyProcessingProgId>" + body + "</bodyProcessingProgId>" + extra +
         "<enabled>true</enabled></endpoint>";
}

// A document endpoint of the tests' SOAP 1.1 service.
std::string DocEndpoint(const std::string& uri, const std::string& body,
                        const std::string& extra = "") {
  return EndpointXml(uri, TestData("doc.wsdl"), "DocService", "DocPort", body, extra);
}

std::string NextHop(uint16_t port, const std::string& path) {
  return "<nextHopURL>http://127.0.0.1:" + std::to_string(port) + path + "</nextHopURL>";
}

class BraskelForwardHttpTest : public server_testing::BraskelInstancesTest {
 protected:
  BraskelForwardHttpTest()
      : BraskelInstancesTest(QV_REGCOMP, {QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT,
                                          QV_SOAPSTRUCT_COMPONENT, QV_TEST_PLUGINS}) {}
};

// The serving copy: a DIME echo service on /svc, one that faults on /bad.
std::string ServiceEndpoints() {
  return DocEndpoint("/svc", "QvTest.DimeEcho") + DocEndpoint("/bad", "QvTest.Sender");
}

TEST_F(BraskelForwardHttpTest, XmlAndDimeRequestsAreForwardedAndAnswered) {
  const Instance& service = Start("service", ServiceEndpoints());
  ASSERT_NE(service.port, 0);
  const std::string hop = NextHop(service.port, "/svc");
  const Instance& relay =
      Start("relay",
            DocEndpoint("/fwd", "QvTest.Doc", hop) +
                DocEndpoint("/loop", "QvTest.Doc", hop + "<enableLoopback>true</enableLoopback>") +
                DocEndpoint("/fwdbad", "QvTest.Doc", NextHop(service.port, "/bad")));
  ASSERT_NE(relay.port, 0);

  // XML: the service's answer comes back through the intermediary.
  std::string reply = Exchange(relay.port, PostRequest("/fwd", "text/xml", Envelope11("hi")));
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK") << reply;
  EXPECT_NE(Head(reply).find("Content-Type: text/xml"), std::string::npos) << reply;
  EXPECT_NE(Body(reply).find("<echo><ask xmlns=\"urn:q\">hi</ask></echo>"), std::string::npos)
      << reply;

  // The service's fault comes back as the intermediary's answer.
  reply = Exchange(relay.port, PostRequest("/fwdbad", "text/xml", Envelope11("hi")));
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 500 Internal Server Error") << reply;
  EXPECT_EQ(FaultString(reply), "bad input") << reply;

  // Loopback: the processed request itself, the service never asked.
  reply = Exchange(relay.port, PostRequest("/loop", "text/xml", Envelope11("back")));
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK") << reply;
  EXPECT_NE(Body(reply).find("<ask xmlns=\"urn:q\">back</ask>"), std::string::npos) << reply;
  EXPECT_EQ(reply.find("<echo>"), std::string::npos) << reply;

  // DIME: forwarded as DIME, the attachments echoed back unchanged.
  const std::vector<DimePart> attachments = {
      {"first", "application/octet-stream", 1, Pattern(70000, 1)},
      {"second", "image/png", 1, Pattern(5, 2)},
  };
  std::vector<DimePart> request = {{"", kSoap11Env, 2, Envelope11("dime")}};
  request.insert(request.end(), attachments.begin(), attachments.end());
  reply = Exchange(relay.port, PostRequest("/fwd", "application/dime", EncodeDime(request)));
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK") << Head(reply);
  EXPECT_NE(Head(reply).find("Content-Type: application/dime"), std::string::npos) << Head(reply);
  const auto parts = DecodeDime(Body(reply));
  ASSERT_TRUE(parts.has_value()) << Head(reply);
  ASSERT_EQ(parts->size(), 3u);
  EXPECT_NE((*parts)[0].data.find("<echo><ask xmlns=\"urn:q\">dime</ask></echo>"),
            std::string::npos)
      << (*parts)[0].data;
  EXPECT_TRUE((*parts)[1] == attachments[0]);
  EXPECT_TRUE((*parts)[2] == attachments[1]);
}

// A next hop that refuses the connection, and one that accepts it and never
// answers (the test's listening socket, never served): each ends in the
// forwarder's fault once the shortened wait is over.
TEST_F(BraskelForwardHttpTest, DeadAndSilentNextHopsGiveTheForwardersFault) {
  net::testing::RefusingPort dead;
  net::testing::LoopbackPeer silent;
  const Instance& relay =
      Start("relay",
            DocEndpoint("/dead", "QvTest.Doc", NextHop(dead.port(), "/svc")) +
                DocEndpoint("/silent", "QvTest.Doc", NextHop(silent.port(), "/svc")),
            {"QUORVEL_TEST_FORWARD_TIMEOUT_MS=3000"});
  ASSERT_NE(relay.port, 0);
  for (const char* path : {"/dead", "/silent"}) {
    SCOPED_TRACE(path);
    const std::string reply = Exchange(relay.port, PostRequest(path, "text/xml", Envelope11("x")));
    EXPECT_EQ(StatusLine(reply), "HTTP/1.0 500 Internal Server Error") << reply;
    EXPECT_EQ(FaultString(reply), kConnectFailed) << reply;
  }
}

// More forwards to a next hop that trickles bytes than the program has
// workers: the forwards past the bound on outbound waits are answered at
// once, and a static file is answered meanwhile.
TEST_F(BraskelForwardHttpTest, TricklingNextHopsLeaveWorkersForOtherRequests) {
  net::testing::LoopbackPeer hop;
  hop.Serve([](net::testing::PeerConnection& c) {
    c.ReadHead();
    for (int i = 0; i < 60 && c.Write("H"); ++i) c.Pause(100);
  });
  const Instance& relay =
      Start("relay", DocEndpoint("/slow", "QvTest.Doc", NextHop(hop.port(), "/svc")),
            {"QUORVEL_TEST_FORWARD_TIMEOUT_MS=3000"});
  ASSERT_NE(relay.port, 0);
  server_testing::WriteFile(relay.dir / "www" / "a.txt", "static");
  constexpr int kForwards = 5;  // the program runs 3 workers
  std::vector<std::unique_ptr<LoopbackClient>> forwards;
  for (int i = 0; i < kForwards; ++i) {
    forwards.push_back(std::make_unique<LoopbackClient>(relay.port));
    forwards.back()->Send(PostRequest("/slow", "text/xml", Envelope11("x")));
  }
  std::this_thread::sleep_for(300ms);  // the forwards reach their workers
  const auto asked = std::chrono::steady_clock::now();
  LoopbackClient get(relay.port);
  get.Send("GET /a.txt HTTP/1.0\r\n\r\n");
  const std::string page = get.ReadAll(1s);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
  EXPECT_EQ(StatusLine(page), "HTTP/1.0 200 OK") << page;
  EXPECT_EQ(Body(page), "static");

  int busy = 0;
  for (auto& c : forwards) {
    const std::string reply = c->ReadAll(30s);
    EXPECT_EQ(StatusLine(reply), "HTTP/1.0 500 Internal Server Error") << reply;
    busy += FaultString(reply) ==
            "Request: Too many requests are waiting on next hops; try again later.";
  }
  EXPECT_EQ(busy, kForwards - 1) << "one of three workers may wait on next hops";
}

// A WSDL host that never answers: its endpoint loads one description at a
// time, bounded, and remembers the failure; requests beyond the workers
// neither wait out the load each nor keep a static file from being served.
TEST_F(BraskelForwardHttpTest, SilentWsdlHostLeavesWorkersForOtherRequests) {
  net::testing::LoopbackPeer silent;  // accepts nothing: connections wait in its backlog
  const std::string wsdl = "http://127.0.0.1:" + std::to_string(silent.port()) + "/x.wsdl";
  const Instance& server = Start("server",
                                 EndpointXml("/w", wsdl, "DocService", "DocPort", "QvTest.Doc"),
                                 {"QUORVEL_TEST_WSDL_TIMEOUT_MS=3000"});
  ASSERT_NE(server.port, 0);
  server_testing::WriteFile(server.dir / "www" / "page.txt", "static");

  constexpr int kRequests = 8;  // the server has 3 workers
  std::vector<std::string> replies(kRequests);
  std::vector<std::thread> posts;
  for (int i = 0; i < kRequests; ++i) {
    posts.emplace_back([&, i] {
      replies[i] = Exchange(server.port, PostRequest("/w", "text/xml", Envelope11("x")));
    });
  }
  std::this_thread::sleep_for(200ms);  // the requests are in
  const auto start = std::chrono::steady_clock::now();
  const std::string page = Exchange(server.port, "GET /page.txt HTTP/1.0\r\n\r\n");
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(StatusLine(page), "HTTP/1.0 200 OK") << page;
  EXPECT_EQ(Body(page), "static");
  EXPECT_LT(took, 1s);
  for (std::thread& t : posts) t.join();
  for (const std::string& reply : replies) {
    EXPECT_EQ(StatusLine(reply), "HTTP/1.0 500 Internal Server Error") << reply;
  }
}

// Runs `request` (a DIME echo of `parts`) on `port` and checks the answer
// carries the same attachments behind the echoed envelope.
void ExpectDimeEcho(uint16_t port, const std::string& path, const std::vector<DimePart>& parts) {
  LoopbackClient c(port);
  ASSERT_TRUE(c.Connected());
  c.Send(PostRequest(path, "application/dime", EncodeDime(parts)));
  const std::string reply = c.ReadAll(120s);
  ASSERT_FALSE(c.TimedOut());
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK") << Head(reply);
  const auto echoed = DecodeDime(Body(reply));
  ASSERT_TRUE(echoed.has_value()) << Head(reply);
  ASSERT_EQ(echoed->size(), parts.size());
  EXPECT_NE((*echoed)[0].data.find("<echo>"), std::string::npos) << (*echoed)[0].data;
  for (size_t i = 1; i < parts.size(); ++i) {
    SCOPED_TRACE(parts[i].id);
    // Whole-string comparisons: a mismatch would print megabytes.
    EXPECT_TRUE((*echoed)[i] == parts[i]) << "size " << (*echoed)[i].data.size();
  }
}

// A 10 MB attachment beside a small one, echoed by the service, straight
// and through the intermediary: the answer is byte-identical, and neither
// server's peak resident memory grows by anything near the attachment, since
// the records stream through temporary storage both ways. AddressSanitizer
// keeps freed memory in a quarantine (256 MB by default) where it still
// counts as resident: both run with a small one (a thread-local one of 0
// would need a global one of 0), so that what they free counts as freed.
TEST_F(BraskelForwardHttpTest, LargeDimeAttachmentIsEchoedWithoutBeingHeldInMemory) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::vector<std::string> env = {"ASAN_OPTIONS=" + std::string(asan ? asan : "") +
                                        ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64"};
  const Instance& service = Start("service", ServiceEndpoints(), env);
  ASSERT_NE(service.port, 0);
  const Instance& relay =
      Start("relay", DocEndpoint("/fwd", "QvTest.Doc", NextHop(service.port, "/svc")), env);
  ASSERT_NE(relay.port, 0);
  const DimePart envelope{"", kSoap11Env, 2, Envelope11("big")};
  // The first exchange makes the one-time allocations of the path in both.
  ExpectDimeEcho(relay.port, "/fwd",
                 {envelope, {"warm", "application/octet-stream", 1, Pattern(300000, 3)}});
  const std::vector<DimePart> big = {envelope,
                                     {"big", "application/octet-stream", 1, Pattern(10 << 20, 4)},
                                     {"small", "text/plain", 1, "a small one"}};
  struct Route {
    const Instance* watched;
    uint16_t port;
    const char* path;
  } routes[] = {{&service, service.port, "/svc"}, {&relay, relay.port, "/fwd"}};
  for (const Route& r : routes) {
    SCOPED_TRACE(r.path);
    const long before = MemoryKb(r.watched->pid, "VmHWM");
    ASSERT_GT(before, 0);
    ExpectDimeEcho(r.port, r.path, big);
    const long after = MemoryKb(r.watched->pid, "VmHWM");
    // Measured at about 1.3 MB; 3 MB leaves room and stays far below 10.
    EXPECT_LT(after - before, 3 * 1024) << "kB of peak growth for a 10 MB attachment";
  }
}

// A next hop that answers 200 with 8 MiB of small elements (plain with a
// length, plain up to the close, and as a DIME envelope): decoding such a
// reply would build about 100 bytes per byte. The reply is refused at its
// cap, the client gets the forwarder's fault, and the intermediary's peak
// resident memory stays far below what the reply would have cost.
TEST_F(BraskelForwardHttpTest, FatNextHopReplyGivesTheForwardersFault) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::vector<std::string> env = {"ASAN_OPTIONS=" + std::string(asan ? asan : "") +
                                        ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64"};
  std::string elements;
  elements.reserve(8u << 20);
  while (elements.size() < (8u << 20)) elements += "<a/>";
  const std::string fat = "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" +
                          std::string(kSoap11Env) + "\"><SOAP-ENV:Body><r>" + elements +
                          "</r></SOAP-ENV:Body></SOAP-ENV:Envelope>";
  elements.clear();
  elements.shrink_to_fit();
  const std::string dimeFat = EncodeDime({{"", kSoap11Env, 2, fat}});
  struct Case {
    const char* name;
    std::string reply;
  } cases[] = {
      {"plain with a length", "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                                  std::to_string(fat.size()) + "\r\n\r\n" + fat},
      {"plain to the close", "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n" + fat},
      {"dime envelope", "HTTP/1.0 200 OK\r\nContent-Type: application/dime\r\nContent-Length: " +
                            std::to_string(dimeFat.size()) + "\r\n\r\n" + dimeFat},
  };
  net::testing::LoopbackPeer hop;
  size_t next = 0;
  hop.Serve(
      [&](net::testing::PeerConnection& c) {
        c.ReadAnnouncedBody(c.ReadHead());
        c.Write(cases[next++].reply);  // the intermediary may stop reading early
      },
      static_cast<int>(std::size(cases)));
  const Instance& relay =
      Start("relay", DocEndpoint("/fwd", "QvTest.Doc", NextHop(hop.port(), "/svc")), env);
  ASSERT_NE(relay.port, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const long before = MemoryKb(relay.pid, "VmHWM");
    ASSERT_GT(before, 0);
    const std::string reply = Exchange(relay.port, PostRequest("/fwd", "text/xml", Envelope11("x")));
    const long after = MemoryKb(relay.pid, "VmHWM");
    EXPECT_EQ(StatusLine(reply), "HTTP/1.0 500 Internal Server Error") << Head(reply);
    const std::string fault = FaultString(reply);
    EXPECT_TRUE(fault.starts_with("Response: ")) << fault;
    // The cap (1.6 MB) read and dropped; the whole reply decoded cost 815 MB.
    EXPECT_LT(after - before, 64 * 1024) << "kB of peak growth for an 8 MiB reply";
    std::printf("%s: peak RSS growth %ld kB\n", c.name, after - before);
  }
  hop.Stop();
}

// A port nothing listens on at the moment of asking.
uint16_t FreePort() {
  net::testing::LoopbackPeer probe;
  return probe.port();
}

// A request over the large-body size, forwarded to an endpoint of the same
// server: the forward's wait on its next hop does not hold the thread that
// large requests are processed on, so the next hop's own large request is
// processed meanwhile and the answer comes back byte for byte.
TEST_F(BraskelForwardHttpTest, LargeRequestForwardedToTheSameServerIsEchoed) {
  const uint16_t port = FreePort();
  ASSERT_NE(port, 0);
  const Instance& server = Start(
      "server", DocEndpoint("/svc", "QvTest.DimeEcho") +
                    DocEndpoint("/fwd", "QvTest.Doc", NextHop(port, "/svc")),
      {"QUORVEL_TEST_FORWARD_TIMEOUT_MS=10000"}, port);
  ASSERT_EQ(server.port, port);
  std::string text(400000, ' ');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  const std::string reply = Exchange(port, PostRequest("/fwd", "text/xml", Envelope11(text)));
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK") << Head(reply) << FaultString(reply);
  EXPECT_TRUE(Body(reply).find("<echo><ask xmlns=\"urn:q\">" + text + "</ask></echo>") !=
              std::string::npos)
      << "reply of " << reply.size() << " bytes";
  // The same for a DIME request whose attachments (0 B, 5 B, 1 MiB) make it large.
  const DimePart envelope{"", kSoap11Env, 2, Envelope11("dime")};
  ExpectDimeEcho(port, "/fwd",
                 {envelope,
                  {"empty", "application/octet-stream", 1, ""},
                  {"five", "text/plain", 1, "fives"},
                  {"big", "application/octet-stream", 1, Pattern(1 << 20, 5)}});
}

// A large request forwarded to a next hop that never answers does not
// stall the other large requests: one to a local endpoint is answered while
// the forward still waits.
TEST_F(BraskelForwardHttpTest, LargeRequestWaitingOnASilentHopLeavesOtherLargeRequestsServed) {
  net::testing::LoopbackPeer silent;  // accepts nothing: connections wait in its backlog
  const Instance& server =
      Start("server",
            DocEndpoint("/svc", "QvTest.DimeEcho") +
                DocEndpoint("/slow", "QvTest.Doc", NextHop(silent.port(), "/svc")),
            {"QUORVEL_TEST_FORWARD_TIMEOUT_MS=20000"});
  ASSERT_NE(server.port, 0);
  const std::string text(400000, 'q');
  std::string slowReply;
  std::thread slow([&] {
    slowReply = Exchange(server.port, PostRequest("/slow", "text/xml", Envelope11(text)));
  });
  std::this_thread::sleep_for(500ms);  // the forward waits on its hop
  const auto asked = std::chrono::steady_clock::now();
  const std::string reply = Exchange(server.port, PostRequest("/svc", "text/xml", Envelope11(text)));
  // Far below the forward's 20 s: the answer did not wait for it.
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 8s);
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK") << Head(reply);
  slow.join();
  EXPECT_EQ(FaultString(slowReply), kConnectFailed) << Head(slowReply);
}

// SOAP 1.2 GET: a document endpoint's service answers through
// OnProcessSoapGet, an RPC endpoint's operation is decoded from the path and
// query, an intermediary forwards the GET with its query as received, and an
// endpoint that cannot be served this way gives the endpoint page.
TEST_F(BraskelForwardHttpTest, Soap12GetIsAnsweredByTheServiceByRpcOrWithThePage) {
  const std::string wsdl = TestData("get.wsdl");
  const Instance& service =
      Start("service", EndpointXml("/page/*", wsdl, "GetService", "PagePort12", "QvTest.Get") +
                           EndpointXml("/get/*", wsdl, "GetService", "WherePort12", "QvTest.Get") +
                           EndpointXml("/nowsdl", TestData("missing.wsdl"), "GetService",
                                       "PagePort12", "QvTest.Get"));
  ASSERT_NE(service.port, 0);
  const Instance& relay = Start("relay", EndpointXml("/fwd/*", wsdl, "GetService", "PagePort12",
                                                     "QvTest.Get", NextHop(service.port, "/page")));
  ASSERT_NE(relay.port, 0);

  const std::string soap = "application/soap+xml; charset=\"utf-8\"";
  const std::string page = "<title>SOAP Endpoint Found</title>";
  struct Case {
    const Instance* to;
    std::string target;
    std::string type;
    std::string body;  // a part of it
  } cases[] = {
      {&service, "/page/a/b?x=1&y=%41", soap,
       "<SOAP-ENV:Body><got extra=\"/a/b\" query=\"x=1&amp;y=%41\" svc=\"/page\" "
       "xmlns=\"urn:qvtest:get\" /></SOAP-ENV:Body>"},
      {&service, "/get/where/p/q?k=v", soap,
       "<return>extra=/p/q;query=k=v</return></m:whereResponse>"},
      // No operation on the path, or none of that name: no call.
      {&service, "/get", "text/html", page},
      {&service, "/get/nosuch/p?k=v", "text/html", page},
      // The endpoint's service description cannot be read.
      {&service, "/nowsdl?x", "text/html", page},
      // Forwarded as /page/c%20d?x=%41&y: the path escaped once, the query
      // as received.
      {&relay, "/fwd/c%20d?x=%41&y", soap,
       "<got extra=\"/c d\" query=\"x=%41&amp;y\" svc=\"/page\" xmlns=\"urn:qvtest:get\" />"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const std::string reply = Exchange(c.to->port, "GET " + c.target + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK") << reply;
    EXPECT_NE(Head(reply).find("\r\nContent-Type: " + c.type + "\r\n"), std::string::npos) << reply;
    EXPECT_NE(Body(reply).find(c.body), std::string::npos) << reply;
  }
}

}  // namespace
}  // namespace server
