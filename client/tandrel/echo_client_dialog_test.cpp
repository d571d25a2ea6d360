// The demo's real widgets driven as a user drives them, offscreen, over fake
// seams; the one modal box opened (About) is closed from its own loop.
#include "client/tandrel/echo_client_dialog.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "client/tandrel/testing/fake_seams.h"
#include "platform/com/activation.h"

namespace tandrel {
namespace {

// The client's components in the test's own registry, for the one test
// that binds for real.
class Components : public ::testing::Environment {
 public:
  void SetUp() override {
    for (const char* component : {QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT}) {
      const std::string command = std::string(QV_REGCOMP) + " -s " + component + " >/dev/null";
      ASSERT_EQ(system(command.c_str()), 0) << component;
    }
  }
};
[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Components);

// Made by main, so it is gone before the library's own exit handlers run.
void App() { ASSERT_NE(QApplication::instance(), nullptr); }

template <typename W>
W* Find(QWidget& root, const char* name) {
  W* w = root.findChild<W*>(name);
  EXPECT_NE(w, nullptr) << name;
  return w;
}

class EchoClientDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    dialog_ = std::make_unique<EchoClientDialog>(&picker_, &notifier_);
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  }
  void TearDown() override {
    dialog_.reset();
    CoUninitialize();
  }

  testing::FakePicker picker_;
  testing::FakeNotifier notifier_;
  std::unique_ptr<EchoClientDialog> dialog_;
};

TEST_F(EchoClientDialogTest, ShowsEveryCaptionAndLabel) {
  EchoClientDialog& d = *dialog_;
  EXPECT_EQ(d.windowTitle(), "Echo Data File Client");
  const std::pair<const char*, const char*> groups[] = {
      {"step1", "Step 1: Location of WSDL file describing echoDataFile Service"},
      {"step2", "Step 2: Location of Disk File to send to Echo Service"},
      {"step3", "Step 3: Select transfer mode"},
      {"step4", "Step 4: Invoke Service"}};
  for (const auto& [name, title] : groups) EXPECT_EQ(Find<QGroupBox>(d, name)->title(), title);
  const std::pair<const char*, const char*> labels[] = {
      {"urlLabel", "&URL:"},
      {"pathLabel", "&Path:"},
      {"noteLabel",
       "This is a demo of file transfer over SOAP comparing two modes: transfer as a DIME "
       "attachment or transfer as a base64 encoded parameter value. After the file has been "
       "echoed back from the server, a file save dialog box will open, to allow saving it."}};
  for (const auto& [name, text] : labels) EXPECT_EQ(Find<QLabel>(d, name)->text(), text);
  EXPECT_TRUE(Find<QLabel>(d, "noteLabel")->wordWrap());
  EXPECT_EQ(Find<QLineEdit>(d, "urlEdit")->text(), "http://localhost/wsdl/tandrel.wsdl");
  EXPECT_EQ(Find<QLineEdit>(d, "pathEdit")->text(), "");
  const std::pair<const char*, const char*> buttons[] = {
      {"browseButton", "..."},
      {"dimeRadio", "Send as &DIME Attachment"},
      {"base64Radio", "Send as &Base64"},
      {"invokeButton", "&Invoke echoDataFile Operation"},
      {"quitButton", "&Quit"}};
  for (const auto& [name, text] : buttons) {
    EXPECT_EQ(Find<QAbstractButton>(d, name)->text(), text);
  }
  EXPECT_TRUE(Find<QPushButton>(d, "invokeButton")->isDefault());
  EXPECT_FALSE(d.windowIcon().isNull());
  QAction* about = d.findChild<QAction*>("aboutAction");
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->text(), "&About tandrel...");
  EXPECT_TRUE(d.actions().contains(about));
  EXPECT_EQ(d.contextMenuPolicy(), Qt::ActionsContextMenu);

  AboutDialog box(&d);
  EXPECT_EQ(box.windowTitle(), "tandrel Demo DIME Client");
  EXPECT_EQ(Find<QLabel>(box, "aboutVersion")->text(), "tandrel Version 1.0.1");
  EXPECT_EQ(Find<QPushButton>(box, "aboutOk")->text(), "OK");
  EXPECT_FALSE(Find<QLabel>(box, "aboutIcon")->pixmap().isNull());
}

TEST_F(EchoClientDialogTest, RadioPairIsExclusiveAndTabWalksTheControlsInOrder) {
  EchoClientDialog& d = *dialog_;
  auto* dime = Find<QRadioButton>(d, "dimeRadio");
  auto* base64 = Find<QRadioButton>(d, "base64Radio");
  EXPECT_TRUE(dime->isChecked());
  EXPECT_EQ(d.Mode(), kModeDime);
  QTest::mouseClick(base64, Qt::LeftButton, {}, QPoint(4, base64->height() / 2));
  EXPECT_TRUE(base64->isChecked());
  EXPECT_FALSE(dime->isChecked());
  EXPECT_EQ(d.Mode(), kModeBase64);

  // One tab stop for the radio group: its checked button, as on other desktops.
  const char* order[] = {"urlEdit", "pathEdit", "browseButton", "base64Radio", "invokeButton",
                         "quitButton", "urlEdit"};
  d.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
  Find<QWidget>(d, order[0])->setFocus();
  for (size_t i = 1; i < std::size(order); ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    EXPECT_EQ(QApplication::focusWidget()->objectName().toStdString(), order[i])
        << "after " << order[i - 1];
  }
}

TEST_F(EchoClientDialogTest, EnterInvokesWithTheTypedPathAndKeepsTheDialogOpen) {
  EchoClientDialog& d = *dialog_;
  auto* url = Find<QLineEdit>(d, "urlEdit");
  auto* path = Find<QLineEdit>(d, "pathEdit");
  url->clear();
  QTest::keyClicks(url, "file:///nonexistent/tandrel.wsdl");
  QTest::keyClicks(path, "/nonexistent/input.bin");
  url->setFocus();
  QTest::keyClick(url, Qt::Key_Return);
  EXPECT_EQ(notifier_.texts, std::vector<std::string>{"Failed to initialize client!"});
  EXPECT_TRUE(d.isVisible());
  EXPECT_EQ(d.result(), 0);
  // The wait cursor is gone after the failing exchange.
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

// The about box is on the context menu and on F1, whatever has the focus.
TEST_F(EchoClientDialogTest, F1OpensTheAboutBox) {
  EchoClientDialog& d = *dialog_;
  QAction* about = d.findChild<QAction*>("aboutAction");
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->shortcut(), QKeySequence(Qt::Key_F1));
  EXPECT_TRUE(d.actions().contains(about));
  for (const char* focus : {"urlEdit", "pathEdit", "invokeButton"}) {
    d.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
    QWidget* target = Find<QWidget>(d, focus);
    target->setFocus();
    // The box is modal: close it from inside its own loop.
    QString shown;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
      if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        shown = box->windowTitle();
        box->accept();
      }
    });
    closer.start(10);
    QTest::keyClick(target, Qt::Key_F1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !shown.isEmpty(); }, 2000)) << focus;
    EXPECT_EQ(shown, "tandrel Demo DIME Client") << focus;
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << focus;
  }
  EXPECT_TRUE(notifier_.texts.empty());
}

// Counts the paints of the widget it watches, from any thread's view.
class PaintCounter : public QObject {
 public:
  std::atomic<int> paints{0};
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

// A WSDL host that holds every connection until the dialog has painted twice
// meanwhile, then hangs up; on the widget thread no paint comes, and it
// gives up after 10 s so the test fails instead of hanging.
TEST_F(EchoClientDialogTest, TheNetworkWaitRunsOffTheWidgetThreadWhileItPaints) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

  PaintCounter counter;
  dialog_->installEventFilter(&counter);
  QTimer repaint;
  QObject::connect(&repaint, &QTimer::timeout, dialog_.get(), [this] { dialog_->update(); });
  repaint.start(5);
  std::atomic<bool> stop{false};
  std::atomic<int> painted_during{-1};
  std::thread host([&] {
    while (!stop) {
      pollfd ready{listener, POLLIN, 0};
      if (poll(&ready, 1, 10) != 1) continue;
      const int connection = accept(listener, nullptr, nullptr);
      if (connection < 0) continue;
      const int start = counter.paints;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (counter.paints < start + 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (painted_during < 0) painted_during = counter.paints - start;
      close(connection);
    }
  });

  auto* url = Find<QLineEdit>(*dialog_, "urlEdit");
  url->setText(QString("http://127.0.0.1:%1/tandrel.wsdl").arg(ntohs(address.sin_port)));
  QTest::keyClicks(Find<QLineEdit>(*dialog_, "pathEdit"), "/nonexistent/input.bin");
  QTest::mouseClick(Find<QPushButton>(*dialog_, "invokeButton"), Qt::LeftButton);
  stop = true;
  host.join();
  close(listener);
  dialog_->removeEventFilter(&counter);

  EXPECT_GE(painted_during, 2);
  EXPECT_EQ(notifier_.texts, std::vector<std::string>{"Failed to initialize client!"});
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(EchoClientDialogTest, EscAndQuitCloseTheDialog) {
  QTest::keyClick(dialog_.get(), Qt::Key_Escape);
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), QDialog::Rejected);
  dialog_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  QTest::mouseClick(Find<QPushButton>(*dialog_, "quitButton"), Qt::LeftButton);
  EXPECT_FALSE(dialog_->isVisible());
}

TEST_F(EchoClientDialogTest, BrowsePutsTheChosenAbsolutePathIntoThePathEdit) {
  auto* path = Find<QLineEdit>(*dialog_, "pathEdit");
  QTest::keyClicks(path, "/data/in/old.txt");
  picker_.answers.push_back(std::string("chosen.bin"));
  QTest::mouseClick(Find<QPushButton>(*dialog_, "browseButton"), Qt::LeftButton);
  ASSERT_EQ(picker_.opens.size(), 1u);
  EXPECT_EQ(picker_.opens[0].directory, "/data/in");
  EXPECT_EQ(picker_.opens[0].file_name, "old.txt");
  EXPECT_EQ(path->text().toStdString(),
            (std::filesystem::current_path() / "chosen.bin").string());
}

TEST_F(EchoClientDialogTest, ProductionNotifierBuildsAPlainTextBox) {
  QtNotifier notifier(dialog_.get());
  const auto box = notifier.BuildBox("<b>Invocation failed!</b>");
  EXPECT_EQ(box->windowTitle(), "tandrel");
  EXPECT_EQ(box->text(), "<b>Invocation failed!</b>");
  EXPECT_EQ(box->textFormat(), Qt::PlainText);
  EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
}

TEST_F(EchoClientDialogTest, WritesScreenshotsForAPerson) {
  std::filesystem::create_directories(QV_SCRATCH);
  QTest::keyClicks(Find<QLineEdit>(*dialog_, "pathEdit"), "/home/user/report.pdf");
  auto* base64 = Find<QRadioButton>(*dialog_, "base64Radio");
  QTest::mouseClick(base64, Qt::LeftButton, {}, QPoint(4, base64->height() / 2));
  EXPECT_EQ(dialog_->Mode(), kModeBase64);
  AboutDialog about(dialog_.get());
  about.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
  const std::pair<QWidget*, const char*> shots[] = {{dialog_.get(), "/tandrel-dialog.png"},
                                                    {&about, "/tandrel-about.png"}};
  for (const auto& [widget, name] : shots) {
    const QString file = QString(QV_SCRATCH) + name;
    QFile::remove(file);
    ASSERT_TRUE(widget->grab().save(file, "PNG"));
    const QImage written(file);
    EXPECT_EQ(written.size(), widget->size() * widget->devicePixelRatio()) << name;
  }
}

TEST(EchoClientAppTest, StartsAndShutsDownInProcess) {
  App();
  bool ran = false;
  EXPECT_EQ(EchoClientApp([&ran](EchoClientDialog& dialog) {
              ran = true;
              // Entered by the app: a second entry only counts.
              EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
              CoUninitialize();
              dialog.show();
              dialog.reject();
              EXPECT_FALSE(dialog.isVisible());
            }),
            0);
  EXPECT_TRUE(ran);
  // Left again: entering now is a first entry.
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  CoUninitialize();
}

}  // namespace
}  // namespace tandrel

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
