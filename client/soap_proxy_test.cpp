#include "client/soap_proxy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/testing/message_testing.h"
#include "dime/message.h"
#include "dime/soap_dime.h"
#include "dime/testing/dime_testing.h"
#include "interfaces/quenlin.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "platform/net/testing/loopback_peer.h"
#include "platform/text/text.h"

namespace client {
namespace {

using net::testing::LoopbackPeer;
using net::testing::PeerConnection;

constexpr uint32_t kTimeoutMs = 5000;
constexpr char kSoap11Env[] = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr char kSoap12Env[] = "http://www.w3.org/2003/05/soap-envelope";
constexpr char kAction[] = "\"urn:a\"";
constexpr char kAgent[] = "qv-test/1.0";
constexpr char16_t kConnectFailed[] = u"Request: Could not connect to server.";

using namespace client::testing;

auto* const kEnvironment =
    static_cast<testing::ComponentEnvironment*>(::testing::AddGlobalTestEnvironment(
        new testing::ComponentEnvironment({QV_SOAPSTRUCT_COMPONENT, QV_QUENLIN_COMPONENT})));

// ---- DIME, decoded here independently of the library ----

struct Record {
  bool mb = false, me = false, cf = false;
  uint8_t tnf = 0;
  std::string options, id, type, data;
  size_t wire_size = 0;
};

uint32_t BigEndian(std::string_view s, size_t at, size_t width) {
  uint32_t v = 0;
  for (size_t i = 0; i < width; ++i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

// Every record of `wire`; nothing when the bytes are not whole records.
std::optional<std::vector<Record>> DecodeRecords(std::string_view wire) {
  std::vector<Record> records;
  size_t at = 0;
  while (at < wire.size()) {
    if (wire.size() - at < 12) return std::nullopt;
    Record r;
    const uint32_t first = BigEndian(wire, at, 4);
    if (first >> 27 != 1) return std::nullopt;  // version 1
    r.mb = (first >> 26 & 1) != 0;
    r.me = (first >> 25 & 1) != 0;
    r.cf = (first >> 24 & 1) != 0;
    r.tnf = static_cast<uint8_t>(first >> 20 & 0xF);
    const size_t lengths[] = {first & 0xFFFF, BigEndian(wire, at + 4, 2),
                              BigEndian(wire, at + 6, 2), BigEndian(wire, at + 8, 4)};
    std::string* fields[] = {&r.options, &r.id, &r.type, &r.data};
    const size_t start = at;
    at += 12;
    for (int i = 0; i < 4; ++i) {
      const size_t padded = lengths[i] + (4 - lengths[i] % 4) % 4;
      if (wire.size() - at < padded) return std::nullopt;
      fields[i]->assign(wire.substr(at, lengths[i]));
      at += padded;
    }
    r.wire_size = at - start;
    records.push_back(std::move(r));
  }
  return records;
}

// Chunked records joined into their payloads.
std::vector<Record> Payloads(const std::vector<Record>& records) {
  std::vector<Record> out;
  bool continuing = false;
  for (const Record& r : records) {
    if (continuing) {
      out.back().data += r.data;
    } else {
      out.push_back(r);
    }
    continuing = r.cf;
  }
  return out;
}

// A whole DIME answer body, one unchunked record per payload.
std::string DimeBody(const std::string& envelope, const std::vector<Attachment>& attachments,
                     const char* envelope_type = kSoap11Env) {
  std::string body =
      dime::testing::Record(true, attachments.empty(), false, 2, "", envelope_type, envelope);
  for (size_t i = 0; i < attachments.size(); ++i) {
    const Attachment& a = attachments[i];
    body += dime::testing::Record(false, i + 1 == attachments.size(), false,
                                  static_cast<uint8_t>(a.tnf), text::Narrow(a.id),
                                  text::Narrow(a.type), a.data, a.options);
  }
  return body;
}

// ---- the peer ----

std::string Answer(std::string_view status, std::string_view type, std::string_view body) {
  std::string out = "HTTP/1.0 " + std::string(status) + "\r\n";
  if (!type.empty()) out += "Content-Type: " + std::string(type) + "\r\n";
  return out + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

size_t ContentLength(const std::string& head) {
  const size_t at = head.find("Content-Length: ");
  return at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
}

// The request as sent: head, then the body its Content-Length announces.
std::string ReadRequest(PeerConnection& c) {
  std::string request = c.ReadHead();
  return request + c.ReadExactly(ContentLength(request));
}

std::string Head(const std::string& request) {
  return request.substr(0, request.find("\r\n\r\n") + 4);
}
std::string Body(const std::string& request) {
  const size_t at = request.find("\r\n\r\n");
  return at == std::string::npos ? "" : request.substr(at + 4);
}

struct Outcome {
  bool result = false;
  std::u16string where, text;  // empty when Post returned
};

Outcome PostCatching(SoapProxy& proxy, Iquenlin2* message, int version, bool force_dime = false,
                     std::string_view method = "POST", std::string_view host = "127.0.0.1",
                     int port = 0, std::string_view path = "/svc", std::string_view query = "",
                     bool action_required = true) {
  Outcome out;
  try {
    out.result = proxy.Post(kAction, action_required, host, port, method, path, query, kAgent,
                            message, version, force_dime);
  } catch (QVSOAPDIMEProxyFault* fault) {
    const std::unique_ptr<QVSOAPDIMEProxyFault> owned(fault);
    out.where = owned->Where();
    out.text = owned->Text();
  }
  return out;
}

std::string Envelope(const char* ns, const std::string& text) {
  return std::string("<E:Envelope xmlns:E=\"") + ns + "\"><E:Body><q>" + text +
         "</q></E:Body></E:Envelope>";
}

TEST(SoapProxyTest, TextRequestsAreWrittenExactly) {
  const std::string env11 = Envelope(kSoap11Env, "a");
  const std::string env12 = Envelope(kSoap12Env, "b");
  const std::string len11 = std::to_string(env11.size());
  const std::string len12 = std::to_string(env12.size());
  const struct Case {
    const char* name;
    int version;
    std::string_view method, path, query;
    bool action_required, force_dime, via_proxy;
    std::string expected;  // "<port>" stands for the peer's port
  } cases[] = {
      {"soap11", 11, "POST", "/svc", "", true, false, false,
       "POST /svc HTTP/1.0\r\nHost: 127.0.0.1:<port>\r\nUser-Agent: qv-test/1.0\r\n"
       "Content-Type: text/xml; charset=\"utf-8\"\r\nContent-Length: " +
           len11 + "\r\nSOAPAction: \"urn:a\"\r\n\r\n" + env11},
      {"soap11 action not required", 11, "POST", "/svc", "", false, false, false,
       "POST /svc HTTP/1.0\r\nHost: 127.0.0.1:<port>\r\nUser-Agent: qv-test/1.0\r\n"
       "Content-Type: text/xml; charset=\"utf-8\"\r\nContent-Length: " +
           len11 + "\r\n\r\n" + env11},
      {"soap12 with action", 12, "POST", "/svc", "", true, false, false,
       "POST /svc HTTP/1.0\r\nHost: 127.0.0.1:<port>\r\nUser-Agent: qv-test/1.0\r\n"
       "Content-Type: application/soap+xml; charset=\"utf-8\"; action=\"urn:a\"\r\n"
       "Content-Length: " +
           len12 + "\r\n\r\n" + env12},
      {"soap12 without action", 12, "POST", "/svc", "", false, false, false,
       "POST /svc HTTP/1.0\r\nHost: 127.0.0.1:<port>\r\nUser-Agent: qv-test/1.0\r\n"
       "Content-Type: application/soap+xml; charset=\"utf-8\"\r\nContent-Length: " +
           len12 + "\r\n\r\n" + env12},
      {"escaped path and query", 11, "POST", "/a b/\xC3\xA9", "x=1 2&y=\"", true, false, false,
       "POST /a%20b/%C3%A9?x=1%202&y=%22 HTTP/1.0\r\nHost: 127.0.0.1:<port>\r\n"
       "User-Agent: qv-test/1.0\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n"
       "Content-Length: " +
           len11 + "\r\nSOAPAction: \"urn:a\"\r\n\r\n" + env11},
      // Neither a body nor DIME for another method, whatever force DIME says.
      {"get", 12, "GET", "/svc", "q=1", true, true, false,
       "GET /svc?q=1 HTTP/1.0\r\nHost: 127.0.0.1:<port>\r\nUser-Agent: qv-test/1.0\r\n\r\n"},
      // Through a proxy: the absolute URI of the real host, port 80 written.
      {"via proxy", 11, "POST", "/svc", "", true, false, true,
       "POST http://127.0.0.1:<port>/svc HTTP/1.0\r\nHost: 127.0.0.1:80\r\n"
       "User-Agent: qv-test/1.0\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n"
       "Content-Length: " +
           len11 + "\r\nSOAPAction: \"urn:a\"\r\n\r\n" + env11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string& envelope = c.version == 11 ? env11 : env12;
    ComPtr<Iquenlin2> message = MessageWith(envelope);
    // An attachment would make a POST DIME; a GET ignores it.
    if (c.method != "POST") AddRequestAttachment(message.Get(), {u"x", u"t", 1, "data", ""});
    LoopbackPeer peer;
    std::string seen;
    peer.Serve([&](PeerConnection& conn) {
      seen = ReadRequest(conn);
      conn.Write(
          Answer("200 OK", c.version == 11 ? "text/xml" : "application/soap+xml", "<answer/>"));
    });
    SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
    int port = peer.port();
    if (c.via_proxy) {
      proxy.SetProxy("127.0.0.1", peer.port());
      port = 80;
    }
    const Outcome out = PostCatching(proxy, message.Get(), c.version, c.force_dime, c.method,
                                     "127.0.0.1", port, c.path, c.query, c.action_required);
    peer.Join();
    EXPECT_TRUE(out.result) << text::Narrow(out.text);
    std::string expected = c.expected;
    expected.replace(expected.find("<port>"), 6, std::to_string(port));
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(proxy.RequestBody(), c.method == "POST" ? envelope : "");
    EXPECT_EQ(Buffer(message.Get()), "<answer/>");
    EXPECT_EQ(proxy.ResponseText(), "<answer/>");
  }
}

TEST(SoapProxyTest, DimeRequestsCarryTheEnvelopeAndAttachmentsInOrder) {
  const std::vector<Attachment> two = {
      // Large enough to be chunked, with a UTF-8 id and two options.
      {u"\u00e9t\u00e9-1", u"application/octet-stream", 1, std::string(70000, 'x'),
       Option(1, "abc") + Option(7, "")},
      {u"second", u"urn:type:\u00fc", 2, "tiny", Option(2, "zz")},
  };
  const struct Case {
    const char* name;
    std::vector<Attachment> attachments;
    bool force_dime;
    int version;
  } cases[] = {
      {"forced without attachments", {}, true, 11},
      {"two attachments with options", two, false, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const char* ns = c.version == 11 ? kSoap11Env : kSoap12Env;
    const std::string envelope = Envelope(ns, "d");
    ComPtr<Iquenlin2> message = MessageWith(envelope);
    for (const Attachment& a : c.attachments) AddRequestAttachment(message.Get(), a);
    LoopbackPeer peer;
    std::string seen;
    peer.Serve([&](PeerConnection& conn) {
      seen = ReadRequest(conn);
      conn.Write(Answer("200 OK", c.version == 11 ? "text/xml" : "application/soap+xml", "<ok/>"));
    });
    SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
    const Outcome out = PostCatching(proxy, message.Get(), c.version, c.force_dime, "POST",
                                     "127.0.0.1", peer.port());
    peer.Join();
    EXPECT_TRUE(out.result) << text::Narrow(out.text);
    const std::string head = Head(seen);
    // SOAP 1.1 keeps its SOAPAction line; the DIME type carries no action.
    EXPECT_EQ(head, "POST /svc HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(peer.port()) +
                        "\r\nUser-Agent: qv-test/1.0\r\nContent-Type: application/dime\r\n"
                        "Content-Length: " +
                        std::to_string(Body(seen).size()) + "\r\n" +
                        (c.version == 11 ? "SOAPAction: \"urn:a\"\r\n" : "") + "\r\n");
    // The announced length is the body as sent, down to its last record.
    EXPECT_EQ(ContentLength(head), Body(seen).size());
    const auto records = DecodeRecords(Body(seen));
    ASSERT_TRUE(records.has_value());
    for (const Record& r : *records) EXPECT_LE(r.wire_size, dime::kPostRecordSize);
    EXPECT_TRUE(records->front().mb);
    EXPECT_TRUE(records->back().me);
    const std::vector<Record> payloads = Payloads(*records);
    ASSERT_EQ(payloads.size(), c.attachments.size() + 1);
    EXPECT_EQ(payloads[0].tnf, 2);
    EXPECT_EQ(payloads[0].type, ns);
    EXPECT_EQ(payloads[0].id, "");
    EXPECT_EQ(payloads[0].options, "");
    EXPECT_EQ(payloads[0].data, envelope);
    for (size_t i = 0; i < c.attachments.size(); ++i) {
      const Attachment& a = c.attachments[i];
      EXPECT_EQ(payloads[i + 1].id, text::Narrow(a.id));
      EXPECT_EQ(payloads[i + 1].type, text::Narrow(a.type));
      EXPECT_EQ(payloads[i + 1].tnf, a.tnf);
      EXPECT_EQ(payloads[i + 1].options, a.options);
      EXPECT_EQ(payloads[i + 1].data, a.data);
    }
  }
}

TEST(SoapProxyTest, AnswersAreAcceptedOrRefusedByStatusAndType) {
  const std::string body = "<answer/>";
  const struct Case {
    const char* status;
    const char* type;
    int version;
    bool result;
    int http_status;
    std::u16string text;  // the fault's, empty when Post returns
  } cases[] = {
      {"200 OK", "text/xml; charset=utf-8", 11, true, 200, u""},
      {"201 Created", "text/xml", 11, true, 200, u""},
      {"202 Accepted", "text/xml", 11, true, 200, u""},
      {"500 Internal Server Error", "text/xml", 11, true, 500, u""},
      {"400 Bad Request", "application/soap+xml", 12, true, 400, u""},
      {"400 Bad Request", "text/xml", 11, false, 400, u"Response: Unexpected HTTP Status Code."},
      {"301 Moved", "text/xml", 11, false, 300, u"Unexpected HTTP Status Code."},
      {"100 Continue", "text/xml", 11, false, 100, u"Unexpected HTTP Status Code."},
      {"200 OK", "text/xml", 12, false, 200, u"Unexpected MIME type in non-DIME Response."},
      {"200 OK", "application/soap+xml", 11, false, 200,
       u"Unexpected MIME type in non-DIME Response."},
      {"200 OK", "", 11, false, 200, u"Unexpected MIME type in non-DIME Response."},
      // The type test is a case-sensitive substring test.
      {"200 OK", "Text/XML", 11, false, 200, u"Unexpected MIME type in non-DIME Response."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.status) + " " + c.type + " " + std::to_string(c.version));
    ComPtr<Iquenlin2> message =
        MessageWith(Envelope(c.version == 11 ? kSoap11Env : kSoap12Env, ""));
    LoopbackPeer peer;
    peer.Serve([&](PeerConnection& conn) {
      ReadRequest(conn);
      conn.Write(Answer(c.status, c.type, body));
    });
    SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
    const Outcome out =
        PostCatching(proxy, message.Get(), c.version, false, "POST", "127.0.0.1", peer.port());
    peer.Join();
    EXPECT_EQ(out.result, c.result);
    EXPECT_EQ(text::Narrow(out.text), text::Narrow(c.text));
    EXPECT_EQ(text::Narrow(out.where), c.text.empty() ? "" : "Response Message");
    EXPECT_EQ(proxy.HttpStatus(), c.http_status);
    if (c.result) {
      EXPECT_EQ(Buffer(message.Get()), body);
    }
  }
}

TEST(SoapProxyTest, NoContentMarksTheMessageAndPostIsFalseButTryPostTrue) {
  for (const bool try_post : {false, true}) {
    SCOPED_TRACE(try_post ? "TryPost" : "Post");
    const std::string envelope = Envelope(kSoap11Env, "n");
    ComPtr<Iquenlin2> message = MessageWith(envelope);
    LoopbackPeer peer;
    peer.Serve([&](PeerConnection& conn) {
      ReadRequest(conn);
      conn.Write("HTTP/1.0 204 No Content\r\n\r\n");
    });
    SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
    const bool result =
        try_post ? proxy.TryPost(kAction, true, "127.0.0.1", peer.port(), "POST", "/svc", "",
                                 kAgent, message.Get(), 11, false)
                 : PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port())
                       .result;
    peer.Join();
    EXPECT_EQ(result, try_post);
    EXPECT_EQ(proxy.HttpStatus(), 204);
    VARIANT_BOOL no_content = VARIANT_FALSE;
    message->IsNoContentResponse(&no_content);
    EXPECT_EQ(no_content, VARIANT_TRUE);
    EXPECT_EQ(Buffer(message.Get()), envelope);  // no buffer set
  }
}

TEST(SoapProxyTest, DimeAnswerSplitAnywhereFillsTheMessage) {
  const std::string envelope = Envelope(kSoap11Env, "back");
  const std::vector<Attachment> attachments = {
      {u"\u00e9-a", u"image/png", 1, "PNG-bytes", Option(3, "opt")},
      {u"b", u"urn:x", 2, "second!", ""},
  };
  const std::string body = DimeBody(envelope, attachments);
  const std::string answer = Answer("200 OK", "application/dime; x=y", body);
  const size_t head = answer.size() - body.size();
  for (size_t split = head; split < answer.size(); ++split) {
    SCOPED_TRACE(split);
    ComPtr<Iquenlin2> message = MessageWith(Envelope(kSoap11Env, "ask"));
    LoopbackPeer peer;
    peer.Serve([&](PeerConnection& conn) {
      ReadRequest(conn);
      conn.Write(answer.substr(0, split));
      conn.Pause(2);
      conn.Write(answer.substr(split));
    });
    SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
    const Outcome out =
        PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port());
    peer.Join();
    ASSERT_TRUE(out.result) << text::Narrow(out.text);
    EXPECT_EQ(Buffer(message.Get()), envelope);
    EXPECT_EQ(proxy.ResponseText(), envelope);
    EXPECT_EQ(ResponseAttachments(message.Get()), attachments);
  }
}

// An answer's record fields that are no UTF-8 leave the message object as the
// same bytes when its attachments are sent on.
TEST(SoapProxyTest, DimeFieldBytesThatAreNoUtf8PassThroughUnchanged) {
  const std::string envelope = Envelope(kSoap11Env, "back");
  const struct {
    std::string id, type;
  } fields[] = {{"id\xFF", "urn:\xAD"}, {"\xC3\xA9\xED\xB2\xAD", "text/\xC3"}, {"plain", "x/y"}};
  std::string body = dime::testing::Record(true, false, false, 2, "", kSoap11Env, envelope);
  for (size_t i = 0; i < std::size(fields); ++i) {
    body += dime::testing::Record(false, i + 1 == std::size(fields), false, 1, fields[i].id,
                                  fields[i].type, "data");
  }
  ComPtr<Iquenlin2> message = MessageWith(Envelope(kSoap11Env, "ask"));
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& conn) {
    ReadRequest(conn);
    conn.Write(Answer("200 OK", "application/dime", body));
  });
  SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
  const Outcome out =
      PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port());
  peer.Join();
  ASSERT_TRUE(out.result) << text::Narrow(out.text);

  dime::DimeMessage on;
  uint64_t length = 0;
  const std::string sent = "<e/>";
  ASSERT_FALSE(dime::BuildDimeBody(message.Get(), dime::AttachmentList::kResponse, kSoap11Env,
                                   reinterpret_cast<const uint8_t*>(sent.data()), sent.size(),
                                   dime::DimeTexts{}, &on, &length));
  ASSERT_EQ(on.PayloadCount(), 1 + std::size(fields));
  for (size_t i = 0; i < std::size(fields); ++i) {
    EXPECT_EQ(on.Payload(i + 1)->Id(), fields[i].id) << i;
    EXPECT_EQ(on.Payload(i + 1)->Type(), fields[i].type) << i;
  }
}

// The response limit is for bodies held in memory: a DIME answer goes to
// its payload storage whatever its length, a text answer past it fails.
TEST(SoapProxyTest, ResponseLimitHoldsForTextAnswersOnly) {
  const std::string envelope = Envelope(kSoap11Env, "back");
  const std::vector<Attachment> attachments = {{u"a", u"t", 1, std::string(100000, 'a'), ""}};
  const struct Case {
    const char* name;
    std::string answer;
    bool ok;
  } cases[] = {
      {"DIME", Answer("200 OK", "application/dime", DimeBody(envelope, attachments)), true},
      {"text", Answer("200 OK", "text/xml", envelope), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<Iquenlin2> message = MessageWith(Envelope(kSoap11Env, "ask"));
    LoopbackPeer peer;
    peer.Serve([&](PeerConnection& conn) {
      ReadRequest(conn);
      conn.Write(c.answer);
    });
    SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
    proxy.SetMaxResponseLength(envelope.size() - 1);
    const Outcome out =
        PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port());
    peer.Join();
    EXPECT_EQ(out.result, c.ok) << text::Narrow(out.text);
    if (c.ok) {
      EXPECT_EQ(ResponseAttachments(message.Get()), attachments);
    } else {
      EXPECT_EQ(out.text, kConnectFailed);
    }
  }
}

TEST(SoapProxyTest, BrokenDimeAnswersFail) {
  const std::string envelope = Envelope(kSoap11Env, "x");
  const std::string whole = DimeBody(envelope, {{u"a", u"t", 1, "0123456789", ""}});
  dime::RecordHeader no_mb;
  no_mb.me = true;
  no_mb.tnf = 2;
  no_mb.data_length = 4;
  const struct Case {
    const char* name;
    std::string body;
    const char* event;  // an event-log line the reader must write, or null
  } cases[] = {
      {"cut inside a record", whole.substr(0, whole.size() - 6), nullptr},
      {"no record at all", "", nullptr},
      {"first record without MB", dime::testing::RawRecord(no_mb, {}, {}, {}, "abcd"),
       "Quorvel DIME Parser: Error: Deserializer.ReadHeader.MsgStartBitNotSet"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<Iquenlin2> message = MessageWith(envelope);
    LoopbackPeer peer;
    peer.Serve([&](PeerConnection& conn) {
      ReadRequest(conn);
      // No Content-Length: only the close ends the body.
      conn.Write("HTTP/1.0 200 OK\r\nContent-Type: application/dime\r\n\r\n" + c.body);
    });
    SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
    const Outcome out =
        PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port());
    peer.Join();
    EXPECT_FALSE(out.result);
    EXPECT_EQ(text::Narrow(out.where), "Request Message");
    EXPECT_EQ(text::Narrow(out.text), text::Narrow(kConnectFailed));
    if (c.event != nullptr) {
      EXPECT_NE(kEnvironment->EventLog().find(c.event), std::string::npos)
          << kEnvironment->EventLog();
    }
  }
}

TEST(SoapProxyTest, LargeDimeRequestWaitsForASlowPeerOneSendAtATime) {
  const std::string envelope = Envelope(kSoap11Env, "big");
  const std::string big(64'000'000, 'b');
  ComPtr<Iquenlin2> message = MessageWith(envelope);
  AddRequestAttachment(message.Get(), {u"big", u"application/octet-stream", 1, big, ""});
  LoopbackPeer peer;
  std::string head;
  std::string body;
  peer.Serve([&](PeerConnection& conn) {
    head = conn.ReadHead();
    conn.Pause(300);  // the socket's buffers fill meanwhile
    body = conn.ReadExactly(ContentLength(head));
    conn.Write(Answer("200 OK", "text/xml", "<ok/>"));
  });
  SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
  const Outcome out =
      PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port());
  peer.Join();
  EXPECT_TRUE(out.result) << text::Narrow(out.text);
  EXPECT_LE(proxy.TransportForTest().PeakQueuedBytesForTest(),
            head.size() + dime::kPostRecordSize);
  ASSERT_EQ(body.size(), ContentLength(head));
  const auto records = DecodeRecords(body);
  ASSERT_TRUE(records.has_value());
  // Large records: each is one read of the attachment and one send.
  EXPECT_LE(records->size(), big.size() / (dime::kPostRecordSize - 64) + 2);
  const std::vector<Record> payloads = Payloads(*records);
  ASSERT_EQ(payloads.size(), 2u);
  EXPECT_TRUE(payloads[1].data == big);
}

// The peer answers after reading only the head: the sending stops, the
// answer replaces the request's payloads while nothing reads them any more.
TEST(SoapProxyTest, AnswerBeforeTheRequestIsReadEndsTheExchange) {
  const std::string envelope = Envelope(kSoap11Env, "early");
  const std::string answer_envelope = Envelope(kSoap11Env, "answer");
  const struct Case {
    const char* name;
    std::string answer;
  } cases[] = {
      {"400 page", Answer("400 Bad Request", "text/html", "<html>too large</html>")},
      {"DIME answer", Answer("200 OK", "application/dime",
                             DimeBody(answer_envelope, {{u"r", u"t", 1, "reply", ""}}))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<Iquenlin2> message = MessageWith(envelope);
    AddRequestAttachment(message.Get(), {u"big", u"t", 1, std::string(8'000'000, 'e'), ""});
    LoopbackPeer peer;
    peer.Serve([&](PeerConnection& conn) {
      conn.ReadHead();
      conn.Write(c.answer);
    });
    SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
    const Outcome out =
        PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port());
    peer.Join();
    if (out.result) {
      EXPECT_EQ(Buffer(message.Get()), answer_envelope);
    } else {
      // Whether the answer arrives before the reset depends on timing.
      EXPECT_TRUE(out.text == u"Response: Unexpected HTTP Status Code." ||
                  out.text == kConnectFailed)
          << text::Narrow(out.text);
    }
  }
}

// A later exchange must not report the status of an earlier answer.
TEST(SoapProxyTest, SecondExchangeToAPeerThatClosesFails) {
  ComPtr<Iquenlin2> message = MessageWith(Envelope(kSoap11Env, "1"));
  LoopbackPeer peer;
  int exchange = 0;
  peer.Serve(
      [&](PeerConnection& conn) {
        ReadRequest(conn);
        if (++exchange == 1) conn.Write(Answer("200 OK", "text/xml", "<ok/>"));
      },
      2);
  SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
  EXPECT_TRUE(
      PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port()).result);
  EXPECT_EQ(proxy.HttpStatus(), 200);
  const Outcome second =
      PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port());
  peer.Join();
  EXPECT_FALSE(second.result);
  EXPECT_EQ(text::Narrow(second.text), "Unexpected HTTP Status Code.");
  EXPECT_EQ(proxy.HttpStatus(), 0);
}

TEST(SoapProxyTest, SilentPeerEndsTheExchangeWithATimeOut) {
  ComPtr<Iquenlin2> message = MessageWith(Envelope(kSoap11Env, "s"));
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& conn) {
    ReadRequest(conn);
    conn.Pause(1500);
  });
  SoapProxy proxy(DimeProxyProfile(), 200);
  const Outcome out =
      PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port());
  peer.Join();
  EXPECT_EQ(text::Narrow(out.text), text::Narrow(kConnectFailed));
  EXPECT_EQ(proxy.TransportForTest().GetLastError(), 258u);
}

// A peer that drips its answer a byte at a time, well inside each wait: the
// profile's time-out ends the whole exchange with the profile's text.
TEST(SoapProxyTest, DrippingPeerIsCutOffAtTheExchangesDeadline) {
  for (const ProxyProfile* profile : {&DimeProxyProfile(), &ControlPanelProxyProfile()}) {
    SCOPED_TRACE(profile->text_only ? "control panel" : "DIME");
    ComPtr<Iquenlin2> message = MessageWith(Envelope(kSoap11Env, "d"));
    LoopbackPeer peer;
    peer.Serve([&](PeerConnection& conn) {
      ReadRequest(conn);
      if (!conn.Write("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<")) return;
      for (int i = 0; i < 100 && conn.Write(" "); ++i) conn.Pause(100);  // 10 s at most
    });
    SoapProxy proxy(*profile, 500);
    const auto start = std::chrono::steady_clock::now();
    const Outcome out =
        PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port());
    const auto took = std::chrono::steady_clock::now() - start;
    peer.Join();
    EXPECT_FALSE(out.result);
    EXPECT_EQ(out.text, profile->connect_failed);
    EXPECT_EQ(proxy.TransportForTest().GetLastError(), 258u);
    EXPECT_LT(took, std::chrono::seconds(3));
  }
}

// An answer without Content-Length that never ends is read only up to the
// profile's limit, not to the HTTP client's far larger default.
TEST(SoapProxyTest, AnswerWithoutALengthStopsAtTheProfilesLimit) {
  ComPtr<Iquenlin2> message = MessageWith(Envelope(kSoap11Env, "l"));
  LoopbackPeer peer;
  size_t written = 0;
  peer.Serve([&](PeerConnection& conn) {
    ReadRequest(conn);
    if (!conn.Write("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n")) return;
    const std::string piece(1 << 20, ' ');
    while (written < (size_t{64} << 20) && conn.Write(piece)) written += piece.size();
  });
  SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
  const Outcome out =
      PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port());
  peer.Join();
  EXPECT_EQ(out.text, kConnectFailed);
  EXPECT_EQ(proxy.TransportForTest().GetLastError(), 10055u);
  EXPECT_LE(proxy.TransportForTest().GetBodyLength(), kProxyMaxResponseLength);
  EXPECT_LT(written, size_t{64} << 20);
}

TEST(SoapProxyTest, TextThatWouldBreakTheHeadIsRefusedBeforeConnecting) {
  const struct Case {
    std::string_view host, action, agent;
  } cases[] = {
      {"127.0.0.1\r\nX-Injected: 1", kAction, kAgent},
      {"127.0.0.1 x", kAction, kAgent},
      {"127.0.0.1", "\"urn:a\"\r\nX-Injected: 1", kAgent},
      {"127.0.0.1", kAction, "agent\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + "|" + std::string(c.action) + "|" + std::string(c.agent));
    ComPtr<Iquenlin2> message = MessageWith(Envelope(kSoap11Env, "i"));
    LoopbackPeer peer;
    SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
    proxy.SetProxy("127.0.0.1", peer.port());  // a host is not resolved then
    EXPECT_FALSE(proxy.TryPost(c.action, true, c.host, 80, "POST", "/svc", "", c.agent,
                               message.Get(), 11, false));
    EXPECT_EQ(peer.accepted(), 0);
  }
}

// Every method fails until a test overrides it: for the states the real
// message object cannot take.
#define QV_FAKE_PARAM(dir, t, name) [[maybe_unused]] QV_PTYPE_##dir(t) name
#define QV_FAKE_STUB(name, dispid, ...) \
  HRESULT name(QV_FOR_EACH(QV_FAKE_PARAM, __VA_ARGS__)) override { return E_NOTIMPL; }

class FakeMessage : public com::Dispatch<Iquenlin2> {
 public:
  QV_IQUENLIN2_METHODS(QV_FAKE_STUB)
};

// A request with one attachment whose options are `options` as given; the
// public switches make single calls fail.
class FakeRequest final : public com::ComObject<FakeRequest, FakeMessage> {
 public:
  FakeRequest(std::string envelope, VARIANT options)
      : envelope_(std::move(envelope)), options_(Variant::Adopt(&options)) {
    ComPtr<IStorage> storage = StorageWith("odd");
    attachment = ComPtr<IUnknown>(static_cast<IUnknown*>(storage.Get()));
  }

  bool buffer_ok = true;
  bool set_buffer_ok = true;
  bool add_response_ok = true;
  ComPtr<IUnknown> attachment;

  HRESULT GetBuffer(VARIANT* buffer, VARIANT_BOOL* result) override {
    VariantInit(buffer);
    if (!buffer_ok) {
      *result = VARIANT_FALSE;
      return S_OK;
    }
    Variant bytes = Bytes(envelope_);
    *buffer = bytes;
    VariantInit(&bytes);
    *result = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT GetNumReqAttachments(LONG* count) override {
    *count = 1;
    return S_OK;
  }
  HRESULT GetFirstDIMEAttachmentReq(BSTR* id, BSTR* type, LONG* tnf, IUnknown** storage,
                                    VARIANT* options, LONG* position,
                                    VARIANT_BOOL* result) override {
    *id = SysAllocString(u"odd");
    *type = SysAllocString(u"t");
    *tnf = 1;
    *storage = attachment.Get();
    (*storage)->AddRef();
    VariantInit(options);
    VariantCopy(options, &options_);
    *position = 1;
    *result = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT GetNextDIMEAttachmentReq(BSTR*, BSTR*, LONG*, IUnknown**, VARIANT*, LONG*,
                                   VARIANT_BOOL* result) override {
    *result = VARIANT_FALSE;
    return S_OK;
  }
  HRESULT SetBuffer(VARIANT, VARIANT_BOOL* result) override {
    *result = set_buffer_ok ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT AddDIMEAttachmentResp(BSTR, BSTR, LONG, IUnknown*, VARIANT,
                                VARIANT_BOOL* result) override {
    *result = add_response_ok ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }

 private:
  std::string envelope_;
  Variant options_;
};

// Only a one-dimensional byte array carries options; any other variant is
// none, and never read as an array.
TEST(SoapProxyTest, AttachmentOptionsComeOnlyFromAByteVector) {
  const std::string option = Option(5, "opt");
  Variant vector = Bytes(option);
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  ComPtr<IStorage> unknown_storage = StorageWith("u");
  const auto by_value = [](VARTYPE vt, auto set) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    set(v);
    return v;
  };
  const struct Case {
    const char* name;
    VARIANT options;
    std::string expected;
  } cases[] = {
      {"VT_I4", by_value(VT_I4, [](VARIANT& v) { v.lVal = 0x7FFF; }), ""},
      {"VT_BSTR", by_value(VT_BSTR, [](VARIANT& v) { v.bstrVal = SysAllocString(u"0123"); }), ""},
      {"VT_UNKNOWN",
       by_value(VT_UNKNOWN,
                [&](VARIANT& v) {
                  v.punkVal = unknown_storage.Get();
                  v.punkVal->AddRef();
                }),
       ""},
      {"two-dimensional bytes",
       by_value(VT_ARRAY | VT_UI1,
                [&](VARIANT& v) { v.parray = SafeArrayCreate(VT_UI1, 2, bounds); }),
       ""},
      {"bytes by reference",
       by_value(VT_BYREF | VT_ARRAY | VT_UI1, [&](VARIANT& v) { v.pparray = &vector.parray; }),
       option},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string envelope = Envelope(kSoap11Env, "o");
    ComPtr<FakeRequest> message = com::MakeComObject<FakeRequest>(envelope, c.options);
    LoopbackPeer peer;
    std::string seen;
    peer.Serve([&](PeerConnection& conn) {
      seen = ReadRequest(conn);
      conn.Write(Answer("200 OK", "text/xml", "<ok/>"));
    });
    SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
    const Outcome out =
        PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port());
    peer.Join();
    EXPECT_TRUE(out.result) << text::Narrow(out.text);
    const auto records = DecodeRecords(Body(seen));
    ASSERT_TRUE(records.has_value());
    const std::vector<Record> payloads = Payloads(*records);
    ASSERT_EQ(payloads.size(), 2u);
    EXPECT_EQ(payloads[1].options, c.expected);
    EXPECT_EQ(payloads[1].data, "odd");
  }
}

TEST(SoapProxyTest, MessageObjectFailuresBecomeFaults) {
  const std::string envelope = Envelope(kSoap11Env, "f");
  const std::string text_answer = Answer("200 OK", "text/xml", "<ok/>");
  const std::string dime_answer =
      Answer("200 OK", "application/dime", DimeBody("<ok/>", {{u"r", u"t", 1, "reply", ""}}));
  ComPtr<FakeRequest> not_storage = com::MakeComObject<FakeRequest>("", Variant());
  const struct Case {
    const char* name;
    void (*setup)(FakeRequest&, IUnknown* not_storage);
    const std::string& answer;
    const char* where;
    const char* text;
  } cases[] = {
      {"no request buffer", [](FakeRequest& m, IUnknown*) { m.buffer_ok = false; }, text_answer,
       "Request Message", "Failed to obtain request message."},
      {"attachment without storage",
       [](FakeRequest& m, IUnknown* other) { m.attachment = ComPtr<IUnknown>(other); }, text_answer,
       "Request Message", "Failed to obtain IStorage interface pointer."},
      {"text answer refused", [](FakeRequest& m, IUnknown*) { m.set_buffer_ok = false; },
       text_answer, "Response Message", "Message buffer initialization error."},
      {"DIME envelope refused", [](FakeRequest& m, IUnknown*) { m.set_buffer_ok = false; },
       dime_answer, "Response Message", "Failed to set message primary payload buffer."},
      {"DIME attachment refused", [](FakeRequest& m, IUnknown*) { m.add_response_ok = false; },
       dime_answer, "Response Message", "Failed to append secondary DIME payload to message."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<FakeRequest> message = com::MakeComObject<FakeRequest>(envelope, Variant());
    c.setup(*message.Get(), static_cast<IUnknown*>(static_cast<Iquenlin2*>(not_storage.Get())));
    LoopbackPeer peer;
    peer.Serve([&](PeerConnection& conn) {
      ReadRequest(conn);
      conn.Write(c.answer);
    });
    SoapProxy proxy(DimeProxyProfile(), kTimeoutMs);
    const Outcome out =
        PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port());
    peer.Stop();
    EXPECT_FALSE(out.result);
    EXPECT_EQ(text::Narrow(out.where), c.where);
    EXPECT_EQ(text::Narrow(out.text), c.text);
  }
}

}  // namespace
}  // namespace client

namespace client {
namespace {

constexpr char kPanelAgent[] = "Brevla Control Panel/3.2 (C++ SOAP client library)";

// A port that was just bound and closed: nothing listens there.
int ClosedPort() {
  LoopbackPeer peer;
  return peer.port();
}

TEST(ControlPanelProfileTest, RequestIsTextWithTheActionBeforeTheLength) {
  const std::string env11 = Envelope(kSoap11Env, "a");
  const std::string env12 = Envelope(kSoap12Env, "b");
  const struct Case {
    const char* name;
    int version;
    bool action_required, via_proxy;
    std::string expected;  // "<port>" stands for the server's port
  } cases[] = {
      {"soap11", 11, true, false,
       "POST /QVSOAPSvrCP HTTP/1.0\r\nHost: 127.0.0.1:<port>\r\nUser-Agent: " +
           std::string(kPanelAgent) +
           "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"urn:a\"\r\n"
           "Content-Length: " +
           std::to_string(env11.size()) + "\r\n\r\n" + env11},
      {"soap12 without a required action", 12, false, false,
       "POST /QVSOAPSvrCP HTTP/1.0\r\nHost: 127.0.0.1:<port>\r\nUser-Agent: " +
           std::string(kPanelAgent) +
           "\r\nContent-Type: application/soap+xml; charset=\"utf-8\"\r\nContent-Length: " +
           std::to_string(env12.size()) + "\r\n\r\n" + env12},
      {"via proxy", 11, true, true,
       "POST http://127.0.0.1:<port>/QVSOAPSvrCP HTTP/1.0\r\nHost: 127.0.0.1:<port>\r\n"
       "User-Agent: " +
           std::string(kPanelAgent) +
           "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"urn:a\"\r\n"
           "Content-Length: " +
           std::to_string(env11.size()) + "\r\n\r\n" + env11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string& envelope = c.version == 11 ? env11 : env12;
    ComPtr<Iquenlin2> message = MessageWith(envelope);
    // Neither an attachment nor force-DIME makes this profile send DIME.
    AddRequestAttachment(message.Get(), {u"x", u"t", 1, "data", ""});
    LoopbackPeer peer;
    std::string seen;
    peer.Serve([&](PeerConnection& conn) {
      seen = ReadRequest(conn);
      conn.Write(
          Answer("200 OK", c.version == 11 ? "text/xml" : "application/soap+xml", "<answer/>"));
    });
    SoapProxy proxy(ControlPanelProxyProfile(), kTimeoutMs);
    const int server_port = c.via_proxy ? 8123 : peer.port();
    if (c.via_proxy) proxy.SetProxy("127.0.0.1", peer.port());
    EXPECT_TRUE(proxy.TryPost("\"urn:a\"", c.action_required, "127.0.0.1", server_port, "POST",
                              "/QVSOAPSvrCP", "", kPanelAgent, message.Get(), c.version, true));
    peer.Join();
    std::string expected = c.expected;
    for (size_t at; (at = expected.find("<port>")) != std::string::npos;) {
      expected.replace(at, 6, std::to_string(server_port));
    }
    EXPECT_EQ(seen, expected);
  }
}

TEST(ControlPanelProfileTest, EveryFailureReachesTheEventLogWithItsText) {
  const struct Case {
    const char* name;
    const char* answer;  // null: nobody answers
    int version;
    bool via_proxy;
    bool post_result;
    std::string text;  // empty when TryPost succeeds
    size_t max_body = 0;  // 0: the default cap
  } cases[] = {
      {"200", "HTTP/1.0 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\n\r\n<a/>", 11, false,
       true, ""},
      {"201", "HTTP/1.0 201 Created\r\nContent-Type: text/xml\r\n\r\n<a/>", 11, false, true, ""},
      {"204 is true here", "HTTP/1.0 204 No Content\r\n\r\n", 11, false, true, ""},
      {"400 under 1.2 reads as an answer",
       "HTTP/1.0 400 Bad Request\r\nContent-Type: application/soap+xml\r\n\r\n<a/>", 12, false,
       true, ""},
      {"500", "HTTP/1.0 500 Oops\r\nContent-Type: text/xml\r\n\r\n<a/>", 11, false, true, ""},
      {"400 under 1.1", "HTTP/1.0 400 Bad Request\r\nContent-Type: text/xml\r\n\r\n<a/>", 11,
       false, false, "HTTP Client Error: Bad Request."},
      {"301", "HTTP/1.0 301 Moved\r\nContent-Type: text/xml\r\n\r\n", 11, false, false,
       "Unexpected HTTP Status Code."},
      {"upper-case type", "HTTP/1.0 200 OK\r\nContent-Type: TEXT/XML\r\n\r\n<a/>", 11, false,
       false, "Unexpected MIME type in Response."},
      {"a DIME answer", "HTTP/1.0 200 OK\r\nContent-Type: application/dime\r\n\r\n", 11, false,
       false, "Unexpected MIME type in Response."},
      {"nothing listening", nullptr, 11, false, false, "Could not connect to server."},
      {"unreachable proxy", nullptr, 11, true, false, "Could not connect to proxy server."},
      {"a body past a lowered cap",
       "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<answer>0123456789</answer>", 11,
       false, false, "Could not connect to server.", 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<Iquenlin2> message = MessageWith(Envelope(c.version == 11 ? kSoap11Env : kSoap12Env, ""));
    LoopbackPeer peer;
    int port = ClosedPort();
    if (c.answer != nullptr) {
      port = peer.port();
      peer.Serve([&](PeerConnection& conn) {
        ReadRequest(conn);
        conn.Write(c.answer);
      });
    }
    SoapProxy proxy(ControlPanelProxyProfile(), kTimeoutMs);
    if (c.via_proxy) proxy.SetProxy("127.0.0.1", ClosedPort());
    if (c.max_body != 0) proxy.SetMaxResponseLength(c.max_body);
    const size_t logged = kEnvironment->EventLog().size();
    const bool tried = proxy.TryPost(kAction, true, "127.0.0.1", port, "POST", "/QVSOAPSvrCP", "",
                                     kPanelAgent, message.Get(), c.version, false);
    peer.Join();
    EXPECT_EQ(tried, c.text.empty());
    const std::string log = kEnvironment->EventLog().substr(logged);
    if (c.text.empty()) {
      EXPECT_EQ(log, "");
    } else {
      EXPECT_NE(log.find(kProxyEventSource), std::string::npos) << log;
      EXPECT_NE(log.find(c.text), std::string::npos) << log;
    }
  }
}

TEST(ControlPanelProfileTest, PostIsTrueOnNoContent) {
  ComPtr<Iquenlin2> message = MessageWith(Envelope(kSoap11Env, "n"));
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& conn) {
    ReadRequest(conn);
    conn.Write("HTTP/1.0 204 No Content\r\n\r\n");
  });
  SoapProxy proxy(ControlPanelProxyProfile(), kTimeoutMs);
  EXPECT_TRUE(PostCatching(proxy, message.Get(), 11, false, "POST", "127.0.0.1", peer.port()).result);
  peer.Join();
  EXPECT_EQ(proxy.HttpStatus(), 204);
}

TEST(ControlPanelProfileTest, EventTextIsCutBeforeASplitCharacter) {
  // 125 ASCII bytes, then a three-byte character over bytes 126..128.
  const std::string text = std::string(125, 'a') + "\xE2\x82\xAC" + std::string(72, 'b');
  ASSERT_EQ(text.size(), 200u);
  const size_t logged = kEnvironment->EventLog().size();
  SoapProxy::ReportEvent(text);
  const std::string log = kEnvironment->EventLog().substr(logged);
  EXPECT_NE(log.find(kProxyEventSource), std::string::npos) << log;
  EXPECT_NE(log.find(std::string(125, 'a')), std::string::npos) << log;
  EXPECT_EQ(log.find("\xE2\x82\xAC"), std::string::npos) << log;
  EXPECT_EQ(log.find('b'), std::string::npos) << log;
}

TEST(ControlPanelProfileTest, ACallThatFailsEarlyShowsNoPreviousExchange) {
  ComPtr<Iquenlin2> message = MessageWith(Envelope(kSoap11Env, "p"));
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& conn) {
    ReadRequest(conn);
    conn.Write(Answer("200 OK", "text/xml", "<answer/>"));
  });
  SoapProxy proxy(ControlPanelProxyProfile(), kTimeoutMs);
  ASSERT_TRUE(proxy.TryPost(kAction, true, "127.0.0.1", peer.port(), "POST", "/QVSOAPSvrCP", "",
                            kPanelAgent, message.Get(), 11, false));
  peer.Join();
  ASSERT_FALSE(proxy.RequestBody().empty());
  ASSERT_FALSE(proxy.ResponseText().empty());

  // A host holding a CR is refused before any connection.
  LoopbackPeer idle;
  EXPECT_FALSE(proxy.TryPost(kAction, true, "127.0.0.1\r", idle.port(), "POST", "/QVSOAPSvrCP",
                             "", kPanelAgent, message.Get(), 11, false));
  EXPECT_EQ(idle.accepted(), 0);
  EXPECT_EQ(proxy.ResponseText(), "");
  EXPECT_EQ(proxy.HttpStatus(), 0);
}

}  // namespace
}  // namespace client
