#include "plugins/digestauth/jorvane/digest_host.h"

#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "interfaces/jorvex.h"
#include "plugins/digestauth/jorvex_impl.h"
#include "plugins/digestauth/registration.h"

namespace jorvane {
namespace {

std::atomic<DigestHost*> g_host{nullptr};

}  // namespace

service::HostIdentity JorvaneIdentity() {
  service::HostIdentity id;
  id.service_name = kServiceName;
  id.app_id = APPID_jorvane;
  id.app_id_name = "jorvane";
  id.classes = [](const std::string& executablePath) {
    return std::vector<com::ClassRegistration>{digestauth::Jorvex2Registration(executablePath)};
  };
  return id;
}

std::string ExecutableDirectory() {
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  // A full buffer may hold a cut path: reading another file is worse than none.
  if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return {};
  const std::string path(buffer.data(), static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

UINT_PTR SystemSetTimer(UINT_PTR id, UINT elapse_ms, TIMERPROC callback) {
  return SetTimer(nullptr, id, elapse_ms, callback);
}

DigestHost::DigestHost(service::EventReporter& events, digestauth::Clock clock,
                       TimerSetter setTimer)
    : events_(events), clock_(std::move(clock)), set_timer_(std::move(setTimer)) {
  g_host.store(this);
}

DigestHost::~DigestHost() {
  DigestHost* self = this;
  g_host.compare_exchange_strong(self, nullptr);
}

HRESULT DigestHost::Prepare(const std::string& configDirectory) {
  digestauth::AuthConfig config;
  (void)config.Load(configDirectory);
  service::EventReporter& events = events_;
  context_ = std::make_shared<digestauth::DigestContext>(
      std::move(config), clock_, [&events](std::string_view text) { events.Report(text); });
  timer_ = set_timer_(kPurgeTimerId, kPurgePeriodMs, OnPurgeTimer);
  if (timer_ == 0) events_.LogEvent("Attempt to create Watchdog Timer failed!");
  return S_OK;
}

void DigestHost::Shutdown() {
  if (timer_ != 0) {
    KillTimer(nullptr, timer_);
    timer_ = 0;
  }
  if (context_) context_->nonces.Clear();
}

ComPtr<IUnknown> DigestHost::MakeFactory() const {
  const ComPtr<digestauth::Jorvex2Factory> f =
      com::MakeComObject<digestauth::Jorvex2Factory>(context_);
  return ComPtr<IUnknown>(static_cast<IClassFactory*>(f.Get()));
}

void DigestHost::OnPurgeTimer(HWND, UINT, UINT_PTR, DWORD) {
  DigestHost* host = g_host.load();
  if (host != nullptr && host->context_) host->context_->nonces.Purge();
}

}  // namespace jorvane
