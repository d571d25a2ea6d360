#include "controlpanel/ui/server_views.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QScrollBar>
#include <QTabBar>
#include <QTest>
#include <cmath>
#include <filesystem>
#include <functional>

#include "controlpanel/model/testing/fake_management_channel.h"
#include "controlpanel/model/testing/program_folder.h"
#include "controlpanel/model/testing/recording_ui_port.h"
#include "controlpanel/model/texts.h"
#include "controlpanel/ui/prop_sheet.h"
#include "controlpanel/ui/server_dialogs.h"
#include "controlpanel/ui/testing/ui_testing.h"
#include "platform/com/activation.h"

namespace controlpanel {
namespace {

using testing::AuthenticatedAnswer;
using testing::LogOnAnswer;
using testing::NoCredentialsAnswer;
using Outs = std::vector<std::pair<std::u16string, Variant>>;

using testing::Click;
using testing::ClickTab;

// On the box itself: a check box stretched across its row takes clicks only
// on its box and text.
void ClickCheck(QCheckBox* box) {
  QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
}

void ClickRow(QTableWidget* list, int row) {
  const QRect cell = list->visualRect(list->model()->index(row, 0));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
}

// The recording port whose add dialogs are the real widgets, shown and
// driven by the test instead of run modally.
class DialogDrivingUiPort : public testing::RecordingUiPort {
 public:
  std::function<void(CAddServiceDlg&)> drive_add_service;

  bool AddServiceDialog(ServiceFields* fields) override {
    if (!drive_add_service) return RecordingUiPort::AddServiceDialog(fields);
    CAddServiceDlg dialog;
    dialog.show();
    drive_add_service(dialog);
    if (dialog.result() != QDialog::Accepted) return false;
    *fields = dialog.Fields();
    return true;
  }
};

const ServiceRow kRows[] = {
    {"/interop", "InteropSvc", "InteropPort", "file:///srv/wsdl/interop.wsdl", "pellasco.iop", "",
     "", "", "", "Yes"},
    {"/route/*", "Routed", "RoutedPort", "file:///srv/wsdl/route.wsdl", "pellasco.iop",
     "hastrel.hastrel2", "urn:r1 urn:r2", "http://127.0.0.1:9/next", "urn:node", "No"},
};

class ServerViews : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(QApplication::instance(), nullptr);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    app_.SetProgramDirectory(testing::ProgramFolder("cpserverviews", {QV_DEFAULT_CP_CONFIG}));
    app_.SetChannel(&channel_);
    sheet_ = std::make_unique<CVantorPropSheet>(app_, ui_, ServerPages());
    sheet_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet_.get()));
    channel_.answers.push_back(NoCredentialsAnswer("Admins"));
    channel_.answers.push_back(AuthenticatedAnswer());
    ui_.logon_answers.push_back(LogOnAnswer{"admin", channel_.password});
    // Typed, so the Connect page's picture shows what a person sees.
    CSvcStatsView* view = sheet_->ConnectView();
    view->HostEdit()->setText("server.example");
    view->PortEdit()->setText("8081");
    Click(view->ConnectButton());
    ASSERT_TRUE(sheet_->ConnectPage().IsConnected());
    ui_.events.clear();
    channel_.calls.clear();
  }
  void TearDown() override {
    sheet_.reset();
    app_.Client().ReleaseObjects();
    CoUninitialize();
  }

  // Opens tab `index`, whose read answers `out`; returns its view.
  template <typename View>
  View* OpenTab(int index, Outs out) {
    channel_.answers.push_back(AuthenticatedAnswer(std::move(out)));
    ClickTab(sheet_->Tabs(), index);
    EXPECT_EQ(sheet_->Tabs()->currentIndex(), index);
    View* view = sheet_->Tabs()->widget(index)->findChild<View*>();
    EXPECT_NE(view, nullptr);
    return view;
  }
  CServicesView* OpenServices() {
    Outs out;
    Variant svc_info;
    EXPECT_TRUE(MakeSvcInfo({std::begin(kRows), std::end(kRows)}, &svc_info));
    out.emplace_back(u"SvcInfo", std::move(svc_info));
    return OpenTab<CServicesView>(2, std::move(out));
  }
  CHTTPSettingsView* OpenHttp() {
    Outs out;
    Variant mime;
    EXPECT_TRUE(
        MakeMimeTypes({{".HTM", "text/html"}, {".GIF", "image/gif"}, {".XML", "text/xml"}}, &mime));
    out.emplace_back(u"DocRootPath", Variant::FromText(u"/srv/www/"));
    out.emplace_back(u"DefaultFilePath", Variant::FromText(u"default.htm"));
    out.emplace_back(u"MIMETypes", std::move(mime));
    return OpenTab<CHTTPSettingsView>(3, std::move(out));
  }
  CLogSettingsView* OpenLogging() {
    Outs out;
    out.emplace_back(u"ServerLogPath", Variant::FromText(u"/srv/log/server.log"));
    out.emplace_back(u"ServerLogEnabled", Variant::FromBool(true));
    out.emplace_back(u"SOAPTraceLogPath", Variant::FromText(u"/srv/log/trace.log"));
    return OpenTab<CLogSettingsView>(4, std::move(out));
  }
  CSvrParamsView* OpenParams() {
    Outs out;
    int32_t n = 8080;
    for (const char16_t* name :
         {u"ListenPort", u"NumWorkThreads", u"NumClientConn", u"ClientTimeout", u"WatchdogTimer"}) {
      out.emplace_back(name, Variant::FromI4(n));
      n = n == 8080 ? 8 : n * 2;
    }
    return OpenTab<CSvrParamsView>(1, std::move(out));
  }

  static std::vector<std::string> Headers(QTableWidget* list) {
    std::vector<std::string> out;
    for (int c = 0; c < list->columnCount(); ++c) {
      out.push_back(list->horizontalHeaderItem(c)->text().toStdString());
    }
    return out;
  }

  CControlPanelApp app_{1000};
  testing::FakeManagementChannel channel_;
  DialogDrivingUiPort ui_;
  std::unique_ptr<CVantorPropSheet> sheet_;
};

TEST_F(ServerViews, TabsComeInTheSheetsOrder) {
  std::vector<std::string> titles;
  for (int i = 0; i < sheet_->Tabs()->count(); ++i) {
    titles.push_back(sheet_->Tabs()->tabText(i).toStdString());
  }
  EXPECT_EQ(titles, (std::vector<std::string>{"Connect", "Server Settings", "SOAP Services",
                                              "HTTP Settings", "Logging"}));
}

// Where a person looks at it: the size the program opens at, on a 1280×1024
// screen less the window's frame and a desktop panel.
TEST_F(ServerViews, OpensWhereEveryTabAndColumnShows) {
  EXPECT_EQ(sheet_->size(), CVantorPropSheet::kOpeningSize);
  EXPECT_LE(sheet_->frameGeometry().width(), 1280 - 20);
  EXPECT_LE(sheet_->height(), 1024 - 120);
  QTabBar* bar = sheet_->Tabs()->tabBar();
  ASSERT_EQ(bar->count(), 5);
  for (int i = 0; i < bar->count(); ++i) {
    EXPECT_TRUE(bar->rect().contains(bar->tabRect(i))) << bar->tabText(i).toStdString();
    EXPECT_GE(bar->tabRect(i).width(), bar->fontMetrics().horizontalAdvance(bar->tabText(i)))
        << bar->tabText(i).toStdString();
  }
  CServicesView* services = OpenServices();
  ASSERT_NE(services, nullptr);
  CHTTPSettingsView* http = OpenHttp();
  ASSERT_NE(http, nullptr);
  for (QTableWidget* list :
       {static_cast<QTableWidget*>(services->List()), static_cast<QTableWidget*>(http->List())}) {
    ClickTab(sheet_->Tabs(), list == http->List() ? 3 : 2);
    QApplication::processEvents();
    EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0);
    for (int c = 0; c < list->columnCount(); ++c) {
      const std::string title = list->horizontalHeaderItem(c)->text().toStdString();
      EXPECT_GE(list->columnWidth(c), list->horizontalHeader()->sectionSizeHint(c)) << title;
      EXPECT_GE(list->columnViewportPosition(c), 0) << title;
      EXPECT_LE(list->columnViewportPosition(c) + list->columnWidth(c), list->viewport()->width())
          << title;
    }
  }
}

TEST_F(ServerViews, ListsShareTheirWidthByWeightAndKeepEveryTitle) {
  CServicesView* services = OpenServices();
  ASSERT_NE(services, nullptr);
  CHTTPSettingsView* http = OpenHttp();
  ASSERT_NE(http, nullptr);
  struct Case {
    QTableWidget* list;
    std::vector<std::string> titles;
    std::vector<double> weights;
  } cases[] = {
      {services->List(),
       {"URI", "Service", "Port", "WSDL file URL", "Body Handler", "Header Handlers", "Roles",
        "Next Hop", "Node URI", "Enabled"},
       {4, 3, 3, 5, 3, 3, 3, 3, 3, 1.5}},
      {http->List(), {"Extension", "MIME Type"}, {1, 2}},
  };
  for (int width : {CVantorPropSheet::kOpeningSize.width(), 1300, 560}) {
    sheet_->resize(width, 500);
    for (int tab : {2, 3}) {
      ClickTab(sheet_->Tabs(), tab);
      QApplication::processEvents();
    }
    for (const Case& c : cases) {
      EXPECT_EQ(Headers(c.list), c.titles);
      const int viewport = c.list->viewport()->width();
      int total = 0;
      int titles = 0;
      std::vector<double> per_weight;  // of the columns wider than their title
      for (size_t i = 0; i < c.weights.size(); ++i) {
        const int w = c.list->columnWidth(int(i));
        const int title = c.list->horizontalHeader()->sectionSizeHint(int(i));
        EXPECT_GE(w, title) << c.titles[i] << " at " << width;
        total += w;
        titles += title;
        if (w > title) per_weight.push_back(w / c.weights[i]);
      }
      if (titles <= viewport) {
        // All shown, the width used but for what whole pixels cut.
        EXPECT_LE(total, viewport) << width;
        EXPECT_GT(total, viewport - int(c.weights.size())) << width;
      } else {
        EXPECT_EQ(total, titles) << width;
        EXPECT_GT(c.list->horizontalScrollBar()->maximum(), 0) << width;
      }
      for (double r : per_weight) {
        EXPECT_NEAR(r, per_weight.front(), 1.0) << c.titles[0] << " at " << width;
      }
      EXPECT_EQ(c.list->selectionBehavior(), QAbstractItemView::SelectRows);
      EXPECT_EQ(c.list->selectionMode(), QAbstractItemView::SingleSelection);
      EXPECT_EQ(c.list->editTriggers(), QAbstractItemView::NoEditTriggers);
      EXPECT_FALSE(c.list->verticalHeader()->isVisible());
      EXPECT_FALSE(c.list->wordWrap());
    }
  }
}

// Alt+A is the pages' "&Add...", also while Apply is enabled; Apply has
// a key of its own.
TEST_F(ServerViews, AltAAddsAndAltPApplies) {
  sheet_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(sheet_.get()));
  struct Case {
    std::function<QPushButton*()> open_and_delete;
    testing::UiEvent::Kind add;
    std::u16string write;
  } cases[] = {
      {[this] { return OpenServices()->DeleteButton(); }, testing::UiEvent::Kind::AddService,
       u"SetServiceInfo"},
      {[this] { return OpenHttp()->DeleteButton(); }, testing::UiEvent::Kind::AddMime,
       u"SetHTTPSettings"},
  };
  const auto press = [this](Qt::Key key) {
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus != nullptr ? focus : sheet_.get(), key, Qt::AltModifier);
  };
  for (const Case& c : cases) {
    QPushButton* del = c.open_and_delete();
    ui_.yes_no_answers = {true};
    Click(del);
    ASSERT_TRUE(sheet_->ApplyButton()->isEnabled());
    ui_.events.clear();
    channel_.calls.clear();

    press(Qt::Key_A);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ui_.Count(c.add) == 1; }, 2000));
    EXPECT_TRUE(channel_.calls.empty());
    EXPECT_TRUE(sheet_->ApplyButton()->isEnabled());

    channel_.answers.push_back(AuthenticatedAnswer());
    press(Qt::Key_P);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !channel_.calls.empty(); }, 2000));
    ASSERT_EQ(channel_.calls.size(), 1u);
    EXPECT_EQ(channel_.calls.back().method, c.write);
    EXPECT_FALSE(sheet_->ApplyButton()->isEnabled());
    EXPECT_EQ(ui_.Count(c.add), 1u);
  }
}

TEST_F(ServerViews, ServicesAreShownWithTheFirstRowSelected) {
  CServicesView* view = OpenServices();
  ASSERT_NE(view, nullptr);
  QTableWidget* list = view->List();
  ASSERT_EQ(list->rowCount(), 2);
  for (int c = 0; c < int(kServiceColumnCount); ++c) {
    EXPECT_EQ(list->item(1, c)->text().toStdString(), kRows[1][size_t(c)]);
    EXPECT_TRUE(list->item(1, c)->textAlignment() & Qt::AlignLeft);
  }
  ASSERT_EQ(list->selectedItems().size(), int(kServiceColumnCount));
  EXPECT_EQ(list->selectedItems().front()->row(), 0);
}

TEST_F(ServerViews, AServiceTypedIntoTheDialogIsAdded) {
  CServicesView* view = OpenServices();
  ASSERT_NE(view, nullptr);
  ui_.drive_add_service = [](CAddServiceDlg& dialog) {
    QTest::keyClicks(dialog.UriEdit(), "/added");
    QTest::keyClicks(dialog.WsdlUrlEdit(), "file:///srv/wsdl/added.wsdl");
    QTest::keyClicks(dialog.ServiceNameEdit(), "AddedSvc");
    QTest::keyClicks(dialog.PortNameEdit(), "AddedPort");
    QTest::keyClicks(dialog.ProgIdEdit(), "added.svc");
    QTest::keyClicks(dialog.HeaderProgIdsEdit(), "h.one  h.two");
    QTest::keyClicks(dialog.RolesEdit(), "urn:role");
    ClickCheck(dialog.EnabledCheck());
    Click(dialog.Buttons()->button(QDialogButtonBox::Ok));
  };
  EXPECT_FALSE(sheet_->ApplyButton()->isEnabled());
  Click(view->AddButton());
  const ServiceRow expected = {
      "/added",    "AddedSvc",     "AddedPort", "file:///srv/wsdl/added.wsdl",
      "added.svc", "h.one  h.two", "urn:role",  "",
      "",          "Yes"};
  auto* page = static_cast<CServicesPage*>(sheet_->Controller().Page(2));
  ASSERT_NE(page, nullptr);
  ASSERT_EQ(page->Rows().size(), 3u);
  EXPECT_EQ(page->Rows()[2], expected);
  ASSERT_EQ(view->List()->rowCount(), 3);
  EXPECT_EQ(view->List()->item(2, 0)->text(), "/added");
  EXPECT_TRUE(sheet_->ApplyButton()->isEnabled());

  channel_.answers.push_back(AuthenticatedAnswer());
  Click(sheet_->ApplyButton());
  ASSERT_FALSE(channel_.calls.empty());
  EXPECT_EQ(channel_.calls.back().method, u"SetServiceInfo");
  std::vector<ServiceRow> sent;
  ASSERT_TRUE(ReadSvcInfo(channel_.calls.back().values[0], &sent));
  ASSERT_EQ(sent.size(), 3u);
  ServiceRow sent_expected = expected;
  sent_expected[kColHeaderHandlers] = "h.one h.two";
  EXPECT_EQ(sent[2], sent_expected);
  EXPECT_FALSE(sheet_->ApplyButton()->isEnabled());
}

TEST_F(ServerViews, ClickedRowsAreEditedAndDeletedAndNothingWithoutSelection) {
  CServicesView* view = OpenServices();
  ASSERT_NE(view, nullptr);
  ClickRow(view->List(), 1);
  ui_.service_answers.push_back(std::nullopt);
  Click(view->EditButton());
  ASSERT_EQ(ui_.shown_services.size(), 1u);
  EXPECT_EQ(ui_.shown_services[0].uri, "/route/*");

  ui_.yes_no_answers = {true};
  Click(view->DeleteButton());
  EXPECT_EQ(view->List()->rowCount(), 1);
  EXPECT_TRUE(view->List()->selectedItems().isEmpty());
  ui_.events.clear();
  Click(view->EditButton());
  Click(view->DeleteButton());
  EXPECT_TRUE(ui_.events.empty());
  EXPECT_EQ(view->List()->rowCount(), 1);

  CHTTPSettingsView* http = OpenHttp();
  ASSERT_NE(http, nullptr);
  http->List()->clearSelection();
  ui_.events.clear();
  Click(http->EditButton());
  Click(http->DeleteButton());
  EXPECT_TRUE(ui_.events.empty());
  EXPECT_EQ(http->List()->rowCount(), 3);
}

TEST_F(ServerViews, TypingInTheDocumentRootAloneIsApplied) {
  CHTTPSettingsView* view = OpenHttp();
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->DocRootEdit()->text(), "/srv/www/");
  EXPECT_EQ(view->List()->rowCount(), 3);
  EXPECT_FALSE(sheet_->ApplyButton()->isEnabled());
  QTest::keyClicks(view->DocRootEdit(), "site/");
  EXPECT_TRUE(sheet_->ApplyButton()->isEnabled());
  channel_.answers.push_back(AuthenticatedAnswer());
  Click(sheet_->ApplyButton());
  const testing::FakeCall& call = channel_.calls.back();
  EXPECT_EQ(call.method, u"SetHTTPSettings");
  ASSERT_EQ(call.values.size(), 3u);
  EXPECT_EQ(BstrView(call.values[0].bstrVal), u"/srv/www/site/");
  EXPECT_EQ(BstrView(call.values[1].bstrVal), u"default.htm");
  std::vector<MimeRow> mime;
  ASSERT_TRUE(ReadMimeTypes(call.values[2], &mime));
  EXPECT_EQ(mime.size(), 3u);
}

TEST_F(ServerViews, LoggingAndServerSettingsShowTheirValues) {
  CLogSettingsView* logs = OpenLogging();
  ASSERT_NE(logs, nullptr);
  EXPECT_EQ(logs->PathEdits()[kServerLog]->text(), "/srv/log/server.log");
  EXPECT_TRUE(logs->Checks()[kServerLog]->isChecked());
  EXPECT_FALSE(logs->Checks()[kTraceLog]->isChecked());
  ClickCheck(logs->Checks()[kTraceLog]);
  EXPECT_TRUE(logs->Checks()[kTraceLog]->isChecked());
  ClickCheck(logs->Checks()[kTraceLog]);
  EXPECT_FALSE(logs->Checks()[kTraceLog]->isChecked());
  EXPECT_TRUE(sheet_->ApplyButton()->isEnabled());

  CSvrParamsView* params = OpenParams();
  ASSERT_NE(params, nullptr);
  std::vector<std::string> shown;
  for (QLineEdit* e : params->Edits()) {
    EXPECT_TRUE(e->isReadOnly());
    shown.push_back(e->text().toStdString());
  }
  EXPECT_EQ(shown, (std::vector<std::string>{"8080", "8", "16", "32", "64"}));
  std::vector<std::string> labels;
  for (QLabel* l : params->findChildren<QLabel*>()) labels.push_back(l->text().toStdString());
  for (const char* label :
       {texts::kListenPortLabel, texts::kWorkThreadsLabel, texts::kMaxClientsLabel,
        texts::kClientTimeoutLabel, texts::kWatchdogLabel}) {
    EXPECT_NE(std::find(labels.begin(), labels.end(), label), labels.end()) << label;
  }
  EXPECT_EQ(std::count(labels.begin(), labels.end(), texts::kSecondsUnit), 2);
}

TEST_F(ServerViews, DialogsCarryTheirCaptionsAndLabels) {
  CAddServiceDlg add;
  CEditServiceDlg edit;
  EXPECT_EQ(add.windowTitle(), "Add New SOAP Service");
  EXPECT_EQ(edit.windowTitle(), "Edit SOAP Service");
  EXPECT_EQ(add.UriLabel()->text(), "SOAP Service &URI:");
  EXPECT_EQ(edit.UriLabel()->text(), "SOAP Service URI:");
  EXPECT_FALSE(add.UriEdit()->isReadOnly());
  EXPECT_TRUE(edit.UriEdit()->isReadOnly());
  std::vector<std::string> groups;
  for (QGroupBox* g : add.findChildren<QGroupBox*>()) groups.push_back(g->title().toStdString());
  EXPECT_EQ(groups, (std::vector<std::string>{"WSDL Description Info", "COM Invocation Info",
                                              "Intermediary Properties"}));
  std::vector<std::string> labels;
  for (QLabel* l : add.findChildren<QLabel*>()) labels.push_back(l->text().toStdString());
  for (const char* label :
       {"WSDL &File URL:", "WSDL &Service Name:", "WSDL &Port Name:", "SOAP Service Prog&ID:",
        "&Header Proc ProgIDs:", "&Roles:", "&Next Hop URL:", "No&de URI:"}) {
    EXPECT_NE(std::find(labels.begin(), labels.end(), label), labels.end()) << label;
  }
  EXPECT_EQ(add.EnabledCheck()->text(), "Service &Enabled");

  ServiceFields row;
  row.uri = "/kept";
  row.enabled = true;
  edit.Load(row);
  EXPECT_TRUE(edit.EnabledCheck()->isChecked());

  CEditMimeTypeDlg edit_mime;
  EXPECT_EQ(edit_mime.windowTitle(), "Edit MIME Type Mapping");
  EXPECT_EQ(edit_mime.ExtensionLabel()->text(), "Filename extension:");
  EXPECT_TRUE(edit_mime.ExtensionEdit()->isReadOnly());
  EXPECT_EQ(edit_mime.Note()->text().toStdString(), texts::kEditMimeNote);
}

TEST_F(ServerViews, AddMimeOkUpperCasesAndShowsTheExtension) {
  CAddMimeTypeDlg dialog;
  EXPECT_EQ(dialog.windowTitle(), "Add New MIME Type Mapping");
  EXPECT_EQ(dialog.ExtensionLabel()->text(), "Filename &extension:");
  EXPECT_TRUE(dialog.Note()->text().contains("filname extension with a '.'"));
  dialog.show();
  QTest::keyClicks(dialog.ExtensionEdit(), ".jpg");
  QTest::keyClicks(dialog.MimeTypeEdit(), "Image/JPEG");
  Click(dialog.Buttons()->button(QDialogButtonBox::Ok));
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.ExtensionEdit()->text(), ".JPG");
  EXPECT_EQ(dialog.Fields().mime_type, "Image/JPEG");
}

// The sheet as the program opens it, connected, each page in turn.
TEST_F(ServerViews, WritesScreenshotsOfTheFivePagesForAPerson) {
  ASSERT_NE(OpenParams(), nullptr);
  ASSERT_NE(OpenServices(), nullptr);
  ASSERT_NE(OpenHttp(), nullptr);
  ASSERT_NE(OpenLogging(), nullptr);
  ASSERT_EQ(sheet_->size(), CVantorPropSheet::kOpeningSize);
  std::filesystem::create_directories(QV_SCRATCH);
  const std::pair<int, const char*> shots[] = {{0, "/morvask-connect.png"},
                                               {1, "/morvask-server-settings.png"},
                                               {2, "/morvask-soap-services.png"},
                                               {3, "/morvask-http-settings.png"},
                                               {4, "/morvask-logging.png"}};
  for (const auto& [tab, name] : shots) {
    ClickTab(sheet_->Tabs(), tab);
    QApplication::processEvents();
    testing::WriteScreenshot(sheet_.get(), QString(QV_SCRATCH) + name);
  }
}

}  // namespace
}  // namespace controlpanel
