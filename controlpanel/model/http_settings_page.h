// CHTTPSettingsPage: the HTTP Settings page's model: the document root, the
// default file and the MIME map as the rows its list shows.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "controlpanel/model/server_page.h"
#include "controlpanel/model/server_values.h"

namespace controlpanel {

class CHTTPSettingsPage : public ServerPage {
 public:
  using ServerPage::ServerPage;

  // One GetHTTPSettings call: on success the three values are replaced, the
  // first row selected and everything shown; on failure nothing changes.
  bool GetHTTPSettings();
  // One SetHTTPSettings call with the two paths and every row; nothing is
  // sent while the page's read has not succeeded.
  bool SetHTTPSettings();

  // The Add, Edit and Delete buttons; Edit and Delete do nothing without a
  // selected row. Each first takes what the edits hold.
  void OnAddMimeType();
  void OnEditMimeType();
  void OnDeleteMimeType();

  // The two edits' texts, for the view's data exchange; typing in either
  // marks the page modified (SetModified).
  std::string doc_root;
  std::string default_file;

  const std::vector<MimeRow>& Rows() const { return rows_; }
  std::optional<size_t> Selected() const { return selected_; }
  void Select(std::optional<size_t> row);

 protected:
  bool Read() override { return GetHTTPSettings(); }
  bool Write() override { return SetHTTPSettings(); }
  std::string ListFailedMessage() const override;
  std::string ReadFailedMessage() const override;
  std::string WriteFailedMessage() const override;

 private:
  std::vector<MimeRow> rows_;
  std::optional<size_t> selected_;
};

}  // namespace controlpanel
