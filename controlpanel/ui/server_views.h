// The views of the four server pages over their models: Server Settings,
// SOAP Services, HTTP Settings and Logging. Each view hooks its model's data
// exchange and marks the model modified on the user's own edits.
#pragma once

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>
#include <array>
#include <optional>
#include <vector>

#include "controlpanel/model/http_settings_page.h"
#include "controlpanel/model/services_page.h"
#include "controlpanel/model/settings_pages.h"

namespace controlpanel {

// A list: whole rows, one at a time, no in-place editing, no row header, the
// selection shown without focus, columns left-aligned. The columns share the
// viewport's width by their weights, each cut to whole pixels, but never
// narrower than their title: a column held at its title's width leaves the
// rest to the others, and only when the titles alone are wider than the
// viewport does the list scroll sideways.
class ProportionalList : public QTableWidget {
 public:
  ProportionalList(const std::vector<const char*>& titles, std::vector<double> weights,
                   QWidget* parent);
  // Replaces the rows and selects `selected`, without signalling.
  template <typename Row>
  void Show(const std::vector<Row>& rows, std::optional<size_t> selected);
  // The selected row, if any.
  std::optional<size_t> SelectedRow() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FitColumns();
  std::vector<double> weights_;
};

class CSvrParamsView : public QWidget {
 public:
  CSvrParamsView(CSvrParamsPage& page, QWidget* parent = nullptr);
  void DoDataExchange(bool save);
  // ListenPort, NumWorkThreads, NumClientConn, ClientTimeout, WatchdogTimer.
  const std::array<QLineEdit*, 5>& Edits() const { return edits_; }

 private:
  CSvrParamsPage& page_;
  std::array<QLineEdit*, 5> edits_{};
};

class CServicesView : public QWidget {
 public:
  CServicesView(CServicesPage& page, QWidget* parent = nullptr);
  void DoDataExchange(bool save);
  ProportionalList* List() const { return list_; }
  QPushButton* AddButton() const { return add_; }
  QPushButton* EditButton() const { return edit_; }
  QPushButton* DeleteButton() const { return delete_; }

 private:
  CServicesPage& page_;
  ProportionalList* list_;
  QPushButton* add_;
  QPushButton* edit_;
  QPushButton* delete_;
};

class CHTTPSettingsView : public QWidget {
 public:
  CHTTPSettingsView(CHTTPSettingsPage& page, QWidget* parent = nullptr);
  void DoDataExchange(bool save);
  QLineEdit* DocRootEdit() const { return doc_root_; }
  QLineEdit* DefaultFileEdit() const { return default_file_; }
  ProportionalList* List() const { return list_; }
  QPushButton* AddButton() const { return add_; }
  QPushButton* EditButton() const { return edit_; }
  QPushButton* DeleteButton() const { return delete_; }

 private:
  CHTTPSettingsPage& page_;
  QLineEdit* doc_root_;
  QLineEdit* default_file_;
  ProportionalList* list_;
  QPushButton* add_;
  QPushButton* edit_;
  QPushButton* delete_;
};

class CLogSettingsView : public QWidget {
 public:
  CLogSettingsView(CLogSettingsPage& page, QWidget* parent = nullptr);
  void DoDataExchange(bool save);
  const std::array<QLineEdit*, kLogCount>& PathEdits() const { return paths_; }
  const std::array<QCheckBox*, kLogCount>& Checks() const { return checks_; }

 private:
  CLogSettingsPage& page_;
  std::array<QLineEdit*, kLogCount> paths_{};
  std::array<QCheckBox*, kLogCount> checks_{};
};

}  // namespace controlpanel
