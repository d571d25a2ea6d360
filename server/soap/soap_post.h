// The SOAP processing of endpoints: one message object per POST, given the
// request, driven through the header processors, the body service or RPC
// object, and the response phase, then asked for the response it writes.
// Its status (200, 204, 400 or 500) and the SOAP trace record go back to the
// connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "interfaces/quenlin.h"
#include "platform/base/base.h"
#include "server/soap/forwarding_proxy.h"
#include "server/soap/plugin_classes.h"
#include "server/http/soap_dispatch.h"

struct SAFEARRAY;

namespace dime {
class DimeMessage;
}

namespace server {

class WsdlCache;

class SoapPostDispatch final : public SoapDispatch {
 public:
  // Makes the message object of one request; null when it cannot be made.
  using MessageFactory = std::function<ComPtr<Iquenlin2>()>;
  // Seconds since the epoch, for the trace record's time.
  using Clock = std::function<int64_t()>;

  // Without `makeMessage`, message objects come from the endpoint's resolved
  // message class.
  explicit SoapPostDispatch(WsdlCache& cache, MessageFactory makeMessage = nullptr,
                            Clock clock = nullptr);

  bool ProcessSoapPost(const SoapCall& call, SoapAnswer* answer) override;
  // SOAP GET (soap_get.h); false sends the endpoint page.
  bool ProcessSoapGet(const SoapCall& call, SoapAnswer* answer) override;

  // The longest wait for each network event of a forward; kForwardTimeoutMs
  // unless shortened (tests). Set before the server starts.
  void SetForwardTimeoutMs(uint32_t ms) { forwardTimeoutMs_ = ms; }
  // How many forwards may wait on next hops at once (OutboundGate); 0, the
  // default, sets no bound. Set before the server starts.
  void SetOutboundLimit(uint32_t limit) { outbound_.SetLimit(limit); }

  // The production factory: a new object of the message class.
  static ComPtr<Iquenlin2> CreateMessage();

  // Resolves the plug-in classes of a newly published snapshot's endpoints.
  void PrepareEndpoints(const ConfigSnapshot& snapshot) { classes_.Prepare(snapshot); }
  void OnWatchdog() override { classes_.OnWatchdog(); }

 private:
  // Where a POST and a GET both get their endpoint's plug-ins and message
  // object: from the classes resolved for the endpoint.
  EndpointPlugins Plugins(const SoapCall& call);
  ComPtr<Iquenlin2> NewMessage(const EndpointPlugins& plugins) const;

  WsdlCache& cache_;
  PluginClassCache classes_;
  const MessageFactory makeMessage_;
  const Clock clock_;
  ForwardLimits Limits(const SoapCall& call) {
    return ForwardLimits{forwardTimeoutMs_, call.deadline, &outbound_, kMaxForwardReplyBytes,
                         call.budget};
  }

  uint32_t forwardTimeoutMs_;
  OutboundGate outbound_;
};

// The quoted form the message expects: a value not starting with a double
// quote is enclosed in double quotes.
std::u16string QuoteSoapAction(std::string_view soapAction);

// The message's response buffer as bytes; empty when it has none.
bool CopyMessageBuffer(Iquenlin2* message, std::string* out);
// Hands the DIME request's first record to the message as its buffer and
// every further record as a request attachment. *envelope receives the
// first record's bytes (null array and empty envelope for a message without
// records). False when any record cannot be read or added.
bool LoadDimeRequest(Iquenlin2* message, dime::DimeMessage& request, SAFEARRAY** bytes,
                     std::string* envelope);
// Fills `response` with the envelope as first record and the message's
// response attachments after it. False when any part cannot be added.
bool BuildDimeResponse(Iquenlin2* message, int soapVersion, dime::DimeMessage& response,
                       std::string_view envelope);

}  // namespace server
