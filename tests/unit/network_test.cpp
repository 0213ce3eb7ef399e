#include "network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "main.h"
#include "xml.h"

namespace {

using namespace std::chrono_literals;

in_addr addr(const char *dotted) {
  in_addr a{};
  EXPECT_EQ(::inet_pton(AF_INET, dotted, &a), 1) << dotted;
  return a;
}

sockaddr_in loopback(int port, const char *ip = "127.0.0.1") {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr = addr(ip);
  return a;
}

// A loopback port nothing listens on (it was free a moment ago).
int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
  ::close(fd);
  return ntohs(a.sin_port);
}

// A blocking connect to a loopback port: the descriptor, or -1.
int raw_connect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool fd_blocking(int fd) { return !(::fcntl(fd, F_GETFL) & O_NONBLOCK); }

// The descriptor of this process that listens on the port, or -1.
int find_listener(int port) {
  for (int fd = 0; fd < 4096; ++fd) {
    int listening = 0;
    socklen_t len = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening) continue;
    sockaddr_in a{};
    len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0 &&
        a.sin_family == AF_INET && ntohs(a.sin_port) == port)
      return fd;
  }
  return -1;
}

// A plain listener on a free loopback port, standing in for an origin server.
class RawListener {
 public:
  explicit RawListener(int backlog = 16) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd_, backlog), 0);
    EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len), 0);
    port_ = ntohs(a.sin_port);
  }
  ~RawListener() { ::close(fd_); }
  RawListener(const RawListener &) = delete;
  RawListener &operator=(const RawListener &) = delete;
  int port() const { return port_; }
  // The peer's address text of the next connection, or "" when none comes in 5 s.
  std::string accept_peer() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) return "";
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int c = ::accept(fd_, reinterpret_cast<sockaddr *>(&peer), &len);
    if (c < 0) return "";
    ::close(c);
    return inet_text(peer.sin_addr);
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Aborts the test program when a step that must return never does (a hang is a failure,
// not a stuck run).
class Watchdog {
 public:
  explicit Watchdog(const char *what) : what_(what), thread_([this] { run(); }) {}
  ~Watchdog() {
    {
      std::lock_guard g(lock_);
      done_ = true;
    }
    cond_.notify_all();
    thread_.join();
  }

 private:
  void run() {
    std::unique_lock g(lock_);
    if (!cond_.wait_for(g, 30s, [this] { return done_; })) {
      std::fprintf(stderr, "never returned: %s\n", what_);
      std::abort();
    }
  }
  const char *what_;
  std::mutex lock_;
  std::condition_variable cond_;
  bool done_ = false;
  std::thread thread_;
};

std::vector<std::string> stat_calls;
std::vector<NetPerfCounter> perf_calls;
std::vector<unsigned> tunnel_calls;

// Logs, counters and name resolution of every test here: names under ".test" resolve to
// loopback, every other name fails (nothing is ever sent to a name server).
class NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_log_ = log_buffer;
    log_buffer = &lines_;
    saved_blocksize_ = BLOCKSIZE;
    stat_calls.clear();
    perf_calls.clear();
    tunnel_calls.clear();
    net_stat_hook = [](const char *g, const char *c) {
      stat_calls.push_back(std::string(g) + "/" + c);
    };
    net_perf_hook = [](NetPerfCounter c) { perf_calls.push_back(c); };
    connection_close_tunnel_hook = [](unsigned id) { tunnel_calls.push_back(id); };
    dnscache_install(&dns_);
    net_init();
  }
  void TearDown() override {
    net_listen_closeall();
    dnscache_install(nullptr);
    net_stat_hook = nullptr;
    net_perf_hook = nullptr;
    connection_close_tunnel_hook = nullptr;
    BLOCKSIZE = saved_blocksize_;
    log_buffer = saved_log_;
  }
  int count_logged(const std::string &s) const {
    int n = 0;
    for (const auto &l : lines_.lines())
      if (l.find(s) != std::string::npos) ++n;
    return n;
  }
  bool logged(const std::string &s) const { return count_logged(s) > 0; }
  void clear_log() { lines_.clear(); }

  DnsCache dns_{[](const char *name) -> std::optional<in_addr> {
    std::string n(name);
    if (n.size() > 5 && n.compare(n.size() - 5, 5, ".test") == 0) return addr("127.0.0.1");
    return std::nullopt;
  }};
  LogBuffer lines_{2000};
  LogBuffer *saved_log_ = nullptr;
  int saved_blocksize_ = 0;
};

// ---- outgoing connections ------------------------------------------------------------------

TEST_F(NetTest, ConnectsToALoopbackListenerInBlockingMode) {
  RawListener origin;
  struct Case {
    const char *host;
    std::vector<std::string> stats;
    std::vector<NetPerfCounter> perf;
  };
  const Case cases[] = {
      {"127.0.0.1", {"network/successful connections"}, {PERF_CONNECTION_NEW}},
      {"origin.test", {"DNS cache/miss", "network/successful connections"},
       {PERF_DNS_MISS, PERF_CONNECTION_NEW}},
      {"ORIGIN.test", {"DNS cache/hit", "network/successful connections"},
       {PERF_DNS_HIT, PERF_CONNECTION_NEW}},
  };
  for (const Case &c : cases) {
    stat_calls.clear();
    perf_calls.clear();
    int fd = net_connect(c.host, origin.port(), 2);
    ASSERT_GE(fd, 0) << c.host;
    EXPECT_TRUE(fd_blocking(fd)) << c.host;
    EXPECT_EQ(origin.accept_peer(), "127.0.0.1") << c.host;
    EXPECT_EQ(stat_calls, c.stats) << c.host;
    EXPECT_EQ(perf_calls, c.perf) << c.host;
    ::close(fd);
  }
  int fd = net_connect("origin.test", origin.port());  // no time limit
  ASSERT_GE(fd, 0);
  ::close(fd);
}

TEST_F(NetTest, ConnectFailuresAreReportedByCode) {
  const int closed = free_port();
  struct Case {
    const char *host;
    int port;
    int expected;
    const char *log;  // null: no line expected
    std::vector<std::string> stats;
    std::vector<NetPerfCounter> perf;
  };
  const std::vector<std::string> failed = {"network/failed connections"};
  const std::vector<NetPerfCounter> perf_failed = {PERF_CONNECTION_FAILED};
  const Case cases[] = {
      {nullptr, 80, NET_CONNECT_BADARG, nullptr, failed, perf_failed},
      {"", 80, NET_CONNECT_BADARG, nullptr, failed, perf_failed},
      {"127.0.0.1", 0, NET_CONNECT_BADARG, nullptr, failed, perf_failed},
      {"127.0.0.1", -1, NET_CONNECT_BADARG, nullptr, failed, perf_failed},
      {"127.0.0.1", 65536, NET_CONNECT_BADARG, nullptr, failed, perf_failed},
      {"127.0.0.1", closed, NET_CONNECT_FAILED, "error: network: outbound connection: ", failed,
       perf_failed},
      {"nowhere.invalid", 80, NET_CONNECT_NODNS, "DNS: failed: nowhere.invalid",
       {"network/DNS failures", "network/failed connections"},
       {PERF_DNS_FAILURE, PERF_CONNECTION_FAILED}},
  };
  for (const Case &c : cases) {
    const std::string where = std::string(c.host ? c.host : "(null)") + ":" + std::to_string(c.port);
    clear_log();
    stat_calls.clear();
    perf_calls.clear();
    EXPECT_EQ(net_connect(c.host, c.port, 2), c.expected) << where;
    if (c.log) {
      EXPECT_TRUE(logged(c.log)) << where;
    }
    EXPECT_EQ(stat_calls, c.stats) << where;
    EXPECT_EQ(perf_calls, c.perf) << where;
  }
}

TEST_F(NetTest, ConnectGivesUpOnAListenerThatNeverAnswers) {
  // A listener that never accepts: once its queue is full, further handshakes stall.
  RawListener silent(0);
  std::vector<int> fillers;
  bool stalled = false;
  for (int i = 0; i < 16 && !stalled; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(silent.port());
    ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    fillers.push_back(fd);
    pollfd p{fd, POLLOUT, 0};
    stalled = ::poll(&p, 1, 300) == 0;
  }
  if (!stalled) {
    for (int fd : fillers) ::close(fd);
    GTEST_SKIP() << "this kernel completes every handshake to a full queue";
  }
  EXPECT_EQ(net_connect("127.0.0.1", silent.port(), 1), NET_CONNECT_FAILED);
  EXPECT_TRUE(logged("error: network: outbound connection: poll[0]: 110:"));
  for (int fd : fillers) ::close(fd);
}

TEST_F(NetTest, OutgoingConnectionsBindToTheChosenAddress) {
  RawListener origin;
  // Every 127/8 address is local on Linux; some sandboxes only have 127.0.0.1.
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in second = loopback(0, "127.0.0.2");
  const bool have_second = ::bind(probe, reinterpret_cast<sockaddr *>(&second), sizeof second) == 0;
  ::close(probe);
  if (have_second) {
    int fd = net_connect("127.0.0.1", origin.port(), addr("127.0.0.2"), 2);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(origin.accept_peer(), "127.0.0.2");
    ::close(fd);
  }
  // An address this host does not have: logged, and the connection is made unbound.
  int fd = net_connect("127.0.0.1", origin.port(), addr("192.0.2.99"), 2);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(logged("error: network: failed to bind on 192.0.2.99 for outgoing connection"));
  EXPECT_EQ(origin.accept_peer(), "127.0.0.1");
  ::close(fd);
}

// ---- listeners -----------------------------------------------------------------------------

TEST_F(NetTest, ListenAcceptAndDescribeTheClient) {
  const int port = free_port();
  ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
  EXPECT_TRUE(logged("network: listening on 127.0.0.1:" + std::to_string(port)));
  EXPECT_TRUE(logged("network: listen queue: "));
  EXPECT_TRUE(logged("network: Memory allocation: per socket R/W: "));
  EXPECT_TRUE(logged("network: Changed TCP_KEEPIDLE to 900 seconds"));
  // A client that vanishes between poll and accept must not leave accept blocking.
  const int listener = find_listener(port);
  ASSERT_GE(listener, 0);
  EXPECT_FALSE(fd_blocking(listener));
  EXPECT_TRUE(::fcntl(listener, F_GETFD) & FD_CLOEXEC);

  int peer = raw_connect(port);
  ASSERT_GE(peer, 0);
  ConnectionPtr conn = net_accept(5);
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(conn->ip, "127.0.0.1");
  EXPECT_EQ(conn->interface, "127.0.0.1");
  EXPECT_EQ(conn->port, port);
  ASSERT_NE(conn->client, nullptr);
  EXPECT_TRUE(conn->client->IsBlocking());
  EXPECT_TRUE(fd_blocking(conn->client->fd()));
  EXPECT_EQ(conn->keepalive_client, -1);
  ASSERT_EQ(::send(peer, "hello", 5, MSG_NOSIGNAL), 5);
  char buf[8] = {};
  EXPECT_EQ(conn->client->Read(buf, 5, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  ::close(peer);

  // Nothing more waiting.
  EXPECT_EQ(net_accept(0), nullptr);
}

TEST_F(NetTest, ListenOnEveryAddress) {
  const int port = free_port();
  ASSERT_EQ(net_listen(port, nullptr), 0);
  EXPECT_TRUE(logged("network: listening on 0.0.0.0:" + std::to_string(port)));
  int peer = raw_connect(port);
  ASSERT_GE(peer, 0);
  ConnectionPtr conn = net_accept(5);
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(conn->interface, "127.0.0.1");
  ::close(peer);
}

TEST_F(NetTest, ListenRefusesBadAddressesAndPorts) {
  const int port = free_port();
  struct Case {
    const char *address;
    int port;
    const char *shown;
  };
  const Case cases[] = {
      {"localhost", port, "localhost"},   {"1.2.3", port, "1.2.3"},
      {"256.1.1.1", port, "256.1.1.1"},   {"127.0.0.1 ", port, "127.0.0.1 "},
      {"127.0.0.1", 0, "127.0.0.1"},      {"127.0.0.1", -1, "127.0.0.1"},
      {"127.0.0.1", 65536, "127.0.0.1"},  {nullptr, 70000, "0.0.0.0"},
  };
  for (const Case &c : cases) {
    clear_log();
    EXPECT_EQ(net_listen(c.port, c.address), -1) << c.shown << ":" << c.port;
    EXPECT_TRUE(logged("error: network: failed to bind to " + std::string(c.shown) + ":" +
                       std::to_string(c.port)))
        << c.shown << ":" << c.port;
  }
  EXPECT_EQ(net_listen_count(), 0);
}

TEST_F(NetTest, DuplicateBindFailsAndTheFirstKeepsServing) {
  const int port = free_port();
  ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
  EXPECT_EQ(net_listen(port, "127.0.0.1"), -1);
  EXPECT_TRUE(logged("error: network: failed to bind to 127.0.0.1:" + std::to_string(port)));
  EXPECT_EQ(net_listen_count(), 1);

  int peer = raw_connect(port);
  ASSERT_GE(peer, 0);
  ConnectionPtr conn = net_accept(5);
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(conn->port, port);
  ::close(peer);
}

TEST_F(NetTest, TheTableHoldsTwentyListeners) {
  std::vector<int> ports;
  for (int i = 0; i < LISTEN_MAX; ++i) {
    ports.push_back(free_port());
    ASSERT_EQ(net_listen(ports.back(), "127.0.0.1"), i);
  }
  const int extra = free_port();
  clear_log();
  EXPECT_EQ(net_listen(extra, "127.0.0.1"), -1);
  EXPECT_TRUE(logged("failed to bind to 127.0.0.1:" + std::to_string(extra)));
  EXPECT_EQ(raw_connect(extra), -1);

  // Every listener is served, the last one included.
  int peer = raw_connect(ports.back());
  ASSERT_GE(peer, 0);
  ConnectionPtr conn = net_accept(5);
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(conn->port, ports.back());
  ::close(peer);

  net_listen_closeall();
  EXPECT_EQ(net_listen_count(), 0);
  for (int p : ports) EXPECT_EQ(raw_connect(p), -1) << p;
  EXPECT_EQ(net_listen(extra, "127.0.0.1"), 0) << "entries are free again";
}

TEST_F(NetTest, AcceptWithoutListenersReturns) {
  ASSERT_EQ(net_listen_count(), 0);
  Watchdog guard("net_accept(-1) without listeners");
  EXPECT_EQ(net_accept(-1), nullptr);
}

// HUP closes and reopens the listeners from the signal thread while the main thread waits
// in net_accept; the wait must end so that the new listeners are served, and a port closed
// under the wait must be free to bind again at once.
TEST_F(NetTest, AcceptFollowsListenersReopenedMeanwhile) {
  const int same = free_port(), other = free_port();
  ASSERT_EQ(net_listen(same, "127.0.0.1"), 0);
  std::atomic<int> reopened_same{-2}, reopened_other{-2}, peer{-1};
  std::thread hup([&] {
    std::this_thread::sleep_for(200ms);
    net_listen_closeall();
    reopened_same = net_listen(same, "127.0.0.1");
    reopened_other = net_listen(other, "127.0.0.1");
    peer = raw_connect(other);
  });
  ConnectionPtr conn;
  {
    Watchdog guard("net_accept(-1) across a reopen");
    for (int i = 0; i < 100 && !conn; ++i) conn = net_accept(-1);
  }
  hup.join();
  EXPECT_EQ(reopened_same.load(), 0) << "the closed port was still held";
  EXPECT_EQ(reopened_other.load(), 1);
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(conn->port, other);
  EXPECT_GE(peer.load(), 0);
  ::close(peer);
}

TEST_F(NetTest, AcceptKeepsClientsWaitingWhileDescriptorsRunOut) {
  const int port = free_port();
  ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
  int peer = raw_connect(port);
  ASSERT_GE(peer, 0);

  // No descriptor below the limit is free: accept fails with EMFILE.
  int lowest_free = ::dup(0);
  ASSERT_GE(lowest_free, 0);
  ::close(lowest_free);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  ConnectionPtr during = net_accept(2);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  EXPECT_EQ(during, nullptr);
  EXPECT_TRUE(logged("error: network: [system: accept:24:"));
  EXPECT_TRUE(logged("failed to accept a new connection"));
  ConnectionPtr after = net_accept(5);
  ASSERT_NE(after, nullptr) << "the waiting client is accepted once descriptors are free";
  EXPECT_EQ(after->port, port);
  ::close(peer);
}

// ---- connection records --------------------------------------------------------------------

TEST_F(NetTest, ReleasingARecordClosesOnlyItsOwnTunnel) {
  struct Case {
    unsigned client_id;
    int tunnel_owner;
    std::vector<unsigned> closed;
  };
  const Case cases[] = {
      {7, 7, {7}},   // owns a private server connection
      {7, 8, {7}},   // asks the pool to close only connections owned by id 7
      {7, -1, {7}},  // the owner field is reset after each request: the id decides
      {0, -1, {}},   // never accepted: nothing to close
  };
  for (const Case &c : cases) {
    tunnel_calls.clear();
    ConnectionPtr conn = connection_new();
    conn->client_id = c.client_id;
    conn->tunnel_owner = c.tunnel_owner;
    connection_free(std::move(conn));
    EXPECT_EQ(tunnel_calls, c.closed) << c.client_id << " owner " << c.tunnel_owner;
  }
  // Dropping the pointer by any other path follows the same rule.
  tunnel_calls.clear();
  {
    ConnectionPtr conn = connection_new();
    conn->client_id = conn->tunnel_owner = 9;
  }
  EXPECT_EQ(tunnel_calls, std::vector<unsigned>{9});
}

TEST_F(NetTest, NetCloseLogsAndClosesTheClient) {
  const int port = free_port();
  ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
  int peer = raw_connect(port);
  ASSERT_GE(peer, 0);
  ConnectionPtr conn = net_accept(5);
  ASSERT_NE(conn, nullptr);
  conn->requests = 3;
  net_close(std::move(conn));
  EXPECT_TRUE(logged("network: 127.0.0.1 disconnected after making 3 requests"));
  pollfd p{peer, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  char c;
  EXPECT_EQ(::recv(peer, &c, 1, 0), 0) << "the client sees the end of the connection";
  ::close(peer);

  clear_log();
  net_close(nullptr);
  EXPECT_EQ(lines_.count(), 0);
  EXPECT_EQ(perf_calls, (std::vector<NetPerfCounter>{PERF_CONNECTION_CLOSED,
                                                      PERF_CONNECTION_CLOSED}));
}

// ---- network section -----------------------------------------------------------------------

std::string listen_xml(bool enabled, int port, const std::string &address) {
  return "<listen><enabled>" + std::string(enabled ? "true" : "false") +
         "</enabled><comment>c</comment><port>" + std::to_string(port) + "</port><address>" +
         address + "</address></listen>";
}

std::string interface_xml(bool enabled, const std::string &groups, const std::string &profiles,
                          const std::string &address) {
  return "<interface><enabled>" + std::string(enabled ? "true" : "false") +
         "</enabled><comment>r</comment><groups>" + groups + "</groups><profiles>" + profiles +
         "</profiles><address>" + address + "</address></interface>";
}

class NetworkSectionTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    std::string error;
    ASSERT_TRUE(schema_load(std::string(QM_SOURCE_DIR) + "/conf/section.xml", &error)) << error;
    section_ = std::make_unique<NetworkSection>();
  }
  void TearDown() override {
    section_.reset();
    NetTest::TearDown();
  }
  void load(const std::string &items) {
    tinyxml2::XMLDocument doc;
    const std::string text = "<quillmoss><network>" + items + "</network></quillmoss>";
    ASSERT_EQ(doc.Parse(text.c_str()), tinyxml2::XML_SUCCESS);
    std::string error;
    ASSERT_TRUE(section_->load(doc, 1, &error)) << error;
  }
  std::unique_ptr<NetworkSection> section_;
};

TEST_F(NetworkSectionTest, UpdateBuildsTypedRecordsInDocumentOrder) {
  load(listen_xml(true, 3128, "127.0.0.1") + listen_xml(false, -1, "") +
       interface_xml(true, "staff,!guests", "", "10.0.0.2") +
       interface_xml(true, "", "office", "not-an-address"));
  auto listens = section_->listen_get();
  ASSERT_EQ(listens.size(), 2u);
  EXPECT_TRUE(listens[0].enabled);
  EXPECT_EQ(listens[0].port, 3128);
  EXPECT_EQ(listens[0].address, "127.0.0.1");
  EXPECT_FALSE(listens[1].enabled);
  EXPECT_EQ(listens[1].port, -1);
  EXPECT_EQ(listens[1].address, "");
  auto rules = section_->interface_get();
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules[0].groups, (StringList{"staff", "!guests"}));
  EXPECT_TRUE(rules[0].profiles.empty());
  ASSERT_TRUE(rules[0].local.has_value());
  EXPECT_EQ(inet_text(*rules[0].local), "10.0.0.2");
  EXPECT_EQ(rules[1].profiles, StringList{"office"});
  EXPECT_FALSE(rules[1].local.has_value());
}

TEST_F(NetworkSectionTest, CheckOpensEnabledItemsWithAPort) {
  const int on = free_port(), off = free_port(), all = free_port();
  load(listen_xml(true, on, "127.0.0.1") + listen_xml(false, off, "127.0.0.1") +
       listen_xml(true, -1, "127.0.0.1") + listen_xml(true, all, ""));
  section_->check();
  EXPECT_EQ(net_listen_count(), 2);
  EXPECT_TRUE(logged("listening on 127.0.0.1:" + std::to_string(on)));
  EXPECT_TRUE(logged("listening on 0.0.0.0:" + std::to_string(all)));
  EXPECT_FALSE(logged(":" + std::to_string(off)));
  EXPECT_FALSE(logged(":-1"));
  EXPECT_EQ(raw_connect(off), -1);
}

TEST_F(NetworkSectionTest, ReopenRestoresTheSectionAndCommandLineListeners) {
  const int from_section = free_port(), from_command = free_port();
  load(listen_xml(true, from_section, "127.0.0.1"));
  NetworkSection *saved_section = network_section;
  const std::string saved_ip = listenip;
  const int saved_port = listenport;
  network_section = section_.get();
  listenip = "127.0.0.1";
  listenport = from_command;

  net_listen_configured();
  EXPECT_EQ(net_listen_count(), 2);
  net_listen_reopen();
  net_listen_reopen();
  EXPECT_EQ(net_listen_count(), 2);
  EXPECT_EQ(count_logged("listening on 127.0.0.1:" + std::to_string(from_command)), 3);
  EXPECT_EQ(count_logged("listening on 127.0.0.1:" + std::to_string(from_section)), 3);
  EXPECT_FALSE(logged("failed to bind"));

  for (int port : {from_section, from_command}) {
    int peer = raw_connect(port);
    ASSERT_GE(peer, 0) << port;
    ConnectionPtr conn = net_accept(5);
    ASSERT_NE(conn, nullptr) << port;
    EXPECT_EQ(conn->port, port);
    ::close(peer);
  }
  network_section = saved_section;
  listenip = saved_ip;
  listenport = saved_port;
}

TEST_F(NetworkSectionTest, InterfaceSelectTakesTheFirstMatchingRule) {
  load(interface_xml(false, "", "", "10.0.0.1") +            // disabled: never
       interface_xml(true, "staff", "", "10.0.0.2") +        // group rule
       interface_xml(true, "", "office", "10.0.0.3") +       // profile rule
       interface_xml(true, "", "lab", "not-an-address") +    // unusable address: skipped
       interface_xml(true, "", "lab", "10.0.0.5") +
       interface_xml(true, "", "!guest", "10.0.0.9"));       // every profile but guest
  struct Case {
    StringList groups;
    StringList profiles;
    const char *expected;
  };
  const Case cases[] = {
      {{}, {}, "0.0.0.0"},  // no profiles match no non-empty list
      {{"staff"}, {}, "10.0.0.2"},
      {{}, {"office"}, "10.0.0.3"},
      {{"staff"}, {"office"}, "10.0.0.2"},
      {{"guests"}, {"office"}, "10.0.0.3"},
      {{}, {"lab"}, "10.0.0.5"},
      {{}, {"guest"}, "0.0.0.0"},
      {{}, {"other"}, "10.0.0.9"},
  };
  for (const Case &c : cases) {
    CONNECTION_T conn;
    conn.groups = c.groups;
    conn.profiles = c.profiles;
    clear_log();
    const std::string got = inet_text(section_->interface_select(conn));
    EXPECT_EQ(got, c.expected) << c.groups.join(',') << " / " << c.profiles.join(',');
    EXPECT_EQ(logged(std::string("network: binding outgoing connection to ") + c.expected),
              std::string(c.expected) != "0.0.0.0");
  }
}

}  // namespace
