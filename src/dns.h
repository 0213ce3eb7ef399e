// Name resolution with a process-wide cache of IPv4 answers, and the counter hooks the
// network layer reports through.
#pragma once

#include <netinet/in.h>

#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hash.h"

// Statistics counters ("DNS cache"/"hit", "network"/"failed connections", ...). Installed at
// start-up by the statistics module; null = not counted.
extern void (*net_stat_hook)(const char *group, const char *counter);

// What the network layer counts in the performance log.
enum NetPerfCounter : int {
  PERF_DNS_HIT,
  PERF_DNS_MISS,
  PERF_DNS_FAILURE,
  PERF_CONNECTION_NEW,     // successful outgoing connect
  PERF_CONNECTION_FAILED,  // failed outgoing connect
  PERF_CONNECTION_CLOSED,  // client connection closed (net_close)
};
// Installed at start-up by the performance log; null = not counted.
extern void (*net_perf_hook)(NetPerfCounter counter);

// Calls the hooks that are installed.
void net_stat(const char *group, const char *counter);
void net_perf(NetPerfCounter counter);

// One resolved IPv4 address; owned by the caller.
struct HOSTENT {
  in_addr addr{};  // network byte order
  int length = 4;
};

constexpr unsigned DNSCACHE_BUCKETS = 8111;
constexpr std::size_t DNS_NAME_MAX = 511;  // longer names cannot be host names: refused
constexpr time_t DNSCACHE_LIFETIME = 360;  // seconds an answer is used
constexpr int DNSCACHE_CLEAN_PERIOD = 60;  // seconds between runs of dnscache_clean

// The cache: lower-cased host name -> dotted address, stamped with the time of insertion.
// Every member is thread-safe; the resolver runs without the lock, so lookups of different
// names proceed in parallel.
class DnsCache {
 public:
  using Resolver = std::function<std::optional<in_addr>(const char *name)>;
  using Clock = std::function<time_t()>;

  // Defaults: p_gethostbyname and time(). Tests pass their own.
  explicit DnsCache(Resolver resolver = {}, Clock clock = {});
  DnsCache(const DnsCache &) = delete;
  DnsCache &operator=(const DnsCache &) = delete;

  // The address of name: a dotted IPv4 literal directly, else a fresh cache entry, else the
  // resolver's answer (cached). Null when the name does not resolve (not cached) or is
  // longer than DNS_NAME_MAX.
  std::unique_ptr<HOSTENT> lookup(const char *name);
  // Drops the entry of name; nothing for null, empty or literal addresses.
  void purge(const char *name);
  // Removes every entry inserted DNSCACHE_LIFETIME seconds ago or earlier; returns how many.
  int clean();

  struct Entry {
    std::string name;
    std::string address;
    time_t inserted;
  };
  // A copy of the entries, for the web interface.
  std::vector<Entry> entries() const;
  std::size_t size() const;

 private:
  Resolver resolver_;
  Clock clock_;
  mutable std::mutex lock_;
  HASH_TABLE table_{DNSCACHE_BUCKETS};
};

// The cache net_dns uses: the process-wide one, created on first use, or the one installed
// by dnscache_install.
DnsCache &dnscache();
// Makes net_dns use `cache` (null: the process-wide one again). For tests.
void dnscache_install(DnsCache *cache);

// dnscache().lookup(name) / purge(name).
std::unique_ptr<HOSTENT> net_dns(const char *name);
void net_dns_purge(const char *name);
// Timer callback, run every DNSCACHE_CLEAN_PERIOD seconds; the argument is unused.
void dnscache_clean(void *unused);

// The dotted-decimal text of an address.
std::string inet_text(in_addr address);
// The address of a dotted quad as isip (misc.h) accepts it (leading zeros are decimal).
std::optional<in_addr> dotted_to_addr(const std::string &text);
