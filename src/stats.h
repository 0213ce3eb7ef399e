// Statistics counters: named counters in named groups, for the whole process and for each
// access rule, shown by the web interface as HTML tables. Nothing is written to disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

// Limit of the groups of open-ended names (hosts, MIME types, users, addresses). A group
// with limit L holds at most L-1 counters.
constexpr int STAT_LIMIT = 100;
// Names taken from requests (hosts, MIME types, users) are cut to this many bytes.
constexpr std::size_t STAT_NAME_MAX = 255;

// Kind bits of a counter.
enum StatKind : int {
  STAT_COUNT = 1,     // shown as a decimal number
  STAT_BYTES = 2,     // shown through filesize()
  STAT_TEXT = 4,      // text; only from a function
  STAT_FUNCTION = 8,  // the value comes from a function instead of the stored count
};

enum StatGroupMode : int {
  STAT_PLAIN = 0,       // each counter shows its value
  STAT_PERCENTAGE = 1,  // plain counts shown with their share of the group total
};

// Which counter a full group drops to make room for a new one (first in list order on
// ties).
enum StatEviction : int {
  STAT_EVICT_OLDEST = 0,    // the one incremented longest ago
  STAT_EVICT_SMALLEST = 1,  // the one with the smallest count
};

using StatNumberFn = std::function<std::uint64_t()>;
using StatTextFn = std::function<std::string()>;

class StatCounter {
 public:
  StatCounter(std::string name, int kind, StatNumberFn number = {}, StatTextFn text = {});

  // The value as text: the count ("%zu") or filesize() of it, or the function's result.
  // A kind that cannot be shown takes the fatal-assertion path.
  std::string Get() const;

  // True for the kinds Get() can show: count or bytes, stored or from a number function,
  // or text from a text function.
  static bool valid_kind(int kind, bool has_number, bool has_text);

  const std::string name;
  const int kind;
  std::uint64_t count = 0;
  time_t last = 0;         // wall time of the last change
  std::uint64_t tick = 0;  // group-wide order of the last change, for eviction

 private:
  StatNumberFn number_;
  StatTextFn text_;
};

// One named group of counters. Every member function is thread-safe (one mutex per group).
class StatGroup {
 public:
  StatGroup(std::string name, int mode);

  const std::string &name() const { return name_; }
  int mode() const { return mode_; }

  // Adds a counter unless one of that name exists (false then, or for a kind the group
  // cannot show). Makes room first when the group is full.
  bool Add(const std::string &name, int kind, StatNumberFn number = {}, StatTextFn text = {});
  // Change the named counter and the group total by n (Increment) or by one (Decrement,
  // never below 0) and stamp both. Return the new count, 0 when there is no such counter.
  std::uint64_t Increment(const std::string &name, std::uint64_t n = 1);
  std::uint64_t Decrement(const std::string &name);
  // Adds a plain count named `name` when missing, then increments it, in one step so that
  // another thread cannot evict it in between. Returns the new count.
  std::uint64_t AddAndIncrement(const std::string &name);
  // With a limit L above 0 and at least L-1 counters, removes one by the eviction mode.
  void Prune();
  void Limit(int limit, int eviction);

  // HTML rows of the group (see Stats::Display).
  std::string Display() const;

  std::uint64_t total() const;
  std::size_t size() const;
  std::optional<std::uint64_t> count(const std::string &name) const;
  std::vector<std::string> names() const;  // in list order

 private:
  StatCounter *find_locked(const std::string &name);
  void touch_locked(StatCounter &counter);
  void prune_locked();
  void add_locked(const std::string &name, int kind, StatNumberFn number, StatTextFn text);

  const int mode_;
  const std::string name_;
  mutable std::mutex lock_;
  std::uint64_t total_ = 0;
  int limit_ = 0;
  int eviction_ = STAT_EVICT_OLDEST;
  time_t last_ = 0;
  std::uint64_t ticks_ = 0;
  std::list<StatCounter> counters_;
  std::unordered_map<std::string, std::list<StatCounter>::iterator> index_;
};

// A registry: an ordered list of groups. Groups are never removed, so a group found once
// stays valid for the registry's life. Thread-safe.
class Stats {
 public:
  // Appends a group; false when a group of that name exists.
  bool AddGroup(const std::string &name, int mode);
  // Adds a counter to the named group when it has none of that name; false otherwise (or
  // when the group does not exist).
  bool AddCounter(const std::string &group, const std::string &name, int kind);
  bool AddCounter(const std::string &group, const std::string &name, int kind,
                  StatNumberFn number);
  bool AddCounter(const std::string &group, const std::string &name, StatTextFn text);
  // 0 when group or counter does not exist, else the new count.
  std::uint64_t Increment(const std::string &group, const std::string &name,
                          std::uint64_t n = 1);
  std::uint64_t Decrement(const std::string &group, const std::string &name);
  // Adds the counter when missing, then increments it (0 when the group does not exist).
  std::uint64_t AddAndIncrement(const std::string &group, const std::string &name);
  // Sets a group's limit and eviction mode; false when the group does not exist.
  bool Limit(const std::string &group, int limit, int eviction);

  // HTML of every group, in order: the statistics page of the web interface.
  std::string Display() const;

  StatGroup *group(const std::string &name) const;  // null when missing

 private:
  mutable std::shared_mutex lock_;
  std::vector<std::unique_ptr<StatGroup>> groups_;
};

// Names of the groups and counters other modules count into.
namespace statname {
inline const std::string SYSTEM = "system", REQUESTS = "requests", NETWORK = "network",
                         DNS_CACHE = "DNS cache", CACHE = "cache", CACHE_REFRESH = "cache refresh",
                         CONNECTION_POOL = "connection pool", HOSTS = "hosts", MIMES = "mimes",
                         USERS = "users", IP_ADDRESSES = "ip addresses";
inline const std::string HTTP_REQUESTS = "HTTP requests", FTP_REQUESTS = "FTP requests",
                         CONNECT_REQUESTS = "CONNECT requests";
inline const std::string SUCCESSFUL_CONNECTIONS = "successful connections",
                         FAILED_CONNECTIONS = "failed connections", DNS_FAILURES = "DNS failures",
                         BYTES_IN = "bytes in", BYTES_OUT = "bytes out";
inline const std::string HIT = "hit", MISS = "miss";
}  // namespace statname

// The process registry; null until globalstats_init().
extern std::shared_ptr<Stats> global_stats;

// Builds the process registry (start-up, before other threads run).
void globalstats_init();
// A new registry for one access rule; the rule and every connection it admitted share it.
std::shared_ptr<Stats> userstats_init();

// Memory of the process from /proc/self/statm, in bytes: size, resident, shared. Logs and
// gives nothing when the file cannot be read.
struct StatMemory {
  std::uint64_t size = 0, resident = 0, shared = 0;
};
std::optional<StatMemory> stats_memory();

// Counting helpers of the pipeline. Each updates the process registry and, when `user`
// (the connection's `user_stats`) is not null, the rule's registry.
void statincr_httprequests(Stats *user);
void statincr_ftprequests(Stats *user);
void statincr_connectrequests(Stats *user);
void statincr_cachehit(Stats *user);
void statdecr_cachehit(Stats *user);
void statincr_cachemiss(Stats *user);
void statincr_cacherefreshhit(Stats *user);
void statincr_cacherefreshmiss(Stats *user);
// Open-ended groups: the counter for the value is added when missing. Empty values are not
// counted.
void statincr_hosts(Stats *user, const std::string &host);
void statincr_mimes(Stats *user, const std::string &mime);
void statincr_ipaddresses(Stats *user, const std::string &ip);
void statincr_users(Stats *user, const std::string &username);

// Process-only counters (sockets, connections, DNS cache, server pool).
void statincr_connection(bool success);
void statincr_dnsfailure();
void statincr_dnscache(bool hit);
void statincr_connectionpool(bool hit);
void statadd_bytes(std::uint64_t in, std::uint64_t out);
