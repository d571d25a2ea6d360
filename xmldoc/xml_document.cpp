#include "xmldoc/xml_document.h"

#include "platform/text/text.h"
#include "xml/xml_parser.h"

namespace xmldoc {

namespace {

struct Step {
  std::u16string_view uri;
  std::u16string_view local_name;
  bool any = false;      // "*"
  int position = 0;      // 0: every match
};

// Parses one step; false for an empty name, a bad position or an unmapped prefix.
bool ParseStep(std::u16string_view text, const QueryNamespaces& namespaces, Step* step) {
  if (const size_t open = text.find(u'['); open != text.npos) {
    const size_t close = text.find(u']', open + 1);
    if (close == text.npos) return false;
    step->position = text::WToI(text.substr(open + 1, close - open - 1));
    if (step->position < 1) return false;
    text = text.substr(0, open);
  }
  if (text.empty()) return false;
  if (text == u"*") {
    step->any = true;
    return true;
  }
  if (const size_t colon = text.find(u':'); colon != text.npos) {
    auto it = namespaces.find(text.substr(0, colon));
    if (it == namespaces.end()) return false;
    step->uri = it->second;
    step->local_name = text.substr(colon + 1);
  } else {
    step->local_name = text;  // no namespace
  }
  return true;
}

bool Matches(const Step& step, const xml::XmlElement& element) {
  return step.any ||
         (element.GetLocalName() == step.local_name && element.GetNamespaceURI() == step.uri);
}

}  // namespace

void XmlDocument::ClearResults() {
  results_.clear();
  cursor_ = 0;
}

void XmlDocument::CopyOfNode(const xml::XmlElement& element) {
  xml::XmlElementPtr copy = xml::XmlElement::DeepCopy(element);  // before `element` may go
  ClearResults();
  root_ = std::move(copy);
}

bool XmlDocument::LoadFromBuffer(const void* bytes, size_t length) {
  ClearResults();
  root_.reset();
  xml::XmlParser parser;
  try {
    parser.ParseXmlBuffer(bytes, length, nullptr);
  } catch (int) {
    return false;
  }
  root_ = parser.DetachRoot();
  return root_ != nullptr;
}

bool XmlDocument::LoadFromText(std::u16string_view text) {
  ClearResults();
  root_.reset();
  xml::XmlParser parser;
  try {
    parser.Parse(text, nullptr);
  } catch (int) {
    return false;
  }
  root_ = parser.DetachRoot();
  return root_ != nullptr;
}

void XmlDocument::SetRoot(xml::XmlElementPtr&& root) {
  ClearResults();
  root_ = std::move(root);
}

bool XmlDocument::QueryFrom(const xml::XmlElement& element, std::u16string_view path,
                            const QueryNamespaces& namespaces) {
  ClearResults();
  return SelectNodesByPath(element, path, results_, namespaces) && !results_.empty();
}

bool XmlDocument::Query(std::u16string_view path, const QueryNamespaces& namespaces) {
  ClearResults();
  return SelectNodes(path, results_, namespaces) && !results_.empty();
}

xml::XmlElement* XmlDocument::NextNode() {
  return cursor_ < results_.size() ? results_[cursor_++] : nullptr;
}

bool XmlDocument::SelectNodes(std::u16string_view path, std::vector<xml::XmlElement*>& results,
                              const QueryNamespaces& namespaces) const {
  if (!root_ || !path.starts_with(u'/')) return false;
  if (path == u"/") {
    results.push_back(root_.get());
    return true;
  }
  return SelectNodesByPath(*root_, path.substr(1), results, namespaces);
}

bool SelectNodesByPath(const xml::XmlElement& element, std::u16string_view path,
                       std::vector<xml::XmlElement*>& results,
                       const QueryNamespaces& namespaces) {
  const size_t slash = path.find(u'/');
  const bool last = slash == path.npos;
  Step step;
  if (!ParseStep(path.substr(0, slash), namespaces, &step)) return false;
  const std::u16string_view rest = last ? std::u16string_view() : path.substr(slash + 1);

  int matched = 0;
  for (const xml::XmlElementPtr& child : element.GetChildList()) {
    if (!Matches(step, *child)) continue;
    ++matched;
    if (step.position != 0 && matched != step.position) continue;
    if (last) {
      results.push_back(child.get());
    } else if (!SelectNodesByPath(*child, rest, results, namespaces)) {
      return false;
    }
    if (step.position != 0) return true;
  }
  return step.position == 0;
}

}  // namespace xmldoc
