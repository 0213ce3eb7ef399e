// The request pipeline's own pieces: every row of the refusal table as the client and the
// access logs see it, the per-request reset, interface recognition, keep-alive from the
// request, and URL commands that authentication did not permit.
#include "request.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "access.h"
#include "accesslog.h"
#include "filebuf.h"
#include "header.h"
#include "main.h"
#include "network.h"
#include "profiles.h"
#include "registry.h"
#include "serverpool.h"
#include "socket.h"
#include "templates.h"
#include "urlcommand.h"
#include "xml.h"

namespace fs = std::filesystem;

namespace {

std::string source_dir() {
  if (const char *env = std::getenv("QM_SOURCE_DIR"); env != nullptr && *env != '\0') return env;
  return QM_SOURCE_DIR;
}

std::unique_ptr<HEADER> parse(const std::string &text) {
  auto h = http_header_parse_request(text);
  EXPECT_TRUE(h) << text;
  return h;
}

const std::string GET_REQUEST = "GET http://example.com/page HTTP/1.1\r\nHost: example.com\r\n\r\n";
const std::string CONNECT_REQUEST = "CONNECT example.com:22 HTTP/1.1\r\nHost: example.com\r\n\r\n";

// Reads what the peer end of a socket pair received until the proxy's end is closed.
std::string drain(int fd) {
  std::string all;
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) break;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    all.append(buf, static_cast<std::size_t>(n));
  }
  return all;
}

std::string header_value(const std::string &response, const std::string &name) {
  const std::string key = "\r\n" + name + ": ";
  std::size_t at = response.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return response.substr(at, response.find("\r\n", at) - at);
}

int status_of(const std::string &response) {
  if (response.compare(0, 9, "HTTP/1.1 ") != 0) return 0;
  return std::atoi(response.c_str() + 9);
}

std::vector<std::string> records(const fs::path &path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') out.push_back(line);
  return out;
}

// A connection whose client is one end of a socket pair, with the template section and both
// access logs in a folder of its own.
class PipelineTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(schema_load(source_dir() + "/conf/section.xml", &error)) << error;
  }

  void SetUp() override {
    char folder[] = "/tmp/qm-request-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    dir = folder;
    saved_slog = slogfile;
    saved_elog = elogfile;
    slogfile = (dir / "access.log").string();
    elogfile = (dir / "extended.log").string();
    accesslog_init();
    templates = std::make_unique<TemplateSection>();
    template_section = templates.get();
    conn = connection_new();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    conn->client = std::make_unique<Socket>(fds[0]);
    peer = fds[1];
    conn->ip = "192.0.2.9";
    conn->interface = "127.0.0.1";
    conn->port = 8080;
    conn->keepalive_client = 1;
    conn->keepalive_server = 1;
  }

  void TearDown() override {
    template_section = nullptr;
    templates.reset();
    conn.reset();
    if (peer >= 0) ::close(peer);
    peer = -1;
    slogfile = saved_slog;
    elogfile = saved_elog;
    accesslog_init();
    if (!HasFailure() && !dir.empty()) fs::remove_all(dir);
    dir.clear();
  }

  // A new connection and new log files, for each case of a table.
  void Fresh() {
    TearDown();
    SetUp();
  }

  // Everything the client received once the proxy's end is closed.
  std::string received() {
    conn->client.reset();
    return drain(peer);
  }

  fs::path dir;
  std::string saved_slog, saved_elog;
  std::unique_ptr<TemplateSection> templates;
  ConnectionPtr conn;
  int peer = -1;
};

// ---- the refusal table ----------------------------------------------------------------------

struct RefusalCase {
  Refusal which;
  const std::string *request;  // null: no parsed head (the head was refused)
  RefusalDetail detail;
  int wire_status;             // 0: nothing is sent
  const char *page;            // X-Template
  int logged;
  int cachecode;
  const char *section, *reason;
  RefusalVariables vars;
  const char *filter_var, *reason_var;
  int keepalive_client, keepalive_server;
  uint64_t size;
};

RefusalDetail with_status(int status) {
  RefusalDetail d;
  d.status = status;
  return d;
}
RefusalDetail with_text(std::string text, int port = 0) {
  RefusalDetail d;
  d.text = std::move(text);
  d.port = port;
  return d;
}
RefusalDetail upload(uint64_t amount, uint64_t limit) {
  RefusalDetail d;
  d.amount = amount;
  d.limit = limit;
  d.text = std::to_string(limit);
  return d;
}
RefusalDetail with_template(const char *name) {
  RefusalDetail d;
  d.template_name = name;
  return d;
}

TEST_F(PipelineTest, EveryRefusalAnswersAndWritesOneRecord) {
  constexpr RefusalVariables KEPT = VARIABLES_UNCHANGED, GONE = VARIABLES_REMOVED,
                             SET = VARIABLES_SET;
  // which, request, detail, wire status, page, logged status, cache code, section, reason,
  //   variables, FILTER, REASON, keepalive_client, keepalive_server, logged size
  const RefusalCase cases[] = {
      {REFUSE_MALFORMED_HEADER, nullptr, with_status(431), 431, "badrequest", 431, 9,
       "security-restrictions", "invalid headers", KEPT, nullptr, nullptr, 0, 1, 0},
      {REFUSE_KEEPALIVE_TIMEOUT, nullptr, {}, 0, nullptr, 408, 9, "security-restrictions",
       "keepalive timeout", KEPT, nullptr, nullptr, 0, 1, 0},
      {REFUSE_URLCOMMAND_REDIRECT, &GET_REQUEST, {}, 0, nullptr, 400, 9, "security-restrictions",
       "invalid url command", KEPT, nullptr, nullptr, 1, 1, 0},
      {REFUSE_PROCESSOR_UNPARSABLE, nullptr, {}, 400, "badrequest", 400, 9,
       "security-restrictions", "invalid headers", KEPT, nullptr, nullptr, 0, 1, 0},
      {REFUSE_PROCESSOR_EMPTY, nullptr, {}, 400, "badrequest", 400, 9, "security-restrictions",
       "invalid headers", KEPT, nullptr, nullptr, 0, 1, 0},
      {REFUSE_BODY_INCOMPLETE, &GET_REQUEST, {}, 400, "badrequest", 400, 9,
       "security-restrictions", "incomplete request body", KEPT, nullptr, nullptr, 0, 1, 0},
      {REFUSE_UPLOAD_LIMIT, &GET_REQUEST, upload(10, 5), 200, "uploadlimit", 403, 9,
       "limit_section", "5", SET, "Upload Limits", "5", 0, 1, 10},
      // A CONNECT is never answered with a 2xx: the client would take it for an open tunnel.
      {REFUSE_CONNECT_METHOD, &CONNECT_REQUEST, {}, 403, "noaccess", 403, 9, "security",
       "CONNECT Method", SET, "Security", "CONNECT Method", 0, 1, 0},
      {REFUSE_CONNECT_PORT, &CONNECT_REQUEST, with_text("CONNECT:22", 22), 404, "noaccess", 403,
       9, "security-restrictions", "CONNECT:22", SET, "security-restrictions", "CONNECT:22", 0, 1,
       0},
      {REFUSE_NOT_PERMITTED, &GET_REQUEST, with_text("Proxy access not allowed"), 200,
       "noaccess", 403, 9, "security", "Proxy access not allowed", SET, "security-restrictions",
       "Proxy access not allowed", 0, 1, 0},
      {REFUSE_NO_INTERFACE, &GET_REQUEST, {}, 404, "nofile", 404, 9, "interface",
       "web interface not available", SET, "interface", "web interface not available", 1, 1, 0},
      {REFUSE_NO_HOST, &GET_REQUEST, {}, 404, "nofile", 403, 9, "security",
       "malformatted request", SET, "Security", "malformatted request", 0, 1, 0},
      {REFUSE_OWN_PORT, &GET_REQUEST, with_text("request to 8080", 8080), 200, "nofile", 405, 9,
       "security-restrictions", "request to 8080", SET, "security-restrictions",
       "request to 8080", 1, 1, 0},
      // "error" is no built-in template: the client still gets a page.
      {REFUSE_CACHE_INVALID, &GET_REQUEST, {}, 404, "unknown", 404, 4, "-", "-", KEPT, nullptr,
       nullptr, 1, 1, 0},
      {REFUSE_OFFLINE_MISS, &GET_REQUEST, {}, 404, "nocache", 404, 2, "cache", "offline", KEPT,
       nullptr, nullptr, 1, 1, 0},
      {REFUSE_SCHEME, &GET_REQUEST, {}, 200, "badprotocol", 403, 9, "security", "bad protocol",
       SET, "Security", "URL Filtering Policy", 0, 1, 0},
      {REFUSE_CONNECTION_FAILED, &GET_REQUEST, with_template("nodns"), 503, "nodns", 503, 16,
       "-", "-", GONE, nullptr, nullptr, 0, 0, 0},
      {REFUSE_BAD_RESPONSE, &GET_REQUEST, {}, 502, "badresponse", 502, 16, "-", "-", GONE,
       nullptr, nullptr, 0, 0, 0},
  };
  ASSERT_EQ(std::size(cases), static_cast<std::size_t>(REFUSAL_COUNT)) << "one case per row";
  std::size_t written = 0;
  for (const RefusalCase &c : cases) {
    SCOPED_TRACE(c.which);
    Fresh();
    if (c.request) conn->header = parse(*c.request);
    conn->variables["FILTER"] = "stale";
    conn->variables["REASON"] = "stale";
    conn->log_entry.Reset();

    request_refuse(conn.get(), c.which, c.detail);

    EXPECT_EQ(conn->keepalive_client, c.keepalive_client);
    EXPECT_EQ(conn->keepalive_server, c.keepalive_server);
    const LogEntry &e = conn->log_entry;
    EXPECT_EQ(e.status, c.logged);
    EXPECT_EQ(e.cachecode(), c.cachecode);
    EXPECT_EQ(e.peercode(), PEERCODE_DIRECT);
    EXPECT_EQ(e.peerhost, "quillmoss");
    EXPECT_EQ(e.filter, c.section);
    EXPECT_EQ(e.reason, c.reason);
    EXPECT_EQ(e.size, c.size);
    switch (c.vars) {
      case VARIABLES_SET:
        EXPECT_EQ(conn->variables["FILTER"], c.filter_var);
        EXPECT_EQ(conn->variables["REASON"], c.reason_var);
        break;
      case VARIABLES_UNCHANGED:
        EXPECT_EQ(conn->variables["FILTER"], "stale");
        EXPECT_EQ(conn->variables["REASON"], "stale");
        break;
      case VARIABLES_REMOVED:
        EXPECT_EQ(conn->variables.count("FILTER"), 0u);
        EXPECT_EQ(conn->variables.count("REASON"), 0u);
        break;
    }

    const std::string wire = received();
    EXPECT_EQ(status_of(wire), c.wire_status) << wire.substr(0, 80);
    EXPECT_EQ(header_value(wire, "X-Template"), c.page ? c.page : "");

    ++written;
    EXPECT_EQ(records(dir / "access.log").size(), 1u) << "exactly one native record";
    EXPECT_EQ(records(dir / "extended.log").size(), 1u) << "exactly one extended record";
  }
  EXPECT_EQ(written, std::size(cases));
}

TEST_F(PipelineTest, ARefusalLeavingTheBodyUnreadClosesTheConnection) {
  // The own-port refusal keeps the connection, but not with a body still in the socket.
  struct Case {
    const char *what;
    std::string request;
    bool body_buffered;
    int keepalive_client;
  };
  const Case cases[] = {
      {"no body", GET_REQUEST, false, 1},
      {"body unread", "POST http://example.com/ HTTP/1.1\r\nHost: e\r\nContent-Length: 5\r\n\r\n",
       false, 0},
      {"body buffered", "POST http://example.com/ HTTP/1.1\r\nHost: e\r\nContent-Length: 5\r\n\r\n",
       true, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    conn->header = parse(c.request);
    if (c.body_buffered) {
      conn->postbody = std::make_unique<Filebuf>();
      conn->postbody->Add("abcde");
    }
    request_refuse(conn.get(), REFUSE_OWN_PORT, with_text("request to 8080", 8080));
    EXPECT_EQ(conn->keepalive_client, c.keepalive_client);
    const std::string wire = received();
    EXPECT_EQ(header_value(wire, "Connection"), c.keepalive_client ? "" : "close");
  }
}

// ---- per-request reset ------------------------------------------------------------------------

TEST_F(PipelineTest, ResetClearsEveryPerRequestFieldAndKeepsTheConnectionsOwn) {
  conn->header = parse(GET_REQUEST);
  conn->rheader = header_new();
  conn->postbody = std::make_unique<Filebuf>();
  conn->url_commands.push_back({"template", "blocked", true});
  conn->variables["IP"] = "x";
  conn->profiles = StringList("a,b", ',');
  conn->groups = StringList("g", ',');
  conn->categories.fill(7);
  conn->tunnel_owner = 5;
  conn->access_flags = ACCESS_ALL;
  conn->bypass = BYPASS_ALL;
  conn->proxy_type = PROXY_HTTP;
  conn->proxy_host = "parent";
  conn->proxy_port = 3128;
  conn->proxy_user = "u";
  conn->proxy_password = "p";
  conn->proxy_authorization = "Basic dTpw";
  conn->download_limit = 10;
  conn->upload_limit = 10;
  conn->downloaded = 3;
  conn->uploaded = 3;
  conn->flags = CONN_SSL | CONN_HEAD | CONN_CLIENT_GONE | CONN_BIGUPLOAD;
  conn->username = "anonymous@192.0.2.9";
  conn->auth_flags = AUTH_REQUIRED;
  conn->requests = 4;

  request_reset(conn.get());

  EXPECT_FALSE(conn->header);
  EXPECT_FALSE(conn->rheader);
  EXPECT_FALSE(conn->postbody);
  EXPECT_TRUE(conn->url_commands.empty());
  EXPECT_TRUE(conn->variables.empty());
  EXPECT_TRUE(conn->profiles.empty());
  EXPECT_TRUE(conn->groups.empty());
  for (int c : conn->categories) EXPECT_EQ(c, -1);
  EXPECT_EQ(conn->tunnel_owner, -1);
  EXPECT_EQ(conn->access_flags, 0);
  EXPECT_EQ(conn->bypass, 0u);
  EXPECT_EQ(conn->proxy_type, PROXY_DIRECT);
  EXPECT_TRUE(conn->proxy_host.empty());
  EXPECT_TRUE(conn->proxy_authorization.empty()) << "a parent's credentials do not outlive the request";
  EXPECT_EQ(conn->download_limit, NO_LIMIT);
  EXPECT_EQ(conn->upload_limit, NO_LIMIT);
  EXPECT_EQ(conn->downloaded, 0u);
  EXPECT_EQ(conn->flags, static_cast<uint32_t>(CONN_CLIENT_GONE)) << "only the gone mark stays";
  // The connection's own state.
  EXPECT_EQ(conn->username, "anonymous@192.0.2.9");
  EXPECT_EQ(conn->auth_flags, AUTH_REQUIRED);
  EXPECT_EQ(conn->requests, 4);
  EXPECT_TRUE(conn->client);
}

TEST_F(PipelineTest, ResetPoolsOnlyAHealthyServerConnectionThatMayBeKept) {
  struct Case {
    const char *what;
    int keepalive_server;
    bool socket_error;
    bool pooled;
  };
  const Case cases[] = {
      {"kept", 1, false, true},
      {"not kept", 0, false, false},
      {"undecided", -1, false, false},
      {"kept but failed", 1, true, false},
  };
  ServerPool pool;
  pool.set_limits(10, 60);
  ServerPool *saved = server_pool;
  server_pool = &pool;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    conn->header = parse(GET_REQUEST);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    conn->server = std::make_unique<Socket>(fds[0]);
    conn->server->error = c.socket_error;
    conn->keepalive_server = c.keepalive_server;
    const ServerPoolKey key = serverpool_key(*conn);
    request_reset(conn.get());
    EXPECT_FALSE(conn->server);
    std::unique_ptr<Socket> found = pool.Find(key);
    EXPECT_EQ(found != nullptr, c.pooled);
    if (found) {
      EXPECT_EQ(found->fd(), fds[0]);
    }
    ::close(fds[1]);
  }
  server_pool = saved;
}

// ---- recognition and keep-alive ---------------------------------------------------------------

TEST(RequestInterface, RecognisesTheInterfaceHost) {
  struct Case {
    const char *request;
    bool expected;
    int type_after;
  };
  const Case cases[] = {
      {"GET http://quillmoss.cfg/stats HTTP/1.1\r\nHost: quillmoss.cfg\r\n\r\n", true, HEADER_PROXY},
      {"GET http://QuillMoss.CFG/ HTTP/1.1\r\n\r\n", true, HEADER_PROXY},
      {"GET http://quillmoss.cfg.example.com/ HTTP/1.1\r\n\r\n", false, HEADER_PROXY},
      {"GET /quillmoss.cfg/config HTTP/1.1\r\nHost: example.com\r\n\r\n", true, HEADER_TRANSPARENT},
      {"GET /QUILLMOSS.CFG HTTP/1.1\r\n\r\n", true, HEADER_TRANSPARENT},
      {"GET /stats HTTP/1.1\r\nHost: quillmoss.cfg\r\n\r\n", true, HEADER_PROXY},
      {"GET /stats HTTP/1.1\r\nHost: example.com\r\n\r\n", false, HEADER_TRANSPARENT},
      {"GET /other/quillmoss.cfg HTTP/1.1\r\nHost: example.com\r\n\r\n", false, HEADER_TRANSPARENT},
      {"CONNECT quillmoss.cfg:443 HTTP/1.1\r\n\r\n", true, HEADER_CONNECT},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.request);
    CONNECTION_T conn;
    conn.header = parse(c.request);
    ASSERT_TRUE(conn.header);
    EXPECT_EQ(isthis_interface_request(&conn), c.expected);
    EXPECT_EQ(conn.header->type, c.type_after);
  }
  CONNECTION_T no_head;
  EXPECT_FALSE(isthis_interface_request(&no_head));
  EXPECT_FALSE(isthis_interface_request(nullptr));
}

TEST(RequestKeepAlive, TheRequestDecidesUnlessTheConnectionFailed) {
  struct Case {
    const char *request;
    uint32_t flags;
    int client, server;
  };
  const Case cases[] = {
      {"GET http://e/ HTTP/1.1\r\n\r\n", 0, 1, 7},
      {"GET http://e/ HTTP/1.0\r\n\r\n", 0, 1, 7},  // a client that says nothing is kept
      {"GET http://e/ HTTP/1.1\r\nConnection: close\r\n\r\n", 0, 0, 7},
      {"GET http://e/ HTTP/1.1\r\nProxy-Connection: close\r\n\r\n", 0, 0, 7},
      {"CONNECT e:443 HTTP/1.1\r\n\r\n", 0, 0, 7},
      {"GET http://e/ HTTP/1.1\r\n\r\n", CONN_FAILED, 0, 0},
      {"GET http://e/ HTTP/1.1\r\n\r\n", CONN_CLIENT_GONE, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.request);
    CONNECTION_T conn;
    conn.header = parse(c.request);
    conn.flags = c.flags;
    conn.keepalive_server = 7;
    keepalive_check_client_default(&conn);
    EXPECT_EQ(conn.keepalive_client, c.client);
    EXPECT_EQ(conn.keepalive_server, c.server);
  }
}

// ---- URL commands after authentication --------------------------------------------------------

// An authenticator as the access section's is: it starts the profiles afresh and sets the
// permissions.
int grant_without_urlcommands(CONNECTION_T *conn, Filebuf *) {
  conn->profiles.clear();
  conn->access_flags = ACCESS_ALL & ~ACCESS_URLCOMMANDS;
  return 0;
}
int grant_everything(CONNECTION_T *conn, Filebuf *) {
  conn->profiles.clear();
  conn->access_flags = ACCESS_ALL;
  return 0;
}

std::string profile_rule_document() {
  // One rule: the "template" URL command gives the profile "won".
  std::string xml = "<quillmoss><profiles><profile>";
  for (const FieldSpec &spec : PROFILE_RULE_FIELDS) {
    const std::string name = spec.name;
    std::string value;
    if (name == "enabled") value = "true";
    else if (name == "log" || name == "timeall") value = "false";
    else if (name == "urlcommands") value = "template";
    else if (name == "addprofiles") value = "won";
    if (name == "month" || name == "day" || name == "weekday" || name == "hour" || name == "minute")
      xml += "<" + name + " active=\"false\">0,0</" + name + ">";
    else
      xml += "<" + name + ">" + value + "</" + name + ">";
  }
  return xml + "</profile></profiles></quillmoss>";
}

TEST_F(PipelineTest, URLCommandsNotPermittedWinNoProfileAndDoNothing) {
  struct Case {
    const char *what;
    ProcessorFn authenticator;
    const char *page;
    bool profile_won;
  };
  const Case cases[] = {
      {"not permitted", grant_without_urlcommands, "badprotocol", false},
      {"permitted", grant_everything, "blocked", true},
  };
  ProfileSection profiles;
  tinyxml2::XMLDocument doc;
  const std::string text = profile_rule_document();
  ASSERT_EQ(doc.Parse(text.c_str()), tinyxml2::XML_SUCCESS);
  std::string error;
  ASSERT_TRUE(profiles.load(doc, 1, &error)) << error;
  ProfileSection *saved = profile_section;
  profile_section = &profiles;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    ASSERT_EQ(processors.Add(c.authenticator, PROC_AUTH), 1);
    // A scheme no handler serves: the request ends before any server would be contacted.
    const std::string request =
        "GET gopher://xx--template[blocked].example.com/ HTTP/1.1\r\nHost: example.com\r\n\r\n";
    ASSERT_EQ(::write(peer, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    EXPECT_EQ(handle_request(conn.get()), REQUEST_SERVED);
    processors.Remove(c.authenticator);
    EXPECT_EQ(conn->profiles.has("won"), c.profile_won);
    EXPECT_EQ(conn->url_commands.empty(), !c.profile_won);
    EXPECT_EQ(header_value(received(), "X-Template"), c.page);
    EXPECT_EQ(records(dir / "access.log").size(), 1u);
  }
  profile_section = saved;
}

}  // namespace
