#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "regexp.h"

namespace {

using namespace std::string_literals;

const char *name_of(RegResult r) {
  switch (r) {
    case RegResult::Match: return "Match";
    case RegResult::NoMatch: return "NoMatch";
    case RegResult::Error: return "Error";
  }
  return "?";
}

class RegexpLog : public ::testing::Test {
 protected:
  void SetUp() override { log_buffer = &lines_; }
  void TearDown() override { log_buffer = nullptr; }
  bool logged(const std::string &fragment) const {
    for (const auto &l : lines_.lines())
      if (l.find(fragment) != std::string::npos) return true;
    return false;
  }
  LogBuffer lines_{50};
};

// ---- replacement templates -------------------------------------------------------------

struct TemplateCase {
  const char *pattern;
  std::string subject;
  std::string replacement;
  std::string expected;
};

TEST(RegSubParse, ExpandsReferencesAndEscapes) {
  const TemplateCase cases[] = {
      {"b", "abc", "x$1y", "xy"},                 // no such group
      {"(b)(c)", "abcd", "[$9]", "[]"},           // beyond the groups
      {"(b)(c)", "abcd", "$2$1$0", "cbbc"},
      {"b", "abc", "100$$", "100$"},
      {"b", "abc", "cost$", "cost$"},             // "$" at the end
      {"b", "abc", "<$x>", "<>"},                 // "$" and a non-digit give nothing
      {"(b)", "abc", "\\$1", "$1"},
      {"(b)", "abc", "\\\\$1", "\\b"},
      {"b", "abc", "\\a\\e\\f\\n\\r\\t", "\a\x1b\f\n\r\t"},
      {"b", "abc", "\\q\\.", "q."},
      {"b", "abc", "end\\", "end"},               // backslash at the end is dropped
      {"b", "abc", "a@@b", "a@b"},
      {"b", "abc", "user@example", "user@example"},  // no closing "@": copied
      {"(x)?(b)", "abc", "[$1|$2]", "[|b]"},      // a group that did not take part
      {"b", "abc", "", ""},
  };
  for (const auto &c : cases) {
    auto sub = reg_sub_compile(c.pattern, 0);
    ASSERT_TRUE(sub) << c.pattern;
    regmatch_sub_t m;
    ASSERT_EQ(reg_sub_exec(*sub, c.subject, &m), RegResult::Match) << c.pattern;
    EXPECT_EQ(reg_sub_parse(m, c.replacement, nullptr), c.expected)
        << c.pattern << " with " << c.replacement;
  }
}

TEST(RegSubParse, VariablesAreInsertedLiterally) {
  const RegVariables vars = {
      {"HTTP_HOST", "$1"}, {"ESC", "\\n\\$"}, {"AT", "@HTTP_HOST@"}, {"EMPTY", ""}};
  struct Case {
    std::string replacement;
    std::string expected;
  } cases[] = {
      {"@HTTP_HOST@/", "$1/"},
      {"@ESC@", "\\n\\$"},
      {"@AT@", "@HTTP_HOST@"},            // not expanded a second time
      {"@HTTP_HOST@$1", "$1g1"},          // the administrator's "$1" still refers
      {"$@HTTP_HOST@", "$$1"},            // a "$" before a variable stays a "$"
      {"<@NOPE@>", "<>"},
      {"<@EMPTY@>", "<>"},
      {"@@HTTP_HOST@@", "@HTTP_HOST@"},
      {"a@" + std::string(REG_VARIABLE_NAME_MAX + 1, 'N') + "@b",
       "a@" + std::string(REG_VARIABLE_NAME_MAX + 1, 'N') + "@b"},  // name too long
  };
  auto sub = reg_sub_compile("(g1)", 0);
  ASSERT_TRUE(sub);
  regmatch_sub_t m;
  ASSERT_EQ(reg_sub_exec(*sub, "xg1x", &m), RegResult::Match);
  for (const auto &c : cases)
    EXPECT_EQ(reg_sub_parse(m, c.replacement, &vars), c.expected) << c.replacement;
  EXPECT_EQ(reg_sub_parse(m, "[@HTTP_HOST@]", nullptr), "[]");

  const std::string long_name(REG_VARIABLE_NAME_MAX, 'L');
  const RegVariables long_vars = {{long_name, "v"}};
  EXPECT_EQ(reg_sub_parse(m, "@" + long_name + "@", &long_vars), "v");
}

TEST(RegSubExec, ReportsOffsetsAndGroupsUpToTheHighestSet) {
  auto sub = reg_sub_compile("(a)(b)?(c)?", 0);
  ASSERT_TRUE(sub);
  regmatch_sub_t m;
  ASSERT_EQ(reg_sub_exec(*sub, "xxab", &m), RegResult::Match);
  EXPECT_EQ(m.start, 2u);
  EXPECT_EQ(m.end, 4u);
  EXPECT_EQ(m.subs, (std::vector<std::string>{"ab", "a", "b"}));

  ASSERT_EQ(reg_sub_exec(*sub, "a..a", &m, 1), RegResult::Match);
  EXPECT_EQ(m.start, 3u);
  EXPECT_EQ(reg_sub_exec(*sub, "xyz", &m), RegResult::NoMatch);
  EXPECT_EQ(reg_sub_exec(*sub, "a", &m, 2), RegResult::NoMatch);  // offset past the end
}

// ---- options ------------------------------------------------------------------------------

struct OptionCase {
  const char *pattern;
  std::string text;
  int options;
  RegResult expected;
};

TEST(RegOptions, EachBitChangesTheMatch) {
  const OptionCase cases[] = {
      {"ABC", "xabcx", 0, RegResult::NoMatch},
      {"ABC", "xabcx", REG_OPT_CASELESS, RegResult::Match},
      {"^b$", "a\nb\nc", 0, RegResult::NoMatch},
      {"^b$", "a\nb\nc", REG_OPT_MULTILINE, RegResult::Match},
      {"a.b", "a\nb", 0, RegResult::NoMatch},
      {"a.b", "a\nb", REG_OPT_DOTALL, RegResult::Match},
      {"a b", "ab", 0, RegResult::NoMatch},
      {"a b", "ab", REG_OPT_EXTENDED, RegResult::Match},
      {"a b", "a b", REG_OPT_EXTENDED, RegResult::NoMatch},
      {"a b", "a b", 0, RegResult::Match},
      {"x # comment", "x", REG_OPT_EXTENDED, RegResult::Match},
      {"^A.B C$", "z\na\nbc\nz", REG_OPT_ALL, RegResult::Match},
      {"^A.B C$", "z\na\nbc\nz", REG_OPT_ALL & ~REG_OPT_DOTALL, RegResult::NoMatch},
  };
  for (const auto &c : cases) {
    auto re = reg_compile(c.pattern, c.options);
    auto sub = reg_sub_compile(c.pattern, c.options);
    ASSERT_TRUE(re && sub) << c.pattern;
    EXPECT_EQ(reg_exec(*re, c.text), c.expected)
        << c.pattern << " options " << c.options << " gave " << name_of(reg_exec(*re, c.text));
    regmatch_sub_t m;
    EXPECT_EQ(reg_sub_exec(*sub, c.text, &m), c.expected) << c.pattern << " options " << c.options;
  }
}

// ---- matcher ------------------------------------------------------------------------------

TEST(RegExec, SearchesAnywhereIncludingPastNulBytes) {
  auto re = reg_compile("secret", REG_OPT_CASELESS);
  ASSERT_TRUE(re);
  EXPECT_EQ(reg_exec(*re, "top SECRET file"), RegResult::Match);
  EXPECT_EQ(reg_exec(*re, "abc\0secret"s), RegResult::Match);
  EXPECT_EQ(reg_exec(*re, "abc\0secre"s), RegResult::NoMatch);
  EXPECT_EQ(reg_exec(*re, ""), RegResult::NoMatch);
  EXPECT_EQ(reg_exec(*re, std::string_view{}), RegResult::NoMatch);

  auto empty = reg_compile(std::string_view{}, 0);  // the empty pattern occurs everywhere
  ASSERT_TRUE(empty);
  EXPECT_EQ(reg_exec(*empty, std::string_view{}), RegResult::Match);

  auto nul = reg_compile("a\\x00b", 0);
  ASSERT_TRUE(nul);
  EXPECT_EQ(reg_exec(*nul, "xa\0bx"s), RegResult::Match);
  EXPECT_EQ(reg_exec(*nul, "ab"), RegResult::NoMatch);
}

TEST_F(RegexpLog, CompileFailureIsLoggedAndGivesNull) {
  EXPECT_EQ(reg_compile("a(b", 1), nullptr);
  EXPECT_TRUE(logged("failed to compile regular expression: a(b"));
  EXPECT_EQ(reg_sub_compile("[z-a]", 0xf), nullptr);
  EXPECT_TRUE(logged("failed to compile regular expression: [z-a]"));
}

TEST_F(RegexpLog, RunawayBacktrackingIsAnErrorNotANoMatch) {
  const std::string hostile = std::string(35, 'a') + "!";
  auto re = reg_compile("(a+)+$", 1);
  auto sub = reg_sub_compile("(a+)+$", 1);
  ASSERT_TRUE(re && sub);

  const RegResult r = reg_exec(*re, hostile);
  EXPECT_EQ(r, RegResult::Error) << name_of(r);
  EXPECT_TRUE(logged("failed to match regular expression (a+)+$")) << "error must be logged";
  EXPECT_TRUE(reg_hit_refusing(r));
  EXPECT_FALSE(reg_hit_admitting(r));

  regmatch_sub_t m;
  EXPECT_EQ(reg_sub_exec(*sub, hostile, &m), RegResult::Error);
  std::string buf = "x" + hostile;
  EXPECT_EQ(reg_replace(buf, *sub, "y", nullptr), -1);
  EXPECT_EQ(buf, "x" + hostile) << "a failed replace leaves the buffer as it was";

  // The same pattern still works on harmless text.
  EXPECT_EQ(reg_exec(*re, "aaa"), RegResult::Match);
  EXPECT_EQ(reg_exec(*re, "bbb"), RegResult::NoMatch);
}

TEST(RegResultOutcomes, SafeOutcomeOfEachKindOfRule) {
  EXPECT_TRUE(reg_hit_refusing(RegResult::Match));
  EXPECT_FALSE(reg_hit_refusing(RegResult::NoMatch));
  EXPECT_TRUE(reg_hit_admitting(RegResult::Match));
  EXPECT_FALSE(reg_hit_admitting(RegResult::NoMatch));
}

// ---- global replace ---------------------------------------------------------------------

struct ReplaceCase {
  const char *pattern;
  int options;
  std::string input;
  std::string replacement;
  std::string expected;
  int count;
};

TEST(RegReplace, ReplacesEveryMatchOnTheWholeText) {
  const ReplaceCase cases[] = {
      {"a", 0, "banana", "o", "bonono", 3},
      {"a", 0, "banana", "", "bnn", 3},
      {"A", REG_OPT_CASELESS, "banana", "<$0>", "b<a>n<a>n<a>", 3},
      {"z", 0, "abc", "Q", "abc", 0},
      {"x*", 0, "abc", "-", "-a-b-c-", 4},  // empty matches: each position once
      {"x*", 0, "", "-", "-", 1},
      {"a*", 0, "baaa", "-", "-b--", 3},
      {"^a", 0, "aaa", "b", "baa", 1},        // "^" is the real start only
      {"^a", REG_OPT_MULTILINE, "ab\naa", "X", "Xb\nXa", 2},
      {"$", REG_OPT_MULTILINE, "a\nb", "!", "a!\nb!", 2},
      {"(?<=b)b", 0, "bbb", "X", "bXX", 2},   // look-behind sees the replaced text
      {"\\b", 0, "ab cd", "|", "|ab| |cd|", 4},
      {"(\\w+)@(\\w+)", 0, "x@y, p@q", "$2@@$1", "y@x, q@p", 2},
      {"b", 0, "a\0b\0b"s, "X", "a\0X\0X"s, 2},  // NUL bytes do not end the text
      {"\\x00", 0, "a\0b"s, "\\0", "a0b", 1},
      {"(?m)^\\n", 0, "a\n\n\nb\n", "", "a\nb\n", 2},  // inline option
      {"<script.*?</script>", REG_OPT_ALL, "x<SCRIPT>1</script>y<script>\n2</script>", "",
       "xy", 2},
  };
  for (const auto &c : cases) {
    auto sub = reg_sub_compile(c.pattern, c.options);
    ASSERT_TRUE(sub) << c.pattern;
    std::string buf = c.input;
    EXPECT_EQ(reg_replace(buf, *sub, c.replacement, nullptr), c.count) << c.pattern;
    EXPECT_EQ(buf, c.expected) << c.pattern << " on " << c.input;
  }
}

TEST(RegReplace, VariablesAndCapturesFromTheTextAreNotReread) {
  auto sub = reg_sub_compile("host=(\\S+)", 0);
  ASSERT_TRUE(sub);
  const RegVariables vars = {{"HOST", "$0\\n@X@"}, {"X", "bad"}};
  std::string buf = "go host=$1\\t now";
  EXPECT_EQ(reg_replace(buf, *sub, "[@HOST@|$1]", &vars), 1);
  EXPECT_EQ(buf, "go [$0\\n@X@|$1\\t] now");
}

TEST(RegReplace, SharedPatternFromManyThreads) {
  auto sub = reg_sub_compile("(\\d+)", 0);
  ASSERT_TRUE(sub);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        std::string buf = "n" + std::to_string(t) + " m" + std::to_string(i);
        const std::string expected = "n<" + std::to_string(t) + "> m<" + std::to_string(i) + ">";
        if (reg_replace(buf, *sub, "<$1>", nullptr) != 2 || buf != expected) ++failures[t];
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
