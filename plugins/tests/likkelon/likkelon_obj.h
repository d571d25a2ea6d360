// The interop DIME echo service: six echo operations over the request's DIME
// attachments, answered with attachments of its own.
#pragma once

#include <cstdint>
#include <string>

#include "interfaces/likkelon.h"
#include "interfaces/quenlin.h"
#include "platform/com/object.h"

namespace testsvc {

// Most bytes of one attachment read into memory (as base64 or as text); a
// larger one fails the operation. Far below the server's message limit.
inline constexpr uint64_t kMaxAttachmentReadBytes = 16u << 20;

// A fresh attachment id: "uuid:" and a new GUID.
bool MakeAttachmentId(std::u16string& id);

// Answers the body's first echo operation; false when it fails.
bool HandleEchoOperation(Iquenlin2& message);

class LikkelonObj final : public com::ComObject<LikkelonObj, com::Dispatch<IlikkelonObj>> {
 public:
  HRESULT OnProcessBody(VARIANT SOAPMsgInterface, VARIANT_BOOL* pResult) override;
};

}  // namespace testsvc
