// NodeHandler: one element's handler on the dispatcher's stack (see
// sax_dispatcher.h). It decides who handles each child element, receives its
// own element's text and end, and says when it is finished. IgnoreHandler
// skips an element with its whole subtree.
#pragma once

#include <string_view>

#include "xml/xml_element.h"

namespace xml {

class NodeHandler {
 public:
  virtual ~NodeHandler() = default;

  // The handler for a child element, or null to skip the child and its
  // subtree. `scope` is the chain of bindings in force on the element. A handler returned here is owned by whoever made it, unless it
  // is an IgnoreHandler (which owns itself).
  virtual NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                   std::u16string_view qualified_name,
                                   const AttributeMap& attributes, const NamespaceScope& scope,
                                   XmlElement& element) = 0;
  // True when the handler is finished and leaves the stack. A handler that
  // answers false stays on top and takes the following siblings' children.
  virtual bool EndElement(std::u16string_view uri, std::u16string_view local_name,
                          std::u16string_view qualified_name, XmlElement& element) {
    (void)uri, (void)local_name, (void)qualified_name, (void)element;
    return true;
  }
  // The element's whole text, after its children's events.
  virtual void Characters(std::u16string_view text) { (void)text; }

  int GetSoapVersion() const { return soap_version_; }

 protected:
  int soap_version_ = 11;  // 11 or 12: the SOAP version the handler works for
};

// Skips an element and everything in it. Always made with new: it deletes
// itself at its element's end, and a dispatcher deletes any still on its stack
// when a parse is abandoned.
class IgnoreHandler final : public NodeHandler {
 public:
  NodeHandler* CreateChild(std::u16string_view, std::u16string_view, std::u16string_view,
                           const AttributeMap&, const NamespaceScope&, XmlElement&) override {
    return nullptr;
  }
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  XmlElement&) override {
    delete this;
    return true;
  }
};

}  // namespace xml
