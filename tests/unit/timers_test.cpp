#include "timers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
std::vector<std::string> *trace;
void record(void *arg) { trace->push_back(static_cast<const char *>(arg)); }
}  // namespace

class TimersTest : public ::testing::Test {
 protected:
  void SetUp() override { trace = &calls; }
  TIMERS t;
  std::vector<std::string> calls;
};

TEST_F(TimersTest, LateCheckKeepsTheSchedule) {
  const time_t T = 1000000;
  timers_add(&t, 60, TIMER_REPEAT, record, const_cast<char *>("a"), T);
  timers_check(&t, T + 59);
  EXPECT_TRUE(calls.empty());
  timers_check(&t, T + 65);  // one late check
  EXPECT_EQ(calls.size(), 1u);
  timers_check(&t, T + 119);
  EXPECT_EQ(calls.size(), 1u);
  timers_check(&t, T + 120);  // still due at T+120, not T+125
  EXPECT_EQ(calls.size(), 2u);
}

TEST_F(TimersTest, VeryLateCheckRunsOnceAndCatchesUp) {
  const time_t T = 5000;
  timers_add(&t, 10, TIMER_REPEAT, record, const_cast<char *>("a"), T);
  timers_check(&t, T + 100);
  EXPECT_EQ(calls.size(), 1u);  // not ten times in a row
  timers_check(&t, T + 100);
  EXPECT_EQ(calls.size(), 1u);
  timers_check(&t, T + 101);
  EXPECT_EQ(calls.size(), 2u);
}

TEST_F(TimersTest, SameSecondRunsInOrderAdded) {
  const time_t T = 100;
  timers_add(&t, 5, TIMER_REPEAT, record, const_cast<char *>("first"), T);
  timers_add(&t, 1, TIMER_REPEAT, record, const_cast<char *>("early"), T + 4);
  timers_add(&t, 5, TIMER_REPEAT, record, const_cast<char *>("second"), T);
  timers_add(&t, 5, 0, record, const_cast<char *>("once"), T);
  timers_check(&t, T + 5);
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "early", "second", "once"}));
  calls.clear();
  timers_check(&t, T + 10);
  EXPECT_EQ(calls, (std::vector<std::string>{"early", "first", "second"}));
}

TEST_F(TimersTest, IdsIncrease) {
  int a = timers_add(&t, 1, 0, record, nullptr, 1);
  int b = timers_add(&t, 1, 0, record, nullptr, 1);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 1);
}
