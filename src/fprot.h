// F-Prot section: scanning of buffered response bodies by the F-Prot daemon.
#pragma once

#include <iterator>

#include "section.h"

enum FProtGlobal : int { FPROT_ENABLED = 0, FPROT_TEMPLATE };
enum FProtSub : int { FPROT_SUB_FPROT = 0 };
enum FProtRuleField : int {
  FPROT_RULE_ENABLED = 0, FPROT_RULE_COMMENT, FPROT_RULE_PROFILES, FPROT_RULE_TEMPLATE,
  FPROT_RULE_ARCHIVEDEPTH, FPROT_RULE_OPTIONS,
};

inline constexpr FieldSpec FPROT_GLOBALS[] = { {"enabled", FT_BOOL}, {"template", FT_STRING} };
inline constexpr FieldSpec FPROT_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"profiles", FT_STRING_LIST},
  {"template", FT_STRING}, {"archivedepth", FT_INT}, {"options", FT_STRING_SELECT_MANY} };
inline constexpr SubsectionSpec FPROT_SUBSECTIONS[] = { {"fprot", FPROT_RULE_FIELDS} };
inline constexpr SectionSpec FPROT_SPEC = { "fprot", FPROT_GLOBALS, FPROT_SUBSECTIONS };

static_assert(std::size(FPROT_GLOBALS) == FPROT_TEMPLATE + 1);
static_assert(std::size(FPROT_SUBSECTIONS) == FPROT_SUB_FPROT + 1);
static_assert(std::size(FPROT_RULE_FIELDS) == FPROT_RULE_OPTIONS + 1);

class FProtSection : public Section {
 public:
  FProtSection();
  void update() override;
};
extern FProtSection *fprot_section;
