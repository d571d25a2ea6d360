// The control panel's model against a running server: a real braskel whose
// management endpoint lists jorvane.jorvex2, and jorvane started on demand,
// each beside its own configuration; the Connect page and the server pages
// over the real client, with a recording UiPort answering the log-on and the
// page dialogs.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "controlpanel/model/http_settings_page.h"
#include "controlpanel/model/management_call.h"
#include "controlpanel/model/server_page.h"
#include "controlpanel/model/services_page.h"
#include "controlpanel/model/settings_pages.h"
#include "controlpanel/model/svc_stats_page.h"
#include "controlpanel/model/testing/recording_ui_port.h"
#include "controlpanel/model/texts.h"
#include "interfaces/jorvex.h"
#include "platform/com/activation.h"
#include "plugins/digestauth/protocol.h"
#include "server/braskel/testing/braskel_instances.h"
#include "server/http/config.h"
#include "server/http/testing/loopback_client.h"
#include "server/http/testing/test_files.h"

namespace controlpanel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using server_testing::ReadFile;
using server_testing::WriteFile;
using testing::LogOnAnswer;
using testing::UiEvent;

constexpr char kRealm[] = "Mgmt Realm";
constexpr char kUser[] = "admin";
constexpr char kPassword[] = "s3cret";

// A page reading the server's parameters and writing nothing but a call that
// the server also answers: the shared page behaviour over the real client.
class ParamsPage : public ServerPage {
 public:
  using ServerPage::ServerPage;
  int32_t work_threads = 0;

 protected:
  bool Read() override {
    ManagementCall call(app_, ui_, u"GetServerParams");
    for (const char16_t* name :
         {u"ListenPort", u"NumWorkThreads", u"NumClientConn", u"ClientTimeout", u"WatchdogTimer"}) {
      call.Param(name, Variant::FromI4(0));
    }
    if (!call.Run()) return false;
    work_threads = call.Int(u"NumWorkThreads");
    return true;
  }
  bool Write() override {
    ManagementCall call(app_, ui_, u"GetServerStats");
    call.Param(u"NumConnects", Variant::FromI4(0));
    return call.Run();
  }
  std::string ReadFailedMessage() const override { return texts::kServerSettingsReadFailed; }
  std::string WriteFailedMessage() const override { return texts::kLoggingWriteFailed; }
};

class ControlPanelE2e : public server_testing::BraskelInstancesTest {
 protected:
  ControlPanelE2e()
      : BraskelInstancesTest(
            QV_REGCOMP, {QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT, QV_SOAPSTRUCT_COMPONENT}) {}

  void SetUp() override {
    BraskelInstancesTest::SetUp();
    if (HasFatalFailure()) return;
    // braskel starts jorvane on demand; jorvane reads auth-config.xml beside itself.
    jorvane_ = dir_ / "jorvane";
    fs::copy_file(JORVANE_PATH, jorvane_);
    WriteFile(dir_ / "auth-config.xml",
              std::string("<authConfig><defaultRealm>Default</defaultRealm><soapServices>"
                          "<service name='QVSOAPSvrMgr' realm='") +
                  kRealm + "'/></soapServices><authRealms><realm name='" + kRealm +
                  "'><users><user userId='" + kUser + "' password='" + kPassword +
                  "'/></users></realm></authRealms></authConfig>");
    ASSERT_EQ(Wait(Spawn(jorvane_, {"-RegServer"}, std::nullopt), 60s), 0);
    server_ =
        &Start("server", "<endpoint><requestURI>/QVSOAPSvrCP</requestURI><wsdlDocURL>file://" +
                             std::string(QV_MANAGEMENT_WSDL) +
                             "</wsdlDocURL><wsdlService>QVSOAPSvrMgr</wsdlService>"
                             "<wsdlPort>QVSOAPSvrMgrPort</wsdlPort>"
                             "<bodyProcessingProgId>braskel.braskelmgr2</bodyProcessingProgId>"
                             "<headerProcessingProgIds><progId>jorvane.jorvex2</progId>"
                             "</headerProcessingProgIds><enabled>true</enabled></endpoint>");
    port_ = server_->port;
    ASSERT_NE(port_, 0);

    // The control panel's own folder: its WSDL and the shipped settings.
    panel_dir_ = dir_ / "panel";
    fs::create_directories(panel_dir_);
    fs::copy_file(QV_MANAGEMENT_WSDL, panel_dir_ / "QVSOAPSvrCP.wsdl");
    fs::copy_file(QV_DEFAULT_CP_CONFIG, panel_dir_ / "cp-config.xml");
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    entered_ = true;
    app_ = std::make_unique<CControlPanelApp>(10000);
    app_->SetProgramDirectory(panel_dir_.string());
    page_ = std::make_unique<CSvcStatsPage>(*app_, ui_);
    page_->OnInitDialog();
    ASSERT_TRUE(ui_.events.empty());
  }

  void TearDown() override {
    page_.reset();
    if (app_) app_->Client().ReleaseObjects();
    app_.reset();
    if (entered_) CoUninitialize();
    if (server_ != nullptr) {
      if (server_->pid > 0) Stop(*server_);
      // The on-demand jorvane serves in braskel's runtime folder and ends
      // once braskel's references are gone; the folders go only after that.
      const std::string own = getenv("QUORVEL_RUNTIME_DIR");
      setenv("QUORVEL_RUNTIME_DIR", (server_->dir / "run").c_str(), 1);
      EXPECT_TRUE(WaitUntilClassIsFree(CLSID_jorvex2, 30s));
      setenv("QUORVEL_RUNTIME_DIR", own.c_str(), 1);
    }
    if (!jorvane_.empty()) {
      EXPECT_EQ(Wait(Spawn(jorvane_, {"-UnregServer"}, std::nullopt), 60s), 0);
    }
    BraskelInstancesTest::TearDown();
  }

  // Connect typed on the page, log-on answered with `user` and `password`.
  void Connect(const std::string& user, const std::string& password) {
    ui_.logon_answers.push_back(LogOnAnswer{user, password});
    page_->host = "127.0.0.1";
    page_->port = port_;
    page_->OnConnect();
  }

  // One plain GET from elsewhere, counted by the server as a connection.
  void OtherTraffic() const {
    server_testing::LoopbackClient c(port_);
    ASSERT_TRUE(c.Connected());
    c.Send("GET /none.htm HTTP/1.0\r\n\r\n");
    c.ReadAll(10s);
  }

  fs::path jorvane_;
  fs::path panel_dir_;
  Instance* server_ = nullptr;
  uint16_t port_ = 0;
  bool entered_ = false;
  testing::RecordingUiPort ui_;
  std::unique_ptr<CControlPanelApp> app_;
  std::unique_ptr<CSvcStatsPage> page_;
};

TEST_F(ControlPanelE2e, ConnectsShowsStatisticsAndRefreshSeesOtherTraffic) {
  Connect(kUser, kPassword);
  ASSERT_TRUE(ui_.Messages().empty()) << ui_.Messages()[0];
  ASSERT_TRUE(page_->IsConnected());
  ASSERT_EQ(ui_.Count(UiEvent::Kind::LogOn), 1u);
  EXPECT_EQ(ui_.events[0].text, kRealm);
  // The probe and the call itself at least.
  const int32_t connects = page_->stats.num_connects;
  EXPECT_GE(connects, 2);
  EXPECT_GT(page_->stats.num_bytes_sent, 0);

  const std::string saved = ReadFile(panel_dir_ / "cp-config.xml");
  EXPECT_NE(saved.find("<hostname>127.0.0.1</hostname>"), std::string::npos) << saved;
  EXPECT_NE(saved.find("<portNbr>" + std::to_string(port_) + "</portNbr>"), std::string::npos)
      << saved;

  for (int i = 0; i < 3; ++i) OtherTraffic();
  page_->OnRefresh();
  EXPECT_TRUE(ui_.Messages().empty());
  EXPECT_GE(page_->stats.num_connects, connects + 4);  // three GETs and the refresh
}

TEST_F(ControlPanelE2e, WrongCredentialsGiveTheirMessages) {
  const struct {
    const char* user;
    const char* password;
    const char* message;
  } cases[] = {
      {kUser, "wrong", texts::kInvalidUserIdPassword},
      {"nobody", kPassword, texts::kInvalidUserId},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user);
    ui_.events.clear();
    Connect(c.user, c.password);
    EXPECT_EQ(ui_.Messages(), std::vector<std::string>{c.message});
    EXPECT_FALSE(page_->IsConnected());
  }
  // Connect again after the failures: the whole procedure, and it succeeds.
  ui_.events.clear();
  Connect(kUser, kPassword);
  EXPECT_TRUE(ui_.Messages().empty());
  EXPECT_TRUE(page_->IsConnected());
  EXPECT_EQ(ui_.Count(UiEvent::Kind::LogOn), 1u);
}

TEST_F(ControlPanelE2e, AReusedNonceMakesRefreshRepeatOnce) {
  Connect(kUser, kPassword);
  ASSERT_TRUE(page_->IsConnected());
  const std::string used = app_->Digest().server_nonce;
  page_->OnRefresh();  // uses that nonce up
  ASSERT_NE(app_->Digest().server_nonce, used);
  app_->SetServerNonceForTest(used);
  app_->GetSettings().view_buffers = true;
  ui_.events.clear();
  const int32_t before = page_->stats.num_connects;
  page_->OnRefresh();
  EXPECT_TRUE(ui_.Messages().empty());
  ASSERT_EQ(ui_.Count(UiEvent::Kind::Buffer), 4u) << "two calls, two boxes each";
  EXPECT_NE(ui_.events[1].text.find(digestauth::kStatusExpiredNonce), std::string::npos)
      << ui_.events[1].text;
  EXPECT_NE(ui_.events[3].text.find(digestauth::kStatusAuthenticated), std::string::npos)
      << ui_.events[3].text;
  EXPECT_GT(page_->stats.num_connects, before);
}

TEST_F(ControlPanelE2e, AStoppedServerIsReportedByThePages) {
  Connect(kUser, kPassword);
  ASSERT_TRUE(page_->IsConnected());
  ParamsPage params(*app_, ui_);
  params.OnInitDialog();
  EXPECT_TRUE(params.ReadSucceeded());
  EXPECT_EQ(params.work_threads, 3);
  EXPECT_TRUE(ui_.Messages().empty());

  Stop(*server_);
  const ServerStats shown = page_->stats;
  page_->OnRefresh();  // silent, values kept
  EXPECT_TRUE(ui_.Messages().empty());
  EXPECT_EQ(page_->stats.num_connects, shown.num_connects);

  ParamsPage again(*app_, ui_);
  again.OnInitDialog();
  EXPECT_FALSE(again.ReadSucceeded());
  params.SetModified();
  EXPECT_FALSE(params.OnOK());
  EXPECT_EQ(ui_.Messages(), (std::vector<std::string>{texts::kServerSettingsReadFailed,
                                                      texts::kLoggingWriteFailed}));
  EXPECT_TRUE(params.IsModified());
}

// A service row as the add dialog would return it.
ServiceFields NewService(const std::string& uri, const std::string& roles) {
  ServiceFields f;
  f.uri = uri;
  f.wsdl_url = std::string("file://") + QV_MANAGEMENT_WSDL;
  f.service_name = "QVSOAPSvrMgr";
  f.port_name = "QVSOAPSvrMgrPort";
  f.prog_id = "braskel.braskelmgr2";
  f.roles = roles;
  f.enabled = true;
  return f;
}

std::vector<std::string> Uris(const CServicesPage& page) {
  std::vector<std::string> out;
  for (const ServiceRow& row : page.Rows()) out.push_back(row[kColUri]);
  return out;
}

TEST_F(ControlPanelE2e, EndpointsAreAddedEditedAndKeptOnTheServer) {
  Connect(kUser, kPassword);
  ASSERT_TRUE(page_->IsConnected());
  const fs::path config = server_->dir / "brevla-config.xml";

  CServicesPage first(*app_, ui_);
  first.OnInitDialog();
  ASSERT_TRUE(first.ReadSucceeded()) << ui_.Messages()[0];
  ASSERT_EQ(Uris(first), std::vector<std::string>{"/QVSOAPSvrCP"});
  EXPECT_EQ(first.Rows()[0][kColHeaderHandlers], "jorvane.jorvex2");
  EXPECT_EQ(first.Rows()[0][kColEnabled], "Yes");
  ui_.service_answers.push_back(NewService("/added", "urn:a  urn:b"));
  ui_.service_answers.push_back(NewService("/other/*", ""));
  first.OnAddService();
  first.OnAddService();
  ASSERT_TRUE(first.OnOK());
  ASSERT_TRUE(ui_.Messages().empty()) << ui_.Messages()[0];

  CServicesPage second(*app_, ui_);
  second.OnInitDialog();
  ASSERT_EQ(Uris(second), (std::vector<std::string>{"/QVSOAPSvrCP", "/added", "/other/*"}));
  EXPECT_EQ(second.Rows()[1][kColRoles], "urn:a urn:b");
  second.Select(2);
  ServiceFields edited = NewService("/ignored", "urn:edited");
  edited.enabled = false;
  ui_.service_answers.push_back(edited);
  second.OnEditService();
  // Deleting a row sends a list without it; the server keeps the endpoint.
  second.Select(1);
  ui_.yes_no_answers.push_back(true);
  second.OnDeleteService();
  ASSERT_TRUE(second.OnOK());

  CServicesPage third(*app_, ui_);
  third.OnInitDialog();
  ASSERT_EQ(Uris(third), (std::vector<std::string>{"/QVSOAPSvrCP", "/added", "/other/*"}));
  EXPECT_EQ(third.Rows()[2][kColRoles], "urn:edited");
  EXPECT_EQ(third.Rows()[2][kColEnabled], "No");
  const std::string written = ReadFile(config);
  EXPECT_NE(written.find("<requestURI>/added</requestURI>"), std::string::npos) << written;
  EXPECT_NE(written.find("urn:edited"), std::string::npos) << written;

  // A URI the server cannot serve: the whole list is refused, nothing changes.
  ui_.service_answers.push_back(NewService("noslash", ""));
  third.OnAddService();
  EXPECT_FALSE(third.OnOK());
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>{texts::kServicesWriteFailed});
  EXPECT_TRUE(third.IsModified());
  EXPECT_EQ(ReadFile(config), written);
  CServicesPage fourth(*app_, ui_);
  fourth.OnInitDialog();
  EXPECT_EQ(Uris(fourth), (std::vector<std::string>{"/QVSOAPSvrCP", "/added", "/other/*"}));
}

TEST_F(ControlPanelE2e, MimeMapLogsAndParametersRoundTrip) {
  Connect(kUser, kPassword);
  ASSERT_TRUE(page_->IsConnected());

  CSvrParamsPage params(*app_, ui_);
  params.OnInitDialog();
  ASSERT_TRUE(params.ReadSucceeded());
  const server::ServerSettings defaults;
  EXPECT_EQ(params.listen_port, 0);  // the configuration's, not the port bound
  EXPECT_EQ(params.num_work_threads, 3);
  EXPECT_EQ(params.num_client_conn, defaults.maxClients);
  EXPECT_EQ(params.client_timeout, defaults.clientTimeout);
  EXPECT_EQ(params.watchdog_timer, int32_t(defaults.watchdogInterval));

  CHTTPSettingsPage http(*app_, ui_);
  http.OnInitDialog();
  ASSERT_TRUE(http.ReadSucceeded());
  EXPECT_EQ(fs::path(http.doc_root), server_->dir / "www");
  while (!http.Rows().empty()) {
    http.Select(0);
    ui_.yes_no_answers.push_back(true);
    http.OnDeleteMimeType();
  }
  ASSERT_TRUE(http.OnOK());
  // xsd:string[0,2], whichever prefix the writer binds to XML Schema.
  EXPECT_NE(app_->Channel().LastRequest().find(":string[0,2]\""), std::string::npos)
      << app_->Channel().LastRequest();
  CHTTPSettingsPage empty(*app_, ui_);
  empty.OnInitDialog();
  EXPECT_TRUE(empty.Rows().empty());

  for (const auto& [ext, type] : {std::pair{".qvt", "text/x-quorvel"},
                                  std::pair{".HTM", "text/html"}, std::pair{".Gif", "image/gif"}}) {
    ui_.mime_answers.push_back(MimeFields{ext, type});
    empty.OnAddMimeType();
  }
  ASSERT_TRUE(empty.OnOK());
  const std::string request = app_->Channel().LastRequest();
  EXPECT_NE(request.find(":string[3,2]\""), std::string::npos) << request;
  EXPECT_NE(request.find("=\"http://www.w3.org/2001/XMLSchema\""), std::string::npos) << request;
  const size_t ext = request.find(">.QVT<");
  const size_t type = request.find(">text/x-quorvel<");
  const size_t next = request.find(">.HTM<");
  EXPECT_TRUE(ext < type && type < next && next != std::string::npos) << request;
  CHTTPSettingsPage three(*app_, ui_);
  three.OnInitDialog();
  // The server keeps its map ordered by extension.
  EXPECT_EQ(three.Rows(),
            (std::vector<MimeRow>{
                {".GIF", "image/gif"}, {".HTM", "text/html"}, {".QVT", "text/x-quorvel"}}));
  WriteFile(server_->dir / "www" / "page.qvt", "quorvel");
  const std::string reply = Exchange(port_, "GET /page.qvt HTTP/1.0\r\n\r\n");
  EXPECT_NE(reply.find("Content-Type: text/x-quorvel"), std::string::npos) << reply;

  CLogSettingsPage logs(*app_, ui_);
  logs.OnInitDialog();
  ASSERT_TRUE(logs.ReadSucceeded());
  const fs::path log_dir = server_->dir / "logs";
  fs::create_directories(log_dir);
  logs.paths = {(log_dir / "server.log").string(), (log_dir / "agent.log").string(),
                (log_dir / "trace.log").string()};
  logs.enabled = {true, false, true};
  logs.SetModified();
  ASSERT_TRUE(logs.OnOK());
  CLogSettingsPage back(*app_, ui_);
  back.OnInitDialog();
  EXPECT_EQ(back.paths, logs.paths);
  EXPECT_EQ(back.enabled, logs.enabled);
  EXPECT_TRUE(ui_.Messages().empty()) << ui_.Messages()[0];
}

}  // namespace
}  // namespace controlpanel
