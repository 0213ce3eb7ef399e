// Limits section: time-range refusals and request, volume and bandwidth quotas.
#pragma once

#include <iterator>

#include "section.h"

struct CONNECTION_T;

enum LimitGlobal : int { LIMITS_ENABLED = 0 };
enum LimitSub : int { LIMITS_SUB_LIMITS = 0 };
// The five time ranges are optional: an inactive one leaves its part of the bound unset.
enum LimitRuleField : int {
  LIMIT_RULE_ENABLED = 0, LIMIT_RULE_COMMENT, LIMIT_RULE_GROUPS, LIMIT_RULE_PROFILES,
  LIMIT_RULE_BLOCK, LIMIT_RULE_TEMPLATE, LIMIT_RULE_MONTH, LIMIT_RULE_DAY, LIMIT_RULE_WEEKDAY,
  LIMIT_RULE_HOUR, LIMIT_RULE_MINUTE, LIMIT_RULE_DOWNLOAD, LIMIT_RULE_UPLOAD,
  LIMIT_RULE_REQUESTS, LIMIT_RULE_RATE, LIMIT_RULE_TIMEALL, LIMIT_RULE_FLAGS,
};

inline constexpr FieldSpec LIMITS_GLOBALS[] = { {"enabled", FT_BOOL} };
inline constexpr FieldSpec LIMIT_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"block", FT_BOOL}, {"template", FT_STRING},
  {"month", FT_INT_RANGE}, {"day", FT_INT_RANGE}, {"weekday", FT_INT_RANGE},
  {"hour", FT_INT_RANGE}, {"minute", FT_INT_RANGE}, {"download", FT_FILE_SIZE},
  {"upload", FT_FILE_SIZE}, {"requests", FT_UINT}, {"rate", FT_FILE_SIZE},
  {"timeall", FT_BOOL}, {"flags", FT_STRING_SELECT_MANY} };
inline constexpr SubsectionSpec LIMITS_SUBSECTIONS[] = { {"limits", LIMIT_RULE_FIELDS} };
inline constexpr SectionSpec LIMITS_SPEC = { "limits", LIMITS_GLOBALS, LIMITS_SUBSECTIONS };

static_assert(std::size(LIMITS_GLOBALS) == LIMITS_ENABLED + 1);
static_assert(std::size(LIMITS_SUBSECTIONS) == LIMITS_SUB_LIMITS + 1);
static_assert(std::size(LIMIT_RULE_FIELDS) == LIMIT_RULE_FLAGS + 1);

class LimitSection : public Section {
 public:
  LimitSection();
  void update() override;

  // Before a request: 1 when a rule refused it (the page and the access-log record are done),
  // else 0. No rule refuses yet.
  int check_and_block(CONNECTION_T *conn);
  // After a request: adds its volume to the counters of the rules in force.
  void update(CONNECTION_T *conn);
};
extern LimitSection *limit_section;
