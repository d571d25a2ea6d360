// QtUiPort: the UiPort of the running program, with real message boxes and
// dialogs owned by the sheet.
#pragma once

#include <QMessageBox>
#include <memory>
#include <string>

#include "controlpanel/model/ui_port.h"

namespace controlpanel {

class QtUiPort : public UiPort {
 public:
  void SetParent(QWidget* parent) { parent_ = parent; }

  // A box in plain text always: the texts hold "<...>" and whole envelopes.
  std::unique_ptr<QMessageBox> BuildBox(const std::string& caption, const std::string& text,
                                        QMessageBox::StandardButtons buttons) const;

  void ShowMessage(const std::string& text) override;
  bool AskYesNo(const std::string& text) override;
  bool LogOn(const std::string& realm, std::string* user_id, std::string* password) override;
  void ShowBuffer(const std::string& caption, const std::string& text) override;
  void ShowAbout() override;
  void BeginWaitCursor() override;
  void EndWaitCursor() override;
  void RunExchange(const std::function<void()>& exchange) override;
  // The service and MIME dialogs, modal.
  bool AddServiceDialog(ServiceFields* fields) override;
  bool EditServiceDialog(ServiceFields* fields) override;
  bool AddMimeTypeDialog(MimeFields* fields) override;
  bool EditMimeTypeDialog(MimeFields* fields) override;

 private:
  QWidget* parent_ = nullptr;
};

}  // namespace controlpanel
