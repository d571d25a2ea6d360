#include "controlpanel/model/testing/fake_management_channel.h"

#include <algorithm>

#include "interfaces/soapstruct.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/text/text.h"
#include "plugins/digestauth/protocol.h"
#include "xml/namespaces.h"

namespace controlpanel::testing {
namespace {

std::string MemberText(ISoapStruct* s, std::u16string_view name) {
  const Bstr n(name);
  Variant v;
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (FAILED(s->GetMember(n.Get(), v.Receive(), &ok)) || ok != VARIANT_TRUE || v.vt != VT_BSTR ||
      v.bstrVal == nullptr) {
    return {};
  }
  return text::Narrow(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal)));
}

void SetMember(ISoapStruct* s, std::u16string_view name, const VARIANT& value) {
  const Bstr n(name);
  VARIANT_BOOL ignored = VARIANT_FALSE;
  s->SetMember(n.Get(), value, &ignored);
}

void SetText(ISoapStruct* s, std::u16string_view name, const std::string& value) {
  SetMember(s, name, Variant::FromText(text::Widen(value)));
}

// The challenge as a struct value; empty when the struct component is missing.
Variant ChallengeBlock(const FakeChallenge& c, const FakeCall* request, const std::string& password) {
  ComPtr<ISoapStruct> s;
  if (FAILED(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_SERVER, ISoapStruct::kIid,
                              s.ReceiveVoid())) ||
      !s) {
    return Variant();
  }
  SetText(s.Get(), digestauth::kStatusMember, c.status);
  SetText(s.Get(), digestauth::kNonceMember, c.nonce);
  SetText(s.Get(), digestauth::kRealmMember, c.realm);
  if (c.sign && request != nullptr && request->client_auth) {
    const digestauth::Digest proof = digestauth::ServerProof(
        digestauth::UserHash(request->user_id, c.realm, password), c.nonce, request->nonce);
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, digestauth::kMd5DigestBytes);
    std::copy(proof.begin(), proof.end(), static_cast<uint8_t*>(bytes->pvData));
    Variant v;
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = bytes;
    SetMember(s.Get(), digestauth::kServerAuthMember, v);
  }
  Variant v;
  v.vt = VT_DISPATCH;
  v.pdispVal = com::QueryInterfacePtr<IDispatch>(s.Get()).Detach();
  return v;
}

}  // namespace

FakeAnswer NoCredentialsAnswer(const std::string& realm) {
  FakeAnswer a;
  a.fault = true;
  a.result = Variant();
  a.challenge = FakeChallenge{std::string(digestauth::kStatusNoCredentials), "N0", realm};
  a.response_text = "<fault>NoCredentials</fault>";
  return a;
}

FakeAnswer AuthenticatedAnswer(std::vector<std::pair<std::u16string, Variant>> out) {
  FakeAnswer a;
  a.out_values = std::move(out);
  a.challenge = FakeChallenge{std::string(digestauth::kStatusAuthenticated)};
  return a;
}

FakeAnswer StatusFaultAnswer(const std::string& status) {
  FakeAnswer a;
  a.fault = true;
  a.result = Variant();
  a.challenge = FakeChallenge{status};
  a.response_text = "<fault>" + status + "</fault>";
  return a;
}

bool FakeManagementChannel::Bind(const ChannelBinding& binding) {
  bindings.push_back(binding);
  bound_ = false;
  if (!bind_result) return false;
  bound_ = true;
  ++messages_created;
  pending_ = FakeCall{};
  return true;
}

bool FakeManagementChannel::CreateMessage() {
  if (!bound_) return false;
  ++messages_created;
  pending_ = FakeCall{};
  answer_headers_.clear();
  fault_ = false;
  return true;
}

bool FakeManagementChannel::AddHeader(std::u16string_view ns, std::u16string_view name,
                                      const VARIANT& content, bool, std::u16string_view) {
  if (!pending_) return false;
  if (ns != xml::kDigestAuthNamespace || name != digestauth::kClientAuthBlock ||
      content.vt != VT_DISPATCH || content.pdispVal == nullptr) {
    return true;
  }
  ComPtr<ISoapStruct> s = com::QueryInterfacePtr<ISoapStruct>(content.pdispVal);
  if (!s) return true;
  pending_->client_auth = true;
  pending_->user_id = MemberText(s.Get(), digestauth::kUserIdMember);
  pending_->realm = MemberText(s.Get(), digestauth::kRealmMember);
  pending_->nonce = MemberText(s.Get(), digestauth::kClientNonceMember);
  return true;
}

bool FakeManagementChannel::GetHeader(std::u16string_view ns, std::u16string_view name,
                                      VARIANT* content) {
  if (ns != xml::kDigestAuthNamespace) return false;
  for (const auto& [block, value] : answer_headers_) {
    if (block == name) return SUCCEEDED(VariantCopy(content, &value));
  }
  return false;
}

bool FakeManagementChannel::Invoke(std::u16string_view method, const std::u16string* names,
                                   VARIANT* values, int32_t count, VARIANT* result) {
  last_request_.clear();
  last_response_.clear();
  answer_headers_.clear();
  fault_ = false;
  if (!bound_ || !pending_) return false;
  FakeCall call = std::move(*pending_);
  pending_.reset();
  call.method = method;
  call.message_number = messages_created;
  for (int32_t i = 0; i < count; ++i) {
    call.names.push_back(names[i]);
    Variant copy;
    VariantCopy(&copy, &values[i]);
    call.values.push_back(std::move(copy));
  }
  calls.push_back(std::move(call));
  const FakeCall& recorded = calls.back();
  last_request_ = "<request>" + text::Narrow(method) + "</request>";
  if (answers.empty()) {
    last_request_.clear();
    return false;
  }
  FakeAnswer answer = std::move(answers.front());
  answers.pop_front();
  if (!answer.invoke_ok) return false;
  last_response_ = answer.response_text;
  fault_ = answer.fault;
  if (answer.challenge) {
    answer_headers_.emplace_back(answer.challenge->next_challenge
                                     ? digestauth::kNextChallengeBlock
                                     : digestauth::kChallengeBlock,
                                 ChallengeBlock(*answer.challenge, &recorded, password));
  }
  if (!answer.fault) {
    for (const auto& [name, value] : answer.out_values) {
      for (int32_t i = 0; i < count; ++i) {
        if (names[i] == name) VariantCopy(&values[i], &value);
      }
    }
    VariantCopy(result, &answer.result);
  }
  return true;
}

void FakeManagementChannel::Release() {
  bound_ = false;
  pending_.reset();
  answer_headers_.clear();
  ++releases;
}

}  // namespace controlpanel::testing
