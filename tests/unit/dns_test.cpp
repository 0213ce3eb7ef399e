#include "dns.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "log.h"
#include "main.h"

namespace {

in_addr addr(const char *dotted) {
  in_addr a{};
  EXPECT_EQ(::inet_pton(AF_INET, dotted, &a), 1) << dotted;
  return a;
}

std::string text(const std::unique_ptr<HOSTENT> &h) { return h ? inet_text(h->addr) : "(null)"; }

std::vector<std::string> stat_calls;
void record_stat(const char *group, const char *counter) {
  stat_calls.push_back(std::string(group) + "/" + counter);
}

// A cache over a scripted resolver and a clock the test moves. The resolver answers from
// `answers` (which the test may change between lookups) and counts its calls per name.
class DnsCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_log_ = log_buffer;
    log_buffer = &lines_;
    saved_level_ = loglevel;
    stat_calls.clear();
    net_stat_hook = record_stat;
  }
  void TearDown() override {
    log_buffer = saved_log_;
    loglevel = saved_level_;
    net_stat_hook = nullptr;
  }
  bool logged(const std::string &s) const {
    for (const auto &l : lines_.lines())
      if (l.find(s) != std::string::npos) return true;
    return false;
  }

  std::optional<in_addr> resolve(const char *name) {
    ++calls_[name];
    auto it = answers_.find(name);
    if (it == answers_.end()) return std::nullopt;
    return addr(it->second.c_str());
  }

  time_t now_ = 1000000;
  std::map<std::string, std::string> answers_;
  std::map<std::string, int> calls_;
  DnsCache cache_{[this](const char *n) { return resolve(n); }, [this] { return now_; }};
  DnsCache *cacheptr_ = nullptr;
  LogBuffer lines_{200};
  LogBuffer *saved_log_ = nullptr;
  int saved_level_ = 0;
};

TEST_F(DnsCacheTest, NamesDifferingInCaseShareOneEntry) {
  answers_["Origin.Example"] = "192.0.2.7";
  EXPECT_EQ(text(cache_.lookup("Origin.Example")), "192.0.2.7");
  EXPECT_EQ(text(cache_.lookup("origin.example")), "192.0.2.7");
  EXPECT_EQ(text(cache_.lookup("ORIGIN.EXAMPLE")), "192.0.2.7");
  EXPECT_EQ(calls_["Origin.Example"], 1);
  EXPECT_EQ(calls_.size(), 1u) << "only the first spelling reached the resolver";
  auto entries = cache_.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "origin.example");
  EXPECT_EQ(entries[0].address, "192.0.2.7");
  EXPECT_EQ(entries[0].inserted, now_);
  EXPECT_EQ(stat_calls, (std::vector<std::string>{"DNS cache/miss", "DNS cache/hit",
                                                   "DNS cache/hit"}));
}

TEST_F(DnsCacheTest, AnEntryLivesThreeHundredSixtySeconds) {
  const time_t start = now_;
  answers_["a.example"] = "192.0.2.1";
  ASSERT_EQ(text(cache_.lookup("a.example")), "192.0.2.1");
  answers_["a.example"] = "192.0.2.2";  // the name moved; the cache does not know yet

  now_ = start + DNSCACHE_LIFETIME;
  EXPECT_EQ(text(cache_.lookup("a.example")), "192.0.2.1") << "360 s after the insert: a hit";
  EXPECT_EQ(calls_["a.example"], 1);

  now_ = start + DNSCACHE_LIFETIME + 1;
  EXPECT_EQ(text(cache_.lookup("a.example")), "192.0.2.2") << "361 s: resolved again";
  EXPECT_EQ(calls_["a.example"], 2);
  auto entries = cache_.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].address, "192.0.2.2");
  EXPECT_EQ(entries[0].inserted, now_) << "the replacement carries the new time";
}

TEST_F(DnsCacheTest, AStaleEntryThatNoLongerResolvesIsGone) {
  answers_["gone.example"] = "192.0.2.3";
  ASSERT_NE(cache_.lookup("gone.example"), nullptr);
  answers_.clear();
  now_ += DNSCACHE_LIFETIME + 1;
  EXPECT_EQ(cache_.lookup("gone.example"), nullptr);
  EXPECT_EQ(cache_.size(), 0u);
  EXPECT_TRUE(logged("error: advice: DNS: failed: gone.example"));
}

TEST_F(DnsCacheTest, FailuresAreNeverCached) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(cache_.lookup("Nowhere.invalid"), nullptr);
  EXPECT_EQ(calls_["Nowhere.invalid"], 3) << "every request tries again";
  EXPECT_EQ(cache_.size(), 0u);
  EXPECT_TRUE(logged("DNS: failed: nowhere.invalid")) << "logged with the key";
}

TEST_F(DnsCacheTest, LiteralAddressesBypassTheCache) {
  struct Case {
    const char *name;
    const char *expected;
  };
  const Case cases[] = {
      {"10.1.2.3", "10.1.2.3"},
      {"0.0.0.0", "0.0.0.0"},
      {"255.255.255.255", "255.255.255.255"},
      {"010.001.002.003", "10.1.2.3"},  // leading zeros are decimal, not octal
  };
  for (const Case &c : cases) EXPECT_EQ(text(cache_.lookup(c.name)), c.expected) << c.name;
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(cache_.size(), 0u);
  EXPECT_TRUE(stat_calls.empty());

  // Not literals: these go to the resolver (which knows none of them).
  for (const char *name : {"256.1.1.1", "1.2.3", "1.2.3.4.5"}) {
    EXPECT_EQ(cache_.lookup(name), nullptr) << name;
    EXPECT_EQ(calls_[name], 1) << name;
  }
  EXPECT_EQ(cache_.lookup(nullptr), nullptr);
  EXPECT_EQ(cache_.lookup(""), nullptr);
}

TEST_F(DnsCacheTest, NamesLongerThanTheKeyAreRefused) {
  // Cutting the key would let two different long names share an answer.
  const std::string longest(DNS_NAME_MAX, 'a');
  const std::string too_long = longest + "b";
  answers_[longest] = "192.0.2.4";
  answers_[too_long] = "192.0.2.5";
  EXPECT_EQ(text(cache_.lookup(longest.c_str())), "192.0.2.4");
  EXPECT_EQ(cache_.lookup(too_long.c_str()), nullptr);
  EXPECT_EQ(calls_.count(too_long), 0u);
  EXPECT_EQ(cache_.size(), 1u);
}

TEST_F(DnsCacheTest, PurgeDropsOnlyNamedEntries) {
  answers_["keep.example"] = "192.0.2.8";
  answers_["drop.example"] = "192.0.2.9";
  ASSERT_NE(cache_.lookup("keep.example"), nullptr);
  ASSERT_NE(cache_.lookup("drop.example"), nullptr);

  for (const char *nothing : {static_cast<const char *>(nullptr), "", "192.0.2.9"})
    cache_.purge(nothing);
  EXPECT_EQ(cache_.size(), 2u);
  EXPECT_FALSE(logged("purged dns")) << "literals and empty names log nothing";

  cache_.purge("DROP.example");
  EXPECT_TRUE(logged("network: purged dns: drop.example"));
  ASSERT_EQ(cache_.size(), 1u);
  EXPECT_EQ(cache_.entries()[0].name, "keep.example");
  ASSERT_NE(cache_.lookup("drop.example"), nullptr);
  EXPECT_EQ(calls_["drop.example"], 2) << "a purged name is resolved again";
}

TEST_F(DnsCacheTest, CleanRemovesEntriesOfTheLifetimeAndOlder) {
  const time_t start = now_;
  answers_["old.example"] = "192.0.2.10";
  answers_["young.example"] = "192.0.2.11";
  ASSERT_NE(cache_.lookup("old.example"), nullptr);
  now_ = start + 100;
  ASSERT_NE(cache_.lookup("young.example"), nullptr);

  now_ = start + DNSCACHE_LIFETIME - 1;
  EXPECT_EQ(cache_.clean(), 0);
  now_ = start + DNSCACHE_LIFETIME;
  EXPECT_EQ(cache_.clean(), 1);
  ASSERT_EQ(cache_.size(), 1u);
  EXPECT_EQ(cache_.entries()[0].name, "young.example");
  now_ = start + 100 + DNSCACHE_LIFETIME;
  EXPECT_EQ(cache_.clean(), 1);
  EXPECT_EQ(cache_.size(), 0u);
}

// While the resolver runs (without the lock), another lookup of the same name completes
// first: its address stays in the cache, the entry's time is renewed, and each caller gets
// its own answer.
TEST_F(DnsCacheTest, ConcurrentMissesKeepTheFirstAddress) {
  int depth = 0;
  std::string inner_answer;
  DnsCache cache(
      [&](const char *name) -> std::optional<in_addr> {
        if (++depth == 1) {
          now_ += 5;  // the inner lookup notes a later time
          inner_answer = text(cacheptr_->lookup(name));
          return addr("192.0.2.20");
        }
        return addr("192.0.2.21");
      },
      [this] { return now_; });
  cacheptr_ = &cache;
  const time_t start = now_;
  EXPECT_EQ(text(cache.lookup("race.example")), "192.0.2.20");
  EXPECT_EQ(inner_answer, "192.0.2.21");
  auto entries = cache.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].address, "192.0.2.21") << "the first insert's address stays";
  EXPECT_EQ(entries[0].inserted, start) << "the second insert renewed the time";
}

TEST_F(DnsCacheTest, NetDnsUsesTheInstalledCache) {
  answers_["routed.example"] = "192.0.2.30";
  dnscache_install(&cache_);
  EXPECT_EQ(text(net_dns("routed.example")), "192.0.2.30");
  now_ += DNSCACHE_LIFETIME;
  dnscache_clean(nullptr);
  EXPECT_EQ(cache_.size(), 0u);
  ASSERT_NE(net_dns("routed.example"), nullptr);
  net_dns_purge("routed.example");
  EXPECT_EQ(cache_.size(), 0u);
  dnscache_install(nullptr);
  EXPECT_NE(&dnscache(), &cache_);
  EXPECT_EQ(calls_["routed.example"], 2);
}

// The system resolver answers "localhost" from the hosts file; nothing leaves the host.
TEST(DnsResolver, LocalhostResolvesToLoopback) {
  DnsCache cache;
  EXPECT_EQ(text(cache.lookup("LocalHost")), "127.0.0.1");
  ASSERT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.entries()[0].name, "localhost");
}

}  // namespace
