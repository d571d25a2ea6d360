#include "xml/xml_element.h"

#include <gtest/gtest.h>

namespace xml {
namespace {

TEST(XmlElementTest, IsSameNameComparesThePair) {
  const XmlElement abc(u"x:bc", u"a", u"bc");
  EXPECT_FALSE(abc.IsSameName(XmlElement(u"y:c", u"ab", u"c")));
  EXPECT_TRUE(abc.IsSameName(XmlElement(u"bc", u"a", u"bc")));
  EXPECT_FALSE(abc.IsSameName(XmlElement(u"bc", u"", u"bc")));
}

TEST(XmlElementTest, UnprefixedAttributesAreKeyedByTheirElement) {
  XmlElement a(u"a", u"urn:1", u"a");
  XmlElement b(u"b", u"urn:1", u"b");
  ASSERT_TRUE(a.AddAttributeNode(u"id", u"", u"1"));
  ASSERT_TRUE(b.AddAttributeNode(u"id", u"", u"2"));
  EXPECT_NE(a.GetAttributes().begin()->first, b.GetAttributes().begin()->first);
  std::u16string value;
  EXPECT_TRUE(a.GetAttributeValue(u"", u"id", &value));
  EXPECT_EQ(value, u"1");
  EXPECT_FALSE(a.GetAttributeValue(u"urn:1", u"id", &value));
  EXPECT_FALSE(a.AddAttributeNode(u"id", u"", u"again"));
  EXPECT_EQ(a.GetAttributeNode(u"", u"id")->GetValue(), u"1");
  EXPECT_EQ(a.GetAttributeNode(u"", u"id")->GetElementName(), u"a");
}

TEST(XmlElementTest, PrefixedAttributesBindOrRefuse) {
  XmlElement e(u"e", u"", u"e");
  ASSERT_TRUE(e.AddNamespace(u"p", u"urn:p"));
  EXPECT_FALSE(e.AddNamespace(u"p", u"urn:other"));
  EXPECT_EQ(*e.LookupNamespace(u"p"), u"urn:p");

  EXPECT_FALSE(e.AddAttributeNode(u"p:x", u"urn:other", u"1"));  // p is bound elsewhere
  EXPECT_TRUE(e.GetAttributes().empty());
  EXPECT_FALSE(e.AddAttributeNode(u":x", u"urn:p", u"1"));
  EXPECT_FALSE(e.AddAttributeNode(u"q:x", u"", u"1"));
  EXPECT_EQ(e.LookupNamespace(u"q"), nullptr);

  ASSERT_TRUE(e.AddAttributeNode(u"q:x", u"urn:q", u"2"));  // binds q as well
  EXPECT_EQ(*e.LookupNamespace(u"q"), u"urn:q");
  ASSERT_TRUE(e.AddAttributeNode(u"p:x", u"urn:p", u"1"));
  std::u16string value;
  EXPECT_TRUE(e.GetAttributeValue(u"urn:q", u"x", &value));
  EXPECT_EQ(value, u"2");
  const XmlAttribute* x = e.GetAttributeNode(u"urn:p", u"x");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->GetLocalName(), u"x");
  EXPECT_EQ(x->GetNamespaceURI(), u"urn:p");
}

TEST(XmlElementTest, KeysWithEqualJoinedStringsAreDistinct) {
  XmlElement e(u"e", u"", u"e");
  ASSERT_TRUE(e.AddAttributeNode(u"x:c", u"urn:ab", u"1"));
  ASSERT_TRUE(e.AddAttributeNode(u"y:bc", u"urn:a", u"2"));
  EXPECT_EQ(e.GetAttributes().size(), 2u);
  EXPECT_EQ(e.GetAttributeNode(u"urn:ab", u"c")->GetValue(), u"1");
  EXPECT_EQ(e.GetAttributeNode(u"urn:a", u"bc")->GetValue(), u"2");
  EXPECT_EQ(e.GetAttributeNode(u"urn:a", u"b"), nullptr);
  EXPECT_EQ(e.GetAttributeNode(u"urn:", u"abc"), nullptr);
}

TEST(XmlElementTest, DeclarationsAndChildren) {
  XmlElement e(u"e");
  EXPECT_TRUE(e.TakeNamespaceDeclaration(XmlAttribute(u"xmlns", u"urn:d")));
  EXPECT_TRUE(e.TakeNamespaceDeclaration(XmlAttribute(u"xmlns:p", u"urn:p")));
  EXPECT_TRUE(e.TakeNamespaceDeclaration(XmlAttribute(u"xmlns:p", u"urn:q")));  // overwrites
  EXPECT_FALSE(e.TakeNamespaceDeclaration(XmlAttribute(u"xmlnsx", u"urn:x")));
  EXPECT_FALSE(e.TakeNamespaceDeclaration(XmlAttribute(u"xmlns:", u"urn:x")));
  EXPECT_EQ(e.GetDefaultNamespace(), u"urn:d");
  EXPECT_EQ(*e.LookupNamespace(u"p"), u"urn:q");
  EXPECT_EQ(*e.LookupNamespace(u""), u"urn:d");

  EXPECT_EQ(e.AppendChild(nullptr), nullptr);
  XmlElement* c1 = e.AppendChild(std::make_unique<XmlElement>(u"p:c", u"urn:q", u"c"));
  e.AppendChild(std::make_unique<XmlElement>(u"c", u"", u"c"));
  EXPECT_EQ(e.GetChildCount(), 2u);
  EXPECT_EQ(e.FindChild(u"c", u"urn:q"), c1);
  EXPECT_EQ(e.FindChild(u"c", u""), e.GetChildList()[1].get());
  EXPECT_EQ(e.FindChild(u"c", u"urn:d"), nullptr);
}

TEST(XmlElementTest, DeepCopyIsIndependent) {
  XmlElement e(u"p:e", u"urn:p", u"e");
  e.AddNamespace(u"p", u"urn:p");
  e.SetDefaultNamespace(u"urn:d");
  e.AddAttributeNode(u"a", u"", u"1");
  e.SetText(u"text");
  XmlElement* child = e.AppendChild(std::make_unique<XmlElement>(u"c", u"", u"c"));
  child->AppendChild(std::make_unique<XmlElement>(u"g", u"", u"g"))->SetText(u"deep");

  XmlElementPtr copy = XmlElement::DeepCopy(e);
  e.AddNamespace(u"q", u"urn:q");
  child->SetText(u"changed");
  EXPECT_EQ(copy->GetQualifiedName(), u"p:e");
  EXPECT_EQ(copy->GetNamespaceURI(), u"urn:p");
  EXPECT_EQ(copy->GetDefaultNamespace(), u"urn:d");
  EXPECT_EQ(copy->GetText(), u"text");
  EXPECT_EQ(copy->LookupNamespace(u"q"), nullptr);
  EXPECT_EQ(*copy->LookupNamespace(u"p"), u"urn:p");
  std::u16string value;
  EXPECT_TRUE(copy->GetAttributeValue(u"", u"a", &value));
  // The attribute copy keeps the qualified name and value, not its own names.
  EXPECT_EQ(copy->GetAttributes().begin()->second->GetQualifiedName(), u"a");
  EXPECT_EQ(copy->GetAttributes().begin()->second->GetLocalName(), u"");
  ASSERT_EQ(copy->GetChildCount(), 1u);
  EXPECT_EQ(copy->GetChildList()[0]->GetText(), u"");
  EXPECT_EQ(copy->GetChildList()[0]->GetChildList()[0]->GetText(), u"deep");
}

TEST(XmlElementTest, DeletingAVeryDeepTreeDoesNotRecurse) {
  auto root = std::make_unique<XmlElement>(u"r", u"", u"r");
  XmlElement* at = root.get();
  for (int i = 0; i < 200000; ++i) {
    at = at->AppendChild(std::make_unique<XmlElement>(u"c", u"", u"c"));
    at->AddAttributeNode(u"a", u"", u"v");
  }
  root.reset();  // leak detection checks that each element and attribute went once
}

}  // namespace
}  // namespace xml
