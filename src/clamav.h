// ClamAV section: scanning of buffered response bodies by clamd.
#pragma once

#include <iterator>

#include "section.h"

enum ClamAVGlobal : int { CLAMAV_ENABLED = 0, CLAMAV_SERVER, CLAMAV_PORT, CLAMAV_TEMPLATE };
enum ClamAVSub : int { CLAMAV_SUB_CLAMAV = 0 };
enum ClamAVRuleField : int {
  CLAMAV_RULE_ENABLED = 0, CLAMAV_RULE_COMMENT, CLAMAV_RULE_GROUPS, CLAMAV_RULE_PROFILES,
  CLAMAV_RULE_TEMPLATE,
};

inline constexpr FieldSpec CLAMAV_GLOBALS[] = {
  {"enabled", FT_BOOL}, {"server", FT_STRING}, {"port", FT_INT}, {"template", FT_STRING} };
inline constexpr FieldSpec CLAMAV_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"template", FT_STRING} };
inline constexpr SubsectionSpec CLAMAV_SUBSECTIONS[] = { {"clamav", CLAMAV_RULE_FIELDS} };
inline constexpr SectionSpec CLAMAV_SPEC = { "clamav", CLAMAV_GLOBALS, CLAMAV_SUBSECTIONS };

static_assert(std::size(CLAMAV_GLOBALS) == CLAMAV_TEMPLATE + 1);
static_assert(std::size(CLAMAV_SUBSECTIONS) == CLAMAV_SUB_CLAMAV + 1);
static_assert(std::size(CLAMAV_RULE_FIELDS) == CLAMAV_RULE_TEMPLATE + 1);

class ClamAVSection : public Section {
 public:
  ClamAVSection();
  void update() override;
};
extern ClamAVSection *clamav_section;
