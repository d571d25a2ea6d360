#include "server/soap/rpc_invoker.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "platform/com/bstr.h"
#include "message/plugin_contract.h"
#include "server/soap/plugin_classes.h"
#include "xml/namespaces.h"
#include "xml/soap_fault.h"

namespace server {

using message::AsVariants;
using message::CallByName;
using message::CallOutcome;
using message::CallStatus;
using message::CreatePlugin;
using message::CreateStatus;
using message::kFaultClient;
using message::kFaultServer;
using message::RecordThrownFault;
using message::ResultRule;

namespace {

constexpr std::u16string_view kBadArguments = u"BadArguments";

// A fault carrying the failing HRESULT as its detail element.
[[noreturn]] void ThrowWithHresult(int code, std::u16string_view subcode, std::u16string_view text,
                                   HRESULT hr) {
  auto fault = subcode.empty() ? std::make_unique<xml::QVSOAPFault>(code, text, true)
                               : std::make_unique<xml::QVSOAPFault>(
                                     code, subcode, xml::kSoap12RpcNamespace, text, true);
  char hex[64];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(hr));
  Variant detail = Variant::FromText(std::u16string(hex, hex + std::strlen(hex)));
  fault->SetDetail(u"HRESULT", kServerFaultNamespace, detail);
  throw fault.release();
}

// Invoke results that name something wrong with the call's arguments.
bool IsArgumentError(HRESULT hr) {
  switch (hr) {
    case DISP_E_BADPARAMCOUNT:
    case DISP_E_TYPEMISMATCH:
    case DISP_E_PARAMNOTFOUND:
    case DISP_E_UNKNOWNNAME:
    case DISP_E_MEMBERNOTFOUND:
    case DISP_E_NONAMEDARGS:
    case DISP_E_BADVARTYPE:
    case DISP_E_OVERFLOW:
    case DISP_E_BADINDEX:
    case DISP_E_PARAMNOTOPTIONAL:
      return true;
    default:
      return false;
  }
}

struct DecodedParam {
  Bstr name;
  Variant value;
  bool in = false;
  bool out = false;
};

// The message's parameters in message order.
std::vector<DecodedParam> ReadParams(Iquenlin2* message) {
  std::vector<DecodedParam> params;
  LONG position = 0;
  for (bool first = true;; first = false) {
    DecodedParam p;
    Bstr ns;
    VARIANT_BOOL in = VARIANT_FALSE, out = VARIANT_FALSE, more = VARIANT_FALSE;
    if (first) {
      message->GetFirstMethodParam(ns.Receive(), p.name.Receive(), p.value.Receive(), &in, &out,
                                   &position, &more);
    } else {
      message->GetNextMethodParam(ns.Receive(), p.name.Receive(), p.value.Receive(), &in, &out,
                                  &position, &more);
    }
    if (more != VARIANT_TRUE) break;
    p.in = in == VARIANT_TRUE;
    p.out = out == VARIANT_TRUE;
    params.push_back(std::move(p));
  }
  return params;
}

}  // namespace

bool RpcInvoker::Invoke(std::u16string_view progId, Iquenlin2* message,
                        const PluginClasses* classes) {
  ComPtr<IDispatch> object;
  HRESULT hr = S_OK;
  switch (CreatePlugin(progId, &object, &hr, classes)) {
    case CreateStatus::ProgIdUnknown:
      ThrowWithHresult(kFaultServer, {}, u"Body: Failed to resolve ProgID for method handler.", hr);
    case CreateStatus::NotCreatable:
      ThrowWithHresult(kFaultServer, {}, u"Body: Failed to create instance for method handler.",
                       hr);
    case CreateStatus::Ok:
      break;
  }
  Bstr method;
  message->GetMethodName(method.Receive());

  std::vector<DecodedParam> params = ReadParams(message);
  const size_t count = params.size();
  // Sized once: the by-reference arguments point into `outs`.
  std::vector<Variant> args(count);
  std::vector<Variant> outs(count);
  std::map<std::u16string, size_t> outIndex;
  for (size_t i = 0; i < count; ++i) {
    DecodedParam& p = params[i];
    if (!p.out) {
      args[i] = std::move(p.value);
      continue;
    }
    outs[i] = std::move(p.value);
    VARIANT& slot = outs[i];
    if (!p.in) {
      // Out only: the callee gets empty storage of the value's type.
      const VARTYPE vt = slot.vt;
      VariantClear(&slot);
      std::memset(&slot, 0, sizeof slot);
      if (vt != VT_NULL) slot.vt = vt;
    }
    if (slot.vt == VT_EMPTY || slot.vt == VT_NULL) {
      // No type to refer by: the whole slot is written.
      args[i].vt = VT_BYREF | VT_VARIANT;
      args[i].pvarVal = &slot;
    } else {
      args[i].vt = static_cast<VARTYPE>(slot.vt | VT_BYREF);
      args[i].byref = &slot.llVal;
    }
    outIndex[std::u16string(p.name.View())] = i;
  }

  std::vector<LPOLESTR> names;
  names.reserve(count + 1);
  names.push_back(method.Get());
  for (const DecodedParam& p : params) names.push_back(p.name.Get());
  std::vector<DISPID> ids(count + 1, DISPID_UNKNOWN);
  hr = object->GetIDsOfNames(GUID_NULL, names.data(), static_cast<UINT>(names.size()),
                             LOCALE_USER_DEFAULT, ids.data());
  if (FAILED(hr)) {
    ThrowWithHresult(kFaultClient, kBadArguments,
                     u"Body: One or more invalid method parameter names.", hr);
  }

  DISPPARAMS dp{};
  dp.rgvarg = count > 0 ? static_cast<VARIANT*>(args.data()) : nullptr;
  dp.rgdispidNamedArgs = count > 0 ? ids.data() + 1 : nullptr;
  dp.cArgs = static_cast<UINT>(count);
  dp.cNamedArgs = static_cast<UINT>(count);
  Variant result;
  std::memset(static_cast<VARIANT*>(&result), 0, sizeof(VARIANT));
  EXCEPINFO excep{};
  UINT argErr = static_cast<UINT>(-1);
  hr = object->Invoke(ids[0], GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, &result, &excep,
                      &argErr);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  if (hr == DISP_E_BADPARAMCOUNT) {
    ThrowWithHresult(kFaultClient, kBadArguments, u"Body: Bad parameter count on procedure call.",
                     hr);
  }
  if (FAILED(hr)) {
    // Only a call the request got wrong is the sender's fault; a service that
    // failed on a good call must not tell the client never to retry.
    ThrowWithHresult(IsArgumentError(hr) ? kFaultClient : kFaultServer, {},
                     u"Body: Method invocation failed.", hr);
  }

  message->SetReturnValue(result);
  message->ClearMethodParams();
  Bstr emptyNs(u"");
  for (const auto& [name, index] : outIndex) {
    Bstr paramName(name);
    VARIANT_BOOL added = VARIANT_FALSE;
    message->AddMethodParam(emptyNs.Get(), paramName.Get(), outs[index], VARIANT_FALSE,
                            VARIANT_TRUE, &added);
    if (added != VARIANT_TRUE) {
      xml::ThrowSOAPFault(kFaultServer, u"Body: Failed to update method [out] params.", false);
    }
  }
  object_ = std::move(object);
  return true;
}

bool ProcessRpcBody(RpcInvoker& invoker, std::u16string_view progId, Iquenlin2* message,
                    const PluginClasses* classes) {
  try {
    return invoker.Invoke(progId, message, classes);
  } catch (xml::QVSOAPFault* fault) {
    RecordThrownFault(message, fault, /*withDetail=*/true);
    return false;
  }
}

namespace {

// The document handler and the message's IDispatch, or a thrown fault.
void PrepareBodyCall(std::u16string_view progId, Iquenlin2* message, ComPtr<IDispatch>* handler,
                     ComPtr<IDispatch>* dispatch, const PluginClasses* classes) {
  HRESULT hr = S_OK;
  switch (CreatePlugin(progId, handler, &hr, classes)) {
    case CreateStatus::ProgIdUnknown:
      xml::ThrowSOAPFault(kFaultServer,
                          u"Body Processing: Failed to resolve ProgID for Body handler.", false);
    case CreateStatus::NotCreatable:
      xml::ThrowSOAPFault(kFaultServer,
                          u"Body Processing: Failed to instantiate Body handler object.", false);
    case CreateStatus::Ok:
      break;
  }
  *dispatch = com::QueryInterfacePtr<IDispatch>(message);
  if (!*dispatch) {
    xml::ThrowSOAPFault(
        kFaultServer, u"Body Processing: Failed to get message object Dispatch interface.", false);
  }
}

constexpr std::u16string_view kHandlerFailed =
    u"Body Processing: Invocation of Body handler failed.";

// The message as an argument owning its own reference.
Variant MessageArgument(IDispatch* message) {
  Variant arg;
  arg.vt = VT_DISPATCH;
  arg.pdispVal = message;
  message->AddRef();
  return arg;
}

}  // namespace

bool InvokeBodyHandler(std::u16string_view progId, Iquenlin2* message,
                       const PluginClasses* classes) {
  try {
    ComPtr<IDispatch> handler, dispatch;
    PrepareBodyCall(progId, message, &handler, &dispatch, classes);
    if (!InvokeOnProcessBody(handler.Get(), dispatch.Get())) {
      xml::ThrowSOAPFault(kFaultServer, kHandlerFailed, false);
    }
    return true;
  } catch (xml::QVSOAPFault* thrown) {
    std::unique_ptr<xml::QVSOAPFault> fault(thrown);
    LONG version = 0;
    message->GetSOAPVersion(&version);
    std::u16string name, ns;
    fault->FaultCodeName(version, &name, &ns);
    Bstr code(name), codeNs(ns), text(fault->GetFaultString());
    VARIANT_BOOL done = VARIANT_FALSE;
    message->SetSOAPFault(code.Get(), codeNs.Get(), text.Get(),
                          fault->NeedsDetail() ? VARIANT_TRUE : VARIANT_FALSE, &done);
    return false;
  }
}

bool InvokeBodyHandler12(std::u16string_view progId, Iquenlin2* message,
                         std::u16string_view serviceUri, std::u16string_view extraPath,
                         const PluginClasses* classes) {
  try {
    ComPtr<IDispatch> handler, dispatch;
    PrepareBodyCall(progId, message, &handler, &dispatch, classes);
    if (!InvokeOnProcessSoapPost(handler.Get(), dispatch.Get(), serviceUri, extraPath) &&
        !InvokeOnProcessBody(handler.Get(), dispatch.Get())) {
      xml::ThrowSOAPFault(kFaultServer, kHandlerFailed, false);
    }
    return true;
  } catch (xml::QVSOAPFault* thrown) {
    std::unique_ptr<xml::QVSOAPFault> fault(thrown);
    std::u16string name, ns, subcode, subcodeNs;
    fault->FaultCodeName(12, &name, &ns);
    fault->GetSubcode(&subcode, &subcodeNs);
    Bstr code(name), codeNs(ns), sub(subcode), subNs(subcodeNs), text(fault->GetFaultString()),
        lang(u"en");
    VARIANT_BOOL done = VARIANT_FALSE;
    message->SetSOAP12Fault(code.Get(), codeNs.Get(), sub.Get(), subNs.Get(), text.Get(),
                            lang.Get(), &done);
    return false;
  }
}

bool InvokeOnProcessBody(IDispatch* handler, IDispatch* message) {
  static constexpr std::u16string_view kNames[] = {u"SOAPMsgInterface"};
  Variant arg = MessageArgument(message);
  const CallOutcome outcome =
      CallByName(handler, u"OnProcessBody", kNames, AsVariants(&arg, 1), ResultRule::NotZero);
  return outcome.status == CallStatus::Ok && outcome.result;
}

bool InvokeOnProcessSoapPost(IDispatch* handler, IDispatch* message, std::u16string_view serviceUri,
                             std::u16string_view extraPath) {
  static constexpr std::u16string_view kNames[] = {u"SOAPMsgInterface", u"bstrSvcURI",
                                                   u"bstrExtraPath"};
  Variant args[3];
  args[0] = MessageArgument(message);
  args[1] = Variant::FromText(serviceUri);
  args[2] = Variant::FromText(extraPath);
  const CallOutcome outcome =
      CallByName(handler, u"OnProcessSoapPost", kNames, AsVariants(args, 3), ResultRule::NotZero);
  return outcome.status == CallStatus::Ok && outcome.result;
}

}  // namespace server
