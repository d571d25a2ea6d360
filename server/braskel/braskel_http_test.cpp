// The braskel program serving HTTP as its users run it: registered as a
// service, started with a configuration in a temporary directory, on a
// loopback port of its own that it reports in the event log.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/braskel/service_registration.h"
#include "server/braskel/testing/braskel_process.h"
#include "server/http/testing/http_replies.h"
#include "server/http/testing/loopback_client.h"
#include "server/http/testing/test_files.h"

namespace server {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using server_testing::kPage400;
using server_testing::LoopbackClient;
using server_testing::ReadFile;
using server_testing::WithoutDate;

const std::string kSource = std::string(kServiceName) + ": ";

class BraskelHttpTest : public server_testing::BraskelProcessTest {
 protected:
  void SetUp() override {
    BraskelProcessTest::SetUp();
    if (HasFatalFailure()) return;
    fs::create_directories(dir_ / "www");
    server_testing::WriteFile(dir_ / "www" / "a.txt", "hello text");
    server_testing::WriteFile(dir_ / "www" / "index.htm", "<p>home</p>");
    server_testing::WriteFile(dir_ / "secret.txt", "TOP-SECRET-CONTENT");
    for (const char* f : {"a.txt", "index.htm"}) server_testing::SetFileTime(dir_ / "www" / f);
  }

  // Registers, writes the configuration and starts the service; returns the
  // port it reports.
  uint16_t StartService(const std::string& settings) {
    WriteConfig(
        "<listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>"
        "<docBasePath>" +
        (dir_ / "www").string() + "</docBasePath>" +
        "<defaultDocument>index.htm</defaultDocument>" + settings +
        "<endpointList><endpoint><requestURI>/svc/*</requestURI><wsdlDocURL>u</wsdlDocURL>"
        "<wsdlService>s</wsdlService><wsdlPort>p</wsdlPort><bodyProcessingProgId>b"
        "</bodyProcessingProgId><enabled>true</enabled></endpoint></endpointList>");
    EXPECT_EQ(Run({"-Service"}), 0);
    pid_ = Spawn(exe_, {}, std::string(kServiceName));
    const std::string prefix = kSource + "Listening on 127.0.0.1:";
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
      for (const std::string& l : EventLines()) {
        if (l.rfind(prefix, 0) == 0)
          return static_cast<uint16_t>(std::stoi(l.substr(prefix.size())));
      }
      std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "no listening line in:\n" << ReadFile(eventLog_);
    return 0;
  }

  std::string Exchange(uint16_t port, const std::string& request, bool oneByteAtATime = false) {
    LoopbackClient c(port);
    EXPECT_TRUE(c.Connected());
    if (oneByteAtATime) {
      for (char ch : request) c.Send(std::string_view(&ch, 1));
    } else {
      c.Send(request);
    }
    std::string reply = c.ReadAll(10s);
    EXPECT_FALSE(c.TimedOut());
    return reply;
  }

  size_t CountEvents(const std::string& line) const {
    size_t n = 0;
    for (const std::string& l : EventLines()) n += l == kSource + line;
    return n;
  }

  // The count once it reaches `n` (the line is written just after the close
  // a client sees), or the last count after a bounded wait.
  size_t WaitForCount(const std::string& line, size_t n) const {
    size_t count = 0;
    for (int i = 0; i < 250 && (count = CountEvents(line)) < n; ++i)
      std::this_thread::sleep_for(20ms);
    return count;
  }

  // Stops with SIGTERM; a sanitizer finding (a leak) makes the exit code non-zero.
  void StopService() {
    kill(pid_, SIGTERM);
    EXPECT_EQ(Wait(pid_, 60s), 0);
    pid_ = -1;
    EXPECT_EQ(WaitForCount("Service stopped", 1), 1u);
  }
};

TEST_F(BraskelHttpTest, PagesFilesAndPaths) {
  const uint16_t port = StartService("");
  ASSERT_NE(port, 0);
  struct Case {
    std::string request;
    std::string reply;
  } cases[] = {
      {"GET / HTTP/1\r\n\r\n", kPage400},
      {"HEAD /svc/x HTTP/1.1\r\n\r\n", "HTTP/1.0 403 Forbidden\r\nConnection: close\r\n\r\n"},
      {"GET /nope.htm HTTP/1.0\r\n\r\n",
       "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<HEAD><TITLE>404 Not "
       "Found</TITLE></HEAD>\n<BODY><H1>404 Not Found</H1>\nThe requested resource /nope.htm was "
       "not found.<BR>\n</BODY>\r\n"},
      {"DELETE /a.txt HTTP/1.0\r\n\r\n",
       "HTTP/1.0 405 Method Not Allowed\r\nContent-Type: text/html\r\n\r\n<HEAD><TITLE>405 "
       "Method Not Allowed</TITLE></HEAD>\n<BODY><H1>405 Method Not Allowed</H1>\nMethod DELETE "
       "not allowed.<BR>\n</BODY>\r\n"},
      {"GET /a.txt HTTP/3.0\r\n\r\n",
       "HTTP/1.0 505 HTTP Version Not Supported\r\nContent-Type: text/html\r\n\r\n<HEAD><TITLE>505 "
       "HTTP Version Not Supported </TITLE></HEAD>\n<BODY><H1>505 HTTP Version  HTTP/3.0 not "
       "supported.<BR>\n</BODY>\r\n"},
      {"GET /a.txt HTTP/1.1\r\nUser-Agent: t\r\n\r\n",
       "HTTP/1.0 200 OK\r\nServer: Quorvel SOAP Server/3.2\r\nMIME-version: 1.0\r\nContent-Type: "
       "text/plain\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\nContent-Length: "
       "10\r\nConnection: close\r\n\r\nhello text"},
      {"GET /a.txt HTTP/1.0\r\nIf-Modified-Since: Mon, 07 Nov 1994 00:00:00 GMT\r\n\r\n",
       "HTTP/1.0 304 Not Modified\r\nContent-Type: text/html\r\nServer: Quorvel SOAP "
       "Server/3.2\r\n\r\n"},
      {"POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 2\r\nSOAPAction: "
       "a\r\n\r\n<x",
       "HTTP/1.0 500 Internal Server Error\r\nContent-Type: text/xml\r\n\r\n<?xml "
       "version=\"1.0\" encoding=\"UTF-8\"?>\r\n<SOAP-ENV:Envelope "
       "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">\r\n<SOAP-ENV:Body>\r\n"
       "<SOAP-ENV:Fault>\r\n<faultcode>SOAP-ENV:Server</faultcode>\r\n<faultstring>Unexpected "
       "Error 500</faultstring>\r\n</SOAP-ENV:Fault>\r\n</SOAP-ENV:Body>\r\n"
       "</SOAP-ENV:Envelope>\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(WithoutDate(Exchange(port, c.request)), c.reply);
  }
  // The default document, sent a byte at a time.
  const std::string home = Exchange(port, "GET / HTTP/1.0\r\nAccept: */*\r\n\r\n", true);
  EXPECT_EQ(home.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << home;
  EXPECT_NE(home.find("\r\nContent-Type: text/html\r\n"), std::string::npos);
  EXPECT_EQ(home.substr(home.size() - 11), "<p>home</p>");
  for (const char* path : {"/../secret.txt", "/%2E%2E/secret.txt", "/a.txt%00.htm"}) {
    SCOPED_TRACE(path);
    const std::string reply = Exchange(port, std::string("GET ") + path + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << reply;
    EXPECT_EQ(reply.find("TOP-SECRET"), std::string::npos);
  }
  StopService();
}

TEST_F(BraskelHttpTest, SlotsTimeoutsAndStopWithConnectionsOpen) {
  const uint16_t port = StartService(
      "<maxClients>2</maxClients><clientTimeout>1</clientTimeout>"
      "<watchdogInterval>1</watchdogInterval>");
  ASSERT_NE(port, 0);
  {
    LoopbackClient a(port), b(port);
    ASSERT_TRUE(a.Connected() && b.Connected());
    for (LoopbackClient* c : {&a, &b}) {
      c->Send("POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 100\r\n\r\n<x");
    }
    std::this_thread::sleep_for(300ms);
    // Every slot taken by a request whose body is coming: the next client is
    // closed without a byte.
    LoopbackClient extra(port);
    EXPECT_EQ(extra.ReadAll(5s), "");
    EXPECT_FALSE(extra.TimedOut());
    EXPECT_GE(WaitForCount("At full capacity...refused connection!", 1), 1u);
    // The silent two are closed by the watchdog after the time-out; the
    // loop's first tick comes after the start pause.
    EXPECT_EQ(a.ReadAll(20s), "");
    EXPECT_FALSE(a.TimedOut());
    EXPECT_EQ(b.ReadAll(5s), "");
    EXPECT_FALSE(b.TimedOut());
    EXPECT_EQ(WaitForCount("Client connection timeout", 2), 2u);
  }
  // Slots are free again.
  EXPECT_NE(Exchange(port, "GET /a.txt HTTP/1.0\r\n\r\n").find("hello text"), std::string::npos);

  // Stopped with one request half sent and one connection silent.
  LoopbackClient half(port), silent(port);
  half.Send("POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 100\r\n\r\n<x");
  std::this_thread::sleep_for(200ms);
  StopService();
  EXPECT_EQ(half.ReadAll(5s), "");
  EXPECT_FALSE(half.TimedOut());
}

// What a few hostile clients try to lock everyone else out with, each met
// while it lasts by a client that must be answered at once.
TEST_F(BraskelHttpTest, FewSlowClientsLockNobodyOut) {
  const uint16_t port =
      StartService("<maxClients>32</maxClients><clientTimeout>70</clientTimeout>");
  ASSERT_NE(port, 0);
  const auto answeredWithin = [&](const std::string& request, const std::string& expected,
                                  std::chrono::milliseconds limit) {
    const auto start = std::chrono::steady_clock::now();
    LoopbackClient c(port);
    EXPECT_TRUE(c.Connected());
    c.Send(request);
    const std::string reply = c.ReadAll(10s);
    EXPECT_EQ(reply.rfind(expected, 0), 0u) << reply;
    EXPECT_LT(std::chrono::steady_clock::now() - start, limit);
  };

  // Every slot taken by a head that never ends.
  {
    std::vector<std::unique_ptr<LoopbackClient>> heads;
    for (int i = 0; i < 32; ++i) {
      heads.push_back(std::make_unique<LoopbackClient>(port));
      heads.back()->Send("GET / HTTP/1.0\r\nX-a: b\r\n");
    }
    std::this_thread::sleep_for(300ms);
    answeredWithin("GET /a.txt HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK\r\n", 1s);
  }

  // Eight bodies announced at 64 MiB that trickle: together they announce
  // the whole of the server's memory budget (or more), but have sent little.
  const std::string post =
      "POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: a\r\nContent-Length: ";
  {
    std::vector<std::unique_ptr<LoopbackClient>> bodies;
    for (int i = 0; i < 8; ++i) {
      bodies.push_back(std::make_unique<LoopbackClient>(port));
      bodies.back()->Send(post + "67108864\r\n\r\n<x>");
    }
    std::this_thread::sleep_for(300ms);
    for (auto& b : bodies) b->Send("<y/>");
    answeredWithin(post + "2\r\n\r\n<x", "HTTP/1.0 500 ", 1s);
  }

  // A client that sends its whole 64 MiB body before it reads gets the 404
  // sent before the body: the server reads what it still sends.
  {
    LoopbackClient c(port);
    const std::string body(64 << 20, 'x');
    EXPECT_TRUE(c.Send("POST /nowhere HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n"));
    EXPECT_TRUE(c.Send(body)) << "the connection was reset while the client sent its body";
    const std::string reply = c.ReadAll(10s);
    EXPECT_EQ(reply.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << reply.substr(0, 200);
  }
  StopService();
}

}  // namespace
}  // namespace server
