// The two simple server pages: CSvrParamsPage shows the server's connection
// parameters (read once, as the server started with them; the server offers
// no way to change them), CLogSettingsPage the paths and switches of its
// three logs.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "controlpanel/model/server_page.h"

namespace controlpanel {

class CSvrParamsPage : public ServerPage {
 public:
  using ServerPage::ServerPage;

  // One GetServerParams call; on success the five values are replaced and shown.
  bool GetServerParams();

  int32_t listen_port = 0;
  int32_t num_work_threads = 0;
  int32_t num_client_conn = 0;
  int32_t client_timeout = 0;
  int32_t watchdog_timer = 0;

 protected:
  bool Read() override { return GetServerParams(); }
  std::string ReadFailedMessage() const override;
};

// Server, user agent, SOAP trace: the order of the page and of the call.
enum LogKind : size_t { kServerLog, kUserAgentLog, kTraceLog, kLogCount };

class CLogSettingsPage : public ServerPage {
 public:
  using ServerPage::ServerPage;

  // One GetLogSettings call; on success the paths and switches are replaced
  // and shown (a switch is on only for VARIANT_TRUE).
  bool GetLogSettings();
  // One SetLogSettings call: the three paths, then the three switches.
  // Nothing is sent while the page's read has not succeeded.
  bool SetLogSettings();

  // What the edits and check boxes hold, for the view's data exchange.
  std::array<std::string, kLogCount> paths;
  std::array<bool, kLogCount> enabled{};

 protected:
  bool Read() override { return GetLogSettings(); }
  bool Write() override { return SetLogSettings(); }
  std::string ReadFailedMessage() const override;
  std::string WriteFailedMessage() const override;
};

}  // namespace controlpanel
