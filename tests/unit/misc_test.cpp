#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "misc.h"

void PrintTo(const URL &u, std::ostream *os) {
  *os << "{user=" << u.username.value_or("(none)") << " pw=" << u.password.value_or("(none)")
      << " proto=" << u.proto << " host=" << u.host << " port=" << u.port << " file=" << u.file
      << "}";
}

namespace {

// ---- bounded copies -----------------------------------------------------------------------

struct CopyCase {
  const char *src;
  std::size_t size;
  const char *expected;
};

TEST(BoundedCopy, CopiesAtMostSizeMinusOneAndTerminates) {
  const CopyCase cases[] = {
      {"hello", 10, "hello"}, {"hello", 6, "hello"}, {"hello", 5, "hell"},
      {"hello", 2, "h"},      {"hello", 1, ""},      {"", 4, ""},
  };
  for (const auto &c : cases) {
    char buf[16];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(s_strncpy(buf, c.src, c.size), buf);
    EXPECT_STREQ(buf, c.expected) << c.src << " size " << c.size;
    EXPECT_EQ(buf[c.size], 'X') << "wrote past size " << c.size;
    EXPECT_EQ(s_strncpy(std::string_view(c.src), c.size), c.expected);
  }
}

TEST(BoundedCopy, SizeZeroAndNullSourceAreSafe) {
  char buf[4] = {'X', 'X', 'X', 'X'};
  s_strncpy(buf, "abc", 0);
  EXPECT_EQ(buf[0], 'X');
  s_strncpy(buf, nullptr, sizeof buf);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(s_strncpy(std::string_view("abc"), 0), "");
}

TEST(BoundedCopy, ConcatenationStaysWithinSize) {
  struct Case {
    const char *dst, *src;
    std::size_t size;
    const char *expected;
  } cases[] = {
      {"ab", "cd", 8, "abcd"},   {"ab", "cdefgh", 5, "abcd"}, {"abcd", "x", 5, "abcd"},
      {"", "xyz", 3, "xy"},      {"ab", "", 8, "ab"},
  };
  for (const auto &c : cases) {
    char buf[16];
    std::memset(buf, 'X', sizeof buf);
    std::strcpy(buf, c.dst);
    s_strncat(buf, c.src, c.size);
    EXPECT_STREQ(buf, c.expected) << c.dst << " + " << c.src << " size " << c.size;
    EXPECT_EQ(buf[c.size], 'X');
  }
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  s_strncat(unterminated, "x", sizeof unterminated);
  EXPECT_EQ(std::string(unterminated, 4), "abcd");
}

TEST(BoundedCopy, StrnlenIsBounded) {
  EXPECT_EQ(s_strnlen(nullptr, 10), 0u);
  EXPECT_EQ(s_strnlen("", 10), 0u);
  EXPECT_EQ(s_strnlen("hello", 10), 5u);
  const char no_terminator[3] = {'a', 'b', 'c'};
  EXPECT_EQ(s_strnlen(no_terminator, 3), 3u);
}

// ---- strings ------------------------------------------------------------------------------

TEST(Strings, StripChar) {
  struct Case {
    const char *in;
    char c, r;
    const char *expected;
  } cases[] = {
      {"a,b,c", ',', ';', "a;b;c"}, {"a,b,c", ',', '\0', "a"}, {",abc", ',', '\0', ""},
      {"abc", ',', '\0', "abc"},    {"", ',', ';', ""},
  };
  for (const auto &c : cases) {
    std::string s = c.in;
    s_strip_char(s, c.c, c.r);
    EXPECT_EQ(s, c.expected) << c.in;
    char buf[16];
    std::strcpy(buf, c.in);
    s_strip_char(buf, c.c, c.r);
    EXPECT_STREQ(buf, c.expected) << c.in;
  }
}

TEST(Strings, CaseInsensitiveSearch) {
  EXPECT_EQ(s_strcasestr("Content-Type: text", "TYPE"), 8u);
  EXPECT_EQ(s_strcasestr("abcABC", "Cab"), 2u);
  EXPECT_EQ(s_strcasestr("abc", "abcd"), std::string_view::npos);
  EXPECT_EQ(s_strcasestr("abc", "x"), std::string_view::npos);
  EXPECT_EQ(s_strcasestr("abc", ""), 0u);
}

TEST(Strings, CaseConversionIsAsciiOnly) {
  std::string s = "MiXeD-\xc4\xe4 1";
  EXPECT_EQ(string_tolower(s), "mixed-\xc4\xe4 1");
  EXPECT_EQ(string_toupper(s), "MIXED-\xc4\xe4 1");
  std::string t = "ab";
  EXPECT_EQ(string_append(t, "cd"), "abcd");
}

TEST(Strings, BreakDropsEmptyPiecesButNeverReturnsNothing) {
  struct Case {
    const char *in;
    std::vector<std::string> expected;
  } cases[] = {
      {"a::b:", {"a", "b"}}, {":", {""}},     {"", {""}},
      {":::", {""}},         {"abc", {"abc"}}, {":a:b:c", {"a", "b", "c"}},
  };
  for (const auto &c : cases) EXPECT_EQ(string_break(c.in, ':'), c.expected) << c.in;
}

TEST(Strings, ArrayHelpers) {
  StringArray a;
  array_add(a, "x");
  array_add(a, "y");
  array_add(a, "x");
  EXPECT_TRUE(array_find(a, "y"));
  EXPECT_FALSE(array_find(a, "z"));
  EXPECT_EQ(array_merge(a, ','), "x,y,x");
  array_delete(a, "x");
  EXPECT_EQ(a, StringArray{"y"});
  array_delete(a, "y");
  EXPECT_EQ(array_merge(a, ','), "");
}

TEST(Strings, IsIp) {
  struct Case {
    const char *in;
    bool expected;
  } cases[] = {
      {"1.2.3.4", true},       {"01.2.3.4", true},    {"255.255.255.255", true},
      {"0.0.0.0", true},       {"1.2.3", false},      {"1.2.3.4.5", false},
      {"256.1.1.1", false},    {"1.2.3.256", false},  {"1..2.3", false},
      {"1.2.3.", false},       {".1.2.3", false},     {"", false},
      {"1.2.3.4 ", false},     {"a.b.c.d", false},    {"0001.2.3.4", false},
      {"1.2.3.-4", false},     {"99999999999.1.1.1", false},
  };
  for (const auto &c : cases) EXPECT_EQ(isip(c.in), c.expected) << c.in;
}

TEST(Strings, IsEmpty) {
  EXPECT_TRUE(isempty(""));
  EXPECT_TRUE(isempty(" \t\r\n"));
  EXPECT_TRUE(isempty("\x80\xff"));
  EXPECT_FALSE(isempty("  a"));
  EXPECT_TRUE(isempty("   x", 3));
  EXPECT_FALSE(isempty("   x", 4));
}

TEST(Strings, SignedToUnsignedAndXpow) {
  EXPECT_EQ(signed_to_unsigned_char("a\xff"), (std::vector<unsigned char>{'a', 0xff}));
  EXPECT_TRUE(signed_to_unsigned_char("").empty());
  EXPECT_EQ(xpow(-3), 1u);
  EXPECT_EQ(xpow(0), 1u);
  EXPECT_EQ(xpow(1), 2u);
  EXPECT_EQ(xpow(10), 1024u);
  EXPECT_EQ(xpow(63), std::uint64_t(1) << 63);
  EXPECT_EQ(xpow(200), std::uint64_t(1) << 63);
}

// ---- HTML ---------------------------------------------------------------------------------

class Html : public ::testing::Test {
 protected:
  void TearDown() override { html_line_length = saved_; }
  int saved_ = html_line_length;
};

TEST_F(Html, EscapesByFlags) {
  struct Case {
    const char *in;
    int flags;
    const char *expected;
  } cases[] = {
      {"a\"<>&b", 0, "a&quot;&lt;&gt;&amp;b"},
      {"a\nb c", 0, "a\nb c"},
      {"a\nb c", 1, "a<br>b c"},
      {"a b\n", 2, "a&nbsp;b\n"},
      {"a\nb c", 3, "a<br>b&nbsp;c"},
      {"f('x');", 4, "f\\(\\'x\\'\\)\\;"},
      {"a.b?c/d\\e[]{}+*|$", 4, "a\\.b\\?c\\/d\\\\e\\[\\]\\{\\}\\+\\*\\|\\$"},
      {"Say \"hi\"\nto <b>x</b>", 5, "Say &quot;hi&quot;<br>to &lt;b&gt;x&lt;\\/b&gt;"},
  };
  html_line_length = 0;
  for (const auto &c : cases) EXPECT_EQ(string_to_html(c.in, c.flags), c.expected) << c.in;
}

TEST_F(Html, BreaksLongLinesOnlyWithNewlineFlagAlone) {
  struct Case {
    int length;
    const char *in;
    int flags;
    const char *expected;
  } cases[] = {
      {4, "abcdefghij", 1, "abcd<br>efgh<br>ij"},
      {4, "ab cdefg", 1, "ab cde<br>fg"},         // a space restarts the count
      {4, "abc\ndefgh", 1, "abc<br>defg<br>h"},    // so does a newline (no double break)
      {4, "a&b<c", 1, "a&amp;b&lt;<br>c"},         // counts input, not output, characters
      {4, "abcdefghij", 3, "abcdefghij"},
      {0, "abcdefghij", 1, "abcdefghij"},
      {-2, "abcdefghij", 1, "abcdefghij"},
  };
  for (const auto &c : cases) {
    html_line_length = c.length;
    EXPECT_EQ(string_to_html(c.in, c.flags), c.expected) << c.in << " length " << c.length;
  }
}

TEST(PathToUrl, LinksEveryElement) {
  struct Case {
    const char *path, *expected;
  } cases[] = {
      {"/", "<a href=\"/\">/</a>"},
      {"", "<a href=\"/\">/</a>"},
      {"/pub/linux/",
       "<a href=\"/\">/</a><a href=\"/pub/\">pub/</a><a href=\"/pub/linux/\">linux/</a>"},
      {"/pub//x", "<a href=\"/\">/</a><a href=\"/pub/\">pub/</a><a href=\"/pub/x/\">x/</a>"},
      {"/a\"><script>/",
       "<a href=\"/\">/</a><a href=\"/a&quot;&gt;&lt;script&gt;/\">a&quot;&gt;&lt;script&gt;/</a>"},
  };
  for (const auto &c : cases) EXPECT_EQ(path_to_url(c.path), c.expected) << c.path;
}

// ---- URLs ---------------------------------------------------------------------------------

URL make_url(std::string proto, std::string host, int port, std::string file,
             std::optional<std::string> user = {}, std::optional<std::string> pw = {}) {
  URL u;
  u.proto = std::move(proto);
  u.host = std::move(host);
  u.port = port;
  u.file = std::move(file);
  u.username = std::move(user);
  u.password = std::move(pw);
  return u;
}

TEST(UrlParse, AcceptedForms) {
  const std::string user128(128, 'u'), pw128(128, 'p');
  struct Case {
    std::string text;
    URL expected;
  } cases[] = {
      {"http://user:pw@Host:8080/a#frag", make_url("http", "host", 8080, "/a", "user", "pw")},
      {"http://host/a:b", make_url("http", "host", 80, "/a:b")},
      {"HTTP://WWW.Example.COM", make_url("http", "www.example.com", 80, "/")},
      {"http://host:8080", make_url("http", "host", 8080, "/")},
      {"http://host:65535/", make_url("http", "host", 65535, "/")},
      {"http://host:1/x", make_url("http", "host", 1, "/x")},
      {"ftp://Ftp.Host/pub/", make_url("ftp", "ftp.host", 21, "/pub/")},
      {"gopher://host/", make_url("gopher", "host", 0, "/")},
      {"svn+ssh://host/", make_url("svn+ssh", "host", 0, "/")},
      // "@" in the path is not a credential separator
      {"http://host/a@b/c", make_url("http", "host", 80, "/a@b/c")},
      {"http://evil/@good/", make_url("http", "evil", 80, "/@good/")},
      // password keeps its ":" and "@"; the host follows the last "@" of the authority
      {"http://user:p:w@host/", make_url("http", "host", 80, "/", "user", "p:w")},
      {"http://user:p@ss@host:81/", make_url("http", "host", 81, "/", "user", "p@ss")},
      {"http://" + user128 + ":" + pw128 + "@h/", make_url("http", "h", 80, "/", user128, pw128)},
      // control characters and spaces are stripped from host and path
      {"http://ho\tst /a b\r\n#x", make_url("http", "host", 80, "/ab")},
      {"http://host/#only", make_url("http", "host", 80, "/")},
  };
  for (const auto &c : cases) {
    std::optional<URL> url = url_parse(c.text);
    ASSERT_TRUE(url.has_value()) << c.text;
    EXPECT_EQ(*url, c.expected) << c.text;
  }
}

TEST(UrlParse, RejectedForms) {
  const std::string long_user(129, 'u'), long_pw(129, 'p');
  const std::string cases[] = {
      "http://host:80x/",  // the port must end at "/" or the end
      "http://host:0/",
      "http://host:65536/",
      "http://host:99999999999/",
      "http://host:99999999999999999999999999/",
      "http://host:/",
      "http://host:-1/",
      "http://host:+80/",
      "http://host: 80/",
      "http://host:80:81/",
      "http:/host/",  // no "://"
      "http:host",
      "http:",
      "http",
      "host/path",
      "://host/",
      "1http://host/",
      "ht tp://host/",
      "http:///path",  // no host
      "http://",
      "http://:80/",
      "http://user:pw@/x",
      "http:// \t/x",
      "http://user@host/",  // credentials need both parts
      "http://:pw@host/",
      "http://user:@host/",
      "http://" + long_user + ":pw@host/",
      "http://user:" + long_pw + "@host/",
  };
  for (const auto &text : cases) EXPECT_FALSE(url_parse(text).has_value()) << text;
}

TEST(UrlParse, LongPathIsCut) {
  std::string path = "/" + std::string(3000, 'a');
  std::optional<URL> url = url_parse("http://host" + path);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->file, path.substr(0, URL_PATH_MAX));
}

TEST(UrlCreate, RoundTripsThroughParse) {
  EXPECT_EQ(url_create(make_url("http", "host", 80, "/a")), "http://host:80/a");
  EXPECT_EQ(url_create(make_url("gopher", "host", 0, "/a")), "gopher://host/a");
  const char *texts[] = {
      "http://Host/a/b?c=d",  "ftp://ftp.example.org:2121/pub/",
      "http://u:p@h:8080/x",  "gopher://h/",
      "http://host/a:b@c",
  };
  for (const char *text : texts) {
    std::optional<URL> url = url_parse(text);
    ASSERT_TRUE(url) << text;
    std::optional<URL> again = url_parse(url_create(*url));
    ASSERT_TRUE(again) << url_create(*url);
    URL expected = *url;
    expected.username.reset();  // credentials are never written
    expected.password.reset();
    EXPECT_EQ(*again, expected) << text;
  }
}

TEST(UrlEncoding, Encode) {
  struct Case {
    std::string in;
    std::size_t n;
    std::string expected;
  } cases[] = {
      {"a b/?", std::string::npos, "a+b/%3f"},
      {"+", std::string::npos, "%2b"},
      {",-./09AZaz", std::string::npos, ",-./09AZaz"},
      {"_~:@&=", std::string::npos, "%5f%7e%3a%40%26%3d"},
      {"\x01\x7f\n", std::string::npos, "%01%7f%0a"},
      {std::string("a\0b", 3), std::string::npos, "a%00b"},
      {"\x80\xff", std::string::npos, "\x80\xff"},
      {"abc def", 3, "abc"},
      {"abc", 0, ""},
      {"", std::string::npos, ""},
  };
  for (const auto &c : cases) EXPECT_EQ(url_encode(c.in, c.n), c.expected) << c.in;
}

TEST(UrlEncoding, Decode) {
  struct Case {
    std::string in;
    std::size_t n;
    std::string expected;
  } cases[] = {
      {"a+b%3F%3f", std::string::npos, "a b??"},
      {"%41%4a%4A", std::string::npos, "AJJ"},
      {"%", std::string::npos, "%"},
      {"a%", std::string::npos, "a%"},
      {"%4", std::string::npos, "%4"},
      {"%zz", std::string::npos, "%zz"},
      {"%4z", std::string::npos, "%4z"},
      {"%z4", std::string::npos, "%z4"},
      {"%00", std::string::npos, "%00"},
      {"a%00b%0", std::string::npos, "a%00b%0"},
      {"%%41", std::string::npos, "%A"},
      {"%ff", std::string::npos, "\xff"},
      {"%41", 2, "%4"},  // the limit is never read past
      {"ab+c", 3, "ab "},
      {"", std::string::npos, ""},
  };
  for (const auto &c : cases) {
    std::string out = url_decode(c.in, c.n);
    EXPECT_EQ(out, c.expected) << c.in;
    EXPECT_EQ(out.find('\0'), std::string::npos) << c.in;
  }
}

TEST(UrlEncoding, DecodeInvertsEncodeForEveryByteButNul) {
  std::string all;
  for (int c = 1; c < 256; c++) all += char(c);
  EXPECT_EQ(url_decode(url_encode(all)), all);
}

TEST(UrlHelpers, StripPathFixAndPorts) {
  std::string s = " a\tb\r\nc\x01 \x80";
  url_strip(s);
  EXPECT_EQ(s, "abc\x80");
  EXPECT_EQ(url_path_fix("/a b/c#d#e"), "/ab/c");
  EXPECT_EQ(url_path_fix("#x"), "");
  EXPECT_EQ(url_path_fix(std::string(2047, 'a') + "#bcd").size(), 2047u);
  EXPECT_EQ(url_path_fix(std::string(2100, 'a')).size(), URL_PATH_MAX);
  struct Case {
    const char *scheme;
    int port;
  } ports[] = {{"http", 80}, {"HTTP", 80}, {"ftp", 21}, {"Ftp", 21},
               {"https", 0}, {"", 0},      {"httpx", 0}};
  for (const auto &c : ports) EXPECT_EQ(protocol_port(c.scheme), c.port) << c.scheme;
}

// ---- time ranges --------------------------------------------------------------------------

// A broken-down local time; year as written (2024), month 1..12.
struct tm at(int year, int month, int day, int weekday, int hour, int minute) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_wday = weekday;
  t.tm_hour = hour;
  t.tm_min = minute;
  return t;
}

constexpr int SUN = 0, MON = 1, TUE = 2, FRI = 5, SAT = 6;

class TimeRange : public ::testing::Test {
 protected:
  // Working hours: Monday to Friday, 09:00 to 17:00.
  void SetUp() override {
    from.weekday = {true, MON};
    to.weekday = {true, FRI};
    from.hour = {true, 9};
    to.hour = {true, 17};
    from.minute = {true, 0};
    to.minute = {true, 0};
  }
  tm_partial from, to;
};

TEST_F(TimeRange, WorkingHours) {
  struct Case {
    const char *what;
    struct tm t;
    bool all, absolute;
  } cases[] = {
      {"Saturday 10:00", at(2024, 6, 8, SAT, 10, 0), false, false},
      {"Tuesday 17:00", at(2024, 6, 4, TUE, 17, 0), true, true},
      {"Monday 09:00", at(2024, 6, 3, MON, 9, 0), true, true},
      {"Friday 17:00", at(2024, 6, 7, FRI, 17, 0), true, true},
      // a repeating window closes every evening; one span runs from Monday to Friday
      {"Tuesday 17:01", at(2024, 6, 4, TUE, 17, 1), false, true},
      {"Tuesday 08:59", at(2024, 6, 4, TUE, 8, 59), false, true},
      {"Tuesday 23:30", at(2024, 6, 4, TUE, 23, 30), false, true},
      {"Monday 08:59", at(2024, 6, 3, MON, 8, 59), false, false},
      {"Friday 17:01", at(2024, 6, 7, FRI, 17, 1), false, false},
      {"Sunday 12:00", at(2024, 6, 9, SUN, 12, 0), false, false},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(in_alltimerange(c.t, from, to), c.all) << c.what;
    EXPECT_EQ(in_absolutetimerange(c.t, from, to), c.absolute) << c.what;
  }
}

TEST_F(TimeRange, UnsetPartsDoNotLimit) {
  tm_partial none;
  struct tm t = at(2024, 6, 8, SAT, 3, 7);
  EXPECT_TRUE(in_alltimerange(t, none, none));
  EXPECT_TRUE(in_absolutetimerange(t, none, none));
  // only an upper bound
  EXPECT_TRUE(in_alltimerange(at(2024, 6, 4, TUE, 3, 0), none, to));
  EXPECT_FALSE(in_alltimerange(at(2024, 6, 8, SAT, 3, 0), none, to));
  EXPECT_TRUE(in_absolutetimerange(at(2024, 6, 4, TUE, 3, 0), none, to));
  EXPECT_FALSE(in_absolutetimerange(at(2024, 6, 7, FRI, 18, 0), none, to));
}

TEST(TimeRangeParts, HourWithoutMinuteCoversTheWholeHour) {
  tm_partial from, to;
  from.hour = {true, 9};
  to.hour = {true, 17};
  EXPECT_TRUE(in_alltimerange(at(2024, 1, 1, MON, 17, 59), from, to));
  EXPECT_FALSE(in_alltimerange(at(2024, 1, 1, MON, 18, 0), from, to));
  EXPECT_FALSE(in_alltimerange(at(2024, 1, 1, MON, 8, 59), from, to));
  EXPECT_TRUE(in_absolutetimerange(at(2024, 1, 1, MON, 17, 59), from, to));
  EXPECT_FALSE(in_absolutetimerange(at(2024, 1, 1, MON, 18, 0), from, to));
}

TEST(TimeRangeParts, MinuteWithoutHourRepeatsEveryHour) {
  tm_partial from, to;
  from.minute = {true, 15};
  to.minute = {true, 45};
  EXPECT_TRUE(in_alltimerange(at(2024, 1, 1, MON, 3, 15), from, to));
  EXPECT_TRUE(in_alltimerange(at(2024, 1, 1, MON, 22, 45), from, to));
  EXPECT_FALSE(in_alltimerange(at(2024, 1, 1, MON, 10, 46), from, to));
  EXPECT_FALSE(in_alltimerange(at(2024, 1, 1, MON, 10, 14), from, to));
}

TEST(TimeRangeParts, AbsoluteMinuteBoundsCountOnlyAtTheBoundHour) {
  tm_partial from, to;
  from.hour = {true, 9};
  from.minute = {true, 30};
  to.hour = {true, 17};
  to.minute = {true, 15};
  struct Case {
    int hour, minute;
    bool inside;
  } cases[] = {
      {9, 29, false}, {9, 30, true},  {10, 0, true},   {10, 10, true},
      {16, 59, true}, {17, 15, true}, {17, 16, false}, {8, 45, false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(in_absolutetimerange(at(2024, 1, 1, MON, c.hour, c.minute), from, to), c.inside)
        << c.hour << ":" << c.minute;
}

TEST(TimeRangeParts, DatesAsOneSpanOrPartByPart) {
  // 2020-03-15 to 2021-02-10
  tm_partial from, to;
  from.year = {true, 120};
  from.month = {true, 2};
  from.day = {true, 15};
  to.year = {true, 121};
  to.month = {true, 1};
  to.day = {true, 10};
  struct Case {
    struct tm t;
    bool absolute, all;
  } cases[] = {
      {at(2020, 12, 31, 0, 0, 0), true, false},  // month 12 lies outside 3..2 on its own
      {at(2020, 3, 15, 0, 0, 0), true, false},
      {at(2020, 3, 14, 0, 0, 0), false, false},
      {at(2021, 2, 10, 0, 0, 0), true, false},
      {at(2021, 2, 11, 0, 0, 0), false, false},
      {at(2021, 3, 1, 0, 0, 0), false, false},
      {at(2019, 6, 1, 0, 0, 0), false, false},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(in_absolutetimerange(c.t, from, to), c.absolute) << std::asctime(&c.t);
    EXPECT_EQ(in_alltimerange(c.t, from, to), c.all) << std::asctime(&c.t);
  }
  // Each part on its own: June to August, days 1 to 15.
  tm_partial summer_from, summer_to;
  summer_from.month = {true, 5};
  summer_to.month = {true, 7};
  summer_from.day = {true, 1};
  summer_to.day = {true, 15};
  EXPECT_TRUE(in_alltimerange(at(2023, 7, 10, 0, 0, 0), summer_from, summer_to));
  EXPECT_FALSE(in_alltimerange(at(2023, 7, 20, 0, 0, 0), summer_from, summer_to));
  EXPECT_FALSE(in_alltimerange(at(2023, 9, 10, 0, 0, 0), summer_from, summer_to));
}

TEST(TimeNames, MonthsAndWeekdays) {
  EXPECT_STREQ(month_name(1), "January");
  EXPECT_STREQ(month_name(12), "December");
  EXPECT_STREQ(weekday_name(1), "Sunday");
  EXPECT_STREQ(weekday_name(7), "Saturday");
  for (int bad : {0, 13, -1, 1000}) EXPECT_STREQ(month_name(bad), "Invalid") << bad;
  for (int bad : {0, 8, -1}) EXPECT_STREQ(weekday_name(bad), "Invalid") << bad;
}

TEST(Timeval, DifferencesAndFormatting) {
  EXPECT_EQ(timeval_diff_ms({1, 500000}, {3, 250000}), 1750u);
  EXPECT_EQ(timeval_diff_ms({3, 250000}, {1, 500000}), 0u);
  EXPECT_EQ(timeval_diff_ms({7, 0}, {7, 0}), 0u);
  EXPECT_EQ(timeval_cmp({5, 0}, {3, 999999}), 2);
  EXPECT_EQ(timeval_cmp({5, 10}, {5, 20}), -10);
  EXPECT_EQ(timeval_cmp({5, 10}, {5, 10}), 0);
  struct Case {
    struct timeval t;
    const char *expected;
  } cases[] = {
      {{3723, 450000}, "01:02:03.45"},
      {{0, 0}, "00:00:00.00"},
      {{59, 999999}, "00:00:59.99"},
      {{360000, 990000}, "100:00:00.99"},
      {{-5, 0}, "00:00:00.00"},
  };
  for (const auto &c : cases) EXPECT_EQ(timeval_to_string(c.t), c.expected);
}

// Runs the test under a fixed time zone, restoring the previous one afterwards.
class Zone : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *tz = std::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (tz) saved_tz_ = tz;
    saved_offset_ = gmtoffset;
  }
  void TearDown() override {
    if (had_tz_) setenv("TZ", saved_tz_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
    gmtoffset = saved_offset_;
  }
  void use(const char *tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  bool had_tz_ = false;
  std::string saved_tz_;
  long saved_offset_ = 0;
};

TEST_F(Zone, OffsetFollowsTheLocalZone) {
  struct Case {
    const char *tz;
    long offset;
  } cases[] = {{"UTC0", 0}, {"CET-1", -3600}, {"EST5", 18000}, {"IST-5:30", -19800}};
  for (const auto &c : cases) {
    use(c.tz);
    EXPECT_EQ(gmtoffset_compute(), c.offset) << c.tz;
    EXPECT_EQ(gmtoffset, c.offset) << c.tz;
  }
}

TEST_F(Zone, UtcTimeAndMktimeShareOneBase) {
  use("EST5");
  gmtoffset_compute();
  time_t before = time(nullptr);
  time_t stored = 0;
  time_t now = utc_time(&stored);
  time_t after = time(nullptr);
  EXPECT_EQ(stored, now);
  EXPECT_GE(now, before + 18000);
  EXPECT_LE(now, after + 18000);

  // An HTTP date, Sun, 06 Nov 1994 08:49:37 GMT, as a broken-down UTC time.
  struct tm http_date = at(1994, 11, 6, SUN, 8, 49);
  http_date.tm_sec = 37;
  struct tm copy = http_date;
  EXPECT_EQ(local_mktime(&http_date), 784111777);
  // Plain mktime of the same record lands on the base of utc_time.
  EXPECT_EQ(mktime(&copy), 784111777 + gmtoffset);
}

// ---- sizes --------------------------------------------------------------------------------

TEST(Filesize, Units) {
  struct Case {
    std::uint64_t n;
    const char *expected;
  } cases[] = {
      {0, "0.0 B"},
      {1023, "1023.0 B"},
      {1024, "1.0 KB"},
      {1536, "1.5 KB"},
      {1048575, "1024.0 KB"},
      {1048576, "1.0 MB"},
      {1073741823, "1024.0 MB"},
      {1073741824, "1.0 GB"},
      {5ULL << 40, "5120.0 GB"},
  };
  for (const auto &c : cases) EXPECT_EQ(filesize(c.n), c.expected) << c.n;
}

// ---- FTP ----------------------------------------------------------------------------------

TEST(FtpPort, Parse) {
  struct Case {
    const char *text;
    const char *ip;  // null: rejected
    int port;
  } cases[] = {
      {"192,168,1,2,4,1", "192.168.1.2", 1025},
      {"192,168,1,2,4,1).", "192.168.1.2", 1025},
      {" 10, 0, 0, 1, 0, 21", "10.0.0.1", 21},
      {"255,255,255,255,255,255", "255.255.255.255", 65535},
      {"1,2,3,4,5", nullptr, 0},
      {"1,2,3,4,5,6,7", nullptr, 0},
      {"1,2,3,4,5,6,", nullptr, 0},
      {"256,1,1,1,1,1", nullptr, 0},
      {"1,2,3,4,5,256", nullptr, 0},
      {"1,2,3,4,-1,5", nullptr, 0},
      {"1,2,3,4,5,99999999999", nullptr, 0},
      {"1,,2,3,4,5", nullptr, 0},
      {"a,b,c,d,e,f", nullptr, 0},
      {"1.2.3.4.5.6", nullptr, 0},
      {"", nullptr, 0},
  };
  for (const auto &c : cases) {
    std::optional<sockaddr_in> a = ftpport_parse(c.text);
    if (!c.ip) {
      EXPECT_FALSE(a) << c.text;
      continue;
    }
    ASSERT_TRUE(a) << c.text;
    char ip[INET_ADDRSTRLEN];
    EXPECT_EQ(a->sin_family, AF_INET);
    EXPECT_STREQ(inet_ntop(AF_INET, &a->sin_addr, ip, sizeof ip), c.ip) << c.text;
    EXPECT_EQ(ntohs(a->sin_port), c.port) << c.text;
  }
}

TEST(FtpPort, CreateIsReadBackByParse) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  a.sin_port = htons(1025);
  EXPECT_EQ(ftpport_create(a), "127,0,0,1,4,1");
  std::optional<sockaddr_in> back = ftpport_parse(ftpport_create(a));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->sin_addr.s_addr, a.sin_addr.s_addr);
  EXPECT_EQ(back->sin_port, a.sin_port);
}

TEST(ModeParse, LsModes) {
  struct Case {
    const char *text;
    mode_t mode;
  } cases[] = {
      {"drwxr-xr-x", 0755},  {"-rw-r--r--", 0644},   {"lrwxrwxrwx", 0777},
      {"-rwsr-xr-x", 04755}, {"-rwSr--r--", 04644},  {"drwxr-sr-x", 02755},
      {"drwxr-Sr-x", 02745}, {"drwxrwxrwt", 01777},  {"drwxrwxrwT", 01776},
      {"----------", 0},     {"-rwxrwxrwx+", 0777},  {"-wrxwrxwrx", 0111},
      {"drwx", 0},           {"", 0},
  };
  for (const auto &c : cases) EXPECT_EQ(mode_parse(c.text), c.mode) << c.text;
}

}  // namespace
