// Cookie filter: allow and deny rules for Cookie and Set-Cookie lines.
#pragma once

#include <iterator>

#include "section.h"

enum CookieGlobal : int { COOKIE_ENABLED = 0, COOKIE_DEFAULTDENY };
enum CookieSub : int { COOKIE_SUB_ALLOW = 0, COOKIE_SUB_DENY };
// The six expiry ranges are optional: an inactive one places no condition on its part.
enum CookieRuleField : int {
  COOKIE_RULE_ENABLED = 0, COOKIE_RULE_COMMENT, COOKIE_RULE_GROUPS, COOKIE_RULE_PROFILES,
  COOKIE_RULE_YEARS, COOKIE_RULE_MONTHS, COOKIE_RULE_DAYS, COOKIE_RULE_WEEKDAYS,
  COOKIE_RULE_HOURS, COOKIE_RULE_MINUTES, COOKIE_RULE_DOMAIN, COOKIE_RULE_PATH,
  COOKIE_RULE_DIRECTION, COOKIE_RULE_TIMEALL,
};

inline constexpr FieldSpec COOKIE_GLOBALS[] = {
  {"enabled", FT_BOOL}, {"defaultdeny", FT_BOOL} };
inline constexpr FieldSpec COOKIE_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"years", FT_INT_RANGE}, {"months", FT_INT_RANGE},
  {"days", FT_INT_RANGE}, {"weekdays", FT_INT_RANGE}, {"hours", FT_INT_RANGE},
  {"minutes", FT_INT_RANGE}, {"domain", FT_STRING}, {"path", FT_STRING},
  {"direction", FT_STRING_SELECT_ONE}, {"timeall", FT_BOOL} };
inline constexpr SubsectionSpec COOKIE_SUBSECTIONS[] = {
  {"allow", COOKIE_RULE_FIELDS}, {"deny", COOKIE_RULE_FIELDS} };
inline constexpr SectionSpec COOKIE_SPEC = {
  "cookies-filtering", COOKIE_GLOBALS, COOKIE_SUBSECTIONS };

static_assert(std::size(COOKIE_GLOBALS) == COOKIE_DEFAULTDENY + 1);
static_assert(std::size(COOKIE_SUBSECTIONS) == COOKIE_SUB_DENY + 1);
static_assert(std::size(COOKIE_RULE_FIELDS) == COOKIE_RULE_TIMEALL + 1);

class CookieSection : public Section {
 public:
  CookieSection();
  void update() override;
};
extern CookieSection *cookie_section;
