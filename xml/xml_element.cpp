#include "xml/xml_element.h"

#include <utility>

namespace xml {

namespace {

// Three-way comparison of `joined` with the concatenation of the view's parts.
int CompareJoined(std::u16string_view joined, const AttributeKeyView& v) {
  size_t pos = 0;
  for (std::u16string_view part : {v.part1, v.part2, v.part3}) {
    const size_t n = std::min(part.size(), joined.size() - pos);
    if (int r = joined.substr(pos, n).compare(part.substr(0, n)); r != 0) return r;
    if (n < part.size()) return -1;  // `joined` ran out first
    pos += n;
  }
  return pos < joined.size() ? 1 : 0;
}

int CompareKey(const AttributeKey& a, const AttributeKeyView& b) {
  if (int r = CompareJoined(a.joined, b); r != 0) return r;
  return std::u16string_view(a.ns).compare(b.ns);
}

const NamespaceMap& EmptyScope() {
  static const NamespaceMap empty;
  return empty;
}

}  // namespace

bool AttributeKeyLess::operator()(const AttributeKey& a, const AttributeKeyView& b) const {
  return CompareKey(a, b) < 0;
}

bool AttributeKeyLess::operator()(const AttributeKeyView& a, const AttributeKey& b) const {
  return CompareKey(b, a) > 0;
}

XmlNode::XmlNode(std::u16string qualified_name) : qualified_name_(std::move(qualified_name)) {}

XmlNode::XmlNode(std::u16string qualified_name, std::u16string namespace_uri,
                 std::u16string local_name)
    : namespace_uri_(std::move(namespace_uri)),
      local_name_(std::move(local_name)),
      qualified_name_(std::move(qualified_name)) {}

bool XmlNode::IsSameName(const XmlNode& other) const {
  return namespace_uri_ == other.namespace_uri_ && local_name_ == other.local_name_;
}

XmlAttribute::XmlAttribute(std::u16string qualified_name, std::u16string value)
    : XmlNode(std::move(qualified_name)), value_(std::move(value)) {}

XmlAttribute::XmlAttribute(const XmlAttribute& other)
    : XmlNode(other.qualified_name_),
      element_name_(other.element_name_),
      element_namespace_(other.element_namespace_),
      value_(other.value_) {}

XmlElement::XmlElement(std::u16string qualified_name) : XmlNode(std::move(qualified_name)) {}

XmlElement::XmlElement(std::u16string qualified_name, std::u16string namespace_uri,
                       std::u16string local_name)
    : XmlNode(std::move(qualified_name), std::move(namespace_uri), std::move(local_name)) {}

XmlElement::~XmlElement() {
  // Flatten the subtree first so that deleting a deep tree never recurses.
  if (children_.empty()) return;
  ChildList pending = std::move(children_);
  while (!pending.empty()) {
    XmlElementPtr element = std::move(pending.back());
    pending.pop_back();
    for (XmlElementPtr& child : element->children_) pending.push_back(std::move(child));
    element->children_.clear();
  }
}

XmlElement* XmlElement::AppendChild(XmlElementPtr&& child) {
  if (!child) return nullptr;
  children_.push_back(std::move(child));
  return children_.back().get();
}

bool XmlElement::SetAttribute(std::u16string_view name, std::u16string_view value) {
  AttributeKey key{std::u16string(name), {}};
  if (attributes_.contains(key)) return false;
  auto attribute =
      std::make_unique<XmlAttribute>(std::u16string(name), std::u16string(value));
  attributes_.emplace(std::move(key), std::move(attribute));
  return true;
}

bool XmlElement::AddAttributeNode(std::u16string_view qualified_name, std::u16string_view uri,
                                  std::u16string_view value) {
  const size_t colon = qualified_name.find(u':');
  auto attribute =
      std::make_unique<XmlAttribute>(std::u16string(qualified_name), std::u16string(value));
  AttributeKey key;
  bool bind_prefix = false;
  std::u16string_view prefix;
  if (colon == std::u16string_view::npos) {
    attribute->SetLocalName(std::u16string(qualified_name));
    attribute->SetElementName(local_name_);
    attribute->SetElementNamespace(namespace_uri_);
    key.joined = namespace_uri_ + local_name_;
    key.joined.append(qualified_name);
  } else {
    prefix = qualified_name.substr(0, colon);
    // An empty URI would make the key collide with unprefixed attributes and
    // write a declaration that no reader accepts.
    if (prefix.empty() || uri.empty()) return false;
    const std::u16string* bound = LookupNamespace(prefix);
    if (bound && *bound != uri) return false;
    bind_prefix = bound == nullptr;
    attribute->SetNamespaceURI(std::u16string(uri));
    attribute->SetLocalName(std::u16string(qualified_name.substr(colon + 1)));
    key.joined = attribute->GetNamespaceURI() + attribute->GetLocalName();
    key.ns = std::u16string(uri);
  }
  if (attributes_.contains(key)) return false;
  if (bind_prefix) AddNamespace(prefix, uri);
  attributes_.emplace(std::move(key), std::move(attribute));
  return true;
}

bool XmlElement::AddNamespace(std::u16string_view prefix, std::u16string_view uri) {
  if (LookupNamespace(prefix)) return false;
  auto scope = scope_ ? std::make_shared<NamespaceMap>(*scope_) : std::make_shared<NamespaceMap>();
  scope->emplace(std::u16string(prefix), std::u16string(uri));
  scope_ = std::move(scope);
  return true;
}

bool XmlElement::TakeNamespaceDeclaration(const XmlAttribute& attribute) {
  std::u16string_view name = attribute.GetQualifiedName();
  if (!name.starts_with(u"xmlns")) return false;
  std::u16string_view prefix;
  if (name.size() == 5) {
    default_namespace_ = attribute.GetValue();
  } else if (name[5] == u':' && name.size() > 6) {
    prefix = name.substr(6);
  } else {
    return false;
  }
  auto scope = scope_ ? std::make_shared<NamespaceMap>(*scope_) : std::make_shared<NamespaceMap>();
  scope->insert_or_assign(std::u16string(prefix), attribute.GetValue());
  scope_ = std::move(scope);
  return true;
}

const XmlAttribute* XmlElement::GetAttributeNode(std::u16string_view uri,
                                                 std::u16string_view local_name) const {
  const AttributeKeyView key = uri.empty()
                                   ? AttributeKeyView{namespace_uri_, local_name_, local_name, {}}
                                   : AttributeKeyView{uri, local_name, {}, uri};
  auto it = attributes_.find(key);
  return it == attributes_.end() ? nullptr : it->second.get();
}

bool XmlElement::GetAttributeValue(std::u16string_view uri, std::u16string_view local_name,
                                   std::u16string* value) const {
  const XmlAttribute* attribute = GetAttributeNode(uri, local_name);
  if (!attribute) return false;
  *value = attribute->GetValue();
  return true;
}

XmlElement* XmlElement::FindChild(std::u16string_view local_name,
                                  std::u16string_view uri) const {
  for (const XmlElementPtr& child : children_) {
    if (child->local_name_ == local_name && child->namespace_uri_ == uri) return child.get();
  }
  return nullptr;
}

const NamespaceMap& XmlElement::GetNamespaceScope() const {
  return scope_ ? *scope_ : EmptyScope();
}

const std::u16string* XmlElement::LookupNamespace(std::u16string_view prefix) const {
  if (!scope_) return nullptr;
  auto it = scope_->find(prefix);
  return it == scope_->end() ? nullptr : &it->second;
}

XmlElementPtr XmlElement::DeepCopy(const XmlElement& element) {
  auto copy = std::make_unique<XmlElement>(element.qualified_name_, element.namespace_uri_,
                                           element.local_name_);
  copy->scope_ = element.scope_;  // immutable once shared; writers copy on change
  copy->default_namespace_ = element.default_namespace_;
  copy->text_ = element.text_;
  for (const auto& [key, attribute] : element.attributes_) {
    copy->attributes_.emplace(key, std::make_unique<XmlAttribute>(*attribute));
  }
  copy->children_.reserve(element.children_.size());
  for (const XmlElementPtr& child : element.children_) {
    copy->children_.push_back(DeepCopy(*child));
  }
  return copy;
}

}  // namespace xml
