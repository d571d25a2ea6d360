#include "wsdl/schema_model.h"

#include <algorithm>

#include "platform/base/base.h"
#include "xml/namespaces.h"

namespace wsdl {
namespace {

bool Is(std::u16string_view uri, std::u16string_view local, std::u16string_view want) {
  return local == want && IsSchemaNamespace(uri);
}

bool IsSoapEncoding(std::u16string_view uri) {
  return uri == xml::kSoap11EncodingNamespace || uri == xml::kSoap12EncodingNamespace;
}

// A fresh name for an anonymous type: a GUID's 36-character text.
std::u16string GeneratedTypeName() {
  GUID guid{};
  if (FAILED(CoCreateGuid(&guid))) throw QVWebServicesDescFault(kInternalError, kMemoryFailure);
  char16_t buffer[64] = {};
  const int written = StringFromGUID2(guid, buffer, 64);
  std::u16string_view text(buffer, written > 0 ? size_t(written - 1) : 0);
  if (text.size() >= 2 && text.front() == u'{' && text.back() == u'}') {
    text = text.substr(1, text.size() - 2);
  }
  return std::u16string(text);
}

QName ItemOf(const SchemaElementHandler& item) {
  if (item.is_ref) return QName{item.GetNamespace(), item.name};
  return item.type;
}

}  // namespace

// ---- Attributes -------------------------------------------------------------

void SchemaAttributeHandler::ProcessAttributes(std::u16string_view, std::u16string_view local,
                                               const xml::AttributeMap& attributes,
                                               const xml::NamespaceScope& scope) {
  if (const std::u16string* n = FindSchemaAttribute(attributes, local, u"name")) {
    name = *n;
    if (const std::u16string* t = FindSchemaAttribute(attributes, local, u"type")) {
      type = ResolveQNameOrThrow(
          *t, scope, u"Unresolvable namespace for attribute 'type' on element: 'attribute'");
    }
  } else if (const std::u16string* r = FindSchemaAttribute(attributes, local, u"ref")) {
    ref = ResolveQNameOrThrow(
        *r, scope, u"Unresolvable namespace for attribute 'ref' on element: 'attribute'");
    is_ref = true;
  } else {
    type = QName{std::u16string(xml::kXmlSchemaNamespace), u"anyType"};
  }
}

void ArrayTypeAttributeHandler::ProcessAttributes(std::u16string_view uri,
                                                  std::u16string_view local,
                                                  const xml::AttributeMap& attributes,
                                                  const xml::NamespaceScope& scope) {
  SchemaAttributeHandler::ProcessAttributes(uri, local, attributes, scope);
  const std::u16string* value =
      FindQualifiedAttribute(attributes, xml::kWsdlNamespace, u"arrayType");
  if (!value) return;
  QName resolved = ResolveQNameOrThrow(
      *value, scope, u"Unresolvable namespace for attribute 'arrayType' on element: 'attribute'");
  item_type.ns = std::move(resolved.ns);
  const std::u16string_view name = resolved.name;
  const size_t bracket = name.rfind(u'[');
  if (bracket == std::u16string_view::npos) {
    item_type.name = std::move(resolved.name);
  } else {
    dimensions = name.substr(bracket);
    item_type.name = name.substr(0, bracket);
  }
}

// ---- Sequences and derivations ---------------------------------------------

xml::NodeHandler* SequenceHandler::CreateChild(std::u16string_view uri,
                                               std::u16string_view local_name, std::u16string_view,
                                               const xml::AttributeMap& attributes,
                                               const xml::NamespaceScope& scope, xml::XmlElement&) {
  if (!Is(uri, local_name, u"element")) return nullptr;
  SchemaElementHandler& element = elements.emplace_back();
  element.SetSchema(schema_);
  element.ProcessAttributes(uri, local_name, attributes, scope);
  return &element;
}

bool SequenceHandler::EndElement(std::u16string_view uri, std::u16string_view local_name,
                                 std::u16string_view qualified_name, xml::XmlElement& element) {
  elements.shrink_to_fit();
  return SchemaComponent::EndElement(uri, local_name, qualified_name, element);
}

bool SequenceHandler::IsLiteralArray(const SchemaElementHandler** item) const {
  if (elements.size() != 1) return false;
  const SchemaElementHandler& only = elements.front();
  if (!only.min_occurs_zero || !only.max_occurs_unbounded) return false;
  *item = &only;
  return true;
}

xml::NodeHandler* RestrictionHandler::CreateChild(
    std::u16string_view uri, std::u16string_view local_name, std::u16string_view,
    const xml::AttributeMap& attrs, const xml::NamespaceScope& scope, xml::XmlElement&) {
  if (Is(uri, local_name, u"attribute")) {
    QName ref;
    if (const std::u16string* r = FindSchemaAttribute(attrs, local_name, u"ref")) {
      ref = ResolveQNameOrThrow(
          *r, scope, u"Unresolvable namespace for attribute 'ref' on element: 'attribute'");
    }
    if (ref.name == u"arrayType" && IsSoapEncoding(ref.ns)) {
      is_array = true;
      if (!array_type) array_type = std::make_unique<ArrayTypeAttributeHandler>();
      array_type->ProcessAttributes(uri, local_name, attrs, scope);
      return array_type.get();
    }
    auto attribute = std::make_unique<SchemaAttributeHandler>();
    SchemaAttributeHandler* raw = attribute.get();
    attributes.push_back(std::move(attribute));
    raw->ProcessAttributes(uri, local_name, attrs, scope);
    return raw;
  }
  if (Is(uri, local_name, u"sequence") || Is(uri, local_name, u"all")) {
    sequence.SetSchema(schema_);
    return &sequence;
  }
  return nullptr;
}

void RestrictionHandler::ProcessAttributes(std::u16string_view, std::u16string_view local,
                                           const xml::AttributeMap& attributes,
                                           const xml::NamespaceScope& scope) {
  if (const std::u16string* b = FindSchemaAttribute(attributes, local, u"base")) {
    base = ResolveQNameOrThrow(
        *b, scope, u"Unresolvable namespace for attribute 'base' on element: 'restriction'");
  }
}

xml::NodeHandler* ExtensionHandler::CreateChild(std::u16string_view uri,
                                                std::u16string_view local_name, std::u16string_view,
                                                const xml::AttributeMap& attrs,
                                                const xml::NamespaceScope& scope,
                                                xml::XmlElement&) {
  if (Is(uri, local_name, u"attribute")) {
    auto attribute = std::make_unique<SchemaAttributeHandler>();
    SchemaAttributeHandler* raw = attribute.get();
    attributes.push_back(std::move(attribute));
    raw->ProcessAttributes(uri, local_name, attrs, scope);
    return raw;
  }
  if (Is(uri, local_name, u"sequence") || Is(uri, local_name, u"all")) {
    sequence.SetSchema(schema_);
    return &sequence;
  }
  return nullptr;
}

void ExtensionHandler::ProcessAttributes(std::u16string_view, std::u16string_view local,
                                         const xml::AttributeMap& attributes,
                                         const xml::NamespaceScope& scope) {
  if (const std::u16string* b = FindSchemaAttribute(attributes, local, u"base")) {
    base = ResolveQNameOrThrow(
        *b, scope, u"Unresolvable namespace for attribute 'base' on element: 'extension'");
  }
}

xml::NodeHandler* ContentHandler::CreateChild(std::u16string_view uri,
                                              std::u16string_view local_name, std::u16string_view,
                                              const xml::AttributeMap& attributes,
                                              const xml::NamespaceScope& scope, xml::XmlElement&) {
  if (Is(uri, local_name, u"restriction")) {
    restriction.SetSchema(schema_);
    restriction.ProcessAttributes(uri, local_name, attributes, scope);
    is_restriction = true;
    return &restriction;
  }
  if (Is(uri, local_name, u"extension")) {
    extension.SetSchema(schema_);
    extension.ProcessAttributes(uri, local_name, attributes, scope);
    is_extension = true;
    return &extension;
  }
  return nullptr;
}

// ---- Types -------------------------------------------------------------------

xml::NodeHandler* ComplexTypeHandler::CreateChild(
    std::u16string_view uri, std::u16string_view local_name, std::u16string_view,
    const xml::AttributeMap& attrs, const xml::NamespaceScope& scope, xml::XmlElement&) {
  if (Is(uri, local_name, u"sequence") || Is(uri, local_name, u"all")) {
    sequence.SetSchema(schema_);
    return &sequence;
  }
  if (Is(uri, local_name, u"complexContent") || Is(uri, local_name, u"simpleContent")) {
    has_content = true;
    const bool complex = local_name == u"complexContent";
    std::unique_ptr<ContentHandler>& slot = complex ? complex_content : simple_content;
    if (!slot) slot = std::make_unique<ContentHandler>();
    ContentHandler& content = *slot;
    (complex ? is_complex_content : is_simple_content) = true;
    content.SetSchema(schema_);
    return &content;
  }
  if (Is(uri, local_name, u"attribute")) {
    auto attribute = std::make_unique<SchemaAttributeHandler>();
    SchemaAttributeHandler* raw = attribute.get();
    attributes.push_back(std::move(attribute));
    raw->ProcessAttributes(uri, local_name, attrs, scope);
    return raw;
  }
  return nullptr;
}

bool ComplexTypeHandler::FindMember(std::u16string_view name, std::u16string_view ns, QName* type,
                                    bool* is_ref) const {
  const std::vector<SchemaElementHandler>* lists[] = {
      &sequence.elements,
      is_complex_content ? &complex_content->extension.sequence.elements : nullptr,
      is_complex_content ? &complex_content->restriction.sequence.elements : nullptr,
  };
  for (const auto* list : lists) {
    if (!list) continue;
    for (const auto& e : *list) {
      // A declaration with neither name nor ref has no name to match.
      if (e.name.empty() || e.name != name || e.GetNamespace() != ns) continue;
      *is_ref = e.is_ref;
      *type = e.is_ref ? QName{e.GetNamespace(), e.name} : e.type;
      return true;
    }
  }
  return false;
}

bool ComplexTypeHandler::GetBaseType(QName* base) const {
  // A type derived from nothing (a plain sequence or all) still answers, with
  // an empty base: callers take a base outside the encoding and schema
  // namespaces for a struct, and failing here would reject the commonest way
  // of declaring one.
  *base = QName{};
  const ContentHandler* content =
      is_complex_content ? complex_content.get()
                         : (is_simple_content ? simple_content.get() : nullptr);
  if (content && content->is_restriction) {
    *base = content->restriction.base;
  } else if (content && content->is_extension) {
    *base = content->extension.base;
  }
  return true;
}

bool ComplexTypeHandler::GetArrayItemType(QName* item_type) const {
  const SchemaElementHandler* item = nullptr;
  if (sequence.IsLiteralArray(&item)) {
    *item_type = ItemOf(*item);
    return true;
  }
  if (!complex_content) return false;
  const RestrictionHandler& r = complex_content->restriction;
  if (!r.is_array) {
    if (!r.sequence.IsLiteralArray(&item)) return false;
    *item_type = ItemOf(*item);
    return true;
  }
  *item_type = r.array_type->item_type;
  return true;
}

bool ComplexTypeHandler::GetLiteralArrayItem(QName* item_type, QName* item_element) const {
  const SchemaElementHandler* item = nullptr;
  if (!sequence.IsLiteralArray(&item) &&
      !(complex_content && complex_content->restriction.sequence.IsLiteralArray(&item))) {
    return false;
  }
  *item_type = ItemOf(*item);
  *item_element = QName{item->GetNamespace(), item->name};
  return true;
}

int32_t ComplexTypeHandler::GetArrayRank() const {
  if (!complex_content || !complex_content->restriction.is_array) return 1;
  const RestrictionHandler& r = complex_content->restriction;
  const std::u16string_view dimensions = r.array_type->dimensions;
  return 1 + int32_t(std::count(dimensions.begin(), dimensions.end(), u','));
}

xml::NodeHandler* SimpleTypeHandler::CreateChild(
    std::u16string_view uri, std::u16string_view local_name, std::u16string_view,
    const xml::AttributeMap& attributes, const xml::NamespaceScope& scope, xml::XmlElement&) {
  if (!Is(uri, local_name, u"restriction")) return nullptr;
  restriction.SetSchema(schema_);
  restriction.ProcessAttributes(uri, local_name, attributes, scope);
  is_restriction = true;
  return &restriction;
}

// ---- Elements ----------------------------------------------------------------

xml::NodeHandler* SchemaElementHandler::CreateChild(std::u16string_view uri,
                                                    std::u16string_view local_name,
                                                    std::u16string_view, const xml::AttributeMap&,
                                                    const xml::NamespaceScope&, xml::XmlElement&) {
  const bool complex = Is(uri, local_name, u"complexType");
  if (!complex && !Is(uri, local_name, u"simpleType")) return nullptr;
  if (complex) {
    anonymous_ = std::make_unique<ComplexTypeHandler>();
  } else {
    anonymous_ = std::make_unique<SimpleTypeHandler>();
  }
  anonymous_complex_ = complex;
  if (schema_) anonymous_->SetNamespace(schema_->target_namespace);
  anonymous_->SetSchema(schema_);
  return anonymous_.get();
}

void SchemaElementHandler::ProcessAttributes(std::u16string_view, std::u16string_view local,
                                             const xml::AttributeMap& attributes,
                                             const xml::NamespaceScope& scope) {
  if (const std::u16string* n = FindSchemaAttribute(attributes, local, u"name")) {
    name = *n;
    if (const std::u16string* t = FindSchemaAttribute(attributes, local, u"type")) {
      type = ResolveQNameOrThrow(
          *t, scope, u"Unresolvable namespace for attribute 'type' on element: 'element'");
    }
  } else if (const std::u16string* r = FindSchemaAttribute(attributes, local, u"ref")) {
    QName ref = ResolveQNameOrThrow(
        *r, scope, u"Unresolvable namespace for attribute 'ref' on element: 'element'");
    namespace_ = std::move(ref.ns);
    name = std::move(ref.name);
    is_ref = true;
  } else {
    type = QName{std::u16string(xml::kXmlSchemaNamespace), u"anyType"};
    return;
  }
  if (const std::u16string* v = FindSchemaAttribute(attributes, local, u"minOccurs")) {
    min_occurs_zero = *v == u"0";
  }
  if (const std::u16string* v = FindSchemaAttribute(attributes, local, u"maxOccurs")) {
    max_occurs_unbounded = *v == u"unbounded" || *v == u"*";
  }
  if (const std::u16string* f = FindSchemaAttribute(attributes, local, u"form")) {
    form_unqualified = *f == u"unqualified";
    if (*f == u"qualified") {
      // A ref keeps the namespace of the element it names.
      if (!is_ref && schema_) namespace_ = schema_->target_namespace;
    } else if (!form_unqualified) {
      ThrowSchemaError(u"Illegal value for attribute 'form' on element: 'element'");
    }
  }
}

bool SchemaElementHandler::EndElement(std::u16string_view uri, std::u16string_view local_name,
                                      std::u16string_view qualified_name,
                                      xml::XmlElement& element) {
  SchemaHandler* schema = schema_;
  if (!is_ref && schema && schema->qualified && !form_unqualified) {
    namespace_ = schema->target_namespace;
  }
  if (anonymous_ && schema) {
    std::u16string generated = GeneratedTypeName();
    type = QName{schema->target_namespace, generated};
    if (anonymous_complex_) {
      std::unique_ptr<ComplexTypeHandler> anonymous(
          static_cast<ComplexTypeHandler*>(anonymous_.release()));
      anonymous->name = std::move(generated);
      schema->complex_types.Add(std::move(anonymous));
    } else {
      std::unique_ptr<SimpleTypeHandler> anonymous(
          static_cast<SimpleTypeHandler*>(anonymous_.release()));
      anonymous->name = std::move(generated);
      schema->simple_types.Add(std::move(anonymous));
    }
  }
  return SchemaComponent::EndElement(uri, local_name, qualified_name, element);
}

// ---- Schemas -----------------------------------------------------------------

xml::NodeHandler* SchemaHandler::CreateChild(std::u16string_view uri,
                                             std::u16string_view local_name, std::u16string_view,
                                             const xml::AttributeMap& attributes,
                                             const xml::NamespaceScope& scope, xml::XmlElement&) {
  if (!IsSchemaNamespace(uri)) return nullptr;
  auto prepare = [&](auto* handler) {
    handler->SetNamespace(target_namespace);
    handler->SetSchema(this);
    handler->ProcessAttributes(uri, local_name, attributes, scope);
    return handler;
  };
  if (local_name == u"element") {
    const std::u16string* name = FindSchemaAttribute(attributes, local_name, u"name");
    if (!name) ThrowSchemaError(u"Required attribute 'name' missing on element: 'element'.");
    return prepare(AddNamed(elements, *name));
  }
  if (local_name == u"complexType") {
    const std::u16string* name = FindSchemaAttribute(attributes, local_name, u"name");
    if (!name) ThrowSchemaError(u"Required attribute 'name' missing on element: 'complexType'.");
    return prepare(AddNamed(complex_types, *name));
  }
  if (local_name == u"simpleType") {
    const std::u16string* name = FindSchemaAttribute(attributes, local_name, u"name");
    if (!name) ThrowSchemaError(u"Required attribute 'name' missing on element: 'simpleType'.");
    return prepare(AddNamed(simple_types, *name));
  }
  return nullptr;
}

void SchemaHandler::ProcessAttributes(std::u16string_view, std::u16string_view local,
                                      const xml::AttributeMap& attributes,
                                      const xml::NamespaceScope&) {
  const std::u16string* tns = FindSchemaAttribute(attributes, local, u"targetNamespace");
  if (!tns) ThrowSchemaError(u"Required attribute 'targetNamespace' missing on element: 'schema'");
  target_namespace = *tns;
  if (const std::u16string* form = FindSchemaAttribute(attributes, local, u"elementFormDefault")) {
    qualified = *form == u"qualified";
  }
}

bool SchemaHandler::EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                               xml::XmlElement&) {
  elements.Seal();
  simple_types.Seal();
  complex_types.Seal();
  return true;
}

void SchemaHandler::MergeFrom(SchemaHandler& other) {
  elements.MergeMissing(other.elements);
  simple_types.MergeMissing(other.simple_types);
  complex_types.MergeMissing(other.complex_types);
}

SchemaHandler* TypesHandler::SchemaFor(std::u16string_view target_namespace,
                                       std::u16string_view element_ns,
                                       const xml::AttributeMap& attributes,
                                       const xml::NamespaceScope& scope) {
  auto [it, inserted] = schemas.try_emplace(std::u16string(target_namespace), nullptr);
  if (!inserted) return it->second.get();
  it->second = std::make_unique<SchemaHandler>();
  it->second->SetNamespace(element_ns);
  it->second->ProcessAttributes(element_ns, u"schema", attributes, scope);
  return it->second.get();
}

xml::NodeHandler* TypesHandler::CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                            std::u16string_view,
                                            const xml::AttributeMap& attributes,
                                            const xml::NamespaceScope& scope, xml::XmlElement&) {
  if (!Is(uri, local_name, u"schema")) return nullptr;
  const std::u16string* tns = FindSchemaAttribute(attributes, local_name, u"targetNamespace");
  if (!tns) {
    ThrowSchemaError(u"Required attribute 'targetNamespace' missing on element: 'schema'.");
  }
  return SchemaFor(*tns, uri, attributes, scope);
}

void TypesHandler::MergeFrom(TypesHandler& other) {
  for (auto& [tns, schema] : other.schemas) {
    if (!schema) continue;
    auto it = schemas.find(tns);
    if (it == schemas.end()) {
      schemas.emplace(tns, std::move(schema));
    } else {
      it->second->MergeFrom(*schema);
    }
  }
}

}  // namespace wsdl
