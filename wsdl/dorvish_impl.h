// The WSDL reader class dorvish2: Idorvish2 over one WsdlClient. Every method
// converts its arguments, asks the client and converts the answer back; all
// return S_OK and report the outcome in pResult. [out] values are written only
// on success (a null [out] pointer makes the call fail). The object may be
// queried from several threads at once (see WsdlClient).
#pragma once

#include <memory>

#include "interfaces/dorvish.h"
#include "platform/com/object.h"
#include "wsdl/wsdl_client.h"

namespace wsdl {

// Declares each method of the description as an override.
#define QV_DORVISH_OVERRIDE(name, dispid, ...) \
  HRESULT name(QV_FOR_EACH(QV_PARAM_DECL, __VA_ARGS__)) override;

class DorvishImpl final : public com::ComObject<DorvishImpl, com::Dispatch<Idorvish2>> {
 public:
  DorvishImpl() = default;
  // E_FAIL when the client cannot be made.
  HRESULT FinalConstruct();

  QV_IDORVISH2_METHODS(QV_DORVISH_OVERRIDE)

  const WsdlClient& client() const { return *client_; }

 private:
  std::unique_ptr<WsdlClient> client_;
};

#undef QV_DORVISH_OVERRIDE

}  // namespace wsdl
