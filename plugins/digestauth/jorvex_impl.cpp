#include "plugins/digestauth/jorvex_impl.h"

#include <cstring>
#include <new>
#include <vector>

#include "platform/com/remote/remote.h"
#include "platform/com/variant.h"
#include "platform/service/eventlog.h"
#include "platform/text/text.h"
#include "xml/codecs.h"
#include "xml/namespaces.h"
#include "xml/xml_parser.h"

namespace digestauth {
namespace {

bool IsTrue(VARIANT_BOOL b) { return b == VARIANT_TRUE; }

// The value a variant holds, through one level of reference.
const VARIANT& Deref(const VARIANT& v) {
  if (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal) return *v.pvarVal;
  return v;
}

// The object of an exactly-VT_DISPATCH value (by reference read through);
// null for anything else.
IDispatch* ObjectOf(const VARIANT& v) {
  if (v.vt == VT_DISPATCH) return v.pdispVal;
  if (v.vt == (VT_BYREF | VT_DISPATCH) && v.ppdispVal) return *v.ppdispVal;
  return nullptr;
}

std::optional<std::u16string> TextOf(const VARIANT& value) {
  const VARIANT& v = Deref(value);
  if (v.vt == VT_BSTR) return std::u16string(BstrView(v.bstrVal));
  if (v.vt == (VT_BYREF | VT_BSTR) && v.pbstrVal) return std::u16string(BstrView(*v.pbstrVal));
  return std::nullopt;
}

// The first 16 bytes of a one-dimensional byte array of at least 16.
std::optional<Digest> ProofOf(const VARIANT& value) {
  const VARIANT& v = Deref(value);
  SAFEARRAY* array = nullptr;
  if (v.vt == (VT_ARRAY | VT_UI1)) array = v.parray;
  if (v.vt == (VT_BYREF | VT_ARRAY | VT_UI1) && v.pparray) array = *v.pparray;
  LONG low = 0, high = -1;
  if (!array || SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1 ||
      FAILED(SafeArrayGetLBound(array, 1, &low)) || FAILED(SafeArrayGetUBound(array, 1, &high)) ||
      int64_t(high) - low + 1 < int64_t(kMd5DigestBytes)) {
    return std::nullopt;
  }
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array, &data))) return std::nullopt;
  Digest d;
  memcpy(d.data(), data, d.size());
  SafeArrayUnaccessData(array);
  return d;
}

Variant BytesValue(const Digest& d) {
  Variant v;
  if (SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, ULONG(d.size()))) {
    void* data = nullptr;
    if (SUCCEEDED(SafeArrayAccessData(array, &data))) {
      memcpy(data, d.data(), d.size());
      SafeArrayUnaccessData(array);
      v.vt = VT_ARRAY | VT_UI1;
      v.parray = array;
    } else {
      SafeArrayDestroy(array);
    }
  }
  return v;
}

bool SetMember(ISoapStruct* s, std::u16string_view name, const VARIANT& value) {
  Bstr n(name);
  VARIANT_BOOL ok = VARIANT_FALSE;
  return SUCCEEDED(s->SetMember(n.Get(), value, &ok)) && IsTrue(ok);
}

bool SetText(ISoapStruct* s, std::u16string_view name, std::string_view utf8) {
  return SetMember(s, name, Variant::FromText(text::Widen(utf8)));
}

ComPtr<ISoapStruct> NewStruct() {
  ComPtr<ISoapStruct> s;
  CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_SERVER, ISoapStruct::kIid, s.ReceiveVoid());
  return s;
}

// Adds `s` as a mandatory block with an empty actor to the fault's header
// list (or, when `toFault` is false, the response's).
bool AddBlock(Iquenlin2* message, std::u16string_view name, ISoapStruct* s, bool toFault) {
  Variant content;
  content.vt = VT_DISPATCH;
  content.pdispVal = s;
  s->AddRef();
  Bstr ns(xml::kDigestAuthNamespace), block(name), actor(u"");
  VARIANT_BOOL ok = VARIANT_FALSE;
  const HRESULT hr =
      toFault ? message->AddFaultHeaderElem(ns.Get(), block.Get(), content, VARIANT_TRUE,
                                            actor.Get(), &ok)
              : message->AddHeaderElem(ns.Get(), block.Get(), content, VARIANT_TRUE, actor.Get(),
                                       &ok);
  return SUCCEEDED(hr) && IsTrue(ok);
}

// A struct of the members of a block read as literal XML: each child
// element's text under its local name, "Auth" and "ServerAuth" as the bytes
// of their base64 text. Null when the text is no element.
ComPtr<ISoapStruct> StructOfLiteral(std::u16string_view literal) {
  xml::XmlParser parser;
  try {
    parser.Parse(literal, nullptr);
  } catch (int) {
    return nullptr;
  }
  ComPtr<ISoapStruct> s = NewStruct();
  if (!s || !parser.GetRoot()) return nullptr;
  for (const xml::XmlElementPtr& child : parser.GetRoot()->GetChildList()) {
    const std::u16string& name = child->GetLocalName();
    const std::u16string& value = child->GetText();
    if (name != kAuthMember && name != kServerAuthMember) {
      SetMember(s.Get(), name, Variant::FromText(value));
      continue;
    }
    size_t count = 0;
    if (!xml::Base64Decode(value, nullptr, &count)) continue;  // read as absent
    std::vector<uint8_t> bytes(count);
    if (!xml::Base64Decode(value, bytes.data(), &count)) continue;
    Variant v;
    if (SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, ULONG(count))) {
      void* data = nullptr;
      if (SUCCEEDED(SafeArrayAccessData(array, &data))) {
        if (count) memcpy(data, bytes.data(), count);
        SafeArrayUnaccessData(array);
      }
      v.vt = VT_ARRAY | VT_UI1;
      v.parray = array;
    }
    SetMember(s.Get(), name, v);
  }
  return s;
}

// The message behind the argument: its Iquenlin2, or a proxy over its
// IDispatch for an object that offers only that (one from another process).
ComPtr<Iquenlin2> MessageOf(const VARIANT& arg) {
  IUnknown* object = nullptr;
  if (arg.vt == VT_DISPATCH) object = arg.pdispVal;
  if (arg.vt == VT_UNKNOWN) object = arg.punkVal;
  if (!object) return nullptr;
  if (ComPtr<Iquenlin2> direct = com::QueryInterfacePtr<Iquenlin2>(object)) return direct;
  ComPtr<IDispatch> dispatch = com::QueryInterfacePtr<IDispatch>(object);
  return dispatch ? com::MakeDispatchProxy<Iquenlin2>(dispatch.Get()) : nullptr;
}

}  // namespace

EventSink EventLogSink(std::string source) {
  return [source = std::move(source)](std::string_view message) {
    HANDLE handle = RegisterEventSourceA(nullptr, source.c_str());
    if (!handle) return;
    const std::string text(message);
    const char* strings[] = {text.c_str()};
    ReportEventA(handle, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(handle);
  };
}

HRESULT Jorvex2Impl::OnTestMUHeaderBlock(BSTR bstrNamespace, BSTR bstrLocalName,
                                         VARIANT_BOOL* pResult) {
  if (!pResult) return E_POINTER;
  const std::u16string_view name = BstrView(bstrLocalName);
  const bool ours = BstrView(bstrNamespace) == xml::kDigestAuthNamespace &&
                    (name == kClientAuthBlock || name == kInitChallengeBlock);
  *pResult = ours ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT Jorvex2Impl::OnProcessHeader(VARIANT SOAPMsgInterface, VARIANT_BOOL* pResult) {
  if (!pResult) return E_POINTER;
  ComPtr<Iquenlin2> message = MessageOf(SOAPMsgInterface);
  if (!message) return E_FAIL;
  VARIANT_BOOL request = VARIANT_FALSE;
  if (FAILED(message->IsRequestPhase(&request))) return E_FAIL;
  const bool result = IsTrue(request) ? RequestLeg(message.Get()) : ResponseLeg(message.Get());
  *pResult = result ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

bool Jorvex2Impl::TakeBlock(Iquenlin2* message, std::u16string_view name,
                            ComPtr<IDispatch>* content) {
  Bstr ns(xml::kDigestAuthNamespace), block(name);
  Variant value;
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (SUCCEEDED(message->GetHeaderElem(ns.Get(), block.Get(), &value, &ok)) && IsTrue(ok)) {
    IDispatch* object = ObjectOf(value);
    if (!object) return false;
    *content = ComPtr<IDispatch>(object);
    return true;
  }
  // Sent without an encoding style, or on an endpoint whose description does
  // not type it, the block stays literal. Taking it also answers for a
  // mandatory one: the processor understands it whatever its form.
  Bstr literal;
  ok = VARIANT_FALSE;
  if (FAILED(message->GetHeaderElemLiteral(ns.Get(), block.Get(), literal.Receive(), &ok)) ||
      !IsTrue(ok)) {
    return false;
  }
  ComPtr<ISoapStruct> s = StructOfLiteral(literal.View());
  if (!s) return false;
  ComPtr<IDispatch> object = com::QueryInterfacePtr<IDispatch>(s.Get());
  if (!object) return false;
  *content = std::move(object);
  return true;
}

bool Jorvex2Impl::ReadMembers(IDispatch* content, Block block) {
  ComPtr<ISoapStruct> s = com::QueryInterfacePtr<ISoapStruct>(content);
  if (!s) return false;
  auto get = [&](std::u16string_view name, Variant* out) {
    Bstr n(name);
    VARIANT_BOOL ok = VARIANT_FALSE;
    return SUCCEEDED(s->GetMember(n.Get(), out, &ok)) && IsTrue(ok);
  };
  auto text = [&](std::u16string_view name, std::optional<std::string>* out,
                  std::u16string* wide = nullptr) {
    Variant v;
    if (!get(name, &v)) return;
    if (std::optional<std::u16string> t = TextOf(v)) {
      *out = text::Narrow(*t);
      if (wide) *wide = std::move(*t);
    }
  };
  if (block == Block::ClientAuth) {
    text(kNonceMember, &nonce_);
    Variant auth;
    if (get(kAuthMember, &auth)) {
      auth_present_ = true;
      auth_ = ProofOf(auth);
    }
  }
  text(kUserIdMember, &user_id_);
  text(kRealmMember, &realm_);
  text(kClientNonceMember, &client_nonce_, &client_nonce_wide_);
  return true;
}

bool Jorvex2Impl::RequestLeg(Iquenlin2* message) {
  status_ = kStatusNoCredentials;
  nonce_.reset();
  user_id_.reset();
  realm_.reset();
  client_nonce_.reset();
  client_nonce_wide_.clear();
  auth_present_ = false;
  auth_.reset();
  user_hash_.clear();
  authenticated_ = false;

  ComPtr<IDispatch> content;
  Block block = Block::None;
  if (TakeBlock(message, kClientAuthBlock, &content)) {
    block = Block::ClientAuth;
    // Taken so that a mandatory one does not fail the mustUnderstand check
    // of a request this block answers for.
    ComPtr<IDispatch> ignored;
    TakeBlock(message, kInitChallengeBlock, &ignored);
  } else if (TakeBlock(message, kInitChallengeBlock, &content)) {
    block = Block::InitChallenge;
  }
  // A content that is no struct counts as no credentials.
  if (block != Block::None && !ReadMembers(content.Get(), block)) block = Block::None;

  if (block == Block::ClientAuth && auth_present_ && user_id_ && realm_ && nonce_) {
    if (Verify(message)) {
      authenticated_ = true;
      return true;
    }
    AddChallenge(message);
  } else if (block == Block::InitChallenge && user_id_ && realm_) {
    if (!AddInitChallengeAnswer(message)) AddChallenge(message);
  } else {
    AddChallenge(message);
  }
  SetAuthFault(message);
  return true;
}

std::string Jorvex2Impl::ServiceRealm(Iquenlin2* message) const {
  Bstr service;
  message->GetServiceName(service.Receive());
  return context_->config.ServiceRealm(text::Narrow(service.View()));
}

bool Jorvex2Impl::CheckRealmAndUser(Iquenlin2* message) {
  if (*realm_ != ServiceRealm(message)) {
    Log("Invalid Realm name in request");
    status_ = kStatusInvalidRealm;
    return false;
  }
  const std::string* password = context_->config.FindPassword(*realm_, *user_id_);
  if (!password) {
    Log("Invalid User ID in request");
    status_ = kStatusInvalidUser;
    return false;
  }
  user_hash_ = UserHash(*user_id_, *realm_, *password);
  return true;
}

bool Jorvex2Impl::Verify(Iquenlin2* message) {
  if (!CheckRealmAndUser(message)) return false;
  if (!context_->nonces.TakeIfFresh(*nonce_)) {
    Log("Expired Server Nonce in request");
    status_ = kStatusExpiredNonce;
    return false;
  }
  const Digest expected =
      ClientProof(user_hash_, *nonce_, client_nonce_ ? &*client_nonce_ : nullptr);
  if (!auth_ || !SameDigest(expected, auth_->data())) {
    Log("Invalid Client response in request");
    status_ = kStatusInvalidResponse;
    return false;
  }
  status_ = kStatusAuthenticated;
  return true;
}

void Jorvex2Impl::AddChallenge(Iquenlin2* message) {
  // Renewed even without a struct, so the presented nonce never stays usable.
  nonce_ = context_->nonces.Renew(nonce_.value_or(""), NonceKind::Unproven);
  realm_ = ServiceRealm(message);
  ComPtr<ISoapStruct> s = NewStruct();
  if (!s) return;
  if (!SetText(s.Get(), kStatusMember, status_) || !SetText(s.Get(), kNonceMember, *nonce_) ||
      !SetText(s.Get(), kRealmMember, *realm_)) {
    return;
  }
  AddBlock(message, kChallengeBlock, s.Get(), /*toFault=*/true);
}

bool Jorvex2Impl::FillNextChallenge(ISoapStruct* s) {
  if (!SetText(s, kStatusMember, status_) || !SetText(s, kNonceMember, *nonce_)) return false;
  if (!client_nonce_) return true;
  return SetMember(s, kClientNonceMember, Variant::FromText(client_nonce_wide_)) &&
         SetMember(s, kServerAuthMember, BytesValue(ServerProof(user_hash_, *nonce_,
                                                                *client_nonce_)));
}

bool Jorvex2Impl::AddInitChallengeAnswer(Iquenlin2* message) {
  if (!CheckRealmAndUser(message)) return false;
  ComPtr<ISoapStruct> s = NewStruct();
  if (!s) return false;
  const NonceStore::Nonce issued = context_->nonces.Issue();
  nonce_ = issued.text;
  // Unproven: a known user name is all it took.
  context_->nonces.Record(issued, NonceKind::Unproven);
  return FillNextChallenge(s.Get()) &&
         AddBlock(message, kNextChallengeBlock, s.Get(), /*toFault=*/true);
}

bool Jorvex2Impl::ResponseLeg(Iquenlin2* message) {
  if (!authenticated_) return true;
  ComPtr<ISoapStruct> s = NewStruct();
  if (!s) return false;
  // The only nonce a flood of challenges cannot push out.
  nonce_ = context_->nonces.Renew(*nonce_, NonceKind::Chained);
  if (!FillNextChallenge(s.Get())) return false;
  VARIANT_BOOL fault = VARIANT_FALSE;
  message->IsSOAPFault(&fault);
  return AddBlock(message, kNextChallengeBlock, s.Get(), /*toFault=*/IsTrue(fault));
}

void Jorvex2Impl::SetAuthFault(Iquenlin2* message) {
  LONG version = 0;
  message->GetSOAPVersion(&version);
  Bstr text(kAuthFaultText);
  VARIANT_BOOL ignored = VARIANT_FALSE;
  if (version == 11) {
    Bstr code(kAuthFaultCode11), codeNs(xml::kSoap11EnvelopeNamespace);
    message->SetSOAPFault(code.Get(), codeNs.Get(), text.Get(), VARIANT_FALSE, &ignored);
    return;
  }
  Bstr code(kAuthFaultCode12), codeNs(xml::kSoap12EnvelopeNamespace), empty(u""),
      lang(kAuthFaultLang);
  message->SetSOAP12Fault(code.Get(), codeNs.Get(), empty.Get(), empty.Get(), text.Get(),
                          lang.Get(), &ignored);
}

void Jorvex2Impl::Log(std::string_view text) const {
  if (context_->log) context_->log(text);
}

HRESULT Jorvex2Factory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  Jorvex2Impl* created = new (std::nothrow) Jorvex2Impl(context_);
  if (!created) return E_OUTOFMEMORY;
  const HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  return hr;
}

HRESULT Jorvex2Factory::LockServer(BOOL lock) {
  if (lock) {
    CoAddRefServerProcess();
  } else {
    CoReleaseServerProcess();
  }
  return S_OK;
}

}  // namespace digestauth
