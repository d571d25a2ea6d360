// The one shape of a management call that every page uses, and the retry on
// an expired nonce.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "controlpanel/model/control_panel_app.h"
#include "controlpanel/model/ui_port.h"
#include "platform/com/variant.h"

namespace controlpanel {

// One call: the wait cursor throughout; a fresh message (none for the probe,
// which uses the binding's); the named parameters; the ClientAuth block
// (none for the probe); the invocation; the two buffer boxes when the
// settings ask for them, whatever the invocation did; the answer's digest
// blocks read. It succeeds when the invocation did not fail, the result is
// VT_BOOL VARIANT_TRUE, the answer is no fault, the status is "Authenticated"
// where required, the server proof verifies, and every out value whose
// parameter went in as VT_I4 or VT_BOOL converts to that type.
class ManagementCall {
 public:
  ManagementCall(CControlPanelApp& app, UiPort& ui, std::u16string method)
      : app_(app), ui_(ui), method_(std::move(method)) {}

  // Parameters go in the order added; out values come back into them.
  ManagementCall& Param(std::u16string name, Variant value);
  ManagementCall& AsProbe() {
    probe_ = true;
    return *this;
  }
  ManagementCall& RequireAuthenticated() {
    require_authenticated_ = true;
    return *this;
  }

  // One attempt; true on success as above. A call that failed leaves the
  // values as the answer (if any) left them.
  bool Run();

  // The value named `name` (what went in, or after a successful call what
  // came back, converted as above); null for an unknown name.
  const VARIANT* Value(std::u16string_view name) const;
  // Value(name) as VT_I4; 0 when it is none.
  int32_t Int(std::u16string_view name) const;

 private:
  CControlPanelApp& app_;
  UiPort& ui_;
  std::u16string method_;
  std::vector<std::u16string> names_;
  std::vector<Variant> values_;
  std::vector<VARTYPE> in_types_;
  bool probe_ = false;
  bool require_authenticated_ = false;
};

// Runs `attempt`; when it fails with the expired-nonce flag set, runs it once
// more. The result is the last attempt's.
bool RunWithRetry(CControlPanelApp& app, const std::function<bool()>& attempt);

}  // namespace controlpanel
