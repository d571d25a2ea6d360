#include "httpclient/http_client.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/net/socket_errors.h"
#include "platform/net/testing/loopback_peer.h"

namespace httpclient {
namespace {

using net::testing::LoopbackPeer;
using net::testing::PeerConnection;
using net::testing::RefusingPort;

constexpr uint32_t kTimeoutMs = 5000;

TEST(UrlEscapeTest, KeepsUnreservedAndEscapesTheRest) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"a/b&c=d:e-_.!~*'()", "a/b&c=d:e-_.!~*'()"},
      {"a b", "a%20b"},
      {"\t", "%09"},
      {"\xE9", "%E9"},
      {"\xFF\x80", "%FF%80"},
      {"?#%+", "%3F%23%25%2B"},
      {"\r\n", "%0D%0A"},
      {std::string("a\0b", 3), "a%00b"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(UrlEscape(c.in), c.out) << c.in;
}

TEST(HttpClientTest, SendsTheRequestAsGivenAndReadsTheResponse) {
  LoopbackPeer peer;
  std::string request;
  peer.Serve([&](PeerConnection& c) {
    request = c.ReadHead();
    request += c.ReadExactly(4);
    c.Write("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 4\r\n\r\n<a/>");
  });
  HttpClient client(peer.port(), kTimeoutMs);
  ASSERT_TRUE(client.SendRequest(0, "POST", "127.0.0.1", "/a b/c", "x=1 2",
                                 "Host: h\r\nContent-Length: 4\r\n", "body"))
      << client.GetLastError();
  peer.Join();
  EXPECT_EQ(request,
            "POST /a%20b/c?x=1%202 HTTP/1.0\r\nHost: h\r\nContent-Length: 4\r\n\r\nbody");
  EXPECT_EQ(client.GetStatusCode(), 200);
  EXPECT_EQ(client.GetHeader("content-type"), " text/xml");
  EXPECT_EQ(client.response().major_version(), 1);
  EXPECT_EQ(client.response().minor_version(), 1);
  ASSERT_EQ(client.GetBodyLength(), 4u);
  ASSERT_NE(client.GetBody(), nullptr);
  EXPECT_STREQ(client.GetBody(), "<a/>");

  client.Reset();
  EXPECT_EQ(client.GetStatusCode(), 0);
  EXPECT_EQ(client.GetBody(), nullptr);
  EXPECT_EQ(client.GetBodyLength(), 0u);
  EXPECT_EQ(client.GetHeader("Content-Type"), "");
}

TEST(HttpClientTest, WireFormTargetIsSentAsGivenOrRefused) {
  LoopbackPeer peer;
  std::string request;
  peer.Serve([&](PeerConnection& c) {
    request = c.ReadHead();
    c.Write("HTTP/1.0 204 No Content\r\n\r\n");
  });
  HttpClient client(80, kTimeoutMs);
  const std::string refused[] = {"", "/a b", "/a\r\nX: y", "/a\tb", "/\x7F", std::string("/\0", 2)};
  for (const auto& target : refused) {
    EXPECT_FALSE(client.SendRequestTarget(peer.port(), "GET", "127.0.0.1", target, "", ""))
        << target;
    EXPECT_EQ(client.GetLastError(), uint32_t{WSAEINVAL}) << target;
  }
  ASSERT_TRUE(client.SendRequestTarget(peer.port(), "GET", "127.0.0.1", "/a%20b?q=%41&r=\xE9",
                                       "Host: x\r\n", ""));
  peer.Join();
  EXPECT_EQ(peer.accepted(), 1) << "a refused target never reaches the network";
  EXPECT_EQ(request, "GET /a%20b?q=%41&r=\xE9 HTTP/1.0\r\nHost: x\r\n\r\n");
  EXPECT_EQ(client.GetStatusCode(), 204);
}

TEST(HttpClientTest, BadPortMethodOrHostFailsBeforeConnecting) {
  const struct {
    int default_port;
    int port;
    const char* method;
    const char* host;
    uint32_t error;
  } cases[] = {
      {80, 65536, "GET", "127.0.0.1", WSAEINVAL},
      {80, 99999, "GET", "127.0.0.1", WSAEINVAL},
      {0, 0, "GET", "127.0.0.1", WSAEINVAL},
      {70000, -1, "GET", "127.0.0.1", WSAEINVAL},
      {80, 80, "G T", "127.0.0.1", WSAEINVAL},
      {80, 80, "", "127.0.0.1", WSAEINVAL},
      {80, 80, "GET", "", WSAEADDRNOTAVAIL},
  };
  for (const auto& c : cases) {
    HttpClient client(c.default_port, kTimeoutMs);
    EXPECT_FALSE(client.SendRequest(c.port, c.method, c.host, "/", "", "", ""))
        << c.port << " " << c.method << " " << c.host;
    EXPECT_EQ(client.GetLastError(), c.error) << c.port << " " << c.method << " " << c.host;
  }
}

// One exchange against a peer running `script`; fills `client`.
bool Exchange(HttpClient& client, const LoopbackPeer::Script& script) {
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& c) {
    c.ReadHead();
    script(c);
  });
  const bool ok = client.SendRequest(peer.port(), "GET", "127.0.0.1", "/doc", "", "Host: t\r\n", "");
  peer.Join();
  return ok;
}

TEST(HttpClientTest, ExchangesThatFailReportWhy) {
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n";
  const struct {
    const char* what;
    std::function<void(PeerConnection&)> script;
    uint32_t timeout_ms;
    size_t max_body;
    uint32_t error;
  } cases[] = {
      {"reset in the middle of the body",
       [&](PeerConnection& c) {
         c.Write(head + std::string(40, 'b'));
         c.Pause(50);
         c.Reset();
       },
       kTimeoutMs, kMaxResponseBodyLength, WSAECONNRESET},
      {"closed before the announced length",
       [&](PeerConnection& c) { c.Write(head + std::string(99, 'b')); }, kTimeoutMs,
       kMaxResponseBodyLength, WSAEDISCON},
      {"never answers", [](PeerConnection& c) { c.Pause(500); }, 200, kMaxResponseBodyLength,
       WSA_WAIT_TIMEOUT},
      {"answers the head, then falls silent",
       [&](PeerConnection& c) {
         c.Write(head);
         c.Pause(500);
       },
       200, kMaxResponseBodyLength, WSA_WAIT_TIMEOUT},
      {"streams a body beyond the limit",
       [](PeerConnection& c) {
         c.Write("HTTP/1.0 200 OK\r\n\r\n");
         const std::string chunk(64 * 1024, 'z');
         for (int i = 0; i < 64 && c.Write(chunk); ++i) {
         }
       },
       kTimeoutMs, 100 * 1000, WSAENOBUFS},
      {"announces a body beyond the limit",
       [](PeerConnection& c) {
         c.Write("HTTP/1.0 200 OK\r\nContent-Length: 100001\r\n\r\n");
         c.Pause(300);
       },
       kTimeoutMs, 100 * 1000, WSAENOBUFS},
      {"sends a head without end",
       [](PeerConnection& c) {
         c.Write("HTTP/1.0 200 OK\r\n");
         const std::string line = "X: " + std::string(1000, 'h') + "\r\n";
         for (int i = 0; i < 100 && c.Write(line); ++i) {
         }
       },
       kTimeoutMs, kMaxResponseBodyLength, WSAEMSGSIZE},
  };
  for (const auto& c : cases) {
    HttpClient client(80, c.timeout_ms);
    client.SetMaxBodyLength(c.max_body);
    EXPECT_FALSE(Exchange(client, c.script)) << c.what;
    EXPECT_EQ(client.GetLastError(), c.error) << c.what;
  }

  RefusingPort refusing;
  HttpClient client(refusing.port(), kTimeoutMs);
  EXPECT_FALSE(client.SendRequest(0, "GET", "127.0.0.1", "/", "", "", ""));
  EXPECT_EQ(client.GetLastError(), uint32_t{WSAECONNREFUSED});
}

TEST(HttpClientTest, ContentLengthOfAResponseWithoutABodyIsNoShortfall) {
  // A HEAD answer and 1xx, 204 and 304 answers carry no body whatever their
  // Content-Length says.
  const struct {
    const char* method;
    const char* response;
    int status;
  } cases[] = {
      {"HEAD", "HTTP/1.0 200 OK\r\nContent-Length: 1234\r\n\r\n", 200},
      {"HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n", 200},
      {"GET", "HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\n", 204},
      {"GET", "HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n", 304},
  };
  for (const auto& c : cases) {
    LoopbackPeer peer;
    peer.Serve([&](PeerConnection& p) {
      p.ReadHead();
      p.Write(c.response);
    });
    HttpClient client(80, kTimeoutMs);
    EXPECT_TRUE(client.SendRequest(peer.port(), c.method, "127.0.0.1", "/", "", "", ""))
        << c.response << ": " << client.GetLastError();
    peer.Join();
    EXPECT_EQ(client.GetStatusCode(), c.status) << c.response;
    EXPECT_EQ(client.GetBodyLength(), 0u) << c.response;
  }
  // The same length on a GET answered 200 is a short body.
  HttpClient client(80, kTimeoutMs);
  EXPECT_FALSE(Exchange(client, [](PeerConnection& p) {
    p.Write("HTTP/1.0 200 OK\r\nContent-Length: 1234\r\n\r\n");
  }));
  EXPECT_EQ(client.GetLastError(), uint32_t{WSAEDISCON});
}

TEST(HttpClientTest, ResponsesThatEndWithTheClose) {
  const struct {
    const char* what;
    std::string response;
    bool slowly;
    int status;
    bool head_complete;
    std::string body;
  } cases[] = {
      {"no length, closed right after the data", "HTTP/1.0 200 OK\r\n\r\n<a/>", false, 200, true,
       "<a/>"},
      {"status without reason, all in one segment", "HTTP/1.0 200\r\n\r\n<a/>", false, 200, true,
       "<a/>"},
      {"one byte per segment",
       "HTTP/1.0 302 Found\r\nLocation: /x\r\n co\r\nContent-Length: 3\r\n\r\nabc", true, 302,
       true, "abc"},
      {"more than the announced length", "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nab", false,
       200, true, "ab"},
      {"a head that never ends", "HTTP/1.0 500 Bad\r\nX: y", false, 500, false,
       "HTTP/1.0 500 Bad\r\nX: y"},
      {"no status line", "<doc/>\n", false, 0, true, "<doc/>\n"},
  };
  for (const auto& c : cases) {
    HttpClient client(80, kTimeoutMs);
    ASSERT_TRUE(Exchange(client, [&](PeerConnection& p) {
      if (c.slowly) {
        p.WriteSlowly(c.response);
      } else {
        p.Write(c.response);
      }
    })) << c.what << ": " << client.GetLastError();
    EXPECT_EQ(client.GetStatusCode(), c.status) << c.what;
    EXPECT_EQ(client.response().head_complete(), c.head_complete) << c.what;
    EXPECT_EQ(std::string(client.GetBody(), client.GetBodyLength()), c.body) << c.what;
  }
}

TEST(HttpClientTest, HeadSplitAtEveryByteParsesTheSame) {
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nX-A: one\r\n two\r\n"
      "Content-Length: 4\r\n\r\n<a/>";
  std::atomic<size_t> cut{1};
  LoopbackPeer peer;
  const int n = static_cast<int>(response.size()) - 1;
  peer.Serve(
      [&](PeerConnection& c) {
        c.ReadHead();
        const size_t at = cut++;
        c.Write(response.substr(0, at));
        c.Pause(2);
        c.Write(response.substr(at));
      },
      n);
  // One client for every exchange: the host comes from its cache after the first.
  HttpClient client(peer.port(), kTimeoutMs);
  for (int i = 0; i < n; ++i) {
    ASSERT_TRUE(client.SendRequest(0, "GET", "127.0.0.1", "/", "", "", "")) << "cut " << i + 1;
    EXPECT_EQ(client.GetStatusCode(), 200) << "cut " << i + 1;
    EXPECT_EQ(client.GetHeader("x-a"), " one two") << "cut " << i + 1;
    EXPECT_EQ(client.response().content_type(), "text/xml") << "cut " << i + 1;
    EXPECT_EQ(std::string(client.GetBody(), client.GetBodyLength()), "<a/>") << "cut " << i + 1;
  }
  peer.Join();
  EXPECT_EQ(peer.accepted(), n);
}

TEST(HttpClientTest, LargeRequestThatMakesSendBlockArrivesWhole) {
  std::string body(16u << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
  const std::string headers = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  std::string head, got;
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& c) {
    c.Pause(200);  // the client's send blocks meanwhile
    head = c.ReadHead();
    got = c.ReadExactly(body.size());
    c.Write("HTTP/1.0 200 OK\r\n\r\nok");
  });
  HttpClient client(80, kTimeoutMs);
  ASSERT_TRUE(client.SendRequest(peer.port(), "POST", "127.0.0.1", "/up", "", headers, body))
      << client.GetLastError();
  peer.Join();
  EXPECT_EQ(head, "POST /up HTTP/1.0\r\n" + headers + "\r\n");
  EXPECT_TRUE(got == body) << "peer got " << got.size() << " of " << body.size();
  EXPECT_EQ(std::string(client.GetBody(), client.GetBodyLength()), "ok");
}

}  // namespace
}  // namespace httpclient
