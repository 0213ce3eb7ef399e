// Header filter: removes request and response header lines by allow and deny rules and
// inserts configured lines.
#pragma once

#include <iterator>

#include "section.h"

struct CONNECTION_T;

enum HeaderFilterGlobal : int { HDRFILTER_ENABLED = 0, HDRFILTER_DEFAULTDENY };
enum HeaderFilterSub : int { HDRFILTER_SUB_ALLOW = 0, HDRFILTER_SUB_DENY, HDRFILTER_SUB_INSERT };
enum HeaderFilterRuleField : int {
  HDRFILTER_RULE_ENABLED = 0, HDRFILTER_RULE_COMMENT, HDRFILTER_RULE_GROUPS,
  HDRFILTER_RULE_PROFILES, HDRFILTER_RULE_NAME, HDRFILTER_RULE_VALUE, HDRFILTER_RULE_DIRECTION,
};

inline constexpr FieldSpec HDRFILTER_GLOBALS[] = {
  {"enabled", FT_BOOL}, {"defaultdeny", FT_BOOL} };
inline constexpr FieldSpec HDRFILTER_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"name", FT_STRING}, {"value", FT_STRING},
  {"direction", FT_STRING_SELECT_MANY} };
inline constexpr SubsectionSpec HDRFILTER_SUBSECTIONS[] = {
  {"allow", HDRFILTER_RULE_FIELDS}, {"deny", HDRFILTER_RULE_FIELDS},
  {"insert", HDRFILTER_RULE_FIELDS} };
inline constexpr SectionSpec HDRFILTER_SPEC = {
  "header-filtering", HDRFILTER_GLOBALS, HDRFILTER_SUBSECTIONS };

static_assert(std::size(HDRFILTER_GLOBALS) == HDRFILTER_DEFAULTDENY + 1);
static_assert(std::size(HDRFILTER_SUBSECTIONS) == HDRFILTER_SUB_INSERT + 1);
static_assert(std::size(HDRFILTER_RULE_FIELDS) == HDRFILTER_RULE_DIRECTION + 1);

class HeaderSection : public Section {
 public:
  HeaderSection();
  void update() override;

  // Filters the request head (direction 1, conn->header) or the response head (direction 2,
  // conn->rheader) in place. No rule removes or inserts a line yet.
  void filter(CONNECTION_T *conn, int direction);
};
extern HeaderSection *header_section;
