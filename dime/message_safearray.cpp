// Kept apart so that users who never pass automation arrays do not link the
// array functions.
#include "dime/message.h"
#include "platform/com/variant.h"

namespace dime {

bool DimeMessage::AddPayload(IStorage* storage, std::string id, std::string type,
                             uint32_t type_name_format, SAFEARRAY* options) {
  if (options == nullptr || options->cDims != 1 || options->cbElements != 1 ||
      options->vt != VT_UI1) {
    return AddPayload(storage, std::move(id), std::move(type), type_name_format);
  }
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(options, &data))) {
    return AddPayload(storage, std::move(id), std::move(type), type_name_format);
  }
  const bool ok = AddPayload(storage, std::move(id), std::move(type), type_name_format,
                             static_cast<const uint8_t*>(data), options->rgsabound[0].cElements);
  SafeArrayUnaccessData(options);
  return ok;
}

}  // namespace dime
