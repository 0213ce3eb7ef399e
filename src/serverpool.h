// Server pool: idle server connections kept after a response, keyed by what the next
// request must share with the one that used them (scheme, server, credentials, owner,
// route and TLS), handed out oldest first and closed by a cleaner thread when idle too long.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "socket.h"

struct CONNECTION_T;

// Owner of a shared entry: any client may take it (the client id 4294967295 is never used).
constexpr unsigned SERVERPOOL_SHARED = static_cast<unsigned>(-1);
constexpr std::chrono::seconds SERVERPOOL_CLEAN_INTERVAL{10};

// What a pooled connection is for. Two keys match when the scheme, the host and the parent
// host are equal ignoring case and every other field is exactly equal (credentials are
// compared case-sensitively: they identify an authenticated session).
struct ServerPoolKey {
  std::string proto;     // scheme of the request; never empty
  std::string host;      // server, or HTTP parent, connected to; never empty
  int port = 0;
  std::string username;  // credentials of the request URL, empty when none
  std::string password;
  unsigned owner = SERVERPOOL_SHARED;  // client id of the only client that may reuse it
  int route = 4;            // ProxyType of network.h: how the server is reached (4: direct)
  std::string parent_host;  // the parent proxy of the route, empty when direct
  int parent_port = 0;
  bool tls = false;  // the connection carries a TLS session (taken from the socket by Add)
};

// The key under which a connection's current server socket is pooled and looked up: the
// request's scheme and URL credentials; the parent's host and port for an HTTP parent
// (proxy_type 0), else the request's; tunnel_owner; the route; TLS when CONN_SSL is set.
ServerPoolKey serverpool_key(const CONNECTION_T &connection);

// A pooled entry as the pool page shows it.
struct ServerPoolInfo {
  std::string proto, host, username;
  int port;
  long age;  // seconds in the pool
  unsigned owner;
};

// Counters fed by the pool (performance log, statistics); null entries are not counted.
struct ServerPoolCounters {
  void (*hit)() = nullptr;
  void (*miss)() = nullptr;
  void (*pool_size)(std::size_t entries) = nullptr;  // reported by every cleaning pass
};
extern ServerPoolCounters serverpool_counters;

class ServerPool {
 public:
  using Clock = std::chrono::steady_clock;

  ServerPool() = default;
  // Closes every entry. The cleaner thread must have ended.
  virtual ~ServerPool();
  ServerPool(const ServerPool &) = delete;
  ServerPool &operator=(const ServerPool &) = delete;

  // Most entries kept (0 or less: nothing is pooled) and seconds an entry may idle.
  // Until set: size 0, timeout 0.
  void set_limits(int size, int timeout_seconds);
  int size_limit();
  int timeout();

  // Parks a server connection: true when it was kept. Refused (and destroyed): pool size 0,
  // a socket in error, without descriptor, or with input or output still buffered (the
  // exchange on it is not complete). A full pool first closes its oldest entry. An empty
  // scheme or host is an invariant violation.
  bool Add(std::unique_ptr<Socket> socket, const ServerPoolKey &key);
  // Takes out the oldest matching entry that is still idle. Entries found readable (the
  // server closed them or sent bytes nobody asked for) are destroyed on the way. The
  // socket of a TLS key already carries its session: it must not be wrapped again.
  std::unique_ptr<Socket> Find(const ServerPoolKey &key);
  // Cleaning pass: closes entries idle for the timeout or longer (every entry when force
  // is set), then the oldest ones beyond the size limit. Returns the number closed.
  int Clean(int force);
  // Closes every entry of that owner; the number closed. SERVERPOOL_SHARED does nothing.
  int CloseMyTunnel(unsigned owner);

  std::size_t size();
  std::vector<ServerPoolInfo> entries();

  // The cleaner thread waits this long between passes (SERVERPOOL_CLEAN_INTERVAL).
  void set_clean_interval(std::chrono::milliseconds interval);
  // Makes the cleaner thread end; WaitCleanerStopped waits for that (false on timeout).
  void StopCleaner();
  bool WaitCleanerStopped(std::chrono::milliseconds timeout);

 protected:
  virtual Clock::time_point now() const { return Clock::now(); }

 private:
  struct serverpool_t {
    std::unique_ptr<Socket> socket;
    Clock::time_point added;
    ServerPoolKey key;
  };
  using Victims = std::vector<std::unique_ptr<Socket>>;

  friend void *serverpool_clean(void *);
  friend int serverpool_start(ServerPool *);

  int clean_locked(int force, Victims *victims);
  void cleaner_started();
  void cleaner_ended();

  std::mutex lock_;
  std::list<serverpool_t> pool_;  // oldest first
  int size_ = 0;
  int timeout_ = 0;
  int warn_level_ = 0;  // pool size of the last size warning, 0 after a cleaning pass

  std::mutex cleaner_lock_;
  std::condition_variable cleaner_cond_;
  std::chrono::milliseconds clean_interval_ = SERVERPOOL_CLEAN_INTERVAL;
  bool cleaner_stop_ = false;
  bool cleaner_running_ = false;
};

// The process's pool; created by serverpool_init().
extern ServerPool *server_pool;

// Creates the process's pool (once) and installs its forced Clean as the descriptor-shortage
// flush.
ServerPool *serverpool_init();
// The cleaner service thread's body; argument: the pool, or null for the process's pool.
// Runs a pass every clean interval until StopCleaner, then releases its thread slot.
void *serverpool_clean(void *pool);
// Starts the cleaner thread for a pool (the process's pool when null); the slot or -1.
int serverpool_start(ServerPool *pool = nullptr);
