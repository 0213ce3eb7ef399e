#include "main.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Runs options_parse over a command line built from `args` (argv[0] added).
OptionsResult parse(std::vector<std::string> args) {
  args.insert(args.begin(), "quillmoss");
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  opterr = 0;  // keep getopt quiet about the deliberately bad options
  return options_parse(static_cast<int>(args.size()), argv.data());
}

void reset_settings() {
  MAXTHREADS = MAXTHREADS_LIMIT;
  opt_stack = 0;
  max_opt_stack = 1048576;
  SND_BUF = RCV_BUF = BLOCKSIZE = 8192;
  password_cachesize = 8111;
  password_cachexpire = 600;
  authflag = 0;
  moduledir = "/opt/quillmoss/modules/";
  listenip.clear();
  listenport = 0;
  THREAD_TIMEOUT = 1;
  orvexfeed.clear();
  slogfile.clear();
  logfile.clear();
  configfile.clear();
}

}  // namespace

TEST(Options, NumericSettings) {
  struct Case {
    std::vector<std::string> args;
    int maxthreads;
    unsigned long stack;
    int snd, rcv, blocksize;
  };
  const Case cases[] = {
      {{"-t", "20000"}, 16384, 1048576, 8192, 8192, 8192},
      {{"-t", "16384"}, 16384, 1048576, 8192, 8192, 8192},
      {{"-t", "100"}, 100, 1048576, 8192, 8192, 8192},
      {{"-t", "0"}, 16384, 1048576, 8192, 8192, 8192},   // no thread could start: ignored
      {{"-t", "-5"}, 16384, 1048576, 8192, 8192, 8192},
      {{"-z", "20"}, 16384, 1048576, 8192, 8192, 8192},
      {{"-z", "0"}, 16384, 64 * 1024, 8192, 8192, 8192},  // 1 byte would crash: clamped
      {{"-z", "40"}, 16384, 1024UL * 1024 * 1024, 8192, 8192, 8192},
      {{"-b", "16384:4096"}, 16384, 1048576, 16384, 4096, 16384},
      {{"-b", "4096:4096"}, 16384, 1048576, 4096, 4096, 8192},
      {{"-b", ":32768"}, 16384, 1048576, 8192, 32768, 32768},
      {{"-b", "-1:-1"}, 16384, 1048576, 8192, 8192, 8192},  // negative values ignored
  };
  for (const auto &c : cases) {
    reset_settings();
    ASSERT_EQ(parse(c.args), OptionsResult::Run);
    EXPECT_EQ(MAXTHREADS, c.maxthreads) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(max_opt_stack, c.stack) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(SND_BUF, c.snd) << c.args[1];
    EXPECT_EQ(RCV_BUF, c.rcv) << c.args[1];
    EXPECT_EQ(BLOCKSIZE, c.blocksize) << c.args[1];
  }
}

TEST(Options, PasswordCache) {
  struct Case {
    const char *arg;
    OptionsResult result;
    int size, age, authflag;
  };
  const Case cases[] = {
      {"100", OptionsResult::ExitError, 8111, 600, 0},
      {"0:0", OptionsResult::Run, 8111, 600, 1},
      {"0:300", OptionsResult::Run, 0, 300, 0},
      {"50:0", OptionsResult::Run, 50, 0, 0},
      {"-1:-1", OptionsResult::Run, 8111, 600, 0},
  };
  for (const auto &c : cases) {
    reset_settings();
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse({"-P", c.arg}), c.result) << c.arg;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("Usage: ") != std::string::npos, c.result == OptionsResult::ExitError);
    EXPECT_EQ(password_cachesize, c.size) << c.arg;
    EXPECT_EQ(password_cachexpire, c.age) << c.arg;
    EXPECT_EQ(authflag, c.authflag) << c.arg;
  }
}

TEST(Options, PathsAndListenAddress) {
  reset_settings();
  ASSERT_EQ(parse({"-m", "/usr/lib/q", "-L", "127.0.0.2:3128", "-a", "/var/log/a.log", "-l",
                   "/var/log/n.log"}),
            OptionsResult::Run);
  EXPECT_EQ(moduledir, "/usr/lib/q/");
  EXPECT_EQ(listenip, "127.0.0.2");
  EXPECT_EQ(listenport, 3128);
  EXPECT_EQ(orvexfeed, "/var/log/a.log.orvexfeed");

  reset_settings();
  ASSERT_EQ(parse({"-m", "/d/", "-L", "127.0.0.1:99999"}), OptionsResult::Run);
  EXPECT_EQ(moduledir, "/d/");
  EXPECT_EQ(listenip, "");  // a port outside 1-65535 opens nothing
  EXPECT_EQ(listenport, 0);

  // Values longer than their setting are cut, never overflow it.
  reset_settings();
  ASSERT_EQ(parse({"-c", std::string(1000, 'x')}), OptionsResult::Run);
  EXPECT_EQ(configfile.size(), SETTING_MAX - 1);
}

TEST(ClientId, WrapsToOneAndSkipsZero) {
  unsigned counter = 4294967294u;
  EXPECT_EQ(clientid_next(&counter), 4294967294u);
  EXPECT_EQ(clientid_next(&counter), 1u);
  EXPECT_EQ(clientid_next(&counter), 2u);
  counter = 0;
  EXPECT_EQ(clientid_next(&counter), 1u);
}

TEST(PidFile, OnlyALivePositivePidBlocks) {
  namespace fs = std::filesystem;
  fs::path p = fs::temp_directory_path() / ("qm-pid-" + std::to_string(getpid()));
  struct Case {
    std::string content;
    bool blocks;
  };
  const Case cases[] = {
      {"1\n", true},  // init is alive
      {std::to_string(getppid()) + "\n", true},
      {"0\n", false},
      {"-1\n", false},
      {"junk\n", false},
      {"999999999\n", false},
      {"", false},
  };
  for (const auto &c : cases) {
    { std::ofstream(p) << c.content; }
    long r = pid_check(p.string());
    if (c.blocks) {
      EXPECT_NE(r, 0) << c.content;
      std::ifstream in(p);
      std::string kept((std::istreambuf_iterator<char>(in)), {});
      EXPECT_EQ(kept, c.content);
    } else {
      EXPECT_EQ(r, 0) << c.content;
      std::ifstream in(p);
      std::string written((std::istreambuf_iterator<char>(in)), {});
      EXPECT_EQ(written, std::to_string(getpid()) + "\n") << c.content;
    }
  }
  fs::remove(p);
  EXPECT_EQ(pid_check("/nonexistent-dir/q.pid"), 1);
}
