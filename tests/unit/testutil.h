// Helpers shared by the unit tests.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "log.h"
#include "main.h"

// Collects the lines logged while it lives (through the recent-lines buffer) and puts the
// previous buffer back afterwards.
class LogCapture {
 public:
  explicit LogCapture(int capacity = 200) : lines_(capacity), saved_(log_buffer) {
    log_buffer = &lines_;
  }
  ~LogCapture() { log_buffer = saved_; }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  int count(const std::string &fragment) const {
    int n = 0;
    for (const auto &l : lines_.lines())
      if (l.find(fragment) != std::string::npos) ++n;
    return n;
  }
  bool has(const std::string &fragment) const { return count(fragment) > 0; }
  std::vector<std::string> lines() const { return lines_.lines(); }
  void clear() { lines_.clear(); }

 private:
  LogBuffer lines_;
  LogBuffer *saved_;
};

// The fatal-assertion path of `module` taken in `function`: the assertion line is logged
// (to standard output in the foreground, redirected to where the death test reads) and the
// process ends with status 1.
#define EXPECT_FATAL_IN(module, statement, function) \
  EXPECT_EXIT(                                       \
      {                                              \
        daemonize = 0;                               \
        dup2(2, 1);                                  \
        statement;                                   \
      },                                             \
      ::testing::ExitedWithCode(1), "ASSERTION: " module ":[0-9]+ in function " function)

// The schema file of the checkout (CTest sets QM_SOURCE_DIR; the build knows it too).
inline std::string schema_path() {
  const char *env = std::getenv("QM_SOURCE_DIR");
  return std::string(env != nullptr && *env != '\0' ? env : QM_SOURCE_DIR) + "/conf/section.xml";
}

// Both ends (server side, client side) of a fresh loopback TCP connection; {-1, -1} on failure.
inline std::pair<int, int> tcp_pair() {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    return {-1, -1};
  int c = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return {-1, -1};
  int s = accept(listener, nullptr, nullptr);
  close(listener);
  return {s, c};
}

// Sends everything or returns false.
inline bool send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Everything until the peer closes, or until nothing came for `quiet_ms`.
inline std::string read_all(int fd, int quiet_ms = 10000) {
  std::string out;
  char buf[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, quiet_ms) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}
