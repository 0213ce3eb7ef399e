// Template section: the template directory and rules that replace built-in pages by files.
#pragma once

#include <iterator>

#include "section.h"

enum TemplateGlobal : int { TEMPLATES_PATH = 0 };
enum TemplateSub : int { TEMPLATES_SUB_TEMPLATE = 0 };
enum TemplateRuleField : int {
  TEMPLATE_RULE_ENABLED = 0, TEMPLATE_RULE_COMMENT, TEMPLATE_RULE_GROUPS,
  TEMPLATE_RULE_PROFILES, TEMPLATE_RULE_NAME, TEMPLATE_RULE_FILE, TEMPLATE_RULE_MIMETYPE,
  TEMPLATE_RULE_CODE, TEMPLATE_RULE_SUPPRESS, TEMPLATE_RULE_PARSE,
};

inline constexpr FieldSpec TEMPLATES_GLOBALS[] = { {"path", FT_STRING} };
inline constexpr FieldSpec TEMPLATE_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"name", FT_STRING}, {"file", FT_STRING},
  {"mimetype", FT_STRING}, {"code", FT_INT}, {"suppress", FT_BOOL}, {"parse", FT_BOOL} };
inline constexpr SubsectionSpec TEMPLATES_SUBSECTIONS[] = {
  {"template", TEMPLATE_RULE_FIELDS} };
inline constexpr SectionSpec TEMPLATES_SPEC = {
  "templates", TEMPLATES_GLOBALS, TEMPLATES_SUBSECTIONS };

static_assert(std::size(TEMPLATES_GLOBALS) == TEMPLATES_PATH + 1);
static_assert(std::size(TEMPLATES_SUBSECTIONS) == TEMPLATES_SUB_TEMPLATE + 1);
static_assert(std::size(TEMPLATE_RULE_FIELDS) == TEMPLATE_RULE_PARSE + 1);

class TemplateSection : public Section {
 public:
  TemplateSection();
  void update() override;
};
extern TemplateSection *template_section;
