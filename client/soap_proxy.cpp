#include "client/soap_proxy.h"

#include <memory>

#include "httpclient/http_client.h"
#include "platform/com/variant.h"
#include "platform/service/eventlog.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"

namespace client {
namespace {

constexpr std::u16string_view kRequestWhere = u"Request Message";
constexpr std::u16string_view kResponseWhere = u"Response Message";
constexpr std::u16string_view kConnectFailed = u"Request: Could not connect to server.";

const ProxyProfile kDimeProfile = {
    .timeout_ms = kProxyTimeoutMs,
    .max_response_length = kProxyMaxResponseLength,
    .no_content_result = false,
    .action_before_length = false,
    .request_where = kRequestWhere,
    .response_where = kResponseWhere,
    .no_request = u"Failed to obtain request message.",
    .connect_failed = kConnectFailed,
    .proxy_connect_failed = kConnectFailed,
    .bad_request_11 = u"Response: Unexpected HTTP Status Code.",
    .unexpected_status = u"Unexpected HTTP Status Code.",
    .unexpected_media_type = u"Unexpected MIME type in non-DIME Response.",
    .memory = u"Unexpected memory allocation error.",
    .buffer_init = u"Message buffer initialization error.",
    .dime =
        {
            .request_where = kRequestWhere,
            .response_where = kResponseWhere,
            .init_serializer = u"Failed to initialize DIME parser for serialization.",
            .primary_payload = u"Failed to create primary DIME payload.",
            .no_storage = u"Failed to obtain IStorage interface pointer.",
            .secondary_payload = u"Failed to create secondary DIME payload.",
            .read_primary = u"Failed to read primary DIME payload.",
            // An envelope over the reader's cap is a buffer we refuse to make.
            .envelope_too_large = u"Memory allocation error.",
            .envelope_array = u"Failed to create SAFEARRAY for primary DIME payload.",
            .set_primary = u"Failed to set message primary payload buffer.",
            .options_create = u"Failed to create options buffer.",
            .options_access = u"Failed to access options buffer.",
            .append_secondary = u"Failed to append secondary DIME payload to message.",
        },
};

constexpr std::u16string_view kProxyConnectFailed = u"Could not connect to proxy server.";

const ProxyProfile kControlPanelProfile = {
    .timeout_ms = kControlPanelTimeoutMs,
    .max_response_length = kProxyMaxResponseLength,
    .no_content_result = true,
    .action_before_length = true,
    .request_where = kRequestWhere,
    .response_where = kResponseWhere,
    .no_request = u"Could not obtain request message.",
    .connect_failed = u"Could not connect to server.",
    .proxy_connect_failed = kProxyConnectFailed,
    .bad_request_11 = u"HTTP Client Error: Bad Request.",
    .unexpected_status = u"Unexpected HTTP Status Code.",
    .unexpected_media_type = u"Unexpected MIME type in Response.",
    .memory = u"Unexpected memory allocation error.",
    .buffer_init = u"Message buffer initialization error.",
    .dime = kDimeProfile.dime,
    .text_only = true,
    .report_events = true,
    .action_only_when_required = true,
    .clear_after_post_only = true,
};

// A blank has no place in a host name either.
bool UnsafeInHead(std::string_view s, bool blank_allowed) {
  return text::HasControlCharacter(s) ||
         (!blank_allowed && s.find(' ') != std::string_view::npos);
}

std::string WireTarget(std::string_view path, std::string_view query) {
  std::string target = httpclient::UrlEscape(path);
  if (!query.empty()) target.append("?").append(httpclient::UrlEscape(query));
  return target;
}

}  // namespace

const ProxyProfile& DimeProxyProfile() { return kDimeProfile; }

const ProxyProfile& ControlPanelProxyProfile() { return kControlPanelProfile; }

void SoapProxy::ReportEvent(std::string_view text) {
  std::string line(text);
  text::TruncateUtf8(line, 127);
  HANDLE source = RegisterEventSourceA(nullptr, kProxyEventSource);
  if (source == nullptr) return;
  const char* strings[] = {line.c_str()};
  ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

SoapProxy::SoapProxy(const ProxyProfile& profile) : SoapProxy(profile, profile.timeout_ms) {}

SoapProxy::SoapProxy(const ProxyProfile& profile, uint32_t timeout_ms)
    : profile_(profile), transport_(80, timeout_ms) {
  // A peer that drips its answer would otherwise keep the caller (the
  // control panel, the echo demo) waiting for as long as it likes, and one
  // that never ends its body would fill the memory.
  transport_.SetExchangeTimeout(timeout_ms);
  transport_.SetMaxBodyLength(profile.max_response_length);
}

SoapProxy::~SoapProxy() = default;

void SoapProxy::ClearLastExchange() {
  request_body_.clear();
  response_text_.clear();
  http_status_ = 0;
}

void SoapProxy::Fail(std::u16string_view where, std::u16string_view text) const {
  throw new QVSOAPDIMEProxyFault(where, text);
}

std::string SoapProxy::HeaderBlock(std::string_view soap_action, bool action_required,
                                   std::string_view host, int port, std::string_view user_agent,
                                   bool post, bool as_dime, int soap_version,
                                   uint64_t length) const {
  std::string head = "Host: ";
  head.append(host).append(":").append(std::to_string(port)).append("\r\n");
  head.append("User-Agent: ").append(user_agent).append("\r\n");
  if (!post) return head;
  const bool soap11 = soap_version == 11;
  if (as_dime) {
    head.append("Content-Type: application/dime\r\n");
  } else if (soap11) {
    head.append("Content-Type: text/xml; charset=\"utf-8\"\r\n");
  } else {
    head.append("Content-Type: application/soap+xml; charset=\"utf-8\"");
    if (action_required) head.append("; action=").append(soap_action);
    head.append("\r\n");
  }
  std::string action_line;
  if (soap11 && action_required) {
    action_line.append("SOAPAction: ").append(soap_action).append("\r\n");
  }
  if (profile_.action_before_length) head.append(action_line);
  head.append("Content-Length: ").append(std::to_string(length)).append("\r\n");
  if (!profile_.action_before_length) head.append(action_line);
  return head;
}

bool SoapProxy::Post(std::string_view soap_action, bool action_required, std::string_view host,
                     int port, std::string_view method, std::string_view path,
                     std::string_view query, std::string_view user_agent, Iquenlin2* message,
                     int soap_version, bool force_dime) {
  const bool post = method == "POST";
  const bool soap11 = soap_version == 11;
  // Cleared first so a call that fails early never shows the previous one.
  ClearLastExchange();
  bool as_dime = false;
  uint64_t length = 0;
  if (post) {
    Variant buffer;
    VARIANT_BOOL ok = VARIANT_FALSE;
    void* data = nullptr;
    if (FAILED(message->GetBuffer(buffer.Receive(), &ok)) || ok != VARIANT_TRUE ||
        buffer.vt != (VT_ARRAY | VT_UI1) || buffer.parray == nullptr ||
        SafeArrayGetDim(buffer.parray) != 1 || FAILED(SafeArrayAccessData(buffer.parray, &data))) {
      Fail(profile_.request_where, profile_.no_request);
    }
    request_body_.assign(static_cast<const char*>(data), buffer.parray->rgsabound[0].cElements);
    SafeArrayUnaccessData(buffer.parray);
    LONG attachments = 0;
    message->GetNumReqAttachments(&attachments);
    as_dime = !profile_.text_only && (attachments > 0 || force_dime);
    length = request_body_.size();
    if (as_dime) {
      const auto ns = soap11 ? xml::kSoap11EnvelopeNamespace : xml::kSoap12EnvelopeNamespace;
      const auto failure =
          dime::BuildDimeBody(message, dime::AttachmentList::kRequest, text::Narrow(ns),
                              reinterpret_cast<const uint8_t*>(request_body_.data()),
                              request_body_.size(), profile_.dime, &dime_, &length);
      if (failure) Fail(failure->where, failure->text);
    }
  }

  const std::u16string_view connect_failed =
      use_proxy_ ? profile_.proxy_connect_failed : profile_.connect_failed;
  if (UnsafeInHead(host, false) || UnsafeInHead(soap_action, true) ||
      UnsafeInHead(user_agent, true)) {
    Fail(profile_.request_where, connect_failed);
  }
  const std::string head = HeaderBlock(soap_action, action_required, host, port, user_agent, post,
                                       as_dime, soap_version, length);
  std::string target = WireTarget(path, query);
  std::string_view connect_host = host;
  int connect_port = port;
  if (use_proxy_) {
    target = "http://" + std::string(host) + ":" + std::to_string(port) + target;
    connect_host = proxy_host_;
    connect_port = proxy_port_;
  }
  const bool sent =
      as_dime ? transport_.SendDime(connect_port, method, connect_host, target, head, &dime_)
              : transport_.Exchange(connect_port, method, connect_host, target, head,
                                    post ? std::string_view(request_body_) : std::string_view(),
                                    // Text only: a DIME answer stays body text and fails the
                                    // media-type check.
                                    profile_.text_only ? nullptr : &dime_);
  if (!sent) Fail(profile_.request_where, connect_failed);

  const int status = transport_.GetStatusCode();
  if (status == 204) {
    http_status_ = 204;
    message->SetNoContentResponse(VARIANT_TRUE);
    return profile_.no_content_result;
  }
  http_status_ = status / 100 * 100;
  if (http_status_ == 400 && soap11) Fail(profile_.response_where, profile_.bad_request_11);
  if (http_status_ != 200 && http_status_ != 500 && http_status_ != 400) {
    Fail(profile_.response_where, profile_.unexpected_status);
  }
  if (transport_.ResponseIsDime() && !profile_.text_only) {
    if (const auto failure = dime::ReadDimeBody(dime_, message, profile_.dime, &response_text_)) {
      Fail(failure->where, failure->text);
    }
    return true;
  }
  ReadTextAnswer(message, soap_version);
  return true;
}

void SoapProxy::ReadTextAnswer(Iquenlin2* message, int soap_version) {
  const std::string type = transport_.GetHeader("Content-Type");
  const std::string_view expected = soap_version == 11 ? "text/xml" : "application/soap+xml";
  if (type.find(expected) == std::string::npos) {
    Fail(profile_.response_where, profile_.unexpected_media_type);
  }
  SAFEARRAY* array = dime::MakeByteArray(transport_.GetBody(), transport_.GetBodyLength());
  if (array == nullptr) Fail(profile_.response_where, profile_.memory);
  Variant body = dime::ByteArrayVariant(array);
  response_text_.assign(transport_.GetBody() == nullptr ? "" : transport_.GetBody(),
                        transport_.GetBodyLength());
  VARIANT_BOOL ok = VARIANT_FALSE;
  message->SetBuffer(body, &ok);
  if (ok != VARIANT_TRUE) Fail(profile_.response_where, profile_.buffer_init);
}

bool SoapProxy::TryPost(std::string_view soap_action, bool action_required, std::string_view host,
                        int port, std::string_view method, std::string_view path,
                        std::string_view query, std::string_view user_agent, Iquenlin2* message,
                        int soap_version, bool force_dime) {
  try {
    Post(soap_action, action_required, host, port, method, path, query, user_agent, message,
         soap_version, force_dime);
    return true;
  } catch (QVSOAPDIMEProxyFault* fault) {
    const std::unique_ptr<QVSOAPDIMEProxyFault> owned(fault);
    if (profile_.report_events) ReportEvent(text::Narrow(owned->Text()));
    return false;
  }
}

}  // namespace client
