#include "atom.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "main.h"
#include "testutil.h"

namespace {

#define EXPECT_FATAL(statement, function) EXPECT_FATAL_IN("src/atom", statement, function)

struct Shared : Atom {
  explicit Shared(bool *destroyed) : destroyed(destroyed) {}
  ~Shared() override { *destroyed = true; }
  bool *destroyed;
};

TEST(Atom, LastDeleteReportsZero) {
  bool destroyed = false;
  auto *s = new Shared(&destroyed);
  EXPECT_EQ(s->count(), 1);
  EXPECT_EQ(s->New(), s);
  EXPECT_EQ(s->New(), s);
  EXPECT_EQ(s->count(), 3);
  EXPECT_FALSE(s->Delete());
  EXPECT_FALSE(s->Delete());
  EXPECT_EQ(s->count(), 1);
  EXPECT_TRUE(s->Delete());
  delete s;
  EXPECT_TRUE(destroyed);
}

TEST(Atom, CountsStayExactUnderAtomlock) {
  bool destroyed = false;
  auto *s = new Shared(&destroyed);
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([s] {
      for (int i = 0; i < 10000; ++i) {
        std::lock_guard g(atomlock);
        s->New();
      }
      for (int i = 0; i < 10000; ++i) {
        std::lock_guard g(atomlock);
        ASSERT_FALSE(s->Delete());
      }
    });
  }
  for (auto &w : workers) w.join();
  EXPECT_EQ(s->count(), 1);
  EXPECT_TRUE(s->Delete());
  delete s;
}

TEST(Atom, MisuseIsFatal) {
  EXPECT_FATAL({ Atom still_referenced; }, "~Atom");
  EXPECT_FATAL(
      {
        Atom a;
        a.Delete();
        a.Delete();
      },
      "Delete");
}

}  // namespace
