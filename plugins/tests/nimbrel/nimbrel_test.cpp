#include "plugins/tests/nimbrel/nimbrel.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "interfaces/testing/quenlin_stub.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"
#include "plugins/tests/testing/service_message.h"
#include "xml/namespaces.h"
#include "xml/xml_parser.h"

namespace testsvc {
namespace {

struct AddedBlock {
  std::u16string ns, name, literal, actor, style;
  bool mustUnderstand = false;
};

// A message that hands out scripted header blocks of the test namespace and
// records what the processor adds; each call can be made to fail.
class HeaderMessage final : public com::ComObject<HeaderMessage, quenlin_testing::StubMessage> {
 public:
  bool requestPhase = true;
  std::map<std::u16string, std::u16string> blocks;  // local name -> literal
  std::set<std::u16string> failingReads;            // local names whose call fails
  bool addAnswers = true;
  std::u16string body =
      u"<SOAP-ENV:Body xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\"/>";

  std::vector<std::u16string> reads;
  std::vector<AddedBlock> added;
  bool bodySet = false;

  HRESULT IsRequestPhase(VARIANT_BOOL* pResult) override {
    *pResult = requestPhase ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT GetHeaderElemLiteral(BSTR ns, BSTR name, BSTR* literal, VARIANT_BOOL* pResult) override {
    *literal = nullptr;
    *pResult = VARIANT_FALSE;
    if (BstrView(ns) != xml::kSoap12TestNamespace) return S_OK;
    const std::u16string local(BstrView(name));
    reads.push_back(local);
    if (failingReads.count(local)) return E_FAIL;
    const auto it = blocks.find(local);
    if (it == blocks.end()) return S_OK;
    *literal = SysAllocString(it->second);
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT AddHeaderElemLiteral(BSTR ns, BSTR name, BSTR literal, VARIANT_BOOL mustUnderstand,
                               BSTR actor, BSTR style, VARIANT_BOOL* pResult) override {
    added.push_back({std::u16string(BstrView(ns)), std::u16string(BstrView(name)),
                     std::u16string(BstrView(literal)), std::u16string(BstrView(actor)),
                     std::u16string(BstrView(style)), mustUnderstand == VARIANT_TRUE});
    *pResult = addAnswers ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT GetBodyElemLiteral(BSTR* out, VARIANT_BOOL* pResult) override {
    *out = SysAllocString(body);
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT SetBodyElemLiteral(BSTR, BSTR, VARIANT_BOOL* pResult) override {
    bodySet = true;
    *pResult = VARIANT_TRUE;
    return S_OK;
  }

  Variant AsArgument() { return testsvc_testing::DispatchArgument(this); }
};

std::u16string Block(std::u16string_view name, std::u16string_view text,
                     std::u16string_view role = {}) {
  std::u16string out = u"<test:" + std::u16string(name) +
                       u" xmlns:test=\"http://example.org/ts-tests\" "
                       u"xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\"";
  if (!role.empty()) out += u" env:role=\"" + std::u16string(role) + u"\"";
  return out + u">" + std::u16string(text) + u"</test:" + std::u16string(name) + u">";
}

constexpr std::u16string_view kEchoString =
    u"<env:Body xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\">"
    u"<n:echoString xmlns:n=\"http://soapinterop.org/\"><inputString>x</inputString>"
    u"</n:echoString></env:Body>";

// The request phase on scripted blocks: what fails the phase, what only
// stops the forward, and what the body step may still do afterwards.
TEST(Nimbrel, RequestPhaseFailures) {
  const std::u16string none(xml::kSoap12NoneRole);
  struct Case {
    const char* name;
    std::function<void(HeaderMessage&)> script;
    bool result;
    size_t added;
    bool bodyRewritten;
  } cases[] = {
      {"all there", [](HeaderMessage&) {}, true, 1, true},
      {"echoOk call fails", [](HeaderMessage& m) { m.failingReads.insert(u"echoOk"); }, false, 0,
       false},
      {"echoOk does not parse", [](HeaderMessage& m) { m.blocks[u"echoOk"] = u"<test:echoOk>"; },
       false, 0, false},
      {"concat call fails",
       [](HeaderMessage& m) { m.failingReads.insert(u"concatAndForwardEchoOk"); }, false, 0, false},
      {"concat does not parse",
       [](HeaderMessage& m) { m.blocks[u"concatAndForwardEchoOk"] = u"<a><b></a>"; }, false, 0,
       false},
      {"concat for role none",
       [&](HeaderMessage& m) {
         m.blocks[u"concatAndForwardEchoOk"] = Block(u"concatAndForwardEchoOk", u"", none);
       },
       true, 0, true},
      {"arg1 call fails",
       [](HeaderMessage& m) { m.failingReads.insert(u"concatAndForwardEchoOkArg1"); }, true, 0,
       true},
      {"arg2 does not parse",
       [](HeaderMessage& m) { m.blocks[u"concatAndForwardEchoOkArg2"] = u"&"; }, true, 0, true},
      {"arg1 for role none",
       [&](HeaderMessage& m) {
         m.blocks[u"concatAndForwardEchoOkArg1"] =
             Block(u"concatAndForwardEchoOkArg1", u"Hello", none);
       },
       true, 0, true},
      {"arg2 absent", [](HeaderMessage& m) { m.blocks.erase(u"concatAndForwardEchoOkArg2"); }, true,
       0, true},
      {"forward refused", [](HeaderMessage& m) { m.addAnswers = false; }, false, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ComPtr<HeaderMessage> m = com::MakeComObject<HeaderMessage>();
    m->body = kEchoString;
    m->blocks[u"concatAndForwardEchoOk"] = Block(u"concatAndForwardEchoOk", u"");
    m->blocks[u"concatAndForwardEchoOkArg1"] = Block(u"concatAndForwardEchoOkArg1", u"Hello");
    m->blocks[u"concatAndForwardEchoOkArg2"] = Block(u"concatAndForwardEchoOkArg2", u"World");
    c.script(*m.Get());
    const ComPtr<Nimbrel> processor = com::MakeComObject<Nimbrel>();
    VARIANT_BOOL result = VARIANT_FALSE;
    ASSERT_EQ(processor->OnProcessHeader(m->AsArgument(), &result), S_OK);
    EXPECT_EQ(result, c.result ? VARIANT_TRUE : VARIANT_FALSE);
    EXPECT_EQ(m->added.size(), c.added);
    EXPECT_EQ(m->bodySet, c.bodyRewritten);
  }
}

TEST(Nimbrel, AFailingFirstArgumentIsNotFollowedByTheSecond) {
  const ComPtr<HeaderMessage> m = com::MakeComObject<HeaderMessage>();
  m->blocks[u"concatAndForwardEchoOk"] = Block(u"concatAndForwardEchoOk", u"");
  m->blocks[u"concatAndForwardEchoOkArg1"] = u"<unclosed>";
  m->blocks[u"concatAndForwardEchoOkArg2"] = Block(u"concatAndForwardEchoOkArg2", u"World");
  const ComPtr<Nimbrel> processor = com::MakeComObject<Nimbrel>();
  VARIANT_BOOL result = VARIANT_FALSE;
  ASSERT_EQ(processor->OnProcessHeader(m->AsArgument(), &result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  EXPECT_EQ(m->reads, (std::vector<std::u16string>{u"echoOk", u"concatAndForwardEchoOk",
                                                   u"concatAndForwardEchoOkArg1"}));
}

// Only the SOAP 1.2 envelope's role attribute counts, compared exactly.
TEST(Nimbrel, RoleNoneIsTheOnlyRoleRefused) {
  const std::u16string none(xml::kSoap12NoneRole);
  struct Case {
    const char* name;
    std::u16string block;
    bool kept;
  } cases[] = {
      {"no role", Block(u"echoOk", u"t"), true},
      {"role none", Block(u"echoOk", u"t", none), false},
      {"another role", Block(u"echoOk", u"t", xml::kSoap12NextRole), true},
      {"role none in upper case",
       Block(u"echoOk", u"t", text::Widen("HTTP://WWW.W3.ORG/2003/05/SOAP-ENVELOPE/ROLE/NONE")),
       true},
      {"unqualified role",
       u"<test:echoOk xmlns:test=\"http://example.org/ts-tests\" role=\"" + none +
           u"\">t</test:echoOk>",
       true},
      {"SOAP 1.1 namespace role",
       u"<test:echoOk xmlns:test=\"http://example.org/ts-tests\" "
       u"xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\" e:role=\"" +
           none + u"\">t</test:echoOk>",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ComPtr<HeaderMessage> m = com::MakeComObject<HeaderMessage>();
    m->blocks[u"echoOk"] = c.block;
    const ComPtr<Nimbrel> processor = com::MakeComObject<Nimbrel>();
    VARIANT_BOOL result = VARIANT_FALSE;
    ASSERT_EQ(processor->OnProcessHeader(m->AsArgument(), &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    m->requestPhase = false;
    ASSERT_EQ(processor->OnProcessHeader(m->AsArgument(), &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    ASSERT_EQ(m->added.size(), c.kept ? 1u : 0u);
    if (c.kept) {
      EXPECT_EQ(m->added[0].name, u"responseOk");
    }
  }
}

// A second message's request phase forgets the first one's echo even though
// the text stays behind.
TEST(Nimbrel, ResponsePhaseAnswersOnlyWhatThisRequestKept) {
  const ComPtr<Nimbrel> processor = com::MakeComObject<Nimbrel>();
  const ComPtr<HeaderMessage> m = com::MakeComObject<HeaderMessage>();
  m->blocks[u"echoOk"] = Block(u"echoOk", u"a&amp;b");
  VARIANT_BOOL result = VARIANT_FALSE;
  ASSERT_EQ(processor->OnProcessHeader(m->AsArgument(), &result), S_OK);
  m->requestPhase = false;
  m->addAnswers = false;
  ASSERT_EQ(processor->OnProcessHeader(m->AsArgument(), &result), S_OK);
  EXPECT_EQ(result, VARIANT_FALSE) << "a refused responseOk fails the phase";
  ASSERT_EQ(m->added.size(), 1u);
  EXPECT_EQ(m->added[0].literal,
            u"<test:responseOk xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
            u"xmlns:test=\"http://example.org/ts-tests\">a&amp;b</test:responseOk>");

  m->blocks.clear();
  m->requestPhase = true;
  m->addAnswers = true;
  ASSERT_EQ(processor->OnProcessHeader(m->AsArgument(), &result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  m->requestPhase = false;
  ASSERT_EQ(processor->OnProcessHeader(m->AsArgument(), &result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  EXPECT_EQ(m->added.size(), 1u) << "nothing more is added";
}

TEST(Nimbrel, MessageArgumentMustHoldAnInterface) {
  const ComPtr<HeaderMessage> m = com::MakeComObject<HeaderMessage>();
  Variant empty;
  Variant text = Variant::FromText(u"message");
  Variant nullDispatch;
  nullDispatch.vt = VT_DISPATCH;
  nullDispatch.pdispVal = nullptr;
  Variant nullUnknown;
  nullUnknown.vt = VT_UNKNOWN;
  nullUnknown.punkVal = nullptr;
  IDispatch* held = m.Get();
  Variant byReference;
  byReference.vt = VT_BYREF | VT_DISPATCH;
  byReference.ppdispVal = &held;
  struct Case {
    const char* name;
    const VARIANT* argument;
    HRESULT hr;
  } cases[] = {
      {"empty", &empty, E_FAIL},
      {"string", &text, E_FAIL},
      {"null dispatch", &nullDispatch, E_FAIL},
      {"null unknown", &nullUnknown, E_FAIL},
      {"by reference", &byReference, S_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ComPtr<Nimbrel> processor = com::MakeComObject<Nimbrel>();
    VARIANT_BOOL result = VARIANT_FALSE;
    EXPECT_EQ(processor->OnProcessHeader(*c.argument, &result), c.hr);
    EXPECT_EQ(result, VARIANT_TRUE);
  }
}

TEST(Nimbrel, UnderstandsTheFourTestBlocksOnly) {
  const std::u16string ts(xml::kSoap12TestNamespace);
  const struct {
    std::u16string ns, name;
    bool understood;
  } cases[] = {
      {ts, u"echoOk", true},
      {ts, u"concatAndForwardEchoOk", true},
      {ts, u"concatAndForwardEchoOkArg1", true},
      {ts, u"concatAndForwardEchoOkArg2", true},
      {ts, u"responseOk", false},
      {ts, u"EchoOk", false},
      {ts, u"echoOk ", false},
      {ts + u"/", u"echoOk", false},
      {std::u16string(xml::kInteropNamespace), u"echoOk", false},
      {u"", u"echoOk", false},
  };
  const ComPtr<Nimbrel> processor = com::MakeComObject<Nimbrel>();
  for (const auto& c : cases) {
    SCOPED_TRACE(text::Narrow(c.ns + u" " + c.name));
    Bstr ns(c.ns), name(c.name);
    VARIANT_BOOL result = VARIANT_TRUE;
    ASSERT_EQ(processor->OnTestMUHeaderBlock(ns.Get(), name.Get(), &result), S_OK);
    EXPECT_EQ(result, c.understood ? VARIANT_TRUE : VARIANT_FALSE);
  }
}

TEST(Nimbrel, NilAttributesFirstFoundDecides) {
  const struct {
    const char* name;
    std::u16string attributes;
    bool nil;
  } cases[] = {
      {"none", u"", false},
      {"2001 true", u" a:nil='true'", true},
      {"2001 one", u" a:nil='1'", true},
      {"2001 false", u" a:nil='false'", false},
      {"2001 TRUE", u" a:nil='TRUE'", false},
      {"1999 null", u" b:null='true'", true},
      {"1999 nil is not looked for", u" b:nil='true'", false},
      {"2000/10 nil", u" c:nil='1'", true},
      {"2001 decides before 1999", u" a:nil='false' b:null='true'", false},
      {"1999 decides before 2000/10", u" b:null='0' c:nil='true'", false},
      {"unqualified", u" nil='true'", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    xml::XmlParser parser;
    parser.Parse(
        u"<e xmlns:a='http://www.w3.org/2001/XMLSchema-instance' "
        u"xmlns:b='http://www.w3.org/1999/XMLSchema-instance' "
        u"xmlns:c='http://www.w3.org/2000/10/XMLSchema-instance'" +
            c.attributes + u"/>",
        nullptr);
    ASSERT_NE(parser.GetRoot(), nullptr);
    EXPECT_EQ(IsNil(*parser.GetRoot()), c.nil);
  }
}

}  // namespace
}  // namespace testsvc
