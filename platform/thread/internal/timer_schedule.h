// The arithmetic of a thread timer's schedule, apart from any clock so that it
// can be checked exactly.
#pragma once

#include "platform/base/base.h"

namespace thread::internal {

// The first expiry of the schedule due, due + period, due + 2 * period, ...
// that lies after `now` (now >= due): a late loop neither shifts the schedule
// nor fires once for every period it missed.
constexpr ULONGLONG NextTimerDue(ULONGLONG due, ULONGLONG period, ULONGLONG now) {
  return due + (now - due) / period * period + period;
}

}  // namespace thread::internal
