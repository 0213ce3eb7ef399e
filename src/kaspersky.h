// Kaspersky section: scanning of buffered response bodies by the Kaspersky daemon.
#pragma once

#include <iterator>

#include "section.h"

enum KasperskyGlobal : int { KASPERSKY_ENABLED = 0, KASPERSKY_TEMPLATE, KASPERSKY_SOCKETPATH };
enum KasperskySub : int { KASPERSKY_SUB_KASPERSKY = 0 };
enum KasperskyRuleField : int {
  KASPERSKY_RULE_ENABLED = 0, KASPERSKY_RULE_COMMENT, KASPERSKY_RULE_PROFILES,
  KASPERSKY_RULE_TEMPLATE,
};

inline constexpr FieldSpec KASPERSKY_GLOBALS[] = {
  {"enabled", FT_BOOL}, {"template", FT_STRING}, {"socketpath", FT_STRING} };
inline constexpr FieldSpec KASPERSKY_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"profiles", FT_STRING_LIST},
  {"template", FT_STRING} };
inline constexpr SubsectionSpec KASPERSKY_SUBSECTIONS[] = {
  {"kaspersky", KASPERSKY_RULE_FIELDS} };
inline constexpr SectionSpec KASPERSKY_SPEC = {
  "kaspersky", KASPERSKY_GLOBALS, KASPERSKY_SUBSECTIONS };

static_assert(std::size(KASPERSKY_GLOBALS) == KASPERSKY_SOCKETPATH + 1);
static_assert(std::size(KASPERSKY_SUBSECTIONS) == KASPERSKY_SUB_KASPERSKY + 1);
static_assert(std::size(KASPERSKY_RULE_FIELDS) == KASPERSKY_RULE_TEMPLATE + 1);

class KasperskySection : public Section {
 public:
  KasperskySection();
  void update() override;
};
extern KasperskySection *kaspersky_section;
