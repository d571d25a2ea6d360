#include "controlpanel/model/settings_pages.h"

#include <utility>

#include "controlpanel/model/management_call.h"
#include "controlpanel/model/server_values.h"
#include "controlpanel/model/texts.h"
#include "platform/text/text.h"

namespace controlpanel {

namespace {

constexpr const char16_t* kParamNames[] = {u"ListenPort", u"NumWorkThreads", u"NumClientConn",
                                           u"ClientTimeout", u"WatchdogTimer"};
constexpr std::array<const char16_t*, kLogCount> kPathNames = {
    u"ServerLogPath", u"UserAgentLogPath", u"SOAPTraceLogPath"};
constexpr std::array<const char16_t*, kLogCount> kSwitchNames = {
    u"ServerLogEnabled", u"UserAgentLogEnabled", u"SOAPTraceLogEnabled"};

}  // namespace

bool CSvrParamsPage::GetServerParams() {
  ManagementCall call(app_, ui_, u"GetServerParams");
  for (const char16_t* name : kParamNames) call.Param(name, Variant::FromI4(0));
  std::array<int32_t, std::size(kParamNames)> values{};
  if (!call.Run()) return false;
  for (size_t i = 0; i < values.size(); ++i) {
    if (!ReadInteger(*call.Value(kParamNames[i]), &values[i])) return false;
  }
  listen_port = values[0];
  num_work_threads = values[1];
  num_client_conn = values[2];
  client_timeout = values[3];
  watchdog_timer = values[4];
  UpdateData(false);
  return true;
}

std::string CSvrParamsPage::ReadFailedMessage() const { return texts::kServerSettingsReadFailed; }

bool CLogSettingsPage::GetLogSettings() {
  ManagementCall call(app_, ui_, u"GetLogSettings");
  for (const char16_t* name : kPathNames) call.Param(name, Variant());
  for (const char16_t* name : kSwitchNames) call.Param(name, Variant::FromBool(false));
  if (!call.Run()) return false;
  std::array<std::string, kLogCount> new_paths;
  std::array<bool, kLogCount> new_enabled{};
  for (size_t i = 0; i < kLogCount; ++i) {
    if (!ReadText(*call.Value(kPathNames[i]), &new_paths[i]) ||
        !ReadSwitch(*call.Value(kSwitchNames[i]), &new_enabled[i])) {
      return false;
    }
  }
  paths = std::move(new_paths);
  enabled = new_enabled;
  UpdateData(false);
  return true;
}

bool CLogSettingsPage::SetLogSettings() {
  if (!ReadSucceeded()) return false;
  ManagementCall call(app_, ui_, u"SetLogSettings");
  for (size_t i = 0; i < kLogCount; ++i) {
    Variant path = Variant::FromText(text::Widen(paths[i]));
    if (path.vt != VT_BSTR) return false;
    call.Param(kPathNames[i], std::move(path));
  }
  for (size_t i = 0; i < kLogCount; ++i) call.Param(kSwitchNames[i], Variant::FromBool(enabled[i]));
  return call.Run();
}

std::string CLogSettingsPage::ReadFailedMessage() const { return texts::kLoggingReadFailed; }
std::string CLogSettingsPage::WriteFailedMessage() const { return texts::kLoggingWriteFailed; }

}  // namespace controlpanel
