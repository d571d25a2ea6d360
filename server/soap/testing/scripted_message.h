// A message object for the dispatch, forwarding, GET and plug-in tests: it
// answers the calls the server and the plug-ins make as each test scripts them
// (parse result, version, mandatory blocks, RPC parameters, envelope,
// attachments) and records what was done to it (calls in order, the buffer
// given, faults, header and body literals, results, attachments).
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "interfaces/quenlin.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "platform/storage/storage.h"

namespace server_testing {

#define QV_SCRIPTED_PARAM(dir, t, name) [[maybe_unused]] QV_PTYPE_##dir(t) name
#define QV_SCRIPTED_STUB(name, dispid, ...)                            \
  HRESULT name(QV_FOR_EACH(QV_SCRIPTED_PARAM, __VA_ARGS__)) override { \
    calls.push_back(u## #name);                                        \
    return E_NOTIMPL;                                                  \
  }

// Every method records its name and answers E_NOTIMPL until overridden.
class UnscriptedMessage : public com::Dispatch<Iquenlin2> {
 public:
  std::vector<std::u16string> calls;
  QV_IQUENLIN2_METHODS(QV_SCRIPTED_STUB)
};

struct ScriptedAttachment {
  std::u16string id, type;
  LONG tnf = 2;
  ComPtr<IUnknown> storage;
  std::vector<uint8_t> options;  // the OPTIONS field in DIME form
};

struct ScriptedFault {
  std::u16string code, ns, text;
  bool soap12 = false;
  std::u16string subcode, subcodeNs;
  bool needDetail = false;
};

struct FakeParam {
  std::u16string name;
  Variant value;
  bool in = true;
  bool out = false;
};

inline VARIANT_BOOL Vb(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }

class ScriptedMessage final : public com::ComObject<ScriptedMessage, UnscriptedMessage> {
 public:
  // What GetBuffer gives: the envelope (which a buffer given before parsing
  // replaces), or a plain text summary of the record, so that a test reads
  // what the server and the plug-ins did from the HTTP answer too.
  enum class Writes { Envelope, Summary };

  // ---- The script ----
  Writes writes = Writes::Envelope;
  LONG version = 11;
  std::string envelope;  // what GetBuffer gives
  bool getBufferOk = true;
  bool serializeOk = true;
  bool deserializeOk = true;
  bool setBufferOk = true;
  bool addAttachmentOk = true;
  bool initializeOk = true;
  bool rpc = false;
  bool processRpcGetOk = true;
  // The operation ProcessRPCGet finds on the path; empty: the path names none.
  std::u16string rpcGetMethod = u"op";
  bool processRpcOk = true;
  std::u16string method;  // the RPC method (ProcessRPCGet sets it)
  std::vector<FakeParam> params;
  // Mandatory header blocks: (namespace, local name).
  std::vector<std::pair<std::u16string, std::u16string>> muBlocks;
  // The next hop; Initialize sets it when given one.
  std::u16string nextHop;
  std::u16string body;  // the request body literal
  std::vector<ScriptedAttachment> requestAttachments;
  std::vector<ScriptedAttachment> responseAttachments;  // also filled by AddDIMEAttachmentResp

  // ---- The record ----
  std::string buffer;  // the bytes of the last SetBuffer
  bool bufferSet = false;
  std::vector<ScriptedFault> faults;
  bool noContent = false;
  bool requestPhase = true;
  std::u16string rpcGetArgs;  // "svc|extra|query" of ProcessRPCGet
  std::u16string soapAction;
  int roleCount = -1;
  std::vector<std::u16string> phases;  // per SetRequestPhase: "request" or "response"
  std::vector<std::u16string> marks;   // header literals added, by name
  std::u16string faultDetail;          // name=content of the detail added
  std::vector<std::u16string> faultHeaders;
  Variant returnValue;
  bool returnSet = false;
  std::vector<FakeParam> outParams;
  int clearHeaderCalls = 0;
  std::u16string responseBody;

  bool HasFault() const { return !faults.empty(); }
  // "id|type" of each request attachment added.
  std::vector<std::u16string> RequestAttachmentIds() const {
    std::vector<std::u16string> ids;
    for (const ScriptedAttachment& a : requestAttachments) ids.push_back(a.id + u"|" + a.type);
    return ids;
  }
  // The text the buffer holds in Writes::Summary.
  std::string Summary() const;

  HRESULT Initialize(BSTR, BSTR, BSTR, BSTR bstrSOAPAction, BSTR bstrNextHopURL, VARIANT_BOOL,
                     VARIANT_BOOL, IDispatch*, VARIANT_BOOL* pResult) override {
    calls.push_back(u"Initialize");
    soapAction = BstrView(bstrSOAPAction);
    if (!BstrView(bstrNextHopURL).empty()) nextHop = BstrView(bstrNextHopURL);
    *pResult = Vb(initializeOk);
    return S_OK;
  }
  HRESULT GetSOAPVersion(LONG* pVersion) override {
    *pVersion = version;
    return S_OK;
  }
  HRESULT SetSOAPVersion(LONG lVersion) override {
    calls.push_back(u"SetSOAPVersion");
    version = lVersion;
    return S_OK;
  }
  HRESULT GetBuffer(VARIANT* pvarBuffer, VARIANT_BOOL* pResult) override {
    const bool summary = writes == Writes::Summary;
    *pResult = Vb(getBufferOk && (!summary || serializeOk));
    if (*pResult != VARIANT_TRUE) return S_OK;
    const std::string bytes = summary ? Summary() : envelope;
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    void* data = nullptr;
    SafeArrayAccessData(a, &data);
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(a);
    pvarBuffer->vt = VT_ARRAY | VT_UI1;
    pvarBuffer->parray = a;
    return S_OK;
  }
  HRESULT SetBuffer(VARIANT varBuffer, VARIANT_BOOL* pResult) override {
    calls.push_back(u"SetBuffer");
    *pResult = Vb(setBufferOk && varBuffer.vt == (VT_ARRAY | VT_UI1));
    if (*pResult != VARIANT_TRUE) return S_OK;
    void* data = nullptr;
    SafeArrayAccessData(varBuffer.parray, &data);
    buffer.assign(static_cast<const char*>(data), varBuffer.parray->rgsabound[0].cElements);
    SafeArrayUnaccessData(varBuffer.parray);
    bufferSet = true;
    return S_OK;
  }
  HRESULT Serialize(VARIANT_BOOL* pResult) override {
    calls.push_back(u"Serialize");
    *pResult = Vb(serializeOk);
    return S_OK;
  }
  // A buffer given before parsing is what the message writes back later; a
  // parse that fails leaves its fault.
  HRESULT Deserialize(VARIANT_BOOL* pResult) override {
    calls.push_back(u"Deserialize");
    if (bufferSet) envelope = buffer;
    if (!deserializeOk) {
      ScriptedFault& f = AddFault(version == 11 ? u"Client" : u"Sender",
                                  version == 11 ? u"http://schemas.xmlsoap.org/soap/envelope/"
                                                : u"http://www.w3.org/2003/05/soap-envelope",
                                  u"parse error");
      f.soap12 = version != 11;
    }
    *pResult = Vb(deserializeOk);
    return S_OK;
  }
  HRESULT AddDIMEAttachmentReq(BSTR id, BSTR type, LONG tnf, IUnknown* unknown, VARIANT,
                               VARIANT_BOOL* pResult) override {
    *pResult = Vb(unknown != nullptr);
    if (unknown != nullptr) {
      requestAttachments.push_back(ScriptedAttachment{std::u16string(BstrView(id)),
                                                      std::u16string(BstrView(type)),
                                                      tnf,
                                                      ComPtr<IUnknown>(unknown),
                                                      {}});
    }
    return S_OK;
  }
  HRESULT SetRoles(VARIANT varRoles, VARIANT_BOOL* pResult) override {
    roleCount = varRoles.vt == (VT_ARRAY | VT_VARIANT) && varRoles.parray
                    ? static_cast<int>(varRoles.parray->rgsabound[0].cElements)
                    : -1;
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT CheckMustUnderstand(VARIANT_BOOL* pResult) override {
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT SetRequestPhase(VARIANT_BOOL bFlag) override {
    calls.push_back(bFlag == VARIANT_TRUE ? u"SetRequestPhase(true)" : u"SetRequestPhase(false)");
    phases.push_back(bFlag == VARIANT_TRUE ? u"request" : u"response");
    requestPhase = bFlag == VARIANT_TRUE;
    return S_OK;
  }
  HRESULT IsRequestPhase(VARIANT_BOOL* pResult) override {
    *pResult = Vb(requestPhase);
    return S_OK;
  }
  HRESULT GetNextHopURL(BSTR* url) override {
    *url = SysAllocString(nextHop);
    return S_OK;
  }
  HRESULT IsIntermediary(VARIANT_BOOL* pResult) override {
    *pResult = Vb(!nextHop.empty());
    return S_OK;
  }
  HRESULT IsRPCStyle(VARIANT_BOOL* pResult) override {
    *pResult = Vb(rpc);
    return S_OK;
  }
  HRESULT ProcessRPCGet(BSTR svc, BSTR extra, BSTR query, VARIANT_BOOL* pResult) override {
    calls.push_back(u"ProcessRPCGet");
    rpcGetArgs = std::u16string(BstrView(svc)) + u"|" + std::u16string(BstrView(extra)) + u"|" +
                 std::u16string(BstrView(query));
    if (processRpcGetOk) method = rpcGetMethod;
    *pResult = Vb(processRpcGetOk);
    return S_OK;
  }
  HRESULT GetMethodName(BSTR* pbstrName) override {
    *pbstrName = SysAllocString(method);
    return S_OK;
  }
  HRESULT ProcessRPC(VARIANT_BOOL* pResult) override {
    calls.push_back(u"ProcessRPC");
    *pResult = Vb(processRpcOk);
    return S_OK;
  }
  HRESULT GetFirstMethodParam(BSTR* ns, BSTR* name, VARIANT* content, VARIANT_BOOL* in,
                              VARIANT_BOOL* out, LONG* position, VARIANT_BOOL* pResult) override {
    calls.push_back(u"GetFirstMethodParam");
    *position = 0;
    return ParamAt(ns, name, content, in, out, position, pResult);
  }
  HRESULT GetNextMethodParam(BSTR* ns, BSTR* name, VARIANT* content, VARIANT_BOOL* in,
                             VARIANT_BOOL* out, LONG* position, VARIANT_BOOL* pResult) override {
    calls.push_back(u"GetNextMethodParam");
    ++*position;
    return ParamAt(ns, name, content, in, out, position, pResult);
  }
  HRESULT SetReturnValue(VARIANT value) override {
    calls.push_back(u"SetReturnValue");
    returnSet = true;
    return returnValue.CopyFrom(value);
  }
  HRESULT AddMethodParam(BSTR, BSTR name, VARIANT content, VARIANT_BOOL in, VARIANT_BOOL out,
                         VARIANT_BOOL* pResult) override {
    calls.push_back(u"AddMethodParam");
    FakeParam p;
    p.name = BstrView(name);
    p.in = in == VARIANT_TRUE;
    p.out = out == VARIANT_TRUE;
    const HRESULT hr = p.value.CopyFrom(content);
    outParams.push_back(std::move(p));
    *pResult = Vb(SUCCEEDED(hr));
    return S_OK;
  }
  HRESULT ClearHeaderElems() override {
    calls.push_back(u"ClearHeaderElems");
    ++clearHeaderCalls;
    return S_OK;
  }
  HRESULT ClearMethodParams() override {
    calls.push_back(u"ClearMethodParams");
    params.clear();
    return S_OK;
  }
  HRESULT GetMUHeaderBlocks(VARIANT* out) override {
    calls.push_back(u"GetMUHeaderBlocks");
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
    calls.push_back(u"AddHeaderElemLiteral");
    marks.emplace_back(BstrView(name));
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT AddFaultDetailElem(BSTR, BSTR name, VARIANT content, VARIANT_BOOL* pResult) override {
    calls.push_back(u"AddFaultDetailElem");
    faultDetail = std::u16string(BstrView(name)) + u"=" +
                  (content.vt == VT_BSTR ? std::u16string(BstrView(content.bstrVal)) : u"?");
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT AddFaultHeaderElemLiteral(BSTR, BSTR name, BSTR literal, VARIANT_BOOL, BSTR, BSTR,
                                    VARIANT_BOOL* pResult) override {
    calls.push_back(u"AddFaultHeaderElemLiteral");
    faultHeaders.push_back(std::u16string(BstrView(name)) + u":" +
                           std::u16string(BstrView(literal)));
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT GetBodyElemLiteral(BSTR* out, VARIANT_BOOL* pResult) override {
    calls.push_back(u"GetBodyElemLiteral");
    *out = SysAllocString(body);
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT SetBodyElemLiteral(BSTR literal, BSTR, VARIANT_BOOL* pResult) override {
    calls.push_back(u"SetBodyElemLiteral");
    responseBody = BstrView(literal);
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT SetNoContentResponse(VARIANT_BOOL bValue) override {
    noContent = bValue == VARIANT_TRUE;
    return S_OK;
  }
  HRESULT IsNoContentResponse(VARIANT_BOOL* pResult) override {
    *pResult = Vb(noContent);
    return S_OK;
  }
  HRESULT IsSOAPFault(VARIANT_BOOL* pResult) override {
    *pResult = Vb(HasFault());
    return S_OK;
  }
  HRESULT GetSOAPFaultCode(BSTR* code) override {
    *code = SysAllocString(faults.empty() ? u"" : faults.back().code);
    return S_OK;
  }
  HRESULT GetSOAPFaultCodeNS(BSTR* ns) override {
    *ns = SysAllocString(faults.empty() ? u"" : faults.back().ns);
    return S_OK;
  }
  HRESULT SetSOAPFault(BSTR code, BSTR ns, BSTR text, VARIANT_BOOL needDetail,
                       VARIANT_BOOL* pResult) override {
    AddFault(BstrView(code), BstrView(ns), BstrView(text)).needDetail = needDetail == VARIANT_TRUE;
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT SetSOAP12Fault(BSTR code, BSTR ns, BSTR subcode, BSTR subcodeNs, BSTR reason,
                         BSTR lang, VARIANT_BOOL* pResult) override {
    if (BstrView(lang) != u"en") return E_INVALIDARG;
    ScriptedFault& f = AddFault(BstrView(code), BstrView(ns), BstrView(reason));
    f.soap12 = true;
    f.subcode = BstrView(subcode);
    f.subcodeNs = BstrView(subcodeNs);
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT GetFirstDIMEAttachmentReq(BSTR* id, BSTR* type, LONG* tnf, IUnknown** unknown,
                                    VARIANT* options, LONG* position,
                                    VARIANT_BOOL* pResult) override {
    *position = 0;
    return Attachment(requestAttachments, id, type, tnf, unknown, options, position, pResult);
  }
  HRESULT GetNextDIMEAttachmentReq(BSTR* id, BSTR* type, LONG* tnf, IUnknown** unknown,
                                   VARIANT* options, LONG* position,
                                   VARIANT_BOOL* pResult) override {
    return Attachment(requestAttachments, id, type, tnf, unknown, options, position, pResult);
  }
  HRESULT GetFirstDIMEAttachmentResp(BSTR* id, BSTR* type, LONG* tnf, IUnknown** unknown,
                                     VARIANT* options, LONG* position,
                                     VARIANT_BOOL* pResult) override {
    *position = 0;
    return Attachment(responseAttachments, id, type, tnf, unknown, options, position, pResult);
  }
  HRESULT GetNextDIMEAttachmentResp(BSTR* id, BSTR* type, LONG* tnf, IUnknown** unknown,
                                    VARIANT* options, LONG* position,
                                    VARIANT_BOOL* pResult) override {
    return Attachment(responseAttachments, id, type, tnf, unknown, options, position, pResult);
  }
  HRESULT GetNumRespAttachments(LONG* count) override {
    *count = static_cast<LONG>(responseAttachments.size());
    return S_OK;
  }
  HRESULT AddDIMEAttachmentResp(BSTR id, BSTR type, LONG tnf, IUnknown* unknown, VARIANT options,
                                VARIANT_BOOL* pResult) override {
    calls.push_back(u"AddDIMEAttachmentResp");
    *pResult = Vb(addAttachmentOk && unknown != nullptr);
    if (*pResult != VARIANT_TRUE) return S_OK;
    ScriptedAttachment a{std::u16string(BstrView(id)),
                         std::u16string(BstrView(type)),
                         tnf,
                         ComPtr<IUnknown>(unknown),
                         {}};
    if (options.vt == (VT_ARRAY | VT_UI1)) {
      void* data = nullptr;
      SafeArrayAccessData(options.parray, &data);
      const auto* b = static_cast<const uint8_t*>(data);
      a.options.assign(b, b + options.parray->rgsabound[0].cElements);
      SafeArrayUnaccessData(options.parray);
    }
    responseAttachments.push_back(std::move(a));
    return S_OK;
  }

 private:
  ScriptedFault& AddFault(std::u16string_view code, std::u16string_view ns,
                          std::u16string_view text) {
    ScriptedFault& f = faults.emplace_back();
    f.code = code;
    f.ns = ns;
    f.text = text;
    return f;
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
    *in = Vb(p.in);
    *out = Vb(p.out);
    *pResult = VARIANT_TRUE;
    return VariantCopy(content, &p.value);
  }
  // The attachment at *position (then advanced), as the walkers give it.
  static HRESULT Attachment(const std::vector<ScriptedAttachment>& list, BSTR* id, BSTR* type,
                            LONG* tnf, IUnknown** unknown, VARIANT* options, LONG* position,
                            VARIANT_BOOL* pResult) {
    const auto at = static_cast<size_t>(*position);
    *pResult = Vb(at < list.size());
    if (at >= list.size()) return S_OK;
    const ScriptedAttachment& a = list[at];
    *id = SysAllocString(a.id);
    *type = SysAllocString(a.type);
    *tnf = a.tnf;
    *unknown = a.storage.Get();
    if (*unknown) (*unknown)->AddRef();
    SAFEARRAY* o = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(a.options.size()));
    if (!a.options.empty()) {
      void* data = nullptr;
      SafeArrayAccessData(o, &data);
      std::memcpy(data, a.options.data(), a.options.size());
      SafeArrayUnaccessData(o);
    }
    options->vt = VT_ARRAY | VT_UI1;
    options->parray = o;
    *position = static_cast<LONG>(at + 1);
    return S_OK;
  }
};

// A message whose buffer is the summary of its record.
inline ComPtr<ScriptedMessage> SummaryMessage() {
  ComPtr<ScriptedMessage> message = com::MakeComObject<ScriptedMessage>();
  message->writes = ScriptedMessage::Writes::Summary;
  return message;
}

// A text form of a value for summaries and assertions: "s:text", "i:42",
// "a:[s:x,s:y]", "e" (empty), "t<vt>" otherwise.
std::u16string DescribeValue(const VARIANT& v);

}  // namespace server_testing
