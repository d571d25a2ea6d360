// CSvcStatsPage: the Connect page's model. It binds the client to the
// server's management endpoint, logs on (a probe that draws the server's
// challenge, then the log-on dialog, then a real call), and shows and
// refreshes the server's statistics.
#pragma once

#include <cstdint>
#include <string>

#include "controlpanel/model/control_panel_app.h"
#include "controlpanel/model/page_model.h"
#include "controlpanel/model/ui_port.h"

namespace controlpanel {

struct ServerStats {
  int32_t num_connects = 0;
  int32_t num_bytes_sent = 0;
  int32_t num_http_errors = 0;
  int32_t num_net_errors = 0;
  int32_t num_int_errors = 0;
};

class CSvcStatsPage : public PageModel {
 public:
  static constexpr int kDefaultPort = 80;

  CSvcStatsPage(CControlPanelApp& app, UiPort& ui) : app_(app), ui_(ui) {}

  // Reads the settings file beside the program and shows host and port; an
  // unreadable file is reported and the construction values stay.
  void OnInitDialog();
  // Binds the client to the management endpoint. Fails without sending
  // anything for a server port, or with the proxy switch a proxy port,
  // outside 1..65535.
  bool BindToServer();
  // One GetServerStats call. The probe succeeds when the answer is a fault
  // asking for credentials and the user confirms the log-on dialog; the real
  // call stores the statistics.
  bool GetServerStats(bool probe);
  // The connection procedure; every failure is reported. Never retries.
  void OnConnect();
  // Reads the statistics again, with the retry on an expired nonce; a
  // failure shows nothing and keeps the values shown.
  void OnRefresh();
  // False, with the not-connected message, while not connected.
  bool OnKillActive();

  bool IsConnected() const { return app_.IsConnected(); }

  // Members the view exchanges with its controls.
  std::string host;
  int port = kDefaultPort;
  ServerStats stats;
  // Control state.
  bool connect_enabled = true;
  bool host_enabled = true;
  bool port_enabled = true;
  bool refresh_enabled = true;

 private:
  void ShowFailure(bool real_call);

  CControlPanelApp& app_;
  UiPort& ui_;
};

}  // namespace controlpanel
