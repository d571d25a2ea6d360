#include "xml/sax_dispatcher.h"

namespace xml {

SaxDispatcher::~SaxDispatcher() { ClearStack(); }

void SaxDispatcher::ClearStack() {
  // Our ignore handlers would have deleted themselves at their element's end;
  // a parse that stopped early never got there.
  for (const Entry& entry : stack_) {
    if (entry.owned) delete entry.handler;
  }
  stack_.clear();
  prefix_map_.clear();
}

void SaxDispatcher::StartDocument() {
  ClearStack();
  if (root_handler_) {
    stack_.push_back({root_handler_, false});
  } else {
    stack_.push_back({new IgnoreHandler, true});
  }
}

void SaxDispatcher::StartElement(std::u16string_view uri, std::u16string_view local_name,
                                 std::u16string_view qualified_name,
                                 const AttributeMap& attributes, XmlElement& element) {
  NodeHandler* child = nullptr;
  if (!stack_.empty()) {
    static const NamespaceScope kNothingBound(nullptr, {});
    const NamespaceScope* scope = element.GetScope();
    child = stack_.back().handler->CreateChild(uri, local_name, qualified_name, attributes,
                                               scope ? *scope : kNothingBound, element);
  }
  if (child) {
    // An IgnoreHandler deletes itself, so no handler can own one it returns.
    stack_.push_back({child, dynamic_cast<IgnoreHandler*>(child) != nullptr});
  } else {
    stack_.push_back({new IgnoreHandler, true});
  }
}

bool SaxDispatcher::EndElement(std::u16string_view uri, std::u16string_view local_name,
                               std::u16string_view qualified_name, XmlElement& element) {
  if (stack_.empty()) return true;
  NodeHandler* top = stack_.back().handler;
  if (top->EndElement(uri, local_name, qualified_name, element)) stack_.pop_back();
  return true;
}

void SaxDispatcher::Characters(std::u16string_view text) {
  if (!stack_.empty()) stack_.back().handler->Characters(text);
}

void SaxDispatcher::StartPrefixMapping(std::u16string_view prefix, std::u16string_view uri) {
  prefix_map_.insert_or_assign(std::u16string(prefix), std::u16string(uri));
}

void SaxDispatcher::EndPrefixMapping(std::u16string_view prefix) {
  if (auto it = prefix_map_.find(prefix); it != prefix_map_.end()) prefix_map_.erase(it);
}

}  // namespace xml
