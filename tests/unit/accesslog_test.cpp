#include "accesslog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "main.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Fields separated by single blanks; an empty field is kept, so a doubled blank shows.
std::vector<std::string> split_blanks(const std::string &line) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : line) {
    if (c == ' ') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  out.push_back(cur);
  return out;
}

// Tokens of an extended line as a quote-aware reader sees them: a quoted token ends at the
// first quote not preceded by a backslash and is returned unescaped; other tokens end at a
// blank. Returns nothing when the line is malformed (unterminated quote, doubled blank).
std::optional<std::vector<std::string>> split_extended(const std::string &line) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < line.size()) {
    std::string tok;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char c = line[i++];
        if (c == '\\' && i < line.size()) {
          tok.push_back(line[i++]);
        } else if (c == '"') {
          closed = true;
          break;
        } else {
          tok.push_back(c);
        }
      }
      if (!closed) return std::nullopt;
    } else {
      while (i < line.size() && line[i] != ' ') tok.push_back(line[i++]);
    }
    out.push_back(tok);
    if (i < line.size()) {
      if (line[i] != ' ') return std::nullopt;
      ++i;
      if (i == line.size() || line[i] == ' ') return std::nullopt;
    }
  }
  return out;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

// A refused request as the pipeline records it.
LogEntry refused_entry() {
  LogEntry e;
  e.start = {1700000000, 123456};
  e.client = "192.168.1.20";
  e.set_cachecode(CACHECODE_TCP_DENIED);
  e.set_peercode(PEERCODE_DIRECT);
  e.status = 403;
  e.size = 0;
  e.method = "GET";
  e.url = "http://blocked.example.com/page?a=1";
  e.username = "alice@192.168.1.20";
  e.peerhost = LOG_PEER_SELF;
  e.mime = "text/html";
  e.useragent = "Mozilla/5.0 (X11; Linux x86_64)";
  e.referer = "http://example.org/";
  e.filter = "security-restrictions";
  e.reason = "blocked by rule 3";
  e.profiles = "staff,web";
  e.interface = "10.0.0.1";
  e.port = "8080";
  e.client_id = 42;
  return e;
}

const struct timeval END = {1700000002, 623999};  // 2500 ms after the start

std::string local_date(time_t t) {
  struct tm tmv;
  localtime_r(&t, &tmv);
  char buf[64];
  std::strftime(buf, sizeof buf, "[%d/%b/%Y:%H:%M:%S]", &tmv);
  return buf;
}

// Native fields by position.
enum NativeField {
  N_START, N_ELAPSED, N_CLIENT, N_CODE, N_SIZE, N_METHOD, N_URL, N_USER, N_PEER, N_MIME,
  N_COUNT
};
// Extended tokens by position.
enum ExtField {
  E_ID, E_ELAPSED, E_CLIENT, E_USER, E_CLIENTID, E_DATE, E_REQUEST, E_STATUS, E_SIZE,
  E_REFERER, E_AGENT, E_MIME, E_REFUSAL, E_PROFILES, E_LISTENER, E_COUNT
};

// Each test works in its own folder with its own access, extended and diagnostic logs.
class AccessLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("qm-accesslog-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    access = dir / "access.log";
    extended = dir / "extended.log";
    native = dir / "native.log";
    saved_limit = LOG_SIZE_LIMIT;
    saved_old = PROCESS_OLD_LOGS;
    saved_daemon = daemonize;
    saved_level = loglevel;
    daemonize = 1;
    loglevel = 0x7ffffff;
    LOG_SIZE_LIMIT = 0;
    PROCESS_OLD_LOGS = 2;
    native_log.set_path(native.string());
    set_paths(access.string(), extended.string());
  }
  void TearDown() override {
    set_paths("", "");
    native_log.set_path("");
    LOG_SIZE_LIMIT = saved_limit;
    PROCESS_OLD_LOGS = saved_old;
    daemonize = saved_daemon;
    loglevel = saved_level;
    while (ziplist_size() > 0 && zip_files(nullptr)) {
    }
    if (!HasFailure()) fs::remove_all(dir);
  }
  void set_paths(const std::string &a, const std::string &e) {
    slogfile = a;
    elogfile = e;
    accesslog_init();
  }
  std::vector<fs::path> files_except_native() {
    std::vector<fs::path> out;
    for (auto &e : fs::directory_iterator(dir))
      // logrotate() also rotates the diagnostic log kept in this folder.
      if (e.path().filename().string().find("native.log") == std::string::npos)
        out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
  }
  fs::path dir, access, extended, native;
  long long saved_limit;
  int saved_old, saved_daemon, saved_level;
};

}  // namespace

TEST(LogCodes, NamesByValue) {
  struct Case {
    int code;
    const char *cache, *peer;
  };
  const Case cases[] = {
      {0, "UNSPECIFIED", "NONE"},
      {1, "TCP_HIT", "DIRECT"},
      {4, "TCP_REF_FAIL_HIT", "FIRST_UP_PARENT"},
      {9, "TCP_DENIED", "PARENT_HIT"},
      {15, "DNS_FAILED", "SSL_PARENT_MISS"},
      {16, "TCP_CONNECTION_FAILED", "DEFAULT_PARENT"},
      {17, "UNSPECIFIED", "ROUNDROBIN_PARENT"},
      {19, "UNSPECIFIED", "CLOEST_DIRECT"},
      {20, "UNSPECIFIED", "NONE"},
      {-1, "UNSPECIFIED", "NONE"},
      {1 << 30, "UNSPECIFIED", "NONE"},
  };
  for (const auto &c : cases) {
    EXPECT_STREQ(cachecode_name(c.code), c.cache) << c.code;
    EXPECT_STREQ(peercode_name(c.code), c.peer) << c.code;
  }
}

TEST(LogEntryTest, ResetClearsPerRequestFieldsAndKeepsIdentity) {
  LogEntry e = refused_entry();
  struct timeval before;
  gettimeofday(&before, nullptr);
  e.Reset();
  EXPECT_EQ(e.cachecode(), CACHECODE_UNSPECIFIED);
  EXPECT_EQ(e.peercode(), PEERCODE_NONE);
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(e.size, 0u);
  EXPECT_GE(e.start.tv_sec, before.tv_sec);
  for (const std::string *f : {&e.method, &e.url, &e.peerhost, &e.mime, &e.useragent,
                               &e.referer, &e.filter, &e.reason, &e.profiles})
    EXPECT_EQ(*f, "-");
  // Set per connection: kept.
  EXPECT_EQ(e.client, "192.168.1.20");
  EXPECT_EQ(e.username, "alice@192.168.1.20");
  EXPECT_EQ(e.client_id, 42u);

  LogEntry fresh;
  EXPECT_EQ(fresh.client, "-");
  EXPECT_EQ(fresh.username, "-");
}

TEST(LogEntryTest, NativeLineHasTenFieldsInOrder) {
  LogEntry e = refused_entry();
  e.size = 5000000000ULL;  // sizes beyond 32 bits stay exact
  std::string line = e.Build(END);
  auto f = split_blanks(line);
  ASSERT_EQ(f.size(), static_cast<std::size_t>(N_COUNT)) << line;
  EXPECT_EQ(f[N_START], "1700000000.123");
  EXPECT_EQ(f[N_ELAPSED], "2500");
  EXPECT_EQ(f[N_CLIENT], "192.168.1.20");
  EXPECT_EQ(f[N_CODE], "TCP_DENIED/403");
  EXPECT_EQ(f[N_SIZE], "5000000000");
  EXPECT_EQ(f[N_METHOD], "GET");
  EXPECT_EQ(f[N_URL], "http://blocked.example.com/page?a=1");
  EXPECT_EQ(f[N_USER], "alice@192.168.1.20");
  EXPECT_EQ(f[N_PEER], "DIRECT/quillmoss");
  EXPECT_EQ(f[N_MIME], "text/html");
}

TEST(LogEntryTest, StartMillisecondsArePaddedAndElapsedIs64Bit) {
  LogEntry e;
  e.start = {1000, 7000};  // 7 ms
  struct timeval end = {1000 + 5000000000LL, 7000};
  auto f = split_blanks(e.Build(end));
  ASSERT_EQ(f.size(), static_cast<std::size_t>(N_COUNT));
  EXPECT_EQ(f[N_START], "1000.007");
  EXPECT_EQ(f[N_ELAPSED], "5000000000000");
  // An end before the start (clock stepped back) is no negative time.
  EXPECT_EQ(split_blanks(e.Build({999, 0}))[N_ELAPSED], "0");
}

TEST(LogEntryTest, ExtendedLineHasFifteenTokensInOrder) {
  LogEntry e = refused_entry();
  std::string line = e.apache_Build(END);
  auto t = split_extended(line);
  ASSERT_TRUE(t) << line;
  ASSERT_EQ(t->size(), static_cast<std::size_t>(E_COUNT)) << line;
  const auto &v = *t;
  EXPECT_EQ(v[E_ID], "1700000000.123-42-10.0.0.1-8080");
  EXPECT_EQ(v[E_ELAPSED], "2500");
  EXPECT_EQ(v[E_CLIENT], "192.168.1.20");
  EXPECT_EQ(v[E_USER], "alice@192.168.1.20");
  EXPECT_EQ(v[E_CLIENTID], "42");
  EXPECT_EQ(v[E_DATE], local_date(END.tv_sec));
  EXPECT_EQ(v[E_REQUEST], "GET http://blocked.example.com/page?a=1");
  EXPECT_EQ(v[E_STATUS], "403");
  EXPECT_EQ(v[E_SIZE], "0");
  EXPECT_EQ(v[E_REFERER], "http://example.org/");
  EXPECT_EQ(v[E_AGENT], "Mozilla/5.0 (X11; Linux x86_64)");
  EXPECT_EQ(v[E_MIME], "text/html");
  EXPECT_EQ(v[E_REFUSAL], "security-restrictions blocked by rule 3");
  EXPECT_EQ(v[E_PROFILES], "staff,web");
  EXPECT_EQ(v[E_LISTENER], "10.0.0.1:8080");
  // The quotes sit where the format puts them.
  EXPECT_EQ(line.rfind("\"10.0.0.1:8080\""), line.size() - 15);
}

TEST(LogFieldTest, EscapesByStyle) {
  struct Case {
    std::string in;
    LogFieldStyle style;
    std::string out;
  };
  const Case cases[] = {
      {"", LOGFIELD_PLAIN, "-"},
      {"", LOGFIELD_TEXT, "-"},
      {"plain", LOGFIELD_PLAIN, "plain"},
      {"1.2.3.4, 5.6.7.8", LOGFIELD_PLAIN, "1.2.3.4,%205.6.7.8"},
      {"a\r\nb", LOGFIELD_PLAIN, "a%0d%0ab"},
      {std::string("a\0b", 3), LOGFIELD_PLAIN, "a%00b"},
      {"tab\there\x7f", LOGFIELD_PLAIN, "tab%09here%7f"},
      {"say \"hi\"", LOGFIELD_PLAIN, "say%20\"hi\""},
      {"say \"hi\"", LOGFIELD_BARE, "say%20%22hi%22"},
      {"say \"hi\"", LOGFIELD_QUOTED, "say%20\\\"hi\\\""},
      {"say \"hi\"", LOGFIELD_TEXT, "say \\\"hi\\\""},
      {"ends in \\", LOGFIELD_TEXT, "ends in \\\\"},
      {"ends in \\", LOGFIELD_PLAIN, "ends%20in%20\\"},
      {"caf\xc3\xa9 100%", LOGFIELD_PLAIN, "caf\xc3\xa9%20100%"},  // UTF-8 and "%" stay
  };
  for (const auto &c : cases)
    EXPECT_EQ(log_field(c.in, c.style), c.out) << "style " << c.style << " in [" << c.in << "]";
}

TEST(LogFieldTest, LongValuesAreCutWithoutSplittingAnEscape) {
  std::string out = log_field(std::string(5000, ' '), LOGFIELD_PLAIN);
  EXPECT_EQ(out.size(), LOG_FIELD_MAX / 3 * 3);
  EXPECT_EQ(out.substr(out.size() - 3), "%20");
  EXPECT_EQ(log_field(std::string(LOG_FIELD_MAX + 10, 'x'), LOGFIELD_TEXT).size(),
            LOG_FIELD_MAX);
}

// Hostile values in every text field: the native line keeps ten fields with the URL in the
// seventh, the extended line keeps fifteen tokens, and neither contains a line break.
TEST(LogEntryTest, HostileFieldsKeepTheLayout) {
  const std::string hostile[] = {
      "a b",
      "  ",
      "\"",
      "x\" \"y",
      "evil\\",
      "line\r\nbreak",
      std::string("nul\0here", 8),
      "GET http://other.example/ HTTP/1.1",
  };
  for (const auto &h : hostile) {
    LogEntry e = refused_entry();
    for (std::string *f : {&e.client, &e.method, &e.username, &e.peerhost, &e.mime,
                           &e.useragent, &e.referer, &e.filter, &e.reason, &e.profiles,
                           &e.interface, &e.port})
      *f = h;
    e.url = "http://site.example/" + h;

    std::string native = e.Build(END);
    EXPECT_EQ(native.find_first_of(std::string("\r\n\0", 3)), std::string::npos) << native;
    auto f = split_blanks(native);
    ASSERT_EQ(f.size(), static_cast<std::size_t>(N_COUNT)) << native;
    EXPECT_EQ(f[N_URL].rfind("http://site.example/", 0), 0u) << native;
    EXPECT_EQ(f[N_CODE], "TCP_DENIED/403");
    EXPECT_EQ(f[N_MIME], log_field(h, LOGFIELD_PLAIN));

    std::string ext = e.apache_Build(END);
    EXPECT_EQ(ext.find_first_of(std::string("\r\n\0", 3)), std::string::npos) << ext;
    auto t = split_extended(ext);
    ASSERT_TRUE(t) << ext;
    ASSERT_EQ(t->size(), static_cast<std::size_t>(E_COUNT)) << ext;
    EXPECT_EQ((*t)[E_STATUS], "403") << ext;
    EXPECT_EQ((*t)[E_CLIENTID], "42") << ext;
    // Free-text fields come back as they were, apart from control characters.
    if (h.find_first_of(std::string("\r\n\0", 3)) == std::string::npos) {
      EXPECT_EQ((*t)[E_AGENT], h) << ext;
    }
    // Method and URL stay two blank-separated words inside their quotes.
    EXPECT_EQ(split_blanks((*t)[E_REQUEST]).size(), 2u) << ext;
    EXPECT_EQ(split_blanks((*t)[E_LISTENER]).size(), 1u) << ext;
  }
}

TEST_F(AccessLogTest, LegendOnlyOnNewFiles) {
  LogEntry e = refused_entry();
  ASSERT_TRUE(e.Write());
  ASSERT_TRUE(e.apache_Write());
  e.url = "http://second.example/";
  ASSERT_TRUE(e.Write());
  ASSERT_TRUE(e.apache_Write());

  auto a = lines_of(slurp(access));
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[0] + "\n", ACCESSLOG_LEGEND);
  EXPECT_EQ(split_blanks(a[1])[N_URL], "http://blocked.example.com/page?a=1");
  EXPECT_EQ(split_blanks(a[2])[N_URL], "http://second.example/");
  EXPECT_EQ(slurp(access).back(), '\n');  // every record is a whole line

  auto x = lines_of(slurp(extended));
  ASSERT_EQ(x.size(), 3u);
  EXPECT_EQ(x[0] + "\n", EXTLOG_LEGEND);
  EXPECT_EQ((*split_extended(x[1]))[E_REFUSAL], "security-restrictions blocked by rule 3");

  // Reopening an existing file appends without a second legend.
  accesslog_file().close();
  extlog_file().close();
  ASSERT_TRUE(e.Write());
  ASSERT_TRUE(e.apache_Write());
  std::string all = slurp(access);
  EXPECT_EQ(lines_of(all).size(), 4u);
  EXPECT_EQ(all.find('#', 1), std::string::npos);
  EXPECT_EQ(lines_of(slurp(extended)).size(), 4u);
}

TEST_F(AccessLogTest, NoPathWritesNothing) {
  set_paths(access.string(), "");
  LogEntry e = refused_entry();
  EXPECT_TRUE(e.Write());
  EXPECT_FALSE(e.apache_Write());
  set_paths("", extended.string());
  EXPECT_FALSE(e.Write());
  EXPECT_TRUE(e.apache_Write());
  EXPECT_EQ(lines_of(slurp(access)).size(), 2u);
  EXPECT_EQ(lines_of(slurp(extended)).size(), 2u);
  EXPECT_EQ(files_except_native().size(), 2u);
}

TEST_F(AccessLogTest, SizeLimitRotatesToTimeStampedNames) {
  PROCESS_OLD_LOGS = 2;
  LogEntry e = refused_entry();
  // The legend and one record stay below the limit, a second record reaches it. (Records
  // written later are at most a digit longer than this one.)
  std::size_t record = e.Build().size() + 1;
  LOG_SIZE_LIMIT = static_cast<long long>(std::string(ACCESSLOG_LEGEND).size() + record + 10);
  ASSERT_TRUE(e.Write());
  EXPECT_TRUE(fs::exists(access));
  ASSERT_TRUE(e.Write());
  EXPECT_FALSE(fs::exists(access));
  auto rotated = files_except_native();
  ASSERT_EQ(rotated.size(), 1u);
  std::string name = rotated[0].filename().string();
  EXPECT_EQ(name.size(), 14 + std::string("-access.log").size()) << name;
  EXPECT_EQ(name.substr(14), "-access.log");
  EXPECT_EQ(lines_of(slurp(rotated[0])).size(), 3u);

  // The next record starts a new file with its legend; rotations in the same second keep
  // every generation.
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(e.Write());
  auto after = files_except_native();
  ASSERT_EQ(after.size(), 3u);
  std::size_t records = 0;
  for (const auto &p : after) {
    auto l = lines_of(slurp(p));
    ASSERT_FALSE(l.empty());
    EXPECT_EQ(l[0] + "\n", ACCESSLOG_LEGEND) << p;
    records += l.size() - 1;
  }
  EXPECT_EQ(records, 6u);
}

TEST_F(AccessLogTest, SizeLimitWithDeleteActionStartsAfresh) {
  LOG_SIZE_LIMIT = 1;
  PROCESS_OLD_LOGS = 0;
  LogEntry e = refused_entry();
  ASSERT_TRUE(e.apache_Write());
  EXPECT_TRUE(files_except_native().empty());
  LOG_SIZE_LIMIT = 0;
  e.url = "http://after.example/";
  ASSERT_TRUE(e.apache_Write());
  auto x = lines_of(slurp(extended));
  ASSERT_EQ(x.size(), 2u);
  EXPECT_EQ(x[0] + "\n", EXTLOG_LEGEND);
  EXPECT_EQ((*split_extended(x[1]))[E_REQUEST], "GET http://after.example/");
}

TEST_F(AccessLogTest, LogrotateRotatesBothFilesAndCompressesThem) {
  PROCESS_OLD_LOGS = 1;
  LogEntry e = refused_entry();
  ASSERT_TRUE(e.Write());
  ASSERT_TRUE(e.apache_Write());
  logrotate();
  auto rotated = files_except_native();
  ASSERT_EQ(rotated.size(), 2u);
  for (const auto &p : rotated) EXPECT_EQ(p.extension(), ".gz") << p;
  EXPECT_FALSE(fs::exists(access));
  EXPECT_FALSE(fs::exists(extended));

  ASSERT_TRUE(e.Write());
  EXPECT_EQ(lines_of(slurp(access))[0] + "\n", ACCESSLOG_LEGEND);
  // A closed file is left alone by the next rotation.
  logrotate();
  EXPECT_EQ(files_except_native().size(), 3u);
}

TEST_F(AccessLogTest, UnopenableFileDropsTheRecordAndIsRetried) {
  fs::path sub = dir / "later";
  set_paths((sub / "access.log").string(), (sub / "extended.log").string());
  LogEntry e = refused_entry();
  EXPECT_FALSE(e.Write());
  EXPECT_FALSE(e.apache_Write());
  std::string diag = slurp(native);
  EXPECT_NE(diag.find("error: advice: [system: open64:2:No such file or directory], in Write, "
                      "unable to open logfile " + (sub / "access.log").string()),
            std::string::npos)
      << diag;
  EXPECT_NE(diag.find("[system: s_open64:2:No such file or directory], in apache_Write, "
                      "unable to open file " + (sub / "extended.log").string()),
            std::string::npos)
      << diag;

  fs::create_directories(sub);
  EXPECT_TRUE(e.Write());
  EXPECT_TRUE(e.apache_Write());
  EXPECT_EQ(lines_of(slurp(sub / "access.log")).size(), 2u);
}

TEST_F(AccessLogTest, FailedWriteKeepsTheFileAndReopens) {
  // A link to a device that refuses every write; rotating or deleting it would only touch
  // the link.
  fs::path link = dir / "full.log";
  fs::create_symlink("/dev/full", link);
  set_paths(link.string(), "");
  PROCESS_OLD_LOGS = 0;
  LogEntry e = refused_entry();
  EXPECT_FALSE(e.Write());
  EXPECT_FALSE(e.Write());
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(files_except_native().size(), 1u);
  EXPECT_NE(slurp(native).find("in Write, unable to write to " + link.string()),
            std::string::npos);

  // Once the path leads to a writable file, the next record reopens it.
  fs::remove(link);
  EXPECT_TRUE(e.Write());
  auto l = lines_of(slurp(link));
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0] + "\n", ACCESSLOG_LEGEND);
}

// The start-up feed reads the URL back as the seventh blank-separated field, whatever the
// other fields hold.
TEST_F(AccessLogTest, StartupFeedFindsEveryHost) {
  const std::vector<std::pair<std::string, std::string>> records = {
      {"1.2.3.4, 5.6.7.8", "first.example"},  // forwarded-for list
      {"\r\n9.9.9.9 x x x x x http://injected.example/", "second.example"},
      {"-", "third.example"},
  };
  for (const auto &[client, host] : records) {
    LogEntry e = refused_entry();
    e.client = client;
    e.method = "GET HEAD";
    e.url = "http://" + host + "/path";
    ASSERT_TRUE(e.Write());
  }
  std::string saved_feed = orvexfeed;
  orvexfeed = (dir / "feed").string();
  create_feedlog();
  std::string feed = slurp(dir / "feed");
  orvexfeed = saved_feed;
  EXPECT_EQ(feed, "\nfirst.example\nsecond.example\nthird.example");
}

TEST_F(AccessLogTest, ConcurrentWritersNeverInterleave) {
  constexpr int kThreads = 6, kRecords = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      LogEntry e = refused_entry();
      e.client_id = static_cast<unsigned>(t);
      for (int i = 0; i < kRecords; ++i) {
        e.url = "http://t" + std::to_string(t) + ".example/" + std::to_string(i);
        e.Write();
        e.apache_Write();
      }
    });
  for (auto &th : threads) th.join();

  auto a = lines_of(slurp(access));
  ASSERT_EQ(a.size(), 1u + kThreads * kRecords);
  std::vector<int> per_thread(kThreads, 0);
  for (std::size_t i = 1; i < a.size(); ++i) {
    auto f = split_blanks(a[i]);
    ASSERT_EQ(f.size(), static_cast<std::size_t>(N_COUNT)) << a[i];
    int t = f[N_URL][8] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << a[i];
    ++per_thread[static_cast<std::size_t>(t)];
  }
  for (int n : per_thread) EXPECT_EQ(n, kRecords);

  auto x = lines_of(slurp(extended));
  ASSERT_EQ(x.size(), 1u + kThreads * kRecords);
  for (std::size_t i = 1; i < x.size(); ++i) {
    auto t = split_extended(x[i]);
    ASSERT_TRUE(t && t->size() == static_cast<std::size_t>(E_COUNT)) << x[i];
  }
}
