// The element-handler base of the WSDL reader and what every handler shares:
// the reader's exception, attribute lookup by element name, QName resolution
// against the element's namespace scope, and tables of named records.
//
// The reader builds no generic tree: the handler the dispatcher pushes for an
// element is also the record of that element, and parents keep their
// children's handlers. When a parse ends, the handlers under the document
// handler are the description that the queries read.
#pragma once

#include <algorithm>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "wsdl/compact_name.h"
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
  CompactName name;
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

// Records kept by value or by pointer; either way a table reads its record.
template <typename T>
const T& RecordOf(const T& record) {
  return record;
}
template <typename T>
const T& RecordOf(const std::unique_ptr<T>& record) {
  return *record;
}

// A table of named records (each has a `name`), owning them: filled in
// document order while its element is open, then sealed, ordered by name with
// the first record of each name kept, once that element ends. A sorted vector
// holds a record (or a pointer) per name where a tree would hold a node with
// its own copy of the name. Lookups are for sealed tables.
//
// Small tables of leaf records hold them by value; a record may move while
// its table fills, so only the last one added may be open.
template <typename E>
class NamedTable {
 public:
  using Record = std::remove_cvref_t<decltype(RecordOf(std::declval<const E&>()))>;

  E& Add(E entry) { return entries_.emplace_back(std::move(entry)); }
  // Orders the table by name; of records of the same name, the one sealed
  // earlier or else added first is kept and the others are freed.
  void Seal() {
    auto by_name = [](const E& a, const E& b) { return RecordOf(a).name < RecordOf(b).name; };
    std::stable_sort(entries_.begin(), entries_.end(), by_name);
    auto same = [](const E& a, const E& b) { return RecordOf(a).name == RecordOf(b).name; };
    entries_.erase(std::unique(entries_.begin(), entries_.end(), same), entries_.end());
    entries_.shrink_to_fit();
  }
  // Moves over the records of `from` whose names are not taken here.
  void MergeMissing(NamedTable& from) {
    entries_.reserve(entries_.size() + from.entries_.size());
    std::move(from.entries_.begin(), from.entries_.end(), std::back_inserter(entries_));
    from.entries_.clear();
    Seal();
  }

  const Record* Find(std::u16string_view name) const {
    auto it = std::lower_bound(
        entries_.begin(), entries_.end(), name,
        [](const E& e, std::u16string_view n) { return std::u16string_view(RecordOf(e).name) < n; });
    return it != entries_.end() && RecordOf(*it).name == name ? &RecordOf(*it) : nullptr;
  }
  bool contains(std::u16string_view name) const { return Find(name) != nullptr; }
  // For tests: the entry of `name`, which must be present.
  const E& at(std::u16string_view name) const {
    const Record* record = Find(name);
    if (!record) throw std::out_of_range("no such record");
    for (const E& e : entries_) {
      if (&RecordOf(e) == record) return e;
    }
    throw std::out_of_range("no such record");
  }

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const E& operator[](size_t i) const { return entries_[i]; }
  E& operator[](size_t i) { return entries_[i]; }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  auto begin() { return entries_.begin(); }
  auto end() { return entries_.end(); }

 private:
  std::vector<E> entries_;
};

// A table of records each allocated on its own: records that stay open while
// later ones are added, or are too large to move.
template <typename T>
using NamedMap = NamedTable<std::unique_ptr<T>>;

// The record `name` of `table` when its namespace is `ns`; null otherwise.
template <typename E>
auto FindWithNamespace(const NamedTable<E>& table, std::u16string_view name,
                       std::u16string_view ns) -> decltype(table.Find(name)) {
  auto* record = table.Find(name);
  return record && record->GetNamespace() == ns ? record : nullptr;
}
template <typename E>
auto FindByName(const NamedTable<E>& table, std::u16string_view name) {
  return table.Find(name);
}

// Creates a record named `name` at the end of `table`.
template <typename T>
T* AddNamed(NamedMap<T>& table, std::u16string_view name) {
  auto record = std::make_unique<T>();
  record->name.assign(name);
  return table.Add(std::move(record)).get();
}

}  // namespace wsdl
