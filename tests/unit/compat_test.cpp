#include "compat.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "log.h"

namespace {

// ---- error names -------------------------------------------------------------------------

TEST(WsaStrerror, NamesAndDescriptions) {
  struct Row {
    int code;
    const char *text;
  };
  const Row rows[] = {
      {EPERM, "EPERM: Operation not permitted"},
      {EINTR, "EINTR: Interrupted function call ."},
      {EAGAIN, "EAGAIN: Resource temporarily unavailable"},
      {ECONNREFUSED, "ECONNREFUSED: Connection refused"},
      {129, "EKEYREJECTED: Key was rejected by service"},
      {0, ""},
      {41, "OK"},  // unused on Linux
      {130, "OK"},
      {500, "OK"},
      {-1, "OK"},
      {INT_MIN, "OK"},
  };
  for (const Row &r : rows) EXPECT_STREQ(wsa_strerror(r.code), r.text) << r.code;
}

TEST(WsaStrerror, EveryNameIsThePlatformsOwn) {
  for (int code = 1; code <= 129; ++code) {
    const char *name = strerrorname_np(code);
    if (!name) {
      EXPECT_STREQ(wsa_strerror(code), "OK") << code;
      continue;
    }
    const std::string text = wsa_strerror(code);
    const std::string prefix = std::string(name) + ": ";
    ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0) << code << " " << text;
    if (code != EINTR) {
      EXPECT_EQ(text.substr(prefix.size()), strerrordesc_np(code)) << code;
    }
  }
}

// ---- Base64 ------------------------------------------------------------------------------

struct Rfc4648 {
  const char *plain, *encoded;
};
const Rfc4648 RFC4648[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, Rfc4648Vectors) {
  for (const auto &v : RFC4648) {
    EXPECT_EQ(base64_encode(v.plain), v.encoded);
    EXPECT_EQ(base64_decode(v.encoded), std::optional<std::string>(v.plain)) << v.encoded;

    const int n = static_cast<int>(std::strlen(v.plain));
    std::vector<unsigned char> out(base64_encoded_size(static_cast<std::size_t>(n)) + 4, 0xAA);
    to64frombits(out.data(), reinterpret_cast<const unsigned char *>(v.plain), n);
    const std::size_t len = std::strlen(v.encoded);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out.data()), len), v.encoded);
    EXPECT_EQ(out[len], 0) << "terminated";
    EXPECT_EQ(out.size() - 4, len + 1) << "base64_encoded_size is exact";
    EXPECT_EQ(out[len + 1], 0xAA) << "nothing written after the terminator";

    unsigned char decoded[16];
    EXPECT_EQ(from64tobits(decoded, sizeof decoded, v.encoded), n);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(decoded), static_cast<std::size_t>(n)), v.plain);
  }
}

TEST(Base64, RoundTripsEveryByteAtEveryLength) {
  std::string data;
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<char>(255 - i));
  for (std::size_t n = 0; n <= data.size(); ++n) {
    const std::string part = data.substr(0, n);
    const std::string text = base64_encode(part);
    EXPECT_EQ(text.size(), base64_encoded_size(n) - 1);
    EXPECT_EQ(base64_decode(text), std::optional<std::string>(part)) << n;
  }
}

TEST(Base64, DecoderGrammar) {
  struct Row {
    const char *text;
    int result;         // bytes, or -1
    const char *bytes;  // expected output when result >= 0
  };
  const Row rows[] = {
      {"+ Zm9v", 3, "foo"},  // continuation prefix skipped
      {"+Zm9v", -1, ""},     // no blank: "+" is data, leaving "v" alone at the end
      {"\rZm9v", 0, ""},
      {"Zm9v\r\nZm9v", 3, "foo"},   // stops at the carriage return
      {"Zm9vYg==Zm9v", 4, "foob"},  // stops after a padded group
      {"Zm9vYg", 4, "foob"},        // short last group, unpadded
      {"Zm9vYmE", 5, "fooba"},
      {"Zg=", 1, "f"},
      {"Zm9vYmE\r", 5, "fooba"},
      {"Zm9vY", -1, ""},  // one character cannot make a byte
      {"=", -1, ""},
      {"Z===", -1, ""},
      {"Zm=v", -1, ""},  // data after padding
      {"Zm9v!", -1, ""},
      {"Zm 9v", -1, ""},
      {"Zm9v\n", -1, ""},
      {"Zm9\xc3\xa9", -1, ""},
      {"", 0, ""},
  };
  for (const Row &r : rows) {
    unsigned char out[32];
    const int got = from64tobits(out, sizeof out, r.text);
    EXPECT_EQ(got, r.result) << r.text;
    if (got >= 0 && got == r.result) {
      EXPECT_EQ(std::string(reinterpret_cast<char *>(out), static_cast<std::size_t>(got)), r.bytes)
          << r.text;
    }
    EXPECT_EQ(base64_decode(r.text).has_value(), r.result >= 0) << r.text;
  }
  EXPECT_EQ(from64tobits(nullptr, 0, nullptr), -1);
}

TEST(Base64, DecoderNeverWritesPastItsCapacity) {
  struct Row {
    const char *text;
    std::size_t capacity;
    int result;
  };
  const Row rows[] = {
      {"Zm9vYmFy", 6, 6},  {"Zm9vYmFy", 5, -1}, {"Zm9vYmFy", 0, -1}, {"Zm9vYmE=", 5, 5},
      {"Zm9vYmE=", 4, -1}, {"Zg==", 1, 1},      {"", 0, 0},          {"\r", 0, 0},
  };
  for (const Row &r : rows) {
    std::vector<unsigned char> out(r.capacity + 8, 0xAA);
    EXPECT_EQ(from64tobits(out.data(), r.capacity, r.text), r.result)
        << r.text << " into " << r.capacity;
    for (std::size_t i = r.capacity; i < out.size(); ++i)
      ASSERT_EQ(out[i], 0xAA) << r.text << " wrote byte " << i;
  }
}

TEST(Base64, ShortGroupAtTheEndOfTheBufferIsNotOverread) {
  // A heap copy without anything after it, so the sanitizer sees any read past the text.
  struct Row {
    const char *text;
    int result;
  };
  for (const Row &r : {Row{"Zm9vYg", 4}, Row{"Zm9vYmE", 5}, Row{"Zm9vY", -1}, Row{"Zm", 1},
                       Row{"Z", -1}, Row{"Zg=", 1}}) {
    const std::size_t n = std::strlen(r.text) + 1;
    std::unique_ptr<char[]> exact(new char[n]);
    std::memcpy(exact.get(), r.text, n);
    unsigned char out[8];
    EXPECT_EQ(from64tobits(out, sizeof out, exact.get()), r.result) << r.text;
    EXPECT_EQ(base64_decode(std::string_view(exact.get(), n - 1)).has_value(), r.result >= 0);
  }
}

// ---- files, directories, poll, mappings --------------------------------------------------

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qm-compat-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  static bool is_dir(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  std::string dir_;
};

TEST_F(TempDir, CreateRecursiveDirectory) {
  const std::string deep = dir_ + "/a/b//c/";
  const mode_t old_mask = ::umask(0);
  EXPECT_EQ(create_recursive_directory(deep.c_str()), 1);
  ::umask(old_mask);
  EXPECT_TRUE(is_dir(dir_ + "/a/b/c"));
  struct stat st;
  ASSERT_EQ(::stat((dir_ + "/a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(create_recursive_directory(deep.c_str()), 1) << "existing directories are fine";

  // A file in the way is a failure, logged with the whole path.
  const std::string file = dir_ + "/a/file";
  int fd = ::open(file.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ::close(fd);
  LogBuffer lines(10);
  log_buffer = &lines;
  const std::string through_file = file + "/sub";
  EXPECT_EQ(create_recursive_directory(through_file.c_str()), -1);
  EXPECT_EQ(create_recursive_directory(file.c_str()), -1);
  log_buffer = nullptr;
  auto got = lines.lines();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(
      got[1].find("[system: mkdir:" + std::to_string(ENOTDIR) + ":" + std::strerror(ENOTDIR) +
                  "], in create_recursive_directory, failed to create directory " + through_file),
      std::string::npos)
      << got[1];
  EXPECT_NE(got[0].find("failed to create directory " + file), std::string::npos) << got[0];

  EXPECT_EQ(create_recursive_directory(""), -1);
  EXPECT_EQ(create_recursive_directory(nullptr), -1);
}

TEST_F(TempDir, CreateRecursiveDirectoryRelativeToTheWorkingDirectory) {
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir_.c_str()), 0);
  const int result = create_recursive_directory("x/y");
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(is_dir(dir_ + "/x/y"));
}

TEST(Compat, PollClearsStaleEvents) {
  int ready[2], idle[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(idle), 0);
  ASSERT_EQ(::write(ready[1], "x", 1), 1);
  pollfd fds[3] = {
      {ready[0], POLLIN, POLLERR},
      {idle[0], POLLIN, POLLIN | POLLHUP},
      {-1, POLLIN, POLLIN},
  };
  EXPECT_EQ(p_poll(fds, 3, 0), 1);
  EXPECT_EQ(fds[0].revents, POLLIN);
  EXPECT_EQ(fds[1].revents, 0);
  EXPECT_EQ(fds[2].revents, 0);
  for (int fd : {ready[0], ready[1], idle[0], idle[1]}) ::close(fd);
}

TEST(Compat, GethostbynameGivesTheFirstIpv4Address) {
  auto a = p_gethostbyname("127.0.0.1");
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->s_addr, htonl(INADDR_LOOPBACK));
  auto b = p_gethostbyname("10.1.2.3");
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(b->s_addr, htonl(0x0a010203));
  EXPECT_FALSE(p_gethostbyname("::1").has_value());  // no IPv4 address
  EXPECT_FALSE(p_gethostbyname("").has_value());
  EXPECT_FALSE(p_gethostbyname(nullptr).has_value());
}

TEST(Compat, MremapMovesTheContents) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void *p = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  std::memcpy(p, "mapped", 7);
  void *q = p_mremap(p, page, 256 * page);
  ASSERT_NE(q, MAP_FAILED);
  EXPECT_STREQ(static_cast<char *>(q), "mapped");
  static_cast<char *>(q)[256 * page - 1] = 1;  // the new length is usable
  ::munmap(q, 256 * page);
}

// ---- descriptor wrappers -----------------------------------------------------------------

int client_flushes = 0, server_flushes = 0;
int descriptor_to_free = -1;  // closed by the client-pool hook, as a pool flush would

void count_client_flush() {
  ++client_flushes;
  if (descriptor_to_free >= 0) {
    ::close(descriptor_to_free);
    descriptor_to_free = -1;
  }
}
void count_server_flush() { ++server_flushes; }

class DescriptorWrappers : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = pool_flush_hooks;
    pool_flush_hooks.clean_client_pool = count_client_flush;
    pool_flush_hooks.clean_server_pool = count_server_flush;
    client_flushes = server_flushes = 0;
    descriptor_to_free = -1;
    log_buffer = &lines_;
  }
  void TearDown() override {
    log_buffer = nullptr;
    pool_flush_hooks = saved_;
  }
  LogBuffer lines_{50};
  PoolFlushHooks saved_;
};

int count_containing(const std::vector<std::string> &lines, const std::string &fragment) {
  int n = 0;
  for (const auto &l : lines) n += l.find(fragment) != std::string::npos;
  return n;
}

// Runs body in a child process (the descriptor limit is lowered there only) and returns
// what it reports: an empty text when every check held.
std::string in_child(const std::function<std::string()> &body) {
  int report[2];
  if (::pipe(report) != 0) return "pipe failed";
  pid_t pid = ::fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    ::close(report[0]);
    const std::string problems = body();
    std::size_t done = 0;
    while (done < problems.size()) {
      ssize_t w = ::write(report[1], problems.data() + done, problems.size() - done);
      if (w <= 0) break;
      done += static_cast<std::size_t>(w);
    }
    ::_exit(0);
  }
  ::close(report[1]);
  std::string problems;
  char buf[512];
  ssize_t r;
  while ((r = ::read(report[0], buf, sizeof buf)) > 0)
    problems.append(buf, static_cast<std::size_t>(r));
  ::close(report[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    problems += " child ended with status " + std::to_string(status);
  return problems;
}

// Uses up every descriptor the (lowered) limit allows; returns one of them to hand to the
// flush hook, or -1.
int exhaust_descriptors() {
  rlimit low{128, 128};
  if (::setrlimit(RLIMIT_NOFILE, &low) != 0) return -1;
  int source = ::open("/dev/null", O_RDONLY);
  if (source < 0) return -1;
  int last = source;
  for (;;) {
    int fd = ::dup(source);
    if (fd < 0) break;
    last = fd;
  }
  return errno == EMFILE ? last : -1;
}

struct WrapperCase {
  const char *name;
  // Opens one descriptor through the wrapper; >= 0 on success.
  std::function<int()> open;
  std::string failure_line;  // logged, with errno EMFILE, when the retry fails too
  bool logs_first_failure;   // s_accept logs every failure, retried or not
};

std::vector<WrapperCase> wrapper_cases(int listener) {
  const std::string emfile = std::to_string(EMFILE) + ":" + std::strerror(EMFILE);
  return {
      {"s_open", [] { return s_open("/dev/null", O_RDONLY); },
       "s_open: [system: open:" + emfile + "] failed to open file /dev/null", false},
      {"s_open64", [] { return s_open64("/dev/null", O_RDONLY); },
       "[system: open64:" + emfile + "], in s_open64, failed to open file /dev/null", false},
      {"s_fopen",
       [] {
         FILE *f = s_fopen("/dev/null", "r");
         return f ? ::fileno(f) : -1;
       },
       "[system: fopen:" + emfile + "], in s_fopen, unable to open file", false},
      {"s_opendir",
       [] {
         DIR *d = s_opendir("/");
         return d ? ::dirfd(d) : -1;
       },
       "[system: opendir:" + emfile + "], in s_opendir, unable to open directory", false},
      {"s_socket", [] { return s_socket(AF_INET, SOCK_STREAM, 0); },
       "s_socket: [system: socket:" + emfile + "] unable to create socket", false},
      {"s_accept",
       [listener] {
         sockaddr_in peer{};
         socklen_t len = sizeof peer;
         int fd = s_accept(listener, reinterpret_cast<sockaddr *>(&peer), &len);
         return fd >= 0 && len == sizeof peer && peer.sin_addr.s_addr == htonl(INADDR_LOOPBACK)
                    ? fd
                    : -1;
       },
       "[system: accept:" + emfile + "], in s_accept, unable to connect on a socket", true},
  };
}

// A loopback listener with one connection waiting to be accepted.
int listener_with_pending_connection() {
  int l = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (l < 0 || ::bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(l, 4) != 0 ||
      ::getsockname(l, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    return -1;
  int c = ::socket(AF_INET, SOCK_STREAM, 0);
  if (c < 0 || ::connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return -1;
  return l;
}

TEST_F(DescriptorWrappers, ExhaustionFlushesThePoolsAndRetriesOnce) {
  for (int case_index = 0; case_index < 6; ++case_index) {
    for (bool flush_frees : {true, false}) {
      std::string problems = in_child([&]() -> std::string {
        const int listener = listener_with_pending_connection();
        if (listener < 0) return "no listener";
        const WrapperCase c = wrapper_cases(listener)[static_cast<std::size_t>(case_index)];
        const int spare = exhaust_descriptors();
        if (spare < 0) return "could not exhaust descriptors";
        if (flush_frees) descriptor_to_free = spare;

        errno = 0;
        const int fd = c.open();
        const int err = errno;
        std::string p;
        auto check = [&](bool ok, const std::string &what) {
          if (!ok)
            p += std::string(c.name) + (flush_frees ? " (flush frees one)" : " (nothing freed)") +
                 ": " + what + "\n";
        };
        const auto lines = lines_.lines();
        check(client_flushes == 1 && server_flushes == 1,
              "pools flushed " + std::to_string(client_flushes) + "/" +
                  std::to_string(server_flushes) + " times");
        check(count_containing(
                  lines, "failure opening file descriptor, attempting to free resources") == 1,
              "fd_failure line missing");
        const int failure_lines = count_containing(lines, c.failure_line);
        if (flush_frees) {
          check(fd >= 0, "retry did not succeed, errno " + std::to_string(err));
          check(failure_lines == (c.logs_first_failure ? 1 : 0),
                std::to_string(failure_lines) + " failure lines");
        } else {
          check(fd < 0 && err == EMFILE,
                "expected EMFILE, got fd " + std::to_string(fd) + " errno " + std::to_string(err));
          check(failure_lines == (c.logs_first_failure ? 2 : 1),
                std::to_string(failure_lines) + " failure lines");
        }
        if (!p.empty())
          for (const auto &l : lines) p += "  log: " + l + "\n";
        return p;
      });
      EXPECT_EQ(problems, "");
    }
  }
}

TEST_F(DescriptorWrappers, OtherFailuresAreSilent) {
  const std::string missing = "/nonexistent-qm/file";
  errno = 0;
  EXPECT_EQ(s_open(missing.c_str(), O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(s_open64(missing.c_str(), O_RDONLY), -1);
  EXPECT_EQ(s_fopen(missing.c_str(), "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(s_opendir(missing.c_str()), nullptr);
  EXPECT_EQ(s_socket(-1, SOCK_STREAM, 0), -1);
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  EXPECT_EQ(s_accept(p[0], nullptr, nullptr), -1);
  EXPECT_EQ(errno, ENOTSOCK);
  ::close(p[0]);
  ::close(p[1]);
  EXPECT_EQ(client_flushes + server_flushes, 0);
  EXPECT_EQ(lines_.count(), 0);

  // accept reports what is not descriptor exhaustion, without flushing anything.
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  EXPECT_EQ(s_accept(s, nullptr, nullptr), -1);  // not listening
  EXPECT_EQ(errno, EINVAL);
  ::close(s);
  EXPECT_EQ(client_flushes + server_flushes, 0);
  EXPECT_EQ(count_containing(lines_.lines(), "[system: accept:" + std::to_string(EINVAL) + ":" +
                                                 std::strerror(EINVAL) +
                                                 "], in s_accept, unable to connect on a socket"),
            1);
}

TEST_F(DescriptorWrappers, SinglePoolFlushes) {
  descriptor_to_free = -1;
  client_pool_failure();
  EXPECT_EQ(client_flushes, 1);
  EXPECT_EQ(server_flushes, 0);
  server_pool_failure();
  EXPECT_EQ(client_flushes, 1);
  EXPECT_EQ(server_flushes, 1);
  fd_failure();
  EXPECT_EQ(client_flushes, 2);
  EXPECT_EQ(server_flushes, 2);
  const auto lines = lines_.lines();
  EXPECT_EQ(count_containing(lines, "flushing client pool, attempting to free resources"), 1);
  EXPECT_EQ(count_containing(lines, "flushing outbound connections, attempting to free resources"),
            1);
  EXPECT_EQ(
      count_containing(lines, "failure opening file descriptor, attempting to free resources"), 1);

  // Without pools there is nothing to flush.
  pool_flush_hooks = PoolFlushHooks{};
  fd_failure();
  client_pool_failure();
  server_pool_failure();
  EXPECT_EQ(client_flushes, 2);
}

}  // namespace
