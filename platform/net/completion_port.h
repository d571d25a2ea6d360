// CompletionPort: the server's I/O completion port, built on epoll and eventfd.
// Each ready completion wakes one waiting thread, never all of them.
//
// A socket joins the epoll set only when one of its operations has to wait:
// a request that is there when its receive is posted, and a reply that fits
// the socket's buffer, cost no epoll call, no wake-up and no removal at close.
//
// Sockets are associated with a key (the owner's slot number) and a generation
// number (bumped by the owner at every close, so that completions of an earlier
// connection in the same slot can be told apart and dropped). Receives, sends,
// file sends and user completions are posted; any thread blocked in Wait()
// (GetQueuedCompletionStatus) takes the next finished operation. The contract:
//  - every post that returns true produces exactly one completion, including
//    when the socket is closed or the port shut down before it finished (then
//    it completes as failed with ECANCELED, or is discarded by Shutdown());
//  - a receive completes with the bytes of one recv(); 0 bytes means the peer
//    closed its side;
//  - a send completes only when its whole buffer has gone to the kernel; the
//    port owns the buffer (or the file) until then;
//  - a failed operation completes with ok = false and the errno; the owner
//    treats it as a peer close;
//  - sends never raise SIGPIPE: making a port sets SIGPIPE to ignored for the
//    process when it had its default action.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/net/unique_fd.h"

namespace net {

// Identifies one association; a closed socket's id never matches again, so a
// late call with an old id is refused instead of touching a newer socket.
struct SocketId {
  uint32_t index = 0;   // 1-based slot in the port's table; 0 = none
  uint32_t serial = 0;  // bumped when the table slot is reused
  bool Valid() const { return index != 0; }
  friend bool operator==(SocketId, SocketId) = default;
};

enum class IoKind : uint8_t {
  Receive,
  Send,      // a buffer from PostSend
  SendFile,  // a file range from PostSendFile
  User,      // from PostCompletion
  Accept,    // a watched listening socket has a connection waiting
};

struct Completion {
  uint64_t key = 0;         // as given to Associate / PostCompletion
  uint32_t generation = 0;  // as given to Associate / PostCompletion
  IoKind kind = IoKind::User;
  bool ok = true;    // false: the operation failed; `error` says why
  int error = 0;     // errno of a failed operation, else 0
  size_t bytes = 0;  // bytes moved; for a receive, 0 = peer closed
};

enum class WaitResult {
  Completed,  // *out holds one completion
  TimedOut,   // nothing finished within the time-out
  Shutdown,   // Shutdown() was called; the caller's loop ends
};

class CompletionPort {
 public:
  // Sockets the port can hold at once; Associate fails beyond it.
  static constexpr size_t kMaxSockets = 65536;
  // Sends queued on one socket at once; a post beyond it fails.
  static constexpr size_t kMaxQueuedSends = 1024;

  CompletionPort();
  ~CompletionPort();  // closes every socket and frees every buffer it still owns
  CompletionPort(const CompletionPort&) = delete;
  CompletionPort& operator=(const CompletionPort&) = delete;

  // False when the epoll or eventfd descriptors could not be made (errno set);
  // then every other call fails.
  bool Valid() const { return epoll_fd_.Valid(); }

  // Takes ownership of a connected socket (made non-blocking here, unless the
  // caller says it already is, as accept4 with SOCK_NONBLOCK makes it) and
  // returns its id, or an invalid id with errno set (the socket is then closed).
  SocketId Associate(UniqueFd socket, uint64_t key, uint32_t generation,
                     bool nonblocking = false);

  // Receives at most `len` bytes into `buffer`, which must stay valid until the
  // completion is taken or CloseSocket() returns. One receive may be pending
  // per socket. False (nothing posted, no completion) for an unknown id, a
  // receive already pending, or a port shut down.
  bool PostReceive(SocketId id, char* buffer, size_t len);

  // Sends the whole of `data`; the port owns it until the completion. Sends on
  // one socket go out, and complete, in the order posted. An empty buffer
  // completes at once with 0 bytes. False (data dropped, no completion) as for
  // PostReceive, or when kMaxQueuedSends are already queued.
  bool PostSend(SocketId id, std::vector<char>&& data);

  // Sends `count` bytes of `file` from `offset` with sendfile(), never copying
  // through user space; the port owns and closes `file`. A file that ends
  // before `count` bytes fails the send with EIO.
  bool PostSendFile(SocketId id, UniqueFd file, off_t offset, size_t count);

  // Queues a completion of kind User (PostQueuedCompletionStatus), or of
  // `kind`. False only after Shutdown().
  bool PostCompletion(uint64_t key, uint32_t generation, size_t bytes,
                      IoKind kind = IoKind::User);

  // For a handler that started work it will not do itself: completions its
  // own posts queued for it so far (see Wait) go to other waiters, each
  // waking one.
  void HandOnOwnCompletions();

  // Watches a listening socket (not owned): a connection arriving on it wakes
  // a waiter with a completion of kind Accept and key `key`. Edge-triggered:
  // connections that arrive together may raise one completion, so its taker
  // accepts until none is left, or passes the rest on with PostCompletion of
  // kind Accept. The port never accepts on it. False with errno set when
  // epoll refuses.
  bool WatchListener(int fd, uint32_t key);
  // Stops watching it; a completion fetched before may still come.
  bool UnwatchListener(int fd);

  // Closes the socket. Operations still pending complete as failed with
  // ECANCELED; the port never touches their buffers after this returns. False
  // when the id is unknown (already closed).
  bool CloseSocket(SocketId id);

  // As CloseSocket, but hands the descriptor to the caller instead of closing
  // it, so the owner can finish its bookkeeping before the peer sees the close.
  // Invalid when the id is unknown. A caller that closes it straight away may
  // leave it in the epoll set: the close takes it out, and an event that comes
  // before is dropped as one of a closed id.
  UniqueFd TakeSocket(SocketId id, bool closing_at_once = false);

  // shutdown(SHUT_RDWR) without closing: pending and later operations fail or
  // see the peer close, so the thread that owns the connection closes it. For
  // a watchdog that must not wait for that thread.
  bool ShutdownSocket(SocketId id);

  // shutdown(SHUT_WR): the peer sees the end of what was sent, while
  // receives go on (a server draining a client's input before it closes).
  bool ShutdownSend(SocketId id);

  // Blocks for the next completion (timeout_ms < 0: no time-out). Between
  // two calls the thread is taken to be handling the completion it got: a
  // receive or send that it posts then and that finishes at once is queued
  // for this same thread's next Wait() without waking another (still in
  // order with the socket's other completions). So a handler must not block
  // waiting for another thread to take the completion of its own post;
  // PostCompletion always wakes a sleeping waiter, if there is one; a thread
  // that is not asleep takes queued completions at its next Wait.
  WaitResult Wait(Completion* out, int timeout_ms = -1);

  // Wakes every thread in Wait() now and later with Shutdown. Completions not
  // yet taken are discarded; sockets stay open until CloseSocket or the
  // destructor. Call it, join the waiting threads, then destroy the port.
  void Shutdown();

  size_t OpenSocketsForTest() const;
  // Whether the socket is in the epoll set now.
  bool InSetForTest(SocketId id) const;
  // Threads inside epoll_wait now, and returns of epoll_wait with an event.
  size_t WaitingForTest() const;
  uint64_t WakeupsForTest() const;

 private:
  struct SendOp;
  struct Channel;
  static constexpr size_t kChunkSize = 256;
  static constexpr size_t kChunks = kMaxSockets / kChunkSize;

  Channel* Find(SocketId id) const;
  // Delivers `c` through the ready queue and wakes one waiter.
  void Enqueue(const Completion& c, bool may_defer = true);
  void Kick();
  // Does the pending I/O of `ch` that the readiness `events` allow; finished
  // operations go to `first` (when empty) or the ready queue. Called with
  // ch->mu held.
  void Progress(Channel* ch, uint32_t events, Completion* first, bool* have_first);
  void TryReceive(Channel* ch, Completion* first, bool* have_first);
  void PumpSends(Channel* ch, Completion* first, bool* have_first);
  void Deliver(const Completion& c, Completion* first, bool* have_first);
  void FailPending(Channel* ch, int error);
  // Puts the socket in the epoll set (or changes its events there) for input
  // edges and `events`; false with errno set when epoll refuses. ch->mu held.
  bool Join(Channel* ch, uint32_t events);
  // Asks for EPOLLOUT edges from now on; false (errno set) when it cannot.
  // Called with ch->mu held.
  bool WatchWritable(Channel* ch);
  WaitResult WaitForEvent(Completion* out, int timeout_ms);
  bool TakeReady(Completion* out);
  bool ReadyQueueEmpty();

  UniqueFd epoll_fd_;
  UniqueFd ready_fd_;     // eventfd, edge-triggered: one write per queued completion
  UniqueFd shutdown_fd_;  // eventfd written once, never read: stays readable
  std::atomic<bool> shut_down_{false};
  std::atomic<size_t> waiting_{0};      // threads in WaitForEvent's sleep, or about to be
  std::atomic<size_t> ready_count_{0};  // ready_.size(), read without ready_mu_
  std::atomic<uint64_t> wakeups_{0};

  std::mutex ready_mu_;
  std::deque<Completion> ready_;  // Guarded by ready_mu_.

  // Channels live in fixed chunks made on demand, so a lookup needs no lock.
  std::unique_ptr<std::atomic<Channel*>[]> chunks_;
  mutable std::mutex table_mu_;
  std::vector<uint32_t> free_indexes_;  // Guarded by table_mu_.
  uint32_t next_index_ = 1;             // Guarded by table_mu_.
  size_t open_sockets_ = 0;             // Guarded by table_mu_.
};

}  // namespace net
