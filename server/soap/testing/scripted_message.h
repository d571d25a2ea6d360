// A message object for the forwarding and GET tests: it answers the calls the
// server makes as each test scripts them and records what was done to it
// (calls in order, the buffer given, faults, attachments).
#pragma once

#include <cstring>
#include <string>
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
};

inline VARIANT_BOOL Vb(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }

class ScriptedMessage final : public com::ComObject<ScriptedMessage, UnscriptedMessage> {
 public:
  // ---- The script ----
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
  std::u16string nextHop;
  std::vector<ScriptedAttachment> requestAttachments;
  std::vector<ScriptedAttachment> responseAttachments;  // also filled by AddDIMEAttachmentResp

  // ---- The record ----
  std::string buffer;  // the bytes of the last SetBuffer
  bool bufferSet = false;
  std::vector<ScriptedFault> faults;
  bool noContent = false;
  bool requestPhase = true;
  std::u16string rpcGetArgs;  // "svc|extra|query" of ProcessRPCGet
  std::u16string methodName;

  bool HasFault() const { return !faults.empty(); }

  HRESULT Initialize(BSTR, BSTR, BSTR, BSTR, BSTR bstrNextHopURL, VARIANT_BOOL, VARIANT_BOOL,
                     IDispatch*, VARIANT_BOOL* pResult) override {
    calls.push_back(u"Initialize");
    nextHop = BstrView(bstrNextHopURL);
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
    *pResult = Vb(getBufferOk);
    if (!getBufferOk) return S_OK;
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(envelope.size()));
    void* data = nullptr;
    SafeArrayAccessData(a, &data);
    if (!envelope.empty()) std::memcpy(data, envelope.data(), envelope.size());
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
  // A buffer given before parsing is what the message writes back later.
  HRESULT Deserialize(VARIANT_BOOL* pResult) override {
    calls.push_back(u"Deserialize");
    if (bufferSet) envelope = buffer;
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
  HRESULT SetRoles(VARIANT, VARIANT_BOOL* pResult) override {
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT CheckMustUnderstand(VARIANT_BOOL* pResult) override {
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT SetRequestPhase(VARIANT_BOOL bFlag) override {
    calls.push_back(bFlag == VARIANT_TRUE ? u"SetRequestPhase(true)" : u"SetRequestPhase(false)");
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
    if (processRpcGetOk) methodName = rpcGetMethod;
    *pResult = Vb(processRpcGetOk);
    return S_OK;
  }
  HRESULT GetMethodName(BSTR* pbstrName) override {
    *pbstrName = SysAllocString(methodName);
    return S_OK;
  }
  HRESULT ClearHeaderElems() override {
    calls.push_back(u"ClearHeaderElems");
    return S_OK;
  }
  HRESULT ClearMethodParams() override {
    calls.push_back(u"ClearMethodParams");
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
  HRESULT SetSOAPFault(BSTR code, BSTR ns, BSTR text, VARIANT_BOOL,
                       VARIANT_BOOL* pResult) override {
    faults.push_back({std::u16string(BstrView(code)), std::u16string(BstrView(ns)),
                      std::u16string(BstrView(text)), false});
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT SetSOAP12Fault(BSTR code, BSTR ns, BSTR, BSTR, BSTR reason, BSTR lang,
                         VARIANT_BOOL* pResult) override {
    if (BstrView(lang) != u"en") return E_INVALIDARG;
    faults.push_back({std::u16string(BstrView(code)), std::u16string(BstrView(ns)),
                      std::u16string(BstrView(reason)), true});
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

}  // namespace server_testing
