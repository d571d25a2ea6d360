// The dialogs of the SOAP Services and HTTP Settings pages: the add and edit
// service dialogs over one shared form, and the add and edit MIME mapping
// dialogs. Ordinary widgets: QtUiPort runs them modally, tests show and fill
// them.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>

#include "controlpanel/model/ui_port.h"

namespace controlpanel {

// The members and controls both service dialogs share.
class CServiceDlg : public QDialog {
 public:
  // Fills the controls from `fields`.
  void Load(const ServiceFields& fields);
  // What the controls hold.
  ServiceFields Fields() const;

  QLineEdit* UriEdit() const { return uri_; }
  QLabel* UriLabel() const { return uri_label_; }
  QLineEdit* WsdlUrlEdit() const { return wsdl_url_; }
  QLineEdit* ServiceNameEdit() const { return service_name_; }
  QLineEdit* PortNameEdit() const { return port_name_; }
  QLineEdit* ProgIdEdit() const { return prog_id_; }
  QLineEdit* HeaderProgIdsEdit() const { return header_prog_ids_; }
  QLineEdit* RolesEdit() const { return roles_; }
  QLineEdit* NextHopEdit() const { return next_hop_; }
  QLineEdit* NodeUriEdit() const { return node_uri_; }
  QCheckBox* EnabledCheck() const { return enabled_; }
  QDialogButtonBox* Buttons() const { return buttons_; }

 protected:
  CServiceDlg(const char* caption, const char* uri_label, bool uri_read_only, QWidget* parent);

 private:
  QLabel* uri_label_;
  QLineEdit* uri_;
  QLineEdit* wsdl_url_;
  QLineEdit* service_name_;
  QLineEdit* port_name_;
  QLineEdit* prog_id_;
  QLineEdit* header_prog_ids_;
  QLineEdit* roles_;
  QLineEdit* next_hop_;
  QLineEdit* node_uri_;
  QCheckBox* enabled_;
  QDialogButtonBox* buttons_;
};

class CAddServiceDlg : public CServiceDlg {
 public:
  explicit CAddServiceDlg(QWidget* parent = nullptr);
};

// The URI is shown read-only: editing never renames an endpoint.
class CEditServiceDlg : public CServiceDlg {
 public:
  explicit CEditServiceDlg(QWidget* parent = nullptr);
};

// The members and controls both MIME dialogs share.
class CMimeTypeDlg : public QDialog {
 public:
  void Load(const MimeFields& fields);
  MimeFields Fields() const;

  QLineEdit* ExtensionEdit() const { return extension_; }
  QLabel* ExtensionLabel() const { return extension_label_; }
  QLineEdit* MimeTypeEdit() const { return mime_type_; }
  QLabel* Note() const { return note_; }
  QDialogButtonBox* Buttons() const { return buttons_; }

 protected:
  CMimeTypeDlg(const char* caption, const char* extension_label, bool extension_read_only,
               const char* note, QWidget* parent);
  // OK: the dialog's own step before it closes.
  virtual void OnOK() { accept(); }

 private:
  QLabel* extension_label_;
  QLineEdit* extension_;
  QLineEdit* mime_type_;
  QLabel* note_;
  QDialogButtonBox* buttons_;
};

// Its OK upper-cases the extension (ASCII letters only, as the server keys
// its map), shows it and closes.
class CAddMimeTypeDlg : public CMimeTypeDlg {
 public:
  explicit CAddMimeTypeDlg(QWidget* parent = nullptr);

 protected:
  void OnOK() override;
};

// The extension read-only; the MIME type stays as typed.
class CEditMimeTypeDlg : public CMimeTypeDlg {
 public:
  explicit CEditMimeTypeDlg(QWidget* parent = nullptr);
};

}  // namespace controlpanel
