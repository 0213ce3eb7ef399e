#include "clientpool.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "compat.h"
#include "log.h"
#include "main.h"
#include "network.h"
#include "threads.h"

using namespace std::chrono;

namespace {

constexpr std::size_t WAKE_DRAIN_CHUNK = 64;
// Pause after a failed poll, so that a lasting failure cannot spin the poller.
constexpr milliseconds POLL_FAILURE_PAUSE{100};

void delete_connection(CONNECTION_T *connection) { delete connection; }

int client_fd(const CONNECTION_T *c) { return c->client ? c->client->fd() : -1; }

void mark_closed(CONNECTION_T *c) {
  if (c->client) c->client->error = true;
}

// Diagnostic lines written while handling a connection carry its client id.
class ClientIdScope {
 public:
  explicit ClientIdScope(unsigned id) : saved_(thread_get_clientid()) { thread_set_clientid(id); }
  ~ClientIdScope() { thread_set_clientid(saved_); }
  ClientIdScope(const ClientIdScope &) = delete;
  ClientIdScope &operator=(const ClientIdScope &) = delete;

 private:
  unsigned saved_;
};

void close_connection(CONNECTION_T *c) {
  if (clientpool_close_hook) clientpool_close_hook(c);
  else delete c;
}

}  // namespace

void (*clientpool_close_hook)(CONNECTION_T *) = delete_connection;
ClientPoolCounters clientpool_counters;
ClientPool *client_pool = nullptr;

ClientPool::ClientPool() {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    int e = errno;
    putlog(LOG_ERROR | LOG_NETWORK, "[system: pipe:%d:%s], in %s, failed to create wakepipe", e,
           std::strerror(e), "ClientPool");
    QM_FATAL("src/clientpool");
  }
  wake_read_ = fds[0];
  wake_write_ = fds[1];
}

ClientPool::~ClientPool() {
  for (auto &e : pool_) close_connection(e.connection);
  for (auto &e : pending_) close_connection(e.connection);
  ::close(wake_read_);
  ::close(wake_write_);
}

int ClientPool::allowance(const CONNECTION_T *c) {
  return c->requests > 0 ? c->keeptimeout : c->timeout;
}

int ClientPool::poll_timeout(const std::list<clientpool_t> &entries, Clock::time_point now) {
  if (entries.empty()) return -1;
  long long best = CLIENT_POOL_TIMEOUT > 0 ? CLIENT_POOL_TIMEOUT * 1000LL : LLONG_MAX;
  for (const clientpool_t &e : entries) {
    // The idle time is rounded down, so a pass woken at the deadline finds the entry due.
    long long idle = duration_cast<milliseconds>(now - e.added).count();
    long long remaining = allowance(e.connection) * 1000LL - idle;
    if (remaining <= 0) return 0;
    if (remaining < best) best = remaining;
  }
  return best > INT_MAX ? INT_MAX : static_cast<int>(best);
}

void ClientPool::Add(CONNECTION_T *c) {
  if (!c) return;
  if (c->keepalive_client == -1) {
    c->keepalive_client = 0;
    ClientIdScope id(c->client_id);
    if (process_new(c) >= 0) return;
    if (c->requests == 0 && clientpool_counters.connections_handled)
      clientpool_counters.connections_handled(c->client_id);
    mark_closed(c);
    close_connection(c);
    return;
  }
  if (c->client) c->client->Blocking(true);
  bool wake = false;
  {
    std::lock_guard g(pending_lock_);
    pending_.push_back({c, Clock::now()});
    if (wakepipe_calls_ == 0) {
      wakepipe_calls_ = 1;
      wake = true;
    }
  }
  if (wake) wake_write();
}

void ClientPool::wake_write() {
  const char byte = 0;
  // A full pipe already wakes the poller.
  while (::write(wake_write_, &byte, 1) < 0 && errno == EINTR) {
  }
}

void ClientPool::Wakeup() { wake_write(); }

void ClientPool::drain_wakepipe() {
  char buf[WAKE_DRAIN_CHUNK];
  for (;;) {
    ssize_t n = ::read(wake_read_, buf, sizeof buf);
    if (n > 0) continue;
    if (n == 0) return;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    int e = errno;
    putlog(LOG_ERROR | LOG_NETWORK, "%s: [system: read:%d:%s] failed to read from wakepipe",
           "Poll", e, std::strerror(e));
    putlog(0, "system unstable, please restart the service");
    return;
  }
}

std::size_t ClientPool::PollOnce(int max_wait_ms) {
  std::vector<pollfd> fds;
  unsigned long generation;
  int timeout;
  std::size_t watched;
  {
    std::lock_guard g(pool_lock_);
    {
      std::lock_guard p(pending_lock_);
      pool_.splice(pool_.end(), pending_);
      wakepipe_calls_ = 0;
    }
    fds.reserve(pool_.size() + 1);
    fds.push_back({wake_read_, POLLIN, 0});
    for (const clientpool_t &e : pool_)
      fds.push_back({client_fd(e.connection), POLLIN | POLLERR | POLLHUP | POLLNVAL, 0});
    timeout = poll_timeout(pool_, Clock::now());
    generation = generation_;
    watched = pool_.size();
  }
  if (clientpool_counters.clients_in_pool) clientpool_counters.clients_in_pool(watched);
  if (max_wait_ms >= 0 && (timeout < 0 || timeout > max_wait_ms)) timeout = max_wait_ms;

  if (::poll(fds.data(), fds.size(), timeout) < 0) {
    int e = errno;
    if (e != EINTR) {
      putlog(LOG_ERROR | LOG_NETWORK, "%s: [system: poll:%d:%s] client pool size: %zu", "Poll", e,
             std::strerror(e), watched);
      std::this_thread::sleep_for(POLL_FAILURE_PAUSE);
    }
    return 0;
  }
  // Drained to the end: wake-up bytes written after the pending list was taken must not
  // keep the pipe readable, or every later poll would return at once.
  if (fds[0].revents) drain_wakepipe();

  std::list<clientpool_t> due;
  {
    std::lock_guard g(pool_lock_);
    // Only this pass adds to the list and only Clean removes from it; an unchanged
    // generation means the list is still the one that was polled, in the same order.
    if (generation != generation_) return 0;
    std::size_t i = 1;
    for (auto it = pool_.begin(); it != pool_.end() && i < fds.size(); ++i) {
      CONNECTION_T *c = it->connection;
      short ev = fds[i].revents;
      bool hand = false;
      if (fds[i].fd < 0 || (ev & (POLLERR | POLLHUP | POLLNVAL))) {
        mark_closed(c);
        hand = true;
      } else if (ev & POLLIN) {
        hand = true;
      } else if (Clock::now() - it->added >= seconds(allowance(c))) {
        mark_closed(c);
        hand = true;
      }
      auto next = std::next(it);
      if (hand) due.splice(due.end(), pool_, it);
      it = next;
    }
    watched = pool_.size();
  }

  // Handed over outside the pool lock: the request thread may park the connection again
  // at once, and closing it may take other locks.
  std::size_t failed = 0;
  for (const clientpool_t &e : due) {
    CONNECTION_T *c = e.connection;
    ClientIdScope id(c->client_id);
    if (process_new(c) >= 0) continue;
    ++failed;
    mark_closed(c);
    close_connection(c);
  }
  if (failed && clientpool_counters.threading_error) clientpool_counters.threading_error(failed);
  if (clientpool_counters.clients_in_pool) clientpool_counters.clients_in_pool(watched);
  return due.size();
}

void ClientPool::Poll() {
  while (!stopping_.load()) PollOnce();
}

void ClientPool::Stop() {
  stopping_ = true;
  Wakeup();
}

void ClientPool::poller_started() {
  std::lock_guard g(state_lock_);
  poller_running_ = true;
}

void ClientPool::poller_ended() {
  std::lock_guard g(state_lock_);
  poller_running_ = false;
  state_cond_.notify_all();
}

bool ClientPool::WaitStopped(milliseconds timeout) {
  std::unique_lock g(state_lock_);
  return state_cond_.wait_for(g, timeout, [&] { return !poller_running_; });
}

void ClientPool::Clean() {
  putlog(LOG_WARNING | LOG_NETWORK, "client pool: emptying pool");
  std::list<clientpool_t> victims;
  {
    std::lock_guard g(pool_lock_);
    victims.swap(pool_);
    ++generation_;
  }
  for (const clientpool_t &e : victims) {
    ClientIdScope id(e.connection->client_id);
    mark_closed(e.connection);
    close_connection(e.connection);
  }
  if (clientpool_counters.clients_in_pool) clientpool_counters.clients_in_pool(0);
}

std::string ClientPool::show_connections() {
  std::string page = "<table class=\"list\">\n";
  char row[512];
  std::lock_guard g(pool_lock_);
  std::snprintf(row, sizeof row,
                "<tr class=\"listhead\"><td colspan=\"4\" align=\"center\"><b>Client pool size: "
                "%lu</b></td></tr>\n",
                static_cast<unsigned long>(pool_.size()));
  page += row;
  page += "<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Idle</td></tr>\n";
  const Clock::time_point now = Clock::now();
  bool even = true;
  for (const clientpool_t &e : pool_) {
    const CONNECTION_T *c = e.connection;
    std::snprintf(row, sizeof row, "<tr class=\"%s\"><td>%u</td><td>%s</td><td>%d</td><td>%d</td></tr>\n",
                  even ? "listeven" : "listodd", c->client_id, c->ip.c_str(), c->requests,
                  static_cast<int>(duration_cast<seconds>(now - e.added).count()));
    page += row;
    even = !even;
  }
  page += "</table>\n";
  return page;
}

std::size_t ClientPool::size() {
  std::lock_guard g(pool_lock_);
  return pool_.size();
}

std::size_t ClientPool::pending() {
  std::lock_guard g(pending_lock_);
  return pending_.size();
}

std::size_t ClientPool::wake_bytes() {
  int n = 0;
  if (::ioctl(wake_read_, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<std::size_t>(n);
}

ClientPool *clientpool_init() {
  if (!client_pool) client_pool = new ClientPool();
  pool_flush_hooks.clean_client_pool = [] {
    if (client_pool) client_pool->Clean();
  };
  return client_pool;
}

void *clientpool_thread(void *arg) {
  ClientPool *pool = arg ? static_cast<ClientPool *>(arg) : client_pool;
  if (pool) {
    pool->poller_started();
    pool->Poll();
  }
  thread_release();
  if (pool) pool->poller_ended();
  return nullptr;
}

int clientpool_start(ClientPool *pool) {
  if (!pool) pool = client_pool;
  if (!pool) return -1;
  // Marked before the thread runs, so that WaitStopped cannot return before it ever started.
  pool->poller_started();
  int slot = thread_create_internal(clientpool_thread, pool);
  if (slot < 0) pool->poller_ended();
  return slot;
}
