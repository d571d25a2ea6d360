// The SOAP message class quenlin2: Iquenlin2 over one SoapMessage. Every
// method converts its arguments, calls the message and converts the answer
// back; outcomes travel in pResult.
#pragma once

#include <memory>

#include "interfaces/quenlin.h"
#include "message/soap_message.h"
#include "platform/com/object.h"

namespace message {

#define QV_QUENLIN_DECLARE(name, dispid, ...) \
  HRESULT name(QV_FOR_EACH(QV_PARAM_DECL, __VA_ARGS__)) override;

class QuenlinImpl final
    : public com::ComObject<QuenlinImpl, com::Dispatch<Iquenlin2>, IquenlinForwardStatus> {
 public:
  QuenlinImpl() = default;
  HRESULT FinalConstruct();

  QV_IQUENLIN2_METHODS(QV_QUENLIN_DECLARE)

  HRESULT SetForwardFailed(VARIANT_BOOL bFailed) override {
    forwardFailed_ = bFailed == VARIANT_TRUE;
    return S_OK;
  }
  HRESULT IsForwardFailed(VARIANT_BOOL* pResult) override {
    if (pResult == nullptr) return E_POINTER;
    *pResult = forwardFailed_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }

  // For tests and in-process hosts that reach below the interface.
  SoapMessage& Message() { return *message_; }

 private:
  std::unique_ptr<SoapMessage> message_;
  bool forwardFailed_ = false;
};

#undef QV_QUENLIN_DECLARE

}  // namespace message
