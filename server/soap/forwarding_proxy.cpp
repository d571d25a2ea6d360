#include "server/soap/forwarding_proxy.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"

namespace server {
namespace {

constexpr std::u16string_view kConnectFailed = u"Request: Failed to connect to server.";
// A reply over its cap, or one the server's budget cannot take now.
constexpr std::u16string_view kReplyTooLarge = u"Response: Unexpected memory allocation error.";
// HttpClient's error for a body over its limit.
constexpr uint32_t kBodyOverLimit = 10055;
constexpr std::u16string_view kForwardersBusy =
    u"Request: Too many requests are waiting on next hops; try again later.";

const dime::DimeTexts kDimeTexts = {
    .request_where = u"Request",
    .response_where = u"Response",
    .init_serializer = u"Request: Failed to initialize DIME parser for serialization.",
    .primary_payload = u"Request: Failed to create primary DIME payload.",
    .no_storage = u"Request: Failed to obtain IStorage interface pointer.",
    .secondary_payload = u"Request: Failed to create secondary DIME payload.",
    .read_primary = u"Response: Failed to read primary DIME payload.",
    .envelope_too_large = u"Response: Failed to read primary DIME payload.",
    .envelope_array = u"Response: Failed to create SAFEARRAY for primary DIME payload.",
    .set_primary = u"Response: Failed to store primary DIME payload.",
    .options_create = u"Response: Failed to create options buffer.",
    .options_access = u"Response: Failed to access options buffer.",
    .append_secondary = u"Response: Failed to store secondary DIME payload.",
};

std::u16string_view EnvelopeNamespace(LONG version) {
  return version == 11 ? xml::kSoap11EnvelopeNamespace : xml::kSoap12EnvelopeNamespace;
}

void RecordFault(Iquenlin2* message, LONG version, std::u16string_view code11,
                 std::u16string_view code12, std::u16string_view text) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (version == 11) {
    message->SetSOAPFault(Bstr(code11).Get(), Bstr(xml::kSoap11EnvelopeNamespace).Get(),
                          Bstr(text).Get(), VARIANT_FALSE, &ok);
  } else {
    message->SetSOAP12Fault(Bstr(code12).Get(), Bstr(xml::kSoap12EnvelopeNamespace).Get(),
                            Bstr(u"").Get(), Bstr(u"").Get(), Bstr(text).Get(), Bstr(u"en").Get(),
                            &ok);
  }
}

// Response-phase processors (a routing node) read this, not the fault text.
void MarkForwardFailed(Iquenlin2* message) {
  if (auto status = com::QueryInterfacePtr<IquenlinForwardStatus>(message)) {
    status->SetForwardFailed(VARIANT_TRUE);
  }
}

LONG MessageVersion(Iquenlin2* message) {
  LONG version = 12;
  message->GetSOAPVersion(&version);
  return version;
}

}  // namespace

bool ReplyCharge::Take(RequestBudget* budget, uint64_t replyBytes) {
  Return();
  if (budget == nullptr) return true;
  const uint64_t bytes = replyBytes * kDecodedBytesPerBodyByte;
  if (!budget->TakeMemory(bytes)) return false;
  budget_ = budget;
  bytes_ = bytes;
  return true;
}

void ReplyCharge::Return() {
  if (budget_ != nullptr) budget_->ReturnMemory(bytes_);
  budget_ = nullptr;
  bytes_ = 0;
}

std::string ForwardTarget(std::string_view hop_path, std::string_view extra_path,
                          std::string_view query) {
  std::string target(hop_path);
  if (!extra_path.empty()) {
    // A hop without a path of its own is "/": the extra path brings its own.
    if (target == "/" && extra_path.front() == '/') target.clear();
    target += httpclient::UrlEscape(extra_path);
  }
  if (!query.empty()) {
    target += '?';
    target += query;
  }
  return target;
}

ForwardingProxy::ForwardingProxy(uint32_t timeout_ms,
                                 std::chrono::steady_clock::time_point deadline)
    : error_text_(u"Unexpected error processing HTTP request/response."),
      transport_(80, timeout_ms) {
  // Each wait is bounded by the time-out; the whole forward too, so a next
  // hop that trickles bytes cannot stretch it.
  transport_.SetDeadline(
      std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)));
}

void ForwardingProxy::LimitReply(uint64_t maxBytes, RequestBudget* budget) {
  max_reply_bytes_ = maxBytes;
  budget_ = budget;
  transport_.SetMaxPlainBodyLength(static_cast<size_t>(maxBytes));
  dime::DimeLimits limits = dime_.Limits();
  limits.max_envelope_bytes = std::min(limits.max_envelope_bytes, maxBytes);
  dime_.SetLimits(limits);
}

bool ForwardingProxy::SetError(std::u16string_view text) {
  error_text_ = text;
  return false;
}

bool ForwardingProxy::ForwardRequest(std::string_view method, std::string_view soap_action,
                                     std::string_view host, int port, std::string_view target,
                                     std::string_view user_agent, Iquenlin2* message, bool dime) {
  if (method != "POST" && method != "GET") {
    return SetError(u"Unsupported HTTP request method.");
  }
  // Text that came from a client (a routing header may have set the hop)
  // goes into our request head: a CR or LF there would add header lines.
  if (port < 1 || port > 65535 || host.empty() || text::HasControlCharacter(host) ||
      text::HasControlCharacter(soap_action) || text::HasControlCharacter(user_agent)) {
    return SetError(kConnectFailed);
  }
  if (method == "POST") return Post(soap_action, host, port, target, user_agent, message, dime);
  return Get(host, port, target, user_agent, message);
}

bool ForwardingProxy::Post(std::string_view soap_action, std::string_view host, int port,
                           std::string_view target, std::string_view user_agent, Iquenlin2* message,
                           bool dime) {
  Variant buffer;
  VARIANT_BOOL ok = VARIANT_FALSE;
  message->GetBuffer(buffer.Receive(), &ok);
  if (ok != VARIANT_TRUE || buffer.vt != (VT_ARRAY | VT_UI1) || buffer.parray == nullptr ||
      SafeArrayGetDim(buffer.parray) != 1) {
    return SetError(u"Request: Failed to access buffer for SOAP message.");
  }
  const LONG version = MessageVersion(message);
  const size_t length = buffer.parray->rgsabound[0].cElements;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(buffer.parray, &data))) {
    return SetError(u"Request: Failed to access buffer for SOAP message.");
  }
  uint64_t body_length = 0;
  bool built = true;
  if (dime) {
    const auto failure = ::dime::BuildDimeBody(
        message, ::dime::AttachmentList::kRequest, text::Narrow(EnvelopeNamespace(version)),
        static_cast<const uint8_t*>(data), length, kDimeTexts, &dime_, &body_length);
    built = !failure || SetError(failure->text);
  } else {
    request_text_.assign(static_cast<const char*>(data), length);
    body_length = length;
  }
  SafeArrayUnaccessData(buffer.parray);
  if (!built) return false;

  std::string head = "Host: ";
  head.append(host).append(":").append(std::to_string(port)).append("\r\n");
  head.append("User-Agent: ").append(user_agent);
  if (dime) {
    head.append("\r\nContent-Type: application/dime\r\n");
  } else if (version == 11) {
    head.append("\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n");
  } else {
    head.append("\r\nContent-Type: application/soap+xml; charset=\"utf-8\"\r\n");
  }
  head.append("Content-Length: ").append(std::to_string(body_length)).append("\r\n");
  head.append("SOAPAction: ").append(soap_action).append("\r\n");

  const bool sent =
      dime ? transport_.SendDime(port, "POST", host, target, head, &dime_)
           : transport_.Exchange(port, "POST", host, target, head, request_text_, &dime_);
  return HandleReply(sent, version, message);
}

bool ForwardingProxy::Get(std::string_view host, int port, std::string_view target,
                          std::string_view user_agent, Iquenlin2* message) {
  const LONG version = MessageVersion(message);
  std::string head = "Host: ";
  head.append(host).append(":").append(std::to_string(port)).append("\r\n");
  head.append("User-Agent: ").append(user_agent).append("\r\n");
  const bool sent = transport_.Exchange(port, "GET", host, target, head, {}, &dime_);
  return HandleReply(sent, version, message);
}

bool ForwardingProxy::HandleReply(bool sent, LONG version, Iquenlin2* message) {
  if (!sent) {
    // A DIME reply cut short is no reply: its attachments would be partial.
    if (transport_.ResponseIsDime()) {
      return SetError(u"Response: Failed to read primary DIME payload.");
    }
    if (transport_.GetLastError() == kBodyOverLimit) {
      transport_.Reset();
      return SetError(kReplyTooLarge);
    }
    return SetError(kConnectFailed);
  }
  const int status = transport_.GetStatusCode();
  if (status == 204) {
    status_class_ = 204;
    message->SetNoContentResponse(VARIANT_TRUE);
    return true;
  }
  status_class_ = status / 100 * 100;
  if (status_class_ != 200 && status_class_ != 500 && !(status_class_ == 400 && version != 11)) {
    return SetError(u"Response: Unexpected HTTP Status Code.");
  }
  const std::string& type = transport_.response().content_type();
  if (transport_.ResponseIsDime()) {
    // The envelope is what the message reads into memory and decodes.
    uint64_t envelope = 0;
    dime::DimePayload* first = dime_.Payload(0);
    if (first != nullptr && first->TryGetSize(&envelope) &&
        (envelope > max_reply_bytes_ || !charge_.Take(budget_, envelope))) {
      dime_.Clear();
      return SetError(kReplyTooLarge);
    }
    if (const auto failure = dime::ReadDimeBody(dime_, message, kDimeTexts)) {
      return SetError(failure->text);
    }
    reply_ready_ = true;
    return true;
  }
  const bool xml = (version == 11 && type.find("text/xml") != std::string::npos) ||
                   (version == 12 && type.find("application/soap+xml") != std::string::npos);
  if (xml) {
    if (!charge_.Take(budget_, transport_.GetBodyLength())) {
      transport_.Reset();
      return SetError(kReplyTooLarge);
    }
    SAFEARRAY* array = dime::MakeByteArray(transport_.GetBody(), transport_.GetBodyLength());
    if (array == nullptr) return SetError(u"Response: Unexpected memory allocation error.");
    Variant body = dime::ByteArrayVariant(array);
    VARIANT_BOOL ok = VARIANT_FALSE;
    message->SetBuffer(body, &ok);
    if (ok != VARIANT_TRUE) return SetError(u"Response: Message buffer initialization error.");
    reply_ready_ = true;
    return true;
  }
  if (status_class_ == 200) return SetError(u"Response: Unexpected media type for response.");
  return true;
}

ReplyCharge ForwardSoapPost(Iquenlin2* message, std::string_view soap_action,
                            std::string_view extra_path, bool dime, const ForwardLimits& limits) {
  VARIANT_BOOL serialized = VARIANT_FALSE;
  message->Serialize(&serialized);
  message->SetRequestPhase(VARIANT_FALSE);
  const LONG version = MessageVersion(message);
  if (serialized != VARIANT_TRUE) {
    RecordFault(message, version, u"Server", u"Receiver",
                u"Attempt to re-serialize SOAP request msg by intermediary failed.");
    return {};
  }
  Bstr url;
  message->GetNextHopURL(url.Receive());
  const std::string hop_url = text::Narrow(url.View());
  if (!dime::IsUsableNextHopUrl(hop_url)) {
    RecordFault(message, version, u"Server", u"Receiver", kConnectFailed);
    MarkForwardFailed(message);
    return {};
  }
  const NextHop hop = ParseNextHopUrl(hop_url);
  OutboundGate::Pass pass(limits.gate);
  if (!pass.Entered()) {
    RecordFault(message, version, u"Server", u"Receiver", kForwardersBusy);
    return {};
  }
  OutboundScope::BeforeWait();  // nothing large waits behind this wait
  ForwardingProxy proxy(limits.waitMs, limits.deadline);
  proxy.LimitReply(limits.maxReplyBytes, limits.budget);
  if (!proxy.ForwardRequest("POST", soap_action, hop.host, hop.port,
                            ForwardTarget(hop.path, extra_path, {}), kForwardUserAgent, message,
                            dime)) {
    RecordFault(message, version, u"Server", u"Receiver", proxy.ErrorText());
    MarkForwardFailed(message);
    return {};
  }
  message->ClearHeaderElems();
  message->ClearMethodParams();
  if (proxy.ReplyReady()) {
    VARIANT_BOOL parsed = VARIANT_FALSE;
    message->Deserialize(&parsed);
    return proxy.TakeCharge();
  }
  const bool server_side = proxy.StatusClass() == 500;
  RecordFault(message, version, server_side ? u"Server" : u"Client",
              server_side ? u"Receiver" : u"Sender", u"Attempt to forward SOAP request failed.");
  return {};
}

std::string LoopbackResponse(Iquenlin2* message) {
  VARIANT_BOOL serialized = VARIANT_FALSE;
  message->Serialize(&serialized);
  std::string envelope;
  Variant buffer;
  VARIANT_BOOL ok = VARIANT_FALSE;
  message->GetBuffer(buffer.Receive(), &ok);
  void* data = nullptr;
  if (ok == VARIANT_TRUE && buffer.vt == (VT_ARRAY | VT_UI1) && buffer.parray != nullptr &&
      SafeArrayGetDim(buffer.parray) == 1 && SUCCEEDED(SafeArrayAccessData(buffer.parray, &data))) {
    envelope.assign(static_cast<const char*>(data), buffer.parray->rgsabound[0].cElements);
    SafeArrayUnaccessData(buffer.parray);
  }
  message->SetRequestPhase(VARIANT_FALSE);
  return envelope;
}

ReplyCharge ForwardSoapGet(Iquenlin2* message, std::string_view extra_path,
                           std::string_view query, const ForwardLimits& limits) {
  Bstr url;
  message->GetNextHopURL(url.Receive());
  const std::string hop_url = text::Narrow(url.View());
  if (!dime::IsUsableNextHopUrl(hop_url)) {
    RecordFault(message, 12, u"Server", u"Receiver", kConnectFailed);
    return {};
  }
  const NextHop hop = ParseNextHopUrl(hop_url);
  OutboundGate::Pass pass(limits.gate);
  if (!pass.Entered()) {
    RecordFault(message, 12, u"Server", u"Receiver", kForwardersBusy);
    return {};
  }
  OutboundScope::BeforeWait();  // nothing large waits behind this wait
  ForwardingProxy proxy(limits.waitMs, limits.deadline);
  proxy.LimitReply(limits.maxReplyBytes, limits.budget);
  if (!proxy.ForwardRequest("GET", "", hop.host, hop.port,
                            ForwardTarget(hop.path, extra_path, query), kForwardUserAgent, message,
                            /*dime=*/false)) {
    RecordFault(message, 12, u"Server", u"Receiver", proxy.ErrorText());
    return {};
  }
  if (proxy.ReplyReady()) {
    VARIANT_BOOL parsed = VARIANT_FALSE;
    message->Deserialize(&parsed);
    return proxy.TakeCharge();
  }
  const bool server_side = proxy.StatusClass() == 500;
  RecordFault(message, 12, u"Server", server_side ? u"Receiver" : u"Sender",
              u"Attempt to forward request failed.");
  return {};
}

}  // namespace server
