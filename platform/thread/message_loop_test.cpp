#include "platform/thread/message_loop.h"

#include <gtest/gtest.h>

#include <atomic>
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

TEST(MessageLoopTest, PostsArriveInOrderAndQuitEndsTheLoop) {
  DWORD loop_thread = 0;
  std::latch ready(1);
  std::vector<std::pair<UINT, WPARAM>> seen;
  int exit_code = -1;
  std::thread loop([&] {
    MakeQueue();
    loop_thread = GetCurrentThreadId();
    ready.count_down();
    MSG msg;
    while (GetMessage(&msg, nullptr, 0, 0)) {
      seen.emplace_back(msg.message, msg.wParam);
      if (msg.message == WM_USER + 2) PostQuitMessage(7);
    }
    exit_code = int(msg.wParam);
  });
  ready.wait();
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
