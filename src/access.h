// Access section: which clients may use the proxy, with which credentials, permissions,
// bypassed filters and starting profiles.
#pragma once

#include <iterator>

#include "section.h"

enum AccessGlobal : int { ACCESS_DEFAULTDENY = 0, ACCESS_NTLM };
enum AccessSub : int { ACCESS_SUB_ALLOW = 0, ACCESS_SUB_DENY };
enum AccessRuleField : int {
  ACCESS_RULE_ENABLED = 0, ACCESS_RULE_COMMENT, ACCESS_RULE_LOGPROFILES, ACCESS_RULE_GROUPS,
  ACCESS_RULE_INTERFACES, ACCESS_RULE_ADDRESSES, ACCESS_RULE_SYSTEMAUTH, ACCESS_RULE_USER,
  ACCESS_RULE_PASSWORD, ACCESS_RULE_ACCESS, ACCESS_RULE_BYPASS, ACCESS_RULE_INTERFACEUSER,
  ACCESS_RULE_INTERFACEPASSWORD, ACCESS_RULE_PROFILES,
};

inline constexpr FieldSpec ACCESS_GLOBALS[] = {
  {"defaultdeny", FT_BOOL}, {"ntlm", FT_BOOL} };
inline constexpr FieldSpec ACCESS_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"logprofiles", FT_BOOL},
  {"groups", FT_STRING_LIST}, {"interfaces", FT_STRING_LIST}, {"addresses", FT_IP_RANGE_LIST},
  {"systemauth", FT_BOOL}, {"user", FT_STRING}, {"password", FT_STRING},
  {"access", FT_STRING_SELECT_MANY}, {"bypass", FT_STRING_SELECT_MANY},
  {"interfaceuser", FT_STRING}, {"interfacepassword", FT_STRING}, {"profiles", FT_STRING_LIST} };
inline constexpr SubsectionSpec ACCESS_SUBSECTIONS[] = {
  {"allow", ACCESS_RULE_FIELDS}, {"deny", ACCESS_RULE_FIELDS} };
inline constexpr SectionSpec ACCESS_SPEC = { "access", ACCESS_GLOBALS, ACCESS_SUBSECTIONS };

static_assert(std::size(ACCESS_GLOBALS) == ACCESS_NTLM + 1);
static_assert(std::size(ACCESS_SUBSECTIONS) == ACCESS_SUB_DENY + 1);
static_assert(std::size(ACCESS_RULE_FIELDS) == ACCESS_RULE_PROFILES + 1);

class AccessSection : public Section {
 public:
  AccessSection();
  void update() override;
};
extern AccessSection *access_section;
