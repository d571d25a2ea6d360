// The endpoints' loaded WSDL readers, kept between requests because loading
// one may fetch documents. One entry per endpoint key, at most `capacity`;
// a full cache drops its least recently used entry. An entry serves only the
// endpoint record it was loaded for (WSDL URL, service, port): a changed
// endpoint gets its own reader on its next request, whatever connections are
// open. A flush asked for by a change of the endpoint list (which only frees
// memory) happens at the next watchdog pass that finds no connection open.
//
// Loading over HTTP is an outbound wait, so it is kept from holding the
// workers: one load per endpoint record at a time, requests arriving
// meanwhile wait for its outcome only briefly (then get the endpoint's
// failure; a file's load they wait out, as it always ends soon), and a failed
// load is remembered for a short back-off during which requests fail at once.
//
// Readers are handed out with a reference of their own: an eviction or a
// flush on another thread only drops the cache's reference, never the one a
// request is using. Several requests may query one reader at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/base/base.h"
#include "server/http/config.h"
#include "server/http/soap_dispatch.h"

namespace server {

// How long a failed load is remembered, in milliseconds of the tick source.
inline constexpr uint64_t kWsdlFailureBackoffMs = 5000;
// The longest a request waits for another request's load of its endpoint
// over HTTP.
inline constexpr uint32_t kWsdlShareWaitMs = 100;

class WsdlCache : public IdleFlush {
 public:
  using EventSink = std::function<void(const std::string& line)>;
  // Creates and loads a reader for the endpoint; null when that fails.
  using ReaderLoader = std::function<ComPtr<IDispatch>(const EndpointInfo& endpoint)>;
  // Milliseconds, never going backwards in production.
  using TickSource = std::function<uint64_t()>;

  // `lock` guards the entries; the server gives the cache a lock of its own,
  // never the configuration lock a management change holds while it saves.
  WsdlCache(std::mutex& lock, int capacity, EventSink logEvent, ReaderLoader loader = LoadReader,
            TickSource ticks = nullptr);
  ~WsdlCache();  // releases every reader
  WsdlCache(const WsdlCache&) = delete;
  WsdlCache& operator=(const WsdlCache&) = delete;

  // The endpoint's reader, loaded on a miss without the lock held. Null when
  // no reader can be had (the load failed now or within the back-off, or
  // another request's load over HTTP did not end within kWsdlShareWaitMs).
  // The caller owns the returned reference.
  ComPtr<IDispatch> GetServiceDescription(std::string_view endpointUri,
                                          const EndpointInfo& endpoint);
  // A hit refreshes the entry's last use.
  ComPtr<IDispatch> Lookup(std::string_view endpointUri);
  // Stores *reader under the key unless the key is present, in which case
  // *reader is replaced by the stored one. False when nothing is stored
  // (*reader is then still fit to serve the request uncached).
  bool Insert(std::string_view endpointUri, ComPtr<IDispatch>* reader);
  // Releases every reader and clears the pending flag.
  void Flush();
  // Marks a flush for the watchdog; safe under the configuration lock.
  void RequestFlush() { flushPending_.store(true, std::memory_order_relaxed); }
  bool FlushPending() const { return flushPending_.load(std::memory_order_relaxed); }
  // The watchdog's step: flushes when one is pending and nothing is active.
  void FlushIfPending(uint64_t activeConnections) override;

  size_t Size() const;
  bool Contains(std::string_view endpointUri) const;

  // The production loader: creates the WSDL reader class and reads the
  // endpoint's service description into it, the whole load bounded by the
  // reader's HTTP timeout.
  static ComPtr<IDispatch> LoadReader(const EndpointInfo& endpoint);

  // Test-only: QUORVEL_TEST_WSDL_TIMEOUT_MS, milliseconds below the reader's
  // default, shortens the production loader's bound so that a test of the
  // whole program can meet a WSDL host that never answers. 0: unset.
  static uint32_t TestLoadTimeoutMs();

 private:
  // What identifies the description an endpoint record asks for.
  struct Source {
    std::string wsdlDocURL;
    std::u16string wsdlService;
    std::u16string wsdlPort;
    bool operator==(const Source&) const = default;
  };
  struct Entry {
    uint64_t lastUse = 0;
    ComPtr<IDispatch> reader;
    Source source;
  };
  struct Load {
    Source source;
    bool done = false;
    ComPtr<IDispatch> reader;  // the outcome, null for a failure
    std::condition_variable ended;
  };
  struct Failure {
    Source source;
    uint64_t at = 0;
  };

  static Source SourceOf(const EndpointInfo& endpoint);
  // SourceOf(endpoint) == source, without copying.
  static bool IsSourceOf(const Source& source, const EndpointInfo& endpoint);
  uint64_t Now() const;
  void LogEvent(const std::string& line) const;
  // Caller holds lock_.
  ComPtr<IDispatch> LookupLocked(std::string_view endpointUri, const Source* source);
  bool InsertLocked(std::string_view endpointUri, const Source& source,
                    ComPtr<IDispatch>* reader, ComPtr<IDispatch>* evicted,
                    ComPtr<IDispatch>* duplicate);

  std::mutex& lock_;
  const int capacity_;
  const EventSink logEvent_;
  const ReaderLoader loader_;
  const TickSource ticks_;
  std::map<std::string, Entry, std::less<>> entries_;  // guarded by lock_
  // Loads under way and failures within their back-off, by endpoint URI.
  std::map<std::string, std::shared_ptr<Load>, std::less<>> loads_;  // guarded by lock_
  std::map<std::string, Failure, std::less<>> failures_;             // guarded by lock_
  uint64_t lastInsert_ = 0;                            // guarded by lock_
  std::atomic<bool> flushPending_{false};
};

}  // namespace server
