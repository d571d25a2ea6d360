#include "server/http/request_budget.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace server {
namespace {

// Shares taken and returned in order against a working budget of 10; each
// step says which shares hold afterwards and which were woken by it.
TEST(RequestBudgetTest, WorkingMemoryIsTakenInTurnAndAloneWhenLargerThanTheWhole) {
  struct Step {
    char op;  // 't' take, 'r' return
    int share;
    uint64_t bytes;
    bool heldAtOnce;          // for a take
    std::string woken;        // shares woken by this step, in order
    uint64_t held;            // WorkingHeld after the step
    size_t waiting;           // WorkingWaiters after the step
  };
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"fits beside, then waits, then is woken by a return",
       {{'t', 0, 6, true, "", 6, 0},
        {'t', 1, 4, true, "", 10, 0},
        {'t', 2, 1, false, "", 10, 1},
        {'r', 1, 0, false, "2", 7, 0}}},
      {"larger than the whole runs alone, and only alone",
       {{'t', 0, 25, true, "", 25, 0},
        {'t', 1, 1, false, "", 25, 1},
        {'r', 0, 0, false, "1", 1, 0},
        {'t', 2, 25, false, "", 1, 1},
        {'r', 1, 0, false, "2", 25, 0}}},
      {"first come first served: a small one does not pass a waiting large one",
       {{'t', 0, 8, true, "", 8, 0},
        {'t', 1, 5, false, "", 8, 1},
        {'t', 2, 1, false, "", 8, 2},
        {'r', 0, 0, false, "12", 6, 0}}},
      {"a waiter that leaves the head lets those behind it in",
       {{'t', 0, 8, true, "", 8, 0},
        {'t', 1, 5, false, "", 8, 1},
        {'t', 2, 2, false, "", 8, 2},
        {'r', 1, 0, false, "2", 10, 0},
        {'r', 0, 0, false, "", 2, 0},
        {'r', 2, 0, false, "", 0, 0}}},
      {"returning what was never taken changes nothing",
       {{'r', 0, 0, false, "", 0, 0}, {'t', 1, 3, true, "", 3, 0}, {'r', 2, 0, false, "", 3, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RequestBudget budget(0, 0, /*workingBytes=*/10);
    WorkingShare shares[3];
    std::string woken;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      woken.clear();
      if (s.op == 't') {
        const int n = s.share;
        EXPECT_EQ(budget.TakeWorking(&shares[n], s.bytes,
                                     [&woken, n] { woken += static_cast<char>('0' + n); }),
                  s.heldAtOnce);
      } else {
        budget.ReturnWorking(&shares[s.share]);
      }
      EXPECT_EQ(woken, s.woken);
      EXPECT_EQ(budget.WorkingHeld(), s.held);
      EXPECT_EQ(budget.WorkingWaiters(), s.waiting);
      for (char w : s.woken) EXPECT_TRUE(shares[w - '0'].Held());
    }
    for (WorkingShare& share : shares) budget.ReturnWorking(&share);
    EXPECT_EQ(budget.WorkingHeld(), 0u);
    EXPECT_EQ(budget.WorkingWaiters(), 0u);
  }
}

}  // namespace
}  // namespace server
