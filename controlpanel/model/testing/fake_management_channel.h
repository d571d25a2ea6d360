// A scripted ManagementChannel for tests: each Invoke takes the next answer
// from a queue (fault or not, result, out values, the digest block with a
// server proof computed like a server's, or a failed exchange) and records
// what the page sent, ClientAuth block included. Struct values are made by
// the struct component, so the test registers it.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "controlpanel/model/management_channel.h"
#include "platform/com/variant.h"

namespace controlpanel::testing {

// The Challenge (or NextChallenge) block of an answer.
struct FakeChallenge {
  std::string status;
  std::string nonce = "N0";
  std::string realm = "Quorvel";
  // Adds a ServerAuth that verifies for the credentials the request carried
  // and the channel's password.
  bool sign = true;
  bool next_challenge = false;
};

struct FakeAnswer {
  bool invoke_ok = true;
  bool fault = false;
  Variant result = Variant::FromBool(true);
  std::vector<std::pair<std::u16string, Variant>> out_values;
  std::optional<FakeChallenge> challenge;
  std::string response_text = "<response/>";
};

// What one Invoke received.
struct FakeCall {
  std::u16string method;
  std::vector<std::u16string> names;
  std::vector<Variant> values;
  bool client_auth = false;  // a ClientAuth block went with it
  std::string user_id;
  std::string realm;
  std::string nonce;
  int message_number = 0;  // which message object carried it (1 is the binding's)
};

// An answer to a probe: a fault asking for credentials.
FakeAnswer NoCredentialsAnswer(const std::string& realm = "Quorvel");
// A successful answer carrying `out` and an "Authenticated" challenge.
FakeAnswer AuthenticatedAnswer(std::vector<std::pair<std::u16string, Variant>> out = {});
// A fault with `status` in its challenge.
FakeAnswer StatusFaultAnswer(const std::string& status);

class FakeManagementChannel : public ManagementChannel {
 public:
  bool Bind(const ChannelBinding& binding) override;
  bool CreateMessage() override;
  bool AddHeader(std::u16string_view ns, std::u16string_view name, const VARIANT& content,
                 bool must_understand, std::u16string_view actor) override;
  bool GetHeader(std::u16string_view ns, std::u16string_view name, VARIANT* content) override;
  bool Invoke(std::u16string_view method, const std::u16string* names, VARIANT* values,
              int32_t count, VARIANT* result) override;
  bool IsFaultResponse() const override { return fault_; }
  std::string LastRequest() const override { return last_request_; }
  std::string LastResponse() const override { return last_response_; }
  void Release() override;

  bool IsBound() const { return bound_; }

  // Script.
  bool bind_result = true;
  std::deque<FakeAnswer> answers;  // an Invoke with none left fails
  std::string password = "secret";

  // Record.
  std::vector<ChannelBinding> bindings;
  std::vector<FakeCall> calls;
  int messages_created = 0;
  int releases = 0;

 private:
  bool bound_ = false;
  bool fault_ = false;
  std::optional<FakeCall> pending_;  // headers added since the last message was made
  std::vector<std::pair<std::u16string, Variant>> answer_headers_;
  std::string last_request_;
  std::string last_response_;
};

}  // namespace controlpanel::testing
