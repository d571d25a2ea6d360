// PruningDispatcher: the SAX dispatcher of the WSDL reader's parses.
#pragma once

#include <string_view>
#include <vector>

#include "xml/sax_dispatcher.h"
#include "xml/xml_element.h"

namespace wsdl {

// The parser keeps the element tree of the whole document until its parse
// ends, though the model's handlers read each element only while it is open.
// This drops every element's subtree at its end tag, so the tree held is the
// open elements and at most one finished child of each.
class PruningDispatcher final : public xml::SaxDispatcher {
 public:
  void StartDocument() override {
    open_.clear();
    SaxDispatcher::StartDocument();
  }
  void StartElement(std::u16string_view uri, std::u16string_view local_name,
                    std::u16string_view qualified_name, const xml::AttributeMap& attributes,
                    xml::XmlElement& element) override {
    if (!open_.empty()) {
      // The new element is its parent's last child; those before it ended.
      xml::ChildList& siblings = open_.back()->GetChildList();
      if (siblings.size() > 1) siblings.erase(siblings.begin(), siblings.end() - 1);
    }
    open_.push_back(&element);
    SaxDispatcher::StartElement(uri, local_name, qualified_name, attributes, element);
  }
  bool EndElement(std::u16string_view uri, std::u16string_view local_name,
                  std::u16string_view qualified_name, xml::XmlElement& element) override {
    SaxDispatcher::EndElement(uri, local_name, qualified_name, element);
    // The parser reads only the element itself and its parent after this.
    xml::ChildList().swap(element.GetChildList());
    if (!open_.empty()) open_.pop_back();
    return true;
  }

 private:
  std::vector<xml::XmlElement*> open_;
};

}  // namespace wsdl
