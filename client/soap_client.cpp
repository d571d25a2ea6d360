#include "client/soap_client.h"

#include <cstdio>

#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"
#include "xml/utf8.h"

namespace client {

namespace {

// False for bytes that are not UTF-8 or hold a NUL: either would bind a name
// other than the one given.
bool DecodeName(std::string_view bytes, std::u16string* out) {
  out->clear();
  if (bytes.empty()) return true;
  if (bytes.find('\0') != bytes.npos) return false;
  return xml::Utf8ToWide(bytes, *out) != 0;
}

bool IsTrue(VARIANT_BOOL b) { return b == VARIANT_TRUE; }

// Ends the exchange's handlers however the exchange ends.
class HandlerRelease {
 public:
  explicit HandlerRelease(HeaderHandlerChain& chain) : chain_(chain) {}
  ~HandlerRelease() { chain_.ReleaseAll(); }
  HandlerRelease(const HandlerRelease&) = delete;
  HandlerRelease& operator=(const HandlerRelease&) = delete;

 private:
  HeaderHandlerChain& chain_;
};

bool IsFault(Iquenlin2* message) {
  VARIANT_BOOL fault = VARIANT_FALSE;
  return SUCCEEDED(message->IsSOAPFault(&fault)) && IsTrue(fault);
}

// Calls a method whose only outcome is its VARIANT_BOOL result.
template <typename Call>
bool Succeeds(Call call) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  return SUCCEEDED(call(&ok)) && IsTrue(ok);
}

}  // namespace

SoapClient::SoapClient(const ProxyProfile& profile) : proxy_(profile) {}

SoapClient::SoapClient(const ProxyProfile& profile, uint32_t timeout_ms)
    : proxy_(profile, timeout_ms) {}

SoapClient::~SoapClient() { ReleaseObjects(); }

bool SoapClient::Initialize(std::string_view wsdl_url, std::string_view service,
                            std::string_view port, std::string_view node_uri,
                            std::string_view user_agent,
                            const std::vector<std::u16string>& handler_prog_ids,
                            bool explicit_typing, bool force_dime, int32_t soap_version) {
  // A reader and message of an earlier binding must neither leak nor answer
  // for the names given now.
  ReleaseObjects();
  if (!DecodeName(wsdl_url, &wsdl_url_) || !DecodeName(service, &service_name_) ||
      !DecodeName(port, &port_name_) || !DecodeName(node_uri, &node_uri_)) {
    return false;
  }
  soap_version_ = soap_version;
  if (use_proxy_ && wsdl_url_.find(u"http://") != std::u16string::npos) {
    char number[16];
    std::snprintf(number, sizeof number, ":%d/", proxy_port_);
    std::u16string prefix;
    if (!DecodeName("http://" + proxy_host_ + number, &prefix)) return false;
    wsdl_url_.insert(0, prefix);
  }
  user_agent_ = user_agent;

  ComPtr<Idorvish2> reader;
  if (FAILED(CoCreateInstance(CLSID_dorvish2, nullptr, CLSCTX_SERVER, IID_Idorvish2,
                              reader.ReceiveVoid())) ||
      !reader) {
    return false;
  }
  {
    Bstr svc(service_name_), prt(port_name_), url(wsdl_url_);
    if (!Succeeds([&](VARIANT_BOOL* ok) {
          return reader->ReadServiceDesc(svc.Get(), prt.Get(), url.Get(), ok);
        })) {
      return false;
    }
  }
  reader_ = std::move(reader);
  {
    Bstr host, uri;
    INT number = 0;
    VARIANT_BOOL found = VARIANT_FALSE;
    reader_->GetSOAPAddress(host.Receive(), uri.Receive(), &number, &found);
    endpoint_host_ = text::Narrow(host.View());
    endpoint_path_ = text::Narrow(uri.View());
    endpoint_port_ = number;
  }
  if (soap_version_ == 0) {
    soap_version_ = 11;
    Bstr binding;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (SUCCEEDED(reader_->GetSOAPBindingVersion(binding.Receive(), &ok)) && IsTrue(ok) &&
        binding.View() == xml::kWsdlSoap12Namespace) {
      soap_version_ = 12;
    }
  }
  handler_prog_ids_ = handler_prog_ids;
  use_handlers_ = !handler_prog_ids_.empty();
  explicit_typing_ = explicit_typing;
  force_dime_ = force_dime;
  return CreateMessage();
}

bool SoapClient::CreateMessage() {
  if (!reader_) return false;
  ReleaseMessageObject();
  ComPtr<IDispatch> dispatch = com::QueryInterfacePtr<IDispatch>(reader_.Get());
  if (!dispatch) return false;
  ComPtr<Iquenlin2> message;
  if (FAILED(CoCreateInstance(CLSID_quenlin2, nullptr, CLSCTX_SERVER, IID_Iquenlin2,
                              message.ReceiveVoid())) ||
      !message) {
    return false;
  }
  Bstr svc(service_name_), prt(port_name_), node(node_uri_), empty(u"");
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (FAILED(message->Initialize(svc.Get(), prt.Get(), node.Get(), empty.Get(), empty.Get(),
                                 explicit_typing_ ? VARIANT_TRUE : VARIANT_FALSE,
                                 node_type_ ? VARIANT_TRUE : VARIANT_FALSE, dispatch.Get(),
                                 &ok))) {
    ok = VARIANT_FALSE;
  }
  message->SetSOAPVersion(soap_version_);
  if (!IsTrue(ok)) return false;
  message_ = std::move(message);
  return true;
}

bool SoapClient::AddHeader(std::u16string_view ns, std::u16string_view name,
                           const VARIANT& content, bool must_understand,
                           std::u16string_view actor) {
  if (!message_) return false;
  const Bstr ns_text(ns), name_text(name), actor_text(actor);
  VARIANT_BOOL ok = VARIANT_FALSE;
  return SUCCEEDED(message_->AddHeaderElem(ns_text.Get(), name_text.Get(), content,
                                           must_understand ? VARIANT_TRUE : VARIANT_FALSE,
                                           actor_text.Get(), &ok)) &&
         IsTrue(ok);
}

bool SoapClient::GetHeader(std::u16string_view ns, std::u16string_view name,
                           VARIANT* content) const {
  if (!message_) return false;
  const Bstr ns_text(ns), name_text(name);
  VARIANT_BOOL ok = VARIANT_FALSE;
  return SUCCEEDED(message_->GetHeaderElem(ns_text.Get(), name_text.Get(), content, &ok)) &&
         IsTrue(ok);
}

bool SoapClient::IsFaultResponse() const { return message_ && IsFault(message_.Get()); }

void SoapClient::ReleaseMessageObject() { message_.Reset(); }

void SoapClient::ReleaseReader() { reader_.Reset(); }

void SoapClient::ReleaseObjects() {
  ReleaseMessageObject();
  ReleaseReader();
}

bool SoapClient::Invoke(std::u16string_view method, const std::u16string* names, VARIANT* values,
                        int32_t count, VARIANT* result) {
  return Exchange("POST", "", "", method, names, values, count, result);
}

bool SoapClient::Exchange(std::string_view http_method, std::string_view extra_path,
                          std::string_view query, std::u16string_view method,
                          const std::u16string* names, VARIANT* values, int32_t count,
                          VARIANT* result) {
  proxy_.ClearLastExchange();
  if (!message_ || !reader_) return false;
  const bool post = http_method == "POST";
  if (!post && http_method != "GET") return false;
  if (count < 0 || (count > 0 && (names == nullptr || values == nullptr))) return false;
  // The transport would take 0 as its default port: never send elsewhere
  // than the document says.
  if (endpoint_port_ < 1 || endpoint_port_ > 65535) return false;
  Iquenlin2* message = message_.Get();
  const Bstr methodName(method);

  {
    Bstr style;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (FAILED(reader_->GetOperationBindingStyle(methodName.Get(), style.Receive(), &ok)) ||
        !IsTrue(ok) || style.View() != u"rpc") {
      return false;
    }
  }
  bool action_required = true;
  if (soap_version_ > 11) {
    VARIANT_BOOL required = VARIANT_FALSE, ok = VARIANT_FALSE;
    if (SUCCEEDED(reader_->SOAPActionRequired(methodName.Get(), &required, &ok)) && IsTrue(ok)) {
      action_required = IsTrue(required);
    }
  }
  std::string soap_action;
  {
    Bstr action;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (FAILED(reader_->GetMethodSOAPAction(methodName.Get(), action.Receive(), &ok)) ||
        !IsTrue(ok)) {
      return false;
    }
    soap_action = text::Narrow(action.View());
  }
  message->SetMethodName(methodName.Get());
  {
    Bstr ns;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (FAILED(reader_->GetMethodNamespaceURI(methodName.Get(), ns.Receive(), &ok)) ||
        !IsTrue(ok)) {
      return false;
    }
    message->SetMethodNS(ns.Get());
  }
  if (post) {
    const Bstr empty(u"");
    for (int32_t i = 0; i < count; ++i) {
      const Bstr name(names[i]);
      if (!Succeeds([&](VARIANT_BOOL* ok) {
            return reader_->IsInputMsgPart(methodName.Get(), name.Get(), ok);
          })) {
        continue;
      }
      const bool out = Succeeds([&](VARIANT_BOOL* ok) {
        return reader_->IsOutputMsgPart(methodName.Get(), name.Get(), ok);
      });
      if (!Succeeds([&](VARIANT_BOOL* ok) {
            return message->AddMethodParam(empty.Get(), name.Get(), values[i], VARIANT_TRUE,
                                           out ? VARIANT_TRUE : VARIANT_FALSE, ok);
          })) {
        return false;
      }
    }
  }

  const HandlerRelease release(handlers_);
  if (use_handlers_) {
    if (!handlers_.CreateHandlers(handler_prog_ids_, message)) return false;
    if (post) {
      handlers_.ProcessHeaders(message);
      if (IsFault(message)) return false;
    }
  }
  if (post && !Succeeds([&](VARIANT_BOOL* ok) { return message->Serialize(ok); })) return false;

  const std::string path = endpoint_path_ + std::string(extra_path);
  if (!proxy_.TryPost(soap_action, action_required, endpoint_host_, endpoint_port_, http_method,
                      path, query, user_agent_, message, soap_version_, force_dime_)) {
    return false;
  }

  message->ClearMethodParams();
  message->ClearHeaderElems();
  message->SetRequestPhase(VARIANT_FALSE);
  // A 204 answer has no envelope: the message still holds the request, which
  // must not be read back as the answer.
  if (proxy_.HttpStatus() == 204) return true;
  if (!Succeeds([&](VARIANT_BOOL* ok) { return message->Deserialize(ok); })) return false;
  if (use_handlers_) {
    handlers_.ProcessHeaders(message);
    handlers_.ReleaseAll();
    if (IsFault(message)) return false;
  }
  if (!Succeeds([&](VARIANT_BOOL* ok) { return message->ProcessRPC(ok); })) return false;

  if (proxy_.HttpStatus() == 200) {
    Bstr ns, name;
    Variant content;
    VARIANT_BOOL in = VARIANT_FALSE, out = VARIANT_FALSE, more = VARIANT_FALSE;
    LONG position = 0;
    message->GetFirstMethodParam(ns.Receive(), name.Receive(), &content, &in, &out, &position,
                                 &more);
    while (IsTrue(more)) {
      for (int32_t i = 0; i < count; ++i) {
        if (names[i] == name.View()) VariantCopy(&values[i], &content);
      }
      VariantClear(&content);
      more = VARIANT_FALSE;
      message->GetNextMethodParam(ns.Receive(), name.Receive(), &content, &in, &out, &position,
                                  &more);
    }
    if (result != nullptr) {
      Variant value;
      message->GetReturnValue(&value);
      VariantCopy(result, &value);
    }
  }
  return true;
}

}  // namespace client
