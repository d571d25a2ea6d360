// CControlPanelApp: the control panel's application state, made once in main
// and passed by reference: its settings (kept in cp-config.xml beside the
// program), the SOAP client to the server it manages and whether it is
// connected.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "client/soap_client.h"
#include "controlpanel/model/management_channel.h"
#include "controlpanel/model/ui_port.h"
#include "plugins/digestauth/protocol.h"

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

// The log-on and the digest exchange with the server; empty at start.
struct DigestState {
  std::string user_id;
  std::string password;
  std::string realm;
  std::string status;
  bool expired_nonce = false;
  std::string server_nonce;
  // 32 upper-case hex digits, made anew for every request that carries proof.
  std::string client_nonce;
  digestauth::Digest client_proof{};
  digestauth::Digest server_proof{};
};

class CControlPanelApp {
 public:
  // `timeout_ms` bounds each exchange of the client as a whole (tests pass a
  // short one).
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

  // A new client nonce: MD5 over the 32-bit millisecond tick, least
  // significant byte first. Two calls in one tick share it; the server's
  // nonce differs between them.
  void MakeClientNonce();
  // The proof for the next request over the realm and server nonce last read.
  void ComputeAuth();
  // True when the server proof last read matches the one this client
  // expects for the nonce just issued and the client nonce it sent.
  bool VerifyServerAuth() const;
  // Adds the ClientAuth block (new client nonce, new proof) to the next
  // request; nothing for a probe, or when no struct object can be made.
  void AddAuthHeader(bool probe);
  // Reads the answer's Challenge or, only when that is absent, its
  // NextChallenge into the digest state. Status, the expired flag and the
  // server proof are cleared first.
  void ReadAuthHeader();
  // One block's content: read only when it is exactly a non-null
  // VT_DISPATCH struct. Members of another type than expected are not read.
  void ReadAuthBlock(const VARIANT& content);

  // Production reads the low 32 bits of GetTickCount.
  void SetTickSource(std::function<uint32_t()> ticks) { ticks_ = std::move(ticks); }

  // Puts back a server nonce the server has already seen.
  void SetServerNonceForTest(std::string nonce) { digest_.server_nonce = std::move(nonce); }

  DigestState& Digest() { return digest_; }
  const DigestState& Digest() const { return digest_; }

  Settings& GetSettings() { return settings_; }
  const Settings& GetSettings() const { return settings_; }
  const std::string& ConfigPath() const { return config_path_; }
  client::SoapClient& Client() { return client_; }
  // The pages' way to the server: over Client() unless a test put another.
  ManagementChannel& Channel() { return channel_ != nullptr ? *channel_ : *own_channel_; }
  // Null restores the channel over Client().
  void SetChannel(ManagementChannel* channel) { channel_ = channel; }

  // The sheet's Help button.
  void OnAppAbout(UiPort& ui) { ui.ShowAbout(); }

  // The folder the program runs from: its WSDL and settings file are there.
  const std::string& ProgramDirectory() const { return program_directory_; }
  void SetProgramDirectory(std::string directory) { program_directory_ = std::move(directory); }
  bool IsConnected() const { return connected_; }
  void SetConnected(bool connected) { connected_ = connected; }

 private:
  Settings settings_;
  DigestState digest_;
  std::function<uint32_t()> ticks_;
  std::string config_path_;
  client::SoapClient client_;
  std::unique_ptr<ManagementChannel> own_channel_;
  ManagementChannel* channel_ = nullptr;
  std::string program_directory_;
  bool connected_ = false;
};

}  // namespace controlpanel
