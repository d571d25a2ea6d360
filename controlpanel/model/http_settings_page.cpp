#include "controlpanel/model/http_settings_page.h"

#include <algorithm>
#include <utility>

#include "controlpanel/model/management_call.h"
#include "controlpanel/model/texts.h"
#include "platform/text/text.h"

namespace controlpanel {

namespace {

constexpr char16_t kDocRootPath[] = u"DocRootPath";
constexpr char16_t kDefaultFilePath[] = u"DefaultFilePath";
constexpr char16_t kMimeTypes[] = u"MIMETypes";

}  // namespace

bool CHTTPSettingsPage::GetHTTPSettings() {
  Variant no_array;
  no_array.vt = VT_ARRAY | VT_VARIANT;
  no_array.parray = nullptr;
  ManagementCall call(app_, ui_, u"GetHTTPSettings");
  call.Param(kDocRootPath, Variant()).Param(kDefaultFilePath, Variant());
  call.Param(kMimeTypes, std::move(no_array));
  std::string root, file;
  std::vector<MimeRow> rows;
  if (!call.Run() || !ReadText(*call.Value(kDocRootPath), &root) ||
      !ReadText(*call.Value(kDefaultFilePath), &file) ||
      !ReadMimeTypes(*call.Value(kMimeTypes), &rows)) {
    return false;
  }
  doc_root = std::move(root);
  default_file = std::move(file);
  rows_ = std::move(rows);
  selected_.reset();
  if (!rows_.empty()) selected_ = 0;
  UpdateData(false);
  return true;
}

bool CHTTPSettingsPage::SetHTTPSettings() {
  if (!ReadSucceeded()) return false;
  Variant root = Variant::FromText(text::Widen(doc_root));
  Variant file = Variant::FromText(text::Widen(default_file));
  Variant mime;
  if (root.vt != VT_BSTR || file.vt != VT_BSTR || !MakeMimeTypes(rows_, &mime)) return false;
  return ManagementCall(app_, ui_, u"SetHTTPSettings")
      .Param(kDocRootPath, std::move(root))
      .Param(kDefaultFilePath, std::move(file))
      .Param(kMimeTypes, std::move(mime))
      .Run();
}

void CHTTPSettingsPage::OnAddMimeType() {
  UpdateData(true);
  MimeFields fields;
  if (!ui_.AddMimeTypeDialog(&fields)) return;
  fields.extension = AsciiUpper(fields.extension);
  if (std::any_of(rows_.begin(), rows_.end(),
                  [&](const MimeRow& row) { return row[0] == fields.extension; })) {
    ui_.ShowMessage(FillIn(texts::kExtensionMapped, fields.extension));
    return;
  }
  rows_.push_back({fields.extension, fields.mime_type});
  SetModified();
  UpdateData(false);
}

void CHTTPSettingsPage::OnEditMimeType() {
  if (!selected_) return;
  UpdateData(true);
  MimeRow& row = rows_[*selected_];
  MimeFields fields{row[0], row[1]};
  if (!ui_.EditMimeTypeDialog(&fields)) return;
  row[1] = fields.mime_type;
  SetModified();
  UpdateData(false);
}

void CHTTPSettingsPage::OnDeleteMimeType() {
  if (!selected_) return;
  UpdateData(true);
  const std::string question =
      texts::kDeleteMimeQuestion + rows_[*selected_][0] + texts::kDeleteQuestionEnd;
  if (!ui_.AskYesNo(question)) return;
  rows_.erase(rows_.begin() + std::ptrdiff_t(*selected_));
  selected_.reset();
  SetModified();
  UpdateData(false);
}

void CHTTPSettingsPage::Select(std::optional<size_t> row) {
  selected_ = row && *row < rows_.size() ? row : std::nullopt;
}

std::string CHTTPSettingsPage::ListFailedMessage() const { return texts::kHttpListFailed; }
std::string CHTTPSettingsPage::ReadFailedMessage() const { return texts::kHttpReadFailed; }
std::string CHTTPSettingsPage::WriteFailedMessage() const { return texts::kHttpWriteFailed; }

}  // namespace controlpanel
