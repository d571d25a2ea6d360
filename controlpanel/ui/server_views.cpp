#include "controlpanel/ui/server_views.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <cmath>

#include "controlpanel/model/texts.h"
#include "controlpanel/ui/prop_sheet.h"

namespace controlpanel {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QHBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons) {
  auto* row = new QHBoxLayout;
  for (QPushButton* b : buttons) row->addWidget(b);
  row->addStretch();
  return row;
}

}  // namespace

ProportionalList::ProportionalList(const std::vector<const char*>& titles,
                                   std::vector<double> weights, QWidget* parent)
    : QTableWidget(0, int(titles.size()), parent), weights_(std::move(weights)) {
  QStringList labels;
  for (const char* t : titles) labels << t;
  setHorizontalHeaderLabels(labels);
  for (int c = 0; c < columnCount(); ++c) {
    horizontalHeaderItem(c)->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  }
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  verticalHeader()->setVisible(false);
  horizontalHeader()->setStretchLastSection(false);
  // One line per row: a long URL wrapped into the row's height was cut at
  // top and bottom; on one line it ends in an ellipsis.
  setWordWrap(false);
  // The selection keeps its active colours while the buttons have the focus.
  QPalette p = palette();
  p.setColor(QPalette::Inactive, QPalette::Highlight,
             p.color(QPalette::Active, QPalette::Highlight));
  p.setColor(QPalette::Inactive, QPalette::HighlightedText,
             p.color(QPalette::Active, QPalette::HighlightedText));
  setPalette(p);
}

template <typename Row>
void ProportionalList::Show(const std::vector<Row>& rows, std::optional<size_t> selected) {
  const QSignalBlocker block(this);
  clearSelection();
  setRowCount(int(rows.size()));
  for (size_t r = 0; r < rows.size(); ++r) {
    for (size_t c = 0; c < rows[r].size(); ++c) {
      auto* item = new QTableWidgetItem(Q(rows[r][c]));
      item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
      setItem(int(r), int(c), item);
    }
  }
  if (selected) {
    selectRow(int(*selected));
  } else {
    setCurrentItem(nullptr);
  }
}

std::optional<size_t> ProportionalList::SelectedRow() const {
  const QList<QTableWidgetItem*> items = selectedItems();
  if (items.isEmpty()) return std::nullopt;
  return size_t(items.front()->row());
}

void ProportionalList::resizeEvent(QResizeEvent* event) {
  QTableWidget::resizeEvent(event);
  FitColumns();
}

void ProportionalList::FitColumns() {
  // Widths in tenths of the viewport added up to three viewports for the
  // services: a person saw three of ten columns. Shared, they all show.
  const size_t n = weights_.size();
  std::vector<int> title(n);
  for (size_t c = 0; c < n; ++c) title[c] = horizontalHeader()->sectionSizeHint(int(c));
  std::vector<bool> held(n, false);
  std::vector<int> widths(n);
  for (bool changed = true; changed;) {
    changed = false;
    int left = viewport()->width();
    double weight = 0;
    for (size_t c = 0; c < n; ++c) {
      if (held[c]) {
        left -= title[c];
      } else {
        weight += weights_[c];
      }
    }
    for (size_t c = 0; c < n; ++c) {
      if (held[c]) {
        widths[c] = title[c];
        continue;
      }
      widths[c] = left > 0 ? int(std::floor(weights_[c] * left / weight)) : 0;
      if (widths[c] < title[c]) held[c] = changed = true;
    }
  }
  for (size_t c = 0; c < n; ++c) setColumnWidth(int(c), widths[c]);
}

CSvrParamsView::CSvrParamsView(CSvrParamsPage& page, QWidget* parent)
    : QWidget(parent), page_(page) {
  auto* group = new QGroupBox(texts::kConnectionParamsGroup, this);
  auto* form = new QFormLayout(group);
  const char* labels[] = {texts::kListenPortLabel, texts::kWorkThreadsLabel,
                          texts::kMaxClientsLabel, texts::kClientTimeoutLabel,
                          texts::kWatchdogLabel};
  for (size_t i = 0; i < edits_.size(); ++i) {
    edits_[i] = new QLineEdit(group);
    edits_[i]->setReadOnly(true);
    if (i >= 3) {
      auto* row = new QHBoxLayout;
      row->addWidget(edits_[i]);
      row->addWidget(new QLabel(texts::kSecondsUnit, group));
      form->addRow(labels[i], row);
    } else {
      form->addRow(labels[i], edits_[i]);
    }
  }
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addStretch();
  page_.SetDataExchange([this](bool save) { DoDataExchange(save); });
  DoDataExchange(false);
}

void CSvrParamsView::DoDataExchange(bool save) {
  if (save) return;  // read-only
  const int32_t values[] = {page_.listen_port, page_.num_work_threads, page_.num_client_conn,
                            page_.client_timeout, page_.watchdog_timer};
  for (size_t i = 0; i < edits_.size(); ++i) edits_[i]->setText(QString::number(values[i]));
}

CServicesView::CServicesView(CServicesPage& page, QWidget* parent)
    : QWidget(parent),
      page_(page),
      list_(new ProportionalList(
          {texts::kServiceUriColumn, texts::kServiceNameColumn, texts::kServicePortColumn,
           texts::kWsdlUrlColumn, texts::kBodyHandlerColumn, texts::kHeaderHandlersColumn,
           texts::kRolesColumn, texts::kNextHopColumn, texts::kNodeUriColumn,
           texts::kEnabledColumn},
          {4, 3, 3, 5, 3, 3, 3, 3, 3, 1.5}, this)),
      add_(new QPushButton(texts::kAddButton, this)),
      edit_(new QPushButton(texts::kEditButton, this)),
      delete_(new QPushButton(texts::kDeleteButton, this)) {
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_);
  layout->addLayout(ButtonRow({add_, edit_, delete_}));
  connect(list_, &QTableWidget::itemSelectionChanged, this,
          [this] { page_.Select(list_->SelectedRow()); });
  connect(add_, &QPushButton::clicked, this, [this] { page_.OnAddService(); });
  connect(edit_, &QPushButton::clicked, this, [this] { page_.OnEditService(); });
  connect(delete_, &QPushButton::clicked, this, [this] { page_.OnDeleteService(); });
  page_.SetDataExchange([this](bool save) { DoDataExchange(save); });
  DoDataExchange(false);
}

void CServicesView::DoDataExchange(bool save) {
  if (save) return;  // the rows live in the model
  list_->Show(page_.Rows(), page_.Selected());
  list_->setFocus();
}

CHTTPSettingsView::CHTTPSettingsView(CHTTPSettingsPage& page, QWidget* parent)
    : QWidget(parent),
      page_(page),
      doc_root_(new QLineEdit(this)),
      default_file_(new QLineEdit(this)),
      list_(new ProportionalList({texts::kExtensionColumn, texts::kMimeTypeColumn}, {1, 2}, this)),
      add_(new QPushButton(texts::kAddButton, this)),
      edit_(new QPushButton(texts::kEditButton, this)),
      delete_(new QPushButton(texts::kDeleteButton, this)) {
  auto* form = new QFormLayout;
  form->addRow(texts::kDocRootLabel, doc_root_);
  form->addRow(texts::kDefaultFileLabel, default_file_);
  auto* group = new QGroupBox(texts::kMimeGroup, this);
  auto* group_layout = new QVBoxLayout(group);
  group_layout->addWidget(list_);
  group_layout->addLayout(ButtonRow({add_, edit_, delete_}));
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(group);
  for (QLineEdit* edit : {doc_root_, default_file_}) {
    connect(edit, &QLineEdit::textEdited, this, [this] { page_.SetModified(); });
  }
  connect(list_, &QTableWidget::itemSelectionChanged, this,
          [this] { page_.Select(list_->SelectedRow()); });
  connect(add_, &QPushButton::clicked, this, [this] { page_.OnAddMimeType(); });
  connect(edit_, &QPushButton::clicked, this, [this] { page_.OnEditMimeType(); });
  connect(delete_, &QPushButton::clicked, this, [this] { page_.OnDeleteMimeType(); });
  page_.SetDataExchange([this](bool save) { DoDataExchange(save); });
  DoDataExchange(false);
}

void CHTTPSettingsView::DoDataExchange(bool save) {
  if (save) {
    page_.doc_root = doc_root_->text().toStdString();
    page_.default_file = default_file_->text().toStdString();
    return;
  }
  doc_root_->setText(Q(page_.doc_root));
  default_file_->setText(Q(page_.default_file));
  list_->Show(page_.Rows(), page_.Selected());
  list_->setFocus();
}

CLogSettingsView::CLogSettingsView(CLogSettingsPage& page, QWidget* parent)
    : QWidget(parent), page_(page) {
  const char* groups[] = {texts::kServerLogGroup, texts::kUserAgentLogGroup, texts::kTraceLogGroup};
  const char* path_labels[] = {texts::kServerLogPathLabel, texts::kUserAgentLogPathLabel,
                               texts::kTraceLogPathLabel};
  const char* check_labels[] = {texts::kServerLogEnabledLabel, texts::kUserAgentLogEnabledLabel,
                                texts::kTraceLogEnabledLabel};
  auto* layout = new QVBoxLayout(this);
  for (size_t i = 0; i < kLogCount; ++i) {
    auto* group = new QGroupBox(groups[i], this);
    auto* form = new QFormLayout(group);
    paths_[i] = new QLineEdit(group);
    checks_[i] = new QCheckBox(check_labels[i], group);
    form->addRow(path_labels[i], paths_[i]);
    form->addRow(checks_[i]);
    layout->addWidget(group);
    connect(paths_[i], &QLineEdit::textEdited, this, [this] { page_.SetModified(); });
    connect(checks_[i], &QCheckBox::clicked, this, [this] { page_.SetModified(); });
  }
  layout->addStretch();
  page_.SetDataExchange([this](bool save) { DoDataExchange(save); });
  DoDataExchange(false);
}

void CLogSettingsView::DoDataExchange(bool save) {
  for (size_t i = 0; i < kLogCount; ++i) {
    if (save) {
      page_.paths[i] = paths_[i]->text().toStdString();
      page_.enabled[i] = checks_[i]->isChecked();
    } else {
      paths_[i]->setText(Q(page_.paths[i]));
      checks_[i]->setChecked(page_.enabled[i]);
    }
  }
}

namespace {

// A sheet page whose model is `Page` and view `View`.
template <typename Page, typename View>
SheetPage MakeSheetPage(const char* title) {
  return {title,
          [](CControlPanelApp& app, UiPort& ui) -> std::unique_ptr<ServerPage> {
            return std::make_unique<Page>(app, ui);
          },
          [](ServerPage& page, QWidget* parent) -> QWidget* {
            return new View(static_cast<Page&>(page), parent);
          }};
}

}  // namespace

std::vector<SheetPage> ServerPages() {
  return {MakeSheetPage<CSvrParamsPage, CSvrParamsView>(texts::kServerSettingsTitle),
          MakeSheetPage<CServicesPage, CServicesView>(texts::kServicesTitle),
          MakeSheetPage<CHTTPSettingsPage, CHTTPSettingsView>(texts::kHttpSettingsTitle),
          MakeSheetPage<CLogSettingsPage, CLogSettingsView>(texts::kLoggingTitle)};
}

}  // namespace controlpanel
