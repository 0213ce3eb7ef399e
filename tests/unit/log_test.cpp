#include <gtest/gtest.h>

#include "log.h"

TEST(LogBuffer, KeepsNewestLines) {
  LogBuffer b(2);
  b.add("a");
  b.add("b");
  b.add("c");
  EXPECT_EQ(b.lines(), (std::vector<std::string>{"c", "b"}));
}
