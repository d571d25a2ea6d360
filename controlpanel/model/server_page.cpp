#include "controlpanel/model/server_page.h"

#include "controlpanel/model/management_call.h"

namespace controlpanel {

bool ServerPage::OnInitDialog() {
  if (!SetUpList()) {
    const std::string message = ListFailedMessage();
    if (!message.empty()) ui_.ShowMessage(message);
  }
  read_succeeded_ = RunWithRetry(app_, [this] { return Read(); });
  if (!read_succeeded_) ui_.ShowMessage(ReadFailedMessage());
  return true;
}

bool ServerPage::OnOK() {
  UpdateData(true);
  if (!modified_) return true;
  if (RunWithRetry(app_, [this] { return Write(); })) {
    SetModified(false);
    return true;
  }
  // Reported, so nobody believes a change was made that was not.
  const std::string message = WriteFailedMessage();
  if (!message.empty()) ui_.ShowMessage(message);
  return false;
}

void ServerPage::SetModified(bool modified) {
  modified_ = modified;
  if (on_modified_) on_modified_();
}

}  // namespace controlpanel
