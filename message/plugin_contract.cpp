#include "message/plugin_contract.h"

#include <cstring>
#include <memory>

#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "xmldoc/xml_nodes.h"
#include "xml/namespaces.h"
#include "xml/xml_writer.h"

namespace message {

CallOutcome CallByName(IDispatch* target, std::u16string_view method,
                       std::span<const std::u16string_view> argNames, std::span<VARIANT> args,
                       ResultRule rule) {
  CallOutcome outcome;
  const size_t count = argNames.size();
  std::vector<Bstr> names;
  names.reserve(count + 1);
  names.emplace_back(method);
  for (std::u16string_view name : argNames) names.emplace_back(name);
  std::vector<LPOLESTR> namePtrs;
  namePtrs.reserve(names.size());
  for (const Bstr& name : names) namePtrs.push_back(name.Get());
  std::vector<DISPID> ids(names.size(), DISPID_UNKNOWN);
  outcome.hr = target->GetIDsOfNames(GUID_NULL, namePtrs.data(), static_cast<UINT>(names.size()),
                                     LOCALE_USER_DEFAULT, ids.data());
  names.clear();
  if (FAILED(outcome.hr)) {
    outcome.status = CallStatus::NamesFailed;
    return outcome;
  }
  DISPPARAMS params{};
  params.rgvarg = count > 0 ? args.data() : nullptr;
  params.rgdispidNamedArgs = count > 0 ? ids.data() + 1 : nullptr;
  params.cArgs = static_cast<UINT>(count);
  params.cNamedArgs = static_cast<UINT>(count);
  // Zeroed whole: the rule reads the data bytes whatever the plug-in set.
  VARIANT result;
  std::memset(&result, 0, sizeof result);
  EXCEPINFO excep{};
  UINT argErr = static_cast<UINT>(-1);
  outcome.hr = target->Invoke(ids[0], GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                              &result, &excep, &argErr);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  if (FAILED(outcome.hr)) {
    VariantClear(&result);
    outcome.status = CallStatus::InvokeFailed;
    return outcome;
  }
  // The type tag is not looked at: plug-ins in use rely on that.
  uint16_t value = 0;
  std::memcpy(&value, &result.iVal, sizeof value);
  outcome.result = rule == ResultRule::ExactlyTrue ? value == 0xFFFF : value != 0;
  VariantClear(&result);
  return outcome;
}

CreateStatus CreatePlugin(std::u16string_view progId, ComPtr<IDispatch>* plugin, HRESULT* hr,
                          const PluginSource* classes) {
  if (classes) return classes->Create(progId, plugin, hr);
  const std::u16string id(progId);
  CLSID clsid{};
  *hr = CLSIDFromProgID(id.c_str(), &clsid);
  if (FAILED(*hr)) return CreateStatus::ProgIdUnknown;
  ComPtr<IDispatch> created;
  *hr = CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IDispatch, created.ReceiveVoid());
  if (FAILED(*hr) || !created) {
    if (SUCCEEDED(*hr)) *hr = E_NOINTERFACE;
    return CreateStatus::NotCreatable;
  }
  *plugin = std::move(created);
  return CreateStatus::Ok;
}

void RecordFault(Iquenlin2* message, const xml::QVSOAPFault& fault) {
  LONG version = 0;
  message->GetSOAPVersion(&version);
  std::u16string name, ns;
  fault.FaultCodeName(version, &name, &ns);
  Bstr code(name), codeNs(ns), text(fault.GetFaultString());
  VARIANT_BOOL done = VARIANT_FALSE;
  if (version == 11) {
    message->SetSOAPFault(code.Get(), codeNs.Get(), text.Get(),
                          fault.NeedsDetail() ? VARIANT_TRUE : VARIANT_FALSE, &done);
    return;
  }
  std::u16string subcode, subcodeNs;
  fault.GetSubcode(&subcode, &subcodeNs);
  Bstr sub(subcode), subNs(subcodeNs), lang(u"en");
  message->SetSOAP12Fault(code.Get(), codeNs.Get(), sub.Get(), subNs.Get(), text.Get(), lang.Get(),
                          &done);
}

void RecordThrownFault(Iquenlin2* message, xml::QVSOAPFault* thrown, bool withDetail) {
  std::unique_ptr<xml::QVSOAPFault> fault(thrown);
  RecordFault(message, *fault);
  if (withDetail && fault->NeedsDetail()) {
    Bstr ns(fault->GetDetailNamespace()), name(fault->GetDetailName());
    VARIANT_BOOL done = VARIANT_FALSE;
    message->AddFaultDetailElem(ns.Get(), name.Get(), fault->GetDetail(), &done);
  }
}

bool CreateHeaderProcessors(HeaderHandlerChain& chain, const std::vector<std::u16string>& progIds,
                            Iquenlin2* message, const PluginSource* classes) {
  try {
    for (const std::u16string& progId : progIds) {
      ComPtr<IDispatch> processor;
      HRESULT hr = S_OK;
      switch (CreatePlugin(progId, &processor, &hr, classes)) {
        case CreateStatus::ProgIdUnknown:
          xml::ThrowSOAPFault(kFaultServer,
                              u"Headers: Failed to resolve ProgID for header handler.", false);
        case CreateStatus::NotCreatable:
          xml::ThrowSOAPFault(kFaultServer,
                              u"Headers: Failed to create instance for header handler.", false);
        case CreateStatus::Ok:
          break;
      }
      chain.Append(std::move(processor));
    }
  } catch (xml::QVSOAPFault* fault) {
    RecordThrownFault(message, fault, /*withDetail=*/false);
    return false;
  }
  return true;
}

bool ProcessHeaderBlocks(HeaderHandlerChain& chain, Iquenlin2* message, MissingBlocks missing) {
  if (!TestMustUnderstandBlocks(chain, message, missing)) return false;
  try {
    for (const ComPtr<IDispatch>& processor : chain.Processors()) {
      if (!InvokeOnProcessHeader(processor.Get(), message)) return false;
    }
  } catch (xml::QVSOAPFault* fault) {
    RecordThrownFault(message, fault, /*withDetail=*/false);
    return false;
  }
  return true;
}

namespace {

// The BSTR held by element (field, block) of the blocks array; false when the
// element is no BSTR.
bool BlockField(SAFEARRAY* blocks, LONG field, LONG block, std::u16string* out) {
  const LONG indices[2] = {field, block};
  Variant element;
  if (FAILED(SafeArrayGetElement(blocks, indices, &element)) || element.vt != VT_BSTR) {
    return false;
  }
  out->assign(BstrView(element.bstrVal));
  return true;
}

void RecordNotUnderstood(Iquenlin2* message, std::u16string_view ns,
                         std::u16string_view localName) {
  static constexpr std::u16string_view kText = u"Headers: Mandatory header block not understood.";
  LONG version = 0;
  message->GetSOAPVersion(&version);
  Bstr code(u"MustUnderstand"), text(kText);
  VARIANT_BOOL done = VARIANT_FALSE;
  if (version == 11) {
    Bstr codeNs(xml::kSoap11EnvelopeNamespace);
    message->SetSOAPFault(code.Get(), codeNs.Get(), text.Get(), VARIANT_FALSE, &done);
    return;
  }
  Bstr codeNs(xml::kSoap12EnvelopeNamespace), empty(u""), lang(u"en");
  message->SetSOAP12Fault(code.Get(), codeNs.Get(), empty.Get(), empty.Get(), text.Get(),
                          lang.Get(), &done);
  if (version != 12) return;
  Bstr name(u"NotUnderstood");
  const Bstr literal = NotUnderstoodLiteral(ns, localName);
  message->AddFaultHeaderElemLiteral(codeNs.Get(), name.Get(), literal.Get(), VARIANT_FALSE,
                                     empty.Get(), empty.Get(), &done);
}

}  // namespace

bool TestMustUnderstandBlocks(HeaderHandlerChain& chain, Iquenlin2* message,
                              MissingBlocks missing) {
  const bool noArray = missing == MissingBlocks::Pass;
  Variant blocksVar;
  message->GetMUHeaderBlocks(&blocksVar);
  if (!(blocksVar.vt & VT_ARRAY) || (blocksVar.vt & VT_BYREF) || blocksVar.parray == nullptr) {
    return noArray;
  }
  SAFEARRAY* blocks = blocksVar.parray;
  VARTYPE elementType = VT_EMPTY;
  if (SafeArrayGetDim(blocks) != 2) return noArray;
  LONG fieldLow = 0, blockLow = 0, blockHigh = -1;
  if (FAILED(SafeArrayGetVartype(blocks, &elementType)) || elementType != VT_VARIANT ||
      FAILED(SafeArrayGetLBound(blocks, 1, &fieldLow)) ||
      FAILED(SafeArrayGetLBound(blocks, 2, &blockLow)) ||
      FAILED(SafeArrayGetUBound(blocks, 2, &blockHigh))) {
    return noArray;
  }
  for (LONG block = blockLow; block <= blockHigh; ++block) {
    std::u16string ns, localName;
    // A block whose names cannot be read is offered as empty names, so it
    // is refused rather than let through.
    BlockField(blocks, fieldLow, block, &ns);
    BlockField(blocks, fieldLow + 1, block, &localName);
    bool accepted = false;
    for (const ComPtr<IDispatch>& processor : chain.Processors()) {
      if (InvokeOnTestMUHeaderBlock(processor.Get(), ns, localName)) {
        accepted = true;
        break;
      }
    }
    if (!accepted) {
      RecordNotUnderstood(message, ns, localName);
      return false;
    }
  }
  return true;
}

bool InvokeOnTestMUHeaderBlock(IDispatch* processor, std::u16string_view ns,
                               std::u16string_view localName) {
  static constexpr std::u16string_view kNames[] = {u"bstrNamespace", u"bstrLocalName"};
  Variant args[2];
  args[0] = Variant::FromText(ns);
  args[1] = Variant::FromText(localName);
  const CallOutcome outcome = CallByName(processor, u"OnTestMUHeaderBlock", kNames,
                                         AsVariants(args, 2), ResultRule::ExactlyTrue);
  return outcome.status == CallStatus::Ok && outcome.result;
}

bool InvokeOnProcessHeader(IDispatch* processor, Iquenlin2* message) {
  ComPtr<IDispatch> dispatch = com::QueryInterfacePtr<IDispatch>(message);
  if (!dispatch) {
    xml::ThrowSOAPFault(kFaultServer, u"Headers: Failed to get interface to message object.",
                        false);
  }
  static constexpr std::u16string_view kNames[] = {u"SOAPMsgInterface"};
  // The argument owns a reference of its own; clearing it releases that one.
  Variant arg;
  arg.vt = VT_DISPATCH;
  arg.pdispVal = dispatch.Get();
  dispatch->AddRef();
  const CallOutcome outcome = CallByName(processor, u"OnProcessHeader", kNames, AsVariants(&arg, 1),
                                         ResultRule::ExactlyTrue);
  switch (outcome.status) {
    case CallStatus::NamesFailed:
      xml::ThrowSOAPFault(kFaultServer,
                          u"Headers: Failed to resolve header handler call parameters.", false);
    case CallStatus::InvokeFailed:
      xml::ThrowSOAPFault(kFaultServer, u"Headers: Invocation of header handler failed.", false);
    case CallStatus::Ok:
      break;
  }
  return outcome.result;
}

Bstr NotUnderstoodLiteral(std::u16string_view ns, std::u16string_view localName) {
  xml::XmlElementPtr root;
  xml::XmlElement* element =
      xmldoc::CreateRootElement(root, xml::kSoap12EnvelopeNamespace, u"SOAP-ENV", u"NotUnderstood");
  std::u16string qname(localName);
  // A block in no namespace has no prefix to name it by.
  if (!ns.empty() && element->AddNamespace(u"ns", ns)) qname.insert(0, u"ns:");
  element->AddAttribute(u"qname", qname);
  return Bstr::Adopt(xml::SerializeElementToBSTR(*element));
}

}  // namespace message
