// A message object for tests of the code that drives Iquenlin2: every method
// answers E_NOTIMPL until a derived class gives it a body.
#pragma once

#include "interfaces/quenlin.h"
#include "platform/com/dispatch.h"

namespace quenlin_testing {

#define QV_STUB_PARAM(dir, t, name) [[maybe_unused]] QV_PTYPE_##dir(t) name
#define QV_STUB_METHOD(name, dispid, ...) \
  HRESULT name(QV_FOR_EACH(QV_STUB_PARAM, __VA_ARGS__)) override { return E_NOTIMPL; }

class StubMessage : public com::Dispatch<Iquenlin2> {
 public:
  QV_IQUENLIN2_METHODS(QV_STUB_METHOD)
};

#undef QV_STUB_METHOD
#undef QV_STUB_PARAM

}  // namespace quenlin_testing
