// Server connections: SOCKS handshakes against scripted peers, relaying with half-closes and
// limits, pooled and new connections against a scripted loopback server, the single retry of a
// request on a reused connection, tunnelling parents, and CONNECT through an HTTP parent.
#include "protocol.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "filebuf.h"
#include "forward.h"
#include "header.h"
#include "main.h"
#include "network.h"
#include "serverpool.h"
#include "socket.h"
#include "templates.h"
#include "xml.h"

namespace {

using namespace std::chrono_literals;

std::string source_dir() {
  if (const char *env = std::getenv("QM_SOURCE_DIR"); env != nullptr && *env != '\0') return env;
  return QM_SOURCE_DIR;
}

// Waits up to 5 s for a condition another thread makes true.
void eventually(const std::function<bool()> &condition) {
  for (int i = 0; i < 500 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

bool wait_readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

// Reads exactly n bytes (fewer when the peer ends first or 5 s pass).
std::string read_n(int fd, std::size_t n) {
  std::string out;
  char buf[4096];
  while (out.size() < n && wait_readable(fd, 5000)) {
    ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  return out;
}

std::string read_to_end(int fd) {
  std::string out;
  char buf[65536];
  while (wait_readable(fd, 5000)) {
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r <= 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  return out;
}

void write_all(int fd, const std::string &data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t w = ::write(fd, data.data() + done, data.size() - done);
    if (w <= 0) return;
    done += static_cast<std::size_t>(w);
  }
}

// ---- SOCKS ---------------------------------------------------------------------------------

// A connection whose `server` is one end of a socket pair; `peer` plays the SOCKS proxy.
struct SocksFixture {
  CONNECTION_T conn;
  int peer = -1;
  explicit SocksFixture(const std::string &request) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    conn.server = std::make_unique<Socket>(fds[0]);
    peer = fds[1];
    conn.header = http_header_parse_request(request);
    conn.ctimeout = 2;
  }
  ~SocksFixture() {
    if (peer >= 0) ::close(peer);
  }
};

const std::string TARGET_REQUEST =
    "GET http://127.0.0.1:8081/x HTTP/1.1\r\nHost: 127.0.0.1:8081\r\n\r\n";

TEST(ProtocolSocks4, RepliesDecideTheResult) {
  struct Case {
    const char *what;
    std::string reply;
    int expected;
  };
  const Case cases[] = {
      {"granted", std::string("\0\x5a\0\0\0\0\0\0", 8), 1},
      {"rejected", std::string("\0\x5b\0\0\0\0\0\0", 8), -2},
      {"no identd", std::string("\0\x5c\0\0\0\0\0\0", 8), -4},
      {"ident mismatch", std::string("\0\x5d\0\0\0\0\0\0", 8), -4},
      {"unknown code", std::string("\0\x01\0\0\0\0\0\0", 8), -1},
      {"short reply", std::string("\0\x5a\0", 3), -2},
  };
  const std::string saved_user = username;
  username = "proxyuser";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SocksFixture f(TARGET_REQUEST);
    std::string request;
    std::thread proxy([&] {
      request = read_n(f.peer, 8 + username.size() + 1);
      write_all(f.peer, c.reply);
      ::shutdown(f.peer, SHUT_WR);
    });
    EXPECT_EQ(proxy_socks4(&f.conn), c.expected);
    proxy.join();
    // Version 4, CONNECT, port 8081 high byte first, 127.0.0.1, the user id and its NUL.
    EXPECT_EQ(request, std::string("\x04\x01\x1f\x91\x7f\0\0\x01", 8) + "proxyuser" + '\0');
  }
  username = saved_user;
}

// One SOCKS5 exchange: what the proxy answers to each step it reaches, and what it received.
struct Socks5Case {
  const char *what;
  std::string user, password;
  std::string method_reply;   // answer to the greeting
  std::string auth_reply;     // answer to the login; empty: no login step
  std::string connect_reply;  // answer to the CONNECT, bound address included; empty: no step
  int expected;
};

TEST(ProtocolSocks5, HandshakesAndRefusals) {
  const std::string none(std::string("\x05\0", 2)), login(std::string("\x05\x02", 2));
  const std::string ok_ipv4 = std::string("\x05\0\0\x01\x7f\0\0\x01\x1f\x91", 10);
  const Socks5Case cases[] = {
      {"no authentication, IPv4 bound address", "", "", none, "", ok_ipv4, 1},
      {"domain bound address", "", "", none, "", std::string("\x05\0\0\x03\x04host\x1f\x91", 11), 1},
      {"IPv6 bound address", "", "", none, "", std::string("\x05\0\0\x04", 4) + std::string(18, '\0'),
       1},
      {"unknown address type", "", "", none, "", std::string("\x05\0\0\x09\0\0", 6), 1},
      {"user and password accepted", "alice", "secret", login, std::string("\x01\0", 2), ok_ipv4, 1},
      {"user and password refused", "alice", "secret", login, std::string("\x01\x01", 2), "", -2},
      {"login asked without credentials", "", "", login, "", "", -2},
      {"no acceptable method", "", "", std::string("\x05\xff", 2), "", "", -2},
      {"CONNECT refused", "", "", none, "", std::string("\x05\x05\0\x01\0\0\0\0\0\0", 10), -2},
      {"bound address cut short", "", "", none, "", std::string("\x05\0\0\x01\x7f\0", 6), -2},
  };
  for (const Socks5Case &c : cases) {
    SCOPED_TRACE(c.what);
    SocksFixture f(TARGET_REQUEST);
    f.conn.proxy_user = c.user;
    f.conn.proxy_password = c.password;
    std::string greeting, credentials, connect;
    std::thread proxy([&] {
      greeting = read_n(f.peer, 4);
      write_all(f.peer, c.method_reply);
      if (!c.auth_reply.empty()) {
        credentials = read_n(f.peer, 3 + c.user.size() + c.password.size());
        write_all(f.peer, c.auth_reply);
      }
      if (!c.connect_reply.empty()) {
        connect = read_n(f.peer, 5 + 9 + 2);
        write_all(f.peer, c.connect_reply);
      }
      ::shutdown(f.peer, SHUT_WR);
    });
    EXPECT_EQ(proxy_socks5(&f.conn), c.expected);
    proxy.join();
    EXPECT_EQ(greeting, std::string("\x05\x02\x00\x02", 4));
    if (!c.auth_reply.empty()) {
      EXPECT_EQ(credentials, std::string("\x01\x05") + "alice\x06" + "secret");
    }
    if (!c.connect_reply.empty()) {
      EXPECT_EQ(connect, std::string("\x05\x01\x00\x03\x09", 5) + "127.0.0.1" + "\x1f\x91");
    }
  }
}

TEST(ProtocolSocks5, NamesTooLongForOneByteAreRefusedBeforeSending) {
  const std::string long_host(256, 'h');
  SocksFixture f("GET http://" + long_host + "/ HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(f.conn.header);
  EXPECT_EQ(proxy_socks5(&f.conn), -2);
  f.conn.server.reset();
  EXPECT_EQ(read_to_end(f.peer), "") << "nothing reached the proxy";

  SocksFixture g(TARGET_REQUEST);
  g.conn.proxy_user = std::string(256, 'u');
  g.conn.proxy_password = "p";
  std::thread proxy([&] {
    read_n(g.peer, 4);
    write_all(g.peer, std::string("\x05\x02", 2));
  });
  EXPECT_EQ(proxy_socks5(&g.conn), -2);
  proxy.join();
}

// ---- relaying ------------------------------------------------------------------------------

struct RelayFixture {
  CONNECTION_T conn;
  int client_peer = -1, server_peer = -1;
  RelayFixture() {
    int a[2], b[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
    conn.client = std::make_unique<Socket>(a[0]);
    conn.server = std::make_unique<Socket>(b[0]);
    client_peer = a[1];
    server_peer = b[1];
  }
  ~RelayFixture() {
    if (client_peer >= 0) ::close(client_peer);
    ::close(server_peer);
  }
};

std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed) & 0xff);
  return s;
}

TEST(ProtocolRelay, BothDirectionsRunToTheirEndsAcrossAHalfClose) {
  RelayFixture f;
  const std::string up = pattern(300 * 1024, 1), down = pattern(200 * 1024, 7);
  std::string at_server, at_client;
  std::thread client([&] {
    write_all(f.client_peer, up);
    ::shutdown(f.client_peer, SHUT_WR);
    at_client = read_to_end(f.client_peer);
  });
  std::thread server([&] {
    // The server answers only after the client's end reached it.
    at_server = read_to_end(f.server_peer);
    write_all(f.server_peer, down);
    ::shutdown(f.server_peer, SHUT_WR);
  });
  const int64_t relayed = net_proxy(&f.conn, -1);
  f.conn.client.reset();
  client.join();
  server.join();
  EXPECT_EQ(at_server, up);
  EXPECT_EQ(at_client, down);
  EXPECT_EQ(relayed, static_cast<int64_t>(up.size() + down.size()));
}

TEST(ProtocolRelay, StopsAtTheLimit) {
  RelayFixture f;
  write_all(f.client_peer, pattern(5000, 3));
  EXPECT_EQ(net_proxy(&f.conn, 1000), 1000);
  f.conn.server.reset();
  EXPECT_EQ(read_to_end(f.server_peer), pattern(5000, 3).substr(0, 1000));
}

TEST(ProtocolRelay, AClientThatLeftEndsTheRelay) {
  RelayFixture f;
  ::close(f.client_peer);
  f.client_peer = -1;
  write_all(f.server_peer, "late bytes");
  // Returns although the server never closes: its bytes have nowhere to go.
  EXPECT_LE(net_proxy(&f.conn, -1), 10);
}

// ---- a scripted loopback server --------------------------------------------------------------

// What the server does with one request head it read.
struct Step {
  std::string reply;           // sent, then the connection stays open for the next head
  int delay_ms = 0;            // before the reply
  bool close_instead = false;  // close without a reply
  bool silent = false;         // never answer; keep the connection open
};

// Accepts connections on a loopback port; the h-th head of connection c gets script(c, h).
// Request bodies announced with Content-Length are read with their head.
class ScriptedServer {
 public:
  using Script = std::function<Step(int connection, int head)>;

  explicit ScriptedServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(listener_, 8), 0);
    ::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    acceptor_.join();
    for (std::thread &t : handlers_) t.join();
    ::close(listener_);
  }

  int port() const { return port_; }
  int connections() const { return connections_; }
  // Every head (with its body) received, with the index of its connection.
  std::vector<std::pair<int, std::string>> heads() {
    std::lock_guard g(lock_);
    return heads_;
  }

 private:
  void accept_loop() {
    while (!stop_) {
      if (!wait_readable(listener_, 50)) continue;
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      const int index = connections_++;
      handlers_.emplace_back([this, fd, index] { serve(fd, index); });
    }
  }

  // One head and its body, or "" when the peer ended or the server stops.
  std::string next_request(int fd, std::string &pending) {
    for (;;) {
      std::size_t end = pending.find("\r\n\r\n");
      if (end != std::string::npos) {
        std::size_t total = end + 4;
        std::size_t cl = pending.find("Content-Length: ");
        if (cl != std::string::npos && cl < end) total += std::stoul(pending.substr(cl + 16));
        if (pending.size() >= total) {
          std::string request = pending.substr(0, total);
          pending.erase(0, total);
          return request;
        }
      }
      if (stop_) return "";
      if (!wait_readable(fd, 50)) continue;
      char buf[4096];
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) return "";
      pending.append(buf, static_cast<std::size_t>(n));
    }
  }

  void serve(int fd, int index) {
    std::string pending;
    for (int head = 0;; ++head) {
      std::string request = next_request(fd, pending);
      if (request.empty()) break;
      {
        std::lock_guard g(lock_);
        heads_.emplace_back(index, request);
      }
      Step step = script_(index, head);
      if (step.close_instead) break;
      if (step.silent) {
        while (!stop_) std::this_thread::sleep_for(20ms);
        break;
      }
      if (step.delay_ms) std::this_thread::sleep_for(std::chrono::milliseconds(step.delay_ms));
      write_all(fd, step.reply);
    }
    ::close(fd);
  }

  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  std::vector<std::thread> handlers_;
  std::mutex lock_;
  std::vector<std::pair<int, std::string>> heads_;
};

const std::string OK_RESPONSE = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

// A connection to the scripted server: its client one end of a socket pair, its own server pool.
class ServerConnectionTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_pool = server_pool;
    pool.set_limits(10, 60);
    server_pool = &pool;
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    conn.client = std::make_unique<Socket>(fds[0]);
    client_peer = fds[1];
    conn.ip = "127.0.0.1";
    conn.client_id = 7;
    conn.ctimeout = conn.timeout = 5;
  }
  void TearDown() override {
    conn.server.reset();
    server_pool = saved_pool;
    ::close(client_peer);
  }

  void request(const std::string &text) {
    conn.header = http_header_parse_request(text);
    ASSERT_TRUE(conn.header) << text;
  }
  std::string get_for(int port) {
    return "GET http://127.0.0.1:" + std::to_string(port) + "/x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  }

  // Sends the head, reads the answer and its 2-byte body, and parks the server connection.
  void exchange_and_pool() {
    ASSERT_GE(protocol_start(&conn), 0);
    ASSERT_GE(header_send(conn.header.get(), &conn, 1, HEADER_SEND_SERVER), 0);
    if (conn.postbody && !conn.postbody->empty()) conn.server->WriteFilebuf(*conn.postbody);
    std::optional<std::string> head = header_get_reconnect(&conn, 5);
    ASSERT_TRUE(head);
    char body[2];
    ASSERT_EQ(conn.server->Read(body, 2, 5), 2);
    ASSERT_TRUE(pool.Add(std::move(conn.server), serverpool_key(conn)));
    conn.flags = 0;
  }

  ServerPool pool;
  ServerPool *saved_pool = nullptr;
  CONNECTION_T conn;
  int client_peer = -1;
};

TEST_F(ServerConnectionTest, AReusedConnectionClosedBeforeAnsweringGetsTheRequestOnceMore) {
  ScriptedServer server([](int c, int h) {
    Step s;
    if (c == 0 && h == 1) s.close_instead = true;  // the server dropped the idle connection
    else s.reply = OK_RESPONSE;
    return s;
  });
  request(get_for(server.port()));
  exchange_and_pool();

  ASSERT_GE(protocol_start(&conn), 0);
  EXPECT_TRUE(conn.flags & CONN_POOLED);
  ASSERT_GE(header_send(conn.header.get(), &conn, 1, HEADER_SEND_SERVER), 0);
  std::optional<std::string> head = header_get_reconnect(&conn, 5);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->rfind("HTTP/1.1 200 OK", 0), 0u);
  EXPECT_FALSE(conn.flags & CONN_POOLED) << "the answer came on a new connection";
  const auto heads = server.heads();
  ASSERT_EQ(heads.size(), 3u);
  EXPECT_EQ(heads[1].first, 0);
  EXPECT_EQ(heads[2].first, 1) << "sent again once, on a new connection";
  EXPECT_EQ(server.connections(), 2);
}

TEST_F(ServerConnectionTest, ASlowFreshServerIsNeverSentTheRequestTwice) {
  ScriptedServer server([](int, int) {
    Step s;
    s.delay_ms = 1500;  // longer than CLIENT_POOL_TIMEOUT
    s.reply = OK_RESPONSE;
    return s;
  });
  request(get_for(server.port()));
  ASSERT_GE(protocol_start(&conn), 0);
  ASSERT_GE(header_send(conn.header.get(), &conn, 1, HEADER_SEND_SERVER), 0);
  std::optional<std::string> head = header_get_reconnect(&conn, 10);
  ASSERT_TRUE(head);
  EXPECT_EQ(server.heads().size(), 1u);
  EXPECT_EQ(server.connections(), 1);
}

TEST_F(ServerConnectionTest, ASilentReusedConnectionIsNotSentTheRequestAgain) {
  ScriptedServer server([](int, int h) {
    Step s;
    if (h == 1) s.silent = true;
    else s.reply = OK_RESPONSE;
    return s;
  });
  request(get_for(server.port()));
  exchange_and_pool();
  ASSERT_GE(protocol_start(&conn), 0);
  ASSERT_TRUE(conn.flags & CONN_POOLED);
  ASSERT_GE(header_send(conn.header.get(), &conn, 1, HEADER_SEND_SERVER), 0);
  EXPECT_FALSE(header_get_reconnect(&conn, 1));
  EXPECT_EQ(conn.log_entry.status, 502);
  EXPECT_EQ(conn.keepalive_server, 0);
  EXPECT_EQ(server.heads().size(), 2u);
  EXPECT_EQ(server.connections(), 1);
}

TEST_F(ServerConnectionTest, ARetryCarriesTheBodyOnlyWhenItIsHeldWhole) {
  struct Case {
    const char *what;
    bool buffered;
    std::size_t heads;
  };
  const Case cases[] = {{"buffered body", true, 3}, {"streamed body", false, 2}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedServer server([](int conn_index, int h) {
      Step s;
      if (conn_index == 0 && h == 1) s.close_instead = true;
      else s.reply = OK_RESPONSE;
      return s;
    });
    // Credentials in the URL make the request private, so it may take its own pooled
    // connection although it has a body.
    request("POST http://u:p@127.0.0.1:" + std::to_string(server.port()) +
            "/x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\n");
    conn.tunnel_owner = static_cast<int>(conn.client_id);
    conn.postbody = std::make_unique<Filebuf>();
    conn.postbody->Add("abcde");
    exchange_and_pool();
    if (!c.buffered) {
      conn.postbody = std::make_unique<Filebuf>();
      conn.flags |= CONN_BIGUPLOAD;
    }
    ASSERT_GE(protocol_start(&conn), 0);
    ASSERT_TRUE(conn.flags & CONN_POOLED);
    ASSERT_GE(header_send(conn.header.get(), &conn, 1, HEADER_SEND_SERVER), 0);
    conn.server->Write("abcde", 5);
    conn.server->Flush();
    std::optional<std::string> head = header_get_reconnect(&conn, 5);
    EXPECT_EQ(head.has_value(), c.buffered);
    const auto heads = server.heads();
    ASSERT_EQ(heads.size(), c.heads);
    if (c.buffered) {
      const std::string &resent = heads[2].second;
      EXPECT_EQ(resent.substr(resent.size() - 5), "abcde") << "the body goes with the head";
    }
    conn.server.reset();
    conn.flags = 0;
    pool.Clean(1);
  }
}

TEST_F(ServerConnectionTest, ABodyTakesAPooledConnectionOnlyWhenPrivate) {
  struct Case {
    const char *what;
    bool private_request;
    bool reused;
  };
  const Case cases[] = {{"shared POST", false, false}, {"private POST", true, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedServer server([](int, int) {
      Step s;
      s.reply = OK_RESPONSE;
      return s;
    });
    const std::string credentials = c.private_request ? "u:p@" : "";
    request("POST http://" + credentials + "127.0.0.1:" + std::to_string(server.port()) +
            "/x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\n");
    conn.tunnel_owner = c.private_request ? static_cast<int>(conn.client_id) : -1;
    conn.postbody = std::make_unique<Filebuf>();
    conn.postbody->Add("abcde");
    exchange_and_pool();
    ASSERT_GE(protocol_start(&conn), 0);
    EXPECT_EQ((conn.flags & CONN_POOLED) != 0, c.reused);
    const int expected = c.reused ? 1 : 2;
    eventually([&] { return server.connections() >= expected; });
    EXPECT_EQ(server.connections(), expected);
    EXPECT_EQ(pool.size(), c.reused ? 0u : 1u);
    conn.server.reset();
    conn.flags = 0;
    pool.Clean(1);
  }
}

TEST_F(ServerConnectionTest, AFailedConnectionLeavesNoServer) {
  int dead;
  {
    ScriptedServer gone([](int, int) { return Step{}; });
    dead = gone.port();
  }
  request(get_for(dead));
  EXPECT_EQ(protocol_start(&conn), NET_CONNECT_FAILED);
  EXPECT_FALSE(conn.server);
  EXPECT_EQ(conn.keepalive_server, 0);
}

TEST_F(ServerConnectionTest, TLSToAServerThatDoesNotSpeakItFails) {
  // Answers whatever arrives with a plain-text line.
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
  std::thread plain([&] {
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    wait_readable(fd, 5000);
    write_all(fd, "HTTP/1.1 400 Bad Request\r\n\r\n");
    ::close(fd);
  });
  request(get_for(ntohs(a.sin_port)));
  conn.flags |= CONN_SSL;
  EXPECT_EQ(protocol_start(&conn), PROTOCOL_HANDSHAKE_FAILED);
  EXPECT_FALSE(conn.server);
  plain.join();
  ::close(listener);
}

// ---- parents -------------------------------------------------------------------------------

TEST_F(ServerConnectionTest, ATunnellingParentOpensTheTunnelOnlyWith2xx) {
  struct Case {
    const char *what;
    std::string answer;
    int expected;
  };
  const Case cases[] = {
      {"200", "HTTP/1.1 200 Connection established\r\n\r\n", 1},
      {"other 2xx", "HTTP/1.1 204 No Content\r\n\r\n", 1},
      {"403", "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n", PROTOCOL_HANDSHAKE_FAILED},
      {"407 without credentials",
       "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"p\"\r\n"
       "Content-Length: 0\r\n\r\n",
       PROTOCOL_HANDSHAKE_FAILED},
      {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", PROTOCOL_HANDSHAKE_FAILED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedServer parent([&](int, int) {
      Step s;
      s.reply = c.answer;
      return s;
    });
    request("GET http://origin.example:8443/page HTTP/1.1\r\nHost: origin.example\r\n\r\n");
    conn.proxy_type = PROXY_TUNNEL;
    conn.proxy_host = "127.0.0.1";
    conn.proxy_port = parent.port();
    const int r = protocol_start(&conn);
    if (c.expected == 1) {
      EXPECT_GE(r, 0);
      EXPECT_TRUE(conn.server);
    } else {
      EXPECT_EQ(r, c.expected);
      EXPECT_FALSE(conn.server);
      EXPECT_EQ(conn.keepalive_server, 0);
    }
    const auto heads = parent.heads();
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_EQ(heads[0].second.rfind("CONNECT origin.example:8443 HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(conn.header->type, HEADER_PROXY) << "the request's own head is back";
    EXPECT_FALSE(conn.rheader);
    conn.server.reset();
  }
}

TEST_F(ServerConnectionTest, ATunnellingParentsBasicChallengeIsAnsweredOnce) {
  ScriptedServer parent([](int, int h) {
    Step s;
    s.reply = h == 0 ? "HTTP/1.1 407 Proxy Authentication Required\r\n"
                       "Proxy-Authenticate: Basic realm=\"parent\"\r\nContent-Length: 3\r\n\r\nabc"
                     : "HTTP/1.1 200 Connection established\r\n\r\n";
    return s;
  });
  request("GET http://origin.example/ HTTP/1.1\r\nHost: origin.example\r\n\r\n");
  conn.proxy_type = PROXY_TUNNEL;
  conn.proxy_host = "127.0.0.1";
  conn.proxy_port = parent.port();
  conn.proxy_user = "user";
  conn.proxy_password = "pass";
  EXPECT_GE(protocol_start(&conn), 0);
  EXPECT_TRUE(conn.flags & CONN_PROXYAUTH);
  const auto heads = parent.heads();
  ASSERT_EQ(heads.size(), 2u);
  EXPECT_EQ(heads[0].second.find("Proxy-Authorization"), std::string::npos);
  EXPECT_NE(heads[1].second.find("Proxy-Authorization: Basic dXNlcjpwYXNz\r\n"), std::string::npos);
}

class ConnectThroughParentTest : public ServerConnectionTest {
 protected:
  void SetUp() override {
    ServerConnectionTest::SetUp();
    std::string error;
    ASSERT_TRUE(schema_load(source_dir() + "/conf/section.xml", &error)) << error;
    templates = std::make_unique<TemplateSection>();
    template_section = templates.get();
  }
  void TearDown() override {
    template_section = nullptr;
    ServerConnectionTest::TearDown();
  }
  std::unique_ptr<TemplateSection> templates;
};

TEST_F(ConnectThroughParentTest, AParentRefusingTheConnectGivesTheNoconnectPage) {
  ScriptedServer parent([](int, int) {
    Step s;
    s.reply = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
    return s;
  });
  request("CONNECT origin.example:443 HTTP/1.1\r\nHost: origin.example:443\r\n\r\n");
  conn.proxy_type = PROXY_HTTP;
  conn.proxy_host = "127.0.0.1";
  conn.proxy_port = parent.port();
  ASSERT_GE(protocol_start(&conn), 0);
  EXPECT_EQ(protocol_connect(&conn), 0);
  conn.client.reset();
  const std::string wire = read_to_end(client_peer);
  EXPECT_EQ(wire.rfind("HTTP/1.1 503 ", 0), 0u) << "a 2xx would open the client's tunnel";
  EXPECT_NE(wire.find("X-Template: noconnect\r\n"), std::string::npos);
  EXPECT_EQ(conn.log_entry.status, 503);
  EXPECT_EQ(conn.log_entry.cachecode(), 16);
  EXPECT_EQ(conn.keepalive_client, 0);
  EXPECT_EQ(conn.keepalive_server, 0);
  ASSERT_EQ(parent.heads().size(), 1u);
  EXPECT_EQ(parent.heads()[0].second.rfind("CONNECT origin.example:443 HTTP/1.1\r\n", 0), 0u);
}

TEST_F(ConnectThroughParentTest, AnAcceptedConnectRelaysBytes) {
  ScriptedServer parent([](int, int) {
    Step s;
    s.reply = "HTTP/1.1 200 Connection established\r\n\r\n";
    return s;
  });
  request("CONNECT origin.example:443 HTTP/1.1\r\nHost: origin.example:443\r\n\r\n");
  conn.proxy_type = PROXY_HTTP;
  conn.proxy_host = "127.0.0.1";
  conn.proxy_port = parent.port();
  ASSERT_GE(protocol_start(&conn), 0);
  // The client sends a head-shaped message through the tunnel; the parent "answers" it.
  write_all(client_peer, "PING / HTTP/1.1\r\n\r\n");
  std::thread relay([&] { protocol_connect(&conn); });
  std::string wire;
  char buf[4096];
  while (wire.find("established") == std::string::npos && wait_readable(client_peer, 5000)) {
    ssize_t n = ::read(client_peer, buf, sizeof buf);
    if (n <= 0) break;
    wire.append(buf, static_cast<std::size_t>(n));
  }
  // The client's end travels to the parent, whose end travels back: the relay ends.
  ::shutdown(client_peer, SHUT_WR);
  wire += read_to_end(client_peer);
  relay.join();
  EXPECT_EQ(wire.rfind("HTTP/1.1 200 Connection Established\r\n\r\n", 0), 0u);
  const auto heads = parent.heads();
  ASSERT_EQ(heads.size(), 2u);
  EXPECT_EQ(heads[1].second, "PING / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(conn.log_entry.status, 200);
  EXPECT_GT(conn.log_entry.size, 0u);
}

}  // namespace
