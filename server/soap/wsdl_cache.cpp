#include "server/soap/wsdl_cache.h"

#include <chrono>
#include <utility>

#include "dime/http_dime_transport.h"
#include "interfaces/dorvish.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/text/text.h"
#include "platform/thread/clock.h"
#include "wsdl/wsdl_client.h"

namespace server {

namespace {

// The reader reads file:// URLs from disk; everything else it fetches (or
// refuses at once).
bool IsFileUrl(std::string_view url) {
  while (!url.empty() && text::IsAsciiSpace(url.front())) url.remove_prefix(1);
  return url.starts_with("file://");
}

}  // namespace

WsdlCache::WsdlCache(std::mutex& lock, int capacity, EventSink logEvent, ReaderLoader loader,
                     TickSource ticks)
    : lock_(lock),
      capacity_(capacity),
      logEvent_(std::move(logEvent)),
      loader_(std::move(loader)),
      ticks_(std::move(ticks)) {
  lastInsert_ = Now();
}

WsdlCache::~WsdlCache() = default;

uint64_t WsdlCache::Now() const { return ticks_ ? ticks_() : GetTickCount(); }

void WsdlCache::LogEvent(const std::string& line) const {
  if (logEvent_) logEvent_(line);
}

WsdlCache::Source WsdlCache::SourceOf(const EndpointInfo& endpoint) {
  return Source{endpoint.wsdlDocURL, endpoint.wsdlService, endpoint.wsdlPort};
}

bool WsdlCache::IsSourceOf(const Source& source, const EndpointInfo& endpoint) {
  return source.wsdlDocURL == endpoint.wsdlDocURL && source.wsdlService == endpoint.wsdlService &&
         source.wsdlPort == endpoint.wsdlPort;
}

ComPtr<IDispatch> WsdlCache::GetServiceDescription(std::string_view endpointUri,
                                                   const EndpointInfo& endpoint) {
  {
    // Every request comes here: a hit copies no strings and holds the lock
    // for the lookup alone.
    std::lock_guard<std::mutex> lock(lock_);
    if (auto it = entries_.find(endpointUri); it != entries_.end()) {
      if (IsSourceOf(it->second.source, endpoint)) {
        it->second.lastUse = Now();
        return it->second.reader;
      }
    }
  }
  const Source source = SourceOf(endpoint);
  std::shared_ptr<Load> load;
  {
    std::unique_lock<std::mutex> lock(lock_);
    if (ComPtr<IDispatch> hit = LookupLocked(endpointUri, &source)) return hit;
    if (auto failed = failures_.find(endpointUri); failed != failures_.end()) {
      const uint64_t now = Now();
      if (failed->second.source == source && now >= failed->second.at &&
          now - failed->second.at < kWsdlFailureBackoffMs) {
        return nullptr;
      }
      failures_.erase(failed);
    }
    if (auto running = loads_.find(endpointUri);
        running != loads_.end() && running->second->source == source) {
      // Share the outcome of the load under way. A fetch over the network is
      // an outbound wait that could hold every worker: wait for it only
      // briefly. Reading a file always ends, and soon.
      const std::shared_ptr<Load> shared = running->second;
      if (IsFileUrl(endpoint.wsdlDocURL)) {
        shared->ended.wait(lock, [&shared] { return shared->done; });
      } else {
        shared->ended.wait_for(lock, std::chrono::milliseconds(kWsdlShareWaitMs),
                               [&shared] { return shared->done; });
      }
      return shared->done ? shared->reader : nullptr;
    }
    load = std::make_shared<Load>();
    load->source = source;
    loads_[std::string(endpointUri)] = load;
  }

  ComPtr<IDispatch> reader;
  ComPtr<IDispatch> evicted;
  ComPtr<IDispatch> duplicate;
  auto finish = [&] {
    {
      std::lock_guard<std::mutex> lock(lock_);
      if (reader) {
        // Stored or not, the reader serves this request.
        InsertLocked(endpointUri, source, &reader, &evicted, &duplicate);
      } else {
        failures_[std::string(endpointUri)] = Failure{source, Now()};
      }
      load->reader = reader;
      load->done = true;
      if (auto it = loads_.find(endpointUri); it != loads_.end() && it->second == load) {
        loads_.erase(it);
      }
    }
    load->ended.notify_all();
  };
  try {
    reader = loader_ ? loader_(endpoint) : nullptr;
  } catch (...) {
    reader = nullptr;
    finish();
    throw;
  }
  finish();
  return reader;
}

ComPtr<IDispatch> WsdlCache::Lookup(std::string_view endpointUri) {
  std::lock_guard<std::mutex> lock(lock_);
  return LookupLocked(endpointUri, nullptr);
}

ComPtr<IDispatch> WsdlCache::LookupLocked(std::string_view endpointUri, const Source* source) {
  auto it = entries_.find(endpointUri);
  if (it == entries_.end() || (source && !(it->second.source == *source))) return nullptr;
  it->second.lastUse = Now();
  return it->second.reader;  // the copy is the caller's reference
}

bool WsdlCache::Insert(std::string_view endpointUri, ComPtr<IDispatch>* reader) {
  // Readers dropped here are released after the lock: the last release frees
  // a whole description.
  ComPtr<IDispatch> evicted;
  ComPtr<IDispatch> duplicate;
  std::lock_guard<std::mutex> lock(lock_);
  return InsertLocked(endpointUri, Source{}, reader, &evicted, &duplicate);
}

bool WsdlCache::InsertLocked(std::string_view endpointUri, const Source& source,
                             ComPtr<IDispatch>* reader, ComPtr<IDispatch>* evicted,
                             ComPtr<IDispatch>* duplicate) {
  if (reader == nullptr || !*reader) return false;
  const uint64_t now = Now();
  if (lastInsert_ > now) {
    // A clock that went backwards: cache nothing until a flush starts over.
    flushPending_.store(true, std::memory_order_relaxed);
    return false;
  }
  if (auto it = entries_.find(endpointUri); it != entries_.end()) {
    if (it->second.source == source) {
      // Another request loaded it first: use the stored reader, drop ours.
      it->second.lastUse = now;
      *duplicate = std::move(*reader);
      *reader = it->second.reader;
      return true;
    }
    // The endpoint's record changed: the old description goes.
    *evicted = std::move(it->second.reader);
    entries_.erase(it);
  }
  if (capacity_ < 1) return false;
  if (entries_.size() >= static_cast<size_t>(capacity_)) {
    auto oldest = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->second.lastUse < oldest->second.lastUse) oldest = it;
    }
    LogEvent("WSDL cache limit hit...dropping LRU entry!");
    *evicted = std::move(oldest->second.reader);
    entries_.erase(oldest);
  }
  lastInsert_ = now;
  entries_.emplace(std::string(endpointUri), Entry{now, *reader, source});
  return true;
}

void WsdlCache::Flush() {
  std::map<std::string, Entry, std::less<>> dropped;
  {
    std::lock_guard<std::mutex> lock(lock_);
    dropped.swap(entries_);
    failures_.clear();
    lastInsert_ = Now();
    flushPending_.store(false, std::memory_order_relaxed);
  }
  dropped.clear();
  LogEvent("WSDL cache flushed");
}

void WsdlCache::FlushIfPending(uint64_t activeConnections) {
  if (FlushPending() && activeConnections == 0) Flush();
}

size_t WsdlCache::Size() const {
  std::lock_guard<std::mutex> lock(lock_);
  return entries_.size();
}

bool WsdlCache::Contains(std::string_view endpointUri) const {
  std::lock_guard<std::mutex> lock(lock_);
  return entries_.find(endpointUri) != entries_.end();
}

ComPtr<IDispatch> WsdlCache::LoadReader(const EndpointInfo& endpoint) {
  ComPtr<Idorvish2> reader;
  if (FAILED(CoCreateInstance(CLSID_dorvish2, nullptr, CLSCTX_SERVER, IID_Idorvish2,
                              reader.ReceiveVoid()))) {
    return nullptr;
  }
  if (const uint32_t ms = TestLoadTimeoutMs()) {
    VARIANT_BOOL set = VARIANT_FALSE;
    reader->SetHTTPTimeout(static_cast<INT>(ms), &set);
  }
  Bstr service(endpoint.wsdlService);
  Bstr port(endpoint.wsdlPort);
  Bstr url(text::Widen(endpoint.wsdlDocURL));
  VARIANT_BOOL loaded = VARIANT_FALSE;
  if (FAILED(reader->ReadServiceDesc(service.Get(), port.Get(), url.Get(), &loaded)) ||
      loaded != VARIANT_TRUE) {
    return nullptr;
  }
  return com::QueryInterfacePtr<IDispatch>(reader.Get());
}

uint32_t WsdlCache::TestLoadTimeoutMs() {
  return dime::TestOnlyShorterMs("QUORVEL_TEST_WSDL_TIMEOUT_MS",
                           static_cast<uint32_t>(wsdl::kDefaultWsdlTimeoutMs));
}

}  // namespace server
