// The HTTP handler over loopback TCP connections: a thread plays the origin server with a
// scripted answer, the test reads what the client receives. Framing and keep-alive
// decisions are tables over parsed heads.
#include "proto_http.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "testutil.h"
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "network.h"
#include "registry.h"
#include "socket.h"
#include "xml.h"

namespace {




// Bytes until `end` was seen (inclusive), the peer closed, or nothing came for quiet_ms.
std::string read_until(int fd, std::string_view end, int quiet_ms = 10000) {
  std::string out;
  char c;
  while (out.size() < end.size() || out.compare(out.size() - end.size(), end.size(), end) != 0) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, quiet_ms) <= 0 || recv(fd, &c, 1, 0) != 1) break;
    out += c;
  }
  return out;
}

std::string read_exact(int fd, size_t n) {
  std::string out(n, '\0');
  size_t have = 0;
  while (have < n) {
    ssize_t k = recv(fd, out.data() + have, n - have, 0);
    if (k <= 0) break;
    have += static_cast<size_t>(k);
  }
  out.resize(have);
  return out;
}


std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('a' + (i * 13 + i / 97) % 26);
  return s;
}

std::string chunked(std::string_view body, size_t piece, std::string_view trailer = "") {
  std::string out;
  char line[32];
  for (size_t i = 0; i < body.size(); i += piece) {
    std::string_view part = body.substr(i, piece);
    snprintf(line, sizeof line, "%zX;ext=1\r\n", part.size());  // upper case, with extension
    out += line;
    out += part;
    out += "\r\n";
  }
  return out + "0\r\n" + std::string(trailer) + "\r\n";
}

// Decodes a chunked stream; false when it is not a complete, well-formed one.
bool dechunk(std::string_view s, std::string *body, bool *lower_hex = nullptr) {
  body->clear();
  if (lower_hex) *lower_hex = true;
  for (;;) {
    size_t eol = s.find("\r\n");
    if (eol == std::string_view::npos || eol == 0) return false;
    std::string_view size_text = s.substr(0, eol);
    for (char c : size_text)
      if (lower_hex && c >= 'A' && c <= 'F') *lower_hex = false;
    size_t n = std::stoul(std::string(size_text), nullptr, 16);
    s.remove_prefix(eol + 2);
    if (n == 0) return s == "\r\n";
    if (s.size() < n + 2 || s.substr(n, 2) != "\r\n") return false;
    body->append(s.substr(0, n));
    s.remove_prefix(n + 2);
  }
}

struct Reply {
  std::string status_line;
  std::map<std::string, std::string> headers;
  std::string body;
  bool has(const std::string &name) const { return headers.count(name) > 0; }
  // The status code alone: reason phrases belong to the head writer.
  std::string code() const { return status_line.substr(0, 12); }
};

Reply split(const std::string &raw) {
  Reply r;
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return r;
  size_t pos = raw.find("\r\n");
  r.status_line = raw.substr(0, pos);
  while (pos < end) {
    const size_t next = raw.find("\r\n", pos + 2);
    const std::string line = raw.substr(pos + 2, next - pos - 2);
    const size_t colon = line.find(": ");
    if (colon != std::string::npos) r.headers[line.substr(0, colon)] = line.substr(colon + 2);
    pos = next;
  }
  r.body = raw.substr(end + 4);
  return r;
}

std::string gzip(std::string_view text) {
  Filebuf b;
  b.Add(text);
  EXPECT_TRUE(b.Compress(FILEBUF_GZIP));
  return std::string(b.view());
}

std::string gunzip(std::string_view data) {
  Filebuf b;
  b.Add(data);
  if (!b.Uncompress(FILEBUF_GZIP, 1u << 26)) return "<not gzip>";
  return std::string(b.view());
}

// Processors the tests register: one that asks for the whole body, one that changes it.
int wants_body(CONNECTION_T *, Filebuf *) { return 1; }
int shout(CONNECTION_T *, Filebuf *body) {
  for (size_t i = 0; i < body->length(); i++)
    if (body->data()[i] >= 'a' && body->data()[i] <= 'z') body->data()[i] -= 32;
  return 0;
}

class HttpTest : public testing::Test {
 protected:
  // A new connection and new peers, for the next row of a table of cases.
  void fresh() {
    TearDown();
    conn = CONNECTION_T();
    received.clear();
    threads.clear();
    SetUp();
  }
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(schema_load(schema_path(), &error)) << error;
    general = std::make_unique<GeneralSection>();
    saved_general = general_section;
    general_section = general.get();
    settings({});
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
  }
  void TearDown() override {
    conn.server.reset();
    conn.client.reset();
    for (auto &t : threads)
      if (t.joinable()) t.join();
    if (client_peer >= 0) close(client_peer);
    if (server_peer >= 0) close(server_peer);
    general_section = saved_general;
    processors.Remove(wants_body);
    processors.Remove(shout);
    http_reconnect_hook = nullptr;
  }

  // One general rule for every request; values override the defaults.
  void settings(const std::map<std::string, std::string> &values) {
    static const std::pair<const char *, const char *> fields[] = {
        {"enabled", "true"},       {"comment", ""},         {"groups", ""},
        {"profiles", ""},          {"ctimeout", "5"},       {"timeout", "5"},
        {"keeptimeout", "5"},      {"maxdbuffer", "1048576"}, {"maxubuffer", "1048576"},
        {"bufferwait", "0"},       {"cportrange", ""},      {"encodemime", "^text/"},
        {"compressout", "true"},   {"compressin", "false"}, {"xforwardedfor", "false"},
        {"via", "false"},
    };
    std::string xml = "<quillmoss><general><hostname>proxy</hostname><tempdir>/tmp</tempdir>"
                      "<linelength>72</linelength><poolsize>4</poolsize>"
                      "<pooltimeout>5</pooltimeout><general>";
    for (const auto &[name, fallback] : fields) {
      auto it = values.find(name);
      xml += std::string("<") + name + ">" + (it != values.end() ? it->second : fallback) +
             "</" + name + ">";
    }
    xml += "</general></general></quillmoss>";
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS);
    std::string error;
    ASSERT_TRUE(general->load(doc, 1, &error)) << error;
  }

  void request(const std::string &text) {
    conn.header = http_header_parse_request(text);
    ASSERT_NE(conn.header, nullptr) << text;
    conn.postbody = std::make_unique<Filebuf>();
    conn.flags |= CONN_PROCESS;
    keepalive_check_client(&conn);
  }

  // The origin server: reads the request head, then runs the script.
  void serve(std::function<void(int, const std::string &head)> script) {
    threads.emplace_back([this, script = std::move(script)] {
      std::string head = read_until(server_peer, "\r\n\r\n");
      script(server_peer, head);
    });
  }
  void answer(const std::string &response) {
    serve([response](int fd, const std::string &) { send_all(fd, response); });
  }
  void collect() {
    threads.emplace_back([this] { received = read_all(client_peer); });
  }
  // protocol_http, then everything the client got once the proxy lets the client go.
  Reply exchange(int *result = nullptr) {
    collect();
    int r = protocol_http(&conn);
    if (result) *result = r;
    conn.client.reset();
    threads.back().join();
    return split(received);
  }

  // Threads may use the test's locals until they are joined.
  void join_all() {
    for (auto &t : threads)
      if (t.joinable()) t.join();
  }

  std::unique_ptr<GeneralSection> general;
  GeneralSection *saved_general = nullptr;
  CONNECTION_T conn;
  int client_peer = -1, server_peer = -1;
  std::vector<std::thread> threads;
  std::string received;
};

const char *const GET11 = "GET http://origin.test/file HTTP/1.1\r\nHost: origin.test\r\n\r\n";
const char *const GET10 = "GET http://origin.test/file HTTP/1.0\r\n\r\n";

// ---- decisions over parsed heads ------------------------------------------------------------

TEST(HttpFraming, DecidedFromTheHead) {
  struct Case {
    const char *what;
    const char *response;
    bool head_request;
    BodyFraming expected;
  };
  const Case cases[] = {
      {"length", "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n", false, BodyFraming::LENGTH},
      {"64-bit length", "HTTP/1.1 200 OK\r\nContent-Length: 10000000000\r\n\r\n", false,
       BodyFraming::LENGTH},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", false,
       BodyFraming::CHUNKED},
      {"chunked wins over length",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", false,
       BodyFraming::CHUNKED},
      {"until close", "HTTP/1.0 200 OK\r\n\r\n", false, BodyFraming::CLOSE},
      {"HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n", true, BodyFraming::NONE},
      {"204", "HTTP/1.1 204 No Content\r\n\r\n", false, BodyFraming::NONE},
      {"304", "HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n", false, BodyFraming::NONE},
      {"103", "HTTP/1.1 103 Early Hints\r\n\r\n", false, BodyFraming::NONE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    CONNECTION_T conn;
    if (c.head_request) conn.flags |= CONN_HEAD;
    auto h = http_header_parse_response(c.response);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(http_body_framing(&conn, h.get(), 1), c.expected);
  }
  CONNECTION_T conn;
  auto get = http_header_parse_request(GET11);
  EXPECT_EQ(http_body_framing(&conn, get.get(), 0), BodyFraming::NONE)
      << "no body, not 'until close'";
  auto post = http_header_parse_request(
      "POST http://a.test/ HTTP/1.1\r\nHost: a.test\r\nTransfer-Encoding: chunked\r\n\r\n");
  EXPECT_EQ(http_body_framing(&conn, post.get(), 0), BodyFraming::CHUNKED);
}

TEST(HttpKeepAlive, ClientSide) {
  struct Case {
    const char *request;
    uint32_t flags;
    int expected;
  };
  const Case cases[] = {
      {"GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n", 0, 1},
      {"GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\nConnection: close\r\n\r\n", 0, 0},
      {"GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\nProxy-Connection: close\r\n\r\n", 0, 0},
      {"GET http://a.test/ HTTP/1.0\r\n\r\n", 0, 0},  // a 1.0 client reads to the close
      {"GET http://a.test/ HTTP/1.0\r\nProxy-Connection: keep-alive\r\n\r\n", 0, 1},
      {"GET http://a.test/ HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", 0, 1},
      {"CONNECT a.test:443 HTTP/1.1\r\nHost: a.test:443\r\n\r\n", 0, 0},
      {"GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n", CONN_FAILED, 0},
      {"GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n", CONN_CLIENT_GONE, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.request);
    CONNECTION_T conn;
    conn.header = http_header_parse_request(c.request);
    ASSERT_NE(conn.header, nullptr);
    conn.flags = c.flags;
    conn.keepalive_server = 1;
    keepalive_check_client(&conn);
    EXPECT_EQ(conn.keepalive_client, c.expected);
    if (c.flags) {
      EXPECT_EQ(conn.keepalive_server, 0);
    }
  }
}

TEST(HttpKeepAlive, ServerSide) {
  struct Case {
    const char *response;
    int server, client;  // expected keep-alive fields, client starting at 1
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n", 1, 1},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 1, 1},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nConnection: close\r\n\r\n", 0, 1},
      {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\n", 0, 1},
      {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\nConnection: keep-alive\r\n\r\n", 1, 1},
      {"HTTP/1.1 200 OK\r\n\r\n", 0, 0},  // ends with the close: neither side is kept
      {"HTTP/1.1 206 Partial Content\r\nContent-Length: 1\r\n\r\n", 0, 1},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\n", 0, 1},
      {"HTTP/1.1 304 Not Modified\r\n\r\n", 1, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.response);
    CONNECTION_T conn;
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    conn.server = std::make_unique<Socket>(fds[0]);
    close(fds[1]);
    conn.header = http_header_parse_request(GET11);
    conn.rheader = http_header_parse_response(c.response);
    ASSERT_NE(conn.rheader, nullptr);
    conn.keepalive_client = 1;
    keepalive_check_server(&conn);
    EXPECT_EQ(conn.keepalive_server, c.server);
    EXPECT_EQ(conn.keepalive_client, c.client);
    conn.server->error = true;
    keepalive_check_server(&conn);
    EXPECT_EQ(conn.keepalive_server, 0) << "a failed server socket is never kept";
  }
}

// ---- counted and chunked responses ----------------------------------------------------------

TEST_F(HttpTest, CountedResponseIsForwardedAndTheServerKept) {
  request(GET11);
  const std::string body = pattern(200000);
  answer("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body);
  int result = 0;
  Reply r = exchange(&result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(r.code(), "HTTP/1.1 200");
  EXPECT_EQ(r.headers["Content-Length"], std::to_string(body.size()));
  EXPECT_EQ(r.body, body);
  EXPECT_EQ(conn.keepalive_server, 1);
  EXPECT_EQ(conn.keepalive_client, 1);
  EXPECT_EQ(conn.downloaded, body.size());
  EXPECT_EQ(conn.log_entry.status, 200);
}

TEST_F(HttpTest, ChunkedResponseIsRechunkedForAnHttp11Client) {
  request(GET11);
  const std::string body = pattern(50000);
  answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
         chunked(body, 7000, "X-Checksum: abc\r\nX-Other: 1\r\n") + "LEFTOVER");
  Reply r = exchange();
  EXPECT_EQ(r.headers["Transfer-Encoding"], "chunked");
  EXPECT_FALSE(r.has("Content-Length"));
  std::string decoded;
  bool lower = false;
  ASSERT_TRUE(dechunk(r.body, &decoded, &lower)) << "a complete chunked stream";
  EXPECT_TRUE(lower) << "sizes are written in lower-case hexadecimal";
  EXPECT_EQ(decoded, body);
  EXPECT_EQ(r.body.find("X-Checksum"), std::string::npos) << "trailers are not forwarded";
  EXPECT_EQ(r.body.find(";ext"), std::string::npos) << "extensions are not forwarded";
  EXPECT_FALSE(conn.flags & CONN_FAILED);
  EXPECT_EQ(conn.keepalive_server, 1);
  std::string rest(8, '\0');
  EXPECT_EQ(conn.server->Read(rest.data(), 8, 2), 8) << "trailers were read to their end";
  EXPECT_EQ(rest, "LEFTOVER");
}

TEST_F(HttpTest, ChunkedResponseToAnHttp10ClientHasItsLengthOrEndsWithTheClose) {
  const std::string body = pattern(30000);
  struct Case {
    const char *what;
    const char *maxdbuffer;
    bool with_length;  // buffered whole: sent with Content-Length and kept
  };
  const Case cases[] = {
      {"fits the download buffer", "1048576", true},
      {"larger than the download buffer", "1000", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fresh();
    settings({{"maxdbuffer", c.maxdbuffer}});
    request("GET http://origin.test/file HTTP/1.0\r\nProxy-Connection: keep-alive\r\n\r\n");
    ASSERT_EQ(conn.keepalive_client, 1);
    answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(body, 4096));
    Reply r = exchange();
    EXPECT_FALSE(r.has("Transfer-Encoding"));
    EXPECT_EQ(r.body, body);
    EXPECT_FALSE(conn.flags & CONN_FAILED);
    if (c.with_length) {
      EXPECT_EQ(r.headers["Content-Length"], std::to_string(body.size()));
      EXPECT_EQ(conn.keepalive_client, 1);
    } else {
      EXPECT_FALSE(r.has("Content-Length"));
      EXPECT_EQ(r.headers["Proxy-Connection"], "close");
      EXPECT_EQ(conn.keepalive_client, 0);
    }
  }
}

TEST_F(HttpTest, BrokenChunkedResponseIsNotEndedAsIfComplete) {
  struct Case {
    const char *what;
    std::string tail;  // after one good chunk
    bool close;
  };
  const Case cases[] = {
      {"invalid size", "zz\r\nabc\r\n0\r\n\r\n", false},
      {"size beyond 64 bits", "1ffffffffffffffff\r\nabc\r\n0\r\n\r\n", false},
      {"size line too long", std::string(100, '0') + "1\r\na\r\n0\r\n\r\n", false},
      {"data longer than its size", "3\r\nabcdef\r\n0\r\n\r\n", false},
      {"connection lost inside a chunk", "100\r\nonly a part", true},
      {"connection lost before the last chunk", "", true},
      {"connection lost inside the trailers", "0\r\nX-Trailer: 1\r\n", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fresh();
    conn.timeout = conn.keeptimeout = 2;
    request(GET11);
    const std::string response =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n" + c.tail;
    const bool close_after = c.close;
    serve([response, close_after](int fd, const std::string &) {
      send_all(fd, response);
      if (close_after) shutdown(fd, SHUT_WR);
      else read_all(fd, 3000);  // stays open until the proxy lets go
    });
    Reply r = exchange();
    EXPECT_EQ(r.code(), "HTTP/1.1 200");
    EXPECT_EQ(r.body.substr(0, 8), "5\r\nhello") << "what arrived before the fault was sent";
    EXPECT_EQ(r.body.find("0\r\n\r\n"), std::string::npos)
        << "the client's stream is not closed as complete";
    EXPECT_TRUE(conn.flags & CONN_FAILED);
    EXPECT_EQ(conn.keepalive_server, 0);
    EXPECT_EQ(conn.keepalive_client, 0);
  }
}

TEST_F(HttpTest, InterimResponsesAreSkipped) {
  request(GET11);
  answer(
      "HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n"
      "HTTP/1.1 102 Processing\r\n\r\n"
      "HTTP/1.1 100 Continue\r\n\r\n"
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
  Reply r = exchange();
  EXPECT_EQ(r.code(), "HTTP/1.1 200");
  EXPECT_EQ(r.body, "hello");
  EXPECT_EQ(received.find("103"), std::string::npos);
  EXPECT_EQ(received.find("102"), std::string::npos);
}

// ---- request bodies -------------------------------------------------------------------------

TEST_F(HttpTest, ExpectContinue) {
  struct Case {
    const char *what;
    const char *first;    // the server's first answer to the head
    bool body_expected;   // the server receives the body
    const char *status;   // what the client gets
  };
  const Case cases[] = {
      {"100 then the body", "HTTP/1.1 100 Continue\r\n\r\n", true, "HTTP/1.1 200"},
      {"103 before 100", "HTTP/1.1 103 Early Hints\r\n\r\nHTTP/1.1 100 Continue\r\n\r\n", true,
       "HTTP/1.1 200"},
      {"final 417", "HTTP/1.1 417 Expectation Failed\r\nContent-Length: 4\r\n\r\nnope", false,
       "HTTP/1.1 417"},
  };
  const std::string body = "name=value&other=1";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fresh();
    request("POST http://origin.test/form HTTP/1.1\r\nHost: origin.test\r\nExpect: 100-continue\r\n"
            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n");
    conn.postbody->Add(body);
    std::string server_got;
    const std::string first = c.first;
    const bool body_expected = c.body_expected;
    serve([&server_got, first, body_expected, n = body.size()](int fd, const std::string &) {
      send_all(fd, first);
      if (!body_expected) {
        server_got = read_all(fd, 5000);  // whatever else arrives before the proxy lets go
        return;
      }
      std::string got(n, '\0');
      size_t have = 0;
      while (have < n) {
        ssize_t k = recv(fd, got.data() + have, n - have, 0);
        if (k <= 0) break;
        have += static_cast<size_t>(k);
      }
      server_got = got.substr(0, have);
      send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    });
    collect();
    EXPECT_EQ(protocol_http(&conn), 1);
    conn.client.reset();
    conn.server.reset();
    for (auto &t : threads) t.join();
    Reply r = split(received);
    EXPECT_EQ(r.code(), c.status);
    if (c.body_expected) {
      EXPECT_EQ(server_got, body);
      EXPECT_EQ(r.body, "ok");
    } else {
      EXPECT_EQ(server_got, "") << "no body after a final answer";
      EXPECT_EQ(r.body, "nope");
      EXPECT_EQ(conn.keepalive_server, 0);
    }
  }
}

TEST_F(HttpTest, ChunkedRequestBodyIsDecodedAndForwarded) {
  const std::string body = pattern(40000);
  struct Case {
    const char *what;
    const char *maxubuffer;
    HttpRequestBody expected;
  };
  const Case cases[] = {
      {"buffered whole", "1048576", HTTP_BODY_BUFFERED},
      {"streamed beyond the upload buffer", "10000", HTTP_BODY_STREAM},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fresh();
    settings({{"maxubuffer", c.maxubuffer}});
    request("POST http://origin.test/up HTTP/1.1\r\nHost: origin.test\r\n"
            "Transfer-Encoding: chunked\r\n\r\n");
    const std::string next = "GET http://origin.test/next HTTP/1.1\r\nHost: origin.test\r\n\r\n";
    threads.emplace_back([&] { send_all(client_peer, chunked(body, 3000, "X-T: 1\r\n") + next); });
    Filebuf *postbody = conn.postbody.get();
    ASSERT_EQ(process_request(&conn, postbody), 1);
    EXPECT_EQ((conn.flags & CONN_BIGUPLOAD) != 0, c.expected == HTTP_BODY_STREAM);

    std::string server_head, server_body;
    serve([&](int fd, const std::string &head) {
      server_head = head;
      if (head.find("Transfer-Encoding: chunked") != std::string::npos) {
        std::string raw = read_until(fd, "\r\n0\r\n\r\n");
        if (!dechunk(raw, &server_body)) server_body = "<broken>";
      } else {
        const size_t at = head.find("Content-Length: ");
        const size_t n = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
        server_body = read_exact(fd, n);
      }
      send_all(fd, "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n");
    });
    collect();
    EXPECT_EQ(protocol_http(&conn), 1);
    EXPECT_EQ(server_body, body);
    const char *framing = c.expected == HTTP_BODY_BUFFERED ? "Content-Length: 40000"
                                                           : "Transfer-Encoding: chunked";
    EXPECT_NE(server_head.find(framing), std::string::npos) << server_head;
    // Either way the body is gone from the client socket and the next request follows.
    std::string line;
    ASSERT_GT(conn.client->GetLine(&line, 2), 0);
    EXPECT_EQ(line, "GET http://origin.test/next HTTP/1.1\r\n");
    conn.client.reset();
    threads.back().join();
    EXPECT_EQ(split(received).code(), "HTTP/1.1 201");
    conn.server.reset();
    join_all();
  }
}

// A chunked upload shows its size only as it streams: the transfer stops at the upload limit,
// the server gets no more than the limit, and the client connection cannot be kept.
TEST_F(HttpTest, StreamedChunkedUploadStopsAtTheUploadLimit) {
  const std::string body = pattern(40000);
  struct Case {
    const char *what;
    uint64_t limit;
    bool passes;
    uint64_t before = 0;  // bytes the client uploaded earlier
  };
  const Case cases[] = {{"within the limit", 40000, true},
                        {"over the limit", 20000, false},
                        {"no limit is not a 4 GiB limit", NO_LIMIT, true, NO_LIMIT - 1000}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fresh();
    settings({{"maxubuffer", "10000"}});
    request("POST http://origin.test/up HTTP/1.1\r\nHost: origin.test\r\n"
            "Transfer-Encoding: chunked\r\n\r\n");
    conn.upload_limit = c.limit;
    conn.uploaded = c.before;
    threads.emplace_back([&] { send_all(client_peer, chunked(body, 3000)); });
    ASSERT_EQ(process_request(&conn, conn.postbody.get()), 1);
    std::string server_body;
    serve([&](int fd, const std::string &) {
      std::string raw = read_until(fd, "\r\n0\r\n\r\n");
      if (!dechunk(raw, &server_body)) server_body = "<broken:" + std::to_string(raw.size()) + ">";
      if (server_body == body) send_all(fd, "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n");
    });
    int result = 0;
    const Reply r = exchange(&result);
    conn.server.reset();
    join_all();
    if (c.passes) {
      EXPECT_EQ(result, 1);
      EXPECT_EQ(server_body, body);
      EXPECT_EQ(r.code(), "HTTP/1.1 201");
      EXPECT_EQ(conn.uploaded, c.before + body.size());
    } else {
      EXPECT_EQ(result, -1);
      EXPECT_NE(server_body, body);
      EXPECT_GT(conn.uploaded, c.limit);  // what the pipeline answers with its limit page
      EXPECT_EQ(conn.keepalive_client, 0);
      EXPECT_EQ(conn.keepalive_server, 0);
      EXPECT_TRUE(r.code().empty()) << "the handler sends nothing itself";
    }
  }
}

TEST_F(HttpTest, ChunkedRequestBodyLeavesTheNextRequestInPlace) {
  request("POST http://origin.test/up HTTP/1.1\r\nHost: origin.test\r\n"
          "Transfer-Encoding: chunked\r\n\r\n");
  send_all(client_peer, "4\r\nwiki\r\n0\r\n\r\nGET http://origin.test/next HTTP/1.1\r\n");
  EXPECT_EQ(http_request_body_read(&conn, 1000), HTTP_BODY_BUFFERED);
  EXPECT_EQ(conn.postbody->view(), "wiki");
  EXPECT_EQ(conn.header->chunked, 0);
  EXPECT_TRUE(conn.header->flags & HDR_LENGTH);
  EXPECT_EQ(conn.header->content_length, 4u);
  std::string line;
  ASSERT_GT(conn.client->GetLine(&line, 2), 0);
  EXPECT_EQ(line, "GET http://origin.test/next HTTP/1.1\r\n");
}

// ---- buffered responses ---------------------------------------------------------------------

TEST_F(HttpTest, BufferedResponseCutShortGivesBadGateway) {
  processors.Add(wants_body, PROC_BUFFER_CHECK);
  request(GET11);
  serve([](int fd, const std::string &) {
    send_all(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 1000\r\n\r\n" +
                     std::string(600, 'x'));
    shutdown(fd, SHUT_WR);
  });
  Reply r = exchange();
  EXPECT_EQ(r.code(), "HTTP/1.1 502");
  EXPECT_EQ(received.find(std::string(600, 'x')), std::string::npos);
  EXPECT_TRUE(conn.flags & CONN_FAILED);
  EXPECT_EQ(conn.keepalive_client, 0);
  EXPECT_EQ(conn.keepalive_server, 0);
}

TEST_F(HttpTest, BufferedChunkedResponseBeyondTheBufferStreams) {
  processors.Add(wants_body, PROC_BUFFER_CHECK);
  processors.Add(shout, PROC_RESPONSE_MOD);
  settings({{"maxdbuffer", "5000"}});
  request(GET11);
  const std::string body = pattern(100000);
  answer("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n" +
         chunked(body, 9000));
  Reply r = exchange();
  std::string decoded;
  ASSERT_TRUE(dechunk(r.body, &decoded));
  EXPECT_EQ(decoded, body) << "passed on unprocessed once it no longer fits";
  EXPECT_FALSE(conn.flags & CONN_FAILED);
  EXPECT_EQ(conn.keepalive_client, 1);
}

TEST_F(HttpTest, GzipBodiesAreDecodedForProcessingAndReencodedForTheClient) {
  const std::string text = "<html><body>" + pattern(20000) + "</body></html>";
  struct Case {
    const char *what;
    const char *accept;  // the client's Accept-Encoding, null for none
    bool chunked_from_server;
    bool encoded_for_client;
  };
  const Case cases[] = {
      {"client accepts gzip", "gzip, deflate", false, true},
      {"client accepts gzip, chunked", "gzip", true, true},
      {"client without Accept-Encoding", nullptr, false, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fresh();
    processors.Add(wants_body, PROC_BUFFER_CHECK);
    processors.Add(shout, PROC_RESPONSE_MOD);
    std::string req = "GET http://origin.test/page HTTP/1.1\r\nHost: origin.test\r\n";
    if (c.accept) req += std::string("Accept-Encoding: ") + c.accept + "\r\n";
    request(req + "\r\n");
    const std::string zipped = gzip(text);
    std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\n";
    response += c.chunked_from_server
                    ? "Transfer-Encoding: chunked\r\n\r\n" + chunked(zipped, 1000)
                    : "Content-Length: " + std::to_string(zipped.size()) + "\r\n\r\n" + zipped;
    answer(response);
    Reply r = exchange();
    std::string upper = text;
    for (char &ch : upper)
      if (ch >= 'a' && ch <= 'z') ch -= 32;
    EXPECT_EQ(r.headers["Content-Length"], std::to_string(r.body.size()));
    if (c.encoded_for_client) {
      EXPECT_EQ(r.headers["Content-Encoding"], "gzip");
      EXPECT_EQ(gunzip(r.body), upper) << "decoded, processed and encoded again";
    } else {
      EXPECT_FALSE(r.has("Content-Encoding"));
      EXPECT_EQ(r.body, upper);
    }
  }
}

// The rewriting filters' HTML stream receives the document as sent: streamed bodies as they
// pass, coded ones once decoded, and it is complete (closed) when the exchange ends.
TEST_F(HttpTest, TheHtmlStreamGetsTheDocumentHoweverItArrives) {
  const std::string page = "<html><body><p>" + pattern(30000) + "</p><b>TAIL-42";
  struct Case {
    const char *what;
    bool buffered;
    bool gzipped;
    bool chunked_from_server;
  };
  const Case cases[] = {
      {"streamed, counted", false, false, false},
      {"streamed, chunked", false, false, true},
      {"buffered, gzip", true, true, false},
      {"buffered, gzip, chunked", true, true, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fresh();
    if (c.buffered) processors.Add(wants_body, PROC_BUFFER_CHECK);
    request(GET11);
    conn.html_stream = std::make_unique<HTMLStream>();
    const std::string payload = c.gzipped ? gzip(page) : page;
    std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
    if (c.gzipped) response += "Content-Encoding: gzip\r\n";
    response += c.chunked_from_server
                    ? "Transfer-Encoding: chunked\r\n\r\n" + chunked(payload, 4000)
                    : "Content-Length: " + std::to_string(payload.size()) + "\r\n\r\n" + payload;
    answer(response);
    Reply r = exchange();
    EXPECT_EQ(r.code(), "HTTP/1.1 200");
    EXPECT_EQ(conn.html_stream->data(), page);
    // Closed: the last text run, which no markup ends, was flushed into the tree.
    const std::string tree = htmlstream_tree_text(*conn.html_stream);
    EXPECT_NE(tree.find("TAIL-42"), std::string::npos);
    processors.Remove(wants_body);
    join_all();
  }
}

// ---- failures and limits --------------------------------------------------------------------

TEST_F(HttpTest, ClientThatDisconnectsEndsTheDownload) {
  request(GET11);
  std::atomic<bool> stop{false};
  serve([&stop](int fd, const std::string &) {
    send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000000000\r\n\r\n");
    const std::string piece = pattern(16384);
    while (!stop && send_all(fd, piece)) {
    }
  });
  threads.emplace_back([this] {
    read_until(client_peer, "\r\n\r\n");
    char buf[4096];
    recv(client_peer, buf, sizeof buf, 0);
    close(client_peer);
    client_peer = -1;
  });
  EXPECT_EQ(protocol_http(&conn), 1);
  stop = true;
  conn.server.reset();
  join_all();
  EXPECT_TRUE(conn.flags & CONN_FAILED);
  EXPECT_EQ(conn.keepalive_client, 0);
  EXPECT_EQ(conn.keepalive_server, 0);
  EXPECT_LT(conn.downloaded, 100000000000u);
}

TEST_F(HttpTest, DownloadAllowance) {
  struct Case {
    const char *what;
    bool with_length;
    uint64_t allowance;
    bool passes;
  };
  const Case cases[] = {
      {"length exactly the allowance", true, 5000, true},
      {"length beyond the allowance", true, 4999, false},
      {"close-delimited exactly the allowance", false, 5000, true},
      {"close-delimited beyond the allowance", false, 4000, false},
  };
  const std::string body = pattern(5000);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fresh();
    request(GET11);
    conn.download_limit = c.allowance;
    const bool with_length = c.with_length;
    serve([body, with_length](int fd, const std::string &) {
      send_all(fd, std::string("HTTP/1.1 200 OK\r\n") +
                       (with_length ? "Content-Length: 5000\r\n" : "") + "\r\n" + body);
      if (!with_length) shutdown(fd, SHUT_WR);
    });
    Reply r = exchange();
    if (c.passes) {
      EXPECT_EQ(r.code(), "HTTP/1.1 200");
      EXPECT_EQ(r.body, body);
      EXPECT_FALSE(conn.flags & CONN_FAILED);
    } else if (c.with_length) {
      EXPECT_EQ(received.find(body), std::string::npos) << "refused before the body is read";
      EXPECT_EQ(conn.log_entry.status, 403);
    } else {
      EXPECT_LT(r.body.size(), body.size()) << "cut when the allowance is used up";
      EXPECT_TRUE(conn.flags & CONN_FAILED);
    }
  }
}

int reconnects = 0;
int fresh_server_fd = -1;
int reconnect_to_fresh(CONNECTION_T *conn) {
  reconnects++;
  conn->server = std::make_unique<Socket>(fresh_server_fd);
  return fresh_server_fd;
}

TEST_F(HttpTest, NoStatusLineOnAPooledConnectionIsNotABody) {
  struct Case {
    const char *what;
    bool pooled;
    bool hook;
    const char *status;
    const char *body;
  };
  const Case cases[] = {
      {"fresh connection: HTTP/0.9 body", false, false, "HTTP/1.1 200", "leftover bytes\r\n\r\n"},
      {"pooled, no retry possible", true, false, "HTTP/1.1 502", ""},
      {"pooled, retried on a fresh connection", true, true, "HTTP/1.1 200", "fresh"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fresh();
    request(GET11);
    if (c.pooled) conn.flags |= CONN_POOLED;
    serve([](int fd, const std::string &) {
      send_all(fd, "leftover bytes\r\n\r\n");
      shutdown(fd, SHUT_WR);
    });
    int fresh_peer = -1;
    std::thread fresh;
    reconnects = 0;
    if (c.hook) {
      auto [s, p] = tcp_pair();
      fresh_server_fd = s;
      fresh_peer = p;
      http_reconnect_hook = reconnect_to_fresh;
      fresh = std::thread([p] {
        read_until(p, "\r\n\r\n");
        send_all(p, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfresh");
      });
    }
    Reply r = exchange();
    EXPECT_EQ(r.code(), c.status);
    EXPECT_EQ(r.body, c.body);
    EXPECT_EQ(reconnects, c.hook ? 1 : 0);
    if (c.pooled && !c.hook) {
      EXPECT_EQ(conn.keepalive_server, 0);
    }
    if (fresh.joinable()) {
      conn.server.reset();
      fresh.join();
      close(fresh_peer);
    }
  }
}

TEST_F(HttpTest, UnparsableResponseHeadIsABadGateway) {
  request(GET11);
  answer("HTTP/1.1 2x0 Broken\r\nContent-Length: 1\r\n\r\nx");
  int result = 0;
  Reply r = exchange(&result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(r.code(), "HTTP/1.1 502");
  EXPECT_EQ(conn.keepalive_server, 0);
}

TEST_F(HttpTest, HeadRequestGetsTheHeadOnly) {
  request("HEAD http://origin.test/file HTTP/1.1\r\nHost: origin.test\r\n\r\n");
  conn.flags |= CONN_HEAD;
  answer("HTTP/1.1 200 OK\r\nContent-Length: 12345\r\n\r\n");
  Reply r = exchange();
  EXPECT_EQ(r.code(), "HTTP/1.1 200");
  EXPECT_EQ(r.headers["Content-Length"], "12345");
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(conn.keepalive_server, 0);
}

TEST_F(HttpTest, ServerThatSaysNothingLeavesTheAnswerToTheCaller) {
  request(GET11);
  serve([](int fd, const std::string &) { shutdown(fd, SHUT_WR); });
  int result = 0;
  Reply r = exchange(&result);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(received, "");
  EXPECT_EQ(conn.keepalive_server, 0);
}

}  // namespace
