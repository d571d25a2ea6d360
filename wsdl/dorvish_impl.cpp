#include "wsdl/dorvish_impl.h"

#include <new>
#include <string>

#include "platform/text/text.h"

namespace wsdl {
namespace {

using View = std::u16string_view;

HRESULT Answer(VARIANT_BOOL* result, bool ok) {
  if (result) *result = ok ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

void Put(BSTR* out, View text) { *out = SysAllocString(text); }

// Runs `query` into a string and writes it to *out on success.
template <typename F>
HRESULT StringOut(BSTR* out, VARIANT_BOOL* result, F query) {
  if (!out) return Answer(result, false);
  std::u16string value;
  if (!query(&value)) return Answer(result, false);
  Put(out, value);
  return Answer(result, true);
}

// Runs `query` into a type name and namespace and writes both on success.
template <typename F>
HRESULT TypeOut(BSTR* type, BSTR* type_ns, VARIANT_BOOL* result, F query) {
  if (!type || !type_ns) return Answer(result, false);
  QName value;
  if (!query(&value)) return Answer(result, false);
  Put(type, value.name);
  Put(type_ns, value.ns);
  return Answer(result, true);
}

}  // namespace

HRESULT DorvishImpl::FinalConstruct() {
  client_.reset(new (std::nothrow) WsdlClient());
  return client_ ? S_OK : E_FAIL;
}

HRESULT DorvishImpl::ReadServiceDesc(BSTR service, BSTR port, BSTR url, VARIANT_BOOL* result) {
  return Answer(result, client_->LoadServiceDescription(BstrView(service), BstrView(port),
                                                        text::Narrow(BstrView(url))));
}

HRESULT DorvishImpl::GetMethodSOAPAction(BSTR method, BSTR* action, VARIANT_BOOL* result) {
  return StringOut(action, result, [&](std::u16string* out) {
    return client_->GetMethodSOAPAction(BstrView(method), out);
  });
}

HRESULT DorvishImpl::GetMethodNamespaceURI(BSTR method, BSTR* ns, VARIANT_BOOL* result) {
  return StringOut(ns, result, [&](std::u16string* out) {
    return client_->GetMethodNamespaceURI(BstrView(method), out);
  });
}

HRESULT DorvishImpl::GetSOAPAddress(BSTR* host, BSTR* uri, INT* port, VARIANT_BOOL* result) {
  if (!host || !uri || !port) return Answer(result, false);
  const SoapAddress address = client_->GetSOAPAddress();
  Put(host, address.host);
  Put(uri, address.uri);
  *port = address.port;
  return Answer(result, true);
}

HRESULT DorvishImpl::GetSOAPInputBodyUse(BSTR op, BSTR* use, VARIANT_BOOL* result) {
  return StringOut(use, result, [&](std::u16string* out) {
    return client_->GetSOAPBodyUse(Direction::Input, BstrView(op), out);
  });
}

HRESULT DorvishImpl::GetSOAPOutputBodyUse(BSTR op, BSTR* use, VARIANT_BOOL* result) {
  return StringOut(use, result, [&](std::u16string* out) {
    return client_->GetSOAPBodyUse(Direction::Output, BstrView(op), out);
  });
}

HRESULT DorvishImpl::GetSOAPInputBodyEncStyle(BSTR op, BSTR* style, VARIANT_BOOL* result) {
  return StringOut(style, result, [&](std::u16string* out) {
    return client_->GetSOAPBodyEncStyle(Direction::Input, BstrView(op), out);
  });
}

HRESULT DorvishImpl::GetSOAPOutputBodyEncStyle(BSTR op, BSTR* style, VARIANT_BOOL* result) {
  return StringOut(style, result, [&](std::u16string* out) {
    return client_->GetSOAPBodyEncStyle(Direction::Output, BstrView(op), out);
  });
}

HRESULT DorvishImpl::GetSOAPBindingStyle(BSTR* style, VARIANT_BOOL* result) {
  return StringOut(style, result,
                   [&](std::u16string* out) { return client_->GetSOAPBindingStyle(out); });
}

HRESULT DorvishImpl::GetSOAPBindingTransport(BSTR* transport, VARIANT_BOOL* result) {
  return StringOut(transport, result,
                   [&](std::u16string* out) { return client_->GetSOAPBindingTransport(out); });
}

HRESULT DorvishImpl::GetMethodNamesBySOAPAction(BSTR action, BSTR* method, BSTR* method_ns,
                                                VARIANT_BOOL* result) {
  if (!method || !method_ns) return Answer(result, false);
  std::u16string name, ns;
  if (!client_->GetMethodNamesBySOAPAction(BstrView(action), &name, &ns)) {
    return Answer(result, false);
  }
  Put(method, name);
  Put(method_ns, ns);
  return Answer(result, true);
}

HRESULT DorvishImpl::IsMethodParam(BSTR method, BSTR param, VARIANT_BOOL* result) {
  return Answer(result, client_->IsMethodParam(BstrView(method), BstrView(param)));
}

HRESULT DorvishImpl::GetInputMsgPartType(BSTR method, BSTR part, BSTR* type, BSTR* type_ns,
                                         VARIANT_BOOL* result) {
  return TypeOut(type, type_ns, result, [&](QName* out) {
    return client_->GetMsgPartType(Direction::Input, BstrView(method), BstrView(part), out);
  });
}

HRESULT DorvishImpl::GetOutputMsgPartType(BSTR method, BSTR part, BSTR* type, BSTR* type_ns,
                                          VARIANT_BOOL* result) {
  return TypeOut(type, type_ns, result, [&](QName* out) {
    return client_->GetMsgPartType(Direction::Output, BstrView(method), BstrView(part), out);
  });
}

HRESULT DorvishImpl::IsInputMsgPart(BSTR method, BSTR part, VARIANT_BOOL* result) {
  return Answer(result, client_->IsMsgPart(Direction::Input, BstrView(method), BstrView(part)));
}

HRESULT DorvishImpl::IsOutputMsgPart(BSTR method, BSTR part, VARIANT_BOOL* result) {
  return Answer(result, client_->IsMsgPart(Direction::Output, BstrView(method), BstrView(part)));
}

namespace {
// `position` is read only when the method takes it in (`in_out`).
template <typename F>
HRESULT ParamOut(BSTR* name, LONG* position, bool in_out, VARIANT_BOOL* result, F query) {
  if (!name || !position) return Answer(result, false);
  std::u16string value;
  int32_t at = in_out ? *position : 0;
  if (!query(&value, &at)) return Answer(result, false);
  Put(name, value);
  *position = at;
  return Answer(result, true);
}
}  // namespace

HRESULT DorvishImpl::GetFirstInParamName(BSTR method, BSTR* name, LONG* position,
                                         VARIANT_BOOL* result) {
  return ParamOut(name, position, /*in_out=*/false, result, [&](std::u16string* out, int32_t* at) {
    return client_->GetFirstParamName(Direction::Input, BstrView(method), out, at);
  });
}

HRESULT DorvishImpl::GetNextInParamName(BSTR method, BSTR* name, LONG* position,
                                        VARIANT_BOOL* result) {
  return ParamOut(name, position, /*in_out=*/true, result, [&](std::u16string* out, int32_t* at) {
    return client_->GetNextParamName(Direction::Input, BstrView(method), out, at);
  });
}

HRESULT DorvishImpl::GetFirstOutParamName(BSTR method, BSTR* name, LONG* position,
                                          VARIANT_BOOL* result) {
  return ParamOut(name, position, /*in_out=*/false, result, [&](std::u16string* out, int32_t* at) {
    return client_->GetFirstParamName(Direction::Output, BstrView(method), out, at);
  });
}

HRESULT DorvishImpl::GetNextOutParamName(BSTR method, BSTR* name, LONG* position,
                                         VARIANT_BOOL* result) {
  return ParamOut(name, position, /*in_out=*/true, result, [&](std::u16string* out, int32_t* at) {
    return client_->GetNextParamName(Direction::Output, BstrView(method), out, at);
  });
}

HRESULT DorvishImpl::GetHeaderElemType(BSTR name, BSTR ns, BSTR* type, BSTR* type_ns,
                                       VARIANT_BOOL* result) {
  return TypeOut(type, type_ns, result, [&](QName* out) {
    return client_->GetHeaderElemType(BstrView(name), BstrView(ns), out);
  });
}

HRESULT DorvishImpl::GetDefinitionsTNS(BSTR* tns, VARIANT_BOOL* result) {
  return StringOut(tns, result, [&](std::u16string* out) {
    *out = client_->GetDefinitionsTNS();
    return true;
  });
}

HRESULT DorvishImpl::SetUserAgent(BSTR user_agent, VARIANT_BOOL* result) {
  client_->SetUserAgent(text::Narrow(BstrView(user_agent)));
  return Answer(result, true);
}

HRESULT DorvishImpl::GetUserAgent(BSTR* user_agent, VARIANT_BOOL* result) {
  return StringOut(user_agent, result, [&](std::u16string* out) {
    *out = text::Widen(client_->GetUserAgent());
    return true;
  });
}

HRESULT DorvishImpl::SetHTTPTimeout(INT period, VARIANT_BOOL* result) {
  client_->SetHTTPTimeout(period);
  return Answer(result, true);
}

HRESULT DorvishImpl::SetHTTPHeaders(BSTR headers, VARIANT_BOOL* result) {
  client_->SetHTTPHeaders(text::Narrow(BstrView(headers)));
  return Answer(result, true);
}

HRESULT DorvishImpl::GetStructMemberType(BSTR struct_name, BSTR struct_ns, BSTR member,
                                         BSTR member_ns, BSTR* type, BSTR* type_ns,
                                         VARIANT_BOOL* result) {
  return TypeOut(type, type_ns, result, [&](QName* out) {
    return client_->GetStructMemberType(BstrView(struct_name), BstrView(struct_ns),
                                        BstrView(member), BstrView(member_ns), out);
  });
}

HRESULT DorvishImpl::GetComplexBaseType(BSTR name, BSTR ns, BSTR* base, BSTR* base_ns,
                                        VARIANT_BOOL* result) {
  return TypeOut(base, base_ns, result, [&](QName* out) {
    return client_->GetComplexBaseType(BstrView(name), BstrView(ns), out);
  });
}

HRESULT DorvishImpl::GetArrayType(BSTR name, BSTR ns, BSTR* type, BSTR* type_ns,
                                  VARIANT_BOOL* result) {
  return TypeOut(type, type_ns, result, [&](QName* out) {
    return client_->GetArrayType(BstrView(name), BstrView(ns), out);
  });
}

HRESULT DorvishImpl::GetInputHeaderPartType(BSTR op, BSTR part, BSTR part_ns, BSTR* type,
                                            BSTR* type_ns, VARIANT_BOOL* result) {
  return TypeOut(type, type_ns, result, [&](QName* out) {
    return client_->GetHeaderPartType(Direction::Input, BstrView(op), BstrView(part),
                                      BstrView(part_ns), out);
  });
}

HRESULT DorvishImpl::GetOutputHeaderPartType(BSTR op, BSTR part, BSTR part_ns, BSTR* type,
                                             BSTR* type_ns, VARIANT_BOOL* result) {
  return TypeOut(type, type_ns, result, [&](QName* out) {
    return client_->GetHeaderPartType(Direction::Output, BstrView(op), BstrView(part),
                                      BstrView(part_ns), out);
  });
}

HRESULT DorvishImpl::GetInHeaderFaultPartType(BSTR op, BSTR part, BSTR part_ns, BSTR* type,
                                              BSTR* type_ns, VARIANT_BOOL* result) {
  return TypeOut(type, type_ns, result, [&](QName* out) {
    return client_->GetHeaderFaultPartType(Direction::Input, BstrView(op), BstrView(part),
                                           BstrView(part_ns), out);
  });
}

HRESULT DorvishImpl::GetOutHeaderFaultPartType(BSTR op, BSTR part, BSTR part_ns, BSTR* type,
                                               BSTR* type_ns, VARIANT_BOOL* result) {
  return TypeOut(type, type_ns, result, [&](QName* out) {
    return client_->GetHeaderFaultPartType(Direction::Output, BstrView(op), BstrView(part),
                                           BstrView(part_ns), out);
  });
}

HRESULT DorvishImpl::GetFaultDetailPartType(BSTR op, BSTR part, BSTR part_ns, BSTR* type,
                                            BSTR* type_ns, VARIANT_BOOL* result) {
  return TypeOut(type, type_ns, result, [&](QName* out) {
    return client_->GetFaultDetailPartType(BstrView(op), BstrView(part), BstrView(part_ns), out);
  });
}

HRESULT DorvishImpl::GetArrayDims(BSTR name, BSTR ns, LONG* dims, VARIANT_BOOL* result) {
  if (!dims) return Answer(result, false);
  int32_t rank = 0;
  if (!client_->GetArrayDims(BstrView(name), BstrView(ns), &rank)) return Answer(result, false);
  *dims = rank;
  return Answer(result, true);
}

HRESULT DorvishImpl::GetOperationReturnType(BSTR method, BSTR part, BSTR* type, BSTR* type_ns,
                                            VARIANT_BOOL* result) {
  return TypeOut(type, type_ns, result, [&](QName* out) {
    return client_->GetOperationReturnType(BstrView(method), BstrView(part), out);
  });
}

HRESULT DorvishImpl::GetOperationBindingStyle(BSTR op, BSTR* style, VARIANT_BOOL* result) {
  return StringOut(style, result, [&](std::u16string* out) {
    return client_->GetOperationBindingStyle(BstrView(op), out);
  });
}

HRESULT DorvishImpl::GetMethodParamIndex(BSTR method, BSTR param, LONG* index,
                                         VARIANT_BOOL* result) {
  if (!index) return Answer(result, false);
  int32_t at = 0;
  if (!client_->GetMethodParamIndex(BstrView(method), BstrView(param), &at)) {
    return Answer(result, false);
  }
  *index = at;
  return Answer(result, true);
}

HRESULT DorvishImpl::GetOutputPartIndex(BSTR method, BSTR part, LONG* index,
                                        VARIANT_BOOL* result) {
  if (!index) return Answer(result, false);
  int32_t at = 0;
  if (!client_->GetMsgPartIndex(Direction::Output, BstrView(method), BstrView(part), &at)) {
    return Answer(result, false);
  }
  *index = at;
  return Answer(result, true);
}

HRESULT DorvishImpl::GetSOAPBindingVersion(BSTR* version_uri, VARIANT_BOOL* result) {
  return StringOut(version_uri, result,
                   [&](std::u16string* out) { return client_->GetSOAPBindingVersion(out); });
}

HRESULT DorvishImpl::GetInputHeaderPartEncStyle(BSTR op, BSTR part, BSTR part_ns, BSTR* style,
                                                VARIANT_BOOL* result) {
  return StringOut(style, result, [&](std::u16string* out) {
    return client_->GetHeaderPartEncStyle(Direction::Input, BstrView(op), BstrView(part),
                                          BstrView(part_ns), out);
  });
}

HRESULT DorvishImpl::GetOutputHeaderPartEncStyle(BSTR op, BSTR part, BSTR part_ns, BSTR* style,
                                                 VARIANT_BOOL* result) {
  return StringOut(style, result, [&](std::u16string* out) {
    return client_->GetHeaderPartEncStyle(Direction::Output, BstrView(op), BstrView(part),
                                          BstrView(part_ns), out);
  });
}

HRESULT DorvishImpl::GetInHeaderFaultPartEncStyle(BSTR op, BSTR part, BSTR part_ns, BSTR* style,
                                                  VARIANT_BOOL* result) {
  return StringOut(style, result, [&](std::u16string* out) {
    return client_->GetHeaderFaultPartEncStyle(Direction::Input, BstrView(op), BstrView(part),
                                               BstrView(part_ns), out);
  });
}

HRESULT DorvishImpl::GetOutHeaderFaultPartEncStyle(BSTR op, BSTR part, BSTR part_ns, BSTR* style,
                                                   VARIANT_BOOL* result) {
  return StringOut(style, result, [&](std::u16string* out) {
    return client_->GetHeaderFaultPartEncStyle(Direction::Output, BstrView(op), BstrView(part),
                                               BstrView(part_ns), out);
  });
}

HRESULT DorvishImpl::SOAPActionRequired(BSTR op, VARIANT_BOOL* required, VARIANT_BOOL* result) {
  if (!required) return Answer(result, false);
  bool flag = false;
  if (!client_->SOAPActionRequired(BstrView(op), &flag)) return Answer(result, false);
  *required = flag ? VARIANT_TRUE : VARIANT_FALSE;
  return Answer(result, true);
}

HRESULT DorvishImpl::GetFaultDetailEncStyle(BSTR op, BSTR part, BSTR part_ns, BSTR* style,
                                            VARIANT_BOOL* result) {
  return StringOut(style, result, [&](std::u16string* out) {
    return client_->GetFaultDetailEncStyle(BstrView(op), BstrView(part), BstrView(part_ns), out);
  });
}

HRESULT DorvishImpl::GetFaultDetailUse(BSTR op, BSTR part, BSTR part_ns, BSTR* use,
                                       VARIANT_BOOL* result) {
  return StringOut(use, result, [&](std::u16string* out) {
    return client_->GetFaultDetailUse(BstrView(op), BstrView(part), BstrView(part_ns), out);
  });
}

HRESULT DorvishImpl::GetArrayTypeLit(BSTR name, BSTR ns, BSTR* item_type, BSTR* item_type_ns,
                                     BSTR* item_name, BSTR* item_ns, VARIANT_BOOL* result) {
  if (!item_type || !item_type_ns || !item_name || !item_ns) return Answer(result, false);
  QName type, element;
  if (!client_->GetArrayTypeLit(BstrView(name), BstrView(ns), &type, &element)) {
    return Answer(result, false);
  }
  Put(item_type, type.name);
  Put(item_type_ns, type.ns);
  Put(item_name, element.name);
  Put(item_ns, element.ns);
  return Answer(result, true);
}

}  // namespace wsdl
