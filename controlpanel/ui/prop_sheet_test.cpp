// The control panel's real widgets driven as a user drives them, offscreen,
// on the scripted channel and a recording UiPort: no modal box is opened.
#include "controlpanel/ui/prop_sheet.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QTabBar>
#include <QTest>
#include <QVBoxLayout>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "controlpanel/model/management_call.h"
#include "controlpanel/model/testing/fake_management_channel.h"
#include "controlpanel/model/testing/program_folder.h"
#include "controlpanel/model/testing/recording_ui_port.h"
#include "controlpanel/model/texts.h"
#include "controlpanel/ui/dialogs.h"
#include "controlpanel/ui/qt_ui_port.h"
#include "controlpanel/ui/testing/ui_testing.h"
#include "platform/com/activation.h"

namespace controlpanel {
namespace {

using testing::AuthenticatedAnswer;
using testing::LogOnAnswer;
using testing::NoCredentialsAnswer;
using testing::UiEvent;

// The components in the test's own registry; the apartment is each test's.
class Components : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::string command =
        std::string(QV_REGCOMP) + " -s " + QV_SOAPSTRUCT_COMPONENT + " >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
  }
};
[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Components);


using testing::Click;
using testing::ClickTab;

std::vector<std::pair<std::u16string, Variant>> Stats() {
  std::vector<std::pair<std::u16string, Variant>> out;
  int32_t n = 41;
  for (const char16_t* name :
       {u"NumConnects", u"NumBytesSent", u"NumHTTPErrors", u"NumNetErrors", u"NumIntErrors"}) {
    out.emplace_back(name, Variant::FromI4(n++));
  }
  return out;
}

// A page whose read fills one edit and whose edit marks it modified when typed in.
class EditPage : public ServerPage {
 public:
  using ServerPage::ServerPage;
  std::string value;

 protected:
  bool Read() override {
    if (!ManagementCall(app_, ui_, u"ReadEdit").Run()) return false;
    value = "loaded";
    UpdateData(false);
    return true;
  }
  bool Write() override { return ManagementCall(app_, ui_, u"WriteEdit").Run(); }
  std::string ReadFailedMessage() const override { return "read failed"; }
  std::string WriteFailedMessage() const override { return "write failed"; }
};

SheetPage EditSheetPage() {
  return {"Edit",
          [](CControlPanelApp& app, UiPort& ui) { return std::make_unique<EditPage>(app, ui); },
          [](ServerPage& model, QWidget* parent) -> QWidget* {
            auto& page = static_cast<EditPage&>(model);
            auto* edit = new QLineEdit(parent);
            edit->setObjectName("pageEdit");
            page.SetDataExchange([&page, edit](bool save) {
              if (save) {
                page.value = edit->text().toStdString();
              } else {
                edit->setText(QString::fromStdString(page.value));
              }
            });
            QObject::connect(edit, &QLineEdit::textEdited, edit, [&page] { page.SetModified(); });
            return edit;
          }};
}

// Records, besides the boxes, what the sheet shows while a box is up.
class WatchingUiPort : public testing::RecordingUiPort {
 public:
  std::function<void()> on_message;
  void ShowMessage(const std::string& text) override {
    if (on_message) on_message();
    RecordingUiPort::ShowMessage(text);
  }
};

class SheetView : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(QApplication::instance(), nullptr);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    app_.SetProgramDirectory(testing::ProgramFolder("cpviews", {QV_DEFAULT_CP_CONFIG}));
    app_.SetChannel(&channel_);
    sheet_ = std::make_unique<CVantorPropSheet>(app_, ui_, std::vector<SheetPage>{EditSheetPage()});
    sheet_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet_.get()));
  }
  void TearDown() override {
    sheet_.reset();
    app_.Client().ReleaseObjects();
    CoUninitialize();
  }

  void ConnectByHand() {
    channel_.answers.push_back(NoCredentialsAnswer("Admins"));
    channel_.answers.push_back(AuthenticatedAnswer(Stats()));
    ui_.logon_answers.push_back(LogOnAnswer{"admin", channel_.password});
    CSvcStatsView* view = sheet_->ConnectView();
    view->HostEdit()->clear();
    QTest::keyClicks(view->HostEdit(), "server.example");
    view->PortEdit()->clear();
    QTest::keyClicks(view->PortEdit(), "8081");
    Click(view->ConnectButton());
  }

  CControlPanelApp app_{1000};
  testing::FakeManagementChannel channel_;
  WatchingUiPort ui_;
  std::unique_ptr<CVantorPropSheet> sheet_;
};

TEST_F(SheetView, OpensOnConnectWithTheSettingsShown) {
  EXPECT_EQ(sheet_->windowTitle(), texts::kSheetCaption);
  ASSERT_EQ(sheet_->Tabs()->count(), 2);
  EXPECT_EQ(sheet_->Tabs()->tabText(0), texts::kConnectTitle);
  EXPECT_EQ(sheet_->Tabs()->currentIndex(), 0);
  CSvcStatsView* view = sheet_->ConnectView();
  EXPECT_EQ(view->HostEdit()->text(), "localhost");
  EXPECT_EQ(view->PortEdit()->text(), "80");
  EXPECT_FALSE(view->RefreshButton()->isEnabled());
  EXPECT_FALSE(sheet_->ApplyButton()->isEnabled());
  EXPECT_TRUE(ui_.events.empty());
}

TEST_F(SheetView, NothingLeavesConnectBeforeConnecting) {
  ClickTab(sheet_->Tabs(), 1);
  EXPECT_EQ(sheet_->Tabs()->currentIndex(), 0);
  Click(sheet_->OkButton());
  EXPECT_TRUE(sheet_->isVisible());
  Click(sheet_->ApplyButton());  // disabled: nothing to apply
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>(2, texts::kNotConnected));
  EXPECT_TRUE(channel_.calls.empty());
}

TEST_F(SheetView, CtrlTabBeforeConnectingKeepsConnectShownBehindTheBox) {
  struct Shown {
    int index;
    bool connect_visible;
    bool other_visible;
    bool operator==(const Shown&) const = default;
  };
  std::vector<Shown> shown;
  ui_.on_message = [&] {
    shown.push_back({sheet_->Tabs()->currentIndex(), sheet_->ConnectView()->isVisible(),
                     sheet_->Tabs()->widget(1)->isVisible()});
  };
  QLineEdit* host = sheet_->ConnectView()->HostEdit();
  host->setFocus();
  QTest::keyClick(host, Qt::Key_Tab, Qt::ControlModifier);
  QTest::keyClick(host, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
  ClickTab(sheet_->Tabs(), 1);
  EXPECT_EQ(shown, std::vector<Shown>(3, Shown{0, true, false}));
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>(3, texts::kNotConnected));
  EXPECT_EQ(sheet_->Tabs()->currentIndex(), 0);
  EXPECT_TRUE(sheet_->ConnectView()->isVisible());
  EXPECT_TRUE(channel_.calls.empty());

  // Connected, the same key moves on.
  ConnectByHand();
  channel_.answers.push_back(AuthenticatedAnswer());
  QTest::keyClick(sheet_->ConnectView()->RefreshButton(), Qt::Key_Tab, Qt::ControlModifier);
  EXPECT_EQ(sheet_->Tabs()->currentIndex(), 1);
  EXPECT_TRUE(sheet_->Tabs()->widget(1)->isVisible());
  ASSERT_NE(sheet_->findChild<QLineEdit*>("pageEdit"), nullptr);
  EXPECT_EQ(sheet_->findChild<QLineEdit*>("pageEdit")->text(), "loaded");
}

TEST_F(SheetView, CancelClosesAndWritesNothing) {
  const std::string settings = app_.ProgramDirectory() + "/cp-config.xml";
  const auto written = std::filesystem::last_write_time(settings);
  Click(sheet_->CancelButton());
  EXPECT_FALSE(sheet_->isVisible());
  EXPECT_EQ(sheet_->result(), QDialog::Rejected);
  EXPECT_TRUE(channel_.calls.empty());
  EXPECT_EQ(std::filesystem::last_write_time(settings), written);
}

TEST_F(SheetView, TypedHostAndPortConnect) {
  ConnectByHand();
  CSvcStatsView* view = sheet_->ConnectView();
  EXPECT_TRUE(ui_.Messages().empty());
  ASSERT_EQ(channel_.bindings.size(), 1u);
  EXPECT_EQ(channel_.bindings[0].host, "server.example");
  EXPECT_EQ(channel_.bindings[0].port, 8081);
  EXPECT_FALSE(view->ConnectButton()->isEnabled());
  EXPECT_FALSE(view->HostEdit()->isEnabled());
  EXPECT_FALSE(view->PortEdit()->isEnabled());
  EXPECT_TRUE(view->RefreshButton()->isEnabled());
  EXPECT_EQ(view->StatEdits()[0]->text(), "41");
  EXPECT_EQ(view->StatEdits()[4]->text(), "45");
  EXPECT_TRUE(view->StatEdits()[0]->isReadOnly());

  // Refresh shows what the server now counts.
  auto out = Stats();
  out[0].second = Variant::FromI4(99);
  channel_.answers.push_back(AuthenticatedAnswer(std::move(out)));
  Click(view->RefreshButton());
  EXPECT_EQ(view->StatEdits()[0]->text(), "99");
}

TEST_F(SheetView, PortEditTakesDigitsOnly) {
  QLineEdit* port = sheet_->ConnectView()->PortEdit();
  port->clear();
  QTest::keyClicks(port, "8a0x8-1");
  EXPECT_EQ(port->text(), "8081");
}

TEST_F(SheetView, ApplyIsEnabledByTypingNotByLoading) {
  ConnectByHand();
  channel_.answers.push_back(AuthenticatedAnswer());
  ClickTab(sheet_->Tabs(), 1);
  ASSERT_EQ(sheet_->Tabs()->currentIndex(), 1);
  auto* edit = sheet_->findChild<QLineEdit*>("pageEdit");
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->text(), "loaded");
  EXPECT_FALSE(sheet_->ApplyButton()->isEnabled());
  QTest::keyClicks(edit, "!");
  EXPECT_TRUE(sheet_->ApplyButton()->isEnabled());

  channel_.answers.push_back(AuthenticatedAnswer());
  Click(sheet_->ApplyButton());
  EXPECT_FALSE(sheet_->ApplyButton()->isEnabled());
  ASSERT_FALSE(channel_.calls.empty());
  EXPECT_EQ(channel_.calls.back().method, u"WriteEdit");
  EXPECT_TRUE(sheet_->isVisible());
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(SheetView, HelpShowsTheAboutBox) {
  Click(sheet_->HelpButton());
  ASSERT_EQ(ui_.events.size(), 1u);
  EXPECT_EQ(ui_.events[0].kind, UiEvent::Kind::About);

  CAboutDlg about(sheet_.get());
  EXPECT_EQ(about.windowTitle(), texts::kAboutCaption);
  QStringList lines;
  for (QLabel* label : about.findChildren<QLabel*>()) {
    if (!label->text().isEmpty()) lines << label->text();
  }
  EXPECT_EQ(lines, QStringList({texts::kAboutVersion, texts::kAboutNotice}));
}

TEST(LogonDialog, ShowsTheRealmAndStartsEmptyEachTime) {
  CLogonDlg dialog;
  EXPECT_EQ(dialog.windowTitle(), texts::kLogonCaption);
  dialog.Prepare("Admins");
  EXPECT_EQ(dialog.RealmEdit()->text(), "Admins");
  EXPECT_TRUE(dialog.RealmEdit()->isReadOnly());
  EXPECT_EQ(dialog.PasswordEdit()->echoMode(), QLineEdit::Password);
  dialog.show();
  QTest::keyClicks(dialog.UserIdEdit(), "admin");
  QTest::keyClicks(dialog.PasswordEdit(), "secret");
  dialog.Prepare("Other");
  EXPECT_EQ(dialog.RealmEdit()->text(), "Other");
  EXPECT_TRUE(dialog.UserIdEdit()->text().isEmpty());
  EXPECT_TRUE(dialog.PasswordEdit()->text().isEmpty());
}

// With the cursor at its end, the realm's first letter is still at the
// edit's left: nothing of it scrolled away.
TEST(LogonDialog, ShowsALongRealmWhole) {
  for (const char* realm :
       {"Quorvel Administrators", "Administrators of every Quorvel SOAP Server in the building"}) {
    CLogonDlg dialog;
    dialog.Prepare(realm);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QLineEdit* edit = dialog.RealmEdit();
    edit->setCursorPosition(int(edit->text().size()));
    EXPECT_EQ(edit->cursorPositionAt(QPoint(edit->contentsRect().left() + 1, edit->height() / 2)),
              0)
        << realm;
    // And the edit itself, frame included, inside the dialog's margin.
    EXPECT_LE(edit->mapTo(&dialog, QPoint(edit->width(), 0)).x(),
              dialog.width() - dialog.layout()->contentsMargins().right())
        << realm;
  }
}

TEST(QtUiPortBoxes, AreBuiltInPlainText) {
  QtUiPort ui;
  const std::string envelope = "<Envelope>\xC3\xA9</Envelope>";
  const struct {
    const char* caption;
    QMessageBox::StandardButtons buttons;
  } cases[] = {{texts::kAppCaption, QMessageBox::Ok},
               {texts::kRequestMessageCaption, QMessageBox::Ok},
               {texts::kAppCaption, QMessageBox::Yes | QMessageBox::No}};
  for (const auto& c : cases) {
    auto box = ui.BuildBox(c.caption, envelope, c.buttons);
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_EQ(box->windowTitle(), c.caption);
    EXPECT_EQ(box->text(), QString::fromUtf8("<Envelope>\u00e9</Envelope>"));
    EXPECT_EQ(box->standardButtons(), c.buttons);
  }
}

// The sheet itself is pictured with its real pages in server_views_test.
TEST_F(SheetView, WritesScreenshotsForAPerson) {
  std::filesystem::create_directories(QV_SCRATCH);
  CLogonDlg logon(sheet_.get());
  logon.Prepare("Quorvel Administrators");
  logon.show();
  CAboutDlg about(sheet_.get());
  about.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&logon));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
  const std::pair<QWidget*, const char*> shots[] = {{&logon, "/morvask-logon.png"},
                                                    {&about, "/morvask-about.png"}};
  for (const auto& [widget, name] : shots) {
    testing::WriteScreenshot(widget, QString(QV_SCRATCH) + name);
  }
}

}  // namespace
}  // namespace controlpanel

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
