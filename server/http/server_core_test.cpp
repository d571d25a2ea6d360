// The server core on a loopback port of its own: real sockets, real workers,
// the watchdog fired by the test.
#include "server/http/server_core.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dime/message.h"
#include "dime/resources.h"
#include "dime/serializer.h"
#include "platform/com/activation.h"
#include "platform/com/kept_memory.h"
#include "server/http/exchange.h"
#include "server/http/http_response.h"
#include "server/http/request_log.h"
#include "server/http/server_logs.h"
#include "server/http/soap_dispatch.h"
#include "server/http/testing/http_replies.h"
#include "server/http/testing/loopback_client.h"
#include "server/http/testing/test_files.h"

namespace server {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using server_testing::kPage400;
using server_testing::WithoutDate;
using server_testing::WriteFile;
using Client = server_testing::LoopbackClient;

// Answers POSTs with a fixed XML reply, 204, or a DIME message by the path.
class FakeDispatch : public SoapDispatch {
 public:
  bool ProcessSoapPost(const SoapCall& call, SoapAnswer* answer) override {
    lastBody = std::string(call.body);
    lastAction = std::string(call.soapAction);
    lastVersion = call.soapVersion;
    lastExtraPath = std::string(call.extraPath);
    if (call.dime != nullptr) dimePayloads = call.dime->PayloadCount();
    if (call.extraPath == "/none") return false;
    if (call.extraPath == "/throw") throw std::runtime_error("dispatch broke");
    if (call.extraPath == "/throw-other") throw 42;
    if (call.extraPath == "/create") {
      // Any class will do: outside an apartment nothing gets as far as the
      // registry.
      IUnknown* object = nullptr;
      createResult = CoCreateInstance(kUnregisteredClass, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IUnknown, reinterpret_cast<void**>(&object));
      if (object) object->Release();
    }
    if (call.extraPath == "/204") {
      answer->status = 204;
      return true;
    }
    if (call.extraPath == "/big") {
      answer->status = 200;
      answer->body.assign(4 * 1024 * 1024, 'r');
      return true;
    }
    if (call.extraPath == "/dime") {
      answer->status = 200;
      answer->dime = std::make_unique<dime::DimeMessage>();
      answer->dime->InitSerializer(dime::kRecordSize);
      const std::string big(10000, 'z');
      answer->dime->AddPayloadFromBytes("<e/>", 4, "", "http://www.w3.org/2003/05/soap-envelope",
                                        2);
      answer->dime->AddPayloadFromBytes(big.data(), big.size(), "att", "application/x", 2);
      return true;
    }
    answer->status = 200;
    answer->soapVersion = call.soapVersion;
    answer->body = "<reply/>";
    return true;
  }
  bool ProcessSoapGet(const SoapCall& call, SoapAnswer* answer) override {
    if (call.queryString.empty()) return false;
    answer->status = 200;
    answer->body = "<get>" + std::string(call.queryString) + "</get>";
    return true;
  }
  void OnIdleTrim() override { ++idleTrims; }
  std::string lastBody, lastAction, lastExtraPath;
  int lastVersion = 0;
  size_t dimePayloads = 0;
  int idleTrims = 0;
  HRESULT createResult = S_OK;
  static constexpr GUID kUnregisteredClass = {
      0x5a1e0c3d, 0x2b7f, 0x4c11, {0x9e, 0x21, 0x70, 0x33, 0x4d, 0x1a, 0x66, 0x02}};
};

class ServerCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = server_testing::FreshTestDir("qvcore");
    fs::create_directories(dir_ / "www" / "sub");
    fs::create_directories(dir_ / "www-old");
    WriteFile(dir_ / "www" / "default.htm", "<p>home</p>");
    WriteFile(dir_ / "www" / "a.txt", "hello text");
    WriteFile(dir_ / "www" / "sub" / "pic.GIF", "GIF89a");
    WriteFile(dir_ / "www-old" / "x", "sibling");
    WriteFile(dir_ / "secret.txt", "TOP-SECRET-CONTENT");
    fs::create_symlink(dir_ / "secret.txt", dir_ / "www" / "link.txt");
    for (const char* f : {"default.htm", "a.txt", "sub/pic.GIF"}) {
      server_testing::SetFileTime(dir_ / "www" / f);
    }

    ConfigSnapshot config;
    config.docBasePath = (dir_ / "www").string();  // no trailing "/" on purpose
    config.defaultDocument = "default.htm";
    config.mimeMap = BuiltInMimeMap();
    EndpointInfo svc;
    svc.requestURI = "/svc";
    svc.enabled = true;
    svc.wildcard = true;
    config.endpoints["/svc"] = svc;
    {
      std::lock_guard<std::mutex> lock(store_.Lock());
      store_.Publish(std::make_shared<const ConfigSnapshot>(std::move(config)));
    }
    settings_.listenAddress = "127.0.0.1";
    settings_.listenPort = 0;
    settings_.numWorkThreads = 3;
    settings_.maxClients = 4;
    settings_.clientTimeout = 60;
  }
  void TearDown() override {
    core_.reset();
    fs::remove_all(dir_);
  }

  void Start(SoapDispatch* dispatch = nullptr) {
    ProtocolInfo tcp;
    tcp.guaranteedDelivery = true;
    tcp.guaranteedOrder = true;
    tcp.addressFamily = AF_INET;
    core_ = std::make_unique<ServerCore>(settings_, store_, logger_.get(),
                                         [this](const std::string& line) {
                                           std::lock_guard<std::mutex> lock(eventsMu_);
                                           events_.push_back(line);
                                         });
    core_->SetSoapDispatch(dispatch);
    ASSERT_TRUE(core_->StartServer({tcp}));
    ASSERT_EQ(core_->NumListeningSockets(), 1u);
    port_ = core_->ListeningPort(0);
    ASSERT_NE(port_, 0);
    EXPECT_TRUE(HasEvent("Listening on 127.0.0.1:" + std::to_string(port_)));
  }

  std::string Exchange(const std::string& request, size_t step = 0) {
    Client c(port_);
    EXPECT_TRUE(c.Connected());
    if (step == 0) {
      c.Send(request);
    } else {
      for (size_t i = 0; i < request.size(); i += step) {
        c.Send(request.substr(i, step));
        std::this_thread::sleep_for(1ms);
      }
    }
    std::string reply = c.ReadAll();
    EXPECT_FALSE(c.TimedOut());
    return reply;
  }

  bool HasEvent(const std::string& line) {
    std::lock_guard<std::mutex> lock(eventsMu_);
    for (const std::string& e : events_) {
      if (e == line) return true;
    }
    return false;
  }
  size_t CountEvents(const std::string& line) {
    std::lock_guard<std::mutex> lock(eventsMu_);
    size_t n = 0;
    for (const std::string& e : events_) n += e == line;
    return n;
  }
  // Waits (bounded) until every slot is free again.
  // The close is seen only once the listener took the connection, which a
  // loaded machine can delay past the client's own close: wait for its count.
  void WaitForNetErrors(uint64_t n) {
    for (int i = 0; i < 500 && core_->Stats().numNetErrors.load() < n; ++i) {
      std::this_thread::sleep_for(10ms);
    }
  }
  void WaitIdle() {
    for (int i = 0; i < 500 && core_->FreeSlotsForTest() != size_t(settings_.maxClients); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(core_->FreeSlotsForTest(), size_t(settings_.maxClients));
  }

  fs::path dir_;
  ServerSettings settings_;
  ConfigStore store_;
  std::unique_ptr<RequestLogger> logger_;
  std::unique_ptr<ServerCore> core_;
  uint16_t port_ = 0;
  std::mutex eventsMu_;
  std::vector<std::string> events_;
};

std::string Page404(const std::string& path, bool close = false) {
  return "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n" +
         std::string(close ? "Connection: close\r\n" : "") +
         "\r\n<HEAD><TITLE>404 Not Found</TITLE></HEAD>\n<BODY><H1>404 Not Found</H1>\nThe "
         "requested resource " +
         path + " was not found.<BR>\n</BODY>\r\n";
}

TEST_F(ServerCoreTest, StatusPagesExactBytes) {
  Start();
  struct Case {
    std::string request;
    std::string reply;
  } cases[] = {
      {"\r\n\r\n", kPage400},
      {"GET / HTTP/1\r\n\r\n", kPage400},
      {"HEAD /svc HTTP/1.0\r\n\r\n", "HTTP/1.0 403 Forbidden\r\n\r\n"},
      {"GET /svc/x HTTP/1.1\r\nHost: a\r\n\r\n",  // a GET the SOAP side does not answer
       "HTTP/1.1 200 OK\r\nServer: Quorvel SOAP Server/3.2\r\nContent-Type: "
       "text/html\r\nContent-Length: 230\r\nConnection: close\r\n\r\n<html><head><title>SOAP "
       "Endpoint Found</title></head><body><h2>Resource '/svc/x' is a SOAP "
       "Endpoint.</h2><h3>The SOAP service available here is normally accessed using HTTP "
       "POST.</h3><h3>Quorvel SOAP Server v3.1</h3></body></html>"},
      {"GET /missing.htm HTTP/1.0\r\n\r\n", Page404("/missing.htm")},
      {"GET /%3Cscript%3E HTTP/1.1\r\n\r\n", Page404("/&lt;script&gt;", true)},
      {"PUT /a.txt HTTP/1.0\r\n\r\n",
       "HTTP/1.0 405 Method Not Allowed\r\nContent-Type: text/html\r\n\r\n<HEAD><TITLE>405 "
       "Method Not Allowed</TITLE></HEAD>\n<BODY><H1>405 Method Not Allowed</H1>\nMethod PUT "
       "not allowed.<BR>\n</BODY>\r\n"},
      {"GET / HTTP/2.1\r\n\r\n",
       "HTTP/1.0 505 HTTP Version Not Supported\r\nContent-Type: text/html\r\nConnection: "
       "close\r\n\r\n<HEAD><TITLE>505 HTTP Version Not Supported </TITLE></HEAD>\n<BODY><H1>505 "
       "HTTP Version  HTTP/2.1 not supported.<BR>\n</BODY>\r\n"},
      {"GET /\r\n\r\n",
       "HTTP/1.0 505 HTTP Version Not Supported\r\nContent-Type: text/html\r\n\r\n<HEAD><TITLE>505 "
       "HTTP Version Not Supported </TITLE></HEAD>\n<BODY><H1>505 HTTP Version  HTTP/0.9 not "
       "supported.<BR>\n</BODY>\r\n"},
      {"POST /nowhere HTTP/1.0\r\nContent-Length: 3\r\nContent-Type: text/xml\r\n\r\nabc",
       Page404("/nowhere")},
      {"POST /svc HTTP/1.0\r\n\r\n", kPage400},  // no body
      {"POST /svc HTTP/1.0\r\nContent-Length: -4\r\nContent-Type: text/xml\r\n\r\n", kPage400},
      {"POST /svc HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc", kPage400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(WithoutDate(Exchange(c.request)), c.reply);
  }
  WaitIdle();
  EXPECT_EQ(core_->Stats().numConnects.load(), std::size(cases));
  // 400 x5, 405, 505 x2 count as HTTP errors; 403 and 404 do not.
  EXPECT_EQ(core_->Stats().numHttpErrors.load(), 8u);
}

TEST_F(ServerCoreTest, PostOnEndpointWithoutSoapProcessingIsTheInternalErrorPage) {
  Start();
  const std::string reply = Exchange(
      "POST /svc HTTP/1.1\r\nContent-Length: 3\r\nContent-Type: text/xml\r\nSOAPAction: "
      "x\r\n\r\nabc");
  EXPECT_EQ(reply.rfind("HTTP/1.0 500 Internal Server Error\r\nContent-Type: text/xml\r\n"
                        "Connection: close\r\n\r\n<?xml",
                        0),
            0u)
      << reply;
  EXPECT_NE(reply.find("<faultstring>Unexpected Error 500</faultstring>"), std::string::npos);
  EXPECT_TRUE(HasEvent("Internal Error: 1!"));
  WaitIdle();
  EXPECT_EQ(core_->Stats().numIntErrors.load(), 1u);
}

// Whatever the SOAP processing throws is that request's internal error: the
// 500 page, a line with what was thrown, a count, and the server goes on.
TEST_F(ServerCoreTest, ExceptionFromTheDispatchIsAnInternalError) {
  FakeDispatch dispatch;
  Start(&dispatch);
  const struct {
    const char* path;
    const char* event;
  } cases[] = {
      {"/svc/throw", "Internal Error: dispatch broke"},
      {"/svc/throw-other", "Internal Error: unknown exception"},
  };
  uint64_t errors = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string reply =
        Exchange(std::string("POST ") + c.path +
                 " HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 3\r\n"
                 "SOAPAction: a\r\n\r\nabc");
    EXPECT_EQ(reply.rfind("HTTP/1.0 500 Internal Server Error\r\n", 0), 0u) << reply;
    EXPECT_TRUE(HasEvent(c.event));
    WaitIdle();
    EXPECT_EQ(core_->Stats().numIntErrors.load(), ++errors);
  }
  EXPECT_EQ(WithoutDate(Exchange("POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\n"
                                 "Content-Length: 3\r\nSOAPAction: a\r\n\r\nabc")),
            "HTTP/1.0 200 OK\r\nServer: Quorvel SOAP Server/3.2\r\nContent-Type: text/xml; "
            "charset=\"utf-8\"\r\nContent-Length: 8\r\n\r\n<reply/>");
}

// Workers are in an apartment: a request may create objects of registered
// classes (an unregistered one is then "not registered", not "not initialised").
TEST_F(ServerCoreTest, WorkersCanCreateObjects) {
  FakeDispatch dispatch;
  Start(&dispatch);
  for (int i = 0; i < settings_.numWorkThreads + 1; ++i) {  // more requests than workers
    dispatch.createResult = S_OK;
    Exchange(
        "POST /svc/create HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 3\r\n"
        "SOAPAction: a\r\n\r\nabc");
    EXPECT_EQ(dispatch.createResult, REGDB_E_CLASSNOTREG);
  }
}

TEST_F(ServerCoreTest, StaticFileWithTypeLastModifiedAndConditionalGet) {
  Start();
  const std::string head =
      "HTTP/1.0 200 OK\r\nServer: Quorvel SOAP Server/3.2\r\nMIME-version: 1.0\r\n";
  EXPECT_EQ(WithoutDate(Exchange("GET /a.txt HTTP/1.1\r\n\r\n")),
            head +
                "Content-Type: text/plain\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 "
                "GMT\r\nContent-Length: 10\r\nConnection: close\r\n\r\nhello text");
  EXPECT_EQ(WithoutDate(Exchange("GET / HTTP/1.0\r\n\r\n")),
            head +
                "Content-Type: text/html\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 "
                "GMT\r\nContent-Length: 11\r\n\r\n<p>home</p>");
  EXPECT_EQ(WithoutDate(Exchange("GET /sub/pic.GIF HTTP/1.0\r\n\r\n")),
            head +
                "Content-Type: image/gif\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 "
                "GMT\r\nContent-Length: 6\r\n\r\nGIF89a");
  EXPECT_EQ(WithoutDate(Exchange("HEAD /a.txt HTTP/1.0\r\n\r\n")),
            head +
                "Content-Type: text/plain\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 "
                "GMT\r\nContent-Length: 10\r\n\r\n");

  // Later than the file: 304 with no body. Equal or unreadable: the file.
  const std::string notModified =
      Exchange("GET /a.txt HTTP/1.0\r\nIf-Modified-Since: Sun, 06 Nov 1994 08:49:38 GMT\r\n\r\n");
  EXPECT_EQ(WithoutDate(notModified),
            "HTTP/1.0 304 Not Modified\r\nContent-Type: text/html\r\nServer: Quorvel SOAP "
            "Server/3.2\r\n\r\n");
  EXPECT_EQ(notModified.find("Date: "), 52u);
  for (const char* since :
       {"Sun, 06 Nov 1994 08:49:37 GMT", "x", "Sun, 06 Nov 1994 25:00:00 GMT"}) {
    SCOPED_TRACE(since);
    const std::string reply =
        Exchange(std::string("GET /a.txt HTTP/1.0\r\nIf-Modified-Since: ") + since + "\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_EQ(reply.substr(reply.size() - 10), "hello text");
  }
}

TEST_F(ServerCoreTest, PathsStayInsideTheDocumentRoot) {
  Start();
  for (const char* path : {"/../secret.txt", "/%2e%2e/secret.txt", "/a.txt%00.htm", "/link.txt",
                           "/-old/x", "/sub", "/100%25"}) {
    SCOPED_TRACE(path);
    const std::string reply = Exchange(std::string("GET ") + path + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << reply;
    EXPECT_EQ(reply.find("TOP-SECRET"), std::string::npos);
    EXPECT_EQ(reply.find("sibling"), std::string::npos);
  }
}

TEST_F(ServerCoreTest, RequestWrittenOneByteAtATime) {
  Start();
  const std::string reply =
      Exchange("GET /a.txt HTTP/1.0\r\nUser-Agent: slow\r\nAccept: */*\r\n\r\n", /*step=*/1);
  EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
  EXPECT_EQ(reply.substr(reply.size() - 10), "hello text");
  {
    // A line feed has come but the only carriage return ends the receive:
    // the request line is cut once the next byte shows what follows it.
    Client c(port_);
    c.Send("GET /a.txt HTTP/1.0\nX\r");
    std::this_thread::sleep_for(50ms);
    c.Send("\n\r\n");
    const std::string split = c.ReadAll();
    EXPECT_EQ(split.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << split;
  }
  FakeDispatch dispatch;
  core_.reset();
  Start(&dispatch);
  const std::string post = Exchange(
      "POST /svc/x HTTP/1.1\r\nContent-Type: application/soap+xml; action=urn:a\r\n"
      "Content-Length: 12\r\n\r\n<env>x</env>",
      /*step=*/1);
  EXPECT_EQ(dispatch.lastBody, "<env>x</env>");
  EXPECT_EQ(dispatch.lastAction, "urn:a");
  EXPECT_EQ(dispatch.lastVersion, 12);
  EXPECT_EQ(dispatch.lastExtraPath, "/x");
  EXPECT_EQ(WithoutDate(post),
            "HTTP/1.1 200 OK\r\nServer: Quorvel SOAP Server/3.2\r\nContent-Type: "
            "application/soap+xml; charset=\"utf-8\"\r\nContent-Length: 8\r\nConnection: "
            "close\r\n\r\n<reply/>");
}

TEST_F(ServerCoreTest, PostsAreAnsweredOnTheirHeadersAndContinueWhenAsked) {
  FakeDispatch dispatch;
  Start(&dispatch);
  // No endpoint there: the 404 comes before any of the 64 MiB is sent.
  {
    Client c(port_);
    ASSERT_TRUE(
        c.Send("POST /nowhere HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: 67108864\r\n"
               "Expect: 100-continue\r\n\r\n"));
    const std::string reply = c.ReadAll();
    EXPECT_FALSE(c.TimedOut());
    EXPECT_EQ(reply.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << reply;  // pages are 1.0
  }
  // The client waits for the interim answer before it sends the body.
  Client c(port_);
  ASSERT_TRUE(c.Send(
      "POST /svc HTTP/1.1\r\nContent-Type: text/xml\r\nSOAPAction: a\r\nContent-Length: 3\r\n"
      "Expect: 100-continue\r\n\r\n"));
  EXPECT_EQ(c.ReadAll(500ms), "HTTP/1.1 100 Continue\r\n\r\n");
  EXPECT_TRUE(c.TimedOut()) << "the final answer waits for the body";
  ASSERT_TRUE(c.Send("abc"));
  const std::string reply = c.ReadAll();
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
  EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos) << reply;
}

TEST_F(ServerCoreTest, SoapRepliesThroughTheDispatch) {
  FakeDispatch dispatch;
  Start(&dispatch);
  const std::string soap11 = "Content-Type: text/xml; charset=utf-8\r\nContent-Length: 3\r\n";
  EXPECT_EQ(WithoutDate(Exchange("POST /svc HTTP/1.0\r\n" + soap11 + "SOAPAction: a\r\n\r\nabc")),
            "HTTP/1.0 200 OK\r\nServer: Quorvel SOAP Server/3.2\r\nContent-Type: text/xml; "
            "charset=\"utf-8\"\r\nContent-Length: 8\r\n\r\n<reply/>");
  EXPECT_EQ(dispatch.lastVersion, 11);
  // SOAP 1.1 without SOAPAction, and no answer at all: 500.
  EXPECT_EQ(Exchange("POST /svc HTTP/1.0\r\n" + soap11 + "\r\nabc")
                .rfind("HTTP/1.0 500 Internal Server Error", 0),
            0u);
  EXPECT_EQ(Exchange("POST /svc/none HTTP/1.0\r\n" + soap11 + "SOAPAction: a\r\n\r\nabc")
                .rfind("HTTP/1.0 500 Internal Server Error", 0),
            0u);
  EXPECT_EQ(
      WithoutDate(Exchange("POST /svc/204 HTTP/1.1\r\n" + soap11 + "SOAPAction: a\r\n\r\nabc")),
      "HTTP/1.1 204 No Content\r\nServer: Quorvel SOAP Server/3.2\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(WithoutDate(Exchange("GET /svc?op=1 HTTP/1.0\r\n\r\n")),
            "HTTP/1.0 200 OK\r\nServer: Quorvel SOAP Server/3.2\r\nContent-Type: "
            "application/soap+xml; charset=\"utf-8\"\r\nContent-Length: 15\r\n\r\n<get>op=1</get>");

  // A DIME answer goes out record by record with the whole length announced.
  const std::string dimeReply =
      Exchange("POST /svc/dime HTTP/1.0\r\n" + soap11 + "SOAPAction: a\r\n\r\nabc");
  const size_t end = dimeReply.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos);
  EXPECT_NE(dimeReply.find("Content-Type: application/dime\r\n"), std::string::npos);
  const size_t lengthAt = dimeReply.find("Content-Length: ");
  ASSERT_NE(lengthAt, std::string::npos);
  const size_t announced = std::stoul(dimeReply.substr(lengthAt + 16));
  EXPECT_GT(announced, 10000u);
  EXPECT_EQ(dimeReply.size() - end - 4, announced);

  // That message read back as a request body: complete, two payloads.
  const std::string body = dimeReply.substr(end + 4);
  EXPECT_EQ(WithoutDate(Exchange("POST /svc HTTP/1.0\r\nContent-Type: application/dime\r\n"
                                 "Content-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n" + body)),
            "HTTP/1.0 200 OK\r\nServer: Quorvel SOAP Server/3.2\r\nContent-Type: "
            "application/soap+xml; charset=\"utf-8\"\r\nContent-Length: 8\r\n\r\n<reply/>");
  EXPECT_EQ(dispatch.dimePayloads, 2u);
  EXPECT_EQ(dispatch.lastVersion, 12);
  // Whole records but not the last one: 400.
  auto be = [&](size_t at, size_t n) {
    size_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | static_cast<uint8_t>(body[at + i]);
    return v;
  };
  auto pad = [](size_t n) { return (n + 3) / 4 * 4; };
  const size_t firstRecord = 12 + pad(be(2, 2)) + pad(be(4, 2)) + pad(be(6, 2)) + pad(be(8, 4));
  ASSERT_LT(firstRecord, body.size());
  const std::string cut = body.substr(0, firstRecord);
  EXPECT_EQ(Exchange("POST /svc HTTP/1.0\r\nContent-Type: application/dime\r\nContent-Length: " +
                     std::to_string(cut.size()) + "\r\n\r\n" + cut),
            kPage400);
  // A record that claims more than the body holds is a format error: with
  // the headers it is a bad request, later the connection closes unanswered.
  const std::string broken = body.substr(0, firstRecord + 20);
  const std::string brokenHead =
      "POST /svc HTTP/1.0\r\nContent-Type: application/dime\r\n"
      "Content-Length: " +
      std::to_string(broken.size()) + "\r\n\r\n";
  EXPECT_EQ(Exchange(brokenHead + broken), kPage400);
  Client late(port_);
  late.Send(brokenHead);
  std::this_thread::sleep_for(50ms);
  late.Send(broken);
  EXPECT_EQ(late.ReadAll(), "");
  EXPECT_TRUE(HasEvent("Unexpected Socket Closure!"));
}

// At start the soft descriptor limit goes up to the hard one, a limit too low
// for the slots is logged, and DIME payload files get a budget below it.
TEST_F(ServerCoreTest, DescriptorLimitIsRaisedAndPayloadFilesBudgeted) {
  const pid_t pid = fork();  // the hard limit, once lowered, stays lowered
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    rlimit low{64, 256};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) _exit(10);
    settings_.maxClients = 16;
    ProtocolInfo tcp;
    tcp.guaranteedDelivery = true;
    tcp.guaranteedOrder = true;
    tcp.addressFamily = AF_INET;
    {
      ServerCore core(settings_, store_, nullptr, [this](const std::string& line) {
        std::lock_guard<std::mutex> lock(eventsMu_);
        events_.push_back(line);
      });
      if (!core.StartServer({tcp})) _exit(11);
      rlimit now{};
      getrlimit(RLIMIT_NOFILE, &now);
      if (now.rlim_cur != 256) _exit(12);
      const uint64_t budget = dime::PayloadFileBudget();
      if (budget == 0 || budget >= 256) _exit(13);
      if (!HasEvent("open file limit 256 is below the 1120 descriptors 16 clients may use; DIME "
                    "payload files are limited to " +
                    std::to_string(budget))) {
        _exit(14);
      }
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A DIME request over the payload-file budget is a bad request, and the files
// it opened come back.
TEST_F(ServerCoreTest, DimeRequestOverThePayloadFileBudgetIsABadRequest) {
  FakeDispatch dispatch;
  Start(&dispatch);
  const std::string reply = Exchange(
      "POST /svc/dime HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 3\r\n"
      "SOAPAction: a\r\n\r\nabc");
  const std::string body = reply.substr(reply.find("\r\n\r\n") + 4);  // two payloads
  const std::string request =
      "POST /svc HTTP/1.0\r\nContent-Type: application/dime\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  const uint64_t saved = dime::PayloadFileBudget();
  dime::SetPayloadFileBudget(dime::OpenPayloadFiles() + 1);
  EXPECT_EQ(Exchange(request), kPage400);
  WaitIdle();
  dime::SetPayloadFileBudget(dime::OpenPayloadFiles() + 2);
  EXPECT_EQ(Exchange(request).rfind("HTTP/1.0 200 OK", 0), 0u);
  EXPECT_EQ(dispatch.dimePayloads, 2u);
  dime::SetPayloadFileBudget(saved);
}

// A slot keeps modest buffers for its next request, not its largest reply.
TEST_F(ServerCoreTest, LargeSoapReplyIsNotKeptByTheSlot) {
  FakeDispatch dispatch;
  Start(&dispatch);
  const std::string reply = Exchange(
      "POST /svc/big HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 3\r\n"
      "SOAPAction: a\r\n\r\nabc");
  EXPECT_NE(reply.find("Content-Length: 4194304\r\n"), std::string::npos);
  EXPECT_EQ(reply.substr(reply.size() - 4), "rrrr");
  WaitIdle();
  EXPECT_LT(core_->RetainedBytesForTest(), 1024u * 1024);
}

// Large requests wait for the one being processed, holding no worker, on the
// thread they are all processed on; small ones go on being answered meanwhile.
TEST_F(ServerCoreTest, LargeRequestsTakeTurnsWithoutHoldingWorkers) {
  class GatedDispatch : public FakeDispatch {
   public:
    bool ProcessSoapPost(const SoapCall& call, SoapAnswer* answer) override {
      std::unique_lock<std::mutex> lock(mu);
      if (call.body.size() > kLargeBodyBytes) {
        largeThreads.push_back(std::this_thread::get_id());
        ++inLarge;
        maxInLarge = std::max(maxInLarge, inLarge);
        changed.notify_all();
        changed.wait_for(lock, 30s, [this] { return open; });
        --inLarge;
      }
      return FakeDispatch::ProcessSoapPost(call, answer);
    }
    std::mutex mu;
    std::condition_variable changed;
    bool open = false;
    int inLarge = 0, maxInLarge = 0;
    std::vector<std::thread::id> largeThreads;
  } dispatch;
  settings_.maxClients = 8;
  Start(&dispatch);
  const std::string large(kLargeBodyBytes + 1, 'x');
  const std::string post =
      "POST /svc/create HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: a\r\nContent-Length: " +
      std::to_string(large.size()) + "\r\n\r\n" + large;
  // One more large request than there are workers.
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i <= settings_.numWorkThreads; ++i) {
    clients.push_back(std::make_unique<Client>(port_));
    ASSERT_TRUE(clients.back()->Connected());
    clients.back()->Send(post);
  }
  {
    std::unique_lock<std::mutex> lock(dispatch.mu);
    ASSERT_TRUE(dispatch.changed.wait_for(lock, 30s, [&] { return dispatch.inLarge > 0; }));
  }
  // Every worker is free for a small request while the large ones wait.
  const std::string small = Exchange(
      "POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 3\r\n"
      "SOAPAction: a\r\n\r\nabc");
  EXPECT_NE(small.find("<reply/>"), std::string::npos);
  {
    std::lock_guard<std::mutex> lock(dispatch.mu);
    dispatch.open = true;
  }
  dispatch.changed.notify_all();
  for (auto& c : clients) {
    const std::string reply = c->ReadAll();
    EXPECT_EQ(reply.substr(0, 15), "HTTP/1.0 200 OK");
    EXPECT_NE(reply.find("<reply/>"), std::string::npos);
  }
  WaitIdle();
  std::lock_guard<std::mutex> lock(dispatch.mu);
  EXPECT_EQ(dispatch.maxInLarge, 1);
  ASSERT_EQ(dispatch.largeThreads.size(), clients.size());
  for (const std::thread::id& id : dispatch.largeThreads) {
    EXPECT_EQ(id, dispatch.largeThreads[0]);
  }
  // That thread is in an apartment, as the workers are.
  EXPECT_EQ(dispatch.createResult, REGDB_E_CLASSNOTREG);
}

TEST_F(ServerCoreTest, OversizedHeadersAndBodiesGetBadRequest) {
  Start();
  std::string big = "GET / HTTP/1.0\r\n";
  while (big.size() <= kMaxHeaderBlockBytes) big += "X-Fill: " + std::string(100, 'a') + "\r\n";
  Client c(port_);
  c.Send(big);
  EXPECT_EQ(c.ReadAll(), kPage400);
  EXPECT_EQ(Exchange("POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: "
                     "100000000\r\n\r\n"),
            kPage400);
  EXPECT_EQ(Exchange("POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: "
                     "99999999999999\r\n\r\n"),
            kPage400);
}

// The 400 for an oversized header block reaches a client that is still
// sending: the server stops writing, reads what is in flight, then closes,
// rather than resetting the connection over a page not yet read.
TEST_F(ServerCoreTest, ErrorPageSurvivesInputStillArriving) {
  Start();
  std::string big = "GET / HTTP/1.0\r\n";
  while (big.size() <= kMaxHeaderBlockBytes + 48 * 1024) {
    big += "X-Fill: " + std::string(100, 'a') + "\r\n";
  }
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    Client c(port_);
    c.Send(big);
    std::this_thread::sleep_for(50ms);  // the page and the rest of the input cross
    EXPECT_EQ(c.ReadAll(), kPage400);
    EXPECT_FALSE(c.TimedOut());
    EXPECT_FALSE(c.WasReset());
  }
  WaitIdle();
}

TEST_F(ServerCoreTest, PeerGoneDuringBodyFreesTheSlotAtOnce) {
  Start();
  {
    Client c(port_);
    c.Send("POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 100\r\n\r\nabc");
    std::this_thread::sleep_for(50ms);
  }  // closed with the body unfinished
  WaitForNetErrors(1);
  WaitIdle();
  EXPECT_TRUE(HasEvent("Unexpected Socket Closure!"));
  EXPECT_EQ(core_->Stats().numNetErrors.load(), 1u);
  EXPECT_EQ(core_->Stats().activeConnections.load(), 0u);
}

TEST_F(ServerCoreTest, ResetConnectionFreesTheSlotAtOnce) {
  Start();
  {
    Client c(port_);
    c.Send("GET /a.txt HTTP/1.0\r\n");
    std::this_thread::sleep_for(50ms);
    c.Reset();  // RST: the pending receive fails
  }
  WaitForNetErrors(1);
  WaitIdle();
  EXPECT_EQ(core_->Stats().numNetErrors.load(), 1u);
  EXPECT_TRUE(HasEvent("Unexpected Socket Closure!"));
}

TEST_F(ServerCoreTest, ListensOncePerUsableTransportAndSkipsAPortInUse) {
  // A port that was free a moment ago.
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(probe);
  settings_.listenPort = ntohs(a.sin_port);

  ProtocolInfo tcp;
  tcp.guaranteedDelivery = true;
  tcp.guaranteedOrder = true;
  tcp.addressFamily = AF_INET;
  ProtocolInfo udp = tcp;
  udp.connectionless = true;
  ProtocolInfo tcp6 = tcp;
  tcp6.addressFamily = AF_INET6;
  ServerCore core(settings_, store_, nullptr, nullptr);
  ASSERT_TRUE(core.StartServer({udp, tcp6, tcp, tcp}));
  EXPECT_EQ(core.NumListeningSockets(), 1u);
  EXPECT_EQ(core.ListeningPort(0), settings_.listenPort);

  ServerCore none(settings_, store_, nullptr, nullptr);
  ASSERT_TRUE(none.StartServer({udp, tcp6}));
  EXPECT_EQ(none.NumListeningSockets(), 0u);
}

// A transport that cannot listen is skipped, but the event log says why:
// a port taken, or an address that is no IPv4 address.
TEST_F(ServerCoreTest, BindFailuresAreLogged) {
  const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  socklen_t len = sizeof a;
  ::getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string port = std::to_string(ntohs(a.sin_port));

  const struct {
    const char* address;
    std::vector<std::string> lines;
  } cases[] = {
      {"127.0.0.1", {"bind 127.0.0.1:" + port + " failed: Address already in use"}},
      {" 127.0.0.1 ",
       {"bind  127.0.0.1 :" + port + " failed: Invalid argument",
        "listenAddress \" 127.0.0.1 \" is not an IPv4 address"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    settings_.listenAddress = c.address;
    settings_.listenPort = ntohs(a.sin_port);
    {
      std::lock_guard<std::mutex> lock(eventsMu_);
      events_.clear();
    }
    ProtocolInfo tcp;
    tcp.guaranteedDelivery = true;
    tcp.guaranteedOrder = true;
    tcp.addressFamily = AF_INET;
    ServerCore core(settings_, store_, nullptr, [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(eventsMu_);
      events_.push_back(line);
    });
    ASSERT_TRUE(core.StartServer({tcp}));
    EXPECT_EQ(core.NumListeningSockets(), 0u);
    for (const std::string& line : c.lines) EXPECT_TRUE(HasEvent(line)) << line;
  }
  ::close(taken);
}

TEST_F(ServerCoreTest, SilentClientIsClosedAfterTheTimeout) {
  settings_.clientTimeout = 0;
  Start();
  Client c(port_);
  ASSERT_TRUE(c.Connected());
  // The watchdog leaves a connection younger than the time-out alone.
  core_->OnWatchdog();
  EXPECT_FALSE(HasEvent("Client connection timeout"));
  std::this_thread::sleep_for(1100ms);
  core_->OnWatchdog();
  EXPECT_EQ(c.ReadAll(2000ms), "");
  EXPECT_FALSE(c.TimedOut());
  EXPECT_EQ(CountEvents("Client connection timeout"), 1u);
  WaitIdle();
  // Closed once, so the slot is in the queue once.
  core_->OnWatchdog();
  EXPECT_EQ(core_->FreeSlotsForTest(), size_t(settings_.maxClients));
  EXPECT_EQ(core_->Stats().activeConnections.load(), 0u);
}

std::atomic<int> g_moduleReleases{0};
void CountModuleRelease() { ++g_moduleReleases; }

TEST_F(ServerCoreTest, TheDispatchGivesBackItsMemoryOnceALoadHasEnded) {
  // What the loaded components keep is theirs to free: they register it.
  com::RegisterKeptMemory(&CountModuleRelease);
  const int releasesBefore = g_moduleReleases.load();
  FakeDispatch dispatch;
  Start(&dispatch);
  const std::string post =
      "POST /svc HTTP/1.0\r\nContent-Type: application/soap+xml\r\nContent-Length: 1\r\n\r\nx";
  EXPECT_NE(Exchange(post).find("<reply/>"), std::string::npos);
  WaitIdle();
  core_->OnWatchdog();  // the request came since the last pass
  EXPECT_EQ(dispatch.idleTrims, 0);
  EXPECT_EQ(g_moduleReleases.load(), releasesBefore);
  core_->OnWatchdog();
  EXPECT_EQ(dispatch.idleTrims, 1);
  EXPECT_EQ(g_moduleReleases.load(), releasesBefore + 1);
  core_->OnWatchdog();  // nothing new to give back
  EXPECT_EQ(dispatch.idleTrims, 1);
  EXPECT_EQ(g_moduleReleases.load(), releasesBefore + 1);
}

TEST_F(ServerCoreTest, EveryThreadTrimsItsOwnHeapOnceALoadHasEnded) {
  // Answers requests on several workers at once: records nothing.
  class ConcurrentDispatch : public FakeDispatch {
   public:
    bool ProcessSoapPost(const SoapCall& call, SoapAnswer* answer) override {
      answer->status = 200;
      answer->soapVersion = call.soapVersion;
      answer->body = "<reply/>";
      return true;
    }
  } dispatch;
  Start(&dispatch);
  const std::string post =
      "POST /svc HTTP/1.0\r\nContent-Type: application/soap+xml\r\nContent-Length: 1\r\n\r\nx";
  EXPECT_NE(Exchange(post).find("<reply/>"), std::string::npos);
  WaitIdle();
  const uint64_t trimsBefore = HeapTopTrimsForTest();
  core_->OnWatchdog();
  core_->OnWatchdog();  // due: the workers and the large-message thread are asked
  // Requests that come while the workers trim are answered all the same.
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int i = 0; i < settings_.numWorkThreads + 1; ++i) {
    clients.emplace_back([&] {
      Client c(port_);
      c.Send(post);
      if (c.ReadAll().find("<reply/>") != std::string::npos) ++answered;
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(answered.load(), settings_.numWorkThreads + 1);
  const uint64_t threads = uint64_t(settings_.numWorkThreads) + 1;
  for (int i = 0; i < 500 && (core_->HeapTrimRoundsForTest() == 0 ||
                              HeapTopTrimsForTest() - trimsBefore < threads);
       ++i) {
    std::this_thread::sleep_for(10ms);
  }
  // Each worker did its part: none took two of the round's wake-ups.
  EXPECT_EQ(core_->HeapTrimRoundsForTest(), 1u);
  EXPECT_EQ(HeapTopTrimsForTest() - trimsBefore, threads);
}

TEST_F(ServerCoreTest, TimeoutDuringABusyRequestShutsTheSocketDown) {
  // The dispatch holds the worker (and the connection lock) until released.
  class SlowDispatch : public FakeDispatch {
   public:
    bool ProcessSoapPost(const SoapCall& call, SoapAnswer* answer) override {
      entered = true;
      for (int i = 0; i < 3000 && !release; ++i) std::this_thread::sleep_for(10ms);
      left = true;
      return FakeDispatch::ProcessSoapPost(call, answer);
    }
    std::atomic<bool> entered{false}, release{false}, left{false};
  } dispatch;
  settings_.clientTimeout = 0;
  Start(&dispatch);
  Client c(port_);
  c.Send("POST /svc HTTP/1.0\r\nContent-Type: application/soap+xml\r\nContent-Length: 1\r\n\r\nx");
  for (int i = 0; i < 300 && !dispatch.entered; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(dispatch.entered);
  std::this_thread::sleep_for(1100ms);
  core_->OnWatchdog();
  // It returned while the worker still holds the connection: it did not wait.
  EXPECT_FALSE(dispatch.left);
  dispatch.release = true;
  EXPECT_EQ(c.ReadAll(2000ms), "");
  WaitIdle();
  EXPECT_TRUE(HasEvent("Client connection timeout"));
  EXPECT_TRUE(HasEvent("Unexpected Socket Closure!"));
  EXPECT_EQ(core_->Stats().activeConnections.load(), 0u);
}

// Every slot taken by a request in real use (its body coming): the next
// client is refused. Taken by connections still waiting for their heads: the
// one that has waited longest is closed, and the new client is served.
TEST_F(ServerCoreTest, MoreClientsThanSlots) {
  const std::string shed =
      "At full capacity: closed the connection waiting longest for its request head";
  settings_.maxClients = 2;
  Start();
  {
    Client a(port_), b(port_);
    ASSERT_TRUE(a.Connected() && b.Connected());
    for (Client* c : {&a, &b}) {
      c->Send("POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 9\r\n\r\nab");
    }
    for (int i = 0; i < 300 && core_->FreeSlotsForTest() != 0; ++i)
      std::this_thread::sleep_for(5ms);
    Client extra(port_);
    EXPECT_EQ(extra.ReadAll(2000ms), "");  // closed without a reply
    EXPECT_FALSE(extra.TimedOut());
    EXPECT_TRUE(HasEvent("At full capacity...refused connection!"));
  }
  WaitIdle();
  Client a(port_);
  std::this_thread::sleep_for(20ms);
  Client b(port_);
  a.Send("GET /a.txt HTTP/1.0\r\n");
  b.Send("GET /a.txt HTTP/1.0\r\n");
  for (int i = 0; i < 300 && core_->FreeSlotsForTest() != 0; ++i) std::this_thread::sleep_for(5ms);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_NE(Exchange("GET /a.txt HTTP/1.0\r\n\r\n").find("hello text"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  EXPECT_EQ(a.ReadAll(2000ms), "");  // the older head made room
  EXPECT_FALSE(a.TimedOut());
  for (int i = 0; i < 100 && CountEvents(shed) == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(HasEvent(shed));
  b.Send("\r\n");
  EXPECT_NE(b.ReadAll().find("hello text"), std::string::npos);
}

// While every worker is busy nobody's bytes are read: a client whose head
// waits meanwhile is not late, and is served once a worker is free.
TEST_F(ServerCoreTest, NoDeadlineRunsOutWhileEveryWorkerIsBusy) {
  class SlowDispatch : public FakeDispatch {
   public:
    bool ProcessSoapPost(const SoapCall& call, SoapAnswer* answer) override {
      ++entered;
      for (int i = 0; i < 3000 && !release; ++i) std::this_thread::sleep_for(10ms);
      answer->status = 200;
      answer->soapVersion = call.soapVersion;
      answer->body = "<reply/>";
      return true;
    }
    std::atomic<int> entered{0};
    std::atomic<bool> release{false};
  } dispatch;
  Start(&dispatch);
  Client late(port_);
  std::vector<std::unique_ptr<Client>> busy;
  for (int i = 0; i < settings_.numWorkThreads; ++i) {
    busy.push_back(std::make_unique<Client>(port_));
    busy.back()->Send(
        "POST /svc HTTP/1.0\r\nContent-Type: application/soap+xml\r\nContent-Length: 1\r\n\r\nx");
  }
  for (int i = 0; i < 300 && dispatch.entered < settings_.numWorkThreads; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(dispatch.entered, settings_.numWorkThreads);
  late.Send("GET /a.txt HTTP/1.0\r\n\r\n");
  std::this_thread::sleep_for(kHeadDeadline + 1s);
  dispatch.release = true;
  EXPECT_NE(late.ReadAll().find("hello text"), std::string::npos);
  for (auto& c : busy) c->ReadAll();
  EXPECT_FALSE(HasEvent("Request head not received in time: connection closed"));
}

// Refusals for the budget come in floods when they come: the first of a
// minute is written whole, the rest only counted (RepeatedEventLine).
TEST_F(ServerCoreTest, BudgetRefusalsAreFoldedInTheEventLog) {
  Start();
  for (const char* line :
       {"Request refused: a body of 9 bytes", "Request refused: a body of 8 bytes"}) {
    core_->LogRepeatedEvent(RepeatedEvent::BudgetRefusal, line);
  }
  EXPECT_EQ(CountEvents("Request refused: a body of 9 bytes"), 1u);
  EXPECT_EQ(CountEvents("Request refused: a body of 8 bytes"), 0u);
}

// Heads and bodies have deadlines of their own, well within the client
// time-out: a few slow clients cannot hold their slots for it.
TEST_F(ServerCoreTest, SlowHeadsAndStalledBodiesAreClosedAtTheirDeadlines) {
  Start();
  const auto start = std::chrono::steady_clock::now();
  Client head(port_), body(port_);
  head.Send("GET / HTTP/1.0\r\nX-a: b\r\n");
  body.Send("POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 9\r\n\r\nab");
  const struct {
    Client* client;
    std::chrono::seconds deadline;
    const char* event;
  } cases[] = {
      {&head, kHeadDeadline, "Request head not received in time: connection closed"},
      {&body, kBodyStallDeadline, "Request body stalled: connection closed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.event);
    EXPECT_EQ(c.client->ReadAll(c.deadline + 5s), "");
    EXPECT_FALSE(c.client->TimedOut());
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, c.deadline);
    EXPECT_LT(waited, c.deadline + 2s);
    // Written just after the close the client sees.
    for (int i = 0; i < 100 && !HasEvent(c.event); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(HasEvent(c.event));
  }
  WaitIdle();
}

// The reply read up to its Content-Length, without waiting for the close.
std::string ReadReplyByLength(uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buf[512];
    for (;;) {
      const size_t end = reply.find("\r\n\r\n");
      const size_t length = reply.find("Content-Length: ");
      if (end != std::string::npos && length != std::string::npos &&
          reply.size() >= end + 4 + std::stoul(reply.substr(length + 16))) {
        break;
      }
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      reply.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return reply;
}

// A client that has its whole reply and reconnects at once must find the
// slot free, whether it waited for the close or only for the last byte.
// Connections waiting together are taken by the workers a burst at a time;
// none is left behind when there are more than a burst and than the workers.
TEST_F(ServerCoreTest, ConnectionsArrivingTogetherAreAllServed) {
  settings_.maxClients = 64;
  Start();
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 40; ++i) clients.push_back(std::make_unique<Client>(port_));
  for (auto& c : clients) c->Send("GET /a.txt HTTP/1.0\r\n\r\n");
  for (auto& c : clients) {
    const std::string reply = c->ReadAll();
    EXPECT_FALSE(c->TimedOut());
    EXPECT_NE(reply.find("hello text"), std::string::npos) << reply;
  }
  WaitIdle();
  EXPECT_EQ(core_->Stats().numConnects.load(), 40u);
}

TEST_F(ServerCoreTest, ClientReconnectingAtOnceIsNotRefused) {
  settings_.maxClients = 1;
  Start();
  const std::string request = "GET /a.txt HTTP/1.0\r\n\r\n";
  for (bool byLength : {false, true}) {
    SCOPED_TRACE(byLength ? "read by length" : "read to the close");
    int served = 0;
    for (int i = 0; i < 300; ++i) {
      const std::string reply = byLength ? ReadReplyByLength(port_, request) : Exchange(request);
      served += reply.find("hello text") != std::string::npos;
    }
    EXPECT_EQ(served, 300);
  }
  EXPECT_FALSE(HasEvent("At full capacity...refused connection!"));
}

TEST(RepeatedEventLineTest, FirstLineThenOneCountPerWindow) {
  using Clock = RepeatedEventLine::Clock;
  const Clock::time_point t0{};
  RepeatedEventLine line("full", std::chrono::minutes(1));
  using Lines = std::vector<std::string>;
  struct Step {
    int second;
    bool occurrence;  // false: a flush
    Lines expected;
  } steps[] = {
      {0, true, {"full"}},
      {1, true, {}},
      {30, true, {}},
      {59, false, {}},  // the window is still open
      {60, false, {"full 2 more times since the last report"}},
      {61, false, {}},  // nothing more to report
      {62, true, {"full"}},
      {70, true, {}},
      {125, true, {"full 1 more times since the last report", "full"}},
      {200, false, {}},  // a window with nothing held back says nothing
      {201, true, {"full"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.second);
    const Clock::time_point now = t0 + std::chrono::seconds(step.second);
    if (step.occurrence) {
      EXPECT_EQ(line.Occurred(now), step.expected);
    } else {
      const std::optional<std::string> count = line.Flush(now);
      EXPECT_EQ(count ? Lines{*count} : Lines{}, step.expected);
    }
  }
}

// Out of descriptors the listener says so once, waits without polling the
// listening socket, says so again when accepts work, and then serves the
// connection that waited in the kernel's queue.
TEST_F(ServerCoreTest, OutOfDescriptorsIsLoggedOnceAtEachEnd) {
  Start();
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  // Every descriptor below the lowest free one is in use: a limit there
  // makes the next accept fail.
  const int lowest = ::dup(0);
  ASSERT_GE(lowest, 0);
  ::close(lowest);
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port_);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int connected = ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  for (int i = 0; i < 500 && core_->FailedAcceptsForTest() < 4; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  const uint64_t failed = core_->FailedAcceptsForTest();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
  ASSERT_EQ(connected, 0);
  EXPECT_GE(failed, 4u);

  const std::string request = "GET /a.txt HTTP/1.0\r\n\r\n";
  ASSERT_EQ(::send(client, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  timeval tv{10, 0};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string reply;
  char buf[512];
  ssize_t n;
  while ((n = ::recv(client, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
  ::close(client);
  EXPECT_NE(reply.find("hello text"), std::string::npos);

  std::vector<std::string> starts, ends;
  {
    std::lock_guard<std::mutex> lock(eventsMu_);
    for (const std::string& e : events_) {
      if (e.rfind("Attempt to accept connection failed!", 0) == 0) starts.push_back(e);
      if (e.rfind("Accepting connections again", 0) == 0) ends.push_back(e);
    }
  }
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_NE(starts[0].find(std::strerror(EMFILE)), std::string::npos) << starts[0];
  EXPECT_EQ(ends.size(), 1u);
}

// Keeps what the connections ask to log.
class FakeLogger : public RequestLogger {
 public:
  struct Entry {
    std::string peer, requestLine, userAgent;
    int status;
    uint64_t bytesSent;
  };
  void LogRequest(const RequestRecord& e) override {
    std::lock_guard<std::mutex> lock(mu);
    entries.push_back({std::string(e.peer), std::string(e.request_line), std::string(e.user_agent),
                       e.status, e.bytes_sent});
  }
  void WriteTraceRecord(std::string_view) override {}
  void RotateLogs() override { ++rotations; }
  std::mutex mu;
  std::vector<Entry> entries;
  std::atomic<int> rotations{0};
};

TEST_F(ServerCoreTest, LargeFileAndLogEntry) {
  auto owned = std::make_unique<FakeLogger>();
  FakeLogger* logger = owned.get();
  logger_ = std::move(owned);
  std::string big(3 * 1024 * 1024 + 7, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  WriteFile(dir_ / "www" / "big.bin", big);
  Start();
  const std::string reply = Exchange("GET /big.bin HTTP/1.0\r\nUser-Agent: tester\r\n\r\n");
  const size_t end = reply.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos);
  EXPECT_NE(reply.find("Content-Type: application/octet-stream\r\nLast-Modified: "),
            std::string::npos);
  EXPECT_NE(reply.find("Content-Length: " + std::to_string(big.size()) + "\r\n"),
            std::string::npos);
  EXPECT_TRUE(reply.compare(end + 4, std::string::npos, big) == 0);
  WaitIdle();
  EXPECT_EQ(core_->Stats().numBytesSent.load(), reply.size());
  {
    std::lock_guard<std::mutex> lock(logger->mu);
    ASSERT_EQ(logger->entries.size(), 1u);
    const FakeLogger::Entry& e = logger->entries[0];
    EXPECT_EQ(e.peer, "127.0.0.1");
    EXPECT_EQ(e.requestLine, "GET /big.bin HTTP/1.0");
    EXPECT_EQ(e.userAgent, "tester");
    EXPECT_EQ(e.status, 200);
    EXPECT_EQ(e.bytesSent, reply.size());
  }
  // A request that ends in a lost socket is not logged.
  {
    Client c(port_);
    c.Send("GET /a.txt HTTP/1.0\r\n");
  }
  WaitIdle();
  core_->OnWatchdog();
  EXPECT_EQ(logger->rotations.load(), 1);
  std::lock_guard<std::mutex> lock(logger->mu);
  EXPECT_EQ(logger->entries.size(), 1u);
}

// Many clients at once do what clients and attackers do: whole requests,
// requests cut short, resets, one-byte writes, silence and early closes,
// while the watchdog runs on its own thread. A reply that arrives is the
// right one (or, when the watchdog closed it, the start of it), and in the
// end every slot is free exactly once and every socket closed.
TEST_F(ServerCoreTest, ManyClientsWithPartialRequestsAndDisconnects) {
  // Answers every POST alike; no shared state, since workers call it at once.
  class PlainDispatch : public SoapDispatch {
   public:
    bool ProcessSoapPost(const SoapCall& call, SoapAnswer* answer) override {
      // Long enough for the watchdog to meet a busy worker.
      if (call.extraPath == "/slow") std::this_thread::sleep_for(1200ms);
      answer->status = 200;
      answer->body = "<reply/>";
      return true;
    }
    bool ProcessSoapGet(const SoapCall&, SoapAnswer*) override { return false; }
  } dispatch;
  std::string big(256 * 1024, 'b');
  WriteFile(dir_ / "www" / "big.bin", big);
  settings_.maxClients = 16;
  settings_.numWorkThreads = 4;
  settings_.clientTimeout = 0;  // the watchdog closes whatever is a second old
  Start(&dispatch);

  const std::string get = "GET /a.txt HTTP/1.0\r\n\r\n";
  const std::string post =
      "POST /svc HTTP/1.1\r\nContent-Type: application/soap+xml\r\nContent-Length: 5\r\n\r\n<a/>\n";
  std::string slowPost = post;
  slowPost.replace(slowPost.find("/svc"), 4, "/svc/slow");
  const std::string getReply = WithoutDate(Exchange(get));
  const std::string postReply = WithoutDate(Exchange(post));
  ASSERT_NE(getReply.find("hello text"), std::string::npos);
  ASSERT_NE(postReply.find("<reply/>"), std::string::npos);

  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 400 && !done; ++i) {
      core_->OnWatchdog();
      std::this_thread::sleep_for(20ms);
    }
  });
  std::atomic<int> whole{0};
  std::atomic<int> wrong{0};
  auto check = [&](const std::string& reply, const std::string& expected) {
    if (reply.empty()) return;  // refused at full capacity
    const std::string r = WithoutDate(reply);
    if (r == expected) {
      ++whole;
    } else if (expected.compare(0, r.size(), r) != 0 || r.size() > expected.size()) {
      ++wrong;
    }
  };
  std::vector<std::thread> clients;
  for (int t = 0; t < 24; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 12; ++i) {
        Client c(port_);
        if (!c.Connected()) continue;
        switch ((t + i) % 10) {
          case 0:
            c.Send(get);
            check(c.ReadAll(3000ms), getReply);
            break;
          case 1:
            c.Send(post);
            check(c.ReadAll(3000ms), postReply);
            break;
          case 2:  // headers cut short, then gone
            c.Send("GET /a.txt HTTP/1.0\r\nHost:");
            break;
          case 3:  // body cut short, then reset
            c.Send(post.substr(0, post.size() - 3));
            std::this_thread::sleep_for(2ms);
            c.Reset();
            break;
          case 4:  // one byte at a time
            for (char ch : get) c.Send(std::string_view(&ch, 1));
            check(c.ReadAll(3000ms), getReply);
            break;
          case 5:  // connect and leave
            break;
          case 6:  // a large reply the client stops reading
            c.Send("GET /big.bin HTTP/1.0\r\n\r\n");
            std::this_thread::sleep_for(5ms);
            c.Reset();
            break;
          case 7:  // silent until the watchdog closes it
            c.ReadAll(1500ms);
            break;
          case 8:  // garbage
            c.Send(std::string("\x01\x02 \r\r\n\n%%%\r\n\r\n", 15));
            c.ReadAll(3000ms);
            break;
          case 9:  // outlives the time-out inside the SOAP processing
            c.Send(slowPost);
            check(c.ReadAll(3000ms), postReply);
            break;
        }
      }
    });
  }
  for (std::thread& t : clients) t.join();
  done = true;
  watchdog.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(whole.load(), 0);
  WaitIdle();
  EXPECT_EQ(core_->Stats().activeConnections.load(), 0u);
  EXPECT_EQ(core_->Port().OpenSocketsForTest(), 0u);
  // Still serving.
  EXPECT_EQ(WithoutDate(Exchange(get)), getReply);
}

TEST_F(ServerCoreTest, StopWithConnectionsOpen) {
  Start();
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(std::make_unique<Client>(port_));
  clients[0]->Send("GET /a.txt HTTP/1.0\r\n");  // headers unfinished
  clients[1]->Send("POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 50\r\n\r\nab");
  std::this_thread::sleep_for(50ms);
  core_->StopServer();
  for (auto& c : clients) {
    EXPECT_EQ(c->ReadAll(2000ms), "");
    EXPECT_FALSE(c->TimedOut());
  }
  // Nothing listens any more.
  Client late(port_);
  EXPECT_FALSE(late.Connected());
}

}  // namespace
}  // namespace server

// Free pages go back only once a load has ended, once per load, and never
// while connections keep arriving or one is still open.
TEST(IdleTrimTest, OncePerLoadAfterAQuietPass) {
  server::IdleTrim trim;
  struct Pass {
    uint64_t connects;
    uint64_t open;
    bool due;
  } passes[] = {
      {0, 0, false},    // no traffic yet
      {5, 2, false},    // a load under way
      {9, 0, false},    // none open at this moment, but some came since the last pass
      {9, 1, false},    // a long request still open
      {9, 0, true},     // a whole pass quiet: the load has ended
      {9, 0, false},    // already given back
      {12, 0, false},   // a new load
      {40, 3, false},
      {40, 0, true},
      {41, 0, false},   // a connection opened and closed between passes
      {41, 0, true},
  };
  for (size_t i = 0; i < std::size(passes); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(trim.Due(passes[i].connects, passes[i].open), passes[i].due);
  }
}
