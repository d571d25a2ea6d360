// HttpDimeTransport: the HTTP client that passes a SOAP message on to a next
// hop. Besides the plain exchange of HttpClient it sends a request body that
// is a DIME message, written record by record straight from the payload
// streams, and reads a response whose Content-Type announces DIME into the
// same DimeMessage as it arrives. Neither direction holds a DIME message in
// memory: at most one record waits in the socket's queue, and response bytes
// go from the receive buffer into the payload streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "dime/serializer.h"
#include "httpclient/http_client.h"

namespace dime {

class DimeMessage;

// The longest a post to a next hop may take as a whole, however its peer
// spaces its bytes: every hop a request names may hold a worker this long.
inline constexpr uint32_t kForwardDeadlineMs = 300000;

// Test-only waits: the milliseconds the environment `variable` gives when
// that is a number below `standard`, so that a test of the whole program can
// shorten a wait but never lengthen it. 0 when unset or anything else.
uint32_t TestOnlyShorterMs(const char* variable, uint32_t standard);

// Test-only: QUORVEL_TEST_FORWARD_TIMEOUT_MS, a number of milliseconds below
// kForwardDeadlineMs, shortens the waits and the deadline of posts to next
// hops, so that a test of the whole program can meet a hop that never
// answers. Unset, or any other value: 0, the standard bounds hold.
uint32_t TestForwardTimeoutMs();

class HttpDimeTransport : public httpclient::HttpClient {
 public:
  // `message` (not owned) receives DIME responses of Exchange when given.
  HttpDimeTransport(int default_port, uint32_t timeout_ms, dime::DimeMessage* message = nullptr);
  ~HttpDimeTransport() override;

  // A plain-text request to `target`, which is in wire form and sent as given
  // (HttpClient::SendRequestTarget). The response may be DIME: then it is
  // read into `message` when one is given (else kept as body text). True as
  // for SendRequestTarget, and only when a DIME response arrived whole.
  bool Exchange(int port, std::string_view method, std::string_view host, std::string_view target,
                std::string_view header_text, std::string_view body, dime::DimeMessage* message);

  // The same with `message` as the request body: the caller has prepared it
  // with InitSerializer (a record size up to dime::kPostRecordSize) and its
  // payloads, and put
  // Content-Type and Content-Length (ComputeMessageLength) into
  // `header_text`. A DIME response replaces the payloads of `message`; if
  // the response begins before the request is fully written, the sending
  // ends there. False as for Exchange, and when the message cannot be
  // written.
  bool SendDime(int port, std::string_view method, std::string_view host, std::string_view target,
                std::string_view header_text, dime::DimeMessage* message);

  // The last response's Content-Type announced DIME and went to the message.
  bool ResponseIsDime() const { return response_is_dime_; }
  // Limit of a response body that is not DIME (a DIME one is bounded by its
  // message's limits); 0, the default: SetMaxBodyLength's alone. Over it the
  // exchange fails as HttpClient's does for its limit (10055).
  void SetMaxPlainBodyLength(size_t limit) { max_plain_body_ = limit; }
  // Most bytes that waited in the socket's queue during the last SendDime.
  size_t PeakQueuedBytesForTest() const { return peak_queued_; }

 protected:
  bool OnSend() override;
  bool OnReceive() override;
  // A DIME response must have reached its last record; otherwise as
  // HttpClient's check of the announced length.
  bool CheckResponseLength() override;

 private:
  void StartExchange(dime::DimeMessage* message, bool send_as_dime);
  bool SendDimeRecords();
  // Hands the body received so far to the DIME reader when the head has just
  // announced DIME. False (exchange failed) when the reader refuses it.
  bool TakeDimeBody();

  dime::DimeMessage* message_;
  bool head_sent_ = false;
  bool send_as_dime_ = false;
  bool dime_sent_ = false;  // the last record went out, or the sending ended
  bool response_is_dime_ = false;
  size_t peak_queued_ = 0;
  size_t max_plain_body_ = 0;
  // Records leave in sends of up to this size: one large record, or several
  // small ones together.
  std::vector<uint8_t> records_ = std::vector<uint8_t>(dime::kPostRecordSize);
};

}  // namespace dime
