// Profiles section: rules that add and remove request profiles.
#pragma once

#include <iterator>

#include "section.h"

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

class ProfileSection : public Section {
 public:
  ProfileSection();
  void update() override;
};
extern ProfileSection *profile_section;
