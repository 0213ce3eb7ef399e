// The general and FTP sections over the real schema: defaults without rules, the choice of
// the one applying rule, every per-user value, and the FTP accessors.
#include "general.h"

#include <gtest/gtest.h>

#include "testutil.h"
#include <tinyxml2.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "misc.h"
#include "network.h"
#include "xml.h"

namespace {


using Values = std::map<std::string, std::string>;

// One "general" rule element with every field written; `values` overrides the defaults.
std::string general_rule(const Values &values) {
  static const std::pair<const char *, const char *> fields[] = {
      {"enabled", "true"},      {"comment", ""},        {"groups", ""},
      {"profiles", ""},         {"ctimeout", "60"},     {"timeout", "60"},
      {"keeptimeout", "60"},    {"maxdbuffer", "0"},    {"maxubuffer", "0"},
      {"bufferwait", "0"},      {"cportrange", ""},     {"encodemime", ""},
      {"compressout", "false"}, {"compressin", "false"}, {"xforwardedfor", "false"},
      {"via", "false"},
  };
  std::string xml = "<general>";
  for (const auto &[name, fallback] : fields) {
    auto it = values.find(name);
    xml += std::string("<") + name + ">" + (it != values.end() ? it->second : fallback) + "</" +
           name + ">";
  }
  return xml + "</general>";
}

std::string general_document(const std::vector<Values> &rules, int linelength = 72) {
  std::string xml = "<quillmoss><general><hostname>proxy.example</hostname>"
                    "<tempdir>/var/tmp/qm</tempdir><linelength>" +
                    std::to_string(linelength) +
                    "</linelength><poolsize>12</poolsize><pooltimeout>7</pooltimeout>";
  for (const Values &r : rules) xml += general_rule(r);
  return xml + "</general></quillmoss>";
}

class GeneralTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(schema_load(schema_path(), &error)) << error;
    general = std::make_unique<GeneralSection>();
    ftp = std::make_unique<FtpSection>();
  }

  void load(const std::string &text) {
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse(text.c_str()), tinyxml2::XML_SUCCESS) << text;
    std::string error;
    ASSERT_TRUE(general->load(doc, 1, &error)) << error;
  }

  static CONNECTION_T connection(StringList groups, StringList profiles) {
    CONNECTION_T c;
    c.groups = std::move(groups);
    c.profiles = std::move(profiles);
    c.ctimeout = c.timeout = c.keeptimeout = -7;  // shows whether the accessors store
    return c;
  }

  std::unique_ptr<GeneralSection> general;
  std::unique_ptr<FtpSection> ftp;
};

TEST_F(GeneralTest, GlobalValuesAndLineLength) {
  html_line_length = 0;
  load(general_document({}, 72));
  EXPECT_EQ(general->hostname_get(), "proxy.example");
  EXPECT_EQ(general->tempdir_get(), "/var/tmp/qm");
  EXPECT_EQ(general->linelength_get(), 72);
  EXPECT_EQ(general->poolsize_get(), 12);
  EXPECT_EQ(general->pooltimeout_get(), 7);
  EXPECT_EQ(html_line_length, 72);

  load(general_document({}, 40));
  EXPECT_EQ(general->linelength_get(), 40);
  EXPECT_EQ(html_line_length, 40) << "a reload must carry the new line length to the HTML escaper";
}

TEST_F(GeneralTest, DefaultsWithoutAnyRule) {
  load(general_document({}));
  CONNECTION_T c = connection({"admins"}, {"staff"});
  EXPECT_EQ(general->ctimeout_get(&c), 60);
  EXPECT_EQ(general->timeout_get(&c), 60);
  EXPECT_EQ(general->keeptimeout_get(&c), 60);
  EXPECT_EQ(c.ctimeout, 60);
  EXPECT_EQ(c.timeout, 60);
  EXPECT_EQ(c.keeptimeout, 60);
  EXPECT_EQ(general->maxdbuffer_get(&c), 0u);
  EXPECT_EQ(general->maxubuffer_get(&c), 0u);
  EXPECT_EQ(general->bufferwait_get(&c), 0);
  for (int port : {1, 22, 443, 8080, 65535}) EXPECT_TRUE(general->cportrange_check(&c, port)) << port;
  EXPECT_FALSE(general->encodemime_check(&c, "text/html"));
  EXPECT_FALSE(general->compressout_get(&c));
  EXPECT_FALSE(general->compressin_get(&c));
  EXPECT_FALSE(general->xforwardedfor_get(&c));
  EXPECT_FALSE(general->via_get(&c));
  EXPECT_EQ(general->find(&c), nullptr);
}

// The first enabled rule whose lists match gives every value; nothing is merged from the
// rules after it, and a request no rule applies to gets the defaults.
TEST_F(GeneralTest, FirstApplyingRuleGivesAllValues) {
  load(general_document({
      {{"enabled", "false"}, {"timeout", "5"}, {"via", "true"}},
      {{"profiles", "staff"}, {"timeout", "300"}, {"keeptimeout", "10"}, {"via", "true"}},
      {{"groups", "!guests,admins"}, {"timeout", "120"}, {"compressin", "true"}},
      {{"profiles", "!blocked"}, {"timeout", "30"}, {"keeptimeout", "20"}},
  }));
  struct Case {
    StringList groups, profiles;
    int timeout, keeptimeout;
    bool via, compressin;
  };
  const Case cases[] = {
      {{}, {"staff"}, 300, 10, true, false},
      {{"admins"}, {"staff"}, 300, 10, true, false},  // rule order, not specificity
      {{"admins"}, {"other"}, 120, 60, false, true},
      {{"guests", "admins"}, {"other"}, 30, 20, false, false},  // "!guests" decides first
      {{}, {"other"}, 30, 20, false, false},
      {{}, {}, 60, 60, false, false},           // no profiles: "!blocked" does not apply
      {{}, {"blocked"}, 60, 60, false, false},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE("groups " + k.groups.join(',') + " profiles " + k.profiles.join(','));
    CONNECTION_T c = connection(k.groups, k.profiles);
    EXPECT_EQ(general->timeout_get(&c), k.timeout);
    EXPECT_EQ(c.timeout, k.timeout);
    EXPECT_EQ(general->keeptimeout_get(&c), k.keeptimeout);
    EXPECT_EQ(general->via_get(&c), k.via);
    EXPECT_EQ(general->compressin_get(&c), k.compressin);
  }
  // A null connection is a request without groups and profiles.
  EXPECT_EQ(general->timeout_get(nullptr), 60);
}

TEST_F(GeneralTest, EveryValueOfTheRule) {
  load(general_document({{{"ctimeout", "11"}, {"timeout", "22"}, {"keeptimeout", "33"},
                          {"maxdbuffer", "2M"}, {"maxubuffer", "10K"}, {"bufferwait", "7"},
                          {"cportrange", "443,8000-8080"}, {"encodemime", "^text/(html|css)"},
                          {"compressout", "true"}, {"compressin", "true"},
                          {"xforwardedfor", "true"}, {"via", "true"}}}));
  CONNECTION_T c = connection({}, {});
  EXPECT_EQ(general->ctimeout_get(&c), 11);
  EXPECT_EQ(c.ctimeout, 11);
  EXPECT_EQ(general->timeout_get(&c), 22);
  EXPECT_EQ(general->keeptimeout_get(&c), 33);
  EXPECT_EQ(general->maxdbuffer_get(&c), 2097152u);
  EXPECT_EQ(general->maxubuffer_get(&c), 10240u);
  EXPECT_EQ(general->bufferwait_get(&c), 7);
  EXPECT_TRUE(general->compressout_get(&c));
  EXPECT_TRUE(general->compressin_get(&c));
  EXPECT_TRUE(general->xforwardedfor_get(&c));
  EXPECT_TRUE(general->via_get(&c));

  const std::pair<int, bool> ports[] = {{443, true},   {442, false}, {444, false}, {8000, true},
                                        {8042, true},  {8080, true}, {8081, false}, {80, false},
                                        {0, false},    {-1, false}};
  for (const auto &[port, allowed] : ports)
    EXPECT_EQ(general->cportrange_check(&c, port), allowed) << port;

  const std::pair<const char *, bool> types[] = {
      {"text/html", true},       {"TEXT/HTML; charset=utf-8", true}, {"text/css", true},
      {"text/plain", false},     {"application/xhtml+xml", false},   {"image/png", false},
      {"", false},
  };
  for (const auto &[type, compressed] : types)
    EXPECT_EQ(general->encodemime_check(&c, type), compressed) << type;
}

TEST_F(GeneralTest, UnusablePatternCompressesNothing) {
  load(general_document({{{"encodemime", "text/(html"}, {"timeout", "9"}}}));
  CONNECTION_T c = connection({}, {});
  EXPECT_FALSE(general->encodemime_check(&c, "text/html"));
  EXPECT_FALSE(general->encodemime_check(&c, "text/(html"));
  EXPECT_EQ(general->timeout_get(&c), 9) << "the rule itself still applies";
}

TEST_F(GeneralTest, ReloadReplacesTheRules) {
  load(general_document({{{"timeout", "300"}, {"cportrange", "443"}}}));
  CONNECTION_T c = connection({}, {});
  EXPECT_EQ(general->timeout_get(&c), 300);
  EXPECT_FALSE(general->cportrange_check(&c, 25));

  load(general_document({}));
  EXPECT_EQ(general->timeout_get(&c), 60);
  EXPECT_TRUE(general->cportrange_check(&c, 25));
}

// ---- FTP -----------------------------------------------------------------------------

std::string ftp_document(const char *passive, const char *order, const char *field) {
  return std::string("<quillmoss><ftp><passive>") + passive +
         "</passive><timeout>45</timeout><user>ftpuser</user><password>s3cret@</password>"
         "<sortorder>" + order + "</sortorder><sortfield>" + field +
         "</sortfield></ftp></quillmoss>";
}

TEST_F(GeneralTest, FtpSettings) {
  struct Case {
    const char *passive, *order, *field;
    bool passive_on;
    int order_pos, field_pos;
  };
  const Case cases[] = {
      {"true", "ascending", "none", true, FTP_SORT_ASCENDING, FTP_SORT_NONE},
      {"false", "descending", "date", false, FTP_SORT_DESCENDING, FTP_SORT_DATE},
      {"true", "ascending", "name", true, FTP_SORT_ASCENDING, FTP_SORT_NAME},
      {"true", "descending", "size", true, FTP_SORT_DESCENDING, FTP_SORT_SIZE},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(std::string(k.order) + " " + k.field);
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse(ftp_document(k.passive, k.order, k.field).c_str()), tinyxml2::XML_SUCCESS);
    std::string error;
    ASSERT_TRUE(ftp->load(doc, 1, &error)) << error;
    EXPECT_EQ(ftp->passive_get(), k.passive_on);
    EXPECT_EQ(ftp->timeout_get(), 45);
    EXPECT_EQ(ftp->sortorder_get(), k.order_pos);
    EXPECT_EQ(ftp->sortfield_get(), k.field_pos);
    std::string user, password;
    ftp->credentials_get(&user, &password);
    EXPECT_EQ(user, "ftpuser");
    EXPECT_EQ(password, "s3cret@");
  }
}

// The FTP gateway reads option positions through the enums: the schema's option lists must
// hold the options in that order.
TEST_F(GeneralTest, FtpOptionOrderMatchesTheEnums) {
  const StringSelectVector &order = ftp->globals[FTP_SORTORDER].options;
  const StringSelectVector &field = ftp->globals[FTP_SORTFIELD].options;
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(order[FTP_SORT_ASCENDING].name, "ascending");
  EXPECT_EQ(order[FTP_SORT_DESCENDING].name, "descending");
  ASSERT_EQ(field.size(), 4u);
  EXPECT_EQ(field[FTP_SORT_NONE].name, "none");
  EXPECT_EQ(field[FTP_SORT_NAME].name, "name");
  EXPECT_EQ(field[FTP_SORT_SIZE].name, "size");
  EXPECT_EQ(field[FTP_SORT_DATE].name, "date");
}

}  // namespace
