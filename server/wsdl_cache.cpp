#include "server/wsdl_cache.h"

#include <utility>

#include "interfaces/dorvish.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/text/text.h"
#include "platform/thread/clock.h"

namespace server {

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

ComPtr<IDispatch> WsdlCache::GetServiceDescription(std::string_view endpointUri,
                                                   const EndpointInfo& endpoint) {
  if (ComPtr<IDispatch> hit = Lookup(endpointUri)) return hit;
  ComPtr<IDispatch> reader = loader_ ? loader_(endpoint) : nullptr;
  if (!reader) return nullptr;
  // Stored or not, the reader serves this request.
  Insert(endpointUri, &reader);
  return reader;
}

ComPtr<IDispatch> WsdlCache::Lookup(std::string_view endpointUri) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = entries_.find(endpointUri);
  if (it == entries_.end()) return nullptr;
  it->second.lastUse = Now();
  return it->second.reader;  // the copy is the caller's reference
}

bool WsdlCache::Insert(std::string_view endpointUri, ComPtr<IDispatch>* reader) {
  if (reader == nullptr || !*reader) return false;
  // Readers dropped here are released after the lock: the last release frees
  // a whole description.
  ComPtr<IDispatch> evicted;
  ComPtr<IDispatch> duplicate;
  std::lock_guard<std::mutex> lock(lock_);
  const uint64_t now = Now();
  if (lastInsert_ > now) {
    // A clock that went backwards: cache nothing until a flush starts over.
    flushPending_.store(true, std::memory_order_relaxed);
    return false;
  }
  if (auto it = entries_.find(endpointUri); it != entries_.end()) {
    // Another request loaded it first: use the stored reader, drop ours.
    it->second.lastUse = now;
    duplicate = std::move(*reader);
    *reader = it->second.reader;
    return true;
  }
  if (capacity_ < 1) return false;
  if (entries_.size() >= static_cast<size_t>(capacity_)) {
    auto oldest = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->second.lastUse < oldest->second.lastUse) oldest = it;
    }
    LogEvent("WSDL cache limit hit...dropping LRU entry!");
    evicted = std::move(oldest->second.reader);
    entries_.erase(oldest);
  }
  lastInsert_ = now;
  entries_.emplace(std::string(endpointUri), Entry{now, *reader});
  return true;
}

void WsdlCache::Flush() {
  std::map<std::string, Entry, std::less<>> dropped;
  {
    std::lock_guard<std::mutex> lock(lock_);
    dropped.swap(entries_);
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

}  // namespace server
