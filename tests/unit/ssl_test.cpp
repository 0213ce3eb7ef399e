#include "ssl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "socket.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A self-signed certificate and key, made once per test process in a temporary folder.
class Certs {
 public:
  static const Certs &get() {
    static Certs certs;
    return certs;
  }
  std::string cert, key;
  bool ok = false;

 private:
  Certs() {
    std::string tmpl = (fs::temp_directory_path() / "qm-ssl-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) return;
    dir_ = tmpl;
    cert = (dir_ / "cert.pem").string();
    key = (dir_ / "key.pem").string();
    std::string cmd =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
        "-subj /CN=localhost -days 2 -keyout '" + key + "' -out '" + cert + "' 2>/dev/null";
    ok = std::system(cmd.c_str()) == 0;
  }
  ~Certs() {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

int connect_to(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// `openssl s_server` on a free loopback port, answering with its status page (-www);
// stopped when the object goes.
class SServer {
 public:
  explicit SServer(const std::vector<std::string> &extra = {}) {
    const Certs &certs = Certs::get();
    if (!certs.ok) return;
    for (int attempt = 0; attempt < 5 && pid_ < 0; attempt++) start(certs, extra);
  }
  ~SServer() { stop(); }
  SServer(const SServer &) = delete;
  SServer &operator=(const SServer &) = delete;
  bool running() const { return pid_ > 0; }
  int port() const { return port_; }

 private:
  void start(const Certs &certs, const std::vector<std::string> &extra) {
    port_ = free_port();
    out_ = fs::path(certs.cert).parent_path() / ("s_server-" + std::to_string(port_) + ".out");
    std::vector<std::string> args = {"openssl", "s_server", "-accept",
                                     "127.0.0.1:" + std::to_string(port_), "-cert", certs.cert,
                                     "-key", certs.key, "-www"};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_t pid = ::fork();
    if (pid == 0) {
      int fd = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      int devnull = ::open("/dev/null", O_RDONLY);
      ::dup2(devnull, 0);
      std::vector<char *> argv;
      for (auto &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp("openssl", argv.data());
      ::_exit(127);
    }
    if (pid < 0) return;
    pid_ = pid;
    // It prints ACCEPT once it listens.
    for (int i = 0; i < 500; i++) {
      std::ifstream in(out_);
      std::string text{std::istreambuf_iterator<char>(in), {}};
      if (text.find("ACCEPT") != std::string::npos) return;
      int status;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {  // failed, e.g. port taken
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(10ms);
    }
    stop();
  }
  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  pid_t pid_ = -1;
  int port_ = 0;
  fs::path out_;
};

class SslLog : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = log_buffer;
    log_buffer = &lines_;
    ASSERT_TRUE(ssl_init());
    ASSERT_TRUE(Certs::get().ok) << "openssl req failed";
  }
  void TearDown() override { log_buffer = saved_; }
  bool logged(const std::string &text) const {
    for (const auto &l : lines_.lines())
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  LogBuffer lines_{200};
  LogBuffer *saved_ = nullptr;
};

// A loopback pair whose `peer` end is served by a TLS server in this process.
class LocalTlsServer {
 public:
  LocalTlsServer() {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    client_fd = connect_to(ntohs(addr.sin_port));
    peer_ = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(ctx_, Certs::get().cert.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx_, Certs::get().key.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_num_tickets(ctx_, 0);  // the server then never writes after the handshake
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, peer_);
  }
  ~LocalTlsServer() {
    if (thread_.joinable()) thread_.join();
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
    ::close(peer_);
  }
  // Runs fn(ssl) in a thread after the server side of the handshake.
  template <class Fn>
  void serve(Fn fn) {
    thread_ = std::thread([this, fn] {
      if (SSL_accept(ssl_) == 1) fn(ssl_);
      ERR_clear_error();
    });
  }
  void serve_raw(std::function<void(int)> fn) {
    thread_ = std::thread([this, fn] { fn(peer_); });
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  int client_fd = -1;  // handed to the Socket under test

 private:
  int peer_ = -1;
  SSL_CTX *ctx_ = nullptr;
  SSL *ssl_ = nullptr;
  std::thread thread_;
};

std::string pattern(std::size_t n) {
  std::mt19937 rng(3);
  std::string s(n, '\0');
  for (auto &c : s) c = static_cast<char>('A' + rng() % 26);
  return s;
}

// ---- library set-up ----------------------------------------------------------------------

TEST(Ssl, InitAndTheClientContext) {
  EXPECT_TRUE(ssl_init());
  EXPECT_TRUE(ssl_init());  // idempotent
  SSL_CTX *ctx = ssl_client_context();
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx, ssl_client_context());
  EXPECT_EQ(SSL_CTX_get_verify_mode(ctx), SSL_VERIFY_NONE);
}

TEST(Ssl, IpLiteralsGetNoServerName) {
  struct Case {
    const char *host;
    bool literal;
  };
  const Case cases[] = {{"127.0.0.1", true},      {"::1", true},
                        {"[2001:db8::5]", true},  {"www.example.org", false},
                        {"localhost", false},     {"1.2.3", false},
                        {"[not-an-ip]", false},   {"", false}};
  for (const auto &c : cases) EXPECT_EQ(ssl_is_ip_literal(c.host), c.literal) << c.host;
}

// ---- sessions against openssl s_server ---------------------------------------------------

TEST_F(SslLog, RoundTripWithSServer) {
  SServer server;
  ASSERT_TRUE(server.running());
  Socket s(connect_to(server.port()));
  ASSERT_GE(s.fd(), 0);
  s.Set_io_timeout(5000ms);
  ASSERT_TRUE(s.Encrypt(1, "localhost"));
  EXPECT_TRUE(s.tls());
  ASSERT_GT(s.PutSock("GET / HTTP/1.0\r\n\r\n"), 0);
  ASSERT_TRUE(s.Flush());
  std::string line;
  ASSERT_GT(s.GetLine(&line, 5), 0);
  EXPECT_EQ(line, "HTTP/1.0 200 ok\r\n");
  std::string page;
  char buf[4096];
  for (;;) {
    ssize_t r = s.Read(buf, sizeof buf, 5);
    if (r <= 0) {
      EXPECT_EQ(r, 0);  // a clean end of data
      break;
    }
    page.append(buf, static_cast<std::size_t>(r));
  }
  EXPECT_NE(page.find("<HTML>"), std::string::npos) << page.substr(0, 200);
  EXPECT_FALSE(s.error);
}

TEST_F(SslLog, ServerNameIsSentForHostNamesOnly) {
  // This server refuses a handshake that names another host, and accepts one naming none.
  const Certs &c = Certs::get();
  SServer server({"-servername", "proxy.test", "-servername_fatal", "-cert2", c.cert, "-key2",
                  c.key});
  ASSERT_TRUE(server.running());
  struct Case {
    const char *name;
    bool established;
  };
  const Case cases[] = {{"proxy.test", true},
                        {"proxy.test.", true},
                        {"other.test", false},
                        {"127.0.0.1", true},
                        {nullptr, true}};
  for (const auto &cs : cases) {
    Socket s(connect_to(server.port()));
    ASSERT_GE(s.fd(), 0);
    s.Set_io_timeout(5000ms);
    EXPECT_EQ(s.Encrypt(1, cs.name), cs.established) << (cs.name ? cs.name : "(none)");
    EXPECT_EQ(s.tls(), cs.established);
  }
}

// ---- failures ----------------------------------------------------------------------------

TEST_F(SslLog, APlainPeerFailsTheHandshake) {
  LocalTlsServer local;
  local.serve_raw([](int fd) {
    char buf[512];
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);  // the ClientHello
    (void)r;
    const char reply[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
    ::send(fd, reply, sizeof reply - 1, MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
  });
  Socket s(local.client_fd);
  s.Set_io_timeout(5000ms);
  EXPECT_FALSE(s.Encrypt(1, "localhost"));
  EXPECT_FALSE(s.tls());
  EXPECT_TRUE(logged("TLS handshake with localhost failed"));
  local.join();
}

TEST_F(SslLog, ASilentPeerTimesTheHandshakeOut) {
  LocalTlsServer local;
  Socket s(local.client_fd);
  s.Set_io_timeout(200ms);
  EXPECT_FALSE(s.Encrypt(1, "localhost"));
  EXPECT_FALSE(s.tls());
  EXPECT_TRUE(logged("TLS handshake with localhost failed: timed out"));
  EXPECT_FALSE(s.Encrypt(2));  // no server side
}

TEST_F(SslLog, BulkDataBothWaysAndACleanShutdown) {
  const std::string up = pattern(3 << 20), down = pattern(1 << 20);
  std::string received;
  int last_error = 0;
  LocalTlsServer local;
  local.serve([&](SSL *ssl) {
    std::this_thread::sleep_for(50ms);  // let the client's writes back up
    std::size_t sent = 0;
    while (sent < down.size()) {
      std::size_t w = 0;
      if (SSL_write_ex(ssl, down.data() + sent, down.size() - sent, &w) != 1) return;
      sent += w;
    }
    char buf[16384];
    for (;;) {
      std::size_t got = 0;
      int r = SSL_read_ex(ssl, buf, sizeof buf, &got);
      if (r != 1) {
        last_error = SSL_get_error(ssl, r);
        return;
      }
      received.append(buf, got);
    }
  });
  {
    auto s = std::make_unique<Socket>(local.client_fd);
    s->Set_io_timeout(5000ms);
    ASSERT_TRUE(s->Encrypt(1, "localhost"));
    ASSERT_GE(s->Write(up.data(), static_cast<ssize_t>(up.size())), 0);
    EXPECT_GT(s->OutputPending(), 0u);  // the server was not reading yet
    std::string got;
    std::vector<char> buf(65536);
    while (got.size() < down.size()) {
      ssize_t r = s->Read(buf.data(), static_cast<ssize_t>(buf.size()), 5);
      ASSERT_GT(r, 0);
      got.append(buf.data(), static_cast<std::size_t>(r));
    }
    EXPECT_TRUE(got == down);
    EXPECT_TRUE(s->Flush());
  }  // the close_notify goes out before the descriptor closes
  local.join();
  EXPECT_TRUE(received == up) << received.size();
  EXPECT_EQ(last_error, SSL_ERROR_ZERO_RETURN);
}

TEST_F(SslLog, AWriteToATlsPeerThatNeverReadsTimesOut) {
  std::atomic<bool> done{false};
  LocalTlsServer local;
  local.serve([&](SSL *) {
    while (!done) std::this_thread::sleep_for(5ms);
  });
  Socket s(local.client_fd);
  s.Set_io_timeout(5000ms);
  ASSERT_TRUE(s.Encrypt(1, "localhost"));
  s.Set_io_timeout(200ms);
  const std::string big = pattern(8 << 20);
  ASSERT_GE(s.Write(big.data(), static_cast<ssize_t>(big.size())), 0);
  EXPECT_FALSE(s.Flush());
  EXPECT_TRUE(s.error);
  done = true;
  local.join();
}

}  // namespace
