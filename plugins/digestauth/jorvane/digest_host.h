// What the jorvane program adds to the shared service host: the digest
// context (configuration and nonce store) it owns, the class object that
// hands it to each jorvex2, and the purge timer on the loop thread.
#pragma once

#include <functional>
#include <string>

#include "platform/base/base.h"
#include "platform/service/service_host.h"
#include "platform/thread/message_loop.h"
#include "plugins/digestauth/digest_context.h"

namespace jorvane {

inline constexpr char kServiceName[] = "Quorvel SOAP Authentication Service";
inline constexpr UINT_PTR kPurgeTimerId = 999;
inline constexpr UINT kPurgePeriodMs = 60000;

// The program's service name, AppID and class, for the shared host.
service::HostIdentity JorvaneIdentity();

// The directory of the running executable, from the full /proc/self/exe
// path; empty when that cannot be read whole.
std::string ExecutableDirectory();

// Sets a timer of the calling thread; SetTimer in the program.
using TimerSetter = std::function<UINT_PTR(UINT_PTR id, UINT elapse_ms, TIMERPROC callback)>;
UINT_PTR SystemSetTimer(UINT_PTR id, UINT elapse_ms, TIMERPROC callback);

// One per process (the timer's callback finds it through a global).
class DigestHost {
 public:
  DigestHost(service::EventReporter& events, digestauth::Clock clock, TimerSetter setTimer);
  ~DigestHost();
  DigestHost(const DigestHost&) = delete;
  DigestHost& operator=(const DigestHost&) = delete;

  // The start phase's own part, on the loop thread: reads the configuration
  // from `configDirectory` once (its result is not examined: a missing or
  // broken file leaves empty tables), builds the context and sets the purge
  // timer; a timer that cannot be set is logged and the service runs on.
  // Always S_OK.
  HRESULT Prepare(const std::string& configDirectory);
  // The shutdown phase's part: stops the timer and forgets every nonce. The
  // context itself stays, so an object a peer still holds never reaches
  // freed memory.
  void Shutdown();

  // The class object of jorvex2 over the context; Prepare first.
  ComPtr<IUnknown> MakeFactory() const;
  const digestauth::DigestContextPtr& Context() const { return context_; }
  bool TimerSet() const { return timer_ != 0; }

  // The timer's callback: purges stale nonces of the process's host.
  static void OnPurgeTimer(HWND hwnd, UINT message, UINT_PTR id, DWORD time);

 private:
  service::EventReporter& events_;
  const digestauth::Clock clock_;
  const TimerSetter set_timer_;
  digestauth::DigestContextPtr context_;
  UINT_PTR timer_ = 0;
};

}  // namespace jorvane
