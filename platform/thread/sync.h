// Locks and events for the server's threads. Critical sections are recursive,
// as the design's code relies on: the thread that holds one may enter it again
// and must leave it as often.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/com/base.h"

struct CRITICAL_SECTION {
  std::recursive_mutex mutex;
};

// Initialize and Delete are kept for the design's call sites; the mutex needs
// neither.
inline void InitializeCriticalSection(CRITICAL_SECTION*) {}
inline void DeleteCriticalSection(CRITICAL_SECTION*) {}
inline void EnterCriticalSection(CRITICAL_SECTION* cs) { cs->mutex.lock(); }
inline void LeaveCriticalSection(CRITICAL_SECTION* cs) { cs->mutex.unlock(); }
inline BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) { return cs->mutex.try_lock(); }

namespace thread {

inline constexpr DWORD kInfinite = 0xFFFFFFFF;

// Holds a critical section for a scope.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
  ~CriticalSectionLock() { LeaveCriticalSection(&cs_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION& cs_;
};

// An event: manual-reset events stay signalled until Reset and release every
// waiter; auto-reset events release one waiter and reset themselves.
class Event {
 public:
  explicit Event(bool manual_reset, bool initially_set = false)
      : manual_(manual_reset), set_(initially_set) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // True when the event was (or became) signalled within `timeout_ms`
  // (kInfinite waits for ever; 0 only tests).
  bool Wait(DWORD timeout_ms = kInfinite);

 private:
  const bool manual_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool set_;  // Guarded by mu_.
};

}  // namespace thread
