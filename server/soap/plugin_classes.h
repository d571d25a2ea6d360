// The classes an endpoint's objects are made from (the message object, the
// body service, the header processors), resolved once from the registry and
// kept with the endpoint, so that a request creates its objects with one
// factory call each and reads no registry. Every request still gets fresh
// instances. A registration changed meanwhile is taken up at the next
// watchdog tick.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/quenlin.h"
#include "message/plugin_contract.h"
#include "platform/base/base.h"
#include "platform/com/activation.h"
#include "server/http/config.h"
#include "server/soap/rpc_invoker.h"

namespace server {

class PluginClasses final : public message::PluginSource {
 public:
  // Resolves the endpoint's ProgIDs and the message class. A ProgID that
  // cannot be resolved is kept with its failure, answered as before.
  static std::shared_ptr<const PluginClasses> Resolve(const EndpointInfo& endpoint);
  static std::shared_ptr<const PluginClasses> Resolve(std::u16string_view body,
                                                      const std::vector<std::u16string>& headers);

  // A new object of the ProgID's class for IDispatch; ProgIDs not resolved
  // here are looked up in the registry.
  message::CreateStatus Create(std::u16string_view progId, ComPtr<IDispatch>* plugin,
                               HRESULT* hr) const override;
  // A new message object; null when the class cannot make one.
  ComPtr<Iquenlin2> CreateMessage() const;

  // Whether these are the classes of `endpoint`'s ProgIDs.
  bool Serves(const EndpointInfo& endpoint) const;
  std::u16string_view BodyProgId() const { return body_; }
  const std::vector<std::u16string>& HeaderProgIds() const { return headers_; }

 private:
  struct Class {
    message::CreateStatus status = message::CreateStatus::ProgIdUnknown;
    HRESULT hr = S_OK;
    CLSID clsid{};
    // Null for a class served out of process: its object is asked for per
    // call, as a proxy belongs to the connection it was made on.
    ComPtr<IClassFactory> factory;
  };
  static Class ResolveClass(const CLSID& clsid);

  std::u16string body_;
  std::vector<std::u16string> headers_;
  std::map<std::u16string, Class, std::less<>> byProgId_;
  Class message_;
};

// The resolved classes by endpoint URI.
class PluginClassCache {
 public:
  PluginClassCache() = default;
  PluginClassCache(const PluginClassCache&) = delete;
  PluginClassCache& operator=(const PluginClassCache&) = delete;

  // Resolves every endpoint of a newly published snapshot; entries of
  // endpoints it no longer has are dropped.
  void Prepare(const ConfigSnapshot& snapshot);
  // The endpoint's classes; resolved here only when no published snapshot
  // prepared them (or its ProgIDs changed since).
  std::shared_ptr<const PluginClasses> Get(std::string_view endpointUri,
                                           const EndpointInfo& endpoint);
  // The watchdog's step: resolves every entry again when the registry changed
  // since they were resolved.
  void OnWatchdog();

 private:
  struct Entry {
    std::shared_ptr<const PluginClasses> classes;
    uint64_t generation = 0;  // the registry's when they were resolved
  };
  using Entries = std::map<std::string, Entry, std::less<>>;

  std::mutex refreshMu_;  // one Prepare or refresh at a time; before mu_
  std::mutex mu_;         // a leaf, held for a lookup or a swap
  Entries entries_;       // guarded by mu_
};

// One request's plug-ins on its endpoint, for a POST and a GET alike: the
// endpoint's resolved classes, its header-processor chain and the RPC call on
// its body object. The calls are virtual so that a test can record them.
class EndpointPlugins {
 public:
  EndpointPlugins(const EndpointInfo& endpoint, std::shared_ptr<const PluginClasses> classes);
  EndpointPlugins(const EndpointPlugins&) = delete;
  EndpointPlugins& operator=(const EndpointPlugins&) = delete;
  virtual ~EndpointPlugins() = default;

  // Creates the endpoint's header processors; false after recording the
  // fault of one that cannot be made.
  virtual bool CreateHeaderProcessors(Iquenlin2* message);
  // One pass over the processors in the message's current phase; false
  // when a processor failed (its fault is recorded).
  virtual bool ProcessHeaderBlocks(Iquenlin2* message);
  // Calls the decoded RPC method on the endpoint's body object; failures
  // are recorded in the message as faults.
  virtual void ProcessRpcBody(Iquenlin2* message);
  // The endpoint's resolved classes; null looks each ProgID up.
  const PluginClasses* Classes() const { return classes_.get(); }

 private:
  const EndpointInfo& endpoint_;
  const std::shared_ptr<const PluginClasses> classes_;
  message::HeaderHandlerChain chain_;
  RpcInvoker invoker_;
};

}  // namespace server
