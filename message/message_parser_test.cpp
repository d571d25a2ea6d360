#include "message/message_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/soap_message.h"
#include "message/testing/message_testing.h"
#include "platform/com/testing/value_fakes.h"
#include "xml/namespaces.h"
#include "xml/xml_parser.h"
#include "xml/xml_writer.h"

namespace message {
namespace {

using testing::Envelope11;
using testing::Envelope12;
using testing::FaultCase;
using testing::Harness;
using testing::Key;
using testing::Narrow;
using testing::RunFaultCases;
using testing::TypeRef;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new testing::ComEnvironment);

TEST(MessageParserEnvelope, VersionsStructureAndParseErrors) {
  const std::string deep = [] {
    std::string open, close;
    for (int i = 0; i < xml::kMaxNestingDepth; ++i) {
      open += "<a>";
      close += "</a>";
    }
    return Envelope11("", "<m:Op xmlns:m=\"urn:m\">" + open + close + "</m:Op>");
  }();
  const FaultCase cases[] = {
      {"SOAP 1.1", 11, Envelope11("", "<m:Op xmlns:m=\"urn:m\"/>"), true, u"", u"", u"", 11},
      {"SOAP 1.2", 12, Envelope12("", "<m:Op xmlns:m=\"urn:m\"/>"), true, u"", u"", u"", 12},
      {"other envelope namespace", 11,
       "<E:Envelope xmlns:E=\"urn:not-soap\"><E:Body/></E:Envelope>", true, u"VersionMismatch", u"",
       u"SOAP Version Mismatch", 11},
      {"root not named Envelope", 11,
       "<E:Letter xmlns:E=\"http://schemas.xmlsoap.org/soap/envelope/\"/>", true, u"Client", u"",
       u"SOAP Envelope not found in message.", 11},
      {"malformed document", 11, "<a>\n<b>\n</a>", true, u"Client", u"",
       u"XML Parser: Parse Error on Line 3.", 11},
      {"empty buffer", 11, "", true, u"Client", u"", u"XML Parser: Parse Error on Line 1.", 11},
      {"document type declaration", 11,
       "<?xml version=\"1.0\"?>\n<!DOCTYPE E [<!ENTITY big \"x\">]>\n" + Envelope11("", ""), true,
       u"Client", u"", u"XML Parser: Parse Error on Line 2.", 11},
      {"document type declaration after lone CRs", 12,
       "\r\r<!DOCTYPE E SYSTEM \"urn:x\">" + Envelope12("", ""), true, u"Client", u"",
       u"XML Parser: Parse Error on Line 3.", 11},
      {"nesting beyond the parser's limit", 11, deep, true, u"Client", u"",
       u"XML Parser: Parse Error on Line 1.", 11},
      {"missing Body", 11, std::string(testing::kEnv11) + "</SOAP-ENV:Envelope>", true, u"Client",
       u"", u"Body element not found in SOAP Envelope.", 11},
      {"missing Body, SOAP 1.2", 12, std::string(testing::kEnv12) + "</env:Envelope>", true,
       u"Sender", u"", u"Body element not found in SOAP Envelope.", 12},
      {"unknown SOAP 1.1 envelope child skipped", 11,
       std::string(testing::kEnv11) +
           "<t:Extra><t:deep/></t:Extra><SOAP-ENV:Body/></SOAP-ENV:Envelope>",
       true, u"", u"", u"", 11},
      {"unknown SOAP 1.2 envelope child", 12,
       std::string(testing::kEnv12) + "<t:Extra/><env:Body/></env:Envelope>", true, u"Sender", u"",
       u"Encountered illegal child element within SOAP 1.2 Envelope.", 12},
      {"Header after Body", 11,
       std::string(testing::kEnv11) + "<SOAP-ENV:Body/><SOAP-ENV:Header/></SOAP-ENV:Envelope>",
       true, u"Client", u"", u"Header element found after Body in SOAP Envelope.", 11},
      {"two Bodies", 11,
       std::string(testing::kEnv11) +
           "<SOAP-ENV:Body><m:A xmlns:m=\"urn:m\"/></SOAP-ENV:Body>"
           "<SOAP-ENV:Body><m:B xmlns:m=\"urn:m\"/></SOAP-ENV:Body></SOAP-ENV:Envelope>",
       true, u"Client", u"", u"More than one Body element found in SOAP Envelope.", 11},
      {"two Bodies, SOAP 1.2", 12,
       std::string(testing::kEnv12) + "<env:Body/><env:Body/></env:Envelope>", true, u"Sender",
       u"", u"More than one Body element found in SOAP Envelope.", 12},
      {"encodingStyle on a SOAP 1.2 Envelope", 12,
       "<env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\" "
       "env:encodingStyle=\"urn:x\"><env:Body/></env:Envelope>",
       true, u"Sender", u"", u"encodingStyle attribute not allowed on SOAP 1.2 Envelope element.",
       12},
      {"encodingStyle on a SOAP 1.2 Header", 12,
       std::string(testing::kEnv12) +
           "<env:Header env:encodingStyle=\"urn:x\"/><env:Body/></env:Envelope>",
       true, u"Sender", u"", u"encodingStyle attribute not allowed on SOAP 1.2 Header element.",
       12},
      {"encodingStyle on a SOAP 1.2 Body", 12,
       std::string(testing::kEnv12) + "<env:Body env:encodingStyle=\"urn:x\"/></env:Envelope>",
       true, u"Sender", u"", u"encodingStyle attribute not allowed on SOAP 1.2 Body element.", 12},
      {"unqualified header block", 11, Envelope11("<Plain/>", ""), true, u"Client", u"",
       u"Encountered SOAP Header Block with unqualified name.", 11},
      {"mustUnderstand yes", 11, Envelope11("<t:H SOAP-ENV:mustUnderstand=\"yes\"/>", ""), true,
       u"Client", u"", u"Encountered invalid value for attribute 'mustUnderstand' on header block.",
       11},
      {"relay maybe", 12, Envelope12("<t:H env:relay=\"maybe\"/>", ""), true, u"Sender", u"",
       u"Encountered invalid value for attribute 'relay' on header block.", 12},
      {"id and ref on one element", 12,
       Envelope12("", "<m:Op xmlns:m=\"urn:m\"><a enc:id=\"x\" enc:ref=\"y\"/></m:Op>"), true,
       u"Sender", u"", u"Encountered  attributes 'type' and 'id' on same element.", 12},
      {"bad nodeType", 12,
       Envelope12("", "<m:Op xmlns:m=\"urn:m\"><a enc:nodeType=\"list\"/></m:Op>"), true, u"Sender",
       u"", u"Encountered invalid value for attribute 'nodeType' on accessor element.", 12},
      {"duplicate parameter ids, SOAP 1.1", 11,
       Envelope11("", "<m:Op xmlns:m=\"urn:m\"><a id=\"x\"/><b id=\"x\"/></m:Op>"), true, u"Client",
       u"", u"Id value found on accessor element is a duplicate.", 11},
      {"duplicate parameter ids, SOAP 1.2", 12,
       Envelope12("", "<m:Op xmlns:m=\"urn:m\"><a enc:id=\"x\"/><b enc:id=\"x\"/></m:Op>"), true,
       u"Sender", u"DuplicateID", u"Id value found on accessor element is a duplicate.", 12},
      {"duplicate multi-reference ids are kept", 11,
       Envelope11("", "<m:Op xmlns:m=\"urn:m\"/><t:R id=\"x\"/><t:R id=\"x\"/>"), true, u"", u"",
       u"", 11},
      {"xsi:type with an undeclared prefix", 11,
       Envelope11("", "<m:Op xmlns:m=\"urn:m\"><a xsi:type=\"q:int\"/></m:Op>"), true, u"Client",
       u"", u"Encountered undeclared namespace prefix for attribute 'type' on element.", 11},
      {"xsi:type without a default namespace", 11,
       Envelope11("", "<m:Op xmlns:m=\"urn:m\"><a xsi:type=\"int\"/></m:Op>"), true, u"Client", u"",
       u"Encountered unresolvable namespace for attribute 'type' on element.", 11},
      {"arrayType without size", 11,
       Envelope11("", "<m:Op xmlns:m=\"urn:m\"><a SOAP-ENC:arrayType=\"xsd:int\"/></m:Op>"), true,
       u"Client", u"", u"Value of attribute 'arrayType' on element doesn't have size given.", 11},
      {"binding of the other version", 11, Envelope12("", ""), true, u"VersionMismatch", u"",
       u"SOAP 1.2 Binding not found in WSDL description for this port.", 12},
      {"SOAP 1.1 message on a SOAP 1.2 binding", 12, Envelope11("", ""), true, u"VersionMismatch",
       u"", u"SOAP 1.1 Binding not found in WSDL description for this port.", 11},
  };
  RunFaultCases(cases, std::size(cases));
}

TEST(MessageParserEnvelope, InitializeNeedsAWsdlReader) {
  SoapMessage m;
  com::testing::FakeObject not_a_reader;
  EXPECT_FALSE(m.Initialize(u"S", u"P", u"", u"", u"", false, false, nullptr));
  EXPECT_FALSE(m.Initialize(u"S", u"P", u"", u"", u"", false, false, &not_a_reader));
  EXPECT_EQ(m.GetWsdlReader(), nullptr);
  EXPECT_EQ(not_a_reader.refs, 1u);
  EXPECT_TRUE(m.GetServiceName().empty());
}

TEST(MessageParserEnvelope, NoBindingIsAServerFault) {
  Harness h(11);
  h.reader->wsdl.has_binding = false;
  EXPECT_FALSE(h.Run(Envelope11("", "")));
  EXPECT_EQ(h.message->GetFaultCode(), u"Server");
  EXPECT_EQ(h.message->GetFaultString(),
            u"SOAP Binding not found in WSDL description for this port.");
  EXPECT_TRUE(h.message->NeedsDetail());
}

TEST(MessageParserEnvelope, ParseErrorsAreNeverFormatStrings) {
  Harness h(11);
  EXPECT_FALSE(h.Run("<%s%n>"));
  EXPECT_EQ(h.message->GetFaultString(), u"XML Parser: Parse Error on Line 1.");
}

TEST(MessageParserHeaders, BlocksKeepRolesFlagsAndLiteralXml) {
  Harness h(12);
  const std::string header =
      "<t:A env:mustUnderstand=\"true\" env:role=\"urn:r\" env:relay=\"1\">a</t:A>"
      "<t:B env:role=\"http://www.w3.org/2003/05/soap-envelope/role/ultimateReceiver\" "
      "env:mustUnderstand=\"0\"/>"
      "<t:C env:role=\"\"/>";
  ASSERT_TRUE(h.Run(Envelope12(header, ""))) << Narrow(h.FaultText());
  const auto& blocks = h.message->LiteralHeaderBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_TRUE(h.message->HeaderBlocks().empty());
  EXPECT_EQ(blocks[0]->local_name, u"A");
  EXPECT_EQ(blocks[0]->namespace_uri, u"urn:t");
  EXPECT_TRUE(blocks[0]->must_understand);
  EXPECT_TRUE(blocks[0]->relay);
  EXPECT_TRUE(blocks[0]->received);
  EXPECT_EQ(blocks[0]->role, u"urn:r");
  EXPECT_EQ(blocks[1]->role, u"");
  EXPECT_FALSE(blocks[1]->must_understand);
  EXPECT_EQ(blocks[2]->role, u"\"\"");
  // The literal form is a document of its own: it declares what it uses.
  std::u16string xml_text = blocks[0]->LiteralXml();
  xml::XmlElementPtr root = MessageParser::ParseXmlFragment(xml_text);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->GetNamespaceURI(), u"urn:t");
  EXPECT_EQ(root->GetText(), u"a");
  // A request adds the next role of its version.
  EXPECT_EQ(h.message->Roles().count(std::u16string(kSoap12NextRole)), 1u);
}

// A block's text is written from the parse's source only when read; the
// source is replaced by the next parse, so a block never read must be written
// first.
TEST(MessageParserHeaders, UnreadLiteralBlocksOutliveTheNextParse) {
  Harness h(11);
  ASSERT_TRUE(h.Run(Envelope11("<t:A>a</t:A>", ""))) << Narrow(h.FaultText());
  ASSERT_TRUE(h.Run(Envelope11("<t:B>b</t:B>", ""))) << Narrow(h.FaultText());
  const auto& blocks = h.message->LiteralHeaderBlocks();
  ASSERT_FALSE(blocks.empty());
  for (const auto& block : blocks) {
    xml::XmlElementPtr root = MessageParser::ParseXmlFragment(block->LiteralXml());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->GetLocalName(), block->local_name);
    EXPECT_EQ(root->GetText(), block->local_name == u"A" ? u"a" : u"b");
  }
  EXPECT_EQ(blocks.back()->local_name, u"B");
}

// The literal Body and header blocks are written from their markup when asked
// for; the text must be what writing the element of a whole tree of the
// envelope gives (a SOAP 1.1 block with its inherited encodingStyle added),
// whatever the markup holds and whether or not the message was parsed again.
struct ReceivedTexts {
  std::u16string body;
  std::vector<std::u16string> blocks;
};

ReceivedTexts TreeWriterTexts(const std::string& envelope, int version) {
  xml::XmlParser parser;
  parser.ParseXmlBuffer(envelope.data(), envelope.size(), nullptr);
  const xml::XmlElement& root = *parser.GetRoot();
  const std::u16string ns(root.GetNamespaceURI());
  ReceivedTexts texts;
  xml::WriteXmlElement(*root.FindChild(u"Body", ns), nullptr, texts.body);
  if (xml::XmlElement* header = root.FindChild(u"Header", ns)) {
    for (const xml::XmlElementPtr& block : header->GetChildList()) {
      std::u16string encoding;
      const bool own = block->GetAttributeValue(ns, u"encodingStyle", &encoding);
      if (version == 11 && !own &&
          (header->GetAttributeValue(ns, u"encodingStyle", &encoding) ||
           root.GetAttributeValue(ns, u"encodingStyle", &encoding))) {
        block->AddAttributeNode(u"SOAP-ENV:encodingStyle", ns, encoding);
      }
      texts.blocks.emplace_back();
      xml::WriteXmlElement(*block, nullptr, texts.blocks.back());
    }
  }
  return texts;
}

TEST(MessageParserBody, ReceivedTextsAreWhatTheTreeWriterGives) {
  const struct {
    const char* what;
    int version;
    std::string envelope;
  } cases[] = {
      {"prefixes and a default namespace declared on ancestors", 11,
       Envelope11("<t:A xsi:type=\"xsd:string\">a</t:A><B xmlns=\"urn:b\"><t:c>1</t:c></B>",
                  "<m:Op xmlns:m=\"urn:m\" xmlns=\"urn:d\"><p><q xmlns=\"\">x</q></p>"
                  "<t:r SOAP-ENC:arrayType=\"xsd:int[1]\"><i>2</i></t:r></m:Op>")},
      {"a prefix bound again below", 12,
       Envelope12("<t:A><t:b xmlns:t=\"urn:other\">z</t:b></t:A>",
                  "<t:Op><t:x xmlns:t=\"urn:inner\"><t:y/></t:x><t:z/></t:Op>")},
      {"entities and character references", 11,
       Envelope11("<t:A note=\"&lt;&amp;&quot;&#9;\">&#x41;&amp;b&#66;</t:A>",
                  "<m:Op xmlns:m=\"urn:m\"><s>1 &lt; 2 &amp;&amp; &#x1F600;&gt;</s>"
                  "<n>&#13;&#10;</n></m:Op>")},
      {"CDATA and line ends", 12,
       Envelope12("<t:A><![CDATA[<raw> & ]]]]></t:A>",
                  "<t:Op><s>a\r\nb\rc<![CDATA[x]]>y<!-- c -->z<?pi p?></s></t:Op>")},
      {"encodingStyle of a block: own, inherited from Header", 11,
       std::string(testing::kEnv11) +
           "<SOAP-ENV:Header SOAP-ENV:encodingStyle=\"urn:h\"><t:A>a</t:A>"
           "<t:B SOAP-ENV:encodingStyle=\"urn:own\"/></SOAP-ENV:Header>"
           "<SOAP-ENV:Body SOAP-ENV:encodingStyle=\"urn:b\"><t:Op/></SOAP-ENV:Body>"
           "</SOAP-ENV:Envelope>"},
      {"xml:lang, an empty body and spacing", 12,
       Envelope12("<t:A xml:lang=\"en\">\n  <t:b>  </t:b>\n</t:A>", "")},
  };
  for (const auto& c : cases) {
    const ReceivedTexts expected = TreeWriterTexts(c.envelope, c.version);
    for (const bool parse_again : {false, true}) {
      Harness h(c.version);
      ASSERT_TRUE(h.Run(c.envelope)) << c.what << ": " << Narrow(h.FaultText());
      // Another envelope through the same parser before the texts are read.
      if (parse_again) {
        ASSERT_FALSE(h.Run(c.version == 11 ? Envelope11("", "<t:Other>") : "<t:Other/>"))
            << c.what;
      }
      std::u16string body;
      ASSERT_TRUE(h.message->GetLiteralBody(&body)) << c.what;
      EXPECT_EQ(Narrow(body), Narrow(expected.body)) << c.what << ", again: " << parse_again;
      const auto& blocks = h.message->LiteralHeaderBlocks();
      ASSERT_EQ(blocks.size(), expected.blocks.size()) << c.what;
      for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(Narrow(blocks[i]->LiteralXml()), Narrow(expected.blocks[i]))
            << c.what << ", block " << i << ", again: " << parse_again;
      }
    }
  }
}

TEST(MessageParserHeaders, TypedBlocksAreDecodedAndInheritedEncodingIsWrittenOut) {
  Harness h(11);
  h.reader->wsdl.header_elem_types[Key({u"Count", u"urn:t"})] = {
      u"int", std::u16string(xml::kXmlSchemaNamespace)};
  const std::string header =
      "<t:Count SOAP-ENV:actor=\"http://schemas.xmlsoap.org/soap/actor/next\">42</t:Count>"
      "<t:Unknown>u</t:Unknown>";
  ASSERT_TRUE(h.Run(Envelope11(header, "<m:Op xmlns:m=\"urn:m\"/>"))) << Narrow(h.FaultText());
  ASSERT_EQ(h.message->HeaderBlocks().size(), 1u);
  const HeaderBlock& count = *h.message->HeaderBlocks()[0];
  EXPECT_EQ(count.content.vt, VT_I4);
  EXPECT_EQ(count.content.lVal, 42);
  EXPECT_TRUE(count.received);
  EXPECT_EQ(count.role, kSoap11NextActor);
  // The next actor joins the roles, so the block is addressed to this node.
  Variant taken;
  EXPECT_TRUE(h.message->TakeHeaderBlock(u"urn:t", u"Count", &taken));

  ASSERT_EQ(h.message->LiteralHeaderBlocks().size(), 1u);
  const LiteralHeaderBlock& unknown = *h.message->LiteralHeaderBlocks()[0];
  EXPECT_EQ(unknown.encoding_style, xml::kSoap11EncodingNamespace);
  xml::XmlElementPtr root = MessageParser::ParseXmlFragment(unknown.LiteralXml());
  std::u16string encoding;
  EXPECT_TRUE(root->GetAttributeValue(xml::kSoap11EnvelopeNamespace, u"encodingStyle", &encoding));
  EXPECT_EQ(encoding, xml::kSoap11EncodingNamespace);
}

TEST(MessageParserHeaders, EncodedBlocksOfBothPhasesAndTheirReferences) {
  const TypeRef number{u"int", std::u16string(xml::kXmlSchemaNamespace)};
  {
    // A SOAP 1.2 response block typed for the operation's output, its value
    // behind a reference into the body.
    Harness h(12);
    h.reader->wsdl.output_header_types[Key({u"OpResponse", u"Seq", u"urn:t"})] = number;
    const std::string header =
        "<t:Seq env:encodingStyle=\"http://www.w3.org/2003/05/soap-encoding\" "
        "env:role=\"http://www.w3.org/2003/05/soap-envelope/role/none\" enc:ref=\"v\"/>";
    const std::string body = "<m:OpResponse xmlns:m=\"urn:m\"><x enc:id=\"v\">9</x></m:OpResponse>";
    ASSERT_TRUE(h.Run(Envelope12(header, body), false)) << Narrow(h.FaultText());
    ASSERT_EQ(h.message->HeaderBlocks().size(), 1u);
    EXPECT_EQ(h.message->HeaderBlocks()[0]->content.lVal, 9);
    EXPECT_EQ(h.message->HeaderBlocks()[0]->role, kSoap12NoneRole);
    EXPECT_TRUE(h.message->Roles().empty());  // only a request adds the next role
  }
  const FaultCase cases[] = {
      {"typed block with a dangling reference", 11,
       Envelope11("<t:Count href=\"#gone\"/>", "<m:Op xmlns:m=\"urn:m\"/>"), true, u"Client", u"",
       u"Header block: 'Count' has invalid reference.", 11},
      {"typed block with a dangling reference, SOAP 1.2", 12,
       Envelope12("<t:Count env:encodingStyle=\"http://www.w3.org/2003/05/soap-encoding\" "
                  "enc:ref=\"gone\"/>",
                  "<m:Op xmlns:m=\"urn:m\"/>"),
       true, u"Sender", u"MissingID", u"Header block: 'Count' has invalid reference.", 12},
      {"typed block of the wrong form", 11,
       Envelope11("<t:Count>many</t:Count>", "<m:Op xmlns:m=\"urn:m\"/>"), true, u"Client", u"",
       u"Encountered improperly serialized built-in type accessor: 'Count'.", 11},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(c.binding);
    h.reader->wsdl.header_elem_types[Key({u"Count", u"urn:t"})] = number;
    EXPECT_FALSE(h.Run(c.text, c.request));
    EXPECT_EQ(h.message->GetFaultCode(), c.code);
    EXPECT_EQ(h.message->GetFaultSubcode(), c.subcode);
    EXPECT_EQ(h.FaultText(), c.message);
  }
}

TEST(MessageParserHeaders, WsdlEncodingStyleMustBeTheMessagesEncoding) {
  for (int version : {11, 12}) {
    for (bool request : {true, false}) {
      SCOPED_TRACE(testing::Narrow(request ? u"request" : u"response"));
      SCOPED_TRACE(version);
      Harness h(version);
      auto& encodings =
          request ? h.reader->wsdl.input_header_encodings : h.reader->wsdl.output_header_encodings;
      encodings[Key({u"Op", u"Auth", u"urn:t"})] = u"urn:other-encoding";
      const std::string body = "<m:Op xmlns:m=\"urn:m\"/>";
      const std::string header = "<t:Auth>x</t:Auth>";
      std::string text = version == 11 ? Envelope11(header, body) : Envelope12(header, body);
      // The SOAP 1.1 envelope here declares its own encodingStyle; drop it so
      // that the WSDL's is the one in force.
      if (version == 11) {
        const std::string own =
            " SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"";
        text.erase(text.find(own), own.size());
      }
      EXPECT_FALSE(h.Run(text, request));
      EXPECT_EQ(h.FaultText(), request ? u"Unsupported encodingStyle for header block: 'Auth' in "
                                         u"Request message."
                                       : u"Unsupported encodingStyle for header block: 'Auth' in "
                                         u"Response message.");
      EXPECT_EQ(h.message->GetFaultCode(), version == 11 ? u"Client" : u"Sender");
      EXPECT_EQ(h.message->GetFaultSubcode(), version == 11 ? u"" : u"DataEncodingUnknown");
      EXPECT_EQ(h.message->GetFaultSubcodeNamespace(),
                version == 11 ? u"" : xml::kSoap12EnvelopeNamespace);
      EXPECT_FALSE(h.message->NeedsDetail());
    }
  }
}

TEST(MessageParserBody, WrapperMethodAndLiteralBody) {
  Harness h(11);
  const std::string body =
      "<t:Data SOAP-ENC:root=\"0\" id=\"d\">x</t:Data><m:Echo xmlns:m=\"urn:m\"><a>1</a></m:Echo>";
  ASSERT_TRUE(h.Run(Envelope11("", body))) << Narrow(h.FaultText());
  RequestParser& parser = h.message->GetRequestParser();
  ASSERT_NE(parser.GetWrapper(), nullptr);
  EXPECT_EQ(parser.GetWrapper()->local_name, u"Echo");
  ASSERT_EQ(parser.GetWrapper()->children.size(), 1u);
  EXPECT_EQ(parser.GetWrapper()->children[0]->text, u"1");
  ASSERT_EQ(parser.GetMultiRefs().size(), 1u);
  EXPECT_EQ(h.message->GetMethodName(), u"Echo");
  EXPECT_EQ(h.message->GetMethodNamespace(), u"urn:m");
  std::u16string literal;
  ASSERT_TRUE(h.message->GetLiteralBody(&literal));
  xml::XmlElementPtr root = MessageParser::ParseXmlFragment(literal);
  EXPECT_EQ(root->GetLocalName(), u"Body");
  EXPECT_EQ(root->GetChildCount(), 2u);
  EXPECT_EQ(h.message->GetLiteralBodyRecord()->encoding_style, xml::kSoap11EncodingNamespace);

  Harness document(11);
  document.reader->wsdl.binding_style = u"document";
  ASSERT_TRUE(document.Run(Envelope11("", "<m:Echo xmlns:m=\"urn:m\"/>")));
  EXPECT_TRUE(document.message->GetMethodName().empty());
}

// Each record stands for its own element, with that element's children in
// order and its own text, however elements open and close around it: records
// of ended elements make room for later ones, and the array attributes sit
// only on the records that carry them. The elements are those of a tree of the
// same body, read from the message's literal body.
void ExpectMirrorsTree(const Accessor& acc, const xml::XmlElement& element) {
  EXPECT_EQ(acc.local_name.str(), element.GetLocalName());
  EXPECT_EQ(acc.namespace_uri.str(), element.GetNamespaceURI());
  EXPECT_EQ(acc.text, element.GetText()) << Narrow(std::u16string(acc.local_name));
  const xml::ChildList& elements = element.GetChildList();
  ASSERT_EQ(acc.children.size(), elements.size()) << Narrow(std::u16string(acc.local_name));
  for (size_t i = 0; i < elements.size(); ++i) ExpectMirrorsTree(*acc.children[i], *elements[i]);
}

TEST(MessageParserBody, RecordsMirrorNestedElements) {
  Harness h(11);
  const std::string body =
      "<m:Echo xmlns:m=\"urn:m\">"
      "<a><b><c>deep</c></b><d>1</d><e/><f><g>2</g><h>3</h><i>4</i><j>5</j><k>6</k></f></a>"
      "<list SOAP-ENC:arrayType=\"xsd:int[2]\"><item>7</item><item>8</item></list>"
      "<z>last</z></m:Echo>";
  ASSERT_TRUE(h.Run(Envelope11("", body))) << Narrow(h.FaultText());
  const Accessor* wrapper = h.message->GetRequestParser().GetWrapper();
  ASSERT_NE(wrapper, nullptr);
  std::u16string literal;
  ASSERT_TRUE(h.message->GetLiteralBody(&literal));
  xml::XmlElementPtr tree = MessageParser::ParseXmlFragment(literal);
  ASSERT_EQ(tree->GetChildCount(), 1u);
  ExpectMirrorsTree(*wrapper, *tree->GetChildList()[0]);
  ASSERT_EQ(wrapper->children.size(), 3u);
  const Accessor& list = *wrapper->children[1];
  EXPECT_TRUE(list.has_array_shape);
  EXPECT_EQ(list.Array().dims, std::vector<int32_t>{2});
  EXPECT_EQ(list.Array().item_type_name, u"int");
  EXPECT_TRUE(wrapper->children[0]->Array().dims.empty());
  EXPECT_EQ(wrapper->children[0]->Array().declared_count, -1);
}

// The body's text is written when asked for; a later parse by the same
// parser, even one that fails, leaves the earlier body as it was.
TEST(MessageParserBody, LiteralBodyOutlivesTheNextParse) {
  Harness h(11);
  ASSERT_TRUE(h.Run(Envelope11("", "<m:First xmlns:m=\"urn:m\"><a>1</a></m:First>")));
  const std::string bad_header = "<h:B xmlns:h=\"urn:h\" SOAP-ENV:mustUnderstand=\"maybe\"/>";
  EXPECT_FALSE(h.Run(Envelope11(bad_header, "<m:Second xmlns:m=\"urn:m\"/>")));
  std::u16string literal;
  ASSERT_TRUE(h.message->GetLiteralBody(&literal));
  EXPECT_NE(literal.find(u"First"), std::u16string::npos);
  EXPECT_EQ(literal.find(u"Second"), std::u16string::npos);

  // A parse of the other phase replaces it.
  ASSERT_TRUE(h.Run(Envelope11("", "<m:Third xmlns:m=\"urn:m\"/>")));
  ASSERT_TRUE(h.Run(Envelope11("", "<m:ThirdResponse xmlns:m=\"urn:m\"/>"), false));
  ASSERT_TRUE(h.message->GetLiteralBody(&literal));
  EXPECT_NE(literal.find(u"ThirdResponse"), std::u16string::npos);
}

TEST(MessageParserResponse, FaultsOfBothVersionsAreCopied) {
  {
    Harness h(11);
    const std::string fault =
        "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode>"
        "<faultstring>it  broke</faultstring><faultactor>urn:actor</faultactor>"
        "<detail><t:Info>7</t:Info></detail></SOAP-ENV:Fault>";
    h.message->SetMethodName(u"Op");
    h.reader->wsdl.fault_detail_types[Key({u"Op", u"Info", u"urn:t"})] = {
        u"int", std::u16string(xml::kXmlSchemaNamespace)};
    ASSERT_TRUE(h.Run(Envelope11("", fault), false)) << Narrow(h.FaultText());
    EXPECT_TRUE(h.message->IsFault());
    EXPECT_FALSE(h.message->WritesFaultBody());
    EXPECT_EQ(h.message->GetFaultCode(), u"Server");
    EXPECT_EQ(h.message->GetFaultCodeNamespace(), xml::kSoap11EnvelopeNamespace);
    EXPECT_EQ(h.message->GetFaultString(), u"it  broke");
    EXPECT_EQ(h.message->GetFaultNode(), u"urn:actor");
    Variant info;
    ASSERT_TRUE(h.message->FindFaultDetail(u"urn:t", u"Info", &info));
    EXPECT_EQ(info.vt, VT_I4);
    EXPECT_EQ(info.lVal, 7);
  }
  {
    Harness h(12);
    const std::string fault =
        "<env:Fault><env:Code><env:Value>env:Sender</env:Value>"
        "<env:Subcode><env:Value>t:Bad</env:Value><env:Subcode><env:Value>t:Deeper</env:Value>"
        "</env:Subcode></env:Subcode></env:Code>"
        "<env:Reason><env:Text xml:lang=\"en\">no</env:Text><env:Text "
        "xml:lang=\"de\">nein</env:Text>"
        "<env:Text xml:lang=\"en\">no again</env:Text></env:Reason>"
        "<env:Node>urn:node</env:Node></env:Fault>";
    ASSERT_TRUE(h.Run(Envelope12("", fault), false)) << Narrow(h.FaultText());
    EXPECT_EQ(h.message->GetFaultCode(), u"Sender");
    EXPECT_EQ(h.message->GetFaultSubcode(), u"Bad");
    EXPECT_EQ(h.message->GetFaultSubcodeNamespace(), u"urn:t");
    EXPECT_EQ(h.message->Reasons().size(), 2u);
    EXPECT_EQ(h.message->Reasons().at(u"en"), u"no again");
    EXPECT_EQ(h.message->GetFaultNode(), u"urn:node");
  }
}

TEST(MessageParserResponse, FaultCodesMustResolveAndDetailsMustConvert) {
  const FaultCase cases[] = {
      {"unbound fault code prefix", 11,
       Envelope11("", "<SOAP-ENV:Fault><faultcode>q:Server</faultcode></SOAP-ENV:Fault>"), false,
       u"Client", u"",
       u"Encountered undeclared namespace prefix for value of fault code element in Fault "
       u"message.",
       11},
      {"unprefixed fault code without default namespace", 11,
       Envelope11("", "<SOAP-ENV:Fault><faultcode>Server</faultcode></SOAP-ENV:Fault>"), false,
       u"Client", u"", u"Unresolvable namespace for value of fault code element in Fault message.",
       11},
      {"unbound result prefix", 12,
       Envelope12("",
                  "<m:OpResponse xmlns:m=\"urn:m\"><r:result "
                  "xmlns:r=\"http://www.w3.org/2003/05/soap-rpc\">q:ret</r:result>"
                  "</m:OpResponse>"),
       false, u"Sender", u"",
       u"Encountered undeclared namespace prefix for QName in RPC 'result' element.", 12},
  };
  RunFaultCases(cases, std::size(cases));

  Harness h(11);
  h.message->SetMethodName(u"Op");
  h.reader->wsdl.fault_detail_types[Key({u"Op", u"Info", u"urn:t"})] = {
      u"int", std::u16string(xml::kXmlSchemaNamespace)};
  const std::string fault =
      "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode>"
      "<detail><t:Info>seven</t:Info></detail></SOAP-ENV:Fault>";
  EXPECT_FALSE(h.Run(Envelope11("", fault), false));
  EXPECT_EQ(h.message->GetFaultString(), u"Failed to convert element: 'Info' in Fault detail.");
}

TEST(MessageParserResponse, ResultNamesTheReturnAccessor) {
  Harness h(12);
  const std::string body =
      "<m:OpResponse xmlns:m=\"urn:m\"><r:result xmlns:r=\"http://www.w3.org/2003/05/soap-rpc\" "
      "xmlns:p=\"urn:p\">p:ret</r:result><p:ret xmlns:p=\"urn:p\">5</p:ret></m:OpResponse>";
  ASSERT_TRUE(h.Run(Envelope12("", body), false)) << Narrow(h.FaultText());
  std::u16string ns, name;
  ASSERT_TRUE(h.message->GetResponseParser().GetResultName(&ns, &name));
  EXPECT_EQ(ns, u"urn:p");
  EXPECT_EQ(name, u"ret");
  ASSERT_EQ(h.message->GetResponseParser().GetWrapper()->children.size(), 1u);  // not a parameter

  Harness unqualified(12);
  ASSERT_TRUE(
      unqualified.Run(Envelope12("",
                                 "<m:OpResponse xmlns:m=\"urn:m\"><r:result "
                                 "xmlns:r=\"http://www.w3.org/2003/05/soap-rpc\">ret</r:result>"
                                 "<ret>5</ret></m:OpResponse>"),
                      false))
      << Narrow(unqualified.FaultText());
  ASSERT_TRUE(unqualified.message->GetResponseParser().GetResultName(&ns, &name));
  EXPECT_EQ(ns, u"");
  EXPECT_EQ(name, u"ret");
}

}  // namespace
}  // namespace message
