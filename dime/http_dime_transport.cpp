#include "dime/http_dime_transport.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <string>

#include "dime/exception.h"
#include "dime/message.h"
#include "platform/net/socket_errors.h"

namespace dime {

uint32_t TestOnlyShorterMs(const char* variable, uint32_t standard) {
  const char* text = ::getenv(variable);
  if (text == nullptr || *text == '\0' || std::strlen(text) > 9) return 0;
  uint32_t ms = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return 0;
    ms = ms * 10 + static_cast<uint32_t>(*c - '0');
  }
  return ms < standard ? ms : 0;
}

uint32_t TestForwardTimeoutMs() {
  return TestOnlyShorterMs("QUORVEL_TEST_FORWARD_TIMEOUT_MS", kForwardDeadlineMs);
}

namespace {

constexpr std::string_view kDimeMediaType = "application/dime";

}  // namespace

HttpDimeTransport::HttpDimeTransport(int default_port, uint32_t timeout_ms,
                                     dime::DimeMessage* message)
    : HttpClient(default_port, timeout_ms), message_(message) {}

HttpDimeTransport::~HttpDimeTransport() = default;

void HttpDimeTransport::StartExchange(dime::DimeMessage* message, bool send_as_dime) {
  message_ = message;
  head_sent_ = false;
  send_as_dime_ = send_as_dime;
  dime_sent_ = false;
  response_is_dime_ = false;
  peak_queued_ = 0;
}

bool HttpDimeTransport::Exchange(int port, std::string_view method, std::string_view host,
                                 std::string_view target, std::string_view header_text,
                                 std::string_view body, dime::DimeMessage* message) {
  StartExchange(message, /*send_as_dime=*/false);
  return SendRequestTarget(port, method, host, target, header_text, body);
}

bool HttpDimeTransport::SendDime(int port, std::string_view method, std::string_view host,
                                 std::string_view target, std::string_view header_text,
                                 dime::DimeMessage* message) {
  if (message == nullptr) {
    Reset();
    Fail(WSAEINVAL);
    return false;
  }
  StartExchange(message, /*send_as_dime=*/true);
  sockaddr_in address;
  if (!PrepareRequest(port, method, host, target, header_text, {}, &address)) return false;
  return RunExchange(address);
}

bool HttpDimeTransport::OnSend() {
  if (!send_as_dime_) return HttpClient::OnSend();
  if (!head_sent_) {
    head_sent_ = true;
    if (!Send(std::string(request_head()))) return false;
  }
  return SendDimeRecords();
}

bool HttpDimeTransport::SendDimeRecords() {
  // Serialise only while the network takes the records at once: a send that
  // would block leaves its rest queued and brings a write notification once
  // the socket drains, and the writing resumes there.
  const size_t record_size = message_->GetSerializer().RecordSize();
  if (records_.size() < record_size) records_.resize(record_size);
  while (!dime_sent_ && QueuedBytes() == 0) {
    size_t filled = 0;
    bool more = true;
    // Small records share a send: as many as fit whole.
    while (more && records_.size() - filled >= record_size) {
      size_t written = 0;
      try {
        more = message_->Serialize(records_.data() + filled, records_.size() - filled, &written);
      } catch (dime::DIMEParserException* e) {
        delete e;
        dime_sent_ = true;
        Fail(WSAEINVAL);
        return false;
      }
      filled += written;
      if (written == 0) break;
    }
    // The last record comes with a false answer and must still go out.
    if (filled > 0 && !Send(records_.data(), filled)) return false;
    if (!more) dime_sent_ = true;
    peak_queued_ = std::max(peak_queued_, QueuedBytes());
  }
  return true;
}

bool HttpDimeTransport::OnReceive() {
  size_t received = 0;
  if (!Receive(receive_buffer(), httpclient::kReceiveBufferSize, &received)) return false;
  if (received == 0) return true;
  // The reply has begun: nothing more of the request is written, so the
  // writer is never left pointing into a list the reply is about to replace.
  dime_sent_ = true;
  const auto* bytes = reinterpret_cast<const uint8_t*>(receive_buffer());
  if (response_is_dime_) {
    try {
      message_->Deserialize(bytes, received);
    } catch (dime::DIMEParserException* e) {
      delete e;
      Fail(WSAEINVAL);
      return false;
    }
    return true;
  }
  httpclient::ResponseParser& response = mutable_response();
  const bool head_was_complete = response.head_complete();
  // A DIME answer goes to its payload storage, not into memory, so the limit
  // of a body held in memory waits until the head tells which this is.
  const bool may_be_dime = !head_was_complete && message_ != nullptr;
  const size_t limit = response.max_body_length();
  if (may_be_dime) response.SetMaxBodyLength(SIZE_MAX);
  const bool appended = response.Append(std::string_view(receive_buffer(), received));
  if (may_be_dime) response.SetMaxBodyLength(limit);
  if (!appended) {
    Fail(response.error() == httpclient::ResponseParser::Error::HeadTooLong ? WSAEMSGSIZE
                                                                            : WSAENOBUFS);
    return false;
  }
  if (!may_be_dime || !response.head_complete()) return true;
  if (response.content_type().find(kDimeMediaType) != std::string::npos) return TakeDimeBody();
  const size_t cap = max_plain_body_ != 0 ? std::min(limit, max_plain_body_) : limit;
  response.SetMaxBodyLength(cap);
  if (response.body().size() > cap ||
      (response.AnnouncesBodyLength() && response.content_length() > cap)) {
    Fail(WSAENOBUFS);
    return false;
  }
  return true;
}

bool HttpDimeTransport::TakeDimeBody() {
  httpclient::ResponseParser& response = mutable_response();
  response_is_dime_ = true;
  try {
    message_->InitDeserializer(response.has_content_length() ? response.content_length()
                                                             : dime::kUnknownContentLength);
    const std::string& body = response.body();
    if (!body.empty()) {
      message_->Deserialize(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    }
  } catch (dime::DIMEParserException* e) {
    delete e;
    response.ClearBody();
    Fail(WSAEINVAL);
    return false;
  }
  response.ClearBody();
  return true;
}

bool HttpDimeTransport::CheckResponseLength() {
  if (!response_is_dime_) return HttpClient::CheckResponseLength();
  try {
    message_->EndOfInput();
  } catch (dime::DIMEParserException* e) {
    delete e;
    Fail(WSAEDISCON);
    return false;
  }
  return true;
}

}  // namespace dime
