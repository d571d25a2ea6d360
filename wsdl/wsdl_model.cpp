#include "wsdl/wsdl_model.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "xml/namespaces.h"

namespace wsdl {
namespace {

bool IsWsdl(std::u16string_view uri, std::u16string_view local, std::u16string_view want) {
  return uri == xml::kWsdlNamespace && local == want;
}

bool IsSoap(std::u16string_view uri, std::u16string_view local, std::u16string_view want) {
  return local == want && IsSoapBindingNamespace(uri);
}

const std::u16string& RequireName(const xml::AttributeMap& attributes, std::u16string_view uri,
                                  std::u16string_view local, std::u16string_view missing) {
  const std::u16string* name = FindAttribute(attributes, uri, local, u"name");
  if (!name) ThrowSchemaError(missing);
  return *name;
}

void ReadOptional(const xml::AttributeMap& attributes, std::u16string_view uri,
                  std::u16string_view local, std::u16string_view name, CompactName* field) {
  if (const std::u16string* value = FindAttribute(attributes, uri, local, name)) *field = *value;
}

// Creates a named child record and hands it its namespace and attributes.
template <typename T>
T* NewNamed(NamedMap<T>& table, const std::u16string& name, const xml::SharedString& ns,
            std::u16string_view uri, std::u16string_view local,
            const xml::AttributeMap& attributes, const xml::NamespaceScope& scope) {
  T* handler = AddNamed(table, name);
  handler->SetNamespace(ns);
  handler->ProcessAttributes(uri, local, attributes, scope);
  return handler;
}

}  // namespace

// ---- Messages -----------------------------------------------------------------

void PartHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                    const xml::AttributeMap& attributes,
                                    const xml::NamespaceScope& scope) {
  if (const std::u16string* t = FindAttribute(attributes, uri, local, u"type")) {
    type = ResolveQNameOrThrow(
        *t, scope, u"Unresolvable namespace for attribute 'type' on element: 'message'");
  }
  if (const std::u16string* e = FindAttribute(attributes, uri, local, u"element")) {
    element = ResolveQNameOrThrow(
        *e, scope, u"Unresolvable namespace for attribute 'element' on element: 'message'");
  }
}

xml::NodeHandler* MessageHandler::CreateChild(std::u16string_view uri,
                                              std::u16string_view local_name, std::u16string_view,
                                              const xml::AttributeMap& attributes,
                                              const xml::NamespaceScope& scope, xml::XmlElement&) {
  if (!IsWsdl(uri, local_name, u"part")) return nullptr;
  const std::u16string& name = RequireName(
      attributes, uri, local_name, u"Required attribute 'name' missing on element: 'part'.");
  // The part before it has ended: only the last part is ever open.
  PartHandler& part = parts.Add(PartHandler());
  part.name = name;
  part.position = static_cast<int32_t>(parts.size() - 1);
  part.SetNamespace(namespace_);
  part.ProcessAttributes(uri, local_name, attributes, scope);
  return &part;
}

bool MessageHandler::EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                                xml::XmlElement&) {
  // Each part holds its place in the document; once the later parts of a
  // taken name are gone, the places are renumbered among those kept.
  parts.Seal();
  std::vector<PartHandler*> by_place;
  by_place.reserve(parts.size());
  for (PartHandler& part : parts) by_place.push_back(&part);
  std::sort(by_place.begin(), by_place.end(),
            [](const PartHandler* a, const PartHandler* b) { return a->position < b->position; });
  for (size_t i = 0; i < by_place.size(); ++i) by_place[i]->position = static_cast<int32_t>(i);
  return true;
}

const PartHandler* MessageHandler::FirstPart() const {
  for (const PartHandler& part : parts) {
    if (part.position == 0) return &part;
  }
  return nullptr;
}

// ---- Port types ---------------------------------------------------------------

void OperationMessageHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                                const xml::AttributeMap& attributes,
                                                const xml::NamespaceScope& scope) {
  const bool is_input = local == u"input";
  const std::u16string* value = FindAttribute(attributes, uri, local, u"message");
  if (!value) {
    ThrowSchemaError(is_input ? u"Required attribute 'message' missing on element: 'input'"
                              : u"Required attribute 'message' missing on element: 'output'");
  }
  message = ResolveQNameOrThrow(
      *value, scope,
      is_input ? u"Unresolvable namespace for attribute 'message' on element: 'input'"
               : u"Unresolvable namespace for attribute 'message' on element: 'output'");
}

void OperationFaultHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                              const xml::AttributeMap& attributes,
                                              const xml::NamespaceScope& scope) {
  name =
      RequireName(attributes, uri, local, u"Required attribute 'name' missing on element: 'fault'");
  const std::u16string* value = FindAttribute(attributes, uri, local, u"message");
  if (!value) ThrowSchemaError(u"Required attribute 'message' missing on element: 'fault'");
  message = ResolveQNameOrThrow(
      *value, scope, u"Unresolvable namespace for attribute 'message' on element: 'fault'");
}

xml::NodeHandler* PortTypeOperationHandler::CreateChild(
    std::u16string_view uri, std::u16string_view local_name, std::u16string_view,
    const xml::AttributeMap& attributes, const xml::NamespaceScope& scope, xml::XmlElement&) {
  if (uri != xml::kWsdlNamespace) return nullptr;
  if (local_name == u"input" || local_name == u"output") {
    OperationMessageHandler& message = local_name == u"input" ? input : output;
    message.SetNamespace(namespace_);
    message.ProcessAttributes(uri, local_name, attributes, scope);
    return &message;
  }
  if (local_name == u"fault") {
    const std::u16string& name = RequireName(
        attributes, uri, local_name, u"Required attribute 'name' missing on element: 'fault'.");
    return NewNamed(faults, name, namespace_, uri, local_name, attributes, scope);
  }
  return nullptr;
}

void PortTypeOperationHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                                 const xml::AttributeMap& attributes,
                                                 const xml::NamespaceScope&) {
  const std::u16string* order = FindAttribute(attributes, uri, local, u"parameterOrder");
  if (!order) return;
  // Only U+0020 separates names; a repeated name keeps its first position but
  // still uses up a number.
  int32_t position = 0;
  std::u16string_view rest = *order;
  while (!rest.empty()) {
    const size_t space = rest.find(u' ');
    const std::u16string_view token = rest.substr(0, space);
    if (!token.empty()) parameter_positions.emplace_back(token, position++);
    if (space == std::u16string_view::npos) break;
    rest.remove_prefix(space + 1);
  }
  auto by_name = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::stable_sort(parameter_positions.begin(), parameter_positions.end(), by_name);
  auto same = [](const auto& a, const auto& b) { return a.first == b.first; };
  parameter_positions.erase(
      std::unique(parameter_positions.begin(), parameter_positions.end(), same),
      parameter_positions.end());
  parameter_positions.shrink_to_fit();
}

int32_t PortTypeOperationHandler::ParameterPosition(std::u16string_view name) const {
  auto it = std::lower_bound(
      parameter_positions.begin(), parameter_positions.end(), name,
      [](const auto& entry, std::u16string_view n) { return std::u16string_view(entry.first) < n; });
  return it != parameter_positions.end() && it->first == name ? it->second : -1;
}

xml::NodeHandler* PortTypeHandler::CreateChild(std::u16string_view uri,
                                               std::u16string_view local_name, std::u16string_view,
                                               const xml::AttributeMap& attributes,
                                               const xml::NamespaceScope& scope, xml::XmlElement&) {
  if (!IsWsdl(uri, local_name, u"operation")) return nullptr;
  const std::u16string& name = RequireName(
      attributes, uri, local_name, u"Required attribute 'name' missing on element: 'operation'.");
  return NewNamed(operations, name, namespace_, uri, local_name, attributes, scope);
}

// ---- Services -----------------------------------------------------------------

void SoapAddressHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                           const xml::AttributeMap& attributes,
                                           const xml::NamespaceScope&) {
  const std::u16string* value = FindAttribute(attributes, uri, local, u"location");
  if (!value) ThrowSchemaError(u"Required attribute 'location' missing on element: 'soap:address'");
  location = *value;
}

xml::NodeHandler* PortHandler::CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                           std::u16string_view, const xml::AttributeMap& attributes,
                                           const xml::NamespaceScope& scope, xml::XmlElement& element) {
  if (local_name != u"address") return nullptr;
  if (!IsSoapBindingNamespace(uri) && uri != kWsdlHttpNamespace) return nullptr;
  address.SetNamespace(element.SharedNamespaceURI());
  address.ProcessAttributes(uri, local_name, attributes, scope);
  return &address;
}

void PortHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                    const xml::AttributeMap& attributes,
                                    const xml::NamespaceScope& scope) {
  const std::u16string* value = FindAttribute(attributes, uri, local, u"binding");
  if (!value) ThrowSchemaError(u"Required attribute 'binding' missing on element: 'port'");
  binding = ResolveQNameOrThrow(
      *value, scope, u"Unresolvable namespace for attribute 'binding' on element: 'port'");
}

xml::NodeHandler* ServiceHandler::CreateChild(std::u16string_view uri,
                                              std::u16string_view local_name, std::u16string_view,
                                              const xml::AttributeMap& attributes,
                                              const xml::NamespaceScope& scope, xml::XmlElement&) {
  if (!IsWsdl(uri, local_name, u"port")) return nullptr;
  const std::u16string& name = RequireName(
      attributes, uri, local_name, u"Required attribute 'name' missing on element: 'port'.");
  return NewNamed(ports, name, namespace_, uri, local_name, attributes, scope);
}

// ---- Bindings -----------------------------------------------------------------

void SoapBindingHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                           const xml::AttributeMap& attributes,
                                           const xml::NamespaceScope&) {
  ReadOptional(attributes, uri, local, u"style", &style);
  ReadOptional(attributes, uri, local, u"transport", &transport);
}

void SoapOperationHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                             const xml::AttributeMap& attributes,
                                             const xml::NamespaceScope&) {
  ReadOptional(attributes, uri, local, u"style", &style);
  if (const std::u16string* action = FindAttribute(attributes, uri, local, u"soapAction")) {
    soap_action = u"\"" + *action + u"\"";
  }
  if (namespace_ == xml::kWsdlSoap12Namespace) {
    if (const std::u16string* required =
            FindAttribute(attributes, uri, local, u"soapActionRequired")) {
      soap_action_required = *required == u"1" || *required == u"true";
    }
  }
}

void SoapBodyHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                        const xml::AttributeMap& attributes,
                                        const xml::NamespaceScope&) {
  ReadOptional(attributes, uri, local, u"parts", &parts);
  ReadOptional(attributes, uri, local, u"use", &use);
  ReadOptional(attributes, uri, local, u"encodingStyle", &encoding_style);
  ReadOptional(attributes, uri, local, u"namespace", &body_namespace);
}

void SoapHeaderFaultHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                               const xml::AttributeMap& attributes,
                                               const xml::NamespaceScope& scope) {
  // The messages name the element with the prefix soap whatever the document
  // wrote.
  const bool header = local == u"header";
  const std::u16string* value = FindAttribute(attributes, uri, local, u"message");
  if (!value) {
    ThrowSchemaError(header ? u"Required attribute 'message' missing on element: 'soap:header'"
                            : u"Required attribute 'message' missing on element: "
                              u"'soap:headerfault'");
  }
  message = ResolveQNameOrThrow(
      *value, scope,
      header ? u"Unresolvable namespace for attribute 'message' on element: 'soap:header'"
             : u"Unresolvable namespace for attribute 'message' on element: 'soap:headerfault'");
  value = FindAttribute(attributes, uri, local, u"part");
  if (!value) {
    ThrowSchemaError(header ? u"Required attribute 'part' missing on element: 'soap:header'"
                            : u"Required attribute 'part' missing on element: 'soap:headerfault'");
  }
  part = *value;
  value = FindAttribute(attributes, uri, local, u"use");
  if (!value) {
    ThrowSchemaError(header ? u"Required attribute 'use' missing on element: 'soap:header'"
                            : u"Required attribute 'use' missing on element: 'soap:headerfault'");
  }
  use = *value;
  ReadOptional(attributes, uri, local, u"encodingStyle", &encoding_style);
  ReadOptional(attributes, uri, local, u"namespace", &header_namespace);
}

xml::NodeHandler* SoapHeaderHandler::CreateChild(
    std::u16string_view uri, std::u16string_view local_name, std::u16string_view,
    const xml::AttributeMap& attributes, const xml::NamespaceScope& scope, xml::XmlElement& element) {
  if (!IsSoap(uri, local_name, u"headerfault")) return nullptr;
  header_faults.push_back(std::make_unique<SoapHeaderFaultHandler>());
  SoapHeaderFaultHandler* fault = header_faults.back().get();
  fault->SetNamespace(element.SharedNamespaceURI());
  fault->ProcessAttributes(uri, local_name, attributes, scope);
  return fault;
}

xml::NodeHandler* BindingMessageHandler::CreateChild(
    std::u16string_view uri, std::u16string_view local_name, std::u16string_view,
    const xml::AttributeMap& attributes, const xml::NamespaceScope& scope, xml::XmlElement& element) {
  if (IsSoap(uri, local_name, u"body")) {
    body.SetNamespace(element.SharedNamespaceURI());
    body.ProcessAttributes(uri, local_name, attributes, scope);
    return &body;
  }
  if (IsSoap(uri, local_name, u"header")) {
    headers.push_back(std::make_unique<SoapHeaderHandler>());
    SoapHeaderHandler* header = headers.back().get();
    header->SetNamespace(element.SharedNamespaceURI());
    header->ProcessAttributes(uri, local_name, attributes, scope);
    return header;
  }
  return nullptr;
}

void SoapFaultHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                         const xml::AttributeMap& attributes,
                                         const xml::NamespaceScope&) {
  ReadOptional(attributes, uri, local, u"name", &name);
  ReadOptional(attributes, uri, local, u"use", &use);
  ReadOptional(attributes, uri, local, u"encodingStyle", &encoding_style);
  ReadOptional(attributes, uri, local, u"namespace", &fault_namespace);
}

xml::NodeHandler* BindingFaultHandler::CreateChild(
    std::u16string_view uri, std::u16string_view local_name, std::u16string_view,
    const xml::AttributeMap& attributes, const xml::NamespaceScope& scope, xml::XmlElement& element) {
  if (!IsSoap(uri, local_name, u"fault")) return nullptr;
  soap_fault.SetNamespace(element.SharedNamespaceURI());
  soap_fault.ProcessAttributes(uri, local_name, attributes, scope);
  return &soap_fault;
}

void BindingFaultHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                            const xml::AttributeMap& attributes,
                                            const xml::NamespaceScope& scope) {
  ReadOptional(attributes, uri, local, u"name", &name);
  if (const std::u16string* value = FindAttribute(attributes, uri, local, u"message")) {
    message = ResolveQNameOrThrow(
        *value, scope, u"Unresolvable namespace for attribute 'message' on element: 'fault'");
  }
}

xml::NodeHandler* BindingOperationHandler::CreateChild(
    std::u16string_view uri, std::u16string_view local_name, std::u16string_view,
    const xml::AttributeMap& attributes, const xml::NamespaceScope& scope, xml::XmlElement& element) {
  if (IsSoap(uri, local_name, u"operation")) {
    soap_operation.SetNamespace(element.SharedNamespaceURI());
    soap_operation.ProcessAttributes(uri, local_name, attributes, scope);
    return &soap_operation;
  }
  if (uri != xml::kWsdlNamespace) return nullptr;
  if (local_name == u"input" || local_name == u"output") {
    BindingMessageHandler& message = local_name == u"input" ? input : output;
    message.SetNamespace(namespace_);
    return &message;
  }
  if (local_name == u"fault") {
    faults.push_back(std::make_unique<BindingFaultHandler>());
    BindingFaultHandler* fault = faults.back().get();
    fault->SetNamespace(namespace_);
    fault->ProcessAttributes(uri, local_name, attributes, scope);
    return fault;
  }
  return nullptr;
}

void BindingOperationHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                                const xml::AttributeMap& attributes,
                                                const xml::NamespaceScope&) {
  ReadOptional(attributes, uri, local, u"name", &name);
}

xml::NodeHandler* BindingHandler::CreateChild(std::u16string_view uri,
                                              std::u16string_view local_name, std::u16string_view,
                                              const xml::AttributeMap& attributes,
                                              const xml::NamespaceScope& scope, xml::XmlElement& element) {
  if (IsSoap(uri, local_name, u"binding")) {
    soap_binding.SetNamespace(element.SharedNamespaceURI());
    soap_binding.ProcessAttributes(uri, local_name, attributes, scope);
    return &soap_binding;
  }
  if (!IsWsdl(uri, local_name, u"operation")) return nullptr;
  const std::u16string& name = RequireName(
      attributes, uri, local_name, u"Required attribute 'name' missing on element: 'operation'.");
  return NewNamed(operations, name, namespace_, uri, local_name, attributes, scope);
}

void BindingHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                       const xml::AttributeMap& attributes,
                                       const xml::NamespaceScope& scope) {
  const std::u16string* value = FindAttribute(attributes, uri, local, u"type");
  if (!value) ThrowSchemaError(u"Required attribute 'type' missing on element: 'binding'");
  type = ResolveQNameOrThrow(*value, scope,
                             u"Unresolvable namespace for attribute 'type' on element: 'binding'");
}

const BindingOperationHandler* BindingHandler::FindOperationBySoapAction(
    std::u16string_view action) const {
  for (const auto& operation : operations) {
    if (operation->soap_operation.soap_action == action) return operation.get();
  }
  return nullptr;
}

// ---- Definitions --------------------------------------------------------------

xml::NodeHandler* DefinitionsHandler::CreateChild(
    std::u16string_view uri, std::u16string_view local_name, std::u16string_view,
    const xml::AttributeMap& attributes, const xml::NamespaceScope& scope, xml::XmlElement&) {
  if (uri != xml::kWsdlNamespace) return nullptr;
  if (local_name == u"types") {
    types.SetNamespace(target_namespace);
    return &types;
  }
  if (local_name == u"message") {
    const std::u16string& name = RequireName(
        attributes, uri, local_name, u"Required attribute 'name' missing on element: 'message'.");
    return NewNamed(messages, name, target_namespace, uri, local_name, attributes, scope);
  }
  if (local_name == u"portType") {
    const std::u16string& name = RequireName(
        attributes, uri, local_name, u"Required attribute 'name' missing on element: 'portType'.");
    return NewNamed(port_types, name, target_namespace, uri, local_name, attributes, scope);
  }
  if (local_name == u"binding") {
    const std::u16string& name = RequireName(
        attributes, uri, local_name, u"Required attribute 'name' missing on element: 'binding'.");
    return NewNamed(bindings, name, target_namespace, uri, local_name, attributes, scope);
  }
  if (local_name == u"service") {
    const std::u16string& name = RequireName(
        attributes, uri, local_name, u"Required attribute 'name' missing on element: 'service'.");
    return NewNamed(services, name, target_namespace, uri, local_name, attributes, scope);
  }
  if (local_name == u"import") {
    if (!FindAttribute(attributes, uri, local_name, u"namespace")) {
      ThrowSchemaError(u"Required attribute 'namespace' missing on element: 'import'.");
    }
    const std::u16string* location = FindAttribute(attributes, uri, local_name, u"location");
    if (!location) ThrowSchemaError(u"Required attribute 'location' missing on element: 'import'.");
    import_locations.push_back(*location);
    return nullptr;  // the import's content is ignored
  }
  return nullptr;
}

void DefinitionsHandler::ProcessAttributes(std::u16string_view uri, std::u16string_view local,
                                           const xml::AttributeMap& attributes,
                                           const xml::NamespaceScope&) {
  ReadOptional(attributes, uri, local, u"name", &name);
  if (const std::u16string* value = FindAttribute(attributes, uri, local, u"targetNamespace")) {
    target_namespace = *value;
  }
}

bool DefinitionsHandler::EndElement(std::u16string_view, std::u16string_view,
                                    std::u16string_view, xml::XmlElement&) {
  messages.Seal();
  port_types.Seal();
  bindings.Seal();
  services.Seal();
  return true;
}

DefinitionsHandler::DefinitionsHandler() = default;
DefinitionsHandler::~DefinitionsHandler() = default;

void DefinitionsHandler::MergeFrom(DefinitionsHandler& imported) {
  types.MergeFrom(imported.types);
  messages.MergeMissing(imported.messages);
  port_types.MergeMissing(imported.port_types);
  bindings.MergeMissing(imported.bindings);
  services.MergeMissing(imported.services);
}

xml::NodeHandler* WsdlDocumentHandler::CreateChild(
    std::u16string_view uri, std::u16string_view local_name, std::u16string_view,
    const xml::AttributeMap& attributes, const xml::NamespaceScope& scope, xml::XmlElement&) {
  if (IsWsdl(uri, local_name, u"definitions")) {
    definitions.ProcessAttributes(uri, local_name, attributes, scope);
    return &definitions;
  }
  if (local_name == u"schema" && IsSchemaNamespace(uri)) {
    const std::u16string* tns = FindSchemaAttribute(attributes, local_name, u"targetNamespace");
    if (!tns) {
      ThrowSchemaError(u"Required attribute 'targetNamespace' missing on element: 'schema'.");
    }
    return definitions.types.SchemaFor(*tns, uri, attributes, scope);
  }
  return nullptr;
}

// ---- Shared helpers -----------------------------------------------------------

const std::u16string* FindAttribute(const xml::AttributeMap& attributes,
                                    std::u16string_view element_ns,
                                    std::u16string_view element_local, std::u16string_view name) {
  auto it = attributes.find(xml::AttributeKeyView{element_ns, element_local, name, {}});
  return it == attributes.end() ? nullptr : &it->second->GetValue();
}

const std::u16string* FindSchemaAttribute(const xml::AttributeMap& attributes,
                                          std::u16string_view element_local,
                                          std::u16string_view name) {
  for (std::u16string_view ns :
       {xml::kXmlSchemaNamespace, xml::kXmlSchema1999Namespace, xml::kXmlSchema2000Namespace}) {
    if (const std::u16string* value = FindAttribute(attributes, ns, element_local, name)) {
      return value;
    }
  }
  return nullptr;
}

const std::u16string* FindQualifiedAttribute(const xml::AttributeMap& attributes,
                                             std::u16string_view ns, std::u16string_view name) {
  auto it = attributes.find(xml::AttributeKeyView{ns, name, {}, ns});
  return it == attributes.end() ? nullptr : &it->second->GetValue();
}

bool ResolveQName(std::u16string_view value, const xml::NamespaceScope& scope, QName* out) {
  const size_t colon = value.find(u':');
  const std::u16string_view prefix =
      colon == std::u16string_view::npos ? std::u16string_view() : value.substr(0, colon);
  const std::u16string_view local =
      colon == std::u16string_view::npos ? value : value.substr(colon + 1);
  const xml::SharedString* bound = scope.Find(prefix);
  if (!bound) return false;
  out->ns = *bound;
  out->name.assign(local);
  return true;
}

QName ResolveQNameOrThrow(std::u16string_view value, const xml::NamespaceScope& scope,
                          std::u16string_view unresolvable) {
  QName out;
  if (!ResolveQName(value, scope, &out)) ThrowSchemaError(unresolvable);
  return out;
}

bool IsSchemaNamespace(std::u16string_view uri) {
  return uri == xml::kXmlSchemaNamespace || uri == xml::kXmlSchema1999Namespace ||
         uri == xml::kXmlSchema2000Namespace;
}

bool IsSoapBindingNamespace(std::u16string_view uri) {
  return uri == xml::kWsdlSoap11Namespace || uri == xml::kWsdlSoap12Namespace;
}

}  // namespace wsdl
