// CServicesPage: the SOAP Services page's model. It holds the server's
// endpoint list as the rows the list shows, lets the user add, edit and
// delete rows, and sends the whole table back on Apply or OK.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "controlpanel/model/server_page.h"
#include "controlpanel/model/server_values.h"

namespace controlpanel {

class CServicesPage : public ServerPage {
 public:
  using ServerPage::ServerPage;

  // One GetServiceInfo call: on success the rows are replaced, the first row
  // selected and shown; on failure the rows stay as they were.
  bool GetServiceInfo();
  // One SetServiceInfo call with every row. Nothing is sent while the
  // page's read has not succeeded: its rows are not the server's.
  bool SetServiceInfo();

  // The Add, Edit and Delete buttons. Edit and Delete do nothing without a
  // selected row.
  void OnAddService();
  void OnEditService();
  void OnDeleteService();

  const std::vector<ServiceRow>& Rows() const { return rows_; }
  std::optional<size_t> Selected() const { return selected_; }
  // The user's selection in the list; out of range clears it.
  void Select(std::optional<size_t> row);

 protected:
  bool Read() override { return GetServiceInfo(); }
  bool Write() override { return SetServiceInfo(); }
  std::string ListFailedMessage() const override;
  std::string ReadFailedMessage() const override;
  std::string WriteFailedMessage() const override;

 private:
  std::vector<ServiceRow> rows_;
  std::optional<size_t> selected_;
};

}  // namespace controlpanel
