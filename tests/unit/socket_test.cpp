#include "socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "testutil.h"
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "filebuf.h"
#include "log.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A connected loopback TCP pair: `ours` goes into the Socket under test, `peer` stays raw.
// With `small` buffers a peer that does not read is filled quickly.
class TcpPair {
 public:
  explicit TcpPair(bool small = false) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int size = 4096;
    if (small) ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listener, 1), 0);
    EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    ours_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (small) ::setsockopt(ours_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    EXPECT_EQ(::connect(ours_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    peer_ = ::accept(listener, nullptr, nullptr);
    EXPECT_GE(peer_, 0);
    ::close(listener);
  }
  ~TcpPair() {
    if (ours_ >= 0) ::close(ours_);
    close_peer();
  }
  TcpPair(const TcpPair &) = delete;
  TcpPair &operator=(const TcpPair &) = delete;

  int take_ours() { return std::exchange(ours_, -1); }
  int peer() const { return peer_; }
  void close_peer() {
    if (peer_ >= 0) ::close(peer_);
    peer_ = -1;
  }
  void peer_send(const std::string &text) const {
    ASSERT_EQ(::send(peer_, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
  }
  // Reads everything until the other side closes its direction.
  std::string peer_read_all() const {
    std::string got;
    char buf[65536];
    for (;;) {
      ssize_t r = ::recv(peer_, buf, sizeof buf, 0);
      if (r <= 0) break;
      got.append(buf, static_cast<std::size_t>(r));
    }
    return got;
  }
  // Waits until n bytes sent by the peer are readable on `fd`.
  static void wait_readable(int fd, std::size_t n) {
    for (int i = 0; i < 500; i++) {
      std::size_t unread = 0;
      if (net_get_unread(fd, &unread) == 1 && unread >= n) return;
      std::this_thread::sleep_for(2ms);
    }
    FAIL() << "peer data did not arrive";
  }

 private:
  int ours_ = -1, peer_ = -1;
};

std::string pattern(std::size_t n, unsigned seed = 11) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto &c : s) c = static_cast<char>('a' + rng() % 26);
  return s;
}

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

class SocketLog : public ::testing::Test {
 protected:
  bool logged(const std::string &text) const { return log_.has(text); }
  LogCapture log_;
};

// ---- input buffer ------------------------------------------------------------------------

// Random fills, consumptions and put-backs against a plain string: moves, growth and reuse
// of the front room must never lose, reorder or invent a byte.
TEST(ByteQueue, BehavesLikeAStringQueue) {
  std::mt19937 rng(7);
  ByteQueue q;
  std::string model;
  unsigned next = 0;
  for (int step = 0; step < 20000; step++) {
    switch (rng() % 4) {
      case 0:
      case 1: {  // fill, committing only part of the room asked for
        const std::size_t ask = rng() % 5000, put = ask ? rng() % (ask + 1) : 0;
        char *room = q.prepare(ask);
        for (std::size_t i = 0; i < put; i++) room[i] = static_cast<char>(next++);
        q.commit(put);
        for (std::size_t i = 0; i < put; i++) model.push_back(static_cast<char>(next - put + i));
        break;
      }
      case 2: {
        const std::size_t n = model.empty() ? 0 : rng() % (model.size() + 1);
        q.consume(n);
        model.erase(0, n);
        break;
      }
      case 3: {
        const std::string back = pattern(rng() % 300, static_cast<unsigned>(step));
        q.prepend(back.data(), back.size());
        model.insert(0, back);
        break;
      }
    }
    ASSERT_EQ(q.size(), model.size()) << "step " << step;
    ASSERT_EQ(std::string(q.data(), q.size()), model) << "step " << step;
    ASSERT_GE(q.capacity(), q.size());
  }
  q.release();
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(q.capacity(), 0u);
}

// ---- reading -----------------------------------------------------------------------------

TEST(SocketRead, BufferedBytesComeFirstAndNothingIsLost) {
  TcpPair pair;
  Socket s(pair.take_ours());
  s.PushFront("abcd", 4);
  pair.peer_send("0123456789ABCDEFGHIJ");
  TcpPair::wait_readable(s.fd(), 20);
  char buf[32] = {};
  EXPECT_EQ(s.Read(buf, 10, 5), 10);
  EXPECT_EQ(std::string(buf, 10), "abcd012345");
  EXPECT_EQ(s.Read(buf, 32, 5), 14);
  EXPECT_EQ(std::string(buf, 14), "6789ABCDEFGHIJ");
  EXPECT_EQ(s.bytes_read(), 20u);
}

TEST(SocketRead, FillOnlyBuffers) {
  TcpPair pair;
  Socket s(pair.take_ours());
  pair.peer_send("hello");
  EXPECT_EQ(s.Read(nullptr, SOCK_FILL, 5), 5);
  EXPECT_EQ(s.InputPending(), 5u);
  char buf[8];
  EXPECT_EQ(s.Read(buf, 8), 5);  // from the buffer, without touching the descriptor
  EXPECT_EQ(std::string(buf, 5), "hello");
}

TEST(SocketRead, ResultsTellEndWouldBlockTimeoutAndFailureApart) {
  char buf[16];
  {
    TcpPair pair;
    Socket s(pair.take_ours());
    s.Blocking(false);
    EXPECT_EQ(s.Read(buf, sizeof buf), SOCK_WOULDBLOCK);
    EXPECT_FALSE(s.error);
    errno = 0;
    EXPECT_EQ(s.Read(buf, sizeof buf, 1), SOCK_ERROR);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_FALSE(s.error);
    pair.close_peer();
    EXPECT_EQ(s.Read(buf, sizeof buf, 1), 0);
  }
  {
    // Blocking mode without a timeout still gives up after the I/O timeout.
    TcpPair pair;
    Socket s(pair.take_ours());
    s.Blocking(true);
    s.Set_io_timeout(100ms);
    errno = 0;
    EXPECT_EQ(s.Read(buf, sizeof buf), SOCK_ERROR);
    EXPECT_EQ(errno, ETIMEDOUT);
  }
  {
    // A reset connection is a failure and marks the socket.
    TcpPair pair;
    Socket s(pair.take_ours());
    net_linger_off(pair.peer());
    pair.peer_send("x");
    pair.close_peer();
    std::this_thread::sleep_for(20ms);
    ssize_t r = s.Read(buf, sizeof buf, 1);
    if (r == 1) r = s.Read(buf, sizeof buf, 1);  // the byte may still be read first
    EXPECT_EQ(r, SOCK_ERROR);
    EXPECT_TRUE(s.error);
  }
}

// ---- lines -------------------------------------------------------------------------------

TEST(SocketGetLine, CopiesCutsAndConsumesLines) {
  struct Case {
    const char *input;
    ssize_t dstlen;
    std::size_t maxline;
    ssize_t result;
    const char *line;   // what dst holds
    const char *after;  // the next line still readable
  };
  const Case cases[] = {
      {"abcdefgh\nnext\n", 5, SOCK_LINE_MAX, 5, "abcd", "next\n"},
      {"ab\r\nnext\n", 10, SOCK_LINE_MAX, 4, "ab\r\n", "next\n"},
      {"abc\nnext\n", 4, SOCK_LINE_MAX, 4, "abc", "next\n"},
      {"abc\nnext\n", SOCK_DISCARD, SOCK_LINE_MAX, 4, nullptr, "next\n"},
      {"0123456789abcde\nnext\n", 64, 16, 16, "0123456789abcde\n", "next\n"},
      {"0123456789abcdef\nnext\n", 64, 16, SOCK_TOOLONG, nullptr, nullptr},
      {"\nnext\n", 8, SOCK_LINE_MAX, 1, "\n", "next\n"},
  };
  for (const auto &c : cases) {
    TcpPair pair;
    Socket s(pair.take_ours());
    pair.peer_send(c.input);
    char dst[64];
    std::memset(dst, 'X', sizeof dst);
    EXPECT_EQ(s.GetLine(dst, c.dstlen, 2, c.maxline), c.result) << c.input;
    if (c.line) {
      EXPECT_STREQ(dst, c.line) << c.input;
    }
    if (c.after) {
      std::string next;
      EXPECT_EQ(s.GetLine(&next, 2), static_cast<ssize_t>(std::strlen(c.after)));
      EXPECT_EQ(next, c.after);
    }
  }
}

TEST(SocketGetLine, AnEndlessLineIsRefusedWithoutBufferingIt) {
  TcpPair pair;
  Socket s(pair.take_ours());
  std::thread flood([&] {
    std::string chunk(65536, 'a');
    for (int i = 0; i < 16; i++)
      if (::send(pair.peer(), chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0) break;
  });
  char dst[128];
  EXPECT_EQ(s.GetLine(dst, sizeof dst, 5, 1000), SOCK_TOOLONG);
  EXPECT_LT(s.InputPending(), 1000u + 65536u);
  ::shutdown(s.fd(), SHUT_RDWR);
  flood.join();
}

TEST(SocketGetLine, WaitsForTheRestOfALine) {
  TcpPair pair;
  Socket s(pair.take_ours());
  pair.peer_send("GET / HT");
  std::thread later([&] {
    std::this_thread::sleep_for(50ms);
    pair.peer_send("TP/1.1\r\n");
  });
  std::string line;
  EXPECT_EQ(s.GetLine(&line, 5), 16);
  EXPECT_EQ(line, "GET / HTTP/1.1\r\n");
  later.join();
}

TEST(SocketGetLine, EndTimeoutAndWouldBlockWithoutALine) {
  std::string line;
  {
    TcpPair pair;
    Socket s(pair.take_ours());
    pair.peer_send("no end");
    pair.close_peer();
    EXPECT_EQ(s.GetLine(&line, 2), 0);
  }
  {
    TcpPair pair;
    Socket s(pair.take_ours());
    pair.peer_send("partial");
    errno = 0;
    EXPECT_EQ(s.GetLine(&line, 1), SOCK_ERROR);
    EXPECT_EQ(errno, ETIMEDOUT);
    s.Blocking(false);
    EXPECT_EQ(s.GetLine(&line, -1), SOCK_WOULDBLOCK);
    pair.peer_send(" line\n");
    TcpPair::wait_readable(s.fd(), 6);
    EXPECT_EQ(s.GetLine(&line, -1), 13);
    EXPECT_EQ(line, "partial line\n");
  }
}

TEST(SocketGetLine, PushFrontReturnsBytesToTheInput) {
  TcpPair pair;
  Socket s(pair.take_ours());
  pair.peer_send("second\nthird");
  std::string line;
  ASSERT_EQ(s.GetLine(&line, 2), 7);
  s.PushFront("first\nsec", 9);
  s.PushFront("", 0);
  EXPECT_EQ(s.GetLine(&line, 2), 6);
  EXPECT_EQ(line, "first\n");
  char buf[16];
  EXPECT_EQ(s.Read(buf, 3, 2), 3);
  EXPECT_EQ(std::string(buf, 3), "sec");
  EXPECT_EQ(s.Read(buf, sizeof buf, 2), 5);
  EXPECT_EQ(std::string(buf, 5), "third");
}

// ---- writing -----------------------------------------------------------------------------

TEST(SocketWrite, WhatTheKernelRefusesIsQueuedAndFlushedInOrder) {
  TcpPair pair(true);
  Socket s(pair.take_ours());
  const std::string a = pattern(4 << 20, 1), b = pattern(1000, 2), c = pattern(70000, 3);
  ssize_t first = s.Write(a.data(), static_cast<ssize_t>(a.size()));
  ASSERT_GE(first, 0);
  ASSERT_LT(static_cast<std::size_t>(first), a.size()) << "the peer should not take 4 MiB";
  EXPECT_EQ(s.OutputPending(), a.size() - static_cast<std::size_t>(first));

  std::string received;
  std::thread reader([&] {
    std::this_thread::sleep_for(50ms);  // let the next Write find the queue still full
    received = pair.peer_read_all();
  });
  // Pending output goes first; the new bytes follow it.
  ASSERT_GE(s.Write(b.data(), static_cast<ssize_t>(b.size())), 0);
  ASSERT_GE(s.Write(c.data(), static_cast<ssize_t>(c.size())), 0);
  EXPECT_TRUE(s.Flush());
  EXPECT_EQ(s.OutputPending(), 0u);
  ::shutdown(s.fd(), SHUT_WR);
  reader.join();
  EXPECT_EQ(received.size(), a.size() + b.size() + c.size());
  EXPECT_TRUE(received == a + b + c);
  EXPECT_EQ(s.bytes_written(), a.size() + b.size() + c.size());
  EXPECT_FALSE(s.error);
}

// A queued head leaves with the body's first write, in order, and a Flush sends a head
// that no body followed; a write too large to join still comes after what was queued.
TEST(SocketWrite, QueuedOutputLeavesWithTheNextWriteInOrder) {
  struct Case {
    const char *name;
    std::size_t body;
    bool flush_only;
  } cases[] = {{"small body", 1024, false},
               {"body beyond the joining limit", SOCK_COALESCE_MAX + 1000, false},
               {"no body", 0, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TcpPair pair;
    Socket s(pair.take_ours());
    const std::string head = "HTTP/1.1 200 OK\r\n\r\n", body = pattern(c.body);
    s.Queue(head.data(), head.size());
    EXPECT_EQ(s.OutputPending(), head.size());
    if (!c.flush_only) {
      ASSERT_GE(s.Write(body.data(), static_cast<ssize_t>(body.size())), 0);
    }
    EXPECT_TRUE(s.Flush());
    ::shutdown(s.fd(), SHUT_WR);
    EXPECT_EQ(pair.peer_read_all(), head + body);
    EXPECT_EQ(s.bytes_written(), head.size() + body.size());
  }
}

TEST_F(SocketLog, APeerThatNeverReadsCannotHoldTheWriter) {
  TcpPair pair(true);
  Socket s(pair.take_ours());
  s.Set_io_timeout(200ms);
  const std::string big = pattern(4 << 20);
  ssize_t first = s.Write(big.data(), static_cast<ssize_t>(big.size()));
  ASSERT_GE(first, 0);
  ASSERT_GT(s.OutputPending(), 0u);
  errno = 0;
  EXPECT_EQ(s.Write("more", 4), SOCK_ERROR);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_TRUE(s.error);
  EXPECT_TRUE(logged("[socket write.1:110]"));
  EXPECT_FALSE(s.Flush());
  EXPECT_EQ(s.OutputPending(), 0u);  // what could not be sent is dropped
}

TEST_F(SocketLog, FlushToAPeerThatNeverReadsFailsAfterTheTimeout) {
  TcpPair pair(true);
  Socket s(pair.take_ours());
  s.Set_io_timeout(200ms);
  const std::string big = pattern(4 << 20);
  ASSERT_GE(s.Write(big.data(), static_cast<ssize_t>(big.size())), 0);
  EXPECT_FALSE(s.Flush());
  EXPECT_TRUE(s.error);
  EXPECT_EQ(s.OutputPending(), 0u);
}

TEST_F(SocketLog, ABrokenPeerIsAReturnValue) {
  // SIGPIPE is not ignored in this process: a send without MSG_NOSIGNAL would end it.
  TcpPair pair;
  Socket s(pair.take_ours());
  pair.close_peer();
  std::string chunk(10000, 'x');
  ssize_t r = 0;
  for (int i = 0; i < 200 && r >= 0; i++) {
    r = s.Write(chunk.data(), static_cast<ssize_t>(chunk.size()));
    if (r >= 0) r = s.Flush() ? 0 : -1;
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_LT(r, 0);
  EXPECT_TRUE(s.error);
}

TEST(SocketWrite, PutSockCutsLongOutput) {
  TcpPair pair;
  Socket s(pair.take_ours());
  std::string long_text(10000, 'p');
  EXPECT_EQ(s.PutSock("%s|%d", long_text.c_str(), 5), 8191);
  EXPECT_EQ(s.PutSock("HTTP/1.%d %d %s\r\n", 1, 200, "OK"), 17);
  ::shutdown(s.fd(), SHUT_WR);
  std::string got = pair.peer_read_all();
  EXPECT_EQ(got, std::string(8191, 'p') + "HTTP/1.1 200 OK\r\n");
}

TEST(SocketWrite, WriteFilebufSendsEverything) {
  TcpPair pair(true);
  Socket s(pair.take_ours());
  Filebuf fb;
  const std::string body = pattern(1 << 20, 5);
  fb.Add(body);
  std::string got;
  std::thread reader([&] { got = pair.peer_read_all(); });
  EXPECT_GE(s.WriteFilebuf(fb), 0);
  EXPECT_EQ(s.OutputPending(), 0u);
  ::shutdown(s.fd(), SHUT_WR);
  reader.join();
  EXPECT_TRUE(got == body);
  int nodelay = 0;
  socklen_t len = sizeof nodelay;
  ASSERT_EQ(::getsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
  EXPECT_NE(nodelay, 0);
}

// ---- callbacks ---------------------------------------------------------------------------

struct Seen {
  std::vector<std::pair<int, std::string>> events;  // (tag, data or "<end>")
  int refuse_tag = -1;
};

template <int Tag>
int record(void *arg, ssize_t len, const char *buf) {
  auto *seen = static_cast<Seen *>(arg);
  seen->events.emplace_back(Tag, buf ? std::string(buf, static_cast<std::size_t>(len)) : "<end>");
  return seen->refuse_tag == Tag ? -1 : 0;
}

TEST(SocketCallBack, EventsReachMatchingCallbacksInOrder) {
  TcpPair pair;
  Socket s(pair.take_ours());
  Seen seen;
  int reader = s.CallBackAdd(record<1>, &seen, SOCK_EVENT_READ);
  int writer = s.CallBackAdd(record<2>, &seen, SOCK_EVENT_WRITE);
  int both = s.CallBackAdd(record<3>, &seen, SOCK_EVENT_READ | SOCK_EVENT_ERROR);
  EXPECT_EQ(reader, 0);
  EXPECT_EQ(writer, 1);
  EXPECT_EQ(both, 2);
  EXPECT_EQ(s.CallBackMaskGet(writer), SOCK_EVENT_WRITE);

  ASSERT_EQ(s.Write("out", 3), 3);
  pair.peer_send("in");
  char buf[8];
  ASSERT_EQ(s.Read(buf, sizeof buf, 2), 2);
  // Bytes taken by GetLine are not seen by read callbacks.
  pair.peer_send("line\n");
  std::string line;
  ASSERT_EQ(s.GetLine(&line, 2), 5);

  s.CallBackMaskSet(writer, 0);
  ASSERT_EQ(s.Write("hidden", 6), 6);
  s.CallBackRemove(reader);
  ::shutdown(pair.peer(), SHUT_WR);  // a close with unread data would reset instead
  EXPECT_EQ(s.Read(buf, sizeof buf, 2), 0);

  const std::vector<std::pair<int, std::string>> expected = {
      {2, "out"}, {1, "in"}, {3, "in"}, {3, "<end>"}};
  EXPECT_EQ(seen.events, expected);
}

TEST(SocketCallBack, ARefusingReadCallbackFailsTheRead) {
  TcpPair pair;
  Socket s(pair.take_ours());
  Seen seen;
  seen.refuse_tag = 1;
  s.CallBackAdd(record<1>, &seen, SOCK_EVENT_READ);
  s.CallBackAdd(record<2>, &seen, SOCK_EVENT_READ);
  pair.peer_send("data");
  char buf[8];
  EXPECT_EQ(s.Read(buf, sizeof buf, 2), SOCK_ERROR);
  ASSERT_EQ(seen.events.size(), 1u);  // the walk stops at the refusal
  EXPECT_EQ(seen.events[0].second, "data");
}

TEST(SocketCallBackDeathTest, UnknownIdsAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Seen seen;
  EXPECT_EXIT(
      {
        Socket s;
        s.CallBackAdd(record<1>, &seen, SOCK_EVENT_READ);
        s.CallBackRemove(7);
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(
      {
        Socket s;
        s.CallBackMaskSet(0, 1);
      },
      ::testing::ExitedWithCode(1), "");
}

// ---- throttling --------------------------------------------------------------------------

// A group on a clock the test moves.
class ManualGroup : public LimitGroup {
 public:
  explicit ManualGroup(uint64_t rate) : LimitGroup(rate) {}
  void advance(std::chrono::milliseconds d) { t_ += d; }
  Clock::time_point slept_until{};

 protected:
  Clock::time_point now() const override { return t_; }
  void sleep_until(Clock::time_point t) override {
    slept_until = t;
    t_ = t;
  }

 private:
  Clock::time_point t_ = Clock::time_point() + 1h;
};

TEST(LimitGroup, WindowsHandOutTheSlice) {
  ManualGroup g(100000);
  ASSERT_EQ(g.slice(), 10000u);
  const auto t0 = Clock::time_point() + 1h;  // the manual clock's start
  struct Step {
    int advance_ms;
    uint64_t moved_before;  // bytes added with Incr before asking
    uint64_t allowance;
    int slept_to_ms;        // where the group slept to, from t0; -1: no sleep
  };
  const Step steps[] = {
      {0, 0, 10000, -1},       // first use opens a window at t0
      {10, 3000, 7000, -1},    // within the window: what is left of the slice
      {20, 7000, 10000, 100},  // used up: sleep to the window's end, then a new window
      {50, 4000, 6000, -1},
      {49, 0, 6000, -1},       // 99 ms into the window it still counts
      {1, 0, 10000, -1},       // 100 ms: a fresh window
      {0, 20000, 10000, 300},  // an overshoot also waits for the window's end
  };
  for (const auto &st : steps) {
    g.advance(std::chrono::milliseconds(st.advance_ms));
    if (st.moved_before) g.Incr(st.moved_before);
    g.slept_until = {};
    EXPECT_EQ(g.Throttle(), st.allowance) << st.advance_ms;
    if (st.slept_to_ms < 0) {
      EXPECT_EQ(g.slept_until, Clock::time_point{}) << st.advance_ms;
    } else {
      EXPECT_EQ(g.slept_until, t0 + std::chrono::milliseconds(st.slept_to_ms)) << st.advance_ms;
    }
  }
}

TEST(LimitGroup, EveryNonZeroRateLimits) {
  EXPECT_EQ(LimitGroup(0).slice(), 0u);
  EXPECT_EQ(LimitGroup(0).Throttle(), 0u);  // 0 = no limit
  ManualGroup slow(5);
  EXPECT_EQ(slow.Throttle(), 5u);
  slow.Incr(5);
  slow.advance(500ms);
  EXPECT_EQ(slow.Throttle(), 5u);  // waited for the end of a one-second window
  EXPECT_EQ(slow.slept_until - (Clock::time_point() + 1h), Clock::duration(1s));
}

TEST(SocketThrottle, WritesKeepToTheGroupRate) {
  TcpPair pair;
  Socket s(pair.take_ours());
  const uint64_t rate = 1000000;
  s.SetRate(nullptr, std::make_shared<LimitGroup>(rate));
  EXPECT_EQ(s.Throttle(0), 0u);
  const std::string body = pattern(1000000);
  std::string got;
  std::thread reader([&] { got = pair.peer_read_all(); });
  auto t0 = Clock::now();
  ASSERT_GE(s.Write(body.data(), static_cast<ssize_t>(body.size())), 0);
  ASSERT_TRUE(s.Flush());
  double elapsed = seconds_since(t0);
  ::shutdown(s.fd(), SHUT_WR);
  reader.join();
  EXPECT_TRUE(got == body);
  double measured = static_cast<double>(body.size()) / elapsed;
  EXPECT_LT(measured, 2.0 * rate);
  EXPECT_GT(measured, rate / 4.0);
}

TEST(SocketThrottle, ReadsKeepToTheGroupRate) {
  TcpPair pair;
  Socket s(pair.take_ours());
  const uint64_t rate = 1000000;
  s.SetRate(std::make_shared<LimitGroup>(rate), nullptr);
  const std::string body = pattern(1000000, 4);
  std::thread writer([&] {
    ::send(pair.peer(), body.data(), body.size(), MSG_NOSIGNAL);
    ::shutdown(pair.peer(), SHUT_WR);
  });
  std::string got;
  std::vector<char> buf(65536);
  auto t0 = Clock::now();
  for (;;) {
    ssize_t r = s.Read(buf.data(), static_cast<ssize_t>(buf.size()), 5);
    if (r <= 0) break;
    EXPECT_LE(static_cast<uint64_t>(r), rate / 10);
    got.append(buf.data(), static_cast<std::size_t>(r));
  }
  double elapsed = seconds_since(t0);
  writer.join();
  EXPECT_TRUE(got == body);
  double measured = static_cast<double>(body.size()) / elapsed;
  EXPECT_LT(measured, 2.0 * rate);
  EXPECT_GT(measured, rate / 4.0);
}

TEST(SocketThrottle, AGroupLimitsAllItsSocketsTogether) {
  const uint64_t rate = 1000000;
  auto group = std::make_shared<LimitGroup>(rate);
  TcpPair p1, p2;
  auto s1 = std::make_unique<Socket>(p1.take_ours());
  auto s2 = std::make_unique<Socket>(p2.take_ours());
  s1->SetRate(nullptr, group);
  s2->SetRate(nullptr, group);
  EXPECT_EQ(group.use_count(), 3);
  const std::string body = pattern(500000, 6);
  std::string got1, got2;
  std::thread r1([&] { got1 = p1.peer_read_all(); });
  std::thread r2([&] { got2 = p2.peer_read_all(); });
  auto send_all = [&](Socket *s) {
    EXPECT_GE(s->Write(body.data(), static_cast<ssize_t>(body.size())), 0);
    EXPECT_TRUE(s->Flush());
    ::shutdown(s->fd(), SHUT_WR);
  };
  auto t0 = Clock::now();
  std::thread w1(send_all, s1.get()), w2(send_all, s2.get());
  w1.join();
  w2.join();
  double elapsed = seconds_since(t0);
  r1.join();
  r2.join();
  EXPECT_TRUE(got1 == body && got2 == body);
  double measured = 2.0 * static_cast<double>(body.size()) / elapsed;
  EXPECT_LT(measured, 2.0 * rate);
  s1.reset();
  s2.reset();
  EXPECT_EQ(group.use_count(), 1);  // the sockets dropped their references
}

// ---- life and descriptor helpers ---------------------------------------------------------

uint64_t hook_in = 0, hook_out = 0;
void count_bytes(uint64_t in, uint64_t out) {
  hook_in += in;
  hook_out += out;
}

TEST(SocketLife, DestructionClosesAndCountsBytes) {
  TcpPair pair;
  int fd;
  hook_in = hook_out = 0;
  socket_bytes_hook = count_bytes;
  {
    Socket s(pair.take_ours());
    fd = s.fd();
    pair.peer_send("12345");
    char buf[8];
    ASSERT_EQ(s.Read(buf, sizeof buf, 2), 5);
    ASSERT_EQ(s.Write("ab", 2), 2);
  }
  socket_bytes_hook = nullptr;
  EXPECT_EQ(hook_in, 5u);
  EXPECT_EQ(hook_out, 2u);
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  char got[8];
  EXPECT_EQ(::recv(pair.peer(), got, sizeof got, 0), 2);
  EXPECT_EQ(::recv(pair.peer(), got, sizeof got, 0), 0);  // closed
}

TEST(SocketLife, BlockingIsTheSocketsModeNotTheDescriptors) {
  TcpPair pair;
  Socket s(pair.take_ours());
  EXPECT_TRUE(s.IsBlocking());
  s.Blocking(false);
  EXPECT_FALSE(s.IsBlocking());
  EXPECT_FALSE(::fcntl(s.fd(), F_GETFL) & O_NONBLOCK);  // no system call per mode change
  char c;
  EXPECT_EQ(s.Read(&c, 1), SOCK_WOULDBLOCK);
  s.Blocking(true);
  EXPECT_EQ(net_blocking(s.fd(), false), 0);
  EXPECT_TRUE(::fcntl(s.fd(), F_GETFL) & O_NONBLOCK);
  Socket adopted(::dup(s.fd()));
  EXPECT_FALSE(adopted.IsBlocking());  // a descriptor keeps the mode it came with
}

TEST_F(SocketLog, DescriptorHelpers) {
  TcpPair pair;
  int fd = pair.take_ours();
  Socket s(fd);
  std::size_t n = 99;
  EXPECT_EQ(net_get_unread(fd, &n), 0);
  EXPECT_EQ(n, 0u);
  pair.peer_send("seven!!");
  TcpPair::wait_readable(fd, 7);
  EXPECT_EQ(net_get_unread(fd, &n), 1);
  EXPECT_EQ(n, 7u);
  EXPECT_EQ(net_get_unread(0, &n), -1);
  EXPECT_EQ(net_get_unsent(0, &n), -1);
  EXPECT_GE(net_get_unsent(fd, &n), 0);

  EXPECT_EQ(set_nodelay(fd, true), 0);
  int v = 0;
  socklen_t len = sizeof v;
  ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, &len);
  EXPECT_NE(v, 0);
  EXPECT_EQ(set_nodelay(0, true), 0);  // ignored

  int pipefd[2];
  ASSERT_EQ(::pipe(pipefd), 0);
  EXPECT_EQ(set_nodelay(pipefd[0], true), -ENOTSOCK);
  EXPECT_TRUE(logged("[socket read TCP_NODELAY retune :88]"));
  EXPECT_EQ(net_get_unread(-5, &n), -1);
  EXPECT_LT(net_blocking(1000000, true), 0);
  EXPECT_TRUE(logged("net_blocking 9:"));
  ::close(pipefd[0]);
  ::close(pipefd[1]);

  EXPECT_EQ(net_get_error(fd, "here", 42), 0);
  EXPECT_EQ(net_get_error(1000000, "there", 7), EBADF);
  EXPECT_TRUE(logged("there:7 wsaerr: [9:"));

  net_linger_off(fd);
  linger l{};
  len = sizeof l;
  ::getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len);
  EXPECT_EQ(l.l_onoff, 1);
  EXPECT_EQ(l.l_linger, 0);
}

TEST_F(SocketLog, PendingErrorIsReported) {
  // A refused non-blocking connect leaves ECONNREFUSED pending on the descriptor.
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr *>(&addr), &len), 0);
  ::close(probe);  // nothing listens on this port now
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
  int r = ::connect(s.fd(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  ASSERT_TRUE(r == 0 || errno == EINPROGRESS || errno == ECONNREFUSED);
  pollfd p{s.fd(), POLLOUT, 0};
  ::poll(&p, 1, 2000);
  EXPECT_EQ(net_get_error(s.fd(), "connect", 9), ECONNREFUSED);
  EXPECT_TRUE(logged("connect:9 so_err: [111:"));
}

}  // namespace
