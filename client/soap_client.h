// SoapClient: the client side of one SOAP RPC binding. It binds to a service
// port that a WSDL document describes (through the WSDL reader dorvish2),
// builds each call in a fresh message object (quenlin2), runs the client's
// header handlers around it, hands the request to its SoapProxy and reads the
// decoded answer back out of the same message object.
//
// A client and the objects it holds live on the thread that created it, which
// entered the apartment; every call blocks for the whole exchange.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client/header_handler_chain.h"
#include "client/soap_proxy.h"
#include "interfaces/dorvish.h"
#include "interfaces/quenlin.h"

namespace client {

class SoapClient {
 public:
  explicit SoapClient(const ProxyProfile& profile = DimeProxyProfile());
  // The profile's texts with another time-out per network wait.
  SoapClient(const ProxyProfile& profile, uint32_t timeout_ms);
  virtual ~SoapClient();
  SoapClient(const SoapClient&) = delete;
  SoapClient& operator=(const SoapClient&) = delete;

  // Binds to `service`/`port` of the document at `wsdl_url` and creates the
  // first message object. The narrow names are UTF-8; one that is not (or
  // holds a NUL) fails the call. `soap_version` 0 takes the binding's
  // version. Whatever was bound before is released first, so a failed call
  // leaves the client unbound.
  bool Initialize(std::string_view wsdl_url, std::string_view service, std::string_view port,
                  std::string_view node_uri, std::string_view user_agent,
                  const std::vector<std::u16string>& handler_prog_ids, bool explicit_typing,
                  bool force_dime, int32_t soap_version);

  // Exchange with "POST", no extra path and no query.
  bool Invoke(std::u16string_view method, const std::u16string* names, VARIANT* values,
              int32_t count, VARIANT* result);

  // One request and its answer. names[i] goes with values[i]; after a 2xx
  // answer (204 aside) each value named like an output parameter of the
  // answer receives a copy of it, and `result` the return value. True also
  // for a fault answer (IsFaultResponse tells; with header handlers a fault
  // after the response leg fails the call) and for 204, which leaves every
  // value and `result` as passed.
  bool Exchange(std::string_view http_method, std::string_view extra_path, std::string_view query,
                std::u16string_view method, const std::u16string* names, VARIANT* values,
                int32_t count, VARIANT* result);

  // A header block for the next request (cleared after it is posted);
  // false without a message object or when the message refuses it.
  bool AddHeader(std::u16string_view ns, std::u16string_view name, const VARIANT& content,
                 bool must_understand, std::u16string_view actor);
  // The content of the last answer's header block `ns`/`name`; false when
  // there is none.
  bool GetHeader(std::u16string_view ns, std::u16string_view name, VARIANT* content) const;

  // The address requests go to: the WSDL's SOAP address after Initialize,
  // which an embedding program may overwrite (the control panel takes its
  // own settings). Exchange checks them when it posts.
  void SetEndpointHost(std::string_view host) { endpoint_host_ = host; }
  void SetEndpointPort(int32_t port) { endpoint_port_ = port; }
  void SetEndpointPath(std::string_view path) { endpoint_path_ = path; }
  const std::string& EndpointHost() const { return endpoint_host_; }
  int32_t EndpointPort() const { return endpoint_port_; }
  const std::string& EndpointPath() const { return endpoint_path_; }

  // The request body as posted by the last call and the answer's envelope;
  // both empty when that call failed before posting or got no answer.
  const std::string& LastRequest() const { return proxy_.RequestBody(); }
  const std::string& LastResponse() const { return proxy_.ResponseText(); }

  // Replaces the message object by a fresh one in its request phase.
  bool CreateMessage();
  bool IsFaultResponse() const;
  void ReleaseMessageObject();
  void ReleaseReader();
  void ReleaseObjects();

  Iquenlin2* MessageForTest() const { return message_.Get(); }
  bool HasReaderForTest() const { return reader_.Get() != nullptr; }
  const SoapProxy& ProxyForTest() const { return proxy_; }

 private:
  std::u16string service_name_;
  std::u16string port_name_;
  std::u16string node_uri_;
  std::u16string wsdl_url_;
  ComPtr<Iquenlin2> message_;
  ComPtr<Idorvish2> reader_;
  HeaderHandlerChain handlers_;
  SoapProxy proxy_;
  std::string endpoint_path_;
  std::string endpoint_host_;
  std::string user_agent_;
  int32_t endpoint_port_ = 0;
  std::vector<std::u16string> handler_prog_ids_;
  bool use_handlers_ = false;
  bool explicit_typing_ = false;
  bool node_type_ = false;
  bool force_dime_ = false;
  int32_t soap_version_ = 11;
  // The HTTP proxy for the WSDL fetch; nothing in this build sets it.
  bool use_proxy_ = false;
  std::string proxy_host_;
  int32_t proxy_port_ = 0;
};

}  // namespace client
