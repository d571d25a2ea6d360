// A message object for the test services' unit tests: it hands out the body
// literal, version and request attachments a test sets up, and records the
// answer body, the fault and the response attachments.
#pragma once

#include <string>
#include <vector>

#include "interfaces/testing/quenlin_stub.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "platform/storage/storage.h"

namespace testsvc_testing {

struct Fault {
  std::u16string method;  // "SetSOAPFault" or "SetSOAP12Fault"
  std::u16string code, codeNs, subcode, subcodeNs, text, lang;
  bool needDetail = false;
};

struct Attachment {
  std::u16string id, type;
  LONG tnf = 1;
  ComPtr<IUnknown> content;
};

// `message` as the server passes it to a plug-in: VT_DISPATCH, with a
// reference of its own.
inline Variant DispatchArgument(IDispatch* message) {
  Variant v;
  v.vt = VT_DISPATCH;
  v.pdispVal = message;
  message->AddRef();
  return v;
}

class ServiceMessage final : public com::ComObject<ServiceMessage, quenlin_testing::StubMessage> {
 public:
  // ---- The script ----
  std::u16string body;
  bool bodyOk = true;
  LONG version = 11;
  std::vector<Attachment> requestAttachments;

  // ---- The record ----
  bool bodySet = false;
  std::u16string responseBody;
  std::u16string responseStyle;
  std::vector<Fault> faults;
  std::vector<Attachment> responseAttachments;

  HRESULT GetBodyElemLiteral(BSTR* out, VARIANT_BOOL* pResult) override {
    *out = bodyOk ? SysAllocString(body) : nullptr;
    *pResult = bodyOk ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT SetBodyElemLiteral(BSTR literal, BSTR style, VARIANT_BOOL* pResult) override {
    bodySet = true;
    responseBody = BstrView(literal);
    responseStyle = BstrView(style);
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT GetSOAPVersion(LONG* v) override {
    *v = version;
    return S_OK;
  }
  HRESULT SetSOAPFault(BSTR code, BSTR ns, BSTR text, VARIANT_BOOL detail,
                       VARIANT_BOOL* pResult) override {
    faults.push_back({u"SetSOAPFault", std::u16string(BstrView(code)), std::u16string(BstrView(ns)),
                      u"", u"", std::u16string(BstrView(text)), u"", detail == VARIANT_TRUE});
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT SetSOAP12Fault(BSTR code, BSTR ns, BSTR subcode, BSTR subcodeNs, BSTR reason, BSTR lang,
                         VARIANT_BOOL* pResult) override {
    faults.push_back({u"SetSOAP12Fault", std::u16string(BstrView(code)),
                      std::u16string(BstrView(ns)), std::u16string(BstrView(subcode)),
                      std::u16string(BstrView(subcodeNs)), std::u16string(BstrView(reason)),
                      std::u16string(BstrView(lang)), false});
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT GetDIMEAttachmentReq(BSTR id, BSTR* type, LONG* tnf, IUnknown** content, VARIANT*,
                               VARIANT_BOOL* pResult) override {
    *pResult = VARIANT_FALSE;
    for (size_t i = 0; i < requestAttachments.size(); ++i) {
      if (requestAttachments[i].id == BstrView(id))
        return Give(i, nullptr, type, tnf, content, pResult);
    }
    return S_OK;
  }
  HRESULT GetFirstDIMEAttachmentReq(BSTR* id, BSTR* type, LONG* tnf, IUnknown** content, VARIANT*,
                                    LONG* position, VARIANT_BOOL* pResult) override {
    *position = 0;
    return Give(0, id, type, tnf, content, pResult);
  }
  HRESULT GetNextDIMEAttachmentReq(BSTR* id, BSTR* type, LONG* tnf, IUnknown** content, VARIANT*,
                                   LONG* position, VARIANT_BOOL* pResult) override {
    ++*position;
    return Give(static_cast<size_t>(*position), id, type, tnf, content, pResult);
  }
  HRESULT AddDIMEAttachmentResp(BSTR id, BSTR type, LONG tnf, IUnknown* content, VARIANT,
                                VARIANT_BOOL* pResult) override {
    responseAttachments.push_back({std::u16string(BstrView(id)), std::u16string(BstrView(type)),
                                   tnf, ComPtr<IUnknown>(content)});
    *pResult = VARIANT_TRUE;
    return S_OK;
  }

  // The entry points' argument.
  Variant AsArgument() { return DispatchArgument(this); }

 private:
  HRESULT Give(size_t at, BSTR* id, BSTR* type, LONG* tnf, IUnknown** content,
               VARIANT_BOOL* pResult) {
    *pResult = VARIANT_FALSE;
    if (at >= requestAttachments.size()) return S_OK;
    const Attachment& a = requestAttachments[at];
    if (id) *id = SysAllocString(a.id);
    *type = SysAllocString(a.type);
    *tnf = a.tnf;
    *content = a.content.Get();
    if (*content) (*content)->AddRef();
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
};

// A temporary storage whose unnamed stream holds `bytes`.
inline ComPtr<IStorage> StorageWith(const std::string& bytes) {
  ComPtr<IStorage> storage;
  StgCreateDocfile(nullptr,
                   STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_DELETEONRELEASE, 0,
                   storage.Receive());
  ComPtr<IStream> stream;
  storage->CreateStream(u"", STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, stream.Receive());
  ULONG written = 0;
  stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
  return storage;
}

// The same as an attachment's content.
inline ComPtr<IUnknown> ContentWith(const std::string& bytes) {
  return ComPtr<IUnknown>(StorageWith(bytes).Get());
}

// The bytes of a storage's unnamed stream.
inline std::string BytesOf(IUnknown* content) {
  const ComPtr<IStorage> storage = com::QueryInterfacePtr<IStorage>(content);
  ComPtr<IStream> stream;
  if (!storage ||
      FAILED(storage->OpenStream(u"", STGM_READ | STGM_SHARE_EXCLUSIVE, stream.Receive()))) {
    return "<no stream>";
  }
  std::string bytes;
  char chunk[4096];
  ULONG read = 0;
  while (SUCCEEDED(stream->Read(chunk, sizeof chunk, &read)) && read > 0) bytes.append(chunk, read);
  return bytes;
}

}  // namespace testsvc_testing
