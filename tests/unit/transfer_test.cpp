// Transfer engine over loopback TCP connections: a thread plays the server, the test plays
// the client; counted, open-ended and buffered bodies, peers that leave or pipeline, and the
// chunked writer.
#include "transfer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "testutil.h"
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "filebuf.h"
#include "header.h"
#include "main.h"
#include "network.h"
#include "socket.h"

namespace {


std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

// A connection whose client and server sockets each face a peer descriptor held by the test.
class TransferTest : public testing::Test {
 protected:
  void SetUp() override {
    auto [cp, cpeer] = tcp_pair();
    auto [sp, speer] = tcp_pair();
    ASSERT_GE(cp, 0);
    ASSERT_GE(sp, 0);
    conn.client = std::make_unique<Socket>(cp);
    conn.server = std::make_unique<Socket>(sp);
    client_peer = cpeer;
    server_peer = speer;
    conn.ip = "127.0.0.1";
    conn.ctimeout = conn.timeout = conn.keeptimeout = 5;
    conn.keepalive_client = conn.keepalive_server = 1;
  }
  void TearDown() override {
    if (server_thread.joinable()) server_thread.join();
    if (client_thread.joinable()) client_thread.join();
    if (client_peer >= 0) close(client_peer);
    if (server_peer >= 0) close(server_peer);
    transfer_cache_readers_hook = nullptr;
  }

  void serve(std::function<void(int)> script) {
    server_thread = std::thread([this, script = std::move(script)] { script(server_peer); });
  }
  // Collects what the client receives until the proxy's client socket goes away.
  void collect() {
    client_thread = std::thread([this] { received = read_all(client_peer); });
  }
  std::string client_received() {
    conn.client.reset();
    if (client_thread.joinable()) client_thread.join();
    return received;
  }
  // The scripted server may still use the test's locals until it is joined.
  void wait_server() {
    if (server_thread.joinable()) server_thread.join();
  }

  CONNECTION_T conn;
  int client_peer = -1, server_peer = -1;
  std::thread server_thread, client_thread;
  std::string received;
};

TEST_F(TransferTest, CountedBodyMovesExactlyItsLengthAndLeavesTheRest) {
  const std::string body = pattern(300000);
  serve([&](int fd) { send_all(fd, body + "NEXT RESPONSE"); });
  collect();
  EXPECT_EQ(net_transfer(&conn, TRANSFER_FROM_SERVER, static_cast<int64_t>(body.size())),
            static_cast<int64_t>(body.size()));
  EXPECT_FALSE(conn.flags & CONN_FAILED);
  EXPECT_EQ(conn.keepalive_server, 1);
  server_thread.join();
  std::string rest(13, '\0');
  EXPECT_EQ(conn.server->Read(rest.data(), 13, 2), 13) << "bytes after the body stay unread";
  EXPECT_EQ(rest, "NEXT RESPONSE");
  EXPECT_EQ(client_received(), body);
}

TEST_F(TransferTest, CountedBodyCutShortFailsAndKeepsWhatWasSent) {
  const std::string body = pattern(50000);
  serve([&](int fd) {
    send_all(fd, std::string_view(body).substr(0, body.size() - 10));
    shutdown(fd, SHUT_WR);
  });
  collect();
  EXPECT_EQ(net_transfer(&conn, TRANSFER_FROM_SERVER, static_cast<int64_t>(body.size())),
            static_cast<int64_t>(body.size() - 10));
  EXPECT_TRUE(conn.flags & CONN_FAILED);
  EXPECT_TRUE(conn.server->error);
  EXPECT_EQ(conn.keepalive_server, 0);
  EXPECT_EQ(client_received(), body.substr(0, body.size() - 10));
  wait_server();
}

TEST_F(TransferTest, OpenEndedBodyEndsWithTheServerClosing) {
  const std::string body = pattern(70000);
  serve([&](int fd) {
    send_all(fd, body);
    shutdown(fd, SHUT_WR);
  });
  collect();
  EXPECT_EQ(net_transfer(&conn, TRANSFER_FROM_SERVER, TRANSFER_UNTIL_CLOSE),
            static_cast<int64_t>(body.size()));
  EXPECT_FALSE(conn.flags & CONN_FAILED);
  EXPECT_EQ(client_received(), body);
  wait_server();
}

TEST_F(TransferTest, OpenEndedBodyThatStallsIsAFailureNotAnEnd) {
  conn.timeout = 1;
  std::atomic<bool> done{false};
  serve([&](int fd) {
    send_all(fd, "partial");
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  });
  collect();
  EXPECT_EQ(net_transfer(&conn, TRANSFER_FROM_SERVER, TRANSFER_UNTIL_CLOSE), 7);
  done = true;
  wait_server();
  EXPECT_TRUE(conn.flags & CONN_FAILED) << "a stall cannot be told from a complete body";
  EXPECT_EQ(client_received(), "partial");
}

TEST_F(TransferTest, ClientThatLeavesEndsTheDownload) {
  std::atomic<bool> stop{false};
  serve([&](int fd) {
    const std::string piece = pattern(16384);
    while (!stop && send_all(fd, piece)) {
    }
  });
  // The client reads a little, then goes away.
  std::string first(1000, '\0');
  client_thread = std::thread([&] {
    size_t got = 0;
    while (got < first.size()) {
      ssize_t n = recv(client_peer, first.data() + got, first.size() - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    close(client_peer);
    client_peer = -1;
  });
  const int64_t size = int64_t{1} << 34;  // far more than will ever be sent
  const int64_t moved = net_transfer(&conn, TRANSFER_FROM_SERVER, size);
  stop = true;
  conn.server.reset();
  wait_server();
  EXPECT_LT(moved, size);
  EXPECT_TRUE(conn.flags & CONN_FAILED);
  EXPECT_TRUE(conn.client->error);
  EXPECT_EQ(conn.keepalive_client, 0);
  EXPECT_EQ(conn.keepalive_server, 0);
}

TEST_F(TransferTest, DownloadSharedThroughTheCacheOutlivesItsClient) {
  struct CACHEMAP *entry = reinterpret_cast<CACHEMAP *>(&conn);  // never dereferenced here
  conn.cache = entry;
  conn.flags |= CONN_CACHING;
  transfer_cache_readers_hook = [](CACHEMAP *) { return 2; };
  const std::string body = pattern(400000);
  std::atomic<bool> client_gone{false};
  serve([&](int fd) {
    send_all(fd, body.substr(0, 1000));
    while (!client_gone) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    send_all(fd, body.substr(1000));
  });
  client_thread = std::thread([&] {
    char buf[1000];
    size_t got = 0;
    while (got < sizeof buf) {
      ssize_t n = recv(client_peer, buf, sizeof buf - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    close(client_peer);
    client_peer = -1;
    client_gone = true;
  });
  uint64_t seen = 0;
  conn.server->CallBackAdd(
      [](void *arg, ssize_t len, const char *) {
        *static_cast<uint64_t *>(arg) += static_cast<uint64_t>(len);
        return 0;
      },
      &seen, SOCK_EVENT_READ);
  EXPECT_EQ(net_transfer(&conn, TRANSFER_FROM_SERVER, static_cast<int64_t>(body.size())),
            static_cast<int64_t>(body.size()));
  EXPECT_FALSE(conn.flags & CONN_FAILED);
  EXPECT_TRUE(conn.flags & CONN_CLIENT_GONE);
  EXPECT_EQ(conn.client, nullptr);
  EXPECT_EQ(seen, body.size()) << "the read callback (the cache writer) saw the whole body";
  conn.cache = nullptr;
  wait_server();
  client_thread.join();
}

TEST_F(TransferTest, ClientPipeliningDuringADownloadKeepsItsNextRequest) {
  const std::string body = pattern(200000);
  const std::string next = "GET http://example.org/next HTTP/1.1\r\nHost: example.org\r\n\r\n";
  std::atomic<bool> sent{false};
  serve([&](int fd) {
    send_all(fd, body.substr(0, 100000));
    while (!sent) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    send_all(fd, body.substr(100000));
  });
  client_thread = std::thread([&] {
    std::string got;
    char buf[65536];
    while (got.size() < body.size()) {
      if (!sent && got.size() > 1000) {
        send_all(client_peer, next);
        sent = true;
      }
      ssize_t n = recv(client_peer, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    received = got;
  });
  EXPECT_EQ(net_transfer(&conn, TRANSFER_FROM_SERVER, static_cast<int64_t>(body.size())),
            static_cast<int64_t>(body.size()));
  client_thread.join();
  EXPECT_FALSE(conn.flags & CONN_FAILED);
  EXPECT_EQ(received, body);
  std::string line;
  ASSERT_GT(conn.client->GetLine(&line, 2), 0) << "the next request waits in the client socket";
  EXPECT_EQ(line, "GET http://example.org/next HTTP/1.1\r\n");
  wait_server();
}

TEST_F(TransferTest, RequestBodyFromClientToServer) {
  const std::string body = pattern(123457);
  client_thread = std::thread([&] { send_all(client_peer, body); });
  std::string got;
  server_thread = std::thread([&] {
    char buf[65536];
    while (got.size() < body.size()) {
      ssize_t n = recv(server_peer, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
  });
  EXPECT_EQ(net_transfer(&conn, TRANSFER_FROM_CLIENT, static_cast<int64_t>(body.size())),
            static_cast<int64_t>(body.size()));
  server_thread.join();
  EXPECT_EQ(got, body);
  EXPECT_FALSE(conn.flags & CONN_FAILED);
}

// ---- net_filebuf_read -----------------------------------------------------------------------

TEST_F(TransferTest, FilebufReadStopsAtItsLimitAndLeavesTheRestUnread) {
  const std::string body = pattern(100000);
  serve([&](int fd) { send_all(fd, body); });
  uint64_t seen = 0;
  conn.server->CallBackAdd(
      [](void *arg, ssize_t len, const char *) {
        *static_cast<uint64_t *>(arg) += static_cast<uint64_t>(len);
        return 0;
      },
      &seen, SOCK_EVENT_READ);
  Filebuf out;
  EXPECT_EQ(net_filebuf_read(&out, &conn, TRANSFER_FROM_SERVER, 100000, 30000), TRANSFER_FULL);
  EXPECT_EQ(out.view(), body.substr(0, 30000));
  EXPECT_EQ(seen, 30000u);
  EXPECT_FALSE(conn.flags & CONN_FAILED);
  EXPECT_EQ(net_filebuf_read(&out, &conn, TRANSFER_FROM_SERVER, 70000), TRANSFER_DONE);
  EXPECT_EQ(out.view(), body);
  wait_server();
}

TEST_F(TransferTest, FilebufReadResults) {
  struct Case {
    const char *what;
    std::string sent;
    bool close_after;
    int64_t size;
    bool drop;  // read into no buffer
    TransferResult expected;
    std::string kept;
  };
  const Case cases[] = {
      {"counted, whole", "0123456789", false, 10, false, TRANSFER_DONE, "0123456789"},
      {"counted, cut short", "01234", true, 10, false, TRANSFER_FAILED, "01234"},
      {"until close", "abcdef", true, TRANSFER_UNTIL_CLOSE, false, TRANSFER_DONE, "abcdef"},
      {"dropped", "0123456789", false, 10, true, TRANSFER_DONE, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    conn = CONNECTION_T();
    SetUp();
    serve([&](int fd) {
      send_all(fd, c.sent);
      if (c.close_after) shutdown(fd, SHUT_WR);
    });
    Filebuf out;
    EXPECT_EQ(net_filebuf_read(c.drop ? nullptr : &out, &conn, TRANSFER_FROM_SERVER, c.size),
              c.expected);
    EXPECT_EQ(out.view(), c.kept);
    EXPECT_EQ((conn.flags & CONN_FAILED) != 0, c.expected == TRANSFER_FAILED);
    wait_server();
  }
}

// ---- sending buffers ------------------------------------------------------------------------

TEST_F(TransferTest, ChunkedWriterFramesBlocksInLowerCaseHex) {
  const int saved = BLOCKSIZE;
  BLOCKSIZE = 8192;
  Filebuf buf;
  const std::string body = pattern(20000);
  buf.Add(body);
  collect();
  EXPECT_EQ(net_filebuf_send_chunked_p(&buf, &conn, 0), 20000);
  BLOCKSIZE = saved;
  const std::string expected = "2000\r\n" + body.substr(0, 8192) + "\r\n2000\r\n" +
                               body.substr(8192, 8192) + "\r\ne20\r\n" + body.substr(16384) +
                               "\r\n";
  EXPECT_EQ(client_received(), expected) << "no final chunk: the caller ends the body";
}

TEST_F(TransferTest, BufferSendResults) {
  Filebuf buf;
  const std::string body = pattern(500000);
  buf.Add(body);
  collect();
  EXPECT_EQ(net_filebuf_send(&buf, &conn, 0), 500000);
  EXPECT_EQ(client_received(), body);

  conn.flags |= CONN_CLIENT_GONE;
  EXPECT_EQ(net_filebuf_send(&buf, &conn, 0), 500000) << "a gone client counts as served";
  EXPECT_EQ(net_filebuf_send_chunked_p(&buf, &conn, 0), 500000);
  conn.flags &= ~CONN_CLIENT_GONE;
  EXPECT_EQ(net_filebuf_send(&buf, &conn, 0), -1) << "no client socket";

  close(server_peer);
  server_peer = -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  bool failed = false;
  for (int i = 0; i < 5 && !failed; i++) failed = net_filebuf_send(&buf, &conn, 1) < 0;
  EXPECT_TRUE(failed) << "writes to a closed server fail";
  EXPECT_TRUE(conn.server->error);
}

}  // namespace
