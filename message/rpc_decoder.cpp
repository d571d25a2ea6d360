#include "message/rpc_decoder.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "message/internal/faults.h"
#include "message/message_parser.h"
#include "message/soap_message.h"
#include "message/value_decoder.h"
#include "message/xsd_types.h"
#include "xml/codecs.h"
#include "xml/namespaces.h"

namespace message {

namespace {

using internal::FormatName;
using internal::ThrowClient;

constexpr std::u16string_view kNoEncoding =
    u"http://www.w3.org/2003/05/soap-envelope/encoding/none";
constexpr char16_t kNoWrapper[] = u"Unable to process RPC representation in SOAP message.";

std::u16string_view ExpectedEncoding(int version) {
  return version == xml::kSoapVersion11 ? xml::kSoap11EncodingNamespace
                                        : xml::kSoap12EncodingNamespace;
}

// `ok` by reference: it is read after the call that fills it has run.
bool Ok(HRESULT hr, const VARIANT_BOOL& ok) { return SUCCEEDED(hr) && ok == VARIANT_TRUE; }

[[noreturn]] void ThrowBadParameter(int version, std::u16string_view name) {
  const std::u16string text = FormatName("Bad parameter: '%s'.", name);
  if (version == xml::kSoapVersion11) ThrowClient(text, true);
  internal::ThrowFault(xml::kFaultClient, u"BadArguments", xml::kSoap12RpcNamespace, text, true);
}

[[noreturn]] void ThrowInternal() {
  internal::ThrowFault(xml::kFaultServer, u"Internal error.", true);
}

bool PartType(Idorvish2* reader, bool input, const Bstr& method, std::u16string_view part,
              Bstr* type, Bstr* type_ns) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  const Bstr name(part);
  const HRESULT hr = input ? reader->GetInputMsgPartType(method.Get(), name.Get(), type->Receive(),
                                                         type_ns->Receive(), &ok)
                           : reader->GetOutputMsgPartType(method.Get(), name.Get(), type->Receive(),
                                                          type_ns->Receive(), &ok);
  return Ok(hr, ok);
}

bool Ask(Idorvish2* reader, HRESULT (Idorvish2::*query)(BSTR, BSTR, VARIANT_BOOL*),
         const Bstr& method, std::u16string_view part) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  const Bstr name(part);
  return Ok((reader->*query)(method.Get(), name.Get(), &ok), ok);
}

std::vector<std::u16string> OutputNames(Idorvish2* reader, const Bstr& method) {
  std::vector<std::u16string> names;
  Bstr name;
  LONG position = 0;
  VARIANT_BOOL ok = VARIANT_FALSE;
  HRESULT hr = reader->GetFirstOutParamName(method.Get(), name.Receive(), &position, &ok);
  while (Ok(hr, ok) && names.size() < kMaxDecodedValues) {
    names.emplace_back(name.View());
    ok = VARIANT_FALSE;
    hr = reader->GetNextOutParamName(method.Get(), name.Receive(), &position, &ok);
  }
  return names;
}

// The output side of an operation: the return value's name is kept, every
// output-only method parameter is added unfilled, in parameter-index order.
// `skip` names the parameters the request already carried.
void AddOutputOnly(SoapMessage& message, Idorvish2* reader, bool literal) {
  const Bstr method(message.GetMethodName());
  struct Pending {
    long index;
    std::u16string name;
  };
  std::vector<Pending> pending;
  for (const std::u16string& name : OutputNames(reader, method)) {
    if (!Ask(reader, &Idorvish2::IsMethodParam, method, name)) {
      message.SetReturnValueName(name);
      continue;
    }
    const bool carried =
        std::any_of(message.MethodParams().begin(), message.MethodParams().end(),
                    [&](const std::unique_ptr<MethodParam>& p) { return p->local_name == name; });
    if (carried) continue;
    LONG index = 0;
    VARIANT_BOOL ok = VARIANT_FALSE;
    const Bstr param(name);
    if (!Ok(reader->GetMethodParamIndex(method.Get(), param.Get(), &index, &ok), ok)) {
      index = static_cast<LONG>(pending.size()) + 0x40000000;
    }
    pending.push_back({index, name});
  }
  std::stable_sort(pending.begin(), pending.end(),
                   [](const Pending& a, const Pending& b) { return a.index < b.index; });
  for (const Pending& p : pending) {
    Bstr type, type_ns;
    Variant value;
    if (PartType(reader, false, method, p.name, &type, &type_ns)) {
      EmptyValueOfKind(reader, type.View(), type_ns.View(), literal, &value);
    }
    if (!message.AddMethodParam(u"", p.name, value, false, true)) ThrowInternal();
  }
}

void CheckWrapperEncoding(const Accessor& wrapper, int version, const Bstr& wsdl_style, bool ok,
                          std::u16string_view text) {
  if (!wrapper.has_encoding_style || !ok || wrapper.encoding_style == wsdl_style.View()) return;
  if (version == xml::kSoapVersion11) ThrowClient(text, true);
  if (wrapper.encoding_style == kNoEncoding) return;
  internal::ThrowEncodingFault(version, text);
}

void DecodeResponse(const MessageParser& parser, SoapMessage& message, Idorvish2* reader,
                    bool literal) {
  if (parser.GetFault()) return;
  const Accessor* wrapper = parser.GetWrapper();
  if (!wrapper) ThrowClient(kNoWrapper, !literal);
  const int version = message.GetSoapVersion();
  const Bstr method(message.GetMethodName());
  if (!literal) {
    Bstr style;
    VARIANT_BOOL ok = VARIANT_FALSE;
    const HRESULT hr = reader->GetSOAPOutputBodyEncStyle(method.Get(), style.Receive(), &ok);
    CheckWrapperEncoding(*wrapper, version, style, Ok(hr, ok),
                         u"encodingStyle on method wrapper conflicts with WSDL definition.");
  }
  std::u16string result_ns, result_name;
  const bool has_result =
      version != xml::kSoapVersion11 && parser.GetResultName(&result_ns, &result_name);
  bool return_seen = false;
  ValueDecoder decoder(parser, message, reader);
  for (const AccessorPtr& child : wrapper->children) {
    bool is_return = false;
    if (!return_seen) {
      if (version != xml::kSoapVersion11) {
        is_return = has_result && child->local_name.str() == result_name &&
                    child->namespace_uri.str() == result_ns;
      } else {
        is_return = !Ask(reader, &Idorvish2::IsMethodParam, method, child->local_name);
      }
    }
    Bstr type, type_ns;
    bool typed;
    if (is_return) {
      VARIANT_BOOL ok = VARIANT_FALSE;
      const Bstr name(child->local_name);
      typed = Ok(reader->GetOperationReturnType(method.Get(), name.Get(), type.Receive(),
                                                type_ns.Receive(), &ok),
                 ok);
    } else {
      typed = PartType(reader, false, method, child->local_name, &type, &type_ns);
    }
    if (!typed) ThrowBadParameter(version, child->local_name);
    Variant value;
    if (literal) {
      decoder.DecodeLiteral(*child, type.View(), type_ns.View(), &value);
    } else {
      decoder.DecodeEncoded(
          *child, type.View(), type_ns.View(), ExpectedEncoding(version),
          ReferenceFaultText("Parameter: '%s' has invalid reference.", child->local_name), &value);
    }
    if (is_return) {
      return_seen = true;
      message.SetReturnValueName(child->local_name);
      if (FAILED(message.SetReturnValue(value))) ThrowInternal();
    } else {
      const bool is_in = Ask(reader, &Idorvish2::IsInputMsgPart, method, child->local_name);
      if (!message.AddMethodParam(u"", child->local_name, value, is_in, true)) ThrowInternal();
    }
  }
  if (has_result && !return_seen) {
    Variant null_value;
    null_value.vt = VT_NULL;
    if (FAILED(message.SetReturnValue(null_value))) ThrowInternal();
  }
}

}  // namespace

void EmptyValueOfKind(Idorvish2* reader, std::u16string_view type, std::u16string_view type_ns,
                      bool literal, VARIANT* out) {
  VariantClear(out);
  if (xml::IsXmlSchemaNamespace(type_ns) || xml::IsSoapEncodingNamespace(type_ns)) {
    int code = 0;
    if (!LookupXsdType(type, &code)) return;
    switch (code) {
      case kTypeAny:
        out->vt = VT_NULL;
        return;
      case kTypeDate:
      case kTypeTime:
      case kTypeDateTime:
        out->vt = VT_DATE;
        out->date = 0;
        return;
      case kTypeBase64:
      case kTypeHex: {
        SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 0);
        if (!bytes) ThrowInternal();
        out->vt = VT_ARRAY | VT_UI1;
        out->parray = bytes;
        return;
      }
      case kTypeBoolean:
        out->vt = VT_BOOL;
        out->boolVal = VARIANT_FALSE;
        return;
      case kTypeAnyUri:
      case VT_BSTR: {
        BSTR empty = SysAllocString(u"");
        if (!empty) ThrowInternal();
        out->vt = VT_BSTR;
        out->bstrVal = empty;
        return;
      }
      default:
        out->decVal = DECIMAL{};  // a zeroed scalar; overlays vt
        out->vt = static_cast<VARTYPE>(code);
        return;
    }
  }
  bool is_array = false;
  const Bstr name(type), ns(type_ns);
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (literal) {
    Bstr item, item_ns, item_name, item_name_ns;
    is_array = Ok(reader->GetArrayTypeLit(name.Get(), ns.Get(), item.Receive(), item_ns.Receive(),
                                          item_name.Receive(), item_name_ns.Receive(), &ok),
                  ok);
  } else {
    Bstr base, base_ns;
    is_array =
        Ok(reader->GetComplexBaseType(name.Get(), ns.Get(), base.Receive(), base_ns.Receive(), &ok),
           ok) &&
        base.View() == u"Array" && xml::IsSoapEncodingNamespace(base_ns.View());
  }
  if (is_array) {
    out->vt = VT_ARRAY | VT_VARIANT;
    out->parray = nullptr;
  } else {
    out->vt = VT_DISPATCH;
    out->pdispVal = nullptr;
  }
}

void DecodeRpcRequestEncoded(const MessageParser& parser, SoapMessage& message, Idorvish2* reader) {
  const Accessor* wrapper = parser.GetWrapper();
  if (!wrapper) ThrowClient(kNoWrapper, true);
  const int version = message.GetSoapVersion();
  const Bstr method(message.GetMethodName());
  {
    Bstr style;
    VARIANT_BOOL ok = VARIANT_FALSE;
    const HRESULT hr = reader->GetSOAPInputBodyEncStyle(method.Get(), style.Receive(), &ok);
    CheckWrapperEncoding(*wrapper, version, style, Ok(hr, ok),
                         u"Unsupported encodingStyle on method wrapper.");
  }
  ValueDecoder decoder(parser, message, reader);
  for (const AccessorPtr& child : wrapper->children) {
    Bstr type, type_ns;
    if (!PartType(reader, true, method, child->local_name, &type, &type_ns)) {
      ThrowBadParameter(version, child->local_name);
    }
    Variant value;
    decoder.DecodeEncoded(
        *child, type.View(), type_ns.View(), ExpectedEncoding(version),
        ReferenceFaultText("Parameter: '%s' has invalid reference.", child->local_name), &value);
    const bool is_out = Ask(reader, &Idorvish2::IsOutputMsgPart, method, child->local_name);
    if (!message.AddMethodParam(u"", child->local_name, value, true, is_out)) ThrowInternal();
  }
  AddOutputOnly(message, reader, false);
}

void DecodeRpcRequestLiteral(const MessageParser& parser, SoapMessage& message, Idorvish2* reader) {
  const Accessor* wrapper = parser.GetWrapper();
  if (!wrapper) ThrowClient(kNoWrapper, false);
  const int version = message.GetSoapVersion();
  const Bstr method(message.GetMethodName());
  ValueDecoder decoder(parser, message, reader);
  for (const AccessorPtr& child : wrapper->children) {
    Bstr type, type_ns;
    if (!PartType(reader, true, method, child->local_name, &type, &type_ns)) {
      ThrowBadParameter(version, child->local_name);
    }
    Variant value;
    decoder.DecodeLiteral(*child, type.View(), type_ns.View(), &value);
    const bool is_out = Ask(reader, &Idorvish2::IsOutputMsgPart, method, child->local_name);
    if (!message.AddMethodParam(u"", child->local_name, value, true, is_out)) ThrowInternal();
  }
  // The output part that is no method parameter is the return value: it keeps
  // its name and gets no parameter, or the service would be called with an
  // argument it does not have.
  AddOutputOnly(message, reader, true);
}

void DecodeRpcResponseEncoded(const MessageParser& parser, SoapMessage& message,
                              Idorvish2* reader) {
  DecodeResponse(parser, message, reader, false);
}

void DecodeRpcResponseLiteral(const MessageParser& parser, SoapMessage& message,
                              Idorvish2* reader) {
  DecodeResponse(parser, message, reader, true);
}

bool HasInputPart(Idorvish2* reader, std::u16string_view method, std::u16string_view part) {
  Bstr type, type_ns;
  return PartType(reader, true, Bstr(method), part, &type, &type_ns);
}

void DecodeRpcGetRequest(const MessageParser&, SoapMessage& message, Idorvish2* reader) {
  try {
    AddOutputOnly(message, reader, false);
  } catch (xml::QVSOAPFault* fault) {
    delete fault;
    internal::ThrowFault(xml::kFaultServer, u"Unexpected error handling SOAP GET request.", true);
  }
}

}  // namespace message
