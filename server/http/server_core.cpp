#include "server/http/server_core.h"

#include <errno.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "dime/resources.h"
#include "platform/com/activation.h"
#include "platform/com/kept_memory.h"
#include "server/http/client_connection.h"
#include "server/http/heap_trim.h"
#include "server/http/request_log.h"
#include "server/http/soap_dispatch.h"

namespace server {

namespace {

int Clamp(int value, int limit) { return value > limit ? limit : value; }

// Descriptors kept for sockets, listeners, logs and the rest: per slot its
// socket and a file it sends, and a fixed margin.
uint64_t ReservedDescriptors(int clients) { return 2 * uint64_t(clients) + 64; }

// Raises the soft descriptor limit as far as the hard one allows, and gives
// DIME payload files what sockets do not need, so that slow DIME peers run
// into a 400 rather than into failed accepts.
void PrepareDescriptors(int clients, const std::function<void(const std::string&)>& log) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // An unlimited hard limit still stops at the kernel's per-process ceiling.
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0 && limit.rlim_max == RLIM_INFINITY) {
      raised.rlim_cur = 1 << 20;
      if (setrlimit(RLIMIT_NOFILE, &raised) != 0) raised.rlim_cur = limit.rlim_cur;
    }
    limit.rlim_cur = raised.rlim_cur;
  }
  const uint64_t open = limit.rlim_cur;
  const uint64_t reserved = ReservedDescriptors(clients);
  const uint64_t budget = open > 2 * reserved ? open - reserved : open / 2;
  dime::SetPayloadFileBudget(budget);
  const uint64_t wanted = reserved + uint64_t(clients) * dime::kMaxPayloads;
  if (open < wanted) {
    log("open file limit " + std::to_string(open) + " is below the " + std::to_string(wanted) +
        " descriptors " + std::to_string(clients) +
        " clients may use; DIME payload files "
        "are limited to " +
        std::to_string(budget));
  }
}

// Accepts taken one after the other before polling again.
constexpr int kAcceptBurst = 16;

// The longest the listener thread waits for a connection while it accepts.
constexpr int kListenerPassMs = 100;

// The pause between accepts while out of descriptors grows to this.
constexpr int kFirstAcceptBackoffMs = 10;
constexpr int kMaxAcceptBackoffMs = 1000;

bool OutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

std::optional<std::string> RepeatedEventLine::CloseWindow(Clock::time_point now) {
  if (!open_ || now - opened_ < window_) return std::nullopt;
  open_ = false;
  if (suppressed_ == 0) return std::nullopt;
  std::string count =
      line_ + " " + std::to_string(suppressed_) + " more times since the last report";
  suppressed_ = 0;
  return count;
}

std::vector<std::string> RepeatedEventLine::Occurred(Clock::time_point now,
                                                     std::string_view first) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> lines;
  if (std::optional<std::string> count = CloseWindow(now)) lines.push_back(std::move(*count));
  if (open_) {
    ++suppressed_;
    return lines;
  }
  open_ = true;
  opened_ = now;
  lines.push_back(first.empty() ? line_ : std::string(first));
  return lines;
}

std::optional<std::string> RepeatedEventLine::Flush(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mu_);
  return CloseWindow(now);
}

bool IdleTrim::Due(uint64_t connects, uint64_t open) {
  const bool quiet = connects == seen_ && open == 0;
  seen_ = connects;
  if (!quiet || connects == trimmed_) return false;
  trimmed_ = connects;
  return true;
}

ServerCore::ServerCore(const ServerSettings& settings, ConfigStore& store, RequestLogger* logger,
                       EventSink logEvent)
    : settings_(settings), store_(store), logger_(logger), logEvent_(std::move(logEvent)) {}

ServerCore::~ServerCore() { StopServer(); }

void ServerCore::LogEvent(const std::string& line) const {
  if (logEvent_) logEvent_(line);
}

bool ServerCore::StartServer(const std::vector<ProtocolInfo>& protocols) {
  port_ = std::make_unique<net::CompletionPort>();
  if (!port_->Valid()) {
    LogEvent("Attempt to create IO Completion Port failed!");
    return false;
  }

  MapLargeBlocks();
  const int workers = Clamp(settings_.numWorkThreads, kMaxWorkThreads);
  if (workers != settings_.numWorkThreads) {
    LogEvent("numWorkThreads " + std::to_string(settings_.numWorkThreads) + " exceeds limit " +
             std::to_string(kMaxWorkThreads) + "; using " + std::to_string(workers));
  }
  for (int i = 0; i < workers; ++i) {
    pthread_t thread;
    if (!StartThread(&ServerCore::WorkerThreadProc, &thread)) {
      LogEvent("Attempt to create Worker thread failed!");
      return false;
    }
    workers_.push_back(thread);
  }
  pthread_t large;
  if (!StartThread(&ServerCore::LargeMessageThreadProc, &large)) {
    LogEvent("Attempt to create Worker thread failed!");
    return false;
  }
  largeThread_ = large;

  const int clients = Clamp(settings_.maxClients, kMaxClients);
  if (clients != settings_.maxClients) {
    LogEvent("maxClients " + std::to_string(settings_.maxClients) + " exceeds limit " +
             std::to_string(kMaxClients) + "; using " + std::to_string(clients));
  }
  PrepareDescriptors(clients, [this](const std::string& line) { LogEvent(line); });
  try {
    for (int slot = 0; slot < clients; ++slot) {
      clients_.push_back(std::make_unique<ClientConnection>(*this, static_cast<uint32_t>(slot)));
      std::lock_guard<std::mutex> lock(slot_mu_);
      freeSlots_.push_back(static_cast<uint32_t>(slot));
    }
  } catch (const std::bad_alloc&) {
    LogEvent("Attempt to create Client object failed!");
    return false;
  }

  // Listening sockets: one per connection-oriented, reliable IPv4 transport,
  // at most four. A transport whose bind fails is skipped.
  listeners_ = std::make_unique<net::ListenerSet>();
  if (!listeners_->Valid()) {
    LogEvent("Attempt to create Listener thread failed!");
    return false;
  }
  const std::optional<uint16_t> port = ListenPortFor(settings_.listenPort);
  for (const ProtocolInfo& p : protocols) {
    if (!port || listeners_->Count() >= net::ListenerSet::kMaxListeners) break;
    if (p.connectionless || !p.guaranteedDelivery || !p.guaranteedOrder ||
        p.addressFamily != AF_INET) {
      continue;
    }
    int error = 0;
    const int index = listeners_->Add(settings_.listenAddress, *port, &error);
    if (index < 0) {
      // Skipped, as a transport that cannot listen is; but said, so a server
      // without a listening socket is not a silent success.
      LogEvent("bind " + (settings_.listenAddress.empty() ? "0.0.0.0" : settings_.listenAddress) +
               ":" + std::to_string(*port) + " failed: " + std::strerror(error));
      if (error == EINVAL) {
        LogEvent("listenAddress \"" + settings_.listenAddress + "\" is not an IPv4 address");
      }
      continue;
    }
    char line[96];
    std::snprintf(line, sizeof line, "Listening on %s:%u",
                  settings_.listenAddress.empty() ? "0.0.0.0" : settings_.listenAddress.c_str(),
                  static_cast<unsigned>(listeners_->Port(static_cast<size_t>(index))));
    LogEvent(line);
  }
  try {
    listener_ = std::thread(&ServerCore::ListenerThreadProc, this);
  } catch (const std::system_error&) {
    LogEvent("Attempt to create Listener thread failed!");
    return false;
  }
  return true;
}

void ServerCore::StopServer() {
  if (stopped_) return;
  stopped_ = true;
  if (listeners_) {
    std::lock_guard<std::mutex> lock(accept_mu_);
    listenerStopping_ = true;
    if (workersAccept_.exchange(false)) {
      for (size_t i = 0; i < listeners_->Count(); ++i) {
        port_->UnwatchListener(listeners_->Descriptor(i));
      }
    }
  }
  handedOver_.notify_all();
  if (listeners_) listeners_->Wake();
  if (listener_.joinable()) listener_.join();
  if (port_) port_->Shutdown();
  for (pthread_t t : workers_) pthread_join(t, nullptr);
  workers_.clear();
  // Closed once no worker can be inside an accept; nothing was accepted
  // since the listener stopped but what workers took from events already out.
  listeners_.reset();
  handovers_.clear();
  std::vector<pthread_t> handedOn;
  {
    std::lock_guard<std::mutex> lock(large_mu_);
    largeStopping_ = true;
    handedOn.swap(largeHandedOn_);
    handedOn.insert(handedOn.end(), largeDone_.begin(), largeDone_.end());
    largeDone_.clear();
  }
  largeReady_.notify_all();
  if (largeThread_) pthread_join(*largeThread_, nullptr);
  largeThread_.reset();
  for (pthread_t t : handedOn) pthread_join(t, nullptr);
  largeWork_.clear();  // wakes never run: Discard gives their shares back
  // No thread uses the connections now.
  for (auto& client : clients_) client->Discard();
  port_.reset();
  clients_.clear();
}

void ServerCore::ListenerThreadProc() {
  for (;;) {
    SweepWaits();
    std::deque<Handover> handed;
    const bool toWorkers =
        !workers_.empty() && !listenerOnly_ && acceptBackoffMs_ == 0 && HasFreeClientSlot();
    if (toWorkers) {
      if (!LetWorkersAccept(&handed)) return;
    } else {
      // A worker may have taken an event out just before accepting was taken
      // over: what it hands over waits for nothing else.
      std::lock_guard<std::mutex> lock(accept_mu_);
      handed.swap(handovers_);
    }
    for (Handover& h : handed) AdmitConnection(h.index, std::move(h.socket), h.peer, h.error);
    if (toWorkers) continue;
    if (acceptBackoffMs_ > 0) {
      // Out of descriptors: the listening socket stays readable, so polling
      // it would spin. The connections wait in the kernel's queue meanwhile.
      switch (listeners_->WaitForWake(acceptBackoffMs_)) {
        case net::ListenerSet::WaitResult::Woken:
          return;
        default:
          AcceptConnection(acceptRetryIndex_);
          continue;
      }
    }
    size_t index = 0;
    // Bounded, so that a slot freed or a handover made meanwhile is seen.
    switch (listeners_->WaitForAccept(&index, kListenerPassMs)) {
      case net::ListenerSet::WaitResult::Ready:
        // Connections come in bursts under load: each poll costs a wake.
        for (int i = 0; i < kAcceptBurst && AcceptConnection(index); ++i) {
        }
        break;
      case net::ListenerSet::WaitResult::Woken:
        return;
      case net::ListenerSet::WaitResult::TimedOut:
        break;
      case net::ListenerSet::WaitResult::Error:
        // Do not spin on a poll that keeps failing.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        break;
    }
  }
}

bool ServerCore::LetWorkersAccept(std::deque<Handover>* out) {
  std::unique_lock<std::mutex> lock(accept_mu_);
  if (listenerStopping_) return false;
  if (handovers_.empty() && !workersAccept_.load(std::memory_order_relaxed)) {
    // Set first: a connection already waiting raises its one edge at once,
    // and a worker that found the flag unset would drop it.
    workersAccept_.store(true, std::memory_order_release);
    size_t watched = 0;
    for (; watched < listeners_->Count(); ++watched) {
      if (!port_->WatchListener(listeners_->Descriptor(watched), static_cast<uint32_t>(watched))) {
        break;
      }
    }
    if (watched != listeners_->Count()) {
      // The port cannot watch them: this thread keeps accepting.
      workersAccept_.store(false, std::memory_order_release);
      while (watched > 0) port_->UnwatchListener(listeners_->Descriptor(--watched));
      listenerOnly_ = true;
      return true;
    }
  }
  // Bounded, so that the sweep runs while workers accept.
  handedOver_.wait_for(lock, kSweepPeriod,
                       [this] { return listenerStopping_ || !handovers_.empty(); });
  if (listenerStopping_) return false;
  out->swap(handovers_);
  return true;
}

void ServerCore::HandOver(Handover handover) {
  {
    std::lock_guard<std::mutex> lock(accept_mu_);
    if (listenerStopping_) return;  // the socket closes: the server stops
    handovers_.push_back(std::move(handover));
    if (workersAccept_.exchange(false, std::memory_order_acq_rel)) {
      for (size_t i = 0; i < listeners_->Count(); ++i) {
        port_->UnwatchListener(listeners_->Descriptor(i));
      }
    }
  }
  handedOver_.notify_one();
}

void ServerCore::AcceptOnWorker(size_t index) {
  // An event fetched before the listener thread took accepting over.
  if (!workersAccept_.load(std::memory_order_acquire)) return;
  // Connections that arrived together raise one event: take them all (a
  // burst at a time, then the turn passes on). The first is served here,
  // each other one by a worker of its own.
  struct Accepted {
    net::UniqueFd socket;
    sockaddr_in peer{};
  };
  Accepted accepted[kAcceptBurst];
  int count = 0;
  bool drained = false;
  for (int attempt = 0; attempt < 2 * kAcceptBurst && count < kAcceptBurst; ++attempt) {
    int error = 0;
    accepted[count].socket = listeners_->Accept(index, &accepted[count].peer, &error);
    if (accepted[count].socket.Valid()) {
      ++count;
      continue;
    }
    if (error == ECONNABORTED || error == EINTR) continue;  // the client went away
    if (error != EAGAIN && error != EWOULDBLOCK) HandOver({index, {}, accepted[count].peer, error});
    drained = true;
    break;
  }
  if (!drained) port_->PostCompletion(index, 0, 0, net::IoKind::Accept);
  for (int i = count - 1; i >= 0; --i) {
    uint32_t slot = 0;
    if (!PopFreeClientSlot(&slot, std::chrono::milliseconds(0))) {
      // Waiting for a slot is the listener thread's: a worker may be what frees it.
      HandOver({index, std::move(accepted[i].socket), accepted[i].peer, 0});
      continue;
    }
    StartConnection(slot, std::move(accepted[i].socket), accepted[i].peer);
    if (i > 0) port_->HandOnOwnCompletions();
  }
}

bool ServerCore::AcceptConnection(size_t index) {
  sockaddr_in peer{};
  int error = 0;
  net::UniqueFd socket = listeners_->Accept(index, &peer, &error);
  return AdmitConnection(index, std::move(socket), peer, error);
}

bool ServerCore::AdmitConnection(size_t index, net::UniqueFd socket, const sockaddr_in& peer,
                                 int error) {
  if (!socket.Valid() && OutOfResources(error)) {
    // Logged when it starts and when it ends, not at every retry.
    ++failedAccepts_;
    failedAcceptsSeen_.fetch_add(1, std::memory_order_relaxed);
    if (acceptBackoffMs_ == 0) {
      LogEvent(std::string("Attempt to accept connection failed! (") + std::strerror(error) +
               "); retrying with back-off");
      acceptBackoffMs_ = kFirstAcceptBackoffMs;
    } else {
      acceptBackoffMs_ = std::min(acceptBackoffMs_ * 2, kMaxAcceptBackoffMs);
    }
    acceptRetryIndex_ = index;
    return false;
  }
  if (acceptBackoffMs_ != 0) {
    LogEvent("Accepting connections again after " + std::to_string(failedAccepts_) +
             " failed attempts");
    acceptBackoffMs_ = 0;
    failedAccepts_ = 0;
  }
  if (!socket.Valid()) {
    // The client went away, or another accept took it: nothing to report.
    if (error == ECONNABORTED || error == EINTR) return true;  // the next may be there
    if (error != EAGAIN && error != EWOULDBLOCK) LogEvent("Attempt to accept connection failed!");
    return false;
  }
  uint32_t slot = 0;
  if (!PopFreeClientSlot(&slot) &&
      !(ShedSlowestHead() && PopFreeClientSlot(&slot, std::chrono::milliseconds(0)))) {
    LogOccurred(refusedLine_);
    return false;  // closing the socket is the whole answer; no slot for the next either
  }
  return StartConnection(slot, std::move(socket), peer);
}

void ServerCore::LogOccurred(RepeatedEventLine& line, std::string_view first) {
  for (const std::string& text : line.Occurred(RepeatedEventLine::Clock::now(), first)) {
    LogEvent(text);
  }
}

void ServerCore::LogRepeatedEvent(RepeatedEvent kind, const std::string& line) {
  switch (kind) {
    case RepeatedEvent::BudgetRefusal:
      LogOccurred(budgetLine_, line);
      return;
  }
  LogEvent(line);
}

bool ServerCore::ShedSlowestHead() {
  std::vector<std::pair<ClientConnection::WaitState, ClientConnection*>> heads;
  for (auto& client : clients_) {
    const ClientConnection::WaitState w = client->Waiting();
    if (w.wait == ClientConnection::Wait::Head) heads.emplace_back(w, client.get());
  }
  std::sort(heads.begin(), heads.end(),
            [](const auto& a, const auto& b) { return a.first.since < b.first.since; });
  // One a worker is inside has just moved on: the next oldest goes instead.
  for (const auto& [wait, client] : heads) {
    if (client->CloseIfWaiting(wait)) {
      LogOccurred(shedLine_);
      return true;
    }
  }
  return false;
}

void ServerCore::SweepWaits() {
  const auto now = std::chrono::steady_clock::now();
  if (now < nextSweep_) return;
  nextSweep_ = now + kSweepPeriod;
  if (!workers_.empty() && busyWorkers_.load(std::memory_order_relaxed) >= workers_.size()) {
    lastStarved_ = now;
  }
  for (auto& client : clients_) {
    const ClientConnection::WaitState w = client->Waiting();
    std::chrono::steady_clock::duration limit{};
    RepeatedEventLine* line = nullptr;
    switch (w.wait) {
      case ClientConnection::Wait::None:
        continue;
      case ClientConnection::Wait::Head:
        limit = kHeadDeadline;
        line = &headLine_;
        break;
      case ClientConnection::Wait::Body:
        limit = kBodyStallDeadline;
        line = &stallLine_;
        break;
      case ClientConnection::Wait::Draining:
        limit = kDrainDeadline;
        line = &drainLine_;
        break;
    }
    if (now - w.since < limit || now - lastStarved_ < limit) continue;
    if (client->CloseIfWaiting(w)) LogOccurred(*line);
  }
}

bool ServerCore::StartConnection(uint32_t slot, net::UniqueFd socket, const sockaddr_in& peer) {
  // Counted before the connection starts: a worker may answer and free the
  // slot before ResetClient even returns here.
  stats_.activeConnections.fetch_add(1, std::memory_order_relaxed);
  stats_.numConnects.fetch_add(1, std::memory_order_relaxed);
  // Accepted non-blocking already.
  if (!clients_[slot]->ResetClient(std::move(socket), peer, /*nonblocking=*/true)) {
    stats_.activeConnections.fetch_sub(1, std::memory_order_relaxed);
    stats_.numConnects.fetch_sub(1, std::memory_order_relaxed);
    LogEvent("Failed to intialize Client!");
    std::lock_guard<std::mutex> lock(slot_mu_);
    freeSlots_.push_back(slot);
    return false;
  }
  return true;
}

bool ServerCore::PopFreeClientSlot(uint32_t* slot, std::chrono::milliseconds grace) {
  std::unique_lock<std::mutex> lock(slot_mu_);
  if (!slotFreed_.wait_for(lock, grace, [this] { return !freeSlots_.empty(); })) {
    return false;
  }
  *slot = freeSlots_.front();
  freeSlots_.pop_front();
  return true;
}

void ServerCore::ReleaseClientSlot(uint32_t slot) {
  // Uncounted before the slot is free, so whoever sees the slot free also
  // sees the count without it.
  stats_.activeConnections.fetch_sub(1, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(slot_mu_);
    freeSlots_.push_back(slot);
  }
  slotFreed_.notify_one();
}

bool ServerCore::HasFreeClientSlot() const {
  std::lock_guard<std::mutex> lock(slot_mu_);
  return !freeSlots_.empty();
}

size_t ServerCore::FreeSlotsForTest() const {
  std::lock_guard<std::mutex> lock(slot_mu_);
  return freeSlots_.size();
}

size_t ServerCore::RetainedBytesForTest() const {
  size_t n = 0;
  for (const auto& client : clients_) n += client->RetainedBytesForTest();
  return n;
}

bool ServerCore::StartThread(void (ServerCore::*proc)(), pthread_t* thread) {
  // A worker parses and walks requests as deep as the XML parser accepts;
  // under the sanitizers that takes more than the 2 MB a thread gets from a
  // small stack limit, so the size does not depend on the environment.
  constexpr size_t kWorkerStackSize = size_t{16} << 20;
  struct Start {
    ServerCore* self;
    void (ServerCore::*proc)();
  };
  auto start = std::make_unique<Start>(Start{this, proc});
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  const bool started = pthread_attr_setstacksize(&attr, kWorkerStackSize) == 0 &&
                       pthread_create(
                           thread, &attr,
                           [](void* arg) -> void* {
                             std::unique_ptr<Start> s(static_cast<Start*>(arg));
                             (s->self->*s->proc)();
                             return nullptr;
                           },
                           start.get()) == 0;
  pthread_attr_destroy(&attr);
  if (started) start.release();  // the thread owns it
  return started;
}

bool ServerCore::RunOnLargeMessageThread(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(large_mu_);
    if (largeStopping_ || !largeThread_) return false;
    largeWork_.push_back(std::move(work));
  }
  largeReady_.notify_one();
  return true;
}

namespace {
// The server whose large-message queue this thread serves; null on every
// other thread and once the thread handed the queue on.
thread_local ServerCore* large_queue_owner = nullptr;
}  // namespace

void HandOffLargeMessageThread() {
  ServerCore* core = large_queue_owner;
  if (core != nullptr && core->StartLargeSuccessor()) large_queue_owner = nullptr;
}

bool ServerCore::StartLargeSuccessor() {
  std::lock_guard<std::mutex> lock(large_mu_);
  if (largeStopping_ || !largeThread_) return false;
  for (pthread_t t : largeDone_) pthread_join(t, nullptr);
  largeDone_.clear();
  pthread_t next;
  if (!StartThread(&ServerCore::LargeMessageThreadProc, &next)) return false;
  largeHandedOn_.push_back(*largeThread_);
  largeThread_ = next;
  return true;
}

void ServerCore::LargeMessageThreadProc() {
  (void)CoInitialize(nullptr);  // as a worker: requests create objects
  large_queue_owner = this;
  for (;;) {
    std::function<void()> work;
    {
      std::unique_lock<std::mutex> lock(large_mu_);
      largeReady_.wait(lock, [this] { return largeStopping_ || !largeWork_.empty(); });
      if (largeStopping_) return;
      work = std::move(largeWork_.front());
      largeWork_.pop_front();
    }
    work();
    if (large_queue_owner == nullptr) {  // handed on while it waited
      std::lock_guard<std::mutex> lock(large_mu_);
      const pthread_t self = pthread_self();
      std::erase_if(largeHandedOn_, [&](pthread_t t) { return pthread_equal(t, self); });
      if (!largeStopping_) largeDone_.push_back(self);
      return;
    }
  }
}

void ServerCore::WorkerThreadProc() {
  // Requests create objects (plug-ins, components): each worker enters an
  // apartment once and stays in it for its life.
  (void)CoInitialize(nullptr);
  net::Completion c;
  for (;;) {
    switch (port_->Wait(&c)) {
      case net::WaitResult::Shutdown:
        return;
      case net::WaitResult::TimedOut:
        continue;
      case net::WaitResult::Completed:
        busyWorkers_.fetch_add(1, std::memory_order_relaxed);
        if (c.kind == net::IoKind::Accept) {
          AcceptOnWorker(c.key);
        } else if (c.key < clients_.size()) {
          clients_[c.key]->OnIoComplete(c);
        } else if (c.key == kHeapTrimKey) {
          heapTrim_.Carry(c.generation);
        }
        busyWorkers_.fetch_sub(1, std::memory_order_relaxed);
        continue;
    }
  }
}

void ServerCore::OnWatchdog() {
  // Collect under the slot lock, close after it: a close takes the
  // connection lock, which a worker may hold for a long request.
  std::vector<std::pair<ClientConnection*, uint32_t>> expired;
  {
    std::lock_guard<std::mutex> lock(slot_mu_);
    for (auto& client : clients_) {
      uint32_t generation = 0;
      if (client->TimedOut(settings_.clientTimeout, &generation)) {
        expired.emplace_back(client.get(), generation);
      }
    }
  }
  for (const auto& [client, generation] : expired) {
    if (client->Expire(generation)) LogEvent("Client connection timeout");
  }
  for (RepeatedEventLine* line :
       {&refusedLine_, &shedLine_, &headLine_, &stallLine_, &drainLine_, &budgetLine_}) {
    if (std::optional<std::string> count = line->Flush(RepeatedEventLine::Clock::now())) {
      LogEvent(*count);
    }
  }
  if (dispatch_ != nullptr) dispatch_->OnWatchdog();
  if (wsdlCache_ != nullptr) {
    wsdlCache_->FlushIfPending(stats_.activeConnections.load(std::memory_order_relaxed));
  }
  if (logger_ != nullptr) logger_->RotateLogs();
  if (idleTrim_.Due(stats_.numConnects.load(std::memory_order_relaxed),
                    stats_.activeConnections.load(std::memory_order_relaxed))) {
    if (dispatch_ != nullptr) dispatch_->OnIdleTrim();
    com::ReleaseKeptMemory();
    malloc_trim(0);
    // What malloc_trim leaves: the top of each thread's heap, which only the
    // thread can give back.
    if (port_) {
      const uint32_t round = heapTrim_.Begin(workers_.size());
      for (size_t i = 0; i < workers_.size(); ++i) port_->PostCompletion(kHeapTrimKey, round, 0);
    }
    RunOnLargeMessageThread([] { GiveBackThisThreadsHeapTop(); });
  }
}

}  // namespace server
