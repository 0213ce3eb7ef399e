// Profiles section: rules that add and remove request profiles.
#pragma once

#include <ctime>
#include <cstddef>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "misc.h"
#include "regexp.h"
#include "section.h"

struct CONNECTION_T;

enum ProfileSub : int { PROFILES_SUB_PROFILE = 0 };
// The five time ranges are optional: an inactive one leaves its part of the bound unset.
enum ProfileRuleField : int {
  PROFILE_RULE_ENABLED = 0, PROFILE_RULE_COMMENT, PROFILE_RULE_LOG, PROFILE_RULE_GROUPS,
  PROFILE_RULE_PROFILES, PROFILE_RULE_PROTOCOL, PROFILE_RULE_HOST, PROFILE_RULE_FILE,
  PROFILE_RULE_MIMETYPE, PROFILE_RULE_PORTS, PROFILE_RULE_URLCOMMANDS, PROFILE_RULE_PROXYHOST,
  PROFILE_RULE_REQUESTHEADER, PROFILE_RULE_RESPONSEHEADER, PROFILE_RULE_MONTH,
  PROFILE_RULE_DAY, PROFILE_RULE_WEEKDAY, PROFILE_RULE_HOUR, PROFILE_RULE_MINUTE,
  PROFILE_RULE_TIMEALL, PROFILE_RULE_ADDPROFILES, PROFILE_RULE_REMOVEPROFILES,
};

inline constexpr FieldSpec PROFILE_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"log", FT_BOOL},
  {"groups", FT_STRING_LIST}, {"profiles", FT_STRING_LIST}, {"protocol", FT_STRING},
  {"host", FT_STRING}, {"file", FT_STRING}, {"mimetype", FT_STRING},
  {"ports", FT_PORT_RANGE_LIST}, {"urlcommands", FT_STRING_LIST}, {"proxyhost", FT_STRING},
  {"requestheader", FT_STRING}, {"responseheader", FT_STRING}, {"month", FT_INT_RANGE},
  {"day", FT_INT_RANGE}, {"weekday", FT_INT_RANGE}, {"hour", FT_INT_RANGE},
  {"minute", FT_INT_RANGE}, {"timeall", FT_BOOL}, {"addprofiles", FT_STRING_LIST},
  {"removeprofiles", FT_STRING_LIST} };
inline constexpr SubsectionSpec PROFILES_SUBSECTIONS[] = { {"profile", PROFILE_RULE_FIELDS} };
inline constexpr SectionSpec PROFILES_SPEC = { "profiles", {}, PROFILES_SUBSECTIONS };

static_assert(std::size(PROFILES_SUBSECTIONS) == PROFILES_SUB_PROFILE + 1);
static_assert(std::size(PROFILE_RULE_FIELDS) == PROFILE_RULE_REMOVEPROFILES + 1);

// Longest profile list of an access-log record; the joined names are cut there.
constexpr std::size_t PROFILES_LOG_MAX = 2045;

// One profile rule, built from one item by ProfileSection::update(). A null pattern is an
// absent condition.
struct Profile {
  bool enabled = false;
  bool log = false;
  // A pattern of the rule did not compile: the rule never applies, since a condition that
  // quietly vanished would widen the rule to requests it was never meant for.
  bool broken = false;
  StringList groups;
  StringList profiles;
  std::unique_ptr<Regex> protocol, host, file, mimetype, proxyhost, requestheader,
      responseheader;
  PortRangeList ports;
  StringList urlcommands;
  bool has_time_range = false;  // some of month, day, weekday, hour, minute is active
  tm_partial from, to;          // the year is never set
  bool timeall = false;
  StringList addprofiles;
  StringList removeprofiles;
};

// What a rule is evaluated against besides the connection: the local time and the proxy's
// own host name.
struct ProfileContext {
  struct tm now {};
  std::string proxy_host;
};

class ProfileSection : public Section {
 public:
  ProfileSection();
  // Rebuilds the rule list from the items, in item order (write lock held).
  void update() override;

  // Evaluates every rule, in order, against the connection now, and adds and removes the
  // profiles of each rule that applies; later rules see the changes of earlier ones. Takes
  // the proxy host name (profiles_proxy_host) before the section's read lock.
  void profiles_update(CONNECTION_T *conn);
  // The same at a given local time and proxy host name.
  void profiles_update(CONNECTION_T *conn, const ProfileContext &context);

 private:
  std::vector<Profile> rules_;  // guarded by the section lock
};
extern ProfileSection *profile_section;

// The proxy's own host name: the -H value when given, else the general section's host name
// (under that section's read lock; "" before the section exists).
std::string profiles_proxy_host();

// The profile list as the access-log record carries it: the names joined with ",", cut to
// PROFILES_LOG_MAX characters.
std::string profiles_log_text(const StringList &profiles);
