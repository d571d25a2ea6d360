#include "controlpanel/model/services_page.h"

#include <algorithm>
#include <utility>

#include "controlpanel/model/management_call.h"
#include "controlpanel/model/texts.h"

namespace controlpanel {

namespace {

constexpr char16_t kSvcInfo[] = u"SvcInfo";

ServiceFields FieldsOf(const ServiceRow& row) {
  ServiceFields f;
  f.uri = row[kColUri];
  f.service_name = row[kColService];
  f.port_name = row[kColPort];
  f.wsdl_url = row[kColWsdlUrl];
  f.prog_id = row[kColBodyHandler];
  f.header_prog_ids = row[kColHeaderHandlers];
  f.roles = row[kColRoles];
  f.next_hop_url = row[kColNextHop];
  f.node_uri = row[kColNodeUri];
  f.enabled = row[kColEnabled] == texts::kYes;
  return f;
}

ServiceRow RowOf(const ServiceFields& f) {
  return {f.uri,       f.service_name,
          f.port_name, f.wsdl_url,
          f.prog_id,   f.header_prog_ids,
          f.roles,     f.next_hop_url,
          f.node_uri,  f.enabled ? texts::kYes : texts::kNo};
}

}  // namespace

bool CServicesPage::GetServiceInfo() {
  // Asked for with an array type and no array, as the server's answer fills it.
  Variant no_array;
  no_array.vt = VT_ARRAY | VT_VARIANT;
  no_array.parray = nullptr;
  ManagementCall call(app_, ui_, u"GetServiceInfo");
  call.Param(kSvcInfo, std::move(no_array));
  std::vector<ServiceRow> rows;
  if (!call.Run() || !ReadSvcInfo(*call.Value(kSvcInfo), &rows)) return false;
  rows_ = std::move(rows);
  selected_.reset();
  if (!rows_.empty()) selected_ = 0;
  UpdateData(false);
  return true;
}

bool CServicesPage::SetServiceInfo() {
  if (!ReadSucceeded()) return false;
  Variant svc_info;
  if (!MakeSvcInfo(rows_, &svc_info)) return false;
  return ManagementCall(app_, ui_, u"SetServiceInfo").Param(kSvcInfo, std::move(svc_info)).Run();
}

void CServicesPage::OnAddService() {
  ServiceFields fields;
  if (!ui_.AddServiceDialog(&fields)) return;
  // The server keys "/x" and "/x/*" alike: a second row would overwrite the first.
  if (std::any_of(rows_.begin(), rows_.end(), [&](const ServiceRow& row) {
        return SameServiceUri(row[kColUri], fields.uri);
      })) {
    ui_.ShowMessage(FillIn(texts::kServiceExists, fields.uri));
    return;
  }
  rows_.push_back(RowOf(fields));
  SetModified();
  UpdateData(false);
}

void CServicesPage::OnEditService() {
  if (!selected_) return;
  ServiceRow& row = rows_[*selected_];
  ServiceFields fields = FieldsOf(row);
  if (!ui_.EditServiceDialog(&fields)) return;
  fields.uri = row[kColUri];
  row = RowOf(fields);
  SetModified();
  UpdateData(false);
}

void CServicesPage::OnDeleteService() {
  if (!selected_) return;
  const std::string question =
      texts::kDeleteServiceQuestion + rows_[*selected_][kColUri] + texts::kDeleteQuestionEnd;
  if (!ui_.AskYesNo(question)) return;
  rows_.erase(rows_.begin() + std::ptrdiff_t(*selected_));
  selected_.reset();
  SetModified();
  UpdateData(false);
}

void CServicesPage::Select(std::optional<size_t> row) {
  selected_ = row && *row < rows_.size() ? row : std::nullopt;
}

std::string CServicesPage::ListFailedMessage() const { return texts::kServicesListFailed; }
std::string CServicesPage::ReadFailedMessage() const { return texts::kServicesReadFailed; }
std::string CServicesPage::WriteFailedMessage() const { return texts::kServicesWriteFailed; }

}  // namespace controlpanel
