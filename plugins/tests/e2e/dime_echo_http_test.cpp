// The DIME echo service behind a running braskel: DIME requests written
// and answers read here, byte for byte, under SOAP 1.1 and 1.2.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/text/text.h"
#include "plugins/tests/e2e/service_client.h"
#include "server/http/testing/test_files.h"

namespace testsvc_e2e {
namespace {

using server_testing::MemoryKb;
using server_testing::Pattern;

constexpr char kAtt[] = "http://soapinterop.org/attachments/xsd";
constexpr char kRef[] = "http://schemas.xmlsoap.org/ws/2002/04/reference/";

struct Version {
  int number;
  const char* path;
  const char* envelope;
};
const Version kVersions[] = {{11, "/dimedoc", kSoap11}, {12, "/dimedoc12", kSoap12}};

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 2]);
    out += kDigits[v >> 18 & 63];
    out += kDigits[v >> 12 & 63];
    out += i + 1 < bytes.size() ? kDigits[v >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
  }
  return out;
}

// ^uuid:[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$
bool IsUuidId(const std::string& id) {
  if (id.size() != 41 || id.rfind("uuid:", 0) != 0) return false;
  for (size_t i = 5; i < id.size(); ++i) {
    const size_t at = i - 5;
    const bool dash = at == 8 || at == 13 || at == 18 || at == 23;
    const char c = id[i];
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// An answer: its DIME records (none for an XML answer), its envelope's Body
// as Describe writes it, and its fault as "code|text" ("code|text|lang" for
// SOAP 1.2).
struct Answer {
  std::string status;
  std::vector<DimeRecord> records;
  std::vector<uint8_t> flags;
  std::string envelope;
  std::string body;
  std::string fault;
};

Answer Read(const Reply& reply, const Version& v) {
  Answer a;
  a.status = reply.StatusLine();
  a.envelope = reply.Body();
  if (reply.Header("Content-Type") == "application/dime") {
    auto dime = ReadDime(reply.Body());
    if (!dime || dime->records.empty()) {
      a.body = "<bad DIME>";
      return a;
    }
    a.records = dime->records;
    a.flags = dime->flags;
    a.envelope = a.records[0].data;
  }
  const Parsed parsed(a.envelope);
  const xml::XmlElement* body = parsed.Body();
  if (!body) {
    a.body = "<unparsed> " + reply.raw.substr(0, 2000);
    return a;
  }
  a.body = Describe(*body);
  const std::u16string env = text::Widen(v.envelope);
  if (const xml::XmlElement* fault = body->FindChild(u"Fault", env)) {
    auto textOf = [](const xml::XmlElement* e) {
      return e ? text::Narrow(e->GetText()) : std::string("<none>");
    };
    if (v.number == 11) {
      const std::string code = textOf(fault->FindChild(u"faultcode", u""));
      a.fault =
          code.substr(code.find(':') + 1) + "|" + textOf(fault->FindChild(u"faultstring", u""));
    } else {
      const xml::XmlElement* code = fault->FindChild(u"Code", env);
      const xml::XmlElement* reason = fault->FindChild(u"Reason", env);
      const xml::XmlElement* text = reason ? reason->FindChild(u"Text", env) : nullptr;
      const std::string value = textOf(code ? code->FindChild(u"Value", env) : nullptr);
      std::u16string lang;
      if (text) text->GetAttributeValue(u"http://www.w3.org/XML/1998/namespace", u"lang", &lang);
      a.fault = value.substr(value.find(':') + 1) + "|" + textOf(text) + "|" + text::Narrow(lang);
    }
  }
  return a;
}

std::string ProcessingFault(const Version& v) {
  return v.number == 11 ? "Client|Message processing failed."
                        : "Sender|Message processing failed.|en";
}

std::string FaultStatus(const Version& v) {
  return v.number == 11 ? "HTTP/1.0 500 Internal Server Error" : "HTTP/1.0 400 Bad Request";
}

std::string Operation(const std::string& name, const std::string& content) {
  return "<iop:" + name + " xmlns:iop=\"" + kAtt + "\" xmlns:ref=\"" + kRef + "\">" + content +
         "</iop:" + name + ">";
}

std::string In(const std::string& id) { return "<iop:In ref:location=\"" + id + "\"/>"; }

// The Body of an answer holding `response` (an operation's response
// element with its content as Describe writes it).
std::string BodyWith(const Version& v, const std::string& response) {
  return "{" + std::string(v.envelope) + "}Body{{" + kAtt + "}" + response + "}";
}

std::string Out(const std::string& name, const std::string& id) {
  return "{" + std::string(kAtt) + "}" + name + " {" + kRef + "}location=" + id;
}

class DimeEchoTest : public ServicesTest {
 protected:
  Answer Dime(const Version& v, const std::string& operation,
              const std::vector<DimeRecord>& attachments) const {
    std::vector<DimeRecord> records = {{"", v.envelope, 2, "", Envelope(v.number, operation)}};
    records.insert(records.end(), attachments.begin(), attachments.end());
    return Read(Post(v.path, "application/dime", WriteDime(records)), v);
  }
  Answer Xml(const Version& v, const std::string& operation) const {
    return Read(Soap(v.number, v.path, operation), v);
  }
};

const DimeRecord kFirst{"cid:first", "image/png", 1,
                        std::string("\x00\x07\x00\x03"
                                    "abc",
                                    7),
                        Pattern(5000, 1)};
const DimeRecord kSecond{"urn:second", "http://example.org/type", 2, "", Pattern(3, 2)};
const DimeRecord kThird{"third", "text/plain", 1, "", ""};

TEST_F(DimeEchoTest, EchoAttachmentAndAttachmentsReturnThemByteForByte) {
  StartServer();
  ASSERT_NE(port_, 0);
  for (const Version& v : kVersions) {
    SCOPED_TRACE(v.number);
    Answer a = Dime(v, Operation("EchoAttachment", In(kFirst.id)), {kFirst, kSecond});
    EXPECT_EQ(a.status, "HTTP/1.0 200 OK") << a.envelope;
    EXPECT_EQ(a.body, BodyWith(v, "EchoAttachmentResponse{" + Out("Out", kFirst.id) + "}"));
    ASSERT_EQ(a.records.size(), 2u) << a.envelope;
    EXPECT_EQ(a.flags, (std::vector<uint8_t>{4, 2}));
    EXPECT_EQ(a.records[0].tnf, 2);
    EXPECT_EQ(a.records[0].type, v.envelope);
    EXPECT_EQ(a.records[0].id, "");
    EXPECT_TRUE(a.records[1] == kFirst) << "id " << a.records[1].id << " type " << a.records[1].type
                                        << " size " << a.records[1].data.size();

    // An id the request does not carry.
    a = Dime(v, Operation("EchoAttachment", In("cid:absent")), {kFirst});
    EXPECT_EQ(a.status, FaultStatus(v));
    EXPECT_EQ(a.fault, ProcessingFault(v)) << a.envelope;

    a = Dime(v, Operation("EchoAttachments", ""), {kFirst});
    EXPECT_EQ(a.status, "HTTP/1.0 200 OK") << a.envelope;
    EXPECT_EQ(a.body, BodyWith(v, "EchoAttachmentsResponse"));
    EXPECT_TRUE(a.records.empty());  // nothing to attach: an XML answer

    // Three items in an order of their own, back in that order.
    a = Dime(v,
             Operation("EchoAttachments",
                       "<iop:Item ref:location=\"third\"/><iop:Other/>"
                       "<iop:Item ref:location=\"cid:first\"/><iop:Item/>"
                       "<iop:Item ref:location=\"urn:second\"/>"),
             {kFirst, kSecond, kThird});
    EXPECT_EQ(a.status, "HTTP/1.0 200 OK") << a.envelope;
    EXPECT_EQ(a.body, BodyWith(v, "EchoAttachmentsResponse{" + Out("Item", "third") +
                                      Out("Item", "cid:first") + Out("Item", "urn:second") + "}"));
    // Each item declares the prefix of its own reference.
    size_t declared = 0;
    for (size_t at = 0; (at = a.envelope.find("<iop:Item ", at)) != std::string::npos; ++at) {
      const std::string tag = a.envelope.substr(at, a.envelope.find('>', at) - at);
      declared += tag.find(std::string(" xmlns:ref=\"") + kRef + "\"") != std::string::npos;
    }
    EXPECT_EQ(declared, 3u) << a.envelope;
    ASSERT_EQ(a.records.size(), 4u);
    EXPECT_TRUE(a.records[1] == kThird);
    EXPECT_TRUE(a.records[2] == kFirst);
    EXPECT_TRUE(a.records[3] == kSecond);

    a = Dime(v, Operation("EchoUnrefAttachments", ""), {kSecond, kFirst});
    EXPECT_EQ(a.body, BodyWith(v, "EchoUnrefAttachmentsResponse"));
    ASSERT_EQ(a.records.size(), 3u);
    EXPECT_TRUE(a.records[1] == kSecond);
    EXPECT_TRUE(a.records[2] == kFirst);

    a = Xml(v, Operation("EchoUnrefAttachments", ""));
    EXPECT_EQ(a.status, "HTTP/1.0 200 OK") << a.envelope;
    EXPECT_EQ(a.body, BodyWith(v, "EchoUnrefAttachmentsResponse"));
    EXPECT_TRUE(a.records.empty());
  }
}

TEST_F(DimeEchoTest, Base64BothWays) {
  StartServer();
  ASSERT_NE(port_, 0);
  for (const Version& v : kVersions) {
    SCOPED_TRACE(v.number);
    Answer a = Dime(v, Operation("EchoAttachmentAsBase64", In(kFirst.id)), {kFirst});
    EXPECT_EQ(a.status, "HTTP/1.0 200 OK") << a.envelope;
    EXPECT_EQ(a.body, BodyWith(v, "EchoAttachmentAsBase64Response{{" + std::string(kAtt) + "}Out(" +
                                      Base64(kFirst.data) + ")}"));

    struct Case {
      std::string in;
      std::string bytes;  // "<fault>" for the fault
    } cases[] = {{"aGVsbG8=", "hello"}, {"", ""}, {"aGVs\nbG8=", "<fault>"}};
    for (const Case& c : cases) {
      SCOPED_TRACE(c.in);
      a = Xml(v, Operation("EchoBase64AsAttachment", "<iop:In>" + c.in + "</iop:In>"));
      if (c.bytes == "<fault>") {
        EXPECT_EQ(a.status, FaultStatus(v));
        EXPECT_EQ(a.fault, ProcessingFault(v)) << a.envelope;
        continue;
      }
      EXPECT_EQ(a.status, "HTTP/1.0 200 OK") << a.envelope;
      ASSERT_EQ(a.records.size(), 2u) << a.envelope;
      const DimeRecord& r = a.records[1];
      EXPECT_TRUE(IsUuidId(r.id)) << r.id;
      EXPECT_EQ(r.type, "application/octetstream");
      EXPECT_EQ(r.tnf, 1);
      EXPECT_EQ(r.data, c.bytes);
      EXPECT_EQ(a.body, BodyWith(v, "EchoBase64AsAttachmentResponse{" + Out("Out", r.id) + "}"));
    }
  }
}

TEST_F(DimeEchoTest, AttachmentAsStringDecodesTextTypes) {
  StartServer();
  ASSERT_NE(port_, 0);
  struct Case {
    const char* what;
    std::string type;
    std::string bytes;
    std::string out;  // "<fault>" for the fault
  } cases[] = {
      {"UTF-16 with a BOM", "text/plain; charset=UTF-16", std::string("\xFF\xFE\x41\x00", 4),
       "\xEF\xBB\xBF"
       "A"},
      {"no charset", "text/plain", "caf\xC3\xA9", "caf\xC3\xA9"},
      {"ISO-8859-1", "text/plain; charset=ISO-8859-1", "abc", ""},
      {"UTF16", "Text/Plain; charset=UTF16", "abc", ""},
      {"image", "image/gif", "GIF89a", "<fault>"},
      {"UTF-16 holding NUL", "text/plain; charset=utf-16", std::string("A\0\0\0", 4), "<fault>"},
  };
  for (const Version& v : kVersions) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(v.number) + " " + c.what);
      const Answer a =
          Dime(v, Operation("EchoAttachmentAsString", In("t")), {{"t", c.type, 1, "", c.bytes}});
      if (c.out == "<fault>") {
        EXPECT_EQ(a.status, FaultStatus(v));
        EXPECT_EQ(a.fault, ProcessingFault(v)) << a.envelope;
        continue;
      }
      EXPECT_EQ(a.status, "HTTP/1.0 200 OK") << a.envelope;
      EXPECT_EQ(a.body, BodyWith(v, "EchoAttachmentAsStringResponse{{" + std::string(kAtt) +
                                        "}Out" + (c.out.empty() ? "" : "(" + c.out + ")") + "}"));
    }
  }
}

// A 10 MB attachment comes back byte-identical while the server's peak
// resident memory stays near flat: the copy streams through temporary
// storage. AddressSanitizer's quarantine is kept small so that freed memory
// counts as freed.
TEST_F(DimeEchoTest, LargeAttachmentIsEchoedWithoutBeingHeld) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  StartServer({"ASAN_OPTIONS=" + std::string(asan ? asan : "") +
               ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64"});
  ASSERT_NE(port_, 0);
  const Version& v = kVersions[0];
  // The first exchange makes the one-time allocations of the path.
  Answer a = Dime(v, Operation("EchoAttachment", In("warm")),
                  {{"warm", "application/octet-stream", 1, "", Pattern(300000, 3)}});
  ASSERT_EQ(a.status, "HTTP/1.0 200 OK") << a.envelope;
  const DimeRecord big{"big", "application/octet-stream", 1, "", Pattern(10 << 20, 4)};
  const long before = MemoryKb(pid_, "VmHWM");
  ASSERT_GT(before, 0);
  a = Dime(v, Operation("EchoAttachment", In("big")), {big});
  const long after = MemoryKb(pid_, "VmHWM");
  EXPECT_EQ(a.status, "HTTP/1.0 200 OK") << a.envelope;
  ASSERT_EQ(a.records.size(), 2u);
  // A whole-string comparison: a mismatch would print megabytes.
  EXPECT_TRUE(a.records[1] == big) << "size " << a.records[1].data.size();
  EXPECT_LT(after - before, 3 * 1024) << "kB of peak growth for a 10 MB attachment";
}

}  // namespace
}  // namespace testsvc_e2e
