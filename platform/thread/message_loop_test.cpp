#include "platform/thread/message_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <latch>
#include <thread>
#include <vector>

#include "platform/thread/clock.h"
#include "platform/thread/internal/timer_schedule.h"

namespace {

// Creates the calling thread's queue, as the design's threads do before they
// tell others that they are ready for posts.
void MakeQueue() {
  MSG msg;
  PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

// A thread running a message loop that hands each message to `take`; its id
// is known, and its queue made, once the constructor returns.
class LoopThread {
 public:
  explicit LoopThread(std::function<void(const MSG&)> take)
      : thread_([this, take = std::move(take)] {
          MakeQueue();
          id_ = GetCurrentThreadId();
          ready_.count_down();
          MSG msg;
          while (GetMessage(&msg, nullptr, 0, 0)) take(msg);
          exit_code_ = int(msg.wParam);
        }) {
    ready_.wait();
  }
  DWORD id() const { return id_; }
  // Waits for the loop's end: the exit code its quit message carried.
  int Join() {
    thread_.join();
    return exit_code_;
  }

 private:
  std::latch ready_{1};
  DWORD id_ = 0;
  int exit_code_ = -1;
  std::thread thread_;
};

TEST(MessageLoopTest, PostsArriveInOrderAndQuitEndsTheLoop) {
  std::vector<std::pair<UINT, WPARAM>> seen;
  LoopThread loop([&](const MSG& msg) {
    seen.emplace_back(msg.message, msg.wParam);
    if (msg.message == WM_USER + 2) PostQuitMessage(7);
  });
  EXPECT_TRUE(PostThreadMessage(loop.id(), WM_USER, 1, 0));
  EXPECT_TRUE(PostThreadMessage(loop.id(), WM_USER + 1, 2, 0));
  EXPECT_TRUE(PostThreadMessage(loop.id(), WM_USER + 2, 3, 0));
  const int exit_code = loop.Join();
  EXPECT_EQ(seen, (std::vector<std::pair<UINT, WPARAM>>{
                      {WM_USER, 1}, {WM_USER + 1, 2}, {WM_USER + 2, 3}}));
  EXPECT_EQ(exit_code, 7);
  // The thread is gone and so is its queue.
  EXPECT_FALSE(PostThreadMessage(loop.id(), WM_USER, 0, 0));
}

TEST(MessageLoopTest, PostedQuitMessageFromAnotherThreadEndsTheLoop) {
  DWORD loop_thread = 0;
  std::latch ready(1);
  BOOL last = 1;
  std::thread loop([&] {
    MakeQueue();
    loop_thread = GetCurrentThreadId();
    ready.count_down();
    MSG msg;
    while ((last = GetMessage(&msg, nullptr, 0, 0)) != 0) {
    }
  });
  ready.wait();
  EXPECT_TRUE(PostThreadMessage(loop_thread, WM_QUIT, 0, 0));
  loop.join();
  EXPECT_EQ(last, 0);
}

TEST(MessageLoopTest, QueueIsBounded) {
  MakeQueue();
  const DWORD self = GetCurrentThreadId();
  for (size_t i = 0; i < kMaxPostedMessages; ++i) {
    ASSERT_TRUE(PostThreadMessage(self, WM_APP, i, 0));
  }
  EXPECT_FALSE(PostThreadMessage(self, WM_APP, 0, 0));
  MSG msg;
  size_t drained = 0;
  while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
    EXPECT_EQ(msg.wParam, drained);
    ++drained;
  }
  EXPECT_EQ(drained, kMaxPostedMessages);
}

std::atomic<int> g_fast_ticks{0};
std::atomic<int> g_ticks_after_kill{0};
std::atomic<bool> g_killed{false};
std::atomic<DWORD> g_callback_thread{0};

void FastTimer(HWND, UINT message, UINT_PTR id, DWORD) {
  EXPECT_EQ(message, WM_TIMER);
  g_callback_thread = GetCurrentThreadId();
  if (g_killed) {
    ++g_ticks_after_kill;
    return;
  }
  if (++g_fast_ticks == 3) {
    EXPECT_TRUE(KillTimer(nullptr, id));
    g_killed = true;
    // Give a killed timer every chance to fire again before the loop ends.
    SetTimer(nullptr, 999, 100, [](HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(0); });
  }
}

std::vector<WPARAM> g_ran;
void RecordRun(WPARAM argument) { g_ran.push_back(argument); }

TEST(MessageLoopTest, DispatchRunsPostedCallsInOrderFromAnyThread) {
  g_ran.clear();
  MakeQueue();
  const DWORD me = GetCurrentThreadId();
  const LPARAM proc = reinterpret_cast<LPARAM>(&RecordRun);
  ASSERT_TRUE(PostThreadMessage(me, WM_QV_POSTED_CALL, 1, proc));
  std::thread([&] { EXPECT_TRUE(PostThreadMessage(me, WM_QV_POSTED_CALL, 2, proc)); }).join();
  ASSERT_TRUE(PostThreadMessage(me, WM_QV_POSTED_CALL, 3, 0));  // no procedure: nothing runs
  PostQuitMessage(0);
  MSG msg;
  while (GetMessage(&msg, nullptr, 0, 0) > 0) DispatchMessage(&msg);
  EXPECT_EQ(g_ran, (std::vector<WPARAM>{1, 2}));
}

TEST(MessageLoopTest, TimersFireInsideTheLoopUntilKilled) {
  // The callback can only reach globals; a repeated run starts them afresh.
  g_fast_ticks = 0;
  g_ticks_after_kill = 0;
  g_killed = false;
  g_callback_thread = 0;
  UINT_PTR id = SetTimer(nullptr, 0, 10, FastTimer);
  ASSERT_NE(id, 0u);
  MSG msg;
  int timer_messages = 0;
  while (GetMessage(&msg, nullptr, 0, 0)) {
    if (msg.message == WM_TIMER) ++timer_messages;
    DispatchMessage(&msg);
  }
  EXPECT_EQ(g_fast_ticks, 3);
  EXPECT_EQ(g_ticks_after_kill, 0);
  EXPECT_EQ(timer_messages, 4);  // three fast ones and the one that quit
  EXPECT_EQ(g_callback_thread, GetCurrentThreadId());
  EXPECT_FALSE(KillTimer(nullptr, id));
  EXPECT_TRUE(KillTimer(nullptr, 999));
}

TEST(MessageLoopTest, TimerWithoutCallbackIsAMessageAndSameIdReplaces) {
  ASSERT_EQ(SetTimer(nullptr, 42, 60000, nullptr), 42u);
  ASSERT_EQ(SetTimer(nullptr, 42, 10, nullptr), 42u);  // replaces the slow one
  MSG msg;
  ASSERT_TRUE(GetMessage(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_EQ(msg.wParam, 42u);
  EXPECT_EQ(DispatchMessage(&msg), 0);
  EXPECT_TRUE(KillTimer(nullptr, 42));
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
}

// A source over a pipe: the waiting loop reads each byte that came itself and
// posts it to its own thread as a WM_USER message.
class PipeSource final : public LoopWaitSource {
 public:
  PipeSource() { EXPECT_EQ(pipe2(fds_, O_CLOEXEC | O_NONBLOCK), 0); }
  ~PipeSource() override {
    for (int fd : fds_) close(fd);
  }
  int BeginWait() override {
    ++begins;
    return off ? -1 : fds_[0];
  }
  void EndWait(bool ready) override {
    ++ends;
    if (!ready) return;
    char byte;
    while (read(fds_[0], &byte, 1) == 1) {
      reading_thread = GetCurrentThreadId();
      PostThreadMessage(GetCurrentThreadId(), WM_USER, WPARAM(byte), 0);
    }
  }
  void Write(char byte) { ASSERT_EQ(write(fds_[1], &byte, 1), 1); }

  std::atomic<int> begins{0};
  std::atomic<int> ends{0};
  std::atomic<bool> off{false};
  std::atomic<DWORD> reading_thread{0};

 private:
  int fds_[2] = {-1, -1};
};

// Input on a source wakes a loop that waited on its condition before the
// source came, and posts from other threads still wake it once it waits on
// the source: each comes out of GetMessage in the order it happened.
TEST(LoopWaitSourceTest, TheWaitingLoopReadsItsSourcesAndStillTakesPosts) {
  std::atomic<int> taken{0};
  std::vector<std::pair<UINT, WPARAM>> seen;
  LoopThread loop([&](const MSG& msg) {
    seen.emplace_back(msg.message, msg.wParam);
    ++taken;
    if (msg.message == WM_USER && msg.wParam == 'q') PostQuitMessage(0);
  });
  auto source = std::make_shared<PipeSource>();
  ASSERT_TRUE(AddLoopWaitSource(loop.id(), source));
  source->Write('a');
  while (taken.load() < 1) std::this_thread::yield();
  EXPECT_TRUE(PostThreadMessage(loop.id(), WM_USER + 1, 7, 0));
  while (taken.load() < 2) std::this_thread::yield();
  source->Write('q');
  loop.Join();
  EXPECT_EQ(seen, (std::vector<std::pair<UINT, WPARAM>>{
                      {WM_USER, 'a'}, {WM_USER + 1, 7}, {WM_USER, 'q'}}));
  EXPECT_EQ(source->reading_thread.load(), loop.id());
  EXPECT_EQ(source->begins.load(), source->ends.load());
  // The thread is gone and so is its queue.
  EXPECT_FALSE(AddLoopWaitSource(loop.id(), source));
}

// Only a wait that can take what sources post asks them: a peek never does,
// nor a GetMessage for timers alone; a due timer ends a wait on sources.
TEST(LoopWaitSourceTest, SourcesAreAskedOnlyByWaitsThatTakePostedCalls) {
  MakeQueue();
  const DWORD me = GetCurrentThreadId();
  auto source = std::make_shared<PipeSource>();
  ASSERT_TRUE(AddLoopWaitSource(me, source));
  source->Write('x');
  MSG msg;
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
  ASSERT_EQ(SetTimer(nullptr, 5, 10, nullptr), 5u);
  ASSERT_TRUE(GetMessage(&msg, nullptr, WM_TIMER, WM_TIMER));
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_EQ(source->begins.load(), 0);  // the byte is still in the pipe

  ASSERT_EQ(SetTimer(nullptr, 5, 60000, nullptr), 5u);  // out of the byte's way
  ASSERT_TRUE(GetMessage(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, WM_USER);
  EXPECT_EQ(msg.wParam, WPARAM('x'));
  ASSERT_EQ(SetTimer(nullptr, 5, 10, nullptr), 5u);
  ASSERT_TRUE(GetMessage(&msg, nullptr, 0, 0));  // nothing more comes: the timer ends the wait
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_GE(source->begins.load(), 2);
  EXPECT_EQ(source->begins.load(), source->ends.load());
  EXPECT_TRUE(KillTimer(nullptr, 5));
  RemoveLoopWaitSource(me, source.get());
}

// A source that offers no descriptor, one removed and one that expired: the
// loop still ends its waits by its timer and never reads them.
TEST(LoopWaitSourceTest, SourcesWithoutADescriptorRemovedOrExpiredAreNotRead) {
  MakeQueue();
  const DWORD me = GetCurrentThreadId();
  auto idle = std::make_shared<PipeSource>();
  auto removed = std::make_shared<PipeSource>();
  auto expired = std::make_shared<PipeSource>();
  for (const auto& s : {idle, removed, expired}) ASSERT_TRUE(AddLoopWaitSource(me, s));
  idle->off = true;
  idle->Write('i');
  removed->Write('r');
  RemoveLoopWaitSource(me, removed.get());
  std::weak_ptr<PipeSource> gone = expired;
  expired.reset();
  ASSERT_TRUE(gone.expired());
  ASSERT_EQ(SetTimer(nullptr, 6, 10, nullptr), 6u);
  MSG msg;
  ASSERT_TRUE(GetMessage(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_GE(idle->begins.load(), 1);
  EXPECT_EQ(idle->begins.load(), idle->ends.load());
  EXPECT_EQ(idle->reading_thread.load(), 0u);
  EXPECT_EQ(removed->begins.load(), 0);
  EXPECT_TRUE(KillTimer(nullptr, 6));
  RemoveLoopWaitSource(me, idle.get());
}

// A loop that was busy when a timer fell due gets one WM_TIMER, and the next
// one keeps the timer's own schedule: neither a burst for the missed periods
// nor a schedule shifted by the loop's lateness.
TEST(TimerScheduleTest, ALateLoopKeepsTheScheduleAndSkipsMissedPeriods) {
  struct Case {
    ULONGLONG due, period, now, next;
  } cases[] = {
      {1000, 1000, 1000, 2000},  // on time
      {1000, 1000, 1003, 2000},  // a little late: the schedule does not shift
      {1000, 1000, 2300, 3000},  // two periods missed: one expiry, then back on schedule
      {1000, 1000, 1999, 2000},
      {1000, 1000, 2000, 3000},  // exactly on the next point: that one is taken now
      {5, 10, 123456789, 123456795},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(thread::internal::NextTimerDue(c.due, c.period, c.now), c.next)
        << c.due << " " << c.period << " " << c.now;
  }
}

TEST(ClockTest, TickCountIsMonotonicAndSleepWaits) {
  const ULONGLONG start = GetTickCount();
  Sleep(20);
  const ULONGLONG end = GetTickCount();
  EXPECT_GE(end - start, 20u);
}

}  // namespace
