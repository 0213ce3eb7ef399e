// Keyword filter: weighted regular expressions scored against buffered response bodies.
#pragma once

#include <iterator>

#include "section.h"

enum KeywordGlobal : int { KEYWORD_ENABLED = 0, KEYWORD_THRESHOLD, KEYWORD_TEMPLATE };
enum KeywordSub : int { KEYWORD_SUB_KEYWORD = 0 };
enum KeywordRuleField : int {
  KEYWORD_RULE_ENABLED = 0, KEYWORD_RULE_COMMENT, KEYWORD_RULE_GROUPS, KEYWORD_RULE_PROFILES,
  KEYWORD_RULE_MIMETYPE, KEYWORD_RULE_KEYWORD, KEYWORD_RULE_SCORE,
};

inline constexpr FieldSpec KEYWORD_GLOBALS[] = {
  {"enabled", FT_BOOL}, {"threshold", FT_INT}, {"template", FT_STRING} };
inline constexpr FieldSpec KEYWORD_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"mimetype", FT_STRING}, {"keyword", FT_STRING},
  {"score", FT_INT} };
inline constexpr SubsectionSpec KEYWORD_SUBSECTIONS[] = { {"keyword", KEYWORD_RULE_FIELDS} };
inline constexpr SectionSpec KEYWORD_SPEC = {
  "keywords-filtering", KEYWORD_GLOBALS, KEYWORD_SUBSECTIONS };

static_assert(std::size(KEYWORD_GLOBALS) == KEYWORD_TEMPLATE + 1);
static_assert(std::size(KEYWORD_SUBSECTIONS) == KEYWORD_SUB_KEYWORD + 1);
static_assert(std::size(KEYWORD_RULE_FIELDS) == KEYWORD_RULE_SCORE + 1);

class KeywordSection : public Section {
 public:
  KeywordSection();
  void update() override;
};
extern KeywordSection *keyword_section;
