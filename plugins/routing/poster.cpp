#include "plugins/routing/poster.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "dime/message.h"
#include "dime/outbound_pass.h"
#include "dime/soap_dime.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"

namespace routing {
namespace {

// Only whether the body could be built matters here: the post fails as one,
// without a text of its own.
const dime::DimeTexts kDimeTexts{};

// The message's buffer as bytes; false unless it is an accessible
// one-dimensional byte array.
bool BufferBytes(Iquenlin2* message, std::string* bytes) {
  Variant buffer;
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (FAILED(message->GetBuffer(buffer.Receive(), &ok)) || ok != VARIANT_TRUE) return false;
  if (buffer.vt != (VT_ARRAY | VT_UI1) || buffer.parray == nullptr ||
      SafeArrayGetDim(buffer.parray) != 1) {
    return false;
  }
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(buffer.parray, &data))) return false;
  bytes->assign(static_cast<const char*>(data), buffer.parray->rgsabound[0].cElements);
  SafeArrayUnaccessData(buffer.parray);
  return true;
}

}  // namespace

PostLimits ProcessPostLimits() {
  PostLimits limits;
  if (const uint32_t ms = dime::TestForwardTimeoutMs()) limits.waitMs = limits.deadlineMs = ms;
  return limits;
}

bool ForwardToNextHop(std::u16string_view url, Iquenlin2* message, const PostLimits& limits) {
  message->SetRequestPhase(VARIANT_FALSE);
  VARIANT_BOOL serialized = VARIANT_FALSE;
  if (FAILED(message->Serialize(&serialized)) || serialized != VARIANT_TRUE) return false;
  const std::string narrow_url = text::Narrow(url);
  if (!dime::IsUsableNextHopUrl(narrow_url)) return false;
  const dime::NextHop hop = dime::ParseNextHopUrl(narrow_url);

  std::string body;
  if (!BufferBytes(message, &body)) return false;
  LONG version = 0;
  message->GetSOAPVersion(&version);
  const bool soap11 = version == 11;
  LONG attachments = 0;
  message->GetNumRespAttachments(&attachments);

  // Also the reader of a DIME reply, which the limits of dime/resources.h bound.
  dime::DimeMessage dime;
  uint64_t length = body.size();
  std::string content_type;
  if (attachments > 0) {
    const auto ns = soap11 ? xml::kSoap11EnvelopeNamespace : xml::kSoap12EnvelopeNamespace;
    if (dime::BuildDimeBody(message, dime::AttachmentList::kResponse, text::Narrow(ns),
                            reinterpret_cast<const uint8_t*>(body.data()), body.size(),
                            kDimeTexts, &dime, &length)) {
      return false;
    }
    content_type = "application/dime";
  } else {
    content_type = soap11 ? "text/xml; charset=\"utf-8\"" : "application/soap+xml; charset=\"utf-8\"";
  }

  std::string head = "Host: " + hop.host + ":" + std::to_string(hop.port) + "\r\n";
  head += "User-Agent: ";
  head += kPosterUserAgent;
  head += "\r\nContent-Type: " + content_type + "\r\n";
  head += "Content-Length: " + std::to_string(length) + "\r\n";

  // Waits on a peer count against the server's bound on outbound waits, as
  // its forwards do, and end when the forward deadline or the client's own
  // time-out does, whichever comes first.
  dime::OutboundPass pass;
  if (pass.Refused()) return false;
  dime::HttpDimeTransport transport(80, limits.waitMs);
  transport.SetDeadline(std::min(
      pass.Deadline(),
      std::chrono::steady_clock::now() + std::chrono::milliseconds(limits.deadlineMs)));
  transport.SetMaxBodyLength(limits.maxReplyBytes);
  const bool sent =
      attachments > 0
          ? transport.SendDime(hop.port, "POST", hop.host, hop.path, head, &dime)
          : transport.Exchange(hop.port, "POST", hop.host, hop.path, head, body, &dime);
  const int status = transport.GetStatusCode();
  if (!sent || status < 200 || status > 299) return false;
  message->SetNoContentResponse(VARIANT_TRUE);
  return true;
}

}  // namespace routing
