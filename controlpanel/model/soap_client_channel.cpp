#include "controlpanel/model/soap_client_channel.h"

namespace controlpanel {

bool SoapClientChannel::Bind(const ChannelBinding& b) {
  return client_.Initialize(b.wsdl_url, b.service_name, b.port_name, "", b.user_agent, {},
                            b.explicit_typing, /*force_dime=*/false, /*soap_version=*/11);
}

std::string SoapClientChannel::LastRequest() const { return client_.ProxyForTest().RequestBody(); }

std::string SoapClientChannel::LastResponse() const {
  return client_.ProxyForTest().ResponseText();
}

}  // namespace controlpanel
