// Document rewrite: regular-expression substitutions in headers and bodies.
#pragma once

#include <iterator>

#include "section.h"

enum RewriteGlobal : int { REWRITE_ENABLED = 0 };
enum RewriteSub : int { REWRITE_SUB_REWRITE = 0 };
enum RewriteRuleField : int {
  REWRITE_RULE_ENABLED = 0, REWRITE_RULE_COMMENT, REWRITE_RULE_PROFILES, REWRITE_RULE_MIMETYPE,
  REWRITE_RULE_PATTERN, REWRITE_RULE_REPLACE, REWRITE_RULE_APPLYTO,
};

inline constexpr FieldSpec REWRITE_GLOBALS[] = { {"enabled", FT_BOOL} };
inline constexpr FieldSpec REWRITE_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"profiles", FT_STRING_LIST},
  {"mimetype", FT_STRING}, {"pattern", FT_STRING}, {"replace", FT_STRING},
  {"applyto", FT_STRING_SELECT_MANY} };
inline constexpr SubsectionSpec REWRITE_SUBSECTIONS[] = { {"rewrite", REWRITE_RULE_FIELDS} };
inline constexpr SectionSpec REWRITE_SPEC = { "rewrite", REWRITE_GLOBALS, REWRITE_SUBSECTIONS };

static_assert(std::size(REWRITE_GLOBALS) == REWRITE_ENABLED + 1);
static_assert(std::size(REWRITE_SUBSECTIONS) == REWRITE_SUB_REWRITE + 1);
static_assert(std::size(REWRITE_RULE_FIELDS) == REWRITE_RULE_APPLYTO + 1);

class RewriteSection : public Section {
 public:
  RewriteSection();
  void update() override;
};
extern RewriteSection *rewrite_section;
