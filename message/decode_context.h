#pragma once

#include "message/accessor.h"

namespace message {

// What the decoders of one parse share with it: where references lead and the
// bytes every decoder of the parse may still build.
class DecodeContext {
 public:
  // The accessor that `accessor`'s href (or ref) names; null when none.
  virtual const Accessor* ResolveHref(const Accessor& accessor) const = 0;
  virtual DecodeBudget& Budget() const = 0;

 protected:
  ~DecodeContext() = default;
};

}  // namespace message
