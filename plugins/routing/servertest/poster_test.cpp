// The reverse-path poster against scripted loopback peers, over a scripted
// message object.
#include "plugins/routing/poster.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "dime/message.h"
#include "dime/resources.h"
#include "dime/testing/dime_testing.h"
#include "platform/net/testing/loopback_peer.h"
#include "platform/text/text.h"
#include "server/soap/testing/scripted_message.h"

namespace routing {
namespace {

using net::testing::LoopbackPeer;
using net::testing::PeerConnection;
using server_testing::ScriptedMessage;
using server_testing::SummaryMessage;

constexpr PostLimits kShort{2000, 4000, kMaxPostReplyBytes};

struct Seen {
  std::string head, body;
};

// Reads one request: its head and its announced body.
Seen ReadRequest(PeerConnection& c) {
  Seen seen;
  seen.head = c.ReadHead();
  seen.body = c.ReadAnnouncedBody(seen.head);
  return seen;
}

void Answer(LoopbackPeer& peer, Seen* seen, std::string reply) {
  peer.Serve([seen, reply](PeerConnection& c) {
    *seen = ReadRequest(c);
    if (!reply.empty()) c.Write(reply);
  });
}

std::u16string Url(const LoopbackPeer& peer, std::string_view path) {
  return text::Widen("http://127.0.0.1:" + std::to_string(peer.port()) + std::string(path));
}

std::string BufferOf(ScriptedMessage* m) {
  Variant v;
  VARIANT_BOOL ok = VARIANT_FALSE;
  m->GetBuffer(v.Receive(), &ok);
  void* data = nullptr;
  SafeArrayAccessData(v.parray, &data);
  std::string s(static_cast<const char*>(data), v.parray->rgsabound[0].cElements);
  SafeArrayUnaccessData(v.parray);
  return s;
}

TEST(ForwardToNextHopTest, PlainAnswerGoesOutWithTheExactHeadForBothVersions) {
  for (const LONG version : {11, 12}) {
    LoopbackPeer peer;
    Seen seen;
    Answer(peer, &seen, "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
    auto m = SummaryMessage();
    m->version = version;
    EXPECT_TRUE(ForwardToNextHop(Url(peer, "/a/b"), m.Get(), kShort));
    peer.Join();
    const std::string body = BufferOf(m.Get());
    EXPECT_EQ(seen.head,
              "POST /a/b HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(peer.port()) +
                  "\r\nUser-Agent: Quorvel WS-Routing Agent/1.2\r\nContent-Type: " +
                  (version == 11 ? "text/xml; charset=\"utf-8\""
                                 : "application/soap+xml; charset=\"utf-8\"") +
                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n")
        << version;
    EXPECT_EQ(seen.body, body);
    EXPECT_TRUE(m->noContent);
    EXPECT_EQ(m->phases, std::vector<std::u16string>{u"response"});
  }
}

TEST(ForwardToNextHopTest, UrlsAreSplitAndPathsSentAsWritten) {
  const struct {
    std::string path;
    std::string target;
  } cases[] = {{"", "/"}, {"/", "/"}, {"/a%41", "/a%41"}, {"/p?q=1", "/p?q=1"}};
  for (const auto& c : cases) {
    LoopbackPeer peer;
    Seen seen;
    Answer(peer, &seen, "HTTP/1.0 202 Accepted\r\n\r\n");
    auto m = SummaryMessage();
    EXPECT_TRUE(ForwardToNextHop(Url(peer, c.path), m.Get(), kShort)) << c.path;
    peer.Join();
    EXPECT_EQ(seen.head.substr(0, seen.head.find("\r\n")), "POST " + c.target + " HTTP/1.0")
        << c.path;
  }
}

TEST(ForwardToNextHopTest, OnlyA2xxReplyReadWholeIsSuccess) {
  const struct {
    const char* name;
    std::function<void(PeerConnection&)> reply;
    bool ok;
  } cases[] = {
      {"200", [](PeerConnection& c) { c.Write("HTTP/1.0 200 OK\r\n\r\n<x/>"); }, true},
      {"202", [](PeerConnection& c) { c.Write("HTTP/1.1 202 Accepted\r\n\r\n"); }, true},
      {"204", [](PeerConnection& c) { c.Write("HTTP/1.0 204 No Content\r\n\r\n"); }, true},
      {"100", [](PeerConnection& c) { c.Write("HTTP/1.1 100 Continue\r\n\r\n"); }, false},
      {"300", [](PeerConnection& c) { c.Write("HTTP/1.0 300 Multiple\r\n\r\n"); }, false},
      {"500", [](PeerConnection& c) { c.Write("HTTP/1.0 500 Oops\r\n\r\n<f/>"); }, false},
      {"close before the status line", [](PeerConnection&) {}, false},
      {"reset mid-reply",
       [](PeerConnection& c) {
         c.Write("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nabc");
         c.Pause(50);
         c.Reset();
       },
       false},
      {"reply over the cap",
       [](PeerConnection& c) { c.Write("HTTP/1.0 200 OK\r\n\r\n" + std::string(5000, 'x')); },
       false},
  };
  for (const auto& c : cases) {
    LoopbackPeer peer;
    peer.Serve([&](PeerConnection& conn) {
      ReadRequest(conn);
      c.reply(conn);
    });
    auto m = SummaryMessage();
    PostLimits limits = kShort;
    limits.maxReplyBytes = 1000;
    EXPECT_EQ(ForwardToNextHop(Url(peer, "/r"), m.Get(), limits), c.ok) << c.name;
    EXPECT_EQ(m->noContent, c.ok) << c.name;
    peer.Join();
  }
}

TEST(ForwardToNextHopTest, UnusableUrlsAndUnwritableMessagesNeverConnect) {
  LoopbackPeer never;
  never.Serve([](PeerConnection&) {});
  const std::string port = std::to_string(never.port());
  for (const std::string& url :
       {"https://127.0.0.1:" + port + "/x", "HTTP://127.0.0.1:" + port + "/x",
        "http://127.0.0.1:" + port + "/a b", "http://127.0.0.1\r\nX: 1:" + port + "/x",
        std::string("http://127.0.0.1:0/x"), std::string("http://127.0.0.1:65536/x")}) {
    auto m = SummaryMessage();
    EXPECT_FALSE(ForwardToNextHop(text::Widen(url), m.Get(), kShort)) << url;
  }
  auto unwritable = SummaryMessage();
  unwritable->serializeOk = false;
  EXPECT_FALSE(ForwardToNextHop(text::Widen("http://127.0.0.1:" + port + "/x"), unwritable.Get(),
                                kShort));
  // An attachment whose bytes cannot be read: the body cannot be sized.
  ComPtr<IStorage> empty;
  ASSERT_EQ(dime::DimeResources::Default().CreateStorage(empty.Receive()), S_OK);
  auto unsized = SummaryMessage();
  unsized->responseAttachments.push_back({u"a", u"t", 2, ComPtr<IUnknown>(empty.Get()), {}});
  EXPECT_FALSE(
      ForwardToNextHop(text::Widen("http://127.0.0.1:" + port + "/x"), unsized.Get(), kShort));
  EXPECT_FALSE(unsized->noContent);
  never.Stop();
  EXPECT_EQ(never.accepted(), 0);
}

TEST(ForwardToNextHopTest, AttachmentsMakeADimeBodyOfTheAnnouncedLength) {
  dime::DimeMessage store;  // lends the attachment its storage
  ASSERT_TRUE(store.InitSerializer(dime::kRecordSize));
  const std::string bytes(6000, '\x7f');
  ASSERT_TRUE(store.AddPayloadFromBytes(bytes.data(), bytes.size(), "att1", "image/png", 1));
  LoopbackPeer peer;
  Seen seen;
  Answer(peer, &seen, "HTTP/1.0 204 No Content\r\n\r\n");
  auto m = SummaryMessage();
  m->version = 12;
  m->responseAttachments.push_back(
      {u"att1", u"image/png", 2, ComPtr<IUnknown>(store.Payload(0)->Storage()), {}});
  EXPECT_TRUE(ForwardToNextHop(Url(peer, "/d"), m.Get(), kShort));
  peer.Join();
  EXPECT_NE(seen.head.find("\r\nContent-Type: application/dime\r\nContent-Length: " +
                           std::to_string(seen.body.size()) + "\r\n\r\n"),
            std::string::npos)
      << seen.head;
  dime::DimeMessage got;
  ASSERT_TRUE(got.InitDeserializer(seen.body.size()));
  got.Deserialize(reinterpret_cast<const uint8_t*>(seen.body.data()), seen.body.size());
  ASSERT_TRUE(got.IsComplete());
  ASSERT_EQ(got.PayloadCount(), 2u);
  EXPECT_EQ(got.Payload(0)->Type(), "http://www.w3.org/2003/05/soap-envelope");
  EXPECT_EQ(got.Payload(0)->TypeNameFormat(), 2u);
  EXPECT_EQ(got.Payload(1)->Id(), "att1");
  EXPECT_EQ(dime::testing::ReadAll(*got.Payload(1)), bytes);
}

TEST(ForwardToNextHopTest, SilentAndTricklingPeersEndAtTheirBounds) {
  LoopbackPeer silent;
  silent.Serve([](PeerConnection& c) { c.ReadToEnd(); });
  auto m = SummaryMessage();
  EXPECT_FALSE(ForwardToNextHop(Url(silent, "/s"), m.Get(), PostLimits{300, 60000, 1000}));
  silent.Stop();

  // Each byte within the per-wait bound; only the whole-exchange deadline
  // ends it.
  LoopbackPeer trickle;
  std::atomic<bool> allWritten{true};
  trickle.Serve([&](PeerConnection& c) {
    c.ReadHead();
    for (int i = 0; i < 40; ++i) {
      if (!c.Write("H")) {
        allWritten = false;
        return;
      }
      c.Pause(100);
    }
  });
  auto t = SummaryMessage();
  EXPECT_FALSE(ForwardToNextHop(Url(trickle, "/t"), t.Get(), PostLimits{2000, 500, 1000}));
  trickle.Join();
  EXPECT_FALSE(allWritten.load());
}

}  // namespace
}  // namespace routing
