#include "controlpanel/ui/dialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QVBoxLayout>

#include "controlpanel/model/texts.h"

namespace controlpanel {

CLogonDlg::CLogonDlg(QWidget* parent)
    : QDialog(parent),
      realm_(new QLineEdit(this)),
      user_id_(new QLineEdit(this)),
      password_(new QLineEdit(this)) {
  setWindowTitle(texts::kLogonCaption);
  realm_->setReadOnly(true);
  password_->setEchoMode(QLineEdit::Password);
  auto* form = new QFormLayout;
  form->addRow(texts::kLogonRealm, realm_);
  form->addRow(texts::kLogonUserId, user_id_);
  form->addRow(texts::kLogonPassword, password_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

void CLogonDlg::Prepare(const std::string& realm) {
  realm_->setText(QString::fromStdString(realm));
  // The realm is read, never typed: the edit grows to show all of it.
  QStyleOptionFrame frame;
  frame.initFrom(realm_);
  frame.lineWidth = realm_->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &frame, realm_);
  const QMargins margins = realm_->textMargins();
  // A line edit keeps two pixels each side of its text; a few more so the
  // last letter does not touch the frame.
  const QSize text(realm_->fontMetrics().horizontalAdvance(realm_->text()) + margins.left() +
                       margins.right() + 4 + 6,
                   realm_->sizeHint().height());
  const int wide =
      realm_->style()->sizeFromContents(QStyle::CT_LineEdit, &frame, text, realm_).width();
  realm_->setMinimumWidth(wide);
  adjustSize();
  user_id_->clear();
  password_->clear();
  user_id_->setFocus();
}

bool CLogonDlg::Run(const std::string& realm, std::string* user_id, std::string* password) {
  Prepare(realm);
  if (exec() != QDialog::Accepted) return false;
  *user_id = user_id_->text().toStdString();
  *password = password_->text().toStdString();
  return true;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(texts::kAboutCaption);
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(32, 32));
  auto* lines = new QVBoxLayout;
  lines->addWidget(new QLabel(texts::kAboutVersion, this));
  auto* notice = new QLabel(texts::kAboutNotice, this);
  notice->setWordWrap(true);
  lines->addWidget(notice);
  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addLayout(lines, 1);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(buttons);
}

}  // namespace controlpanel
