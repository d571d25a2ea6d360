// CVantorPropSheet: the control panel's property sheet. Connect comes first;
// the pages after it come from a list and are made (model and view) on their
// first activation. OK, Cancel, Apply and Help as the sheet's buttons. It
// opens at kOpeningSize, where every tab and every list column shows.
#pragma once

#include <QDialog>
#include <QPushButton>
#include <QSize>
#include <QTabWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controlpanel/model/sheet_controller.h"
#include "controlpanel/model/svc_stats_page.h"
#include "controlpanel/ui/svc_stats_view.h"

namespace controlpanel {

// One page after Connect: its model, and its view over that model (the
// view hooks the model's data exchange and marks it modified on user edits).
struct SheetPage {
  std::string title;
  std::function<std::unique_ptr<ServerPage>(CControlPanelApp&, UiPort&)> make_model;
  std::function<QWidget*(ServerPage&, QWidget* parent)> make_view;
};

// The pages after Connect, in the sheet's order (server_views.cpp).
std::vector<SheetPage> ServerPages();

class CVantorPropSheet : public QDialog {
 public:
  // Fits a 1280×1024 screen with the window's frame and a panel.
  static constexpr QSize kOpeningSize{1100, 640};

  CVantorPropSheet(CControlPanelApp& app, UiPort& ui, std::vector<SheetPage> pages,
                   QWidget* parent = nullptr);

  QTabWidget* Tabs() const { return tabs_; }
  QPushButton* OkButton() const { return ok_; }
  QPushButton* CancelButton() const { return cancel_; }
  QPushButton* ApplyButton() const { return apply_; }
  QPushButton* HelpButton() const { return help_; }
  CSvcStatsView* ConnectView() const { return connect_view_; }
  CSvcStatsPage& ConnectPage() { return connect_page_; }
  SheetController& Controller() { return controller_; }

 private:
  void OnTabChanged(int index);

  CControlPanelApp& app_;
  UiPort& ui_;
  std::vector<SheetPage> pages_;
  CSvcStatsPage connect_page_;
  SheetController controller_;
  QTabWidget* tabs_;
  CSvcStatsView* connect_view_;
  QPushButton* ok_;
  QPushButton* cancel_;
  QPushButton* apply_;
  QPushButton* help_;
};

}  // namespace controlpanel
