#include "stats.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>

#include "log.h"
#include "misc.h"
#include "threads.h"

std::shared_ptr<Stats> global_stats;

namespace {

constexpr const char *MODULE = "src/stats";

std::string bounded_name(const std::string &name) {
  return name.size() > STAT_NAME_MAX ? name.substr(0, STAT_NAME_MAX) : name;
}

}  // namespace

// ---- StatCounter -------------------------------------------------------------------------

StatCounter::StatCounter(std::string name_, int kind_, StatNumberFn number, StatTextFn text)
    : name(std::move(name_)), kind(kind_), number_(std::move(number)), text_(std::move(text)) {}

bool StatCounter::valid_kind(int kind, bool has_number, bool has_text) {
  switch (kind) {
    case STAT_COUNT:
    case STAT_BYTES:
      return true;
    case STAT_COUNT | STAT_FUNCTION:
    case STAT_BYTES | STAT_FUNCTION:
      return has_number;
    case STAT_TEXT | STAT_FUNCTION:
      return has_text;
    default:
      return false;
  }
}

std::string StatCounter::Get() const {
  if (!valid_kind(kind, static_cast<bool>(number_), static_cast<bool>(text_))) QM_FATAL(MODULE);
  if (kind == (STAT_TEXT | STAT_FUNCTION)) return text_();
  std::uint64_t value = (kind & STAT_FUNCTION) ? number_() : count;
  if (kind & STAT_BYTES) return filesize(value);
  return std::to_string(value);
}

// ---- StatGroup ---------------------------------------------------------------------------

StatGroup::StatGroup(std::string name, int mode) : mode_(mode), name_(std::move(name)) {}

StatCounter *StatGroup::find_locked(const std::string &name) {
  auto it = index_.find(name);
  return it == index_.end() ? nullptr : &*it->second;
}

void StatGroup::touch_locked(StatCounter &counter) {
  time_t now = ::time(nullptr);
  counter.last = now;
  counter.tick = ++ticks_;
  last_ = now;
}

void StatGroup::prune_locked() {
  if (limit_ <= 0 || counters_.size() + 1 < static_cast<std::size_t>(limit_) ||
      counters_.empty())
    return;
  auto victim = counters_.begin();
  for (auto it = counters_.begin(); it != counters_.end(); ++it) {
    bool better = eviction_ == STAT_EVICT_SMALLEST ? it->count < victim->count
                                                   : it->tick < victim->tick;
    if (better) victim = it;
  }
  index_.erase(victim->name);
  counters_.erase(victim);
}

void StatGroup::add_locked(const std::string &name, int kind, StatNumberFn number,
                           StatTextFn text) {
  prune_locked();
  counters_.emplace_back(name, kind, std::move(number), std::move(text));
  index_.emplace(name, std::prev(counters_.end()));
  // A new counter counts as just touched, so the next addition does not evict it first.
  touch_locked(counters_.back());
}

bool StatGroup::Add(const std::string &raw_name, int kind, StatNumberFn number,
                    StatTextFn text) {
  if (!StatCounter::valid_kind(kind, static_cast<bool>(number), static_cast<bool>(text)))
    return false;
  // Percentages are shares of the group total: only stored counts make sense there.
  if (mode_ == STAT_PERCENTAGE && kind != STAT_COUNT) return false;
  std::string name = bounded_name(raw_name);
  std::lock_guard g(lock_);
  if (find_locked(name)) return false;
  add_locked(name, kind, std::move(number), std::move(text));
  return true;
}

std::uint64_t StatGroup::Increment(const std::string &raw_name, std::uint64_t n) {
  std::string name = bounded_name(raw_name);
  std::lock_guard g(lock_);
  StatCounter *c = find_locked(name);
  if (!c) return 0;
  c->count += n;
  total_ += n;
  touch_locked(*c);
  return c->count;
}

std::uint64_t StatGroup::Decrement(const std::string &raw_name) {
  std::string name = bounded_name(raw_name);
  std::lock_guard g(lock_);
  StatCounter *c = find_locked(name);
  if (!c) return 0;
  if (c->count > 0) {
    --c->count;
    if (total_ > 0) --total_;
  }
  touch_locked(*c);
  return c->count;
}

std::uint64_t StatGroup::AddAndIncrement(const std::string &raw_name) {
  std::string name = bounded_name(raw_name);
  std::lock_guard g(lock_);
  StatCounter *c = find_locked(name);
  if (!c) {
    add_locked(name, STAT_COUNT, {}, {});
    c = &counters_.back();
  }
  ++c->count;
  ++total_;
  touch_locked(*c);
  return c->count;
}

void StatGroup::Prune() {
  std::lock_guard g(lock_);
  prune_locked();
}

void StatGroup::Limit(int limit, int eviction) {
  std::lock_guard g(lock_);
  limit_ = limit < 0 ? 0 : limit;
  eviction_ = eviction == STAT_EVICT_SMALLEST ? STAT_EVICT_SMALLEST : STAT_EVICT_OLDEST;
}

std::uint64_t StatGroup::total() const {
  std::lock_guard g(lock_);
  return total_;
}

std::size_t StatGroup::size() const {
  std::lock_guard g(lock_);
  return counters_.size();
}

std::optional<std::uint64_t> StatGroup::count(const std::string &name) const {
  std::lock_guard g(lock_);
  auto it = index_.find(bounded_name(name));
  if (it == index_.end()) return std::nullopt;
  return it->second->count;
}

std::vector<std::string> StatGroup::names() const {
  std::lock_guard g(lock_);
  std::vector<std::string> out;
  out.reserve(counters_.size());
  for (const auto &c : counters_) out.push_back(c.name);
  return out;
}

std::string StatGroup::Display() const {
  std::string page = "<tr><td align=\"center\"><table class=\"smalldialog\">\n";
  page += "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">";
  page += string_to_html(name_);
  page += "</td></tr>\n";
  std::lock_guard g(lock_);
  bool even = true;
  for (const auto &c : counters_) {
    page += "<tr class=\"";
    page += even ? "listeven" : "listodd";
    page += "\"><td width=\"40%\">";
    page += string_to_html(c.name, HTML_NEWLINES);
    page += "</td><td>";
    if (mode_ == STAT_PERCENTAGE) {
      if (c.kind != STAT_COUNT) QM_FATAL(MODULE);
      // Exact whole percent even for counts near the 64-bit range.
      unsigned percent = total_ == 0
          ? 0
          : static_cast<unsigned>(static_cast<unsigned __int128>(c.count) * 100 / total_);
      page += std::to_string(c.count);
      page += " (";
      page += std::to_string(percent);
      page += "%)";
    } else {
      page += string_to_html(c.Get());
    }
    page += "</td></tr>\n";
    even = !even;
  }
  page += "</table></td></tr> <tr><td><br></td></tr>\n";
  return page;
}

// ---- Stats -------------------------------------------------------------------------------

StatGroup *Stats::group(const std::string &name) const {
  std::shared_lock g(lock_);
  for (const auto &grp : groups_)
    if (grp->name() == name) return grp.get();
  return nullptr;
}

bool Stats::AddGroup(const std::string &name, int mode) {
  std::unique_lock g(lock_);
  for (const auto &grp : groups_)
    if (grp->name() == name) return false;
  groups_.push_back(std::make_unique<StatGroup>(name, mode));
  return true;
}

bool Stats::AddCounter(const std::string &group_name, const std::string &name, int kind) {
  StatGroup *grp = group(group_name);
  return grp && grp->Add(name, kind);
}

bool Stats::AddCounter(const std::string &group_name, const std::string &name, int kind,
                       StatNumberFn number) {
  StatGroup *grp = group(group_name);
  return grp && grp->Add(name, kind | STAT_FUNCTION, std::move(number));
}

bool Stats::AddCounter(const std::string &group_name, const std::string &name,
                       StatTextFn text) {
  StatGroup *grp = group(group_name);
  return grp && grp->Add(name, STAT_TEXT | STAT_FUNCTION, {}, std::move(text));
}

std::uint64_t Stats::Increment(const std::string &group_name, const std::string &name,
                               std::uint64_t n) {
  StatGroup *grp = group(group_name);
  return grp ? grp->Increment(name, n) : 0;
}

std::uint64_t Stats::Decrement(const std::string &group_name, const std::string &name) {
  StatGroup *grp = group(group_name);
  return grp ? grp->Decrement(name) : 0;
}

std::uint64_t Stats::AddAndIncrement(const std::string &group_name, const std::string &name) {
  StatGroup *grp = group(group_name);
  return grp ? grp->AddAndIncrement(name) : 0;
}

bool Stats::Limit(const std::string &group_name, int limit, int eviction) {
  StatGroup *grp = group(group_name);
  if (!grp) return false;
  grp->Limit(limit, eviction);
  return true;
}

std::string Stats::Display() const {
  std::vector<const StatGroup *> list;
  {
    std::shared_lock g(lock_);
    for (const auto &grp : groups_) list.push_back(grp.get());
  }
  std::string page;
  for (const StatGroup *grp : list) page += grp->Display();
  return page;
}

// ---- registries --------------------------------------------------------------------------

std::optional<StatMemory> stats_memory() {
  FILE *f = std::fopen("/proc/self/statm", "r");
  if (!f) {
    putlog(LOG_ERROR, "failed to open /proc/self/statm");
    return std::nullopt;
  }
  unsigned long long v[7];
  int n = std::fscanf(f, "%llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3],
                      &v[4], &v[5], &v[6]);
  std::fclose(f);
  if (n != 7) {
    putlog(LOG_ERROR, "failed to read from /proc/self/statm");
    return std::nullopt;
  }
  long page = ::sysconf(_SC_PAGESIZE);
  std::uint64_t ps = page > 0 ? static_cast<std::uint64_t>(page) : 4096;
  return StatMemory{v[0] * ps, v[1] * ps, v[2] * ps};
}

namespace {

std::string cpu_time(long sec, long usec) {
  struct timeval tv;
  tv.tv_sec = sec;
  tv.tv_usec = usec;
  return timeval_to_string(tv);
}

void add_request_groups(Stats &s) {
  using namespace statname;
  s.AddGroup(REQUESTS, STAT_PLAIN);
  for (const auto *n : {&HTTP_REQUESTS, &FTP_REQUESTS, &CONNECT_REQUESTS})
    s.AddCounter(REQUESTS, *n, STAT_COUNT);
}

void add_hit_miss_group(Stats &s, const std::string &name) {
  s.AddGroup(name, STAT_PERCENTAGE);
  s.AddCounter(name, statname::HIT, STAT_COUNT);
  s.AddCounter(name, statname::MISS, STAT_COUNT);
}

void add_open_group(Stats &s, const std::string &name) {
  s.AddGroup(name, STAT_PERCENTAGE);
  s.Limit(name, STAT_LIMIT, STAT_EVICT_OLDEST);
}

// Counts into the process registry and the rule's registry.
void count_both(Stats *user, const std::string &group, const std::string &name) {
  if (global_stats) global_stats->Increment(group, name);
  if (user) user->Increment(group, name);
}

void count_open(Stats *user, const std::string &group, const std::string &name) {
  if (name.empty()) return;
  if (global_stats) global_stats->AddAndIncrement(group, name);
  if (user) user->AddAndIncrement(group, name);
}

void count_global(const std::string &group, const std::string &name, std::uint64_t n = 1) {
  if (global_stats) global_stats->Increment(group, name, n);
}

}  // namespace

void globalstats_init() {
  using namespace statname;
  auto s = std::make_shared<Stats>();

  s->AddGroup(SYSTEM, STAT_PLAIN);
  s->AddCounter(SYSTEM, "user time", StatTextFn([] {
                  ResourceTotals t = rusage_totals();
                  return cpu_time(t.utime_sec, t.utime_usec);
                }));
  s->AddCounter(SYSTEM, "system time", StatTextFn([] {
                  ResourceTotals t = rusage_totals();
                  return cpu_time(t.stime_sec, t.stime_usec);
                }));
  s->AddCounter(SYSTEM, "memory resident", STAT_BYTES, StatNumberFn([]() -> std::uint64_t {
                  auto m = stats_memory();
                  return m ? m->resident : 0;
                }));
  s->AddCounter(SYSTEM, "memory size", STAT_BYTES, StatNumberFn([]() -> std::uint64_t {
                  auto m = stats_memory();
                  return m ? m->size : 0;
                }));
  s->AddCounter(SYSTEM, "memory shared", STAT_BYTES, StatNumberFn([]() -> std::uint64_t {
                  auto m = stats_memory();
                  return m ? m->shared : 0;
                }));
  s->AddCounter(SYSTEM, "minor pagefaults", STAT_COUNT, StatNumberFn([]() -> std::uint64_t {
                  long v = rusage_totals().minflt;
                  return v > 0 ? static_cast<std::uint64_t>(v) : 0;
                }));
  s->AddCounter(SYSTEM, "major pagefaults", STAT_COUNT, StatNumberFn([]() -> std::uint64_t {
                  long v = rusage_totals().majflt;
                  return v > 0 ? static_cast<std::uint64_t>(v) : 0;
                }));

  add_request_groups(*s);

  s->AddGroup(NETWORK, STAT_PLAIN);
  for (const auto *n : {&SUCCESSFUL_CONNECTIONS, &FAILED_CONNECTIONS, &DNS_FAILURES})
    s->AddCounter(NETWORK, *n, STAT_COUNT);
  s->AddCounter(NETWORK, BYTES_IN, STAT_BYTES);
  s->AddCounter(NETWORK, BYTES_OUT, STAT_BYTES);

  for (const auto *g : {&DNS_CACHE, &CACHE, &CACHE_REFRESH, &CONNECTION_POOL})
    add_hit_miss_group(*s, *g);
  for (const auto *g : {&HOSTS, &MIMES, &USERS, &IP_ADDRESSES}) add_open_group(*s, *g);

  global_stats = std::move(s);
}

std::shared_ptr<Stats> userstats_init() {
  using namespace statname;
  auto s = std::make_shared<Stats>();
  add_request_groups(*s);
  add_hit_miss_group(*s, CACHE);
  add_hit_miss_group(*s, CACHE_REFRESH);
  add_open_group(*s, HOSTS);
  add_open_group(*s, MIMES);
  return s;
}

void statincr_httprequests(Stats *user) {
  count_both(user, statname::REQUESTS, statname::HTTP_REQUESTS);
}
void statincr_ftprequests(Stats *user) {
  count_both(user, statname::REQUESTS, statname::FTP_REQUESTS);
}
void statincr_connectrequests(Stats *user) {
  count_both(user, statname::REQUESTS, statname::CONNECT_REQUESTS);
}
void statincr_cachehit(Stats *user) { count_both(user, statname::CACHE, statname::HIT); }
void statdecr_cachehit(Stats *user) {
  if (global_stats) global_stats->Decrement(statname::CACHE, statname::HIT);
  if (user) user->Decrement(statname::CACHE, statname::HIT);
}
void statincr_cachemiss(Stats *user) { count_both(user, statname::CACHE, statname::MISS); }
void statincr_cacherefreshhit(Stats *user) {
  count_both(user, statname::CACHE_REFRESH, statname::HIT);
}
void statincr_cacherefreshmiss(Stats *user) {
  count_both(user, statname::CACHE_REFRESH, statname::MISS);
}

void statincr_hosts(Stats *user, const std::string &host) {
  count_open(user, statname::HOSTS, host);
}
void statincr_mimes(Stats *user, const std::string &mime) {
  count_open(user, statname::MIMES, mime);
}
void statincr_ipaddresses(Stats *user, const std::string &ip) {
  count_open(user, statname::IP_ADDRESSES, ip);
}
void statincr_users(Stats *user, const std::string &username) {
  count_open(user, statname::USERS, username);
}

void statincr_connection(bool success) {
  count_global(statname::NETWORK,
               success ? statname::SUCCESSFUL_CONNECTIONS : statname::FAILED_CONNECTIONS);
}
void statincr_dnsfailure() { count_global(statname::NETWORK, statname::DNS_FAILURES); }
void statincr_dnscache(bool hit) {
  count_global(statname::DNS_CACHE, hit ? statname::HIT : statname::MISS);
}
void statincr_connectionpool(bool hit) {
  count_global(statname::CONNECTION_POOL, hit ? statname::HIT : statname::MISS);
}
void statadd_bytes(std::uint64_t in, std::uint64_t out) {
  if (in) count_global(statname::NETWORK, statname::BYTES_IN, in);
  if (out) count_global(statname::NETWORK, statname::BYTES_OUT, out);
}
