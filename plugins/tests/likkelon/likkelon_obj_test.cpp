// The DIME echo service over a scripted message: copies that fail part way,
// attachments too large or of untold size to read, and text decoding.
#include "plugins/tests/likkelon/likkelon_obj.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/storage/testing/faulty_storage.h"
#include "platform/text/text.h"
#include "plugins/tests/testing/service_message.h"
#include "xml/namespaces.h"
#include "xml/xml_parser.h"

namespace testsvc {
namespace {

using storage::testing::FaultPlan;
using testsvc_testing::BytesOf;
using testsvc_testing::ContentWith;
using testsvc_testing::ServiceMessage;
using testsvc_testing::StorageWith;

std::u16string Body(std::u16string_view operation) {
  return u"<SOAP-ENV:Body xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         u"xmlns:iop=\"http://soapinterop.org/attachments/xsd\" "
         u"xmlns:ref=\"http://schemas.xmlsoap.org/ws/2002/04/reference/\">" +
         std::u16string(operation) + u"</SOAP-ENV:Body>";
}

std::u16string Referencing(std::u16string_view operation, std::u16string_view id) {
  return Body(u"<iop:" + std::u16string(operation) + u"><iop:In ref:location=\"" +
              std::u16string(id) + u"\"/></iop:" + std::u16string(operation) + u">");
}

ComPtr<ServiceMessage> Message(std::u16string body) {
  const ComPtr<ServiceMessage> m = com::MakeComObject<ServiceMessage>();
  m->body = std::move(body);
  return m;
}

void Serve(ServiceMessage& m) {
  const ComPtr<LikkelonObj> service = com::MakeComObject<LikkelonObj>();
  VARIANT_BOOL result = VARIANT_FALSE;
  ASSERT_EQ(service->OnProcessBody(m.AsArgument(), &result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
}

bool Faulted(const ServiceMessage& m) {
  return m.faults.size() == 1 && m.faults[0].text == u"Message processing failed." && !m.bodySet;
}

// The text of the answer's "Out", or "<none>".
std::u16string OutText(const ServiceMessage& m) {
  xml::XmlParser parser;
  parser.Parse(m.responseBody, nullptr);
  const xml::XmlElement* body = parser.GetRoot();
  if (!body || body->GetChildCount() != 1) return u"<none>";
  const xml::XmlElement* out =
      body->GetChildList()[0]->FindChild(u"Out", xml::kInteropAttachmentsNamespace);
  return out ? out->GetText() : u"<none>";
}

std::shared_ptr<FaultPlan> Plan() { return std::make_shared<FaultPlan>(); }

ComPtr<IUnknown> FaultyWith(const std::string& bytes, std::shared_ptr<FaultPlan> plan) {
  ComPtr<IStorage> real = StorageWith(bytes);
  return ComPtr<IUnknown>::Adopt(new storage::testing::FaultyStorage(real, std::move(plan)));
}

// A read that fails or comes back short part way through the copy, and a
// stream whose size cannot be told: the fault, never a truncated echo.
TEST(LikkelonObj, ACopyFailingPartWayGivesTheFault) {
  const std::string bytes(10000, 'x');
  struct Case {
    const char* what;
    std::u16string operation;
    void (*plan)(FaultPlan&);
  } cases[] = {
      {"read fails", u"EchoAttachment", [](FaultPlan& p) { p.read_budget = 5000; }},
      {"read short", u"EchoAttachment",
       [](FaultPlan& p) {
         p.read_budget = 5000;
         p.short_count = true;
       }},
      {"size untold", u"EchoAttachment", [](FaultPlan& p) { p.stat = E_FAIL; }},
      {"no stream", u"EchoAttachment", [](FaultPlan& p) { p.open_stream = STG_E_FILENOTFOUND; }},
      {"base64 read short", u"EchoAttachmentAsBase64",
       [](FaultPlan& p) {
         p.read_budget = 5000;
         p.short_count = true;
       }},
      {"base64 size untold", u"EchoAttachmentAsBase64", [](FaultPlan& p) { p.stat = E_FAIL; }},
      {"string read fails", u"EchoAttachmentAsString", [](FaultPlan& p) { p.read_budget = 100; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto plan = Plan();
    const ComPtr<ServiceMessage> m = Message(Referencing(c.operation, u"a"));
    m->requestAttachments.push_back({u"a", u"text/plain", 1, nullptr});
    m->requestAttachments[0].content = FaultyWith(bytes, plan);
    c.plan(*plan);
    Serve(*m.Get());
    EXPECT_TRUE(Faulted(*m.Get()));
    EXPECT_TRUE(m->responseAttachments.empty());
  }
}

// The same walk copies whole attachments and stops at the one that fails,
// keeping those before it.
TEST(LikkelonObj, UnreferencedEchoStopsAtTheFailingCopy) {
  auto plan = Plan();
  const ComPtr<ServiceMessage> m = Message(Body(u"<iop:EchoUnrefAttachments/>"));
  m->requestAttachments.push_back({u"one", u"text/plain", 1, ContentWith("first")});
  m->requestAttachments.push_back(
      {u"two", u"image/png", 2, FaultyWith(std::string(9000, 'y'), plan)});
  plan->read_budget = 4096;
  Serve(*m.Get());
  EXPECT_TRUE(Faulted(*m.Get()));
  ASSERT_EQ(m->responseAttachments.size(), 1u);
  EXPECT_EQ(m->responseAttachments[0].id, u"one");
  EXPECT_EQ(BytesOf(m->responseAttachments[0].content.Get()), "first");
}

TEST(LikkelonObj, AnAttachmentAboveTheReadLimitIsRefused) {
  for (const char16_t* operation : {u"EchoAttachmentAsBase64", u"EchoAttachmentAsString"}) {
    SCOPED_TRACE(text::Narrow(operation));
    const ComPtr<ServiceMessage> m = Message(Referencing(operation, u"big"));
    m->requestAttachments.push_back(
        {u"big", u"text/plain", 1, ContentWith(std::string(kMaxAttachmentReadBytes + 1, 'z'))});
    Serve(*m.Get());
    EXPECT_TRUE(Faulted(*m.Get()));
  }
}

TEST(LikkelonObj, AttachmentAsStringDecodesByTypeAndCharset) {
  struct Case {
    std::u16string type;
    std::string bytes;
    std::u16string out;  // "<fault>" for the fault
  } cases[] = {
      {u"text/plain; charset=UTF-16", std::string("\xFF\xFE\x41\x00", 4), u"\uFEFFA"},
      {u"text/plain", "caf\xC3\xA9", u"caf\u00E9"},
      {u"text/plain; charset=ISO-8859-1", "abc", u""},
      {u"Text/Plain; charset=UTF16", "abc", u""},
      {u"image/gif", "GIF89a", u"<fault>"},
      {u"application/octet-stream; charset=utf-8", "abc", u"<fault>"},
      // Characters XML cannot carry would make the answer unreadable.
      {u"text/plain; charset=utf-16", std::string("A\0\0\0", 4), u"<fault>"},
      {u"text/plain", std::string("a\x01", 2), u"<fault>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(text::Narrow(c.type));
    const ComPtr<ServiceMessage> m = Message(Referencing(u"EchoAttachmentAsString", u"t"));
    m->requestAttachments.push_back({u"t", c.type, 1, ContentWith(c.bytes)});
    Serve(*m.Get());
    if (c.out == u"<fault>") {
      EXPECT_TRUE(Faulted(*m.Get()));
    } else {
      EXPECT_TRUE(m->faults.empty());
      EXPECT_EQ(OutText(*m.Get()), c.out);
    }
  }
}

TEST(LikkelonObj, Base64AsAttachmentMakesANewAttachment) {
  struct Case {
    std::u16string in;
    std::string bytes;  // "<fault>" for the fault
  } cases[] = {
      {u"aGVsbG8=", "hello"},
      {u"", ""},
      {u"aGVs\nbG8=", "<fault>"},
      {u"aGVsbG8", "<fault>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(text::Narrow(c.in));
    const ComPtr<ServiceMessage> m = Message(Body(u"<iop:EchoBase64AsAttachment><iop:In>" + c.in +
                                                  u"</iop:In></iop:EchoBase64AsAttachment>"));
    Serve(*m.Get());
    if (c.bytes == "<fault>") {
      EXPECT_TRUE(Faulted(*m.Get()));
      EXPECT_TRUE(m->responseAttachments.empty());
      continue;
    }
    ASSERT_EQ(m->responseAttachments.size(), 1u);
    const testsvc_testing::Attachment& a = m->responseAttachments[0];
    EXPECT_EQ(a.type, u"application/octetstream");
    EXPECT_EQ(a.tnf, 1);
    EXPECT_EQ(a.id.size(), 41u);
    EXPECT_TRUE(a.id.starts_with(u"uuid:"));
    EXPECT_EQ(BytesOf(a.content.Get()), c.bytes);
    EXPECT_NE(m->responseBody.find(u"ref:location=\"" + a.id + u"\""), std::u16string::npos)
        << text::Narrow(m->responseBody);
  }
}

}  // namespace
}  // namespace testsvc
