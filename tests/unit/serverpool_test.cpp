#include "serverpool.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "compat.h"
#include "header.h"
#include "log.h"
#include "main.h"
#include "network.h"
#include "threads.h"

namespace {

using namespace std::chrono;

struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  ~Fd() { reset(); }
  Fd(Fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

// A pooled-to-be connection: our Socket and the server's end.
struct Conn {
  std::unique_ptr<Socket> socket;
  Fd server;
};

Conn socket_pair() {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) ADD_FAILURE() << "socketpair";
  return {std::make_unique<Socket>(sv[0]), Fd(sv[1])};
}

// A real TCP connection over loopback, where a closed peer still polls writable.
Conn tcp_pair() {
  Fd listener(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(listener.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      ::listen(listener.fd, 1) != 0 ||
      ::getsockname(listener.fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    ADD_FAILURE() << "listener";
  int c = ::socket(AF_INET, SOCK_STREAM, 0);
  if (::connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) ADD_FAILURE() << "connect";
  Fd server(::accept(listener.fd, nullptr, nullptr));
  return {std::make_unique<Socket>(c), std::move(server)};
}

// True when the server end sees the connection closed.
bool closed_at_server(const Fd &server) {
  char b;
  ssize_t n = ::recv(server.fd, &b, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

ServerPoolKey base_key() {
  ServerPoolKey k;
  k.proto = "http";
  k.host = "example.com";
  k.port = 80;
  k.username = "Al";
  k.password = "Secret";
  return k;
}

ServerPoolKey key_port(int port, unsigned owner = SERVERPOOL_SHARED) {
  ServerPoolKey k = base_key();
  k.port = port;
  k.owner = owner;
  return k;
}

// A pool whose clock the test moves.
class TestPool : public ServerPool {
 public:
  TestPool() { set_limits(4, 30); }
  std::atomic<long> seconds_now{0};

 protected:
  Clock::time_point now() const override { return start_ + seconds(seconds_now.load()); }

 private:
  Clock::time_point start_ = Clock::now();
};

std::vector<int> ports_of(ServerPool &pool) {
  std::vector<int> ports;
  for (const ServerPoolInfo &e : pool.entries()) ports.push_back(e.port);
  return ports;
}

// Captures the diagnostic log, debug lines included, in a file.
class LogCapture {
 public:
  LogCapture() : path_(std::filesystem::temp_directory_path() /
                       ("serverpool_log_" + std::to_string(::getpid()))) {
    saved_level_ = loglevel;
    saved_daemon_ = daemonize;
    saved_buffer_ = log_buffer;
    std::filesystem::remove(path_);
    loglevel = 0x7ffffff | LOG_DEBUG;
    daemonize = 1;
    log_buffer = nullptr;
    native_log.set_path(path_.string());
  }
  ~LogCapture() {
    native_log.set_path("");
    std::filesystem::remove(path_);
    loglevel = saved_level_;
    daemonize = saved_daemon_;
    log_buffer = saved_buffer_;
  }
  std::string text() {
    native_log.close();
    std::ifstream in(path_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static int count(const std::string &text, const std::string &what) {
    int n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
  }

 private:
  std::filesystem::path path_;
  int saved_level_, saved_daemon_;
  LogBuffer *saved_buffer_;
};

}  // namespace

TEST(ServerPoolKeyTest, FindMatchesOnlyTheSameKey) {
  struct Case {
    const char *name;
    void (*change)(ServerPoolKey &);
    bool found;
  };
  const Case cases[] = {
      {"same key", [](ServerPoolKey &) {}, true},
      {"scheme in other case", [](ServerPoolKey &k) { k.proto = "HTTP"; }, true},
      {"host in other case", [](ServerPoolKey &k) { k.host = "Example.COM"; }, true},
      {"other host", [](ServerPoolKey &k) { k.host = "example.org"; }, false},
      {"other scheme", [](ServerPoolKey &k) { k.proto = "ftp"; }, false},
      {"other port", [](ServerPoolKey &k) { k.port = 81; }, false},
      {"password in other case", [](ServerPoolKey &k) { k.password = "secret"; }, false},
      {"user name in other case", [](ServerPoolKey &k) { k.username = "al"; }, false},
      {"user name without password", [](ServerPoolKey &k) { k.password.clear(); }, false},
      {"no credentials", [](ServerPoolKey &k) { k.username.clear(); k.password.clear(); }, false},
      {"private owner", [](ServerPoolKey &k) { k.owner = 7; }, false},
      {"through an HTTP parent",
       [](ServerPoolKey &k) { k.route = PROXY_HTTP; k.parent_host = "example.com"; k.parent_port = 80; },
       false},
      {"through SOCKS5", [](ServerPoolKey &k) { k.route = PROXY_SOCKS5; k.parent_host = "socks"; k.parent_port = 1080; },
       false},
      {"through a tunnel", [](ServerPoolKey &k) { k.route = PROXY_TUNNEL; k.parent_host = "parent"; k.parent_port = 3128; },
       false},
      {"TLS asked for", [](ServerPoolKey &k) { k.tls = true; }, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestPool pool;
    Conn conn = socket_pair();
    ASSERT_TRUE(pool.Add(std::move(conn.socket), base_key()));
    ServerPoolKey asked = base_key();
    c.change(asked);
    EXPECT_EQ(pool.Find(asked) != nullptr, c.found);
    EXPECT_EQ(pool.size(), c.found ? 0u : 1u);
  }
}

TEST(ServerPoolKeyTest, RouteAndParentAreCompared) {
  TestPool pool;
  ServerPoolKey socks = base_key();
  socks.route = PROXY_SOCKS5;
  socks.parent_host = "socks.local";
  socks.parent_port = 1080;
  Conn conn = socket_pair();
  ASSERT_TRUE(pool.Add(std::move(conn.socket), socks));
  ServerPoolKey other = socks;
  other.parent_port = 1081;
  EXPECT_EQ(pool.Find(other), nullptr);
  other = socks;
  other.parent_host = "other.local";
  EXPECT_EQ(pool.Find(other), nullptr);
  other = socks;
  other.parent_host = "SOCKS.local";
  EXPECT_NE(pool.Find(other), nullptr);
}

TEST(ServerPoolKeyTest, TlsIsWhatTheSocketCarries) {
  // A plain socket pooled under a TLS key is no TLS connection: a TLS request must not
  // get it (nor wrap it later), a plain one may.
  TestPool pool;
  ServerPoolKey claimed = base_key();
  claimed.tls = true;
  Conn conn = socket_pair();
  ASSERT_TRUE(pool.Add(std::move(conn.socket), claimed));
  EXPECT_EQ(pool.Find(claimed), nullptr);
  EXPECT_NE(pool.Find(base_key()), nullptr);
}

TEST(ServerPoolKeyTest, KeyOfAConnectionFollowsItsRoute) {
  struct Case {
    const char *name;
    int proxy_type;
    const char *proxy_host;
    int proxy_port;
    uint32_t flags;
    int tunnel_owner;
    ServerPoolKey expected;
  };
  auto key = [](const char *host, int port, int route, const char *parent, int pport, bool tls,
                unsigned owner) {
    ServerPoolKey k;
    k.proto = "http";
    k.host = host;
    k.port = port;
    k.username = "u";
    k.password = "p";
    k.route = route;
    k.parent_host = parent;
    k.parent_port = pport;
    k.tls = tls;
    k.owner = owner;
    return k;
  };
  const Case cases[] = {
      {"direct", PROXY_DIRECT, "", 0, 0, -1,
       key("origin.test", 8080, PROXY_DIRECT, "", 0, false, SERVERPOOL_SHARED)},
      {"HTTP parent", PROXY_HTTP, "parent.test", 3128, 0, -1,
       key("parent.test", 3128, PROXY_HTTP, "parent.test", 3128, false, SERVERPOOL_SHARED)},
      {"SOCKS4", PROXY_SOCKS4, "socks.test", 1080, 0, -1,
       key("origin.test", 8080, PROXY_SOCKS4, "socks.test", 1080, false, SERVERPOOL_SHARED)},
      {"tunnel with TLS", PROXY_TUNNEL, "parent.test", 3128, CONN_SSL, -1,
       key("origin.test", 8080, PROXY_TUNNEL, "parent.test", 3128, true, SERVERPOOL_SHARED)},
      {"private", PROXY_DIRECT, "", 0, 0, 17,
       key("origin.test", 8080, PROXY_DIRECT, "", 0, false, 17)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    CONNECTION_T conn;
    conn.header = header_new();
    conn.header->proto = "http";
    conn.header->host = "origin.test";
    conn.header->port = 8080;
    conn.header->username = "u";
    conn.header->password = "p";
    conn.proxy_type = c.proxy_type;
    conn.proxy_host = c.proxy_host;
    conn.proxy_port = c.proxy_port;
    conn.flags = c.flags;
    conn.tunnel_owner = c.tunnel_owner;
    ServerPoolKey k = serverpool_key(conn);
    EXPECT_EQ(k.proto, c.expected.proto);
    EXPECT_EQ(k.host, c.expected.host);
    EXPECT_EQ(k.port, c.expected.port);
    EXPECT_EQ(k.username, c.expected.username);
    EXPECT_EQ(k.password, c.expected.password);
    EXPECT_EQ(k.owner, c.expected.owner);
    EXPECT_EQ(k.route, c.expected.route);
    EXPECT_EQ(k.parent_host, c.expected.parent_host);
    EXPECT_EQ(k.parent_port, c.expected.parent_port);
    EXPECT_EQ(k.tls, c.expected.tls);
  }
}

TEST(ServerPoolTest, OlderEntryIsHandedOutFirstAndWorks) {
  TestPool pool;
  Conn older = socket_pair(), newer = socket_pair();
  ASSERT_TRUE(pool.Add(std::move(older.socket), base_key()));
  ASSERT_TRUE(pool.Add(std::move(newer.socket), base_key()));
  std::unique_ptr<Socket> s = pool.Find(base_key());
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->Write("ping", 4), 4);
  char buf[8] = {};
  EXPECT_EQ(::recv(older.server.fd, buf, sizeof buf, MSG_DONTWAIT), 4);
  EXPECT_EQ(pool.size(), 1u);
}

TEST(ServerPoolTest, ReadableConnectionIsDiscardedNotReused) {
  struct Case {
    const char *name;
    Conn (*make)();
    void (*peer)(Fd &);
  };
  const Case cases[] = {
      {"TCP peer closed", tcp_pair, [](Fd &s) { s.reset(); }},
      {"TCP peer sent unasked bytes", tcp_pair,
       [](Fd &s) { ASSERT_EQ(::write(s.fd, "HTTP/1.1 408\r\n", 14), 14); }},
      {"socket pair peer closed", socket_pair, [](Fd &s) { s.reset(); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestPool pool;
    Conn dead = c.make(), alive = c.make();
    const int dead_fd = dead.socket->fd();
    ASSERT_TRUE(pool.Add(std::move(dead.socket), base_key()));
    ASSERT_TRUE(pool.Add(std::move(alive.socket), base_key()));
    c.peer(dead.server);
    // Wait for the close or the bytes to arrive; the connection still polls writable.
    pollfd p{dead_fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    p = {dead_fd, POLLOUT, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 1);
    std::unique_ptr<Socket> s = pool.Find(base_key());
    ASSERT_NE(s, nullptr);  // the live one, behind the dead one
    ASSERT_EQ(s->Write("x", 1), 1);
    char b;
    EXPECT_EQ(::recv(alive.server.fd, &b, 1, MSG_DONTWAIT), 1);
    EXPECT_EQ(pool.size(), 0u);  // the dead one was dropped on the way
    EXPECT_EQ(pool.Find(base_key()), nullptr);
  }
}

TEST(ServerPoolTest, FullPoolClosesTheOldestAndWarnsOncePerCleaningPass) {
  LogCapture log;
  TestPool pool;
  pool.set_limits(2, 30);
  std::vector<Conn> conns;
  for (int port = 1; port <= 5; ++port) conns.push_back(socket_pair());
  ASSERT_TRUE(pool.Add(std::move(conns[0].socket), key_port(1)));
  ASSERT_TRUE(pool.Add(std::move(conns[1].socket), key_port(2)));
  ASSERT_TRUE(pool.Add(std::move(conns[2].socket), key_port(3)));
  EXPECT_EQ(ports_of(pool), (std::vector<int>{2, 3}));
  EXPECT_TRUE(closed_at_server(conns[0].server));
  EXPECT_FALSE(closed_at_server(conns[1].server));
  ASSERT_TRUE(pool.Add(std::move(conns[3].socket), key_port(4)));
  EXPECT_EQ(ports_of(pool), (std::vector<int>{3, 4}));
  pool.Clean(0);  // nothing idle long enough, but the warning is armed again
  ASSERT_TRUE(pool.Add(std::move(conns[4].socket), key_port(5)));
  EXPECT_EQ(ports_of(pool), (std::vector<int>{4, 5}));

  std::string text = log.text();
  const std::string warning =
      "Connection Pool: size:2 is inadequate, users accessing http://Al:*@example.com:";
  EXPECT_EQ(LogCapture::count(text, warning), 2) << text;
  EXPECT_EQ(LogCapture::count(text, warning + "3 could report problems"), 1);
  EXPECT_EQ(LogCapture::count(text, warning + "5 could report problems"), 1);
  EXPECT_EQ(text.find("Secret"), std::string::npos);
}

TEST(ServerPoolTest, SizeZeroKeepsNothing) {
  TestPool pool;
  pool.set_limits(0, 30);
  Conn c = socket_pair();
  EXPECT_FALSE(pool.Add(std::move(c.socket), base_key()));
  EXPECT_EQ(pool.size(), 0u);
  EXPECT_TRUE(closed_at_server(c.server));
  EXPECT_EQ(pool.Find(base_key()), nullptr);
}

TEST(ServerPoolTest, IncompleteExchangesAreNotPooled) {
  struct Case {
    const char *name;
    void (*spoil)(Socket &);
  };
  const Case cases[] = {
      {"unread input", [](Socket &s) { s.PushFront("extra", 5); }},
      {"socket in error", [](Socket &s) { s.error = true; }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestPool pool;
    Conn conn = socket_pair();
    c.spoil(*conn.socket);
    EXPECT_FALSE(pool.Add(std::move(conn.socket), base_key()));
    EXPECT_EQ(pool.size(), 0u);
    EXPECT_TRUE(closed_at_server(conn.server));
  }
  TestPool pool;
  EXPECT_FALSE(pool.Add(nullptr, base_key()));
}

TEST(ServerPoolTest, PrivateConnectionsGoOnlyToTheirOwner) {
  TestPool pool;
  Conn c = socket_pair();
  ASSERT_TRUE(pool.Add(std::move(c.socket), key_port(80, 7)));
  EXPECT_EQ(pool.Find(key_port(80)), nullptr);
  EXPECT_EQ(pool.Find(key_port(80, 8)), nullptr);
  EXPECT_NE(pool.Find(key_port(80, 7)), nullptr);
}

TEST(ServerPoolTest, CloseMyTunnelClosesOnlyThatOwnersEntries) {
  TestPool pool;
  pool.set_limits(10, 30);
  std::vector<Conn> conns;
  const unsigned owners[] = {7, SERVERPOOL_SHARED, 7, 8};
  for (unsigned owner : owners) {
    conns.push_back(socket_pair());
    ASSERT_TRUE(pool.Add(std::move(conns.back().socket), key_port(static_cast<int>(conns.size()), owner)));
  }
  EXPECT_EQ(pool.CloseMyTunnel(SERVERPOOL_SHARED), 0);
  EXPECT_EQ(pool.CloseMyTunnel(99), 0);
  EXPECT_EQ(pool.size(), 4u);
  EXPECT_EQ(pool.CloseMyTunnel(7), 2);
  EXPECT_EQ(ports_of(pool), (std::vector<int>{2, 4}));
  EXPECT_TRUE(closed_at_server(conns[0].server));
  EXPECT_TRUE(closed_at_server(conns[2].server));
  EXPECT_FALSE(closed_at_server(conns[1].server));
  EXPECT_FALSE(closed_at_server(conns[3].server));
}

TEST(ServerPoolTest, CleaningClosesIdleEntriesAndTrimsToTheLimit) {
  TestPool pool;
  pool.set_limits(4, 30);
  Conn a = socket_pair(), b = socket_pair(), c = socket_pair();
  ASSERT_TRUE(pool.Add(std::move(a.socket), key_port(1)));
  pool.seconds_now = 20;
  ASSERT_TRUE(pool.Add(std::move(b.socket), key_port(2, 3)));  // private
  ASSERT_TRUE(pool.Add(std::move(c.socket), key_port(3)));
  pool.seconds_now = 29;
  EXPECT_EQ(pool.Clean(0), 0);
  pool.seconds_now = 30;
  EXPECT_EQ(pool.Clean(0), 1);
  EXPECT_EQ(ports_of(pool), (std::vector<int>{2, 3}));
  EXPECT_TRUE(closed_at_server(a.server));
  // Private entries expire too: their owner may be long gone.
  pool.seconds_now = 50;
  EXPECT_EQ(pool.Clean(0), 2);
  EXPECT_EQ(pool.size(), 0u);

  std::vector<Conn> more;
  for (int port = 1; port <= 3; ++port) {
    more.push_back(socket_pair());
    ASSERT_TRUE(pool.Add(std::move(more.back().socket), key_port(port)));
  }
  pool.set_limits(1, 30);
  EXPECT_EQ(pool.Clean(0), 2);
  EXPECT_EQ(ports_of(pool), std::vector<int>{3});  // the newest stays
  EXPECT_EQ(pool.Clean(1), 1);
  EXPECT_EQ(pool.size(), 0u);
}

TEST(ServerPoolTest, CleanerThreadExpiresEntriesAndStops) {
  MAXTHREADS = 16;
  threads_init();
  TestPool pool;
  Conn a = socket_pair();
  ASSERT_TRUE(pool.Add(std::move(a.socket), base_key()));
  pool.set_clean_interval(milliseconds(20));
  ASSERT_GE(serverpool_start(&pool), 0);
  pool.seconds_now = 31;
  // The cleaner unlinks the entry first and closes the socket after leaving the pool's lock.
  for (int i = 0; i < 1000 && (pool.size() > 0 || !closed_at_server(a.server)); ++i)
    std::this_thread::sleep_for(milliseconds(5));
  EXPECT_EQ(pool.size(), 0u);
  EXPECT_TRUE(closed_at_server(a.server));
  pool.StopCleaner();
  EXPECT_TRUE(pool.WaitCleanerStopped(seconds(10)));
}

TEST(ServerPoolTest, HitAndMissAreCountedAndLoggedWithoutPassword) {
  LogCapture log;
  static int hits, misses;
  hits = misses = 0;
  serverpool_counters.hit = [] { ++hits; };
  serverpool_counters.miss = [] { ++misses; };
  TestPool pool;
  Conn c = socket_pair();
  ASSERT_TRUE(pool.Add(std::move(c.socket), key_port(80, 5)));
  EXPECT_NE(pool.Find(key_port(80, 5)), nullptr);
  EXPECT_EQ(pool.Find(base_key()), nullptr);
  serverpool_counters = {};
  EXPECT_EQ(hits, 1);
  EXPECT_EQ(misses, 1);
  std::string text = log.text();
  EXPECT_NE(text.find("added secured socket [5] to pool: example.com:80"), std::string::npos) << text;
  EXPECT_NE(text.find("Connection Pool: hit [private] : http://Al:*@example.com:80"), std::string::npos);
  EXPECT_NE(text.find("Connection Pool: miss [shared]: http://Al:*@example.com:80"), std::string::npos);
  EXPECT_EQ(text.find("Secret"), std::string::npos);
}

TEST(ServerPoolTest, InitInstallsTheForcedFlush) {
  PoolFlushHooks saved = pool_flush_hooks;
  ServerPool *pool = serverpool_init();
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(serverpool_init(), pool);
  pool->set_limits(4, 3600);
  Conn c = socket_pair();
  ASSERT_TRUE(pool->Add(std::move(c.socket), key_port(80, 9)));
  ASSERT_NE(pool_flush_hooks.clean_server_pool, nullptr);
  pool_flush_hooks.clean_server_pool();
  EXPECT_EQ(pool->size(), 0u);
  EXPECT_TRUE(closed_at_server(c.server));
  pool->set_limits(0, 0);
  pool_flush_hooks = saved;
}
