#include "mem.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "log.h"
#include "main.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool UNDER_ASAN = true;  // the sanitizer aborts on absurd sizes instead of failing
#else
constexpr bool UNDER_ASAN = false;
#endif

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
using Block = std::unique_ptr<char, FreeDeleter>;

// Log lines go to standard output when not a daemon; send them to standard error so the
// death test sees them.
#define EXPECT_DIES_LOGGING(statement, pattern) \
  EXPECT_DEATH(                                 \
      {                                         \
        daemonize = 0;                          \
        dup2(2, 1);                             \
        statement;                              \
      },                                        \
      pattern)

TEST(Mem, XmallocZeroFills) {
  Block b(static_cast<char *>(xmalloc(4096)));
  ASSERT_NE(b, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(b.get()[i], 0) << i;
}

TEST(Mem, XreallocOfNullZeroFillsAndGrowingKeepsTheBytes) {
  auto *p = static_cast<char *>(xrealloc(nullptr, 64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0) << i;
  std::memcpy(p, "kept", 5);
  auto *q = static_cast<char *>(xrealloc(p, 1 << 20));
  ASSERT_NE(q, nullptr);
  EXPECT_STREQ(q, "kept");
  std::free(q);
}

TEST(Mem, ZeroSizeIsFatal) {
  EXPECT_DIES_LOGGING(xmalloc(0), "ASSERTION: src/mem:[0-9]+ in function xmalloc");
  EXPECT_DIES_LOGGING(
      {
        void *p = xmalloc(8);
        xrealloc(p, 0);
      },
      "ASSERTION: src/mem:[0-9]+ in function xrealloc");
}

TEST(Mem, RefusedAllocationIsLoggedAndGivesNull) {
  if (UNDER_ASAN) GTEST_SKIP() << "AddressSanitizer does not let malloc fail";
  LogBuffer lines(10);
  log_buffer = &lines;
  volatile std::size_t absurd = SIZE_MAX / 2;
  EXPECT_EQ(xmalloc(absurd), nullptr);
  Block keep(static_cast<char *>(xmalloc(16)));
  EXPECT_EQ(xrealloc(keep.get(), absurd), nullptr);  // the old block stays ours
  log_buffer = nullptr;

  auto got = lines.lines();
  ASSERT_EQ(got.size(), 2u);
  const std::string text = std::strerror(ENOMEM);
  EXPECT_NE(got[1].find("[system: malloc:" + std::to_string(ENOMEM) + ":" + text +
                        "], in xmalloc, unable to allocate memory"),
            std::string::npos)
      << got[1];
  EXPECT_NE(
      got[0].find("[system: realloc:" + std::to_string(ENOMEM) + ":" + text +
                  "], in xrealloc, unable to reallocate " + std::to_string(absurd) + " memory"),
      std::string::npos)
      << got[0];
}

TEST(Mem, Xstrdup) {
  EXPECT_EQ(xstrdup(nullptr), nullptr);
  EXPECT_EQ(xstrndup(nullptr, 3), nullptr);

  struct Row {
    const char *source;
    std::size_t n;
    const char *copy;
  };
  const Row rows[] = {
      {"", 0, ""},
      {"", 5, ""},
      {"abcdef", 0, ""},
      {"abcdef", 3, "abc"},
      {"abcdef", 6, "abcdef"},
      {"abcdef", 100, "abcdef"},
  };
  for (const Row &r : rows) {
    Block copy(xstrndup(r.source, r.n));
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy.get(), r.copy) << r.source << " " << r.n;
  }
  // The source need not be terminated within n characters.
  const char unterminated[3] = {'x', 'y', 'z'};
  Block cut(xstrndup(unterminated, 2));
  EXPECT_STREQ(cut.get(), "xy");

  Block whole(xstrdup("hello"));
  EXPECT_STREQ(whole.get(), "hello");
}

TEST(Mem, OutOfMemoryLogsAndAborts) {
  EXPECT_DIES_LOGGING(out_of_memory(), "Out of memory: src/mem:[0-9]+ in function out_of_memory");
}

TEST(Mem, FailedObjectAllocationRunsTheHandler) {
  if (UNDER_ASAN) GTEST_SKIP() << "AddressSanitizer reports huge allocations itself";
  EXPECT_DIES_LOGGING(
      {
        mem_init();
        volatile std::size_t absurd = SIZE_MAX / 2;
        void *p = ::operator new(absurd);
        ::operator delete(p);
      },
      "Out of memory: src/mem:[0-9]+ in function out_of_memory");
}

}  // namespace
