#include "server/soap/plugin_classes.h"

#include <utility>

#include "platform/registry/registry.h"

namespace server {

using message::CreatePlugin;
using message::CreateStatus;

namespace {

// Resolving runs on whatever thread publishes or ticks; activation wants an
// apartment, and one the thread already has is kept.
class ApartmentScope {
 public:
  ApartmentScope() : entered_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ApartmentScope() {
    if (entered_) CoUninitialize();
  }
  ApartmentScope(const ApartmentScope&) = delete;
  ApartmentScope& operator=(const ApartmentScope&) = delete;

 private:
  const bool entered_;
};

}  // namespace

PluginClasses::Class PluginClasses::ResolveClass(const CLSID& clsid) {
  Class c;
  c.status = CreateStatus::Ok;
  c.clsid = clsid;
  ComPtr<IClassFactory> factory;
  if (SUCCEEDED(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                 factory.ReceiveVoid())) &&
      factory) {
    c.factory = std::move(factory);
  }
  return c;
}

std::shared_ptr<const PluginClasses> PluginClasses::Resolve(const EndpointInfo& endpoint) {
  return Resolve(endpoint.bodyProcessingProgId, endpoint.headerProcessingProgIds);
}

std::shared_ptr<const PluginClasses> PluginClasses::Resolve(
    std::u16string_view body, const std::vector<std::u16string>& headers) {
  ApartmentScope apartment;
  auto classes = std::make_shared<PluginClasses>();
  classes->body_ = std::u16string(body);
  classes->headers_ = headers;
  auto add = [&](const std::u16string& progId) {
    if (progId.empty() || classes->byProgId_.count(progId)) return;
    Class c;
    CLSID clsid{};
    c.hr = CLSIDFromProgID(progId.c_str(), &clsid);
    if (SUCCEEDED(c.hr)) c = ResolveClass(clsid);
    classes->byProgId_.emplace(progId, std::move(c));
  };
  add(classes->body_);
  for (const std::u16string& progId : headers) add(progId);
  classes->message_ = ResolveClass(CLSID_quenlin2);
  return classes;
}

CreateStatus PluginClasses::Create(std::u16string_view progId, ComPtr<IDispatch>* plugin,
                                   HRESULT* hr) const {
  auto it = byProgId_.find(progId);
  if (it == byProgId_.end()) return CreatePlugin(progId, plugin, hr);
  const Class& c = it->second;
  if (c.status != CreateStatus::Ok) {
    *hr = c.hr;
    return c.status;
  }
  ComPtr<IDispatch> created;
  *hr = c.factory ? c.factory->CreateInstance(nullptr, IID_IDispatch, created.ReceiveVoid())
                  : CoCreateInstance(c.clsid, nullptr, CLSCTX_SERVER, IID_IDispatch,
                                     created.ReceiveVoid());
  if (FAILED(*hr) || !created) {
    if (SUCCEEDED(*hr)) *hr = E_NOINTERFACE;
    return CreateStatus::NotCreatable;
  }
  *plugin = std::move(created);
  return CreateStatus::Ok;
}

ComPtr<Iquenlin2> PluginClasses::CreateMessage() const {
  ComPtr<Iquenlin2> message;
  const HRESULT hr =
      message_.factory
          ? message_.factory->CreateInstance(nullptr, IID_Iquenlin2, message.ReceiveVoid())
          : CoCreateInstance(CLSID_quenlin2, nullptr, CLSCTX_SERVER, IID_Iquenlin2,
                             message.ReceiveVoid());
  if (FAILED(hr)) return nullptr;
  return message;
}

bool PluginClasses::Serves(const EndpointInfo& endpoint) const {
  return body_ == endpoint.bodyProcessingProgId && headers_ == endpoint.headerProcessingProgIds;
}

void PluginClassCache::Prepare(const ConfigSnapshot& snapshot) {
  std::lock_guard<std::mutex> refresh(refreshMu_);
  const uint64_t generation = registry::Generation();
  Entries next;
  for (const auto& [uri, endpoint] : snapshot.endpoints) {
    next[uri] = Entry{PluginClasses::Resolve(endpoint), generation};
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    entries_.swap(next);
  }
  // `next` (the old entries) is released here, after the lock.
}

std::shared_ptr<const PluginClasses> PluginClassCache::Get(std::string_view endpointUri,
                                                           const EndpointInfo& endpoint) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = entries_.find(endpointUri);
    if (it != entries_.end() && it->second.classes->Serves(endpoint)) return it->second.classes;
  }
  const uint64_t generation = registry::Generation();
  std::shared_ptr<const PluginClasses> resolved = PluginClasses::Resolve(endpoint);
  Entry old;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Entry& entry = entries_[std::string(endpointUri)];
    old = std::move(entry);
    entry = Entry{resolved, generation};
  }
  return resolved;
}

void PluginClassCache::OnWatchdog() {
  std::lock_guard<std::mutex> refresh(refreshMu_);
  const uint64_t generation = registry::Generation();
  Entries stale;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [uri, entry] : entries_) {
      if (entry.generation != generation) stale.emplace(uri, entry);
    }
  }
  if (stale.empty()) return;
  for (auto& [uri, entry] : stale) {
    entry.classes = PluginClasses::Resolve(entry.classes->BodyProgId(),
                                           entry.classes->HeaderProgIds());
    entry.generation = generation;
  }
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [uri, entry] : stale) {
    auto it = entries_.find(uri);
    // An entry replaced meanwhile by a request is as new as this one.
    if (it != entries_.end() && it->second.generation != generation &&
        it->second.classes->BodyProgId() == entry.classes->BodyProgId() &&
        it->second.classes->HeaderProgIds() == entry.classes->HeaderProgIds()) {
      std::swap(it->second, entry);  // the old one is released after the lock
    }
  }
}

EndpointPlugins::EndpointPlugins(const EndpointInfo& endpoint,
                                 std::shared_ptr<const PluginClasses> classes)
    : endpoint_(endpoint), classes_(std::move(classes)) {}

bool EndpointPlugins::CreateHeaderProcessors(Iquenlin2* msg) {
  return message::CreateHeaderProcessors(chain_, endpoint_.headerProcessingProgIds, msg,
                                         classes_.get());
}

bool EndpointPlugins::ProcessHeaderBlocks(Iquenlin2* msg) {
  return message::ProcessHeaderBlocks(chain_, msg);
}

void EndpointPlugins::ProcessRpcBody(Iquenlin2* msg) {
  server::ProcessRpcBody(invoker_, endpoint_.bodyProcessingProgId, msg, classes_.get());
}

}  // namespace server
