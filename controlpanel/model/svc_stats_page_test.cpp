#include "controlpanel/model/svc_stats_page.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/testing/message_testing.h"
#include "controlpanel/model/testing/page_fixture.h"
#include "controlpanel/model/texts.h"

namespace controlpanel {
namespace {

using testing::AuthenticatedAnswer;
using testing::ExpiredAnswer;
using testing::FakeAnswer;
using testing::NoCredentialsAnswer;
using testing::StatusFaultAnswer;
using testing::UiEvent;

[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(
    new client::testing::ComponentEnvironment({QV_SOAPSTRUCT_COMPONENT}));

std::vector<std::pair<std::u16string, Variant>> Stats(int32_t first) {
  std::vector<std::pair<std::u16string, Variant>> out;
  int32_t n = first;
  for (const char16_t* name :
       {u"NumConnects", u"NumBytesSent", u"NumHTTPErrors", u"NumNetErrors", u"NumIntErrors"}) {
    out.emplace_back(name, Variant::FromI4(n++));
  }
  return out;
}

class ConnectPage : public testing::PageFixture {
 protected:
  void SetUp() override {
    PageFixture::SetUp();
    page_.OnInitDialog();
  }
  void Connect(const std::string& host, int port) {
    page_.host = host;
    page_.port = port;
    page_.OnConnect();
  }
  void ConnectOk() {
    ScriptLogOn(Stats(10));
    Connect("typed.example", 9090);
    ASSERT_TRUE(page_.IsConnected());
    ui_.events.clear();
    channel_.calls.clear();
  }

  CSvcStatsPage page_{app_, ui_};
};

TEST_F(ConnectPage, ConnectionOutcomes) {
  const std::string invalid_response(digestauth::kStatusInvalidResponse);
  const std::string invalid_user(digestauth::kStatusInvalidUser);
  const std::string invalid_realm(digestauth::kStatusInvalidRealm);
  const struct Case {
    const char* name;
    std::string host;
    int port;
    std::function<void(testing::FakeManagementChannel&, testing::RecordingUiPort&, Settings&)> script;
    std::vector<std::string> messages;
    size_t bindings;
  } cases[] = {
      {"empty host", "", 8080, nullptr, {texts::kHostNameRequired}, 0},
      {"WSDL file missing", "h", 8080,
       [](auto& channel, auto&, auto&) { channel.bind_result = false; },
       {texts::kUnexpectedAuthFailure}, 1},
      {"port 0", "h", 0, nullptr, {texts::kUnexpectedAuthFailure}, 0},
      {"port 70000", "h", 70000, nullptr, {texts::kUnexpectedAuthFailure}, 0},
      {"proxy port 0 with the proxy switch", "h", 8080,
       [](auto&, auto&, Settings& s) {
         s.use_proxy = true;
         s.proxy_host = "px";
         s.proxy_port = 0;
       },
       {texts::kUnexpectedAuthFailure}, 0},
      {"server down", "h", 8080, nullptr, {texts::kUnexpectedAuthFailure}, 1},
      {"probe answered without fault", "h", 8080,
       [](auto& channel, auto&, auto&) { channel.answers.push_back(AuthenticatedAnswer()); },
       {texts::kUnexpectedAuthFailure}, 1},
      {"probe answered InvalidUser", "h", 8080,
       [&](auto& channel, auto&, auto&) { channel.answers.push_back(StatusFaultAnswer(invalid_user)); },
       {texts::kInvalidUserId}, 1},
      {"probe answered InvalidRealm", "h", 8080,
       [&](auto& channel, auto&, auto&) {
         channel.answers.push_back(StatusFaultAnswer(invalid_realm));
       },
       {texts::kInvalidRealm}, 1},
      {"log-on cancelled", "h", 8080,
       [](auto& channel, auto&, auto&) { channel.answers.push_back(NoCredentialsAnswer()); },
       {texts::kUnexpectedAuthFailure}, 1},
      {"wrong password", "h", 8080,
       [&](auto& channel, auto& ui, auto&) {
         channel.answers.push_back(NoCredentialsAnswer());
         channel.answers.push_back(StatusFaultAnswer(invalid_response));
         ui.logon_answers.push_back(testing::LogOnAnswer{"admin", "wrong"});
       },
       {texts::kInvalidUserIdPassword}, 1},
      {"unknown user", "h", 8080,
       [&](auto& channel, auto& ui, auto&) {
         channel.answers.push_back(NoCredentialsAnswer());
         channel.answers.push_back(StatusFaultAnswer(invalid_user));
         ui.logon_answers.push_back(testing::LogOnAnswer{"nobody", "x"});
       },
       {texts::kInvalidUserId}, 1},
      {"realm refused", "h", 8080,
       [&](auto& channel, auto& ui, auto&) {
         channel.answers.push_back(NoCredentialsAnswer());
         channel.answers.push_back(StatusFaultAnswer(invalid_realm));
         ui.logon_answers.push_back(testing::LogOnAnswer{"admin", "x"});
       },
       {texts::kInvalidRealm}, 1},
      {"Result VT_I4 1", "h", 8080,
       [](auto& channel, auto& ui, auto&) {
         channel.answers.push_back(NoCredentialsAnswer());
         FakeAnswer a = AuthenticatedAnswer(Stats(1));
         a.result = Variant::FromI4(1);
         channel.answers.push_back(std::move(a));
         ui.logon_answers.push_back(testing::LogOnAnswer{"admin", channel.password});
       },
       {texts::kUnexpectedAuthFailure}, 1},
      {"a statistic that does not convert", "h", 8080,
       [](auto& channel, auto& ui, auto&) {
         channel.answers.push_back(NoCredentialsAnswer());
         auto out = Stats(1);
         out[2].second = Variant::FromText(u"many");
         channel.answers.push_back(AuthenticatedAnswer(std::move(out)));
         ui.logon_answers.push_back(testing::LogOnAnswer{"admin", channel.password});
       },
       {texts::kUnexpectedAuthFailure}, 1},
      {"server proof missing", "h", 8080,
       [](auto& channel, auto& ui, auto&) {
         channel.answers.push_back(NoCredentialsAnswer());
         FakeAnswer a = AuthenticatedAnswer(Stats(1));
         a.challenge->sign = false;
         channel.answers.push_back(std::move(a));
         ui.logon_answers.push_back(testing::LogOnAnswer{"admin", channel.password});
       },
       {texts::kUnexpectedAuthFailure}, 1},
      {"fault without a challenge on the real call", "h", 8080,
       [](auto& channel, auto& ui, auto&) {
         channel.answers.push_back(NoCredentialsAnswer());
         FakeAnswer a = AuthenticatedAnswer(Stats(1));
         a.fault = true;
         a.challenge.reset();
         channel.answers.push_back(std::move(a));
         ui.logon_answers.push_back(testing::LogOnAnswer{"admin", channel.password});
       },
       {texts::kUnexpectedAuthFailure}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    channel_ = testing::FakeManagementChannel();
    ui_ = testing::RecordingUiPort();
    Settings& s = app_.GetSettings();
    s.use_proxy = false;
    s.proxy_port = 0;
    if (c.script) c.script(channel_, ui_, s);
    Connect(c.host, c.port);
    EXPECT_EQ(ui_.Messages(), c.messages);
    EXPECT_EQ(channel_.bindings.size(), c.bindings);
    EXPECT_FALSE(page_.IsConnected());
    EXPECT_TRUE(page_.connect_enabled);
    EXPECT_EQ(ReadSettings(), testing::kTestSettings);
    EXPECT_EQ(ui_.wait_depth, 0);
  }
}

TEST_F(ConnectPage, ConnectsAndShowsStatistics) {
  EXPECT_EQ(page_.host, "saved.example");
  EXPECT_EQ(page_.port, 8080);
  EXPECT_FALSE(page_.refresh_enabled);
  ScriptLogOn(Stats(10));
  channel_.answers[0] = NoCredentialsAnswer("Admins");
  Connect("typed.example", 9090);

  EXPECT_TRUE(ui_.Messages().empty());
  EXPECT_TRUE(page_.IsConnected());
  EXPECT_FALSE(page_.connect_enabled || page_.host_enabled || page_.port_enabled);
  EXPECT_TRUE(page_.refresh_enabled);
  EXPECT_EQ(page_.stats.num_connects, 10);
  EXPECT_EQ(page_.stats.num_bytes_sent, 11);
  EXPECT_EQ(page_.stats.num_http_errors, 12);
  EXPECT_EQ(page_.stats.num_net_errors, 13);
  EXPECT_EQ(page_.stats.num_int_errors, 14);

  ASSERT_EQ(channel_.bindings.size(), 1u);
  const ChannelBinding& b = channel_.bindings[0];
  EXPECT_EQ(b.wsdl_url, "file://" + dir_ + "/QVSOAPSvrCP.wsdl");
  EXPECT_EQ(b.service_name, "QVSOAPSvrMgr");
  EXPECT_EQ(b.port_name, "QVSOAPSvrMgrPort");
  EXPECT_EQ(b.user_agent, "Brevla Control Panel/3.2 (C++ SOAP client library)");
  EXPECT_EQ(b.host, "typed.example");
  EXPECT_EQ(b.port, 9090);
  EXPECT_EQ(b.path, "/QVSOAPSvrCP");

  // The probe rides the binding's message without credentials; the real
  // call a fresh message with them, under the realm the challenge named.
  ASSERT_EQ(channel_.calls.size(), 2u);
  EXPECT_EQ(channel_.calls[0].method, u"GetServerStats");
  EXPECT_EQ(channel_.calls[0].message_number, 1);
  EXPECT_FALSE(channel_.calls[0].client_auth);
  EXPECT_EQ(channel_.calls[1].message_number, 2);
  EXPECT_TRUE(channel_.calls[1].client_auth);
  EXPECT_EQ(channel_.calls[1].user_id, "admin");
  EXPECT_EQ(channel_.calls[1].realm, "Admins");
  EXPECT_EQ(channel_.calls[1].names,
            (std::vector<std::u16string>{u"NumConnects", u"NumBytesSent", u"NumHTTPErrors",
                                         u"NumNetErrors", u"NumIntErrors"}));
  for (const Variant& v : channel_.calls[1].values) {
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 0);
  }
  ASSERT_EQ(ui_.Count(UiEvent::Kind::LogOn), 1u);
  EXPECT_EQ(ui_.events[0].text, "Admins");
  EXPECT_EQ(ui_.wait_cursors, 2);
  EXPECT_EQ(ui_.wait_depth, 0);

  // The settings file now names what was used.
  const std::string saved = ReadSettings();
  EXPECT_NE(saved.find("<hostname>typed.example</hostname>"), std::string::npos) << saved;
  EXPECT_NE(saved.find("<portNbr>9090</portNbr>"), std::string::npos) << saved;
  EXPECT_TRUE(page_.OnKillActive());
}

TEST_F(ConnectPage, ViewBuffersShowsBothTextsAfterEveryInvocation) {
  app_.GetSettings().view_buffers = true;
  ScriptLogOn(Stats(1));
  Connect("h", 8080);
  ASSERT_TRUE(page_.IsConnected());
  const std::vector<UiEvent> expected = {
      {UiEvent::Kind::Buffer, texts::kRequestMessageCaption, "<request>GetServerStats</request>"},
      {UiEvent::Kind::Buffer, texts::kResponseMessageCaption, "<fault>NoCredentials</fault>"},
      {UiEvent::Kind::LogOn, texts::kLogonCaption, "Quorvel"},
      {UiEvent::Kind::Buffer, texts::kRequestMessageCaption, "<request>GetServerStats</request>"},
      {UiEvent::Kind::Buffer, texts::kResponseMessageCaption, "<response/>"},
  };
  EXPECT_EQ(ui_.events, expected);

  // A failed exchange still shows the two boxes, empty as nothing came back.
  ui_.events.clear();
  FakeAnswer down;
  down.invoke_ok = false;
  channel_.answers.push_back(std::move(down));
  page_.OnRefresh();
  ASSERT_EQ(ui_.events.size(), 2u);
  EXPECT_EQ(ui_.events[1].caption, texts::kResponseMessageCaption);
  EXPECT_EQ(ui_.events[1].text, "");
}

TEST_F(ConnectPage, ConnectAgainAfterAFailureRunsTheWholeProcedure) {
  channel_.answers.push_back(NoCredentialsAnswer());
  Connect("h", 8080);  // log-on cancelled
  ScriptLogOn(Stats(1));
  page_.OnConnect();
  EXPECT_TRUE(page_.IsConnected());
  EXPECT_EQ(channel_.bindings.size(), 2u);
  EXPECT_EQ(ui_.Count(UiEvent::Kind::LogOn), 2u);
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>{texts::kUnexpectedAuthFailure});
}

TEST_F(ConnectPage, RefreshRetriesOnceOnAnExpiredNonce) {
  const struct Case {
    const char* name;
    std::vector<FakeAnswer (*)()> answers;
    size_t calls;
    int32_t shown;  // NumConnects after the refresh
  } cases[] = {
      {"expired, then success", {ExpiredAnswer, [] { return AuthenticatedAnswer(Stats(50)); }}, 2,
       50},
      {"expired twice", {ExpiredAnswer, ExpiredAnswer, [] { return AuthenticatedAnswer(Stats(50)); }},
       2, 10},
      {"another failure", {[] { return StatusFaultAnswer("Server.Busy"); },
                           [] { return AuthenticatedAnswer(Stats(50)); }},
       1, 10},
      {"success", {[] { return AuthenticatedAnswer(Stats(70)); }}, 1, 70},
  };
  ConnectOk();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    page_.stats.num_connects = 10;
    channel_.answers.clear();
    channel_.calls.clear();
    for (auto make : c.answers) channel_.answers.push_back(make());
    page_.OnRefresh();
    EXPECT_EQ(channel_.calls.size(), c.calls);
    EXPECT_EQ(page_.stats.num_connects, c.shown);
    EXPECT_TRUE(ui_.Messages().empty());
  }
}

TEST_F(ConnectPage, RefreshBeforeConnectingSendsNothing) {
  page_.OnRefresh();
  EXPECT_TRUE(channel_.calls.empty());
  EXPECT_TRUE(ui_.events.empty());
}

TEST_F(ConnectPage, LeavingBeforeConnectingIsRefused) {
  EXPECT_FALSE(page_.OnKillActive());
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>{texts::kNotConnected});
}

TEST_F(ConnectPage, UnreadableSettingsKeepTheConstructionValues) {
  for (const char* bytes : {"", "<configuration><viewBuffers>yes</viewBuffers></configuration>"}) {
    SCOPED_TRACE(bytes);
    WriteSettings(bytes);
    ui_.events.clear();
    CSvcStatsPage page(app_, ui_);
    page.OnInitDialog();
    EXPECT_EQ(ui_.Messages(), std::vector<std::string>{texts::kConfigReadFailed});
    EXPECT_EQ(page.host, "");
    EXPECT_EQ(page.port, 80);
    EXPECT_TRUE(page.refresh_enabled);
    EXPECT_FALSE(page.IsConnected());
  }
}

TEST_F(ConnectPage, DataExchangeRunsAroundConnect) {
  std::vector<bool> exchanges;
  page_.SetDataExchange([&](bool save) {
    exchanges.push_back(save);
    if (save) page_.host = "from.control";
  });
  ScriptLogOn(Stats(3));
  page_.host.clear();
  page_.OnConnect();
  EXPECT_TRUE(page_.IsConnected());
  EXPECT_EQ(channel_.bindings.at(0).host, "from.control");
  ASSERT_FALSE(exchanges.empty());
  EXPECT_TRUE(exchanges.front());
  EXPECT_FALSE(exchanges.back());
}

}  // namespace
}  // namespace controlpanel
