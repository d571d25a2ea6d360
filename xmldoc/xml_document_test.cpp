#include "xmldoc/xml_document.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/text/text.h"
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

}  // namespace
}  // namespace xmldoc
