// The control panel's small dialogs: the log-on dialog and the About box.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <string>

namespace controlpanel {

class CLogonDlg : public QDialog {
 public:
  explicit CLogonDlg(QWidget* parent = nullptr);

  // Shows `realm` with both edits empty, the way every opening starts.
  void Prepare(const std::string& realm);
  // Prepare, then modal; true on OK with what was typed.
  bool Run(const std::string& realm, std::string* user_id, std::string* password);

  QLineEdit* RealmEdit() const { return realm_; }
  QLineEdit* UserIdEdit() const { return user_id_; }
  QLineEdit* PasswordEdit() const { return password_; }

 private:
  QLineEdit* realm_;
  QLineEdit* user_id_;
  QLineEdit* password_;
};

class CAboutDlg : public QDialog {
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace controlpanel
