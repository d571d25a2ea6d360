#include "controlpanel/ui/prop_sheet.h"

#include <QHBoxLayout>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "controlpanel/model/texts.h"

namespace controlpanel {

CVantorPropSheet::CVantorPropSheet(CControlPanelApp& app, UiPort& ui, std::vector<SheetPage> pages,
                                   QWidget* parent)
    : QDialog(parent),
      app_(app),
      ui_(ui),
      pages_(std::move(pages)),
      connect_page_(app, ui),
      controller_(connect_page_),
      tabs_(new QTabWidget(this)),
      connect_view_(new CSvcStatsView(connect_page_, tabs_)),
      ok_(new QPushButton(texts::kOk, this)),
      cancel_(new QPushButton(texts::kCancel, this)),
      apply_(new QPushButton(texts::kApply, this)),
      help_(new QPushButton(texts::kHelp, this)) {
  setWindowTitle(texts::kSheetCaption);
  tabs_->addTab(connect_view_, texts::kConnectTitle);
  for (const SheetPage& page : pages_) {
    auto* holder = new QWidget(tabs_);
    new QVBoxLayout(holder);
    tabs_->addTab(holder, QString::fromStdString(page.title));
    const SheetPage* spec = &page;
    controller_.AddPage(page.title, [this, spec] { return spec->make_model(app_, ui_); });
  }
  controller_.SetPageCreatedListener([this](size_t index, ServerPage& page) {
    QWidget* holder = tabs_->widget(static_cast<int>(index));
    holder->layout()->addWidget(pages_[index - 1].make_view(page, holder));
  });
  controller_.SetApplyListener([this](bool enabled) { apply_->setEnabled(enabled); });
  apply_->setEnabled(false);
  ok_->setDefault(true);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  for (QPushButton* b : {ok_, cancel_, apply_, help_}) buttons->addWidget(b);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addLayout(buttons);

  connect(tabs_, &QTabWidget::currentChanged, this, &CVantorPropSheet::OnTabChanged);
  connect(ok_, &QPushButton::clicked, this, [this] {
    if (controller_.Ok()) accept();
  });
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(apply_, &QPushButton::clicked, this, [this] { controller_.Apply(); });
  connect(help_, &QPushButton::clicked, this, [this] { app_.OnAppAbout(ui_); });

  resize(kOpeningSize);
  connect_page_.OnInitDialog();
}

void CVantorPropSheet::OnTabChanged(int index) {
  // The tab widget has switched already. Back to the page we are on before
  // the controller decides: its refusal opens a box, whose event loop would
  // otherwise paint the page that is not entered behind it.
  const auto show = [this](size_t page) {
    const QSignalBlocker block(tabs_);
    tabs_->setCurrentIndex(static_cast<int>(page));
  };
  show(controller_.CurrentPage());
  if (controller_.SelectPage(static_cast<size_t>(index))) show(controller_.CurrentPage());
}

}  // namespace controlpanel
