#include "dime/soap_dime.h"

#include <cstring>
#include <limits>
#include <vector>

#include "dime/exception.h"
#include "dime/field_text.h"
#include "dime/message.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "platform/storage/storage.h"
#include "platform/text/text.h"

namespace dime {
namespace {

constexpr uint32_t kEnvelopeTypeNameFormat = 2;  // absolute URI

// A strict decimal port: digits only, 1..65535; 0 otherwise.
int ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return 0;
  int port = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    port = port * 10 + (c - '0');
  }
  return port <= 65535 ? port : 0;
}

// Reading any other variant as an array would crash on a caller's integer or
// interface.
SAFEARRAY* OptionBytes(const VARIANT& options) {
  SAFEARRAY* array = nullptr;
  if (options.vt == (VT_ARRAY | VT_UI1)) {
    array = options.parray;
  } else if (options.vt == (VT_BYREF | VT_ARRAY | VT_UI1) && options.pparray != nullptr) {
    array = *options.pparray;
  }
  if (array == nullptr || SafeArrayGetDim(array) != 1) return nullptr;
  return array;
}

std::optional<DimeFailure> Failed(std::u16string_view where, std::u16string_view text) {
  return DimeFailure{where, text};
}

}  // namespace

NextHop ParseNextHopUrl(std::string_view url) {
  NextHop hop;
  static constexpr std::string_view kScheme = "http://";
  const size_t scheme = url.find(kScheme);
  if (scheme == std::string_view::npos) return hop;
  std::string_view rest = url.substr(scheme + kScheme.size());
  const size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  hop.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  const size_t colon = authority.find(':');
  if (colon != std::string_view::npos) {
    hop.port = ParsePort(authority.substr(colon + 1));
    authority = authority.substr(0, colon);
  }
  hop.host = std::string(authority);
  return hop;
}

bool IsUsableNextHopUrl(std::string_view url) {
  static constexpr std::string_view kScheme = "http://";
  if (!url.starts_with(kScheme)) return false;
  const std::string_view rest = url.substr(kScheme.size());
  const size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  const std::string_view path = slash == std::string_view::npos ? "" : rest.substr(slash);
  const size_t colon = authority.find(':');
  if (colon != std::string_view::npos) {
    if (ParsePort(authority.substr(colon + 1)) == 0) return false;
    authority = authority.substr(0, colon);
  }
  if (authority.empty()) return false;
  for (const char c : authority) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_';
    if (!ok) return false;
  }
  for (const char c : path) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

SAFEARRAY* MakeByteArray(const void* bytes, size_t length) {
  if (length > std::numeric_limits<ULONG>::max()) return nullptr;
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(length));
  if (array == nullptr) return nullptr;
  if (length > 0 && bytes != nullptr) {
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) {
      SafeArrayDestroy(array);
      return nullptr;
    }
    std::memcpy(data, bytes, length);
    SafeArrayUnaccessData(array);
  }
  return array;
}

Variant ByteArrayVariant(SAFEARRAY* array) {
  Variant v;
  v.vt = VT_ARRAY | VT_UI1;
  v.parray = array;
  return v;
}

std::optional<DimeFailure> BuildDimeBody(Iquenlin2* message, AttachmentList list,
                                         std::string_view envelope_type, const uint8_t* envelope,
                                         size_t length, const DimeTexts& texts, DimeMessage* dime,
                                         uint64_t* body_length) {
  const std::u16string_view where = texts.request_where;
  const bool request = list == AttachmentList::kRequest;
  try {
    dime->InitSerializer(kPostRecordSize);
    if (!dime->AddPayloadFromBytes(envelope, length, "", std::string(envelope_type),
                                   kEnvelopeTypeNameFormat)) {
      return Failed(where, texts.primary_payload);
    }
    Bstr id, type;
    LONG tnf = 0;
    ComPtr<IUnknown> unknown;
    Variant options;
    LONG position = 0;
    VARIANT_BOOL more = VARIANT_FALSE;
    if (request) {
      message->GetFirstDIMEAttachmentReq(id.Receive(), type.Receive(), &tnf, unknown.Receive(),
                                         options.Receive(), &position, &more);
    } else {
      message->GetFirstDIMEAttachmentResp(id.Receive(), type.Receive(), &tnf, unknown.Receive(),
                                          options.Receive(), &position, &more);
    }
    while (more == VARIANT_TRUE) {
      ComPtr<IStorage> storage = com::QueryInterfacePtr<IStorage>(unknown.Get());
      if (!storage) return Failed(where, texts.no_storage);
      if (!dime->AddPayload(storage.Get(), NarrowFieldText(id.View()), NarrowFieldText(type.View()),
                            static_cast<uint32_t>(tnf), OptionBytes(options))) {
        return Failed(where, texts.secondary_payload);
      }
      more = VARIANT_FALSE;
      if (request) {
        message->GetNextDIMEAttachmentReq(id.Receive(), type.Receive(), &tnf, unknown.Receive(),
                                          options.Receive(), &position, &more);
      } else {
        message->GetNextDIMEAttachmentResp(id.Receive(), type.Receive(), &tnf, unknown.Receive(),
                                           options.Receive(), &position, &more);
      }
    }
    *body_length = dime->ComputeMessageLength();
  } catch (DIMEParserException* e) {
    delete e;
    return Failed(where, texts.init_serializer);
  }
  if (*body_length == 0) return Failed(where, texts.init_serializer);
  return std::nullopt;
}

std::optional<DimeFailure> ReadDimeBody(DimeMessage& dime, Iquenlin2* message,
                                        const DimeTexts& texts, std::string* envelope_text) {
  const std::u16string_view where = texts.response_where;
  DimePayload* envelope = dime.Payload(0);
  if (envelope == nullptr || !envelope->OpenStream()) return Failed(where, texts.read_primary);
  uint64_t size = 0;
  if (!envelope->TryGetSize(&size)) {
    envelope->Close();
    return Failed(where, texts.read_primary);
  }
  if (size > dime.Limits().max_envelope_bytes || size > std::numeric_limits<ULONG>::max()) {
    envelope->Close();
    return Failed(where, texts.envelope_too_large);
  }
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
  if (array == nullptr) {
    envelope->Close();
    return Failed(where, texts.envelope_array);
  }
  Variant body = ByteArrayVariant(array);
  bool read_ok = true;
  if (size > 0) {
    void* data = nullptr;
    read_ok = SUCCEEDED(SafeArrayAccessData(array, &data));
    // A stream may hand out fewer bytes than asked; only its end is short.
    uint64_t done = 0;
    while (read_ok && done < size) {
      uint32_t read = 0;
      read_ok = envelope->Read(static_cast<uint8_t*>(data) + done,
                               static_cast<uint32_t>(size - done), &read) &&
                read > 0;
      done += read;
    }
    if (read_ok && envelope_text != nullptr) {
      envelope_text->append(static_cast<const char*>(data), size);
    }
    if (data != nullptr) SafeArrayUnaccessData(array);
  }
  envelope->Close();
  if (!read_ok) return Failed(where, texts.read_primary);
  VARIANT_BOOL ok = VARIANT_FALSE;
  message->SetBuffer(body, &ok);
  if (ok != VARIANT_TRUE) return Failed(where, texts.set_primary);

  for (size_t i = 1; i < dime.PayloadCount(); ++i) {
    const DimePayload* payload = dime.Payload(i);
    Variant options;
    const uint64_t options_length = payload->GetOptionsLength();
    if (options_length > 0) {
      SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(options_length));
      if (bytes == nullptr) return Failed(where, texts.options_create);
      options = ByteArrayVariant(bytes);
      void* data = nullptr;
      if (FAILED(SafeArrayAccessData(bytes, &data))) return Failed(where, texts.options_access);
      size_t written = 0;
      const bool wrote =
          payload->WriteOptions(static_cast<uint8_t*>(data), options_length, &written);
      SafeArrayUnaccessData(bytes);
      if (!wrote) return Failed(where, texts.options_access);
    }
    ok = VARIANT_FALSE;
    message->AddDIMEAttachmentResp(Bstr(WidenFieldText(payload->Id())).Get(),
                                   Bstr(WidenFieldText(payload->Type())).Get(),
                                   static_cast<LONG>(payload->TypeNameFormat()),
                                   static_cast<IUnknown*>(payload->Storage()), options, &ok);
    if (ok != VARIANT_TRUE) return Failed(where, texts.append_secondary);
  }
  return std::nullopt;
}

}  // namespace dime
