// The running server: its listening sockets and listener thread, the
// completion port with its workers, the fixed pool of client slots with the
// free-slot queue, the watchdog pass, and the statistics counters.
//
// The workers accept: the port wakes one for a waiting connection, and it
// serves the request itself, with no hand-off between threads. While an
// accept finds no free slot or fails for want of descriptors, the listener
// thread takes accepting over (it can wait for a slot, back off, log) and
// hands it back once a slot is free and accepts succeed.
//
// Stopping never frees what a thread still uses: the listener is woken and
// joined, the port shut down and the workers joined (a worker inside a
// request finishes it first), and only then are connections and sockets
// released.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/net/completion_port.h"
#include "platform/net/listener.h"
#include "server/http/config.h"
#include "server/http/config_store.h"
#include "server/http/connection_host.h"
#include "server/http/heap_trim.h"
#include "server/http/protocol_info.h"
#include "server/http/request_budget.h"

namespace server {

class ClientConnection;
class SoapDispatch;
class RequestLogger;
class IdleFlush;

// Worker threads and client slots above these are clamped (and logged).
inline constexpr int kMaxWorkThreads = 256;
inline constexpr int kMaxClients = 16384;
// How long a new connection may wait for a slot before it is refused. A
// client that read its whole reply (by its Content-Length) reconnects while
// the worker that sent it is still finishing; its slot is a moment away.
inline constexpr std::chrono::milliseconds kSlotGrace{100};
// How often the listener thread looks for connections past their deadlines.
inline constexpr std::chrono::milliseconds kSweepPeriod{250};

// Counters of the statistics; relaxed atomics, exact under contention.
struct ServerStats {
  std::atomic<uint64_t> activeConnections{0};
  std::atomic<uint64_t> numConnects{0};
  std::atomic<uint64_t> numBytesSent{0};
  std::atomic<uint64_t> numHttpErrors{0};
  std::atomic<uint64_t> numIntErrors{0};
  std::atomic<uint64_t> numNetErrors{0};
};

// One event line that may repeat thousands of times a second under load: the
// first occurrence is written, later ones within the window are only counted,
// and the count is written once the window is over. Thread-safe.
class RepeatedEventLine {
 public:
  using Clock = std::chrono::steady_clock;
  explicit RepeatedEventLine(std::string line, Clock::duration window = std::chrono::minutes(1))
      : line_(std::move(line)), window_(window) {}

  // The lines to write for one occurrence at `now`: none, the line (`first`
  // in its place when given), or the count of an earlier window followed by
  // the line.
  std::vector<std::string> Occurred(Clock::time_point now, std::string_view first = {});
  // The count line once the window is over and something was held back.
  std::optional<std::string> Flush(Clock::time_point now);

 private:
  std::optional<std::string> CloseWindow(Clock::time_point now);  // mu_ held

  const std::string line_;
  const Clock::duration window_;
  std::mutex mu_;
  bool open_ = false;         // Guarded by mu_.
  Clock::time_point opened_;  // Guarded by mu_.
  uint64_t suppressed_ = 0;   // Guarded by mu_.
};

// When the watchdog gives the allocator's free pages back to the system. A
// large request leaves its many small blocks freed but resident; trimming
// while requests keep coming would only make the next ones fault their pages
// in again (several times the parse itself), so it waits for the load to end:
// a pass that finds no connection open and none accepted since the previous
// pass, after some were accepted since the last trim. Watchdog thread only.
class IdleTrim {
 public:
  // `connects` counts the connections ever accepted, `open` those open now.
  bool Due(uint64_t connects, uint64_t open);

 private:
  uint64_t seen_ = 0;     // connects at the previous pass
  uint64_t trimmed_ = 0;  // connects at the last trim
};

// Called by a request about to wait on the network (a forward, a reverse-path
// post): when it runs on the large-message thread, a new thread takes over
// that thread's queue, so other large requests (a next hop of this server
// among them) go on; the calling thread ends once its request is done.
// Elsewhere nothing.
void HandOffLargeMessageThread();

class ServerCore final : public ConnectionHost {
 public:
  using EventSink = std::function<void(const std::string& line)>;

  // `store` gives each request its snapshot; `logger` (may be null) writes
  // the server and user-agent logs; `logEvent` receives operational lines.
  ServerCore(const ServerSettings& settings, ConfigStore& store, RequestLogger* logger,
             EventSink logEvent);
  ~ServerCore();  // stops
  ServerCore(const ServerCore&) = delete;
  ServerCore& operator=(const ServerCore&) = delete;

  // Port, workers, slots, listening sockets and listener thread, in that
  // order; the first failure is logged with its line and returns false
  // (what was made stays until StopServer). Each listening socket's bound
  // port is logged as "Listening on <address>:<port>".
  bool StartServer(const std::vector<ProtocolInfo>& protocols);
  // Idempotent; see the file comment.
  void StopServer();

  // One watchdog pass: closes connections older than the client time-out,
  // flushes the WSDL cache when asked and idle, rotates the logs when due,
  // and once a load has ended (IdleTrim) frees what the modules keep and has
  // every thread give its heap back. Runs on the service thread's timer.
  void OnWatchdog();

  // The SOAP processing of endpoints (null: POSTs get the 500 page and GETs
  // the endpoint page). Set before StartServer; not owned.
  void SetSoapDispatch(SoapDispatch* dispatch) { dispatch_ = dispatch; }
  // The WSDL cache the watchdog flushes when asked and no connection is open.
  // Set before StartServer; not owned.
  void SetWsdlCache(IdleFlush* cache) { wsdlCache_ = cache; }

  size_t NumListeningSockets() const { return listeners_ ? listeners_->Count() : 0; }
  uint16_t ListeningPort(size_t index) const { return listeners_ ? listeners_->Port(index) : 0; }
  const ServerStats& Stats() const { return stats_; }
  const ServerSettings& Settings() const { return settings_; }
  size_t FreeSlotsForTest() const;
  // accept() calls that failed for want of descriptors or memory.
  uint64_t FailedAcceptsForTest() const { return failedAcceptsSeen_.load(); }
  // What the idle connections keep allocated for their next requests.
  size_t RetainedBytesForTest() const;
  // Idle trims in which every worker trimmed its own heap.
  uint64_t HeapTrimRoundsForTest() { return heapTrim_.CompletedForTest(); }

  // ---- ConnectionHost: for the connections --------------------------------
  net::CompletionPort& Port() override { return *port_; }
  ConfigSnapshotPtr Config() const override { return store_.Current(); }
  bool EnableNameLookup() const override { return settings_.enableNameLookup; }
  SoapDispatch* Dispatch() const override { return dispatch_; }
  RequestLogger* Logger() const override { return logger_; }
  void LogEvent(const std::string& line) const override;
  // Budget refusals: the first of a minute written whole, the rest counted.
  void LogRepeatedEvent(RepeatedEvent kind, const std::string& line) override;
  void ReleaseClientSlot(uint32_t slot) override;
  bool RunOnLargeMessageThread(std::function<void()> work) override;
  void AddBytesSent(uint64_t n) override {
    stats_.numBytesSent.fetch_add(n, std::memory_order_relaxed);
  }
  void CountHTTPError() override { stats_.numHttpErrors.fetch_add(1, std::memory_order_relaxed); }
  void CountInternalError() override {
    stats_.numIntErrors.fetch_add(1, std::memory_order_relaxed);
  }
  void CountNetError() override { stats_.numNetErrors.fetch_add(1, std::memory_order_relaxed); }
  RequestBudget* Budget() override { return &budget_; }
  std::chrono::seconds ClientTimeout() const override {
    return std::chrono::seconds(std::max(settings_.clientTimeout, 0));
  }

 private:
  // What a worker's accept hands to the listener thread: a connection that
  // found no free slot, or an accept's failure.
  struct Handover {
    size_t index = 0;
    net::UniqueFd socket;
    sockaddr_in peer{};
    int error = 0;
  };
  void ListenerThreadProc();
  // Lets the workers accept, then waits for a handover (true, taken into
  // *out) or the stop (false). True with nothing taken when the port cannot
  // watch the listening sockets: this thread accepts from then on.
  bool LetWorkersAccept(std::deque<Handover>* out);
  // One accept on listening socket `index`; false when none was waiting (or
  // it failed), so a burst is taken without a poll between its connections.
  bool AcceptConnection(size_t index);
  // The listener thread's part of an accept's outcome: an invalid socket
  // with its error, or a connection to find a slot for (waiting up to
  // kSlotGrace). Returns as AcceptConnection.
  bool AdmitConnection(size_t index, net::UniqueFd socket, const sockaddr_in& peer, int error);
  // A worker woken for a waiting connection on listening socket `index`.
  void AcceptOnWorker(size_t index);
  // Stops the workers' accepts and gives `handover` to the listener thread.
  void HandOver(Handover handover);
  // Starts serving `socket` in `slot`; false (the slot freed) when it cannot.
  bool StartConnection(uint32_t slot, net::UniqueFd socket, const sockaddr_in& peer);
  // Starts a thread with a worker's fixed stack size; false when it cannot.
  bool StartThread(void (ServerCore::*proc)(), pthread_t* thread);
  void WorkerThreadProc();
  // Large requests are processed here, one after the other, so that the
  // allocator grows one thread's heap for them rather than every worker's.
  void LargeMessageThreadProc();
  // Starts a thread that takes the large-message queue over from the calling
  // one; false (nothing changed) when the server stops or no thread starts.
  bool StartLargeSuccessor();
  friend void HandOffLargeMessageThread();
  // The slot at the head of the free queue; false when none is free.
  // Waits up to `grace` for one when none is free.
  bool PopFreeClientSlot(uint32_t* slot, std::chrono::milliseconds grace = kSlotGrace);
  bool HasFreeClientSlot() const;
  // Every slot taken: closes the connection that has waited longest for its
  // request head, so a new client is admitted in its place. False when none
  // waits for a head (every slot is in real use).
  bool ShedSlowestHead();
  // Closes connections past their head, body-stall or drain deadline; at
  // most once per kSweepPeriod. Listener thread.
  void SweepWaits();
  void LogOccurred(RepeatedEventLine& line, std::string_view first = {});

  const ServerSettings settings_;
  RequestBudget budget_{RequestBudget::MachineMemoryShare(), kMaxDimeStorageBytes};
  ConfigStore& store_;
  RequestLogger* const logger_;
  const EventSink logEvent_;
  SoapDispatch* dispatch_ = nullptr;
  IdleFlush* wsdlCache_ = nullptr;

  std::unique_ptr<net::CompletionPort> port_;
  std::unique_ptr<net::ListenerSet> listeners_;
  std::vector<pthread_t> workers_;
  std::optional<pthread_t> largeThread_;
  // Leaf lock of the large-message thread's queue.
  std::mutex large_mu_;
  std::condition_variable largeReady_;
  std::deque<std::function<void()>> largeWork_;  // Guarded by large_mu_.
  bool largeStopping_ = false;                   // Guarded by large_mu_.
  // Threads that handed the queue on: still in their request, and done
  // (exiting, joined by the next hand-off or at stop).
  std::vector<pthread_t> largeHandedOn_;  // Guarded by large_mu_.
  std::vector<pthread_t> largeDone_;      // Guarded by large_mu_.
  std::thread listener_;
  std::vector<std::unique_ptr<ClientConnection>> clients_;

  // Leaf lock of the free-slot queue.
  mutable std::mutex slot_mu_;
  std::deque<uint32_t> freeSlots_;  // Guarded by slot_mu_.
  std::condition_variable slotFreed_;

  ServerStats stats_;
  bool stopped_ = false;

  // Leaf lock of who accepts. The listening sockets are in the port's set
  // exactly while workersAccept_ holds.
  std::mutex accept_mu_;
  std::condition_variable handedOver_;
  std::deque<Handover> handovers_;         // Guarded by accept_mu_.
  std::atomic<bool> workersAccept_{false};  // Written under accept_mu_.
  bool listenerStopping_ = false;          // Guarded by accept_mu_.

  RepeatedEventLine refusedLine_{"At full capacity...refused connection!"};
  RepeatedEventLine shedLine_{
      "At full capacity: closed the connection waiting longest for its request head"};
  RepeatedEventLine headLine_{"Request head not received in time: connection closed"};
  RepeatedEventLine stallLine_{"Request body stalled: connection closed"};
  RepeatedEventLine drainLine_{"Input still coming after an error page: connection closed"};
  RepeatedEventLine budgetLine_{"Request refused for the server's budget:"};
  std::chrono::steady_clock::time_point nextSweep_;  // listener thread only
  // Workers inside a completion. While all are, no client's bytes are read,
  // so no client is late: the sweep closes a connection only when it saw a
  // worker free throughout its deadline (lastStarved_, listener thread only).
  std::atomic<size_t> busyWorkers_{0};
  std::chrono::steady_clock::time_point lastStarved_;
  IdleTrim idleTrim_;
  // The key of the completions that ask a worker to trim its heap: above
  // every slot's.
  static constexpr uint64_t kHeapTrimKey = UINT64_MAX;
  HeapTrimRound heapTrim_;
  // Listener thread only (handovers included): the pause before the next
  // accept while out of descriptors (0 = accepting normally), the listening
  // socket to retry, the accepts that failed meanwhile, and whether the port
  // could not watch the listening sockets (this thread accepts for good).
  int acceptBackoffMs_ = 0;
  bool listenerOnly_ = false;
  size_t acceptRetryIndex_ = 0;
  uint64_t failedAccepts_ = 0;
  std::atomic<uint64_t> failedAcceptsSeen_{0};
};

}  // namespace server
