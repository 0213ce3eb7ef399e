// URL blacklist: refuses requests listed in the categories of an on-disk blacklist database.
#pragma once

#include <iterator>

#include "section.h"

enum UrlblGlobal : int { URLBL_ENABLED = 0, URLBL_DEFAULTDENY, URLBL_DIRECTORY, URLBL_TEMPLATE };
// Subsection 1 holds the block rules.
enum UrlblSub : int { URLBL_SUB_ALLOW = 0, URLBL_SUB_DENY };
enum UrlblRuleField : int {
  URLBL_RULE_ENABLED = 0, URLBL_RULE_COMMENT, URLBL_RULE_GROUPS, URLBL_RULE_PROFILES,
  URLBL_RULE_CATEGORIES, URLBL_RULE_TEMPLATE,
};

inline constexpr FieldSpec URLBL_GLOBALS[] = {
  {"enabled", FT_BOOL}, {"defaultdeny", FT_BOOL}, {"directory", FT_STRING},
  {"template", FT_STRING} };
inline constexpr FieldSpec URLBL_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"categories", FT_STRING_LIST}, {"template", FT_STRING} };
inline constexpr SubsectionSpec URLBL_SUBSECTIONS[] = {
  {"allow", URLBL_RULE_FIELDS}, {"deny", URLBL_RULE_FIELDS} };
inline constexpr SectionSpec URLBL_SPEC = { "urlblacklist", URLBL_GLOBALS, URLBL_SUBSECTIONS };

static_assert(std::size(URLBL_GLOBALS) == URLBL_TEMPLATE + 1);
static_assert(std::size(URLBL_SUBSECTIONS) == URLBL_SUB_DENY + 1);
static_assert(std::size(URLBL_RULE_FIELDS) == URLBL_RULE_TEMPLATE + 1);

class URLBLSection : public Section {
 public:
  URLBLSection();
  void update() override;
};
extern URLBLSection *urlbl_section;
