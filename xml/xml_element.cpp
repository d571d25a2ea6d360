#include "xml/xml_element.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace xml {

namespace {

using Parts = std::array<std::u16string_view, 3>;

// Three-way comparison of the two concatenations of parts, without making them.
int CompareJoined(const Parts& a, const Parts& b) {
  size_t i = 0, j = 0;    // current part
  size_t ai = 0, bj = 0;  // offset in it
  for (;;) {
    while (i < a.size() && ai == a[i].size()) ++i, ai = 0;
    while (j < b.size() && bj == b[j].size()) ++j, bj = 0;
    const bool a_done = i == a.size(), b_done = j == b.size();
    if (a_done || b_done) return a_done == b_done ? 0 : (a_done ? -1 : 1);
    const size_t n = std::min(a[i].size() - ai, b[j].size() - bj);
    if (int r = a[i].substr(ai, n).compare(b[j].substr(bj, n)); r != 0) return r;
    ai += n;
    bj += n;
  }
}

int CompareKey(Parts a, std::u16string_view a_ns, Parts b, std::u16string_view b_ns) {
  // The keys of one element share their leading parts (its URI and name), and
  // those may be long: parts that are one and the same text are skipped.
  for (size_t k = 0; k < a.size() && a[k].data() == b[k].data() && a[k].size() == b[k].size();
       ++k) {
    a[k] = b[k] = {};
  }
  if (int r = CompareJoined(a, b); r != 0) return r;
  return a_ns.compare(b_ns);
}

int CompareKey(const AttributeKey& a, const AttributeKeyView& b) {
  return CompareKey({a.part1, a.part2, a.part3}, a.ns, {b.part1, b.part2, b.part3}, b.ns);
}

bool SameText(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         (a.empty() || a.data() == b.data() ||
          std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
}

// Equality of a stored key and a looked-up one. Lengths settle most misses, and
// the parts of both are spelled alike (URI or element name first), so part
// boundaries only need checking when the pieces are not one for one.
bool KeyEquals(const AttributeKey& a, const AttributeKeyView& b) {
  const Parts pa{a.part1, a.part2, a.part3}, pb{b.part1, b.part2, b.part3};
  if (pa[0].size() + pa[1].size() + pa[2].size() != pb[0].size() + pb[1].size() + pb[2].size() ||
      !SameText(a.ns, b.ns)) {
    return false;
  }
  if (pa[0].size() == pb[0].size() && pa[1].size() == pb[1].size()) {
    return SameText(pa[0], pb[0]) && SameText(pa[1], pb[1]) && SameText(pa[2], pb[2]);
  }
  return CompareJoined(pa, pb) == 0;
}

// Elements hold a handful of attributes: a scan of equalities beats the tree's
// ordered comparisons of long namespace URIs.
constexpr size_t kScanAttributes = 8;

}  // namespace

NamespaceScope::NamespaceScope(Ptr parent, NamespaceMap declared)
    : parent_(std::move(parent)), declared_(std::move(declared)) {
  depth_ = parent_ ? parent_->depth_ + 1 : 1;
  binding_count_ = parent_ ? parent_->binding_count_ : 0;
  for (const auto& [prefix, uri] : declared_) {
    if (!parent_ || !parent_->Find(prefix)) ++binding_count_;
  }
}

const SharedString* NamespaceScope::Find(std::u16string_view prefix) const {
  for (const NamespaceScope* level = this; level; level = level->parent_.get()) {
    auto it = level->declared_.find(prefix);
    if (it != level->declared_.end()) return &it->second;
  }
  return nullptr;
}

NamespaceMap NamespaceScope::BindingsSince(const NamespaceScope* ancestor) const {
  NamespaceMap bindings;
  for (const NamespaceScope* level = this; level && level != ancestor;
       level = level->parent_.get()) {
    // Inner levels come first, and emplace keeps what is already there.
    for (const auto& [prefix, uri] : level->declared_) bindings.emplace(prefix, uri);
  }
  return bindings;
}

std::strong_ordering operator<=>(const AttributeKey& a, const AttributeKey& b) {
  return CompareKey({a.part1, a.part2, a.part3}, a.ns, {b.part1, b.part2, b.part3}, b.ns) <=> 0;
}

bool AttributeKeyLess::operator()(const AttributeKey& a, const AttributeKeyView& b) const {
  return CompareKey(a, b) < 0;
}

bool AttributeKeyLess::operator()(const AttributeKeyView& a, const AttributeKey& b) const {
  return CompareKey(b, a) > 0;
}

XmlNode::XmlNode(std::u16string qualified_name) : qualified_name_(std::move(qualified_name)) {}

XmlNode::XmlNode(std::u16string qualified_name, SharedString namespace_uri,
                 SharedString local_name)
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

XmlElement::XmlElement(std::u16string qualified_name, SharedString namespace_uri,
                       SharedString local_name)
    : XmlNode(std::move(qualified_name), std::move(namespace_uri), std::move(local_name)) {}

XmlElement::~XmlElement() {
  // Deletes a deep tree without recursion and without allocating: this runs
  // while a failed allocation unwinds. An element with children is taken off
  // the work list, which then parks inside it (in the slot the element
  // freed, with a link to the previous parked element) while its own
  // children are the work list.
  if (children_.empty()) return;
  ChildList work = std::move(children_);
  XmlElementPtr parked;
  for (;;) {
    if (work.empty()) {
      if (!parked) break;
      XmlElementPtr node = std::move(parked);
      parked = std::move(node->children_.back());
      node->children_.pop_back();
      work.swap(node->children_);
      continue;  // node goes now, childless
    }
    XmlElementPtr element = std::move(work.back());
    work.pop_back();
    if (!element || element->children_.empty()) continue;
    work.swap(element->children_);
    // Cannot allocate: the pop above left a free slot.
    element->children_.push_back(std::move(parked));
    parked = std::move(element);
  }
}

XmlElement* XmlElement::AppendChild(XmlElementPtr&& child) {
  if (!child) return nullptr;
  // Most elements with children have a few: one block for the first four
  // instead of three growths.
  if (children_.empty()) children_.reserve(4);
  children_.push_back(std::move(child));
  return children_.back().get();
}

bool XmlElement::AddAttribute(std::u16string_view name, std::u16string_view value) {
  AttributeKey key{{}, {}, SharedString(name), {}};
  if (attributes_.contains(key)) return false;
  auto attribute =
      std::make_unique<XmlAttribute>(std::u16string(name), std::u16string(value));
  attributes_.emplace(std::move(key), std::move(attribute));
  return true;
}

void XmlElement::PutAttribute(std::u16string_view name, std::u16string_view value) {
  attributes_.insert_or_assign(AttributeKey{{}, {}, SharedString(name), {}},
                               std::make_unique<XmlAttribute>(std::u16string(name),
                                                              std::u16string(value)));
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
    const SharedString name = StringInterner::Share(qualified_name);
    attribute->SetLocalName(name);
    attribute->SetElementName(local_name_);
    attribute->SetElementNamespace(namespace_uri_);
    key = {namespace_uri_, local_name_, name, {}};
  } else {
    prefix = qualified_name.substr(0, colon);
    // An empty URI would make the key collide with unprefixed attributes and
    // write a declaration that no reader accepts.
    if (prefix.empty() || uri.empty()) return false;
    const std::u16string* bound = LookupNamespace(prefix);
    if (bound && *bound != uri) return false;
    bind_prefix = bound == nullptr;
    const SharedString shared_uri = StringInterner::Share(uri),
                       local = StringInterner::Share(qualified_name.substr(colon + 1));
    attribute->SetNamespaceURI(shared_uri);
    attribute->SetLocalName(local);
    key = {shared_uri, {}, local, shared_uri};
  }
  if (attributes_.contains(key)) return false;
  if (bind_prefix) AddNamespace(prefix, uri);
  attributes_.emplace(std::move(key), std::move(attribute));
  return true;
}

bool XmlElement::AddNamespace(std::u16string_view prefix, std::u16string_view uri) {
  if (LookupNamespace(prefix)) return false;
  Bind(prefix, uri);
  return true;
}

void XmlElement::Bind(std::u16string_view prefix, std::u16string_view uri) {
  NamespaceScope::Ptr base = scope_;
  if (base && base->GetDepth() >= NamespaceScope::kMaxDepth) {
    base = std::make_shared<const NamespaceScope>(nullptr, base->Flatten());
  }
  scope_ = std::make_shared<const NamespaceScope>(
      std::move(base), NamespaceMap{{StringInterner::Share(prefix), StringInterner::Share(uri)}});
}

bool XmlElement::TakeNamespaceDeclaration(const XmlAttribute& attribute) {
  std::u16string_view name = attribute.GetQualifiedName();
  if (!name.starts_with(u"xmlns")) return false;
  std::u16string_view prefix;
  const SharedString uri(attribute.GetValue());
  if (name.size() == 5) {
    default_namespace_ = uri;
  } else if (name[5] == u':' && name.size() > 6) {
    prefix = name.substr(6);
  } else {
    return false;
  }
  Bind(prefix, uri);
  return true;
}

const XmlAttribute* XmlElement::GetAttributeNode(std::u16string_view uri,
                                                 std::u16string_view local_name) const {
  const AttributeKeyView key = uri.empty()
                                   ? AttributeKeyView{namespace_uri_, local_name_, local_name, {}}
                                   : AttributeKeyView{uri, local_name, {}, uri};
  if (attributes_.size() <= kScanAttributes) {
    for (const auto& [stored, attribute] : attributes_) {
      if (KeyEquals(stored, key)) return attribute.get();
    }
    return nullptr;
  }
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

NamespaceMap XmlElement::GetNamespaceScope() const {
  return scope_ ? scope_->Flatten() : NamespaceMap();
}

const SharedString* XmlElement::FindBinding(std::u16string_view prefix) const {
  return scope_ ? scope_->Find(prefix) : nullptr;
}

const std::u16string* XmlElement::LookupNamespace(std::u16string_view prefix) const {
  const SharedString* uri = FindBinding(prefix);
  return uri ? &uri->str() : nullptr;
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
