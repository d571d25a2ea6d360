// The braskel program: one executable that is both the SOAP service and the
// local server of the management class. A registration switch registers or
// unregisters it and exits; otherwise its AppID decides whether it runs as a
// service (the server object is created and started) or as a plain local
// server.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "interfaces/braskelmgr.h"
#include "platform/com/module.h"
#include "platform/service/service_host.h"
#include "server/braskel/service_registration.h"
#include "server/soap/management.h"
#include "server/soap/soap_server.h"

namespace {

using server::SoapServer;

service::ServiceHost* g_host = nullptr;
// The rest of the server reaches the running server only through this.
std::unique_ptr<SoapServer> g_server;
// What new management objects work on: set once the server exists and
// cleared before it goes; null in local-server mode.
std::atomic<SoapServer*> g_runningServer{nullptr};

HRESULT CreateManager(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return server::CreateManagementObject(g_runningServer.load(), iid, object);
}

void StartServer() {
  g_server = std::make_unique<SoapServer>(
      g_host->ExecutablePath(), [](const std::string& line) { g_host->Events().Report(line); });
  g_runningServer = g_server.get();
  // The service runs its loop even when the server could not start.
  (void)g_server->InitServer();
}

void StopServer(bool serviceMode) {
  g_runningServer = nullptr;
  if (serviceMode) g_server.reset();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<service::ServedClass> classes = {
      {&CLSID_braskelmgr2, [] {
         const ComPtr<com::ClassFactory> f = com::MakeComObject<com::ClassFactory>(CreateManager);
         return ComPtr<IUnknown>(static_cast<IClassFactory*>(f.Get()));
       }}};
  service::HostSteps steps;
  steps.running = StartServer;
  steps.shutdown = StopServer;
  static service::ServiceHost host(server::BraskelIdentity(), std::move(classes), std::move(steps));
  g_host = &host;
  return host.Main(argc, argv);
}
