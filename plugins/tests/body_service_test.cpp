// The entry points of the three body services: what a bad argument and a
// body that cannot be read give, and the answer body's frame.
#include "plugins/tests/body_service.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "plugins/tests/likkelon/likkelon_obj.h"
#include "plugins/tests/orsquel/orsquel.h"
#include "plugins/tests/pellasco/pellasco2.h"
#include "plugins/tests/testing/service_message.h"
#include "xml/namespaces.h"
#include "xml/xml_parser.h"

namespace testsvc {
namespace {

using testsvc_testing::ServiceMessage;

constexpr std::u16string_view kSoap11 = xml::kSoap11EnvelopeNamespace;
constexpr std::u16string_view kSoap12 = xml::kSoap12EnvelopeNamespace;

// One entry point, called on a fresh instance with `argument`.
struct EntryPoint {
  const char* name;
  std::function<HRESULT(VARIANT, VARIANT_BOOL*)> call;
};

std::vector<EntryPoint> EntryPoints() {
  static Bstr svc(u"/svc"), empty(u""), query(u"");
  return {
      {"likkelon",
       [](VARIANT v, VARIANT_BOOL* r) {
         const ComPtr<LikkelonObj> o = com::MakeComObject<LikkelonObj>();
         return o->OnProcessBody(v, r);
       }},
      {"pellasco",
       [](VARIANT v, VARIANT_BOOL* r) {
         const ComPtr<Pellasco2> o = com::MakeComObject<Pellasco2>();
         return o->OnProcessBody(v, r);
       }},
      {"orsquel POST",
       [](VARIANT v, VARIANT_BOOL* r) {
         const ComPtr<Orsquel> o = com::MakeComObject<Orsquel>();
         return o->OnProcessSoapPost(v, svc.Get(), empty.Get(), r);
       }},
      {"orsquel GET",
       [](VARIANT v, VARIANT_BOOL* r) {
         const ComPtr<Orsquel> o = com::MakeComObject<Orsquel>();
         return o->OnProcessSoapGet(v, svc.Get(), empty.Get(), query.Get(), r);
       }},
  };
}

TEST(EntryPoint, AnArgumentHoldingNoMessageIsRefusedWithATrueResult) {
  Variant text = Variant::FromText(u"not a message");
  Variant nullDispatch;
  nullDispatch.vt = VT_DISPATCH;
  nullDispatch.pdispVal = nullptr;
  Variant nullUnknownRef;
  IUnknown* none = nullptr;
  nullUnknownRef.vt = VT_BYREF | VT_UNKNOWN;
  nullUnknownRef.ppunkVal = &none;
  Variant empty;
  const std::pair<const char*, const VARIANT*> arguments[] = {
      {"empty", &empty},
      {"string", &text},
      {"null", &nullDispatch},
      {"null by reference", &nullUnknownRef}};
  for (const EntryPoint& e : EntryPoints()) {
    for (auto [what, argument] : arguments) {
      SCOPED_TRACE(std::string(e.name) + ", " + what);
      VARIANT_BOOL result = VARIANT_FALSE;
      EXPECT_EQ(e.call(*argument, &result), E_FAIL);
      EXPECT_EQ(result, VARIANT_TRUE);
    }
  }
}

TEST(EntryPoint, TheMessageByReferenceIsServed) {
  const ComPtr<ServiceMessage> message = com::MakeComObject<ServiceMessage>();
  message->version = 12;
  message->body = u"<b/>";
  IDispatch* dispatch = message.Get();
  Variant byRef;
  byRef.vt = VT_BYREF | VT_DISPATCH;
  byRef.ppdispVal = &dispatch;
  VARIANT_BOOL result = VARIANT_FALSE;
  EXPECT_EQ(EntryPoints()[1].call(byRef, &result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  EXPECT_TRUE(message->bodySet);
  EXPECT_TRUE(message->faults.empty());
}

// A body literal that is missing or does not parse: each service's fault,
// S_OK and a true result, and no body.
TEST(EntryPoint, AnUnreadableBodyGivesTheServicesFault) {
  struct Want {
    const char* entry;
    LONG version;
    testsvc_testing::Fault fault;
  } wants[] = {
      {"likkelon",
       11,
       {u"SetSOAPFault", u"Client", std::u16string(kSoap11), u"", u"",
        u"Message processing failed.", u"", true}},
      // A SOAP 1.2 reason only SetSOAP12Fault carries.
      {"likkelon",
       12,
       {u"SetSOAP12Fault", u"Sender", std::u16string(kSoap12), u"", u"",
        u"Message processing failed.", u"en", false}},
      {"pellasco",
       11,
       {u"SetSOAPFault", u"Client", std::u16string(kSoap11), u"", u"",
        u"Message processing failed.", u"", true}},
      {"pellasco",
       12,
       {u"SetSOAP12Fault", u"Sender", std::u16string(kSoap12), u"", u"",
        u"Message processing failed.", u"en", false}},
      // The SOAP 1.2 test service never asks the version.
      {"orsquel POST",
       11,
       {u"SetSOAP12Fault", u"Receiver", std::u16string(kSoap12), u"", u"",
        u"Failed to process SOAP request message (HTTP Method: POST).", u"en", false}},
  };
  struct Body {
    const char* what;
    bool ok;
    std::u16string text;
  } bodies[] = {{"missing", false, u""}, {"not XML", true, u"<a><b></a>"}, {"empty", true, u""}};
  for (const Want& w : wants) {
    for (const Body& b : bodies) {
      SCOPED_TRACE(std::string(w.entry) + " " + std::to_string(w.version) + ", " + b.what);
      const ComPtr<ServiceMessage> message = com::MakeComObject<ServiceMessage>();
      message->version = w.version;
      message->bodyOk = b.ok;
      message->body = b.text;
      VARIANT_BOOL result = VARIANT_FALSE;
      const EntryPoint* e = nullptr;
      static const std::vector<EntryPoint> all = EntryPoints();
      for (const EntryPoint& candidate : all) {
        if (std::string_view(candidate.name) == w.entry) e = &candidate;
      }
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(e->call(message->AsArgument(), &result), S_OK);
      EXPECT_EQ(result, VARIANT_TRUE);
      EXPECT_FALSE(message->bodySet);
      ASSERT_EQ(message->faults.size(), 1u);
      const testsvc_testing::Fault& f = message->faults[0];
      EXPECT_EQ(f.method, w.fault.method);
      EXPECT_EQ(f.code, w.fault.code);
      EXPECT_EQ(f.codeNs, w.fault.codeNs);
      EXPECT_EQ(f.subcode, u"");
      EXPECT_EQ(f.subcodeNs, u"");
      EXPECT_EQ(f.text, w.fault.text);
      EXPECT_EQ(f.lang, w.fault.lang);
      EXPECT_EQ(f.needDetail, w.fault.needDetail);
    }
  }
}

TEST(ReplaceNonXmlCharacters, ReplacesWhatXmlCannotCarry) {
  struct Case {
    std::u16string in, want;
    size_t replaced;
  } cases[] = {
      {u"a\tb\nc\rd \uFFFD", u"a\tb\nc\rd \uFFFD", 0},
      {std::u16string(u"a\0b", 3) + u"\x01\x0B\x0C\x1F", u"a\uFFFDb\uFFFD\uFFFD\uFFFD\uFFFD", 5},
      {u"\uFFFE\uFFFF", u"\uFFFD\uFFFD", 2},
      {u"\U0001F600", u"\U0001F600", 0},
      {u"x\xD83Dy\xDE00", u"x\uFFFDy\uFFFD", 2},  // unpaired halves
      {u"\xDE00\xD83D", u"\uFFFD\uFFFD", 2},      // the wrong order
  };
  for (Case& c : cases) {
    EXPECT_EQ(ReplaceNonXmlCharacters(c.in), c.replaced);
    EXPECT_EQ(c.in, c.want);
  }
}

}  // namespace
}  // namespace testsvc
