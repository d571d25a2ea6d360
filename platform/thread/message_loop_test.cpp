#include "platform/thread/message_loop.h"
#include "platform/thread/internal/timer_schedule.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/thread/clock.h"
#include "platform/thread/sync.h"

namespace {

// Creates the calling thread's queue, as the design's threads do before they
// tell others that they are ready for posts.
void MakeQueue() {
  MSG msg;
  PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

TEST(MessageLoopTest, PostsArriveInOrderAndQuitEndsTheLoop) {
  DWORD loop_thread = 0;
  thread::Event ready(/*manual_reset=*/true);
  std::vector<std::pair<UINT, WPARAM>> seen;
  int exit_code = -1;
  std::thread loop([&] {
    MakeQueue();
    loop_thread = GetCurrentThreadId();
    ready.Set();
    MSG msg;
    while (GetMessage(&msg, nullptr, 0, 0)) {
      seen.emplace_back(msg.message, msg.wParam);
      if (msg.message == WM_USER + 2) PostQuitMessage(7);
    }
    exit_code = int(msg.wParam);
  });
  ready.Wait();
  EXPECT_TRUE(PostThreadMessage(loop_thread, WM_USER, 1, 0));
  EXPECT_TRUE(PostThreadMessage(loop_thread, WM_USER + 1, 2, 0));
  EXPECT_TRUE(PostThreadMessage(loop_thread, WM_USER + 2, 3, 0));
  loop.join();
  EXPECT_EQ(seen, (std::vector<std::pair<UINT, WPARAM>>{
                      {WM_USER, 1}, {WM_USER + 1, 2}, {WM_USER + 2, 3}}));
  EXPECT_EQ(exit_code, 7);
  // The thread is gone and so is its queue.
  EXPECT_FALSE(PostThreadMessage(loop_thread, WM_USER, 0, 0));
}

TEST(MessageLoopTest, PostedQuitMessageFromAnotherThreadEndsTheLoop) {
  DWORD loop_thread = 0;
  thread::Event ready(true);
  BOOL last = 1;
  std::thread loop([&] {
    MakeQueue();
    loop_thread = GetCurrentThreadId();
    ready.Set();
    MSG msg;
    while ((last = GetMessage(&msg, nullptr, 0, 0)) != 0) {
    }
  });
  ready.Wait();
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
    EXPECT_EQ(thread_internal::NextTimerDue(c.due, c.period, c.now), c.next)
        << c.due << " " << c.period << " " << c.now;
  }
}

TEST(ClockTest, TickCountIsMonotonicAndSleepWaits) {
  const ULONGLONG start = GetTickCount();
  Sleep(20);
  const ULONGLONG end = GetTickCount();
  EXPECT_GE(end - start, 20u);
}

TEST(SyncTest, CriticalSectionIsRecursiveAndExclusive) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));  // the owner may enter again
  bool other_got_it = true;
  std::thread([&] { other_got_it = TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(other_got_it);
  LeaveCriticalSection(&cs);
  std::thread([&] { other_got_it = TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(other_got_it);  // still held once
  LeaveCriticalSection(&cs);
  std::thread([&] {
    other_got_it = TryEnterCriticalSection(&cs);
    if (other_got_it) LeaveCriticalSection(&cs);
  }).join();
  EXPECT_TRUE(other_got_it);
  DeleteCriticalSection(&cs);
}

TEST(SyncTest, ManualEventReleasesAllAutoEventOne) {
  thread::Event manual(/*manual_reset=*/true);
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));  // stays set
  manual.Reset();
  EXPECT_FALSE(manual.Wait(10));

  thread::Event automatic(/*manual_reset=*/false, /*initially_set=*/true);
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));  // reset by the first wait

  // One Set of a manual event releases every waiter.
  manual.Reset();
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (manual.Wait()) ++woken;
    });
  }
  manual.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 3);
}

}  // namespace
