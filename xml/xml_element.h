// The namespace-resolved element tree: XmlNode (names), XmlAttribute,
// XmlTextContent (an element's one text string) and XmlElement, which owns its
// attributes and children. The parser builds these trees, the writer prints
// them, handlers read them while a parse runs and code builds them for
// output. A tree belongs to one thread at a time.
#pragma once

#include <compare>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "xml/shared_string.h"

namespace xml {

class XmlElement;
using XmlElementPtr = std::unique_ptr<XmlElement>;

// Base of elements and attributes: namespace URI, local name and the qualified
// name as written. The URI and local name are shared with the other nodes
// that carry them; the accessors return the shared text.
class XmlNode {
 public:
  XmlNode() = default;
  explicit XmlNode(std::u16string qualified_name);
  XmlNode(std::u16string qualified_name, SharedString namespace_uri, SharedString local_name);
  virtual ~XmlNode() = default;

  // True when both nodes have the same (namespace URI, local name) pair. The
  // parts are compared separately: {a}bc and {ab}c are different names.
  virtual bool IsSameName(const XmlNode& other) const;

  const std::u16string& GetNamespaceURI() const { return namespace_uri_; }
  void SetNamespaceURI(SharedString uri) { namespace_uri_ = std::move(uri); }
  const std::u16string& GetLocalName() const { return local_name_; }
  // The names as shared, for records that keep them beside the tree.
  const SharedString& SharedNamespaceURI() const { return namespace_uri_; }
  const SharedString& SharedLocalName() const { return local_name_; }
  void SetLocalName(SharedString name) { local_name_ = std::move(name); }
  const std::u16string& GetQualifiedName() const { return qualified_name_; }

 protected:
  XmlNode(const XmlNode&) = default;
  XmlNode& operator=(const XmlNode&) = default;

  SharedString namespace_uri_;
  SharedString local_name_;
  std::u16string qualified_name_;
};

class XmlAttribute : public XmlNode {
 public:
  XmlAttribute(std::u16string qualified_name, std::u16string value);
  // Copies the qualified name, the owning element's names and the value; the
  // copy's own namespace URI and local name are empty. Used to move attributes
  // between trees, where only the qualified name and the value are written.
  XmlAttribute(const XmlAttribute& other);
  XmlAttribute& operator=(const XmlAttribute&) = delete;

  const std::u16string& GetValue() const { return value_; }
  void SetValue(std::u16string value) { value_ = std::move(value); }
  // The owning element's local name and namespace URI; set only on attributes
  // without a prefix, whose key includes them.
  const std::u16string& GetElementName() const { return element_name_; }
  void SetElementName(SharedString name) { element_name_ = std::move(name); }
  const std::u16string& GetElementNamespace() const { return element_namespace_; }
  void SetElementNamespace(SharedString uri) { element_namespace_ = std::move(uri); }

 private:
  friend class XmlParser;  // reuses attributes of elements it keeps no tree of

  SharedString element_name_;
  SharedString element_namespace_;
  std::u16string value_;
};

// Key of the attribute map. Its name is the three parts joined: namespace URI
// + local name for an attribute with a prefix, and element namespace URI +
// element local name + name for one without (then `ns` is empty). Keys order
// by the joined name, then by `ns`, so two attributes whose joined names
// happen to match ({urn:ab}c and {urn:a}bc) are still two keys. Before
// namespace resolution the parser and AddAttribute key attributes by their
// raw qualified name (in `part3`). The parts are shared, never concatenated:
// a key costs the same under a long URI or element name as under a short one.
struct AttributeKey {
  SharedString part1, part2, part3;
  SharedString ns;

  friend std::strong_ordering operator<=>(const AttributeKey& a, const AttributeKey& b);
  friend bool operator==(const AttributeKey& a, const AttributeKey& b) {
    return (a <=> b) == std::strong_ordering::equal;
  }
};

// A key spelled as up to three pieces, so lookups need no concatenation.
struct AttributeKeyView {
  std::u16string_view part1, part2, part3;
  std::u16string_view ns;
};

struct AttributeKeyLess {
  using is_transparent = void;
  bool operator()(const AttributeKey& a, const AttributeKey& b) const { return a < b; }
  bool operator()(const AttributeKey& a, const AttributeKeyView& b) const;
  bool operator()(const AttributeKeyView& a, const AttributeKey& b) const;
};

using AttributeMap = std::map<AttributeKey, std::unique_ptr<XmlAttribute>, AttributeKeyLess>;
// Prefix to namespace URI; the empty prefix stands for the default namespace.
// Entries share their text, so copying a scope costs its entries, not its URIs.
using NamespaceMap = std::map<SharedString, SharedString, std::less<>>;
using ChildList = std::vector<XmlElementPtr>;

// One level of a chain of namespace scopes: the bindings one element declares
// and the level it inherits from. Levels are immutable and shared by every
// element below that declares nothing more, so a tree holds each declaration
// once, however deep it is and however many bindings are in force.
class NamespaceScope {
 public:
  using Ptr = std::shared_ptr<const NamespaceScope>;

  // Longest chain a level is put on. A level that would go deeper inherits
  // from a flattened copy of its parent's chain instead, so that finding a
  // prefix never walks more than this many levels.
  static constexpr size_t kMaxDepth = 16;

  // `declared` shadows what `parent` (null: nothing) binds.
  NamespaceScope(Ptr parent, NamespaceMap declared);

  const NamespaceScope* GetParent() const { return parent_.get(); }
  const NamespaceMap& GetDeclared() const { return declared_; }
  // Levels in the chain, this one included.
  size_t GetDepth() const { return depth_; }
  // Distinct prefixes bound by this level and those it inherits.
  size_t GetBindingCount() const { return binding_count_; }

  // The innermost binding of `prefix`, or null when it is unbound.
  const SharedString* Find(std::u16string_view prefix) const;

  // The innermost binding of each prefix declared from this level up to, not
  // including, `ancestor` (null or not on the chain: every level).
  NamespaceMap BindingsSince(const NamespaceScope* ancestor) const;
  // Every binding in force.
  NamespaceMap Flatten() const { return BindingsSince(nullptr); }

 private:
  Ptr parent_;
  NamespaceMap declared_;
  size_t binding_count_;
  size_t depth_;
};

// The character data of an element: one string, all its text runs joined.
class XmlTextContent {
 public:
  virtual ~XmlTextContent() = default;

  const std::u16string& GetText() const { return text_; }
  void SetText(std::u16string text) { text_ = std::move(text); }
  void AppendText(std::u16string_view text) { text_.append(text); }
  void AppendChar(char16_t c) { text_.push_back(c); }
  // For writers that build large texts in place.
  std::u16string& GetMutableText() { return text_; }

 protected:
  std::u16string text_;
};

class XmlElement : public XmlNode, public XmlTextContent {
 public:
  // Names empty until namespace resolution sets them (the parser's form).
  explicit XmlElement(std::u16string qualified_name);
  // All three names given (the form for trees built by code).
  XmlElement(std::u16string qualified_name, SharedString namespace_uri, SharedString local_name);
  ~XmlElement() override;
  XmlElement(const XmlElement&) = delete;
  XmlElement& operator=(const XmlElement&) = delete;

  // Appends at the end of the child list and takes ownership; returns the
  // child, or null (and does nothing) for a null child.
  XmlElement* AppendChild(XmlElementPtr&& child);

  // Stores an attribute under the raw key `name`; false (nothing changes) when
  // that key is present.
  bool AddAttribute(std::u16string_view name, std::u16string_view value);
  // The same key, but an attribute already under it is replaced (and freed).
  void PutAttribute(std::u16string_view name, std::u16string_view value);

  // The namespace-aware setter for trees built by code. Without a prefix the
  // attribute is keyed by this element's names. With one, the prefix must be
  // non-empty and the URI non-empty; an unbound prefix is bound here to `uri`,
  // a prefix bound to another URI refuses the attribute. False (nothing
  // changes) when refused or when the key is already present.
  bool AddAttributeNode(std::u16string_view qualified_name, std::u16string_view uri,
                        std::u16string_view value);

  // Binds `prefix` (empty: the default namespace) to `uri`; false and no
  // change when the prefix is already in this element's scope.
  bool AddNamespace(std::u16string_view prefix, std::u16string_view uri);

  // Applies an "xmlns" or "xmlns:p" attribute to the scope, overwriting an
  // inherited binding; false for any other attribute.
  bool TakeNamespaceDeclaration(const XmlAttribute& attribute);

  // Looks up an attribute by expanded name: an empty `uri` means an
  // unqualified attribute of this element. Null / false when absent.
  const XmlAttribute* GetAttributeNode(std::u16string_view uri,
                                       std::u16string_view local_name) const;
  bool GetAttributeValue(std::u16string_view uri, std::u16string_view local_name,
                         std::u16string* value) const;

  // The first direct child with this local name and namespace URI, or null.
  XmlElement* FindChild(std::u16string_view local_name, std::u16string_view uri) const;

  const AttributeMap& GetAttributes() const { return attributes_; }
  AttributeMap& GetAttributes() { return attributes_; }
  void DeleteAllAttributes() { attributes_.clear(); }
  const ChildList& GetChildList() const { return children_; }
  ChildList& GetChildList() { return children_; }
  size_t GetChildCount() const { return children_.size(); }

  // Every binding in force (inherited ones included after a parse), made on
  // each call: code that walks many elements uses GetScope.
  NamespaceMap GetNamespaceScope() const;
  // The scope chain in force on this element; null when nothing is bound.
  const NamespaceScope* GetScope() const { return scope_.get(); }
  // Null when `prefix` is unbound.
  const std::u16string* LookupNamespace(std::u16string_view prefix) const;
  const std::u16string& GetDefaultNamespace() const { return default_namespace_; }
  void SetDefaultNamespace(SharedString uri) { default_namespace_ = std::move(uri); }

  // A new element with the same names, scope, default namespace and text, a
  // copy of every attribute under the same key (attribute copy constructor)
  // and a deep copy of every child in order.
  static XmlElementPtr DeepCopy(const XmlElement& element);

  // True when both elements share one scope object, i.e. `this` declares
  // nothing beyond what `other` has in force (the writer's fast path).
  bool SharesScopeWith(const XmlElement& other) const { return scope_ == other.scope_; }

 private:
  friend class XmlParser;
  using ScopePtr = NamespaceScope::Ptr;

  // Scopes are shared between an element and its descendants until one of
  // them binds something: most elements declare nothing.
  void ShareScope(const XmlElement& from) { scope_ = from.scope_; }
  void SetScope(ScopePtr scope) { scope_ = std::move(scope); }
  // Adds a level binding `prefix` to `uri` on top of this element's scope.
  void Bind(std::u16string_view prefix, std::u16string_view uri);
  // The shared URI bound to `prefix`, or null.
  const SharedString* FindBinding(std::u16string_view prefix) const;

  AttributeMap attributes_;
  ChildList children_;
  ScopePtr scope_;  // null: empty scope
  SharedString default_namespace_;
};

}  // namespace xml
