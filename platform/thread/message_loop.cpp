#include "platform/thread/message_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/thread/clock.h"
#include "platform/thread/internal/timer_schedule.h"

namespace {

struct Timer {
  UINT_PTR id;
  UINT period;
  TIMERPROC callback;
  ULONGLONG due;
};

struct Queue {
  ~Queue() {
    if (event_fd >= 0) close(event_fd);
  }
  std::mutex mu;
  std::condition_variable cv;
  std::deque<MSG> posted;      // Guarded by mu.
  bool quit = false;           // Guarded by mu.
  int quit_code = 0;           // Guarded by mu.
  std::vector<Timer> timers;   // Guarded by mu.
  UINT_PTR next_id = 0x10000;  // Guarded by mu; fresh ids stay clear of chosen ones.
  std::vector<std::weak_ptr<LoopWaitSource>> sources;  // Guarded by mu.
  // While the thread polls its sources, posts wake it through this
  // descriptor (made with the first source) instead of the condition.
  int event_fd = -1;     // Guarded by mu.
  bool polling = false;  // Guarded by mu.
};

struct Queues {
  std::mutex mu;
  std::unordered_map<DWORD, std::shared_ptr<Queue>> by_thread;  // Guarded by mu.
};

Queues& AllQueues() {
  static Queues* q = new Queues;  // outlives every thread's exit
  return *q;
}

// Removes the thread's queue from the table when the thread ends.
struct QueueOwner {
  std::shared_ptr<Queue> queue;
  DWORD thread = 0;
  ~QueueOwner() {
    if (!queue) return;
    Queues& all = AllQueues();
    std::lock_guard lock(all.mu);
    all.by_thread.erase(thread);
  }
};

thread_local QueueOwner t_owner;

Queue& ThisQueue() {
  if (!t_owner.queue) {
    t_owner.queue = std::make_shared<Queue>();
    t_owner.thread = GetCurrentThreadId();
    Queues& all = AllQueues();
    std::lock_guard lock(all.mu);
    all.by_thread[t_owner.thread] = t_owner.queue;
  }
  return *t_owner.queue;
}

std::shared_ptr<Queue> QueueOf(DWORD thread_id) {
  Queues& all = AllQueues();
  std::lock_guard lock(all.mu);
  auto it = all.by_thread.find(thread_id);
  return it == all.by_thread.end() ? nullptr : it->second;
}

void Signal(int event_fd) {
  if (event_fd < 0) return;
  const uint64_t one = 1;
  (void)!write(event_fd, &one, sizeof one);
}

bool InRange(UINT message, UINT min, UINT max) {
  return (min == 0 && max == 0) || message == WM_QUIT || (message >= min && message <= max);
}

enum class Found { Nothing, Message, Quit };

// Takes (or with `remove` false, copies) the next message; *wait_ms receives
// how long until a timer is due when nothing was found.
Found NextMessage(Queue& q, MSG* msg, UINT min, UINT max, bool remove, ULONGLONG* wait_ms) {
  *msg = MSG{};
  const ULONGLONG now = GetTickCount();
  msg->time = DWORD(now);
  for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
    if (!InRange(it->message, min, max)) continue;
    *msg = *it;
    msg->time = DWORD(now);
    if (remove) q.posted.erase(it);
    return msg->message == WM_QUIT ? Found::Quit : Found::Message;
  }
  if (q.quit) {
    msg->message = WM_QUIT;
    msg->wParam = WPARAM(q.quit_code);
    if (remove) q.quit = false;
    return Found::Quit;
  }
  *wait_ms = ~0ull;
  if (!InRange(WM_TIMER, min, max)) return Found::Nothing;
  Timer* next = nullptr;
  for (Timer& t : q.timers) {
    if (!next || t.due < next->due) next = &t;
  }
  if (!next) return Found::Nothing;
  if (next->due > now) {
    *wait_ms = next->due - now;
    return Found::Nothing;
  }
  msg->message = WM_TIMER;
  msg->wParam = next->id;
  msg->lParam = reinterpret_cast<LPARAM>(next->callback);
  if (remove) {
    next->due = thread::internal::NextTimerDue(next->due, next->period, now);
  }
  return Found::Message;
}

// Asks each source for its descriptor: the waits that follow poll on these,
// the queue's own descriptor first.
std::vector<pollfd> BeginWaits(const std::vector<std::shared_ptr<LoopWaitSource>>& sources,
                               int event_fd) {
  std::vector<pollfd> fds(sources.size() + 1);
  fds[0] = {event_fd, POLLIN, 0};
  for (size_t i = 0; i < sources.size(); ++i) fds[i + 1] = {sources[i]->BeginWait(), POLLIN, 0};
  return fds;
}

// Until input, a post or `wait_ms` (~0: none); the count of ready descriptors.
int PollSources(std::vector<pollfd>& fds, ULONGLONG wait_ms) {
  const int timeout = wait_ms == ~0ull ? -1 : int(std::min<ULONGLONG>(wait_ms, 1u << 30));
  const int ready = poll(fds.data(), fds.size(), timeout);
  if (ready > 0 && fds[0].revents) {
    uint64_t count;
    (void)!read(fds[0].fd, &count, sizeof count);
  }
  return ready;
}

void EndWaits(const std::vector<std::shared_ptr<LoopWaitSource>>& sources,
              const std::vector<pollfd>& fds, int ready) {
  for (size_t i = 0; i < sources.size(); ++i) {
    sources[i]->EndWait(ready > 0 && fds[i + 1].fd >= 0 && fds[i + 1].revents != 0);
  }
}

}  // namespace

DWORD GetCurrentThreadId() { return DWORD(gettid()); }

BOOL PostThreadMessage(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  std::shared_ptr<Queue> q = QueueOf(thread_id);
  if (!q) return 0;
  int event_fd = -1;
  {
    std::lock_guard lock(q->mu);
    if (q->posted.size() >= kMaxPostedMessages) return 0;
    q->posted.push_back(MSG{nullptr, message, wparam, lparam, 0});
    if (q->polling) event_fd = q->event_fd;
  }
  q->cv.notify_one();
  Signal(event_fd);
  return 1;
}

BOOL AddLoopWaitSource(DWORD thread_id, std::weak_ptr<LoopWaitSource> source) {
  std::shared_ptr<Queue> q = QueueOf(thread_id);
  if (!q) return 0;
  int event_fd = -1;
  {
    std::lock_guard lock(q->mu);
    if (q->event_fd < 0) q->event_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (q->event_fd < 0) return 0;
    q->sources.push_back(std::move(source));
    if (q->polling) event_fd = q->event_fd;  // a wait under way takes the new one in
  }
  q->cv.notify_one();  // as does one on the condition
  Signal(event_fd);
  return 1;
}

void RemoveLoopWaitSource(DWORD thread_id, const LoopWaitSource* source) {
  std::shared_ptr<Queue> q = QueueOf(thread_id);
  if (!q) return;
  int event_fd = -1;
  std::vector<std::shared_ptr<LoopWaitSource>> looked_at;  // released after the lock
  {
    std::lock_guard lock(q->mu);
    std::erase_if(q->sources, [&](const std::weak_ptr<LoopWaitSource>& s) {
      std::shared_ptr<LoopWaitSource> live = s.lock();
      const bool drop = !live || live.get() == source;
      looked_at.push_back(std::move(live));
      return drop;
    });
    if (q->polling) event_fd = q->event_fd;
  }
  Signal(event_fd);
}

BOOL GetMessage(MSG* msg, HWND, UINT min, UINT max) {
  if (!msg) return -1;
  Queue& q = ThisQueue();
  std::unique_lock lock(q.mu);
  while (true) {
    ULONGLONG wait_ms = 0;
    switch (NextMessage(q, msg, min, max, /*remove=*/true, &wait_ms)) {
      case Found::Message:
        return 1;
      case Found::Quit:
        return 0;
      case Found::Nothing:
        break;
    }
    std::vector<std::shared_ptr<LoopWaitSource>> sources;
    if (InRange(WM_QV_POSTED_CALL, min, max)) {
      std::erase_if(q.sources, [&](const std::weak_ptr<LoopWaitSource>& s) {
        std::shared_ptr<LoopWaitSource> live = s.lock();
        if (!live) return true;
        sources.push_back(std::move(live));
        return false;
      });
    }
    if (!sources.empty()) {
      q.polling = true;
      const int event_fd = q.event_fd;
      lock.unlock();
      std::vector<pollfd> fds = BeginWaits(sources, event_fd);
      const int ready = PollSources(fds, wait_ms);
      lock.lock();
      q.polling = false;  // what the sources post to this thread needs no wake-up
      lock.unlock();
      EndWaits(sources, fds, ready);
      sources.clear();  // a source's last reference may go here, never under the lock
      lock.lock();
    } else if (wait_ms == ~0ull) {
      q.cv.wait(lock);
    } else {
      q.cv.wait_for(lock, std::chrono::milliseconds(wait_ms));
    }
  }
}

BOOL PeekMessage(MSG* msg, HWND, UINT min, UINT max, UINT remove) {
  if (!msg) return 0;
  Queue& q = ThisQueue();
  std::lock_guard lock(q.mu);
  ULONGLONG wait_ms = 0;
  return NextMessage(q, msg, min, max, (remove & PM_REMOVE) != 0, &wait_ms) != Found::Nothing;
}

void PostQuitMessage(int exit_code) {
  Queue& q = ThisQueue();
  std::lock_guard lock(q.mu);
  q.quit = true;
  q.quit_code = exit_code;
}

LRESULT DispatchMessage(const MSG* msg) {
  if (msg && msg->message == WM_TIMER && msg->lParam != 0) {
    reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam,
                                             DWORD(GetTickCount()));
  } else if (msg && msg->message == WM_QV_POSTED_CALL && msg->lParam != 0) {
    reinterpret_cast<POSTEDPROC>(msg->lParam)(msg->wParam);
  }
  return 0;
}

UINT_PTR SetTimer(HWND, UINT_PTR id, UINT elapse_ms, TIMERPROC callback) {
  Queue& q = ThisQueue();
  const UINT period = std::clamp<UINT>(elapse_ms, USER_TIMER_MINIMUM, 0x7FFFFFFF);
  {
    std::lock_guard lock(q.mu);
    auto find = [&](UINT_PTR wanted) {
      return std::find_if(q.timers.begin(), q.timers.end(),
                          [wanted](const Timer& t) { return t.id == wanted; });
    };
    if (id == 0) {
      do {
        id = q.next_id++;
      } while (id == 0 || find(id) != q.timers.end());
    }
    const Timer timer{id, period, callback, GetTickCount() + period};
    if (auto it = find(id); it != q.timers.end()) {
      *it = timer;
    } else {
      q.timers.push_back(timer);
    }
  }
  q.cv.notify_one();
  return id;
}

BOOL KillTimer(HWND, UINT_PTR id) {
  Queue& q = ThisQueue();
  std::lock_guard lock(q.mu);
  const auto before = q.timers.size();
  std::erase_if(q.timers, [id](const Timer& t) { return t.id == id; });
  return q.timers.size() != before;
}
