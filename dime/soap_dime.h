// The DIME side of posting a message object (Iquenlin2): its envelope and
// attachments become a DIME body to send, and a DIME answer read by
// HttpDimeTransport goes back into it. Used by the server's forwarder and
// the client's proxy, which word their failures differently: each passes its
// own texts and gets back the (where, text) of the step that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "interfaces/quenlin.h"
#include "platform/com/variant.h"

namespace dime {

class DimeMessage;

// Which of the message object's attachment lists a DIME body carries.
enum class AttachmentList { kRequest, kResponse };

struct DimeTexts {
  std::u16string_view request_where;
  std::u16string_view response_where;
  // Writing (reported under request_where).
  std::u16string_view init_serializer;  // also a message the writer cannot size
  std::u16string_view primary_payload;
  std::u16string_view no_storage;
  std::u16string_view secondary_payload;
  // Reading (reported under response_where).
  std::u16string_view read_primary;
  std::u16string_view envelope_too_large;
  std::u16string_view envelope_array;
  std::u16string_view set_primary;
  std::u16string_view options_create;
  std::u16string_view options_access;
  std::u16string_view append_secondary;
};

struct DimeFailure {
  std::u16string_view where;
  std::u16string_view text;
};

// Host, port and path of "http://host[:port]/path". Without "http://" the
// host and path are empty; without a path the path is "/". A port that is
// not a decimal number in 1..65535 gives port 0, which no caller accepts.
struct NextHop {
  std::string host;
  int port = 80;
  std::string path;
};
NextHop ParseNextHopUrl(std::string_view url);

// Whether `url` may be sent to at all: "http://" at its start, a non-empty
// host of letters, digits, "-", "." and "_", an optional ":" and port
// 1..65535, and a path that is empty or starts with "/" and holds only bytes
// 0x21..0x7E. Next hops can come from a request; anything else could inject
// header lines or reach a host other than the one named.
bool IsUsableNextHopUrl(std::string_view url);

// A one-dimensional VT_UI1 array holding a copy of `length` bytes; null when
// it cannot be made.
SAFEARRAY* MakeByteArray(const void* bytes, size_t length);
// Takes ownership of `array`.
Variant ByteArrayVariant(SAFEARRAY* array);

// Readies `dime` for writing: the envelope as the first record (no ID, the
// given TYPE as an absolute URI), then each attachment of `list` in the
// message object's order. Only a one-dimensional byte array (by reference
// or not) is taken as an attachment's options. On success *body_length is
// the byte count the writer will produce.
std::optional<DimeFailure> BuildDimeBody(Iquenlin2* message, AttachmentList list,
                                         std::string_view envelope_type, const uint8_t* envelope,
                                         size_t length, const DimeTexts& texts, DimeMessage* dime,
                                         uint64_t* body_length);

// Puts a DIME answer that HttpDimeTransport read into `dime` back into the
// message: the first payload as its buffer (also appended to `envelope_text`
// when given), the others as response attachments sharing the payloads'
// storages.
std::optional<DimeFailure> ReadDimeBody(DimeMessage& dime, Iquenlin2* message,
                                        const DimeTexts& texts,
                                        std::string* envelope_text = nullptr);

}  // namespace dime
