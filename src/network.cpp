#include "network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "compat.h"
#include "log.h"
#include "main.h"
#include "misc.h"

NetworkSection *network_section = nullptr;
void (*connection_close_tunnel_hook)(unsigned client_id) = nullptr;

namespace {

using Clock = std::chrono::steady_clock;

// Closes a descriptor on every early return.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdGuard(const FdGuard &) = delete;
  FdGuard &operator=(const FdGuard &) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

int get_int_option(int fd, int level, int name) {
  int value = 0;
  socklen_t len = sizeof value;
  if (::getsockopt(fd, level, name, &value, &len) != 0) return 0;
  return value;
}

bool set_int_option(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

bool out_of_descriptors(int e) { return e == EMFILE || e == ENFILE; }

}  // namespace

// ---- connection records ------------------------------------------------------------------

void ConnectionDelete::operator()(CONNECTION_T *conn) const {
  // The request loop resets tunnel_owner after each request, so a private server
  // connection kept for this client is looked up by its id, not by that field.
  if (auto hook = connection_close_tunnel_hook; hook && conn->client_id != 0)
    hook(conn->client_id);
  delete conn;
}

ConnectionPtr connection_new() { return ConnectionPtr(new CONNECTION_T); }

void connection_free(ConnectionPtr conn) { conn.reset(); }

void net_close(ConnectionPtr conn) {
  net_perf(PERF_CONNECTION_CLOSED);
  if (!conn) return;
  putlog(LOG_NETWORK, "%s disconnected after making %d requests", conn->ip.c_str(),
         conn->requests);
  conn->client.reset();
  connection_free(std::move(conn));
}

// ---- listen table ------------------------------------------------------------------------

namespace {

struct ListenEntry {
  bool used = false;
  int fd = -1;
  int port = 0;
  std::string address;  // empty: every address
};

// The table is changed by the main thread at start-up and by the signal thread on HUP and
// at shutdown, while the main thread accepts on it. Recursive, because the fatal-assertion
// path closes the listeners from whatever thread it runs in.
std::recursive_mutex listen_lock;
ListenEntry listen_table[LISTEN_MAX];
// Changes whenever a listener is opened or closed: net_accept never accepts on a descriptor
// number that was closed (and perhaps reused) while it polled.
unsigned listen_generation = 0;
// Wakes a net_accept that polls the table when the table changes.
int listen_wake_fd = -1;
// net_accept calls inside poll, by the generation of the table they poll. A polled
// listener stays open (and its port bound) until the poll returns, even once closed here,
// so closing waits for those polls before anyone binds the port again.
std::map<unsigned, int> listen_pollers;
std::condition_variable_any listen_pollers_left;
constexpr auto POLLER_LEAVE_WAIT = std::chrono::seconds(2);

void wake_fd_ensure() {
  if (listen_wake_fd < 0) listen_wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

void listen_changed() {
  ++listen_generation;
  if (listen_wake_fd >= 0) {
    const uint64_t one = 1;
    ssize_t w = ::write(listen_wake_fd, &one, sizeof one);
    (void)w;  // a full counter already wakes the poller
  }
}

void wake_drain(int fd) {
  uint64_t count;
  ssize_t r = ::read(fd, &count, sizeof count);
  (void)r;
}

bool stale_pollers() {
  return std::any_of(listen_pollers.begin(), listen_pollers.end(), [](const auto &p) {
    return p.first != listen_generation && p.second > 0;
  });
}

// Called with listen_lock held once. The wait is bounded: a fatal path that closes the
// listeners while it holds the lock itself must not hang.
void close_all_locked(std::unique_lock<std::recursive_mutex> &guard) {
  bool any = false;
  for (ListenEntry &e : listen_table) {
    if (!e.used) continue;
    ::close(e.fd);
    e = ListenEntry{};
    any = true;
  }
  if (!any) return;
  listen_changed();
  listen_pollers_left.wait_for(guard, POLLER_LEAVE_WAIT, [] { return !stale_pollers(); });
}

int listen_backlog() {
  int backlog = 0;
  int fd = s_open(SOMAXCONN_PATH, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char text[32] = {};
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n > 0) {
      char *end = nullptr;
      long v = std::strtol(text, &end, 10);
      if (end != text && v > 0 && v <= INT_MAX) backlog = static_cast<int>(v);
    }
  }
  if (backlog > 0) {
    putlog(LOG_NETWORK, "default system somaxconn: %d", backlog);
  } else {
    backlog = LISTEN_BACKLOG_FALLBACK;
    putlog(LOG_ERROR, "default system somaxconn: %d", backlog);
  }
  if (MAXTHREADS > 0) backlog = std::min(backlog, MAXTHREADS);
  putlog(LOG_NETWORK, "listen queue: %d", backlog);
  return backlog;
}

// BLOCKSIZE follows the buffer sizes the kernel grants, so one read or write moves a whole
// socket buffer.
void tune_buffers(int fd) {
  int block = BLOCKSIZE;
  const int snd_default = get_int_option(fd, SOL_SOCKET, SO_SNDBUF);
  putlog(LOG_NETWORK, "System Default TCP Buffer size for client->quillmoss->website %d bytes",
         snd_default);
  if (snd_default > 0) block = snd_default;
  const int rcv_default = get_int_option(fd, SOL_SOCKET, SO_RCVBUF);
  putlog(LOG_NETWORK, "System Default TCP Buffer size for client<-quillmoss<-website %d bytes ",
         rcv_default);
  block = std::max(block, rcv_default);

  // The kernel doubles what it is asked for. A size is only ever raised: fixing one below
  // the kernel's default would switch off its buffer auto-tuning and cap every transfer at a
  // window of a few kilobytes.
  auto raise = [&](int requested, int name, int system_default, const char *direction) {
    if (requested <= 0) return;
    const int half = requested / 2;
    if (half * 2 > system_default) set_int_option(fd, SOL_SOCKET, name, half);
    const int allowed = get_int_option(fd, SOL_SOCKET, name);
    putlog(LOG_NETWORK, "TCP Buffer size for %s in bytes Requested[%d], Allowed[%d]", direction,
           half * 2, allowed);
    block = std::max(block, allowed);
  };
  raise(RCV_BUF, SO_RCVBUF, rcv_default, "client<-quillmoss<-website");
  raise(SND_BUF, SO_SNDBUF, snd_default, "client->quillmoss->website");
  block = std::min(block, BLOCKSIZE_MAX);
  putlog(LOG_NETWORK, "Memory allocation: per socket R/W: %d bytes", block);
  // Written only when it changes: on HUP the value is the same and other threads read it.
  if (block != BLOCKSIZE) BLOCKSIZE = block;
}

void tune_keepalive(int fd) {
  putlog(LOG_NETWORK, "System Default TCP_KEEPIDLE %d seconds",
         get_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE));
  putlog(LOG_NETWORK, "System Default TCP_KEEPINTVL %d seconds",
         get_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL));
  putlog(LOG_NETWORK, "System Default TCP_KEEPCNT %d probes",
         get_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT));
  if (TCP_KEEPIDLE_TIME > 0) {
    set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, TCP_KEEPIDLE_TIME);
    putlog(LOG_NETWORK, "Changed TCP_KEEPIDLE to %d seconds",
           get_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE));
  }
  if (TCP_KEEPINTVL_TIME > 0) {
    set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, TCP_KEEPINTVL_TIME);
    putlog(LOG_NETWORK, "Changed TCP_KEEPINTVL to %d seconds",
           get_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL));
  }
  if (TCP_KEEPCNT_COUNTS > 0) {
    set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, TCP_KEEPCNT_COUNTS);
    putlog(LOG_NETWORK, "Changed TCP_KEEPCNT to %d probes",
           get_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT));
  }
}

}  // namespace

void net_init() {
  std::unique_lock guard(listen_lock);
  close_all_locked(guard);
  wake_fd_ensure();
}

int net_listen(int port, const char *address) {
  const bool any = !address || !*address;
  const std::string shown = any ? "0.0.0.0" : s_strncpy(address, SETTING_MAX);
  auto fail = [&] {
    putlog(LOG_ERROR | LOG_NETWORK, "failed to bind to %s:%d", shown.c_str(), port);
    return -1;
  };

  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!any) {
    std::optional<in_addr> parsed = dotted_to_addr(shown);
    if (!parsed) return fail();
    where.sin_addr = *parsed;
  }
  if (port < 1 || port > 65535) return fail();
  where.sin_port = htons(static_cast<uint16_t>(port));

  const int backlog = listen_backlog();

  std::lock_guard guard(listen_lock);
  wake_fd_ensure();
  ListenEntry *entry = std::find_if(std::begin(listen_table), std::end(listen_table),
                                    [](const ListenEntry &e) { return !e.used; });
  if (entry == std::end(listen_table)) return fail();

  FdGuard fd(s_socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return fail();
  set_int_option(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1);
  set_int_option(fd.get(), SOL_SOCKET, SO_KEEPALIVE, 1);
  set_int_option(fd.get(), IPPROTO_TCP, TCP_NODELAY, 1);
  tune_buffers(fd.get());
  tune_keepalive(fd.get());

  if (net_blocking(fd.get(), false) != 0) return fail();
  if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&where), sizeof where) != 0) return fail();
  if (::listen(fd.get(), backlog) != 0) return fail();

  entry->used = true;
  entry->fd = fd.release();
  entry->port = port;
  entry->address = any ? std::string() : shown;
  listen_changed();
  putlog(LOG_NETWORK, "listening on %s:%d", shown.c_str(), port);
  return static_cast<int>(entry - std::begin(listen_table));
}

void net_listen_closeall() {
  std::unique_lock guard(listen_lock);
  close_all_locked(guard);
}

void net_listen_configured() {
  if (!listenip.empty() && listenport > 0) net_listen(listenport, listenip.c_str());
  if (network_section) network_section->check();
}

void net_listen_reopen() {
  net_listen_closeall();
  net_listen_configured();
}

int net_listen_count() {
  std::lock_guard guard(listen_lock);
  return static_cast<int>(std::count_if(std::begin(listen_table), std::end(listen_table),
                                        [](const ListenEntry &e) { return e.used; }));
}

// ---- accepting ---------------------------------------------------------------------------

namespace {

struct AcceptResult {
  int fd = -1;
  int error = 0;
  bool stale = false;  // the listener changed since the poll
  int port = 0;
  sockaddr_in peer{};
};

AcceptResult accept_on(int slot, int fd, unsigned generation) {
  AcceptResult r;
  std::lock_guard guard(listen_lock);
  const ListenEntry &e = listen_table[slot];
  if (generation != listen_generation || !e.used || e.fd != fd) {
    r.stale = true;
    return r;
  }
  r.port = e.port;
  socklen_t len = sizeof r.peer;
  r.fd = ::accept4(fd, reinterpret_cast<sockaddr *>(&r.peer), &len, SOCK_CLOEXEC);
  r.error = r.fd < 0 ? errno : 0;
  return r;
}

// Out of descriptors, flushing the pools and reporting it once a second is enough: every
// attempt in between would only repeat the same line.
bool exhaustion_report_due() {
  static Clock::time_point last{};
  const Clock::time_point now = Clock::now();
  if (last != Clock::time_point{} && now - last < std::chrono::seconds(1)) return false;
  last = now;
  return true;
}

// Accepts one client on a ready listener. *exhausted is set when descriptors ran out.
ConnectionPtr accept_client(int slot, int fd, unsigned generation, bool *exhausted) {
  AcceptResult a = accept_on(slot, fd, generation);
  if (a.stale) return nullptr;
  bool report = true;
  if (a.fd < 0 && out_of_descriptors(a.error)) {
    report = exhaustion_report_due();
    if (report) {
      fd_failure();
      a = accept_on(slot, fd, generation);
      if (a.stale) return nullptr;
    }
  }
  if (a.fd < 0) {
    switch (a.error) {
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
      case EINTR:
      case ENOTSOCK:
        // The client went away between poll and accept, or nothing is there.
        return nullptr;
      default: break;
    }
    if (out_of_descriptors(a.error)) *exhausted = true;
    if (report)
      putlog(LOG_ERROR | LOG_NETWORK,
             "[system: accept:%d:%s], in %s, failed to accept a new connection", a.error,
             std::strerror(a.error), "net_accept");
    return nullptr;
  }

  FdGuard client(a.fd);
  const std::string ip = a.peer.sin_family == AF_INET ? inet_text(a.peer.sin_addr) : "";
  if (ip.empty()) {
    putlog(LOG_ERROR | LOG_NETWORK, "client ip identification failed");
    return nullptr;
  }
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (::getsockname(client.get(), reinterpret_cast<sockaddr *>(&local), &len) != 0) {
    const int e = errno;
    putlog(LOG_ERROR | LOG_NETWORK,
           "[system: getsockname:%d:%s], in %s, problem in accepting a new connection", e,
           std::strerror(e), "net_accept");
    return nullptr;
  }
  const std::string interface = local.sin_family == AF_INET ? inet_text(local.sin_addr) : "";
  if (interface.empty()) {
    putlog(LOG_ERROR | LOG_NETWORK, "interface ip identification failed");
    return nullptr;
  }
  // Accepted sockets must start in the mode the socket layer assumes, whatever the
  // platform lets them inherit from the non-blocking listener.
  net_blocking(client.get(), true);

  ConnectionPtr conn = connection_new();
  conn->client = std::make_unique<Socket>(client.release());
  conn->port = a.port;
  conn->ip = ip;
  conn->log_entry.client = ip;
  conn->interface = interface;
  return conn;
}

}  // namespace

ConnectionPtr net_accept(int timeout) {
  struct Polled {
    int slot;
    int fd;
  };
  std::vector<pollfd> fds;
  std::vector<Polled> polled;
  unsigned generation;
  int wake;
  {
    std::lock_guard guard(listen_lock);
    wake_fd_ensure();
    generation = listen_generation;
    wake = listen_wake_fd;
    // Changes made before this snapshot are in it; only later ones must wake the poll.
    if (wake >= 0) wake_drain(wake);
    for (int i = 0; i < LISTEN_MAX; ++i) {
      if (!listen_table[i].used) continue;
      fds.push_back({listen_table[i].fd, POLLIN, 0});
      polled.push_back({i, listen_table[i].fd});
    }
    if (!polled.empty()) ++listen_pollers[generation];
  }
  const std::size_t listeners = fds.size();
  if (wake >= 0) fds.push_back({wake, POLLIN, 0});

  const long long limit_ms = timeout < 0 ? -1 : static_cast<long long>(timeout) * 1000;
  int wait_ms;
  if (listeners == 0 || wake < 0) {
    // Nothing to wait on (or nothing that would announce a change): wait briefly so that
    // listeners opened meanwhile are noticed by the next call.
    wait_ms = static_cast<int>(limit_ms < 0 ? ACCEPT_IDLE_WAIT_MS
                                            : std::min<long long>(limit_ms, ACCEPT_IDLE_WAIT_MS));
  } else {
    wait_ms = static_cast<int>(std::min<long long>(limit_ms, INT_MAX));
  }

  int ready;
  if (fds.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    ready = 0;
  } else {
    ready = ::poll(fds.data(), fds.size(), wait_ms);
    if (listeners > 0) {
      std::lock_guard guard(listen_lock);
      if (--listen_pollers[generation] <= 0) listen_pollers.erase(generation);
      listen_pollers_left.notify_all();
    }
  }
  if (ready <= 0) return nullptr;
  if (wake >= 0 && fds.back().revents) return nullptr;  // the table changed: poll the new one

  bool exhausted = false;
  for (std::size_t k = 0; k < listeners; ++k) {
    if (!(fds[k].revents & (POLLIN | POLLERR | POLLHUP))) continue;
    if (ConnectionPtr conn = accept_client(polled[k].slot, polled[k].fd, generation, &exhausted))
      return conn;
  }
  if (exhausted) std::this_thread::sleep_for(std::chrono::milliseconds(ACCEPT_EXHAUSTED_WAIT_MS));
  return nullptr;
}

// ---- outgoing connections ----------------------------------------------------------------

namespace {

int connect_failed(int code) {
  net_stat("network", "failed connections");
  net_perf(PERF_CONNECTION_FAILED);
  return code;
}

// Polls fd for writability until the deadline (none when unbounded), repeating only
// polls interrupted by a signal. Returns poll's result with its events in *revents.
int wait_writable(int fd, bool bounded, Clock::time_point deadline, short *revents) {
  for (;;) {
    int ms = -1;
    if (bounded) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      ms = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
    }
    pollfd p{fd, POLLOUT, 0};
    const int n = ::poll(&p, 1, ms);
    if (n < 0 && errno == EINTR) continue;
    *revents = p.revents;
    return n;
  }
}

}  // namespace

int net_connect(const char *host, int port, in_addr local, int timeout) {
  if (!host || !*host || port < 1 || port > 65535) return connect_failed(NET_CONNECT_BADARG);
  std::unique_ptr<HOSTENT> address = net_dns(host);
  if (!address) {
    net_stat("network", "DNS failures");
    return connect_failed(NET_CONNECT_NODNS);
  }

  FdGuard fd(s_socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return connect_failed(NET_CONNECT_FAILED);
  set_int_option(fd.get(), SOL_SOCKET, SO_KEEPALIVE, 1);
  set_int_option(fd.get(), IPPROTO_TCP, TCP_NODELAY, 1);
  // Raised only, as for listeners: a fixed small buffer disables auto-tuning.
  if (SND_BUF > 0 && SND_BUF > get_int_option(fd.get(), SOL_SOCKET, SO_RCVBUF))
    set_int_option(fd.get(), SOL_SOCKET, SO_RCVBUF, SND_BUF / 2);
  if (TCP_KEEPIDLE_TIME > 0) set_int_option(fd.get(), IPPROTO_TCP, TCP_KEEPIDLE, TCP_KEEPIDLE_TIME);
  if (TCP_KEEPINTVL_TIME > 0)
    set_int_option(fd.get(), IPPROTO_TCP, TCP_KEEPINTVL, TCP_KEEPINTVL_TIME);
  if (TCP_KEEPCNT_COUNTS > 0) set_int_option(fd.get(), IPPROTO_TCP, TCP_KEEPCNT, TCP_KEEPCNT_COUNTS);
  net_blocking(fd.get(), false);

  // Binding to the any-address would only take an ephemeral port before the destination is
  // known; a chosen address gets its port at connect time for the same reason.
  if (local.s_addr != htonl(INADDR_ANY)) {
    set_int_option(fd.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr = local;
    from.sin_port = 0;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0)
      putlog(LOG_ERROR | LOG_NETWORK, "failed to bind on %s for outgoing connection",
             inet_text(local).c_str());
  }

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr = address->addr;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(std::max(timeout, 0));
  if (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
    int e = errno;
    if (e != EINPROGRESS && e != EINTR) {
      putlog(LOG_ERROR | LOG_NETWORK, "outbound connection: connect: %d:%s", e, std::strerror(e));
      return connect_failed(NET_CONNECT_FAILED);
    }
    short revents = 0;
    const int n = wait_writable(fd.get(), timeout >= 0, deadline, &revents);
    if (n <= 0 || (revents & (POLLERR | POLLHUP | POLLNVAL))) {
      // Name the real cause: the pending socket error when the poll reported one.
      e = n == 0 ? ETIMEDOUT : n < 0 ? errno : get_int_option(fd.get(), SOL_SOCKET, SO_ERROR);
      putlog(LOG_ERROR | LOG_NETWORK, "outbound connection: poll[%d]: %d:%s", n, e,
             std::strerror(e));
      return connect_failed(NET_CONNECT_FAILED);
    }
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soerr, &len) != 0) soerr = errno;
    if (soerr != 0) {
      putlog(LOG_ERROR | LOG_NETWORK, "outbound connection: getsockopt: %d:%s", soerr,
             std::strerror(soerr));
      putlog(LOG_ERROR | LOG_NETWORK,
             "socket lost while trying to make a network connection, reduce load and restart "
             "the service");
      return connect_failed(NET_CONNECT_FAILED);
    }
  }
  net_blocking(fd.get(), true);
  net_stat("network", "successful connections");
  net_perf(PERF_CONNECTION_NEW);
  return fd.release();
}

int net_connect(const char *host, int port, int timeout) {
  in_addr any;
  any.s_addr = htonl(INADDR_ANY);
  return net_connect(host, port, any, timeout);
}

int net_connect(const char *host, int port) { return net_connect(host, port, -1); }

// ---- network section ---------------------------------------------------------------------

NetworkSection::NetworkSection() : Section(NETWORK_SPEC) {}

void NetworkSection::update() {
  listens_.clear();
  for (const Item &item : subsections[NETWORK_SUB_LISTEN].items) {
    const FieldVector &f = item.fields;
    listens_.push_back({f[LISTEN_ENABLED].int_value != 0, f[LISTEN_COMMENT].text,
                        f[LISTEN_PORT].int_value, f[LISTEN_ADDRESS].text});
  }
  interfaces_.clear();
  for (const Item &item : subsections[NETWORK_SUB_INTERFACE].items) {
    const FieldVector &f = item.fields;
    interfaces_.push_back({f[IFACE_ENABLED].int_value != 0, f[IFACE_COMMENT].text,
                           f[IFACE_GROUPS].string_list, f[IFACE_PROFILES].string_list,
                           f[IFACE_ADDRESS].text, dotted_to_addr(f[IFACE_ADDRESS].text)});
  }
}

std::vector<NetworkSection::Listen> NetworkSection::listen_get() const {
  SectionReadLock guard(*this);
  return listens_;
}

std::vector<NetworkSection::Interface> NetworkSection::interface_get() const {
  SectionReadLock guard(*this);
  return interfaces_;
}

void NetworkSection::check() {
  // Opened from a copy: the listen table has its own lock, never taken inside this one.
  for (const Listen &l : listen_get()) {
    if (!l.enabled || l.port == -1) continue;
    net_listen(l.port, l.address.empty() ? nullptr : l.address.c_str());
  }
}

in_addr NetworkSection::interface_select(const CONNECTION_T &conn) {
  SectionReadLock guard(*this);
  for (const Interface &rule : interfaces_) {
    if (!rule.enabled || !rule.local) continue;
    if (!profile_find(conn.groups, rule.groups) || !profile_find(conn.profiles, rule.profiles))
      continue;
    putlog(LOG_NETWORK, "binding outgoing connection to %s", rule.address.c_str());
    return *rule.local;
  }
  in_addr any;
  any.s_addr = htonl(INADDR_ANY);
  return any;
}
