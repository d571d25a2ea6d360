#include "xmldoc/xml_document.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"
#include "xmldoc/xml_nodes.h"

namespace xmldoc {
namespace {

class XmlDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Load("<r xmlns:p='urn:p'><a n='1'><c>1</c></a><b n='2'/><a n='3'><c>3</c><c>4</c>"
                     "</a><d xmlns='urn:d'><e/></d><p:a n='5'/></r>"));
  }

  bool Load(std::string_view doc) { return doc_.LoadFromBuffer(doc.data(), doc.size()); }

  // The texts (or n attributes) of what the query selected; "FALSE" when it failed.
  std::string Run(std::u16string_view path, const QueryNamespaces& ns = {}) {
    if (!doc_.Query(path, ns)) {
      EXPECT_EQ(doc_.NextNode(), nullptr);
      return "FALSE";
    }
    std::string out;
    while (xml::XmlElement* e = doc_.NextNode()) {
      std::u16string n;
      out += text::Narrow(e->GetAttributeValue(u"", u"n", &n) ? n : e->GetText()) + ";";
    }
    return out;
  }

  XmlDocument doc_;
};

TEST_F(XmlDocumentTest, PathQueries) {
  const QueryNamespaces ns = {{u"p", u"urn:p"}, {u"q", u"urn:d"}, {u"x", u"urn:none"}};
  struct Case {
    std::u16string_view path;
    const char* result;
  } cases[] = {
      {u"/a", "1;3;"},
      {u"/a[2]", "3;"},
      {u"/a[3]", "FALSE"},
      {u"/*", "1;2;3;;5;"},
      {u"/a/c", "1;3;4;"},
      {u"/a[2]/c[2]", "4;"},
      {u"/a/c[2]", "FALSE"},  // the first a has one c: the whole step fails
      {u"/p:a", "5;"},
      {u"/x:a", "FALSE"},     // mapped, but nothing there
      {u"/y:a", "FALSE"},     // unmapped prefix
      {u"/d/e", "FALSE"},     // e is in the default namespace, not in none
      {u"/q:d/q:e", ";"},
      {u"/d", "FALSE"},
      {u"a", "FALSE"},
      {u"//a", "FALSE"},
      {u"/a/", "FALSE"},
      {u"/a[0]", "FALSE"},
      {u"/a[x]", "FALSE"},
      {u"/a[1", "FALSE"},
      {u"/a[1]/c", "1;"},
      {u"/", ";"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run(c.path, ns), c.result) << text::Narrow(c.path);
  }
}

TEST_F(XmlDocumentTest, RootQueryAndTypedRead) {
  ASSERT_TRUE(doc_.Query(u"/", {}));
  EXPECT_EQ(doc_.NextNode(), doc_.GetRoot());
  ASSERT_TRUE(doc_.Query(u"/a[2]/c[1]", {}));
  int value = -1;
  EXPECT_TRUE(GetNodeInt(&value, *doc_.NextNode()));
  EXPECT_EQ(value, 3);
  ASSERT_TRUE(doc_.Query(u"/b", {}));
  EXPECT_TRUE(GetNodeInt(&value, *doc_.NextNode()));
  EXPECT_EQ(value, 0);
}

TEST_F(XmlDocumentTest, ReloadsAndCopiesInvalidateResults) {
  // Bytes and already-decoded text are loaded alike.
  const std::function<bool(std::string_view)> loaders[] = {
      [this](std::string_view doc) { return Load(doc); },
      [this](std::string_view doc) { return doc_.LoadFromText(text::Widen(doc)); },
  };
  for (const auto& load : loaders) {
    ASSERT_TRUE(load("<r><b/><a/></r>"));
    ASSERT_TRUE(doc_.Query(u"/a", {}));
    ASSERT_TRUE(load("<r><a/></r>"));
    EXPECT_EQ(doc_.NextNode(), nullptr);  // never an element of the old tree
    EXPECT_EQ(Run(u"/a"), ";");

    ASSERT_TRUE(doc_.Query(u"/a", {}));
    EXPECT_FALSE(load("<r><a></r>"));
    EXPECT_EQ(doc_.NextNode(), nullptr);
    EXPECT_EQ(doc_.GetRoot(), nullptr);
    EXPECT_EQ(Run(u"/"), "FALSE");
    EXPECT_EQ(Run(u"/a"), "FALSE");
  }
}

TEST_F(XmlDocumentTest, CopyOfNodeEvaluatesRelativeToTheCopy) {
  ASSERT_TRUE(doc_.Query(u"/a[2]", {}));
  xml::XmlElement* second_a = doc_.NextNode();
  ASSERT_NE(second_a, nullptr);
  XmlDocument copy;
  copy.CopyOfNode(*second_a);
  doc_.CopyOfNode(*second_a);  // from its own tree
  EXPECT_EQ(doc_.NextNode(), nullptr);
  for (XmlDocument* d : {&copy, &doc_}) {
    ASSERT_TRUE(d->Query(u"/c", {}));
    EXPECT_EQ(d->GetResultCount(), 2u);
    EXPECT_EQ(d->NextNode()->GetText(), u"3");
  }
}

TEST(XmlDocumentLoadTest, EmptyDocumentHasNothingToQuery) {
  XmlDocument doc;
  EXPECT_FALSE(doc.Query(u"/", {}));
  EXPECT_EQ(doc.NextNode(), nullptr);
  EXPECT_FALSE(doc.LoadFromBuffer("", 0));
  const std::u16string wide = u"\uFEFF<r><a>7</a></r>";
  EXPECT_TRUE(doc.LoadFromBuffer(wide.data(), wide.size() * 2));  // UTF-16LE with its mark
  ASSERT_TRUE(doc.Query(u"/a", {}));
  EXPECT_EQ(doc.NextNode()->GetText(), u"7");
}

// Queries relative to an element, as the header processor makes them on a
// body: the first step matches the element's children.
TEST_F(XmlDocumentTest, QueryFromStartsAtTheElementsChildren) {
  ASSERT_TRUE(doc_.Query(u"/a[2]", {}));
  xml::XmlElement* second = doc_.NextNode();
  ASSERT_NE(second, nullptr);
  const QueryNamespaces ns = {{u"d", u"urn:d"}, {u"q", u"urn:p"}};
  struct Case {
    const xml::XmlElement* from;
    std::u16string_view path;
    std::string want;  // texts or n attributes; "FALSE" when the query fails
  };
  const xml::XmlElement* root = doc_.GetRoot();
  const Case cases[] = {
      {second, u"c", "3;4;"},
      {second, u"c[2]", "4;"},
      {second, u"c[3]", "FALSE"},
      {second, u"*", "3;4;"},
      {root, u"a/c", "1;3;4;"},
      {root, u"q:a", "5;"},
      {root, u"d:d/d:e", ";"},
      {root, u"d:d/e", "FALSE"},  // a plain step means no namespace
      {root, u"x:a", "FALSE"},    // unknown prefix
      {root, u"/a", "FALSE"},     // relative paths have no leading slash
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(text::Narrow(c.path));
    std::string got;
    if (!doc_.QueryFrom(*c.from, c.path, ns)) {
      EXPECT_EQ(doc_.NextNode(), nullptr) << "a failed query leaves no results";
      got = "FALSE";
    } else {
      while (xml::XmlElement* e = doc_.NextNode()) {
        std::u16string n;
        got += text::Narrow(e->GetAttributeValue(u"", u"n", &n) ? n : e->GetText()) + ";";
      }
    }
    EXPECT_EQ(got, c.want);
  }
}

TEST_F(XmlDocumentTest, LoadingABstrThatDoesNotParseLeavesNothing) {
  ASSERT_TRUE(doc_.Query(u"/a", {}));
  Bstr bad(u"<r><a></r>");
  EXPECT_FALSE(doc_.LoadFromText(BstrView(bad.Get())));
  EXPECT_EQ(doc_.GetRoot(), nullptr);
  EXPECT_EQ(doc_.GetResultCount(), 0u);
  EXPECT_EQ(doc_.NextNode(), nullptr);

  // A NUL inside the BSTR is parsed (and refused), not taken as its end.
  Bstr embedded = Bstr::Adopt(SysAllocStringLen(u"<r>a\0b</r>", 10));
  EXPECT_FALSE(doc_.LoadFromText(BstrView(embedded.Get())));
  Bstr good(u"<r><a/></r>");
  EXPECT_TRUE(doc_.LoadFromText(BstrView(good.Get())));
  EXPECT_EQ(doc_.GetRoot()->GetChildCount(), 1u);
}

TEST_F(XmlDocumentTest, SetRootReplacesTheTreeAndItsResults) {
  ASSERT_TRUE(doc_.Query(u"/a", {}));
  doc_.SetRoot(std::make_unique<xml::XmlElement>(u"n", u"", u"n"));
  EXPECT_EQ(doc_.NextNode(), nullptr);
  EXPECT_EQ(doc_.GetRoot()->GetQualifiedName(), u"n");
  BSTR text = nullptr;
  ASSERT_TRUE(SerializeDocumentToBstr(doc_.GetRoot(), /*indented=*/false, &text));
  EXPECT_EQ(BstrView(text), u"<n />");
  SysFreeString(text);
  ASSERT_TRUE(SerializeDocumentToBstr(doc_.GetRoot(), /*indented=*/true, &text));
  EXPECT_EQ(BstrView(text), u"\r\n<n />");
  SysFreeString(text);

  doc_.SetRoot(nullptr);
  text = SysAllocString(u"stale");
  SysFreeString(text);
  EXPECT_FALSE(SerializeDocumentToBstr(doc_.GetRoot(), /*indented=*/false, &text));
  EXPECT_EQ(text, nullptr);
}

// The element building the header processor relies on, checked on the text a
// peer receives.
TEST(XmlDocumentBuildTest, ElementsAndNamespacedAttributes) {
  XmlDocument doc;
  doc.SetRoot(std::make_unique<xml::XmlElement>(
      u"SOAP-ENV:Body", std::u16string(xml::kSoap12EnvelopeNamespace), u"Body"));
  xml::XmlElement* echo = CreateChildElement(nullptr, xml::kInteropNamespace, u"", u"echoString");
  xml::XmlElementPtr owned(echo);
  Bstr alone = Bstr::Adopt(ElementToBSTR(*echo, nullptr));
  EXPECT_EQ(alone.View(), u"<echoString xmlns=\"http://soapinterop.org/\" />");

  xml::XmlElement* input = echo->AppendChild(std::make_unique<xml::XmlElement>(
      u"inputString", std::u16string(xml::kInteropNamespace), u"inputString"));
  EXPECT_TRUE(input->AddAttributeNode(u"xsi:nil", xml::kXmlSchemaInstanceNamespace, u"true"));
  EXPECT_FALSE(input->AddAttributeNode(u"xsi:nil", xml::kXmlSchemaInstanceNamespace, u"false"))
      << "the attribute already present is kept";
  EXPECT_FALSE(input->AddAttributeNode(u"xsi:type", u"urn:other", u"x"))
      << "xsi is bound to another URI here";
  std::u16string value;
  ASSERT_TRUE(input->GetAttributeValue(xml::kXmlSchemaInstanceNamespace, u"nil", &value));
  EXPECT_EQ(value, u"true");
  EXPECT_FALSE(input->GetAttributeValue(u"urn:other", u"type", &value));

  Bstr bare = Bstr::Adopt(ElementToBSTR(*input, nullptr));
  EXPECT_EQ(bare.View(),
            u"<inputString xsi:nil=\"true\" "
            u"xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" />");
  Bstr nested = Bstr::Adopt(ElementToBSTR(*echo, nullptr));
  EXPECT_EQ(nested.View(),
            u"<echoString xmlns=\"http://soapinterop.org/\"><inputString xsi:nil=\"true\" "
            u"xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" /></echoString>");
  Bstr indented = Bstr::Adopt(IndentedElementToBSTR(*echo, nullptr, 1, 2));
  EXPECT_EQ(indented.View(),
            u"\r\n  <echoString xmlns=\"http://soapinterop.org/\">\r\n        <inputString "
            u"xsi:nil=\"true\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" />"
            u"\r\n  </echoString>");

  // What is written reads back with the same names.
  XmlDocument back;
  ASSERT_TRUE(back.LoadFromText(nested.View()));
  const xml::XmlElement* readInput =
      back.GetRoot()->FindChild(u"inputString", xml::kInteropNamespace);
  ASSERT_NE(readInput, nullptr);
  EXPECT_TRUE(readInput->GetAttributeValue(xml::kXmlSchemaInstanceNamespace, u"nil", &value));
}

}  // namespace
}  // namespace xmldoc
