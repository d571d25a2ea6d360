#include "xml/xml_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "platform/text/text.h"
#include "xml/utf8.h"
#include "xml/xml_parser.h"
#include "xml/testing/tree_dump.h"

namespace xml {
namespace {

std::u16string Write(const XmlElement& e) {
  std::u16string out;
  WriteXmlElement(e, nullptr, out);
  return out;
}

std::string WriteDocument(const XmlParser& parser) {
  char* buffer = nullptr;
  const size_t n = parser.WriteXmlDocument(&buffer);
  std::string out(buffer ? buffer : "", n);
  std::free(buffer);
  return out;
}

XmlElementPtr ParseTree(std::string_view doc) {
  XmlParser parser;
  parser.ParseXmlBuffer(doc.data(), doc.size(), nullptr);
  return parser.DetachRoot();
}

TEST(XmlWriterTest, ElementForms) {
  XmlElement e(u"e", u"", u"e");
  EXPECT_EQ(Write(e), u"<e />");
  e.SetText(u"a<b\"'&>");
  e.AppendChild(std::make_unique<XmlElement>(u"c", u"", u"c"));
  e.AddAttributeNode(u"v", u"", u"x>y'\"&<");
  EXPECT_EQ(Write(e), u"<e v=\"x>y&apos;&quot;&amp;&lt;\">a&lt;b\"'&amp;&gt;<c /></e>");
}

TEST(XmlWriterTest, EscapeInPlace) {
  std::u16string t = u"&&<>\"'";
  EscapeXmlText(t);
  EXPECT_EQ(t, u"&amp;&amp;&lt;&gt;\"'");
  std::u16string a = u"&&<>\"'";
  EscapeXmlAttribute(a);
  EXPECT_EQ(a, u"&amp;&amp;&lt;>&quot;&apos;");
}

TEST(XmlWriterTest, LineEndsAndSpacingSurviveRereading) {
  XmlElement e(u"e", u"", u"e");
  e.SetText(u"a\r\nb\tc\rd");
  e.AddAttributeNode(u"v", u"", u"x\ty\nz\r");
  const std::u16string written = Write(e);
  EXPECT_EQ(written, u"<e v=\"x&#9;y&#10;z&#13;\">a&#13;\nb\tc&#13;d</e>");
  XmlParser parser;
  parser.Parse(written, nullptr);
  EXPECT_EQ(testing::DumpTree(*parser.GetRoot()), testing::DumpTree(e));
}

TEST(XmlWriterTest, ParsedTreeDeclaresNamespacesWhereTheyWereDeclared) {
  XmlElementPtr root = ParseTree(
      "<s:E xmlns:s='urn:s' xml:lang='en'><s:B><m:x xmlns:m='urn:m' xmlns='urn:d'><y/></m:x>"
      "</s:B></s:E>");
  EXPECT_EQ(Write(*root),
            u"<s:E xml:lang=\"en\" xmlns:s=\"urn:s\"><s:B><m:x xmlns=\"urn:d\" xmlns:m=\"urn:m\">"
            u"<y /></m:x></s:B></s:E>");
}

TEST(XmlWriterTest, CodeBuiltChildBindingTheParentsPrefixDeclaresOnce) {
  XmlElement e(u"p:e", u"urn:p", u"e");
  e.AddNamespace(u"p", u"urn:p");
  XmlElement* c = e.AppendChild(std::make_unique<XmlElement>(u"p:c", u"urn:p", u"c"));
  c->AddNamespace(u"p", u"urn:p");
  c->AddNamespace(u"q", u"urn:q");
  EXPECT_EQ(Write(e), u"<p:e xmlns:p=\"urn:p\"><p:c xmlns:q=\"urn:q\" /></p:e>");
}

TEST(XmlWriterTest, ChildInNoNamespaceStaysThereAfterRereading) {
  XmlElement root(u"r", u"urn:d", u"r");
  root.AddNamespace(u"", u"urn:d");
  XmlElement* mid = root.AppendChild(std::make_unique<XmlElement>(u"m", u"urn:d", u"m"));
  XmlElement* plain = mid->AppendChild(std::make_unique<XmlElement>(u"c", u"", u"c"));
  plain->AppendChild(std::make_unique<XmlElement>(u"g", u"", u"g"));
  std::u16string out = Write(root);
  EXPECT_EQ(out, u"<r xmlns=\"urn:d\"><m><c xmlns=\"\"><g /></c></m></r>");
  XmlParser parser;
  parser.Parse(out, nullptr);
  EXPECT_EQ(testing::DumpTree(*parser.GetRoot()), "{urn:d}r[]({urn:d}m[]({}c[]({}g[])))");
  // With no default in force nothing is added.
  XmlElement bare(u"r", u"", u"r");
  bare.AppendChild(std::make_unique<XmlElement>(u"c", u"", u"c"));
  EXPECT_EQ(Write(bare), u"<r><c /></r>");
}

// Trees built from qualified names alone, as the client and the generator
// build them, beside parsed and fully named trees of the same shapes.
TEST(XmlWriterTest, QualifiedNameTreesAreWrittenByteExact) {
  struct Case {
    const char* name;
    std::function<XmlElementPtr()> build;
    std::u16string_view expected;
  };
  auto element = [](std::u16string_view qname) {
    return std::make_unique<XmlElement>(std::u16string(qname));
  };
  const Case cases[] = {
      {"empty element closes right after its last attribute",
       [&] {
         auto e = element(u"e");
         e->AddAttribute(u"a", u"1");
         return e;
       },
       u"<e a=\"1\" />"},
      {"attributes sorted, then declarations",
       [&] {
         auto e = element(u"p:e");
         e->AddAttribute(u"b", u"1");
         e->AddAttribute(u"a", u"2");
         e->AddNamespace(u"p", u"urn:p");
         return e;
       },
       u"<p:e a=\"2\" b=\"1\" xmlns:p=\"urn:p\" />"},
      {"a child omits its parent's declaration, a grandchild repeats its grandparent's",
       [&] {
         auto e = element(u"p:e");
         e->AddNamespace(u"p", u"urn:p");
         XmlElement* c = e->AppendChild(element(u"p:c"));
         c->AddNamespace(u"p", u"urn:p");
         XmlElement* m = e->AppendChild(element(u"m"));
         m->AppendChild(element(u"p:g"))->AddNamespace(u"p", u"urn:p");
         return e;
       },
       u"<p:e xmlns:p=\"urn:p\"><p:c /><m><p:g xmlns:p=\"urn:p\" /></m></p:e>"},
      {"adding a present attribute keeps the first value",
       [&] {
         auto e = element(u"e");
         e->AddAttribute(u"a", u"first");
         EXPECT_FALSE(e->AddAttribute(u"a", u"second"));
         return e;
       },
       u"<e a=\"first\" />"},
      {"putting a present attribute replaces it",
       [&] {
         auto e = element(u"e");
         e->AddAttribute(u"a", u"first");
         e->PutAttribute(u"a", u"second");
         e->PutAttribute(u"b", u"new");
         return e;
       },
       u"<e a=\"second\" b=\"new\" />"},
      {"> kept in attributes, quotes kept in text",
       [&] {
         auto e = element(u"e");
         e->AddAttribute(u"a", u"x>y");
         e->SetText(u"'\"");
         return e;
       },
       u"<e a=\"x>y\">'\"</e>"},
      {"unprefixed child by qualified name under a default namespace",
       [&] {
         auto e = element(u"r");
         e->AddNamespace(u"", u"urn:d");
         e->AppendChild(element(u"c"));
         return e;
       },
       u"<r xmlns=\"urn:d\"><c /></r>"},
      {"the same shape parsed",
       [] { return ParseTree("<r xmlns='urn:d'><c xmlns=''/></r>"); },
       u"<r xmlns=\"urn:d\"><c xmlns=\"\" /></r>"},
      {"the same shape with all three names",
       [] {
         auto e = std::make_unique<XmlElement>(u"r", u"urn:d", u"r");
         e->AddNamespace(u"", u"urn:d");
         e->AppendChild(std::make_unique<XmlElement>(u"c", u"", u"c"));
         return e;
       },
       u"<r xmlns=\"urn:d\"><c xmlns=\"\" /></r>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    XmlElementPtr tree = c.build();
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(Write(*tree), c.expected);
    EXPECT_EQ(Bstr::Adopt(SerializeElementToBSTR(*tree)).View(), c.expected);
  }
}

// Written alone, a child declares what its parent declared for it.
TEST(XmlWriterTest, SerializeElementToBstrWritesWithNoParent) {
  XmlElement parent(u"p:e");
  parent.AddNamespace(u"p", u"urn:p");
  XmlElement* child = parent.AppendChild(std::make_unique<XmlElement>(u"p:c"));
  child->AddNamespace(u"p", u"urn:p");
  child->SetText(u"a\u00e9");
  const Bstr written = Bstr::Adopt(SerializeElementToBSTR(*child));
  EXPECT_EQ(written.View(), u"<p:c xmlns:p=\"urn:p\">a\u00e9</p:c>");
  EXPECT_EQ(SysStringLen(written.Get()), written.View().size());
}

// The streaming writers' UTF-8 text: what escaping the UTF-16 text and then
// converting it all at once gives, for every form of character, at any split
// of the text into appends.
TEST(XmlWriterTest, Utf8BufferMatchesEscapingThenConverting) {
  const std::u16string cases[] = {
      u"",
      u"plain",
      u"&<>\"'\r\n\t",
      u"\u00e9\u07ff\u0800\uffff",
      u"pair \U0001D11E end",
      std::u16string(u"lone high \xD800 ") + u"and low \xDC00",
      std::u16string(u"high at the end \xD834"),
      std::u16string(u"high then text \xD834x"),
      std::u16string(400, u'<'),  // references larger than the room kept for the text
  };
  for (bool attribute : {false, true}) {
    for (const std::u16string& text : cases) {
      SCOPED_TRACE(text::Narrow(text));
      std::u16string escaped = text;
      if (attribute) {
        EscapeXmlAttribute(escaped);
      } else {
        EscapeXmlText(escaped);
      }
      char* reference = nullptr;
      const size_t n = WideToUtf8Buffer(escaped.data(), escaped.size(), &reference);
      const std::string expected(reference ? reference : "", n);
      std::free(reference);
      for (size_t split : {size_t{0}, text.size() / 2, text.size()}) {
        Utf8Buffer buffer;
        buffer.AppendEscaped(std::u16string_view(text).substr(0, split), attribute);
        buffer.AppendEscaped(std::u16string_view(text).substr(split), attribute);
        size_t length = 0;
        char* bytes = buffer.Release(&length);
        const std::string got(bytes ? bytes : "", length);
        std::free(bytes);
        // A pair split between two appends is two lone surrogates, as in any
        // conversion of the pieces apart.
        const bool splits_pair = split > 0 && split < text.size() &&
                                 text[split - 1] >= 0xD800 && text[split - 1] <= 0xDBFF;
        if (!splits_pair) {
          EXPECT_EQ(got, expected) << split;
        }
        EXPECT_EQ(bytes == nullptr, expected.empty());
      }
      Utf8Buffer wide;
      wide.AppendWide(escaped);
      size_t length = 0;
      char* bytes = wide.Release(&length);
      EXPECT_EQ(std::string(bytes ? bytes : "", length), expected);
      std::free(bytes);
    }
  }
}

TEST(XmlWriterTest, DocumentIsUtf8WithDeclaration) {
  XmlParser parser;
  EXPECT_EQ(WriteDocument(parser), "");
  auto root = std::make_unique<XmlElement>(u"a", u"", u"a");
  root->SetText(std::u16string(u"\u00E9\U0001F600") + char16_t(0xD800));
  parser.SetRoot(std::move(root));
  EXPECT_EQ(WriteDocument(parser),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xC3\xA9\xF0\x9F\x98\x80\xED\xA0\x80</a>");
}

TEST(XmlWriterTest, RoundTripKeepsTheTree) {
  const std::string_view docs[] = {
      "<?xml version='1.0'?>\n<!-- c --><s:Envelope xmlns:s='urn:s' xmlns:x='urn:x' "
      "xmlns='urn:d'>\n <s:Body s:enc='&lt;&amp;&quot;&apos;>' plain='a\tb&#10;c'>"
      "<op x:a='1' b='2'>text &amp; more<![CDATA[ <cdata> ]]><x:in xmlns='' xmlns:x='urn:y'>"
      "\xF0\x9F\x98\x80]]&gt;\r\n<deep xmlns:z='urn:z'><z:leaf z:k='v'/></deep></x:in></op>"
      "</s:Body></s:Envelope>",
      // "xml" bound elsewhere, and back again below: only the implied binding is left out.
      "<a xmlns:xml='urn:x' xml:b='1'><c xmlns:xml='http://www.w3.org/XML/1998/namespace' "
      "xml:d='2'/></a>",
  };
  for (std::string_view doc : docs) {
    XmlParser parser;
    parser.ParseXmlBuffer(doc.data(), doc.size(), nullptr);
    const std::string first = testing::DumpTree(*parser.GetRoot());
    const std::string written = WriteDocument(parser);
    XmlParser again;
    again.ParseXmlBuffer(written.data(), written.size(), nullptr);
    EXPECT_EQ(testing::DumpTree(*again.GetRoot()), first) << written;
    EXPECT_EQ(WriteDocument(again), written);
  }
}

}  // namespace
}  // namespace xml
