// Profile rules: each condition on its own, the time ranges in both modes, adding and
// removing, and the effect of rule order. Rules are loaded from documents against the real
// schema, conf/section.xml.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "general.h"
#include "log.h"
#include "main.h"
#include "network.h"
#include "profiles.h"
#include "xml.h"

namespace {

std::string source_dir() {
  if (const char *env = std::getenv("QM_SOURCE_DIR"); env != nullptr && *env != '\0') return env;
  return QM_SOURCE_DIR;
}

using Fields = std::map<std::string, std::string>;

const char *const TIME_FIELDS[] = {"month", "day", "weekday", "hour", "minute"};

// One <profile> element carrying every field: the given values, else empty lists and
// patterns, enabled, no logging, and the time ranges switched off.
std::string rule_xml(const Fields &given) {
  Fields f = {{"enabled", "true"}, {"log", "false"}, {"timeall", "false"}};
  for (const auto &[name, value] : given) f[name] = value;
  std::string xml = "<profile>";
  for (const FieldSpec &spec : PROFILE_RULE_FIELDS) {
    const std::string name = spec.name;
    const auto it = f.find(name);
    bool is_time = false;
    for (const char *t : TIME_FIELDS) is_time = is_time || name == t;
    if (is_time && it == f.end()) {
      xml += "<" + name + " active=\"false\">0,0</" + name + ">";
      continue;
    }
    const std::string value = it == f.end() ? "" : it->second;
    xml += "<" + name + ">" + value + "</" + name + ">";
  }
  return xml + "</profile>";
}

std::string document_xml(const std::vector<Fields> &rules) {
  std::string xml = "<quillmoss><profiles>";
  for (const Fields &rule : rules) xml += rule_xml(rule);
  return xml + "</profiles></quillmoss>";
}

// A broken-down time with its weekday filled in.
struct tm at(int year, int month, int day, int hour, int minute) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  const time_t seconds = timegm(&t);
  struct tm out {};
  gmtime_r(&seconds, &out);
  return out;
}

const std::string REQUEST_RAW =
    "GET http://www.example.com/index.html HTTP/1.1\r\nHost: www.example.com\r\n"
    "User-Agent: TestAgent/1.0\r\n\r\n";
const std::string RESPONSE_RAW =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nServer: nginx-test\r\n\r\n";

std::unique_ptr<HEADER> request_header() {
  auto h = header_new();
  h->raw = REQUEST_RAW;
  h->proto = "http";
  h->host = "www.example.com";
  h->file = "/index.html";
  h->port = 80;
  return h;
}

std::unique_ptr<HEADER> response_header() {
  auto h = header_new();
  h->type = HEADER_RESPONSE;
  h->code = 200;
  h->raw = RESPONSE_RAW;
  h->content_type = "text/html; charset=utf-8";
  h->mime = "text/html";
  return h;
}

class ProfilesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(schema_load(source_dir() + "/conf/section.xml", &error)) << error;
  }

  void SetUp() override {
    saved_proxyhost = proxyhost;
    proxyhost.clear();
    log_buffer = &buffer;
    section = std::make_unique<ProfileSection>();
    conn.header = request_header();
    context.now = at(2024, 7, 17, 12, 0);  // a Wednesday
    context.proxy_host = "proxy.lan";
  }

  void TearDown() override {
    log_buffer = nullptr;
    proxyhost = saved_proxyhost;
  }

  void load(const std::vector<Fields> &rules) {
    tinyxml2::XMLDocument doc;
    const std::string text = document_xml(rules);
    ASSERT_EQ(doc.Parse(text.c_str()), tinyxml2::XML_SUCCESS) << text;
    std::string error;
    ASSERT_TRUE(section->load(doc, 1, &error)) << error;
  }

  StringList run() {
    section->profiles_update(&conn, context);
    return conn.profiles;
  }

  bool logged(const std::string &text) const {
    for (const std::string &line : buffer.lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

  std::string saved_proxyhost;
  LogBuffer buffer{200};
  std::unique_ptr<ProfileSection> section;
  CONNECTION_T conn;
  ProfileContext context;
};

using Setup = std::function<void(CONNECTION_T &, ProfileContext &)>;

struct ConditionCase {
  const char *what;
  Fields rule;        // the rule adds "hit" when it applies
  Setup setup;        // changes to the default request (GET http://www.example.com:80/index.html)
  bool applies;
};

void none(CONNECTION_T &, ProfileContext &) {}
void with_response(CONNECTION_T &c, ProfileContext &) { c.rheader = response_header(); }
void commands(CONNECTION_T &c, std::vector<std::string> names) {
  for (std::string &n : names) c.url_commands.push_back({std::move(n), "", false});
}

TEST_F(ProfilesTest, EachConditionOnItsOwn) {
  const std::string hostile = std::string(35, 'a') + "!";
  const std::vector<ConditionCase> cases = {
      {"no condition", {}, none, true},
      {"disabled", {{"enabled", "false"}}, none, false},

      {"protocol matches", {{"protocol", "^http$"}}, none, true},
      {"protocol ignores case", {{"protocol", "^HTTP$"}}, none, true},
      {"protocol differs", {{"protocol", "^http$"}},
       [](CONNECTION_T &c, ProfileContext &) { c.header->proto = "ftp"; }, false},
      {"no scheme fails any protocol pattern", {{"protocol", ".*"}},
       [](CONNECTION_T &c, ProfileContext &) { c.header->proto.clear(); }, false},

      {"host matches anywhere", {{"host", "example"}}, none, true},
      {"host differs", {{"host", "example\\.org$"}}, none, false},
      {"no host fails any host pattern", {{"host", "^$"}},
       [](CONNECTION_T &c, ProfileContext &) { c.header->host.clear(); }, false},

      {"file matches", {{"file", "\\.html$"}}, none, true},
      {"file differs", {{"file", "\\.gif$"}}, none, false},

      {"mimetype with the response", {{"mimetype", "^text/html$"}}, with_response, true},
      {"mimetype before the response", {{"mimetype", "^text/html$"}}, none, false},
      {"mimetype of another type", {{"mimetype", "^image/"}}, with_response, false},
      {"mimetype of a response without type", {{"mimetype", "."}},
       [](CONNECTION_T &c, ProfileContext &) {
         c.rheader = response_header();
         c.rheader->content_type.clear();
         c.rheader->mime.clear();
       },
       false},

      {"port in a list", {{"ports", "443,80"}}, none, true},
      {"port in a range", {{"ports", "8080-8090"}},
       [](CONNECTION_T &c, ProfileContext &) { c.header->port = 8085; }, true},
      {"port outside", {{"ports", "8080-8090"}}, none, false},
      {"ports without a request header", {{"ports", "80"}},
       [](CONNECTION_T &c, ProfileContext &) { c.header.reset(); }, false},

      {"url command carried", {{"urlcommands", "bypass,fresh"}},
       [](CONNECTION_T &c, ProfileContext &) { commands(c, {"cache", "fresh"}); }, true},
      {"url command ignores case", {{"urlcommands", "fresh"}},
       [](CONNECTION_T &c, ProfileContext &) { commands(c, {"FRESH"}); }, true},
      {"other url command", {{"urlcommands", "bypass,fresh"}},
       [](CONNECTION_T &c, ProfileContext &) { commands(c, {"cache"}); }, false},
      {"no url command", {{"urlcommands", "fresh"}}, none, false},

      {"proxy host matches", {{"proxyhost", "^proxy\\.lan$"}}, none, true},
      {"proxy host differs", {{"proxyhost", "^proxy\\.lan$"}},
       [](CONNECTION_T &, ProfileContext &x) { x.proxy_host = "gateway.lan"; }, false},
      {"proxy host unknown", {{"proxyhost", "lan"}},
       [](CONNECTION_T &, ProfileContext &x) { x.proxy_host.clear(); }, false},

      {"request header matches", {{"requestheader", "user-agent: testagent"}}, none, true},
      {"request header differs", {{"requestheader", "User-Agent: Other"}}, none, false},
      {"request header pattern without a request", {{"requestheader", ".*"}},
       [](CONNECTION_T &c, ProfileContext &) { c.header.reset(); }, false},

      {"response header matches", {{"responseheader", "server: NGINX"}}, with_response, true},
      {"response header before the response", {{"responseheader", "Server"}}, none, false},
      {"response header differs", {{"responseheader", "Server: apache"}}, with_response,
       false},

      {"group carried", {{"groups", "staff"}},
       [](CONNECTION_T &c, ProfileContext &) { c.groups = {"guests", "staff"}; }, true},
      {"group missing", {{"groups", "staff"}},
       [](CONNECTION_T &c, ProfileContext &) { c.groups = {"guests"}; }, false},
      {"negated group not carried", {{"groups", "!staff"}},
       [](CONNECTION_T &c, ProfileContext &) { c.groups = {"guests"}; }, true},
      {"negated group carried", {{"groups", "!staff"}},
       [](CONNECTION_T &c, ProfileContext &) { c.groups = {"staff"}; }, false},

      {"profile carried", {{"profiles", "local"}},
       [](CONNECTION_T &c, ProfileContext &) { c.profiles = {"local"}; }, true},
      {"profile missing", {{"profiles", "local"}},
       [](CONNECTION_T &c, ProfileContext &) { c.profiles = {"office"}; }, false},
      {"request without profiles", {{"profiles", "local"}}, none, false},
      {"negated profile carried", {{"profiles", "!local"}},
       [](CONNECTION_T &c, ProfileContext &) { c.profiles = {"local"}; }, false},

      // A search that runs into the matcher's limits must not hand out a profile.
      {"runaway pattern on a hostile host", {{"host", "(a+)+$"}},
       [&](CONNECTION_T &c, ProfileContext &) { c.header->host = hostile; }, false},
      {"the same pattern on a harmless host", {{"host", "(a+)+$"}},
       [](CONNECTION_T &c, ProfileContext &) { c.header->host = "aaaa"; }, true},
      // A pattern that does not compile disables its rule rather than dropping the condition.
      {"broken pattern", {{"host", "(example"}}, none, false},
      {"broken pattern in another field", {{"file", "[z-a]"}}, none, false},
  };

  for (const ConditionCase &c : cases) {
    SCOPED_TRACE(c.what);
    Fields rule = c.rule;
    rule["addprofiles"] = "hit";
    load({rule});
    conn = CONNECTION_T();
    conn.header = request_header();
    context.proxy_host = "proxy.lan";
    c.setup(conn, context);
    const StringList before = conn.profiles;
    StringList expected = before;
    if (c.applies) expected.push_back("hit");
    EXPECT_EQ(run(), expected);
  }
}

TEST_F(ProfilesTest, BrokenPatternIsReportedAndSparesOtherRules) {
  load({{{"comment", "typo"}, {"host", "(example"}, {"addprofiles", "a"}},
        {{"host", "example"}, {"addprofiles", "b"}}});
  EXPECT_TRUE(logged("failed to compile regular expression: (example"));
  EXPECT_TRUE(logged("profile rule \"typo\" never applies: its host pattern does not compile"));
  EXPECT_EQ(run(), (StringList{"b"}));
}

struct TimeCase {
  const char *what;
  Fields range;       // active time fields and timeall
  struct tm now;
  bool inside;
};

TEST_F(ProfilesTest, TimeRanges) {
  const Fields all_hours = {{"timeall", "true"}, {"hour", "9,17"}};
  const Fields span_hours = {{"timeall", "false"}, {"hour", "9,17"}};
  // Monday 9:00 to Friday 17:59 as one span, or 9 to 17 on each of Monday to Friday.
  const Fields span_week = {{"timeall", "false"}, {"weekday", "1,5"}, {"hour", "9,17"}};
  const Fields all_week = {{"timeall", "true"}, {"weekday", "1,5"}, {"hour", "9,17"}};
  const std::vector<TimeCase> cases = {
      {"no active range, span", {}, at(2024, 7, 14, 3, 0), true},
      {"no active range, repeating", {{"timeall", "true"}}, at(2024, 7, 14, 3, 0), true},

      {"month inside (0 = January)", {{"month", "5,7"}}, at(2024, 7, 15, 12, 0), true},
      {"month outside", {{"month", "5,7"}}, at(2024, 3, 15, 12, 0), false},
      {"day inside", {{"day", "10,20"}}, at(2024, 7, 15, 12, 0), true},
      {"day outside", {{"day", "10,20"}}, at(2024, 7, 25, 12, 0), false},
      {"weekday inside", {{"weekday", "1,5"}}, at(2024, 7, 17, 12, 0), true},
      {"weekday outside", {{"weekday", "1,5"}}, at(2024, 7, 14, 12, 0), false},
      {"minute inside", {{"timeall", "true"}, {"minute", "0,29"}}, at(2024, 7, 17, 10, 15),
       true},
      {"minute outside", {{"timeall", "true"}, {"minute", "0,29"}}, at(2024, 7, 17, 10, 45),
       false},

      {"repeating hours, 17:30", all_hours, at(2024, 7, 17, 17, 30), true},
      {"repeating hours, 18:00", all_hours, at(2024, 7, 17, 18, 0), false},
      {"repeating hours, 8:59", all_hours, at(2024, 7, 17, 8, 59), false},
      {"repeating hours, 9:00", all_hours, at(2024, 7, 17, 9, 0), true},
      {"span hours, 17:30", span_hours, at(2024, 7, 17, 17, 30), true},
      {"span hours, 18:00", span_hours, at(2024, 7, 17, 18, 0), false},

      {"span week, Tuesday evening", span_week, at(2024, 7, 16, 20, 0), true},
      {"repeating week, Tuesday evening", all_week, at(2024, 7, 16, 20, 0), false},
      {"span week, Monday before nine", span_week, at(2024, 7, 15, 8, 0), false},
      {"repeating week, Tuesday noon", all_week, at(2024, 7, 16, 12, 0), true},
      {"span week, Friday evening", span_week, at(2024, 7, 19, 18, 0), false},
      {"span week, Saturday", span_week, at(2024, 7, 13, 12, 0), false},
  };
  for (const TimeCase &c : cases) {
    SCOPED_TRACE(c.what);
    Fields rule = c.range;
    rule["addprofiles"] = "timed";
    load({rule});
    conn.profiles.clear();
    context.now = c.now;
    EXPECT_EQ(run().has("timed"), c.inside);
  }
}

TEST_F(ProfilesTest, AddsOnlyMissingNamesAndRemovesEveryOccurrence) {
  load({{{"addprofiles", "a,b,,a"}}});
  conn.profiles = {"b"};
  EXPECT_EQ(run(), (StringList{"b", "a"}));
  EXPECT_EQ(run(), (StringList{"b", "a"})) << "a second evaluation adds nothing";

  load({{{"removeprofiles", "x"}}});
  conn.profiles = {"x", "y", "x"};
  EXPECT_EQ(run(), (StringList{"y"}));

  load({{{"addprofiles", "z"}, {"removeprofiles", "z"}}});
  conn.profiles = {"y"};
  EXPECT_EQ(run(), (StringList{"y"})) << "adding and removing the same name leaves it absent";
}

TEST_F(ProfilesTest, LogsEachChangeOnlyWhenAsked) {
  load({{{"log", "true"}, {"addprofiles", "alpha"}, {"removeprofiles", "ghost"}}});
  run();
  EXPECT_TRUE(logged("Added Profile: alpha"));
  EXPECT_TRUE(logged("Removed Profile: ghost")) << "logged even when the name was absent";

  buffer.clear();
  run();
  EXPECT_FALSE(logged("Added Profile: alpha")) << "nothing added the second time";
  EXPECT_TRUE(logged("Removed Profile: ghost"));

  buffer.clear();
  conn.profiles.clear();
  load({{{"addprofiles", "beta"}, {"removeprofiles", "gamma"}}});
  EXPECT_EQ(run(), (StringList{"beta"}));
  EXPECT_FALSE(logged("Profile:"));
}

TEST_F(ProfilesTest, LaterRulesSeeEarlierChanges) {
  const Fields first = {{"profiles", "local"}, {"addprofiles", "stage1"}};
  const Fields second = {{"profiles", "stage1"}, {"addprofiles", "stage2"}};
  const Fields drop_local = {{"removeprofiles", "local"}};
  const Fields needs_local = {{"profiles", "local"}, {"addprofiles", "late"}};

  load({first, second});
  conn.profiles = {"local"};
  EXPECT_EQ(run(), (StringList{"local", "stage1", "stage2"}));

  load({second, first});
  conn.profiles = {"local"};
  EXPECT_EQ(run(), (StringList{"local", "stage1"})) << "an earlier rule sees no later profile";

  load({drop_local, needs_local});
  conn.profiles = {"local"};
  EXPECT_EQ(run(), StringList{});
}

TEST_F(ProfilesTest, ResponseRulesApplyOnceTheResponseArrives) {
  load({{{"mimetype", "html"}, {"addprofiles", "page"}},
        {{"profiles", "page"}, {"responseheader", "nginx"}, {"addprofiles", "nginx-page"}}});
  conn.profiles = {"local"};
  EXPECT_EQ(run(), (StringList{"local"}));
  conn.rheader = response_header();
  EXPECT_EQ(run(), (StringList{"local", "page", "nginx-page"}));
}

TEST_F(ProfilesTest, ReloadReplacesTheRules) {
  load({{{"addprofiles", "old"}}});
  EXPECT_EQ(run(), (StringList{"old"}));
  load({{{"host", "nomatch\\.invalid"}, {"addprofiles", "new"}}});
  conn.profiles.clear();
  EXPECT_EQ(run(), StringList{});
  load({});
  EXPECT_EQ(run(), StringList{});
}

TEST_F(ProfilesTest, ProxyHostFromOptionOrGeneralSection) {
  EXPECT_EQ(profiles_proxy_host(), "") << "neither the option nor the general section";

  GeneralSection general;
  GeneralSection *saved = general_section;
  general_section = &general;
  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.Parse("<quillmoss><general><hostname>gw.example.net</hostname>"
                      "<tempdir>/tmp</tempdir><linelength>80</linelength>"
                      "<poolsize>10</poolsize><pooltimeout>30</pooltimeout>"
                      "</general></quillmoss>"),
            tinyxml2::XML_SUCCESS);
  std::string error;
  ASSERT_TRUE(general.load(doc, 1, &error)) << error;
  EXPECT_EQ(profiles_proxy_host(), "gw.example.net");

  proxyhost = "cmdline.example.net";
  EXPECT_EQ(profiles_proxy_host(), "cmdline.example.net");

  // The clock-taking entry point reads the same name.
  load({{{"proxyhost", "^cmdline\\."}, {"addprofiles", "by-option"}}});
  section->profiles_update(&conn);
  EXPECT_EQ(conn.profiles, (StringList{"by-option"}));
  general_section = saved;
}

TEST(ProfilesLogText, JoinsAndBounds) {
  EXPECT_EQ(profiles_log_text({}), "");
  EXPECT_EQ(profiles_log_text({"local", "office"}), "local,office");
  const std::string long_name(1500, 'p');
  const std::string text = profiles_log_text({long_name, long_name});
  EXPECT_EQ(text.size(), PROFILES_LOG_MAX);
  EXPECT_EQ(text, (long_name + "," + long_name).substr(0, PROFILES_LOG_MAX));
}

}  // namespace
