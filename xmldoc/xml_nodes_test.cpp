#include "xmldoc/xml_nodes.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/com/bstr.h"

namespace xmldoc {
namespace {

XmlElementPtr Leaf(std::u16string text) {
  auto e = std::make_unique<XmlElement>(u"v", u"", u"v");
  e->SetText(std::move(text));
  return e;
}

TEST(XmlNodes, GetNodeBoolAcceptsOnlyTheFourWords) {
  const std::tuple<std::u16string, bool, bool> cases[] = {
      {u"1", true, true},      {u"true", true, true},   {u"0", true, false},
      {u"false", true, false}, {u"TRUE", false, false}, {u"yes", false, false},
      {u"", false, false},     {u" 1", false, false},   {u"true ", false, false},
  };
  for (const auto& [text, ok, value] : cases) {
    SCOPED_TRACE(std::string(text.begin(), text.end()));
    XmlElementPtr e = Leaf(text);
    // Start from the opposite so "left alone" is visible either way.
    bool out = !value;
    EXPECT_EQ(GetNodeBool(&out, *e), ok);
    EXPECT_EQ(out, ok ? value : !value);
  }
}

TEST(XmlNodes, NumbersReadAndWrite) {
  XmlElementPtr e = Leaf(u"");
  SetNodeInt(-5, *e);
  EXPECT_EQ(e->GetText(), u"-5");
  SetNodeULong(4294967295u, *e);
  EXPECT_EQ(e->GetText(), u"4294967295");
  uint32_t u = 0;
  ASSERT_TRUE(GetNodeULong(&u, *e));
  EXPECT_EQ(u, 4294967295u);
  int i = 1;
  e->SetText(u"12abc");
  ASSERT_TRUE(GetNodeInt(&i, *e));
  EXPECT_EQ(i, 12);
  e->SetText(u"abc");
  ASSERT_TRUE(GetNodeInt(&i, *e));
  EXPECT_EQ(i, 0);
  SetNodeBool(true, *e);
  EXPECT_EQ(e->GetText(), u"true");
  SetNodeBool(false, *e);
  EXPECT_EQ(e->GetText(), u"false");
}

TEST(XmlNodes, NarrowTextIsUtf8) {
  XmlElementPtr e = Leaf(u"");
  SetNodeTextNarrow("caf\xC3\xA9 \xF0\x9F\x98\x80", *e);
  EXPECT_EQ(e->GetText(), u"caf\u00E9 \U0001F600");
  std::string narrow;
  ASSERT_TRUE(GetNodeTextNarrow(&narrow, *e));
  EXPECT_EQ(narrow, "caf\xC3\xA9 \xF0\x9F\x98\x80");
}

TEST(XmlNodes, CreatedElementsAreNamedAndDeclareTheirNamespace) {
  XmlElementPtr root;
  XmlElement* r = CreateRootElement(root, u"", u"p", u"plain");
  EXPECT_EQ(r->GetQualifiedName(), u"plain") << "no namespace: the prefix is ignored";
  EXPECT_EQ(SerializeDocument(r, false), "<plain />");

  r = CreateRootElement(root, u"urn:a", u"p", u"x");
  ASSERT_EQ(root.get(), r) << "the old root is replaced";
  EXPECT_EQ(r->GetQualifiedName(), u"p:x");
  EXPECT_EQ(r->GetNamespaceURI(), u"urn:a");
  XmlElement* c = CreateChildElement(r, u"urn:a", u"p", u"y");
  XmlElement* d = CreateChildElement(r, u"urn:d", u"", u"z");
  ASSERT_EQ(r->GetChildCount(), 2u);
  EXPECT_EQ(r->GetChildList()[0].get(), c);
  EXPECT_EQ(d->GetQualifiedName(), u"z");
  EXPECT_EQ(SerializeDocument(r, true),
            "\r\n<p:x xmlns:p=\"urn:a\">"
            "\r\n    <p:y />"
            "\r\n    <z xmlns=\"urn:d\" />"
            "\r\n</p:x>");

  XmlElementPtr orphan(CreateChildElement(nullptr, u"", u"", u"o"));
  EXPECT_EQ(orphan->GetQualifiedName(), u"o");
}

TEST(XmlNodes, IndentedLayout) {
  XmlElementPtr root;
  XmlElement* r = CreateRootElement(root, u"", u"", u"r");
  CreateChildElement(r, u"", u"", u"a")->SetText(u"x");
  CreateChildElement(r, u"", u"", u"b");
  XmlElement* c = CreateChildElement(r, u"", u"", u"c");
  c->SetText(u"dropped");
  CreateChildElement(c, u"", u"", u"d")->SetText(u"1 < 2 & \"q\" > 0");
  ASSERT_TRUE(c->AddAttributeNode(u"k", u"", u"a'\"<>&"));

  EXPECT_EQ(SerializeDocument(r, true),
            "\r\n<r>"
            "\r\n    <a>x</a>"
            "\r\n    <b />"
            "\r\n    <c k=\"a&apos;&quot;&lt;>&amp;\">"
            "\r\n        <d>1 &lt; 2 &amp; \"q\" &gt; 0</d>"
            "\r\n    </c>"
            "\r\n</r>");
  EXPECT_EQ(c->GetText(), u"") << "text beside children is cleared in the element too";
  EXPECT_EQ(SerializeDocument(nullptr, true), "");
  EXPECT_EQ(DocumentFileText(*r).rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n\r\n<r>", 0),
            0u);
}

TEST(XmlNodes, ElementToBstrIsCompactAndSkipsInheritedDeclarations) {
  XmlElementPtr root;
  XmlElement* r = CreateRootElement(root, u"urn:a", u"p", u"r");
  XmlElement* c = CreateChildElement(r, u"urn:a", u"p", u"c");
  CreateChildElement(c, u"", u"", u"t")->SetText(u"a<b");
  Bstr whole = Bstr::Adopt(ElementToBSTR(*r, nullptr));
  EXPECT_EQ(whole.View(), u"<p:r xmlns:p=\"urn:a\"><p:c><t>a&lt;b</t></p:c></p:r>");
  Bstr under = Bstr::Adopt(ElementToBSTR(*c, r));
  EXPECT_EQ(under.View(), u"<p:c><t>a&lt;b</t></p:c>");
  Bstr alone = Bstr::Adopt(ElementToBSTR(*c, nullptr));
  EXPECT_EQ(alone.View(), u"<p:c xmlns:p=\"urn:a\"><t>a&lt;b</t></p:c>");
}

TEST(XmlNodes, LoadFileAcceptsFileUrlsAndRejectsBadInput) {
  const std::string path = ::testing::TempDir() + "/serverxml-" + std::to_string(getpid()) + ".xml";
  std::ofstream(path, std::ios::binary) << "<r><a>1</a>\n  <a>2</a><b/></r>";
  std::string error;
  XmlElementPtr root = LoadXmlFile("file://" + path, 1024, &error);
  ASSERT_TRUE(root) << error;
  EXPECT_EQ(ChildrenNamed(*root, u"a").size(), 2u);
  const XmlElement* a = FindChildNamed(*root, u"a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->GetText(), u"1");
  EXPECT_EQ(FindChildNamed(*root, u"missing"), nullptr);

  EXPECT_FALSE(LoadXmlFile(path, 10, &error));
  EXPECT_NE(error.find("larger than 10 bytes"), std::string::npos) << error;

  std::ofstream(path, std::ios::binary) << "<r>\n<a></b></r>";
  EXPECT_FALSE(LoadXmlFile(path, 1024, &error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
  std::remove(path.c_str());
  EXPECT_FALSE(LoadXmlFile(path, 1024, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

TEST(XmlNodes, ChildrenInANamespaceAreNotSelectedByPlainNames) {
  const std::string path =
      ::testing::TempDir() + "/serverxml-ns-" + std::to_string(getpid()) + ".xml";
  std::ofstream(path, std::ios::binary) << "<r xmlns=\"urn:x\"><a>1</a></r>";
  XmlElementPtr root = LoadXmlFile(path, 1024);
  std::remove(path.c_str());
  ASSERT_TRUE(root);
  EXPECT_EQ(FindChildNamed(*root, u"a"), nullptr);
  EXPECT_TRUE(ChildrenNamed(*root, u"a").empty());
}

}  // namespace
}  // namespace xmldoc

namespace xmldoc {
namespace {

TEST(XmlNodes, SettersReportSuccess) {
  struct Case {
    const char* name;
    bool (*set)(XmlElement&);
    std::u16string text;
  };
  const Case cases[] = {
      {"narrow", [](XmlElement& e) { return SetNodeTextNarrow("h\xC3\xA9", e); }, u"h\u00e9"},
      {"int", [](XmlElement& e) { return SetNodeInt(-2147483647 - 1, e); }, u"-2147483648"},
      {"ulong", [](XmlElement& e) { return SetNodeULong(4294967295u, e); }, u"4294967295"},
      {"bool", [](XmlElement& e) { return SetNodeBool(false, e); }, u"false"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    XmlElement e(u"v", u"", u"v");
    EXPECT_TRUE(c.set(e));
    EXPECT_EQ(e.GetText(), c.text);
  }
}

class WriteDocument : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "/writedoc-" + std::to_string(getpid());
    ASSERT_EQ(system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str()), 0);
    root_ = std::make_unique<XmlElement>(u"configuration", u"", u"configuration");
    CreateChildElement(root_.get(), u"", u"", u"hostname")->SetText(u"h");
  }
  void TearDown() override { EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_;
  XmlElementPtr root_;
};

TEST_F(WriteDocument, WritesTheFileTextAndDropsOnlyALeadingScheme) {
  const std::string plain = dir_ + "/a.xml";
  ASSERT_TRUE(WriteDocumentToFile("file://" + plain, *root_));
  EXPECT_EQ(Read(plain), DocumentFileText(*root_));

  // A directory that merely contains the scheme is a directory like any other.
  const std::string odd = dir_ + "/x-file://y";
  ASSERT_EQ(system(("mkdir -p '" + odd + "'").c_str()), 0);
  ASSERT_TRUE(WriteDocumentToFile(odd + "/b.xml", *root_));
  EXPECT_EQ(Read(odd + "/b.xml"), DocumentFileText(*root_));
  EXPECT_NE(LoadXmlFile(odd + "/b.xml", 1 << 20), nullptr);
}

TEST_F(WriteDocument, WritesTheConfigurationLayoutByteForByte) {
  XmlElementPtr root;
  XmlElement* r = CreateRootElement(root, u"", u"", u"configuration");
  ASSERT_TRUE(SetNodeTextNarrow("", *CreateChildElement(r, u"", u"", u"listenAddress")));
  ASSERT_TRUE(SetNodeInt(80, *CreateChildElement(r, u"", u"", u"listenPort")));
  const std::string path = dir_ + "/c.xml";
  ASSERT_TRUE(WriteDocumentToFile(path, *r));
  EXPECT_EQ(Read(path),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
            "\r\n<configuration>"
            "\r\n    <listenAddress />"
            "\r\n    <listenPort>80</listenPort>"
            "\r\n</configuration>");
}

// A full disk, as the file-size limit: the old file must survive whole.
TEST_F(WriteDocument, FailedWriteKeepsTheOldFile) {
  const std::string path = dir_ + "/full.xml";
  { std::ofstream(path) << "old"; }
  for (int i = 0; i < 50; ++i) CreateChildElement(root_.get(), u"", u"", u"padding");
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  const bool written = WriteDocumentToFile(path, *root_);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(written);
  EXPECT_EQ(Read(path), "old");
  EXPECT_EQ(system(("test $(ls -A '" + dir_ + "' | wc -l) -eq 1").c_str()), 0)
      << "no temporary file is left behind";
}

TEST_F(WriteDocument, FailsWhenTheParentIsARegularFile) {
  const std::string file = dir_ + "/plain";
  { std::ofstream(file) << "old"; }
  EXPECT_FALSE(WriteDocumentToFile(file + "/c.xml", *root_));
  EXPECT_EQ(Read(file), "old");
}

}  // namespace
}  // namespace xmldoc
