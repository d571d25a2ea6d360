// Time for the system's timers and time-outs: a monotonic millisecond count
// and sleeping.
#pragma once

#include "platform/base/base.h"

// Milliseconds since an arbitrary start, monotonic; 64 bits, so it never wraps.
ULONGLONG GetTickCount();
void Sleep(DWORD milliseconds);
