// The jorvane program: the service that keeps the digest configuration and
// server nonces in one long-lived process, and the local server of jorvex2
// that the SOAP server creates per request. Every call into a jorvex2 and the
// purge run one at a time on the loop thread.
#include <vector>

#include "interfaces/jorvex.h"
#include "platform/service/service_host.h"
#include "plugins/digestauth/jorvane/digest_host.h"

int main(int argc, char** argv) {
  static service::ServiceHost* host = nullptr;
  static jorvane::DigestHost* digest = nullptr;

  std::vector<service::ServedClass> classes = {
      {&CLSID_jorvex2, [] { return digest->MakeFactory(); }}};
  service::HostSteps steps;
  steps.prepare = [](bool) { return digest->Prepare(jorvane::ExecutableDirectory()); };
  steps.shutdown = [](bool) { digest->Shutdown(); };
  // Store and configuration outlive main's return: nothing is dispatched
  // after the loop, and peers' references end with the process.
  static service::ServiceHost theHost(jorvane::JorvaneIdentity(), std::move(classes),
                                      std::move(steps), /*unreadable_app_id_is_plain=*/true);
  static jorvane::DigestHost theDigest(theHost.Events(), digestauth::SystemClock,
                                       jorvane::SystemSetTimer);
  host = &theHost;
  digest = &theDigest;
  return host->Main(argc, argv);
}
