// Sophie section: scanning of buffered response bodies by the Sophie daemon.
#pragma once

#include <iterator>

#include "section.h"

enum SophieGlobal : int {
  SOPHIE_ENABLED = 0, SOPHIE_SOCKETPATH, SOPHIE_HOST, SOPHIE_PORT, SOPHIE_TEMPLATE,
};
enum SophieSub : int { SOPHIE_SUB_SOPHIE = 0 };
enum SophieRuleField : int {
  SOPHIE_RULE_ENABLED = 0, SOPHIE_RULE_COMMENT, SOPHIE_RULE_PROFILES, SOPHIE_RULE_TEMPLATE,
};

inline constexpr FieldSpec SOPHIE_GLOBALS[] = {
  {"enabled", FT_BOOL}, {"socketpath", FT_STRING}, {"host", FT_STRING}, {"port", FT_INT},
  {"template", FT_STRING} };
inline constexpr FieldSpec SOPHIE_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"profiles", FT_STRING_LIST},
  {"template", FT_STRING} };
inline constexpr SubsectionSpec SOPHIE_SUBSECTIONS[] = { {"sophie", SOPHIE_RULE_FIELDS} };
inline constexpr SectionSpec SOPHIE_SPEC = { "sophie", SOPHIE_GLOBALS, SOPHIE_SUBSECTIONS };

static_assert(std::size(SOPHIE_GLOBALS) == SOPHIE_TEMPLATE + 1);
static_assert(std::size(SOPHIE_SUBSECTIONS) == SOPHIE_SUB_SOPHIE + 1);
static_assert(std::size(SOPHIE_RULE_FIELDS) == SOPHIE_RULE_TEMPLATE + 1);

class SophieSection : public Section {
 public:
  SophieSection();
  void update() override;
};
extern SophieSection *sophie_section;
