#include "controlpanel/ui/qt_ui_port.h"

#include <QApplication>
#include <QEventLoop>
#include <thread>

#include "controlpanel/model/texts.h"
#include "controlpanel/ui/dialogs.h"
#include "controlpanel/ui/server_dialogs.h"
#include "platform/com/activation.h"

namespace controlpanel {

std::unique_ptr<QMessageBox> QtUiPort::BuildBox(const std::string& caption, const std::string& text,
                                                QMessageBox::StandardButtons buttons) const {
  auto box = std::make_unique<QMessageBox>(
      QMessageBox::NoIcon, QString::fromStdString(caption),
      QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), buttons, parent_);
  box->setTextFormat(Qt::PlainText);
  return box;
}

void QtUiPort::ShowMessage(const std::string& text) {
  BuildBox(texts::kAppCaption, text, QMessageBox::Ok)->exec();
}

bool QtUiPort::AskYesNo(const std::string& text) {
  return BuildBox(texts::kAppCaption, text, QMessageBox::Yes | QMessageBox::No)->exec() ==
         QMessageBox::Yes;
}

bool QtUiPort::LogOn(const std::string& realm, std::string* user_id, std::string* password) {
  CLogonDlg dialog(parent_);
  return dialog.Run(realm, user_id, password);
}

void QtUiPort::ShowBuffer(const std::string& caption, const std::string& text) {
  BuildBox(caption, text, QMessageBox::Ok)->exec();
}

void QtUiPort::ShowAbout() {
  CAboutDlg dialog(parent_);
  dialog.exec();
}

void QtUiPort::BeginWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }

void QtUiPort::EndWaitCursor() { QApplication::restoreOverrideCursor(); }

void QtUiPort::RunExchange(const std::function<void()>& exchange) {
  // The call's objects are only ever touched by one thread at a time: this
  // one waits in the loop below, which takes no clicks or keys, until the
  // worker is done, and the join hands everything back.
  QEventLoop loop;
  std::thread worker([&] {
    const HRESULT entered = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    exchange();
    if (SUCCEEDED(entered)) CoUninitialize();
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  worker.join();
}

namespace {

// Runs `dialog` filled from `fields`; on OK `fields` takes what it holds.
template <typename Dialog, typename Fields>
bool RunDialog(QWidget* parent, Fields* fields) {
  Dialog dialog(parent);
  dialog.Load(*fields);
  if (dialog.exec() != QDialog::Accepted) return false;
  *fields = dialog.Fields();
  return true;
}

}  // namespace

bool QtUiPort::AddServiceDialog(ServiceFields* fields) {
  *fields = {};
  return RunDialog<CAddServiceDlg>(parent_, fields);
}
bool QtUiPort::EditServiceDialog(ServiceFields* fields) {
  return RunDialog<CEditServiceDlg>(parent_, fields);
}
bool QtUiPort::AddMimeTypeDialog(MimeFields* fields) {
  *fields = {};
  return RunDialog<CAddMimeTypeDlg>(parent_, fields);
}
bool QtUiPort::EditMimeTypeDialog(MimeFields* fields) {
  return RunDialog<CEditMimeTypeDlg>(parent_, fields);
}

}  // namespace controlpanel
