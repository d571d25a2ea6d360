#include "dime/outbound_pass.h"

#include <dlfcn.h>

#include <limits>

namespace dime {
namespace {

struct Functions {
  QuorvelOutboundEnter enter = nullptr;
  QuorvelOutboundLeave leave = nullptr;
};

const Functions& Exported() {
  static const Functions functions = [] {
    Functions f;
    f.enter = reinterpret_cast<QuorvelOutboundEnter>(dlsym(RTLD_DEFAULT, kOutboundEnterSymbol));
    f.leave = reinterpret_cast<QuorvelOutboundLeave>(dlsym(RTLD_DEFAULT, kOutboundLeaveSymbol));
    if (f.enter == nullptr || f.leave == nullptr) f = {};
    return f;
  }();
  return functions;
}

}  // namespace

OutboundPass::OutboundPass() {
  const Functions& f = Exported();
  if (f.enter == nullptr) return;
  int64_t deadline_ns = std::numeric_limits<int64_t>::max();
  const int entered = f.enter(&deadline_ns);
  if (entered == 0) {
    refused_ = true;
    return;
  }
  if (entered < 0) return;
  leave_ = f.leave;
  if (deadline_ns != std::numeric_limits<int64_t>::max()) {
    deadline_ = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline_ns));
  }
}

OutboundPass::~OutboundPass() {
  if (leave_ != nullptr) leave_();
}

}  // namespace dime
