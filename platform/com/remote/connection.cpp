#include "platform/com/remote/connection.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/internal/vartype.h"
#include "platform/com/object.h"
#include "platform/com/remote/wire.h"
#include "platform/com/variant.h"
#include "platform/thread/message_loop.h"

namespace com::remote::internal {

namespace {

// Answers QueryInterface on our proxies only, so an encoder can tell a proxy
// of the same connection (sent back as the peer's own id) from a local object.
constexpr IID kIidRemoteProxy = {
    0x6C1D0F43, 0x2A7B, 0x4E59, {0x9B, 0x61, 0x0D, 0x3E, 0x84, 0x27, 0xC5, 0x1A}};

// Object references on the wire.
enum : uint8_t {
  kRefNull = 0,
  kRefStruct = 1,  // a SoapStruct by value: its members follow
  kRefSender = 2,  // an object the sender exports: id, dispatch flag
  kRefYours = 3,   // one the receiver exported: id
};

constexpr size_t kMaxStructMembers = 1 << 20;
// How long the reader thread stays off after the home thread's call.
constexpr std::chrono::microseconds kReaderLinger{1000};

}  // namespace

struct ThreadContext {
  ~ThreadContext() {
    if (event_fd >= 0) close(event_fd);
  }
  DWORD thread = 0;
  std::mutex mu;
  std::condition_variable cv;
  uint64_t wakes = 0;                       // Guarded by mu.
  std::deque<std::function<void()>> tasks;  // Guarded by mu.
  // While the thread waits in poll on a socket it reads itself, wake-ups
  // also go through this descriptor (made by the thread, on first use).
  int event_fd = -1;     // Guarded by mu.
  bool polling = false;  // Guarded by mu.
};

namespace {

thread_local std::shared_ptr<ThreadContext> t_context;

std::shared_ptr<ThreadContext> ThisThread() {
  if (!t_context) {
    MSG msg;
    PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue calls are posted to
    t_context = std::make_shared<ThreadContext>();
    t_context->thread = GetCurrentThreadId();
  }
  return t_context;
}

void Signal(int event_fd) {
  if (event_fd < 0) return;
  const uint64_t one = 1;
  (void)!write(event_fd, &one, sizeof one);
}

void Drain(int event_fd) {
  uint64_t count;
  (void)!read(event_fd, &count, sizeof count);
}

void Wake(ThreadContext& c) {
  int event_fd = -1;
  {
    std::lock_guard lock(c.mu);
    ++c.wakes;
    if (c.polling) event_fd = c.event_fd;
  }
  c.cv.notify_all();
  Signal(event_fd);
}

bool HasTask(ThreadContext& c) {
  std::lock_guard lock(c.mu);
  return !c.tasks.empty();
}

std::function<void()> TakeTask(ThreadContext& c) {
  std::lock_guard lock(c.mu);
  if (c.tasks.empty()) return nullptr;
  std::function<void()> task = std::move(c.tasks.front());
  c.tasks.pop_front();
  return task;
}

// The message loop's side: runs the oldest task of this thread.
void RunPostedTask(WPARAM) {
  if (!t_context) return;
  if (std::function<void()> task = TakeTask(*t_context)) task();
}

// Queues `task` for the thread and posts the message that runs it; false,
// and nothing queued, when the thread's queue refuses the post.
bool Post(ThreadContext& c, std::function<void()> task) {
  int event_fd = -1;
  {
    std::lock_guard lock(c.mu);
    if (!PostThreadMessage(c.thread, WM_QV_POSTED_CALL, 0,
                           reinterpret_cast<LPARAM>(&RunPostedTask))) {
      return false;
    }
    c.tasks.push_back(std::move(task));
    ++c.wakes;
    if (c.polling) event_fd = c.event_fd;
  }
  c.cv.notify_all();
  Signal(event_fd);
  return true;
}

// A waiting thread runs a task itself; the message posted for it is taken
// too, so a thread that never runs its loop does not fill its queue.
bool RunTaskWhileWaiting(ThreadContext& c) {
  std::function<void()> task = TakeTask(c);
  if (!task) return false;
  MSG msg;
  if (PeekMessage(&msg, nullptr, WM_QV_POSTED_CALL, WM_QV_POSTED_CALL, PM_NOREMOVE) &&
      msg.message == WM_QV_POSTED_CALL) {
    PeekMessage(&msg, nullptr, WM_QV_POSTED_CALL, WM_QV_POSTED_CALL, PM_REMOVE);
  }
  task();
  return true;
}

// Frees the value of type `vt` stored at `data` (a by-reference target).
void FreeValueAt(VARTYPE vt, void* data) {
  VARIANT old;
  VariantInit(&old);
  old.vt = vt;
  if (vt & VT_ARRAY) {
    old.parray = *static_cast<SAFEARRAY**>(data);
  } else if (vt == VT_BSTR) {
    old.bstrVal = *static_cast<BSTR*>(data);
  } else if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
    old.punkVal = *static_cast<IUnknown**>(data);
  } else {
    return;  // scalars own nothing
  }
  VariantClear(&old);
}

// Bytes a by-reference out value occupies where its pointer points.
size_t ValueBytes(VARTYPE vt) {
  return (vt & VT_ARRAY) ? sizeof(SAFEARRAY*) : ::com::internal::ElementSize(vt);
}

void ClearExcepInfo(EXCEPINFO* e) {
  SysFreeString(e->bstrSource);
  SysFreeString(e->bstrDescription);
  SysFreeString(e->bstrHelpFile);
  *e = EXCEPINFO{};
}

}  // namespace

class RemoteObject;

class Connection final : public std::enable_shared_from_this<Connection>, public LoopWaitSource {
 public:
  enum class Role { Client, Server };

  Connection(int fd, Role role, IUnknown* class_object, std::weak_ptr<ThreadContext> home,
             std::function<void()> on_closed)
      : fd_(fd),
        role_(role),
        class_object_(class_object),
        on_closed_(std::move(on_closed)),
        home_(std::move(home)) {}
  ~Connection() {
    if (reader_.joinable()) reader_.detach();  // only when closed from the reader itself
    if (fd_ >= 0) close(fd_);
  }

  void Start() {
    // The home thread idle in its loop reads what comes itself.
    if (std::shared_ptr<ThreadContext> home = home_.lock()) {
      AddLoopWaitSource(home->thread, weak_from_this());
    }
    // Under the lock: the reader may close the connection before this
    // assignment would otherwise be seen.
    std::lock_guard lock(mu_);
    reader_ = std::thread([self = shared_from_this()] { self->ReadLoop(); });
  }

  // The home thread's message loop, idle: it waits on the socket too and
  // takes the whole frames that came, never waiting inside one.
  int BeginWait() override;
  void EndWait(bool ready) override;

  HRESULT Create(REFIID iid, void** object);
  HRESULT Invoke(uint64_t id, DISPID member, LCID lcid, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* excep, UINT* arg_err);
  HRESULT GetIDsOfNames(uint64_t id, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
  void DropImport(RemoteObject* proxy, uint64_t id, uint64_t owed);
  void Close();

  FramesRead ReadCounts() {
    std::lock_guard lock(mu_);
    return frames_read_;
  }
  bool HomeWaits() {
    std::lock_guard lock(mu_);
    return home_waits_;
  }

  // Object references, for the codec of one message.
  HRESULT EncodeObject(Writer& w, IUnknown* object, int depth, std::vector<uint64_t>* exported);
  HRESULT DecodeObject(Reader& r, bool dispatch, IUnknown** out, int depth);
  void Unexport(uint64_t id, uint64_t count);

 private:
  struct Pending {
    std::shared_ptr<ThreadContext> waiter;
    bool done = false;
    HRESULT failure = S_OK;
    std::string payload;
  };
  struct Export {
    ComPtr<IUnknown> identity;
    ComPtr<IDispatch> dispatch;
    uint64_t refs = 0;
  };

  static Writer NewFrame() {
    Writer w;
    w.buffer().resize(kFrameHeaderBytes);
    return w;
  }
  HRESULT Send(Writer& w, FrameType type, uint32_t call_id);
  HRESULT Call(Writer& w, FrameType type, std::string* reply);
  void ReadLoop();
  // Hands a frame read by either reader to where it goes; false for a frame
  // that is not of our protocol.
  bool Dispatch(Frame frame);
  // The home thread waiting for a reply reads the socket itself, so the reply
  // needs no hand-off from the reader thread. Waits once (for input, a wake-up
  // or the deadline) and reads a frame when one came; false, without
  // waiting, once reading has ended.
  bool LeadRead(ThreadContext& me, uint64_t seen, std::chrono::steady_clock::time_point deadline);
  // The home thread no longer waits to read: the reader thread reads again
  // after a short linger, or at once when another thread waits for a reply
  // or `hand_over` (the start of a frame is held that the home will not wait for).
  void StopLeading(bool hand_over = false);
  // A read by the home thread ended the input: the reader thread's end
  // fails what waits, as for its own reads.
  void EndInput();
  void EndLinger();
  // The reader thread is done with a frame.
  void YieldRead(uint64_t frames);
  void Deliver(FrameType type, uint32_t call_id, std::string payload);
  void Serve(FrameType type, uint32_t call_id, const std::string& payload);
  HRESULT ServeCreate(Reader& r, Writer& reply);
  HRESULT ServeInvoke(Reader& r, Writer& reply, std::vector<Variant>* held);
  HRESULT ServeGetIDsOfNames(Reader& r, Writer& reply);
  void ServeRelease(const std::string& payload);
  // Called once a reply that Call gave has been read.
  void ReplyRead();
  struct ReplyGuard {
    Connection& c;
    ~ReplyGuard() { c.ReplyRead(); }
  };
  bool Closed() {
    std::lock_guard lock(mu_);
    return closed_;
  }
  // The exported object's IDispatch; RPC_E_DISCONNECTED for an object the
  // peer no longer holds, E_NOINTERFACE for one without IDispatch.
  HRESULT FindExport(uint64_t id, ComPtr<IDispatch>* target) {
    std::lock_guard lock(mu_);
    auto it = exports_.find(id);
    if (it == exports_.end()) return RPC_E_DISCONNECTED;
    *target = it->second.dispatch;
    return *target ? S_OK : E_NOINTERFACE;
  }

  const int fd_;
  const Role role_;
  ComPtr<IUnknown> class_object_;
  std::function<void()> on_closed_;
  std::weak_ptr<ThreadContext> home_;
  std::thread reader_;  // Guarded by mu_.
  std::mutex send_mu_;

  std::mutex mu_;
  bool broken_ = false;                                  // Guarded by mu_.
  bool closed_ = false;                                  // Guarded by mu_.
  uint32_t next_call_ = 1;                               // Guarded by mu_.
  std::unordered_map<uint32_t, Pending*> pending_;       // Guarded by mu_.
  uint64_t next_export_ = 1;                             // Guarded by mu_.
  std::unordered_map<uint64_t, Export> exports_;         // Guarded by mu_.
  std::unordered_map<IUnknown*, uint64_t> export_ids_;   // Guarded by mu_.
  std::unordered_map<uint64_t, RemoteObject*> imports_;  // Guarded by mu_.
  // Replies received but not yet read, and the releases waiting for them: a
  // reply may name an object the peer released just after sending it.
  int replies_in_hand_ = 0;                                       // Guarded by mu_.
  std::vector<std::pair<uint64_t, uint64_t>> deferred_releases_;  // Guarded by mu_.
  // Who reads the socket now: one thread at a time reads a whole frame.
  enum class Reading { None, Reader, Home };
  Reading reading_ = Reading::None;  // Guarded by mu_.
  bool home_waits_ = false;          // Guarded by mu_; the reader thread stays off.
  bool reader_parked_ = false;       // Guarded by mu_; waiting for home_waits_ to end.
  // Times the home thread stopped waiting: while it keeps starting again the
  // reader thread looks again after a linger rather than parking, so that
  // each stop needs no wake-up.
  uint64_t lead_ends_ = 0;  // Guarded by mu_.
  // Until then the reader thread stays off after the home thread's call too:
  // calls in a row would otherwise wake it twice each.
  std::chrono::steady_clock::time_point linger_until_{};  // Guarded by mu_.
  bool read_ended_ = false;  // Guarded by mu_; the input ended or broke.
  FramesRead frames_read_;   // Guarded by mu_.
  // Frames came since the home thread's loop last began to wait on the
  // socket (a new connection expects its first call): the loop waits on it.
  bool traffic_ = true;  // Guarded by mu_.
  // Used by whichever thread holds the turn to read (reading_). That thread
  // hands on every whole frame it holds before giving the turn up, so what
  // stays held is only the start of a frame whose rest the socket brings:
  // the next reader may wait on the socket alone.
  FrameReader frames_;
  std::condition_variable token_cv_;  // the reader thread waits for its turn
};

// The codec of one message: rolls back what it exported when the message
// cannot be sent.
class Marshal final : public ObjectCodec {
 public:
  explicit Marshal(Connection& c) : c_(c) {}
  HRESULT EncodeObject(Writer& w, IUnknown* object, int depth) override {
    return c_.EncodeObject(w, object, depth, &exported_);
  }
  HRESULT DecodeObject(Reader& r, bool dispatch, IUnknown** out, int depth) override {
    return c_.DecodeObject(r, dispatch, out, depth);
  }
  void RollBack() {
    for (uint64_t id : exported_) c_.Unexport(id, 1);
    exported_.clear();
  }

 private:
  Connection& c_;
  std::vector<uint64_t> exported_;
};

// A proxy of an object of the peer.
class RemoteObject final : public IDispatch {
 public:
  RemoteObject(std::shared_ptr<Connection> c, uint64_t id, bool dispatch)
      : c_(std::move(c)), id_(id), dispatch_(dispatch) {}

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == kIidRemoteProxy || (iid == IID_IDispatch && dispatch_)) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return refs_.fetch_add(1) + 1; }
  ULONG Release() override {
    const ULONG left = refs_.fetch_sub(1) - 1;
    if (left == 0) {
      std::shared_ptr<Connection> c = c_;  // outlives this
      c->DropImport(this, id_, owed_.load());
      delete this;
    }
    return left;
  }
  // A new reference unless the proxy is already dying.
  bool TryAddRef() {
    ULONG n = refs_.load();
    while (n != 0) {
      if (refs_.compare_exchange_weak(n, n + 1)) return true;
    }
    return false;
  }
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return c_->GetIDsOfNames(id_, names, count, lcid, ids);
  }
  HRESULT Invoke(DISPID member, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT* arg_err) override {
    return c_->Invoke(id_, member, lcid, flags, params, result, excep, arg_err);
  }

  Connection* connection() const { return c_.get(); }
  const std::shared_ptr<Connection>& connection_ptr() const { return c_; }
  uint64_t id() const { return id_; }
  bool dispatch() const { return dispatch_; }
  void AddOwed() { owed_.fetch_add(1); }

 private:
  ~RemoteObject() = default;

  const std::shared_ptr<Connection> c_;
  const uint64_t id_;
  const bool dispatch_;
  std::atomic<ULONG> refs_{1};
  std::atomic<uint64_t> owed_{1};  // references the peer counts for us
};

// ---- Sending and waiting -------------------------------------------------

HRESULT Connection::Send(Writer& w, FrameType type, uint32_t call_id) {
  std::string& buf = w.buffer();
  if (buf.size() - 4 > kMaxFrameBytes) return E_INVALIDARG;
  const uint32_t length = uint32_t(buf.size() - 4);
  memcpy(&buf[0], &length, 4);
  buf[4] = char(type);
  memcpy(&buf[5], &call_id, 4);
  std::lock_guard lock(send_mu_);
  const char* p = buf.data();
  size_t n = buf.size();
  while (n > 0) {
    const ssize_t sent = send(fd_, p, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      shutdown(fd_, SHUT_RDWR);  // the reader notices and fails what waits
      return RPC_E_DISCONNECTED;
    }
    p += sent;
    n -= size_t(sent);
  }
  return S_OK;
}

HRESULT Connection::Call(Writer& w, FrameType type, std::string* reply) {
  const std::shared_ptr<ThreadContext> me = ThisThread();
  Pending pending;
  pending.waiter = me;
  uint32_t id = 0;
  {
    std::lock_guard lock(mu_);
    if (broken_) return RPC_E_DISCONNECTED;
    id = next_call_++;
    if (id == 0) id = next_call_++;
    pending_[id] = &pending;
  }
  auto forget = [&] {
    std::lock_guard lock(mu_);
    pending_.erase(id);
  };
  if (const HRESULT hr = Send(w, type, id); FAILED(hr)) {
    forget();
    return hr;
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kCallTimeoutMs);
  const std::shared_ptr<ThreadContext> home = home_.lock();
  const bool lead = home == me;
  if (!lead) EndLinger();  // our reply needs the reader thread
  bool timed_out = false;
  while (true) {
    uint64_t seen = 0;
    {
      std::lock_guard lock(me->mu);
      seen = me->wakes;
    }
    {
      std::lock_guard lock(mu_);
      if (pending.done) {
        pending_.erase(id);
        break;
      }
    }
    if (HasTask(*me)) {
      // A served call may block on a thread that needs the reader thread.
      if (lead) StopLeading();
      if (RunTaskWhileWaiting(*me)) continue;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      timed_out = true;
    } else if (lead && LeadRead(*me, seen, deadline)) {
      continue;
    } else {
      std::unique_lock lock(me->mu);
      timed_out = !me->cv.wait_until(lock, deadline, [&] { return me->wakes != seen; });
    }
    if (timed_out) {
      std::lock_guard conn_lock(mu_);
      pending_.erase(id);  // a reply that came meanwhile is still taken
      break;
    }
  }
  if (lead) StopLeading();
  if (timed_out && !pending.done) return RPC_E_TIMEOUT;
  if (FAILED(pending.failure)) return pending.failure;
  *reply = std::move(pending.payload);
  return S_OK;
}

bool Connection::LeadRead(ThreadContext& me, uint64_t seen,
                          std::chrono::steady_clock::time_point deadline) {
  int event_fd = -1;
  {
    std::lock_guard lock(me.mu);
    if (me.event_fd < 0) me.event_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    event_fd = me.event_fd;
  }
  if (event_fd < 0) return false;  // out of descriptors: the reader thread reads
  bool busy = false;
  {
    std::lock_guard lock(mu_);
    if (read_ended_ || closed_) return false;  // the reader's end fails what waits
    home_waits_ = true;  // from here on the reader thread starts no frame
    busy = reading_ != Reading::None;  // it finishes the one it is in, then wakes us
  }
  bool woken = false;
  {
    std::lock_guard lock(me.mu);
    woken = me.wakes != seen;
    me.polling = !woken;
  }
  if (woken) return true;
  // A negative descriptor is ignored: while the reader thread is in a frame
  // only a wake-up ends the wait.
  pollfd fds[2] = {{busy ? -1 : fd_, POLLIN, 0}, {event_fd, POLLIN, 0}};
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  const int ready = poll(fds, 2, int(std::clamp<int64_t>(left.count(), 0, 1 << 30)));
  {
    std::lock_guard lock(me.mu);
    me.polling = false;
  }
  if (ready <= 0) return true;
  if (fds[1].revents) Drain(event_fd);
  if (!fds[0].revents) return true;
  {
    std::lock_guard lock(mu_);
    if (reading_ != Reading::None) return true;  // the reader thread got there first
    reading_ = Reading::Home;
  }
  Frame frame;
  const int64_t deadline_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline.time_since_epoch()).count();
  uint64_t frames = 0;
  bool ok = frames_.Read(fd_, &frame, deadline_ms);
  while (ok && frames_.HasFrame()) {
    ++frames;
    ok = Dispatch(std::move(frame)) && frames_.Read(fd_, &frame, deadline_ms);
  }
  if (ok) ++frames;
  {
    std::lock_guard lock(mu_);
    reading_ = Reading::None;
    frames_read_.by_waiters += frames;
    traffic_ = traffic_ || frames != 0;
  }
  if (ok) ok = Dispatch(std::move(frame));
  if (!ok) EndInput();
  return true;
}

void Connection::EndInput() {
  {
    std::lock_guard lock(mu_);
    read_ended_ = true;
  }
  shutdown(fd_, SHUT_RDWR);
  token_cv_.notify_all();
}

int Connection::BeginWait() {
  {
    std::lock_guard lock(mu_);
    // Not while the reader thread is in a frame, nor past the start of one:
    // the loop never waits inside a frame.
    if (closed_ || read_ended_ || reading_ != Reading::None || frames_.HoldsBytes()) return -1;
    if (traffic_) {
      traffic_ = false;
      home_waits_ = true;
      return fd_;
    }
    // A quiet connection stays with its reader thread, so that the
    // connection in use costs the others no wake-ups; it reads at once.
    if (linger_until_ <= std::chrono::steady_clock::now()) return -1;
    linger_until_ = {};
  }
  token_cv_.notify_all();
  return -1;
}

void Connection::EndWait(bool ready) {
  {
    std::lock_guard lock(mu_);
    if (!home_waits_) return;  // it waited without our socket
    ready = ready && reading_ == Reading::None;
    if (ready) reading_ = Reading::Home;
  }
  if (!ready) {
    StopLeading();
    return;
  }
  Frame frame;
  uint64_t frames = 0;
  FrameReader::Took took = frames_.TryRead(fd_, &frame);
  bool ok = took != FrameReader::Took::End;
  while (took == FrameReader::Took::Frame) {
    ++frames;
    ok = Dispatch(std::move(frame));
    if (!ok || !frames_.HasFrame()) break;
    took = frames_.TryRead(fd_, &frame);
    ok = took != FrameReader::Took::End;
  }
  const bool partial = ok && frames_.HoldsBytes();
  {
    std::lock_guard lock(mu_);
    reading_ = Reading::None;
    frames_read_.by_waiters += frames;
    traffic_ = traffic_ || frames != 0;
  }
  if (!ok) EndInput();
  StopLeading(/*hand_over=*/partial);
}

void Connection::StopLeading(bool hand_over) {
  bool wake = false;
  {
    std::lock_guard lock(mu_);
    if (!home_waits_) return;
    home_waits_ = false;
    ++lead_ends_;
    // Another thread's reply must not wait for the home thread's next wait.
    const bool others = std::any_of(pending_.begin(), pending_.end(), [](const auto& entry) {
      return !entry.second->done && entry.second->waiter != t_context;
    });
    if (others || hand_over) {
      linger_until_ = {};
      wake = true;
    } else {
      linger_until_ = std::chrono::steady_clock::now() + kReaderLinger;
      wake = reader_parked_;
    }
  }
  if (wake) token_cv_.notify_all();
}

void Connection::EndLinger() {
  {
    std::lock_guard lock(mu_);
    if (linger_until_ == std::chrono::steady_clock::time_point{}) return;
    linger_until_ = {};
  }
  token_cv_.notify_all();
}

void Connection::YieldRead(uint64_t frames) {
  std::shared_ptr<ThreadContext> home;
  {
    std::lock_guard lock(mu_);
    reading_ = Reading::None;
    frames_read_.by_reader += frames;
    traffic_ = traffic_ || frames != 0;
    if (home_waits_) home = home_.lock();
  }
  if (home) Wake(*home);
}

// ---- The reader ----------------------------------------------------------

void Connection::ReadLoop() {
  uint64_t seen_ends = 0;
  while (true) {
    {
      std::unique_lock lock(mu_);
      while (!closed_ && !read_ended_) {
        const auto now = std::chrono::steady_clock::now();
        if (home_waits_ && lead_ends_ != seen_ends) {
          // The home thread reads in bursts (calls in a row): look again later.
          seen_ends = lead_ends_;
          token_cv_.wait_until(lock, now + kReaderLinger);
        } else if (home_waits_) {
          reader_parked_ = true;
          token_cv_.wait(lock);
          reader_parked_ = false;
        } else if (now < linger_until_) {
          seen_ends = lead_ends_;
          token_cv_.wait_until(lock, linger_until_);
        } else {
          break;
        }
      }
      if (closed_ || read_ended_) break;
    }
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    {
      std::lock_guard lock(mu_);
      // The home thread waiting for a reply reads what came itself.
      if (home_waits_ || reading_ != Reading::None) continue;
      reading_ = Reading::Reader;
    }
    Frame frame;
    uint64_t frames = 0;
    bool read = frames_.Read(fd_, &frame);
    while (read && frames_.HasFrame()) {
      ++frames;
      read = Dispatch(std::move(frame)) && frames_.Read(fd_, &frame);
    }
    if (read) ++frames;
    YieldRead(frames);
    if (!read || !Dispatch(std::move(frame))) break;
  }
  shutdown(fd_, SHUT_RDWR);
  std::vector<std::shared_ptr<ThreadContext>> waiters;
  {
    std::lock_guard lock(mu_);
    broken_ = true;
    for (auto& [id, p] : pending_) {
      if (p->done) continue;  // its reply came before the end
      p->done = true;
      p->failure = RPC_E_DISCONNECTED;
      waiters.push_back(p->waiter);
    }
  }
  for (auto& w : waiters) Wake(*w);
  if (role_ == Role::Server) {
    // The home thread releases what the client held.
    if (std::shared_ptr<ThreadContext> home = home_.lock()) {
      Post(*home, [self = shared_from_this()] { self->Close(); });
    }
  }
}

bool Connection::Dispatch(Frame frame) {
  if (frame.type == FrameType::Return) {
    std::shared_ptr<ThreadContext> waiter;
    {
      std::lock_guard lock(mu_);
      auto it = pending_.find(frame.call_id);
      if (it == pending_.end()) return true;  // a call that timed out
      it->second->done = true;
      it->second->payload = std::move(frame.payload);
      ++replies_in_hand_;
      waiter = it->second->waiter;
    }
    Wake(*waiter);
    return true;
  }
  if (frame.type == FrameType::Create || frame.type == FrameType::Invoke ||
      frame.type == FrameType::GetIDsOfNames || frame.type == FrameType::Release) {
    Deliver(frame.type, frame.call_id, std::move(frame.payload));
    return true;
  }
  return false;  // not our protocol
}

void Connection::Deliver(FrameType type, uint32_t call_id, std::string payload) {
  // A release is never lost (its object would stay alive forever): it is
  // kept to run here should the home thread's queue refuse it.
  const std::string release = type == FrameType::Release ? payload : std::string();
  if (std::shared_ptr<ThreadContext> home = home_.lock()) {
    // The payload moves into the task: a long call's bytes are not copied again.
    if (Post(*home, [self = shared_from_this(), type, call_id, payload = std::move(payload)] {
          self->Serve(type, call_id, payload);
        })) {
      return;
    }
  }
  if (type == FrameType::Release) {
    ServeRelease(release);
    return;
  }
  // The home thread's queue refused the call: it fails, it is not dropped.
  Writer reply = NewFrame();
  reply.U32(uint32_t(RPC_E_SERVERCALL_RETRYLATER));
  Send(reply, FrameType::Return, call_id);
}

// ---- Serving the peer's calls (home thread) ------------------------------

void Connection::Serve(FrameType type, uint32_t call_id, const std::string& payload) {
  if (Closed()) return;
  if (type == FrameType::Release) {
    ServeRelease(payload);
    return;
  }
  Reader r(payload);
  Writer reply = NewFrame();
  reply.U32(0);  // the result, written below
  HRESULT hr = E_UNEXPECTED;
  // The call's values, proxies among them, die only after the reply is sent:
  // a proxy's release must not overtake a reply that names its object.
  std::vector<Variant> held;
  switch (type) {
    case FrameType::Create:
      hr = ServeCreate(r, reply);
      break;
    case FrameType::Invoke:
      hr = ServeInvoke(r, reply, &held);
      break;
    case FrameType::GetIDsOfNames:
      hr = ServeGetIDsOfNames(r, reply);
      break;
    default:
      break;
  }
  memcpy(&reply.buffer()[kFrameHeaderBytes], &hr, 4);
  Send(reply, FrameType::Return, call_id);
}

HRESULT Connection::ServeCreate(Reader& r, Writer& reply) {
  IID iid;
  if (!r.Raw(&iid, sizeof iid) || !r.AtEnd()) return RPC_E_INVALID_DATAPACKET;
  ComPtr<IClassFactory> factory = QueryInterfacePtr<IClassFactory>(class_object_.Get());
  if (!factory) return E_NOINTERFACE;
  ComPtr<IUnknown> object;
  HRESULT hr = factory->CreateInstance(nullptr, IID_IUnknown, object.ReceiveVoid());
  if (FAILED(hr)) return hr;
  if (iid != IID_IUnknown) {
    ComPtr<IUnknown> check;
    if (const HRESULT q = object->QueryInterface(iid, check.ReceiveVoid()); FAILED(q)) return q;
  }
  if (const HRESULT e = EncodeObject(reply, object.Get(), 0, nullptr); FAILED(e)) {
    reply.buffer().resize(kFrameHeaderBytes + 4);
    return e;
  }
  return hr;
}

HRESULT Connection::ServeInvoke(Reader& r, Writer& reply, std::vector<Variant>* held) {
  uint64_t id = 0;
  uint32_t member = 0, lcid = 0, count = 0, named = 0;
  uint16_t flags = 0;
  uint8_t want_result = 0;
  if (!r.U64(&id) || !r.U32(&member) || !r.U32(&lcid) || !r.U16(&flags) || !r.U8(&want_result) ||
      !r.U32(&count) || count > kMaxCallArgs) {
    return RPC_E_INVALID_DATAPACKET;
  }
  Marshal m(*this);
  std::vector<Variant>& storage = *held;
  storage.resize(count + 1);  // the arguments, then the result
  std::vector<VARIANTARG> args(count);
  for (uint32_t i = 0; i < count; ++i) {
    VARTYPE ref = 0;
    if (const HRESULT hr = DecodeVariant(r, storage[i].Receive(), m, &ref); FAILED(hr)) return hr;
    if (ref == (VT_BYREF | VT_VARIANT)) {
      VariantInit(&args[i]);
      args[i].vt = ref;
      args[i].pvarVal = &storage[i];
    } else if (ref != 0) {
      VariantInit(&args[i]);
      args[i].vt = ref;
      args[i].byref = &storage[i].llVal;
    } else {
      args[i] = storage[i];  // borrowed: storage frees it
    }
  }
  if (!r.U32(&named) || named > count) return RPC_E_INVALID_DATAPACKET;
  std::vector<DISPID> named_ids(named);
  for (uint32_t i = 0; i < named; ++i) {
    uint32_t v = 0;
    if (!r.U32(&v)) return RPC_E_INVALID_DATAPACKET;
    named_ids[i] = DISPID(v);
  }
  if (!r.AtEnd()) return RPC_E_INVALID_DATAPACKET;
  ComPtr<IDispatch> target;
  if (const HRESULT found = FindExport(id, &target); FAILED(found)) return found;

  DISPPARAMS params{args.data(), named_ids.data(), count, named};
  Variant& result = storage[count];
  EXCEPINFO excep{};
  UINT arg_err = 0;
  const HRESULT hr = target->Invoke(DISPID(member), GUID_NULL, lcid, flags, &params,
                                    want_result ? &result : nullptr, &excep, &arg_err);
  if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
  HRESULT encoded = S_OK;
  if (want_result) {
    reply.U8(1);
    encoded = EncodeVariant(reply, result, m, /*allow_byref=*/false);
  } else {
    reply.U8(0);
  }
  if (hr == DISP_E_EXCEPTION) {
    reply.U8(1);
    reply.U32(uint32_t(excep.scode));
    reply.U16(excep.wCode);
    reply.Bstr(excep.bstrSource);
    reply.Bstr(excep.bstrDescription);
    reply.Bstr(excep.bstrHelpFile);
    reply.U32(excep.dwHelpContext);
  } else {
    reply.U8(0);
  }
  ClearExcepInfo(&excep);
  reply.U32(arg_err);
  std::vector<uint32_t> outs;
  if (SUCCEEDED(hr)) {
    for (uint32_t i = 0; i < count; ++i) {
      if (args[i].vt & VT_BYREF) outs.push_back(i);
    }
  }
  reply.U32(uint32_t(outs.size()));
  for (uint32_t i : outs) {
    if (FAILED(encoded)) break;
    reply.U32(i);
    encoded = EncodeVariant(reply, storage[i], m, /*allow_byref=*/false);
  }
  if (FAILED(encoded)) {
    m.RollBack();
    reply.buffer().resize(kFrameHeaderBytes + 4);
    return encoded;
  }
  return hr;
}

HRESULT Connection::ServeGetIDsOfNames(Reader& r, Writer& reply) {
  uint64_t id = 0;
  uint32_t lcid = 0, count = 0;
  if (!r.U64(&id) || !r.U32(&lcid) || !r.U32(&count) || count == 0 || count > kMaxCallArgs) {
    return RPC_E_INVALID_DATAPACKET;
  }
  std::vector<std::u16string> names(count);
  std::vector<LPOLESTR> pointers(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (!r.Text(&names[i])) return RPC_E_INVALID_DATAPACKET;
    pointers[i] = names[i].data();
  }
  if (!r.AtEnd()) return RPC_E_INVALID_DATAPACKET;
  ComPtr<IDispatch> target;
  if (const HRESULT found = FindExport(id, &target); FAILED(found)) return found;
  std::vector<DISPID> ids(count, DISPID_UNKNOWN);
  const HRESULT hr = target->GetIDsOfNames(GUID_NULL, pointers.data(), count, lcid, ids.data());
  reply.U32(count);
  for (DISPID d : ids) reply.U32(uint32_t(d));
  return hr;
}

void Connection::ServeRelease(const std::string& payload) {
  Reader r(payload);
  uint64_t id = 0, count = 0;
  if (!r.U64(&id) || !r.U64(&count) || !r.AtEnd()) return;
  {
    std::lock_guard lock(mu_);
    if (replies_in_hand_ > 0) {
      deferred_releases_.emplace_back(id, count);
      return;
    }
  }
  Unexport(id, count);
}

void Connection::ReplyRead() {
  std::vector<std::pair<uint64_t, uint64_t>> due;
  {
    std::lock_guard lock(mu_);
    if (--replies_in_hand_ == 0) due.swap(deferred_releases_);
  }
  for (const auto& [id, count] : due) Unexport(id, count);
}

// ---- Calling the peer ----------------------------------------------------

HRESULT Connection::Create(REFIID iid, void** object) {
  Writer w = NewFrame();
  w.Raw(&iid, sizeof iid);
  std::string payload;
  if (const HRESULT hr = Call(w, FrameType::Create, &payload); FAILED(hr)) return hr;
  ReplyGuard read{*this};
  Reader r(payload);
  uint32_t result = 0;
  if (!r.U32(&result)) return RPC_E_INVALID_DATAPACKET;
  if (FAILED(HRESULT(result))) return HRESULT(result);
  IUnknown* created = nullptr;
  const HRESULT hr = DecodeObject(r, iid == IID_IDispatch, &created, 0);
  if (FAILED(hr)) return hr;
  if (!created) return E_UNEXPECTED;
  *object = created;
  return HRESULT(result);
}

HRESULT Connection::Invoke(uint64_t id, DISPID member, LCID lcid, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* excep, UINT* arg_err) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (!params) params = &none;
  if (params->cArgs > kMaxCallArgs || params->cNamedArgs > params->cArgs ||
      (params->cArgs && !params->rgvarg) || (params->cNamedArgs && !params->rgdispidNamedArgs)) {
    return E_INVALIDARG;
  }
  Writer w = NewFrame();
  Marshal m(*this);
  w.U64(id);
  w.U32(uint32_t(member));
  w.U32(lcid);
  w.U16(flags);
  w.U8(result ? 1 : 0);
  w.U32(params->cArgs);
  for (UINT i = 0; i < params->cArgs; ++i) {
    if (const HRESULT hr = EncodeVariant(w, params->rgvarg[i], m, /*allow_byref=*/true);
        FAILED(hr)) {
      m.RollBack();
      if (arg_err) *arg_err = i;
      return hr;
    }
  }
  w.U32(params->cNamedArgs);
  for (UINT i = 0; i < params->cNamedArgs; ++i) w.U32(uint32_t(params->rgdispidNamedArgs[i]));
  std::string payload;
  if (const HRESULT hr = Call(w, FrameType::Invoke, &payload); FAILED(hr)) {
    m.RollBack();
    return hr;
  }
  ReplyGuard read{*this};
  Reader r(payload);
  uint32_t hr_bits = 0;
  if (!r.U32(&hr_bits)) return RPC_E_INVALID_DATAPACKET;
  const HRESULT hr = HRESULT(hr_bits);
  if (r.AtEnd()) return hr;  // failed before the callee ran
  uint8_t has_result = 0, has_excep = 0;
  Variant value;
  if (!r.U8(&has_result)) return RPC_E_INVALID_DATAPACKET;
  if (has_result) {
    if (const HRESULT d = DecodeVariant(r, value.Receive(), m); FAILED(d)) return d;
  }
  EXCEPINFO info{};
  if (!r.U8(&has_excep)) return RPC_E_INVALID_DATAPACKET;
  if (has_excep) {
    uint32_t scode = 0;
    if (!r.U32(&scode) || !r.U16(&info.wCode) || !r.Bstr(&info.bstrSource) ||
        !r.Bstr(&info.bstrDescription) || !r.Bstr(&info.bstrHelpFile) ||
        !r.U32(&info.dwHelpContext)) {
      ClearExcepInfo(&info);
      return RPC_E_INVALID_DATAPACKET;
    }
    info.scode = SCODE(scode);
  }
  uint32_t err = 0, outs = 0;
  if (!r.U32(&err) || !r.U32(&outs) || outs > params->cArgs) {
    ClearExcepInfo(&info);
    return RPC_E_INVALID_DATAPACKET;
  }
  // Every out value is read before any is stored, so a bad reply changes
  // nothing of the caller's.
  std::vector<std::pair<uint32_t, Variant>> out_values;
  for (uint32_t k = 0; k < outs; ++k) {
    uint32_t index = 0;
    Variant v;
    HRESULT d = r.U32(&index) ? DecodeVariant(r, v.Receive(), m) : RPC_E_INVALID_DATAPACKET;
    if (SUCCEEDED(d) && (index >= params->cArgs || !(params->rgvarg[index].vt & VT_BYREF))) {
      d = RPC_E_INVALID_DATAPACKET;
    }
    if (SUCCEEDED(d)) {
      const VARTYPE base = VARTYPE(params->rgvarg[index].vt & ~VT_BYREF);
      if (base != VT_VARIANT && v.vt != base) d = RPC_E_INVALID_DATAPACKET;
    }
    if (FAILED(d)) {
      ClearExcepInfo(&info);
      return d;
    }
    out_values.emplace_back(index, std::move(v));
  }
  if (!r.AtEnd()) {
    ClearExcepInfo(&info);
    return RPC_E_INVALID_DATAPACKET;
  }
  for (auto& [index, v] : out_values) {
    VARIANTARG& arg = params->rgvarg[index];
    const VARTYPE base = VARTYPE(arg.vt & ~VT_BYREF);
    if (base == VT_VARIANT) {
      VariantClear(arg.pvarVal);
      *arg.pvarVal = v.Detach();
    } else {
      FreeValueAt(base, arg.byref);
      VARIANT raw = v.Detach();
      memcpy(arg.byref, &raw.llVal, ValueBytes(base));
    }
  }
  if (result && has_result) {
    VariantClear(result);
    *result = value.Detach();
  }
  if (excep) {
    *excep = info;
  } else {
    ClearExcepInfo(&info);
  }
  if (arg_err) *arg_err = err;
  return hr;
}

HRESULT Connection::GetIDsOfNames(uint64_t id, LPOLESTR* names, UINT count, LCID lcid,
                                  DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  if (count == 0 || count > kMaxCallArgs) return E_INVALIDARG;
  Writer w = NewFrame();
  w.U64(id);
  w.U32(lcid);
  w.U32(count);
  for (UINT i = 0; i < count; ++i) {
    if (!names[i]) return E_POINTER;
    w.Text(names[i]);
  }
  std::string payload;
  if (const HRESULT hr = Call(w, FrameType::GetIDsOfNames, &payload); FAILED(hr)) return hr;
  ReplyGuard read{*this};
  Reader r(payload);
  uint32_t hr_bits = 0, n = 0;
  if (!r.U32(&hr_bits)) return RPC_E_INVALID_DATAPACKET;
  if (r.AtEnd()) return HRESULT(hr_bits);
  if (!r.U32(&n) || n != count) return RPC_E_INVALID_DATAPACKET;
  std::vector<DISPID> got(count);
  for (UINT i = 0; i < count; ++i) {
    uint32_t v = 0;
    if (!r.U32(&v)) return RPC_E_INVALID_DATAPACKET;
    got[i] = DISPID(v);
  }
  if (!r.AtEnd()) return RPC_E_INVALID_DATAPACKET;
  std::copy(got.begin(), got.end(), ids);
  return HRESULT(hr_bits);
}

// ---- Object references ---------------------------------------------------

HRESULT Connection::EncodeObject(Writer& w, IUnknown* object, int depth,
                                 std::vector<uint64_t>* exported) {
  if (!object) {
    w.U8(kRefNull);
    return S_OK;
  }
  if (depth > kMaxValueDepth) return DISP_E_BADVARTYPE;
  ComPtr<IDispatch> record;
  if (SUCCEEDED(object->QueryInterface(kStructIid, record.ReceiveVoid())) && record) {
    // A struct crosses by value: its members, in order, until the marker ends.
    w.U8(kRefStruct);
    Marshal nested(*this);
    for (size_t n = 0;; ++n) {
      if (n >= kMaxStructMembers) return DISP_E_OVERFLOW;
      Bstr name, ns;
      Variant value;
      LONG position = LONG(n ? n - 1 : 0);
      VARIANTARG args[4];
      for (VARIANTARG& a : args) VariantInit(&a);
      args[0].vt = VT_BYREF | VT_I4;
      args[0].plVal = &position;
      args[1].vt = VT_BYREF | VT_VARIANT;
      args[1].pvarVal = &value;
      args[2].vt = VT_BYREF | VT_BSTR;
      args[2].pbstrVal = ns.Receive();
      args[3].vt = VT_BYREF | VT_BSTR;
      args[3].pbstrVal = name.Receive();
      DISPPARAMS params{args, nullptr, 4, 0};
      Variant found;
      const HRESULT hr =
          record->Invoke(n == 0 ? kStructGetFirstMember : kStructGetNextMember, GUID_NULL, 0,
                         DISPATCH_METHOD, &params, &found, nullptr, nullptr);
      if (FAILED(hr)) return hr;
      if (found.vt != VT_BOOL || found.boolVal == VARIANT_FALSE) break;
      w.U8(1);
      w.Bstr(name.Get());
      w.Bstr(ns.Get());
      const HRESULT e = EncodeVariant(w, value, nested, /*allow_byref=*/false, depth + 1);
      if (FAILED(e)) {
        nested.RollBack();
        return e;
      }
    }
    w.U8(0);
    return S_OK;
  }
  ComPtr<IUnknown> proxy;
  if (SUCCEEDED(object->QueryInterface(kIidRemoteProxy, proxy.ReceiveVoid())) && proxy) {
    auto* remote = static_cast<RemoteObject*>(static_cast<IDispatch*>(proxy.Get()));
    if (remote->connection() == this) {
      w.U8(kRefYours);
      w.U64(remote->id());
      return S_OK;
    }
  }
  ComPtr<IUnknown> identity = QueryInterfacePtr<IUnknown>(object);
  if (!identity) return E_NOINTERFACE;
  ComPtr<IDispatch> dispatch = QueryInterfacePtr<IDispatch>(object);
  uint64_t id = 0;
  {
    std::lock_guard lock(mu_);
    auto it = export_ids_.find(identity.Get());
    if (it != export_ids_.end()) {
      id = it->second;
    } else {
      id = next_export_++;
      export_ids_[identity.Get()] = id;
      exports_[id] = Export{identity, dispatch, 0};
    }
    ++exports_[id].refs;
  }
  if (exported) exported->push_back(id);
  w.U8(kRefSender);
  w.U64(id);
  w.U8(dispatch ? 1 : 0);
  return S_OK;
}

void Connection::Unexport(uint64_t id, uint64_t count) {
  Export gone;
  {
    std::lock_guard lock(mu_);
    auto it = exports_.find(id);
    if (it == exports_.end()) return;
    it->second.refs -= std::min(count, it->second.refs);
    if (it->second.refs != 0) return;
    gone = std::move(it->second);
    export_ids_.erase(gone.identity.Get());
    exports_.erase(it);
  }
  // `gone` releases the object here, outside the lock.
}

HRESULT Connection::DecodeObject(Reader& r, bool dispatch, IUnknown** out, int depth) {
  *out = nullptr;
  uint8_t kind = 0;
  if (!r.U8(&kind)) return RPC_E_INVALID_DATAPACKET;
  switch (kind) {
    case kRefNull:
      return S_OK;
    case kRefStruct: {
      if (depth > kMaxValueDepth) return RPC_E_INVALID_DATAPACKET;
      ComPtr<IDispatch> record;
      HRESULT hr = CoCreateInstance(kStructClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                    record.ReceiveVoid());
      // The members are read whatever happens, so the stream stays in step.
      Marshal m(*this);
      for (size_t n = 0;; ++n) {
        uint8_t more = 0;
        if (!r.U8(&more) || more > 1 || n > kMaxStructMembers) return RPC_E_INVALID_DATAPACKET;
        if (!more) break;
        VARIANTARG args[3];
        for (VARIANTARG& a : args) VariantInit(&a);
        args[2].vt = VT_BSTR;
        args[1].vt = VT_BSTR;
        HRESULT d = r.Bstr(&args[2].bstrVal) && r.Bstr(&args[1].bstrVal)
                        ? DecodeVariant(r, &args[0], m, nullptr, depth + 1)
                        : RPC_E_INVALID_DATAPACKET;
        if (SUCCEEDED(d) && SUCCEEDED(hr)) {
          DISPPARAMS params{args, nullptr, 3, 0};
          Variant added;
          hr = record->Invoke(kStructAddMember, GUID_NULL, 0, DISPATCH_METHOD, &params, &added,
                              nullptr, nullptr);
          if (SUCCEEDED(hr) && (added.vt != VT_BOOL || added.boolVal == VARIANT_FALSE)) {
            hr = E_FAIL;
          }
        }
        for (VARIANTARG& a : args) VariantClear(&a);
        if (FAILED(d)) return d;
      }
      if (FAILED(hr)) return hr;
      *out = record.Detach();
      return S_OK;
    }
    case kRefSender: {
      uint64_t id = 0;
      uint8_t can_dispatch = 0;
      if (!r.U64(&id) || !r.U8(&can_dispatch) || can_dispatch > 1) {
        return RPC_E_INVALID_DATAPACKET;
      }
      RemoteObject* proxy = nullptr;
      {
        std::lock_guard lock(mu_);
        auto it = imports_.find(id);
        if (it != imports_.end() && it->second->TryAddRef()) {
          proxy = it->second;
          proxy->AddOwed();
        } else {
          proxy = new RemoteObject(shared_from_this(), id, can_dispatch != 0);
          imports_[id] = proxy;
        }
      }
      if (dispatch && !proxy->dispatch()) {
        proxy->Release();
        return DISP_E_TYPEMISMATCH;
      }
      *out = static_cast<IDispatch*>(proxy);
      return S_OK;
    }
    case kRefYours: {
      uint64_t id = 0;
      if (!r.U64(&id)) return RPC_E_INVALID_DATAPACKET;
      std::lock_guard lock(mu_);
      auto it = exports_.find(id);
      if (it == exports_.end()) return RPC_E_INVALID_DATAPACKET;
      IUnknown* found =
          dispatch ? static_cast<IUnknown*>(it->second.dispatch.Get()) : it->second.identity.Get();
      if (!found) return DISP_E_TYPEMISMATCH;
      found->AddRef();
      *out = found;
      return S_OK;
    }
    default:
      return RPC_E_INVALID_DATAPACKET;
  }
}

void Connection::DropImport(RemoteObject* proxy, uint64_t id, uint64_t owed) {
  bool last = false;
  bool live = false;
  {
    std::lock_guard lock(mu_);
    auto it = imports_.find(id);
    if (it != imports_.end() && it->second == proxy) imports_.erase(it);
    last = imports_.empty() && role_ == Role::Client;
    live = !broken_;
  }
  if (live) {
    Writer w = NewFrame();
    w.U64(id);
    w.U64(owed);
    Send(w, FrameType::Release, 0);
  }
  if (last) Close();
}

void Connection::Close() {
  std::thread reader;
  {
    std::lock_guard lock(mu_);
    if (closed_) return;
    closed_ = true;
    reader = std::move(reader_);
  }
  if (std::shared_ptr<ThreadContext> home = home_.lock()) {
    RemoveLoopWaitSource(home->thread, this);
  }
  token_cv_.notify_all();
  shutdown(fd_, SHUT_RDWR);
  if (reader.joinable()) {
    if (reader.get_id() == std::this_thread::get_id()) {
      reader.detach();
    } else {
      reader.join();
    }
  }
  std::unordered_map<uint64_t, Export> gone;
  {
    std::lock_guard lock(mu_);
    broken_ = true;
    gone.swap(exports_);
    export_ids_.clear();
  }
  gone.clear();
  if (on_closed_) std::exchange(on_closed_, nullptr)();
  class_object_.Reset();
}

// ---- Entry points ----------------------------------------------------------

std::shared_ptr<ThreadContext> ThisThreadContext() { return ThisThread(); }

std::shared_ptr<Connection> ServeConnection(int fd, IUnknown* class_object,
                                            std::weak_ptr<ThreadContext> home,
                                            std::function<void()> on_closed) {
  auto c = std::make_shared<Connection>(fd, Connection::Role::Server, class_object, std::move(home),
                                        std::move(on_closed));
  c->Start();
  return c;
}

HRESULT CreateRemoteInstance(int fd, REFIID iid, void** object) {
  if (!object) {
    close(fd);
    return E_POINTER;
  }
  *object = nullptr;
  if (iid != IID_IUnknown && iid != IID_IDispatch) {
    close(fd);
    return E_NOINTERFACE;
  }
  auto c =
      std::make_shared<Connection>(fd, Connection::Role::Client, nullptr, ThisThread(), nullptr);
  c->Start();
  const HRESULT hr = c->Create(iid, object);
  if (FAILED(hr)) c->Close();
  return hr;
}

void CloseConnection(const std::shared_ptr<Connection>& connection) {
  if (connection) connection->Close();
}

FramesRead FramesReadOf(const std::shared_ptr<Connection>& connection) {
  return connection->ReadCounts();
}

bool HomeWaitsOn(const std::shared_ptr<Connection>& connection) { return connection->HomeWaits(); }

std::shared_ptr<Connection> ConnectionOf(IUnknown* object) {
  ComPtr<IUnknown> proxy;
  if (!object || FAILED(object->QueryInterface(kIidRemoteProxy, proxy.ReceiveVoid())) || !proxy) {
    return nullptr;
  }
  return static_cast<RemoteObject*>(static_cast<IDispatch*>(proxy.Get()))->connection_ptr();
}

}  // namespace com::remote::internal
