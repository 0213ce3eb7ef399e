// Client pool: idle client connections (waiting for their first request or kept alive
// between requests), watched by one poll in the poller service thread and handed to a
// request thread when input arrives, the peer leaves, or the connection's allowance runs out.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <vector>

struct CONNECTION_T;

// A parked connection and when it was parked.
struct clientpool_t {
  CONNECTION_T *connection;
  std::chrono::steady_clock::time_point added;
};

// Closes a connection the pool gives up (net_close). Until the connection layer installs
// its own, the record is deleted, which closes the client descriptor with its Socket.
extern void (*clientpool_close_hook)(CONNECTION_T *connection);

// Performance-log counters fed by the pool; null entries are not counted.
struct ClientPoolCounters {
  void (*connections_handled)(unsigned client_id) = nullptr;  // a new connection got no thread
  void (*clients_in_pool)(std::size_t size) = nullptr;        // pool size after a pass
  void (*threading_error)(std::size_t count) = nullptr;       // hand-offs of a pass that failed
};
extern ClientPoolCounters clientpool_counters;

class ClientPool {
 public:
  using Clock = std::chrono::steady_clock;

  // Creates the non-blocking wake-up pipe; failing that is fatal.
  ClientPool();
  // Closes every connection still parked. The poll loop must have returned.
  ~ClientPool();
  ClientPool(const ClientPool &) = delete;
  ClientPool &operator=(const ClientPool &) = delete;

  // Takes ownership of a connection. A just-accepted one (keepalive_client -1) goes to a
  // request thread at once; any other is parked until it has input, fails or expires.
  void Add(CONNECTION_T *connection);
  // The poller's loop: passes until Stop() is called.
  void Poll();
  // One pass: takes in the newly parked connections, polls them all (waiting at most
  // max_wait_ms when that is not negative, as a bound for tests), drains the wake-up pipe,
  // and hands over or closes what is due. Returns the number of connections that left the
  // pool. Only one thread may run passes.
  std::size_t PollOnce(int max_wait_ms = -1);
  // Interrupts a poll in progress.
  void Wakeup();
  // Makes Poll() return after its current pass.
  void Stop();
  // Waits until the poller thread (clientpool_thread) has ended; false on timeout.
  bool WaitStopped(std::chrono::milliseconds timeout);
  // Closes every pooled connection (descriptor shortage, SIGHUP). The pending list is left.
  void Clean();
  // The page body listing the pool.
  std::string show_connections();

  std::size_t size();     // parked and watched
  std::size_t pending();  // parked, not yet taken in by a pass
  std::size_t wake_bytes();  // unread bytes in the wake-up pipe

  // Poll timeout in milliseconds for entries at time now: the smallest remaining allowance
  // (0 once any is due), never more than CLIENT_POOL_TIMEOUT seconds when that is positive;
  // -1 (no limit) for no entries. The caller holds the pool lock or owns the list.
  static int poll_timeout(const std::list<clientpool_t> &entries, Clock::time_point now);
  // Seconds a parked connection may idle: keeptimeout after a completed request, else timeout.
  static int allowance(const CONNECTION_T *connection);

 private:
  friend void *clientpool_thread(void *);
  friend int clientpool_start(ClientPool *);

  void wake_write();
  void drain_wakepipe();
  void poller_started();
  void poller_ended();

  int wake_read_ = -1;
  int wake_write_ = -1;

  std::mutex pool_lock_;  // taken before pending_lock_
  std::list<clientpool_t> pool_;
  unsigned long generation_ = 0;  // bumped by Clean, so a pass ignores a stale poll set

  std::mutex pending_lock_;
  std::list<clientpool_t> pending_;
  int wakepipe_calls_ = 0;  // a wake-up byte is outstanding

  std::atomic<bool> stopping_{false};
  std::mutex state_lock_;
  std::condition_variable state_cond_;
  bool poller_running_ = false;
};

// The process's pool; created by clientpool_init().
extern ClientPool *client_pool;

// Creates the process's pool (once) and installs its Clean as the descriptor-shortage flush.
ClientPool *clientpool_init();
// The poller service thread's body; argument: the pool, or null for the process's pool.
// Returns when the pool is stopped, releasing its thread slot.
void *clientpool_thread(void *pool);
// Starts the poller thread for a pool (the process's pool when null); the slot or -1.
int clientpool_start(ClientPool *pool = nullptr);
