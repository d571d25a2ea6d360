// The element-handler base of the WSDL reader and what every handler shares:
// the reader's exception, attribute lookup by element name, QName resolution
// against the element's namespace scope, and tables of named records.
//
// The reader builds no generic tree: the handler the dispatcher pushes for an
// element is also the record of that element, and parents keep their
// children's handlers. When a parse ends, the handlers under the document
// handler are the description that the queries read.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "xml/node_handler.h"
#include "xml/shared_string.h"
#include "xml/xml_element.h"

namespace wsdl {

// The WSDL binding namespaces beyond those of xml/namespaces.h.
inline constexpr std::u16string_view kWsdlHttpNamespace = u"http://schemas.xmlsoap.org/wsdl/http/";
inline constexpr std::u16string_view kWsdlMimeNamespace = u"http://schemas.xmlsoap.org/wsdl/mime/";

inline constexpr std::u16string_view kInternalError = u"Internal Error";
inline constexpr std::u16string_view kSchemaError = u"WSDL Schema Error";
inline constexpr std::u16string_view kMemoryFailure = u"Memory allocation failure.";
inline constexpr std::u16string_view kImportFailure =
    u"Unable to process document referenced in 'import' element.";

// The reader's exception: a code ("Internal Error" or "WSDL Schema Error")
// and one of the fixed messages. Thrown by value by the handlers and caught by
// the loader, which logs it and fails the load.
class QVWebServicesDescFault {
 public:
  QVWebServicesDescFault(std::u16string_view code, std::u16string_view message)
      : code_(code), message_(message) {}
  const std::u16string& code() const { return code_; }
  const std::u16string& message() const { return message_; }

 private:
  std::u16string code_;
  std::u16string message_;
};

[[noreturn]] inline void ThrowSchemaError(std::u16string_view message) {
  throw QVWebServicesDescFault(kSchemaError, message);
}

// A reference to a definition: namespace URI and local name. The URI is
// shared with the parse's namespace bindings: a model holds thousands of
// references to a handful of namespaces.
struct QName {
  xml::SharedString ns;
  std::u16string name;
  bool empty() const { return ns.empty() && name.empty(); }
  friend bool operator==(const QName&, const QName&) = default;
};

// The unprefixed attribute `name` of the element {element_ns}element_local;
// null when absent.
const std::u16string* FindAttribute(const xml::AttributeMap& attributes,
                                    std::u16string_view element_ns,
                                    std::u16string_view element_local, std::u16string_view name);
// An attribute of an XML Schema element: looked up under the 2001, 1999 and
// 2000/10 namespaces in that order.
const std::u16string* FindSchemaAttribute(const xml::AttributeMap& attributes,
                                          std::u16string_view element_local,
                                          std::u16string_view name);
// A namespace-qualified attribute {ns}name; null when absent.
const std::u16string* FindQualifiedAttribute(const xml::AttributeMap& attributes,
                                             std::u16string_view ns, std::u16string_view name);

// Splits `value` at its first ':' and looks the prefix up in `scope` (the
// empty prefix is the default namespace). False when the prefix is unbound.
[[nodiscard]] bool ResolveQName(std::u16string_view value, const xml::NamespaceScope& scope,
                                QName* out);
// ResolveQName that throws `unresolvable` when the prefix is unbound.
QName ResolveQNameOrThrow(std::u16string_view value, const xml::NamespaceScope& scope,
                          std::u16string_view unresolvable);

bool IsSchemaNamespace(std::u16string_view uri);
bool IsSoapBindingNamespace(std::u16string_view uri);

class WsdlNodeHandler : public xml::NodeHandler {
 public:
  // Skips every child unless a handler says otherwise.
  xml::NodeHandler* CreateChild(std::u16string_view, std::u16string_view, std::u16string_view,
                                const xml::AttributeMap&, const xml::NamespaceScope&,
                                xml::XmlElement&) override {
    return nullptr;
  }
  // Reads the element's attributes; `uri` and `local_name` name the element.
  virtual void ProcessAttributes(std::u16string_view uri, std::u16string_view local_name,
                                 const xml::AttributeMap& attributes,
                                 const xml::NamespaceScope& scope) {
    (void)uri, (void)local_name, (void)attributes, (void)scope;
  }
  // Records share the text of the namespaces they are in.
  void SetNamespace(xml::SharedString ns) { namespace_ = std::move(ns); }
  const std::u16string& GetNamespace() const { return namespace_.str(); }

 protected:
  xml::SharedString namespace_;
};

// An ordered table of named records, owning them.
template <typename T>
using NamedMap = std::map<std::u16string, std::unique_ptr<T>, std::less<>>;

// The entry `name` of `map` when its namespace is `ns`; null otherwise.
template <typename T>
const T* FindWithNamespace(const NamedMap<T>& map, std::u16string_view name,
                           std::u16string_view ns) {
  auto it = map.find(name);
  if (it == map.end() || it->second->GetNamespace() != ns) return nullptr;
  return it->second.get();
}
template <typename T>
const T* FindByName(const NamedMap<T>& map, std::u16string_view name) {
  auto it = map.find(name);
  return it == map.end() ? nullptr : it->second.get();
}

// Stores `handler` under `name` unless the name is taken. A record whose
// name is taken still receives its element and subtree, so it is parked in
// `spare` (freed at the parent's next child or end) and is never reachable
// from the model.
template <typename T>
T* InsertNamed(NamedMap<T>& map, std::u16string_view name, std::unique_ptr<T> handler,
               std::unique_ptr<WsdlNodeHandler>& spare) {
  T* raw = handler.get();
  auto [it, inserted] = map.try_emplace(std::u16string(name), nullptr);
  if (inserted) {
    it->second = std::move(handler);
  } else {
    spare = std::move(handler);
  }
  return raw;
}

}  // namespace wsdl
