// The intermediary's forwarder: a message that an endpoint with a next hop
// has processed is sent on to that hop (as XML, or as DIME when the request
// came as DIME), and the hop's reply is put back into the same message
// object, so that the response phase treats it like a locally made response.
// Every failure ends as a fault text recorded in the message.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "dime/message.h"
#include "interfaces/quenlin.h"
#include "dime/http_dime_transport.h"
#include "dime/soap_dime.h"
#include "server/http/http_request.h"
#include "server/http/request_budget.h"
#include "server/soap/outbound_gate.h"

namespace server {

// Longest wait for any one network event of a forward, and for the whole of it.
inline constexpr uint32_t kForwardTimeoutMs = dime::kForwardDeadlineMs;
using dime::kForwardDeadlineMs;
inline constexpr char kForwardUserAgent[] = "Quorvel SOAP Server/3.2 (Acting as Intermediary)";

// Most bytes of a next hop's reply held in memory (a plain body, or a DIME
// reply's envelope): what one large request may cost while it is processed
// beside others, and never more than a request body may be. Decoding a reply
// builds far more than its text (about 100 bytes per byte of small elements).
inline constexpr uint64_t kMaxForwardReplyBytes =
    std::min(kMaxBodyBytes, kWorkingMemoryBytes / kWorkingBytesPerBodyByte);

// A next hop's reply charged to the server's budget like a request body,
// given back when this ends (or is moved from).
class ReplyCharge {
 public:
  ReplyCharge() = default;
  ReplyCharge(ReplyCharge&& other) noexcept
      : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
  ReplyCharge& operator=(ReplyCharge&& other) noexcept {
    if (this != &other) {
      Return();
      budget_ = std::exchange(other.budget_, nullptr);
      bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
  }
  ~ReplyCharge() { Return(); }

  // Charges `replyBytes` as a request body of that size would be; false,
  // nothing taken, when it does not fit. Always true without a budget.
  [[nodiscard]] bool Take(RequestBudget* budget, uint64_t replyBytes);
  uint64_t Bytes() const { return bytes_; }

 private:
  void Return();
  RequestBudget* budget_ = nullptr;
  uint64_t bytes_ = 0;
};

// What bounds one forward: each wait, the whole forward (it ends at
// `deadline` or `waitMs` after it starts, whichever comes first), the gate
// it must pass to wait on a next hop at all (null: none), the reply's size
// and the budget its decoding is charged to (null: none).
struct ForwardLimits {
  uint32_t waitMs = kForwardTimeoutMs;
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  OutboundGate* gate = nullptr;
  uint64_t maxReplyBytes = kMaxForwardReplyBytes;
  RequestBudget* budget = nullptr;
};

using dime::NextHop;
using dime::ParseNextHopUrl;

// The request target sent to the next hop: the hop's path as configured,
// then the extra path behind a wildcard endpoint (received decoded, so
// escaped here), then for a GET "?" and the query as received (still in wire
// form). Each part is escaped exactly once.
std::string ForwardTarget(std::string_view hop_path, std::string_view extra_path,
                          std::string_view query);

class ForwardingProxy {
 public:
  // Every exchange of this proxy ends by `deadline` (see ForwardLimits).
  explicit ForwardingProxy(uint32_t timeout_ms = kForwardTimeoutMs,
                           std::chrono::steady_clock::time_point deadline =
                               std::chrono::steady_clock::time_point::max());

  // A reply (plain body or DIME envelope) over `maxBytes` fails the forward,
  // and one that does fit is charged to `budget` before it reaches the
  // message; set before ForwardRequest.
  void LimitReply(uint64_t maxBytes, RequestBudget* budget);
  // The reply's charge, to be held while the message holds the reply.
  ReplyCharge TakeCharge() { return std::move(charge_); }
  ForwardingProxy(const ForwardingProxy&) = delete;
  ForwardingProxy& operator=(const ForwardingProxy&) = delete;

  // "POST" runs Post, "GET" runs Get; anything else is refused. `target` is
  // in wire form (ForwardTarget). A SOAPAction or host holding a control
  // character, or a port outside 1..65535, is refused as a connection
  // failure: none of them may reach the next hop's request head.
  bool ForwardRequest(std::string_view method, std::string_view soap_action, std::string_view host,
                      int port, std::string_view target, std::string_view user_agent,
                      Iquenlin2* message, bool dime);

  // After a call: why it failed, the reply's status class (0 before a reply,
  // 204, or the status rounded down to a hundred) and whether the reply was
  // put into the message.
  const std::u16string& ErrorText() const { return error_text_; }
  int StatusClass() const { return status_class_; }
  bool ReplyReady() const { return reply_ready_; }

 private:
  bool Post(std::string_view soap_action, std::string_view host, int port, std::string_view target,
            std::string_view user_agent, Iquenlin2* message, bool dime);
  bool Get(std::string_view host, int port, std::string_view target, std::string_view user_agent,
           Iquenlin2* message);
  // Steps shared by both methods once the exchange ended (`sent` is its result).
  bool HandleReply(bool sent, LONG version, Iquenlin2* message);
  bool SetError(std::u16string_view text);

  std::string request_text_;
  int status_class_ = 0;
  std::u16string error_text_;
  bool reply_ready_ = false;
  uint64_t max_reply_bytes_ = kMaxForwardReplyBytes;
  RequestBudget* budget_ = nullptr;
  ReplyCharge charge_;
  dime::HttpDimeTransport transport_;
  dime::DimeMessage dime_;
};

// The forwarding of a processed POST: re-serialises the message, leaves the
// request phase, forwards it to the message's next hop (the extra path
// appended) and puts the reply, or the failure as a fault, into the message.
// The caller goes on with the response phase. When the gate is full the
// forward is not tried: the fault says the server is busy. The returned
// charge covers the reply the message now holds: keep it until the answer
// is written.
ReplyCharge ForwardSoapPost(Iquenlin2* message, std::string_view soap_action, std::string_view extra_path,
                     bool dime, const ForwardLimits& limits = {});

// A loopback endpoint answers with the processed request itself: the
// message is written, its bytes become the response envelope (returned) and
// the request phase ends. The caller answers 200 at once: no response-phase
// processors, no fault or no-content test.
std::string LoopbackResponse(Iquenlin2* message);

// The forwarding of a GET (the caller has left the request phase): the query
// goes on after the path; failures are SOAP 1.2 faults. The charge as for
// ForwardSoapPost.
ReplyCharge ForwardSoapGet(Iquenlin2* message, std::string_view extra_path, std::string_view query,
                    const ForwardLimits& limits = {});

}  // namespace server
