#include "xmldoc/document_source.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/net/testing/loopback_peer.h"

namespace xmldoc {
namespace {

using net::testing::LoopbackPeer;
using net::testing::PeerConnection;

constexpr uint32_t kTimeoutMs = 5000;

std::string ExpectedRequest(const std::string& target, const std::string& host) {
  return "GET " + target + " HTTP/1.0\r\nHost: " + host +
         "\r\nUser-Agent: Quorvel XMLDocReader/1.0 (C++ Class Library)\r\n\r\n";
}

std::string HostPort(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// Keeps the body a fetch hands over.
struct Loaded {
  int calls = 0;
  std::string body;
  bool answer = true;
  BodyLoader loader() {
    return [this](std::string_view b) {
      ++calls;
      body.assign(b);
      return answer;
    };
  }
};

TEST(ParseHttpUrlTest, SplitsHostPortAndPath) {
  const struct {
    const char* url;
    bool ok;
    const char* host;
    int port;
    const char* path;
  } cases[] = {
      {"http://h/x/y?q=1", true, "h", 80, "/x/y?q=1"},
      {"  http://h:8080/x", true, "h", 8080, "/x"},
      {"http://h:65535", true, "h", 65535, "/"},
      {"http://h:080/", true, "h", 80, "/"},
      {"http://h:99999/x", false, "", 0, ""},
      {"http://h:0/x", false, "", 0, ""},
      {"http://h:x/", false, "", 0, ""},
      {"http://h:/", false, "", 0, ""},
      {"http://h:-1/", false, "", 0, ""},
      {"http:///x", false, "", 0, ""},
      {"http://:80/x", false, "", 0, ""},
      {"http://a b/x", false, "", 0, ""},
      {"http://h\r\nX-Evil: 1/x", false, "", 0, ""},
      {"xhttp://h/", false, "", 0, ""},
      {"/r?u=http://h/", false, "", 0, ""},
      {"file:///tmp/x", false, "", 0, ""},
  };
  for (const auto& c : cases) {
    HttpUrl u;
    ASSERT_EQ(ParseHttpUrl(c.url, &u), c.ok) << c.url;
    if (!c.ok) continue;
    EXPECT_EQ(u.host, c.host) << c.url;
    EXPECT_EQ(u.port, c.port) << c.url;
    EXPECT_EQ(u.path, c.path) << c.url;
  }
}

TEST(ParseHttpUrlTest, HttpOnlyAtTheStart) {
  EXPECT_TRUE(IsHttpUrl("http://h/"));
  EXPECT_TRUE(IsHttpUrl(" \t http://h/"));
  EXPECT_FALSE(IsHttpUrl("xhttp://h/"));
  EXPECT_FALSE(IsHttpUrl("next/http://h/"));
  EXPECT_FALSE(IsHttpUrl("/r?u=http://h/"));
  EXPECT_FALSE(IsHttpUrl("HTTP://h/"));
}

TEST(FetchDocumentTest, SendsTheExactRequestAndHandsOverTheBody) {
  LoopbackPeer peer;
  std::string request;
  peer.Serve([&](PeerConnection& c) {
    request = c.ReadHead();
    c.Write("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<doc/>");
  });
  HttpUrl url;
  ASSERT_TRUE(ParseHttpUrl("http://127.0.0.1:" + std::to_string(peer.port()) + "/d/a b.xml?x=1 y",
                           &url));
  Loaded loaded;
  EXPECT_TRUE(FetchDocumentOverHttp(url.host, url.path, url.port, kTimeoutMs, loaded.loader()));
  peer.Join();
  EXPECT_EQ(request, ExpectedRequest("/d/a%20b.xml?x=1%20y", HostPort(peer.port())));
  EXPECT_EQ(loaded.calls, 1);
  EXPECT_EQ(loaded.body, "<doc/>");
}

TEST(FetchDocumentTest, AbsolutePathNamesItsAuthorityInTheHostLine) {
  LoopbackPeer peer;
  std::string request;
  peer.Serve([&](PeerConnection& c) {
    request = c.ReadHead();
    c.Write("HTTP/1.0 200 OK\r\n\r\n<doc/>");
  });
  Loaded loaded;
  EXPECT_TRUE(FetchDocumentOverHttp("127.0.0.1", "http://proxied:81/doc", peer.port(), kTimeoutMs,
                                    loaded.loader()));
  peer.Join();
  EXPECT_EQ(request, ExpectedRequest("http://proxied:81/doc", "proxied:81"));
}

TEST(FetchDocumentTest, FollowsOneRedirect) {
  LoopbackPeer other;
  std::string second;
  other.Serve([&](PeerConnection& c) {
    second = c.ReadHead();
    c.Write("HTTP/1.0 200 OK\r\n\r\n<moved/>");
  });
  const std::string other_url = "http://127.0.0.1:" + std::to_string(other.port()) + "/x?y=1";
  const struct {
    const char* what;
    std::string location;
    bool to_other;
    std::string target;
  } cases[] = {
      {"absolute, to another port", "  " + other_url, true, "/x?y=1"},
      {"relative to the same host", "/same/place?q=a b", false, "/same/place?q=a%20b"},
  };
  for (const auto& c : cases) {
    LoopbackPeer first;
    std::string again;
    first.Serve(
        [&](PeerConnection& conn) {
          if (first.accepted() == 1) {
            conn.ReadHead();
            conn.Write("HTTP/1.0 302 Found\r\nLocation: " + c.location + "\r\n\r\nmoved");
          } else {
            again = conn.ReadHead();
            conn.Write("HTTP/1.0 200 OK\r\n\r\n<moved/>");
          }
        },
        c.to_other ? 1 : 2);
    Loaded loaded;
    EXPECT_TRUE(FetchDocumentOverHttp("127.0.0.1", "/start", first.port(), kTimeoutMs,
                                      loaded.loader()))
        << c.what;
    first.Join();
    EXPECT_EQ(loaded.body, "<moved/>") << c.what;
    if (c.to_other) {
      other.Join();
      EXPECT_EQ(second, ExpectedRequest(c.target, HostPort(other.port()))) << c.what;
    } else {
      EXPECT_EQ(again, ExpectedRequest(c.target, HostPort(first.port()))) << c.what;
    }
  }
}

TEST(FetchDocumentTest, RefusedAnswers) {
  LoopbackPeer bystander;  // must never be asked
  const std::string bystander_url = "http://127.0.0.1:" + std::to_string(bystander.port()) + "/";
  const struct {
    const char* what;
    std::string first_answer;
    std::string second_answer;  // when the first redirects
  } cases[] = {
      {"a second redirect", "HTTP/1.0 302 Found\r\nLocation: /again\r\n\r\n",
       "HTTP/1.0 301 Moved\r\nLocation: /third\r\n\r\n"},
      {"a relative location without a leading slash",
       "HTTP/1.0 302 Found\r\nLocation: next.xml\r\n\r\n", ""},
      {"a relative location that holds an http URL",
       "HTTP/1.0 302 Found\r\nLocation: go/" + bystander_url + "\r\n\r\n", ""},
      {"a location with a bad port", "HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:99999/\r\n\r\n",
       ""},
      {"no location", "HTTP/1.0 302 Found\r\n\r\n", ""},
      {"not found", "HTTP/1.0 404 Not Found\r\nContent-Length: 6\r\n\r\n<doc/>", ""},
      {"redirect answered with an error", "HTTP/1.0 302 Found\r\nLocation: /e\r\n\r\n",
       "HTTP/1.0 500 Oops\r\n\r\n<doc/>"},
      {"a body above the document limit",
       "HTTP/1.0 200 OK\r\nContent-Length: 300000000\r\n\r\n<doc>", ""},
      {"a body cut short", "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n<doc/>", ""},
      // The status line arrived but the head did not end: the raw head is not the document.
      {"a head cut short", "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n", ""},
      {"a redirect whose head is cut short", "HTTP/1.0 302 Found\r\nLocation: /e\r\n\r\n",
       "HTTP/1.0 200 OK\r\n"},
  };
  for (const auto& c : cases) {
    LoopbackPeer peer;
    peer.Serve(
        [&](PeerConnection& conn) {
          conn.ReadHead();
          conn.Write(peer.accepted() == 1 ? c.first_answer : c.second_answer);
        },
        3);
    Loaded loaded;
    EXPECT_FALSE(FetchDocumentOverHttp("127.0.0.1", "/doc", peer.port(), kTimeoutMs,
                                       loaded.loader()))
        << c.what;
    peer.Stop();
    EXPECT_EQ(peer.accepted(), c.second_answer.empty() ? 1 : 2) << c.what;
    EXPECT_EQ(loaded.calls, 0) << c.what;
  }
  EXPECT_EQ(bystander.accepted(), 0);
}

TEST(FetchDocumentTest, FailedExchangesAndLoaderAnswer) {
  Loaded loaded;
  {
    LoopbackPeer silent;
    silent.Serve([](PeerConnection& c) { c.Pause(500); });
    EXPECT_FALSE(FetchDocumentOverHttp("127.0.0.1", "/", silent.port(), 200, loaded.loader()));
  }
  net::testing::RefusingPort refusing;
  EXPECT_FALSE(FetchDocumentOverHttp("127.0.0.1", "/", refusing.port(), kTimeoutMs, loaded.loader()));
  EXPECT_FALSE(FetchDocumentOverHttp("127.0.0.1", "/", 0, kTimeoutMs, loaded.loader()));
  EXPECT_FALSE(FetchDocumentOverHttp("127.0.0.1", "/", 65536, kTimeoutMs, loaded.loader()));
  EXPECT_FALSE(FetchDocumentOverHttp("", "/", 80, kTimeoutMs, loaded.loader()));
  EXPECT_EQ(loaded.calls, 0);

  LoopbackPeer peer;
  peer.Serve([](PeerConnection& c) {
    c.ReadHead();
    c.Write("HTTP/1.0 200 OK\r\n\r\nnot xml");
  });
  loaded.answer = false;
  EXPECT_FALSE(FetchDocumentOverHttp("127.0.0.1", "/", peer.port(), kTimeoutMs, loaded.loader()));
  EXPECT_EQ(loaded.calls, 1);
}

class ReadDocumentFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (std::filesystem::temp_directory_path() / "qvdocXXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = (dir_ / name).string();
    FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
  }
  std::filesystem::path dir_;
};

TEST_F(ReadDocumentFileTest, ReadsRegularFilesOnly) {
  const std::string doc = std::string("<doc>\0</doc>", 12);
  std::string bytes;
  ASSERT_TRUE(ReadDocumentFile(Write("a.xml", doc), &bytes));
  EXPECT_EQ(bytes, doc);
  ASSERT_TRUE(ReadDocumentFile(Write("empty.xml", ""), &bytes));
  EXPECT_EQ(bytes, "");

  EXPECT_FALSE(ReadDocumentFile(dir_.string(), &bytes)) << "a directory";
  const std::string fifo = (dir_ / "pipe.xml").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(ReadDocumentFile(fifo, &bytes)) << "a named pipe nobody writes (must not hang)";
  EXPECT_FALSE(ReadDocumentFile((dir_ / "missing.xml").string(), &bytes));
  EXPECT_FALSE(ReadDocumentFile("", &bytes));
  EXPECT_FALSE(ReadDocumentFile(Write("b.xml", "<b/>") + std::string("\0x", 2), &bytes));
}

TEST_F(ReadDocumentFileTest, RefusesAFileAboveTheLimitWithoutReadingIt) {
  const std::string path = (dir_ / "big.xml").string();
  ASSERT_EQ(truncate(Write("big.xml", "<a/>").c_str(), kMaxDocumentLength + 1), 0);
  std::string bytes;
  EXPECT_FALSE(ReadDocumentFile(path, &bytes));
  EXPECT_TRUE(bytes.empty());
}

}  // namespace
}  // namespace xmldoc
