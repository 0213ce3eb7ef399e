// Site categorisation: per-host category scores turned into request profiles.
#pragma once

#include <iterator>

#include "section.h"

enum OrvexGlobal : int { ORVEX_ENABLED = 0, ORVEX_HINTSDIR };
enum OrvexSub : int { ORVEX_SUB_ORVEX = 0 };
enum OrvexRuleField : int {
  ORVEX_RULE_ENABLED = 0, ORVEX_RULE_COMMENT, ORVEX_RULE_LOG, ORVEX_RULE_GROUPS,
  ORVEX_RULE_PROFILES, ORVEX_RULE_CATEGORIES, ORVEX_RULE_SCORERANGE, ORVEX_RULE_ADDPROFILES,
  ORVEX_RULE_REMOVEPROFILES,
};

inline constexpr FieldSpec ORVEX_GLOBALS[] = { {"enabled", FT_BOOL}, {"hintsdir", FT_STRING} };
inline constexpr FieldSpec ORVEX_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"log", FT_BOOL},
  {"groups", FT_STRING_LIST}, {"profiles", FT_STRING_LIST}, {"categories", FT_STRING_LIST},
  {"scorerange", FT_STRING}, {"addprofiles", FT_STRING_LIST},
  {"removeprofiles", FT_STRING_LIST} };
inline constexpr SubsectionSpec ORVEX_SUBSECTIONS[] = { {"orvex", ORVEX_RULE_FIELDS} };
inline constexpr SectionSpec ORVEX_SPEC = { "Orvex", ORVEX_GLOBALS, ORVEX_SUBSECTIONS };

static_assert(std::size(ORVEX_GLOBALS) == ORVEX_HINTSDIR + 1);
static_assert(std::size(ORVEX_SUBSECTIONS) == ORVEX_SUB_ORVEX + 1);
static_assert(std::size(ORVEX_RULE_FIELDS) == ORVEX_RULE_REMOVEPROFILES + 1);

class ORVEX_Section : public Section {
 public:
  ORVEX_Section();
  void update() override;
};
extern ORVEX_Section *orvex_section;
