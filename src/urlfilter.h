// URL filter: allow and deny rules on the requested host, path and host address.
#pragma once

#include <iterator>

#include "section.h"

class Filebuf;
struct CONNECTION_T;

enum FilterGlobal : int { FILTER_ENABLED = 0, FILTER_DEFAULTDENY, FILTER_TEMPLATE };
enum FilterSub : int { FILTER_SUB_ALLOW = 0, FILTER_SUB_DENY };
enum FilterRuleField : int {
  FILTER_RULE_ENABLED = 0, FILTER_RULE_COMMENT, FILTER_RULE_GROUPS, FILTER_RULE_PROFILES,
  FILTER_RULE_HOST, FILTER_RULE_FILE, FILTER_RULE_HOSTADDRESSES, FILTER_RULE_TEMPLATE,
};

inline constexpr FieldSpec FILTER_GLOBALS[] = {
  {"enabled", FT_BOOL}, {"defaultdeny", FT_BOOL}, {"template", FT_STRING} };
inline constexpr FieldSpec FILTER_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"host", FT_STRING}, {"file", FT_STRING},
  {"hostaddresses", FT_IP_RANGE_LIST}, {"template", FT_STRING} };
inline constexpr SubsectionSpec FILTER_SUBSECTIONS[] = {
  {"allow", FILTER_RULE_FIELDS}, {"deny", FILTER_RULE_FIELDS} };
inline constexpr SectionSpec FILTER_SPEC = { "url-filtering", FILTER_GLOBALS, FILTER_SUBSECTIONS };

static_assert(std::size(FILTER_GLOBALS) == FILTER_TEMPLATE + 1);
static_assert(std::size(FILTER_SUBSECTIONS) == FILTER_SUB_DENY + 1);
static_assert(std::size(FILTER_RULE_FIELDS) == FILTER_RULE_TEMPLATE + 1);

class FilterSection : public Section {
 public:
  // Registers filter_reqcheck as a request check.
  FilterSection();
  void update() override;

  // 1 when the request was refused and answered, 0 otherwise. No rule refuses yet.
  int check_and_block(CONNECTION_T *conn);
};
extern FilterSection *filter_section;

// The request-check processor: 0 for a web interface request, else check_and_block.
int filter_reqcheck(CONNECTION_T *conn, Filebuf *unused);
