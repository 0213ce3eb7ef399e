#include "serverpool.h"

#include <algorithm>

#include <poll.h>
#include <strings.h>

#include <cerrno>

#include "compat.h"
#include "header.h"
#include "log.h"
#include "network.h"
#include "threads.h"

ServerPoolCounters serverpool_counters;
ServerPool *server_pool = nullptr;

namespace {

bool same_text_nocase(const std::string &a, const std::string &b) {
  return a.size() == b.size() && ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool key_matches(const ServerPoolKey &a, const ServerPoolKey &b) {
  return a.owner == b.owner && a.username == b.username && a.password == b.password &&
         a.port == b.port && a.route == b.route && a.parent_port == b.parent_port &&
         a.tls == b.tls && same_text_nocase(a.proto, b.proto) &&
         same_text_nocase(a.host, b.host) && same_text_nocase(a.parent_host, b.parent_host);
}

const char *privacy(unsigned owner) { return owner == SERVERPOOL_SHARED ? "shared" : "private"; }

// An idle connection has nothing to read: readability means the server closed it, reset
// it, or sent bytes nobody asked for. It must also take a request at once. (A closed
// connection still polls writable, hence both tests in one poll.)
bool socket_idle(const Socket &s) {
  if (s.error || s.fd() < 0 || s.InputPending() > 0) return false;
  return net_poll(s.fd(), POLLIN | POLLRDHUP | POLLOUT, 0) == POLLOUT;
}

// Pooled sockets are closed with a reset: nothing is owed to the server on an idle
// connection, and no closed connection should linger.
void discard(std::unique_ptr<Socket> &socket) {
  if (socket) net_linger_off(socket->fd());
  socket.reset();
}

}  // namespace

ServerPoolKey serverpool_key(const CONNECTION_T &c) {
  ServerPoolKey k;
  const HEADER *h = c.header.get();
  if (h) {
    k.proto = h->proto;
    k.username = h->username;
    k.password = h->password;
  }
  if (c.proxy_type == PROXY_HTTP && !c.proxy_host.empty()) {
    k.host = c.proxy_host;
    k.port = c.proxy_port;
  } else if (h) {
    k.host = h->host;
    k.port = h->port;
  }
  k.owner = static_cast<unsigned>(c.tunnel_owner);
  k.route = c.proxy_type;
  if (c.proxy_type != PROXY_DIRECT) {
    k.parent_host = c.proxy_host;
    k.parent_port = c.proxy_port;
  }
  k.tls = (c.flags & CONN_SSL) != 0;
  return k;
}

ServerPool::~ServerPool() {
  for (serverpool_t &e : pool_) discard(e.socket);
}

void ServerPool::set_limits(int size, int timeout_seconds) {
  std::lock_guard g(lock_);
  size_ = size;
  timeout_ = timeout_seconds;
}

int ServerPool::size_limit() {
  std::lock_guard g(lock_);
  return size_;
}

int ServerPool::timeout() {
  std::lock_guard g(lock_);
  return timeout_;
}

bool ServerPool::Add(std::unique_ptr<Socket> socket, const ServerPoolKey &key) {
  QM_ASSERT(!key.proto.empty() && !key.host.empty(), "src/serverpool");
  if (!socket) return false;
  if (socket->error || socket->fd() < 0 || socket->InputPending() > 0 ||
      socket->OutputPending() > 0) {
    discard(socket);
    return false;
  }
  socket->Clear(0);
  socket->Clear(1);
  if (socket->error) {  // a TLS session left waiting for a repeated write is unusable
    discard(socket);
    return false;
  }

  serverpool_t entry{std::move(socket), now(), key};
  entry.key.tls = entry.socket->tls();

  Victims victims;
  int warn_count = 0;
  bool kept = false;
  {
    std::lock_guard g(lock_);
    if (size_ > 0) {
      int count = static_cast<int>(pool_.size());
      if (count >= size_ && count != warn_level_) warn_level_ = warn_count = count;
      while (static_cast<int>(pool_.size()) >= size_) {
        victims.push_back(std::move(pool_.front().socket));
        pool_.pop_front();
      }
      pool_.push_back(std::move(entry));
      kept = true;
    }
  }
  for (auto &v : victims) discard(v);
  if (!kept) {
    discard(entry.socket);
    return false;
  }

  if (key.owner != SERVERPOOL_SHARED)
    putlog(LOG_DEBUG | LOG_NETWORK, "added secured socket [%d] to pool: %s:%d",
           static_cast<int>(key.owner), key.host.c_str(), key.port);
  if (warn_count)
    putlog(LOG_WARNING | LOG_NETWORK,
           "Connection Pool: size:%d is inadequate, users accessing %s://%s:%s@%s:%d could "
           "report problems, consider increasing this, else reduce Connection Pool Timeout",
           warn_count, key.proto.c_str(), key.username.c_str(), "*", key.host.c_str(), key.port);
  return true;
}

std::unique_ptr<Socket> ServerPool::Find(const ServerPoolKey &key) {
  std::unique_ptr<Socket> found;
  Victims dead;
  // Each candidate leaves the pool under the lock and is probed outside it: the probe is a
  // system call, and every request thread passes through here.
  while (!found) {
    std::unique_ptr<Socket> candidate;
    {
      std::lock_guard g(lock_);
      auto it = std::find_if(pool_.begin(), pool_.end(),
                             [&](const auto &e) { return key_matches(e.key, key); });
      if (it == pool_.end()) break;
      candidate = std::move(it->socket);
      pool_.erase(it);
    }
    if (socket_idle(*candidate)) found = std::move(candidate);
    else dead.push_back(std::move(candidate));
  }
  for (auto &d : dead) {
    putlog(LOG_DEBUG | LOG_NETWORK, "Connection Pool: dropped closed socket: %s://%s:%d",
           key.proto.c_str(), key.host.c_str(), key.port);
    discard(d);
  }
  if (found) {
    if (serverpool_counters.hit) serverpool_counters.hit();
    putlog(LOG_DEBUG | LOG_NETWORK, "Connection Pool: hit [%s] : %s://%s:*@%s:%d",
           privacy(key.owner), key.proto.c_str(), key.username.c_str(), key.host.c_str(),
           key.port);
  } else {
    if (serverpool_counters.miss) serverpool_counters.miss();
    putlog(LOG_DEBUG | LOG_NETWORK, "Connection Pool: miss [%s]: %s://%s:*@%s:%d",
           privacy(key.owner), key.proto.c_str(), key.username.c_str(), key.host.c_str(),
           key.port);
  }
  return found;
}

int ServerPool::clean_locked(int force, Victims *victims) {
  const std::size_t total = pool_.size();
  if (serverpool_counters.pool_size) serverpool_counters.pool_size(total);
  if (total == 0) {
    warn_level_ = 0;
    return 0;
  }
  const Clock::time_point t = now();
  const auto limit = std::chrono::seconds(timeout_);
  for (auto it = pool_.begin(); it != pool_.end();) {
    if (force || t - it->added >= limit) {
      victims->push_back(std::move(it->socket));
      it = pool_.erase(it);
    } else {
      ++it;
    }
  }
  // A lowered size limit trims the oldest entries, as Add would.
  const std::size_t keep = size_ > 0 ? static_cast<std::size_t>(size_) : 0;
  while (pool_.size() > keep) {
    victims->push_back(std::move(pool_.front().socket));
    pool_.pop_front();
  }
  warn_level_ = 0;
  return static_cast<int>(victims->size());
}

int ServerPool::Clean(int force) {
  Victims victims;
  std::size_t total;
  int deleted;
  {
    std::lock_guard g(lock_);
    total = pool_.size();
    deleted = clean_locked(force, &victims);
  }
  for (auto &v : victims) discard(v);
  if (total)
    putlog(LOG_DEBUG | LOG_NETWORK, "connection pool: deleted: %d of %d connections", deleted,
           static_cast<int>(total));
  return deleted;
}

int ServerPool::CloseMyTunnel(unsigned owner) {
  if (owner == SERVERPOOL_SHARED) return 0;
  Victims victims;
  {
    std::lock_guard g(lock_);
    for (auto it = pool_.begin(); it != pool_.end();) {
      if (it->key.owner == owner) {
        victims.push_back(std::move(it->socket));
        it = pool_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto &v : victims) discard(v);
  return static_cast<int>(victims.size());
}

std::size_t ServerPool::size() {
  std::lock_guard g(lock_);
  return pool_.size();
}

std::vector<ServerPoolInfo> ServerPool::entries() {
  std::vector<ServerPoolInfo> out;
  std::lock_guard g(lock_);
  const Clock::time_point t = now();
  out.reserve(pool_.size());
  for (const serverpool_t &e : pool_)
    out.push_back({e.key.proto, e.key.host, e.key.username, e.key.port,
                   static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(t - e.added).count()),
                   e.key.owner});
  return out;
}

void ServerPool::set_clean_interval(std::chrono::milliseconds interval) {
  std::lock_guard g(cleaner_lock_);
  clean_interval_ = interval;
  cleaner_cond_.notify_all();
}

void ServerPool::StopCleaner() {
  std::lock_guard g(cleaner_lock_);
  cleaner_stop_ = true;
  cleaner_cond_.notify_all();
}

void ServerPool::cleaner_started() {
  std::lock_guard g(cleaner_lock_);
  cleaner_running_ = true;
}

void ServerPool::cleaner_ended() {
  std::lock_guard g(cleaner_lock_);
  cleaner_running_ = false;
  cleaner_cond_.notify_all();
}

bool ServerPool::WaitCleanerStopped(std::chrono::milliseconds timeout) {
  std::unique_lock g(cleaner_lock_);
  return cleaner_cond_.wait_for(g, timeout, [&] { return !cleaner_running_; });
}

ServerPool *serverpool_init() {
  if (!server_pool) server_pool = new ServerPool();
  pool_flush_hooks.clean_server_pool = [] {
    if (server_pool) server_pool->Clean(1);
  };
  return server_pool;
}

void *serverpool_clean(void *arg) {
  ServerPool *pool = arg ? static_cast<ServerPool *>(arg) : server_pool;
  if (pool) {
    pool->cleaner_started();
    for (;;) {
      {
        std::unique_lock g(pool->cleaner_lock_);
        if (pool->cleaner_cond_.wait_for(g, pool->clean_interval_,
                                         [&] { return pool->cleaner_stop_; }))
          break;
      }
      pool->Clean(0);
    }
  }
  thread_release();
  if (pool) pool->cleaner_ended();
  return nullptr;
}

int serverpool_start(ServerPool *pool) {
  if (!pool) pool = server_pool;
  if (!pool) return -1;
  // Marked before the thread runs, so that WaitCleanerStopped cannot return before it started.
  pool->cleaner_started();
  int slot = thread_create_internal(serverpool_clean, pool);
  if (slot < 0) pool->cleaner_ended();
  return slot;
}
