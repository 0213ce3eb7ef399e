#include "threads.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "main.h"

namespace {

std::atomic<int> started{0};
std::atomic<int> served{0};
std::atomic<bool> stop_waiting{false};

// A request thread: serves what it was given, then waits for more like the request loop.
void *request_body(void *conn) {
  started++;
  while (conn) {
    served++;
    conn = thread_wait_for_connection(stop_waiting ? 0 : 2);
  }
  return nullptr;
}

void *quick_exit(void *) {
  thread_release();
  return nullptr;
}

int state_of(int slot) {
  std::lock_guard g(threadlistlock);
  return threads[static_cast<std::size_t>(slot)].state;
}

bool wait_for(const std::function<bool()> &pred, int ms = 3000) {
  for (int i = 0; i < ms / 10; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

class ThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MAXTHREADS = 8;
    threads_init();
    started = 0;
    served = 0;
    stop_waiting = false;
    request_thread_start = request_body;
  }
};

}  // namespace

TEST_F(ThreadsTest, MainThreadOwnsSlotZero) {
  EXPECT_EQ(thread_find(), 0);
  EXPECT_EQ(state_of(0), THREAD_CLAIMED);
  thread_set_clientid(42);
  EXPECT_EQ(thread_get_clientid(), 42u);
  EXPECT_EQ(thread_clientid_or_zero(), 42u);
  thread_set_clientid(0);
}

TEST_F(ThreadsTest, HandOffGoesToAWaitingThread) {
  int dummy1 = 1, dummy2 = 2;
  int slot = process_new(reinterpret_cast<CONNECTION_T *>(&dummy1));
  ASSERT_GT(slot, 0);
  ASSERT_TRUE(wait_for([&] { return state_of(slot) == THREAD_WAITING; }));
  int again = process_new(reinterpret_cast<CONNECTION_T *>(&dummy2));
  EXPECT_EQ(again, slot);  // no new thread
  ASSERT_TRUE(wait_for([] { return served.load() == 2; }));
  EXPECT_EQ(started.load(), 1);
  stop_waiting = true;
  ASSERT_TRUE(wait_for([&] { return state_of(slot) == THREAD_FREE; }, 5000));
}

TEST_F(ThreadsTest, EndedRequestSlotIsNotReusedWithinASecondButServiceSlotIs) {
  int a = thread_create(quick_exit, nullptr);
  ASSERT_GT(a, 0);
  ASSERT_TRUE(wait_for([&] { return state_of(a) == THREAD_FREE; }));
  int b = thread_create(quick_exit, nullptr);
  EXPECT_NE(b, a);
  int s = thread_create_internal(quick_exit, nullptr);
  EXPECT_EQ(s, a);
  ASSERT_TRUE(wait_for([&] { return state_of(b) == THREAD_FREE && state_of(s) == THREAD_FREE; }));
}

TEST_F(ThreadsTest, FullTableReturnsMinusOne) {
  std::vector<int> slots;
  stop_waiting = false;
  int dummy = 0;
  for (int i = 1; i < 8; ++i) {
    int s = thread_create(request_body, &dummy);
    ASSERT_GT(s, 0);
    slots.push_back(s);
  }
  EXPECT_EQ(thread_create(request_body, &dummy), -1);
  EXPECT_EQ(thread_create_internal(quick_exit, nullptr), -1);
  thread_repo_t r;
  thread_report(&r);
  EXPECT_EQ(r.unused, 0);
  EXPECT_EQ(r.client + r.waiting + r.special + r.prefetch, 8);
  stop_waiting = true;
  for (int s : slots) ASSERT_TRUE(wait_for([&] { return state_of(s) == THREAD_FREE; }, 5000));
}

TEST(ThreadsDeath, UnknownThreadTakesTheFatalPath) {
  MAXTHREADS = 4;
  threads_init();
  EXPECT_EXIT(
      {
        std::thread t([] { thread_find(); });
        t.join();
      },
      ::testing::ExitedWithCode(1), "");
}

TEST(Rusage, TotalsAccumulate) {
  ResourceTotals before = rusage_totals();
  rusage_update();
  ResourceTotals after = rusage_totals();
  EXPECT_GE(after.minflt, before.minflt);
  EXPECT_GT(after.minflt + after.utime_sec * 1000000 + after.utime_usec, 0);
  EXPECT_LT(after.utime_usec, 1000000);
}
