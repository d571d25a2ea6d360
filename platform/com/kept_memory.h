// Memory that modules keep between calls for speed (free blocks of ended
// work, spare buffers) and that an idle process need not hold. A module's
// statics are its own (symbols are hidden), so a program cannot reach a
// component's caches by name: each module registers how to free its own here,
// in the one platform library of the process, and ReleaseKeptMemory frees
// them all. Modules stay loaded to the end of the process (see activation.h),
// so a registered function stays callable.
#pragma once

namespace com {

// Adds `release` (once: a second registration of it is ignored). It must be
// safe to call from any thread at any time.
void RegisterKeptMemory(void (*release)());

// Calls every registered release function, in registration order.
void ReleaseKeptMemory();

}  // namespace com
