// SoapProxy: the HTTP side of one client exchange. It takes the serialised
// request out of a message object, posts it as SOAP text or as a DIME
// message, checks the answer's status and media type and puts the answer
// back into the message object (envelope as its buffer, further DIME records
// as response attachments). Failures inside are QVSOAPDIMEProxyFault objects;
// TryPost turns them into false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "dime/http_dime_transport.h"
#include "dime/message.h"
#include "dime/resources.h"
#include "dime/soap_dime.h"
#include "interfaces/quenlin.h"

namespace client {

// Longest an exchange may take as a whole (connect, send, answer), and so
// the longest wait for any one network event of it.
inline constexpr uint32_t kProxyTimeoutMs = 300000;
// Largest answer body held in memory (a text answer, or a DIME answer's
// body before its head announced DIME): the largest envelope a DIME answer
// may carry.
inline constexpr size_t kProxyMaxResponseLength = static_cast<size_t>(dime::kMaxEnvelopeBytes);

// What one build of the proxy sends and says. Kept together so that another
// build (a text-only one with its own header order, texts and 204 result)
// is a second profile rather than a second proxy.
struct ProxyProfile {
  // The deadline of a whole exchange, from its connect.
  uint32_t timeout_ms;
  // Largest answer body read into memory; a longer one, with or without a
  // Content-Length, fails the exchange.
  size_t max_response_length;
  // Post's result for a 204 answer (TryPost is true either way).
  bool no_content_result;
  // The SOAP 1.1 SOAPAction line stands before Content-Length instead of
  // after it.
  bool action_before_length;
  std::u16string_view request_where;
  std::u16string_view response_where;
  std::u16string_view no_request;
  std::u16string_view connect_failed;
  std::u16string_view proxy_connect_failed;
  std::u16string_view bad_request_11;
  std::u16string_view unexpected_status;
  std::u16string_view unexpected_media_type;
  std::u16string_view memory;
  std::u16string_view buffer_init;
  dime::DimeTexts dime;
  // Never sends DIME; a DIME answer fails the media-type check.
  bool text_only = false;
  // Every failure of TryPost goes to the event log.
  bool report_events = false;
  // What SoapClient does around the post: ask the reader for the SOAPAction
  // only when the operation requires one, and clear the request's
  // parameters and header blocks only after a POST.
  bool action_only_when_required = false;
  bool clear_after_post_only = false;
};

// This build's profile: DIME-capable, 300 s per exchange.
const ProxyProfile& DimeProxyProfile();

// The control panel's: text only, 30 s per exchange, its own texts, failures
// reported to the event log.
inline constexpr uint32_t kControlPanelTimeoutMs = 30000;
const ProxyProfile& ControlPanelProxyProfile();

// The event source the control panel's proxy reports under.
inline constexpr char kProxyEventSource[] = "Quorvel SOAP Proxy";

// Thrown by pointer; every catcher takes it into a std::unique_ptr at once.
class QVSOAPDIMEProxyFault;
// One fault type for both builds.
using QVSOAPProxyFault = QVSOAPDIMEProxyFault;

class QVSOAPDIMEProxyFault {
 public:
  QVSOAPDIMEProxyFault(std::u16string_view where, std::u16string_view text)
      : where_(where), text_(text) {}
  const std::u16string& Where() const { return where_; }
  const std::u16string& Text() const { return text_; }

 private:
  std::u16string where_;
  std::u16string text_;
};

class SoapProxy {
 public:
  // `profile` is kept by reference: a build's profile lives for the program.
  explicit SoapProxy(const ProxyProfile& profile = DimeProxyProfile());
  // The profile's texts with another time-out (tests use a short one). An
  // exchange ends by the time-out from its connect however its peer spaces
  // its bytes.
  SoapProxy(const ProxyProfile& profile, uint32_t timeout_ms);
  virtual ~SoapProxy();
  SoapProxy(const SoapProxy&) = delete;
  SoapProxy& operator=(const SoapProxy&) = delete;

  // One exchange. `soap_action` is written as given (already quoted) after
  // "SOAPAction: " or "; action=". A method other than "POST" sends no body,
  // no entity headers and never DIME. True when the answer was put into the
  // message; for 204 the message is marked as having no content and the
  // result is the profile's. Throws QVSOAPDIMEProxyFault*.
  bool Post(std::string_view soap_action, bool action_required, std::string_view host, int port,
            std::string_view method, std::string_view path, std::string_view query,
            std::string_view user_agent, Iquenlin2* message, int soap_version, bool force_dime);

  // Post, with every QVSOAPDIMEProxyFault turned into false; true whenever
  // Post returned, whatever it returned.
  bool TryPost(std::string_view soap_action, bool action_required, std::string_view host, int port,
               std::string_view method, std::string_view path, std::string_view query,
               std::string_view user_agent, Iquenlin2* message, int soap_version, bool force_dime);

  // Writes `text` (cut to 127 bytes on a character boundary) as one
  // information event under kProxyEventSource; nothing when the source
  // cannot be opened.
  static void ReportEvent(std::string_view text);

  // 0 before an exchange; then 204 or the status rounded down to a hundred.
  int HttpStatus() const { return http_status_; }
  const std::string& RequestBody() const { return request_body_; }
  const std::string& ResponseText() const { return response_text_; }
  // Forgets the last exchange: a call that ends before posting shows
  // nothing of the one before.
  void ClearLastExchange();

  // Every later exchange goes through the HTTP proxy at `host`:`port`,
  // with the absolute URI as its target.
  void SetProxy(std::string_view host, int port) {
    use_proxy_ = true;
    proxy_host_ = host;
    proxy_port_ = port;
  }
  // Limit of an answer's body (the profile's unless set); past it
  // the exchange fails as a failed connection.
  void SetMaxResponseLength(size_t limit) { transport_.SetMaxBodyLength(limit); }
  const ProxyProfile& Profile() const { return profile_; }
  const dime::HttpDimeTransport& TransportForTest() const { return transport_; }

 private:
  [[noreturn]] void Fail(std::u16string_view where, std::u16string_view text) const;
  std::string HeaderBlock(std::string_view soap_action, bool action_required, std::string_view host,
                          int port, std::string_view user_agent, bool post, bool as_dime,
                          int soap_version, uint64_t length) const;
  void ReadTextAnswer(Iquenlin2* message, int soap_version);

  const ProxyProfile& profile_;
  std::string request_body_;
  std::string response_text_;
  int http_status_ = 0;
  dime::HttpDimeTransport transport_;
  dime::DimeMessage dime_;
  bool use_proxy_ = false;
  std::string proxy_host_;
  int proxy_port_ = 0;
};

}  // namespace client
