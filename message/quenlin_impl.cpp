#include "message/quenlin_impl.h"

#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "dime/field_text.h"

namespace message {

namespace {

bool IsTrue(VARIANT_BOOL value) { return value == VARIANT_TRUE; }
VARIANT_BOOL Vb(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }
std::u16string_view In(BSTR value) { return BstrView(value); }
void Put(BSTR* out, std::u16string_view value) { *out = SysAllocString(value); }

// The caller may pass uninitialised memory for an [out] VARIANT.
HRESULT CopyOut(VARIANT* out, const VARIANT& value) {
  VariantInit(out);
  return VariantCopy(out, &value);
}

// A byte array of `bytes`, or null when it cannot be made.
SAFEARRAY* ByteArray(const uint8_t* bytes, size_t count) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(count));
  if (!array || count == 0) return array;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array, &data))) {
    SafeArrayDestroy(array);
    return nullptr;
  }
  memcpy(data, bytes, count);
  SafeArrayUnaccessData(array);
  return array;
}

// Calls `use(data, count)` with the bytes of a one-dimensional
// VT_ARRAY|VT_UI1 (by reference or not) and returns its answer; false for any
// other value.
template <typename Use>
bool UseBytes(const VARIANT& value, Use&& use) {
  const VARIANT* v = &value;
  if (v->vt == (VT_VARIANT | VT_BYREF) && v->pvarVal) v = v->pvarVal;
  SAFEARRAY* array = nullptr;
  if (v->vt == (VT_ARRAY | VT_UI1)) {
    array = v->parray;
  } else if (v->vt == (VT_ARRAY | VT_UI1 | VT_BYREF) && v->pparray) {
    array = *v->pparray;
  } else {
    return false;
  }
  if (!array || SafeArrayGetDim(array) != 1) return false;
  const ULONG count = array->rgsabound[0].cElements;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array, &data))) return false;
  const bool used = use(static_cast<const uint8_t*>(data), size_t{count});
  SafeArrayUnaccessData(array);
  return used;
}

// The bytes of such an array, copied; false for any other value.
bool ReadBytes(const VARIANT& value, std::vector<uint8_t>* bytes) {
  return UseBytes(value, [bytes](const uint8_t* data, size_t count) {
    bytes->assign(data, data + count);
    return true;
  });
}

// Stores the options of `payload` as a new byte array in `options`, or where
// it points when it is by reference.
void PutOptions(const dime::DimePayload& payload, VARIANT* options) {
  const std::vector<uint8_t>& raw = payload.RawOptions();
  SAFEARRAY* array = ByteArray(raw.data(), raw.size());
  if (options->vt == (VT_VARIANT | VT_BYREF) && options->pvarVal) {
    VARIANT* target = options->pvarVal;
    VariantClear(target);
    target->vt = VT_ARRAY | VT_UI1;
    target->parray = array;
    return;
  }
  if (options->vt == (VT_ARRAY | VT_UI1 | VT_BYREF) && options->pparray) {
    if (*options->pparray) SafeArrayDestroy(*options->pparray);
    *options->pparray = array;
    return;
  }
  VariantInit(options);
  options->vt = VT_ARRAY | VT_UI1;
  options->parray = array;
}

void PutAttachment(const dime::DimePayload& payload, BSTR* id, BSTR* type, LONG* tnf,
                   IUnknown** storage, VARIANT* options) {
  if (id) Put(id, dime::WidenFieldText(payload.Id()));
  Put(type, dime::WidenFieldText(payload.Type()));
  *tnf = static_cast<LONG>(payload.TypeNameFormat());
  *storage = payload.Storage();
  if (*storage) (*storage)->AddRef();
  PutOptions(payload, options);
}

template <typename T>
bool Step(const RecordList<T>& list, bool first, LONG* position, T** record) {
  int32_t at = *position;
  const bool found = first ? FirstRecord(list, record, &at) : NextRecord(list, record, &at);
  if (found) *position = at;
  return found;
}

}  // namespace

HRESULT QuenlinImpl::FinalConstruct() {
  message_.reset(new (std::nothrow) SoapMessage());
  return message_ ? S_OK : E_FAIL;
}

// ---- operations --------------------------------------------------------------

HRESULT QuenlinImpl::Initialize(BSTR bstrSvcName, BSTR bstrPortName, BSTR bstrNodeURI,
                                BSTR bstrSOAPAction, BSTR bstrNextHopURL,
                                VARIANT_BOOL bExplicitTypingEnabled, VARIANT_BOOL bNodeTypeEnabled,
                                IDispatch* pIDispatch, VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->Initialize(
      In(bstrSvcName), In(bstrPortName), In(bstrNodeURI), In(bstrSOAPAction), In(bstrNextHopURL),
      IsTrue(bExplicitTypingEnabled), IsTrue(bNodeTypeEnabled), pIDispatch));
  return S_OK;
}

HRESULT QuenlinImpl::Deserialize(VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->Deserialize());
  return S_OK;
}

HRESULT QuenlinImpl::Serialize(VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->Serialize());
  return S_OK;
}

HRESULT QuenlinImpl::IsSOAPFault(VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->IsFault());
  return S_OK;
}

HRESULT QuenlinImpl::CheckMustUnderstand(VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->CheckMustUnderstand());
  return S_OK;
}

HRESULT QuenlinImpl::ProcessRPC(VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->ProcessRPC());
  return S_OK;
}

HRESULT QuenlinImpl::ProcessRPCGet(BSTR bstrSvcURI, BSTR bstrExtraPath, BSTR bstrQueryString,
                                   VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->ProcessRPCGet(In(bstrSvcURI), In(bstrExtraPath), In(bstrQueryString)));
  return S_OK;
}

HRESULT QuenlinImpl::IsRPCStyle(VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->IsRPCStyle());
  return S_OK;
}

HRESULT QuenlinImpl::GetPortAddress(BSTR* pbstrAddress) {
  Put(pbstrAddress, message_->GetPortAddress());
  return S_OK;
}

// ---- plain properties ----------------------------------------------------------

HRESULT QuenlinImpl::GetMethodNS(BSTR* pbstrNS) {
  Put(pbstrNS, message_->GetMethodNamespace());
  return S_OK;
}
HRESULT QuenlinImpl::SetMethodNS(BSTR bstrNS) {
  message_->SetMethodNamespace(In(bstrNS));
  return S_OK;
}
HRESULT QuenlinImpl::GetMethodName(BSTR* pbstrName) {
  Put(pbstrName, message_->GetMethodName());
  return S_OK;
}
HRESULT QuenlinImpl::SetMethodName(BSTR bstrName) {
  message_->SetMethodName(In(bstrName));
  return S_OK;
}
HRESULT QuenlinImpl::GetReturnValue(VARIANT* pvarValue) {
  return CopyOut(pvarValue, message_->GetReturnValue());
}
HRESULT QuenlinImpl::SetReturnValue(VARIANT varValue) {
  message_->SetReturnValue(varValue);
  return S_OK;
}
HRESULT QuenlinImpl::GetSOAPAction(BSTR* pbstrSOAPAction) {
  Put(pbstrSOAPAction, message_->GetSoapAction());
  return S_OK;
}
HRESULT QuenlinImpl::SetSOAPAction(BSTR bstrSOAPAction) {
  message_->SetSoapAction(In(bstrSOAPAction));
  return S_OK;
}
HRESULT QuenlinImpl::GetNodeURI(BSTR* pbstrNodeURI) {
  Put(pbstrNodeURI, message_->GetNodeUri());
  return S_OK;
}
HRESULT QuenlinImpl::SetNodeURI(BSTR bstrNodeURI) {
  message_->SetNodeUri(In(bstrNodeURI));
  return S_OK;
}
HRESULT QuenlinImpl::SetRequestPhase(VARIANT_BOOL bFlag) {
  message_->SetRequestPhase(IsTrue(bFlag));
  return S_OK;
}
HRESULT QuenlinImpl::IsRequestPhase(VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->IsRequestPhase());
  return S_OK;
}
HRESULT QuenlinImpl::GetNextHopURL(BSTR* bstrNextHopURL) {
  Put(bstrNextHopURL, message_->GetNextHopUrl());
  return S_OK;
}
HRESULT QuenlinImpl::SetNextHopURL(BSTR bstrNextHopURL) {
  message_->SetNextHopUrl(In(bstrNextHopURL));
  return S_OK;
}
HRESULT QuenlinImpl::IsIntermediary(VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->IsIntermediary());
  return S_OK;
}
HRESULT QuenlinImpl::GetServiceName(BSTR* pbstrServiceName) {
  Put(pbstrServiceName, message_->GetServiceName());
  return S_OK;
}
HRESULT QuenlinImpl::GetPortName(BSTR* pbstrPortName) {
  Put(pbstrPortName, message_->GetPortName());
  return S_OK;
}
HRESULT QuenlinImpl::IsNoContentResponse(VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->IsNoContent());
  return S_OK;
}
HRESULT QuenlinImpl::SetNoContentResponse(VARIANT_BOOL bValue) {
  message_->SetNoContent(IsTrue(bValue));
  return S_OK;
}
HRESULT QuenlinImpl::GetSOAPVersion(LONG* pVersion) {
  *pVersion = message_->GetSoapVersion();
  return S_OK;
}
HRESULT QuenlinImpl::SetSOAPVersion(LONG lVersion) {
  message_->SetSoapVersion(lVersion);
  return S_OK;
}

// ---- buffer --------------------------------------------------------------------

HRESULT QuenlinImpl::GetBuffer(VARIANT* pvarBuffer, VARIANT_BOOL* pResult) {
  VariantInit(pvarBuffer);
  SAFEARRAY* array = ByteArray(reinterpret_cast<const uint8_t*>(message_->EnvelopeBytes()),
                               message_->EnvelopeLength());
  if (!array) {
    *pResult = VARIANT_FALSE;
    return S_OK;
  }
  pvarBuffer->vt = VT_ARRAY | VT_UI1;
  pvarBuffer->parray = array;
  *pResult = VARIANT_TRUE;
  return S_OK;
}

HRESULT QuenlinImpl::SetBuffer(VARIANT varBuffer, VARIANT_BOOL* pResult) {
  const bool set = UseBytes(varBuffer, [this](const uint8_t* data, size_t count) {
    if (count > UINT32_MAX) return false;
    char* block = static_cast<char*>(malloc(count == 0 ? 1 : count));
    if (!block) return false;
    if (count != 0) memcpy(block, data, count);
    message_->SetEnvelopeBytes(block, static_cast<uint32_t>(count));
    return true;
  });
  *pResult = Vb(set);
  return S_OK;
}

// ---- fault ---------------------------------------------------------------------

HRESULT QuenlinImpl::SetSOAPFault(BSTR bstrFaultCode, BSTR bstrFaultCodeNS, BSTR bstrFaultString,
                                  VARIANT_BOOL bNeedDetail, VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->SetFault(In(bstrFaultCode), In(bstrFaultCodeNS), In(bstrFaultString), u"",
                                   IsTrue(bNeedDetail)));
  return S_OK;
}

HRESULT QuenlinImpl::SetSOAP12Fault(BSTR bstrCode, BSTR bstrCodeNS, BSTR bstrSubcode,
                                    BSTR bstrSubcodeNS, BSTR bstrReason, BSTR bstrReasonLangId,
                                    VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->SetFault12(
      In(bstrCode), In(bstrCodeNS), In(bstrSubcode), In(bstrSubcodeNS),
      {{std::u16string(In(bstrReasonLangId)), std::u16string(In(bstrReason))}}, u"", false));
  return S_OK;
}

HRESULT QuenlinImpl::AddSOAP12ReasonText(BSTR bstrText, BSTR bstrLangId) {
  message_->SetReason(In(bstrLangId), In(bstrText));
  return S_OK;
}

HRESULT QuenlinImpl::GetSOAP12ReasonText(BSTR bstrLangId, BSTR* pbstrText, VARIANT_BOOL* pResult) {
  std::u16string text;
  *pResult = Vb(message_->GetReason(In(bstrLangId), &text));
  *pbstrText = *pResult ? SysAllocString(text) : nullptr;
  return S_OK;
}

HRESULT QuenlinImpl::GetFirstSOAP12ReasonText(BSTR* pbstrText, BSTR* pbstrLangId, LONG* plPosition,
                                              VARIANT_BOOL* pResult) {
  std::u16string language, text;
  int32_t position = 0;
  *pResult = Vb(message_->FirstReason(&language, &text, &position));
  if (*pResult) {
    Put(pbstrText, text);
    Put(pbstrLangId, language);
    *plPosition = position;
  } else {
    *pbstrText = nullptr;
    *pbstrLangId = nullptr;
  }
  return S_OK;
}

HRESULT QuenlinImpl::GetNextSOAP12ReasonText(BSTR* pbstrText, BSTR* pbstrLangId, LONG* plPosition,
                                             VARIANT_BOOL* pResult) {
  std::u16string language, text;
  int32_t position = *plPosition;
  *pResult = Vb(message_->NextReason(&language, &text, &position));
  if (*pResult) {
    Put(pbstrText, text);
    Put(pbstrLangId, language);
    *plPosition = position;
  } else {
    *pbstrText = nullptr;
    *pbstrLangId = nullptr;
  }
  return S_OK;
}

HRESULT QuenlinImpl::ClearSOAPFault() {
  message_->ClearFault();
  return S_OK;
}
HRESULT QuenlinImpl::GetSOAPFaultCode(BSTR* bstrFaultCode) {
  Put(bstrFaultCode, message_->GetFaultCode());
  return S_OK;
}
HRESULT QuenlinImpl::GetSOAPFaultCodeNS(BSTR* bstrFaultCodeNS) {
  Put(bstrFaultCodeNS, message_->GetFaultCodeNamespace());
  return S_OK;
}
HRESULT QuenlinImpl::GetSOAPFaultString(BSTR* bstrFaultString) {
  Put(bstrFaultString, message_->GetFaultString());
  return S_OK;
}
HRESULT QuenlinImpl::GetSOAPFaultNode(BSTR* bstrFaultNode) {
  Put(bstrFaultNode, message_->GetFaultNode());
  return S_OK;
}

// ---- roles ---------------------------------------------------------------------

HRESULT QuenlinImpl::SetRoles(VARIANT varRoles, VARIANT_BOOL* pResult) {
  *pResult = VARIANT_FALSE;
  const VARIANT* v = &varRoles;
  if (v->vt == (VT_VARIANT | VT_BYREF) && v->pvarVal) v = v->pvarVal;
  SAFEARRAY* array = nullptr;
  if (v->vt == (VT_ARRAY | VT_VARIANT)) {
    array = v->parray;
  } else if (v->vt == (VT_ARRAY | VT_VARIANT | VT_BYREF) && v->pparray) {
    array = *v->pparray;
  }
  if (!array || SafeArrayGetDim(array) != 1) return S_OK;
  LONG lower = 0, upper = -1;
  if (FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
      FAILED(SafeArrayGetUBound(array, 1, &upper))) {
    return S_OK;
  }
  // Every element is checked before any role is added.
  std::vector<std::u16string> roles;
  for (int64_t i = lower; i <= upper; ++i) {
    const LONG index = static_cast<LONG>(i);
    void* slot = nullptr;
    if (FAILED(SafeArrayPtrOfIndex(array, &index, &slot))) return S_OK;
    const VARIANT* element = static_cast<const VARIANT*>(slot);
    if (element->vt == (VT_VARIANT | VT_BYREF) && element->pvarVal) element = element->pvarVal;
    if (element->vt == VT_BSTR) {
      roles.emplace_back(BstrView(element->bstrVal));
    } else if (element->vt == (VT_BSTR | VT_BYREF) && element->pbstrVal) {
      roles.emplace_back(BstrView(*element->pbstrVal));
    } else {
      return S_OK;
    }
  }
  message_->AddRoles(roles);
  *pResult = VARIANT_TRUE;
  return S_OK;
}

HRESULT QuenlinImpl::GetRoles(VARIANT* pvarRoles) {
  VariantInit(pvarRoles);
  const auto& roles = message_->Roles();
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(roles.size()));
  if (!array) return E_OUTOFMEMORY;
  LONG index = 0;
  for (const std::u16string& role : roles) {
    Variant item;
    item.vt = VT_BSTR;
    item.bstrVal = SysAllocString(role);
    SafeArrayPutElement(array, &index, &item);
    ++index;
  }
  pvarRoles->vt = VT_ARRAY | VT_VARIANT;
  pvarRoles->parray = array;
  return S_OK;
}

HRESULT QuenlinImpl::GetMUHeaderBlocks(VARIANT* pvarBlocks) {
  VariantInit(pvarBlocks);
  std::vector<std::u16string> namespaces, names;
  message_->CollectMustUnderstandBlocks(&namespaces, &names);
  const SAFEARRAYBOUND bounds[2] = {{2, 0}, {static_cast<ULONG>(names.size()), 0}};
  SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 2, bounds);
  if (!array) return E_FAIL;
  for (size_t i = 0; i < names.size(); ++i) {
    for (LONG row = 0; row < 2; ++row) {
      const LONG indices[2] = {row, static_cast<LONG>(i)};
      Variant item;
      item.vt = VT_BSTR;
      item.bstrVal = SysAllocString(row == 0 ? namespaces[i] : names[i]);
      SafeArrayPutElement(array, indices, &item);
    }
  }
  pvarBlocks->vt = VT_ARRAY | VT_VARIANT;
  pvarBlocks->parray = array;
  return S_OK;
}

// ---- header blocks -------------------------------------------------------------

HRESULT QuenlinImpl::GetNumHeaderElems(LONG* plCount) {
  *plCount = static_cast<LONG>(message_->HeaderBlocks().size());
  return S_OK;
}
HRESULT QuenlinImpl::GetNumHeaderElemsLiteral(LONG* plCount) {
  *plCount = static_cast<LONG>(message_->LiteralHeaderBlocks().size());
  return S_OK;
}
HRESULT QuenlinImpl::GetNumFaultHeaderElems(LONG* plCount) {
  *plCount = static_cast<LONG>(message_->FaultHeaderBlocks().size());
  return S_OK;
}
HRESULT QuenlinImpl::GetNumFaultHeaderElemsLiteral(LONG* plCount) {
  *plCount = static_cast<LONG>(message_->LiteralFaultHeaderBlocks().size());
  return S_OK;
}
HRESULT QuenlinImpl::GetNumMethodParams(LONG* plCount) {
  *plCount = static_cast<LONG>(message_->MethodParams().size());
  return S_OK;
}
HRESULT QuenlinImpl::GetNumFaultDetailElems(LONG* plCount) {
  *plCount = static_cast<LONG>(message_->FaultDetails().size());
  return S_OK;
}
HRESULT QuenlinImpl::GetNumReqAttachments(LONG* pNbr) {
  *pNbr = static_cast<LONG>(message_->Attachments(true).size());
  return S_OK;
}
HRESULT QuenlinImpl::GetNumRespAttachments(LONG* pNbr) {
  *pNbr = static_cast<LONG>(message_->Attachments(false).size());
  return S_OK;
}

HRESULT QuenlinImpl::AddHeaderElem(BSTR bstrNamespaceURI, BSTR bstrName, VARIANT varContent,
                                   VARIANT_BOOL bMustUnderstand, BSTR bstrActorURI,
                                   VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->AddHeaderBlock(In(bstrNamespaceURI), In(bstrName), varContent,
                                         IsTrue(bMustUnderstand), In(bstrActorURI), false, false));
  return S_OK;
}
HRESULT QuenlinImpl::AddHeaderElem12(BSTR bstrNamespaceURI, BSTR bstrName, VARIANT varContent,
                                     VARIANT_BOOL bMustUnderstand, BSTR bstrRoleURI,
                                     VARIANT_BOOL bRelay, VARIANT_BOOL* pResult) {
  *pResult =
      Vb(message_->AddHeaderBlock(In(bstrNamespaceURI), In(bstrName), varContent,
                                  IsTrue(bMustUnderstand), In(bstrRoleURI), IsTrue(bRelay), false));
  return S_OK;
}
HRESULT QuenlinImpl::AddFaultHeaderElem(BSTR bstrNamespaceURI, BSTR bstrName, VARIANT varContent,
                                        VARIANT_BOOL bMustUnderstand, BSTR bstrActorURI,
                                        VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->AddFaultHeaderBlock(In(bstrNamespaceURI), In(bstrName), varContent,
                                              IsTrue(bMustUnderstand), In(bstrActorURI), false));
  return S_OK;
}
HRESULT QuenlinImpl::AddFaultHeaderElem12(BSTR bstrNamespaceURI, BSTR bstrName, VARIANT varContent,
                                          VARIANT_BOOL bMustUnderstand, BSTR bstrRoleURI,
                                          VARIANT_BOOL bRelay, VARIANT_BOOL* pResult) {
  *pResult =
      Vb(message_->AddFaultHeaderBlock(In(bstrNamespaceURI), In(bstrName), varContent,
                                       IsTrue(bMustUnderstand), In(bstrRoleURI), IsTrue(bRelay)));
  return S_OK;
}
HRESULT QuenlinImpl::AddHeaderElemLiteral(BSTR bstrNamespaceURI, BSTR bstrName, BSTR bstrLiteralXML,
                                          VARIANT_BOOL bMustUnderstand, BSTR bstrActorURI,
                                          BSTR bstrEncodingStyle, VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->AddLiteralHeaderBlock(
      In(bstrNamespaceURI), In(bstrName), In(bstrLiteralXML), IsTrue(bMustUnderstand),
      In(bstrActorURI), false, In(bstrEncodingStyle), false));
  return S_OK;
}
HRESULT QuenlinImpl::AddHeaderElemLiteral12(BSTR bstrNamespaceURI, BSTR bstrName,
                                            BSTR bstrLiteralXML, VARIANT_BOOL bMustUnderstand,
                                            BSTR bstrRoleURI, VARIANT_BOOL bRelay,
                                            BSTR bstrEncodingStyle, VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->AddLiteralHeaderBlock(
      In(bstrNamespaceURI), In(bstrName), In(bstrLiteralXML), IsTrue(bMustUnderstand),
      In(bstrRoleURI), IsTrue(bRelay), In(bstrEncodingStyle), false));
  return S_OK;
}
HRESULT QuenlinImpl::AddFaultHeaderElemLiteral(BSTR bstrNamespaceURI, BSTR bstrName,
                                               BSTR bstrLiteralXML, VARIANT_BOOL bMustUnderstand,
                                               BSTR bstrActorURI, BSTR bstrEncodingStyle,
                                               VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->AddLiteralFaultHeaderBlock(
      In(bstrNamespaceURI), In(bstrName), In(bstrLiteralXML), IsTrue(bMustUnderstand),
      In(bstrActorURI), false, In(bstrEncodingStyle)));
  return S_OK;
}
HRESULT QuenlinImpl::AddFaultHeaderElemLiteral12(BSTR bstrNamespaceURI, BSTR bstrName,
                                                 BSTR bstrLiteralXML, VARIANT_BOOL bMustUnderstand,
                                                 BSTR bstrRoleURI, VARIANT_BOOL bRelay,
                                                 BSTR bstrEncodingStyle, VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->AddLiteralFaultHeaderBlock(
      In(bstrNamespaceURI), In(bstrName), In(bstrLiteralXML), IsTrue(bMustUnderstand),
      In(bstrRoleURI), IsTrue(bRelay), In(bstrEncodingStyle)));
  return S_OK;
}

namespace {

// Encoded header block walkers; `relay` null for the SOAP 1.1 forms.
HRESULT WalkBlock(const RecordList<HeaderBlock>& list, bool first, BSTR* ns, BSTR* name,
                  VARIANT* content, VARIANT_BOOL* must_understand, BSTR* role, VARIANT_BOOL* relay,
                  LONG* position, VARIANT_BOOL* result) {
  HeaderBlock* block = nullptr;
  if (!Step(list, first, position, &block)) {
    VariantInit(content);
    *result = VARIANT_FALSE;
    return S_OK;
  }
  Put(ns, block->namespace_uri);
  Put(name, block->local_name);
  *must_understand = Vb(block->must_understand);
  Put(role, block->role);
  if (relay) *relay = Vb(block->relay);
  *result = VARIANT_TRUE;
  return CopyOut(content, block->content);
}

HRESULT WalkLiteral(const RecordList<LiteralHeaderBlock>& list, bool first, BSTR* ns, BSTR* name,
                    BSTR* literal, VARIANT_BOOL* must_understand, BSTR* role, VARIANT_BOOL* relay,
                    BSTR* encoding, LONG* position, VARIANT_BOOL* result) {
  LiteralHeaderBlock* block = nullptr;
  if (!Step(list, first, position, &block)) {
    *result = VARIANT_FALSE;
    return S_OK;
  }
  Put(ns, block->namespace_uri);
  Put(name, block->local_name);
  Put(literal, block->LiteralXml());
  *must_understand = Vb(block->must_understand);
  Put(role, block->role);
  if (relay) *relay = Vb(block->relay);
  Put(encoding, block->encoding_style);
  *result = VARIANT_TRUE;
  return S_OK;
}

}  // namespace

#define QV_WALK_BLOCK(Method, list, first)                                                     \
  HRESULT QuenlinImpl::Method(BSTR* pbstrNamespaceURI, BSTR* pbstrName, VARIANT* pvarContent,  \
                              VARIANT_BOOL* pbMustUnderstand, BSTR* pbstrActorURI,             \
                              LONG* plPosition, VARIANT_BOOL* pResult) {                       \
    return WalkBlock(list, first, pbstrNamespaceURI, pbstrName, pvarContent, pbMustUnderstand, \
                     pbstrActorURI, nullptr, plPosition, pResult);                             \
  }
QV_WALK_BLOCK(GetFirstHeaderElem, message_->HeaderBlocks(), true)
QV_WALK_BLOCK(GetNextHeaderElem, message_->HeaderBlocks(), false)
QV_WALK_BLOCK(GetFirstFaultHeaderElem, message_->FaultHeaderBlocks(), true)
QV_WALK_BLOCK(GetNextFaultHeaderElem, message_->FaultHeaderBlocks(), false)
#undef QV_WALK_BLOCK

#define QV_WALK_BLOCK12(Method, list, first)                                                    \
  HRESULT QuenlinImpl::Method(BSTR* pbstrNamespaceURI, BSTR* pbstrName, VARIANT* pvarContent,   \
                              VARIANT_BOOL* pbMustUnderstand, BSTR* pbstrRoleURI,               \
                              VARIANT_BOOL* pbRelay, LONG* plPosition, VARIANT_BOOL* pResult) { \
    return WalkBlock(list, first, pbstrNamespaceURI, pbstrName, pvarContent, pbMustUnderstand,  \
                     pbstrRoleURI, pbRelay, plPosition, pResult);                               \
  }
QV_WALK_BLOCK12(GetFirstHeaderElem12, message_->HeaderBlocks(), true)
QV_WALK_BLOCK12(GetNextHeaderElem12, message_->HeaderBlocks(), false)
QV_WALK_BLOCK12(GetFirstFaultHeaderElem12, message_->FaultHeaderBlocks(), true)
QV_WALK_BLOCK12(GetNextFaultHeaderElem12, message_->FaultHeaderBlocks(), false)
#undef QV_WALK_BLOCK12

#define QV_WALK_LITERAL(Method, list, first)                                                       \
  HRESULT QuenlinImpl::Method(BSTR* pbstrNamespaceURI, BSTR* pbstrName, BSTR* pbstrLiteralXML,     \
                              VARIANT_BOOL* pbMustUnderstand, BSTR* pbstrActorURI,                 \
                              BSTR* pbstrEncodingStyle, LONG* plPosition, VARIANT_BOOL* pResult) { \
    return WalkLiteral(list, first, pbstrNamespaceURI, pbstrName, pbstrLiteralXML,                 \
                       pbMustUnderstand, pbstrActorURI, nullptr, pbstrEncodingStyle, plPosition,   \
                       pResult);                                                                   \
  }
QV_WALK_LITERAL(GetFirstHeaderElemLiteral, message_->LiteralHeaderBlocks(), true)
QV_WALK_LITERAL(GetNextHeaderElemLiteral, message_->LiteralHeaderBlocks(), false)
QV_WALK_LITERAL(GetFirstFaultHeaderElemLiteral, message_->LiteralFaultHeaderBlocks(), true)
QV_WALK_LITERAL(GetNextFaultHeaderElemLiteral, message_->LiteralFaultHeaderBlocks(), false)
#undef QV_WALK_LITERAL

#define QV_WALK_LITERAL12(Method, list, first)                                                   \
  HRESULT QuenlinImpl::Method(BSTR* pbstrNamespaceURI, BSTR* pbstrName, BSTR* pbstrLiteralXML,   \
                              VARIANT_BOOL* pbMustUnderstand, BSTR* pbstrRoleURI,                \
                              VARIANT_BOOL* pbRelay, BSTR* pbstrEncodingStyle, LONG* plPosition, \
                              VARIANT_BOOL* pResult) {                                           \
    return WalkLiteral(list, first, pbstrNamespaceURI, pbstrName, pbstrLiteralXML,               \
                       pbMustUnderstand, pbstrRoleURI, pbRelay, pbstrEncodingStyle, plPosition,  \
                       pResult);                                                                 \
  }
QV_WALK_LITERAL12(GetFirstHeaderElemLiteral12, message_->LiteralHeaderBlocks(), true)
QV_WALK_LITERAL12(GetNextHeaderElemLiteral12, message_->LiteralHeaderBlocks(), false)
QV_WALK_LITERAL12(GetFirstFaultHeaderElemLiteral12, message_->LiteralFaultHeaderBlocks(), true)
QV_WALK_LITERAL12(GetNextFaultHeaderElemLiteral12, message_->LiteralFaultHeaderBlocks(), false)
#undef QV_WALK_LITERAL12

HRESULT QuenlinImpl::GetHeaderElem(BSTR bstrNamespaceURI, BSTR bstrName, VARIANT* pvarContent,
                                   VARIANT_BOOL* pResult) {
  VariantInit(pvarContent);
  *pResult = Vb(message_->TakeHeaderBlock(In(bstrNamespaceURI), In(bstrName), pvarContent));
  return S_OK;
}

HRESULT QuenlinImpl::GetHeaderElemLiteral(BSTR bstrNamespaceURI, BSTR bstrName,
                                          BSTR* pbstrLiteralXML, VARIANT_BOOL* pResult) {
  std::u16string literal;
  *pResult = Vb(message_->TakeLiteralHeaderBlock(In(bstrNamespaceURI), In(bstrName), &literal));
  if (*pResult) Put(pbstrLiteralXML, literal);
  return S_OK;
}

HRESULT QuenlinImpl::ClearHeaderElems() {
  message_->ClearHeaderBlocks();
  return S_OK;
}
HRESULT QuenlinImpl::ClearFaultHeaderElems() {
  message_->ClearFaultHeaderBlocks();
  return S_OK;
}

// ---- parameters and body ---------------------------------------------------------

HRESULT QuenlinImpl::AddMethodParam(BSTR bstrNamespaceURI, BSTR bstrName, VARIANT varContent,
                                    VARIANT_BOOL bIsInParam, VARIANT_BOOL bIsOutParam,
                                    VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->AddMethodParam(In(bstrNamespaceURI), In(bstrName), varContent,
                                         IsTrue(bIsInParam), IsTrue(bIsOutParam)));
  return S_OK;
}

namespace {

HRESULT WalkParam(const RecordList<MethodParam>& list, bool first, BSTR* ns, BSTR* name,
                  VARIANT* content, VARIANT_BOOL* is_in, VARIANT_BOOL* is_out, LONG* position,
                  VARIANT_BOOL* result) {
  MethodParam* param = nullptr;
  if (!Step(list, first, position, &param)) {
    VariantInit(content);
    *result = VARIANT_FALSE;
    return S_OK;
  }
  Put(ns, param->namespace_uri);
  Put(name, param->local_name);
  *is_in = Vb(param->is_in);
  *is_out = Vb(param->is_out);
  *result = VARIANT_TRUE;
  return CopyOut(content, param->content);
}

HRESULT WalkDetail(const RecordList<MessageElement>& list, bool first, BSTR* ns, BSTR* name,
                   VARIANT* content, LONG* position, VARIANT_BOOL* result) {
  MessageElement* detail = nullptr;
  if (!Step(list, first, position, &detail)) {
    VariantInit(content);
    *result = VARIANT_FALSE;
    return S_OK;
  }
  Put(ns, detail->namespace_uri);
  Put(name, detail->local_name);
  *result = VARIANT_TRUE;
  return CopyOut(content, detail->content);
}

}  // namespace

HRESULT QuenlinImpl::GetFirstMethodParam(BSTR* pbstrNamespaceURI, BSTR* pbstrName,
                                         VARIANT* pvarContent, VARIANT_BOOL* pbIsInParam,
                                         VARIANT_BOOL* pbIsOutParam, LONG* plPosition,
                                         VARIANT_BOOL* pResult) {
  return WalkParam(message_->MethodParams(), true, pbstrNamespaceURI, pbstrName, pvarContent,
                   pbIsInParam, pbIsOutParam, plPosition, pResult);
}
HRESULT QuenlinImpl::GetNextMethodParam(BSTR* pbstrNamespaceURI, BSTR* pbstrName,
                                        VARIANT* pvarContent, VARIANT_BOOL* pbIsInParam,
                                        VARIANT_BOOL* pbIsOutParam, LONG* plPosition,
                                        VARIANT_BOOL* pResult) {
  return WalkParam(message_->MethodParams(), false, pbstrNamespaceURI, pbstrName, pvarContent,
                   pbIsInParam, pbIsOutParam, plPosition, pResult);
}
HRESULT QuenlinImpl::ClearMethodParams() {
  message_->ClearMethodParams();
  return S_OK;
}
HRESULT QuenlinImpl::SetBodyElemLiteral(BSTR bstrLiteralXML, BSTR bstrEncodingStyle,
                                        VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->SetLiteralBody(In(bstrLiteralXML), In(bstrEncodingStyle)));
  return S_OK;
}
HRESULT QuenlinImpl::GetBodyElemLiteral(BSTR* pbstrLiteralXML, VARIANT_BOOL* pResult) {
  std::u16string literal;
  *pResult = Vb(message_->GetLiteralBody(&literal));
  if (*pResult) Put(pbstrLiteralXML, literal);
  return S_OK;
}

// ---- fault details -------------------------------------------------------------

HRESULT QuenlinImpl::AddFaultDetailElem(BSTR bstrNamespaceURI, BSTR bstrName, VARIANT varContent,
                                        VARIANT_BOOL* pResult) {
  *pResult = Vb(message_->AddFaultDetail(In(bstrNamespaceURI), In(bstrName), varContent));
  return S_OK;
}
HRESULT QuenlinImpl::GetFirstFaultDetailElem(BSTR* pbstrNamespaceURI, BSTR* pbstrName,
                                             VARIANT* pvarContent, LONG* plPosition,
                                             VARIANT_BOOL* pResult) {
  return WalkDetail(message_->FaultDetails(), true, pbstrNamespaceURI, pbstrName, pvarContent,
                    plPosition, pResult);
}
HRESULT QuenlinImpl::GetNextFaultDetailElem(BSTR* pbstrNamespaceURI, BSTR* pbstrName,
                                            VARIANT* pvarContent, LONG* plPosition,
                                            VARIANT_BOOL* pResult) {
  return WalkDetail(message_->FaultDetails(), false, pbstrNamespaceURI, pbstrName, pvarContent,
                    plPosition, pResult);
}
HRESULT QuenlinImpl::GetFaultDetailElem(BSTR bstrNamespaceURI, BSTR bstrName, VARIANT* pvarContent,
                                        VARIANT_BOOL* pResult) {
  VariantInit(pvarContent);
  *pResult = Vb(message_->FindFaultDetail(In(bstrNamespaceURI), In(bstrName), pvarContent));
  return S_OK;
}
HRESULT QuenlinImpl::ClearFaultDetailElems() {
  message_->ClearFaultDetails();
  return S_OK;
}

// ---- attachments ---------------------------------------------------------------

namespace {

bool AddAttachment(SoapMessage& message, bool request, BSTR id, BSTR type, LONG tnf,
                   IUnknown* storage, const VARIANT& options) {
  std::vector<uint8_t> bytes;
  const bool has_options = ReadBytes(options, &bytes);
  return message.AddAttachment(request, In(id), In(type), static_cast<uint32_t>(tnf), storage,
                               has_options ? bytes.data() : nullptr,
                               has_options ? bytes.size() : 0);
}

HRESULT WalkAttachment(const RecordList<dime::DimePayload>& list, bool first, BSTR* id, BSTR* type,
                       LONG* tnf, IUnknown** storage, VARIANT* options, LONG* position,
                       VARIANT_BOOL* result) {
  dime::DimePayload* payload = nullptr;
  if (!Step(list, first, position, &payload)) {
    *result = VARIANT_FALSE;
    return S_OK;
  }
  PutAttachment(*payload, id, type, tnf, storage, options);
  *result = VARIANT_TRUE;
  return S_OK;
}

}  // namespace

HRESULT QuenlinImpl::AddDIMEAttachmentReq(BSTR bstrId, BSTR bstrType, LONG TNF, IUnknown* pIUnknown,
                                          VARIANT Options, VARIANT_BOOL* pResult) {
  *pResult = Vb(AddAttachment(*message_, true, bstrId, bstrType, TNF, pIUnknown, Options));
  return S_OK;
}
HRESULT QuenlinImpl::AddDIMEAttachmentResp(BSTR bstrId, BSTR bstrType, LONG TNF,
                                           IUnknown* pIUnknown, VARIANT Options,
                                           VARIANT_BOOL* pResult) {
  *pResult = Vb(AddAttachment(*message_, false, bstrId, bstrType, TNF, pIUnknown, Options));
  return S_OK;
}

#define QV_WALK_ATTACHMENT(Method, request, first)                                               \
  HRESULT QuenlinImpl::Method(BSTR* pbstrId, BSTR* pbstrType, LONG* pTNF, IUnknown** ppIUnknown, \
                              VARIANT* Options, LONG* plPosition, VARIANT_BOOL* pResult) {       \
    return WalkAttachment(message_->Attachments(request), first, pbstrId, pbstrType, pTNF,       \
                          ppIUnknown, Options, plPosition, pResult);                             \
  }
QV_WALK_ATTACHMENT(GetFirstDIMEAttachmentReq, true, true)
QV_WALK_ATTACHMENT(GetNextDIMEAttachmentReq, true, false)
QV_WALK_ATTACHMENT(GetFirstDIMEAttachmentResp, false, true)
QV_WALK_ATTACHMENT(GetNextDIMEAttachmentResp, false, false)
#undef QV_WALK_ATTACHMENT

HRESULT QuenlinImpl::GetDIMEAttachmentReq(BSTR bstrId, BSTR* pbstrType, LONG* pTNF,
                                          IUnknown** ppIUnknown, VARIANT* Options,
                                          VARIANT_BOOL* pResult) {
  const dime::DimePayload* payload = message_->FindAttachment(true, In(bstrId));
  *pResult = Vb(payload != nullptr);
  if (payload) PutAttachment(*payload, nullptr, pbstrType, pTNF, ppIUnknown, Options);
  return S_OK;
}
HRESULT QuenlinImpl::GetDIMEAttachmentResp(BSTR bstrId, BSTR* pbstrType, LONG* pTNF,
                                           IUnknown** ppIUnknown, VARIANT* Options,
                                           VARIANT_BOOL* pResult) {
  const dime::DimePayload* payload = message_->FindAttachment(false, In(bstrId));
  *pResult = Vb(payload != nullptr);
  if (payload) PutAttachment(*payload, nullptr, pbstrType, pTNF, ppIUnknown, Options);
  return S_OK;
}

}  // namespace message
