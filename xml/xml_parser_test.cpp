#include "xml/xml_parser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"
#include "xml/testing/tree_dump.h"
#include "xml/xml_writer.h"

namespace xml {
namespace {

using testing::DumpTree;

// Parses UTF-8 bytes; returns the thrown line, or 0 on success.
int ParseLine(XmlParser& parser, std::string_view doc, XmlContentHandler* handler = nullptr) {
  try {
    parser.ParseXmlBuffer(doc.data(), doc.size(), handler);
    return 0;
  } catch (int line) {
    EXPECT_EQ(parser.GetRoot(), nullptr) << "a failed parse keeps no tree";
    return line;
  }
}

int ParseLine(std::string_view doc) {
  XmlParser parser;
  return ParseLine(parser, doc);
}

std::string ParseDump(std::string_view doc) {
  XmlParser parser;
  const int line = ParseLine(parser, doc);
  if (line != 0) return "error at line " + std::to_string(line);
  return DumpTree(*parser.GetRoot());
}

// Parses with `parser` and dumps its tree, or the error line.
std::string ParseDumpAfter(XmlParser& parser, std::string_view doc) {
  const int line = ParseLine(parser, doc);
  if (line != 0) return "error at line " + std::to_string(line);
  return DumpTree(*parser.GetRoot());
}

std::string Utf16Bytes(std::u16string_view text, bool big_endian) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t c : text) {
    const char hi = char(c >> 8), lo = char(c & 0xFF);
    out += big_endian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

constexpr std::string_view kEnvelope =
    "<?xml version=\"1.0\"?>\n"
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns=\"urn:d\">\n"
    " <s:Body><m:Echo xmlns:m=\"urn:m\" m:id=\"7\" plain='q&quot;'>caf\xC3\xA9 &lt;&#x41;&#66;"
    "<![CDATA[<raw>]]></m:Echo><item/></s:Body>\n"
    "</s:Envelope>";

TEST(XmlParserTest, EncodingsGiveTheSameTree) {
  const std::string expected = ParseDump(kEnvelope);
  ASSERT_EQ(expected.rfind("{http://schemas.xmlsoap.org/soap/envelope/}Envelope", 0), 0u)
      << expected;
  std::u16string wide = text::Widen(kEnvelope);
  std::string le = Utf16Bytes(wide, false);
  // A buffer at an odd address cannot be read in place; both must parse alike.
  std::string unaligned = " " + le;
  const std::vector<std::pair<const char*, std::string>> inputs = {
      {"utf-8 with mark", "\xEF\xBB\xBF" + std::string(kEnvelope)},
      {"utf-16be", Utf16Bytes(wide, true)},
      {"utf-16le", le},
  };
  for (const auto& [name, bytes] : inputs) {
    EXPECT_EQ(ParseDump(bytes), expected) << name;
  }
  XmlParser parser;
  ASSERT_EQ(ParseLine(parser, std::string_view(unaligned).substr(1)), 0);
  EXPECT_EQ(DumpTree(*parser.GetRoot()), expected);
  parser.Parse(wide, nullptr);
  EXPECT_EQ(DumpTree(*parser.GetRoot()), expected);
}

// Bytes handed over are parsed as ParseXmlBuffer reads them, errors and
// their lines included, and are not kept.
TEST(XmlParserTest, BytesHandedOverParseAsTheBufferDoes) {
  const std::u16string wide = text::Widen(kEnvelope);
  const std::string broken = "<a>\n<b>\n</a>";
  const std::vector<std::pair<const char*, std::string>> inputs = {
      {"utf-8", std::string(kEnvelope)},
      {"utf-8 with mark", "\xEF\xBB\xBF" + std::string(kEnvelope)},
      {"utf-16be", Utf16Bytes(wide, true)},
      {"utf-16le", Utf16Bytes(wide, false)},
      {"utf-16le, broken", Utf16Bytes(text::Widen(broken), false)},
      {"utf-8, broken", broken},
      {"empty", ""},
  };
  for (const auto& [name, bytes] : inputs) {
    XmlParser parser;
    std::string handed = bytes;
    std::string got;
    try {
      parser.ParseXmlBytes(std::move(handed), nullptr);
      got = DumpTree(*parser.GetRoot());
    } catch (int line) {
      EXPECT_EQ(parser.GetRoot(), nullptr) << name;
      got = "error at line " + std::to_string(line);
    }
    EXPECT_EQ(got, ParseDump(bytes)) << name;
    EXPECT_TRUE(handed.empty()) << name;
  }
}

TEST(XmlParserTest, ResolvesNamesTextAndReferences) {
  EXPECT_EQ(ParseDump(kEnvelope),
            "{http://schemas.xmlsoap.org/soap/envelope/}Envelope[\n \n]"
            "({http://schemas.xmlsoap.org/soap/envelope/}Body[]"
            "({urn:m}Echo {}plain=q\" {urn:m}id=7[caf\xC3\xA9 <AB<raw>])({urn:d}item[]))");
}

TEST(XmlParserTest, BstrIsParsedOverItsWholeLength) {
  XmlParser parser;
  const Bstr envelope(text::Widen(kEnvelope));
  parser.ParseBstr(envelope.Get(), nullptr);
  ASSERT_NE(parser.GetRoot(), nullptr);
  EXPECT_EQ(DumpTree(*parser.GetRoot()), ParseDump(kEnvelope));

  // A NUL inside the length is a character like any other, and XML refuses it.
  const Bstr with_nul(std::u16string(u"<r>a\0b</r>", 10));
  EXPECT_THROW(parser.ParseBstr(with_nul.Get(), nullptr), int);
  EXPECT_EQ(parser.GetRoot(), nullptr);
  EXPECT_THROW(parser.ParseBstr(nullptr, nullptr), int);
}

TEST(XmlParserTest, ShortAndEmptyInputsFailAtLineOne) {
  for (std::string_view doc : {std::string_view(""), std::string_view("\xFF", 1),
                               std::string_view("\xFF\xFE", 2), std::string_view("\xFE\xFF", 2),
                               std::string_view("\xEF\xBB", 2), std::string_view("\xEF\xBB\xBF"),
                               std::string_view("<?xml version='1.0'?><!-- only a prolog -->")}) {
    EXPECT_EQ(ParseLine(doc), 1) << ::testing::PrintToString(doc);
  }
}

struct LineCase {
  std::string_view doc;
  int line;  // 0: parses
};

TEST(XmlParserTest, ReportsTrueLineNumbers) {
  using namespace std::literals;
  const LineCase cases[] = {
      // Only spacing, comments and processing instructions follow the root.
      {"<a/>trailing text <is refused"sv, 1},
      {"<r/>junk"sv, 1},
      {"<r/><r/>"sv, 1},
      {"<r/>\n\n&amp;"sv, 3},
      {"<r/>\n]]>"sv, 2},
      {"<r/>\n<!DOCTYPE r>"sv, 2},
      {"<r/> \n<!-- after -->\r\n<?pi data?>\t\n"sv, 0},
      {"<definitions\n xmlns='urn:x'\n>\n<b/></definitions>"sv, 0},
      {"<a>\n</a\n>"sv, 0},
      {"<a\n\n b='1'\n c>"sv, 4},         // attribute without '=' on line 4
      {"<a>\n</a\n\n"sv, 4},              // end of input after a line feed inside the end tag
      {"<a>\n<b>\n</a>"sv, 3},            // mismatched end tag
      {"\n\n<a x='1' x='2'/>"sv, 3},      // repeated attribute
      {"<a>\n\n]]>\n</a>"sv, 3},          // "]]>" in character data
      {"<a>\n&bogus;</a>"sv, 2},          // unknown entity
      {"<a\n/>\n<"sv, 3},                 // markup left open after the root
      {"<a>\n<!-- a -- b -->\n</a>"sv, 2},  // "--" inside a comment
      {"<a>\n<![CDATA[\f]]></a>"sv, 2},   // form feed in CDATA
      {"<a>\n<b/>\n"sv, 3},               // end of input inside content
      {"<a>\n<b/>\n<c>\0</c></a>"sv, 3},  // a NUL unit
  };
  for (const LineCase& c : cases) EXPECT_EQ(ParseLine(c.doc), c.line) << c.doc;
}

TEST(XmlParserTest, CharacterReferences) {
  struct Case {
    const char* doc;
    std::u16string text;  // empty: a parse error
  } cases[] = {
      {"<a>&#65;&#x41;&#x0041;</a>", u"AAA"},
      {"<a>&#x1F600;</a>", u"\U0001F600"},
      {"<a>&#128512;&#x10FFFF;</a>", u"\U0001F600\U0010FFFF"},
      {"<a>&lt;&gt;&amp;&apos;&quot;</a>", u"<>&'\""},
      {"<a>&#X41;</a>", u""},            // upper-case X is not hexadecimal
      {"<a>&#0;</a>", u""},
      {"<a>&#x0;</a>", u""},
      {"<a>&#xD800;</a>", u""},
      {"<a>&#xDFFF;</a>", u""},
      {"<a>&#x110000;</a>", u""},
      {"<a>&#65601;x</a>", u"\U00010041x"},
      {"<a>&#4294967361;</a>", u""},     // 2^32 + 65 must not wrap to 'A'
      {"<a>&#xFFFFFFFF41;</a>", u""},
      {"<a>&#;</a>", u""},
      {"<a>&#65</a>", u""},
      {"<a>&lt</a>", u""},
      {"<a>&nbsp;</a>", u""},
      {"<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;</a>", u""},  // declared entities stay unknown
  };
  for (const Case& c : cases) {
    XmlParser parser;
    const int line = ParseLine(parser, c.doc);
    if (c.text.empty()) {
      EXPECT_EQ(line, 1) << c.doc;
    } else {
      ASSERT_EQ(line, 0) << c.doc;
      EXPECT_EQ(parser.GetRoot()->GetText(), c.text) << c.doc;
    }
  }
}

// What a conformant reader makes of each document: its tree, or a parse
// error at the line where the document stops being XML.
TEST(XmlParserTest, ConformanceWhereReadersMustAgree) {
  using namespace std::literals;
  const std::string kLine1 = "error at line 1";
  const struct {
    const char* what;
    std::string doc;
    std::string expected;
  } cases[] = {
      // The DOCTYPE ends at the '>' after its internal subset, whatever the
      // subset's literals, comments and PIs hold.
      {"markup hidden in a DOCTYPE comment",
       "<!DOCTYPE e [<!-- > <s:Envelope xmlns:s='urn:s'><s:Body><m:deleteAll xmlns:m='urn:m'/>"
       "</s:Body></s:Envelope> -->]>\n<s:Envelope xmlns:s='urn:s'><s:Body>"
       "<m:getStatus xmlns:m='urn:m'/></s:Body></s:Envelope>"s,
       "{urn:s}Envelope[]({urn:s}Body[]({urn:m}getStatus[]))"},
      {"'>' in an entity value", "<!DOCTYPE a [<!ENTITY e \"x>y\"><!ENTITY f 'p]>q'>]><a/>"s,
       "{}a[]"},
      {"PI in the subset", "<!DOCTYPE a [<?pi ]> ?>]><a/>"s, "{}a[]"},
      {"'>' and '[' in external identifiers", "<!DOCTYPE a PUBLIC '-//x>//' \"u[1]>\"><a/>"s,
       "{}a[]"},
      {"attribute default, parameter entity",
       "<!DOCTYPE a [<!ATTLIST a b CDATA \"]>\"> <!ENTITY % p 'x'> %p;\n]>\n<a/>"s, "{}a[]"},
      {"literal left open", "<!DOCTYPE a [<!ENTITY e \"x>]><a/>"s, kLine1},
      {"text in the subset", "<!DOCTYPE a [ junk ]><a/>"s, kLine1},
      {"no '>' after the subset", "<!DOCTYPE a [] <a/>"s, kLine1},
      {"unclosed comment in the subset", "<!DOCTYPE a [<!-- ]><a/> -- ]><a/>"s, kLine1},
      {"control character in the subset", "<!DOCTYPE a [\n<!ENTITY e 'v'>\n\x01]><a/>"s,
       "error at line 3"},
      // Line ends: CR LF and a lone CR read as LF and count as one line each.
      {"CRLF envelope",
       "<s:Envelope xmlns:s='urn:s'>\r\n<s:Body>\r\n<m:echo xmlns:m='urn:m' v='1\r\n2'>"
       "line1\r\nline2\rline3</m:echo>\r\n</s:Body>\r\n</s:Envelope>\r\n"s,
       "{urn:s}Envelope[\n\n]({urn:s}Body[\n\n]({urn:m}echo {}v=1\n2[line1\nline2\nline3]))"},
      {"CR LF in CDATA", "<a><![CDATA[x\r\ny\rz\r]]></a>"s, "{}a[x\ny\nz\n]"},
      {"references are no line ends", "<a b='&#13;&#10;&#9;'>x&#13;&#10;y&#xD;</a>"s,
       "{}a {}b=\r\n\t[x\r\ny\r]"},
      {"error after CR LF lines", "<a>\r\n\r\n<b></a>"s, "error at line 3"},
      {"error after lone CRs", "<a>\r\r\r</b>"s, "error at line 4"},
      {"error after CR LF in a tag", "<a\r\n b='1'\r\n c>"s, "error at line 3"},
      {"CR at the end of input", "<a>\r"s, "error at line 2"},
      // Only characters of XML, raw or by reference, at their true line.
      {"C0 control in text", "<a>\n\n\x0E</a>"s, "error at line 3"},
      {"C0 control in an attribute", "<a b='\x08'/>"s, kLine1},
      {"C0 control in a comment", "<!--\x0B--><a/>"s, kLine1},
      {"C0 control in a PI", "<a><?pi \x1F?></a>"s, kLine1},
      {"C0 control after a long run", "<a>" + std::string(100, 'x') + "\x1B</a>", kLine1},
      {"form feed as spacing in a tag", "<a\x0C b='1'/>"s, kLine1},
      {"U+FFFE in text", "<a>\xEF\xBF\xBE</a>"s, kLine1},
      {"U+FFFF in an attribute", "<a b='\xEF\xBF\xBF'/>"s, kLine1},
      {"reference to U+0001", "<a>&#1;</a>"s, kLine1},
      {"reference to U+001F", "<a b='&#x1F;'/>"s, kLine1},
      {"reference to U+FFFE", "<a>&#xFFFE;</a>"s, kLine1},
      {"reference to U+FFFF", "<a>&#65535;</a>"s, kLine1},
      {"UTF-8 lone high surrogate", "<a>\n\xED\xA0\xBD</a>"s, "error at line 2"},
      {"UTF-8 lone low surrogate", "<a b='\xED\xB8\x80'/>"s, kLine1},
      {"UTF-8 surrogates in the wrong order", "<a>\xED\xB8\x80\xED\xA0\xBD</a>"s, kLine1},
      {"UTF-8 lone surrogate in CDATA", "<a><![CDATA[\xED\xA0\xBD]]></a>"s, kLine1},
      {"characters XML admits",
       "<a b='\xEF\xBF\xBD'>\xC2\x85\x7F\xEE\x80\x80\xEF\xBF\xBD&#xE000;&#xFFFD;&#x10000;</a>"s,
       "{}a {}b=\xEF\xBF\xBD[\xC2\x85\x7F\xEE\x80\x80\xEF\xBF\xBD\xEE\x80\x80\xEF\xBF\xBD"
       "\xF0\x90\x80\x80]"},
      {"name character U+10000", "<\xF0\x90\x80\x80 a\xF3\xAF\xBF\xBD='1'/>"s,
       "{}\xF0\x90\x80\x80 {}a\xF3\xAF\xBF\xBD=1[]"},
      {"name character in plane 15", "<a\xF3\xB0\x80\x80/>"s, kLine1},
      {"name character in plane 16", "<a b\xF4\x80\x80\x80='1'/>"s, kLine1},
      {"name of a lone surrogate", "<a\xED\xA0\x80/>"s, kLine1},
      // Qualified names: the local part must be a name of its own.
      {"empty local part of an element", "<p:/>"s, kLine1},
      {"empty local part with the prefix bound", "<p: xmlns:p='urn:p'/>"s, kLine1},
      {"empty local part of an attribute", "<a xmlns:p='urn:p' p:=''/>"s, kLine1},
      {"local part starting with a digit", "<p:1a xmlns:p='urn:p'/>"s, kLine1},
      {"local part starting with '-'", "<p:-x xmlns:p='urn:p'/>"s, kLine1},
      {"local part starting with '.'", "<a xmlns:p='urn:p' p:.x='1'/>"s, kLine1},
      {"local part starting with a combining mark", "<p:\xCC\x80 xmlns:p='urn:p'/>"s, kLine1},
      {"prefix declared that no name can use", "<a xmlns:-p='urn:p'/>"s, kLine1},
      {"combining mark inside a local part", "<p:a\xCC\x80 xmlns:p='urn:p'/>"s,
       "{urn:p}a\xCC\x80[]"},
      {"empty prefix stays part of the local name", "<:a/>"s, "{}:a[]"},
  };
  for (const auto& c : cases) {
    XmlParser parser;
    const int line = ParseLine(parser, c.doc);
    const std::string got =
        line ? "error at line " + std::to_string(line) : DumpTree(*parser.GetRoot());
    EXPECT_EQ(got, c.expected) << c.what;
    if (line == 0) {
      EXPECT_EQ(parser.HadDoctype(), c.doc.starts_with("<!DOCTYPE")) << c.what;
    }
  }
}

TEST(XmlParserTest, Utf16LoneSurrogatesAreRefused) {
  const std::u16string lone_high(1, char16_t(0xD800)), lone_low(1, char16_t(0xDC00));
  const std::u16string docs[] = {
      u"<a>\n" + lone_high + u"</a>",
      u"<a>\n" + lone_low + u"x</a>",
      u"<a>\n" + lone_high + lone_high + lone_low + u"</a>",
      u"<a\nb='" + lone_low + u"'/>",
      u"<a>\n<!--" + lone_high + u"--></a>",
      u"<a\n" + lone_high + u"='1'/>",
      u"<a>\n" + std::u16string(40, u'x') + lone_high,  // the end of input right after
  };
  for (const std::u16string& doc : docs) {
    XmlParser parser;
    int line = 0;
    try {
      parser.Parse(doc, nullptr);
    } catch (int thrown) {
      line = thrown;
    }
    EXPECT_EQ(line, 2) << text::Narrow(doc);
  }
  XmlParser parser;
  parser.Parse(u"<a>" + lone_high + lone_low + u"</a>", nullptr);
  EXPECT_EQ(parser.GetRoot()->GetText(), lone_high + lone_low);
}

TEST(XmlParserTest, Utf8SupplementaryCharactersAndMalformedBytes) {
  XmlParser parser;
  ASSERT_EQ(
      ParseLine(parser, "<a b='\xF0\x9F\x98\x80'>\xF0\x90\x80\xBC\xED\xA0\xBD\xED\xB8\x80</a>"), 0);
  EXPECT_EQ(parser.GetRoot()->GetAttributes().begin()->second->GetValue(), u"\U0001F600");
  // U+1003C is a character of its own, never a '<'; a pair written as two
  // three-byte surrogates is accepted.
  EXPECT_EQ(parser.GetRoot()->GetText(), u"\U0001003C\U0001F600");
  // Input is cut at the first bad sequence, so these fail instead of smuggling markup.
  for (std::string_view doc : {"<a>\xF8\x88\x80\x80\xBC/a>", "<a>\xF0\x90\x80\x80</a\xC0\x80",
                               "<a>\xF4\x90\x80\x80</a>", "<a>\x80</a>"}) {
    EXPECT_EQ(ParseLine(doc), 1) << ::testing::PrintToString(doc);
  }
}

TEST(XmlParserTest, NamespaceScoping) {
  EXPECT_EQ(ParseDump("<a xmlns='urn:1' xmlns:p='urn:p'><p:b xmlns:p='urn:q'><c/></p:b>"
                      "<p:d xmlns=''><e p:x='1' y='2'/></p:d></a>"),
            "{urn:1}a[]({urn:q}b[]({urn:1}c[]))({urn:p}d[]({}e {}y=2 {urn:p}x=1[]))");
  EXPECT_EQ(ParseDump("<a xml:lang='en'/>"), "{}a {" + text::Narrow(kXmlNamespace) + "}lang=en[]");
  // {urn:ab}c and {urn:a}bc are different names even though the joined strings match.
  EXPECT_EQ(ParseDump("<a xmlns:x='urn:ab' xmlns:y='urn:a' x:c='1' y:bc='2'/>"),
            "{}a {urn:a}bc=2 {urn:ab}c=1[]");
  const char* failing[] = {
      "<p:a/>",                                          // undeclared element prefix
      "<a q:b='1'/>",                                    // undeclared attribute prefix
      "<p:a:b xmlns:p='urn:p'/>",                        // two colons
      "<a xmlns:p='urn:p' p:b:c='1'/>",
      "<a xmlns:p='urn:x' xmlns:q='urn:x' p:b='1' q:b='2'/>",  // same expanded name
      "<a xmlns:p=''/>",                                 // a prefix cannot be unbound
      "<a xmlns:='urn:x'/>",
      "<a :b='1'/>",
  };
  for (const char* doc : failing) EXPECT_EQ(ParseLine(doc), 1) << doc;
}

TEST(XmlParserTest, ScopeHoldsInheritedBindings) {
  XmlParser parser;
  ASSERT_EQ(ParseLine(parser, "<a xmlns:p='urn:p'><b xmlns:q='urn:q'><c/></b></a>"), 0);
  const XmlElement& c = *parser.GetRoot()->GetChildList()[0]->GetChildList()[0];
  NamespaceMap expected{{u"p", u"urn:p"}, {u"q", u"urn:q"}, {u"xml", std::u16string(kXmlNamespace)}};
  EXPECT_EQ(c.GetNamespaceScope(), expected);
}

TEST(XmlParserTest, RepeatedRawAttributeNamesFailOnLongTagsToo) {
  for (int count : {2, 40}) {
    std::string doc = "<a";
    for (int i = 0; i < count; ++i) doc += " n" + std::to_string(i) + "='v'";
    EXPECT_EQ(ParseLine(doc + "/>"), 0);
    EXPECT_EQ(ParseLine(doc + " n" + std::to_string(count - 1) + "='w'/>"), 1) << count;
  }
}

TEST(XmlParserTest, AHugeTagLeavesNoHugeDuplicateSetForLaterTags) {
  // Emptying the set would keep its buckets, and every later long tag would
  // pay for walking them; a fresh set sized by the current tag is required.
  struct BucketsAtEachTag : XmlContentHandler {
    XmlParser* parser = nullptr;
    std::vector<size_t> buckets;
    void StartElement(std::u16string_view, std::u16string_view, std::u16string_view,
                      const AttributeMap&, XmlElement&) override {
      buckets.push_back(parser->DuplicateSetBucketCountForTest());
    }
  } handler;
  auto tag = [](int attributes) {
    std::string t = "<x";
    for (int i = 0; i < attributes; ++i) t += " a" + std::to_string(i) + "=''";
    return t + "/>";
  };
  XmlParser parser;
  handler.parser = &parser;
  ASSERT_EQ(ParseLine(parser, "<r>" + tag(20000) + tag(20) + "</r>", &handler), 0);
  ASSERT_EQ(handler.buckets.size(), 3u);
  EXPECT_GE(handler.buckets[1], 20000u);  // the big tag did use the set
  EXPECT_LT(handler.buckets[2], 1000u);
}

TEST(XmlParserTest, NodesShareOneCopyOfEachUriAndName) {
  const std::string uri(kMaxNamespaceUriLength, 'u');
  std::string doc = "<r xmlns='" + uri + "' xmlns:p='urn:p'>";
  for (int i = 0; i < 100; ++i) doc += "<b a='1' p:c='2'/><p:d xmlns:q='urn:q'/>";
  XmlParser parser;
  ASSERT_EQ(ParseLine(parser, doc + "</r>"), 0);
  const XmlElement& root = *parser.GetRoot();
  const std::u16string* default_uri = &root.GetDefaultNamespace();
  const std::u16string* p_uri = root.LookupNamespace(u"p");
  const XmlElement& first_b = *root.GetChildList()[0];
  for (const XmlElementPtr& child : root.GetChildList()) {
    EXPECT_EQ(&child->GetDefaultNamespace(), default_uri);
    EXPECT_EQ(child->LookupNamespace(u"p"), p_uri);
    if (child->GetLocalName() == u"b") {
      EXPECT_EQ(&child->GetNamespaceURI(), default_uri);
      EXPECT_EQ(&child->GetLocalName(), &first_b.GetLocalName());
      const XmlAttribute* a = child->GetAttributeNode(u"", u"a");
      const XmlAttribute* c = child->GetAttributeNode(u"urn:p", u"c");
      ASSERT_TRUE(a && c);
      EXPECT_EQ(&a->GetElementNamespace(), default_uri);
      EXPECT_EQ(&a->GetElementName(), &first_b.GetLocalName());
      EXPECT_EQ(&c->GetNamespaceURI(), p_uri);
    } else {
      EXPECT_EQ(&child->GetNamespaceURI(), p_uri);
      EXPECT_FALSE(child->SharesScopeWith(root));
    }
  }
}

// Scopes are chained, not copied; a chain never grows past a fixed length,
// so looking a prefix up stays cheap under any nesting.
TEST(XmlParserTest, DeepDeclaringElementsKeepScopeChainsShort) {
  std::string doc = "<p:r xmlns:p='urn:p'>";
  const int depth = kMaxNestingDepth - 2;
  for (int i = 0; i < depth; ++i) doc += "<q:e xmlns:q='urn:" + std::to_string(i) + "'>";
  doc += "<p:a xmlns:z='urn:z'/><p:b xmlns:z='urn:z'/>";
  for (int i = 0; i < depth; ++i) doc += "</q:e>";
  doc += "</p:r>";
  XmlParser parser;
  ASSERT_EQ(ParseLine(parser, doc), 0);
  const XmlElement* e = parser.GetRoot();
  while (e->GetChildCount() == 1) {
    size_t levels = 0;
    for (const NamespaceScope* s = e->GetScope(); s; s = s->GetParent()) ++levels;
    ASSERT_LE(levels, NamespaceScope::kMaxDepth + 1) << text::Narrow(e->GetNamespaceURI());
    e = e->GetChildList()[0].get();
  }
  ASSERT_EQ(e->GetChildCount(), 2u);
  EXPECT_EQ(e->GetNamespaceURI(), u"urn:" + text::Widen(std::to_string(depth - 1)));
  const XmlElement& a = *e->GetChildList()[0];
  const XmlElement& b = *e->GetChildList()[1];
  EXPECT_EQ(a.GetNamespaceURI(), u"urn:p");
  EXPECT_EQ(*b.LookupNamespace(u"q"), e->GetNamespaceURI());
  // Siblings under a deep level share one flattened copy of it.
  EXPECT_EQ(a.GetScope()->GetParent(), b.GetScope()->GetParent());
  // And the writer still declares each binding where it is needed, once.
  char* bytes = nullptr;
  const size_t size = parser.WriteXmlDocument(&bytes);
  const std::string written(bytes, size);
  std::free(bytes);
  EXPECT_EQ(written.find("xmlns:p", written.find("xmlns:p") + 1), written.npos);
  XmlParser again;
  ASSERT_EQ(ParseLine(again, written), 0);
  EXPECT_EQ(DumpTree(*again.GetRoot()), DumpTree(*parser.GetRoot()));
}

TEST(XmlParserTest, NamespaceLimitsFailAtTheCurrentLine) {
  const std::string longest(kMaxNamespaceUriLength, 'u');
  auto bindings = [](size_t count, const char* prefix = "p") {
    std::string d;
    for (size_t i = 0; i < count; ++i) d += std::string(" xmlns:") + prefix + std::to_string(i) + "='urn:x'";
    return d;
  };
  const size_t declarable = kMaxNamespaceBindings - 1;  // "xml" is always bound
  const struct {
    std::string doc;
    int line;
  } cases[] = {
      {"<a xmlns='" + longest + "'/>", 0},
      {"<a>\n<b\n xmlns:p='" + longest + "u'/></a>", 3},
      {"<a>\n<b xmlns='" + longest + "u'/></a>", 2},
      {"<a" + bindings(declarable) + "/>", 0},
      {"<a" + bindings(declarable - 1) + ">\n<b xmlns=''/></a>", 0},
      {"<a" + bindings(declarable) + ">\n<b xmlns=''/></a>", 2},  // the default counts
      {"<a" + bindings(declarable) + ">\n<b xmlns:p0='urn:y'/></a>", 0},  // rebinding adds none
      {"<a" + bindings(declarable / 2) + ">\n<b\n" +
           bindings(declarable - declarable / 2 + 1, "q") +
           "/></a>",
       3},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseLine(c.doc), c.line) << c.doc.substr(0, 80);
}

TEST(XmlParserTest, NestingLimit) {
  auto nested = [](int depth) {
    std::string doc;
    for (int i = 0; i < depth; ++i) doc += "<a>";
    for (int i = 0; i < depth; ++i) doc += "</a>";
    return doc;
  };
  EXPECT_EQ(ParseLine(nested(kMaxNestingDepth)), 0);
  EXPECT_EQ(ParseLine(nested(kMaxNestingDepth + 1)), 1);
  // The hostile case: a 300 KB request of open tags must fail, not overflow the stack.
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += i % 1000 == 999 ? "<a>\n" : "<a>";
  EXPECT_EQ(ParseLine(deep), 2);
}

TEST(XmlParserTest, MarkupItems) {
  EXPECT_EQ(ParseDump("<a>x<b/>y</a>"), "{}a[xy]({}b[])");
  EXPECT_EQ(ParseDump("<a><![CDATA[\t\r\n]]]]></a>"), "{}a[\t\n]]]");
  EXPECT_EQ(ParseDump("<!DOCTYPE a [<!ELEMENT a ANY><!ATTLIST a b CDATA #IMPLIED>]>"
                      "<!-- c --><!DOCTYPE again><a/>"),
            "{}a[]");
  EXPECT_EQ(ParseDump("<a\tb = 'x'c=\"y\"/>"), "{}a {}b=x {}c=y[]");
  EXPECT_EQ(ParseDump("<a b='x\ty&#10;'>]]</a>"), "{}a {}b=x\ty\n[]]]");
  for (const char* doc : {"<!DOCTYPE <a/>", "<a b='<'/>", "<a b='x/>", "<a b=x/>", "<a/ >",
                          "<a><?pi unterminated</a>", "<a><!x></a>", "<a></b>", "<a>",
                          "<!-- x -- ><a/>", "<a><!-- x</a>", "<?pi?><a", "<a><![CDATA[x</a>"}) {
    EXPECT_EQ(ParseLine(doc), 1) << doc;
  }
  EXPECT_EQ(ParseLine("<a></a >x</a>"), 1);  // content after the root
}

TEST(XmlParserTest, EveryTruncationFailsCleanly) {
  const std::string doc(kEnvelope);
  for (size_t n = 0; n < doc.size(); ++n) {
    XmlParser parser;
    const int line = ParseLine(parser, std::string_view(doc).substr(0, n));
    EXPECT_GT(line, 0) << n;
  }
}

// Records every event as one line of text.
class RecordingHandler : public XmlContentHandler {
 public:
  std::vector<std::string> events;
  void StartDocument() override { events.push_back("startdoc"); }
  void EndDocument() override { events.push_back("enddoc"); }
  void StartElement(std::u16string_view uri, std::u16string_view local, std::u16string_view qname,
                    const AttributeMap& attributes, XmlElement& element) override {
    EXPECT_EQ(&attributes, &element.GetAttributes());
    events.push_back("start {" + text::Narrow(uri) + "}" + text::Narrow(local) + " " +
                     text::Narrow(qname) + " attrs=" + std::to_string(attributes.size()));
  }
  bool EndElement(std::u16string_view, std::u16string_view local, std::u16string_view,
                  XmlElement&) override {
    events.push_back("end " + text::Narrow(local));
    return true;
  }
  void Characters(std::u16string_view t) override { events.push_back("text " + text::Narrow(t)); }
  void ParseError(int line) override { events.push_back("error " + std::to_string(line)); }
  void ProcessingInstruction(std::u16string_view target, std::u16string_view data) override {
    events.push_back("pi " + text::Narrow(target) + "|" + text::Narrow(data));
  }
  void StartPrefixMapping(std::u16string_view prefix, std::u16string_view uri) override {
    events.push_back("map " + text::Narrow(prefix) + "=" + text::Narrow(uri));
  }
  void EndPrefixMapping(std::u16string_view prefix) override {
    events.push_back("unmap " + text::Narrow(prefix));
  }
};

TEST(XmlParserTest, EventOrder) {
  RecordingHandler h;
  XmlParser parser;
  ASSERT_EQ(ParseLine(parser,
                      "<?xml version='1.0'?><r a='1'>x<p:c xmlns:p='urn:p'>t</p:c>"
                      "<?go now ?>y<d xmlns='urn:d'/></r>",
                      &h),
            0);
  const std::vector<std::string> expected = {
      "startdoc",
      "pi xml|version='1.0'",
      "map =",
      "map xml=http://www.w3.org/XML/1998/namespace",
      "start {}r r attrs=1",
      "map p=urn:p",
      "start {urn:p}c p:c attrs=0",
      "text t",
      "end c",
      "unmap p",
      "pi go|now ",
      "map =urn:d",
      "map =urn:d",  // the default both as the default and as a new scope entry
      "start {urn:d}d d attrs=0",
      "end d",
      "unmap ",
      "unmap ",
      "text xy",
      "end r",
      "unmap ",
      "unmap xml",
      "enddoc",
  };
  EXPECT_EQ(h.events, expected);

  h.events.clear();
  EXPECT_EQ(ParseLine(parser, "<r>\n<b>", &h), 2);
  EXPECT_EQ(h.events.back(), "error 2");
}

TEST(XmlParserTest, AHandlerThatReadsNoPrefixesGetsTheOtherEventsAlone) {
  struct NoPrefixes : RecordingHandler {
    bool WantsPrefixMappings() const override { return false; }
  } h;
  XmlParser parser;
  ASSERT_EQ(ParseLine(parser, "<r a='1'>x<p:c xmlns:p='urn:p'>t</p:c>y<d xmlns='urn:d'/></r>", &h),
            0);
  const std::vector<std::string> expected = {
      "startdoc",
      "start {}r r attrs=1",
      "start {urn:p}c p:c attrs=0",
      "text t",
      "end c",
      "start {urn:d}d d attrs=0",
      "end d",
      "text xy",
      "end r",
      "enddoc",
  };
  EXPECT_EQ(h.events, expected);
}

TEST(XmlParserTest, HandlerExceptionLeavesNoTree) {
  struct Throwing : XmlContentHandler {
    void StartElement(std::u16string_view, std::u16string_view local, std::u16string_view,
                      const AttributeMap&, XmlElement&) override {
      if (local == u"bad") throw std::string("refused");
    }
  } handler;
  XmlParser parser;
  const std::string doc = "<a><b/><bad/></a>";
  EXPECT_THROW(parser.ParseXmlBuffer(doc.data(), doc.size(), &handler), std::string);
  EXPECT_EQ(parser.GetRoot(), nullptr);
}

// What a handler sees of each element at its end: names, attributes, text,
// the bindings in force and its markup.
class ElementRecorder : public XmlContentHandler {
 public:
  explicit ElementRecorder(const XmlParser& parser) : parser_(parser) {}
  std::vector<std::string> ended;
  void StartElement(std::u16string_view, std::u16string_view, std::u16string_view,
                    const AttributeMap&, XmlElement&) override {}
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  XmlElement& element) override {
    std::string line = "{" + text::Narrow(element.GetNamespaceURI()) + "}" +
                       text::Narrow(element.GetLocalName()) + " " +
                       text::Narrow(element.GetQualifiedName());
    for (const auto& [key, a] : element.GetAttributes()) {
      line += " " + text::Narrow(a->GetQualifiedName()) + "={" +
              text::Narrow(a->GetNamespaceURI()) + "}" + text::Narrow(a->GetLocalName()) + ":" +
              text::Narrow(a->GetValue()) + " of {" + text::Narrow(a->GetElementNamespace()) +
              "}" + text::Narrow(a->GetElementName());
    }
    line += " [" + text::Narrow(element.GetText()) + "] default=" +
            text::Narrow(element.GetDefaultNamespace());
    for (const auto& [prefix, uri] : element.GetNamespaceScope()) {
      line += " " + text::Narrow(prefix) + "=" + text::Narrow(uri);
    }
    ended.push_back(line + " | " + text::Narrow(parser_.CurrentMarkup()));
    return true;
  }

 private:
  const XmlParser& parser_;
};

// Below the tree depth elements come from reused nodes: every handler must
// see what it sees of a whole tree, and the tree keeps only the upper levels.
TEST(XmlParserTest, ElementsBelowTheTreeDepthLookAsInAWholeTree) {
  const std::string docs[] = {
      "<r><a x='1' y='2'>t<b p:z='3' xmlns:p='urn:p'/>u</a><a w='4'/><a/></r>",
      "<r xmlns='urn:d'><a xmlns:q='urn:q' q:k='v' k='w'><q:b xmlns=''>deep</q:b></a>"
      "<a><b><c><d>4</d></c></b></a></r>",
      "<r><a>&amp;&#65;<![CDATA[<x>]]>\r\nend</a><a b='&lt;&#9;'/></r>",
      "<r>\n<a><b x='1'/><b x='1' y='1'/><b y='2'/></a>\n</r>",
      // Attributes with a prefix and without take each other's nodes.
      "<r><a p:x='1' xmlns:p='urn:p'/><a y='2'/><p:a xmlns:p='urn:q' p:z='3'/></r>",
  };
  for (const std::string& doc : docs) {
    XmlParser whole;
    ElementRecorder expected(whole);
    ASSERT_EQ(ParseLine(whole, doc, &expected), 0) << doc;
    for (const int depth : {0, 1, 2}) {  // 0: the root is kept all the same
      XmlParser lean;
      lean.SetTreeDepth(depth);
      ElementRecorder seen(lean);
      ASSERT_EQ(ParseLine(lean, doc, &seen), 0) << doc;
      EXPECT_EQ(seen.ended, expected.ended) << doc;
      // The same parser again: the reused nodes start clean.
      seen.ended.clear();
      ASSERT_EQ(ParseLine(lean, doc, &seen), 0) << doc;
      EXPECT_EQ(seen.ended, expected.ended) << doc;
      // Only the levels down to the depth are kept.
      const XmlElement& root = *lean.GetRoot();
      if (depth <= 1) {
        EXPECT_EQ(root.GetChildCount(), 0u) << doc;
      }
      for (const XmlElementPtr& child : root.GetChildList()) {
        EXPECT_EQ(child->GetChildCount(), 0u) << doc;
      }
    }
  }
  // Errors are found where a whole parse finds them, and the parser goes on.
  const std::string bad[] = {
      "<r><a x='1'/><a p:x='1' q:x='2' xmlns:p='urn:u' xmlns:q='urn:u'/></r>",
      "<r><a x='1'/>\n<a x='1' x='2'/></r>",
      "<r><a><b></a></r>",
  };
  XmlParser lean;
  lean.SetTreeDepth(1);
  for (const std::string& doc : bad) {
    XmlParser whole;
    EXPECT_EQ(ParseLine(lean, doc), ParseLine(whole, doc)) << doc;
    EXPECT_GT(ParseLine(lean, doc), 0) << doc;
    EXPECT_EQ(ParseDumpAfter(lean, "<r><a k='v'/><a/></r>"), "{}r[]") << doc;
  }
}

// A text that stands unchanged in the input as one run reaches the handler as
// a view of the input; any other text as the element's own copy.
TEST(XmlParserTest, TextsReachTheHandlerFromTheInputWhereUnchanged) {
  struct TextWhere : XmlContentHandler {
    std::u16string_view input;
    std::string text;
    bool in_input = false;
    void StartElement(std::u16string_view, std::u16string_view, std::u16string_view,
                      const AttributeMap&, XmlElement&) override {}
    void Characters(std::u16string_view t) override {
      text = text::Narrow(t);
      in_input = t.data() >= input.data() && t.data() + t.size() <= input.data() + input.size();
    }
  };
  const struct {
    std::u16string_view doc;
    const char* text;
    bool in_input;
  } cases[] = {
      {u"<a>plain text</a>", "plain text", true},
      {u"<a>line\nfeed\ttab</a>", "line\nfeed\ttab", true},
      {u"<a>caf\u00e9 \U0001F600 \uE000</a>", "caf\xC3\xA9 \xF0\x9F\x98\x80 \xEE\x80\x80", true},
      {u"<a><![CDATA[<raw> & ]]></a>", "<raw> & ", true},
      {u"<a>x]y</a>", "x]y", true},
      {u"<a>x&amp;y</a>", "x&y", false},
      {u"<a>x&#65;</a>", "xA", false},
      {u"<a>cr\r\nlf</a>", "cr\nlf", false},
      {u"<a>x<b/>y</a>", "xy", false},
      {u"<a>x<!-- c -->y</a>", "xy", false},
      {u"<a>x<![CDATA[y]]></a>", "xy", false},
      {u"<a><b/>only after</a>", "only after", true},
      // Texts that open with what is no run of the input and go on with one.
      {u"<a>&amp;x</a>", "&x", false},
      {u"<a>&#65;]x</a>", "A]x", false},
      {u"<a>\r\nx</a>", "\nx", false},
      {u"<a>\rx]</a>", "\nx]", false},
      {u"<a><![CDATA[\r\nx]]></a>", "\nx", false},
      {u"<a><![CDATA[\U0001F600x]]></a>", "\xF0\x9F\x98\x80x", false},
      {u"<a>&amp;<![CDATA[x]]>y</a>", "&xy", false},
  };
  for (const auto& c : cases) {
    TextWhere handler;
    handler.input = c.doc;
    XmlParser parser;
    parser.Parse(c.doc, &handler);
    EXPECT_EQ(handler.text, c.text) << text::Narrow(c.doc);
    EXPECT_EQ(handler.in_input, c.in_input) << text::Narrow(c.doc);
  }
}

// A fragment parsed where a scope is in force resolves names by it and
// declares, when written, every binding it had there.
TEST(XmlParserTest, FragmentsResolveNamesByTheScopeTheyStoodIn) {
  const auto outer = std::make_shared<const NamespaceScope>(
      nullptr, NamespaceMap{{u"xml", std::u16string(kXmlNamespace)}, {u"p", u"urn:p"}});
  const NamespaceScope inner(outer, NamespaceMap{{u"", u"urn:d"}, {u"q", u"urn:q"}});
  XmlParser parser;
  parser.ParseFragment(u"<p:x q:a='1' b='2'><y xmlns:p='urn:other'><p:z/></y></p:x>", &inner);
  const XmlElement& root = *parser.GetRoot();
  EXPECT_EQ(DumpTree(root), "{urn:p}x {}b=2 {urn:q}a=1[]({urn:d}y[]({urn:other}z[]))");
  std::u16string written;
  WriteXmlElement(root, nullptr, written);
  EXPECT_EQ(text::Narrow(written),
            "<p:x b=\"2\" q:a=\"1\" xmlns=\"urn:d\" xmlns:p=\"urn:p\" xmlns:q=\"urn:q\">"
            "<y xmlns:p=\"urn:other\"><p:z /></y></p:x>");
  // Without a scope a prefix is unbound, as in a document of its own.
  EXPECT_THROW(parser.ParseFragment(u"<p:x/>", nullptr), int);
  // A fragment parse leaves the next parse a document of its own.
  parser.Parse(u"<x/>", nullptr);
  EXPECT_EQ(DumpTree(*parser.GetRoot()), "{}x[]");
}

TEST(XmlParserTest, ParserIsReusableAndRootCanBeDetached) {
  XmlParser parser;
  ASSERT_EQ(ParseLine(parser, "<a/>"), 0);
  XmlElementPtr first = parser.DetachRoot();
  EXPECT_EQ(parser.GetRoot(), nullptr);
  ASSERT_EQ(ParseLine(parser, "<b/>"), 0);
  EXPECT_EQ(first->GetLocalName(), u"a");
  EXPECT_EQ(parser.GetRoot()->GetLocalName(), u"b");
  EXPECT_GT(ParseLine(parser, "<c>"), 0);
  EXPECT_EQ(parser.GetRoot(), nullptr);
}

}  // namespace
}  // namespace xml

namespace xml {
namespace {

TEST(XmlScannerTest, AsciiFastPathAgreesWithTheSharedTables) {
  for (char16_t c = 0; c < 128; ++c) {
    // Spacing is XML's own: VT and FF are no characters of XML.
    EXPECT_EQ(scanner_internal::IsSpace(c), text::IsSpace(c) && c != u'\v' && c != u'\f')
        << int(c);
    EXPECT_EQ(scanner_internal::IsNameStart(c), text::IsXmlNameStart(c)) << int(c);
    EXPECT_EQ(scanner_internal::IsNameChar(c), text::IsXmlNameChar(c)) << int(c);
  }
}

// The bulk path reads eight units at a time: every stop must be found at its
// own unit, whatever its place in a block, with the line feeds before it.
TEST(XmlScannerTest, BulkRunsStopWhereAUnitByUnitReadingStops) {
  const char16_t palette[] = {u'<',  u'&',  u']',    u'\n',   u'\r',   u'\t',   0x01,  0x1F, 0x7F,
                              0x85,  0x9F,  0xA0,    0xD7FF, 0xD800, 0xDC00, 0xE000, 0xFFFE};
  std::mt19937 rng(5);
  for (int i = 0; i < 3000; ++i) {
    std::u16string s(rng() % 40, u'a');
    for (char16_t& c : s) {
      if (rng() % 6 == 0) c = palette[rng() % std::size(palette)];
    }
    for (const bool c1 : {false, true}) {
      size_t n = 0;
      int line = 1;
      for (; n < s.size(); ++n) {
        const char16_t c = s[n];
        if (c == u'<' || c == u'&' || c == u']' || c >= 0xD800 ||
            (c1 && c >= 0x7F && c <= 0x9F) || (c < 0x20 && c != u'\n' && c != u'\t')) {
          break;
        }
        if (c == u'\n') ++line;
      }
      XmlScanner scanner;
      scanner.Reset(s.data(), s.data() + s.size());
      const std::u16string_view run = c1 ? scanner.ScanCharData<true>(u'<', u'&', u']')
                                         : scanner.ScanCharData(u'<', u'&', u']');
      ASSERT_EQ(run.size(), n) << text::Narrow(s);
      ASSERT_EQ(scanner.Line(), line) << text::Narrow(s);
    }
  }
}

TEST(XmlScannerTest, ProbesNeverMoveAndUngetUndoesLineFeeds) {
  const std::u16string_view input = u"a\nb";
  XmlScanner s;
  s.Reset(input.data(), input.data() + input.size());
  EXPECT_FALSE(s.MatchChar(u'x'));
  EXPECT_FALSE(s.MatchString(u"ab"));
  EXPECT_TRUE(s.MatchString(u""));
  EXPECT_EQ(s.NextChar(), u'a');
  EXPECT_EQ(s.NextChar(), u'\n');
  EXPECT_EQ(s.Line(), 2);
  s.UngetChar();
  EXPECT_EQ(s.Line(), 1);
  EXPECT_TRUE(s.SkipSpaces());
  EXPECT_EQ(s.NextChar(), u'b');
  EXPECT_EQ(s.NextChar(), 0);  // the end: no advance, so nothing to step back over
  EXPECT_FALSE(s.MatchChar(u'b'));
  std::u16string_view name;
  EXPECT_FALSE(s.ScanName(&name));
  EXPECT_EQ(s.Position(), input.data() + input.size());
  EXPECT_EQ(s.Line(), 2);
}

}  // namespace
}  // namespace xml
