#include "server/http/exchange.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/http/request_budget.h"
#include "server/http/request_log.h"
#include "server/http/server_logs.h"
#include "server/http/soap_dispatch.h"
#include "server/http/testing/test_files.h"
#include "xml/testing/allocation_probe.h"
#include "xml/xml_parser.h"

namespace server {
namespace {

namespace fs = std::filesystem;

class FakeLogger final : public RequestLogger {
 public:
  struct Entry {
    std::string peer, requestLine, userAgent;
    int status;
    uint64_t bytesSent;
  };
  void LogRequest(const RequestRecord& r) override {
    entries.push_back({std::string(r.peer), std::string(r.request_line), std::string(r.user_agent),
                       r.status, r.bytes_sent});
  }
  void WriteTraceRecord(std::string_view) override {}
  void RotateLogs() override {}
  std::vector<Entry> entries;
};

// Answers every SOAP call 200 "answered".
class AnsweringDispatch final : public SoapDispatch {
 public:
  bool ProcessSoapPost(const SoapCall&, SoapAnswer* answer) override { return Answer(answer); }
  bool ProcessSoapGet(const SoapCall&, SoapAnswer* answer) override { return Answer(answer); }

 private:
  static bool Answer(SoapAnswer* answer) {
    answer->status = 200;
    answer->body = "answered";
    return true;
  }
};

class FakeHost final : public ExchangeHost {
 public:
  SoapDispatch* Dispatch() const override { return dispatch; }
  RequestBudget* Budget() override { return budget; }
  RequestLogger* Logger() const override { return logger; }
  void LogEvent(const std::string& line) const override { events.push_back(line); }
  void AddBytesSent(uint64_t n) override { bytesSent += n; }
  void CountHTTPError() override { ++httpErrors; }
  void CountInternalError() override { ++internalErrors; }
  void CountNetError() override { ++netErrors; }

  RequestLogger* logger = nullptr;
  SoapDispatch* dispatch = nullptr;
  RequestBudget* budget = nullptr;
  mutable std::vector<std::string> events;
  uint64_t bytesSent = 0;
  int httpErrors = 0, internalErrors = 0, netErrors = 0;
};

// Stands in for the socket: remembers the posted receive and what was sent.
class FakeIo final : public ExchangeIo {
 public:
  bool PostReceive(char* buffer, size_t size) override {
    receive = buffer;
    receiveSize = size;
    ++receives;
    return true;
  }
  bool PostSend(std::vector<char> bytes) override {
    sends.emplace_back(bytes.begin(), bytes.end());
    return true;
  }
  bool PostSendFile(net::UniqueFd file, uint64_t size) override {
    std::string bytes(size, '\0');
    if (::pread(file.Get(), bytes.data(), size, 0) != static_cast<ssize_t>(size)) return false;
    sends.push_back(std::move(bytes));
    return true;
  }
  bool ShutdownSend() override {
    ++shutdowns;
    return true;
  }
  bool PostWake() override {
    ++wakes;
    return true;
  }
  void Close() override {
    ++closes;
    exchange->Clear();
  }

  Exchange* exchange = nullptr;
  char* receive = nullptr;
  size_t receiveSize = 0;
  int receives = 0;
  int closes = 0;
  int shutdowns = 0;
  int wakes = 0;
  std::vector<std::string> sends;
};

// Answers every SOAP POST 200 "answered", running `during` (once) while the
// first one is being processed.
class ReentrantDispatch final : public SoapDispatch {
 public:
  bool ProcessSoapPost(const SoapCall& call, SoapAnswer* answer) override {
    ++posts;
    lastBody.assign(call.body);
    if (during) {
      auto run = std::move(during);
      during = nullptr;
      run();
    }
    answer->status = 200;
    answer->body = "answered";
    return true;
  }
  bool ProcessSoapGet(const SoapCall&, SoapAnswer*) override { return false; }

  std::function<void()> during;
  int posts = 0;
  std::string lastBody;
};

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = server_testing::FreshTestDir("qvexchange");
    server_testing::WriteFile(dir_ / "a.txt", "hello text");
    server_testing::SetFileTime(dir_ / "a.txt");
    auto config = std::make_shared<ConfigSnapshot>();
    config->docBasePath = fs::canonical(dir_).string();
    config->mimeMap = BuiltInMimeMap();
    EndpointInfo svc;
    svc.requestURI = "/svc";
    svc.enabled = true;
    config->endpoints["/svc"] = svc;
    EndpointInfo mgr;
    mgr.requestURI = "/mgr";
    mgr.enabled = true;
    mgr.wildcard = true;  // RPC by GET names the operation after the path
    mgr.bodyProcessingProgId = u"Braskel.BraskelMgr2.1";  // ProgIDs ignore case
    config->endpoints["/mgr"] = mgr;
    EndpointInfo guarded = mgr;  // the same class behind the digest processor
    guarded.requestURI = "/guarded";
    guarded.headerProcessingProgIds = {u"jorvane.jorvex2"};
    config->endpoints["/guarded"] = guarded;
    config_ = std::move(config);
    host_.logger = &logger_;
    io_.exchange = &exchange_;
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Start(const char* address = "127.0.0.1") {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    ASSERT_EQ(inet_pton(AF_INET, address, &peer.sin_addr), 1);
    ASSERT_TRUE(exchange_.Start(config_, address, peer, /*requestTime=*/1000));
    ASSERT_EQ(exchange_.State(), ConnState::ReadingHead);
  }
  // Completes the posted receive with `bytes`.
  [[nodiscard]] bool Receive(std::string_view bytes) {
    EXPECT_NE(io_.receive, nullptr);
    EXPECT_LE(bytes.size(), io_.receiveSize);
    std::copy(bytes.begin(), bytes.end(), io_.receive);
    io_.receive = nullptr;
    return exchange_.OnTransfer(true, bytes.size());
  }
  // Completes sends until the exchange stops posting them.
  void CompleteSends() {
    for (size_t done = 0; exchange_.State() == ConnState::Sending && done < io_.sends.size();) {
      ASSERT_TRUE(exchange_.OnTransfer(true, io_.sends[done++].size()));
    }
  }
  std::string Wire() const {
    std::string all;
    for (const std::string& s : io_.sends) all += s;
    return all;
  }
  static int StatusOf(const std::string& wire) {
    const size_t blank = wire.find(' ');
    return blank == std::string::npos ? 0 : std::atoi(wire.c_str() + blank + 1);
  }

  fs::path dir_;
  ConfigSnapshotPtr config_;
  FakeLogger logger_;
  FakeHost host_;
  FakeIo io_;
  Exchange exchange_{host_, io_};
};

TEST_F(ExchangeTest, StaticGetRunsFromTheFirstBytesToTheClose) {
  Start();
  EXPECT_EQ(io_.receives, 1);

  // Half a header block: the exchange waits for more.
  ASSERT_TRUE(Receive("GET /a.txt HTTP/1.0\r\nUser-Agent: t"));
  EXPECT_EQ(exchange_.State(), ConnState::ReadingHead);
  EXPECT_EQ(io_.receives, 2);
  EXPECT_TRUE(io_.sends.empty());

  ASSERT_TRUE(Receive("est\r\n\r\n"));
  EXPECT_EQ(exchange_.State(), ConnState::Sending);
  ASSERT_EQ(io_.sends.size(), 1u);  // the header first, the file when it is sent
  EXPECT_EQ(StatusOf(io_.sends[0]), 200);

  ASSERT_TRUE(exchange_.OnTransfer(true, io_.sends[0].size()));
  ASSERT_EQ(io_.sends.size(), 2u);
  EXPECT_EQ(io_.sends[1], "hello text");
  EXPECT_EQ(exchange_.State(), ConnState::Sending);

  ASSERT_TRUE(exchange_.OnTransfer(true, io_.sends[1].size()));
  EXPECT_EQ(exchange_.State(), ConnState::Closed);
  EXPECT_EQ(io_.closes, 1);
  ASSERT_EQ(logger_.entries.size(), 1u);
  const FakeLogger::Entry& e = logger_.entries[0];
  EXPECT_EQ(e.peer, "127.0.0.1");
  EXPECT_EQ(e.requestLine, "GET /a.txt HTTP/1.0");
  EXPECT_EQ(e.userAgent, "test");
  EXPECT_EQ(e.status, 200);
  EXPECT_EQ(e.bytesSent, Wire().size());
  EXPECT_EQ(host_.bytesSent, Wire().size());
}

TEST_F(ExchangeTest, EveryRequestEndsInOneReplyAndTheClose) {
  struct Case {
    const char* request;
    int status;
    int httpErrors;
    const char* event;  // the operational line, when one is logged
    const char* peer = "127.0.0.1";
    bool dispatch = false;         // SOAP processing behind the endpoints
    const char* said = nullptr;    // text the reply holds
  };
  const char* const refused =
      "Management call from 192.0.2.7 to /mgr refused: only loopback clients may call it.";
  const char* const refusedText = "<faultcode>SOAP-ENV:Client</faultcode>\r\n<faultstring>"
                                  "Request: Management calls are accepted only over loopback.";
  const char* const mgrPost =
      "POST /mgr HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: x\r\n"
      "Content-Length: 3\r\n\r\nabc";
  const Case cases[] = {
      {"GET /missing HTTP/1.0\r\n\r\n", 404, 0, nullptr},
      {"GET /a.txt HTTP/2.0\r\n\r\n", 505, 1, nullptr},
      {"GET /a.txt\r\n", 505, 1, nullptr},  // no version
      {"GET /a.txt HTTP/\r\n\r\n", 400, 1, nullptr},
      {"PUT /a.txt HTTP/1.0\r\n\r\n", 405, 1, nullptr},
      {"HEAD /svc HTTP/1.0\r\n\r\n", 403, 0, nullptr},
      {"POST /nowhere HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 3\r\n\r\nabc", 404, 0,
       nullptr},
      // No SOAP processing behind the endpoint.
      {"POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: x\r\n"
       "Content-Length: 3\r\n\r\nabc",
       500, 0, "Internal Error: 1!"},
      // Not modified: the page is queued while handling and still goes out.
      {"GET /a.txt HTTP/1.0\r\nIf-Modified-Since: Mon, 07 Nov 1994 08:49:37 GMT\r\n\r\n", 304, 0,
       nullptr},
      // A SOAP 1.1 POST must say its action; the page says what is missing.
      {"POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 3\r\n\r\nabc", 500, 0,
       "Internal Error: 2!", "127.0.0.1", true,
       "<faultcode>SOAP-ENV:Client</faultcode>\r\n<faultstring>Request: SOAPAction HTTP header "
       "is missing.</faultstring>"},
      // The management endpoint answers loopback peers only, by POST and GET.
      {mgrPost, 500, 1, refused, "192.0.2.7", true, refusedText},
      {"GET /mgr/GetServerParams HTTP/1.0\r\n\r\n", 500, 1, refused, "192.0.2.7", true,
       refusedText},
      {"GET /mgr HTTP/1.0\r\n\r\n", 500, 1, refused, "192.0.2.7", false, refusedText},
      {mgrPost, 200, 0, nullptr, "127.0.0.1", true, "answered"},
      {mgrPost, 200, 0, nullptr, "127.3.4.5", true, "answered"},
      {"GET /mgr HTTP/1.0\r\n\r\n", 200, 0, nullptr, "127.0.0.1", true, "answered"},
      // Behind the digest processor, whose log-on every call passes first.
      {"POST /guarded HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: x\r\n"
       "Content-Length: 3\r\n\r\nabc",
       200, 0, nullptr, "192.0.2.7", true, "answered"},
      {"GET /guarded/GetServerParams HTTP/1.0\r\n\r\n", 200, 0, nullptr, "192.0.2.7", true,
       "answered"},
      // Other endpoints stay open to everyone.
      {"POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: x\r\n"
       "Content-Length: 3\r\n\r\nabc",
       200, 0, nullptr, "192.0.2.7", true, "answered"},
  };
  AnsweringDispatch dispatch;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.request) + " from " + c.peer);
    io_.sends.clear();
    io_.closes = 0;
    logger_.entries.clear();
    host_.events.clear();
    host_.httpErrors = 0;
    host_.dispatch = c.dispatch ? &dispatch : nullptr;
    Start(c.peer);
    ASSERT_TRUE(Receive(c.request));
    EXPECT_EQ(exchange_.State(), ConnState::Sending);
    ASSERT_FALSE(io_.sends.empty());
    EXPECT_EQ(StatusOf(io_.sends[0]), c.status);
    CompleteSends();
    if (c.said != nullptr) {
      EXPECT_NE(Wire().find(c.said), std::string::npos) << Wire();
    }
    if (c.status >= 400) {
      // An error page: the sending side ends, and what the client still
      // sends is read until it closes.
      EXPECT_EQ(exchange_.State(), ConnState::Draining);
      EXPECT_EQ(io_.shutdowns, 1);
      EXPECT_EQ(io_.closes, 0);
      ASSERT_TRUE(Receive("more of the request"));
      EXPECT_EQ(exchange_.State(), ConnState::Draining);
      ASSERT_TRUE(Receive(""));
      io_.shutdowns = 0;
    }
    EXPECT_EQ(exchange_.State(), ConnState::Closed);
    EXPECT_EQ(io_.closes, 1);
    ASSERT_EQ(logger_.entries.size(), 1u);
    EXPECT_EQ(logger_.entries[0].status, c.status);
    EXPECT_EQ(host_.httpErrors, c.httpErrors);
    if (c.event != nullptr) {
      EXPECT_EQ(host_.events, std::vector<std::string>{c.event});
    } else {
      EXPECT_TRUE(host_.events.empty());
    }
  }
}

// A client that keeps sending after an error page is closed on once the
// drain has read its limit: the rest of the body it announced (a client that
// sends its whole body before reading must get to the page), and some more.
// Drains and DIME bodies are read in large pieces.
TEST_F(ExchangeTest, DrainAfterAnErrorPageIsBounded) {
  const uint64_t kMiB = 1024 * 1024;
  const struct {
    std::string head;
    uint64_t keptOpenFor, closedBy;  // bytes sent after the head
  } cases[] = {
      {"PUT /a.txt HTTP/1.0\r\n\r\n", 0, 320 * 1024},
      {"POST /nowhere HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 4194304\r\n\r\n",
       4 * kMiB, 4 * kMiB + 320 * 1024},
      {"POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 1073741824\r\n\r\n",
       kMaxDimeRequestBytes, kMaxDimeRequestBytes + 320 * 1024},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    io_.closes = 0;
    Start();
    RequestBudget budget(kMiB, 0);  // the last one could never fit
    host_.budget = &budget;
    ASSERT_TRUE(Receive(c.head));
    CompleteSends();
    ASSERT_EQ(exchange_.State(), ConnState::Draining);
    EXPECT_EQ(io_.receiveSize, 64u * 1024);
    const std::string chunk(io_.receiveSize, 'x');
    uint64_t sent = 0;
    while (exchange_.State() == ConnState::Draining && sent < c.closedBy + chunk.size()) {
      ASSERT_TRUE(Receive(chunk));
      sent += chunk.size();
    }
    EXPECT_EQ(exchange_.State(), ConnState::Closed);
    EXPECT_EQ(io_.closes, 1);
    EXPECT_GT(sent, c.keptOpenFor);
    EXPECT_LE(sent, c.closedBy);
    host_.budget = nullptr;
  }
}

// A peer to be named is named by the worker writing the log record, with the
// text the resolver gives (the listener only formats the address).
TEST_F(ExchangeTest, PeerIsNamedWhenTheRecordIsWritten) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char name[NI_MAXHOST];
  const std::string expected = getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer,
                                           name, sizeof name, nullptr, 0, NI_NAMEREQD) == 0
                                   ? name
                                   : "0.0.0.0";
  Start();
  exchange_.NamePeerWhenLogging(peer);
  ASSERT_TRUE(Receive("GET /a.txt HTTP/1.0\r\n\r\n"));
  CompleteSends();
  ASSERT_EQ(logger_.entries.size(), 1u);
  EXPECT_EQ(logger_.entries[0].peer, expected);
  // The next exchange on the slot names nobody unless asked again.
  logger_.entries.clear();
  Start();
  ASSERT_TRUE(Receive("GET /a.txt HTTP/1.0\r\n\r\n"));
  CompleteSends();
  ASSERT_EQ(logger_.entries.size(), 1u);
  EXPECT_EQ(logger_.entries[0].peer, "127.0.0.1");
}

TEST_F(ExchangeTest, BodyArrivingInPiecesIsReadBeforeHandling) {
  Start();
  ASSERT_TRUE(
      Receive("POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: x\r\n"
              "Content-Length: 6\r\n\r\nab"));
  EXPECT_EQ(exchange_.State(), ConnState::ReadingBody);
  EXPECT_TRUE(io_.sends.empty());
  ASSERT_TRUE(Receive("cd"));
  EXPECT_EQ(exchange_.State(), ConnState::ReadingBody);
  ASSERT_TRUE(Receive("ef"));
  EXPECT_EQ(exchange_.State(), ConnState::Sending);
  ASSERT_EQ(io_.sends.size(), 1u);
  EXPECT_EQ(StatusOf(io_.sends[0]), 500);
}

// A large body is received in windows of its own buffer, as large as the
// kernel gives, but for its last bytes, which come through the receive
// buffer with whatever the client sent past them.
TEST_F(ExchangeTest, LargeBodyIsReceivedStraightIntoItsBuffer) {
  ReentrantDispatch dispatch;
  host_.dispatch = &dispatch;
  std::string body;
  for (size_t i = 0; body.size() < 200000; ++i) body += std::to_string(i) + ',';
  const std::string head = "POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: x\r\n"
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  const std::string wire = head + body.substr(0, 100) + body.substr(100) + "\r\n";
  Start();
  ASSERT_TRUE(Receive(wire.substr(0, head.size() + 100)));
  size_t at = head.size() + 100;
  int receives = 0;
  while (exchange_.State() == ConnState::ReadingBody && at < wire.size()) {
    const size_t n = std::min(io_.receiveSize, wire.size() - at);
    ASSERT_TRUE(Receive(std::string_view(wire).substr(at, n)));
    at += n;
    ++receives;
  }
  EXPECT_EQ(at, wire.size()) << "the line end past the body was read with its last bytes";
  ASSERT_EQ(exchange_.State(), ConnState::Sending);
  EXPECT_EQ(dispatch.lastBody, body);
  EXPECT_LE(receives, 6);  // windows of 64 KiB, not receives of 4 KiB
  host_.dispatch = nullptr;
}

TEST_F(ExchangeTest, LostSocketClosesWithoutReplyOrLogLine) {
  const struct {
    const char* before;  // what arrived before the transfer failed
    ConnState state;
  } cases[] = {
      {"", ConnState::ReadingHead},
      {"POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 9\r\n\r\nab",
       ConnState::ReadingBody},
      {"GET /a.txt HTTP/1.0\r\n\r\n", ConnState::Sending},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    io_.sends.clear();
    io_.closes = 0;
    host_.events.clear();
    host_.netErrors = 0;
    Start();
    if (*c.before != '\0') {
      ASSERT_TRUE(Receive(c.before));
    }
    ASSERT_EQ(exchange_.State(), c.state);
    const size_t sent = io_.sends.size();
    ASSERT_TRUE(exchange_.OnTransfer(/*ok=*/false, 0));
    EXPECT_EQ(exchange_.State(), ConnState::Closed);
    EXPECT_EQ(io_.closes, 1);
    EXPECT_EQ(io_.sends.size(), sent) << "nothing more is sent";
    EXPECT_EQ(host_.events, std::vector<std::string>{"Unexpected Socket Closure!"});
    EXPECT_EQ(host_.netErrors, 1);
  }
  EXPECT_TRUE(logger_.entries.empty());
}

TEST_F(ExchangeTest, ZeroByteReceiveIsThePeerClosing) {
  Start();
  ASSERT_TRUE(exchange_.OnTransfer(true, 0));
  EXPECT_EQ(exchange_.State(), ConnState::Closed);
  EXPECT_EQ(io_.closes, 1);
  EXPECT_EQ(host_.netErrors, 1);
}

TEST_F(ExchangeTest, RequestsRefusedOnTheirHeadersAreAnsweredBeforeTheBody) {
  const uint64_t kDimeBody = 1025;
  const struct {
    const char* head;
    uint64_t memory, disk;  // the server's budget
    int status;
    const char* event;
  } cases[] = {
      {"POST /nowhere HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: 67108864\r\n"
       "Expect: 100-continue\r\n\r\n",
       uint64_t{1} << 40, 0, 404, nullptr},
      {"POST /svc HTTP/1.1\r\nContent-Type: application/dime\r\nContent-Length: 1073741824\r\n"
       "\r\n",
       uint64_t{1} << 40, uint64_t{1} << 40, 400, nullptr},
      {"POST /svc HTTP/1.1\r\nContent-Type: text/xml\r\nSOAPAction: x\r\nContent-Length: 129\r\n"
       "Expect: 100-continue\r\n\r\n",
       128 * kDecodedBytesPerBodyByte, 0, 503,
       "Request refused: a body of 129 bytes would pass the server's memory budget"},
      {"POST /svc HTTP/1.0\r\nContent-Type: application/dime\r\nContent-Length: 1025\r\n\r\n",
       kDimeBody * kDecodedBytesPerBodyByte, kDimeBody - 1, 503,
       "Request refused: a body of 1025 bytes would pass the server's temporary storage budget"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    RequestBudget budget(c.memory, c.disk);
    host_.budget = &budget;
    io_.sends.clear();
    host_.events.clear();
    Start();
    const int receives = io_.receives;
    ASSERT_TRUE(Receive(c.head));
    EXPECT_EQ(io_.receives, receives) << "no receive is posted for the body";
    ASSERT_EQ(exchange_.State(), ConnState::Sending);
    ASSERT_EQ(io_.sends.size(), 1u) << "no interim answer before a refusal";
    EXPECT_EQ(StatusOf(io_.sends[0]), c.status);
    if (c.event != nullptr) {
      EXPECT_EQ(host_.events, std::vector<std::string>{c.event});
    }
    exchange_.Clear();
    EXPECT_EQ(budget.MemoryHeld(), 0u);
    EXPECT_EQ(budget.DiskHeld(), 0u);
    host_.budget = nullptr;
  }
}

// The budget is taken as body bytes arrive: bodies announced and never sent
// hold nothing, and a request is refused only when the bytes that came do not
// fit beside those that came for others.
TEST_F(ExchangeTest, TheServerBudgetIsTakenAsTheBodyArrivesAndReturnedAtTheEnd) {
  RequestBudget budget(/*memoryBytes=*/8 * kDecodedBytesPerBodyByte, /*diskBytes=*/0);
  host_.budget = &budget;
  const std::string head =
      "POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: x\r\nContent-Length: 6\r\n\r\n";
  Start();
  ASSERT_TRUE(Receive(head + "ab"));
  ASSERT_EQ(exchange_.State(), ConnState::ReadingBody);
  EXPECT_EQ(budget.MemoryHeld(), 2 * kDecodedBytesPerBodyByte);

  // A second request of the same size is not refused for what the first
  // only announced.
  FakeIo otherIo;
  Exchange other(host_, otherIo);
  otherIo.exchange = &other;
  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_TRUE(other.Start(config_, "127.0.0.1", loopback, 1000));
  std::copy(head.begin(), head.end(), otherIo.receive);
  ASSERT_TRUE(other.OnTransfer(true, head.size()));
  EXPECT_TRUE(otherIo.sends.empty());
  EXPECT_EQ(other.State(), ConnState::ReadingBody);
  EXPECT_EQ(budget.MemoryHeld(), 2 * kDecodedBytesPerBodyByte);

  ASSERT_TRUE(Receive("cd"));
  EXPECT_EQ(budget.MemoryHeld(), 4 * kDecodedBytesPerBodyByte);
  // Its whole body does not fit beside what has come of the first: refused,
  // its share given back.
  std::copy_n("abcdef", 6, otherIo.receive);
  ASSERT_TRUE(other.OnTransfer(true, 6));
  ASSERT_EQ(otherIo.sends.size(), 1u);
  EXPECT_EQ(StatusOf(otherIo.sends[0]), 503);
  EXPECT_EQ(host_.events.back(),
            "Request refused: a body of 6 bytes would pass the server's memory budget");
  ASSERT_TRUE(other.OnTransfer(true, otherIo.sends[0].size()));
  EXPECT_EQ(other.State(), ConnState::Draining);
  EXPECT_EQ(budget.MemoryHeld(), 4 * kDecodedBytesPerBodyByte);

  ASSERT_TRUE(Receive("ef"));
  EXPECT_EQ(budget.MemoryHeld(), 6 * kDecodedBytesPerBodyByte);
  CompleteSends();
  ASSERT_TRUE(Receive(""));  // the drain after the 500 page
  EXPECT_EQ(exchange_.State(), ConnState::Closed);
  EXPECT_EQ(budget.MemoryHeld(), 0u);
  other.Clear();
}

// A DIME body is parsed as it comes, in large pieces, and charged for its
// attachments' storage as they arrive.
TEST_F(ExchangeTest, DimeBodiesAreReadInLargePieces) {
  RequestBudget budget(uint64_t{1} << 40, uint64_t{1} << 40);
  host_.budget = &budget;
  Start();
  ASSERT_TRUE(Receive("POST /svc HTTP/1.0\r\nContent-Type: application/dime\r\n"
                      "Content-Length: 1000000\r\n\r\n"));
  ASSERT_EQ(exchange_.State(), ConnState::ReadingBody);
  EXPECT_EQ(io_.receiveSize, 64u * 1024);
  EXPECT_EQ(budget.DiskHeld(), 0u);
  exchange_.Clear();
  host_.budget = nullptr;
}

TEST_F(ExchangeTest, ContinueIsSentOnlyToAClientWaitingForIt) {
  const std::string post = "POST /svc HTTP/1.1\r\nContent-Type: text/xml\r\nSOAPAction: x\r\n";
  const struct {
    std::string request;
    bool sent;
  } cases[] = {
      {post + "Expect: 100-Continue\r\nContent-Length: 3\r\n\r\n", true},
      {post + "Content-Length: 3\r\n\r\n", false},
      // The body came with the head: the client did not wait.
      {post + "Expect: 100-continue\r\nContent-Length: 3\r\n\r\na", false},
      {"POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: x\r\n"
       "Expect: 100-continue\r\nContent-Length: 3\r\n\r\n",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    io_.sends.clear();
    Start();
    const int receives = io_.receives;
    ASSERT_TRUE(Receive(c.request));
    if (c.sent) {
      ASSERT_EQ(io_.sends.size(), 1u);
      EXPECT_EQ(io_.sends[0], "HTTP/1.1 100 Continue\r\n\r\n");
      EXPECT_EQ(exchange_.State(), ConnState::SendingContinue);
      EXPECT_EQ(io_.receives, receives) << "the body is read once the interim answer is out";
      ASSERT_TRUE(exchange_.OnTransfer(true, io_.sends[0].size()));
      io_.sends.clear();
    } else {
      EXPECT_TRUE(io_.sends.empty());
    }
    EXPECT_EQ(exchange_.State(), ConnState::ReadingBody);
    ASSERT_TRUE(Receive("abc"));
    ASSERT_EQ(exchange_.State(), ConnState::Sending);
    ASSERT_FALSE(io_.sends.empty());
    EXPECT_EQ(StatusOf(io_.sends[0]), 500) << "the final answer follows (no SOAP processing here)";
    exchange_.Clear();
  }
}

// Parses the body as XML and answers 200; a parse that runs out of memory
// leaves by bad_alloc, as the dispatch contract allows.
class ParsingDispatch final : public SoapDispatch {
 public:
  bool ProcessSoapPost(const SoapCall& call, SoapAnswer* answer) override {
    struct Disarm {
      ~Disarm() { xml::testing::g_allocations_left = nullptr; }
    } disarm;  // after the parser and its tree are gone
    xml::XmlParser parser;
    xml::testing::g_allocations_left = &allocationsLeft;
    parser.ParseXmlBuffer(call.body.data(), call.body.size(), nullptr);
    answer->status = 200;
    answer->soapVersion = 11;
    return true;
  }
  bool ProcessSoapGet(const SoapCall&, SoapAnswer*) override { return false; }
  long allocationsLeft = 0;
};

TEST_F(ExchangeTest, RunningOutOfMemoryWhileParsingIsAnsweredAndTheNextRequestServed) {
  ParsingDispatch dispatch;
  host_.dispatch = &dispatch;
  std::string body = "<e:Envelope xmlns:e='urn:e'><e:Body>";
  for (int i = 0; i < 30; ++i) body += "<item n='" + std::to_string(i) + "'><v>text</v>";
  for (int i = 0; i < 30; ++i) body += "</item>";
  body += "</e:Body></e:Envelope>";
  const std::string request =
      "POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: x\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\n\r\n";
  int failures = 0;
  bool answered = false;
  for (long n = 0; !answered && n < 100000; ++n) {
    io_.sends.clear();
    host_.events.clear();
    dispatch.allocationsLeft = n;
    Start();
    ASSERT_TRUE(Receive(request));
    ASSERT_TRUE(Receive(body));
    ASSERT_FALSE(io_.sends.empty()) << n;
    const int status = StatusOf(io_.sends[0]);
    if (status == 200) {
      answered = true;
    } else {
      ASSERT_EQ(status, 500) << n;
      EXPECT_EQ(host_.events, std::vector<std::string>{"Internal Error: 6!"});
      ++failures;
    }
    exchange_.Clear();
  }
  EXPECT_TRUE(answered);
  EXPECT_GT(failures, 10);
}

// Another client slot beside the fixture's, sharing its host.
struct OtherSlot {
  explicit OtherSlot(ExchangeHost& host) : exchange(host, io) { io.exchange = &exchange; }
  // Starts an exchange and delivers `request`, a receive at a time.
  void Send(const ConfigSnapshotPtr& config, const std::string& request) {
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_TRUE(exchange.Start(config, "127.0.0.1", loopback, 1000));
    for (size_t at = 0; at < request.size() && io.receive != nullptr;) {
      const size_t n = std::min(io.receiveSize, request.size() - at);
      std::copy_n(request.data() + at, n, io.receive);
      io.receive = nullptr;
      at += n;
      ASSERT_TRUE(exchange.OnTransfer(true, n));
    }
  }
  void CompleteSends() {
    for (size_t done = 0; exchange.State() == ConnState::Sending && done < io.sends.size();) {
      ASSERT_TRUE(exchange.OnTransfer(true, io.sends[done++].size()));
    }
  }
  FakeIo io;
  Exchange exchange;
};

std::string SoapPost(size_t bodyBytes) {
  return "POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: x\r\nContent-Length: " +
         std::to_string(bodyBytes) + "\r\n\r\n" + std::string(bodyBytes, 'b');
}

// A large request is processed only once a wake brings it back, holding its
// share of the working memory: at once when the share fits beside the one
// being processed, else when that one ends. Small ones never wait.
TEST_F(ExchangeTest, LargeRequestsWaitForWorkingMemoryAndAreAnswered) {
  const uint64_t large = kLargeBodyBytes + 1;
  const uint64_t share = large * kWorkingBytesPerBodyByte;
  struct Case {
    const char* name;
    uint64_t second;     // body bytes of the request arriving meanwhile
    uint64_t budget;     // working memory
    bool waits;          // it waits for a wake
    bool wokenAtOnce;    // its share fits beside the first one's
    bool closedWaiting;  // its client goes away while it waits
  };
  const Case cases[] = {
      {"beyond the budget: woken when the first ends", large, share + share / 2, true, false,
       false},
      {"fits beside: woken at once", large, 2 * share, true, true, false},
      {"small bodies are processed at once", kLargeBodyBytes, share, false, false, false},
      {"the waiter's client leaves: its place is given up", large, share, true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RequestBudget budget(uint64_t{1} << 40, 0, c.budget);
    ReentrantDispatch dispatch;
    host_.budget = &budget;
    host_.dispatch = &dispatch;
    io_.sends.clear();
    io_.wakes = 0;
    OtherSlot other(host_);
    dispatch.during = [&] {
      EXPECT_EQ(budget.WorkingHeld(), share);
      other.Send(config_, SoapPost(c.second));
      EXPECT_EQ(other.io.wakes, c.wokenAtOnce ? 1 : 0);
      if (c.waits) {
        EXPECT_EQ(other.exchange.State(), ConnState::AwaitingMemory);
        EXPECT_TRUE(other.io.sends.empty());
        EXPECT_EQ(other.io.receive, nullptr) << "nothing is posted while it waits";
        EXPECT_EQ(budget.WorkingWaiters(), c.wokenAtOnce ? 0u : 1u);
        if (c.closedWaiting) other.exchange.Clear();
      } else {
        EXPECT_EQ(other.exchange.State(), ConnState::Sending);
      }
    };
    Start();
    const std::string first = SoapPost(large);
    for (size_t at = 0; at < first.size();) {
      const size_t n = std::min(io_.receiveSize, first.size() - at);
      ASSERT_TRUE(Receive(std::string_view(first).substr(at, n)));
      at += n;
    }
    // The first one too waited for its wake, though its share was free.
    ASSERT_EQ(exchange_.State(), ConnState::AwaitingMemory);
    ASSERT_EQ(io_.wakes, 1);
    EXPECT_EQ(dispatch.posts, 0);
    ASSERT_TRUE(exchange_.OnTransfer(true, 0));
    ASSERT_EQ(exchange_.State(), ConnState::Sending);
    EXPECT_EQ(StatusOf(io_.sends.at(0)), 200);

    if (c.waits && !c.closedWaiting) {
      // The first one's end, or the take, gave it its share and woke it.
      ASSERT_EQ(other.io.wakes, 1);
      EXPECT_EQ(budget.WorkingHeld(), share);
      EXPECT_EQ(dispatch.posts, 1);
      ASSERT_TRUE(other.exchange.OnTransfer(true, 0));
    }
    EXPECT_EQ(other.io.wakes, c.waits && !c.closedWaiting ? 1 : 0);
    EXPECT_EQ(dispatch.posts, c.closedWaiting ? 1 : 2);
    if (!c.closedWaiting) {
      ASSERT_EQ(other.exchange.State(), ConnState::Sending);
      EXPECT_EQ(StatusOf(other.io.sends.at(0)), 200);
      other.CompleteSends();
      EXPECT_EQ(other.exchange.State(), ConnState::Closed);
    }
    CompleteSends();
    EXPECT_EQ(exchange_.State(), ConnState::Closed);
    EXPECT_EQ(budget.WorkingHeld(), 0u);
    EXPECT_EQ(budget.WorkingWaiters(), 0u);
    host_.budget = nullptr;
    host_.dispatch = nullptr;
  }
}

// A waiting request whose transfer fails, or that is woken after its client
// left, ends as a lost socket and gives its place back.
TEST_F(ExchangeTest, AWaitingRequestThatLosesItsSocketGivesItsPlaceBack) {
  const uint64_t large = kLargeBodyBytes + 1;
  RequestBudget budget(uint64_t{1} << 40, 0, /*workingBytes=*/1);
  WorkingShare holder;
  ASSERT_TRUE(budget.TakeWorking(&holder, 1, nullptr));
  ReentrantDispatch dispatch;
  host_.budget = &budget;
  host_.dispatch = &dispatch;
  OtherSlot other(host_);
  other.Send(config_, SoapPost(large));
  ASSERT_EQ(other.exchange.State(), ConnState::AwaitingMemory);
  ASSERT_TRUE(other.exchange.OnTransfer(/*ok=*/false, 0));
  EXPECT_EQ(other.exchange.State(), ConnState::Closed);
  EXPECT_EQ(other.io.closes, 1);
  EXPECT_EQ(budget.WorkingWaiters(), 0u);
  budget.ReturnWorking(&holder);
  EXPECT_EQ(budget.WorkingHeld(), 0u);
  EXPECT_EQ(other.io.wakes, 0);
  EXPECT_EQ(dispatch.posts, 0);
  host_.budget = nullptr;
  host_.dispatch = nullptr;
}

TEST(ConnectionMachineTest, EveryQueuedReplyLeadsToSending) {
  // Handlers may say "queued" or "ready"; both must start the reply, or the
  // client would get none.
  const StateMachine machine = StateMachine::ForConnection();
  for (Event e : {Event::ResponseQueued, Event::ResponseReady}) {
    const StateMachine::Row* row = machine.Find(ConnState::Handling, e);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->next, ConnState::Sending);
  }
  for (ConnState s : {ConnState::ErrorPage, ConnState::InternalError}) {
    const StateMachine::Row* row = machine.Find(s, Event::ResponseQueued);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->next, ConnState::Sending);
  }
}

}  // namespace
}  // namespace server
