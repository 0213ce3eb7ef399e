#include "hash.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "main.h"
#include "testutil.h"

namespace {

// The fatal path logs through putlog; sending standard output to standard error lets the
// death test see its "ASSERTION" line whatever exit status the orderly shutdown uses.
#define EXPECT_FATAL(statement, function) EXPECT_FATAL_IN("src/hash", statement, function)

// Counts destructions so the tests can see which data a table frees.
struct Tracked {
  explicit Tracked(int id, std::vector<int> *dead) : id(id), dead(dead) {}
  ~Tracked() { dead->push_back(id); }
  int id;
  std::vector<int> *dead;
};

struct KeyCase {
  std::string key;
  unsigned n;
  unsigned expected;
};

// Sums worked out by hand, one term per byte: c*20 + (c>>2) + (c>>4) + 8111.
//   'a' (97):   1940 + 24 + 6 + 8111 = 10081
//   'b' (98):   1960 + 24 + 6 + 8111 = 10101       "ab" = 20182
//   'A' (65):   1300 + 16 + 4 + 8111 = 9431
//   0xff (-1):  -20 - 1 - 1 + 8111 = 8089          (arithmetic shifts round down)
//   0x80 (-128): -2560 - 32 - 8 + 8111 = 5511
//   0x7f (127): 2540 + 31 + 7 + 8111 = 10689; 500000 of them = 5344500000, which wraps
//               to 5344500000 - 4294967296 = 1049532704
const std::vector<KeyCase> KEY_CASES = {
    {"", 1, 0},
    {"", 7, 0},
    {"", 8111, 0},
    {"a", 8111, 10081 % 8111},
    {"a", 100000, 10081},
    {"A", 100000, 9431},
    {"ab", 100000, 20182},
    {"ab", 256, 20182 % 256},
    {"\xff", 100000, 8089},
    {"\x80", 100000, 5511},
    {"\x80\xff", 256, (5511 + 8089) % 256},
    {std::string(500000, '\x7f'), 4294967295u, 1049532704u},
    {std::string(500000, '\x7f'), 104729, 1049532704u % 104729},
};

TEST(HashKey, MatchesHandComputedSums) {
  for (const auto &c : KEY_CASES) {
    EXPECT_EQ(hash_key(c.n, c.key), c.expected) << "key of " << c.key.size() << " bytes, n=" << c.n;
  }
  EXPECT_EQ(hash_key(8111, static_cast<const char *>(nullptr)), 0u);
}

TEST(HashKey, ZeroBucketsIsFatal) { EXPECT_FATAL(hash_key(0, "a"), "hash_key"); }

TEST(HashTable, SearchIgnoresCaseWithinABucket) {
  auto t = hash_create<std::string>(1);
  hash_insert(t.get(), "Example.COM", std::make_unique<std::string>("1.2.3.4"));
  auto *e = hash_search(t.get(), "example.com");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->key, "Example.COM");
  EXPECT_EQ(*e->data, "1.2.3.4");
  EXPECT_EQ(hash_search(t.get(), "example.co"), nullptr);
  EXPECT_EQ(hash_search(t.get(), static_cast<const char *>(nullptr)), nullptr);
}

TEST(HashTable, KeysDifferingInCaseMayLandInDifferentBuckets) {
  // "A" and "a" hash to 1320 and 1970 of 8111: the lookup misses, hence keys in one case.
  auto t = hash_create<std::string>(8111);
  hash_insert(t.get(), "a", std::make_unique<std::string>("x"));
  EXPECT_NE(hash_search(t.get(), "a"), nullptr);
  EXPECT_EQ(hash_search(t.get(), "A"), nullptr);
}

TEST(HashTable, InsertingAnExistingKeyKeepsTheOldEntryAndFreesTheNewData) {
  std::vector<int> dead;
  auto t = hash_create<Tracked>(8111);
  auto *first = hash_insert(t.get(), "host", std::make_unique<Tracked>(1, &dead));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->stamp, 0);
  EXPECT_EQ(first->value, 0);
  first->stamp = 77;
  first->value = 5;

  auto *again = hash_insert(t.get(), "host", std::make_unique<Tracked>(2, &dead));
  EXPECT_EQ(again, first);
  EXPECT_EQ(again->data->id, 1);
  EXPECT_EQ(again->stamp, 77);
  EXPECT_EQ(again->value, 5);
  EXPECT_EQ(dead, std::vector<int>{2});
  EXPECT_EQ(t->size(), 1u);

  EXPECT_EQ(hash_insert(t.get(), nullptr, std::make_unique<Tracked>(3, &dead)), nullptr);
  EXPECT_EQ(dead, (std::vector<int>{2, 3}));
  EXPECT_EQ(t->size(), 1u);
}

TEST(HashTable, EntriesAppendInOrderAndStayValidAcrossInserts) {
  auto t = hash_create<std::string>(1);
  auto *a = hash_insert(t.get(), "a", std::make_unique<std::string>("1"));
  for (int i = 0; i < 100; ++i)
    hash_insert(t.get(), ("k" + std::to_string(i)).c_str(), std::make_unique<std::string>("v"));
  EXPECT_EQ(hash_search(t.get(), "a"), a);
  EXPECT_EQ(*a->data, "1");

  std::vector<std::string> order;
  t->for_each([&](const HashEntry<std::string> &e) { order.push_back(e.key); });
  ASSERT_EQ(order.size(), 101u);
  EXPECT_EQ(order[0], "a");
  EXPECT_EQ(order[1], "k0");
  EXPECT_EQ(order[100], "k99");
}

TEST(HashTable, PurgeRemovesOnlyTheMatchingEntryAndFreesIt) {
  std::vector<int> dead;
  auto t = hash_create<Tracked>(1);  // one bucket: every key shares the chain
  hash_insert(t.get(), "one", std::make_unique<Tracked>(1, &dead));
  hash_insert(t.get(), "two", std::make_unique<Tracked>(2, &dead));
  hash_insert(t.get(), "three", std::make_unique<Tracked>(3, &dead));

  hash_purge(t.get(), "TWO");
  EXPECT_EQ(dead, std::vector<int>{2});
  EXPECT_EQ(hash_search(t.get(), "two"), nullptr);
  EXPECT_NE(hash_search(t.get(), "one"), nullptr);
  EXPECT_NE(hash_search(t.get(), "three"), nullptr);

  hash_purge(t.get(), "missing");
  hash_purge(t.get(), static_cast<const char *>(nullptr));
  EXPECT_EQ(dead, std::vector<int>{2});
  EXPECT_EQ(t->size(), 2u);
}

TEST(HashTable, ExpireRemovesEntriesNotNewerThanTheAge) {
  const time_t now = 1000000;
  struct Row {
    const char *key;
    time_t stamp;
    bool kept;
  };
  const Row rows[] = {
      {"fresh", now, true},     {"59s", now - 59, true}, {"60s", now - 60, false},
      {"61s", now - 61, false}, {"never", 0, false},     {"future", now + 5, true},
  };
  std::vector<int> dead;
  auto t = hash_create<Tracked>(8111);
  int id = 0;
  for (const Row &r : rows)
    hash_insert(t.get(), r.key, std::make_unique<Tracked>(id++, &dead))->stamp = r.stamp;

  EXPECT_EQ(hash_expire(t.get(), 60, now), 3);
  for (const Row &r : rows) EXPECT_EQ(hash_search(t.get(), r.key) != nullptr, r.kept) << r.key;
  EXPECT_EQ(dead.size(), 3u);
  EXPECT_EQ(t->size(), 3u);
  EXPECT_EQ(hash_expire(t.get(), 60, now), 0);
}

TEST(HashTable, DestroyFreesEveryEntry) {
  std::vector<int> dead;
  auto t = hash_create<Tracked>(3);
  for (int i = 0; i < 10; ++i)
    hash_insert(t.get(), std::to_string(i).c_str(), std::make_unique<Tracked>(i, &dead));
  hash_destroy(std::move(t));
  EXPECT_EQ(dead.size(), 10u);
}

TEST(HashTable, InvariantViolationsAreFatal) {
  HASH_TABLE *none = nullptr;
  EXPECT_FATAL(hash_search(none, "a"), "hash_search");
  EXPECT_FATAL(hash_insert(none, "a", std::make_unique<std::string>("x")), "hash_insert");
  EXPECT_FATAL(hash_purge(none, "a"), "hash_purge");
  EXPECT_FATAL(hash_expire(none, 1, 0), "hash_expire");
  EXPECT_FATAL(hash_destroy(std::unique_ptr<HASH_TABLE>()), "hash_destroy");
  EXPECT_FATAL(hash_create<std::string>(0), "hash_create");

  auto t = hash_create<std::string>(16);
  EXPECT_FATAL(hash_insert(t.get(), "a", std::unique_ptr<std::string>()), "hash_insert");
  // An entry whose data the user dropped breaks the table's contract.
  hash_insert(t.get(), "a", std::make_unique<std::string>("x"))->data.reset();
  EXPECT_FATAL(hash_search(t.get(), "a"), "search");
  EXPECT_FATAL(hash_expire(t.get(), 1, 0), "expire");
}

}  // namespace
