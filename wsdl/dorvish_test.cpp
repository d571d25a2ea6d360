// The queries of dorvish2 over the fixture documents, each table run through
// the object directly and through IDispatch.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "wsdl/testing/reader_calls.h"
#include "xml/namespaces.h"

namespace wsdl {
namespace {

using namespace wsdl::testing;

const std::string kData = QV_WSDL_TESTDATA;
const std::u16string kXsd(xml::kXmlSchemaNamespace);
const std::u16string kSoapEnc(xml::kSoap11EncodingNamespace);

struct Case {
  const char* what;
  std::function<std::u16string(I*)> call;
  std::u16string want;
};

// Runs every case on the reader directly and through its IDispatch.
void RunCases(I* reader, const std::vector<Case>& cases) {
  ComPtr<I> proxy = ThroughDispatch(reader);
  ASSERT_TRUE(proxy);
  for (I* via : {reader, proxy.Get()}) {
    const char* how = via == reader ? "direct" : "IDispatch";
    for (const Case& c : cases) {
      EXPECT_EQ(text::Narrow(c.call(via)), text::Narrow(c.want)) << c.what << " (" << how << ")";
    }
  }
}

class RpcEncodedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reader_ = NewReader();
    ASSERT_TRUE(
        Load(reader_.Get(), u"EchoService", u"EchoPort", FileUrl(kData + "/rpc_encoded.wsdl")));
  }
  ComPtr<I> reader_;
};

TEST_F(RpcEncodedTest, OperationQueries) {
  RunCases(
      reader_.Get(),
      {
          {"action stored quoted", [](I* r) { return S1(r, &I::GetMethodSOAPAction, u"echo"); },
           u"\"urn:rpc#echo\""},
          {"empty action is two quotes",
           [](I* r) { return S1(r, &I::GetMethodSOAPAction, u"echoLoop"); }, u"\"\""},
          {"unknown operation", [](I* r) { return S1(r, &I::GetMethodSOAPAction, u"nope"); },
           kFalse},
          {"soapActionRequired ignored in SOAP 1.1",
           [](I* r) { return ActionRequired(r, u"echo"); }, u"optional"},
          {"required of unknown", [](I* r) { return ActionRequired(r, u"nope"); }, kFalse},
          {"input body namespace", [](I* r) { return S1(r, &I::GetMethodNamespaceURI, u"echo"); },
           u"urn:rpc:echo"},
          {"output namespace when input has none",
           [](I* r) { return S1(r, &I::GetMethodNamespaceURI, u"echoLoop"); }, u"urn:out"},
          {"no namespace at all", [](I* r) { return S1(r, &I::GetMethodNamespaceURI, u"ping"); },
           u""},
          {"input use", [](I* r) { return S1(r, &I::GetSOAPInputBodyUse, u"echo"); }, u"encoded"},
          {"output use", [](I* r) { return S1(r, &I::GetSOAPOutputBodyUse, u"echoLoop"); },
           u"literal"},
          {"input encoding style",
           [](I* r) { return S1(r, &I::GetSOAPInputBodyEncStyle, u"echo"); }, kSoapEnc},
          {"output encoding style",
           [](I* r) { return S1(r, &I::GetSOAPOutputBodyEncStyle, u"echo"); }, kSoapEnc},
          {"encoding style of a literal body",
           [](I* r) { return S1(r, &I::GetSOAPInputBodyEncStyle, u"echoLoop"); }, kFalse},
          {"style from the binding",
           [](I* r) { return S1(r, &I::GetOperationBindingStyle, u"echo"); }, u"rpc"},
          {"style of the operation",
           [](I* r) { return S1(r, &I::GetOperationBindingStyle, u"echoLoop"); }, u"document"},
          {"style of unknown", [](I* r) { return S1(r, &I::GetOperationBindingStyle, u"x"); },
           kFalse},
      });
}

TEST_F(RpcEncodedTest, BindingQueries) {
  RunCases(
      reader_.Get(),
      {
          {"style", [](I* r) { return S0(r, &I::GetSOAPBindingStyle); }, u"rpc"},
          {"transport", [](I* r) { return S0(r, &I::GetSOAPBindingTransport); },
           u"http://schemas.xmlsoap.org/soap/http"},
          {"version", [](I* r) { return S0(r, &I::GetSOAPBindingVersion); },
           std::u16string(xml::kWsdlSoap11Namespace)},
          {"action shared by two: first by name",
           [](I* r) { return NamesByAction(r, u"\"urn:rpc#ping\""); }, u"ping|urn:rpc"},
          {"action of echo", [](I* r) { return NamesByAction(r, u"\"urn:rpc#echo\""); },
           u"echo|urn:rpc"},
          {"action compared in its quoted form",
           [](I* r) { return NamesByAction(r, u"urn:rpc#ping"); }, kFalse},
          {"empty action", [](I* r) { return NamesByAction(r, u"\"\""); }, u"echoLoop|urn:rpc"},
          {"definitions namespace", [](I* r) { return S0(r, &I::GetDefinitionsTNS); }, u"urn:rpc"},
      });
}

TEST_F(RpcEncodedTest, MessageAndPartQueries) {
  RunCases(
      reader_.Get(),
      {
          {"listed param", [](I* r) { return Bool(r, &I::IsMethodParam, u"echo", u"a"); }, u"true"},
          {"unlisted param", [](I* r) { return Bool(r, &I::IsMethodParam, u"echo", u"z"); },
           u"false"},
          {"param of unknown op", [](I* r) { return Bool(r, &I::IsMethodParam, u"x", u"a"); },
           u"false"},
          {"index after two spaces",
           [](I* r) { return Long2(r, &I::GetMethodParamIndex, u"echo", u"b"); }, u"1"},
          {"index before trailing space",
           [](I* r) { return Long2(r, &I::GetMethodParamIndex, u"echo", u"c"); }, u"2"},
          {"index of unlisted",
           [](I* r) { return Long2(r, &I::GetMethodParamIndex, u"echo", u""); }, kFalse},
          {"input part", [](I* r) { return Bool(r, &I::IsInputMsgPart, u"echo", u"c"); }, u"true"},
          {"part of a discarded duplicate message",
           [](I* r) { return Bool(r, &I::IsInputMsgPart, u"echo", u"hidden"); }, u"false"},
          {"output part", [](I* r) { return Bool(r, &I::IsOutputMsgPart, u"echo", u"return"); },
           u"true"},
          {"input part is not an output part",
           [](I* r) { return Bool(r, &I::IsOutputMsgPart, u"echo", u"a"); }, u"false"},
          {"simple type refined through two restrictions",
           [](I* r) { return T2(r, &I::GetInputMsgPartType, u"echo", u"c"); }, u"string|" + kXsd},
          {"struct part type unchanged",
           [](I* r) { return T2(r, &I::GetInputMsgPartType, u"echo", u"b"); },
           u"Point|urn:rpc:types"},
          {"restriction cycle ends",
           [](I* r) { return T2(r, &I::GetInputMsgPartType, u"echoLoop", u"v"); },
           u"LoopA|urn:rpc:types"},
          {"missing part", [](I* r) { return T2(r, &I::GetInputMsgPartType, u"echo", u"nope"); },
           kFalse},
          {"output part type",
           [](I* r) { return T2(r, &I::GetOutputMsgPartType, u"echo", u"extra"); },
           u"Point|urn:rpc:types"},
          {"named return part",
           [](I* r) { return T2(r, &I::GetOperationReturnType, u"echo", u"extra"); },
           u"Point|urn:rpc:types"},
          {"return falls back to the part written first",
           [](I* r) { return T2(r, &I::GetOperationReturnType, u"echo", u"missing"); },
           u"string|" + kXsd},
          {"return of an empty message",
           [](I* r) { return T2(r, &I::GetOperationReturnType, u"ping", u""); }, kFalse},
          {"element type",
           [](I* r) { return T2(r, &I::GetHeaderElemType, u"Auth", u"urn:rpc:types"); },
           u"Point|urn:rpc:types"},
          {"element of another namespace",
           [](I* r) { return T2(r, &I::GetHeaderElemType, u"Auth", u"urn:rpc"); }, kFalse},
      });
}

TEST_F(RpcEncodedTest, PartsWalkInNameOrderAndStopAtTheEnd) {
  for (ComPtr<I> r : {reader_, ThroughDispatch(reader_.Get())}) {
    Bstr name;
    LONG position = 42;
    VARIANT_BOOL ok = VARIANT_FALSE;
    std::u16string seen;
    ASSERT_EQ(r->GetFirstInParamName(Bstr(u"echo").Get(), name.Receive(), &position, &ok), S_OK);
    while (ok == VARIANT_TRUE) {
      seen += std::u16string(BstrView(name.Get())) + text::Widen(std::to_string(position));
      ASSERT_EQ(r->GetNextInParamName(Bstr(u"echo").Get(), name.Receive(), &position, &ok), S_OK);
    }
    EXPECT_EQ(text::Narrow(seen), "a0b1c2");  // declared c, a, b
    EXPECT_EQ(position, 2);                   // the failed step leaves it

    ASSERT_EQ(r->GetFirstOutParamName(Bstr(u"echo").Get(), name.Receive(), &position, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_EQ(BstrView(name.Get()), u"extra");
    ASSERT_EQ(r->GetNextOutParamName(Bstr(u"echo").Get(), name.Receive(), &position, &ok), S_OK);
    EXPECT_EQ(BstrView(name.Get()), u"return");
    EXPECT_EQ(position, 1);

    ASSERT_EQ(r->GetFirstInParamName(Bstr(u"ping").Get(), name.Receive(), &position, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_FALSE);  // a message without parts

    // Where the walk goes by name, the index keeps the order written.
    const struct {
      const char16_t* part;
      bool ok;
      LONG index;
    } places[] = {{u"return", true, 0}, {u"extra", true, 1}, {u"a", false, 0}};
    for (const auto& p : places) {
      LONG index = -1;
      ASSERT_EQ(r->GetOutputPartIndex(Bstr(u"echo").Get(), Bstr(p.part).Get(), &index, &ok), S_OK);
      EXPECT_EQ(ok == VARIANT_TRUE, p.ok) << text::Narrow(p.part);
      if (p.ok) {
        EXPECT_EQ(index, p.index) << text::Narrow(p.part);
      }
    }
  }
}

// A caller-controlled cursor: -1 reads as "before the first"; anything that
// does not name a following part fails and keeps the position.
TEST_F(RpcEncodedTest, NextPartCursorOutOfRange) {
  const struct {
    LONG position;
    bool ok;
    const char16_t* name;
  } cases[] = {
      {-1, true, u"a"},
      {0, true, u"b"},
      {1, true, u"c"},
      {2, false, nullptr},
      {-2, false, nullptr},
      {INT32_MIN, false, nullptr},
      {INT32_MAX, false, nullptr},
  };
  for (ComPtr<I> r : {reader_, ThroughDispatch(reader_.Get())}) {
    for (const auto& c : cases) {
      Bstr name;
      LONG position = c.position;
      VARIANT_BOOL ok = VARIANT_FALSE;
      ASSERT_EQ(r->GetNextInParamName(Bstr(u"echo").Get(), name.Receive(), &position, &ok), S_OK);
      EXPECT_EQ(ok == VARIANT_TRUE, c.ok) << c.position;
      if (c.ok) {
        EXPECT_EQ(BstrView(name.Get()), c.name) << c.position;
        EXPECT_EQ(position, c.position + 1);
      } else {
        EXPECT_EQ(position, c.position);
      }
    }
  }
}

TEST_F(RpcEncodedTest, HeaderAndFaultQueries) {
  RunCases(
      reader_.Get(),
      {
          {"input header part",
           [](I* r) { return T3(r, &I::GetInputHeaderPartType, u"echo", u"token", u"urn:hdr"); },
           u"string|" + kXsd},
          {"input header part by element",
           [](I* r) { return T3(r, &I::GetInputHeaderPartType, u"echo", u"auth", u"urn:hdr"); },
           u"Point|urn:rpc:types"},
          {"header namespace must match",
           [](I* r) { return T3(r, &I::GetInputHeaderPartType, u"echo", u"token", u"urn:x"); },
           kFalse},
          {"output header part",
           [](I* r) { return T3(r, &I::GetOutputHeaderPartType, u"echo", u"token", u"urn:hdr"); },
           u"string|" + kXsd},
          {"header of unknown op",
           [](I* r) { return T3(r, &I::GetOutputHeaderPartType, u"x", u"token", u"urn:hdr"); },
           kFalse},
          {"input header fault of the first header",
           [](I* r) { return T3(r, &I::GetInHeaderFaultPartType, u"echo", u"code", u"urn:hdr"); },
           u"int|" + kXsd},
          {"input header fault of the second header",
           [](I* r) { return T3(r, &I::GetInHeaderFaultPartType, u"echo", u"code", u"urn:hdr2"); },
           u"int|" + kXsd},
          {"output has no header faults",
           [](I* r) { return T3(r, &I::GetOutHeaderFaultPartType, u"echo", u"code", u"urn:hdr"); },
           kFalse},
          {"encoded header's style",
           [](I* r) {
             return S3(r, &I::GetInputHeaderPartEncStyle, u"echo", u"token", u"urn:hdr");
           },
           u"urn:enc:token"},
          {"literal header has no style",
           [](I* r) { return S3(r, &I::GetInputHeaderPartEncStyle, u"echo", u"auth", u"urn:hdr"); },
           kFalse},
          {"literal output header",
           [](I* r) {
             return S3(r, &I::GetOutputHeaderPartEncStyle, u"echo", u"token", u"urn:hdr");
           },
           kFalse},
          {"encoded header fault's style",
           [](I* r) {
             return S3(r, &I::GetInHeaderFaultPartEncStyle, u"echo", u"code", u"urn:hdr");
           },
           u"urn:enc:code"},
          {"literal header fault",
           [](I* r) {
             return S3(r, &I::GetInHeaderFaultPartEncStyle, u"echo", u"code", u"urn:hdr2");
           },
           kFalse},
          {"output header fault style",
           [](I* r) {
             return S3(r, &I::GetOutHeaderFaultPartEncStyle, u"echo", u"code", u"urn:hdr");
           },
           kFalse},
          {"fault detail part, namespace not consulted",
           [](I* r) { return T3(r, &I::GetFaultDetailPartType, u"echo", u"detail", u"urn:any"); },
           u"Point|urn:rpc:types"},
          {"fault detail of unknown part",
           [](I* r) { return T3(r, &I::GetFaultDetailPartType, u"echo", u"nope", u""); }, kFalse},
          {"fault encoding style",
           [](I* r) { return S3(r, &I::GetFaultDetailEncStyle, u"echo", u"detail", u"urn:fault"); },
           u"urn:enc:fault"},
          {"fault style needs its namespace",
           [](I* r) { return S3(r, &I::GetFaultDetailEncStyle, u"echo", u"detail", u"urn:x"); },
           kFalse},
          {"fault use",
           [](I* r) { return S3(r, &I::GetFaultDetailUse, u"echo", u"detail", u"urn:fault"); },
           u"encoded"},
          {"fault use of an operation without faults",
           [](I* r) { return S3(r, &I::GetFaultDetailUse, u"ping", u"detail", u"urn:fault"); },
           kFalse},
      });
}

TEST_F(RpcEncodedTest, SchemaTypeQueries) {
  const std::u16string t = u"urn:rpc:types";
  RunCases(
      reader_.Get(),
      {
          {"struct member", [&](I* r) { return Member(r, u"Point", t, u"x", u""); },
           u"int|" + kXsd},
          {"unqualified member looked up qualified",
           [&](I* r) { return Member(r, u"Point", t, u"x", t); }, kFalse},
          {"ref member typed by its element",
           [&](I* r) { return Member(r, u"Point", t, u"label", t); }, u"string|" + kXsd},
          {"member of a discarded duplicate type",
           [&](I* r) { return Member(r, u"Point", t, u"second", u""); }, kFalse},
          {"member of the extension", [&](I* r) { return Member(r, u"Point3", t, u"z", u""); },
           u"double|" + kXsd},
          {"base members are not searched",
           [&](I* r) { return Member(r, u"Point3", t, u"x", u""); }, kFalse},
          {"member of a type in another namespace",
           [&](I* r) { return Member(r, u"Point", u"urn:rpc", u"x", u""); }, kFalse},
          {"extension base", [&](I* r) { return T2(r, &I::GetComplexBaseType, u"Point3", t); },
           u"Point|" + t},
          {"restriction base", [&](I* r) { return T2(r, &I::GetComplexBaseType, u"IntMatrix", t); },
           u"Array|" + kSoapEnc},
          {"simple content base", [&](I* r) { return T2(r, &I::GetComplexBaseType, u"Money", t); },
           u"decimal|" + kXsd},
          {"a simple type is no complex type",
           [&](I* r) { return T2(r, &I::GetComplexBaseType, u"Code", t); }, kFalse},
          {"no base is an empty base",
           [&](I* r) { return T2(r, &I::GetComplexBaseType, u"Point", t); }, u"|"},
          {"encoded rank 2", [&](I* r) { return T2(r, &I::GetArrayType, u"IntMatrix", t); },
           u"int|" + kXsd},
          {"encoded rank 1", [&](I* r) { return T2(r, &I::GetArrayType, u"StringArray", t); },
           u"string|" + kXsd},
          {"SOAP 1.2 encoded", [&](I* r) { return T2(r, &I::GetArrayType, u"Enc12Array", t); },
           u"float|" + kXsd},
          {"array of arrays", [&](I* r) { return T2(r, &I::GetArrayType, u"Jagged", t); },
           u"string[]|" + kXsd},
          {"literal array", [&](I* r) { return T2(r, &I::GetArrayType, u"PointList", t); },
           u"Point|" + t},
          {"maxOccurs *", [&](I* r) { return T2(r, &I::GetArrayType, u"Names", t); },
           u"string|" + kXsd},
          {"literal array of refs", [&](I* r) { return T2(r, &I::GetArrayType, u"LabelList", t); },
           u"label|" + t},
          {"minOccurs 1 is no array",
           [&](I* r) { return T2(r, &I::GetArrayType, u"OneOrMore", t); }, kFalse},
          {"two elements are no array", [&](I* r) { return T2(r, &I::GetArrayType, u"Pair", t); },
           kFalse},
          {"arrayType of another namespace",
           [&](I* r) { return T2(r, &I::GetArrayType, u"NotEncoded", t); }, kFalse},
          {"struct is no array", [&](I* r) { return T2(r, &I::GetArrayType, u"Point", t); },
           kFalse},
          {"unknown type", [&](I* r) { return T2(r, &I::GetArrayType, u"Nope", t); }, kFalse},
          {"rank 2", [&](I* r) { return Long2(r, &I::GetArrayDims, u"IntMatrix", t); }, u"2"},
          {"rank 1", [&](I* r) { return Long2(r, &I::GetArrayDims, u"StringArray", t); }, u"1"},
          {"rank 3", [&](I* r) { return Long2(r, &I::GetArrayDims, u"Enc12Array", t); }, u"3"},
          {"rank of nested", [&](I* r) { return Long2(r, &I::GetArrayDims, u"Jagged", t); }, u"1"},
          {"rank of a struct", [&](I* r) { return Long2(r, &I::GetArrayDims, u"Point", t); }, u"1"},
          {"rank of unknown", [&](I* r) { return Long2(r, &I::GetArrayDims, u"Nope", t); }, kFalse},
          {"literal item", [&](I* r) { return LiteralArray(r, u"PointList", t); },
           u"Point|" + t + u"|item|"},
          {"literal item of strings", [&](I* r) { return LiteralArray(r, u"Names", t); },
           u"string|" + kXsd + u"|name|"},
          {"encoded array has no literal item",
           [&](I* r) { return LiteralArray(r, u"IntMatrix", t); }, kFalse},
      });
}

TEST(SoapAddressTest, SplitIntoHostPathAndPort) {
  const struct {
    const char16_t* port;
    bool loads;
    const char16_t* want;
  } cases[] = {
      {u"EchoPort", true, u"example.com|/svc/echo|8080"},
      {u"NoPath", true, u"example.com||80"},
      {u"BadPort", true, u"example.com|/x|0"},
      {u"HugePort", true, u"example.com|/x|0"},
      {u"NoScheme", true, u"example.com|/y|81"},
      {u"NoAddress", false, u"||0"},
      {u"Unknown", false, u"||0"},
  };
  for (const auto& c : cases) {
    ComPtr<I> r = NewReader();
    EXPECT_EQ(Load(r.Get(), u"EchoService", c.port, FileUrl(kData + "/rpc_encoded.wsdl")), c.loads)
        << text::Narrow(c.port);
    EXPECT_EQ(text::Narrow(Address(r.Get())), text::Narrow(c.want)) << text::Narrow(c.port);
  }
}

TEST(DocLiteralTest, ElementPartsAnonymousTypesAndQualifiedMembers) {
  ComPtr<I> reader = NewReader();
  ASSERT_TRUE(
      Load(reader.Get(), u"QuoteService", u"QuotePort", FileUrl(kData + "/doc_literal.wsdl")));
  const std::u16string in = T2(reader.Get(), &I::GetInputMsgPartType, u"GetQuote", u"parameters");
  const size_t bar = in.find(u'|');
  ASSERT_NE(bar, std::u16string::npos) << text::Narrow(in);
  const std::u16string anon = in.substr(0, bar);
  EXPECT_EQ(anon.size(), 36u);
  EXPECT_EQ(text::Narrow(in.substr(bar + 1)), "urn:doc:types");
  const std::u16string t = u"urn:doc:types";
  RunCases(reader.Get(),
           {
               {"qualified local member", [&](I* r) { return Member(r, anon, t, u"symbol", t); },
                u"string|" + kXsd},
               {"qualified member looked up without namespace",
                [&](I* r) { return Member(r, anon, t, u"symbol", u""); }, kFalse},
               {"form unqualified member", [&](I* r) { return Member(r, anon, t, u"local", u""); },
                u"int|" + kXsd},
               {"form unqualified member with namespace",
                [&](I* r) { return Member(r, anon, t, u"local", t); }, kFalse},
               {"ref keeps its namespace under qualified",
                [&](I* r) { return Member(r, anon, t, u"shared", u"urn:other"); }, u"date|" + kXsd},
               {"ref is not requalified", [&](I* r) { return Member(r, anon, t, u"shared", t); },
                kFalse},
               {"nameless element never matches", [&](I* r) { return Member(r, anon, t, u"", t); },
                kFalse},
               {"second schema of one namespace joins the first",
                [&](I* r) { return Member(r, u"Extra", t, u"note", t); }, u"string|" + kXsd},
               {"all is read as a sequence",
                [&](I* r) { return Member(r, u"Quote", t, u"price", t); }, u"double|" + kXsd},
               {"element part with a named type",
                [](I* r) { return T2(r, &I::GetOutputMsgPartType, u"GetQuote", u"parameters"); },
                u"Quote|urn:doc:types"},
               {"element without a type",
                [](I* r) { return T2(r, &I::GetInputMsgPartType, u"Untyped", u"p"); }, kFalse},
               {"type wins over element",
                [](I* r) { return T2(r, &I::GetInputMsgPartType, u"Untyped", u"both"); },
                u"int|" + kXsd},
               {"anonymous simple type refined to its base",
                [](I* r) { return T2(r, &I::GetInputMsgPartType, u"Untyped", u"level"); },
                u"int|" + kXsd},
               {"document style",
                [](I* r) { return S1(r, &I::GetOperationBindingStyle, u"GetQuote"); }, u"document"},
               {"literal body has no encoding style",
                [](I* r) { return S1(r, &I::GetSOAPInputBodyEncStyle, u"GetQuote"); }, kFalse},
           });

  // Generated names differ from load to load.
  ASSERT_TRUE(
      Load(reader.Get(), u"QuoteService", u"QuotePort", FileUrl(kData + "/doc_literal.wsdl")));
  const std::u16string again =
      T2(reader.Get(), &I::GetInputMsgPartType, u"GetQuote", u"parameters");
  EXPECT_NE(again.substr(0, again.find(u'|')), anon);
}

TEST(Soap12Test, BindingVersionAndRequiredActions) {
  ComPtr<I> reader = NewReader();
  ASSERT_TRUE(Load(reader.Get(), u"S12", u"P12", FileUrl(kData + "/soap12.wsdl")));
  RunCases(
      reader.Get(),
      {
          {"version", [](I* r) { return S0(r, &I::GetSOAPBindingVersion); },
           std::u16string(xml::kWsdlSoap12Namespace)},
          {"style defaults to document", [](I* r) { return S0(r, &I::GetSOAPBindingStyle); },
           u"document"},
          {"operation style", [](I* r) { return S1(r, &I::GetOperationBindingStyle, u"required"); },
           u"document"},
          {"transport", [](I* r) { return S0(r, &I::GetSOAPBindingTransport); },
           u"http://www.w3.org/2003/05/soap/bindings/HTTP/"},
          {"required true", [](I* r) { return ActionRequired(r, u"required"); }, u"required"},
          {"required 1", [](I* r) { return ActionRequired(r, u"requiredOne"); }, u"required"},
          {"required yes is not", [](I* r) { return ActionRequired(r, u"optional"); }, u"optional"},
          {"absent action stays empty",
           [](I* r) { return S1(r, &I::GetMethodSOAPAction, u"requiredOne"); }, u""},
          {"body namespace", [](I* r) { return S1(r, &I::GetMethodNamespaceURI, u"required"); },
           u"urn:s12:body"},
          {"1999 schema member",
           [](I* r) { return Member(r, u"Item", u"urn:s12:types", u"id", u""); },
           u"int|http://www.w3.org/1999/XMLSchema"},
          {"address", [](I* r) { return Address(r); }, u"s12.example|/soap12|8012"},
      });
}

TEST(ImportTest, ImportedDefinitionsMergeAndTheImporterWins) {
  ComPtr<I> reader = NewReader();
  ASSERT_TRUE(
      Load(reader.Get(), u"MainService", u"MainPort", FileUrl(kData + "/import_main.wsdl")));
  RunCases(
      reader.Get(),
      {
          {"importer's message kept",
           [](I* r) { return Bool(r, &I::IsInputMsgPart, u"useShared", u"mainPart"); }, u"true"},
          {"imported duplicate dropped",
           [](I* r) { return Bool(r, &I::IsInputMsgPart, u"useShared", u"impPart"); }, u"false"},
          {"imported message by its namespace",
           [](I* r) { return T2(r, &I::GetInputMsgPartType, u"useImported", u"q"); },
           u"ImpStruct|urn:main:types"},
          {"imported message whose name the importer took",
           [](I* r) { return Bool(r, &I::IsOutputMsgPart, u"useImported", u"impPart"); }, u"false"},
          {"importer's type kept",
           [](I* r) { return Member(r, u"Shared", u"urn:main:types", u"fromMain", u""); },
           u"string|" + kXsd},
          {"imported duplicate type dropped",
           [](I* r) { return Member(r, u"Shared", u"urn:main:types", u"fromImport", u""); },
           kFalse},
          {"imported type joins the existing schema",
           [](I* r) { return Member(r, u"ImpStruct", u"urn:main:types", u"n", u""); },
           u"int|" + kXsd},
          {"imported schema moved over",
           [](I* r) { return T2(r, &I::GetHeaderElemType, u"Note", u"urn:imp:types"); },
           u"string|" + kXsd},
          {"action", [](I* r) { return S1(r, &I::GetMethodSOAPAction, u"useShared"); },
           u"\"urn:main#useShared\""},
          {"definitions namespace is the importer's",
           [](I* r) { return S0(r, &I::GetDefinitionsTNS); }, u"urn:main"},
      });
  // A service of the imported namespace cannot be selected.
  EXPECT_FALSE(Load(reader.Get(), u"ImpService", u"ImpPort", FileUrl(kData + "/import_main.wsdl")));
}

TEST(LifecycleTest, FreshReaderAnswersOnlyTheAlwaysTrueMethods) {
  ComPtr<I> reader = NewReader();
  RunCases(reader.Get(),
           {
               {"address", [](I* r) { return Address(r); }, u"||0"},
               {"tns", [](I* r) { return S0(r, &I::GetDefinitionsTNS); }, u""},
               {"user agent", [](I* r) { return S0(r, &I::GetUserAgent); },
                u"Quorvel WSDL Client/2.1 (C++ WSDL client library)"},
               {"version", [](I* r) { return S0(r, &I::GetSOAPBindingVersion); }, kFalse},
               {"action", [](I* r) { return S1(r, &I::GetMethodSOAPAction, u"echo"); }, kFalse},
               {"element", [](I* r) { return T2(r, &I::GetHeaderElemType, u"a", u""); }, kFalse},
               {"member", [](I* r) { return Member(r, u"a", u"", u"b", u""); }, kFalse},
           });
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(reader->SetHTTPHeaders(Bstr(u"X-A: 1\r\n").Get(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(reader->SetHTTPTimeout(-5, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(reader->SetUserAgent(Bstr(u"Agent \u00e9").Get(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(S0(reader.Get(), &I::GetUserAgent), u"Agent \u00e9");
}

TEST(LifecycleTest, FailedLoadsKeepOrDropTheDocumentByWhereTheyFailed) {
  ComPtr<I> r = NewReader();
  const std::string good = FileUrl(kData + "/rpc_encoded.wsdl");
  // The port is unknown: the document stays, the binding is not selected.
  EXPECT_FALSE(Load(r.Get(), u"EchoService", u"Nope", good));
  EXPECT_EQ(S0(r.Get(), &I::GetSOAPBindingVersion), kFalse);
  EXPECT_EQ(S0(r.Get(), &I::GetDefinitionsTNS), u"urn:rpc");
  EXPECT_EQ(T2(r.Get(), &I::GetHeaderElemType, u"label", u"urn:rpc:types"), u"string|" + kXsd);
  EXPECT_EQ(Address(r.Get()), u"||0");

  ASSERT_TRUE(Load(r.Get(), u"EchoService", u"EchoPort", good));
  // A fetch that fails keeps the document, queried with the new names.
  EXPECT_FALSE(Load(r.Get(), u"EchoService", u"EchoPort", FileUrl(kData + "/missing.wsdl")));
  EXPECT_EQ(S1(r.Get(), &I::GetMethodSOAPAction, u"echo"), u"\"urn:rpc#echo\"");
  EXPECT_FALSE(Load(r.Get(), u"EchoService", u"Nope", FileUrl(kData + "/missing.wsdl")));
  EXPECT_EQ(S1(r.Get(), &I::GetMethodSOAPAction, u"echo"), kFalse);
  EXPECT_EQ(Address(r.Get()), u"example.com|/svc/echo|8080");  // kept from the last selection
  // Neither file:// nor http://.
  EXPECT_FALSE(Load(r.Get(), u"EchoService", u"EchoPort", kData + "/rpc_encoded.wsdl"));
  EXPECT_FALSE(Load(r.Get(), u"EchoService", u"EchoPort", "ftp://h/rpc_encoded.wsdl"));
  EXPECT_EQ(S0(r.Get(), &I::GetDefinitionsTNS), u"urn:rpc");
  // A parse that fails drops it.
  EXPECT_FALSE(Load(r.Get(), u"EchoService", u"EchoPort", FileUrl(kData + "/../CMakeLists.txt")));
  EXPECT_EQ(S0(r.Get(), &I::GetDefinitionsTNS), u"");
  EXPECT_EQ(T2(r.Get(), &I::GetHeaderElemType, u"label", u"urn:rpc:types"), kFalse);
}

// Several threads query one loaded reader while another reloads it; every
// answer stays whole.
TEST(ConcurrencyTest, QueriesFromSeveralThreadsWhileReloading) {
  ComPtr<I> reader = NewReader();
  const std::string url = FileUrl(kData + "/rpc_encoded.wsdl");
  ASSERT_TRUE(Load(reader.Get(), u"EchoService", u"EchoPort", url));
  std::atomic<int> wrong{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        if (S1(reader.Get(), &I::GetMethodSOAPAction, u"echo") != u"\"urn:rpc#echo\"") ++wrong;
        if (T2(reader.Get(), &I::GetInputMsgPartType, u"echo", u"c") != u"string|" + kXsd) {
          ++wrong;
        }
        if (Member(reader.Get(), u"Point3", u"urn:rpc:types", u"z", u"") != u"double|" + kXsd) {
          ++wrong;
        }
        if (Address(reader.Get()) != u"example.com|/svc/echo|8080") ++wrong;
      }
    });
  }
  std::thread reloader([&] {
    while (!done.load()) {
      if (!Load(reader.Get(), u"EchoService", u"EchoPort", url)) ++wrong;
    }
  });
  for (std::thread& t : threads) t.join();
  done = true;
  reloader.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace wsdl
