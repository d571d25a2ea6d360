#include "platform/com/kept_memory.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string g_calls;

void ReleaseA() { g_calls += 'a'; }
void ReleaseB() { g_calls += 'b'; }
void ReleaseLate() { g_calls += 'l'; }
// As a module whose cache is made, and registered, while a release runs.
void ReleaseRegisteringLate() {
  g_calls += 'r';
  com::RegisterKeptMemory(&ReleaseLate);
}

TEST(KeptMemoryTest, EveryRegisteredReleaseRunsOncePerCall) {
  com::RegisterKeptMemory(&ReleaseA);
  com::RegisterKeptMemory(&ReleaseB);
  com::RegisterKeptMemory(&ReleaseA);  // a module registering again
  com::RegisterKeptMemory(&ReleaseRegisteringLate);
  g_calls.clear();
  com::ReleaseKeptMemory();
  EXPECT_EQ(g_calls, "abr");
  g_calls.clear();
  com::ReleaseKeptMemory();
  EXPECT_EQ(g_calls, "abrl");
}

}  // namespace
