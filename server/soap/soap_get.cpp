#include "server/soap/soap_get.h"

#include <time.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "dime/exception.h"
#include "dime/field_text.h"
#include "dime/message.h"
#include "message/plugin_contract.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "platform/storage/storage.h"
#include "platform/text/text.h"
#include "server/soap/plugin_classes.h"
#include "xml/namespaces.h"

namespace server {

using message::CreateHeaderProcessors;
using message::CreatePlugin;
using message::CreateStatus;
using message::ProcessHeaderBlocks;
namespace {

constexpr uint32_t kEnvelopeTypeNameFormat = 2;  // absolute URI

bool IsTrue(VARIANT_BOOL b) { return b == VARIANT_TRUE; }

void RecordReceiverFault(Iquenlin2* message, std::u16string_view text) {
  VARIANT_BOOL done = VARIANT_FALSE;
  message->SetSOAP12Fault(Bstr(u"Receiver").Get(), Bstr(xml::kSoap12EnvelopeNamespace).Get(),
                          Bstr(u"").Get(), Bstr(u"").Get(), Bstr(text).Get(), Bstr(u"en").Get(),
                          &done);
}

// The message's envelope bytes; empty when it gives none.
std::string CopyEnvelope(Iquenlin2* message) {
  Variant buffer;
  VARIANT_BOOL ok = VARIANT_FALSE;
  message->GetBuffer(buffer.Receive(), &ok);
  std::string out;
  if (!IsTrue(ok) || buffer.vt != (VT_ARRAY | VT_UI1) || buffer.parray == nullptr ||
      SafeArrayGetDim(buffer.parray) != 1) {
    return out;
  }
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(buffer.parray, &data))) return out;
  out.assign(static_cast<const char*>(data), buffer.parray->rgsabound[0].cElements);
  SafeArrayUnaccessData(buffer.parray);
  return out;
}

// The envelope as first record (SOAP 1.2), then every response attachment.
std::unique_ptr<dime::DimeMessage> BuildDimeAnswer(Iquenlin2* message,
                                                   const std::string& envelope) {
  auto answer = std::make_unique<dime::DimeMessage>();
  try {
    answer->InitSerializer(dime::kRecordSize);
    if (!answer->AddPayloadFromBytes(envelope.data(), envelope.size(), "",
                                     text::Narrow(xml::kSoap12EnvelopeNamespace),
                                     kEnvelopeTypeNameFormat)) {
      return nullptr;
    }
    Bstr id, type;
    LONG tnf = 0;
    ComPtr<IUnknown> unknown;
    Variant options;
    LONG position = 0;
    VARIANT_BOOL more = VARIANT_FALSE;
    message->GetFirstDIMEAttachmentResp(id.Receive(), type.Receive(), &tnf, unknown.Receive(),
                                        options.Receive(), &position, &more);
    while (IsTrue(more)) {
      ComPtr<IStorage> storage = com::QueryInterfacePtr<IStorage>(unknown.Get());
      if (!storage) return nullptr;
      SAFEARRAY* option_bytes = options.vt == (VT_ARRAY | VT_UI1) ? options.parray : nullptr;
      if (!answer->AddPayload(storage.Get(), dime::NarrowFieldText(id.View()),
                              dime::NarrowFieldText(type.View()), static_cast<uint32_t>(tnf),
                              option_bytes)) {
        return nullptr;
      }
      more = VARIANT_FALSE;
      message->GetNextDIMEAttachmentResp(id.Receive(), type.Receive(), &tnf, unknown.Receive(),
                                         options.Receive(), &position, &more);
    }
    // Refused here rather than half-way through sending it.
    if (answer->ComputeMessageLength() == 0) return nullptr;
  } catch (dime::DIMEParserException* e) {
    delete e;
    return nullptr;
  }
  return answer;
}

std::string TraceTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm utc {};
  gmtime_r(&t, &utc);
  char out[64];
  std::strftime(out, sizeof out, "%d/%b/%Y:%H:%M:%S", &utc);
  return out;
}

std::string TraceRecord(const SoapCall& call, int64_t now, int status, std::string_view response) {
  const EndpointInfo& endpoint = *call.endpoint;
  std::string out = "*\r\n*\r\nTime: ";
  out += TraceTime(now);
  out += "\r\nSOAP Version: 1.2";
  out.append("\r\nRequest URI: ").append(call.endpointUri).append(call.extraPath);
  out.append("\r\nQuery String: ").append(call.queryString);
  out.append("\r\nBody Handler ProgID: ").append(text::Narrow(endpoint.bodyProcessingProgId));
  out.append("\r\nNode URI: ")
      .append(endpoint.nodeURI.empty() ? "\"\"" : text::Narrow(endpoint.nodeURI));
  out.append("\r\nHTTP Method: GET\r\nHTTP Status: ").append(std::to_string(status)).append("\r\n");
  if (status != 204) out.append("\r\n\r\nRESPONSE MESSAGE:\r\n\r\n").append(response);
  out.append("\r\n*\r\n*\r\n");
  return out;
}

}  // namespace

bool InvokeOnProcessSoapGet(std::u16string_view prog_id, Iquenlin2* message,
                            std::u16string_view service_uri, std::u16string_view extra_path,
                            std::u16string_view query, const PluginClasses* classes) {
  ComPtr<IDispatch> handler;
  HRESULT created = S_OK;
  switch (CreatePlugin(prog_id, &handler, &created, classes)) {
    case CreateStatus::ProgIdUnknown:
      RecordReceiverFault(message, u"Request: Failed to resolve ProgID for application object.");
      return false;
    case CreateStatus::NotCreatable:
      RecordReceiverFault(message, u"Request: Failed to create application object instance.");
      return false;
    case CreateStatus::Ok:
      break;
  }
  ComPtr<IDispatch> message_dispatch = com::QueryInterfacePtr<IDispatch>(message);
  if (!message_dispatch) {
    RecordReceiverFault(message, u"Request: Failed to get interface to SOAP message object.");
    return false;
  }

  Bstr names[] = {Bstr(u"OnProcessSoapGet"), Bstr(u"SOAPMsgInterface"), Bstr(u"bstrSvcURI"),
                  Bstr(u"bstrExtraPath"), Bstr(u"bstrQueryString")};
  LPOLESTR name_list[5];
  for (size_t i = 0; i < 5; ++i) name_list[i] = names[i].Get();
  DISPID ids[5] = {};
  if (FAILED(handler->GetIDsOfNames(GUID_NULL, name_list, 5, LOCALE_USER_DEFAULT, ids))) {
    RecordReceiverFault(message, u"Request: Failed to resolve application method call parameters.");
    return false;
  }
  Variant args[4];
  args[0].vt = VT_DISPATCH;
  args[0].pdispVal = message_dispatch.Detach();
  args[1] = Variant::FromText(service_uri);
  args[2] = Variant::FromText(extra_path);
  args[3] = Variant::FromText(query);
  DISPPARAMS params{args, ids + 1, 4, 4};
  Variant result;
  EXCEPINFO excep{};
  UINT arg_err = static_cast<UINT>(-1);
  const HRESULT hr = handler->Invoke(ids[0], GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                     &params, &result, &excep, &arg_err);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  // Only the 16-bit value counts, whatever the variant's type says.
  if (FAILED(hr) || result.iVal == 0) {
    RecordReceiverFault(message, u"Request: Invocation of application method failed.");
    return false;
  }
  return true;
}

bool ProcessSoapGet(const SoapCall& call, Iquenlin2* message, IDispatch* wsdl_reader,
                    EndpointPlugins& plugins, const SoapGetOptions& options, SoapAnswer* answer) {
  if (message == nullptr || call.endpoint == nullptr) return false;
  const EndpointInfo& endpoint = *call.endpoint;
  const std::u16string service_uri = text::Widen(call.endpointUri);
  const std::u16string extra_path = text::Widen(call.extraPath);
  const std::u16string query = text::Widen(call.queryString);

  VARIANT_BOOL ok = VARIANT_FALSE;
  message->Initialize(Bstr(endpoint.wsdlService).Get(), Bstr(endpoint.wsdlPort).Get(),
                      Bstr(endpoint.nodeURI).Get(), Bstr(u"").Get(),
                      Bstr(endpoint.nextHopURL).Get(),
                      endpoint.enableExplicitTyping ? VARIANT_TRUE : VARIANT_FALSE,
                      endpoint.enableNodeType ? VARIANT_TRUE : VARIANT_FALSE, wsdl_reader, &ok);
  if (!IsTrue(ok)) return false;
  message->SetSOAPVersion(12);
  const bool has_processors = !endpoint.headerProcessingProgIds.empty();
  if (has_processors && !plugins.CreateHeaderProcessors(message)) return false;

  // The request-phase pass, as a POST's: a processor that refuses (or leaves
  // a fault) keeps the request from the body and the next hop, so a guarded
  // endpoint is no more open to a GET than to a POST.
  bool request_failed = false;
  bool refused = false;
  const auto request_pass = [&] {
    if (!has_processors) return;
    request_failed = !plugins.ProcessHeaderBlocks(message);
    VARIANT_BOOL fault = VARIANT_FALSE;
    refused = request_failed || (message->IsSOAPFault(&fault), IsTrue(fault));
  };

  // Held while the message holds a next hop's reply.
  ReplyCharge reply_charge;
  VARIANT_BOOL intermediary = VARIANT_FALSE;
  message->IsIntermediary(&intermediary);
  if (IsTrue(intermediary)) {
    request_pass();
    message->SetRequestPhase(VARIANT_FALSE);
    if (!refused) {
      reply_charge = ForwardSoapGet(message, call.extraPath, call.queryString, options.forward);
    }
  } else {
    VARIANT_BOOL rpc = VARIANT_FALSE;
    message->IsRPCStyle(&rpc);
    if (IsTrue(rpc)) {
      VARIANT_BOOL decoded = VARIANT_FALSE;
      message->ProcessRPCGet(Bstr(service_uri).Get(), Bstr(extra_path).Get(), Bstr(query).Get(),
                             &decoded);
      if (!IsTrue(decoded)) return false;
      // A path that names no operation of the service is decoded "successfully"
      // into no call at all: that is no request for this endpoint either, and
      // gets the endpoint page rather than a fault about missing arguments.
      Bstr method;
      message->GetMethodName(method.Receive());
      if (method.View().empty()) return false;
      request_pass();
      if (!refused) plugins.ProcessRpcBody(message);
    } else {
      request_pass();
      if (!refused) {
        InvokeOnProcessSoapGet(endpoint.bodyProcessingProgId, message, service_uri, extra_path,
                               query, plugins.Classes());
      }
    }
    message->SetRequestPhase(VARIANT_FALSE);
  }
  // As for a POST, a processor that failed in the request phase gets no
  // response phase.
  if (has_processors && !request_failed) plugins.ProcessHeaderBlocks(message);

  int status = 200;
  std::string envelope;
  VARIANT_BOOL no_content = VARIANT_FALSE;
  message->IsNoContentResponse(&no_content);
  if (IsTrue(no_content)) {
    status = 204;
  } else {
    VARIANT_BOOL serialized = VARIANT_FALSE;
    message->Serialize(&serialized);
    VARIANT_BOOL fault = VARIANT_FALSE;
    if (!IsTrue(serialized)) {
      status = 500;
    } else if (message->IsSOAPFault(&fault), IsTrue(fault)) {
      Bstr code, code_ns;
      message->GetSOAPFaultCode(code.Receive());
      message->GetSOAPFaultCodeNS(code_ns.Receive());
      status =
          code.View() == u"Sender" && code_ns.View() == xml::kSoap12EnvelopeNamespace ? 400 : 500;
    }
    envelope = CopyEnvelope(message);
    LONG attachments = 0;
    message->GetNumRespAttachments(&attachments);
    // A fault keeps its attachments out of the answer: it goes plain.
    if (attachments > 0 && status == 200) {
      answer->dime = BuildDimeAnswer(message, envelope);
      if (!answer->dime) return false;
    }
  }

  answer->status = status;
  answer->soapVersion = 12;
  if (!answer->dime) answer->body = envelope;
  if (call.traceEnabled) answer->traceRecord = TraceRecord(call, options.now, status, envelope);
  return true;
}

}  // namespace server
