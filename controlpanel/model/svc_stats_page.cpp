#include "controlpanel/model/svc_stats_page.h"

#include "controlpanel/model/management_call.h"
#include "controlpanel/model/texts.h"
#include "plugins/digestauth/protocol.h"

namespace controlpanel {
namespace {

constexpr char16_t kNumConnects[] = u"NumConnects";
constexpr char16_t kNumBytesSent[] = u"NumBytesSent";
constexpr char16_t kNumHttpErrors[] = u"NumHTTPErrors";
constexpr char16_t kNumNetErrors[] = u"NumNetErrors";
constexpr char16_t kNumIntErrors[] = u"NumIntErrors";

bool ValidPort(int port) { return port >= 1 && port <= 65535; }

}  // namespace

void CSvcStatsPage::OnInitDialog() {
  app_.SetConnected(false);
  if (app_.LoadConfig(CControlPanelApp::ConfigPathIn(app_.ProgramDirectory()))) {
    host = app_.GetSettings().hostname;
    port = app_.GetSettings().port;
    refresh_enabled = false;
  } else {
    ui_.ShowMessage(texts::kConfigReadFailed);
  }
  UpdateData(false);
}

bool CSvcStatsPage::BindToServer() {
  const Settings& s = app_.GetSettings();
  if (!ValidPort(s.port) || (s.use_proxy && !ValidPort(s.proxy_port))) return false;
  ChannelBinding b;
  b.wsdl_url = "file://" + app_.ProgramDirectory() + "/" + texts::kWsdlFileName;
  b.service_name = s.wsdl_service_name;
  b.port_name = s.wsdl_port_name;
  b.user_agent = texts::kUserAgent;
  b.explicit_typing = false;
  b.use_proxy = s.use_proxy;
  b.proxy_host = s.proxy_host;
  b.proxy_port = s.proxy_port;
  b.host = s.hostname;
  b.port = s.port;
  b.path = s.service_uri;
  return app_.Channel().Bind(b);
}

bool CSvcStatsPage::GetServerStats(bool probe) {
  ManagementCall call(app_, ui_, u"GetServerStats");
  for (const char16_t* name :
       {kNumConnects, kNumBytesSent, kNumHttpErrors, kNumNetErrors, kNumIntErrors}) {
    call.Param(name, Variant::FromI4(0));
  }
  if (probe) {
    call.AsProbe().Run();
    DigestState& d = app_.Digest();
    if (!app_.Channel().IsFaultResponse() || d.status != digestauth::kStatusNoCredentials) {
      return false;
    }
    std::string user_id;
    std::string password;
    if (!ui_.LogOn(d.realm, &user_id, &password)) return false;
    d.user_id = std::move(user_id);
    d.password = std::move(password);
    return true;
  }
  if (!call.RequireAuthenticated().Run()) return false;
  stats.num_connects = call.Int(kNumConnects);
  stats.num_bytes_sent = call.Int(kNumBytesSent);
  stats.num_http_errors = call.Int(kNumHttpErrors);
  stats.num_net_errors = call.Int(kNumNetErrors);
  stats.num_int_errors = call.Int(kNumIntErrors);
  UpdateData(false);
  return true;
}

void CSvcStatsPage::ShowFailure(bool real_call) {
  const std::string& status = app_.Digest().status;
  if (status == digestauth::kStatusInvalidUser) {
    ui_.ShowMessage(texts::kInvalidUserId);
  } else if (status == digestauth::kStatusInvalidRealm) {
    ui_.ShowMessage(texts::kInvalidRealm);
  } else if (real_call && status == digestauth::kStatusInvalidResponse) {
    ui_.ShowMessage(texts::kInvalidUserIdPassword);
  } else {
    ui_.ShowMessage(texts::kUnexpectedAuthFailure);
  }
}

void CSvcStatsPage::OnConnect() {
  UpdateData(true);
  if (host.empty()) {
    ui_.ShowMessage(texts::kHostNameRequired);
    return;
  }
  app_.GetSettings().hostname = host;
  app_.GetSettings().port = port;
  // A status left by an earlier attempt must not name this attempt's failure.
  app_.Digest().status.clear();
  if (!BindToServer() || !GetServerStats(/*probe=*/true)) {
    ShowFailure(/*real_call=*/false);
    return;
  }
  if (!GetServerStats(/*probe=*/false)) {
    ShowFailure(/*real_call=*/true);
    return;
  }
  app_.SetConnected(true);
  connect_enabled = false;
  host_enabled = false;
  port_enabled = false;
  refresh_enabled = true;
  UpdateData(false);
  app_.SaveConfig();
}

void CSvcStatsPage::OnRefresh() {
  UpdateData(true);
  RunWithRetry(app_, [this] { return GetServerStats(/*probe=*/false); });
  UpdateData(false);
}

bool CSvcStatsPage::OnKillActive() {
  if (app_.IsConnected()) return true;
  ui_.ShowMessage(texts::kNotConnected);
  return false;
}

}  // namespace controlpanel
