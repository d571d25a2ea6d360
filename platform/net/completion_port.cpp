#include "platform/net/completion_port.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

namespace net {

namespace {

// epoll data of the two eventfds and of listening sockets (key + 2 above the
// low word); channel ids never have index 0.
constexpr uint64_t kReadyTag = 0;
constexpr uint64_t kShutdownTag = uint64_t{1} << 32;
constexpr uint64_t kListenerTagBase = uint64_t{2} << 32;
bool IsListenerTag(uint64_t tag) { return tag >= kListenerTagBase && uint32_t(tag) == 0; }
// sendfile moves at most this much per call.
constexpr size_t kMaxSendfileChunk = 0x7ffff000;

uint64_t Pack(SocketId id) { return (uint64_t{id.serial} << 32) | id.index; }
SocketId Unpack(uint64_t v) { return {static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32)}; }

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// What the thread knows about the completion it is handling: the port it came
// from, and how many completions its own posts finished at once and queued
// without waking anyone (it takes them itself at its next Wait).
struct HandlerState {
  const void* port = nullptr;
  size_t owed = 0;
};
thread_local HandlerState t_handler;

// sendfile has no MSG_NOSIGNAL; with SIGPIPE ignored a closed peer is just
// EPIPE. A handler the program installed itself is left alone.
void IgnoreSigpipe() {
  struct sigaction old {};
  if (::sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL &&
      !(old.sa_flags & SA_SIGINFO)) {
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    ::sigaction(SIGPIPE, &ign, nullptr);
  }
}

}  // namespace

struct CompletionPort::SendOp {
  IoKind kind = IoKind::Send;
  std::vector<char> data;  // Send
  UniqueFd file;           // SendFile
  off_t offset = 0;        // SendFile: next byte of the file
  size_t total = 0;
  size_t done = 0;
};

struct CompletionPort::Channel {
  std::mutex mu;
  uint32_t serial = 1;        // Guarded by mu.
  UniqueFd fd;                // Guarded by mu. Invalid while the table slot is free.
  uint64_t key = 0;           // Guarded by mu.
  uint32_t generation = 0;    // Guarded by mu.
  bool recv_pending = false;  // Guarded by mu.
  // Guarded by mu. In the epoll set: a socket joins it only when an operation
  // has to wait, so one served at once costs no epoll call and no wake-up.
  bool in_set = false;
  bool watch_out = false;  // Guarded by mu. EPOLLOUT asked for (after a full buffer).
  // Guarded by mu. Input may be waiting that no edge will announce (the socket
  // is not in the set yet, an edge came with no receive pending, or the last
  // recv did not drain it).
  bool readable = false;
  uint32_t index = 0;        // Guarded by mu. This channel's table slot.
  char* recv_buf = nullptr;  // Guarded by mu.
  size_t recv_len = 0;       // Guarded by mu.
  std::deque<SendOp> sends;  // Guarded by mu.

  Completion Make(IoKind kind) const {
    Completion c;
    c.key = key;
    c.generation = generation;
    c.kind = kind;
    return c;
  }
};

CompletionPort::CompletionPort() : chunks_(std::make_unique<std::atomic<Channel*>[]>(kChunks)) {
  for (size_t i = 0; i < kChunks; ++i) chunks_[i].store(nullptr, std::memory_order_relaxed);
  IgnoreSigpipe();
  UniqueFd ep(::epoll_create1(EPOLL_CLOEXEC));
  ready_fd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  shutdown_fd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!ep.Valid() || !ready_fd_.Valid() || !shutdown_fd_.Valid()) return;
  // Waiters of one epoll set sleep exclusively: an edge wakes one of them.
  // Each write to the ready eventfd is an edge (its count is never read), so
  // one queued completion wakes one waiter; a level-triggered descriptor would
  // wake the next waiter after every harvest, and they would all find nothing.
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.u64 = kReadyTag;
  if (::epoll_ctl(ep.Get(), EPOLL_CTL_ADD, ready_fd_.Get(), &ev) != 0) return;
  // Level-triggered on purpose: each harvest wakes the next waiter, so all leave.
  ev.events = EPOLLIN;
  ev.data.u64 = kShutdownTag;
  if (::epoll_ctl(ep.Get(), EPOLL_CTL_ADD, shutdown_fd_.Get(), &ev) != 0) return;
  epoll_fd_ = std::move(ep);
}

CompletionPort::~CompletionPort() {
  Shutdown();
  for (size_t i = 0; i < kChunks; ++i) delete[] chunks_[i].load(std::memory_order_acquire);
}

CompletionPort::Channel* CompletionPort::Find(SocketId id) const {
  if (id.index == 0 || id.index > kMaxSockets) return nullptr;
  const size_t i = id.index - 1;
  Channel* chunk = chunks_[i / kChunkSize].load(std::memory_order_acquire);
  return chunk ? &chunk[i % kChunkSize] : nullptr;
}

SocketId CompletionPort::Associate(UniqueFd socket, uint64_t key, uint32_t generation,
                                   bool nonblocking) {
  if (!Valid() || shut_down_.load(std::memory_order_acquire)) {
    errno = ESHUTDOWN;
    return {};
  }
  if (!socket.Valid()) {
    errno = EBADF;
    return {};
  }
  if (!nonblocking) {
    const int flags = ::fcntl(socket.Get(), F_GETFL);
    if (flags < 0) return {};
    if (!(flags & O_NONBLOCK) && ::fcntl(socket.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
      return {};
    }
  }

  uint32_t index = 0;
  {
    std::lock_guard<std::mutex> lock(table_mu_);
    if (!free_indexes_.empty()) {
      index = free_indexes_.back();
      free_indexes_.pop_back();
    } else if (next_index_ <= kMaxSockets) {
      const size_t chunk = (next_index_ - 1) / kChunkSize;
      if (chunks_[chunk].load(std::memory_order_relaxed) == nullptr) {
        chunks_[chunk].store(new Channel[kChunkSize], std::memory_order_release);
      }
      index = next_index_++;
    } else {
      errno = EMFILE;
      return {};
    }
    ++open_sockets_;
  }

  Channel* ch = Find({index, 0});
  std::lock_guard<std::mutex> lock(ch->mu);
  const SocketId id{index, ch->serial};
  ch->fd = std::move(socket);
  ch->key = key;
  ch->generation = generation;
  ch->recv_pending = false;
  ch->in_set = false;
  ch->watch_out = false;
  // Out of the set nothing announces input: the first receive tries.
  ch->readable = true;
  ch->index = index;
  ch->sends.clear();
  return id;
}

bool CompletionPort::Join(Channel* ch, uint32_t events) {
  epoll_event ev{};
  ev.events = events | EPOLLIN | EPOLLRDHUP | EPOLLET;
  ev.data.u64 = Pack({ch->index, ch->serial});
  // Joining checks readiness at once: input or space that came since the
  // call that would block still raises the edge.
  if (::epoll_ctl(epoll_fd_.Get(), ch->in_set ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, ch->fd.Get(),
                  &ev) != 0) {
    return false;
  }
  ch->in_set = true;
  return true;
}

void CompletionPort::Enqueue(const Completion& c, bool may_defer) {
  {
    std::lock_guard<std::mutex> lock(ready_mu_);
    ready_.push_back(c);
    ready_count_.fetch_add(1);
  }
  // A handler's own post that finished at once: the handler is about to come
  // back to Wait and take it, so waking another thread would only make it
  // find nothing, or move the connection to another core.
  if (may_defer && t_handler.port == this) {
    ++t_handler.owed;
    return;
  }
  Kick();
}

void CompletionPort::Kick() {
  // With no thread asleep, every one is handling a completion and looks at
  // the queue before it sleeps again (see WaitForEvent): a wake-up would only
  // be found later with nothing left to take. Sequentially consistent against
  // the waiter's count-then-look.
  if (waiting_.load() == 0) return;
  const uint64_t one = 1;
  // The count is never read: it would take 2^64 kicks to fill it.
  [[maybe_unused]] ssize_t n = ::write(ready_fd_.Get(), &one, sizeof one);
}

bool CompletionPort::ReadyQueueEmpty() {
  std::lock_guard<std::mutex> lock(ready_mu_);
  return ready_.empty();
}

bool CompletionPort::TakeReady(Completion* out) {
  bool more = false;
  {
    std::lock_guard<std::mutex> lock(ready_mu_);
    if (ready_.empty()) return false;
    *out = ready_.front();
    ready_.pop_front();
    ready_count_.fetch_sub(1);
    more = !ready_.empty();
  }
  // Kicks that came while the eventfd was still unharvested merged into one
  // edge: pass the rest on to one more waiter.
  if (more) Kick();
  return true;
}

void CompletionPort::Deliver(const Completion& c, Completion* first, bool* have_first) {
  // Handing a completion straight to this waiter would overtake those already
  // queued, some of which may belong to the same socket: only when none wait.
  if (first && !*have_first && ReadyQueueEmpty()) {
    *first = c;
    *have_first = true;
  } else {
    Enqueue(c);
  }
}

void CompletionPort::TryReceive(Channel* ch, Completion* first, bool* have_first) {
  if (!ch->recv_pending) return;
  for (;;) {
    const ssize_t n = ::recv(ch->fd.Get(), ch->recv_buf, ch->recv_len, 0);
    if (n < 0 && errno == EINTR) continue;
    int error = n < 0 ? errno : 0;
    if (n < 0 && WouldBlock(error)) {
      ch->readable = false;
      if (ch->in_set) return;
      if (Join(ch, 0)) return;
      error = errno;  // nothing would ever announce the input: fail the receive
    }
    ch->readable = true;
    Completion c = ch->Make(IoKind::Receive);
    if (n < 0) {
      c.ok = false;
      c.error = error;
    } else {
      c.bytes = static_cast<size_t>(n);
    }
    ch->recv_pending = false;
    ch->recv_buf = nullptr;
    Deliver(c, first, have_first);
    return;
  }
}

void CompletionPort::PumpSends(Channel* ch, Completion* first, bool* have_first) {
  while (!ch->sends.empty()) {
    SendOp& op = ch->sends.front();
    if (op.done < op.total) {
      ssize_t n;
      if (op.kind == IoKind::Send) {
        n = ::send(ch->fd.Get(), op.data.data() + op.done, op.total - op.done, MSG_NOSIGNAL);
      } else {
        n = ::sendfile(ch->fd.Get(), op.file.Get(), &op.offset,
                       std::min(op.total - op.done, kMaxSendfileChunk));
        if (n == 0) {
          // The file is shorter than promised: the reply would be cut short.
          FailPending(ch, EIO);
          return;
        }
      }
      if (n < 0) {
        if (errno == EINTR) continue;
        if (WouldBlock(errno)) {
          // Unwatched, the send would never finish.
          if (!WatchWritable(ch)) FailPending(ch, errno);
          return;
        }
        // A stream with a hole is useless: everything queued behind fails too.
        FailPending(ch, errno);
        return;
      }
      op.done += static_cast<size_t>(n);
      if (op.done < op.total) continue;
    }
    Completion c = ch->Make(op.kind);
    c.bytes = op.total;
    ch->sends.pop_front();
    Deliver(c, first, have_first);
  }
}

bool CompletionPort::WatchWritable(Channel* ch) {
  if (ch->watch_out) return true;
  if (!Join(ch, EPOLLOUT)) return false;
  ch->watch_out = true;
  return true;
}

void CompletionPort::FailPending(Channel* ch, int error) {
  // Sends only: a pending receive keeps its course, since the peer may still
  // be sending; CloseSocket fails it itself.
  while (!ch->sends.empty()) {
    Completion c = ch->Make(ch->sends.front().kind);
    c.ok = false;
    c.error = error;
    c.bytes = ch->sends.front().done;
    ch->sends.pop_front();
    Enqueue(c);
  }
}

void CompletionPort::Progress(Channel* ch, uint32_t events, Completion* first, bool* have_first) {
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
    if (ch->recv_pending) {
      TryReceive(ch, first, have_first);
    } else {
      ch->readable = true;
    }
  }
  if (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) PumpSends(ch, first, have_first);
}

bool CompletionPort::PostReceive(SocketId id, char* buffer, size_t len) {
  if (shut_down_.load(std::memory_order_acquire) || buffer == nullptr || len == 0) return false;
  Channel* ch = Find(id);
  if (!ch) return false;
  std::lock_guard<std::mutex> lock(ch->mu);
  if (ch->serial != id.serial || !ch->fd.Valid() || ch->recv_pending) return false;
  ch->recv_pending = true;
  ch->recv_buf = buffer;
  ch->recv_len = len;
  // Edge-triggered: input whose edge has passed raises no new one, so read it
  // now; otherwise the edge still to come reads it on the thread it wakes,
  // which then needs no second wake-up to hand the completion on.
  if (ch->readable) TryReceive(ch, nullptr, nullptr);
  return true;
}

bool CompletionPort::PostSend(SocketId id, std::vector<char>&& data) {
  if (shut_down_.load(std::memory_order_acquire)) return false;
  Channel* ch = Find(id);
  if (!ch) return false;
  std::lock_guard<std::mutex> lock(ch->mu);
  if (ch->serial != id.serial || !ch->fd.Valid() || ch->sends.size() >= kMaxQueuedSends) {
    return false;
  }
  SendOp& op = ch->sends.emplace_back();
  op.kind = IoKind::Send;
  op.total = data.size();
  op.data = std::move(data);
  // With older sends queued the socket is full and an EPOLLOUT edge will come.
  if (ch->sends.size() == 1) PumpSends(ch, nullptr, nullptr);
  return true;
}

bool CompletionPort::PostSendFile(SocketId id, UniqueFd file, off_t offset, size_t count) {
  if (shut_down_.load(std::memory_order_acquire) || !file.Valid() || offset < 0) return false;
  Channel* ch = Find(id);
  if (!ch) return false;
  std::lock_guard<std::mutex> lock(ch->mu);
  if (ch->serial != id.serial || !ch->fd.Valid() || ch->sends.size() >= kMaxQueuedSends) {
    return false;
  }
  SendOp& op = ch->sends.emplace_back();
  op.kind = IoKind::SendFile;
  op.file = std::move(file);
  op.offset = offset;
  op.total = count;
  if (ch->sends.size() == 1) PumpSends(ch, nullptr, nullptr);
  return true;
}

bool CompletionPort::PostCompletion(uint64_t key, uint32_t generation, size_t bytes,
                                    IoKind kind) {
  if (!Valid() || shut_down_.load(std::memory_order_acquire)) return false;
  Completion c;
  c.key = key;
  c.generation = generation;
  c.kind = kind;
  c.bytes = bytes;
  // Never left for this thread: a posted completion is how threads hand work on.
  Enqueue(c, /*may_defer=*/false);
  return true;
}

void CompletionPort::HandOnOwnCompletions() {
  if (t_handler.port != this) return;
  for (; t_handler.owed > 0; --t_handler.owed) Kick();
}

bool CompletionPort::WatchListener(int fd, uint32_t key) {
  if (!Valid()) {
    errno = ESHUTDOWN;
    return false;
  }
  epoll_event ev{};
  // Level-triggered, every harvest would wake one more waiter to find the
  // connection already taken.
  ev.events = EPOLLIN | EPOLLET;
  ev.data.u64 = kListenerTagBase + (uint64_t{key} << 32);
  return ::epoll_ctl(epoll_fd_.Get(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool CompletionPort::UnwatchListener(int fd) {
  return Valid() && ::epoll_ctl(epoll_fd_.Get(), EPOLL_CTL_DEL, fd, nullptr) == 0;
}

bool CompletionPort::CloseSocket(SocketId id) { return TakeSocket(id, true).Valid(); }

UniqueFd CompletionPort::TakeSocket(SocketId id, bool closing_at_once) {
  Channel* ch = Find(id);
  if (!ch) return {};
  UniqueFd taken;
  bool in_set = false;
  {
    std::lock_guard<std::mutex> lock(ch->mu);
    if (ch->serial != id.serial || !ch->fd.Valid()) return {};
    taken = std::move(ch->fd);
    in_set = ch->in_set;
    ch->in_set = false;
    if (ch->recv_pending) {
      Completion c = ch->Make(IoKind::Receive);
      c.ok = false;
      c.error = ECANCELED;
      ch->recv_pending = false;
      ch->recv_buf = nullptr;
      Enqueue(c);
    }
    FailPending(ch, ECANCELED);
    // Events already fetched for this id are dropped by the serial check.
    ++ch->serial;
    if (ch->serial == 0) ch->serial = 1;
  }
  // Outside the channel lock: a waiter woken by the peer's close meanwhile
  // would only wait for it, and its event carries the old serial anyway.
  if (in_set && !closing_at_once) ::epoll_ctl(epoll_fd_.Get(), EPOLL_CTL_DEL, taken.Get(), nullptr);
  std::lock_guard<std::mutex> table_lock(table_mu_);
  free_indexes_.push_back(id.index);
  --open_sockets_;
  return taken;
}

bool CompletionPort::ShutdownSocket(SocketId id) {
  Channel* ch = Find(id);
  if (!ch) return false;
  std::lock_guard<std::mutex> lock(ch->mu);
  if (ch->serial != id.serial || !ch->fd.Valid()) return false;
  return ::shutdown(ch->fd.Get(), SHUT_RDWR) == 0;
}

bool CompletionPort::ShutdownSend(SocketId id) {
  Channel* ch = Find(id);
  if (!ch) return false;
  std::lock_guard<std::mutex> lock(ch->mu);
  if (ch->serial != id.serial || !ch->fd.Valid()) return false;
  return ::shutdown(ch->fd.Get(), SHUT_WR) == 0;
}

WaitResult CompletionPort::Wait(Completion* out, int timeout_ms) {
  const size_t owed = t_handler.port == this ? t_handler.owed : 0;
  t_handler = {};
  if (owed > 0 && Valid() && !shut_down_.load(std::memory_order_acquire)) {
    // Completions of this thread's own posts, queued without a wake-up. When
    // the queue is empty, threads woken for other entries took them.
    std::unique_lock<std::mutex> lock(ready_mu_);
    if (!ready_.empty()) {
      *out = ready_.front();
      ready_.pop_front();
      ready_count_.fetch_sub(1);
      t_handler = {this, owed - 1};
      return WaitResult::Completed;
    }
  }
  const WaitResult result = WaitForEvent(out, timeout_ms);
  if (result == WaitResult::Completed) t_handler = {this, 0};
  return result;
}

WaitResult CompletionPort::WaitForEvent(Completion* out, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  for (;;) {
    if (!Valid() || shut_down_.load(std::memory_order_acquire)) return WaitResult::Shutdown;
    int wait_ms = -1;
    if (timeout_ms >= 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      wait_ms = static_cast<int>(std::max<int64_t>(left.count(), 0));
    }
    epoll_event ev{};
    waiting_.fetch_add(1);
    // Completions queued while no thread slept raised no wake-up: take them
    // before sleeping. Counted first, so a later Enqueue sees this waiter.
    if (ready_count_.load() > 0 && TakeReady(out)) {
      waiting_.fetch_sub(1);
      return WaitResult::Completed;
    }
    const int n = ::epoll_wait(epoll_fd_.Get(), &ev, 1, wait_ms);
    waiting_.fetch_sub(1);
    if (n > 0) wakeups_.fetch_add(1, std::memory_order_relaxed);
    if (n < 0) {
      if (errno == EINTR) continue;
      return WaitResult::Shutdown;  // the port itself is broken
    }
    if (n == 0) {
      if (timeout_ms >= 0 && Clock::now() >= deadline) return WaitResult::TimedOut;
      continue;
    }
    if (ev.data.u64 == kShutdownTag) return WaitResult::Shutdown;
    if (IsListenerTag(ev.data.u64)) {
      *out = Completion{};
      out->key = (ev.data.u64 - kListenerTagBase) >> 32;
      out->kind = IoKind::Accept;
      return WaitResult::Completed;
    }
    if (ev.data.u64 == kReadyTag) {
      if (TakeReady(out)) return WaitResult::Completed;
    } else {
      const SocketId id = Unpack(ev.data.u64);
      if (Channel* ch = Find(id)) {
        bool have = false;
        {
          std::lock_guard<std::mutex> lock(ch->mu);
          if (ch->serial == id.serial && ch->fd.Valid()) Progress(ch, ev.events, out, &have);
        }
        if (have) return WaitResult::Completed;
      }
    }
    if (timeout_ms >= 0 && Clock::now() >= deadline) return WaitResult::TimedOut;
  }
}

void CompletionPort::Shutdown() {
  if (shut_down_.exchange(true, std::memory_order_acq_rel)) return;
  if (shutdown_fd_.Valid()) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(shutdown_fd_.Get(), &one, sizeof one);
  }
}

size_t CompletionPort::WaitingForTest() const { return waiting_.load(std::memory_order_relaxed); }

uint64_t CompletionPort::WakeupsForTest() const { return wakeups_.load(std::memory_order_relaxed); }

bool CompletionPort::InSetForTest(SocketId id) const {
  Channel* ch = Find(id);
  if (!ch) return false;
  std::lock_guard<std::mutex> lock(ch->mu);
  return ch->serial == id.serial && ch->in_set;
}

size_t CompletionPort::OpenSocketsForTest() const {
  std::lock_guard<std::mutex> lock(table_mu_);
  return open_sockets_;
}

}  // namespace net
