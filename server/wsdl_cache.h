// The endpoints' loaded WSDL readers, kept between requests because loading
// one may fetch documents. One entry per endpoint key, at most `capacity`;
// a full cache drops its least recently used entry. A flush asked for by a
// change of the endpoint list happens at the next watchdog pass that finds
// no connection open.
//
// Readers are handed out with a reference of their own: an eviction or a
// flush on another thread only drops the cache's reference, never the one a
// request is using. Several requests may query one reader at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/base/base.h"
#include "server/config.h"

namespace server {

class WsdlCache {
 public:
  using EventSink = std::function<void(const std::string& line)>;
  // Creates and loads a reader for the endpoint; null when that fails.
  using ReaderLoader = std::function<ComPtr<IDispatch>(const EndpointInfo& endpoint)>;
  // Milliseconds, never going backwards in production.
  using TickSource = std::function<uint64_t()>;

  // `lock` is the configuration lock, taken for every access to the entries.
  WsdlCache(std::mutex& lock, int capacity, EventSink logEvent, ReaderLoader loader = LoadReader,
            TickSource ticks = nullptr);
  ~WsdlCache();  // releases every reader
  WsdlCache(const WsdlCache&) = delete;
  WsdlCache& operator=(const WsdlCache&) = delete;

  // The endpoint's reader, loaded on a miss (without the lock held, so two
  // requests may both load; the first stored wins). Null when no reader can
  // be had. The caller owns the returned reference.
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
  void FlushIfPending(uint64_t activeConnections);

  size_t Size() const;
  bool Contains(std::string_view endpointUri) const;

  // The production loader: creates the WSDL reader class and reads the
  // endpoint's service description into it.
  static ComPtr<IDispatch> LoadReader(const EndpointInfo& endpoint);

 private:
  struct Entry {
    uint64_t lastUse = 0;
    ComPtr<IDispatch> reader;
  };

  uint64_t Now() const;
  void LogEvent(const std::string& line) const;

  std::mutex& lock_;
  const int capacity_;
  const EventSink logEvent_;
  const ReaderLoader loader_;
  const TickSource ticks_;
  std::map<std::string, Entry, std::less<>> entries_;  // guarded by lock_
  uint64_t lastInsert_ = 0;                            // guarded by lock_
  std::atomic<bool> flushPending_{false};
};

}  // namespace server
