// The control panel's model against a running server: a real braskel whose
// management endpoint lists jorvane.jorvex2, and jorvane started on demand,
// each beside its own configuration; the Connect page and a server page over
// the real client, with a recording UiPort answering the log-on.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "controlpanel/model/management_call.h"
#include "controlpanel/model/server_page.h"
#include "controlpanel/model/svc_stats_page.h"
#include "controlpanel/model/testing/recording_ui_port.h"
#include "controlpanel/model/texts.h"
#include "interfaces/jorvex.h"
#include "platform/com/activation.h"
#include "plugins/digestauth/protocol.h"
#include "server/braskel/testing/braskel_instances.h"
#include "server/testing/loopback_client.h"
#include "server/testing/test_files.h"

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
      : BraskelInstancesTest(QV_REGCOMP,
                             {QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT, QV_SOAPSTRUCT_COMPONENT}) {}

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
    server_ = &Start("server",
                     "<endpoint><requestURI>/QVSOAPSvrCP</requestURI><wsdlDocURL>file://" +
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

}  // namespace
}  // namespace controlpanel
