// WsdlClient: the core of one WSDL reader. It keeps the HTTP settings, loads
// one WSDL 1.1 document from a file:// or http:// URL (following wsdl:import),
// selects a service and port, and answers the queries on that port's binding,
// its operations, messages and parts, and the document's schema types.
//
// A loaded description is immutable: a load builds a new one and publishes it
// whole, so every query (const) may run on several threads at once, also
// while another thread loads. Queries read the published description without
// a lock or a reference count; in exchange a description replaced by a later
// load of the same client is kept until the client goes (the server loads each
// of its readers once). Failures are false results; the reasons of load
// failures go to the event log under "Quorvel WSDL Parser".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "wsdl/wsdl_model.h"

namespace wsdl {

inline constexpr std::string_view kWsdlUserAgent =
    "Quorvel WSDL Client/2.1 (C++ WSDL client library)";
inline constexpr char kWsdlEventSource[] = "Quorvel WSDL Parser";
inline constexpr int kDefaultWsdlTimeoutMs = 30000;
// Largest WSDL document read from a file or accepted as an HTTP body.
inline constexpr size_t kMaxWsdlDocumentLength = size_t{64} << 20;
// Most documents in one chain of imports below the loaded document.
inline constexpr size_t kMaxImportDepth = 16;
// Most documents one load fetches, the loaded one included.
inline constexpr size_t kMaxLoadDocuments = 256;
// Most restriction steps followed when a part's simple type is refined.
inline constexpr int kMaxTypeRefinementSteps = 16;
// Longest event-log text, in bytes.
inline constexpr size_t kMaxWsdlEventText = 127;

enum class Direction { Input, Output };

// The selected port's address as split at load time; port 0 when none (or
// out of range).
struct SoapAddress {
  std::u16string host;
  std::u16string uri;
  int port = 0;
};

class WsdlClient {
 public:
  WsdlClient();
  ~WsdlClient();
  WsdlClient(const WsdlClient&) = delete;
  WsdlClient& operator=(const WsdlClient&) = delete;

  // Loads the document at `url` (UTF-8) and selects `service` and `port`.
  // True when the document loaded and the port has a non-empty SOAP address.
  // The names are stored in every case; a failed fetch keeps the earlier
  // document, a failed parse leaves none, a failed selection keeps the new one.
  bool LoadServiceDescription(std::u16string_view service, std::u16string_view port,
                              std::string_view url);

  // HTTP settings of later loads (imports always use the defaults). The
  // timeout bounds each wait and the whole load with its imports: a host
  // that never answers, or a chain of slow imports, cannot hold the caller
  // longer than that.
  void SetUserAgent(std::string_view utf8);
  std::string GetUserAgent() const;
  void SetHTTPTimeout(int milliseconds);  // stored as given
  void SetHTTPHeaders(std::string_view utf8);
  void SetMaxDocumentLengthForTest(size_t limit);

  SoapAddress GetSOAPAddress() const;
  // Empty when no document is loaded.
  std::u16string GetDefinitionsTNS() const;
  bool HasDocument() const;

  // ---- Operation queries (fail when the selected binding lacks the operation)
  bool GetMethodSOAPAction(std::u16string_view method, std::u16string* action) const;
  bool SOAPActionRequired(std::u16string_view op, bool* required) const;
  bool GetMethodNamespaceURI(std::u16string_view method, std::u16string* ns) const;
  bool GetSOAPBodyUse(Direction d, std::u16string_view op, std::u16string* use) const;
  bool GetSOAPBodyEncStyle(Direction d, std::u16string_view op, std::u16string* style) const;
  bool GetOperationBindingStyle(std::u16string_view op, std::u16string* style) const;

  // ---- Binding queries
  bool GetSOAPBindingStyle(std::u16string* style) const;
  bool GetSOAPBindingTransport(std::u16string* transport) const;
  bool GetSOAPBindingVersion(std::u16string* version_uri) const;
  bool GetMethodNamesBySOAPAction(std::u16string_view action, std::u16string* method,
                                  std::u16string* method_ns) const;

  // ---- Message and part queries
  bool IsMethodParam(std::u16string_view method, std::u16string_view param) const;
  bool GetMethodParamIndex(std::u16string_view method, std::u16string_view param,
                           int32_t* index) const;
  // The part's place among its message's parts in document order.
  bool GetMsgPartIndex(Direction d, std::u16string_view method, std::u16string_view part,
                       int32_t* index) const;
  bool IsMsgPart(Direction d, std::u16string_view method, std::u16string_view part) const;
  bool GetFirstParamName(Direction d, std::u16string_view method, std::u16string* name,
                         int32_t* position) const;
  // The part after *position (the one returned last); on success *position
  // is advanced, on failure it is left alone.
  bool GetNextParamName(Direction d, std::u16string_view method, std::u16string* name,
                        int32_t* position) const;
  bool GetMsgPartType(Direction d, std::u16string_view method, std::u16string_view part,
                      QName* type) const;
  bool GetOperationReturnType(std::u16string_view method, std::u16string_view part,
                              QName* type) const;
  bool GetHeaderElemType(std::u16string_view name, std::u16string_view ns, QName* type) const;

  // ---- Header and fault queries
  bool GetHeaderPartType(Direction d, std::u16string_view op, std::u16string_view part,
                         std::u16string_view part_ns, QName* type) const;
  bool GetHeaderPartEncStyle(Direction d, std::u16string_view op, std::u16string_view part,
                             std::u16string_view part_ns, std::u16string* style) const;
  bool GetHeaderFaultPartType(Direction d, std::u16string_view op, std::u16string_view part,
                              std::u16string_view part_ns, QName* type) const;
  bool GetHeaderFaultPartEncStyle(Direction d, std::u16string_view op, std::u16string_view part,
                                  std::u16string_view part_ns, std::u16string* style) const;
  bool GetFaultDetailPartType(std::u16string_view op, std::u16string_view part,
                              std::u16string_view part_ns, QName* type) const;
  bool GetFaultDetailEncStyle(std::u16string_view op, std::u16string_view part,
                              std::u16string_view part_ns, std::u16string* style) const;
  bool GetFaultDetailUse(std::u16string_view op, std::u16string_view part,
                         std::u16string_view part_ns, std::u16string* use) const;

  // ---- Schema type queries
  bool GetStructMemberType(std::u16string_view type_name, std::u16string_view type_ns,
                           std::u16string_view member, std::u16string_view member_ns,
                           QName* type) const;
  bool GetComplexBaseType(std::u16string_view name, std::u16string_view ns, QName* base) const;
  bool GetArrayType(std::u16string_view name, std::u16string_view ns, QName* item_type) const;
  bool GetArrayDims(std::u16string_view name, std::u16string_view ns, int32_t* dims) const;
  bool GetArrayTypeLit(std::u16string_view name, std::u16string_view ns, QName* item_type,
                       QName* item_element) const;

  struct State;

 private:
  // The published description, valid as long as the client.
  const State* Snapshot() const;
  // Makes `next` the description queries read; under mu_.
  void Publish(std::unique_ptr<const State> next);

  // Held alone by a load's publication and by the HTTP settings' setters.
  mutable std::shared_mutex mu_;
  // Every description published, the current one last; guarded by mu_.
  std::vector<std::unique_ptr<const State>> states_;
  std::atomic<const State*> current_{nullptr};
  std::string user_agent_;                      // Guarded by mu_.
  std::string extra_headers_;                   // Guarded by mu_.
  int timeout_ms_ = kDefaultWsdlTimeoutMs;      // Guarded by mu_.
  size_t max_length_ = kMaxWsdlDocumentLength;  // Guarded by mu_.
};

}  // namespace wsdl
