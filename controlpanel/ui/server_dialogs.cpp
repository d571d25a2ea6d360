#include "controlpanel/ui/server_dialogs.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "controlpanel/model/server_values.h"
#include "controlpanel/model/texts.h"

namespace controlpanel {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QLineEdit* edit) { return edit->text().toStdString(); }

QDialogButtonBox* OkCancel(QDialog* dialog) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return buttons;
}

}  // namespace

CServiceDlg::CServiceDlg(const char* caption, const char* uri_label, bool uri_read_only,
                         QWidget* parent)
    : QDialog(parent),
      uri_label_(new QLabel(uri_label, this)),
      uri_(new QLineEdit(this)),
      wsdl_url_(new QLineEdit(this)),
      service_name_(new QLineEdit(this)),
      port_name_(new QLineEdit(this)),
      prog_id_(new QLineEdit(this)),
      header_prog_ids_(new QLineEdit(this)),
      roles_(new QLineEdit(this)),
      next_hop_(new QLineEdit(this)),
      node_uri_(new QLineEdit(this)),
      enabled_(new QCheckBox(texts::kServiceEnabledLabel, this)),
      buttons_(OkCancel(this)) {
  setWindowTitle(caption);
  uri_->setReadOnly(uri_read_only);
  uri_label_->setBuddy(uri_);
  auto* top = new QFormLayout;
  top->addRow(uri_label_, uri_);

  auto group = [this](const char* title,
                      std::initializer_list<std::pair<const char*, QLineEdit*>> rows) {
    auto* box = new QGroupBox(title, this);
    auto* form = new QFormLayout(box);
    for (const auto& [label, edit] : rows) form->addRow(label, edit);
    return box;
  };
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(group(texts::kWsdlInfoGroup, {{texts::kWsdlUrlLabel, wsdl_url_},
                                                  {texts::kWsdlServiceLabel, service_name_},
                                                  {texts::kWsdlPortLabel, port_name_}}));
  layout->addWidget(group(texts::kComInfoGroup, {{texts::kProgIdLabel, prog_id_},
                                                 {texts::kHeaderProgIdsLabel, header_prog_ids_}}));
  layout->addWidget(group(texts::kIntermediaryGroup, {{texts::kRolesLabel, roles_},
                                                      {texts::kNextHopLabel, next_hop_},
                                                      {texts::kNodeUriLabel, node_uri_}}));
  layout->addWidget(enabled_);
  layout->addWidget(buttons_);
  // No checks of its own: the server refuses what it cannot take.
  connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
}

void CServiceDlg::Load(const ServiceFields& f) {
  uri_->setText(Q(f.uri));
  wsdl_url_->setText(Q(f.wsdl_url));
  service_name_->setText(Q(f.service_name));
  port_name_->setText(Q(f.port_name));
  prog_id_->setText(Q(f.prog_id));
  header_prog_ids_->setText(Q(f.header_prog_ids));
  roles_->setText(Q(f.roles));
  next_hop_->setText(Q(f.next_hop_url));
  node_uri_->setText(Q(f.node_uri));
  enabled_->setChecked(f.enabled);
}

ServiceFields CServiceDlg::Fields() const {
  ServiceFields f;
  f.uri = S(uri_);
  f.wsdl_url = S(wsdl_url_);
  f.service_name = S(service_name_);
  f.port_name = S(port_name_);
  f.prog_id = S(prog_id_);
  f.header_prog_ids = S(header_prog_ids_);
  f.roles = S(roles_);
  f.next_hop_url = S(next_hop_);
  f.node_uri = S(node_uri_);
  f.enabled = enabled_->isChecked();
  return f;
}

CAddServiceDlg::CAddServiceDlg(QWidget* parent)
    : CServiceDlg(texts::kAddServiceCaption, texts::kServiceUriLabel, false, parent) {}

CEditServiceDlg::CEditServiceDlg(QWidget* parent)
    : CServiceDlg(texts::kEditServiceCaption, texts::kServiceUriReadOnlyLabel, true, parent) {}

CMimeTypeDlg::CMimeTypeDlg(const char* caption, const char* extension_label,
                           bool extension_read_only, const char* note, QWidget* parent)
    : QDialog(parent),
      extension_label_(new QLabel(extension_label, this)),
      extension_(new QLineEdit(this)),
      mime_type_(new QLineEdit(this)),
      note_(new QLabel(note, this)),
      buttons_(OkCancel(this)) {
  setWindowTitle(caption);
  extension_->setReadOnly(extension_read_only);
  extension_label_->setBuddy(extension_);
  note_->setWordWrap(true);
  note_->setTextFormat(Qt::PlainText);
  auto* form = new QFormLayout;
  form->addRow(extension_label_, extension_);
  form->addRow(texts::kMimeTypeLabel, mime_type_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(note_);
  layout->addWidget(buttons_);
  connect(buttons_, &QDialogButtonBox::accepted, this, [this] { OnOK(); });
}

void CMimeTypeDlg::Load(const MimeFields& fields) {
  extension_->setText(Q(fields.extension));
  mime_type_->setText(Q(fields.mime_type));
}

MimeFields CMimeTypeDlg::Fields() const { return {S(extension_), S(mime_type_)}; }

CAddMimeTypeDlg::CAddMimeTypeDlg(QWidget* parent)
    : CMimeTypeDlg(texts::kAddMimeCaption, texts::kExtensionLabel, false, texts::kAddMimeNote,
                   parent) {}

void CAddMimeTypeDlg::OnOK() {
  ExtensionEdit()->setText(Q(AsciiUpper(S(ExtensionEdit()))));
  accept();
}

CEditMimeTypeDlg::CEditMimeTypeDlg(QWidget* parent)
    : CMimeTypeDlg(texts::kEditMimeCaption, texts::kExtensionReadOnlyLabel, true,
                   texts::kEditMimeNote, parent) {}

}  // namespace controlpanel
