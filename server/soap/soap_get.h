// SOAP GET on an endpoint: there is no request envelope. A fresh message
// object is set to SOAP 1.2 and either decodes an RPC call from the path and
// query string, hands the request to the body object's OnProcessSoapGet, or,
// on an intermediary, forwards the GET to the next hop. The response is
// written as for a POST; response attachments make it a DIME answer only
// while the status is 200.
//
// An endpoint's header processors run in both phases of a GET as of a POST:
// the request has no header blocks, but a processor that guards the endpoint
// must still be able to refuse it before the body runs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "interfaces/quenlin.h"
#include "platform/base/base.h"
#include "server/soap/forwarding_proxy.h"
#include "server/soap/plugin_classes.h"
#include "server/http/soap_dispatch.h"

namespace server {

struct SoapGetOptions {
  int64_t now = 0;  // seconds since the epoch, for the trace record
  ForwardLimits forward;
};

// Answers a GET on `call.endpoint` with `message`, a fresh message object
// (null gives false). False when no answer can be made: the message cannot be
// initialised, a header processor cannot be created, the path and query do
// not decode into an RPC call, or the DIME answer cannot be built; the
// connection then sends its endpoint page. Nothing but std::bad_alloc leaves.
bool ProcessSoapGet(const SoapCall& call, Iquenlin2* message, IDispatch* wsdl_reader,
                    EndpointPlugins& plugins, const SoapGetOptions& options, SoapAnswer* answer);

// Creates the body object by ProgID and calls its OnProcessSoapGet. False
// after recording a SOAP 1.2 Receiver fault when it cannot be created or
// called, or answers 0.
bool InvokeOnProcessSoapGet(std::u16string_view prog_id, Iquenlin2* message,
                            std::u16string_view service_uri, std::u16string_view extra_path,
                            std::u16string_view query, const PluginClasses* classes = nullptr);

}  // namespace server
