// hastrel2 in running braskel programs: a client posts to an intermediary,
// which forwards along the request's path to a receiver; answers, routing
// faults and a dead next hop's routing fault come back to the client.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/testing/loopback_peer.h"
#include "server/braskel/testing/braskel_instances.h"
#include "server/braskel/testing/dime_codec.h"

namespace routing {
namespace {

constexpr char kSoap11Env[] = "http://schemas.xmlsoap.org/soap/envelope/";

// A port nothing listens on at the moment of asking.
uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof(a);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
    if (fd >= 0) close(fd);
    return 0;
  }
  close(fd);
  return ntohs(a.sin_port);
}

std::string Url(uint16_t port, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

struct Service {
  const char* wsdl;  // a path
  const char* service;
  const char* port;
  const char* progId;
};
constexpr Service kDocService{QV_SERVER_TESTDATA "/doc.wsdl", "DocService", "DocPort",
                              "QvTest.Doc"};
// Echoes the body in <echo> and hands the request's attachments back.
constexpr Service kDimeEcho{QV_SERVER_TESTDATA "/doc.wsdl", "DocService", "DocPort",
                            "QvTest.DimeEcho"};
// The interop document service, whose description independent clients read.
constexpr Service kInteropDoc{QV_INTEROPDOC_WSDL, "interopDocSvc", "interopDocPort",
                              "Pellasco2.interop"};

// A routing endpoint of one of the tests' services at `uri`, named `node`.
std::string RoutingEndpoint(const std::string& uri, const std::string& node,
                            const Service& s = kDocService) {
  return "<endpoint><requestURI>" + uri + "</requestURI><wsdlDocURL>file://" + std::string(s.wsdl) +
         "</wsdlDocURL><wsdlService>" + s.service + "</wsdlService><wsdlPort>" + s.port +
         "</wsdlPort><bodyProcessingProgId>" + s.progId +
         "</bodyProcessingProgId>"
         "<headerProcessingProgIds><progId>braskel.hastrel2</progId></headerProcessingProgIds>"
         "<nodeURI>" +
         node + "</nodeURI><enabled>true</enabled></endpoint>";
}

// A SOAP 1.1 request whose header is an `rp:path` of `children` (none when
// empty).
std::string Envelope(const std::string& children) {
  std::string header;
  if (!children.empty()) {
    header = std::string(
                 "<SOAP-ENV:Header><rp:path xmlns:rp=\"http://schemas.xmlsoap.org/rp/\" "
                 "SOAP-ENV:actor=\"http://schemas.xmlsoap.org/soap/actor/next\" "
                 "SOAP-ENV:mustUnderstand=\"1\">") +
             children + "</rp:path></SOAP-ENV:Header>";
  }
  return std::string(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"") +
         kSoap11Env + "\">" + header +
         "<SOAP-ENV:Body><ask xmlns=\"urn:q\">hi</ask></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string Post(const std::string& path, const std::string& body,
                 const std::string& type = "text/xml") {
  return "POST " + path + " HTTP/1.0\r\nContent-Type: " + type +
         "\r\nSOAPAction: \"urn:a\"\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string StatusLine(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

std::string Via(const std::string& url) { return "<rp:via>" + url + "</rp:via>"; }

class RoutingE2eTest : public server_testing::BraskelInstancesTest {
 protected:
  RoutingE2eTest()
      : BraskelInstancesTest(QV_REGCOMP,
                             {QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT, QV_SOAPSTRUCT_COMPONENT,
                              QV_TEST_PLUGINS, QV_PELLASCO_COMPONENT, QV_HASTREL_COMPONENT}) {}

  // An intermediary at /mid and a receiver at /recv serving `service`,
  // each naming itself.
  void StartPair(const Service& service = kDocService) {
    const uint16_t recvPort = FreePort(), midPort = FreePort();
    ASSERT_NE(recvPort, 0);
    ASSERT_NE(midPort, 0);
    recv_ = Url(recvPort, "/recv");
    mid_ = Url(midPort, "/mid");
    const Instance& r = Start("receiver", RoutingEndpoint("/recv", recv_, service), {}, recvPort);
    ASSERT_EQ(r.port, recvPort);
    const Instance& m = Start("intermediary", RoutingEndpoint("/mid", mid_),
                              {"QUORVEL_TEST_FORWARD_TIMEOUT_MS=3000"}, midPort);
    ASSERT_EQ(m.port, midPort);
    midPort_ = midPort;
    recvPort_ = recvPort;
  }

  std::string recv_, mid_;
  uint16_t midPort_ = 0, recvPort_ = 0;
};

// suds reads the interop document description the intermediary serves, adds a routing
// path of its own making and calls through the intermediary; the receiver's
// echo comes back as suds reads it from that description (the
// intermediary's own service would answer otherwise).
TEST_F(RoutingE2eTest, AnIndependentClientIsAnsweredThroughTheIntermediary) {
  if (system("/usr/bin/python3 -c 'import suds' 2>/dev/null") != 0) {
    GTEST_SKIP() << "python3-suds is not installed";
  }
  ASSERT_NO_FATAL_FAILURE(StartPair(kInteropDoc));
  const std::filesystem::path served = instances_.back()->dir / "www" / "wsdl";
  std::filesystem::create_directories(served);
  std::filesystem::copy_file(kInteropDoc.wsdl, served / "interopdoc.wsdl");
  const std::string command = std::string("/usr/bin/python3 ") + QV_SUDS_ROUTING + " " +
                              Url(midPort_, "/wsdl/interopdoc.wsdl") + " " + mid_ + " " + recv_;
  EXPECT_EQ(system(command.c_str()), 0) << command;
}

TEST_F(RoutingE2eTest, TheReceiversAnswerComesBackRelayedThroughTheIntermediary) {
  ASSERT_NO_FATAL_FAILURE(StartPair());
  const std::string reply = Exchange(
      midPort_, Post("/mid", Envelope("<rp:action>urn:a</rp:action><rp:fwd>" + Via(mid_) +
                                      Via(recv_) + "</rp:fwd><rp:rev/><rp:id>uuid:e1</rp:id>")));
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK") << reply;
  EXPECT_NE(reply.find("<body>"), std::string::npos) << reply;  // the receiver's service ran
  EXPECT_NE(reply.find("<rp:fwd /><rp:rev>" + Via(mid_) + Via(recv_) + "</rp:rev>"),
            std::string::npos)
      << reply;
  EXPECT_NE(reply.find("<rp:relatesTo>uuid:e1</rp:relatesTo>"), std::string::npos) << reply;
}

TEST_F(RoutingE2eTest, RoutingAndForwardFaultsReachTheClient) {
  ASSERT_NO_FATAL_FAILURE(StartPair());
  const std::string dead = Url(FreePort(), "/gone");
  const struct {
    const char* name;
    std::string children;
    const char* status;
    const char* text;  // in the reply
  } cases[] = {
      {"no path", "", "HTTP/1.0 500", "<rp:code>701</rp:code>"},
      // With a reverse path: a one-way request gets no content even after a fault.
      {"no id", "<rp:action>urn:a</rp:action><rp:to>" + mid_ + "</rp:to><rp:rev/>", "HTTP/1.0 500",
       "<rp:code>700</rp:code>"},
      {"https next hop",
       "<rp:action>urn:a</rp:action><rp:fwd>" + Via(mid_) + Via("https://127.0.0.1/x") +
           "</rp:fwd><rp:rev/><rp:id>uuid:2</rp:id>",
       "HTTP/1.0 500", "<rp:code>712</rp:code>"},
      {"dead next hop by rp:fwd",
       "<rp:action>urn:a</rp:action><rp:fwd>" + Via(mid_) + Via(dead) +
           "</rp:fwd><rp:rev/><rp:id>uuid:3</rp:id>",
       "HTTP/1.0 500", "<rp:code>820</rp:code>"},
      {"dead next hop by rp:to",
       "<rp:action>urn:a</rp:action><rp:to>" + dead + "</rp:to><rp:fwd>" + Via(mid_) +
           "</rp:fwd><rp:rev/><rp:id>uuid:4</rp:id>",
       "HTTP/1.0 500", "<rp:code>820</rp:code>"},
      {"one-way", "<rp:action>urn:a</rp:action><rp:to>" + mid_ + "</rp:to><rp:id>uuid:5</rp:id>",
       "HTTP/1.0 204", nullptr},
      {"a routing fault message",
       "<rp:action>http://schemas.xmlsoap.org/soap/fault</rp:action><rp:id>uuid:6</rp:id>",
       "HTTP/1.0 204", nullptr},
  };
  for (const auto& c : cases) {
    const std::string reply = Exchange(midPort_, Post("/mid", Envelope(c.children)));
    EXPECT_EQ(StatusLine(reply).rfind(c.status, 0), 0u) << c.name << "\n" << reply;
    if (c.text) {
      EXPECT_NE(reply.find(c.text), std::string::npos) << c.name << "\n" << reply;
    }
    const std::string_view text = c.text ? c.text : "";
    if (text == "<rp:code>820</rp:code>") {
      // The dead hop's failure comes back as the routing fault, along the
      // request's reverse path and related to its id, not as the server's own.
      EXPECT_NE(reply.find("Server</faultcode><faultstring>WS-Routing Receiver fault."),
                std::string::npos)
          << c.name << "\n"
          << reply;
      EXPECT_NE(reply.find("<rp:reason>Endpoint Not Reachable</rp:reason>"), std::string::npos)
          << c.name << "\n" << reply;
      const size_t id = c.children.find("<rp:id>") + 7;
      const std::string relatesTo =
          "<rp:relatesTo>" + c.children.substr(id, c.children.find("</rp:id>") - id) + "</";
      EXPECT_NE(reply.find(relatesTo), std::string::npos) << c.name << "\n" << reply;
      EXPECT_EQ(reply.find("Failed to connect"), std::string::npos) << c.name << "\n" << reply;
    } else if (text.starts_with("<rp:code>")) {
      EXPECT_NE(reply.find("Client</faultcode><faultstring>WS-Routing Sender fault."),
                std::string::npos)
          << c.name << "\n"
          << reply;
    }
    if (std::string_view(c.status) == "HTTP/1.0 204") {
      EXPECT_EQ(reply.find("<body>"), std::string::npos) << c.name;
    }
  }
}

TEST_F(RoutingE2eTest, TheReceiverPostsItsAnswerAlongAnHttpReversePath) {
  ASSERT_NO_FATAL_FAILURE(StartPair());
  const struct {
    const char* name;
    const char* peerReply;
    const char* status;
  } cases[] = {
      {"taken", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", "HTTP/1.0 204"},
      {"refused", "HTTP/1.0 500 Internal Server Error\r\n\r\n", "HTTP/1.0 500"},
  };
  for (const auto& c : cases) {
    net::testing::LoopbackPeer peer;
    std::string head, body;
    peer.Serve([&](net::testing::PeerConnection& conn) {
      head = conn.ReadHead();
      body = conn.ReadAnnouncedBody(head);
      conn.Write(c.peerReply);
    });
    const std::string back = Url(peer.port(), "/back");
    const std::string reply = Exchange(
        recvPort_,
        Post("/recv", Envelope("<rp:action>urn:a</rp:action><rp:to>" + recv_ + "</rp:to><rp:rev>" +
                               Via(back) + "</rp:rev><rp:id>uuid:r</rp:id>")));
    peer.Join();
    EXPECT_EQ(StatusLine(reply).rfind(c.status, 0), 0u) << c.name << "\n" << reply;
    EXPECT_EQ(head.rfind("POST /back HTTP/1.0\r\n", 0), 0u) << c.name << head;
    EXPECT_NE(body.find("<body>"), std::string::npos) << c.name << body;  // the service's answer
    EXPECT_NE(body.find("<rp:relatesTo>uuid:r</rp:relatesTo>"), std::string::npos) << body;
    if (std::string_view(c.status) == "HTTP/1.0 500") {
      EXPECT_NE(reply.find("<rp:code>800</rp:code>"), std::string::npos) << reply;
    }
  }
}

// Reverse paths that name a host which accepts and never answers, one more
// routed request than the receiver has workers: the posts wait under the
// server's bound on outbound waits, so a static file is answered at once
// meanwhile, and every post ends by the forward deadline.
TEST_F(RoutingE2eTest, ReversePathPostsToASilentHostLeaveWorkersForOtherRequests) {
  net::testing::LoopbackPeer silent;  // accepts nothing: connections wait in its backlog
  const uint16_t recvPort = FreePort();
  ASSERT_NE(recvPort, 0);
  const std::string node = Url(recvPort, "/recv");
  const Instance& r = Start("receiver", RoutingEndpoint("/recv", node),
                            {"QUORVEL_TEST_FORWARD_TIMEOUT_MS=3000"}, recvPort);
  ASSERT_EQ(r.port, recvPort);
  std::ofstream(r.dir / "www" / "a.txt") << "static";
  const std::string request =
      Post("/recv", Envelope("<rp:action>urn:a</rp:action><rp:to>" + node + "</rp:to><rp:rev>" +
                             Via(Url(silent.port(), "/back")) + "</rp:rev><rp:id>uuid:s</rp:id>"));
  constexpr int kPosts = 4;  // the program runs 3 workers
  std::vector<std::string> replies(kPosts);
  std::vector<std::thread> posts;
  for (int i = 0; i < kPosts; ++i) {
    posts.emplace_back([&, i] { replies[i] = Exchange(recvPort, request); });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the posts are waiting
  const auto asked = std::chrono::steady_clock::now();
  const std::string page = Exchange(recvPort, "GET /a.txt HTTP/1.0\r\n\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  EXPECT_EQ(StatusLine(page), "HTTP/1.0 200 OK") << page;
  for (std::thread& t : posts) t.join();  // each ends by the shortened forward deadline
  for (const std::string& reply : replies) {
    EXPECT_EQ(StatusLine(reply).rfind("HTTP/1.0 500", 0), 0u) << reply;
  }
}

// An answer with attachments goes along the reverse path as DIME: the
// envelope first, then the attachment as the client sent it.
TEST_F(RoutingE2eTest, AnAnswerWithAttachmentsGoesAlongTheReversePathAsDime) {
  const uint16_t recvPort = FreePort();
  ASSERT_NE(recvPort, 0);
  const std::string node = Url(recvPort, "/dime");
  const Instance& r = Start("receiver", RoutingEndpoint("/dime", node, kDimeEcho), {}, recvPort);
  ASSERT_EQ(r.port, recvPort);
  net::testing::LoopbackPeer peer;
  std::string head, body;
  peer.Serve([&](net::testing::PeerConnection& conn) {
    head = conn.ReadHead();
    body = conn.ReadAnnouncedBody(head);
    conn.Write("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
  });
  const server_testing::DimePart attachment{"uuid:att-1", "application/octet-stream", 1,
                                            std::string("bin\0\r\n\xff tail", 12)};
  const std::string envelope =
      Envelope("<rp:action>urn:a</rp:action><rp:to>" + node + "</rp:to><rp:rev>" +
               Via(Url(peer.port(), "/back")) + "</rp:rev><rp:id>uuid:d</rp:id>");
  const std::string reply = Exchange(
      recvPort,
      Post("/dime", server_testing::EncodeDime({{"", kSoap11Env, 2, envelope}, attachment}),
           "application/dime"));
  peer.Join();
  EXPECT_EQ(StatusLine(reply).rfind("HTTP/1.0 204", 0), 0u) << reply;
  EXPECT_NE(head.find("\r\nContent-Type: application/dime"), std::string::npos) << head;
  const auto parts = server_testing::DecodeDime(body);
  ASSERT_TRUE(parts.has_value()) << head;
  ASSERT_EQ(parts->size(), 2u);
  EXPECT_EQ((*parts)[0].tnf, 2);
  EXPECT_EQ((*parts)[0].type, kSoap11Env);
  EXPECT_NE((*parts)[0].data.find("<echo><ask xmlns=\"urn:q\">hi</ask></echo>"), std::string::npos)
      << (*parts)[0].data;
  EXPECT_NE((*parts)[0].data.find("<rp:relatesTo>uuid:d</rp:relatesTo>"), std::string::npos)
      << (*parts)[0].data;
  EXPECT_TRUE((*parts)[1] == attachment) << (*parts)[1].id << " " << (*parts)[1].data.size();
}

// The next hop gets the request with one `rp:path`: the intermediary's via
// taken from the head of `rp:fwd`, and `rp:rev` headed by an empty via (the
// intermediary names itself there only on the way back).
TEST_F(RoutingE2eTest, TheNextHopGetsOnePathWithoutTheIntermediarysVia) {
  ASSERT_NO_FATAL_FAILURE(StartPair());
  net::testing::LoopbackPeer peer;
  std::string head, body;
  const std::string answer = Envelope("");
  peer.Serve([&](net::testing::PeerConnection& conn) {
    head = conn.ReadHead();
    body = conn.ReadAnnouncedBody(head);
    conn.Write("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
               std::to_string(answer.size()) + "\r\n\r\n" + answer);
  });
  const std::string next = Url(peer.port(), "/next");
  const std::string reply = Exchange(
      midPort_, Post("/mid", Envelope("<rp:action>urn:a</rp:action><rp:fwd>" + Via(mid_) +
                                      Via(next) + "</rp:fwd><rp:rev/><rp:id>uuid:n</rp:id>")));
  peer.Join();
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK") << reply;
  size_t paths = 0;
  for (size_t at = body.find("<rp:path"); at != std::string::npos;
       at = body.find("<rp:path", at + 1)) {
    ++paths;
  }
  EXPECT_EQ(paths, 1u) << body;
  EXPECT_NE(body.find("<rp:fwd>" + Via(next) + "</rp:fwd><rp:rev><rp:via /></rp:rev>"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find("<rp:id>uuid:n</rp:id>"), std::string::npos) << body;
  EXPECT_NE(body.find("<ask xmlns=\"urn:q\">hi</ask>"), std::string::npos) << body;
}

}  // namespace
}  // namespace routing
