// A scripted message object for the dispatch tests: it implements the
// message interface the server drives, does what the test sets up (parse
// result, version, mandatory blocks, RPC parameters) and records what the
// server and the plug-ins did to it. Its response buffer is a plain text
// summary of that record, so a test reads it from the HTTP answer too.
#pragma once

#include <string>
#include <vector>

#include "interfaces/quenlin.h"
#include "interfaces/testing/quenlin_stub.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"

namespace server_testing {

#define QV_FAKE_PARAM(dir, t, name) [[maybe_unused]] QV_PTYPE_##dir(t) name
#define QV_FAKE_STUB(name, dispid, ...) \
  HRESULT name(QV_FOR_EACH(QV_FAKE_PARAM, __VA_ARGS__)) override { return E_NOTIMPL; }

using quenlin_testing::StubMessage;

struct FakeParam {
  std::u16string name;
  Variant value;
  bool in = true;
  bool out = false;
};

struct RecordedFault {
  std::u16string code, codeNs, subcode, subcodeNs, text;
  bool needDetail = false;
};

class FakeMessage final : public com::ComObject<FakeMessage, StubMessage> {
 public:
  // ---- The script ----
  bool initializeOk = true;
  bool deserializeOk = true;
  bool serializeOk = true;
  LONG version = 11;
  bool rpc = false;
  bool processRpcOk = true;
  std::u16string method;
  std::vector<FakeParam> params;
  // Mandatory header blocks: (namespace, local name).
  std::vector<std::pair<std::u16string, std::u16string>> muBlocks;
  std::u16string nextHop;
  std::u16string body;  // the request body literal

  // ---- The record ----
  std::u16string soapAction;
  std::string request;  // the bytes given by SetBuffer
  int roleCount = -1;
  std::vector<std::u16string> phases;  // "response" per SetRequestPhase(false)
  std::vector<std::u16string> marks;   // header literals added, by name
  bool hasFault = false;
  RecordedFault fault;
  std::u16string faultDetail;  // name=content of the detail added
  std::vector<std::u16string> faultHeaders;
  Variant returnValue;
  std::vector<FakeParam> outParams;
  bool returnSet = false;
  int clearHeaderCalls = 0;
  bool noContent = false;
  std::u16string responseBody;
  std::vector<std::u16string> reqAttachments;  // id|type
  // Response attachments the service added: id, type, storage.
  struct Attachment {
    std::u16string id, type;
    ComPtr<IUnknown> storage;
  };
  std::vector<Attachment> respAttachments;

  HRESULT Initialize(BSTR, BSTR, BSTR, BSTR bstrSOAPAction, BSTR, VARIANT_BOOL, VARIANT_BOOL,
                     IDispatch*, VARIANT_BOOL* pResult) override {
    soapAction = BstrView(bstrSOAPAction);
    *pResult = initializeOk ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT SetBuffer(VARIANT varBuffer, VARIANT_BOOL* pResult) override {
    request.clear();
    if (varBuffer.vt == (VT_ARRAY | VT_UI1) && varBuffer.parray) {
      void* data = nullptr;
      SafeArrayAccessData(varBuffer.parray, &data);
      request.assign(static_cast<const char*>(data), varBuffer.parray->rgsabound[0].cElements);
      SafeArrayUnaccessData(varBuffer.parray);
    }
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT SetRoles(VARIANT varRoles, VARIANT_BOOL* pResult) override {
    roleCount = varRoles.vt == (VT_ARRAY | VT_VARIANT) && varRoles.parray
                    ? static_cast<int>(varRoles.parray->rgsabound[0].cElements)
                    : -1;
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT Deserialize(VARIANT_BOOL* pResult) override {
    if (!deserializeOk) {
      SetFault(version == 11 ? u"Client" : u"Sender", u"parse error");
      fault.codeNs = version == 11 ? u"http://schemas.xmlsoap.org/soap/envelope/"
                                   : u"http://www.w3.org/2003/05/soap-envelope";
    }
    *pResult = deserializeOk ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT GetSOAPVersion(LONG* pVersion) override {
    *pVersion = version;
    return S_OK;
  }
  HRESULT CheckMustUnderstand(VARIANT_BOOL* pResult) override {
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT IsSOAPFault(VARIANT_BOOL* pResult) override {
    *pResult = hasFault ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT IsIntermediary(VARIANT_BOOL* pResult) override {
    *pResult = nextHop.empty() ? VARIANT_FALSE : VARIANT_TRUE;
    return S_OK;
  }
  HRESULT GetNextHopURL(BSTR* out) override {
    *out = SysAllocString(nextHop);
    return S_OK;
  }
  HRESULT ClearHeaderElems() override {
    ++clearHeaderCalls;
    return S_OK;
  }
  HRESULT IsRPCStyle(VARIANT_BOOL* pResult) override {
    *pResult = rpc ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT ProcessRPC(VARIANT_BOOL* pResult) override {
    *pResult = processRpcOk ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT GetMethodName(BSTR* out) override {
    *out = SysAllocString(method);
    return S_OK;
  }
  HRESULT GetFirstMethodParam(BSTR* ns, BSTR* name, VARIANT* content, VARIANT_BOOL* in,
                              VARIANT_BOOL* out, LONG* position, VARIANT_BOOL* pResult) override {
    *position = 0;
    return ParamAt(ns, name, content, in, out, position, pResult);
  }
  HRESULT GetNextMethodParam(BSTR* ns, BSTR* name, VARIANT* content, VARIANT_BOOL* in,
                             VARIANT_BOOL* out, LONG* position, VARIANT_BOOL* pResult) override {
    ++*position;
    return ParamAt(ns, name, content, in, out, position, pResult);
  }
  HRESULT SetReturnValue(VARIANT value) override {
    returnSet = true;
    return returnValue.CopyFrom(value);
  }
  HRESULT ClearMethodParams() override {
    params.clear();
    return S_OK;
  }
  HRESULT AddMethodParam(BSTR, BSTR name, VARIANT content, VARIANT_BOOL in, VARIANT_BOOL out,
                         VARIANT_BOOL* pResult) override {
    FakeParam p;
    p.name = BstrView(name);
    p.in = in == VARIANT_TRUE;
    p.out = out == VARIANT_TRUE;
    const HRESULT hr = p.value.CopyFrom(content);
    outParams.push_back(std::move(p));
    *pResult = SUCCEEDED(hr) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT SetRequestPhase(VARIANT_BOOL flag) override {
    phases.push_back(flag == VARIANT_TRUE ? u"request" : u"response");
    return S_OK;
  }
  HRESULT GetMUHeaderBlocks(VARIANT* out) override {
    VariantInit(out);
    if (muBlocks.empty()) return S_OK;
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {static_cast<ULONG>(muBlocks.size()), 0}};
    SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 2, bounds);
    for (LONG b = 0; b < static_cast<LONG>(muBlocks.size()); ++b) {
      for (LONG f = 0; f < 2; ++f) {
        const LONG indices[2] = {f, b};
        Variant v = Variant::FromText(f == 0 ? muBlocks[b].first : muBlocks[b].second);
        SafeArrayPutElement(array, indices, &v);
      }
    }
    out->vt = VT_ARRAY | VT_VARIANT;
    out->parray = array;
    return S_OK;
  }
  HRESULT AddHeaderElemLiteral(BSTR, BSTR name, BSTR, VARIANT_BOOL, BSTR, BSTR,
                               VARIANT_BOOL* pResult) override {
    marks.emplace_back(BstrView(name));
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT SetSOAPFault(BSTR code, BSTR codeNs, BSTR text, VARIANT_BOOL needDetail,
                       VARIANT_BOOL* pResult) override {
    SetFault(BstrView(code), BstrView(text));
    fault.codeNs = BstrView(codeNs);
    fault.needDetail = needDetail == VARIANT_TRUE;
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT SetSOAP12Fault(BSTR code, BSTR codeNs, BSTR subcode, BSTR subcodeNs, BSTR reason, BSTR,
                         VARIANT_BOOL* pResult) override {
    SetFault(BstrView(code), BstrView(reason));
    fault.codeNs = BstrView(codeNs);
    fault.subcode = BstrView(subcode);
    fault.subcodeNs = BstrView(subcodeNs);
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT AddFaultDetailElem(BSTR, BSTR name, VARIANT content, VARIANT_BOOL* pResult) override {
    faultDetail = std::u16string(BstrView(name)) + u"=" +
                  (content.vt == VT_BSTR ? std::u16string(BstrView(content.bstrVal)) : u"?");
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT AddFaultHeaderElemLiteral(BSTR, BSTR name, BSTR literal, VARIANT_BOOL, BSTR, BSTR,
                                    VARIANT_BOOL* pResult) override {
    faultHeaders.push_back(std::u16string(BstrView(name)) + u":" +
                           std::u16string(BstrView(literal)));
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT GetSOAPFaultCode(BSTR* out) override {
    *out = SysAllocString(fault.code);
    return S_OK;
  }
  HRESULT GetSOAPFaultCodeNS(BSTR* out) override {
    *out = SysAllocString(fault.codeNs);
    return S_OK;
  }
  HRESULT GetBodyElemLiteral(BSTR* out, VARIANT_BOOL* pResult) override {
    *out = SysAllocString(body);
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT SetBodyElemLiteral(BSTR literal, BSTR, VARIANT_BOOL* pResult) override {
    responseBody = BstrView(literal);
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT IsNoContentResponse(VARIANT_BOOL* pResult) override {
    *pResult = noContent ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT SetNoContentResponse(VARIANT_BOOL value) override {
    noContent = value == VARIANT_TRUE;
    return S_OK;
  }
  HRESULT Serialize(VARIANT_BOOL* pResult) override {
    *pResult = serializeOk ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT GetBuffer(VARIANT* out, VARIANT_BOOL* pResult) override;
  HRESULT GetNumRespAttachments(LONG* n) override {
    *n = static_cast<LONG>(respAttachments.size());
    return S_OK;
  }
  HRESULT GetFirstDIMEAttachmentResp(BSTR* id, BSTR* type, LONG* tnf, IUnknown** unknown,
                                     VARIANT* options, LONG* position,
                                     VARIANT_BOOL* pResult) override {
    *position = 0;
    return AttachmentAt(id, type, tnf, unknown, options, position, pResult);
  }
  HRESULT GetNextDIMEAttachmentResp(BSTR* id, BSTR* type, LONG* tnf, IUnknown** unknown,
                                    VARIANT* options, LONG* position,
                                    VARIANT_BOOL* pResult) override {
    ++*position;
    return AttachmentAt(id, type, tnf, unknown, options, position, pResult);
  }
  HRESULT AddDIMEAttachmentReq(BSTR id, BSTR type, LONG, IUnknown*, VARIANT,
                               VARIANT_BOOL* pResult) override {
    reqAttachments.push_back(std::u16string(BstrView(id)) + u"|" + std::u16string(BstrView(type)));
    *pResult = VARIANT_TRUE;
    return S_OK;
  }

  // The text the buffer holds after Serialize.
  std::string Summary() const;

 private:
  HRESULT AttachmentAt(BSTR* id, BSTR* type, LONG* tnf, IUnknown** unknown, VARIANT* options,
                       LONG* position, VARIANT_BOOL* pResult) {
    *id = *type = nullptr;
    *unknown = nullptr;
    *tnf = 0;
    VariantInit(options);
    *pResult = VARIANT_FALSE;
    if (*position < 0 || static_cast<size_t>(*position) >= respAttachments.size()) return S_OK;
    const Attachment& a = respAttachments[*position];
    *id = SysAllocString(a.id);
    *type = SysAllocString(a.type);
    *tnf = 2;
    *unknown = a.storage.Get();
    if (*unknown) (*unknown)->AddRef();
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  void SetFault(std::u16string_view code, std::u16string_view text) {
    hasFault = true;
    fault = RecordedFault{};
    fault.code = code;
    fault.text = text;
  }
  HRESULT ParamAt(BSTR* ns, BSTR* name, VARIANT* content, VARIANT_BOOL* in, VARIANT_BOOL* out,
                  LONG* position, VARIANT_BOOL* pResult) {
    *ns = nullptr;
    *name = nullptr;
    VariantInit(content);
    *pResult = VARIANT_FALSE;
    if (*position < 0 || static_cast<size_t>(*position) >= params.size()) return S_OK;
    const FakeParam& p = params[*position];
    *name = SysAllocString(p.name);
    *in = p.in ? VARIANT_TRUE : VARIANT_FALSE;
    *out = p.out ? VARIANT_TRUE : VARIANT_FALSE;
    *pResult = VARIANT_TRUE;
    return VariantCopy(content, &p.value);
  }
};

// A text form of a value for summaries and assertions: "s:text", "i:42",
// "a:[s:x,s:y]", "e" (empty), "t<vt>" otherwise.
std::u16string DescribeValue(const VARIANT& v);

}  // namespace server_testing
