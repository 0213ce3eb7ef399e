// Helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "log.h"
#include "main.h"

// Collects the lines logged while it lives (through the recent-lines buffer) and puts the
// previous buffer back afterwards.
class LogCapture {
 public:
  explicit LogCapture(int capacity = 200) : lines_(capacity), saved_(log_buffer) {
    log_buffer = &lines_;
  }
  ~LogCapture() { log_buffer = saved_; }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  int count(const std::string &fragment) const {
    int n = 0;
    for (const auto &l : lines_.lines())
      if (l.find(fragment) != std::string::npos) ++n;
    return n;
  }
  bool has(const std::string &fragment) const { return count(fragment) > 0; }
  std::vector<std::string> lines() const { return lines_.lines(); }
  void clear() { lines_.clear(); }

 private:
  LogBuffer lines_;
  LogBuffer *saved_;
};

// The fatal-assertion path of `module` taken in `function`: the assertion line is logged
// (to standard output in the foreground, redirected to where the death test reads) and the
// process ends with status 1.
#define EXPECT_FATAL_IN(module, statement, function) \
  EXPECT_EXIT(                                       \
      {                                              \
        daemonize = 0;                               \
        dup2(2, 1);                                  \
        statement;                                   \
      },                                             \
      ::testing::ExitedWithCode(1), "ASSERTION: " module ":[0-9]+ in function " function)
