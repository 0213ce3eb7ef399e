#include "stats.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "main.h"
#include "testutil.h"

namespace {

#define EXPECT_FATAL(statement, function) EXPECT_FATAL_IN("src/stats", statement, function)

// Counter names of a group in list order; empty for a missing group.
std::vector<std::string> names(const Stats &s, const std::string &group) {
  StatGroup *g = s.group(group);
  return g ? g->names() : std::vector<std::string>{};
}

std::uint64_t count(const Stats &s, const std::string &group, const std::string &name) {
  StatGroup *g = s.group(group);
  if (!g) return 0;
  return g->count(name).value_or(0);
}

// Installs a fresh process registry for one test and removes it afterwards.
class GlobalStatsTest : public ::testing::Test {
 protected:
  void SetUp() override { globalstats_init(); }
  void TearDown() override { global_stats.reset(); }
};

}  // namespace

TEST(StatsRegistry, GroupsAndCountersAreAddedOnce) {
  Stats s;
  EXPECT_TRUE(s.AddGroup("g", STAT_PLAIN));
  EXPECT_FALSE(s.AddGroup("g", STAT_PERCENTAGE));
  EXPECT_EQ(s.group("g")->mode(), STAT_PLAIN);
  EXPECT_TRUE(s.AddGroup("G", STAT_PLAIN));  // names compare as exact bytes
  EXPECT_TRUE(s.AddCounter("g", "c", STAT_COUNT));
  EXPECT_FALSE(s.AddCounter("g", "c", STAT_BYTES));
  EXPECT_FALSE(s.AddCounter("missing", "c", STAT_COUNT));
  EXPECT_EQ(names(s, "g"), std::vector<std::string>{"c"});
  EXPECT_EQ(s.group("missing"), nullptr);
}

TEST(StatsRegistry, IncrementAndDecrement) {
  Stats s;
  s.AddGroup("g", STAT_PERCENTAGE);
  s.AddCounter("g", "hit", STAT_COUNT);
  s.AddCounter("g", "miss", STAT_COUNT);
  EXPECT_EQ(s.Increment("g", "hit"), 1u);
  EXPECT_EQ(s.Increment("g", "hit"), 2u);
  EXPECT_EQ(s.Increment("g", "miss", 5000000000ULL), 5000000000ULL);
  EXPECT_EQ(s.group("g")->total(), 5000000002ULL);
  EXPECT_EQ(s.Decrement("g", "hit"), 1u);
  EXPECT_EQ(s.Decrement("g", "hit"), 0u);
  EXPECT_EQ(s.Decrement("g", "hit"), 0u);  // never below zero
  EXPECT_EQ(count(s, "g", "hit"), 0u);
  EXPECT_EQ(s.group("g")->total(), 5000000000ULL);
}

TEST(StatsRegistry, UnknownNamesChangeNothing) {
  Stats s;
  s.AddGroup("g", STAT_PERCENTAGE);
  s.AddCounter("g", "hit", STAT_COUNT);
  s.Increment("g", "hit");
  const std::string before = s.Display();
  struct Case {
    std::string group, name;
  };
  const Case cases[] = {{"g", "Hit"}, {"g", "hit "}, {"G", "hit"}, {"", ""}, {"x", "hit"}};
  for (const auto &c : cases) {
    EXPECT_EQ(s.Increment(c.group, c.name), 0u) << c.group << "/" << c.name;
    EXPECT_EQ(s.Decrement(c.group, c.name), 0u);
  }
  EXPECT_EQ(s.AddAndIncrement("x", "new"), 0u);
  EXPECT_FALSE(s.Limit("x", 3, STAT_EVICT_OLDEST));
  EXPECT_EQ(s.Display(), before);
}

// Each case adds-and-increments the names in order into a group with the given limit.
TEST(StatsPrune, EvictionTable) {
  struct Case {
    const char *title;
    int limit, eviction;
    std::vector<std::string> ops;
    std::vector<std::string> left;
  };
  const Case cases[] = {
      {"oldest: b was touched longest ago", 4, STAT_EVICT_OLDEST,
       {"a", "b", "c", "a", "d"}, {"a", "c", "d"}},
      {"oldest: no touch, first added goes", 4, STAT_EVICT_OLDEST,
       {"a", "b", "c", "d", "e"}, {"c", "d", "e"}},
      {"oldest: a touch within the same second still counts", 3, STAT_EVICT_OLDEST,
       {"a", "b", "a", "c"}, {"a", "c"}},
      {"smallest: b has the least", 4, STAT_EVICT_SMALLEST,
       {"a", "a", "b", "c", "c", "d"}, {"a", "c", "d"}},
      {"smallest: ties go in list order", 4, STAT_EVICT_SMALLEST,
       {"a", "b", "c", "d"}, {"b", "c", "d"}},
      {"below the limit nothing goes", 5, STAT_EVICT_OLDEST,
       {"a", "b", "c", "a"}, {"a", "b", "c"}},
      {"limit 0 is unlimited", 0, STAT_EVICT_OLDEST,
       {"a", "b", "c", "d", "e", "f"}, {"a", "b", "c", "d", "e", "f"}},
      {"limit 1 keeps the newest", 1, STAT_EVICT_OLDEST, {"a", "b", "c"}, {"c"}},
  };
  for (const auto &c : cases) {
    Stats s;
    s.AddGroup("hosts", STAT_PERCENTAGE);
    s.Limit("hosts", c.limit, c.eviction);
    for (const auto &n : c.ops) EXPECT_GE(s.AddAndIncrement("hosts", n), 1u) << c.title;
    EXPECT_EQ(names(s, "hosts"), c.left) << c.title;
    // The total keeps the increments of evicted counters.
    EXPECT_EQ(s.group("hosts")->total(), c.ops.size()) << c.title;
  }
}

TEST(StatsPrune, AddPrunesAndExplicitPruneRespectsTheLimit) {
  StatGroup g("mimes", STAT_PERCENTAGE);
  g.Limit(3, STAT_EVICT_SMALLEST);
  EXPECT_TRUE(g.Add("a", STAT_COUNT));
  EXPECT_TRUE(g.Add("b", STAT_COUNT));
  g.Increment("a");
  g.Prune();  // two counters with limit 3: full
  EXPECT_EQ(g.names(), std::vector<std::string>{"a"});
  g.Prune();  // one counter: room left
  EXPECT_EQ(g.size(), 1u);
  EXPECT_TRUE(g.Add("c", STAT_COUNT));
  EXPECT_TRUE(g.Add("d", STAT_COUNT));
  EXPECT_EQ(g.names(), (std::vector<std::string>{"a", "d"}));
}

TEST(StatsCounter, KindsAndValues) {
  struct Case {
    int kind;
    std::uint64_t stored;
    StatNumberFn number;
    StatTextFn text;
    const char *shown;
  };
  const Case cases[] = {
      {STAT_COUNT, 1234, {}, {}, "1234"},
      {STAT_COUNT, 18446744073709551615ULL, {}, {}, "18446744073709551615"},
      {STAT_BYTES, 2048, {}, {}, "2.0 KB"},
      {STAT_BYTES, 10, {}, {}, "10.0 B"},
      {STAT_COUNT | STAT_FUNCTION, 1, [] { return std::uint64_t{77}; }, {}, "77"},
      {STAT_BYTES | STAT_FUNCTION, 1, [] { return std::uint64_t{3} << 20; }, {}, "3.0 MB"},
      {STAT_TEXT | STAT_FUNCTION, 1, {}, [] { return std::string("01:02:03.04"); },
       "01:02:03.04"},
  };
  for (const auto &c : cases) {
    StatCounter counter("n", c.kind, c.number, c.text);
    counter.count = c.stored;
    EXPECT_EQ(counter.Get(), c.shown) << "kind " << c.kind;
  }
}

TEST(StatsCounter, KindsAGroupCannotShowAreRefused) {
  StatGroup plain("p", STAT_PLAIN), pct("q", STAT_PERCENTAGE);
  EXPECT_FALSE(plain.Add("text without function", STAT_TEXT));
  EXPECT_FALSE(plain.Add("function without one", STAT_COUNT | STAT_FUNCTION));
  EXPECT_FALSE(plain.Add("two kinds", STAT_COUNT | STAT_BYTES));
  EXPECT_FALSE(plain.Add("zero", 0));
  EXPECT_FALSE(pct.Add("bytes", STAT_BYTES));
  EXPECT_FALSE(pct.Add("computed", STAT_COUNT | STAT_FUNCTION, [] { return std::uint64_t{1}; }));
  EXPECT_TRUE(pct.Add("count", STAT_COUNT));
  EXPECT_EQ(plain.size(), 0u);
  EXPECT_EQ(pct.size(), 1u);
}

TEST(StatsCounterDeathTest, UnshowableKindIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_FATAL(
      {
        StatCounter c("n", STAT_TEXT);
        c.Get();
      },
      "Get");
}

TEST(StatsDisplay, ExactPage) {
  Stats s;
  s.AddGroup("requests", STAT_PLAIN);
  s.AddCounter("requests", "HTTP requests", STAT_COUNT);
  s.AddCounter("requests", "bytes", STAT_BYTES);
  s.AddCounter("requests", "up", StatTextFn([] { return std::string("a<b"); }));
  s.Increment("requests", "HTTP requests", 3);
  s.Increment("requests", "bytes", 1536);
  s.AddGroup("hosts", STAT_PERCENTAGE);
  s.AddAndIncrement("hosts", "<script>");
  s.AddAndIncrement("hosts", "b.example");
  s.AddAndIncrement("hosts", "b.example");
  s.AddGroup("empty", STAT_PERCENTAGE);
  s.AddCounter("empty", "hit", STAT_COUNT);

  const std::string expected =
      "<tr><td align=\"center\"><table class=\"smalldialog\">\n"
      "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">requests</td></tr>\n"
      "<tr class=\"listeven\"><td width=\"40%\">HTTP requests</td><td>3</td></tr>\n"
      "<tr class=\"listodd\"><td width=\"40%\">bytes</td><td>1.5 KB</td></tr>\n"
      "<tr class=\"listeven\"><td width=\"40%\">up</td><td>a&lt;b</td></tr>\n"
      "</table></td></tr> <tr><td><br></td></tr>\n"
      "<tr><td align=\"center\"><table class=\"smalldialog\">\n"
      "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">hosts</td></tr>\n"
      "<tr class=\"listeven\"><td width=\"40%\">&lt;script&gt;</td><td>1 (33%)</td></tr>\n"
      "<tr class=\"listodd\"><td width=\"40%\">b.example</td><td>2 (66%)</td></tr>\n"
      "</table></td></tr> <tr><td><br></td></tr>\n"
      "<tr><td align=\"center\"><table class=\"smalldialog\">\n"
      "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">empty</td></tr>\n"
      "<tr class=\"listeven\"><td width=\"40%\">hit</td><td>0 (0%)</td></tr>\n"
      "</table></td></tr> <tr><td><br></td></tr>\n";
  EXPECT_EQ(s.Display(), expected);
}

TEST(StatsDisplay, PercentOfHugeCountsIsExact) {
  Stats s;
  s.AddGroup("g", STAT_PERCENTAGE);
  s.AddCounter("g", "a", STAT_COUNT);
  s.AddCounter("g", "b", STAT_COUNT);
  s.Increment("g", "a", 9000000000000000000ULL);
  s.Increment("g", "b", 1000000000000000000ULL);
  std::string page = s.Display();
  EXPECT_NE(page.find("<td>9000000000000000000 (90%)</td>"), std::string::npos) << page;
  EXPECT_NE(page.find("<td>1000000000000000000 (10%)</td>"), std::string::npos) << page;
}

TEST(StatsNames, LongNamesAreCut) {
  Stats s;
  s.AddGroup("hosts", STAT_PERCENTAGE);
  std::string host(1000, 'h');
  s.AddAndIncrement("hosts", host);
  EXPECT_EQ(s.AddAndIncrement("hosts", host), 2u);
  auto n = names(s, "hosts");
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(n[0].size(), STAT_NAME_MAX);
  EXPECT_EQ(s.Increment("hosts", host), 3u);
}

TEST_F(GlobalStatsTest, ProcessAndRuleRegistriesHaveTheirGroups) {
  using V = std::vector<std::string>;
  struct Case {
    const char *group;
    V counters;
    int mode;
  };
  const Case global_groups[] = {
      {"system", V{"user time", "system time", "memory resident", "memory size",
                   "memory shared", "minor pagefaults", "major pagefaults"}, STAT_PLAIN},
      {"requests", V{"HTTP requests", "FTP requests", "CONNECT requests"}, STAT_PLAIN},
      {"network", V{"successful connections", "failed connections", "DNS failures", "bytes in",
                    "bytes out"}, STAT_PLAIN},
      {"DNS cache", V{"hit", "miss"}, STAT_PERCENTAGE},
      {"cache", V{"hit", "miss"}, STAT_PERCENTAGE},
      {"cache refresh", V{"hit", "miss"}, STAT_PERCENTAGE},
      {"connection pool", V{"hit", "miss"}, STAT_PERCENTAGE},
      {"hosts", V{}, STAT_PERCENTAGE},
      {"mimes", V{}, STAT_PERCENTAGE},
      {"users", V{}, STAT_PERCENTAGE},
      {"ip addresses", V{}, STAT_PERCENTAGE},
  };
  std::string page = global_stats->Display();
  std::size_t at = 0;
  for (const auto &c : global_groups) {
    ASSERT_NE(global_stats->group(c.group), nullptr) << c.group;
    EXPECT_EQ(names(*global_stats, c.group), c.counters) << c.group;
    EXPECT_EQ(global_stats->group(c.group)->mode(), c.mode) << c.group;
    // Groups are shown in this order.
    std::size_t pos = page.find(std::string("colspan=\"2\">") + c.group + "</td>");
    ASSERT_NE(pos, std::string::npos) << c.group;
    EXPECT_GT(pos, at) << c.group;
    at = pos;
  }

  auto user = userstats_init();
  const Case rule_groups[] = {
      {"requests", V{"HTTP requests", "FTP requests", "CONNECT requests"}, STAT_PLAIN},
      {"cache", V{"hit", "miss"}, STAT_PERCENTAGE},
      {"cache refresh", V{"hit", "miss"}, STAT_PERCENTAGE},
      {"hosts", V{}, STAT_PERCENTAGE},
      {"mimes", V{}, STAT_PERCENTAGE},
  };
  for (const auto &c : rule_groups) EXPECT_EQ(names(*user, c.group), c.counters) << c.group;
  EXPECT_EQ(user->group("users"), nullptr);
  EXPECT_EQ(user->group("system"), nullptr);
}

TEST_F(GlobalStatsTest, SystemGroupShowsTimesAndMemory) {
  auto mem = stats_memory();
  ASSERT_TRUE(mem);
  EXPECT_GT(mem->resident, 0u);
  EXPECT_GE(mem->size, mem->resident);
  EXPECT_EQ(mem->resident % static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)), 0u);

  std::string page = global_stats->Display();
  EXPECT_TRUE(std::regex_search(
      page, std::regex("<td width=\"40%\">user time</td><td>[0-9]{2,}:[0-9]{2}:[0-9]{2}\\.[0-9]{2}"
                       "</td>")))
      << page;
  EXPECT_TRUE(std::regex_search(
      page, std::regex("<td width=\"40%\">memory resident</td><td>[0-9]+\\.[0-9] [KMG]?B</td>")))
      << page;
  EXPECT_TRUE(std::regex_search(
      page, std::regex("<td width=\"40%\">minor pagefaults</td><td>[0-9]+</td>")))
      << page;
}

TEST_F(GlobalStatsTest, HelpersCountIntoBothRegistries) {
  auto user = userstats_init();
  Stats *u = user.get();
  statincr_httprequests(u);
  statincr_httprequests(nullptr);
  statincr_ftprequests(u);
  statincr_connectrequests(nullptr);
  statincr_cachehit(u);
  statincr_cachehit(u);
  statdecr_cachehit(u);
  statincr_cachemiss(u);
  statincr_cacherefreshhit(nullptr);
  statincr_cacherefreshmiss(u);
  statincr_hosts(u, "a.example");
  statincr_hosts(nullptr, "a.example");
  statincr_hosts(u, "");  // nothing to count
  statincr_mimes(u, "text/html");
  statincr_ipaddresses(u, "10.1.1.1");
  statincr_users(u, "alice@10.1.1.1");
  statincr_connection(true);
  statincr_connection(false);
  statincr_connection(false);
  statincr_dnsfailure();
  statincr_dnscache(true);
  statincr_connectionpool(false);
  statadd_bytes(5000000000ULL, 0);

  struct Case {
    const char *group, *name;
    std::uint64_t in_global, in_rule;
  };
  const Case cases[] = {
      {"requests", "HTTP requests", 2, 1},
      {"requests", "FTP requests", 1, 1},
      {"requests", "CONNECT requests", 1, 0},
      {"cache", "hit", 1, 1},
      {"cache", "miss", 1, 1},
      {"cache refresh", "hit", 1, 0},
      {"cache refresh", "miss", 1, 1},
      {"hosts", "a.example", 2, 1},
      {"mimes", "text/html", 1, 1},
      {"ip addresses", "10.1.1.1", 1, 0},  // no such group per rule
      {"users", "alice@10.1.1.1", 1, 0},
      {"network", "successful connections", 1, 0},
      {"network", "failed connections", 2, 0},
      {"network", "DNS failures", 1, 0},
      {"network", "bytes in", 5000000000ULL, 0},
      {"network", "bytes out", 0, 0},
      {"DNS cache", "hit", 1, 0},
      {"connection pool", "miss", 1, 0},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(count(*global_stats, c.group, c.name), c.in_global) << c.group << "/" << c.name;
    EXPECT_EQ(count(*user, c.group, c.name), c.in_rule) << c.group << "/" << c.name;
  }
  EXPECT_EQ(global_stats->group("hosts")->size(), 1u);
  EXPECT_NE(global_stats->Display().find("<td>4.7 GB</td>"), std::string::npos);
}

TEST(StatsHelpers, WithoutAProcessRegistryNothingHappens) {
  ASSERT_EQ(global_stats, nullptr);
  auto user = userstats_init();
  statincr_httprequests(nullptr);
  statincr_hosts(user.get(), "x.example");
  statadd_bytes(1, 1);
  EXPECT_EQ(count(*user, "hosts", "x.example"), 1u);
}

TEST_F(GlobalStatsTest, HostsKeepNinetyNineAndEvictTheOldest) {
  for (int i = 0; i < 99; ++i) statincr_hosts(nullptr, "h" + std::to_string(i) + ".example");
  statincr_hosts(nullptr, "h0.example");  // h1 is now the one incremented longest ago
  EXPECT_EQ(global_stats->group("hosts")->size(), 99u);
  statincr_hosts(nullptr, "h99.example");
  auto n = names(*global_stats, "hosts");
  EXPECT_EQ(n.size(), 99u);
  EXPECT_EQ(std::count(n.begin(), n.end(), "h1.example"), 0);
  EXPECT_EQ(std::count(n.begin(), n.end(), "h0.example"), 1);
  EXPECT_EQ(n.back(), "h99.example");
  EXPECT_EQ(count(*global_stats, "hosts", "h0.example"), 2u);
}

TEST_F(GlobalStatsTest, ConcurrentIncrementsGiveTheExactTotal) {
  constexpr int kThreads = 8, kRounds = 20000;
  auto user = userstats_init();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, u = user.get()] {
      for (int i = 0; i < kRounds; ++i) {
        statincr_httprequests(u);
        statincr_cachehit(u);
        // Shared hosts and one host per thread and round, so the full group keeps
        // evicting while others count.
        statincr_hosts(u, "shared.example");
        statincr_hosts(nullptr, "t" + std::to_string(t) + "-" + std::to_string(i % 300));
        statadd_bytes(3, 0);
      }
      // A tight loop on one counter makes lost updates likely if the lock were missing.
      for (int i = 0; i < 5 * kRounds; ++i) statincr_ftprequests(u);
    });
  // Reading the page meanwhile must be safe too.
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(global_stats->Display().empty());
  for (auto &th : threads) th.join();

  const std::uint64_t n = std::uint64_t{kThreads} * kRounds;
  EXPECT_EQ(count(*global_stats, "requests", "HTTP requests"), n);
  EXPECT_EQ(count(*user, "requests", "HTTP requests"), n);
  EXPECT_EQ(count(*global_stats, "requests", "FTP requests"), 5 * n);
  EXPECT_EQ(count(*user, "requests", "FTP requests"), 5 * n);
  EXPECT_EQ(count(*global_stats, "cache", "hit"), n);
  EXPECT_EQ(count(*user, "cache", "hit"), n);
  EXPECT_EQ(count(*global_stats, "network", "bytes in"), 3 * n);
  EXPECT_EQ(global_stats->group("hosts")->total(), 2 * n);
  EXPECT_EQ(count(*user, "hosts", "shared.example"), n);
  EXPECT_LE(global_stats->group("hosts")->size(), 99u);
}
