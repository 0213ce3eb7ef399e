// MIME filter: allow and deny rules on the content type of responses.
#pragma once

#include <iterator>

#include "section.h"

enum MimeGlobal : int { MIME_ENABLED = 0, MIME_DEFAULTDENY, MIME_TEMPLATE };
enum MimeSub : int { MIME_SUB_ALLOW = 0, MIME_SUB_DENY };
enum MimeRuleField : int {
  MIME_RULE_ENABLED = 0, MIME_RULE_COMMENT, MIME_RULE_GROUPS, MIME_RULE_PROFILES,
  MIME_RULE_HOST, MIME_RULE_FILE, MIME_RULE_MIMETYPE, MIME_RULE_TEMPLATE,
};

inline constexpr FieldSpec MIME_GLOBALS[] = {
  {"enabled", FT_BOOL}, {"defaultdeny", FT_BOOL}, {"template", FT_STRING} };
inline constexpr FieldSpec MIME_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"host", FT_STRING}, {"file", FT_STRING},
  {"mimetype", FT_STRING}, {"template", FT_STRING} };
inline constexpr SubsectionSpec MIME_SUBSECTIONS[] = {
  {"allow", MIME_RULE_FIELDS}, {"deny", MIME_RULE_FIELDS} };
inline constexpr SectionSpec MIME_SPEC = { "mime-filtering", MIME_GLOBALS, MIME_SUBSECTIONS };

static_assert(std::size(MIME_GLOBALS) == MIME_TEMPLATE + 1);
static_assert(std::size(MIME_SUBSECTIONS) == MIME_SUB_DENY + 1);
static_assert(std::size(MIME_RULE_FIELDS) == MIME_RULE_TEMPLATE + 1);

class MimeSection : public Section {
 public:
  MimeSection();
  void update() override;
};
extern MimeSection *mime_section;
