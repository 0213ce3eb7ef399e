#include "dns.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdint>

#include "compat.h"
#include "log.h"
#include "misc.h"

void (*net_stat_hook)(const char *group, const char *counter) = nullptr;
void (*net_perf_hook)(NetPerfCounter counter) = nullptr;

void net_stat(const char *group, const char *counter) {
  if (auto hook = net_stat_hook) hook(group, counter);
}

void net_perf(NetPerfCounter counter) {
  if (auto hook = net_perf_hook) hook(counter);
}

std::string inet_text(in_addr address) {
  char text[INET_ADDRSTRLEN] = {};
  if (!::inet_ntop(AF_INET, &address, text, sizeof text)) return {};
  return text;
}

std::optional<in_addr> dotted_to_addr(const std::string &text) {
  if (!isip(text)) return std::nullopt;
  uint32_t value = 0;
  unsigned part = 0;
  for (char c : text) {
    if (c == '.') {
      value = (value << 8) | part;
      part = 0;
    } else {
      part = part * 10 + static_cast<unsigned>(c - '0');
    }
  }
  value = (value << 8) | part;
  in_addr address;
  address.s_addr = htonl(value);
  return address;
}

namespace {

std::unique_ptr<HOSTENT> hostent_of(in_addr address) {
  auto h = std::make_unique<HOSTENT>();
  h->addr = address;
  return h;
}

// The cache key of a name, or nothing for a name too long to be a host name.
std::optional<std::string> cache_key(const char *name) {
  if (s_strnlen(name, DNS_NAME_MAX + 1) > DNS_NAME_MAX) return std::nullopt;
  std::string key(name);
  string_tolower(key);
  return key;
}

}  // namespace

DnsCache::DnsCache(Resolver resolver, Clock clock)
    : resolver_(resolver ? std::move(resolver) : Resolver(p_gethostbyname)),
      clock_(clock ? std::move(clock) : Clock([] { return ::time(nullptr); })) {}

std::unique_ptr<HOSTENT> DnsCache::lookup(const char *name) {
  if (!name || !*name) return nullptr;
  if (isip(name)) {
    if (auto literal = dotted_to_addr(name)) return hostent_of(*literal);
  }
  std::optional<std::string> key = cache_key(name);
  if (!key) {
    putlog(LOG_ERROR, "DNS: failed: %.*s", static_cast<int>(DNS_NAME_MAX), name);
    net_perf(PERF_DNS_FAILURE);
    return nullptr;
  }

  const time_t now = clock_();
  {
    std::unique_lock guard(lock_);
    if (HASH_TABLE::Entry *e = table_.search(*key)) {
      if (now - e->stamp <= DNSCACHE_LIFETIME) {
        const std::string address = *e->data;
        guard.unlock();
        net_perf(PERF_DNS_HIT);
        net_stat("DNS cache", "hit");
        putlog(LOG_DEBUG | LOG_NETWORK, "DNS: cache: hit: %s -> %s", key->c_str(), address.c_str());
        if (auto cached = dotted_to_addr(address)) return hostent_of(*cached);
        return nullptr;  // only dotted text is ever stored
      }
      table_.purge(*key);
    }
  }

  std::optional<in_addr> answer = resolver_(name);
  if (!answer) {
    net_perf(PERF_DNS_FAILURE);
    putlog(LOG_ERROR, "DNS: failed: %s", key->c_str());
    return nullptr;
  }
  const std::string address = inet_text(*answer);
  {
    std::lock_guard guard(lock_);
    // A concurrent miss of the same name may have inserted first: its address stays and
    // only the time is renewed.
    HASH_TABLE::Entry *e = table_.insert(*key, std::make_unique<std::string>(address));
    e->stamp = now;
  }
  net_perf(PERF_DNS_MISS);
  net_stat("DNS cache", "miss");
  putlog(LOG_DEBUG | LOG_NETWORK, "DNS: cache: insert: %s -> %s", key->c_str(), address.c_str());
  return hostent_of(*answer);
}

void DnsCache::purge(const char *name) {
  if (!name || !*name || isip(name)) return;
  std::optional<std::string> key = cache_key(name);
  if (!key) return;
  {
    std::lock_guard guard(lock_);
    table_.purge(*key);
  }
  putlog(LOG_NETWORK, "purged dns: %s", key->c_str());
}

int DnsCache::clean() {
  const time_t now = clock_();
  std::lock_guard guard(lock_);
  return table_.expire(DNSCACHE_LIFETIME, now);
}

std::vector<DnsCache::Entry> DnsCache::entries() const {
  std::vector<Entry> out;
  std::lock_guard guard(lock_);
  out.reserve(table_.size());
  table_.for_each([&](const HASH_TABLE::Entry &e) { out.push_back({e.key, *e.data, e.stamp}); });
  return out;
}

std::size_t DnsCache::size() const {
  std::lock_guard guard(lock_);
  return table_.size();
}

namespace {
std::atomic<DnsCache *> installed_cache{nullptr};
}

DnsCache &dnscache() {
  if (DnsCache *c = installed_cache.load(std::memory_order_acquire)) return *c;
  static DnsCache process_cache;
  return process_cache;
}

void dnscache_install(DnsCache *cache) { installed_cache.store(cache, std::memory_order_release); }

std::unique_ptr<HOSTENT> net_dns(const char *name) { return dnscache().lookup(name); }

void net_dns_purge(const char *name) { dnscache().purge(name); }

void dnscache_clean(void *) { dnscache().clean(); }
