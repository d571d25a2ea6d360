#include "wsdl/pruning_dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "xml/xml_parser.h"

namespace wsdl {
namespace {

size_t CountNodes(const xml::XmlElement& element) {
  size_t n = 1;
  for (const auto& child : element.GetChildList()) n += CountNodes(*child);
  return n;
}

// Takes every element and records the largest tree the parser held at a
// start tag.
class TreeWatcher final : public xml::NodeHandler {
 public:
  explicit TreeWatcher(const xml::XmlParser& parser) : parser_(parser) {}
  xml::NodeHandler* CreateChild(std::u16string_view, std::u16string_view, std::u16string_view,
                                const xml::AttributeMap&, const xml::NamespaceScope&,
                                xml::XmlElement&) override {
    if (const xml::XmlElement* root = parser_.GetRoot()) {
      largest = std::max(largest, CountNodes(*root));
    }
    ++elements;
    return this;
  }
  size_t largest = 0;
  size_t elements = 0;

 private:
  const xml::XmlParser& parser_;
};

TEST(PruningDispatcherTest, HoldsOnlyTheOpenElementsAndOneFinishedChildEach) {
  // 40 groups of 25 items, each with an attribute and text.
  std::string doc = "<r>";
  for (int g = 0; g < 40; ++g) {
    doc += "<g>";
    for (int i = 0; i < 25; ++i) doc += "<i n=\"" + std::to_string(i) + "\">t</i>";
    doc += "</g>";
  }
  doc += "</r>";
  const size_t elements = 1 + 40 * 26;

  struct Case {
    const char* what;
    bool prune;
  } cases[] = {{"plain dispatcher keeps the tree", false}, {"pruning dispatcher", true}};
  for (const Case& c : cases) {
    xml::XmlParser parser;
    TreeWatcher watcher(parser);
    xml::SaxDispatcher plain;
    PruningDispatcher pruning;
    xml::SaxDispatcher& dispatcher = c.prune ? pruning : plain;
    dispatcher.SetRootHandler(&watcher);
    parser.ParseXmlBuffer(doc.data(), doc.size(), &dispatcher);
    EXPECT_EQ(watcher.elements, elements) << c.what;  // every element still reaches the handlers
    ASSERT_NE(parser.GetRoot(), nullptr);
    if (c.prune) {
      // r, the open g, its finished item and the new one (or the previous g).
      EXPECT_LE(watcher.largest, 4u) << c.what;
      EXPECT_EQ(CountNodes(*parser.GetRoot()), 1u) << c.what;
    } else {
      EXPECT_EQ(watcher.largest, elements) << c.what;
      EXPECT_EQ(CountNodes(*parser.GetRoot()), elements) << c.what;
    }
  }
}

}  // namespace
}  // namespace wsdl
