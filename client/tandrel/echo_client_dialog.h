// The demo's Qt views: a thin dialog over EchoController, its about box, and
// the production picker, notifier and wait cursor.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "client/tandrel/echo_controller.h"

class QButtonGroup;
class QLineEdit;

namespace tandrel {

inline constexpr char kDefaultWsdlUrl[] = "http://localhost/wsdl/tandrel.wsdl";

class QtFilePicker : public FilePicker {
 public:
  explicit QtFilePicker(QWidget* parent) : parent_(parent) {}
  std::optional<std::string> PickOpen(const PickRequest& request) override;
  std::optional<std::string> PickSave(const PickRequest& request) override;

 private:
  std::optional<std::string> Pick(const PickRequest& request, bool save);
  QWidget* parent_;
};

class QtNotifier : public Notifier {
 public:
  explicit QtNotifier(QWidget* parent) : parent_(parent) {}
  void Notify(const std::string& text) override;
  // The box Notify runs, built but not shown.
  std::unique_ptr<QMessageBox> BuildBox(const std::string& text) const;

 private:
  QWidget* parent_;
};

// Runs each network step on a thread of its own, in an apartment of that
// thread, while this one keeps painting and takes no clicks or keys.
class QtExchangeRunner : public ExchangeRunner {
 public:
  void Run(const std::function<void()>& step) override;
};

// Shows the wait cursor while it lives.
class WaitCursor {
 public:
  WaitCursor();
  ~WaitCursor();
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

class AboutDialog : public QDialog {
 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

// Enter in an edit presses Invoke, which never closes the dialog; Esc and
// Quit close it.
class EchoClientDialog : public QDialog {
 public:
  // Null seams: the Qt ones.
  explicit EchoClientDialog(FilePicker* picker = nullptr, Notifier* notifier = nullptr,
                            QWidget* parent = nullptr);
  ~EchoClientDialog() override;

  void OnBrowse();
  void OnInvoke();
  std::string SaveEchoedFile(const std::string& name) { return controller_->SaveEchoedFile(name); }
  int Mode() const;

 private:
  std::unique_ptr<QtFilePicker> own_picker_;
  std::unique_ptr<QtNotifier> own_notifier_;
  QtExchangeRunner runner_;
  std::unique_ptr<EchoController> controller_;
  QLineEdit* url_ = nullptr;
  QLineEdit* path_ = nullptr;
  QButtonGroup* mode_ = nullptr;
};

// Enters the apartment, runs the dialog through `run` (production: exec),
// leaves the apartment; the program's result.
int EchoClientApp(const std::function<void(EchoClientDialog&)>& run);

}  // namespace tandrel
