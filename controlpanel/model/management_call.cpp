#include "controlpanel/model/management_call.h"

#include "controlpanel/model/texts.h"
#include "plugins/digestauth/protocol.h"

namespace controlpanel {

ManagementCall& ManagementCall::Param(std::u16string name, Variant value) {
  names_.push_back(std::move(name));
  in_types_.push_back(value.vt);
  values_.push_back(std::move(value));
  return *this;
}

bool ManagementCall::Run() {
  WaitCursor wait(ui_);
  ManagementChannel& channel = app_.Channel();
  if (!probe_ && !channel.CreateMessage()) return false;
  app_.AddAuthHeader(probe_);
  Variant result;
  bool invoked = false;
  ui_.RunExchange([&] {
    invoked = channel.Invoke(method_, names_.data(), values_.data(),
                             static_cast<int32_t>(values_.size()), result.Receive());
  });
  if (app_.GetSettings().view_buffers) {
    ui_.ShowBuffer(texts::kRequestMessageCaption, channel.LastRequest());
    ui_.ShowBuffer(texts::kResponseMessageCaption, channel.LastResponse());
  }
  app_.ReadAuthHeader();
  bool ok = invoked && result.vt == VT_BOOL && result.boolVal == VARIANT_TRUE &&
            !channel.IsFaultResponse() &&
            (!require_authenticated_ || app_.Digest().status == digestauth::kStatusAuthenticated) &&
            app_.VerifyServerAuth();
  // An answer's value of another type would otherwise be read as garbage.
  for (size_t i = 0; ok && i < values_.size(); ++i) {
    if (in_types_[i] == VT_I4 || in_types_[i] == VT_BOOL) {
      ok = SUCCEEDED(values_[i].ChangeType(in_types_[i]));
    }
  }
  return ok;
}

const VARIANT* ManagementCall::Value(std::u16string_view name) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (names_[i] == name) return &values_[i];
  }
  return nullptr;
}

int32_t ManagementCall::Int(std::u16string_view name) const {
  const VARIANT* v = Value(name);
  return v != nullptr && v->vt == VT_I4 ? v->lVal : 0;
}

bool RunWithRetry(CControlPanelApp& app, const std::function<bool()>& attempt) {
  if (attempt()) return true;
  if (!app.Digest().expired_nonce) return false;
  return attempt();
}

}  // namespace controlpanel
