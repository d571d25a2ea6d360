#include "xml/xml_parser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/text/text.h"
#include "xml/namespaces.h"
#include "xml/testing/tree_dump.h"

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

TEST(XmlParserTest, ResolvesNamesTextAndReferences) {
  EXPECT_EQ(ParseDump(kEnvelope),
            "{http://schemas.xmlsoap.org/soap/envelope/}Envelope[\n \n]"
            "({http://schemas.xmlsoap.org/soap/envelope/}Body[]"
            "({urn:m}Echo {}plain=q\" {urn:m}id=7[caf\xC3\xA9 <AB<raw>])({urn:d}item[]))");
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
      {"<a/>trailing text <is not looked at"sv, 0},
      {"<definitions\n xmlns='urn:x'\n>\n<b/></definitions>"sv, 0},
      {"<a>\n</a\n>"sv, 0},
      {"<a\n\n b='1'\n c>"sv, 4},         // attribute without '=' on line 4
      {"<a>\n</a\n\n"sv, 4},              // end of input after a line feed inside the end tag
      {"<a>\n<b>\n</a>"sv, 3},            // mismatched end tag
      {"\n\n<a x='1' x='2'/>"sv, 3},      // repeated attribute
      {"<a>\n\n]]>\n</a>"sv, 3},          // "]]>" in character data
      {"<a>\n&bogus;</a>"sv, 2},          // unknown entity
      {"<a\n/>\n<"sv, 0},                 // trailing markup after the root is ignored
      {"<a>\n<!-- a -- b -->\n</a>"sv, 2},  // "--" inside a comment
      {"<a>\n<![CDATA[\f]]></a>"sv, 2},   // form feed in CDATA
      {"<a>\n<b/>\n"sv, 3},               // end of input inside content
      {"<a>\x01\n<b/>\n<c>\0</c></a>"sv, 3},  // a NUL unit
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

TEST(XmlParserTest, Utf8SupplementaryCharactersAndMalformedBytes) {
  XmlParser parser;
  ASSERT_EQ(ParseLine(parser, "<a b='\xF0\x9F\x98\x80'>\xF0\x90\x80\xBC\xED\xA0\xBD</a>"), 0);
  EXPECT_EQ(parser.GetRoot()->GetAttributes().begin()->second->GetValue(), u"\U0001F600");
  // U+1003C is a character of its own, never a '<'; a three-byte surrogate is accepted.
  EXPECT_EQ(parser.GetRoot()->GetText(), std::u16string(u"\U0001003C") + char16_t(0xD83D));
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

TEST(XmlParserTest, ManyAttributesOnOneTagDoNotSlowTheTagsAfterIt) {
  // One tag with 100 000 attributes, then 250 000 empty elements. Each later
  // tag must cost what its own bytes cost, not the size of the bookkeeping
  // the big tag needed: the whole takes about as long as its two halves.
  std::string big_tag = "<x";
  for (int i = 0; i < 100000; ++i) big_tag += " a" + std::to_string(i) + "=''";
  big_tag += "/>";
  std::string small_tags;
  for (int i = 0; i < 250000; ++i) small_tags += "<b/>";
  auto seconds_to_parse = [](const std::string& doc) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ParseLine(doc), 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  const double halves =
      seconds_to_parse("<r>" + big_tag + "</r>") + seconds_to_parse("<r>" + small_tags + "</r>");
  const double whole = seconds_to_parse("<r>" + big_tag + small_tags + "</r>");
  EXPECT_LT(whole, 2 * halves + 0.5) << "halves took " << halves << " s";
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
  EXPECT_EQ(ParseDump("<a><![CDATA[\t\r\n]]]]></a>"), "{}a[\t\r\n]]]");
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
  EXPECT_EQ(ParseDump("<a></a >x</a>"), "{}a[]");
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
    EXPECT_EQ(scanner_internal::IsSpace(c), text::IsSpace(c)) << int(c);
    EXPECT_EQ(scanner_internal::IsNameStart(c), text::IsXmlNameStart(c)) << int(c);
    EXPECT_EQ(scanner_internal::IsNameChar(c), text::IsXmlNameChar(c)) << int(c);
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
