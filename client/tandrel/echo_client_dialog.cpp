#include "client/tandrel/echo_client_dialog.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QEventLoop>
#include <QFileDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QVBoxLayout>
#include <thread>

#include "platform/com/activation.h"

namespace tandrel {
namespace {

QString ToQ(const std::string& s) { return QString::fromStdString(s); }

QIcon AppIcon() { return QApplication::style()->standardIcon(QStyle::SP_ComputerIcon); }

}  // namespace

std::optional<std::string> QtFilePicker::PickOpen(const PickRequest& request) {
  return Pick(request, false);
}
std::optional<std::string> QtFilePicker::PickSave(const PickRequest& request) {
  return Pick(request, true);
}

std::optional<std::string> QtFilePicker::Pick(const PickRequest& request, bool save) {
  QFileDialog dialog(parent_, ToQ(request.title), ToQ(request.directory), "All Files (*)");
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  if (!request.file_name.empty()) dialog.selectFile(ToQ(request.file_name));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first().toStdString();
}

std::unique_ptr<QMessageBox> QtNotifier::BuildBox(const std::string& text) const {
  auto box = std::make_unique<QMessageBox>(QMessageBox::NoIcon, "tandrel", ToQ(text),
                                           QMessageBox::Ok, parent_);
  // Texts may carry file names: never let them be read as markup.
  box->setTextFormat(Qt::PlainText);
  return box;
}

void QtNotifier::Notify(const std::string& text) { BuildBox(text)->exec(); }

void QtExchangeRunner::Run(const std::function<void()>& step) {
  // The join hands the step's objects back; until then this thread only
  // paints, so nothing here touches them.
  QEventLoop loop;
  std::thread worker([&] {
    const HRESULT entered = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    step();
    if (SUCCEEDED(entered)) CoUninitialize();
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  worker.join();
}

WaitCursor::WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
WaitCursor::~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("tandrel Demo DIME Client");
  setObjectName("aboutDialog");
  auto* icon = new QLabel;
  icon->setObjectName("aboutIcon");
  icon->setPixmap(AppIcon().pixmap(32, 32));
  auto* version = new QLabel("tandrel Version 1.0.1");
  version->setObjectName("aboutVersion");
  auto* ok = new QPushButton("OK");
  ok->setObjectName("aboutOk");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  auto* row = new QHBoxLayout;
  row->addWidget(icon);
  row->addWidget(version, 1);
  row->addWidget(ok);
  setLayout(row);
}

EchoClientDialog::EchoClientDialog(FilePicker* picker, Notifier* notifier, QWidget* parent)
    : QDialog(parent) {
  if (picker == nullptr) {
    own_picker_ = std::make_unique<QtFilePicker>(this);
    picker = own_picker_.get();
  }
  if (notifier == nullptr) {
    own_notifier_ = std::make_unique<QtNotifier>(this);
    notifier = own_notifier_.get();
  }
  controller_ = std::make_unique<EchoController>(*picker, *notifier);
  controller_->SetExchangeRunner(&runner_);
  setWindowTitle("Echo Data File Client");
  setObjectName("echoClientDialog");
  setWindowIcon(AppIcon());

  auto* step1 = new QGroupBox("Step 1: Location of WSDL file describing echoDataFile Service");
  step1->setObjectName("step1");
  auto* url_label = new QLabel("&URL:");
  url_label->setObjectName("urlLabel");
  url_ = new QLineEdit(kDefaultWsdlUrl);
  url_->setObjectName("urlEdit");
  url_label->setBuddy(url_);
  auto* row1 = new QHBoxLayout(step1);
  row1->addWidget(url_label);
  row1->addWidget(url_, 1);

  auto* step2 = new QGroupBox("Step 2: Location of Disk File to send to Echo Service");
  step2->setObjectName("step2");
  auto* path_label = new QLabel("&Path:");
  path_label->setObjectName("pathLabel");
  path_ = new QLineEdit;
  path_->setObjectName("pathEdit");
  path_label->setBuddy(path_);
  auto* browse = new QPushButton("...");
  browse->setObjectName("browseButton");
  browse->setAutoDefault(false);
  auto* row2 = new QHBoxLayout(step2);
  row2->addWidget(path_label);
  row2->addWidget(path_, 1);
  row2->addWidget(browse);

  auto* step3 = new QGroupBox("Step 3: Select transfer mode");
  step3->setObjectName("step3");
  auto* dime = new QRadioButton("Send as &DIME Attachment");
  dime->setObjectName("dimeRadio");
  auto* base64 = new QRadioButton("Send as &Base64");
  base64->setObjectName("base64Radio");
  mode_ = new QButtonGroup(this);
  mode_->setExclusive(true);
  mode_->addButton(dime, kModeDime);
  mode_->addButton(base64, kModeBase64);
  dime->setChecked(true);
  auto* row3 = new QHBoxLayout(step3);
  row3->addWidget(dime);
  row3->addWidget(base64);

  auto* step4 = new QGroupBox("Step 4: Invoke Service");
  step4->setObjectName("step4");
  auto* invoke = new QPushButton("&Invoke echoDataFile Operation");
  invoke->setObjectName("invokeButton");
  invoke->setDefault(true);
  auto* row4 = new QHBoxLayout(step4);
  row4->addStretch();
  row4->addWidget(invoke);
  row4->addStretch();

  auto* note = new QLabel(
      "This is a demo of file transfer over SOAP comparing two modes: transfer as a DIME "
      "attachment or transfer as a base64 encoded parameter value. After the file has been "
      "echoed back from the server, a file save dialog box will open, to allow saving it.");
  note->setObjectName("noteLabel");
  note->setWordWrap(true);
  auto* quit = new QPushButton("&Quit");
  quit->setObjectName("quitButton");
  quit->setAutoDefault(false);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(note, 1);
  bottom->addWidget(quit, 0, Qt::AlignBottom);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(step1);
  layout->addWidget(step2);
  layout->addWidget(step3);
  layout->addWidget(step4);
  layout->addLayout(bottom);

  setTabOrder(url_, path_);
  setTabOrder(path_, browse);
  setTabOrder(browse, dime);
  setTabOrder(dime, base64);
  setTabOrder(base64, invoke);
  setTabOrder(invoke, quit);

  connect(browse, &QPushButton::clicked, this, &EchoClientDialog::OnBrowse);
  connect(invoke, &QPushButton::clicked, this, &EchoClientDialog::OnInvoke);
  connect(quit, &QPushButton::clicked, this, &QDialog::reject);

  // Stands where a system-menu item would be on other desktops: the dialog's
  // context menu, and F1 for the keyboard, since no menu opens by key here.
  auto* about = new QAction("&About tandrel...", this);
  about->setObjectName("aboutAction");
  about->setShortcut(QKeySequence(Qt::Key_F1));
  about->setShortcutContext(Qt::WindowShortcut);
  connect(about, &QAction::triggered, this, [this] {
    AboutDialog box(this);
    box.exec();
  });
  addAction(about);
  setContextMenuPolicy(Qt::ActionsContextMenu);
}

EchoClientDialog::~EchoClientDialog() = default;

int EchoClientDialog::Mode() const { return mode_->checkedId() == kModeBase64 ? kModeBase64 : kModeDime; }

void EchoClientDialog::OnBrowse() {
  path_->setText(ToQ(controller_->OnBrowse(path_->text().toStdString())));
}

void EchoClientDialog::OnInvoke() {
  const WaitCursor wait;
  controller_->OnInvoke(url_->text().toStdString(), path_->text().toStdString(), Mode());
}

int EchoClientApp(const std::function<void(EchoClientDialog&)>& run) {
  const HRESULT entered = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    EchoClientDialog dialog;
    run(dialog);
  }
  if (SUCCEEDED(entered)) CoUninitialize();
  return 0;
}

}  // namespace tandrel
