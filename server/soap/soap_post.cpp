#include "server/soap/soap_post.h"

#include <time.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "dime/field_text.h"
#include "dime/message.h"
#include "message/plugin_contract.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "platform/storage/storage.h"
#include "platform/text/text.h"
#include "server/soap/forwarding_proxy.h"
#include "server/soap/plugin_classes.h"
#include "server/soap/rpc_invoker.h"
#include "server/soap/soap_get.h"
#include "server/soap/wsdl_cache.h"
#include "xml/namespaces.h"

namespace server {

namespace {

constexpr uint32_t kDimeRecordSize = 4096;
constexpr uint32_t kTypeNameFormatUri = 2;

struct SafeArrayDeleter {
  void operator()(SAFEARRAY* a) const { SafeArrayDestroy(a); }
};
using SafeArrayPtr = std::unique_ptr<SAFEARRAY, SafeArrayDeleter>;

bool IsTrue(VARIANT_BOOL b) { return b == VARIANT_TRUE; }

SafeArrayPtr ByteArray(const void* bytes, size_t length) {
  if (length > 0xFFFFFFFFu) return nullptr;
  SafeArrayPtr array(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(length)));
  if (!array) return nullptr;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array.get(), &data))) return nullptr;
  if (length > 0) std::memcpy(data, bytes, length);
  SafeArrayUnaccessData(array.get());
  return array;
}

SafeArrayPtr RolesArray(const std::vector<std::u16string>& roles) {
  SafeArrayPtr array(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(roles.size())));
  if (!array) return nullptr;
  for (size_t i = 0; i < roles.size(); ++i) {
    Variant role = Variant::FromText(roles[i]);
    const LONG index = static_cast<LONG>(i);
    if (FAILED(SafeArrayPutElement(array.get(), &index, &role))) return nullptr;
  }
  return array;
}

std::string TraceTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm utc {};
  gmtime_r(&t, &utc);
  char text[64];
  std::strftime(text, sizeof text, "%d/%b/%Y:%H:%M:%S", &utc);
  return text;
}

struct TraceInputs {
  int64_t time = 0;
  LONG version = 12;
  std::string_view endpointUri;
  std::string_view extraPath;
  const EndpointInfo* endpoint = nullptr;
  std::string_view soapAction;
  std::u16string nextHop;
  int status = 0;
  std::string_view request;
  std::string_view response;
};

std::string TraceRecord(const TraceInputs& in) {
  std::string out = "*\r\n*\r\nTime: ";
  out += TraceTime(in.time);
  out += text::FormatCapped(127, "\r\nSOAP Version: %.1f", in.version * 0.1);
  out += "\r\nRequest URI: ";
  out.append(in.endpointUri).append(in.extraPath);
  if (!in.endpoint->headerProcessingProgIds.empty()) {
    out += "\r\nHeader Processor ProgID's:";
    for (const std::u16string& id : in.endpoint->headerProcessingProgIds) {
      out += ' ';
      out += text::Narrow(id);
    }
  }
  out += "\r\nBody Handler ProgID: " + text::Narrow(in.endpoint->bodyProcessingProgId);
  out += "\r\nSOAPAction: ";
  out.append(in.soapAction);
  out += "\r\nNode URI: ";
  out += in.endpoint->nodeURI.empty() ? "\"\"" : text::Narrow(in.endpoint->nodeURI);
  out += "\r\nNext Hop URL: ";
  out += in.nextHop.empty() ? "\"\"" : text::Narrow(in.nextHop);
  out += text::Format("\r\nHTTP Method: POST\r\nHTTP Status: %d\r\n\r\nREQUEST MESSAGE:\r\n\r\n",
                      in.status);
  out.append(in.request);
  if (in.status != 204) {
    out += "\r\n\r\nRESPONSE MESSAGE:\r\n\r\n";
    out.append(in.response);
  }
  out += "\r\n*\r\n*\r\n";
  return out;
}

}  // namespace

std::u16string QuoteSoapAction(std::string_view soapAction) {
  std::u16string action = text::Widen(soapAction);
  if (action.empty() || action.front() != u'"') action = u"\"" + action + u"\"";
  return action;
}

bool CopyMessageBuffer(Iquenlin2* message, std::string* out) {
  out->clear();
  Variant buffer;
  VARIANT_BOOL ok = VARIANT_FALSE;
  message->GetBuffer(&buffer, &ok);
  if (!IsTrue(ok) || buffer.vt != (VT_ARRAY | VT_UI1) || buffer.parray == nullptr ||
      SafeArrayGetDim(buffer.parray) != 1) {
    return false;
  }
  LONG low = 0, high = -1;
  void* data = nullptr;
  if (FAILED(SafeArrayGetLBound(buffer.parray, 1, &low)) ||
      FAILED(SafeArrayGetUBound(buffer.parray, 1, &high)) ||
      FAILED(SafeArrayAccessData(buffer.parray, &data))) {
    return false;
  }
  if (high >= low) out->assign(static_cast<const char*>(data), size_t(int64_t{high} - low + 1));
  SafeArrayUnaccessData(buffer.parray);
  return true;
}

bool LoadDimeRequest(Iquenlin2* message, dime::DimeMessage& request, SAFEARRAY** bytes,
                     std::string* envelope) {
  *bytes = nullptr;
  envelope->clear();
  if (request.PayloadCount() == 0) return true;
  try {
    dime::DimePayload* first = request.Payload(0);
    if (!first->OpenStream()) return false;
    uint64_t size = 0;
    const bool sized = first->TryGetSize(&size) && size <= request.Limits().max_envelope_bytes;
    if (sized) envelope->resize(size);
    uint32_t read = 0;
    const bool whole =
        sized && (size == 0 || (first->Read(envelope->data(), static_cast<uint32_t>(size), &read) &&
                                read == size));
    first->Close();
    if (!whole) return false;
    SafeArrayPtr array = ByteArray(envelope->data(), envelope->size());
    if (!array) return false;
    for (size_t i = 1; i < request.PayloadCount(); ++i) {
      dime::DimePayload* p = request.Payload(i);
      Variant options;
      if (const uint64_t length = p->GetOptionsLength(); length != 0) {
        SafeArrayPtr bytesOfOptions(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(length)));
        void* data = nullptr;
        if (!bytesOfOptions || FAILED(SafeArrayAccessData(bytesOfOptions.get(), &data))) {
          return false;
        }
        size_t written = 0;
        const bool ok = p->WriteOptions(static_cast<uint8_t*>(data), length, &written);
        SafeArrayUnaccessData(bytesOfOptions.get());
        if (!ok) return false;
        options.vt = VT_ARRAY | VT_UI1;
        options.parray = bytesOfOptions.release();
      }
      Bstr id(dime::WidenFieldText(p->Id())), type(dime::WidenFieldText(p->Type()));
      VARIANT_BOOL added = VARIANT_FALSE;
      message->AddDIMEAttachmentReq(id.Get(), type.Get(), static_cast<LONG>(p->TypeNameFormat()),
                                    p->Storage(), options, &added);
      if (!IsTrue(added)) return false;
    }
    *bytes = array.release();
    return true;
  } catch (dime::DIMEParserException* e) {
    delete e;
    return false;
  }
}

bool BuildDimeResponse(Iquenlin2* message, int soapVersion, dime::DimeMessage& response,
                       std::string_view envelope) {
  try {
    if (!response.InitSerializer(kDimeRecordSize)) return false;
    const std::u16string_view envelopeType =
        soapVersion == 11 ? xml::kSoap11EnvelopeNamespace : xml::kSoap12EnvelopeNamespace;
    if (!response.AddPayloadFromBytes(envelope.data(), envelope.size(), std::string(),
                                      text::Narrow(envelopeType), kTypeNameFormatUri)) {
      return false;
    }
    LONG position = 0;
    for (bool first = true;; first = false) {
      Bstr id, type;
      LONG tnf = 0;
      IUnknown* unknown = nullptr;
      Variant options;
      VARIANT_BOOL more = VARIANT_FALSE;
      if (first) {
        message->GetFirstDIMEAttachmentResp(id.Receive(), type.Receive(), &tnf, &unknown,
                                            options.Receive(), &position, &more);
      } else {
        message->GetNextDIMEAttachmentResp(id.Receive(), type.Receive(), &tnf, &unknown,
                                           options.Receive(), &position, &more);
      }
      ComPtr<IUnknown> owned = ComPtr<IUnknown>::Adopt(unknown);
      if (!IsTrue(more)) break;
      ComPtr<IStorage> storage = com::QueryInterfacePtr<IStorage>(owned.Get());
      if (!storage) return false;
      SAFEARRAY* optionBytes = options.vt == (VT_ARRAY | VT_UI1) ? options.parray : nullptr;
      if (!response.AddPayload(storage.Get(), dime::NarrowFieldText(id.View()),
                               dime::NarrowFieldText(type.View()), static_cast<uint32_t>(tnf),
                               optionBytes)) {
        return false;
      }
    }
    return true;
  } catch (dime::DIMEParserException* e) {
    delete e;
    return false;
  }
}

SoapPostDispatch::SoapPostDispatch(WsdlCache& cache, MessageFactory makeMessage, Clock clock)
    : cache_(cache),
      makeMessage_(std::move(makeMessage)),
      clock_(std::move(clock)),
      forwardTimeoutMs_(kForwardTimeoutMs) {}

ComPtr<Iquenlin2> SoapPostDispatch::CreateMessage() {
  ComPtr<Iquenlin2> message;
  if (FAILED(CoCreateInstance(CLSID_quenlin2, nullptr, CLSCTX_SERVER, IID_Iquenlin2,
                              message.ReceiveVoid()))) {
    return nullptr;
  }
  return message;
}

EndpointPlugins SoapPostDispatch::Plugins(const SoapCall& call) {
  return EndpointPlugins(*call.endpoint, classes_.Get(call.endpointUri, *call.endpoint));
}

ComPtr<Iquenlin2> SoapPostDispatch::NewMessage(const EndpointPlugins& plugins) const {
  return makeMessage_ ? makeMessage_() : plugins.Classes()->CreateMessage();
}

bool SoapPostDispatch::ProcessSoapGet(const SoapCall& call, SoapAnswer* answer) {
  if (call.endpoint == nullptr) return false;
  ComPtr<IDispatch> reader = cache_.GetServiceDescription(call.endpointUri, *call.endpoint);
  if (!reader) return false;
  EndpointPlugins plugins = Plugins(call);
  ComPtr<Iquenlin2> message = NewMessage(plugins);
  if (!message) return false;
  OutboundScope outbound(&outbound_, call.deadline, call.beforeOutboundWait);
  SoapGetOptions options;
  options.now = clock_ ? clock_() : static_cast<int64_t>(::time(nullptr));
  options.forward = Limits(call);
  return server::ProcessSoapGet(call, message.Get(), reader.Get(), plugins, options, answer);
}

bool SoapPostDispatch::ProcessSoapPost(const SoapCall& call, SoapAnswer* answer) {
  if (call.endpoint == nullptr) return false;
  const EndpointInfo& endpoint = *call.endpoint;
  ComPtr<IDispatch> reader = cache_.GetServiceDescription(call.endpointUri, endpoint);
  if (!reader) return false;

  // The response phase's posts (a routing receiver's) wait as forwards do.
  OutboundScope outbound(&outbound_, call.deadline, call.beforeOutboundWait);
  Bstr soapAction(QuoteSoapAction(call.soapAction));
  // Held while the message holds a next hop's reply.
  ReplyCharge replyCharge;
  EndpointPlugins plugins = Plugins(call);
  ComPtr<Iquenlin2> message = NewMessage(plugins);
  if (!message) return false;
  Iquenlin2* msg = message.Get();

  // Request bytes.
  SafeArrayPtr requestBytes;
  std::string dimeEnvelope;
  const bool isDime = call.kind == ContentKind::Dime && call.dime != nullptr;
  if (isDime) {
    SAFEARRAY* loaded = nullptr;
    if (!LoadDimeRequest(msg, *call.dime, &loaded, &dimeEnvelope)) return false;
    requestBytes.reset(loaded);
  } else {
    requestBytes = ByteArray(call.body.data(), call.body.size());
    if (!requestBytes) return false;
  }

  {
    Bstr service(endpoint.wsdlService), port(endpoint.wsdlPort), node(endpoint.nodeURI),
        nextHop(endpoint.nextHopURL);
    VARIANT_BOOL initialized = VARIANT_FALSE;
    msg->Initialize(service.Get(), port.Get(), node.Get(), soapAction.Get(), nextHop.Get(),
                    endpoint.enableExplicitTyping ? VARIANT_TRUE : VARIANT_FALSE,
                    endpoint.enableNodeType ? VARIANT_TRUE : VARIANT_FALSE, reader.Get(),
                    &initialized);
    if (!IsTrue(initialized)) return false;
  }
  {
    VARIANT buffer;
    VariantInit(&buffer);
    if (requestBytes) {
      buffer.vt = VT_ARRAY | VT_UI1;
      buffer.parray = requestBytes.get();
    }
    VARIANT_BOOL ignored = VARIANT_FALSE;
    msg->SetBuffer(buffer, &ignored);
    requestBytes.reset();
  }
  {
    SafeArrayPtr roles = RolesArray(endpoint.roles);
    VARIANT rolesVar;
    VariantInit(&rolesVar);
    if (roles) {
      rolesVar.vt = VT_ARRAY | VT_VARIANT;
      rolesVar.parray = roles.get();
    }
    VARIANT_BOOL ignored = VARIANT_FALSE;
    msg->SetRoles(rolesVar, &ignored);
  }

  const bool hasProcessors = !endpoint.headerProcessingProgIds.empty();
  LONG version = call.soapVersion;
  VARIANT_BOOL result = VARIANT_FALSE;
  bool loopback = false;
  std::string loopbackEnvelope;

  msg->Deserialize(&result);
  if (!IsTrue(result)) {
    msg->SetRequestPhase(VARIANT_FALSE);
  } else {
    msg->GetSOAPVersion(&version);
    const bool headersPassed =
        !hasProcessors ||
        (plugins.CreateHeaderProcessors(msg) && plugins.ProcessHeaderBlocks(msg));
    if (!headersPassed) {
      msg->SetRequestPhase(VARIANT_FALSE);
    } else {
      msg->CheckMustUnderstand(&result);
      bool forwarded = false;
      msg->IsSOAPFault(&result);
      if (!IsTrue(result)) {
        msg->IsIntermediary(&result);
        if (IsTrue(result) && endpoint.enableLoopback) {
          loopbackEnvelope = LoopbackResponse(msg);
          loopback = forwarded = true;
        } else if (IsTrue(result)) {
          replyCharge = ForwardSoapPost(msg, call.soapAction, call.extraPath, isDime, Limits(call));
          forwarded = true;
        } else {
          msg->ClearHeaderElems();
          msg->IsRPCStyle(&result);
          if (IsTrue(result)) {
            msg->ProcessRPC(&result);
            if (IsTrue(result)) {
              plugins.ProcessRpcBody(msg);
            }
          } else if (version == 11) {
            InvokeBodyHandler(endpoint.bodyProcessingProgId, msg, plugins.Classes());
          } else {
            InvokeBodyHandler12(endpoint.bodyProcessingProgId, msg, text::Widen(call.endpointUri),
                                text::Widen(call.extraPath), plugins.Classes());
          }
        }
      }
      if (!forwarded) msg->SetRequestPhase(VARIANT_FALSE);
      if (hasProcessors && !loopback) plugins.ProcessHeaderBlocks(msg);
    }
  }

  // Response.
  int status = 200;
  std::string response;
  if (loopback) {
    // The processed request itself, as it stands: no fault or no-content test.
    response = std::move(loopbackEnvelope);
    // It was no fault when it was written: a fault now is the writer's, and
    // what goes back is that fault, not a success.
    msg->IsSOAPFault(&result);
    if (IsTrue(result)) status = 500;
  } else if (msg->IsNoContentResponse(&result), IsTrue(result)) {
    status = 204;
  } else {
    msg->Serialize(&result);
    if (!IsTrue(result)) {
      status = 500;
    } else {
      msg->IsSOAPFault(&result);
      if (IsTrue(result)) {
        status = 500;
        Bstr code, codeNs;
        msg->GetSOAPFaultCode(code.Receive());
        msg->GetSOAPFaultCodeNS(codeNs.Receive());
        if (code.View() == u"Sender" && codeNs.View() == xml::kSoap12EnvelopeNamespace) {
          status = 400;
        }
      }
    }
    LONG attachments = 0;
    msg->GetNumRespAttachments(&attachments);
    CopyMessageBuffer(msg, &response);
    if (attachments > 0) {
      auto dime = std::make_unique<dime::DimeMessage>();
      if (!BuildDimeResponse(msg, version, *dime, response)) return false;
      answer->dime = std::move(dime);
    }
  }

  answer->status = status;
  answer->soapVersion = version == 11 ? 11 : 12;
  if (call.traceEnabled) {
    TraceInputs trace;
    trace.time = clock_ ? clock_() : static_cast<int64_t>(::time(nullptr));
    trace.version = version;
    trace.endpointUri = call.endpointUri;
    trace.extraPath = call.extraPath;
    trace.endpoint = &endpoint;
    trace.soapAction = call.soapAction;
    Bstr nextHop;
    msg->GetNextHopURL(nextHop.Receive());
    trace.nextHop = std::u16string(nextHop.View());
    trace.status = status;
    trace.request = isDime ? std::string_view(dimeEnvelope) : call.body;
    trace.response = response;
    answer->traceRecord = TraceRecord(trace);
  }
  if (!answer->dime && status != 204) answer->body = std::move(response);
  return true;
}

}  // namespace server
