#include "plugins/tests/likkelon/likkelon_obj.h"

#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "dime/field_text.h"
#include "dime/payload.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "platform/storage/storage.h"
#include "platform/text/text.h"
#include "plugins/tests/body_service.h"
#include "plugins/tests/likkelon/media_type.h"
#include "xml/codecs.h"
#include "xml/namespaces.h"

namespace testsvc {

namespace {

constexpr std::u16string_view kAttachmentsNs = xml::kInteropAttachmentsNamespace;
constexpr std::u16string_view kRefNs = xml::kWsReferenceNamespace;
constexpr uint32_t kCopyChunk = 4096;
constexpr std::u16string_view kBase64AttachmentType = u"application/octetstream";

ComPtr<IStorage> NewTemporaryStorage() {
  ComPtr<IStorage> storage;
  if (FAILED(StgCreateDocfile(
          nullptr, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_DELETEONRELEASE, 0,
          storage.Receive()))) {
    return nullptr;
  }
  return storage;
}

// A request attachment as the message hands it over.
struct Attachment {
  Bstr id, type;
  LONG tnf = 0;
  ComPtr<IStorage> storage;
  Variant options;

  dime::DimePayload Payload() const {
    return dime::DimePayload(storage.Get(), dime::NarrowFieldText(id.View()),
                             dime::NarrowFieldText(type.View()), static_cast<uint32_t>(tnf));
  }
};

// Takes the content as a storage; false when it is none.
bool TakeStorage(IUnknown* content, Attachment& a) {
  const ComPtr<IUnknown> owned = ComPtr<IUnknown>::Adopt(content);
  a.storage = com::QueryInterfacePtr<IStorage>(owned.Get());
  return static_cast<bool>(a.storage);
}

bool FetchAttachment(Iquenlin2& message, std::u16string_view id, Attachment& a) {
  a.id = Bstr(id);
  IUnknown* content = nullptr;
  VARIANT_BOOL ok = VARIANT_FALSE;
  const HRESULT hr =
      message.GetDIMEAttachmentReq(a.id.Get(), a.type.Receive(), &a.tnf, &content, &a.options, &ok);
  return TakeStorage(content, a) && Succeeded(hr, ok);
}

// Copies the attachment's bytes into a storage of its own and adds it to the
// response with the same id, type, format and options. Every byte must
// arrive: a copy cut short fails.
bool CopyAttachment(Iquenlin2& message, const Attachment& a) {
  dime::DimePayload source = a.Payload();
  const ComPtr<IStorage> copy = NewTemporaryStorage();
  if (!copy) return false;
  dime::DimePayload target(copy.Get(), source.Id(), source.Type(), source.TypeNameFormat());
  uint64_t size = 0;
  if (!source.OpenStream() || !source.TryGetSize(&size) || !target.CreateStream()) return false;
  std::vector<uint8_t> chunk(kCopyChunk);
  for (uint64_t left = size; left > 0;) {
    const uint32_t want = left < kCopyChunk ? static_cast<uint32_t>(left) : kCopyChunk;
    uint32_t read = 0, written = 0;
    if (!source.Read(chunk.data(), want, &read) || read != want) return false;
    if (!target.Write(chunk.data(), read, &written) || written != read) return false;
    left -= read;
  }
  source.Close();
  target.Close();
  VARIANT_BOOL ok = VARIANT_FALSE;
  const HRESULT hr =
      message.AddDIMEAttachmentResp(a.id.Get(), a.type.Get(), a.tnf, copy.Get(), a.options, &ok);
  return Succeeded(hr, ok);
}

// The whole content, when it is no larger than kMaxAttachmentReadBytes.
bool ReadWhole(const Attachment& a, std::string& bytes) {
  dime::DimePayload payload = a.Payload();
  uint64_t size = 0;
  if (!payload.OpenStream() || !payload.TryGetSize(&size) || size > kMaxAttachmentReadBytes) {
    return false;
  }
  try {
    bytes.resize(size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (size_t at = 0; at < bytes.size();) {
    const size_t left = bytes.size() - at;
    const uint32_t want = left < kCopyChunk * 16 ? static_cast<uint32_t>(left) : kCopyChunk * 16;
    uint32_t read = 0;
    if (!payload.Read(bytes.data() + at, want, &read) || read != want) return false;
    at += read;
  }
  return true;
}

// The `ref:location` of child "In", when both are there.
bool ReferencedId(const XmlElement& request, std::u16string& id) {
  const XmlElement* in = request.FindChild(u"In", kAttachmentsNs);
  return in && in->GetAttributeValue(kRefNs, u"location", &id);
}

// prefix "iop" child of the response, with a `ref:location` of its own.
void AppendReference(XmlElement& parent, std::u16string_view name, std::u16string_view id) {
  XmlElement* e = AppendUndeclaredElement(parent, kAttachmentsNs, kAnswerPrefix, name);
  e->AddNamespace(u"ref", kRefNs);
  e->AddAttributeNode(u"ref:location", kRefNs, id);
}

enum class Operation {
  kNone,
  kEchoAttachment,
  kEchoAttachments,
  kEchoAttachmentAsBase64,
  kEchoBase64AsAttachment,
  kEchoUnrefAttachments,
  kEchoAttachmentAsString,
};

constexpr std::u16string_view kOperationNames[] = {
    u"",
    u"EchoAttachment",
    u"EchoAttachments",
    u"EchoAttachmentAsBase64",
    u"EchoBase64AsAttachment",
    u"EchoUnrefAttachments",
    u"EchoAttachmentAsString",
};

// What one operation produced for the answer.
struct Outcome {
  Operation op = Operation::kNone;
  std::vector<std::u16string> ids;  // echoed or added, in order
  bool hasText = false;             // an "Out" with text (possibly empty)
  std::u16string text;
};

bool EchoAttachment(Iquenlin2& message, const XmlElement& request, Outcome& out) {
  std::u16string id;
  if (!ReferencedId(request, id)) return true;
  Attachment a;
  if (!FetchAttachment(message, id, a) || !CopyAttachment(message, a)) return false;
  out.ids.push_back(std::move(id));
  return true;
}

bool EchoAttachments(Iquenlin2& message, const XmlElement& request, Outcome& out) {
  for (const xml::XmlElementPtr& item : request.GetChildList()) {
    std::u16string id;
    if (item->GetLocalName() != u"Item" || item->GetNamespaceURI() != kAttachmentsNs ||
        !item->GetAttributeValue(kRefNs, u"location", &id)) {
      continue;
    }
    Attachment a;
    if (!FetchAttachment(message, id, a) || !CopyAttachment(message, a)) return false;
    out.ids.push_back(std::move(id));
  }
  return true;
}

// The referenced attachment's whole content as the text of "Out": in base64,
// or decoded by its type's charset when `decode`.
bool EchoAttachmentContent(Iquenlin2& message, const XmlElement& request, bool decode,
                           Outcome& out) {
  out.hasText = true;
  std::u16string id;
  if (!ReferencedId(request, id)) return true;
  Attachment a;
  std::string bytes;
  if (!FetchAttachment(message, id, a) || !ReadWhole(a, bytes)) return false;
  if (!decode) {
    std::string encoded;
    xml::Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), encoded);
    out.text.assign(encoded.begin(), encoded.end());
    return true;
  }
  std::string mediaType;
  MediaTypeParams params;
  ParseMediaType(text::Narrow(a.type.View()), mediaType, params);
  if (!mediaType.starts_with("TEXT/")) return false;
  out.text = DecodeText(bytes, CharsetOf(params));
  // No client could parse an answer carrying such a character.
  std::u16string checked = out.text;
  return ReplaceNonXmlCharacters(checked) == 0;
}

bool EchoBase64AsAttachment(Iquenlin2& message, const XmlElement& request, Outcome& out) {
  const XmlElement* in = request.FindChild(u"In", kAttachmentsNs);
  if (!in) return true;
  size_t length = 0;
  if (!xml::Base64Decode(in->GetText(), nullptr, &length)) return false;
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(length);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (length != 0 && !xml::Base64Decode(in->GetText(), bytes.data(), &length)) return false;
  const ComPtr<IStorage> storage = NewTemporaryStorage();
  std::u16string id;
  if (!storage || !MakeAttachmentId(id)) return false;
  {
    dime::DimePayload payload(storage.Get(), text::Narrow(id), text::Narrow(kBase64AttachmentType),
                              1);
    // An empty stream still, so that the answer carries an attachment of length 0.
    if (!payload.CreateStream()) return false;
    uint32_t written = 0;
    if (length != 0 && (!payload.Write(bytes.data(), static_cast<uint32_t>(length), &written) ||
                        written != length)) {
      return false;
    }
    payload.Close();
  }
  Bstr bid(id), type(kBase64AttachmentType);
  Variant options;
  VARIANT_BOOL ok = VARIANT_FALSE;
  const HRESULT hr =
      message.AddDIMEAttachmentResp(bid.Get(), type.Get(), 1, storage.Get(), options, &ok);
  if (!Succeeded(hr, ok)) return false;
  out.ids.push_back(std::move(id));
  return true;
}

bool EchoUnrefAttachments(Iquenlin2& message, Outcome&) {
  LONG position = 0;
  for (bool first = true;; first = false) {
    Attachment a;
    IUnknown* content = nullptr;
    VARIANT_BOOL more = VARIANT_FALSE;
    const HRESULT hr =
        first ? message.GetFirstDIMEAttachmentReq(a.id.Receive(), a.type.Receive(), &a.tnf,
                                                  &content, &a.options, &position, &more)
              : message.GetNextDIMEAttachmentReq(a.id.Receive(), a.type.Receive(), &a.tnf, &content,
                                                 &a.options, &position, &more);
    const bool isStorage = TakeStorage(content, a);
    if (hr != S_OK || more != VARIANT_TRUE) return true;
    if (!isStorage || !CopyAttachment(message, a)) return false;
  }
}

}  // namespace

bool MakeAttachmentId(std::u16string& id) { return xml::MakeMessageId(id); }

bool HandleEchoOperation(Iquenlin2& message) {
  XmlElementPtr request = ReadBodyElement(message);
  if (!request) return false;
  Outcome out;
  const XmlElement* found = nullptr;
  for (size_t i = 1; i < std::size(kOperationNames) && !found; ++i) {
    found = request->FindChild(kOperationNames[i], kAttachmentsNs);
    if (found) out.op = static_cast<Operation>(i);
  }
  bool ok = true;
  switch (out.op) {
    case Operation::kNone:
      break;
    case Operation::kEchoAttachment:
      ok = EchoAttachment(message, *found, out);
      break;
    case Operation::kEchoAttachments:
      ok = EchoAttachments(message, *found, out);
      break;
    case Operation::kEchoAttachmentAsBase64:
      ok = EchoAttachmentContent(message, *found, /*decode=*/false, out);
      break;
    case Operation::kEchoBase64AsAttachment:
      ok = EchoBase64AsAttachment(message, *found, out);
      break;
    case Operation::kEchoUnrefAttachments:
      ok = EchoUnrefAttachments(message, out);
      break;
    case Operation::kEchoAttachmentAsString:
      ok = EchoAttachmentContent(message, *found, /*decode=*/true, out);
      break;
  }
  request.reset();
  if (!ok) return false;

  XmlElementPtr body = NewBodyElement(EnvelopeNamespaceOf(message));
  if (out.op != Operation::kNone) {
    std::u16string name(kOperationNames[static_cast<size_t>(out.op)]);
    XmlElement* answer = AppendElement(*body, kAttachmentsNs, kAnswerPrefix, name + u"Response");
    const std::u16string_view item = out.op == Operation::kEchoAttachments ? u"Item" : u"Out";
    if (out.hasText) {
      AppendUndeclaredElement(*answer, kAttachmentsNs, kAnswerPrefix, item)->SetText(out.text);
    } else {
      for (const std::u16string& id : out.ids) AppendReference(*answer, item, id);
    }
  }
  WriteBody(message, *body);
  return true;
}

HRESULT LikkelonObj::OnProcessBody(VARIANT SOAPMsgInterface, VARIANT_BOOL* pResult) {
  return RunEntryPoint(SOAPMsgInterface, pResult, HandleEchoOperation, SetProcessingFault);
}

}  // namespace testsvc
