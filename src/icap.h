// ICAP section: ICAP services that inspect or adapt requests and responses.
#pragma once

#include <iterator>

#include "section.h"

enum IcapGlobal : int { ICAP_ENABLED = 0 };
enum IcapSub : int { ICAP_SUB_ICAP = 0 };
enum IcapRuleField : int {
  ICAP_RULE_ENABLED = 0, ICAP_RULE_COMMENT, ICAP_RULE_PROFILES, ICAP_RULE_HOST,
  ICAP_RULE_SERVICE, ICAP_RULE_PORT, ICAP_RULE_MODE,
};

inline constexpr FieldSpec ICAP_GLOBALS[] = { {"enabled", FT_BOOL} };
inline constexpr FieldSpec ICAP_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"profiles", FT_STRING_LIST},
  {"host", FT_STRING}, {"service", FT_STRING}, {"port", FT_UINT},
  {"mode", FT_STRING_SELECT_MANY} };
inline constexpr SubsectionSpec ICAP_SUBSECTIONS[] = { {"icap", ICAP_RULE_FIELDS} };
inline constexpr SectionSpec ICAP_SPEC = { "icap", ICAP_GLOBALS, ICAP_SUBSECTIONS };

static_assert(std::size(ICAP_GLOBALS) == ICAP_ENABLED + 1);
static_assert(std::size(ICAP_SUBSECTIONS) == ICAP_SUB_ICAP + 1);
static_assert(std::size(ICAP_RULE_FIELDS) == ICAP_RULE_MODE + 1);

class ICAPSection : public Section {
 public:
  ICAPSection();
  void update() override;
};
extern ICAPSection *icap_section;
