#include "message/internal/faults.h"

#include "platform/text/text.h"

namespace message::internal {

void ThrowFault(int code, std::u16string_view text, bool need_detail) {
  throw new xml::QVSOAPFault(code, text, need_detail);
}

void ThrowFault(int code, std::u16string_view subcode, std::u16string_view subcode_ns,
                std::u16string_view text, bool need_detail) {
  throw new xml::QVSOAPFault(code, subcode, subcode_ns, text, need_detail);
}

void ThrowEncodingFault(int version, std::u16string_view text) {
  ThrowFault(version == xml::kSoapVersion11 ? xml::kFaultClient : xml::kFaultDataEncodingUnknown,
             text, true);
}

std::u16string FormatName(const char* format, std::u16string_view name) {
  std::u16string out =
      text::Widen(text::FormatCapped(kMaxFaultText * 3, format, text::Narrow(name).c_str()));
  if (out.size() > kMaxFaultText) {
    size_t cut = kMaxFaultText;
    // Never leave half a surrogate pair.
    if (cut > 0 && out[cut - 1] >= 0xD800 && out[cut - 1] <= 0xDBFF) --cut;
    out.resize(cut);
  }
  return out;
}

}  // namespace message::internal
