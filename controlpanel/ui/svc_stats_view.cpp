#include "controlpanel/ui/svc_stats_view.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QIntValidator>
#include <QVBoxLayout>

#include "controlpanel/model/texts.h"

namespace controlpanel {

CSvcStatsView::CSvcStatsView(CSvcStatsPage& page, QWidget* parent)
    : QWidget(parent),
      page_(page),
      host_(new QLineEdit(this)),
      port_(new QLineEdit(this)),
      connect_(new QPushButton(texts::kConnectButton, this)),
      refresh_(new QPushButton(texts::kRefreshButton, this)) {
  // Digits only; a number past 65535 is refused by the binding.
  port_->setValidator(new QIntValidator(0, 65535, port_));
  auto* server = new QGroupBox(texts::kServerGroup, this);
  auto* server_form = new QFormLayout(server);
  server_form->addRow(texts::kHostnameLabel, host_);
  server_form->addRow(texts::kPortLabel, port_);
  server_form->addRow(connect_);

  auto* statistics = new QGroupBox(texts::kStatisticsGroup, this);
  auto* stats_form = new QFormLayout(statistics);
  const char* labels[] = {texts::kNumConnectsLabel, texts::kNumBytesSentLabel,
                          texts::kNumHttpErrorsLabel, texts::kNumNetErrorsLabel,
                          texts::kNumIntErrorsLabel};
  for (size_t i = 0; i < stats_.size(); ++i) {
    stats_[i] = new QLineEdit(statistics);
    stats_[i]->setReadOnly(true);
    stats_form->addRow(labels[i], stats_[i]);
  }
  stats_form->addRow(refresh_);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(server);
  layout->addWidget(statistics);
  layout->addStretch();

  page_.SetDataExchange([this](bool save) { DoDataExchange(save); });
  connect(connect_, &QPushButton::clicked, this, [this] { page_.OnConnect(); });
  connect(refresh_, &QPushButton::clicked, this, [this] { page_.OnRefresh(); });
}

void CSvcStatsView::DoDataExchange(bool save) {
  if (save) {
    page_.host = host_->text().toStdString();
    page_.port = port_->text().toInt();
    return;
  }
  host_->setText(QString::fromStdString(page_.host));
  port_->setText(QString::number(page_.port));
  const ServerStats& s = page_.stats;
  const int32_t values[] = {s.num_connects, s.num_bytes_sent, s.num_http_errors,
                            s.num_net_errors, s.num_int_errors};
  for (size_t i = 0; i < stats_.size(); ++i) stats_[i]->setText(QString::number(values[i]));
  connect_->setEnabled(page_.connect_enabled);
  host_->setEnabled(page_.host_enabled);
  port_->setEnabled(page_.port_enabled);
  refresh_->setEnabled(page_.refresh_enabled);
}

}  // namespace controlpanel
