// Chained, string-keyed hash table with per-entry time stamps (DNS cache, LDAP DN cache,
// password cache). Keys are compared ignoring case but hashed as they are, so users store
// their keys in one case. No locking: every user guards its table with its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "log.h"

// Bucket index of key among n buckets (n > 0). Each byte c, taken as a signed 8-bit value,
// adds c * 20 + (c >> 2) + (c >> 4) + 8111 to a 32-bit sum that wraps around; the index is
// that sum modulo n. The empty key gives 0. Also used, without a table, to spread cache
// objects over files and directories, so the values must never change.
unsigned hash_key(unsigned n, std::string_view key);
inline unsigned hash_key(unsigned n, const char *key) {
  return hash_key(n, key ? std::string_view(key) : std::string_view());
}

// True when a and b are equal ignoring ASCII case.
bool hash_key_equal(std::string_view a, std::string_view b);

template <class T>
struct HashEntry {
  std::string key;
  std::unique_ptr<T> data;  // never null while the entry is in a table
  time_t stamp = 0;         // seconds, set by the user of the table
  int value = 0;            // free for the user of the table
};

template <class T>
class HashTable {
 public:
  using Entry = HashEntry<T>;

  explicit HashTable(unsigned n) : buckets_(n) { QM_ASSERT(n > 0, "src/hash"); }
  HashTable(const HashTable &) = delete;
  HashTable &operator=(const HashTable &) = delete;

  unsigned buckets() const { return static_cast<unsigned>(buckets_.size()); }
  std::size_t size() const { return size_; }

  // First entry of the key's bucket whose key equals key ignoring case, or null.
  // The entry stays valid until it is purged, expired or the table is destroyed.
  Entry *search(std::string_view key) {
    for (Entry &e : bucket(key)) {
      if (!e.data) fatal_assertion("src/hash", __LINE__, "search");
      if (hash_key_equal(e.key, key)) return &e;
    }
    return nullptr;
  }

  // Returns the existing entry of key, destroying data, or appends a new entry holding a
  // copy of key and data (stamp and value 0) at the end of the bucket.
  Entry *insert(std::string_view key, std::unique_ptr<T> data) {
    QM_ASSERT(data != nullptr, "src/hash");
    if (Entry *existing = search(key)) return existing;
    auto &chain = bucket(key);
    chain.push_back(Entry{std::string(key), std::move(data), 0, 0});
    ++size_;
    return &chain.back();
  }

  // Removes the first entry of key (ignoring case). True when one was removed.
  bool purge(std::string_view key) {
    auto &chain = bucket(key);
    for (auto it = chain.begin(); it != chain.end(); ++it) {
      if (hash_key_equal(it->key, key)) {
        chain.erase(it);
        --size_;
        return true;
      }
    }
    return false;
  }

  // Removes every entry stamped age seconds before now or earlier; returns how many.
  int expire(time_t age, time_t now) {
    const time_t limit = now - age;
    int removed = 0;
    for (auto &chain : buckets_) {
      removed += static_cast<int>(chain.remove_if([&](const Entry &e) {
        if (!e.data) fatal_assertion("src/hash", __LINE__, "expire");
        return e.stamp <= limit;
      }));
    }
    size_ -= static_cast<std::size_t>(removed);
    return removed;
  }

  void clear() {
    for (auto &chain : buckets_) chain.clear();
    size_ = 0;
  }

  // Visits every entry, bucket by bucket in insertion order.
  template <class F>
  void for_each(F &&visit) const {
    for (const auto &chain : buckets_)
      for (const Entry &e : chain) visit(e);
  }

 private:
  std::list<Entry> &bucket(std::string_view key) { return buckets_[hash_key(buckets(), key)]; }

  std::vector<std::list<Entry>> buckets_;
  std::size_t size_ = 0;
};

// The DNS cache and the other users that keep a text per key.
using HASH_TABLE = HashTable<std::string>;

// Module routines over a table. A null table, or null data given to hash_insert, is an
// invariant violation; a null key gives null (and does nothing for hash_purge).
template <class T>
std::unique_ptr<HashTable<T>> hash_create(unsigned n) {
  if (n == 0) QM_FATAL("src/hash");
  return std::make_unique<HashTable<T>>(n);
}

template <class T>
HashEntry<T> *hash_search(HashTable<T> *table, const char *key) {
  if (!table) QM_FATAL("src/hash");
  if (!key) return nullptr;
  return table->search(key);
}

template <class T>
HashEntry<T> *hash_insert(HashTable<T> *table, const char *key, std::unique_ptr<T> data) {
  if (!table || !data) QM_FATAL("src/hash");
  if (!key) return nullptr;
  return table->insert(key, std::move(data));
}

template <class T>
void hash_purge(HashTable<T> *table, const char *key) {
  if (!table) QM_FATAL("src/hash");
  if (key) table->purge(key);
}

// `now` defaults to the current time; tests pass their own clock.
template <class T>
int hash_expire(HashTable<T> *table, time_t age, time_t now = ::time(nullptr)) {
  if (!table) QM_FATAL("src/hash");
  return table->expire(age, now);
}

template <class T>
void hash_destroy(std::unique_ptr<HashTable<T>> table) {
  if (!table) QM_FATAL("src/hash");
}
