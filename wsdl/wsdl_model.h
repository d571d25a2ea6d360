// The WSDL 1.1 description model: definitions, messages and parts, port types
// with their operations, bindings with their SOAP 1.1 and SOAP 1.2 extension
// elements, services, ports and addresses. Each record is the handler of its
// element; tables by name are ordered by name and keep the first definition
// of a name. Records are read-only once their parse has ended.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
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

  QName element;
  QName type;
};

class MessageHandler : public WsdlNodeHandler {
 public:
  xml::NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                                std::u16string_view qualified_name,
                                const xml::AttributeMap& attributes,
                                const xml::NamespaceScope& scope,
                                xml::XmlElement& element) override;
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  xml::XmlElement&) override {
    spare_.reset();
    return true;
  }

  NamedMap<PartHandler> parts;
  const PartHandler* first_part = nullptr;  // the part written first; owned by `parts`
  // Part name -> place in document order (first definitions only); the table
  // above is ordered by name, but rpc peers read outputs by position.
  std::map<std::u16string, int32_t, std::less<>> part_positions;

 private:
  std::unique_ptr<WsdlNodeHandler> spare_;
};

// wsdl:input or wsdl:output of a port-type operation.
class OperationMessageHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  std::u16string name;
  QName message;
};

class OperationFaultHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  std::u16string name;
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
    spare_.reset();
    return true;
  }

  OperationMessageHandler input;
  OperationMessageHandler output;
  NamedMap<OperationFaultHandler> faults;
  std::map<std::u16string, int32_t, std::less<>> parameter_positions;
  std::u16string parameter_order;

 private:
  std::unique_ptr<WsdlNodeHandler> spare_;
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
    spare_.reset();
    return true;
  }

  NamedMap<PortTypeOperationHandler> operations;

 private:
  std::unique_ptr<WsdlNodeHandler> spare_;
};

class SoapAddressHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  std::u16string location;
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
    spare_.reset();
    return true;
  }

  NamedMap<PortHandler> ports;

 private:
  std::unique_ptr<WsdlNodeHandler> spare_;
};

// ---- Bindings -----------------------------------------------------------------

class SoapBindingHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  std::u16string style = u"document";
  std::u16string transport;
};

class SoapOperationHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  std::u16string soap_action;  // in double quotes, as stored; empty when absent
  std::u16string style;
  bool soap_action_required = false;
};

class SoapBodyHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  std::u16string parts;
  std::u16string use;
  std::u16string encoding_style;
  std::u16string body_namespace;  // the `namespace` attribute
};

class SoapHeaderFaultHandler : public WsdlNodeHandler {
 public:
  void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                         const xml::AttributeMap& attributes,
                         const xml::NamespaceScope& scope) override;

  QName message;
  std::u16string part;
  std::u16string use;
  std::u16string encoding_style;
  std::u16string header_namespace;  // the `namespace` attribute
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

  std::u16string name;
  std::u16string use;
  std::u16string encoding_style;
  std::u16string fault_namespace;  // the `namespace` attribute
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

  std::u16string name;
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
  std::u16string name;
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
    spare_.reset();
    return true;
  }

  // The first operation, in name order, whose stored (quoted) soapAction
  // equals `action`; null when none.
  const BindingOperationHandler* FindOperationBySoapAction(std::u16string_view action) const;

  NamedMap<BindingOperationHandler> operations;
  QName type;  // the port type
  SoapBindingHandler soap_binding;

 private:
  std::unique_ptr<WsdlNodeHandler> spare_;
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
                  xml::XmlElement&) override {
    spare_.reset();
    return true;
  }

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
  std::u16string name;
  xml::SharedString target_namespace;

 private:
  std::unique_ptr<WsdlNodeHandler> spare_;
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
