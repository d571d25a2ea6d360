#include "dime/http_dime_transport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "dime/message.h"
#include "dime/testing/dime_testing.h"
#include "platform/net/socket_errors.h"
#include "platform/net/testing/loopback_peer.h"

namespace dime {
namespace {

using net::testing::LoopbackPeer;
using net::testing::PeerConnection;

constexpr uint32_t kTimeoutMs = 5000;
constexpr char kEnvelopeType[] = "http://schemas.xmlsoap.org/soap/envelope/";

std::string Pattern(size_t n, char first) {
  std::string s(n, first);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(first + i % 23);
  return s;
}

// Envelope first, then each attachment, ready to be written.
void Fill(dime::DimeMessage& m, const std::string& envelope,
          const std::vector<std::string>& attachments) {
  m.InitSerializer(dime::kRecordSize);
  ASSERT_TRUE(m.AddPayloadFromBytes(envelope.data(), envelope.size(), "", kEnvelopeType, 2));
  for (size_t i = 0; i < attachments.size(); ++i) {
    ASSERT_TRUE(m.AddPayloadFromBytes(attachments[i].data(), attachments[i].size(),
                                      "att" + std::to_string(i), "application/octet-stream", 2));
  }
}

// The whole wire form of a message.
std::string Wire(const std::string& envelope, const std::vector<std::string>& attachments) {
  dime::DimeMessage m;
  Fill(m, envelope, attachments);
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

// Every payload's bytes, in order.
std::vector<std::string> Contents(dime::DimeMessage& m) {
  std::vector<std::string> out;
  for (size_t i = 0; i < m.PayloadCount(); ++i)
    out.push_back(dime::testing::ReadAll(*m.Payload(i)));
  return out;
}

std::string DimeHead(size_t length) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/dime\r\nContent-Length: " +
         std::to_string(length) + "\r\n\r\n";
}

TEST(HttpDimeTransportTest, DimeRequestStreamsFromStorageAndDimeReplyFillsTheMessage) {
  const std::string envelope = "<Envelope>request</Envelope>";
  const std::vector<std::string> attachments = {Pattern(10 << 20, 'a'), Pattern(5000, 'A')};
  const std::string reply_envelope = "<Envelope>reply</Envelope>";
  const std::vector<std::string> reply_attachments = {Pattern(9000, '0')};
  const std::string reply = Wire(reply_envelope, reply_attachments);

  std::string head, body;
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& c) {
    head = c.ReadHead();
    c.Pause(300);  // let the client's sends block, so its queue is put to the test
    const size_t at = head.find("Content-Length: ");
    body = c.ReadExactly(std::stoul(head.substr(at + 16)));
    c.Write(DimeHead(reply.size()) + reply);  // head and records in one piece
  });

  dime::DimeMessage message;
  Fill(message, envelope, attachments);
  const uint64_t length = message.ComputeMessageLength();
  HttpDimeTransport transport(80, kTimeoutMs);
  const std::string header_text =
      "Host: h\r\nContent-Type: application/dime\r\nContent-Length: " + std::to_string(length) +
      "\r\n";
  ASSERT_TRUE(transport.SendDime(peer.port(), "POST", "127.0.0.1", "/next%20hop?q=%41", header_text,
                                 &message))
      << transport.GetLastError();
  peer.Join();

  EXPECT_EQ(head, "POST /next%20hop?q=%41 HTTP/1.0\r\n" + header_text + "\r\n");
  ASSERT_EQ(body.size(), length);
  dime::DimeMessage sent;
  sent.InitDeserializer();
  sent.Deserialize(reinterpret_cast<const uint8_t*>(body.data()), body.size());
  ASSERT_TRUE(sent.IsComplete());
  EXPECT_TRUE(Contents(sent) ==
              (std::vector<std::string>{envelope, attachments[0], attachments[1]}));
  // Never more than one send's records waited in memory, though the sends
  // did block.
  EXPECT_GT(transport.PeakQueuedBytesForTest(), 0u);
  EXPECT_LE(transport.PeakQueuedBytesForTest(), dime::kPostRecordSize);

  EXPECT_TRUE(transport.ResponseIsDime());
  EXPECT_EQ(transport.GetStatusCode(), 200);
  EXPECT_EQ(transport.GetBodyLength(), 0u);
  ASSERT_TRUE(message.IsComplete());
  EXPECT_TRUE(Contents(message) ==
              (std::vector<std::string>{reply_envelope, reply_attachments[0]}));
  EXPECT_EQ(message.Payload(1)->Id(), "att0");
}

TEST(HttpDimeTransportTest, TextRequestWithDimeReplyArrivingByteByByte) {
  const std::string reply = Wire("<E/>", {Pattern(300, 'x')});
  std::string request;
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& c) {
    request = c.ReadHead();
    request += c.ReadExactly(4);
    c.WriteSlowly(DimeHead(reply.size()) + reply, 0);
  });
  dime::DimeMessage message;
  HttpDimeTransport transport(80, kTimeoutMs);
  ASSERT_TRUE(transport.Exchange(peer.port(), "POST", "127.0.0.1", "/x", "Content-Length: 4\r\n",
                                 "<a/>", &message))
      << transport.GetLastError();
  peer.Join();
  EXPECT_EQ(request, "POST /x HTTP/1.0\r\nContent-Length: 4\r\n\r\n<a/>");
  EXPECT_TRUE(transport.ResponseIsDime());
  EXPECT_TRUE(Contents(message) == (std::vector<std::string>{"<E/>", Pattern(300, 'x')}));
}

TEST(HttpDimeTransportTest, XmlReplyToADimeRequestStaysText) {
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& c) {
    const std::string head = c.ReadHead();
    c.ReadExactly(std::stoul(head.substr(head.find("Content-Length: ") + 16)));
    c.Write("HTTP/1.0 500 Error\r\nContent-Type: text/xml\r\nContent-Length: 6\r\n\r\n<fail>");
  });
  dime::DimeMessage message;
  Fill(message, "<E/>", {"abc"});
  HttpDimeTransport transport(80, kTimeoutMs);
  const std::string header_text =
      "Content-Length: " + std::to_string(message.ComputeMessageLength()) + "\r\n";
  ASSERT_TRUE(transport.SendDime(peer.port(), "POST", "127.0.0.1", "/", header_text, &message))
      << transport.GetLastError();
  peer.Join();
  EXPECT_FALSE(transport.ResponseIsDime());
  EXPECT_EQ(transport.GetStatusCode(), 500);
  ASSERT_NE(transport.GetBody(), nullptr);
  EXPECT_STREQ(transport.GetBody(), "<fail>");
}

TEST(HttpDimeTransportTest, BadDimeRepliesFailTheExchange) {
  const std::string whole = Wire("<E/>", {Pattern(6000, 'q')});
  std::string bad_version = whole;
  bad_version[0] = static_cast<char>(bad_version[0] ^ 0x40);
  const struct {
    const char* name;
    std::string reply;
    uint32_t error;
  } cases[] = {
      // The peer closes inside the second payload: an incomplete message.
      {"truncated", DimeHead(whole.size()) + whole.substr(0, whole.size() - 100), WSAEDISCON},
      {"truncated without length",
       "HTTP/1.0 200 OK\r\nContent-Type: application/dime\r\n\r\n" + whole.substr(0, 5000),
       WSAEDISCON},
      {"malformed", DimeHead(bad_version.size()) + bad_version, WSAEINVAL},
  };
  for (const auto& c : cases) {
    LoopbackPeer peer;
    peer.Serve([&](PeerConnection& conn) {
      conn.ReadHead();
      conn.Write(c.reply);
    });
    dime::DimeMessage message;
    HttpDimeTransport transport(80, kTimeoutMs);
    EXPECT_FALSE(transport.Exchange(peer.port(), "GET", "127.0.0.1", "/", "", "", &message))
        << c.name;
    peer.Join();
    EXPECT_EQ(transport.GetLastError(), c.error) << c.name;
    EXPECT_TRUE(transport.ResponseIsDime()) << c.name;
    EXPECT_FALSE(message.IsComplete()) << c.name;
  }
}

TEST(HttpDimeTransportTest, ReplyBeforeTheRequestIsWrittenEndsTheSending) {
  const std::string reply = Wire("<early/>", {});
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& c) {
    c.ReadHead();
    c.Write(DimeHead(reply.size()) + reply);
    ::shutdown(c.fd(), SHUT_WR);
    c.ReadToEnd();  // what the client still had on its way
  });
  dime::DimeMessage message;
  Fill(message, "<E/>", {Pattern(8 << 20, 'z')});
  HttpDimeTransport transport(80, kTimeoutMs);
  const std::string header_text =
      "Content-Length: " + std::to_string(message.ComputeMessageLength()) + "\r\n";
  ASSERT_TRUE(transport.SendDime(peer.port(), "POST", "127.0.0.1", "/", header_text, &message))
      << transport.GetLastError();
  peer.Join();
  // The reply replaced the request's payloads, and the writer was not run
  // over the new list.
  EXPECT_TRUE(message.IsComplete());
  EXPECT_TRUE(Contents(message) == std::vector<std::string>{"<early/>"});
}

TEST(HttpDimeTransportTest, UnwritableMessageFailsTheExchange) {
  LoopbackPeer peer;
  std::string got;
  peer.Serve([&](PeerConnection& c) { got = c.ReadToEnd(); });
  dime::DimeMessage empty;  // no payloads: the writer refuses it
  empty.InitSerializer(dime::kRecordSize);
  HttpDimeTransport transport(80, kTimeoutMs);
  EXPECT_FALSE(transport.SendDime(peer.port(), "POST", "127.0.0.1", "/", "", &empty));
  EXPECT_EQ(transport.GetLastError(), static_cast<uint32_t>(WSAEINVAL));
  EXPECT_FALSE(transport.SendDime(peer.port(), "POST", "127.0.0.1", "/", "", nullptr));
  peer.Join();
  EXPECT_EQ(got.find("\r\n\r\n") + 4, got.size()) << "only the head went out: " << got;
}

}  // namespace
}  // namespace dime
