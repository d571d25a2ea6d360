// The WSDL 1.1 description model: definitions, messages and parts, port types
// with their operations, bindings with their SOAP 1.1 and SOAP 1.2 extension
// elements, services, ports and addresses. Each record is the handler of its
// element; tables by name are ordered by name and keep the first definition
// of a name. Records are read-only once their parse has ended.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wsdl/schema_model.h"
#include "wsdl/wsdl_node.h"

namespace wsdl {

class WsdlDocumentHandler;

class PartHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  CompactName name;
  QName element;
  QName type;
  // The place among the message's parts in document order, first
  // definitions only: the table is ordered by name, but rpc peers read
  // outputs by position.
  int32_t position = 0;
};

class MessageHandler : public WsdlNodeHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  // Seals the parts and numbers them in document order.
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  xml::XmlElement&) override;

  // The part written first; null when there is none.
  const PartHandler* FirstPart() const;

  CompactName name;
  NamedTable<PartHandler> parts;
};

// wsdl:input or wsdl:output of a port-type operation; its name is not read.
class OperationMessageHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  QName message;
};

class OperationFaultHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  CompactName name;
  QName message;
};

class PortTypeOperationHandler : public WsdlNodeHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  xml::XmlElement&) override {
    faults.Seal();
    return true;
  }

  // The parameterOrder position of `name`; -1 when it is not listed.
  int32_t ParameterPosition(std::u16string_view name) const;

  CompactName name;
  OperationMessageHandler input;
  OperationMessageHandler output;
  NamedMap<OperationFaultHandler> faults;
  // parameterOrder's names, ordered by name, each with its position.
  std::vector<std::pair<CompactName, int32_t>> parameter_positions;
};

class PortTypeHandler : public WsdlNodeHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  xml::XmlElement&) override {
    operations.Seal();
    return true;
  }

  CompactName name;
  NamedMap<PortTypeOperationHandler> operations;
};

class SoapAddressHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  CompactName location;
};

class PortHandler : public WsdlNodeHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  CompactName name;
  QName binding;
  SoapAddressHandler address;
};

class ServiceHandler : public WsdlNodeHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  xml::XmlElement&) override {
    ports.Seal();
    return true;
  }

  CompactName name;
  NamedMap<PortHandler> ports;
};

// ---- Bindings -----------------------------------------------------------------

class SoapBindingHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  CompactName style = u"document";
  CompactName transport;
};

class SoapOperationHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  CompactName soap_action;  // in double quotes, as stored; empty when absent
  CompactName style;
  bool soap_action_required = false;
};

class SoapBodyHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  CompactName parts;
  CompactName use;
  CompactName encoding_style;
  CompactName body_namespace;  // the `namespace` attribute
};

class SoapHeaderFaultHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  QName message;
  CompactName part;
  CompactName use;
  CompactName encoding_style;
  CompactName header_namespace;  // the `namespace` attribute
};

class SoapHeaderHandler : public SoapHeaderFaultHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;

  std::vector<std::unique_ptr<SoapHeaderFaultHandler>> header_faults;
};

// wsdl:input or wsdl:output of a binding operation; its own attributes are
// not read.
class BindingMessageHandler : public WsdlNodeHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;

  SoapBodyHandler body;
  std::vector<std::unique_ptr<SoapHeaderHandler>> headers;
};

class SoapFaultHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  CompactName name;
  CompactName use;
  CompactName encoding_style;
  CompactName fault_namespace;  // the `namespace` attribute
};

class BindingFaultHandler : public WsdlNodeHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  CompactName name;
  QName message;
  SoapFaultHandler soap_fault;
};

class BindingOperationHandler : public WsdlNodeHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  BindingMessageHandler input;
  BindingMessageHandler output;
  SoapOperationHandler soap_operation;
  CompactName name;
  std::vector<std::unique_ptr<BindingFaultHandler>> faults;
};

class BindingHandler : public WsdlNodeHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  xml::XmlElement&) override {
    operations.Seal();
    return true;
  }

  // The first operation, in name order, whose stored (quoted) soapAction
  // equals `action`; null when none.
  const BindingOperationHandler* FindOperationBySoapAction(std::u16string_view action) const;

  CompactName name;
  NamedMap<BindingOperationHandler> operations;
  QName type;  // the port type
  SoapBindingHandler soap_binding;
};

// ---- Definitions and the document --------------------------------------------------

class DefinitionsHandler : public WsdlNodeHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  xml::XmlElement&) override;

  DefinitionsHandler();
  ~DefinitionsHandler() override;

  // Adds what `imported` defines under names this document lacks: its
  // schemas, then messages, port types, bindings and services.
  void MergeFrom(DefinitionsHandler& imported);

  // The `wsdl:import` locations in document order. The loader fetches them
  // after the parse, when this document's own definitions are all in (so
  // they win over imported ones of the same name) and its parse is freed.
  std::vector<std::u16string> import_locations;

  NamedMap<MessageHandler> messages;
  NamedMap<PortTypeHandler> port_types;
  NamedMap<BindingHandler> bindings;
  NamedMap<ServiceHandler> services;
  TypesHandler types;
  CompactName name;
  xml::SharedString target_namespace;
};

// The root handler of one parse; owns the whole model of the document.
class WsdlDocumentHandler : public WsdlNodeHandler {
 public:
  // Accepts wsdl:definitions, or a bare XML Schema document.
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;

  DefinitionsHandler definitions;
  std::string base_url;
};

}  // namespace wsdl
