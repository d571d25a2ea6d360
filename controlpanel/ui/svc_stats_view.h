// CSvcStatsView: the Connect page's widgets over its model CSvcStatsPage.
#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <array>

#include "controlpanel/model/svc_stats_page.h"

namespace controlpanel {

class CSvcStatsView : public QWidget {
 public:
  explicit CSvcStatsView(CSvcStatsPage& page, QWidget* parent = nullptr);

  // The two-way copy: `save` reads the controls into the model, else shows
  // the model in the controls.
  void DoDataExchange(bool save);

  QLineEdit* HostEdit() const { return host_; }
  QLineEdit* PortEdit() const { return port_; }
  QPushButton* ConnectButton() const { return connect_; }
  QPushButton* RefreshButton() const { return refresh_; }
  // NumConnects, NumBytesSent, NumHTTPErrors, NumNetErrors, NumIntErrors.
  const std::array<QLineEdit*, 5>& StatEdits() const { return stats_; }

 private:
  CSvcStatsPage& page_;
  QLineEdit* host_;
  QLineEdit* port_;
  QPushButton* connect_;
  QPushButton* refresh_;
  std::array<QLineEdit*, 5> stats_{};
};

}  // namespace controlpanel
