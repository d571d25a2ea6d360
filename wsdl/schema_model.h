// The XML Schema type model: the `types` section (or a document whose root is
// a schema) read into handlers that are also the records: global elements,
// named and anonymous types, sequences of local elements, attributes,
// derivation by restriction and extension, SOAP-encoded arrays and literal
// arrays. Records are read-only once their parse has ended.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "wsdl/wsdl_node.h"

namespace wsdl {

class SchemaHandler;
class SchemaElementHandler;

// A schema component knows the schema being parsed (its targetNamespace and
// elementFormDefault) only while its element is open: the pointer is cleared
// at its end tag, so a finished model (merged imports included) holds no
// back-pointer into a schema.
class SchemaComponent : public WsdlNodeHandler {
 public:
  void SetSchema(SchemaHandler* schema) { schema_ = schema; }
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  xml::XmlElement&) override {
    schema_ = nullptr;
    return true;
  }

 protected:
  SchemaHandler* schema_ = nullptr;
};

class SchemaAttributeHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  CompactName name;
  QName type;
  QName ref;
  bool is_ref = false;
};

// The attribute of a restriction that refers to the SOAP-encoding arrayType.
class ArrayTypeAttributeHandler : public SchemaAttributeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  QName item_type;
  CompactName dimensions;  // "[]", "[,]", ...
};

// `sequence` or `all`.
class SequenceHandler : public SchemaComponent {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;

  bool EndElement(std::u16string_view uri, std::u16string_view local_name,
                  std::u16string_view qualified_name, xml::XmlElement& element) override;

  // True when the sequence is a literal array: exactly one element, minOccurs
  // "0", maxOccurs "unbounded" or "*". `item` is that element.
  bool IsLiteralArray(const SchemaElementHandler** item) const;

  // By value: an element's record is open only while it is the last one.
  std::vector<SchemaElementHandler> elements;
};

class RestrictionHandler : public SchemaComponent {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  QName base;
  std::vector<std::unique_ptr<SchemaAttributeHandler>> attributes;
  // Made when the attribute appears: the restrictions of simple types, the
  // commonest, have none.
  std::unique_ptr<ArrayTypeAttributeHandler> array_type;
  SequenceHandler sequence;
  bool is_array = false;
};

class ExtensionHandler : public SchemaComponent {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  QName base;
  std::vector<std::unique_ptr<SchemaAttributeHandler>> attributes;
  SequenceHandler sequence;
};

// `complexContent` or `simpleContent`.
class ContentHandler : public SchemaComponent {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;

  RestrictionHandler restriction;
  ExtensionHandler extension;
  bool is_restriction = false;
  bool is_extension = false;
};

class ComplexTypeHandler : public SchemaComponent {
 public:
  CompactName name;

  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;

  // The member {ns}name: its type, or for a `ref` member the referenced
  // element's name (with *is_ref true). Searches the type's own sequence, then
  // the extension's and the restriction's of its complex content.
  bool FindMember(std::u16string_view name, std::u16string_view ns, QName* type,
                  bool* is_ref) const;
  // The base of the content's restriction or extension; false when neither.
  bool GetBaseType(QName* base) const;
  // The item type of a literal or SOAP-encoded array.
  bool GetArrayItemType(QName* item_type) const;
  // The item type and item element of a literal array.
  bool GetLiteralArrayItem(QName* item_type, QName* item_element) const;
  // 1, plus the commas of a SOAP-encoded array's dimensions.
  int32_t GetArrayRank() const;

  // Side by side, where they share one word.
  bool has_content = false;
  bool is_simple_content = false;
  bool is_complex_content = false;
  SequenceHandler sequence;
  // Made when the element appears: most types have neither, and each is
  // large.
  std::unique_ptr<ContentHandler> simple_content;
  std::unique_ptr<ContentHandler> complex_content;
  std::vector<std::unique_ptr<SchemaAttributeHandler>> attributes;
};

class SimpleTypeHandler : public SchemaComponent {
 public:
  CompactName name;

  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;

  RestrictionHandler restriction;
  bool is_restriction = false;
};

class SchemaElementHandler : public SchemaComponent {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;
  // Qualifies the element and names its anonymous type.
  bool EndElement(std::u16string_view uri, std::u16string_view local_name,
                  std::u16string_view qualified_name, xml::XmlElement& element) override;

  CompactName name;
  QName type;
  bool is_ref = false;
  // What the literal-array test reads of minOccurs (absent reads "0") and
  // maxOccurs (absent reads "1").
  bool min_occurs_zero = true;
  bool max_occurs_unbounded = false;  // "unbounded" or "*"
  bool form_unqualified = false;      // form="unqualified"

 private:
  bool anonymous_complex_ = false;  // beside the flags above, in one word
  // Owned until the end tag stores it in the schema under a generated name.
  std::unique_ptr<SchemaComponent> anonymous_;
};

class SchemaHandler : public WsdlNodeHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;
  // Seals the tables; a second schema element of the same targetNamespace
  // adds to them and seals them again.
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  xml::XmlElement&) override;

  // Moves every declaration of `other` whose name is not taken here.
  void MergeFrom(SchemaHandler& other);

  xml::SharedString target_namespace;
  NamedMap<SchemaElementHandler> elements;
  NamedMap<SimpleTypeHandler> simple_types;
  NamedMap<ComplexTypeHandler> complex_types;
  bool qualified = false;
};

class TypesHandler : public WsdlNodeHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;

  // A new schema for `element_ns`'s `schema` element with the given target
  // namespace, or the one already held for it.
  SchemaHandler* SchemaFor(std::u16string_view target_namespace, std::u16string_view element_ns,
                           const xml::AttributeMap& attributes, const xml::NamespaceScope& scope);
  // Moves over the schemas of `other` this one lacks and merges the rest.
  void MergeFrom(TypesHandler& other);

  const SchemaHandler* FindSchema(std::u16string_view target_namespace) const {
    auto it = schemas.find(target_namespace);
    return it == schemas.end() ? nullptr : it->second.get();
  }

  // By targetNamespace: a handful per document.
  std::map<std::u16string, std::unique_ptr<SchemaHandler>, std::less<>> schemas;
};

}  // namespace wsdl
