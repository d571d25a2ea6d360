// ManagementChannel: what the control panel's pages need of the SOAP client
// to talk to a server's management endpoint. The real channel runs over the
// application's SoapClient; tests script a fake (testing/).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/base.h"

namespace client {
class SoapClient;
}

namespace controlpanel {

// Where and how to bind: the management WSDL beside the program, the names in
// the settings, and the address the requests go to (the WSDL's own address is
// never used).
struct ChannelBinding {
  std::string wsdl_url;
  std::string service_name;
  std::string port_name;
  std::string user_agent;
  bool explicit_typing = false;
  bool use_proxy = false;
  std::string proxy_host;
  int proxy_port = 0;
  std::string host;
  int port = 0;
  std::string path;
};

class ManagementChannel {
 public:
  virtual ~ManagementChannel() = default;

  // Binds to the WSDL port and makes the first message object; false leaves
  // the channel unbound.
  virtual bool Bind(const ChannelBinding& binding) = 0;
  // A fresh message object for the next call; false while unbound.
  virtual bool CreateMessage() = 0;
  // A header block for the next request.
  virtual bool AddHeader(std::u16string_view ns, std::u16string_view name, const VARIANT& content,
                         bool must_understand, std::u16string_view actor) = 0;
  // The content of the last answer's block `ns`/`name`; false when absent.
  virtual bool GetHeader(std::u16string_view ns, std::u16string_view name, VARIANT* content) = 0;
  // One request and its answer; out values come back into `values` by name.
  // False when the exchange itself failed.
  virtual bool Invoke(std::u16string_view method, const std::u16string* names, VARIANT* values,
                      int32_t count, VARIANT* result) = 0;
  virtual bool IsFaultResponse() const = 0;
  // The texts of this call as sent and as received (UTF-8); empty for a call
  // that never reached the network.
  virtual std::string LastRequest() const = 0;
  virtual std::string LastResponse() const = 0;
  // Drops the message object and the WSDL reader.
  virtual void Release() = 0;
};

}  // namespace controlpanel
