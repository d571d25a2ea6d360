// Per-thread message queues: the message loop of the service thread, thread
// timers whose callbacks run inside that loop, and messages posted from other
// threads (the service stop posts a quit message).
//
// A thread gets its queue on its first GetMessage, PeekMessage or SetTimer;
// until then PostThreadMessage to it fails. The queue dies with the thread.
// Posted messages come first, in order; the quit of PostQuitMessage comes when
// no posted message is left; a due timer's WM_TIMER comes only when nothing
// else is waiting, at most one per timer, and it is not repeated for periods
// the loop missed.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/base/base.h"

using HWND = void*;  // no windows here: always null
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using UINT_PTR = uintptr_t;

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;  // low 32 bits of GetTickCount when retrieved
};

inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_APP = 0x8000;
inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;
inline constexpr UINT USER_TIMER_MINIMUM = 10;       // ms
inline constexpr size_t kMaxPostedMessages = 10000;  // per queue
// A posted message that DispatchMessage runs: lParam is a POSTEDPROC, called
// with wParam. Cross-process calls reach a thread's loop this way.
inline constexpr UINT WM_QV_POSTED_CALL = WM_APP + 0x3F00;
using POSTEDPROC = void (*)(WPARAM argument);

// Called by DispatchMessage for a WM_TIMER of a timer set with a callback.
using TIMERPROC = void (*)(HWND hwnd, UINT message, UINT_PTR id, DWORD time);

DWORD GetCurrentThreadId();

// Queues a message for `thread_id`; FALSE when that thread has no queue or its
// queue holds kMaxPostedMessages already.
BOOL PostThreadMessage(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam);
// Waits for the next message of this thread in [min, max] (0, 0: any; WM_QUIT
// always). Returns 0 for WM_QUIT (its wParam the exit code), else nonzero.
BOOL GetMessage(MSG* msg, HWND hwnd, UINT min, UINT max);
// As GetMessage without waiting: FALSE when nothing is there. With PM_NOREMOVE
// the message stays queued (a due timer stays due).
BOOL PeekMessage(MSG* msg, HWND hwnd, UINT min, UINT max, UINT remove);
// Asks this thread's loop to end once the messages posted before are taken.
void PostQuitMessage(int exit_code);
// Runs the callback of a WM_TIMER message or the procedure of a
// WM_QV_POSTED_CALL message; returns 0.
LRESULT DispatchMessage(const MSG* msg);
inline BOOL TranslateMessage(const MSG*) { return 0; }

// Something besides its queue that a thread's GetMessage waits on while
// nothing is queued: input there is then read by the thread that goes on to
// use it, with no hand-off from another thread. What a source reads comes out
// as posted calls, so a GetMessage whose range leaves out WM_QV_POSTED_CALL
// does not wait on sources.
class LoopWaitSource {
 public:
  virtual ~LoopWaitSource() = default;
  // Asked before each wait: the descriptor to wait on for input, or -1 for
  // none this time.
  virtual int BeginWait() = 0;
  // Follows every BeginWait, on the same thread and outside the queue's
  // lock; `ready` when its descriptor had input (or an error). What it posts
  // to this thread comes out of the same GetMessage.
  virtual void EndWait(bool ready) = 0;
};

// Adds `source` to the waits of `thread_id`'s GetMessage (from any thread);
// an expired source is dropped. FALSE when that thread has no queue or no
// descriptor can be had to wake its waits.
BOOL AddLoopWaitSource(DWORD thread_id, std::weak_ptr<LoopWaitSource> source);
// Removes `source` (from any thread); a wait of that thread that had taken it
// already may still ask it once more, BeginWait and EndWait.
void RemoveLoopWaitSource(DWORD thread_id, const LoopWaitSource* source);

// Starts or restarts a timer of this thread firing every `elapse_ms` (at least
// USER_TIMER_MINIMUM). With `id` 0 a fresh id is chosen; a timer with the same
// id is replaced. Returns the id, 0 on failure.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse_ms, TIMERPROC callback);
// Stops a timer of this thread; FALSE when there is none with that id.
BOOL KillTimer(HWND hwnd, UINT_PTR id);
