#include "urlcommand.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "header.h"
#include "network.h"
#include "socket.h"

namespace {

using namespace std::string_literals;

std::string describe(const UrlCommandList &list) {
  std::string out;
  for (const url_command_t &c : list) {
    if (!out.empty()) out += " ";
    out += c.name;
    if (c.has_options) out += "[" + c.options + "]";
  }
  return out;
}

TEST(UrlCommandParse, Labels) {
  const struct {
    const char *text;
    const char *commands;  // "name[options]" separated by spaces
    const char *rest;
  } cases[] = {
      {"xx--fresh.xx--bypass[-f].example.com", "fresh bypass[-f]", "example.com"},
      {"XX--Fresh.example.com", "Fresh", "example.com"},
      {"xx--template[blocked].e.com", "template[blocked]", "e.com"},
      {"xx--template[].e.com", "template[]", "e.com"},
      {"xx--template[a.b].e.com", "template[a.b]", "e.com"},
      {"xx--a[b.e.com", "a", "e.com"},
      {"xx--a[b]junk.e.com", "a[b]", "e.com"},
      {"xx--.e.com", "", "e.com"},
      {"xx--cache.", "cache", ""},
      // A label without its "." is not split off, and parsing ends there.
      {"xx--fresh", "", "xx--fresh"},
      {"xx--fresh.xx--raw", "fresh", "xx--raw"},
      {"xx--a[b]", "", "xx--a[b]"},
      {"www.xx--fresh.e.com", "", "www.xx--fresh.e.com"},
      {"xx-fresh.e.com", "", "xx-fresh.e.com"},
      {"", "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    std::string text = c.text;
    UrlCommandList list = url_command_parse(text);
    EXPECT_EQ(describe(list), c.commands);
    EXPECT_EQ(text, c.rest);
    EXPECT_EQ(url_command_prefix_length(c.text), std::string_view(c.text).size() - text.size());
  }
  std::string empty_name = "xx--.e.com";
  UrlCommandList list = url_command_parse(empty_name);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "");
}

TEST(UrlCommandParse, CreateRoundTrips) {
  const struct {
    UrlCommandList list;
    const char *text;
  } cases[] = {
      {{}, ""},
      {{{"fresh", "", false}}, "xx--fresh."},
      {{{"bypass", "-f", true}}, "xx--bypass[-f]."},
      {{{"template", "", true}}, "xx--template[]."},
      {{{"fresh", "", false}, {"bypass", "+fh-k", true}, {"raw", "", false}},
       "xx--fresh.xx--bypass[+fh-k].xx--raw."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(url_command_create(c.list), c.text);
    std::string text = std::string(c.text) + "host.example";
    UrlCommandList back = url_command_parse(text);
    EXPECT_EQ(describe(back), describe(c.list));
    EXPECT_EQ(text, "host.example");
  }
}

TEST(UrlCommandFind, IgnoresCase) {
  UrlCommandList list = {{"Fresh", "", false}, {"bypass", "f", true}, {"BYPASS", "h", true}};
  ASSERT_NE(url_command_find(list, "fresh"), nullptr);
  EXPECT_EQ(url_command_find(list, "fresh")->name, "Fresh");
  ASSERT_NE(url_command_find(list, "Bypass"), nullptr);
  EXPECT_EQ(url_command_find(list, "Bypass")->options, "f");
  EXPECT_EQ(url_command_find(list, "raw"), nullptr);
  EXPECT_EQ(url_command_find({}, "fresh"), nullptr);
}

// ---- bypass ------------------------------------------------------------------------------

TEST(BypassCheck, Letters) {
  constexpr uint32_t ALL = BYPASS_ALL;
  const struct {
    int access;
    UrlCommandList commands;
    uint32_t before, after;
  } cases[] = {
      {URLCOMMAND_ACCESS_BYPASS, {{"bypass", "", false}}, 0, ALL},
      {URLCOMMAND_ACCESS_BYPASS, {{"BYPASS", "", false}}, 0x4, ALL},
      {URLCOMMAND_ACCESS_BYPASS, {{"bypass", "-f", true}}, ALL, ALL & ~BYPASS_URLFILTER},
      {URLCOMMAND_ACCESS_BYPASS, {{"bypass", "-f", true}}, 0, 0},
      {URLCOMMAND_ACCESS_BYPASS, {{"bypass", "fh", true}}, 0, BYPASS_URLFILTER | BYPASS_HEADER},
      // Every letter, and still not the URL-blacklist bit: only the option-less form sets it.
      {URLCOMMAND_ACCESS_BYPASS, {{"bypass", "fhmrcwepkdai", true}}, 0, 0x1bff},
      {URLCOMMAND_ACCESS_BYPASS, {{"bypass", "FH", true}}, 0, BYPASS_URLFILTER | BYPASS_HEADER},
      {URLCOMMAND_ACCESS_BYPASS, {{"bypass", "fh-f+k", true}}, 0, BYPASS_HEADER | BYPASS_KEYWORD},
      {URLCOMMAND_ACCESS_BYPASS, {{"bypass", "-ai+d", true}}, 0x1800, BYPASS_DNSBL},
      {URLCOMMAND_ACCESS_BYPASS, {{"bypass", "xyz?", true}}, 0x2, 0x2},
      {URLCOMMAND_ACCESS_BYPASS, {{"bypass", "", true}}, 0x2, 0x2},
      // Not permitted, or no bypass command: nothing changes.
      {0, {{"bypass", "", false}}, 0, 0},
      {URLCOMMAND_ACCESS_URLCOMMANDS, {{"bypass", "f", true}}, 0, 0},
      {URLCOMMAND_ACCESS_BYPASS, {{"fresh", "", false}}, 0x8, 0x8},
      {URLCOMMAND_ACCESS_BYPASS, {}, 0x8, 0x8},
      // The first bypass command counts.
      {URLCOMMAND_ACCESS_BYPASS, {{"bypass", "c", true}, {"bypass", "", false}}, 0, BYPASS_COOKIE},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(describe(c.commands));
    CONNECTION_T conn;
    conn.access_flags = c.access;
    conn.url_commands = c.commands;
    conn.bypass = c.before;
    bypass_check(&conn);
    EXPECT_EQ(conn.bypass, c.after);
  }
}

// ---- extraction --------------------------------------------------------------------------

// A connection with a parsed request and a client socket whose other end the test reads.
class Request {
 public:
  explicit Request(std::string_view text) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    conn.client = std::make_unique<Socket>(fds[0]);
    peer_ = fds[1];
    conn.header = http_header_parse_request(text);
    EXPECT_NE(conn.header, nullptr) << text;
  }
  ~Request() { ::close(peer_); }
  Request(const Request &) = delete;
  Request &operator=(const Request &) = delete;

  std::string answer() {
    std::string out;
    char buf[4096];
    for (;;) {
      ssize_t n = ::recv(peer_, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

  CONNECTION_T conn;

 private:
  int peer_ = -1;
};

TEST(UrlCommandExtract, FromTheHostOfAProxyRequest) {
  Request r("GET http://xx--fresh.xx--bypass[-f].www.example.com:8080/a?b HTTP/1.1\r\n\r\n");
  ASSERT_NE(r.conn.header, nullptr);
  r.conn.url_commands = {{"stale", "", false}};
  EXPECT_EQ(url_command_extract(&r.conn), 1);
  EXPECT_EQ(describe(r.conn.url_commands), "fresh bypass[-f]");
  EXPECT_EQ(r.conn.header->host, "www.example.com");
  EXPECT_EQ(r.conn.header->url, "http://www.example.com:8080/a?b");
  EXPECT_EQ(r.answer(), "");

  // With the permission, the second command clears the URL-filter bit only.
  r.conn.access_flags = URLCOMMAND_ACCESS_BYPASS;
  r.conn.bypass = BYPASS_ALL;
  bypass_check(&r.conn);
  EXPECT_EQ(r.conn.bypass, BYPASS_ALL & ~BYPASS_URLFILTER);
}

TEST(UrlCommandExtract, EncodedAndUpperCaseLabels) {
  Request r("GET http://XX--Template%5Bblocked%5D.e.com/ HTTP/1.1\r\n\r\n");
  ASSERT_NE(r.conn.header, nullptr);
  EXPECT_EQ(url_command_extract(&r.conn), 1);
  ASSERT_EQ(r.conn.url_commands.size(), 1u);
  EXPECT_EQ(r.conn.url_commands[0].name, "template");
  EXPECT_EQ(r.conn.url_commands[0].options, "blocked");
  EXPECT_EQ(r.conn.header->host, "e.com");
}

TEST(UrlCommandExtract, FromTheHostLineOfAnOriginRequest) {
  Request r("GET /page HTTP/1.1\r\nHost: xx--cache.www.example.com:81\r\n\r\n");
  ASSERT_NE(r.conn.header, nullptr);
  EXPECT_EQ(url_command_extract(&r.conn), 1);
  EXPECT_EQ(describe(r.conn.url_commands), "cache");
  EXPECT_EQ(r.conn.header->host_header, "www.example.com:81");
  EXPECT_EQ(r.conn.header->file, "/page");
}

TEST(UrlCommandExtract, FromTheFirstPathElement) {
  const struct {
    const char *text;
    const char *commands;
    const char *file;
  } cases[] = {
      {"GET /xx--fresh.www.example.com/a/b HTTP/1.1\r\n\r\n", "fresh", "/a/b"},
      {"GET /xx--bypass%5Bf%5D.e.com/ HTTP/1.1\r\n\r\n", "bypass[f]", "/"},
      {"GET /xx--fresh.www.example.com HTTP/1.1\r\n\r\n", "", "/xx--fresh.www.example.com"},
      {"GET /plain/xx--fresh.e.com/ HTTP/1.1\r\n\r\n", "", "/plain/xx--fresh.e.com/"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    Request r(c.text);
    ASSERT_NE(r.conn.header, nullptr);
    EXPECT_EQ(url_command_extract(&r.conn), 1);
    EXPECT_EQ(describe(r.conn.url_commands), c.commands);
    EXPECT_EQ(r.conn.header->file, c.file);
  }
}

TEST(UrlCommandExtract, GetFromACommandPageIsRedirected) {
  Request r("GET http://www.example.com/img.png HTTP/1.1\r\n"
            "Referer: http://xx--offline.www.example.com/page?x=%2F\r\n\r\n");
  ASSERT_NE(r.conn.header, nullptr);
  r.conn.keepalive_client = 1;
  EXPECT_EQ(url_command_extract(&r.conn), 0);
  EXPECT_TRUE(r.conn.url_commands.empty());
  std::string answer = r.answer();
  EXPECT_EQ(answer.rfind("HTTP/1.1 302 Found\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("\r\nLocation: http://xx--offline.www.example.com:80/img.png\r\n"),
            std::string::npos)
      << answer;
  EXPECT_NE(answer.find("\r\nContent-Length: 0\r\n"), std::string::npos);
  EXPECT_EQ(answer.substr(answer.size() - 4), "\r\n\r\n");
  // The Referer loses the labels but keeps its own escapes.
  EXPECT_EQ(r.conn.header->referer, "http://www.example.com/page?x=%2F");
}

TEST(UrlCommandExtract, RedirectOfAnOriginRequestUsesTheHostLine) {
  Request r("GET /img.png HTTP/1.1\r\nHost: www.example.com:8080\r\n"
            "Referer: http://xx--raw.www.example.com:8080/\r\n\r\n");
  ASSERT_NE(r.conn.header, nullptr);
  EXPECT_EQ(url_command_extract(&r.conn), 0);
  EXPECT_NE(r.answer().find("\r\nLocation: http://xx--raw.www.example.com:8080/img.png\r\n"),
            std::string::npos);
}

TEST(UrlCommandExtract, RefererCommandsWithoutRedirection) {
  const struct {
    const char *text;
    const char *commands;
    const char *referer;
  } cases[] = {
      // Not a GET: the commands are taken over.
      {"POST http://e.com/form HTTP/1.1\r\nReferer: http://xx--offline.e.com/f\r\n"
       "Content-Length: 0\r\n\r\n",
       "offline", "http://e.com/f"},
      // Own commands win; the Referer's are dropped.
      {"GET http://xx--fresh.e.com/ HTTP/1.1\r\nReferer: http://xx--offline.e.com/\r\n\r\n",
       "fresh", "http://e.com/"},
      // No host at all: nothing to redirect to.
      {"GET /x HTTP/1.1\r\nReferer: http://xx--offline.e.com/\r\n\r\n", "offline",
       "http://e.com/"},
      // The Referer's labels may be escaped; scheme-less Referers are taken whole.
      {"POST http://e.com/ HTTP/1.1\r\nReferer: xx--bypass%5B-k%5D.e.com/p\r\n\r\n",
       "bypass[-k]", "http://e.com/p"},
      {"GET http://e.com/ HTTP/1.1\r\nReferer: http://plain.e.com/xx--offline.\r\n\r\n", "",
       "http://plain.e.com/xx--offline."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    Request r(c.text);
    ASSERT_NE(r.conn.header, nullptr);
    EXPECT_EQ(url_command_extract(&r.conn), 1);
    EXPECT_EQ(describe(r.conn.url_commands), c.commands);
    EXPECT_EQ(r.conn.header->referer, c.referer);
    EXPECT_EQ(r.answer(), "");
  }
}

TEST(UrlCommandAdd, Links) {
  Request r("GET http://www.example.com:8080/dir/page.html?q=a/b HTTP/1.1\r\n\r\n");
  ASSERT_NE(r.conn.header, nullptr);
  r.conn.url_commands = {{"raw", "", false}, {"bypass", "-f", true}};
  const std::string p = "http://xx--raw.xx--bypass[-f].";
  const struct {
    std::string url;
    std::string result;
  } cases[] = {
      {"https://other.example.com/x", p + "other.example.com/x"},
      {"//cdn.example.com/lib.js", p + "cdn.example.com/lib.js"},
      {"/top.html", p + "www.example.com:8080/top.html"},
      {"next.html", p + "www.example.com:8080/dir/next.html"},
      {"?page=2", p + "www.example.com:8080/dir/page.html?page=2"},
      // Not a scheme: "://" inside a relative link.
      {"go?to=http://x/", p + "www.example.com:8080/dir/go?to=http://x/"},
      // Too long to build: the link stays as it is.
      {"/" + std::string(URLCOMMAND_URL_MAX, 'a'), "/" + std::string(URLCOMMAND_URL_MAX, 'a')},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.url.substr(0, 60));
    EXPECT_EQ(url_command_add(&r.conn, c.url), c.result);
  }
}

}  // namespace
