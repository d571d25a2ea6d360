// CControlPanelApp: the control panel's application state, made once in main
// and passed by reference: its settings (kept in cp-config.xml beside the
// program), the SOAP client to the server it manages and whether it is
// connected.
#pragma once

#include <cstdint>
#include <string>

#include "client/soap_client.h"

namespace controlpanel {

inline constexpr char kConfigFileName[] = "cp-config.xml";

// What cp-config.xml holds. Start values are empty and zero: the file's
// defaults apply only to a file that was loaded.
struct Settings {
  std::string hostname;
  int port = 0;
  std::string service_uri;
  std::string wsdl_service_name;
  std::string wsdl_port_name;
  bool view_buffers = false;
  bool use_proxy = false;
  std::string proxy_host;
  int proxy_port = 0;
};

class CControlPanelApp {
 public:
  // `timeout_ms` bounds each network wait of the client (tests pass a short one).
  explicit CControlPanelApp(uint32_t timeout_ms = client::kControlPanelTimeoutMs);
  CControlPanelApp(const CControlPanelApp&) = delete;
  CControlPanelApp& operator=(const CControlPanelApp&) = delete;

  // The settings file of a program in `directory`.
  static std::string ConfigPathIn(const std::string& directory);

  // Reads `path` into the settings. True when the file was loaded and every
  // setting in it read; only then is the path remembered for SaveConfig, so
  // a partly read file is never overwritten with start values.
  bool LoadConfig(const std::string& path);
  // Replaces the remembered file with the current settings; nothing without
  // a remembered path. A failed write keeps the old file and is not reported.
  void SaveConfig();

  Settings& GetSettings() { return settings_; }
  const Settings& GetSettings() const { return settings_; }
  const std::string& ConfigPath() const { return config_path_; }
  client::SoapClient& Client() { return client_; }
  bool IsConnected() const { return connected_; }
  void SetConnected(bool connected) { connected_ = connected; }

 private:
  Settings settings_;
  std::string config_path_;
  client::SoapClient client_;
  bool connected_ = false;
};

}  // namespace controlpanel
