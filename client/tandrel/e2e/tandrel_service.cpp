// A test-only echo service for the demo: echoDataFile hands back the struct it
// received, so a byte array goes back as base64 and an attachment as an
// attachment. Registered only into a test's own registry.
#include "platform/com/dispatch.h"
#include "platform/com/module.h"
#include "platform/com/variant.h"

#define QV_ITANDRELECHO_METHODS(X) \
  X(echoDataFile, 1, (In, VARIANT, inputDataFile), (Retval, VARIANT, pResult))
inline constexpr IID IID_ITandrelEcho =  // {3D9A51C2-6E47-4B18-9C0D-27F1A8B36E54}
    {0x3D9A51C2, 0x6E47, 0x4B18, {0x9C, 0x0D, 0x27, 0xF1, 0xA8, 0xB3, 0x6E, 0x54}};
QV_DISPATCH_INTERFACE(ITandrelEcho, IID_ITandrelEcho, QV_ITANDRELECHO_METHODS)

namespace {

class TandrelEcho final : public com::ComObject<TandrelEcho, com::Dispatch<ITandrelEcho>> {
 public:
  HRESULT echoDataFile(VARIANT inputDataFile, VARIANT* pResult) override {
    return VariantCopy(pResult, &inputDataFile);
  }
};

constexpr CLSID kClsid =  // {8E62C0B4-1F3D-4A57-B2E9-5C04D7A19F36}
    {0x8E62C0B4, 0x1F3D, 0x4A57, {0xB2, 0xE9, 0x5C, 0x04, 0xD7, 0xA1, 0x9F, 0x36}};

const com::ModuleClass kClasses[] = {
    {&kClsid, &com::CreateInstance<TandrelEcho>, "tandrel echo", "tandrelsvc.dimerpc.1",
     "tandrelsvc.dimerpc"},
};

}  // namespace

QV_COMPONENT_ENTRY_POINTS(kClasses)
