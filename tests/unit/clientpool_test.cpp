#include "clientpool.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include "compat.h"
#include "main.h"
#include "network.h"
#include "threads.h"

namespace {

using namespace std::chrono;

// What a request thread was handed, recorded by the stand-in request body.
struct Handed {
  unsigned client_id;
  bool marked_closed;
  int keepalive_client;
  int byte;  // first byte readable on the connection, -1 when none
};

std::mutex handed_lock;
std::condition_variable handed_cond;
std::vector<Handed> handed;
std::vector<unsigned> closed_by_pool;
std::vector<unsigned> handled_ids;
std::size_t threading_errors = 0;

// Stands in for the request loop: records the connection, owns and frees it, and ends.
void *record_body(void *p) {
  auto *c = static_cast<CONNECTION_T *>(p);
  unsigned char b = 0;
  ssize_t n = ::recv(c->client->fd(), &b, 1, MSG_DONTWAIT);
  Handed h{c->client_id, c->client->error, c->keepalive_client, n == 1 ? b : -1};
  delete c;
  thread_release();
  std::lock_guard g(handed_lock);
  handed.push_back(h);
  handed_cond.notify_all();
  return nullptr;
}

void record_close(CONNECTION_T *c) {
  {
    std::lock_guard g(handed_lock);
    closed_by_pool.push_back(c->client_id);
  }
  delete c;
}

bool wait_handed(std::size_t n, milliseconds limit = milliseconds(10000)) {
  std::unique_lock g(handed_lock);
  return handed_cond.wait_for(g, limit, [&] { return handed.size() >= n; });
}

std::vector<Handed> handed_now() {
  std::lock_guard g(handed_lock);
  return handed;
}

std::vector<unsigned> closed_now() {
  std::lock_guard g(handed_lock);
  return closed_by_pool;
}

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

// A kept-alive connection over a socket pair; the test keeps the client's end.
struct Client {
  CONNECTION_T *conn;
  std::unique_ptr<Fd> peer;
};

Client make_client(unsigned id, int requests = 1, int keeptimeout = 60, int timeout = 60) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) ADD_FAILURE() << "socketpair";
  auto *c = new CONNECTION_T;
  c->client = std::make_unique<Socket>(sv[0]);
  c->client_id = id;
  c->ip = "127.0.0." + std::to_string(id % 250);
  c->requests = requests;
  c->keepalive_client = 0;
  c->keeptimeout = keeptimeout;
  c->timeout = timeout;
  return {c, std::make_unique<Fd>(sv[1])};
}

class ClientPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MAXTHREADS = 64;
    threads_init();
    request_thread_start = record_body;
    saved_close_ = clientpool_close_hook;
    clientpool_close_hook = record_close;
    saved_timeout_ = CLIENT_POOL_TIMEOUT;
    CLIENT_POOL_TIMEOUT = 0;
    clientpool_counters.connections_handled = [](unsigned id) {
      std::lock_guard g(handed_lock);
      handled_ids.push_back(id);
    };
    clientpool_counters.threading_error = [](std::size_t n) {
      std::lock_guard g(handed_lock);
      threading_errors += n;
    };
    std::lock_guard g(handed_lock);
    handed.clear();
    closed_by_pool.clear();
    handled_ids.clear();
    threading_errors = 0;
  }
  void TearDown() override {
    request_thread_start = nullptr;
    clientpool_close_hook = saved_close_;
    clientpool_counters = {};
    CLIENT_POOL_TIMEOUT = saved_timeout_;
  }

  void (*saved_close_)(CONNECTION_T *) = nullptr;
  int saved_timeout_ = 1;
};

}  // namespace

TEST_F(ClientPoolTest, ParkedConnectionIsHandedToTheThreadWhenInputArrives) {
  ClientPool pool;
  Client a = make_client(11), b = make_client(12);
  pool.Add(a.conn);
  pool.Add(b.conn);
  EXPECT_TRUE(handed_now().empty());  // parking starts no thread
  ASSERT_GE(clientpool_start(&pool), 0);

  ASSERT_EQ(::write(b.peer->fd, "G", 1), 1);
  ASSERT_TRUE(wait_handed(1));
  std::vector<Handed> h = handed_now();
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h[0].client_id, 12u);
  EXPECT_FALSE(h[0].marked_closed);
  EXPECT_EQ(h[0].byte, 'G');  // the bytes stay for the request thread to read

  // A connection parked while the poller sleeps is watched at once.
  Client c = make_client(13);
  pool.Add(c.conn);
  ASSERT_EQ(::write(c.peer->fd, "H", 1), 1);
  ASSERT_TRUE(wait_handed(2));
  EXPECT_EQ(handed_now()[1].client_id, 13u);

  pool.Stop();
  EXPECT_TRUE(pool.WaitStopped(seconds(10)));
  EXPECT_EQ(pool.size(), 1u);  // a still idles
}

TEST_F(ClientPoolTest, PeerThatLeavesIsHandedOverMarkedClosed) {
  ClientPool pool;
  Client a = make_client(21), b = make_client(22);
  pool.Add(a.conn);
  pool.Add(b.conn);
  a.peer->reset();
  EXPECT_EQ(pool.PollOnce(5000), 1u);
  ASSERT_TRUE(wait_handed(1));
  EXPECT_EQ(handed_now()[0].client_id, 21u);
  EXPECT_TRUE(handed_now()[0].marked_closed);
  EXPECT_EQ(pool.size(), 1u);
}

TEST_F(ClientPoolTest, NewConnectionGoesToAThreadWithoutBeingPolled) {
  ClientPool pool;
  Client a = make_client(31, 0);
  a.conn->keepalive_client = -1;
  pool.Add(a.conn);
  ASSERT_TRUE(wait_handed(1));
  EXPECT_EQ(handed_now()[0].client_id, 31u);
  EXPECT_EQ(handed_now()[0].keepalive_client, 0);
  EXPECT_EQ(pool.size() + pool.pending(), 0u);
  EXPECT_EQ(pool.wake_bytes(), 0u);
}

TEST_F(ClientPoolTest, ConnectionThatGetsNoThreadIsClosed) {
  request_thread_start = nullptr;  // process_new cannot start a thread
  ClientPool pool;

  Client fresh = make_client(41, 0);
  fresh.conn->keepalive_client = -1;
  pool.Add(fresh.conn);
  EXPECT_EQ(closed_now(), std::vector<unsigned>{41});
  EXPECT_EQ(handled_ids, std::vector<unsigned>{41});

  Client parked = make_client(42);
  pool.Add(parked.conn);
  ASSERT_EQ(::write(parked.peer->fd, "x", 1), 1);
  EXPECT_EQ(pool.PollOnce(5000), 1u);
  EXPECT_EQ(closed_now(), (std::vector<unsigned>{41, 42}));
  EXPECT_EQ(threading_errors, 1u);
  EXPECT_EQ(pool.size(), 0u);
  EXPECT_TRUE(handed_now().empty());
}

TEST_F(ClientPoolTest, PollTimeoutIsTheSmallestRemainingAllowance) {
  struct Entry {
    int requests, keeptimeout, timeout, idle_ms;
  };
  struct Case {
    const char *name;
    int pool_timeout;  // CLIENT_POOL_TIMEOUT
    std::vector<Entry> entries;
    int expected_ms;
  };
  const Case cases[] = {
      {"empty pool waits without limit", 0, {}, -1},
      {"one kept-alive entry", 0, {{1, 5, 60, 0}}, 5000},
      {"smaller deadline wins", 0, {{1, 30, 60, 0}, {1, 2, 60, 0}, {1, 9, 60, 0}}, 2000},
      {"time already idle counts", 0, {{1, 5, 60, 4000}}, 1000},
      {"new connection uses timeout", 0, {{0, 50, 3, 0}}, 3000},
      {"expired entry first", 0, {{1, 5, 60, 7000}, {1, 30, 60, 0}}, 0},
      {"expired entry last", 0, {{1, 30, 60, 0}, {1, 5, 60, 5000}}, 0},
      {"pool timeout caps the wait", 1, {{1, 30, 60, 0}}, 1000},
      {"earlier deadline beats the cap", 4, {{1, 30, 60, 0}, {1, 2, 60, 500}}, 1500},
  };
  const ClientPool::Clock::time_point now = ClientPool::Clock::now();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    CLIENT_POOL_TIMEOUT = c.pool_timeout;
    std::vector<std::unique_ptr<CONNECTION_T>> conns;
    std::list<clientpool_t> entries;
    for (const Entry &e : c.entries) {
      conns.push_back(std::make_unique<CONNECTION_T>());
      conns.back()->requests = e.requests;
      conns.back()->keeptimeout = e.keeptimeout;
      conns.back()->timeout = e.timeout;
      entries.push_back({conns.back().get(), now - milliseconds(e.idle_ms)});
    }
    EXPECT_EQ(ClientPool::poll_timeout(entries, now), c.expected_ms);
  }
}

TEST_F(ClientPoolTest, IdleConnectionExpiresAtItsOwnDeadline) {
  ClientPool pool;
  Client slow = make_client(51, 1, 30), quick = make_client(52, 1, 1);
  pool.Add(slow.conn);
  pool.Add(quick.conn);
  EXPECT_EQ(pool.PollOnce(), 0u);  // woken by the Add, takes both in
  // No limit for this pass: it must wake at the quick connection's deadline by itself.
  EXPECT_EQ(pool.PollOnce(), 1u);
  ASSERT_TRUE(wait_handed(1));
  EXPECT_EQ(handed_now()[0].client_id, 52u);
  EXPECT_TRUE(handed_now()[0].marked_closed);
  EXPECT_EQ(pool.size(), 1u);
}

TEST_F(ClientPoolTest, WakePipeCarriesOneByteAndIsDrainedToTheEnd) {
  ClientPool pool;
  Client a = make_client(61), b = make_client(62);
  pool.Add(a.conn);
  pool.Add(b.conn);
  EXPECT_EQ(pool.wake_bytes(), 1u);
  EXPECT_EQ(pool.pending(), 2u);
  // Extra bytes, as when an Add writes after a pass has already taken its entry.
  for (int i = 0; i < 5; ++i) pool.Wakeup();
  EXPECT_EQ(pool.PollOnce(5000), 0u);
  EXPECT_EQ(pool.wake_bytes(), 0u);
  EXPECT_EQ(pool.size(), 2u);
  EXPECT_EQ(pool.pending(), 0u);
  pool.Add(make_client(63).conn);  // the pipe is free again: the next Add wakes
  EXPECT_EQ(pool.wake_bytes(), 1u);
}

TEST_F(ClientPoolTest, CleanClosesPooledConnectionsButNotPendingOnes) {
  ClientPool pool;
  Client a = make_client(71), b = make_client(72);
  pool.Add(a.conn);
  pool.Add(b.conn);
  pool.PollOnce(5000);
  Client c = make_client(73);
  pool.Add(c.conn);
  pool.Clean();
  EXPECT_EQ(closed_now(), (std::vector<unsigned>{71, 72}));
  EXPECT_EQ(pool.size(), 0u);
  EXPECT_EQ(pool.pending(), 1u);
  char buf;
  EXPECT_EQ(::recv(a.peer->fd, &buf, 1, MSG_DONTWAIT), 0);  // the client sees the close
}

TEST_F(ClientPoolTest, CleanDuringAPollLeavesThePollerWorking) {
  ClientPool pool;
  Client a = make_client(81), b = make_client(82);
  pool.Add(a.conn);
  pool.Add(b.conn);
  ASSERT_GE(clientpool_start(&pool), 0);
  for (int i = 0; i < 1000 && pool.size() < 2; ++i) std::this_thread::sleep_for(milliseconds(5));
  ASSERT_EQ(pool.size(), 2u);
  pool.Clean();
  Client c = make_client(83);
  pool.Add(c.conn);
  ASSERT_EQ(::write(c.peer->fd, "z", 1), 1);
  ASSERT_TRUE(wait_handed(1));
  EXPECT_EQ(handed_now()[0].client_id, 83u);
  EXPECT_EQ(handed_now()[0].byte, 'z');
  EXPECT_EQ(closed_now(), (std::vector<unsigned>{81, 82}));
  pool.Stop();
  EXPECT_TRUE(pool.WaitStopped(seconds(10)));
}

TEST_F(ClientPoolTest, DestroyingThePoolClosesWhatItHolds) {
  Client a = make_client(91), b = make_client(92);
  {
    ClientPool pool;
    pool.Add(a.conn);
    pool.PollOnce(5000);
    pool.Add(b.conn);
  }
  EXPECT_EQ(closed_now(), (std::vector<unsigned>{91, 92}));
}

TEST_F(ClientPoolTest, ShowConnectionsListsThePool) {
  ClientPool pool;
  Client a = make_client(101, 3), b = make_client(102, 0);
  pool.Add(a.conn);
  pool.Add(b.conn);
  pool.PollOnce(5000);
  std::string page = pool.show_connections();
  std::regex expected(
      "<table class=\"list\">\n"
      "<tr class=\"listhead\"><td colspan=\"4\" align=\"center\"><b>Client pool size: 2</b></td></tr>\n"
      "<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Idle</td></tr>\n"
      "<tr class=\"listeven\"><td>101</td><td>127\\.0\\.0\\.101</td><td>3</td><td>[0-9]+</td></tr>\n"
      "<tr class=\"listodd\"><td>102</td><td>127\\.0\\.0\\.102</td><td>0</td><td>[0-9]+</td></tr>\n"
      "</table>\n");
  EXPECT_TRUE(std::regex_match(page, expected)) << page;
}

TEST_F(ClientPoolTest, InitInstallsTheFlushHook) {
  PoolFlushHooks saved = pool_flush_hooks;
  ClientPool *pool = clientpool_init();
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(clientpool_init(), pool);
  Client a = make_client(111);
  pool->Add(a.conn);
  pool->PollOnce(5000);
  ASSERT_NE(pool_flush_hooks.clean_client_pool, nullptr);
  pool_flush_hooks.clean_client_pool();
  EXPECT_EQ(closed_now(), std::vector<unsigned>{111});
  EXPECT_EQ(pool->size(), 0u);
  pool_flush_hooks = saved;
}
