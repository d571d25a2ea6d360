#include "controlpanel/model/soap_client_channel.h"

namespace controlpanel {

bool SoapClientChannel::Bind(const ChannelBinding& b) {
  if (!client_.Initialize(b.wsdl_url, b.service_name, b.port_name, "", b.user_agent, {},
                          b.explicit_typing, /*force_dime=*/false, /*soap_version=*/11)) {
    return false;
  }
  // The settings name the server; the WSDL's own address is never used.
  client_.SetEndpointHost(b.host);
  client_.SetEndpointPort(b.port);
  client_.SetEndpointPath(b.path);
  return true;
}

std::string SoapClientChannel::LastRequest() const { return client_.LastRequest(); }

std::string SoapClientChannel::LastResponse() const { return client_.LastResponse(); }

}  // namespace controlpanel
